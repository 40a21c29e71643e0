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
import os
import re
import shutil
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent


def poll(cond, timeout, step=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = cond()
        if v:
            return v
        time.sleep(step)
    raise TimeoutError("condition not met in time")


def summary(name, values):
    return (f"{name:44s} median {statistics.median(values):6.3f} s  "
            f"min {min(values):6.3f}  max {max(values):6.3f}  (n={len(values)})")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(SOURCE / "build" / "default"))
    ap.add_argument("--runs", type=int, default=10)
    args = ap.parse_args()
    os.environ["RT_BUILD"] = str(Path(args.build).resolve())
    os.environ["RT_SOURCE"] = str(SOURCE)
    sys.path[:0] = [str(SOURCE / "testing"), str(SOURCE / "agent" / "tests")]
    import routerroot
    import vpn_env
    from conftest import agent_config_text, make_certs, start_portal, LAN_ROUTE

    work = Path(tempfile.mkdtemp(prefix="vpn-bench-"))
    certs = make_certs(work / "certs")
    cert, key = vpn_env.issue_cert(work / "vpn", certs / "ca.pem", certs / "ca.key", "vpnserver",
                                   "vpn.bench", server=True)
    ta = vpn_env.make_tls_auth_key(work / "vpn" / "ta.key")
    server = vpn_env.VpnServer(work, certs / "ca.pem", cert, key, tls_auth=ta).start()
    portal = start_portal(certs, work, "--cdel", "1", "--sdel", "5")
    root = routerroot.RouterRoot(work / "root")
    agent = None
    try:
        for name in ("ca.pem", "client.pem", "client.key"):
            root.install(certs / name, f"/etc/telvsdk/{name}", 0o600)
        root.install(ta, "/etc/telvsdk/ta.key", 0o600)
        root.standin("/usr/sbin/uci", name="uci")
        root.standin("/usr/bin/logger")
        root.standin("/usr/sbin/route", stdout=LAN_ROUTE)
        root.standin("/usr/bin/ubus")
        root.standin("/usr/sbin/databoard", stdout="0\n")
        root.standin("/usr/bin/get_push_network.sh", stdout="192.168.1.0 255.255.255.0")
        root.uci_set("network.lan.netmask", "255.255.255.0")
        vpn_env.install_openvpn_wrapper(root)
        portal.config(servers=[{"name": "benchvpn", "host": "127.0.0.1", "ip": "127.0.0.1",
                                "port": str(server.port), "proto": "tcp-client",
                                "args": "--tls-auth %tlsauthfile% 1"}])
        mgmt = vpn_env.free_port()
        root.write("/etc/telvsdk/telvsdk.cnf", agent_config_text(
            portal, TELVSDK_VPN_LOCAL_MGM_PORT=mgmt, TELVSDK_CFG_TLSAUTH="/etc/telvsdk/ta.key",
            inactivity=1))
        agent = root.start([str(routerroot.binary("telvsdkd"))])
        root.wait_file("/tmp/hbs_status", 20, content="2")

        def log():
            return root.read("/var/log/telvsdk.log")

        def count(pattern):
            return len(re.findall(pattern, log()))

        up, down_line, down_proc = [], [], []
        for _ in range(args.runs):
            replies = count(r"HBS        < .*connectvpn")
            conns = count("VPN CONNECTED to")
            portal.queue(method="connectvpn")
            poll(lambda: count(r"HBS        < .*connectvpn") > replies, 15)
            t0 = time.monotonic()
            poll(lambda: count("VPN CONNECTED to") > conns, 30)
            up.append(time.monotonic() - t0)
            pid = vpn_env.openvpn_pids(root)[-1]
            time.sleep(1.5)

            replies = count(r"HBS        < .*disconnectvpn")
            downs = count("VPN DISCONNECTED from")
            portal.queue(method="disconnectvpn")
            poll(lambda: count(r"HBS        < .*disconnectvpn") > replies, 15)
            t0 = time.monotonic()
            poll(lambda: count("VPN DISCONNECTED from") > downs, 30)
            down_line.append(time.monotonic() - t0)
            poll(lambda: not vpn_env.alive(pid), 30)
            down_proc.append(time.monotonic() - t0)
            # wait until the stop has returned and the VPN is idle again
            poll(lambda: root.exists("/tmp/vpn_status") and root.read("/tmp/vpn_status") == "0\n", 15)
            time.sleep(1.2)

        agent.signal(signal.SIGTERM)
        agent.wait(20)
        agent = None

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
            poll(lambda: root.exists("/var/log/bench-alone.log") and
                 "Initialization Sequence Completed" in root.read("/var/log/bench-alone.log"), 30)
            base_up.append(time.monotonic() - t0)
            pid = vpn_env.openvpn_pids(root)[-1]
            t0 = time.monotonic()
            os.kill(pid, signal.SIGTERM)
            poll(lambda: not vpn_env.alive(pid), 30)
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
