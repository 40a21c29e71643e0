"""Bounded waits of the tests, benchmarks and the main job, and the loopback
helpers they wait on: every "until this holds" goes through poll()."""

from __future__ import annotations

import os
import select
import socket
import time


def poll(cond, timeout: float = 10.0, step: float = 0.05, what=None, retry=(),
         pause=time.sleep):
    """Calls cond() until it gives a true value, and returns that value.

    cond runs at once, then every step seconds (pause(seconds) waits between
    two calls: a condition's or a socket's wait may stand for the sleep), and
    once more when timeout seconds have passed. Exceptions of the types in
    retry count as "not yet". Then TimeoutError, with what as its text (a
    callable gives it at that moment) and the last retried exception as cause.
    """
    deadline = time.monotonic() + timeout
    failure = None
    while True:
        try:
            value = cond()
        except retry as e:
            value, failure = None, e
        if value:
            return value
        left = deadline - time.monotonic()
        if left <= 0:
            text = what() if callable(what) else what
            raise TimeoutError(text or f"condition not met within {timeout} s") from failure
        pause(min(step, left))


def within(cond, timeout: float = 10.0, step: float = 0.05, pause=time.sleep) -> bool:
    """True when cond() turns true within timeout seconds, False otherwise."""
    try:
        poll(cond, timeout, step, pause=pause)
    except TimeoutError:
        return False
    return True


def read_until(source, done, timeout: float = 5.0, most: int | None = None, retry=()) -> bytes:
    """Reads a socket or a file descriptor until done(data) holds; returns all
    read. most: never more bytes than that. TimeoutError when done never
    holds, ConnectionError when the peer closes first."""
    data = bytearray()
    ready = [False]  # what the last wait saw

    def wait(seconds: float):
        ready[0] = bool(select.select([source], [], [], seconds)[0])

    def more() -> bool:
        if not done(data) and (ready[0] or select.select([source], [], [], 0)[0]):
            size = 4096 if most is None else most - len(data)
            piece = source.recv(size) if isinstance(source, socket.socket) else os.read(source, size)
            if not piece:
                raise ConnectionError(f"closed after {bytes(data)!r}")
            data.extend(piece)
        return done(data)

    poll(more, timeout, 0.2, what=lambda: f"not there within {timeout} s, got {bytes(data)!r}",
         retry=retry, pause=wait)
    return bytes(data)


def free_port() -> int:
    """A TCP port of 127.0.0.1 that nothing listens on at the moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port: int, timeout: float = 5.0, before=(), io_timeout: float | None = 5.0
            ) -> socket.socket:
    """A TCP connection to 127.0.0.1:port once something listens there.

    before: (level, option, value) socket options set before connecting;
    io_timeout: the connected socket's timeout (None: blocking).
    """
    def attempt():
        s = socket.socket()
        try:
            for option in before:
                s.setsockopt(*option)
            s.settimeout(1)
            s.connect(("127.0.0.1", port))
        except OSError:
            s.close()
            raise
        s.settimeout(io_timeout)
        return s

    return poll(attempt, timeout, what=f"nothing listens on 127.0.0.1:{port}", retry=OSError)
