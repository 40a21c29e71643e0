"""telvsdkd as a process in a router root, against the development portal over TLS."""

import json
import os
import re
import signal
import time

import pytest

from conftest import ACTIVATION_CODE, agent_log, wait_log
from poll import poll, within
from vpn_env import FakeClock

STATUS_FILES = ("/tmp/code_status", "/tmp/hbs_status", "/tmp/vpn_status")


def up(root, proc, timeout=10):
    """Waits until the heartbeat connection is up."""
    root.wait_file("/tmp/hbs_status", timeout, content="2")
    proc.wait_output(r"counter hbs_state", timeout)


def watch_keywords(root, seconds=20):
    """Starts a watcher in the root that notes every error keyword the agent
    leaves in /tmp/telvsdk.errormsg_hbs (and the word of
    /tmp/telvsdk.hbs.status, as "status <word>"), for a bounded time. The first
    successful exchange of the next connection clears the keyword, so the
    tests hold that exchange back (KEEP_KEYWORD) for long enough to see it."""
    script = ("end=$(( $(date +%s) + " + str(int(seconds)) + " )); "
              "while [ $(date +%s) -lt $end ]; do "
              "k=$(cat /tmp/telvsdk.errormsg_hbs 2>/dev/null); "
              "[ -n \"$k\" ] && echo \"$k\" >> /tmp/keywords.seen; "
              "s=$(cat /tmp/telvsdk.hbs.status 2>/dev/null); "
              "[ -n \"$s\" ] && echo \"status $s\" >> /tmp/keywords.seen; sleep 0.01; done")
    return root.start(["/bin/sh", "-c", script])


# The fault after the one under test: the next connection's first exchange
# answers late, so the keyword stays in its file a while.
KEEP_KEYWORD = {"kind": "slow", "seconds": 2, "count": 1}


def wait_keyword(root, keyword, timeout=10):
    def seen() -> str:
        return root.read("/tmp/keywords.seen") if root.exists("/tmp/keywords.seen") else ""

    poll(lambda: keyword in seen().split("\n"), timeout, 0.1,
         what=lambda: f"keyword {keyword!r} never seen in the error file (saw {seen()!r})")


def answer_after(portal, marker_pred, timeout=10):
    """Body of the first heartbeat that follows the request matching marker_pred."""
    def answer():
        recs = portal.requests()
        return next((recs[i + 1] for i, r in enumerate(recs[:-1]) if marker_pred(r)), None)

    return poll(answer, timeout, what="no answer")["body"]


def rpc_result(body):
    outer = json.loads(body)
    return json.loads(outer[0]["result"])[0]["result"]


def test_start_up_order_status_files_and_sigterm(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    out = p.wait_output(r"vpn-server #1   : devvpn 127\.0\.0\.1 127\.0\.0\.1\n", 5).string
    assert "network:192.168.1.0 subnet:255.255.255.0\n" in out
    order = ["network:", "telvsdk v0.22\n", f"activation code : {ACTIVATION_CODE}\n",
             f"hbs-server      : {portal.url}\n", "vpn-server #1", "counter hbs_state"]
    positions = [out.index(t) for t in order]
    assert positions == sorted(positions)
    assert r.read("/tmp/code_status") == "0\n"
    pid = r.read_bytes("/var/run/telvsdkd.pid")
    assert pid.endswith(b"\0") and pid[:-1].isdigit()
    r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
    assert r.read("/tmp/last_hbs") == "sdel 5\ncdel 1\n"
    assert r.read("/tmp/telvsdk.errormsg_hbs") == ""
    assert len(r.read("/tmp/hbs_conn_time")) == 19
    log = agent_log(r)
    steps = ["INFO       TELV Linux-SDK 0.2.1 ----------------------------",
             "Reading config file /etc/telvsdk/telvsdk.cnf",
             "HBS        Using certificate with CommonName : " + ACTIVATION_CODE,
             "Certificate '/etc/telvsdk/client.pem' with CommonName '" + ACTIVATION_CODE + "' exists.",
             "HBS        +HBS started", "HBS        > " + portal.url + "?init=1",
             "PUSH       curlurl " + portal.url + "?push=1&gzip=1"]
    idx = [log.index(s) for s in steps]
    assert idx == sorted(idx), log
    assert "INFO       pid : " in log and "INFO       verbose : 0" in log
    # Every request carried the device certificate.
    assert {q["cn"] for q in portal.requests(None)} == {ACTIVATION_CODE}
    pushes = portal.requests("push")
    assert pushes[0]["body"] == '[{"action":"call","function":"get_vpn_client_server"}]'

    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    assert p.wait(5) == 0
    assert time.monotonic() - t0 < 3
    for f in STATUS_FILES:
        assert not r.exists(f), f
    assert r.read("/tmp/telvsdk.hbs.status") == "OFFLINE"  # a stopped agent is not online
    log = agent_log(r)
    assert "INFO       signal 15 received - please wait until request has finished." in log
    assert "HBS        -HBS stopped" in log and "-HBS End & Cleanup" in log
    assert log.rstrip("\n").endswith("INFO       TELV Linux-SDK 0.2.1 exit ----------------------------")


def test_init_first_then_plain_url_and_pacing(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    recs = portal.wait_requests(6, timeout=10)
    assert recs[0]["query"] == "init=1" and recs[0]["body"] == "[]"
    # The timing reply is echoed in the next request, sent at once to the plain URL.
    assert recs[1]["query"] == ""
    assert json.loads(recs[1]["body"])[0]["key"] == "cdel"
    assert recs[1]["time"] - recs[0]["time"] < 0.5
    # After each "[]" reply: the next exchange one client delay (1 s) after the start of the last.
    empties = [q for q in recs[2:6]]
    assert all(q["body"] == "[]" and q["query"] == "" for q in empties)
    gaps = [b["time"] - a["time"] for a, b in zip(empties, empties[1:])]
    assert all(0.85 < g < 1.6 for g in gaps), gaps
    assert "User-Agent" not in recs[0] and recs[0]["user_agent"].startswith("TELV Linux-SDK 0.2.1 running Linux ")
    p.stop()


def test_zero_client_delay_means_no_pause(agent_root, portal, start_agent):
    portal.config(cdel=0)
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    recs = portal.wait_requests(40, timeout=10)
    span = recs[39]["time"] - recs[2]["time"]
    assert span < 5, span
    p.stop()


def test_new_timing_parameters_are_applied(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.queue(cdel=2, sdel=9)
    wait_log(r, "INFO       hbs_client_delay set to 2 seconds")
    wait_log(r, "INFO       hbs_server_delay set to 9 seconds")
    r.wait_file("/tmp/last_hbs", 10, content="sdel 9\ncdel 2\n")
    p.wait_output(r"HBS_SM_RUNNING +VPN_STATE_IDLE +#1 +9 +2\n", 5)
    n = len(portal.requests())
    time.sleep(3.2)
    later = portal.requests()[n:]
    assert 1 <= len(later) <= 3, later
    p.stop()


@pytest.mark.parametrize("kind,keyword,line", [
    ("403", "accessdenied", "ERROR      HTTP error 403 or smartcard is blocked on the HBS server."),
    ("500", "httperror", "ERROR      HTTP error - responsecode : 500"),
    ("empty", "httperror", "HBS  ERROR Didn't get any data from server. Exiting."),
])
def test_failed_exchange_ends_the_connection_and_a_new_one_starts(agent_root, portal, start_agent,
                                                                   kind, keyword, line):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.wait_requests(3)
    watch_keywords(r)
    portal.fault(kind, count=1, then=KEEP_KEYWORD)
    wait_keyword(r, keyword)
    wait_keyword(r, "status OFFLINE")
    log = wait_log(r, line)
    assert "ERROR      Unable to send heartbeat!" in log
    # A new connection follows at once, starting again with init=1.
    recs = portal.wait_requests(2, 8, pred=lambda q: q["query"] == "init=1")
    wait_log(r, "HBS        -HBS End & Cleanup")
    assert len(recs) == 2
    p.stop()


def test_oversized_reply_is_a_write_error(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    watch_keywords(r)
    portal.fault("oversized", count=1, then=KEEP_KEYWORD)
    wait_log(r, "HBS  ERROR CURL Error 23 meaning : ")
    wait_keyword(r, "undefined error")
    p.stop()


def test_no_timing_parameters_and_sigterm_during_back_off(agent_root, portal, start_agent):
    r = agent_root
    portal.fault("notiming")
    p = start_agent(r, portal)
    p.wait_output("No communication to hbs-server!", 10)
    log = agent_log(r)
    assert "HBS  ERROR Didn't get timing parameters from server. Exiting." in log
    assert "HBS        HBS wait for init 0" in log
    assert r.read("/tmp/hbs_status") == "1\n"  # no connection while it backs off
    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    assert p.wait(5) == 0
    assert time.monotonic() - t0 < 3


def test_slow_first_reply_fails_the_create(agent_root, portal, start_agent):
    r = agent_root
    portal.fault("slow", count=1, seconds=7)
    p = start_agent(r, portal)
    p.wait_output("No communication to hbs-server!", 10)
    log = agent_log(r)
    for i in range(5):
        assert f"HBS wait for init {i}" in log
    # SIGTERM while the heartbeat transfer is still running ends it promptly.
    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    assert p.wait(5) == 0
    assert time.monotonic() - t0 < 3


def test_connection_refused(agent_root, start_agent):
    r = agent_root

    class Closed:
        url = "https://127.0.0.1:9/hbs"

    p = start_agent(r, Closed)
    p.wait_output("No communication to hbs-server!", 10)
    log = agent_log(r)
    assert "HBS  ERROR CURL Error 7 meaning : " in log
    assert "ERROR      Unable to send heartbeat or push-command!" in log
    assert r.read("/tmp/telvsdk.errormsg_hbs") == "undefined error"
    assert r.read("/tmp/telvsdk.hbs.status") == "OFFLINE"
    p.stop()


def test_client_key_refused_then_sigterm_inside_the_retry_wait(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal, TELVSDK_CFG_SSLKEY="/etc/telvsdk/stray.key")
    wait_log(r, "HBS  ERROR Certificate verification error!")
    r.wait_file("/tmp/telvsdk.errormsg_hbs", 5, content="certerror")
    r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ERROR")
    p.wait_output("No communication to hbs-server!", 10)
    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    assert p.wait(5) == 0
    assert time.monotonic() - t0 < 3
    assert "-HBS stopped" in agent_log(r)


# The Date header has whole seconds and the agent's time() is the coarse
# clock, a few milliseconds behind the portal's: an offset of exactly 500 s can
# read as 501 near a second boundary. 499.5 stays at most 500 either way.
@pytest.mark.parametrize("skew,acted", [(501.6, True), (499.5, False), (-501.6, True)])
def test_server_date_more_than_500_seconds_away(agent_root, portal, start_agent, skew, acted):
    r = agent_root
    portal.config(skew=skew)
    p = start_agent(r, portal)
    up(r, p)
    portal.wait_requests(4)
    log = agent_log(r)
    # The root has no right to set the clock: the attempt is logged as failed,
    # never as done.
    assert "Local time adjusted" not in log
    assert ("ERROR      Local time could not be adjusted to " in log) == acted, log[-2000:]
    p.stop()


def test_clock_step_back_keeps_the_loop_going(agent_root, portal, start_agent):
    """The wall clock steps back (NTP, or the agent's own Date adjustment): the
    status line, /tmp/vpn_status and the heartbeats go on without a pause."""
    r = agent_root
    clock = FakeClock(r)
    p = start_agent(r, portal, env=clock.env)
    up(r, p)

    def counter():
        found = re.findall(r"\x1b\[1A(\d+) +HBS_SM_", p.stdout)
        return int(found[-1]) if found else 0

    assert within(lambda: counter() >= 2, 5)
    requests = len(portal.requests())
    clock.step(-300)
    stepped, seen = time.time(), counter()
    assert within(lambda: counter() >= seen + 3, 8), p.stdout[-500:]
    assert within(lambda: os.stat(r.host("/tmp/vpn_status")).st_mtime > stepped + 1, 5)
    portal.wait_requests(requests + 3, 8)
    p.stop()


def test_without_a_ca_the_portal_name_is_checked(agent_root, portal, portal_certs, start_agent):
    """Without TELVSDK_CFG_CA the system's bundle decides (here it holds the
    portal's CA), and the portal must carry the name it is reached by."""
    r = agent_root
    r.write("/etc/ssl/certs/ca-certificates.crt", (portal_certs / "ca.pem").read_text())
    r.write("/etc/hosts", "127.0.0.1 localhost portal.test\n")
    other_name = portal.url.replace("127.0.0.1", "portal.test")
    p = start_agent(r, None, TELVSDK_CFG_CA=None, TELVSDK_CFG_HBS_CONNECTION=other_name)
    wait_log(r, "HBS  ERROR CURL Error 60 meaning : ", 10)
    r.wait_file("/tmp/telvsdk.errormsg_hbs", 5, content="cacerterror")
    assert ("INFO       No CA file configured (TELVSDK_CFG_CA): the system's default CA bundle "
            "is used and the portal's host name is verified.") in agent_log(r)
    assert portal.requests() == []
    p.stop()
    # reached by a name its certificate carries, the same bundle serves
    p = start_agent(r, portal, TELVSDK_CFG_CA=None)
    up(r, p)
    p.stop()


def test_fwversion_answer_is_valid_json_with_the_files(agent_root, portal, start_agent):
    r = agent_root
    r.write("/tmp/novra_fw_version", "2.4.1\n")
    r.write("/tmp/board_sn", 'SN"42\\x\n')
    r.write("/tmp/novra_model", "M" * 40 + "\n")
    p = start_agent(r, portal)
    up(r, p)
    portal.queue(key="fwversion")
    body = answer_after(portal, lambda q: False) if False else None
    recs = portal.wait_requests(1, 10, pred=lambda q: "redbootserial" in q["body"])
    body = recs[0]["body"]
    doc = json.loads(body)
    assert [e["key"] for e in doc] == ["fwversion", "redbootserial", "realproduct", "product", "buildno"]
    assert [e["result"] for e in doc] == ["2.4.1\n", 'SN"42\\x\n', "M" * 31, "", "1"]
    assert doc[0]["action"] == "get" and doc[4]["action"] == "status"
    p.wait_output(r"version:2\.4\.1\n\nsn:", 5)
    p.stop()


def test_addroute_valid_and_invalid(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.queue(method="addroute", params={"network": "10.8.0.0", "subnet": "255.255.0.0",
                                            "gateway": "10.8.0.1", "id": "7"})
    recs = portal.wait_requests(1, 10, pred=lambda q: '\\"result\\":\\"' in q["body"])
    assert rpc_result(recs[0]["body"]) == "1"
    calls = [c for c in r.calls("route") if c and c[0] == "add"]
    assert calls == [["add", "-net", "10.8.0.0", "netmask", "255.255.0.0", "gw", "10.8.0.1"]]
    assert ("HBS        route add -net 10.8.0.0 netmask 255.255.0.0 gw 10.8.0.1 "
            ">>/var/log/telvsdk-route.log 2>&1") in agent_log(r)

    portal.queue(method="addroute", params={"network": "10.9.0.0", "subnet": "255.255.0.0",
                                            "gateway": "10.9.0.256", "id": "8"})
    recs = portal.wait_requests(2, 10, pred=lambda q: '\\"result\\":\\"' in q["body"])
    assert rpc_result(recs[1]["body"]) == "0"
    assert "ERROR      Error adding route." in agent_log(r)
    assert len([c for c in r.calls("route") if c and c[0] == "add"]) == 1

    # A route command that fails is answered with "0" too.
    r.write("/tmp/standin/route.rc", "7")
    portal.queue(method="addroute", params={"network": "10.7.0.0", "subnet": "255.255.0.0",
                                            "gateway": "10.7.0.1", "id": "9"})
    recs = portal.wait_requests(3, 10, pred=lambda q: '\\"result\\":\\"' in q["body"])
    assert rpc_result(recs[2]["body"]) == "0"
    p.stop()


def test_doupdate_and_unknown_method(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.queue(method="doupdate", params={"updatePath": "http://127.0.0.1/fw.img"})
    recs = portal.wait_requests(1, 10, pred=lambda q: '\\"result\\":\\"' in q["body"])
    assert rpc_result(recs[0]["body"]) == "1"
    assert "INFO       updatepath : http://127.0.0.1/fw.img" in agent_log(r)
    portal.queue(method="reboot")
    recs = portal.wait_requests(1, 10, pred=lambda q: "reboot" in q["body"])
    assert json.loads(recs[0]["body"])[0]["key"] == "jsonrpc"  # the reply is echoed
    p.stop()


@pytest.mark.parametrize("action,action_type,di,expect", [
    ("0", None, None, "never"),
    ("1", None, None, "run"),
    ("2", "VPN_NOVRA", "0", "run"),
    ("2", "VPN_NOVRA", "1", "never"),
    ("2", "DO_NOTHING", "0", "not-novra"),
    # only a line of decimal digits is a reading of the input
    ("2", "VPN_NOVRA", "", "unreadable"),
    ("2", "VPN_NOVRA", " ", "unreadable"),
    ("2", "VPN_NOVRA", "0x", "unreadable"),
])
def test_permission_gate(agent_root, portal, start_agent, action, action_type, di, expect):
    r = agent_root
    if action_type is not None:
        r.uci_set("sysevent.dido.di_action_type", action_type)
    if di is not None:
        r.write("/tmp/standin/databoard.out", di + ("\n" if di else ""))
    p = start_agent(r, portal, action=action)
    up(r, p)
    portal.queue(method="disconnectvpn")
    recs = portal.wait_requests(1, 10, pred=lambda q: "disconnectvpn" in q["body"] or '\\"result\\"' in q["body"])
    log = agent_log(r)
    ran = "HBS command 'STOP  VPN connection' received." in log
    assert ran == (expect == "run"), log[-1500:]
    if expect == "run":
        assert rpc_result(recs[0]["body"]) == "1"
    else:
        assert "disconnectvpn" in recs[0]["body"]  # echoed unchanged
    assert ("HBS        Never allowed novra Portal." in log) == (expect == "never")
    assert ("Digital Input Action Type is not novra mode, and never allowed novra Portal." in log) == \
        (expect == "not-novra")
    assert ("HBS  ERROR Digital input state unreadable - portal command refused." in log) == \
        (expect == "unreadable")
    if action == "2" and action_type == "VPN_NOVRA":
        assert ["get", "common", "di_status"] in r.calls("databoard")
    p.stop()


def test_connectvpn_without_a_server_list_answers_fail(agent_root, portal, start_agent):
    r = agent_root
    portal.config(servers=[])
    p = start_agent(r, portal)
    up(r, p)
    assert "vpn-server #" not in p.stdout
    portal.queue(method="connectvpn")
    recs = portal.wait_requests(1, 10, pred=lambda q: '\\"result\\"' in q["body"])
    assert rpc_result(recs[0]["body"]) == "0"
    log = agent_log(r)
    assert "HBS        HBS command 'START VPN connection' received." in log
    assert "VPN  ERROR No list of usable VPN server available." in log
    p.stop()


def test_sigint_exits_at_once_without_exit_line(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    t0 = time.monotonic()
    p.signal(signal.SIGINT)
    assert p.wait(5) == 0
    assert time.monotonic() - t0 < 3
    for f in STATUS_FILES:
        assert not r.exists(f), f
    assert r.read("/tmp/telvsdk.hbs.status") == "OFFLINE"
    assert " exit ---" not in agent_log(r)


def test_no_heartbeat_server_configured(agent_root, start_agent):
    r = agent_root
    p = start_agent(r, None)
    assert p.wait(10) == 0
    log = agent_log(r)
    assert "ERROR      No HBS server configured or error in sdk configuration file!" in log
    assert "TELV Linux-SDK 0.2.1 exit" in log
    assert "telvsdk v0.22" not in p.stdout
    assert not r.exists("/var/run/telvsdkd.pid")


def test_missing_config_file(agent_root):
    r = agent_root
    from routerroot import binary
    res = r.run([str(binary("telvsdkd"))], timeout=10)
    assert res.rc == 0
    log = agent_log(r)
    assert "ERROR      Unable to open config file /etc/telvsdk/telvsdk.cnf" in log
    assert "No HBS server configured" in log


def test_wrong_certificate_takes_the_enrollment_path(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal, TELVSDK_CFG_SSLCERT="/etc/telvsdk/other.pem",
                    TELVSDK_CFG_SSLKEY="/etc/telvsdk/other.key")
    assert p.wait(10) == 0
    out = p.stdout
    assert "No valid certificate found. Will try to get one online via scep request...\n" in out
    # No SCEP request configuration here: enrollment stops before it starts
    # (enrollment itself: test_enroll.py).
    assert "Error in building scep request! Check the logs.\n" in out
    log = agent_log(r)
    assert "CommonName 'WRONG0000000' differs from activation code!" in log
    assert "ERROR      Unable to open scep request config file (null)" in log
    assert r.read("/tmp/code_status") == "99\n"
    assert r.calls("ubus") == []
    assert portal.requests(None) == []


def test_missing_certificate_file(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal, TELVSDK_CFG_SSLCERT="/etc/telvsdk/none.pem")
    assert p.wait(10) == 0
    assert ("No Certificate '/etc/telvsdk/none.pem' with CommonName '' available" in agent_log(r))


def test_certificate_path_is_not_shell_text(agent_root, portal, start_agent):
    r = agent_root
    r.install(r.host("/etc/telvsdk/client.pem"), "/etc/telvsdk/x;touch /tmp/pwned.pem", 0o600)
    p = start_agent(r, portal, TELVSDK_CFG_SSLCERT="/etc/telvsdk/x;touch /tmp/pwned.pem")
    up(r, p)
    assert not r.exists("/tmp/pwned.pem")
    p.stop()
