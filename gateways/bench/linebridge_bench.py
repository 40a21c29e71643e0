#!/usr/bin/python3
"""Round-trip latency and throughput of linebridge in server mode between a
pseudo-terminal and a TCP client on 127.0.0.1, next to socat and ser2net
configured the same way (raw, 921600 8N1, one client).

Throughput is TCP to serial, measured twice: with the loopback's own segment
size (about 64 KiB) and with Ethernet-sized segments (the client clamps its
segments to 1460 bytes). The fastest line the bridge drives, 921600 bit/s,
carries 92 kB/s; a pseudo-terminal has no line rate, so the figures show what
the bridge itself can move.

Run from the source tree after a build, as root (it uses a router root):
    RT_BUILD=build/default PYTHONPATH=testing python3 gateways/bench/linebridge_bench.py
Options: --rounds N (round trips per size, default 1000), --bytes N (bytes per
throughput run, default 1 MiB; a run also ends after 30 s). Needs the socat
and ser2net packages. Prints one line per peer.
"""

import argparse
import os
import pty
import select
import shutil
import socket
import statistics
import sys
import time
import tty

# The router root runs its programs from "/": the build path must be absolute.
if "RT_BUILD" in os.environ:
    os.environ["RT_BUILD"] = os.path.abspath(os.environ["RT_BUILD"])

from poll import connect, free_port, poll, read_until  # noqa: E402
from routerroot import RouterRoot, binary  # noqa: E402

ROUNDS = 1000
ETHERNET_MSS = 1460
RUN_SECONDS = 30


def wait_port(port, mss=0, timeout=10.0):
    """Connects to the peer; mss clamps the segments this client sends."""
    s = connect(port, timeout, before=[(socket.IPPROTO_TCP, socket.TCP_MAXSEG, mss)] if mss else [],
                io_timeout=None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_n(fd_or_sock, n, timeout=5.0):
    return read_until(fd_or_sock, lambda data: len(data) >= n, timeout, most=n)


def settle(master, sock):
    """Waits until bytes pass both ways (the peer has configured the tty and accepted)."""
    def both_ways() -> bool:
        sock.sendall(b"s")
        if not select.select([master], [], [], 0.3)[0]:
            return False
        os.read(master, 4096)
        os.write(master, b"t")
        read_n(sock, 1, 2)
        time.sleep(0.2)
        while select.select([master], [], [], 0.05)[0]:
            os.read(master, 4096)
        return True

    poll(both_ways, 10, 0, what="peer never passed bytes", retry=TimeoutError)


def round_trips(master, sock, size):
    payload = bytes((i * 7) & 0xFF for i in range(size))
    times = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        sock.sendall(payload)
        got = read_n(master, size)
        os.write(master, got)
        back = read_n(sock, size)
        times.append(time.perf_counter() - t0)
        assert back == payload
    times.sort()
    return statistics.median(times) * 1e6, times[int(len(times) * 0.99) - 1] * 1e6


def throughput(master, sock, total):
    """TCP to serial in kB/s (1000 bytes): total bytes, or what passed in RUN_SECONDS."""
    chunk = bytes(range(256)) * 16
    sent = received = 0
    t0 = time.perf_counter()
    sock.setblocking(False)
    while received < total and time.perf_counter() - t0 < RUN_SECONDS:
        w = [sock] if sent < total else []
        r, wr, _ = select.select([master], w, [], 5)
        if not r and not wr:
            raise TimeoutError(f"throughput stalled at {received}")
        if wr:
            try:
                sent += sock.send(chunk[: min(len(chunk), total - sent)])
            except BlockingIOError:
                pass
        if r:
            received += len(os.read(master, 65536))
    return received / (time.perf_counter() - t0) / 1e3


def measure(name, master, port, total):
    sock = wait_port(port)
    settle(master, sock)
    m1, p1 = round_trips(master, sock, 1)
    m256, p256 = round_trips(master, sock, 256)
    loop_kbs = throughput(master, sock, total)
    sock.close()
    # A new client with Ethernet-sized segments; what the last one left is read first.
    while select.select([master], [], [], 0.3)[0]:
        os.read(master, 65536)
    sock = wait_port(port, ETHERNET_MSS)
    settle(master, sock)
    eth_kbs = throughput(master, sock, total)
    sock.close()
    print(f"{name:10s} 1 byte: median {m1:7.1f} us  p99 {p1:7.1f} us | "
          f"256 bytes: median {m256:7.1f} us  p99 {p256:7.1f} us | "
          f"tcp->tty loopback {loop_kbs:8.1f} kB/s, {ETHERNET_MSS}-byte segments {eth_kbs:8.1f} kB/s",
          flush=True)
    return m1, m256


def new_pty():
    master, slave = pty.openpty()
    tty.setraw(master)
    return master, slave, os.ttyname(slave)


def main():
    global ROUNDS
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    ap.add_argument("--bytes", type=int, default=1 << 20)
    args = ap.parse_args()
    ROUNDS = args.rounds
    base = "/var/tmp/linebridge-bench"
    shutil.rmtree(base, ignore_errors=True)
    root = RouterRoot(base)
    results = {}
    try:
        master, slave, path = new_pty()
        port = free_port()
        root.write("/etc/linebridge.conf", f"tty={path}\nmode=1\nport={port}\nspeed=921600\n"
                   "databits=8\nparity=n\nstopbits=1\nrtscts=false\nxonxoff=false\n")
        # Its debug lines go where the caller sends them; here, as usual, nowhere.
        p = root.start(["/bin/sh", "-c", f"exec {binary('linebridge')} -c /etc/linebridge.conf >/dev/null"])
        results["linebridge"] = measure("linebridge", master, port, args.bytes)
        p.stop()
        os.close(master), os.close(slave)

        if shutil.which("socat"):
            master, slave, path = new_pty()
            port = free_port()
            p = root.start(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,nodelay,fork",
                            f"FILE:{path},raw,echo=0,b921600,cs8,parenb=0,cstopb=0,crtscts=0,ixon=0"])
            results["socat"] = measure("socat", master, port, args.bytes)
            p.stop()
            os.close(master), os.close(slave)

        if shutil.which("ser2net"):
            master, slave, path = new_pty()
            port = free_port()
            root.write("/etc/ser2net-bench.yaml",
                       "connection: &bench\n"
                       f"  accepter: tcp,127.0.0.1,{port}\n"
                       f"  connector: serialdev,{path},921600n81,local\n"
                       "  options:\n    kickolduser: false\n")
            p = root.start(["ser2net", "-n", "-d", "-c", "/etc/ser2net-bench.yaml", "-P", "/tmp/ser2net.pid"])
            results["ser2net"] = measure("ser2net", master, port, args.bytes)
            p.stop()
            os.close(master), os.close(slave)
    finally:
        root.close()
        shutil.rmtree(base, ignore_errors=True)
    lb = results["linebridge"]
    for peer in ("socat", "ser2net"):
        if peer in results:
            ok = lb[0] <= results[peer][0] and lb[1] <= results[peer][1]
            print(f"linebridge median vs {peer}: {'<=' if ok else '>'} (1 byte {lb[0]:.1f}/{results[peer][0]:.1f} us,"
                  f" 256 bytes {lb[1]:.1f}/{results[peer][1]:.1f} us)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
