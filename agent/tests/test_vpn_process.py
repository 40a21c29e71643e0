"""The agent's VPN against a real OpenVPN server on 127.0.0.1.

The portal sends connectvpn/disconnectvpn in heartbeat replies; the agent
starts the real openvpn client (through the wrapper that swaps the tap device
for a null device) and drives it over the real management interface.
"""

import re
import signal
import time

import pytest

import vpn_env
from conftest import agent_log, wait_log
from poll import free_port, within
from vpn_env import alive, openvpn_pids


@pytest.fixture(scope="session")
def vpn_keys(portal_certs, tmp_path_factory):
    folder = tmp_path_factory.mktemp("vpn-keys")
    cert, key = vpn_env.issue_cert(folder, portal_certs / "ca.pem", portal_certs / "ca.key",
                                   "vpnserver", "vpn.test", server=True)
    ta = vpn_env.make_tls_auth_key(folder / "ta.key")
    return {"ca": portal_certs / "ca.pem", "cert": cert, "key": key, "ta": ta}


@pytest.fixture
def vpn_server(vpn_keys, tmp_path):
    s = vpn_env.VpnServer(tmp_path, vpn_keys["ca"], vpn_keys["cert"], vpn_keys["key"],
                          tls_auth=vpn_keys["ta"]).start()
    try:
        yield s
    finally:
        s.stop()


class VpnAgent:
    """The agent in its root, with the portal offering the test's VPN server."""

    def __init__(self, r, portal, proc, mgmt_port):
        self.r, self.portal, self.proc, self.mgmt_port = r, portal, proc, mgmt_port

    def log(self):
        return agent_log(self.r)

    def connect(self, timeout=20):
        self.portal.queue(method="connectvpn")
        wait_log(self.r, "VPN CONNECTED to", timeout)

    def status(self):
        return self.r.read("/tmp/vpn_status") if self.r.exists("/tmp/vpn_status") else None

    def wait_status(self, value, timeout=10):
        assert within(lambda: self.status() == f"{value}\n", timeout), self.status()


@pytest.fixture
def vpn_agent(agent_root, portal, start_agent, vpn_server, vpn_keys):
    """factory(servers=None, argv_prefix=None, env=None, **config) -> VpnAgent once
    the heartbeat is up."""
    procs = []

    def start(servers=None, argv_prefix=(), env=None, **config):
        r = agent_root
        values = vpn_env.offer_vpn(r, portal, vpn_server, vpn_keys["ta"], servers=servers)
        proc = start_agent(r, portal, env=env, argv_prefix=argv_prefix, **{**values, **config})
        procs.append(proc)
        r.wait_file("/tmp/hbs_status", 15, content="2")
        wait_log(r, "vpn server 1", 10)
        return VpnAgent(r, portal, proc, values["TELVSDK_VPN_LOCAL_MGM_PORT"])

    try:
        yield start
    finally:
        vpn_env.end_agent_and_openvpn(agent_root, procs)


def openvpn_argv(r):
    calls = r.calls("openvpn")
    assert calls, "openvpn was not started"
    return calls[-1]


def test_connect_counts_and_disconnect(vpn_agent, vpn_server):
    a = vpn_agent()
    a.connect()
    log = a.log()
    # the states in their order
    order = ["MGMT       Connected to management interface", "MGMT       HOLD release succeeded",
             "VPN        VPN CONNECTED to      testvpn 127.0.0.1 127.0.0.1 at "]
    pos = [log.index(t) for t in order]
    assert pos == sorted(pos)
    assert re.search(r"VPN CONNECTED to      testvpn 127\.0\.0\.1 127\.0\.0\.1 at "
                     r"\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\n", log)
    # written just after that line, so it may trail it by a moment
    since = lambda: a.r.read("/tmp/vpn_conn_since") if a.r.exists("/tmp/vpn_conn_since") else ""
    assert within(lambda: re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", since()), 10), since()

    # exactly the command line of the tunnel, with the tls-auth file in place
    argv = openvpn_argv(a.r)
    assert argv == ["--remote", "127.0.0.1", str(vpn_server.port), "tcp-client",
                    "--remote-cert-eku", "TLS Web Server Authentication", "--management-hold",
                    "--management", "127.0.0.1", str(a.mgmt_port), "--pull", "--tls-client",
                    "--nobind", "--float", "--log", "/var/log/telvsdk-vpn.log", "--verb", "3",
                    "--dev", "tap", "--persist-tun", "--persist-key", "--resolv-retry", "infinite",
                    "--cert", "/etc/telvsdk/client.pem", "--key", "/etc/telvsdk/client.key",
                    "--ca", "/etc/telvsdk/ca.pem", "--tls-auth", "/etc/telvsdk/ta.key", "1"]
    assert "INFO       openvpn --remote " in log

    # the networks are pushed when the tunnel comes up
    assert within(lambda: a.portal.networks(), 10)
    assert a.portal.networks()[0] == [{"network": "192.168.1.0", "subnetmask": "255.255.255.0"}]
    # the tunnel and the network script got none of the agent's descriptors
    for name in ("openvpn", "get_push_network.sh"):
        assert not a.r.exists(f"/tmp/standin/{name}.fds"), a.r.read(f"/tmp/standin/{name}.fds")

    # state 3 every second, byte counts from OpenVPN's one-second notices
    a.wait_status(3)
    assert within(lambda: re.fullmatch(r"[1-9]\d* kBytes / [1-9]\d* kBytes",
                                           a.r.read("/tmp/vpn_txrx_packet") or "x")
                      if a.r.exists("/tmp/vpn_txrx_packet") else False, 10)
    out = a.proc.stdout
    counts = re.findall(r"\x1b\[1A\x1b\[90C +(\d+) +(\d+) \(timeout: *(-?\d+)\)\x1b\[1B\x1b\[126D", out)
    assert counts and int(counts[-1][0]) > 0 and int(counts[-1][1]) > 0
    assert 3500 <= int(counts[-1][2]) <= 3600  # one hour of inactivity left

    # connectvpn while up is refused
    a.portal.queue(method="connectvpn")
    wait_log(a.r, "VPN  ERROR No list of usable VPN server available.", 10)
    assert len(a.r.calls("openvpn")) == 1

    pid = openvpn_pids(a.r)[-1]
    a.portal.queue(method="disconnectvpn")
    wait_log(a.r, "VPN DISCONNECTED from testvpn 127.0.0.1 at ", 15)
    a.wait_status(0)
    assert within(lambda: not alive(pid), 5)
    assert "Error executing openvpn." not in a.log()
    assert a.proc.running()


def test_server_restart_under_a_live_tunnel(vpn_agent, vpn_server):
    """OpenVPN holds again after every restart (here: its server went away and
    came back, so the connection was reset); the agent releases the hold and
    the same openvpn brings the tunnel back."""
    a = vpn_agent()
    a.connect()
    assert within(lambda: len(a.portal.networks()) == 1, 10)
    pid = openvpn_pids(a.r)[-1]
    vpn_server.stop()
    vpn_server.start()
    assert within(lambda: a.log().count("VPN CONNECTED to") == 2, 40), a.log()[-3000:]
    assert within(lambda: len(a.portal.networks()) == 2, 10)
    a.wait_status(3)
    assert openvpn_pids(a.r) == [pid] and alive(pid)


def test_sigterm_with_proxy_authentication(vpn_agent, tmp_path):
    """Heartbeat and tunnel through an HTTP proxy that asks for a password:
    after SIGTERM the credential file is gone and no openvpn is left."""
    proxy = vpn_env.HttpProxy(tmp_path, "proxyuser", "s3cr3t").start()
    try:
        a = vpn_agent(TELVSDK_CFG_PROXY_ENABLED=1, TELVSDK_CFG_PROXY_URL="127.0.0.1",
                      TELVSDK_CFG_PROXY_PORT=proxy.port, TELVSDK_CFG_PROXY_AUTH_REQUIRED=1,
                      TELVSDK_CFG_PROXY_USER="proxyuser", TELVSDK_CFG_PROXY_PASS="s3cr3t",
                      TELVSDK_CFG_PROXY_AUTHMETHOD="basic",
                      TELVSDK_CFG_PROXY_AUTH_FILE="/etc/telvsdk/proxy.auth")
        a.connect()
        assert a.r.read("/etc/telvsdk/proxy.auth") == "proxyuser\ns3cr3t\n"
        server_port = openvpn_argv(a.r)[2]
        assert f"CONNECT 127.0.0.1:{server_port} " in proxy.log_text()
        pid = openvpn_pids(a.r)[-1]
        a.proc.signal(signal.SIGTERM)
        assert a.proc.wait(15) == 0
        assert not alive(pid)
        assert not a.r.exists("/etc/telvsdk/proxy.auth")
        assert "s3cr3t" not in a.log()
    finally:
        proxy.stop()


def test_agent_killed_takes_its_openvpn_along(vpn_agent):
    """SIGKILL (procd after its stop time-out, the OOM killer): the openvpn the
    agent started ends too, so the next agent can bring its tunnel up."""
    a = vpn_agent()
    a.connect()
    pid = openvpn_pids(a.r)[-1]
    a.proc.signal(signal.SIGKILL)
    a.proc.wait(5)
    assert within(lambda: not alive(pid), 10)
    b = vpn_agent(TELVSDK_VPN_LOCAL_MGM_PORT=a.mgmt_port)
    assert within(lambda: b.log().count("PUSH       vpn server 1 ") == 2, 15)
    b.portal.queue(method="connectvpn")
    assert within(lambda: b.log().count("VPN CONNECTED to") == 2, 30), b.log()[-3000:]
    assert "Error executing openvpn." not in b.log()


def test_marker_files_start_and_stop(vpn_agent):
    a = vpn_agent()
    a.r.write("/tmp/.novra_vpn_conn", "")
    wait_log(a.r, "VPN CONNECTED to", 20)
    assert not a.r.exists("/tmp/.novra_vpn_conn")
    a.wait_status(3)
    a.r.write("/tmp/.novra_vpn_disconn", "")
    wait_log(a.r, "VPN        handle VPN disconnect CMD.", 5)
    wait_log(a.r, "VPN DISCONNECTED from", 10)
    a.wait_status(0)
    assert not a.r.exists("/tmp/.novra_vpn_disconn")


def test_inactivity_zero_ends_the_tunnel(vpn_agent):
    a = vpn_agent(inactivity=0)
    a.connect()
    wait_log(a.r, "VPN        VPN Inactivity timeout.", 10)
    wait_log(a.r, "VPN        handle VPN disconnect CMD.", 5)
    wait_log(a.r, "VPN DISCONNECTED from", 10)
    a.wait_status(0)
    log = a.log()
    assert log.index("VPN Inactivity timeout.") < log.index("handle VPN disconnect CMD.")


def test_openvpn_killed_under_the_agent(vpn_agent):
    a = vpn_agent()
    a.connect()
    pid = openvpn_pids(a.r)[-1]
    import os
    os.kill(pid, signal.SIGKILL)
    wait_log(a.r, "ERROR      Error executing openvpn.", 10)
    a.wait_status(0)
    assert "VPN DISCONNECTED" not in a.log()
    # a later connect works without a disconnect in between
    before = a.log().count("VPN CONNECTED to")
    a.portal.queue(method="connectvpn")
    assert within(lambda: a.log().count("VPN CONNECTED to") == before + 1, 20), a.log()[-2000:]
    assert len(openvpn_pids(a.r)) == 2


def test_management_port_never_opening(vpn_agent):
    a = vpn_agent()
    a.r.write("/tmp/standin/openvpn.mode", "mgmt-elsewhere")
    a.r.write("/tmp/standin/openvpn.mgmtport", str(free_port()))
    a.portal.queue(method="connectvpn")
    wait_log(a.r, "VPN  ERROR Error - giving up.", 15)
    pid = openvpn_pids(a.r)[-1]
    # OpenVPN waited in its hold; the agent ends it instead of leaving it behind
    assert within(lambda: not alive(pid), 10)
    log = a.log()
    assert "Try #6 to connect to management interface failed. " in log
    assert "Try #7" not in log
    a.wait_status(0)
    assert a.proc.running()


def test_sigterm_while_connected(vpn_agent):
    a = vpn_agent()
    a.connect()
    pid = openvpn_pids(a.r)[-1]
    a.proc.signal(signal.SIGTERM)
    assert a.proc.wait(15) == 0
    assert not alive(pid)
    log = a.log()
    assert "VPN DISCONNECTED from testvpn" in log
    assert not a.r.exists("/tmp/vpn_status")


def test_wait_limit_ends_a_connection_that_never_completes(vpn_agent):
    # a server that accepts TCP and never answers: OpenVPN stays in WAIT
    import socket
    import threading
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(4)
    lsock.settimeout(30)
    held = []
    threading.Thread(target=lambda: held.append(lsock.accept()), daemon=True).start()
    try:
        a = vpn_agent(servers=[{"name": "mute", "host": "127.0.0.1",
                                "port": str(lsock.getsockname()[1]), "proto": "tcp-client"}])
        a.portal.queue(method="connectvpn")
        wait_log(a.r, "VPN  ERROR Waited too long for this VPN Connection to succeed.", 25)
        a.wait_status(0, 10)
        log = a.log()
        assert len(re.findall(r"MGMT       (WAIT|AUTH|CONNECTING|RECONNECTING)\n", log)) == 21
        assert "VPN DISCONNECTED" not in log
        assert within(lambda: not alive(openvpn_pids(a.r)[-1]), 10)
    finally:
        lsock.close()


class Screen:
    """Just enough of a terminal for the status line: text, CR, LF and the
    four cursor movements."""

    def __init__(self):
        self.rows = {}
        self.row = 0
        self.col = 0

    def feed(self, data: str):
        i = 0
        while i < len(data):
            c = data[i]
            m = re.match(r"\x1b\[(\d*)([ABCD])", data[i:])
            if m:
                n = int(m.group(1) or 1)
                k = m.group(2)
                if k == "A":
                    self.row = max(0, self.row - n)
                elif k == "B":
                    self.row += n
                elif k == "C":
                    self.col += n
                else:
                    self.col = max(0, self.col - n)
                i += m.end()
                continue
            if c == "\r":
                self.col = 0
            elif c == "\n":
                self.row += 1
            elif c >= " ":
                line = self.rows.setdefault(self.row, [])
                while len(line) <= self.col:
                    line.append(" ")
                line[self.col] = c
                self.col += 1
            i += 1

    def line(self, row):
        return "".join(self.rows.get(row, []))


def test_live_line_through_a_terminal(vpn_agent):
    # script gives the agent a pseudo-terminal; what it prints arrives raw
    a = vpn_agent(argv_prefix=["script", "-qfc"])
    a.connect()
    a.wait_status(3)
    time.sleep(2.5)
    screen = Screen()
    screen.feed(a.proc.stdout)
    rows = [k for k in sorted(screen.rows) if screen.line(k).startswith("counter hbs_state")]
    assert rows
    header = screen.line(rows[-1])
    for word, col in (("counter", 0), ("hbs_state", 8), ("vpn_state", 23), ("vpn_server", 45),
                      ("hbs_server_delay", 56), ("hbs_client_delay", 73), ("vpn-tx", 92),
                      ("vpn-rx", 101), ("frm-update", 108)):
        assert header[col:col + len(word)] == word
    # the status line stays one line below the header (after the empty line of puts)
    status = screen.line(rows[-1] + 1)
    assert re.match(r"\d+ +HBS_SM_RUNNING +VPN_STATE_CONNECTED +#1 +5 +1", status), status
    assert status[8:22] == "HBS_SM_RUNNING"
    assert status[23:42] == "VPN_STATE_CONNECTED"
    assert status[45:47] == "#1"
    # the delays follow "#1" by nine and then fourteen blanks, as the line's format has it
    assert status[47:56] == " " * 9 and status[56:57] == "5"
    assert status[57:71] == " " * 14 and status[71:72] == "1"
    # traffic counts right-aligned under vpn-tx and vpn-rx
    tx, rx = status[90:98], status[99:107]
    assert tx.strip().isdigit() and int(tx) > 0 and tx[-1] != " "
    assert rx.strip().isdigit() and int(rx) > 0 and rx[-1] != " "
    # the remaining time follows; the frm-update field (columns 110 to 113) is
    # blanked each second, over the start of that text, until the next count
    assert re.match(r" \(t(imeo|    )ut: *\d+\)", status[107:]), status[107:]
    # nothing else was written on the lines below
    assert all(not screen.line(k).strip() for k in screen.rows if k > rows[-1] + 1)
