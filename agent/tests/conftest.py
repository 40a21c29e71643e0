"""Fixtures of the agent's process tests: the development portal with a
throwaway CA, the agent's configuration in the router root, and telvsdkd.

  portal_certs   (session) folder with ca/server/client/other certificates and stray.key
  portal         a running development portal (PortalClient); its cdel/sdel
                 default to 1/5 for quick tests
  agent_root     a router root prepared for the agent: certificates under
                 /etc/telvsdk, stand-ins for route, /bin/ubus, databoard and
                 /usr/bin/get_push_network.sh, uci values of the LAN
  start_agent    launch_agent(root, portal, **config): writes
                 /etc/telvsdk/telvsdk.cnf and starts telvsdkd (a Proc)
  agent_log(root) the agent's log text
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

import routerroot
from poll import poll, within

SOURCE = routerroot.SOURCE
DEVPORTAL = SOURCE / "devportal"
ACTIVATION_CODE = "A1B2C3D4E5F6"
LAN_ROUTE = ("Kernel IP routing table\n"
             "Destination     Gateway         Genmask         Flags Metric Ref    Use Iface\n"
             "192.168.1.0     0.0.0.0         255.255.255.0   U     0      0        0 br-lan\n")


class PortalClient:
    """A development portal started for one test, and its control port."""

    def __init__(self, proc: subprocess.Popen, port: int, control: int, records: Path):
        self.proc = proc
        self.port = port
        self.control = control
        self.records = records
        self.url = f"https://127.0.0.1:{port}/hbs"

    def _call(self, path: str, obj=None):
        data = None if obj is None else json.dumps(obj).encode()
        req = urllib.request.Request(f"http://127.0.0.1:{self.control}{path}", data=data)
        with urllib.request.urlopen(req, timeout=10) as r:
            return json.loads(r.read())

    def queue(self, **cmd):
        return self._call("/queue", cmd)

    def fault(self, kind: str | None, count: int | None = None, seconds: float | None = None,
              then: dict | None = None):
        cmd = {"kind": kind}
        if count is not None:
            cmd["count"] = count
        if seconds is not None:
            cmd["seconds"] = seconds
        if then is not None:
            cmd["then"] = then
        return self._call("/fault", cmd)

    def config(self, **values):
        return self._call("/config", values)

    def requests(self, kind: str | None = "hbs") -> list[dict]:
        recs = self._call("/requests")
        return [r for r in recs if kind is None or r.get("kind") == kind]

    def networks(self) -> list:
        return self._call("/networks")

    def wait_requests(self, count: int, timeout: float = 10.0, kind: str | None = "hbs",
                      pred=None) -> list[dict]:
        """Waits until at least count matching requests arrived; returns them all."""
        seen: list[dict] = []

        def enough() -> bool:
            seen[:] = [r for r in self.requests(kind) if pred is None or pred(r)]
            return len(seen) >= count

        poll(enough, timeout,
             what=lambda: f"{len(seen)} of {count} requests within {timeout}s: {seen[-5:]}")
        return seen

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


def make_certs(folder: Path, code: str = ACTIVATION_CODE) -> Path:
    subprocess.run(["sh", str(DEVPORTAL / "make-certs.sh"), str(folder), code], check=True,
                   capture_output=True, timeout=120)
    return folder


def start_portal(certs: Path, folder: Path, *extra: str, log: Path | None = None) -> PortalClient:
    """The portal with its ready file and a new file of records in folder; it
    says nothing, or everything into log."""
    ready = folder / "portal.ready"
    records = folder / "portal-records.jsonl"
    for old in (ready, records):
        old.unlink(missing_ok=True)
    with open(log or os.devnull, "w") as out:
        proc = subprocess.Popen([sys.executable, str(DEVPORTAL / "portal.py"), "--certs", str(certs),
                                 "--ready-file", str(ready), "--records", str(records),
                                 *([] if log else ["--quiet"]), *extra],
                                stdout=out, stderr=subprocess.STDOUT if log else subprocess.PIPE)
    within(lambda: ready.exists() or proc.poll() is not None, 15)
    if not ready.exists():
        proc.kill()
        said = log.read_text() if log else proc.stderr.read().decode(errors="replace")
        raise RuntimeError("portal did not start: " + said)
    port, control = (int(x) for x in ready.read_text().split())
    return PortalClient(proc, port, control, records)


@pytest.fixture(scope="session")
def portal_certs(tmp_path_factory) -> Path:
    return make_certs(tmp_path_factory.mktemp("portal-certs"))


@pytest.fixture
def portal(portal_certs, tmp_path):
    p = start_portal(portal_certs, tmp_path, "--cdel", "1", "--sdel", "5")
    try:
        yield p
    finally:
        p.stop()


def prepare_agent_root(r, certs: Path, names=("ca.pem", "client.pem", "client.key")):
    """Certificates under /etc/telvsdk and the stand-ins the agent calls: route
    (the LAN route), /bin/ubus, databoard (di_status 0), the network script and
    the uci values of the LAN."""
    for name in names:
        r.install(certs / name, f"/etc/telvsdk/{name}", 0o600)
    r.standin("/usr/sbin/route", stdout=LAN_ROUTE)
    r.standin("/usr/bin/ubus")
    r.standin("/usr/sbin/databoard", stdout="0\n")
    # the script ends its line as every echo does
    r.standin("/usr/bin/get_push_network.sh", stdout="192.168.1.0 255.255.255.0\n")
    r.uci_set("network.lan.netmask", "255.255.255.0")
    return r


@pytest.fixture
def agent_root(router_root, portal_certs):
    return prepare_agent_root(router_root, portal_certs,
                              ("ca.pem", "client.pem", "client.key", "other.pem", "other.key",
                               "stray.key"))


def agent_config_text(portal: PortalClient | None, **values) -> str:
    conf = {
        "TELVSDK_CFG_CA": "/etc/telvsdk/ca.pem",
        "TELVSDK_CFG_SSLCERT": "/etc/telvsdk/client.pem",
        "TELVSDK_CFG_SSLKEY": "/etc/telvsdk/client.key",
        "TELVSDK_CFG_ACTIVATION_CODE": ACTIVATION_CODE,
        "TELVSDK_VPN_LOCAL_MGM_PORT": "7505",
        "action": "1",
    }
    if portal is not None:
        conf["TELVSDK_CFG_HBS_CONNECTION"] = portal.url
    for key, value in values.items():
        if value is None:
            conf.pop(key, None)
        else:
            conf[key] = str(value)
    return "".join(f"{k} {v}\n" for k, v in conf.items())


def launch_agent(root, portal: PortalClient | None, env: dict | None = None, argv_prefix=(),
                 merge_stderr: bool = False, **values):
    """Writes the agent's configuration (agent_config_text) and starts telvsdkd."""
    root.write("/etc/telvsdk/telvsdk.cnf", agent_config_text(portal, **values))
    return root.start([*argv_prefix, str(routerroot.binary("telvsdkd"))], env=env,
                      merge_stderr=merge_stderr)


@pytest.fixture
def start_agent():
    return launch_agent


def agent_log(root) -> str:
    return root.read("/var/log/telvsdk.log") if root.exists("/var/log/telvsdk.log") else ""


def wait_log(root, pattern: str, timeout: float = 10.0) -> str:
    """Waits until the agent's log contains pattern (a plain text)."""
    return poll(lambda: pattern in (text := agent_log(root)) and text, timeout,
                what=lambda: f"{pattern!r} not in the log within {timeout}s:\n"
                             f"{agent_log(root)[-3000:]}")
