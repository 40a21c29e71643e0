#!/usr/bin/python3
"""Runs rsmwrapper_bench inside a throwaway router root and prints its figures.

    RT_BUILD=build/default python3 bench/rsmwrapper/rsmwrapper_bench.py [seconds]
"""
import os
import sys
import tempfile
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here.parent.parent / "testing"))
os.environ["RT_BUILD"] = str(Path(os.environ.get("RT_BUILD", here.parent.parent / "build" / "default")).resolve())

from routerroot import RouterRoot, binary  # noqa: E402

seconds = sys.argv[1] if len(sys.argv) > 1 else "2"
with tempfile.TemporaryDirectory() as tmp:
    r = RouterRoot(Path(tmp) / "root")
    try:
        r.write("/share/shmcommon", "")
        r.mkdir("/tmp/bench")
        res = r.run([str(binary("rsmwrapper_bench")), "/tmp/bench", seconds], timeout=120)
        sys.stdout.write(res.stdout)
        sys.stderr.write(res.stderr)
        sys.exit(res.rc)
    finally:
        r.close()
