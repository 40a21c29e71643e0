#!/usr/bin/python3
"""Development portal for telvsdkd: heartbeat server and portal push requests.

HTTPS on 127.0.0.1 with a client certificate required (signed by the same CA as
the server certificate, see make-certs.sh, or by a CA given with --client-ca). A second, plain HTTP port on
127.0.0.1 takes commands while the portal runs (see portalctl.py):

  POST /queue   {"method": "connectvpn"|"disconnectvpn"|"addroute"|"doupdate", "params": {...}}
                {"key": "fwversion"}          device identity request
                {"cdel": N, "sdel": M}         new timing parameters
                {"raw": "<reply text>"}        any reply text, sent as it stands
  POST /fault   {"kind": "403"|"500"|"empty"|"slow"|"oversized"|"notiming"|"nodate"|
                         "garbage"|"cut"|"push403"|"push500"|null,
                 "count": n (default: until cleared), "seconds": s (for "slow"),
                 "then": {another fault, armed when this one's count runs out}}
                garbage: a 200 reply of bytes that are no JSON (zero bytes included)
                cut: the headers promise a body that ends half-way, then the
                     connection is closed
                push403, push500: that code for push requests; a push fault
                     is kept beside a heartbeat one, null clears both
  POST /config  {"cdel": N, "sdel": M, "skew": seconds, "servers": [...]}
  GET  /requests   every request so far (JSON list); GET /networks; POST /clear

Every request is also appended, one JSON object a line, to --records.
"""

from __future__ import annotations

import argparse
import collections
import email.utils
import json
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, HTTPServer, ThreadingHTTPServer


def deflate_raw(data: bytes) -> bytes:
    c = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def inflate_raw(data: bytes) -> bytes:
    return zlib.decompressobj(-15).decompress(data)


def jsonrpc_reply(method: str, params: dict | None) -> str:
    req = {"jsonrpc": "2.0", "method": method, "id": 1}
    if params is not None:
        req["params"] = params
    return json.dumps([{"key": "jsonrpc", "action": "call", "val1": json.dumps([req])}])


def timing_reply(cdel, sdel) -> str:
    return json.dumps([{"key": "cdel", "values": [str(cdel)], "action": "param"},
                       {"key": "sdel", "values": [str(sdel)], "action": "param"}])


# Not JSON: a stray bracket, a zero byte, bytes that are no UTF-8, control codes.
GARBAGE = b'[{"key":"jsonrpc","val1":\x00\xff\xfe}\x1b[2J<html>\r\n' + bytes(range(1, 32)) * 4
# A reply cut short: only this first part of a longer body is ever sent.
CUT = b'[{"key":"jsonrpc","action":"call","val1":"[{\\"jsonrpc\\":\\"2.0\\",'
CUT_PROMISED = 4096


class Portal:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.cdel = args.cdel
        self.sdel = args.sdel
        self.skew = args.skew
        self.servers = json.loads(args.servers) if args.servers else [
            {"name": "devvpn", "host": "127.0.0.1", "ip": "127.0.0.1", "port": "1194",
             "proto": "tcp-client", "args": " "}]
        self.queue: collections.deque[str] = collections.deque()
        self.fault: dict | None = None       # heartbeat faults
        self.push_fault: dict | None = None  # push faults, armed beside a heartbeat one
        self.records: list[dict] = []
        self.networks: list = []
        self.records_path = args.records
        self.quiet = args.quiet
        self.heartbeats = 0

    # -- control ---------------------------------------------------------
    def enqueue(self, cmd: dict):
        if "raw" in cmd:
            text = cmd["raw"]
        elif cmd.get("key") == "fwversion":
            text = json.dumps([{"key": "fwversion", "action": "get", "values": None}])
        elif "cdel" in cmd or "sdel" in cmd:
            text = timing_reply(cmd.get("cdel", self.cdel), cmd.get("sdel", self.sdel))
        else:
            text = jsonrpc_reply(cmd["method"], cmd.get("params"))
        with self.lock:
            self.queue.append(text)

    def take_fault(self, kinds) -> dict | None:
        slot = "push_fault" if any(k.startswith("push") for k in kinds) else "fault"
        with self.lock:
            f = getattr(self, slot)
            if not f or f.get("kind") not in kinds:
                return None
            if f.get("count") is not None:
                f["count"] -= 1
                if f["count"] <= 0:
                    setattr(self, slot, f.get("then"))
            return f

    def record(self, entry: dict):
        entry["time"] = time.time()
        with self.lock:
            self.records.append(entry)
            if self.records_path:
                with open(self.records_path, "a") as f:
                    f.write(json.dumps(entry) + "\n")
        if not self.quiet:
            print(f"portal: {entry.get('kind')} {entry.get('query')} cn={entry.get('cn')} "
                  f"body={entry.get('body')!s:.200}", flush=True)

    # -- heartbeat -------------------------------------------------------
    def heartbeat(self, query: dict, body: str) -> tuple[int, bytes]:
        self.heartbeats += 1
        f = self.take_fault({"403", "500", "empty", "slow", "oversized", "notiming", "garbage",
                             "cut"})
        kind = f.get("kind") if f else None
        if kind in ("garbage", "cut"):
            return 200, GARBAGE if kind == "garbage" else CUT
        if kind == "403":
            return 403, b"forbidden"
        if kind == "500":
            return 500, b"server error"
        if kind == "empty":
            return 200, b""
        if kind == "slow":
            time.sleep(float(f.get("seconds", 7)))
        if kind == "oversized":
            return 200, b"[" + b'"x",' * 20000 + b'"x"]'
        if "init" in query:
            if kind == "notiming":
                return 200, b"[]"
            return 200, timing_reply(self.cdel, self.sdel).encode()
        with self.lock:
            text = self.queue.popleft() if self.queue else "[]"
        return 200, text.encode()

    # -- push ------------------------------------------------------------
    def push(self, body: object) -> tuple[int, bytes]:
        f = self.take_fault({"push403", "push500"})
        if f:
            return int(f["kind"][4:]), b"error"
        func = None
        if isinstance(body, list) and body and isinstance(body[0], dict):
            func = body[0].get("function")
        if func == "get_vpn_client_server":
            reply = [{"get_vpn_client_server": self.servers}]
        elif func == "push_network":
            with self.lock:
                self.networks.append(body[0].get("networks"))
            reply = [{"push_network": "ok"}]
        else:
            reply = [{"error": "unknown function"}]
        return 200, deflate_raw(json.dumps(reply).encode())


class PortalHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devportal/1"

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        # Headers and body leave in separate writes: without this, Nagle's
        # algorithm and the client's delayed ACK add 40 ms to every reply.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def date_time_string(self, timestamp=None):
        return email.utils.formatdate(time.time() + self.server.portal.skew, usegmt=True)

    def _client_cn(self) -> str | None:
        try:
            cert = self.connection.getpeercert()
        except (AttributeError, ValueError):
            return None
        for rdn in (cert or {}).get("subject", ()):
            for key, value in rdn:
                if key == "commonName":
                    return value
        return None

    def do_POST(self):
        portal: Portal = self.server.portal
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        cn = self._client_cn()
        if query.get("push") == "1":
            try:
                text = inflate_raw(raw).decode()
                body = json.loads(text)
            except (zlib.error, UnicodeDecodeError, ValueError):
                text, body = raw.hex(), None
            portal.record({"kind": "push", "path": url.path, "query": url.query, "body": text,
                           "cn": cn, "user_agent": self.headers.get("User-Agent")})
            code, out = portal.push(body)
        else:
            text = raw.decode(errors="replace")
            portal.record({"kind": "hbs", "path": url.path, "query": url.query, "body": text,
                           "cn": cn, "user_agent": self.headers.get("User-Agent")})
            code, out = portal.heartbeat(query, text)
        nodate = portal.take_fault({"nodate"}) is not None
        self.send_response_only(code)
        self.send_header("Server", self.version_string())
        if not nodate:
            self.send_header("Date", self.date_time_string())
        self.send_header("Content-Type", "application/json")
        cut = out is CUT
        self.send_header("Content-Length", str(CUT_PROMISED if cut else len(out)))
        self.end_headers()
        self.wfile.write(out)
        if cut:
            # the peer vanishes in the middle of the transfer
            self.wfile.flush()
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class TLSServer(ThreadingHTTPServer):
    """Threads per connection; the TLS handshake runs in the connection's thread."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, addr, handler, context, portal):
        self.context = context
        self.portal = portal
        super().__init__(addr, handler)

    def process_request_thread(self, request, client_address):
        try:
            request.settimeout(30)
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.portal.record({"kind": "tls-refused", "error": str(e), "cn": None})
            self.shutdown_request(request)
            return
        super().process_request_thread(tls, client_address)


class ControlHandler(BaseHTTPRequestHandler):
    def log_message(self, fmt, *args):
        pass

    def _send(self, obj, code=200):
        data = json.dumps(obj).encode()
        self.send_response(code)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        portal: Portal = self.server.portal
        with portal.lock:
            if self.path == "/requests":
                return self._send(list(portal.records))
            if self.path == "/networks":
                return self._send(list(portal.networks))
            if self.path == "/state":
                return self._send({"cdel": portal.cdel, "sdel": portal.sdel, "skew": portal.skew,
                                   "queue": list(portal.queue), "fault": portal.fault,
                                   "push_fault": portal.push_fault,
                                   "heartbeats": portal.heartbeats})
        self._send({"error": "unknown"}, 404)

    def do_POST(self):
        portal: Portal = self.server.portal
        length = int(self.headers.get("Content-Length") or 0)
        try:
            cmd = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return self._send({"error": "bad json"}, 400)
        if self.path == "/queue":
            portal.enqueue(cmd)
        elif self.path == "/fault":
            with portal.lock:
                kind = cmd.get("kind")
                if not kind:
                    portal.fault = portal.push_fault = None
                elif kind.startswith("push"):
                    portal.push_fault = cmd
                else:
                    portal.fault = cmd
        elif self.path == "/config":
            with portal.lock:
                for key in ("cdel", "sdel", "skew", "servers"):
                    if key in cmd:
                        setattr(portal, key, cmd[key])
        elif self.path == "/clear":
            with portal.lock:
                portal.records.clear()
                portal.networks.clear()
        else:
            return self._send({"error": "unknown"}, 404)
        self._send({"ok": True})


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--certs", required=True, help="folder made by make-certs.sh")
    ap.add_argument("--port", type=int, default=0, help="HTTPS port (0: any free port)")
    ap.add_argument("--control-port", type=int, default=0, help="control port (0: any free port)")
    ap.add_argument("--cdel", type=int, default=30, help="client delay sent on init=1")
    ap.add_argument("--sdel", type=int, default=60, help="server delay sent on init=1")
    ap.add_argument("--skew", type=float, default=0, help="seconds added to the Date header")
    ap.add_argument("--servers", help="JSON list of VPN server objects")
    ap.add_argument("--records", help="file receiving every request as a JSON line")
    ap.add_argument("--ready-file", help="file receiving 'PORT CONTROLPORT' once listening")
    ap.add_argument("--client-ca", action="append", default=[], metavar="PEM",
                    help="another CA whose device certificates are accepted (repeatable), "
                         "e.g. the SCEP CA that enrolls devices")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(f"{args.certs}/server.pem", f"{args.certs}/server.key")
    for ca in [f"{args.certs}/ca.pem", *args.client_ca]:
        ctx.load_verify_locations(ca)
    ctx.verify_mode = ssl.CERT_REQUIRED

    portal = Portal(args)
    tls = TLSServer(("127.0.0.1", args.port), PortalHandler, ctx, portal)
    control = ThreadingHTTPServer(("127.0.0.1", args.control_port), ControlHandler)
    control.daemon_threads = True
    control.portal = portal
    port, cport = tls.server_address[1], control.server_address[1]
    threading.Thread(target=control.serve_forever, daemon=True).start()
    if args.ready_file:
        with open(args.ready_file + ".part", "w") as f:
            f.write(f"{port} {cport}\n")
        import os
        os.replace(args.ready_file + ".part", args.ready_file)
    print(f"portal: listening on https://127.0.0.1:{port}/ control http://127.0.0.1:{cport}/",
          flush=True)
    try:
        tls.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
