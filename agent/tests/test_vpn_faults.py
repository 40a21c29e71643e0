"""The VPN when OpenVPN dies, or the agent is told to end, in the states
before the tunnel is up (HOLD and CONNECTING; CONNECTED: test_vpn_process.py).

Afterwards no openvpn may be left, the state must be back to 0 (or the status
files gone when the agent ended), and a killed OpenVPN must not keep the agent
from starting the next one.
"""

import os
import re
import signal
import socket
import threading
import time

import pytest

import vpn_env
from conftest import agent_log, wait_log
from poll import free_port, within
from test_vpn_process import vpn_agent, vpn_keys, vpn_server  # noqa: F401  (fixtures)
from vpn_env import alive, openvpn_pids

AGENT_FILES = ("/tmp/code_status", "/tmp/hbs_status", "/tmp/vpn_status")


@pytest.fixture
def in_hold(vpn_agent):  # noqa: F811
    """factory() -> (agent, gate, openvpn pid) with the agent in VPN_STATE_HOLD."""
    made = []

    def make():
        a = vpn_agent()
        held = threading.Event()

        def keep_the_release_back(line):
            # everything else, "signal SIGTERM" included, passes
            if line.strip() == b"hold release":
                held.set()
                return None
            return line

        gate = vpn_env.use_relay(a.r, a.mgmt_port, to_openvpn=keep_the_release_back)
        made.append(gate)
        a.portal.queue(method="connectvpn")
        assert held.wait(15), agent_log(a.r)[-2000:]
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
    assert within(lambda: no_openvpn_left(a.r), 5)
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
    assert within(lambda: no_openvpn_left(a.r), 5)
    assert a.proc.running()
    assert "Waited too long" not in agent_log(a.r)


def sigterm_ends_agent_and_openvpn(a):
    t0 = time.monotonic()
    a.proc.signal(signal.SIGTERM)
    assert a.proc.wait(15) == 0
    assert no_openvpn_left(a.r)
    for f in AGENT_FILES:
        assert not a.r.exists(f), f
    # the VPN ends before anything its threads use is released: the exit
    # line comes last
    log = agent_log(a.r)
    assert "INFO       signal 15 received" in log
    assert log.index("VPN DISCONNECTED from") < log.index("TELV Linux-SDK 0.2.1 exit ---")
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
    assert within(lambda: len([q for q in a.portal.requests() if q["query"] == "init=1"]) == 2,
                      10)
    wait_log(a.r, "PUSH ERROR Unable to push data. HTTP Error 500", 10)
    a.r.wait_file("/tmp/hbs_status", 10, content="2")
    # the list of the first connection still serves
    a.connect()
    assert within(lambda: agent_log(a.r).count("Unable to push data. HTTP Error 500") == 2, 10)
    a.wait_status(3)
    assert a.portal.networks() == []
    a.portal.fault(None)
    a.portal.queue(method="disconnectvpn")
    wait_log(a.r, "VPN DISCONNECTED from testvpn", 15)
    a.wait_status(0)
    assert within(lambda: no_openvpn_left(a.r), 5)


def test_sigterm_while_the_management_port_stays_closed(vpn_agent):  # noqa: F811
    a = vpn_agent()
    a.r.write("/tmp/standin/openvpn.mode", "mgmt-elsewhere")
    a.r.write("/tmp/standin/openvpn.mgmtport", str(free_port()))
    a.portal.queue(method="connectvpn")
    wait_log(a.r, "MGMT       Try #2 to connect to management interface failed. ", 10)
    assert within(lambda: openvpn_pids(a.r) and alive(openvpn_pids(a.r)[-1]), 5)
    # OpenVPN waits in its hold with no one to tell it to stop: its group is ended
    assert sigterm_ends_agent_and_openvpn(a) < 10
    assert "Try #6" not in agent_log(a.r)


def test_byte_counts_past_2_31_and_2_32(vpn_agent, agent_root):  # noqa: F811
    """A busy tunnel: OpenVPN's running totals (here grown by the relay by
    600 MB a notice) pass 2^31 and 2^32 bytes. Two inactivity periods pass
    (the agent's clock steps an hour ahead, the portal's Date with it): the
    rule sees the traffic each time, and the figures are shown whole."""
    clock = vpn_env.FakeClock(agent_root)
    notices = []

    def grown(line):
        if not line.startswith(b">BYTECOUNT:"):
            return line
        received, sent = (int(x) for x in line[11:].strip().split(b","))
        extra = 2**31 - 50_000 + len(notices) * 600_000_000
        notices.append(line)
        return b">BYTECOUNT:%d,%d\r\n" % (received + extra, sent + extra)

    a = vpn_agent(env=clock.env)
    relay = vpn_env.use_relay(a.r, a.mgmt_port, to_agent=grown)
    try:
        a.connect()
        for period, notice in ((1, 2), (2, 6)):  # past 2^31, then past 2^32
            assert within(lambda: len(notices) > notice, 15)
            a.portal.config(skew=3601 * period)
            clock.step(3601)
            assert within(lambda: a.log().count("VPN Inactivity reset timeout.") == period, 10), \
                a.log()[-2000:]
        assert "VPN Inactivity timeout." not in a.log()
        a.wait_status(3)
        sent, received = (int(x) for x in re.fullmatch(r"(\d+) kBytes / (\d+) kBytes",
                                                         a.r.read("/tmp/vpn_txrx_packet")).groups())
        assert sent > 2**32 // 1024 and received > 2**32 // 1024
        shown = re.findall(r"\x1b\[90C *(\d+) +(\d+) \(timeout", a.proc.stdout)
        assert int(shown[-1][0]) > 2**32
    finally:
        relay.close()
