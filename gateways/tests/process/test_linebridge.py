"""linebridge between a pseudo-terminal the test holds and TCP on 127.0.0.1."""

import os
import re
import signal
import socket
import struct
import termios
import time

from conftest import recv_exactly
from poll import connect, free_port, poll, within
from routerroot import binary

IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED = range(6)


def probe_env():
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": str(binary("libtermios_probe.so")), "TERMIOS_PROBE": "/tmp/termios.log",
            "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}


def probed(r):
    """The settings linebridge applied, from the probe: list of dicts of ints."""
    out = []
    if not r.exists("/tmp/termios.log"):
        return out
    for line in r.read("/tmp/termios.log").splitlines():
        fields = dict(kv.split("=") for kv in line.split())
        out.append({k: int(v, 8) if k.endswith("flag") else int(v) for k, v in fields.items()})
    return out


def server_config(tty, port, extra=""):
    return f"tty={tty}\nmode=1\nport={port}\n{extra}"


def keepalive_due(local_port=None, remote_port=None, timeout=5.0):
    """Seconds until the kernel's first keepalive probe on the established
    connection with that local or remote port; None when no keepalive timer
    is armed within timeout."""
    def due():
        with open("/proc/net/tcp") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        for row in rows:
            lport, rport = (int(a.split(":")[1], 16) for a in row[1:3])
            timer, when = row[5].split(":")
            if row[3] == "01" and (lport == local_port or rport == remote_port) and timer == "02":
                return (int(when, 16) / os.sysconf("SC_CLK_TCK"),)
        return None

    try:
        return poll(due, timeout)[0]
    except TimeoutError:
        return None


def test_server_mode_115200_8n1_passes_bytes_unchanged_both_ways(gw, ptys):
    r = gw.r
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(
        p.path, port, "speed=115200\ndatabits=8\nparity=n\nstopbits=1\nrtscts=false\nxonxoff=false\n"))
    a = p.wait_attrs(lambda a: a[OSPEED] == termios.B115200)
    assert a[ISPEED] == termios.B115200
    assert a[CFLAG] & termios.CSIZE == termios.CS8
    assert not a[CFLAG] & (termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
    assert a[LFLAG] == 0 and a[OFLAG] == 0
    assert not a[IFLAG] & (termios.ICRNL | termios.INLCR | termios.IGNCR | termios.IXON | termios.IXOFF
                           | termios.ISTRIP | termios.BRKINT)
    assert r.read("/var/run/linebridge.pid") == f"{proc.pid}\n" or r.exists("/var/run/linebridge.pid")

    c = connect(port)
    to_tty = b"AT\r\n\x00\xff\x11\x13 end\n"
    c.sendall(to_tty)
    assert p.read_exactly(len(to_tty)) == to_tty
    from_tty = bytes(range(256))
    p.write(from_tty)
    assert recv_exactly(c, 256) == from_tty
    # The debug line shows exactly the bytes read, nothing past them.
    proc.wait_output(r"socket\(r\):13 rc, tty\(w\):13")
    raw = proc._out.data
    assert b"socket read:" + to_tty + b"\n" in raw
    assert proc.running()


def test_speed_outside_table_and_7e1_two_stop_bits_in_any_order(gw, ptys):
    r = gw.r
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(
        p.path, port, "stopbits=2\nparity=e\nspeed=1000\nrtscts=true\ndatabits=7\n"), env=probe_env())
    a = p.wait_attrs(lambda a: a[OSPEED] == termios.B9600 and a[CFLAG] & termios.CSTOPB)
    assert a[CFLAG] & termios.CRTSCTS
    proc.wait_stderr("unsupported speed 1000, using 9600\n")
    # Pseudo-terminals force CS8 and no parity: the applied settings come from the probe.
    within(lambda: probed(r), 5)
    applied = probed(r)[-1]
    assert applied["cflag"] & termios.CSIZE == termios.CS7
    assert applied["cflag"] & termios.PARENB and not applied["cflag"] & termios.PARODD
    assert applied["cflag"] & termios.CSTOPB
    assert applied["ospeed"] == termios.B9600


def test_second_client_waits_until_the_first_is_gone(gw, ptys):
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(p.path, port))
    p.wait_attrs(lambda a: a[LFLAG] == 0)
    first = connect(port)
    first.sendall(b"1")
    assert p.read_exactly(1) == b"1"
    second = connect(port)  # completes in the backlog
    second.sendall(b"2")
    assert p.nothing_for(0.8), "the second client must not be served yet"
    p.write(b"to-first")
    assert recv_exactly(first, 8) == b"to-first"
    first.close()
    proc.wait_output(r"rc:0, socket reset")
    assert p.read_exactly(1, timeout=5) == b"2"
    p.write(b"to-second")
    assert recv_exactly(second, 9) == b"to-second"


def test_a_client_that_vanished_without_closing_is_probed_in_both_modes(gw, ptys):
    # A cellular client whose link is lost never closes: only keepalive
    # probes (after 60 idle seconds) find out and free the only slot.
    p = ptys()
    port = free_port()
    gw.start("linebridge", server_config(p.path, port))
    p.wait_attrs(lambda a: a[LFLAG] == 0)
    c = connect(port)
    c.sendall(b"x")
    assert p.read_exactly(1) == b"x"
    due = keepalive_due(local_port=port)
    assert due is not None and 50 < due <= 60, due

    q = ptys()
    with socket.socket() as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        srv.settimeout(5)
        port = srv.getsockname()[1]
        gw.start("linebridge", f"tty={q.path}\nmode=0\naddress=127.0.0.1\nport={port}\n")
        conn, _ = srv.accept()
        q.wait_attrs(lambda a: a[LFLAG] == 0)
        due = keepalive_due(remote_port=port)
        assert due is not None and 50 < due <= 60, due
        conn.close()


def test_client_that_vanished_does_not_kill_the_bridge(gw, ptys):
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(p.path, port))
    p.wait_attrs(lambda a: a[LFLAG] == 0)
    c = connect(port)
    c.sendall(b"x")
    assert p.read_exactly(1) == b"x"
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()  # reset at once
    for _ in range(5):
        p.write(b"data for nobody")
        time.sleep(0.1)
    assert proc.running(), proc.stdout
    proc.wait_output(r"(socket write error|socket reset)")
    c2 = connect(port)
    c2.sendall(b"y")  # served once accepted
    assert p.read_exactly(1) == b"y"
    p.write(b"hello")
    assert recv_exactly(c2, 5, timeout=6) == b"hello", proc.stdout


def test_client_mode_reconnects_when_the_peer_closes(gw, ptys):
    p = ptys()
    with socket.socket() as srv:
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        srv.settimeout(5)
        port = srv.getsockname()[1]
        proc = gw.start("linebridge", f"tty={p.path}\nmode=0\naddress=127.0.0.1\nport={port}\n")
        conn, _ = srv.accept()
        p.wait_attrs(lambda a: a[LFLAG] == 0)
        p.write(b"up\r\n")
        assert recv_exactly(conn, 4) == b"up\r\n"
        conn.sendall(b"down\n")
        assert p.read_exactly(5) == b"down\n"
        conn.close()
        t0 = time.monotonic()
        conn2, _ = srv.accept()
        assert time.monotonic() - t0 < 2.5
        proc.wait_output(r"rc:0, socket reset")
        conn2.sendall(b"again")
        assert p.read_exactly(5) == b"again"
        conn2.close()


def test_client_mode_retries_while_nobody_listens(gw, ptys):
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", f"tty={p.path}\nmode=2\naddress=127.0.0.1\nport={port}\n")
    proc.wait_stderr(r"open socket fail\n.*open socket fail\n", timeout=5)
    with socket.socket() as srv:
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        srv.bind(("127.0.0.1", port))
        srv.listen(1)
        srv.settimeout(5)
        conn, _ = srv.accept()
        p.write(b"late")
        assert recv_exactly(conn, 4) == b"late"
        conn.close()


def test_tty_gone_and_back_while_the_client_stays(gw, ptys):
    r = gw.r
    first = ptys()
    link = r.tmp / "ttyGW"
    os.symlink(first.path, link)
    port = free_port()
    proc = gw.start("linebridge", server_config("/tmp/ttyGW", port))
    first.wait_attrs(lambda a: a[LFLAG] == 0)
    c = connect(port)
    c.sendall(b"a")
    assert first.read_exactly(1) == b"a"

    os.unlink(link)  # the adapter is pulled: its device node goes away
    first.close()
    proc.wait_output(r"rc:-?\d+, tty reset")
    proc.wait_stderr(r"open /tmp/ttyGW fail\n.*open /tmp/ttyGW fail\n", timeout=5)

    second = ptys()
    os.symlink(second.path, link)
    second.wait_attrs(lambda a: a[LFLAG] == 0, timeout=5)
    c.sendall(b"b")
    assert second.read_exactly(1) == b"b"
    second.write(b"back")
    assert recv_exactly(c, 4) == b"back"
    assert proc.running()


def test_bytes_through_a_long_stream_arrive_in_order(gw, ptys):
    p = ptys()
    port = free_port()
    gw.start("linebridge", server_config(p.path, port, "speed=921600\n"))
    p.wait_attrs(lambda a: a[OSPEED] == termios.B921600)
    c = connect(port)
    blob = os.urandom(4096)
    got = b""
    for i in range(0, len(blob), 256):
        c.sendall(blob[i:i + 256])
        got += p.read_exactly(256)
    assert got == blob


def test_a_tty_that_cannot_keep_up_loses_no_byte(gw, ptys):
    # The client sends faster than the serial side takes the bytes: the
    # device's output queue fills and writes to it would block for a while.
    import threading
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(p.path, port))
    p.wait_attrs(lambda a: a[LFLAG] == 0)
    c = connect(port)
    blob = os.urandom(64 * 1024)  # the pty holds about 20 KiB
    sender = threading.Thread(target=c.sendall, args=(blob,), daemon=True)
    sender.start()
    time.sleep(1.0)  # the serial side reads nothing for a second
    got = p.read_exactly(len(blob), timeout=30)
    sender.join(10)
    assert got == blob
    assert "tty reset" not in proc.stdout and "tty write error" not in proc.stdout
    assert proc.running()


def test_a_client_waiting_to_be_accepted_gets_the_serial_bytes(gw, ptys):
    # The bridge is stopped while a client connects and the serial side
    # sends: when it runs again both are ready, and the client, already
    # connected, must get those bytes instead of their being dropped.
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(p.path, port))
    p.wait_attrs(lambda a: a[LFLAG] == 0)
    first = connect(port)  # the listening socket is up and serves
    p.write(b"ping")
    assert recv_exactly(first, 4) == b"ping"
    first.close()
    proc.wait_output(r"rc:0, socket reset")
    proc.signal(signal.SIGSTOP)
    try:
        second = socket.create_connection(("127.0.0.1", port), timeout=5)
        p.write(b"while you were stopped")
        time.sleep(0.2)
    finally:
        proc.signal(signal.SIGCONT)
    assert recv_exactly(second, 22) == b"while you were stopped"
    second.close()
    assert proc.running()


def test_a_client_that_reads_slowly_loses_no_byte(gw, ptys):
    # The serial side sends faster than the client reads: the socket's queue
    # fills and writes to it would block for a while.
    import threading
    p = ptys()
    port = free_port()
    proc = gw.start("linebridge", server_config(p.path, port))
    p.wait_attrs(lambda a: a[LFLAG] == 0)
    c = connect(port, before=[(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)])
    blob = os.urandom(1024 * 1024)

    def feed():  # a write to the pty may take only part of a block
        left = memoryview(blob)
        while left:
            left = left[os.write(p.master, left[:4096]):]

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    time.sleep(1.0)  # the client reads nothing for a second
    got = recv_exactly(c, len(blob), timeout=30)
    writer.join(10)
    assert got == blob
    assert "socket reset" not in proc.stdout and "socket write error" not in proc.stdout
    assert proc.running()
