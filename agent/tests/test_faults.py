"""telvsdkd against a portal that misbehaves: down, slow, error codes, replies
that are no JSON, too long or cut short.

After every bad reply the agent must still run, its status files must say
what happened and then that it is online again, and a command the portal
queued while the fault lasted must be carried out exactly once afterwards.
A portal that is down is reported and waited for, and SIGTERM still ends the
agent cleanly.
"""

import json
import signal
import time

from conftest import agent_log, start_portal, wait_log
from test_agent_process import up


def route(n):
    """The n-th test route: its command parameters and the route call it makes."""
    net, gw = f"10.{60 + n}.0.0", f"10.{60 + n}.0.1"
    return ({"network": net, "subnet": "255.255.0.0", "gateway": gw, "id": str(60 + n)},
            ["add", "-net", net, "netmask", "255.255.0.0", "gw", gw])


def is_init(q):
    return q["query"] == "init=1"


def is_answer(q):
    return '\\"result\\":\\"' in q["body"]


def route_adds(r):
    return [c for c in r.calls("route") if c and c[0] == "add"]


def rpc_results(recs):
    return [json.loads(json.loads(q["body"])[0]["result"])[0]["result"] for q in recs]


def carried_out_once(r, portal, count=1, timeout=15, settle=1.2):
    """The count-th queued route command was run once and answered "1" (each
    earlier one too), and stays so over the next exchange."""
    portal.wait_requests(count, timeout, pred=is_answer)
    time.sleep(settle)  # a second delivery would show within the next exchange
    assert rpc_results([q for q in portal.requests() if is_answer(q)]) == ["1"] * count
    assert route_adds(r) == [route(n)[1] for n in range(1, count + 1)]


def test_faulty_replies_lose_no_queued_command(agent_root, portal, start_agent):
    """One agent through every kind of bad reply, a route command queued with
    each: the n-th command is run once, after its fault."""
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)

    # a slow reply within the transfer time is no failure: it brings the command
    portal.fault("slow", count=1, seconds=2)
    portal.queue(method="addroute", params=route(1)[0])
    t0 = time.monotonic()
    carried_out_once(r, portal, 1, settle=0)
    assert time.monotonic() - t0 > 2

    # a reply that is no JSON is no failure either; it is echoed up to its zero byte
    n = len(portal.requests())
    portal.fault("garbage", count=1)
    portal.queue(method="addroute", params=route(2)[0])
    carried_out_once(r, portal, 2, settle=0)
    echoed = [q for q in portal.requests()[n:]
              if q["body"].startswith('[{"key":"jsonrpc","val1":')]
    assert len(echoed) == 1 and echoed[0]["body"] == '[{"key":"jsonrpc","val1":'
    assert len([q for q in portal.requests() if is_init(q)]) == 1, "no connection ended so far"
    assert "ERROR" not in agent_log(r)
    r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
    assert r.read("/tmp/telvsdk.errormsg_hbs") == ""

    # failed exchanges: each ends the connection, a new one follows at once
    # (the keyword file says it for a moment only: the next connection is
    # made at once and clears it; the log keeps it)
    faults = [("500", "ERROR      HTTP error - responsecode : 500"),
              ("oversized", "HBS  ERROR CURL Error 23 meaning : "),
              ("cut", "HBS  ERROR CURL Error 18 meaning : ")]
    for i, (kind, line) in enumerate(faults):
        n = 3 + i
        portal.fault(kind, count=1)
        portal.queue(method="addroute", params=route(n)[0])
        wait_log(r, line)
        portal.wait_requests(2 + i, 10, pred=is_init)
        carried_out_once(r, portal, n, settle=0)
        recs = portal.requests()
        last_init = [j for j, q in enumerate(recs) if is_init(q)][-1]
        assert [j for j, q in enumerate(recs) if is_answer(q)][-1] > last_init, kind
        assert p.running()
        r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
        r.wait_file("/tmp/hbs_status", 5, content="2")
    carried_out_once(r, portal, 5)
    assert p.stop() == 0


def test_portal_down_while_running(agent_root, portal, start_agent):
    """The portal goes away under a running connection: the agent reports it,
    fails its next connection, backs off and keeps running; SIGTERM in the
    back-off ends it cleanly. (Coming back after a failed exchange: above.)"""
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.stop()
    wait_log(r, "HBS  ERROR CURL Error 7 meaning : ")
    r.wait_file("/tmp/telvsdk.hbs.status", 5, content="OFFLINE")
    r.wait_file("/tmp/telvsdk.errormsg_hbs", 5, content="undefined error")
    p.wait_output("No communication to hbs-server!", 15)
    assert agent_log(r).count("HBS  ERROR CURL Error 7 meaning : ") == 2  # exchange, create
    assert p.running()
    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    assert p.wait(5) == 0
    assert time.monotonic() - t0 < 3
    for f in ("/tmp/code_status", "/tmp/hbs_status", "/tmp/vpn_status"):
        assert not r.exists(f), f
    log = agent_log(r)
    assert "HBS        -HBS stopped" in log
    assert log.rstrip("\n").endswith("TELV Linux-SDK 0.2.1 exit ----------------------------")


def test_portal_back_after_being_down(agent_root, portal, portal_certs, tmp_path, start_agent):
    """The portal goes away and comes back on its address after the agent's
    next connection failed: within the 30 s back-off and a new create the
    agent is ONLINE again, and a command queued while it was away from the
    new portal is run once."""
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.stop()
    p.wait_output("No communication to hbs-server!", 15)
    failed_at = time.monotonic()
    # during the back-off the files say that no connection is up
    r.wait_file("/tmp/hbs_status", 3, content="1")
    assert r.read("/tmp/telvsdk.hbs.status") == "OFFLINE"
    again = tmp_path / "again"
    again.mkdir()
    back = start_portal(portal_certs, again, "--cdel", "1", "--sdel", "5",
                        "--port", str(portal.port))
    try:
        back.queue(method="addroute", params=route(1)[0])
        # the back-off (30 s) and one create; nothing reaches the new portal before
        assert back.requests() == []
        back.wait_requests(1, 45, pred=is_init)
        assert time.monotonic() - failed_at > 25
        carried_out_once(r, back)
        r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
        r.wait_file("/tmp/hbs_status", 5, content="2")
        assert p.running()
        p.signal(signal.SIGTERM)
        assert p.wait(5) == 0
    finally:
        back.stop()
