"""Router roots prepared for modemctl: the uci packages modem and network, the
modem's scripts as recording stand-ins, databoard on the PATH."""
from pathlib import Path

import pytest

from poll import within
from routerroot import binary

HERE = Path(__file__).resolve().parent
MODULE_FILE = "/etc_ro/MODULE_EC25E_3907_img"

RECORDED = [
    "/usr/sbin/qmi-network_all",
    "/usr/sbin/qmi-network_atcmd",
    "/usr/sbin/exe_alive_checker.sh",
    "/usr/sbin/modem-check-module",
    "/usr/sbin/modem-report",
    "/usr/sbin/modem-report_atcmd",
    "/usr/sbin/wvdial-report",
    "/usr/bin/killall",
    "/bin/kill",
]


class Modem:
    """Helpers over a RouterRoot for the modem tests."""

    def __init__(self, root):
        self.r = root

    def __getattr__(self, name):
        return getattr(self.r, name)

    def modemctl(self, *args, timeout=30):
        return self.r.run([str(binary("modemctl")), *args], timeout=timeout)

    def platform_calls(self):
        p = self.r.tmp / "platform" / "calls.log"
        return p.read_text().splitlines() if p.exists() else []

    def answers(self, text):
        self.r.write("/tmp/platform/answers", text)

    def shared(self, name):
        res = self.r.run(["databoard", "get", "common", name])
        return res.stdout.rstrip("\n") if res.rc == 0 else None

    def wait_calls(self, name, count=1, timeout=5.0):
        """Calls of a stand-in, waiting (bounded) for background ones."""
        within(lambda: len(self.r.calls(name)) >= count, timeout)
        return self.r.calls(name)

    def install_module_file(self, text=None):
        if text is None:
            self.r.install(HERE / "fixtures" / "MODULE_EC25E_3907_img", MODULE_FILE, 0o444)
        else:
            self.r.write(MODULE_FILE, text, 0o444)


def prepare(r):
    """Puts the modem's stand-ins, databoard and a factory configuration in r."""
    r.write("/share/shmcommon", "")
    r.install(binary("databoard"), "/usr/sbin/databoard")
    for path in RECORDED:
        r.standin(path)
    # The report script makes the wvdial command file it is asked to create.
    r.write("/tmp/standin/modem-report_atcmd.sh",
            '[ "$2" = create ] && : > "/etc/wvdial_cmd_$1"\nexit 0\n', 0o755)
    r.install(HERE / "standins" / "modem_version.sh", "/usr/sbin/modem_version.sh")
    # uci packages modem and network as a router leaves the factory.
    for key, value in {
        "modem.failover.wan_type": "2",
        "modem.failover.back_testip": "8.8.4.4",
        "modem.failover.fail_back": "0",
        "modem.parameters.modem_if": "usb0",
        "modem.parameters.modem_type": "qmi",
        "modem.parameters.modem_apn": "internet",
        "modem.parameters.modem_bk": "off",
        "modem.setting.mode": "0",
        "modem.setting.testip": "8.8.8.8",
        "network.wan.proto": "dhcp",
        "network.lan.ipaddr": "192.168.1.1",
    }.items():
        r.uci_set(key, value)
    # The runtime copy of the shared configuration file, as the router's
    # start-up leaves it.
    r.write("/var/run/shmem.conf", "[common]\n")
    return Modem(r)


@pytest.fixture
def modem(router_root):
    return prepare(router_root)
