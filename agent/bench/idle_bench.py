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
import shutil
import signal
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent


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
    os.environ["RT_BUILD"] = str(Path(args.build).resolve())
    os.environ["RT_SOURCE"] = str(SOURCE)
    sys.path[:0] = [str(SOURCE / "testing"), str(SOURCE / "agent" / "tests")]
    import routerroot
    import vpn_env
    from conftest import agent_config_text, make_certs, prepare_agent_root, start_portal, wait_log

    work = Path(tempfile.mkdtemp(prefix="idle-bench-"))
    certs = make_certs(work / "certs")
    cert, key = vpn_env.issue_cert(work / "vpn", certs / "ca.pem", certs / "ca.key", "vpnserver",
                                   "vpn.bench", server=True)
    server = vpn_env.VpnServer(work, certs / "ca.pem", cert, key).start()
    portal = start_portal(certs, work, "--cdel", "30", "--sdel", "60")
    root = routerroot.RouterRoot(work / "root")
    root.standin("/usr/sbin/uci", name="uci")
    root.standin("/usr/bin/logger")
    agent = None
    try:
        prepare_agent_root(root, certs)
        vpn_env.install_openvpn_wrapper(root)
        portal.config(servers=[{"name": "benchvpn", "host": "127.0.0.1", "ip": "127.0.0.1",
                                "port": str(server.port), "proto": "tcp-client"}])
        root.write("/etc/telvsdk/telvsdk.cnf", agent_config_text(
            portal, TELVSDK_VPN_LOCAL_MGM_PORT=vpn_env.free_port(), inactivity=1))
        agent = root.start([str(routerroot.binary("telvsdkd"))])
        root.wait_file("/tmp/hbs_status", 20, content="2")
        portal.queue(method="connectvpn")
        wait_log(root, "VPN CONNECTED to", 60)
        time.sleep(3)

        own0, kids0 = cpu_seconds(agent.popen.pid)
        time.sleep(args.seconds)
        own1, kids1 = cpu_seconds(agent.popen.pid)
        print(f"idle {args.seconds:.0f} s, tunnel up: agent {own1 - own0:.2f} s CPU, "
              f"its children {kids1 - kids0:.2f} s CPU, "
              f"total {(own1 - own0) + (kids1 - kids0):.2f} s")

        records = work / "portal-records.jsonl"

        def exchanges() -> int:
            with open(records, "rb") as f:
                return sum(1 for line in f if b'"kind": "hbs"' in line)

        start = exchanges()
        portal.config(cdel=0)
        portal.queue(cdel=0, sdel=60)
        marks = {}
        t0 = time.monotonic()
        for target in (100, args.exchanges):
            while exchanges() - start < target:
                if not agent.running() or time.monotonic() - t0 > 3600:
                    raise RuntimeError("agent ended or exchanges too slow")
                time.sleep(0.5)
            marks[target] = private_kib(agent.popen.pid)
        print(f"private memory: {marks[100]} KiB after 100 exchanges, "
              f"{marks[args.exchanges]} KiB after {args.exchanges} "
              f"({time.monotonic() - t0:.0f} s)")
        agent.signal(signal.SIGTERM)
        agent.wait(30)
        agent = None
        return 0
    finally:
        if agent is not None:
            agent.stop()
        for pid in vpn_env.openvpn_pids(root):
            if vpn_env.alive(pid):
                os.kill(pid, signal.SIGKILL)
        root.close()
        portal.stop()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
