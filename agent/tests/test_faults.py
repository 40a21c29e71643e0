"""telvsdkd against a portal that misbehaves: down, slow, error codes, replies
that are no JSON, too long or cut short.

After every fault the agent must still run, its status files must say what
happened and then that it is online again, and a command the portal queued
while the fault lasted must be carried out exactly once afterwards.
"""

import json
import threading
import time

from conftest import agent_log, start_portal, wait_log
from test_agent_process import up
from vpn_env import free_port


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


def test_failed_replies_end_the_connection_and_lose_no_queued_command(
        agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    faults = [("500", "ERROR      HTTP error - responsecode : 500", "httperror"),
              ("oversized", "HBS  ERROR CURL Error 23 meaning : ", "undefined error"),
              ("cut", "HBS  ERROR CURL Error 18 meaning : ", "undefined error")]
    for n, (kind, line, keyword) in enumerate(faults, 1):
        portal.fault(kind, count=1)
        portal.queue(method="addroute", params=route(n)[0])
        wait_log(r, line)
        r.wait_file("/tmp/telvsdk.errormsg_hbs", 5, content=keyword)
        # a new connection follows at once, and the command after it
        portal.wait_requests(n + 1, 10, pred=is_init)
        carried_out_once(r, portal, n, settle=0)
        recs = portal.requests()
        last_init = [i for i, q in enumerate(recs) if is_init(q)][-1]
        assert [i for i, q in enumerate(recs) if is_answer(q)][-1] > last_init, kind
        assert p.running()
        r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
        r.wait_file("/tmp/hbs_status", 5, content="2")
    carried_out_once(r, portal, len(faults))
    assert p.stop() == 0


def test_garbage_reply_is_echoed_and_the_connection_stays(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    n = len(portal.requests())
    portal.fault("garbage", count=1)
    portal.queue(method="addroute", params=route(1)[0])
    carried_out_once(r, portal)
    later = portal.requests()[n:]
    # the request after the garbage carried its text up to the zero byte
    echoed = [q for q in later if q["body"].startswith('[{"key":"jsonrpc","val1":')]
    assert len(echoed) == 1 and echoed[0]["body"] == '[{"key":"jsonrpc","val1":'
    assert not any(is_init(q) for q in later), "a reply that is no JSON is no failed exchange"
    r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
    assert r.read("/tmp/telvsdk.errormsg_hbs") == ""
    assert "ERROR" not in agent_log(r)
    assert p.stop() == 0


def test_slow_reply_within_the_transfer_time_is_no_failure(agent_root, portal, start_agent):
    r = agent_root
    p = start_agent(r, portal)
    up(r, p)
    portal.fault("slow", count=1, seconds=2)
    portal.queue(method="addroute", params=route(1)[0])
    t0 = time.monotonic()
    carried_out_once(r, portal)
    assert time.monotonic() - t0 > 2
    assert len([q for q in portal.requests() if is_init(q)]) == 1
    assert r.read("/tmp/telvsdk.errormsg_hbs") == ""
    assert "ERROR" not in agent_log(r)
    assert p.stop() == 0


def test_portal_down_while_running_then_back(agent_root, portal_certs, tmp_path, start_agent):
    """The portal goes away under a running connection and is back (same port)
    when the agent makes its next one."""
    r = agent_root
    port = free_port()
    go = tmp_path / "second-may-bind"
    started = {}

    def portal_on(name, *extra):
        folder = tmp_path / name
        folder.mkdir()
        started[name] = start_portal(portal_certs, folder, "--port", str(port),
                                     "--cdel", "1", "--sdel", "5", *extra)

    try:
        portal_on("first")
        first = started["first"]
        p = start_agent(r, first)
        up(r, p)
        # the second portal waits, started, until the first is gone
        waiting = threading.Thread(target=portal_on, args=("second", "--bind-after", str(go)))
        waiting.start()
        first.stop()
        wait_log(r, "HBS  ERROR CURL Error 7 meaning : ")
        r.wait_file("/tmp/telvsdk.hbs.status", 5, content="OFFLINE")
        r.wait_file("/tmp/telvsdk.errormsg_hbs", 5, content="undefined error")
        go.write_text("")
        waiting.join(20)
        second = started["second"]
        second.queue(method="addroute", params=route(1)[0])
        # normally the next create; after the 30 s back-off when the portal
        # was not back in time
        second.wait_requests(1, 40, pred=is_init)
        carried_out_once(r, second)
        up(r, p)
        r.wait_file("/tmp/telvsdk.hbs.status", 5, content="ONLINE")
        assert p.running()
        assert p.stop() == 0
    finally:
        go.write_text("")
        for q in started.values():
            q.stop()
