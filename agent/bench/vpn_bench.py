#!/usr/bin/python3
"""VPN timing of telvsdkd against a local OpenVPN server, beside openvpn alone.

  python3 agent/bench/vpn_bench.py [--build build/default] [--runs 10]

For each run: the portal queues connectvpn; measured from the moment the agent
has the heartbeat reply with the command (its "HBS < ..." log line) to its
"VPN CONNECTED" log line; then disconnectvpn, from the reply to the "VPN
DISCONNECTED" line and to the end of the openvpn process. The limit: the same
openvpn command line without the management hold, started directly, from its
start to "Initialization Sequence Completed", and from SIGTERM to its end.
Prints the medians (and min/max). Everything runs on 127.0.0.1 inside a
throwaway router root; nothing on the host is changed.
"""

import argparse
import functools
import os
import re
import signal
import statistics
import sys
import time

from world import SOURCE, agent_world


def summary(name, values):
    return (f"{name:44s} median {statistics.median(values):6.3f} s  "
            f"min {min(values):6.3f}  max {max(values):6.3f}  (n={len(values)})")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(SOURCE / "build" / "default"))
    ap.add_argument("--runs", type=int, default=10)
    args = ap.parse_args()
    with agent_world(args.build, "vpn-bench-", "--cdel", "1", "--sdel", "5", tls_auth=True) as w:
        import vpn_env
        from poll import poll
        until = functools.partial(poll, step=0.005)  # the timings want a fine step
        root, portal, agent = w.root, w.portal, w.agent

        def log():
            return root.read("/var/log/telvsdk.log")

        def count(pattern):
            return len(re.findall(pattern, log()))

        up, down_line, down_proc = [], [], []
        for _ in range(args.runs):
            replies = count(r"HBS        < .*connectvpn")
            conns = count("VPN CONNECTED to")
            portal.queue(method="connectvpn")
            until(lambda: count(r"HBS        < .*connectvpn") > replies, 15)
            t0 = time.monotonic()
            until(lambda: count("VPN CONNECTED to") > conns, 30)
            up.append(time.monotonic() - t0)
            pid = vpn_env.openvpn_pids(root)[-1]
            time.sleep(1.5)

            replies = count(r"HBS        < .*disconnectvpn")
            downs = count("VPN DISCONNECTED from")
            portal.queue(method="disconnectvpn")
            until(lambda: count(r"HBS        < .*disconnectvpn") > replies, 15)
            t0 = time.monotonic()
            until(lambda: count("VPN DISCONNECTED from") > downs, 30)
            down_line.append(time.monotonic() - t0)
            until(lambda: not vpn_env.alive(pid), 30)
            down_proc.append(time.monotonic() - t0)
            # wait until the stop has returned and the VPN is idle again
            until(lambda: root.exists("/tmp/vpn_status") and root.read("/tmp/vpn_status") == "0\n", 15)
            time.sleep(1.2)

        agent.signal(signal.SIGTERM)
        agent.wait(20)

        # the limit: the same tunnel by openvpn alone, without the management hold
        cmdline = root.calls("openvpn")[-1]
        alone = []
        i = 0
        while i < len(cmdline):
            if cmdline[i] == "--management-hold":
                i += 1
                continue
            if cmdline[i] == "--management":
                i += 3
                continue
            if cmdline[i] == "--log":
                alone += ["--log", "/var/log/bench-alone.log"]
                i += 2
                continue
            alone.append(cmdline[i])
            i += 1
        base_up, base_down = [], []
        for _ in range(args.runs):
            root.remove("/var/log/bench-alone.log")
            t0 = time.monotonic()
            p = root.start(["openvpn"] + alone)
            until(lambda: root.exists("/var/log/bench-alone.log") and
                 "Initialization Sequence Completed" in root.read("/var/log/bench-alone.log"), 30)
            base_up.append(time.monotonic() - t0)
            pid = vpn_env.openvpn_pids(root)[-1]
            t0 = time.monotonic()
            os.kill(pid, signal.SIGTERM)
            until(lambda: not vpn_env.alive(pid), 30)
            base_down.append(time.monotonic() - t0)
            p.wait(10)
            time.sleep(0.5)

        print(summary("agent: connectvpn reply -> VPN CONNECTED", up))
        print(summary("openvpn alone: start -> Initialization Completed", base_up))
        print(summary("agent: disconnectvpn reply -> VPN DISCONNECTED", down_line))
        print(summary("agent: disconnectvpn reply -> openvpn ended", down_proc))
        print(summary("openvpn alone: SIGTERM -> ended", base_down))
        print(f"agent overhead on connect (medians): "
              f"{statistics.median(up) - statistics.median(base_up):.3f} s")
        return 0


if __name__ == "__main__":
    sys.exit(main())
