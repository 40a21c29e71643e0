"""Fixtures of the gateway process tests: pseudo-terminals the test holds,
TCP helpers on 127.0.0.1, a real SMTP server and the message stand-ins."""

import json
import os
import pty
import re
import select
import socket
import threading
import time

import pytest

from routerroot import binary


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port: int, timeout: float = 5.0) -> socket.socket:
    deadline = time.monotonic() + timeout
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=1)
            s.settimeout(5)
            return s
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def recv_until(sock: socket.socket, pattern: bytes, timeout: float = 5.0) -> bytes:
    """Reads until pattern (a regex on bytes) matches; returns all read."""
    rx = re.compile(pattern)
    data = b""
    deadline = time.monotonic() + timeout
    while not rx.search(data):
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError(f"no {pattern!r} in {data!r}")
        r, _, _ = select.select([sock], [], [], min(left, 0.2))
        if r:
            chunk = sock.recv(4096)
            if not chunk:
                raise ConnectionError(f"closed after {data!r}")
            data += chunk
    return data


def recv_exactly(sock: socket.socket, n: int, timeout: float = 5.0) -> bytes:
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError(f"got {len(data)} of {n} bytes: {data!r}")
        r, _, _ = select.select([sock], [], [], min(left, 0.2))
        if r:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError(f"closed after {data!r}")
            data += chunk
    return data


def silent_for(sock: socket.socket, seconds: float) -> bool:
    """True when nothing arrives (and the peer does not close) for seconds."""
    r, _, _ = select.select([sock], [], [], seconds)
    return not r


def closed_within(sock: socket.socket, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        r, _, _ = select.select([sock], [], [], 0.2)
        if r:
            try:
                if sock.recv(4096) == b"":
                    return True
            except ConnectionResetError:
                return True
    return False


class Pty:
    """A pseudo-terminal: the program opens the slave path, the test keeps the master."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)

    def attrs(self):
        import termios
        return termios.tcgetattr(self.master)

    def wait_attrs(self, pred, timeout: float = 5.0):
        deadline = time.monotonic() + timeout
        while True:
            a = self.attrs()
            if pred(a):
                return a
            if time.monotonic() > deadline:
                raise TimeoutError(f"terminal settings not applied: {a}")
            time.sleep(0.02)

    def write(self, data: bytes):
        os.write(self.master, data)

    def read_exactly(self, n: int, timeout: float = 5.0) -> bytes:
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"got {len(data)} of {n} bytes: {data!r}")
            r, _, _ = select.select([self.master], [], [], min(left, 0.2))
            if r:
                try:
                    data += os.read(self.master, n - len(data))
                except OSError:
                    time.sleep(0.02)
        return data

    def nothing_for(self, seconds: float) -> bool:
        r, _, _ = select.select([self.master], [], [], seconds)
        return not r

    def close(self):
        for fd in (self.slave, self.master):
            try:
                os.close(fd)
            except OSError:
                pass


@pytest.fixture
def ptys():
    made = []

    def make():
        p = Pty()
        made.append(p)
        return p

    yield make
    for p in made:
        p.close()


class Gateways:
    def __init__(self, root):
        self.r = root

    def start(self, program: str, config: str, env: dict | None = None):
        self.r.write(f"/etc/{program}.conf", config)
        return self.r.start([str(binary(program)), "-c", f"/etc/{program}.conf"], env=env)

    def sms_calls(self) -> list[list[str]]:
        p = self.r.tmp / "standin" / "send_sms.sh.jsonl"
        return [json.loads(line) for line in p.read_text().splitlines()] if p.exists() else []

    def mail_calls(self) -> list[list[str]]:
        p = self.r.tmp / "standin" / "mailsend.jsonl"
        return [json.loads(line) for line in p.read_text().splitlines()] if p.exists() else []

    def sms_result(self, text: str | None):
        """What send_sms.sh leaves in /tmp/atsend_result_code (None: nothing)."""
        p = "/tmp/standin/send_sms.sh.result"
        if text is None:
            self.r.remove(p)
        else:
            self.r.write(p, text)

    def sms_exit(self, status: int):
        """send_sms.sh's exit status from now on."""
        self.r.write("/tmp/standin/send_sms.sh.rc", f"{status}\n")


@pytest.fixture
def gw(router_root):
    r = router_root
    r.standin("/usr/bin/send_sms.sh", name="send_sms.sh")
    r.standin("/usr/bin/mailsend", name="mailsend")
    return Gateways(r)


class MailSink:
    def __init__(self):
        self.messages = []
        self.logins = []
        self.cond = threading.Condition()
        self.port = 0

    async def handle_DATA(self, server, session, envelope):
        with self.cond:
            self.messages.append(envelope)
            self.cond.notify_all()
        return "250 OK"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        from aiosmtpd.smtp import AuthResult
        ok = auth_data.login == b"ops" and auth_data.password == b"s3cret"
        if ok:
            self.logins.append(auth_data.login.decode())
        return AuthResult(success=ok)

    def wait(self, count: int = 1, timeout: float = 10.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.messages) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"{len(self.messages)} of {count} mails arrived")
                self.cond.wait(left)
            return self.messages[:count]


@pytest.fixture
def smtp_server():
    """A real SMTP server on 127.0.0.1 that keeps what it receives."""
    from aiosmtpd.controller import Controller
    sink = MailSink()
    sink.port = free_port()
    ctl = Controller(sink, hostname="127.0.0.1", port=sink.port,
                     authenticator=sink.authenticate, auth_require_tls=False)
    ctl.start()
    try:
        yield sink
    finally:
        ctl.stop()
