#!/usr/bin/python3
"""telvsdkd against the development portal with client delay 0.

  agent_bench.py --build BUILD_DIR [--exchanges 10000] [--warmup 1000]

Counts heartbeat exchanges at the portal and reads the agent's memory from
/proc: exchanges per second, peak RSS (VmHWM), and RSS after the warm-up and
at the end. Runs the agent in a throwaway router root.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
DEVPORTAL = SOURCE / "devportal"
CODE = "A1B2C3D4E5F6"


def proc_status(pid: int) -> dict:
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM", "RssAnon", "RssFile"):
                out[key] = int(value.split()[0])
    return out


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--exchanges", type=int, default=10000)
    ap.add_argument("--warmup", type=int, default=1000)
    args = ap.parse_args()
    build = Path(args.build).resolve()
    os.environ["RT_BUILD"] = str(build)
    os.environ["RT_SOURCE"] = str(SOURCE)
    sys.path.insert(0, str(SOURCE / "testing"))
    sys.path.insert(0, str(SOURCE / "agent" / "tests"))
    import routerroot  # noqa: E402
    from conftest import agent_config_text, make_certs, start_portal  # noqa: E402

    work = Path(tempfile.mkdtemp(prefix="agent-bench-", dir=build))
    certs = make_certs(work / "certs", CODE)
    portal = start_portal(certs, work, "--cdel", "0", "--sdel", "30")
    (work / "portal-records.jsonl").unlink(missing_ok=True)
    root = routerroot.RouterRoot(work / "root")
    try:
        for name in ("ca.pem", "client.pem", "client.key"):
            root.install(certs / name, f"/etc/telvsdk/{name}", 0o600)
        root.standin("/usr/sbin/uci", name="uci")
        root.standin("/usr/bin/logger")
        root.standin("/usr/sbin/route", stdout="192.168.1.0 0.0.0.0 255.255.255.0 U 0 0 0 br-lan\n")
        root.standin("/usr/bin/ubus")
        root.write("/etc/telvsdk/telvsdk.cnf", agent_config_text(portal))
        agent = root.start([str(routerroot.binary("telvsdkd"))])
        pid = agent.pid

        def exchanges() -> int:
            return int(portal._call("/state")["heartbeats"])

        deadline = time.monotonic() + 30
        while exchanges() < 3:
            if time.monotonic() > deadline or not agent.running():
                print("agent_bench: no heartbeat", agent.stdout[-2000:])
                return 1
            time.sleep(0.1)
        t0, n0 = time.monotonic(), exchanges()
        rss_warm = anon_warm = None
        limit = time.monotonic() + 3600
        while True:
            n = exchanges()
            if rss_warm is None and n >= args.warmup:
                warm = proc_status(pid)
                rss_warm, anon_warm = warm["VmRSS"], warm["RssAnon"]
            if n >= args.exchanges:
                break
            if not agent.running() or time.monotonic() > limit:
                print("agent_bench: agent stopped or too slow")
                return 1
            time.sleep(0.05)
        t1, n1 = time.monotonic(), exchanges()
        st = proc_status(pid)
        rate = (n1 - n0) / (t1 - t0)
        print(f"exchanges           : {n1}")
        print(f"exchanges per second: {rate:.0f}")
        print(f"RSS after {args.warmup:<6}    : {rss_warm} kB")
        print(f"RSS after {n1:<6}    : {st['VmRSS']} kB")
        print(f"peak RSS (VmHWM)    : {st['VmHWM']} kB")
        print(f"  of it anonymous   : {st['RssAnon']} kB (file-backed, mostly shared libraries: "
              f"{st['RssFile']} kB)")
        print(f"RssAnon after warm-up vs end: {anon_warm} kB / {st['RssAnon']} kB")
        agent.signal(signal.SIGTERM)
        print(f"exit status         : {agent.wait(15)}")
    finally:
        root.close()
        portal.stop()
        subprocess.run(["rm", "-rf", str(work)], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
