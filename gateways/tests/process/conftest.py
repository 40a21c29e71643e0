"""Fixtures of the gateway process tests: pseudo-terminals the test holds,
TCP helpers on 127.0.0.1, a real SMTP server and the message stand-ins."""

import json
import os
import pty
import re
import select
import socket
import threading

import pytest

from poll import free_port, poll, read_until
from routerroot import binary


def recv_until(sock: socket.socket, pattern: bytes, timeout: float = 5.0) -> bytes:
    """Reads until pattern (a regex on bytes) matches; returns all read."""
    rx = re.compile(pattern)
    return read_until(sock, lambda data: rx.search(data), timeout)


def recv_exactly(sock: socket.socket, n: int, timeout: float = 5.0) -> bytes:
    return read_until(sock, lambda data: len(data) >= n, timeout, most=n)


def silent_for(sock: socket.socket, seconds: float) -> bool:
    """True when nothing arrives (and the peer does not close) for seconds."""
    r, _, _ = select.select([sock], [], [], seconds)
    return not r


def closed_within(sock: socket.socket, seconds: float) -> bool:
    try:
        read_until(sock, lambda data: False, seconds)
    except ConnectionError:  # the peer closed or reset the connection
        return True
    except TimeoutError:
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
        return poll(lambda: pred(a := self.attrs()) and a, timeout, 0.02,
                    what=lambda: f"terminal settings not applied: {self.attrs()}")

    def write(self, data: bytes):
        os.write(self.master, data)

    def read_exactly(self, n: int, timeout: float = 5.0) -> bytes:
        return read_until(self.master, lambda data: len(data) >= n, timeout, most=n, retry=OSError)

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
        with self.cond:
            poll(lambda: len(self.messages) >= count, timeout, 0.2,
                 what=lambda: f"{len(self.messages)} of {count} mails arrived", pause=self.cond.wait)
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
