"""pinctl as a command: reading DI and DO, setting DO, pin directions."""

import os

import pytest

USAGE = (
    "Usage:\n"
    "pinctl get_di_status                         - get di status\n"
    "pinctl get_do_status                         - get do status\n"
    "pinctl set_do_status[0|1]                    - set do status\n"
    "pinctl exar_init                             - set gpio direction\n"
    "pinctl dido_daemon                           - DIDO daemon\n"
)


def test_opens_the_gpio_port_read_write_without_controlling_it(run_tool, bridge):
    res = run_tool("pinctl", "get_do_status")
    assert res.rc == 0, res
    opens = [e for e in bridge.log() if e[1] == "open"]
    assert len(opens) == 1 and opens[0][0] == "ttyXRUSB1"
    flags = int(opens[0][2], 16)
    assert flags & os.O_ACCMODE == os.O_RDWR
    assert flags & os.O_NOCTTY


def test_missing_device_is_reported_before_anything_else(run_tool, bridge):
    bridge.fail("open", "ttyXRUSB1")
    for args in ([], ["get_di_status"], ["exar_init"]):
        res = run_tool("pinctl", *args)
        assert (res.rc, res.stdout) == (1, "Can't open device /dev/ttyXRUSB1\n"), args
    assert bridge.requests() == []


@pytest.mark.parametrize("args", [[], ["foo"], ["exar"], ["get_di"], ["get_do"], ["set_do"],
                                  ["dido_daemon"], ["set_do_status"],
                                  ["dido_daemon", "1", "2", "3"]])
def test_usage_text_and_exit_1(run_tool, bridge, args):
    res = run_tool("pinctl", *args)
    assert (res.rc, res.stdout) == (1, USAGE)
    assert bridge.requests() == [], "refused commands touch no register"


def test_exar_init_sets_the_pin_directions(run_tool, bridge):
    res = run_tool("pinctl", "exar_init")
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == [["ttyXRUSB1", "SET_REG", "-1", "27", "59"]]
    assert bridge.regs("ttyXRUSB1")["27"] == 59


@pytest.mark.parametrize("cmd", ["get_di_status", "get_di_x"])
def test_get_di_prints_the_raw_bit(run_tool, bridge, cmd):
    bridge.set_regs("ttyXRUSB1", {31: 4})
    res = run_tool("pinctl", cmd)
    assert (res.rc, res.stdout) == (0, "1\n")
    bridge.set_regs("ttyXRUSB1", {31: 0xFB})  # every bit but DI
    res = run_tool("pinctl", cmd)
    assert (res.rc, res.stdout) == (0, "0\n")
    assert bridge.requests()[-1] == ["ttyXRUSB1", "GET_REG", "-1", "31"]


def test_get_do_prints_bit_4(run_tool, bridge):
    bridge.set_regs("ttyXRUSB1", {31: 16})
    assert run_tool("pinctl", "get_do_status").stdout == "1\n"
    bridge.set_regs("ttyXRUSB1", {31: 0xEF})
    assert run_tool("pinctl", "get_do_stuff").stdout == "0\n"


@pytest.mark.parametrize("value,reg", [("1", "29"), ("0x1", "29"), ("01", "29"),
                                       ("0", "30"), ("2", "30"), ("x", "30"), ("-1", "30")])
def test_set_do_status_base_0_number(run_tool, bridge, value, reg):
    res = run_tool("pinctl", "set_do_status", value)
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == [["ttyXRUSB1", "SET_REG", "-1", reg, "16"]]


def test_set_do_status_drives_the_pin(run_tool, bridge):
    run_tool("pinctl", "set_do_status", "1")
    assert run_tool("pinctl", "get_do_status").stdout == "1\n"
    run_tool("pinctl", "set_do_status", "0")
    assert run_tool("pinctl", "get_do_status").stdout == "0\n"


def test_failed_register_read(run_tool, bridge):
    bridge.fail("GET_REG")
    for cmd in ("get_di_status", "get_do_status"):
        res = run_tool("pinctl", cmd)
        assert (res.rc, res.stdout) == (1, "Cannot do XR_USB_SERIAL_GET_REG ioctl (-1)\n"), cmd


def test_failed_register_writes(run_tool, bridge):
    bridge.fail("SET_REG")
    res = run_tool("pinctl", "set_do_status", "1")
    assert (res.rc, res.stdout) == (1, "Cannot do XR_USB_SERIAL_SET_REG ioctl (-1)\nCannot set value")
    res = run_tool("pinctl", "exar_init")
    assert (res.rc, res.stdout) == (1, "Cannot do XR_USB_SERIAL_SET_REG ioctl (-1)\n")


def test_other_words_with_an_argument(run_tool, bridge):
    res = run_tool("pinctl", "foo", "bar")
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == []
    bridge.set_regs("ttyXRUSB1", {"tiocm": 0x166})
    res = run_tool("pinctl", "foo", "get_testing")
    assert (res.rc, res.stdout) == (0, "value is 0x166\n")
    assert bridge.requests() == [["ttyXRUSB1", "TIOCMGET"]]
    bridge.fail("TIOCMGET")
    res = run_tool("pinctl", "foo", "get_test")
    assert res.rc == 1 and "value is" not in res.stdout


def test_the_simulated_bridge_refuses_unknown_requests(router_root, bridge):
    script = ("import errno, fcntl, os, termios\n"
              "fd = os.open('/dev/ttyXRUSB0', os.O_RDWR)\n"
              "try:\n"
              "    fcntl.ioctl(fd, termios.TCGETS, bytes(64))\n"
              "except OSError as e:\n"
              "    print(errno.errorcode[e.errno])\n")
    res = router_root.run(["/usr/bin/python3", "-c", script], env=bridge.env)
    assert res.stdout == "ENOTTY\n", res
    assert ["ttyXRUSB0", "UNKNOWN", "0x5401"] in bridge.log()
