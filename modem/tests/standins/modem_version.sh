#!/usr/bin/python3
"""Stand-in of the module firmware version script.

Records its arguments in /tmp/standin/modem_version.sh.log, then leaves the
version parts listed in /tmp/standin/modem_version.parts ("3 5 23") under
common/<id>_version1..3 through the real databoard, as the router's script does.
"""
import os
import shlex
import subprocess
import sys

d = "/tmp/standin"
os.makedirs(d, exist_ok=True)
with open(os.path.join(d, "modem_version.sh.log"), "a") as log:
    log.write(shlex.join(sys.argv[1:]) + "\n")
ident = sys.argv[1] if len(sys.argv) > 1 else ""
try:
    with open(os.path.join(d, "modem_version.parts")) as f:
        parts = f.read().split()
except OSError:
    parts = []
for i, part in enumerate(parts[:3], 1):
    subprocess.call(["databoard", "set", "common", f"{ident}_version{i}", part])
