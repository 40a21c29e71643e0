#!/usr/bin/python3
"""send_sms.sh stand-in: records its two arguments, leaves a result file.

/tmp/standin/send_sms.sh.jsonl  one JSON argument list per call
/tmp/standin/send_sms.sh.log    the same, shell-quoted (newlines as \\n)
/tmp/standin/send_sms.sh.result when present, copied to /tmp/atsend_result_code
/tmp/standin/send_sms.sh.rc     exit status when present (default 0)
"""
import json
import os
import shlex
import shutil
import sys

d = "/tmp/standin"
os.makedirs(d, exist_ok=True)
args = sys.argv[1:]
with open(os.path.join(d, "send_sms.sh.log"), "a") as log:
    log.write(shlex.join(a.replace("\n", "\\n") for a in args) + "\n")
with open(os.path.join(d, "send_sms.sh.jsonl"), "a") as log:
    log.write(json.dumps(args) + "\n")
result = os.path.join(d, "send_sms.sh.result")
if os.path.exists(result):
    shutil.copyfile(result, "/tmp/atsend_result_code")
rc = 0
rcfile = os.path.join(d, "send_sms.sh.rc")
if os.path.exists(rcfile):
    with open(rcfile) as f:
        rc = int(f.read().strip() or 0)
sys.exit(rc)
