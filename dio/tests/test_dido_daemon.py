"""pinctl dido_daemon over several passes, one pass per step of the simulated bridge."""

import signal
import time

import pytest

from poll import within
from routerroot import binary

EVENT = "event_notify.sh"
DI_ON = ["all", "20", "Digital Input changed from OFF to ON"]
DI_OFF = ["all", "21", "Digital Input changed from ON to OFF"]
DO_ON = ["all", "22", "Digital Output changed from OFF to ON"]
DO_OFF = ["all", "23", "Digital Output changed from ON to OFF"]


class Router:
    def __init__(self, root, bridge):
        self.r = root
        self.bridge = bridge
        root.write("/share/shmcommon", "")
        root.install(binary("databoard"), "/usr/sbin/databoard")
        root.standin("/usr/sbin/event_notify.sh")
        root.standin("/usr/sbin/trigger_vpn.sh")
        root.standin("/etc/init.d/modem")
        root.standin("/usr/local/sbin/pidof")
        self.proc = None

    def start(self, *codes, di=1):
        # As after exar_init at boot: DO high (off).
        if not (self.bridge.dir / "ttyXRUSB1.regs").exists():
            self.bridge.set_regs("ttyXRUSB1", {31: 16})
        self.bridge.set_di(di)
        env = dict(self.bridge.env, XRSIM_STEP="1")
        self.proc = self.r.start([str(binary("pinctl")), "dido_daemon", *map(str, codes)], env=env)
        self.proc.wait_output("dido_daemon\n", timeout=10)
        self.bridge.wait_passes(1)
        return self.proc

    def shared(self, name):
        res = self.r.run(["/usr/sbin/databoard", "get", "common", name])
        return res.stdout.rstrip("\n") if res.rc == 0 else None

    def set_shared(self, name, value):
        assert self.r.run(["/usr/sbin/databoard", "set", "common", name, value]).rc == 0

    def vpn_running(self, running: bool):
        if running:
            self.r.write("/tmp/standin/pidof.out", "4242\n")
        else:
            self.r.remove("/tmp/standin/pidof.out")

    def calls(self, name):
        return self.r.calls(name)

    def events(self, n: int, timeout: float = 5.0):
        """The event script's calls once there are n of them.

        The daemon starts the event script in the background, so its calls
        may land a moment after the pass; within one pass their order is
        not fixed either, so a pass's events compare as sorted lists.
        """
        within(lambda: len(self.calls(EVENT)) >= n, timeout, 0.02)
        if n == 0:
            time.sleep(0.2)
        return self.calls(EVENT)

    def forget_calls(self):
        for name in ("event_notify.sh", "trigger_vpn.sh", "modem", "pidof"):
            self.r.remove(f"/tmp/standin/{name}.log")
        self.bridge.clear_log_keep_sleeps()


@pytest.fixture
def router(router_root, bridge):
    def clear_log_keep_sleeps():
        # Keep the sleep lines so that the pass count stays right.
        p = bridge.dir / "log"
        if p.exists():
            keep = [line for line in p.read_text().splitlines() if line.startswith("- sleep")]
            p.write_text("".join(k + "\n" for k in keep))
    bridge.clear_log_keep_sleeps = clear_log_keep_sleeps
    return Router(router_root, bridge)


def do_writes(bridge):
    """Registers written with the DO mask, in order (29 high, 30 low)."""
    return [e[3] for e in bridge.requests() if e[1] == "SET_REG" and e[4] == "16"]


def test_start_and_first_pass_with_di_on(router):
    p = router.start(5, 0, 0, 0, di=0)
    assert router.shared("di_status") == "0"
    assert router.shared("do_status") == "1", "set at start, DO unchanged"
    assert router.events(1) == [DI_ON]
    assert router.calls("trigger_vpn.sh") == [["on"]]
    assert router.bridge.led(13) == ["0"]
    assert router.bridge.led(8) == []
    p.wait_output("start_vpn_c_service\ntrigger_vpn cmd is trigger_vpn.sh on 2>/dev/null\n")
    assert "change_dido_led di, 0\n" in p.stdout
    # The mark set by the edge (2) is sent by code 14 on the next pass only if
    # still set; the rule here has no SMS code, so nothing is sent.
    router.bridge.advance()
    assert router.events(1) == [DI_ON]
    assert router.calls("trigger_vpn.sh") == [["on"]], "a steady DI fires no edge action"


def test_first_pass_with_di_off_changes_nothing(router):
    router.start(1, 2, 0, 0, di=1)
    assert router.shared("di_status") == "1"
    assert router.events(0) == []
    assert router.calls("trigger_vpn.sh") == []
    assert router.bridge.led(13) == []


@pytest.mark.parametrize("on_code,off_code,on_call,off_call", [
    (1, 2, ("trigger_vpn.sh", ["on"]), ("trigger_vpn.sh", ["on"])),
    (3, 4, ("trigger_vpn.sh", ["off"]), ("trigger_vpn.sh", ["off"])),
    (5, 6, ("trigger_vpn.sh", ["on"]), ("trigger_vpn.sh", ["on"])),
    (7, 8, ("trigger_vpn.sh", ["off"]), ("trigger_vpn.sh", ["off"])),
    (9, 10, ("modem", ["restart"]), ("modem", ["stop"])),
    (11, 12, ("modem", ["stop"]), ("modem", ["restart"])),
])
def test_di_edges_to_each_action_code(router, on_code, off_code, on_call, off_call):
    names = {on_call[0], off_call[0]}
    p = router.start(on_code, off_code, 0, 0, di=1)
    assert all(router.calls(n) == [] for n in names)

    router.bridge.set_di(0)           # turned ON: rule 1 fires
    router.bridge.advance()
    assert router.calls(on_call[0]) == [on_call[1]]
    assert router.events(1) == [DI_ON]

    router.bridge.set_di(1)           # turned OFF: rule 2 fires
    router.bridge.advance()
    calls = {n: router.calls(n) for n in names}
    if on_call[0] == off_call[0]:
        assert calls[on_call[0]] == [on_call[1], off_call[1]]
    else:
        assert calls[off_call[0]] == [off_call[1]]
    assert router.events(2) == [DI_ON, DI_OFF]
    assert router.bridge.led(13) == ["0", "1"]

    router.bridge.advance()           # steady: nothing more
    assert sum(len(router.calls(n)) for n in names) == 2
    if "modem" in names:
        assert router.r.exists("/tmp/.modem_connect"), "restart touches the connect marker"
        assert "str is restart\ntrigger_modbile cmd is /etc/init.d/modem restart 2>/dev/null\n" in p.stdout


def test_sms_mark_sent_by_the_matching_code(router):
    p = router.start(0, 14, 0, 0, di=0)   # mark 2, rule 2 sends it in the same pass
    assert ["didosms", "2"] in router.calls(EVENT)
    assert "send sms 2\n" in p.stdout
    router.bridge.set_di(1)                 # mark 1: code 14 only clears it
    router.bridge.advance()
    assert ["didosms", "1"] not in router.calls(EVENT)
    assert p.stdout.count("send sms") == 1


def test_sms_codes_13_then_14_lose_a_mark_of_2(router):
    p = router.start(13, 14, 0, 0, di=0)
    assert [c for c in router.calls(EVENT) if c[0] == "didosms"] == []
    router.bridge.set_di(1)                 # mark 1: rule 1 (code 13) sends it
    router.bridge.advance()
    assert [c for c in router.calls(EVENT) if c[0] == "didosms"] == [["didosms", "1"]]
    assert "send sms 1\n" in p.stdout and "send sms 2" not in p.stdout


def test_sms_codes_14_then_13_lose_a_mark_of_1(router):
    p = router.start(14, 13, 0, 0, di=0)
    assert [c for c in router.calls(EVENT) if c[0] == "didosms"] == [["didosms", "2"]]
    router.bridge.set_di(1)
    router.bridge.advance()
    assert [c for c in router.calls(EVENT) if c[0] == "didosms"] == [["didosms", "2"]]
    assert "send sms 1" not in p.stdout


def test_code_15_disconnects_the_vpn_when_di_is_off(router):
    r = router.r
    r.uci_set("novra.config.action", "2")
    router.start(15, 0, 0, 0, di=0)
    assert not r.exists("/tmp/.novra_vpn_disconn"), "no /tmp/vpn_status yet"
    r.write("/tmp/vpn_status", "3\n")
    router.bridge.advance()
    assert not r.exists("/tmp/.novra_vpn_disconn"), "DI is still on"
    router.bridge.set_di(1)
    r.write("/tmp/vpn_status", "2\n")
    router.bridge.advance()
    assert not r.exists("/tmp/.novra_vpn_disconn"), "VPN not connected"
    r.uci_set("novra.config.action", "1")
    r.write("/tmp/vpn_status", "3\n")
    router.bridge.advance()
    assert not r.exists("/tmp/.novra_vpn_disconn"), "action is not 2"
    r.uci_set("novra.config.action", "2")
    router.bridge.advance()
    assert r.exists("/tmp/.novra_vpn_disconn")


def test_code_13_drives_do_from_the_vpn_status(router):
    r = router.r
    b = router.bridge
    p = router.start(0, 0, 13, 0)
    assert do_writes(b) == ["29"], "no /tmp/vpn_status: DO 1"
    r.write("/tmp/vpn_status", "3\n")
    b.advance()
    assert do_writes(b)[-1] == "30"
    b.advance()                      # the change is seen on the next pass
    assert router.shared("do_status") == "0"
    assert router.events(1) == [DO_ON]
    assert b.led(8) == ["0"]
    r.remove("/tmp/vpn_status")
    b.advance()
    b.advance()
    assert router.events(2) == [DO_ON, DO_OFF]
    assert router.shared("do_status") == "1"
    assert b.led(8) == ["0", "1"]
    assert "change_dido_led do, 0\n" in p.stdout


def test_do_rules_follow_openvpn(router):
    b = router.bridge
    router.vpn_running(False)
    p = router.start(0, 0, 1, 4)     # rule 1: VPN running -> 0; rule 2: not running -> 1
    assert do_writes(b) == ["29"]
    assert "check do_case:1\n" in p.stdout and "check do_case:4\n" in p.stdout
    router.vpn_running(True)
    b.advance()
    assert do_writes(b) == ["29", "30"]
    assert ["openvpn"] in router.calls("pidof")
    b.advance()
    assert router.shared("do_status") == "0"
    assert router.events(1) == [DO_ON]


def test_do_rules_follow_the_eth1_link(router):
    b = router.bridge
    router.set_shared("eth1_link_status", "connected")
    router.start(0, 0, 9, 12)        # connected -> 0; not connected -> 1
    assert do_writes(b) == ["30"]
    router.set_shared("eth1_link_status", "disconnected")
    b.advance()
    assert do_writes(b) == ["30", "29"]
    assert router.events(1) == [DO_ON], "the DO 0 of pass 1 was seen on pass 2"


def test_sigusr2_applies_shared_do_and_sim_slot(router):
    b = router.bridge
    p = router.start(0, 0, 0, 0)
    router.forget_calls()
    router.set_shared("do_status", "0")
    router.set_shared("set_sim_slot", "2")
    p.signal(signal.SIGUSR2)
    b.advance()
    p.wait_output("set do 0\nset sim slot 2\n")
    assert [e[3:] for e in b.requests() if e[1] == "SET_REG"] == [["30", "16"], ["29", "2"]]
    assert router.shared("do_status") == "0", "the new DO level is seen in the same pass"
    assert router.events(1) == [DO_ON]

    router.set_shared("do_status", "1")
    router.set_shared("set_sim_slot", "1")
    p.signal(signal.SIGUSR2)
    b.advance()
    p.wait_output("set do 1\nset sim slot 1\n")
    assert router.bridge.regs("ttyXRUSB1")["31"] & 0x12 == 0x10


# Frees the slot of a key in area 0 of the shared segment, as a clear does.
FORGET = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.shmat.restype = ctypes.c_void_p
key = libc.ftok(b"/share/shmcommon", 0)
shmid = libc.shmget(key, 128000, 0o600)
base = libc.shmat(shmid, None, 0)
assert base not in (None, ctypes.c_void_p(-1).value), "no segment"
want = sys.argv[1].encode()
for slot in range(200):
    at = base + slot * 320
    if ctypes.string_at(at, 64).split(b"\\0")[0] == want:
        ctypes.memset(at, 0, 320)
        print("freed")
"""


def test_sigusr2_with_absent_values_means_do_0_and_slot_1(router):
    b = router.bridge
    p = router.start(0, 0, 0, 0)
    b.set_regs("ttyXRUSB1", {31: 0x12})
    res = router.r.run(["/usr/bin/python3", "-c", FORGET, "common_do_status"])
    assert res.stdout == "freed\n", res
    assert router.shared("do_status") is None and router.shared("set_sim_slot") is None
    p.signal(signal.SIGUSR2)
    b.advance()
    p.wait_output("set do 0\nset sim slot 1\n")
    assert b.regs("ttyXRUSB1")["31"] & 0x12 == 0
    assert p.running()


def test_sigusr1_is_ignored(router):
    p = router.start(0, 0, 0, 0)
    p.signal(signal.SIGUSR1)
    router.bridge.advance()
    assert p.running()


def test_failed_reads_count_as_a_change(router):
    b = router.bridge
    p = router.start(1, 0, 0, 0)
    b.fail("GET_REG")
    b.advance()
    assert router.shared("di_status") == "-1"
    assert router.shared("do_status") == "-1"
    assert sorted(router.events(2)) == sorted([DI_ON, DO_ON])
    assert b.led(13) == ["1"] and b.led(8) == ["1"]
    assert router.calls("trigger_vpn.sh") == [], "-1 is not an edge"
    assert "Cannot do XR_USB_SERIAL_GET_REG ioctl (-1)\n" in p.stdout
    b.heal()
    b.advance()
    assert router.shared("di_status") == "1"
    assert router.calls("trigger_vpn.sh") == []


def test_period_is_ten_seconds(router):
    router.start(0, 0, 0, 0)
    assert ["-", "sleep", "10"] in router.bridge.log()


def test_sigusr2_while_reading_a_command_does_not_cut_its_output(router):
    r = router.r
    b = router.bridge
    r.write("/tmp/standin/pidof.sh", "sleep 0.5; echo 4242\n", 0o755)
    p = router.start(0, 0, 1, 0)                 # VPN running -> DO 0
    assert do_writes(b) == ["30"]
    r.remove("/tmp/standin/pidof.log")
    n = b.sleeps()
    (b.dir / "steps").write_text(str(n))
    within(lambda: router.calls("pidof"), 5, 0.01)
    assert router.calls("pidof") == [["openvpn"]]
    p.signal(signal.SIGUSR2)                     # lands while the daemon reads the pipe
    b.wait_passes(n + 1)
    assert do_writes(b) == ["30", "30"], "the VPN was still seen running"
    b.advance()
    p.wait_output("set do ")


def test_bridge_that_re_enumerates_is_opened_again(router):
    b = router.bridge
    p = router.start(1, 0, 0, 0, di=0)
    assert router.shared("di_status") == "0"
    events = len(router.events(1))

    # Off the bus for two passes: their reads fail and count as a change.
    b.unplug()
    b.advance()
    assert router.shared("di_status") == "-1"
    assert "Cannot do XR_USB_SERIAL_GET_REG ioctl (-1)\n" in p.stdout
    b.advance()
    assert b.replug(), "the hung-up port was still held, so the bridge came back under another name"
    b.advance()
    assert router.shared("di_status") == "0"
    # DI and DO both went to -1 and back.
    assert sorted(router.events(events + 4)[events:]) == sorted([DI_ON, DO_ON, DI_ON, DO_OFF])
    events += 4
    opens = [e for e in b.log() if e[:2] == ["ttyXRUSB1", "open"]]
    assert len(opens) == 1 + 3, "one open at start, then one a pass"

    # Back within one period, as a re-enumeration is: the daemon lets go of
    # the port at the hangup, so the bridge keeps its name and no pass fails.
    closes = b.log().count(["ttyXRUSB1", "close"])
    b.unplug()
    within(lambda: b.log().count(["ttyXRUSB1", "close"]) != closes, 5, 0.02)
    assert b.replug(), "the hung-up port was still held, so the bridge came back under another name"
    b.advance()
    b.advance()
    assert router.shared("di_status") == "0"
    assert len(router.events(events)) == events, "no failed pass"
    assert p.stdout.count("Cannot do") == 4, "DI and DO reads of the two passes off the bus only"

    lines = [" ".join(c) for c in router.calls("logger")]
    assert len(lines) == 4 and all(c[:2] == ["-t", "pinctl"] for c in router.calls("logger")), lines
    assert "lost" in lines[0] and "back" in lines[1], lines
