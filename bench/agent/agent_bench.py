#!/usr/bin/python3
"""telvsdkd against the development portal with client delay 0.

  agent_bench.py --build BUILD_DIR [--exchanges 10000] [--warmup 1000]

Counts heartbeat exchanges at the portal and reads the agent's memory from
/proc: exchanges per second, peak RSS (VmHWM), and RSS after the warm-up and
at the end. Runs the agent in a throwaway router root.
"""

import argparse
import signal
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(SOURCE / "agent" / "bench"))
from world import agent_world  # noqa: E402


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
    with agent_world(args.build, "agent-bench-", "--cdel", "0", "--sdel", "30", vpn=False) as w:
        from poll import poll, within
        portal, agent = w.portal, w.agent
        pid = agent.pid

        def exchanges() -> int:
            return int(portal._call("/state")["heartbeats"])

        if not within(lambda: exchanges() >= 3 or not agent.running(), 30, 0.1) or exchanges() < 3:
            print("agent_bench: no heartbeat", agent.stdout[-2000:])
            return 1
        t0, n0 = time.monotonic(), exchanges()
        warm = {}

        def done() -> bool:
            if not agent.running():
                raise TimeoutError("agent stopped")
            n = exchanges()
            if not warm and n >= args.warmup:
                warm.update(proc_status(pid))
            return n >= args.exchanges

        try:
            poll(done, 3600)
        except TimeoutError:
            print("agent_bench: agent stopped or too slow")
            return 1
        rss_warm, anon_warm = warm.get("VmRSS"), warm.get("RssAnon")
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
