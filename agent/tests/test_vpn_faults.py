"""The VPN when OpenVPN dies, or the agent is told to end, in the states
before the tunnel is up (HOLD and CONNECTING; CONNECTED: test_vpn_process.py).

Afterwards no openvpn may be left, the state must be back to 0 (or the status
files gone when the agent ended), and a killed OpenVPN must not keep the agent
from starting the next one.
"""

import os
import select
import signal
import socket
import threading
import time

import pytest

import vpn_env
from conftest import agent_log, wait_log
from test_vpn_process import vpn_agent, vpn_keys, vpn_server  # noqa: F401  (fixtures)
from vpn_env import alive, openvpn_pids, wait_until

AGENT_FILES = ("/tmp/code_status", "/tmp/hbs_status", "/tmp/vpn_status")


class HoldGate(threading.Thread):
    """Stands on the agent's management port and relays to OpenVPN's own (moved
    by the wrapper's mgmt-elsewhere mode), but keeps "hold release" back: the
    agent stays in VPN_STATE_HOLD and OpenVPN in its hold. Everything else,
    "signal SIGTERM" included, passes."""

    def __init__(self, port: int, upstream: int):
        super().__init__(daemon=True)
        self.upstream = upstream
        self.lsock = socket.socket()
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lsock.bind(("127.0.0.1", port))
        self.lsock.listen(1)
        self.lsock.settimeout(20)
        self.held = threading.Event()
        self.start()

    def run(self):
        try:
            agent, _ = self.lsock.accept()
        except OSError:
            return
        deadline = time.monotonic() + 60
        ovpn = None
        while ovpn is None and time.monotonic() < deadline:
            try:
                ovpn = socket.create_connection(("127.0.0.1", self.upstream), timeout=1)
            except OSError:
                time.sleep(0.1)
        if ovpn is None:
            agent.close()
            return
        pending = b""
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select([agent, ovpn], [], [], 0.2)
                if ovpn in ready:
                    data = ovpn.recv(4096)
                    if not data:
                        break
                    agent.sendall(data)
                if agent in ready:
                    data = agent.recv(4096)
                    if not data:
                        break
                    pending += data
                    while b"\n" in pending:
                        line, pending = pending.split(b"\n", 1)
                        if line.strip() == b"hold release":
                            self.held.set()
                            continue
                        ovpn.sendall(line + b"\n")
        except OSError:
            pass
        finally:
            agent.close()
            ovpn.close()

    def close(self):
        self.lsock.close()
        self.join(5)


@pytest.fixture
def in_hold(vpn_agent):  # noqa: F811
    """factory() -> (agent, gate, openvpn pid) with the agent in VPN_STATE_HOLD."""
    made = []

    def make():
        a = vpn_agent()
        upstream = vpn_env.free_port()
        a.r.write("/tmp/standin/openvpn.mode", "mgmt-elsewhere")
        a.r.write("/tmp/standin/openvpn.mgmtport", str(upstream))
        gate = HoldGate(a.mgmt_port, upstream)
        made.append(gate)
        a.portal.queue(method="connectvpn")
        assert gate.held.wait(15), agent_log(a.r)[-2000:]
        a.wait_status(1)
        pid = openvpn_pids(a.r)[-1]
        assert alive(pid)
        log = agent_log(a.r)
        assert "MGMT       Connected to management interface" in log
        assert "HOLD release succeeded" not in log
        return a, gate, pid

    try:
        yield make
    finally:
        for g in made:
            g.close()


@pytest.fixture
def in_connecting(vpn_agent):  # noqa: F811
    """factory() -> (agent, openvpn pid) with the agent in VPN_STATE_CONNECTING:
    the server accepts TCP and never answers."""
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(4)
    lsock.settimeout(30)
    held = []
    threading.Thread(target=lambda: held.append(lsock.accept()), daemon=True).start()

    def make():
        a = vpn_agent(servers=[{"name": "mute", "host": "127.0.0.1",
                                "port": str(lsock.getsockname()[1]), "proto": "tcp-client"}])
        a.portal.queue(method="connectvpn")
        wait_log(a.r, "MGMT       HOLD release succeeded", 15)
        a.wait_status(2)
        assert "VPN CONNECTED" not in agent_log(a.r)
        pid = openvpn_pids(a.r)[-1]
        assert alive(pid)
        return a, pid

    try:
        yield make
    finally:
        lsock.close()


def no_openvpn_left(r):
    return all(not alive(pid) for pid in openvpn_pids(r))


def test_openvpn_killed_in_hold_then_the_next_connect_works(in_hold):
    a, gate, pid = in_hold()
    os.kill(pid, signal.SIGKILL)
    wait_log(a.r, "ERROR      Error executing openvpn.", 10)
    a.wait_status(0)
    assert wait_until(lambda: no_openvpn_left(a.r), 5)
    assert a.proc.running()
    # the next start, with OpenVPN's management where the agent expects it
    gate.close()
    a.r.remove("/tmp/standin/openvpn.mode")
    a.connect()
    a.wait_status(3)
    assert len(openvpn_pids(a.r)) == 2


def test_openvpn_killed_while_connecting(in_connecting):
    a, pid = in_connecting()
    os.kill(pid, signal.SIGKILL)
    wait_log(a.r, "ERROR      Error executing openvpn.", 10)
    a.wait_status(0)
    assert wait_until(lambda: no_openvpn_left(a.r), 5)
    assert a.proc.running()
    assert "Waited too long" not in agent_log(a.r)


def sigterm_ends_agent_and_openvpn(a):
    t0 = time.monotonic()
    a.proc.signal(signal.SIGTERM)
    assert a.proc.wait(15) == 0
    assert no_openvpn_left(a.r)
    for f in AGENT_FILES:
        assert not a.r.exists(f), f
    # the exit line comes first: the VPN is stopped on the exit path after it
    log = agent_log(a.r)
    assert "INFO       signal 15 received" in log
    assert log.index("TELV Linux-SDK 0.2.1 exit ---") < log.index("VPN DISCONNECTED from")
    return time.monotonic() - t0


def test_sigterm_in_hold(in_hold):
    a, gate, pid = in_hold()
    # "signal SIGTERM" reaches OpenVPN through the gate: no 5 s wait for it
    assert sigterm_ends_agent_and_openvpn(a) < 5
    assert not alive(pid)


def test_sigterm_while_connecting(in_connecting):
    a, pid = in_connecting()
    assert sigterm_ends_agent_and_openvpn(a) < 10
    assert not alive(pid)


def test_failed_pushes_keep_the_server_list_and_the_tunnel(vpn_agent):  # noqa: F811
    a = vpn_agent()
    a.portal.fault("push500")  # every push request from now on
    a.portal.fault("500", count=1)  # ends the connection: the next one asks for the list
    assert wait_until(lambda: len([q for q in a.portal.requests() if q["query"] == "init=1"]) == 2,
                      10)
    wait_log(a.r, "PUSH ERROR Unable to push data. HTTP Error 500", 10)
    a.r.wait_file("/tmp/hbs_status", 10, content="2")
    # the list of the first connection still serves
    a.connect()
    assert wait_until(lambda: agent_log(a.r).count("Unable to push data. HTTP Error 500") == 2, 10)
    a.wait_status(3)
    assert a.portal.networks() == []
    a.portal.fault(None)
    a.portal.queue(method="disconnectvpn")
    wait_log(a.r, "VPN DISCONNECTED from testvpn", 15)
    a.wait_status(0)
    assert wait_until(lambda: no_openvpn_left(a.r), 5)


def test_sigterm_while_the_management_port_stays_closed(vpn_agent):  # noqa: F811
    a = vpn_agent()
    a.r.write("/tmp/standin/openvpn.mode", "mgmt-elsewhere")
    a.r.write("/tmp/standin/openvpn.mgmtport", str(vpn_env.free_port()))
    a.portal.queue(method="connectvpn")
    wait_log(a.r, "MGMT       Try #2 to connect to management interface failed. ", 10)
    assert wait_until(lambda: openvpn_pids(a.r) and alive(openvpn_pids(a.r)[-1]), 5)
    # OpenVPN waits in its hold with no one to tell it to stop: its group is ended
    assert sigterm_ends_agent_and_openvpn(a) < 10
    assert "Try #6" not in agent_log(a.r)
