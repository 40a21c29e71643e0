#!/usr/bin/python3
"""Runs telvsdkd in a throwaway router root against a local development portal.

  run_agent.py --build BUILD_DIR [--seconds N] [--cdel S] [--sdel S] [--keep] [--enroll]
               [--no-vpn] [--vpn-hold S]

Makes the certificates (once, in BUILD_DIR/main-job/certs), starts the portal
on 127.0.0.1, prepares a router root (certificates, configuration, stand-ins
for route, ubus, databoard and the network script), runs the agent in the
foreground and shows its output and the portal's log of requests. Ends on
Ctrl-C, or after N seconds with --seconds; then stops the agent with SIGTERM.
The portal's control port is printed, for devportal/portalctl.py.
Unless --no-vpn, a local OpenVPN server (agent/tools/vpn_demo_peer.py) joins
the job: after two heartbeats the portal sends connectvpn, the agent brings
the tunnel up with the real openvpn client, and after --vpn-hold seconds the
portal sends disconnectvpn.
With --enroll the router has only its activation code: no client certificate,
which it obtains at start-up by SCEP enrollment from a real scepserver on
127.0.0.1 (its CA made once in BUILD_DIR/main-job/scep-ca, a fresh list of
issued certificates each run, the activation code as challenge password); the
sscep stand-in enrolls there with scepclient, and the portal accepts the
certificates of that CA.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent


def summary(records: Path, peer_log: Path | None) -> str:
    """What the portal and the VPN peer saw, in a few lines."""
    kinds: dict[str, int] = {}
    if records.exists():
        for line in records.read_text().splitlines():
            kind = json.loads(line).get("kind", "?")
            kinds[kind] = kinds.get(kind, 0) + 1
    text = ("run-main: the portal saw " +
            (", ".join(f"{n} {k} request{'s' if n != 1 else ''}" for k, n in sorted(kinds.items()))
             or "no request") + f" ({records})")
    if peer_log and peer_log.exists():
        said = [line for line in peer_log.read_text(errors="replace").splitlines()
                if line.startswith("vpn-peer: ")]
        text += "".join(f"\nrun-main: {line}" for line in said[-4:])
    return text


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--seconds", type=float, default=0, help="bounded run (0: until Ctrl-C)")
    ap.add_argument("--cdel", type=int, default=5)
    ap.add_argument("--sdel", type=int, default=30)
    ap.add_argument("--keep", action="store_true", help="keep the router root folder")
    ap.add_argument("--enroll", action="store_true",
                    help="start without a client certificate and enroll one by SCEP")
    ap.add_argument("--no-vpn", action="store_true", help="no OpenVPN server, no connectvpn")
    ap.add_argument("--vpn-hold", type=float, default=8, help="seconds the tunnel stays up")
    args = ap.parse_args()

    sys.path.insert(0, str(SOURCE / "agent" / "bench"))
    from world import use_build
    build = use_build(args.build)
    import routerroot
    import scep_env
    import vpn_env
    from conftest import (ACTIVATION_CODE as CODE, agent_log, launch_agent, make_certs,
                          prepare_agent_root, start_portal)

    work = build / "main-job"
    certs = work / "certs"
    work.mkdir(parents=True, exist_ok=True)
    if not (certs / "client.pem").exists():
        make_certs(certs)

    scep = None
    portal_args, peer_args = [], []
    if args.enroll:
        if not (work / "scep-ca" / "ca.pem").exists():
            scep_env.make_ca(work / "scep-ca")
        scep = scep_env.ScepServer(Path(tempfile.mkdtemp(prefix="scep-", dir=work)),
                                   work / "scep-ca", CODE).start()
        portal_args = ["--client-ca", str(scep.ca_pem)]
        # the VPN server accepts the enrolled device too: both CAs in one file
        bundle = scep.folder / "device-cas.pem"
        bundle.write_text((certs / "ca.pem").read_text() + scep.ca_pem.read_text())
        peer_args = ["--ca", str(bundle)]
        print(f"run-main: SCEP CA {scep.url} (scepserver, log {scep.log})", flush=True)

    # The portal and the VPN peer write to files of their own: the terminal
    # is the agent's, whose status line redraws itself in place.
    portal_log = work / "portal.log"
    peer_log = work / "vpn-peer.log"
    # The VPN peer waits for the portal's ready file, then starts its server.
    peer = None
    if not args.no_vpn:
        with open(peer_log, "w") as out:
            peer = subprocess.Popen([sys.executable, str(SOURCE / "agent" / "tools" / "vpn_demo_peer.py"),
                                     "--work", str(work), "--hold", str(args.vpn_hold), *peer_args],
                                    stdout=out, stderr=subprocess.STDOUT)
    try:
        portal = start_portal(certs, work, "--cdel", str(args.cdel), "--sdel", str(args.sdel),
                              *portal_args, log=portal_log)
    except RuntimeError:
        print("run-main: the portal did not start", file=sys.stderr)
        if peer:
            peer.terminate()
        if scep:
            scep.stop()
        return 1
    print(f"run-main: portal {portal.url}, control port {portal.control} "
          f"(python3 devportal/portalctl.py {portal.control} queue fwversion)")
    print(f"run-main: portal log {portal_log}" +
          ("" if peer is None else f", VPN peer log {peer_log}"), flush=True)

    base = Path(tempfile.mkdtemp(prefix="root-", dir=work))
    root = routerroot.new_root(base)
    stop = {"now": False}

    def on_signal(signum, frame):
        stop["now"] = True

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    rc = 0
    try:
        prepare_agent_root(root, certs, ("ca.pem",) if args.enroll else
                           ("ca.pem", "client.pem", "client.key"))
        scep_config = {}
        if scep:
            root.standin("/usr/bin/sscep", name="sscep")
            root.write("/etc/telvsdk/scep.cnf",
                       "[ req ]\nprompt = no\ndistinguished_name = dn\nattributes = attrs\n"
                       "[ dn ]\nCN = UNSET0000000\n[ attrs ]\nchallengePassword = unset\n")
            scep_config = {"TELVSDK_CFG_SCEP_SERVER_URL": scep.url,
                           "TELVSDK_CFG_SCEP_CA": "/etc/telvsdk/scep-ca.pem",
                           "TELVSDK_CFG_SCEP_CNF": "/etc/telvsdk/scep.cnf",
                           "TELVSDK_CFG_SCEP_REQ": "/etc/telvsdk/client.csr"}
        if peer:
            vpn_env.install_openvpn_wrapper(root)  # the root has no tap device: --dev null
        agent = launch_agent(root, portal, env={"TERM": os.environ.get("TERM", "dumb")},
                             merge_stderr=True, inactivity=1, **scep_config)
        shown = 0
        end = time.monotonic() + args.seconds if args.seconds > 0 else None
        while agent.running() and not stop["now"] and (end is None or time.monotonic() < end):
            out = agent.stdout
            if len(out) > shown:
                sys.stdout.write(out[shown:])
                sys.stdout.flush()
                shown = len(out)
            time.sleep(0.2)
        if agent.running():
            agent.signal(signal.SIGTERM)
        try:
            rc = agent.wait(15)
        except subprocess.TimeoutExpired:
            rc = agent.stop(signal.SIGKILL)
        sys.stdout.write(agent.stdout[shown:])
        print(f"\nrun-main: telvsdkd ended with status {rc}; last lines of its log:")
        print("".join(agent_log(root).splitlines(True)[-12:]), end="")
        print(summary(portal.records, peer_log if peer else None))
    finally:
        root.close()
        if peer:
            peer.terminate()
            try:
                peer.wait(10)
            except subprocess.TimeoutExpired:
                peer.kill()
        portal.stop()
        if scep:
            scep.stop()
        if not args.keep:
            subprocess.run(["rm", "-rf", str(base)], check=False)
            if scep:
                subprocess.run(["rm", "-rf", str(scep.folder)], check=False)
    return 0 if rc == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
