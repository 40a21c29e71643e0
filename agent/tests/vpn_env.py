"""A real OpenVPN server on 127.0.0.1 for the agent's VPN tests.

The server runs on the host side (outside the router root) in point-to-point
TLS mode with a null device, so neither end needs a kernel device; it pushes a
one-second ping so that the client's byte counts come every second. The agent
inside the root runs the real openvpn client through the wrapper in
standins/openvpn, which only swaps "--dev tap" for "--dev null".
"""

from __future__ import annotations

import os
import select
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

from poll import connect, free_port, poll

HERE = Path(__file__).resolve().parent
OPENVPN = "/usr/sbin/openvpn"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_ca(folder: Path) -> tuple[Path, Path]:
    """A throwaway CA: (certificate, key)."""
    folder.mkdir(parents=True, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
             "-days", "2", "-subj", "/CN=Throwaway VPN test CA", cwd=folder)
    return folder / "ca.crt", folder / "ca.key"


def issue_cert(folder: Path, ca_crt: Path, ca_key: Path, name: str, cn: str,
               server: bool) -> tuple[Path, Path]:
    """A certificate signed by the CA; server=True gives the TLS Web Server
    Authentication extended key usage, otherwise TLS Web Client Authentication."""
    folder.mkdir(parents=True, exist_ok=True)
    ext = folder / f"{name}.ext"
    ext.write_text("basicConstraints=CA:FALSE\nextendedKeyUsage="
                   + ("serverAuth" if server else "clientAuth") + "\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
             "-subj", f"/CN={cn}", cwd=folder)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", str(ca_crt), "-CAkey", str(ca_key),
             "-CAcreateserial", "-out", f"{name}.crt", "-days", "2", "-extfile", str(ext), cwd=folder)
    return folder / f"{name}.crt", folder / f"{name}.key"


def make_tls_auth_key(path: Path) -> Path:
    subprocess.run([OPENVPN, "--genkey", "secret", str(path)], check=True, capture_output=True,
                   timeout=30)
    return path


class VpnServer:
    """openvpn --tls-server on 127.0.0.1:<port> (TCP)."""

    def __init__(self, folder: Path, ca_crt: Path, cert: Path, key: Path,
                 tls_auth: Path | None = None, port: int | None = None):
        self.folder = folder
        self.port = port or free_port()
        self.log = folder / f"vpn-server-{self.port}.log"
        self.argv = [OPENVPN, "--tls-server", "--proto", "tcp-server", "--local", "127.0.0.1",
                     "--port", str(self.port), "--dev", "null", "--ca", str(ca_crt),
                     "--cert", str(cert), "--key", str(key), "--dh", "none",
                     "--push", "ping 1", "--ping", "1", "--verb", "3"]
        if tls_auth:
            self.argv += ["--tls-auth", str(tls_auth), "0"]
        self.proc: subprocess.Popen | None = None

    def start(self, timeout: float = 10.0) -> "VpnServer":
        """Starts the server (again, after stop(), on the same port)."""
        seen = len(self.log_text())
        self.proc = subprocess.Popen(self.argv + ["--log-append", str(self.log)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)

        def listening() -> bool:
            if self.proc.poll() is not None:
                raise RuntimeError("openvpn server ended:\n" + self.log_text())
            return "Listening for incoming TCP connection" in self.log_text()[seen:]

        poll(listening, timeout, what=lambda: "openvpn server not listening:\n" + self.log_text())
        return self

    def log_text(self) -> str:
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


def install_openvpn_wrapper(r) -> str:
    """Puts the wrapper first in the root's PATH (/usr/local/sbin)."""
    return r.install(HERE / "standins" / "openvpn", "/usr/local/sbin/openvpn")


def offer_vpn(r, portal, server: VpnServer, tls_auth: Path | None = None, name: str = "testvpn",
              servers: list | None = None) -> dict:
    """The portal offers server (or servers) to the agent of root r, which
    runs openvpn through the wrapper, with the tls-auth key when given;
    returns the agent's settings for it (its own management port)."""
    install_openvpn_wrapper(r)
    entry = {"name": name, "host": "127.0.0.1", "ip": "127.0.0.1", "port": str(server.port),
             "proto": "tcp-client"}
    settings = {"TELVSDK_VPN_LOCAL_MGM_PORT": free_port(), "inactivity": 1}
    if tls_auth:
        r.install(tls_auth, "/etc/telvsdk/ta.key", 0o600)
        entry["args"] = "--tls-auth %tlsauthfile% 1"
        settings["TELVSDK_CFG_TLSAUTH"] = "/etc/telvsdk/ta.key"
    portal.config(servers=servers or [entry])
    return settings


def openvpn_pids(r) -> list[int]:
    p = r.tmp / "standin" / "openvpn.pids"
    if not p.exists():
        return []
    return [int(x) for x in p.read_text().split()]


def alive(pid: int) -> bool:
    """True while the process exists and is not a zombie."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


def end_agent_and_openvpn(r, procs):
    """An agent still running gets SIGTERM (so it ends its openvpn itself); an
    openvpn left over after that (agent killed) is killed by its process id."""
    for proc in procs:
        if proc.running():
            proc.signal(signal.SIGTERM)
            try:
                proc.wait(15)
            except Exception:
                proc.popen.kill()
    for pid in openvpn_pids(r):
        if alive(pid):
            os.kill(pid, signal.SIGKILL)


class MgmtRelay(threading.Thread):
    """Stands on the agent's management port and relays, line by line, to
    OpenVPN's own (moved there by the wrapper's mgmt-elsewhere mode, see
    use_relay). to_openvpn(line) may keep a command back (None) or change it;
    to_agent(line) may change what OpenVPN says. Lines are bytes with their
    line end."""

    def __init__(self, port: int, upstream: int, to_openvpn=None, to_agent=None):
        super().__init__(daemon=True)
        self.upstream = upstream
        self.to_openvpn = to_openvpn or (lambda line: line)
        self.to_agent = to_agent or (lambda line: line)
        self.lsock = socket.socket()
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lsock.bind(("127.0.0.1", port))
        self.lsock.listen(1)
        self.lsock.settimeout(20)
        self.start()

    @staticmethod
    def _lines(buffer: bytes) -> tuple[list[bytes], bytes]:
        *lines, rest = buffer.split(b"\n")
        return [line + b"\n" for line in lines], rest

    def run(self):
        try:
            agent, _ = self.lsock.accept()
        except OSError:
            return
        deadline = time.monotonic() + 120
        try:
            ovpn = connect(self.upstream, 120, io_timeout=1)
        except TimeoutError:
            agent.close()
            return
        # each side: (socket, the other side, hook, bytes of an unfinished line)
        sides = {agent: [ovpn, self.to_openvpn, b""], ovpn: [agent, self.to_agent, b""]}
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select([agent, ovpn], [], [], 0.2)
                for sock in ready:
                    data = sock.recv(4096)
                    if not data:
                        return
                    other, hook, rest = sides[sock]
                    lines, sides[sock][2] = self._lines(rest + data)
                    out = b"".join(x for x in map(hook, lines) if x is not None)
                    if out:
                        other.sendall(out)
        except OSError:
            pass
        finally:
            agent.close()
            ovpn.close()

    def close(self):
        self.lsock.close()
        self.join(5)


def use_relay(r, mgmt_port: int, **hooks) -> MgmtRelay:
    """The next openvpn started in root r listens for its management elsewhere;
    a relay takes the agent's management port."""
    upstream = free_port()
    r.write("/tmp/standin/openvpn.mode", "mgmt-elsewhere")
    r.write("/tmp/standin/openvpn.mgmtport", str(upstream))
    return MgmtRelay(mgmt_port, upstream, **hooks)


LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"


class FakeClock:
    """The wall clock of a program started in root r, stepped by the test
    (libfaketime with an offset file; the monotonic clock stays real, as when
    NTP or the agent itself sets the clock). Never the host's clock."""

    FILE = "/tmp/faketime.offset"

    def __init__(self, r):
        self.r = r
        self.offset = 0
        r.write(self.FILE, "+0\n")
        asan = os.environ.get("ASAN_OPTIONS", "")
        self.env = {"LD_PRELOAD": LIBFAKETIME, "FAKETIME_TIMESTAMP_FILE": self.FILE,
                    "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                    # the sanitizer runtime is not the first library then
                    "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}

    def step(self, seconds: int):
        self.offset += seconds
        self.r.write(self.FILE, f"{self.offset:+d}\n")


class HttpProxy:
    """tinyproxy on 127.0.0.1 asking for a user and password (Basic)."""

    def __init__(self, folder: Path, user: str, password: str):
        self.port = free_port()
        self.log = folder / f"proxy-{self.port}.log"
        self.conf = folder / f"proxy-{self.port}.conf"
        self.conf.write_text(f"Port {self.port}\nListen 127.0.0.1\nTimeout 600\nMaxClients 20\n"
                             f"BasicAuth {user} {password}\nLogLevel Info\nLogFile \"{self.log}\"\n")
        self.proc: subprocess.Popen | None = None

    def start(self, timeout: float = 10.0) -> "HttpProxy":
        self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", str(self.conf)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        connect(self.port, timeout).close()
        return self

    def log_text(self) -> str:
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(5)
