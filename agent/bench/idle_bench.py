#!/usr/bin/python3
"""The agent's own cost: CPU time over an idle minute with the tunnel up, and
private memory after many heartbeat exchanges.

  python3 agent/bench/idle_bench.py [--build build/default] [--seconds 60]
                                    [--exchanges 10000]

CPU: the portal paces heartbeats at its usual 30 s; once the tunnel is up the
agent's user and system time (its own and that of the children it reaped,
/proc/<pid>/stat) is read at the start and the end of the idle period.
Memory: the portal then answers with a client delay of 0, so exchanges follow
each other at once; the agent's private memory (Private_Clean + Private_Dirty
of /proc/<pid>/smaps_rollup) is read after the first 100 and after the given
number of exchanges. Everything runs on 127.0.0.1 in a throwaway router root.
"""

import argparse
import os
import signal
import sys
import time
from pathlib import Path

from world import SOURCE, agent_world


def cpu_seconds(pid: int) -> tuple[float, float]:
    """(own, reaped children) user+system seconds of a process."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    utime, stime, cutime, cstime = (int(x) for x in fields[11:15])
    return (utime + stime) / tick, (cutime + cstime) / tick


def private_kib(pid: int) -> int:
    total = 0
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith(("Private_Clean:", "Private_Dirty:")):
            total += int(line.split()[1])
    return total


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(SOURCE / "build" / "default"))
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--exchanges", type=int, default=10000)
    args = ap.parse_args()
    with agent_world(args.build, "idle-bench-", "--cdel", "30", "--sdel", "60") as w:
        from conftest import wait_log
        from poll import poll
        portal, agent = w.portal, w.agent
        portal.queue(method="connectvpn")
        wait_log(w.root, "VPN CONNECTED to", 60)
        time.sleep(3)

        own0, kids0 = cpu_seconds(agent.popen.pid)
        time.sleep(args.seconds)
        own1, kids1 = cpu_seconds(agent.popen.pid)
        print(f"idle {args.seconds:.0f} s, tunnel up: agent {own1 - own0:.2f} s CPU, "
              f"its children {kids1 - kids0:.2f} s CPU, "
              f"total {(own1 - own0) + (kids1 - kids0):.2f} s")

        def exchanges() -> int:
            with open(portal.records, "rb") as f:
                return sum(1 for line in f if b'"kind": "hbs"' in line)

        def reached(target: int) -> bool:
            if not agent.running():
                raise RuntimeError("agent ended")
            return exchanges() - start >= target

        start = exchanges()
        portal.config(cdel=0)
        portal.queue(cdel=0, sdel=60)
        marks = {}
        t0 = time.monotonic()
        for target in (100, args.exchanges):
            poll(lambda: reached(target), t0 + 3600 - time.monotonic(), 0.5,
                 what="exchanges too slow")
            marks[target] = private_kib(agent.popen.pid)
        print(f"private memory: {marks[100]} KiB after 100 exchanges, "
              f"{marks[args.exchanges]} KiB after {args.exchanges} "
              f"({time.monotonic() - t0:.0f} s)")
        agent.signal(signal.SIGTERM)
        agent.wait(30)
        return 0


if __name__ == "__main__":
    sys.exit(main())
