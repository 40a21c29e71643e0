#!/usr/bin/python3
"""The VPN half of the main job: a local OpenVPN server and the portal's
connectvpn / disconnectvpn, so the agent's live line shows a tunnel coming up
and going down.

  vpn_demo_peer.py --work BUILD/main-job [--after N] [--hold S] [--port 1194] [--ca PEM]

Waits for the development portal that devportal/run_agent.py starts (its ready
file in the work folder), starts openvpn as a TLS server on 127.0.0.1 with the
portal's certificates (the portal's default server entry points at
127.0.0.1:1194; --ca: the CAs whose devices it accepts, default the portal's), queues connectvpn after N heartbeats, waits for the tunnel
(the portal records the network push), queues disconnectvpn S seconds later,
and ends its server when the job ends (its parent process is gone).
"""

import argparse
import json
import os
import signal
import sys
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent.parent / "testing"), str(HERE.parent / "tests")]
import vpn_env  # noqa: E402
from poll import within  # noqa: E402


def say(text):
    print(f"\nvpn-peer: {text}", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--after", type=int, default=2, help="heartbeats before connectvpn")
    ap.add_argument("--hold", type=float, default=15, help="seconds the tunnel stays up")
    ap.add_argument("--port", type=int, default=1194)
    ap.add_argument("--ca", help="CA certificates of the devices (default: the portal's CA)")
    args = ap.parse_args()
    work = Path(args.work)
    parent = os.getppid()
    started = time.time()
    ready = work / "portal.ready"

    def job_alive():
        return os.getppid() == parent

    def portal_ready() -> bool:
        return ready.exists() and ready.stat().st_mtime >= started - 1

    if not within(lambda: portal_ready() or not job_alive(), 300, 0.2) or not job_alive():
        return 0
    _, control = ready.read_text().split()
    certs = work / "certs"
    server = vpn_env.VpnServer(work, Path(args.ca) if args.ca else certs / "ca.pem",
                               certs / "server.pem", certs / "server.key", port=args.port)
    try:
        server.start()
    except Exception as e:  # the job goes on without a VPN
        say(f"no OpenVPN server: {e}")
        return 1
    say(f"OpenVPN server on 127.0.0.1:{server.port} (log {server.log})")

    def call(path, obj=None):
        data = None if obj is None else json.dumps(obj).encode()
        req = urllib.request.Request(f"http://127.0.0.1:{control}{path}", data=data)
        with urllib.request.urlopen(req, timeout=5) as r:
            return json.loads(r.read())

    def heartbeats():
        return len([r for r in call("/requests") if r.get("kind") == "hbs"])

    try:
        step = "wait"
        t_up = None
        while job_alive():
            try:
                if step == "wait" and heartbeats() >= args.after:
                    call("/queue", {"method": "connectvpn"})
                    say("portal queued connectvpn")
                    step = "connecting"
                elif step == "connecting" and call("/networks"):
                    t_up = time.monotonic()
                    step = "up"
                elif step == "up" and time.monotonic() - t_up >= args.hold:
                    call("/queue", {"method": "disconnectvpn"})
                    say("portal queued disconnectvpn")
                    step = "done"
            except OSError:
                if step != "wait":
                    break  # the portal has gone: the job is ending
            time.sleep(0.3)
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the job's Ctrl-C is handled by run_agent.py
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # run_agent.py's end: stop the server
    sys.exit(main())
