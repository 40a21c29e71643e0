"""uartmode: one bridge request per invocation."""

import pytest

USAGE = (
    "Usage: uartmode </dev/ttyXRUSBx> [set_mode|set_reg|get_reg|set_sim_slot|get_di_status|set_do_status]\n"
    "\n"
    "uartmode /dev/ttyXRUSB0 set_mode [rs232|rs422|rs485|rs485-2w] - set Exar serial operation mode to RS/232/422/485/485 -2 wires\n"
    "uartmode /dev/ttyXRUSB0 get_reg <register>                    - get register value\n"
    "uartmode /dev/ttyXRUSB0 set_reg <register> <value>            - set register value\n"
    "uartmode /dev/ttyXRUSB1 set_sim_slot [1|2]                    - set SIM slot number\n"
    "uartmode /dev/ttyXRUSB1 get_di_status                         - get di status\n"
    "uartmode /dev/ttyXRUSB1 set_do_status[0|1]                    - set do status\n"
)
DEV0 = "/dev/ttyXRUSB0"
DEV1 = "/dev/ttyXRUSB1"


def uart(run_tool, *args):
    return run_tool("uartmode", *args)


@pytest.mark.parametrize("args", [[], [DEV0],
                                  [DEV1, "set_sim_slot"], [DEV1, "set_do_status"],
                                  [DEV0, "set_gpio_reg"], [DEV0, "get_reg"],
                                  [DEV0, "set_reg"], [DEV0, "set_reg", "27"], [DEV0, "set_mode"]])
def test_usage_text_and_exit_1(run_tool, bridge, args):
    res = uart(run_tool, *args)
    assert (res.rc, res.stdout) == (1, USAGE)
    assert bridge.requests() == []


def test_device_that_cannot_be_opened(run_tool, bridge):
    res = uart(run_tool, "/dev/ttyXRUSB7", "get_di_status")
    assert (res.rc, res.stdout) == (1, "Can't open device /dev/ttyXRUSB7\n")
    bridge.fail("open", "ttyXRUSB0")
    res = uart(run_tool, DEV0, "foo")
    assert (res.rc, res.stdout) == (1, "Can't open device /dev/ttyXRUSB0\n")


def test_unknown_command_opens_the_device_and_does_nothing(run_tool, bridge):
    res = uart(run_tool, DEV0, "foo")
    assert (res.rc, res.stdout) == (0, "")
    assert [e[:2] for e in bridge.log()] == [["ttyXRUSB0", "open"], ["ttyXRUSB0", "close"]]


def test_exar_init_always_on_the_gpio_port_before_the_device_is_opened(run_tool, bridge):
    res = uart(run_tool, "/dev/nothing-here", "exar_init")
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == [["ttyXRUSB1", "SET_REG", "-1", "27", "59"],
                                 ["ttyXRUSB1", "SET_REG", "-1", "29", "16"]]
    assert {e[0] for e in bridge.log() if e[1] == "open"} == {"ttyXRUSB1"}
    bridge.fail("open", "ttyXRUSB1")
    res = uart(run_tool, DEV0, "exar_init")
    assert (res.rc, res.stdout) == (1, "Can't open device /dev/ttyXRUSB1\n")


def test_exar_init_failure(run_tool, bridge):
    bridge.fail("SET_REG")
    res = uart(run_tool, DEV1, "exar_init")
    assert (res.rc, res.stdout) == (1, "Cannot do XR_USB_SERIAL_SET_REG ioctl (-1)\nCannot set value")


@pytest.mark.parametrize("cmd,value,reg,mask", [
    ("set_sim_slot", "2", "29", "2"), ("set_sim_slot", "0x2", "29", "2"),
    ("set_sim_slot", "1", "30", "2"), ("set_sim_slot", "3", "30", "2"),
    ("set_sim_sl", "02", "29", "2"),
    ("set_do_status", "1", "29", "16"), ("set_do_status", "0x1", "29", "16"),
    ("set_do_status", "0", "30", "16"), ("set_do_status", "2", "30", "16"),
])
def test_pin_writes(run_tool, bridge, cmd, value, reg, mask):
    res = uart(run_tool, DEV1, cmd, value)
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == [["ttyXRUSB1", "SET_REG", "-1", reg, mask]]


@pytest.mark.parametrize("cmd", ["set_sim_slot", "set_do_status", "set_reg"])
def test_failed_writes_say_cannot_set_value(run_tool, bridge, cmd):
    bridge.fail("SET_REG")
    args = ["27", "59"] if cmd == "set_reg" else ["1"]
    res = uart(run_tool, DEV1, cmd, *args)
    assert (res.rc, res.stdout) == (1, "Cannot do XR_USB_SERIAL_SET_REG ioctl (-1)\nCannot set value")


def test_get_di_status_prints_the_logical_input(run_tool, bridge):
    # The pin reads 1 while the input is off: the opposite of pinctl's output.
    bridge.set_regs("ttyXRUSB1", {31: 4})
    assert uart(run_tool, DEV1, "get_di_status").stdout == "0\n"
    assert run_tool("pinctl", "get_di_status").stdout == "1\n"
    bridge.set_regs("ttyXRUSB1", {31: 0xFB})
    assert uart(run_tool, DEV1, "get_di_x").stdout == "1\n"
    assert run_tool("pinctl", "get_di_status").stdout == "0\n"
    bridge.fail("GET_REG")
    res = uart(run_tool, DEV1, "get_di_status")
    assert (res.rc, res.stdout) == (1, "Cannot do XR_USB_SERIAL_GET_REG ioctl (-1)\n")


def test_gpio_mode_register(run_tool, bridge):
    bridge.set_regs("ttyXRUSB0", {"gpio_mode": 0x1F})
    res = uart(run_tool, DEV0, "get_gpio_reg")
    assert (res.rc, res.stdout) == (0, "xr_read_gpio_reg\n0x1F\n")
    res = uart(run_tool, DEV0, "set_gpio_reg", "0x10")
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests()[-1] == ["ttyXRUSB0", "SET_GPIO_MODE_REG", "-1", "16"]
    assert uart(run_tool, DEV0, "get_gpio_reg").stdout == "xr_read_gpio_reg\n0x10\n"

    bridge.fail("GET_GPIO_MODE_REG")
    bridge.fail("SET_GPIO_MODE_REG")
    res = uart(run_tool, DEV0, "get_gpio_reg")
    assert (res.rc, res.stdout) == (
        1, "xr_read_gpio_reg\nCannot do XR_USB_SERIAL_GET_GPIO_MODE_REG ioctl (-1)\n")
    res = uart(run_tool, DEV0, "set_gpio_reg", "1")
    assert (res.rc, res.stdout) == (
        1, "Cannot do XR_USB_SERIAL_SET_GPIO_MODE_REG ioctl (-1)\nCannot get value")


def test_get_and_set_registers(run_tool, bridge):
    res = uart(run_tool, DEV0, "set_reg", "0x1b", "073")
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == [["ttyXRUSB0", "SET_REG", "-1", "27", "59"]]
    res = uart(run_tool, DEV0, "get_reg", "27")
    assert (res.rc, res.stdout) == (0, "block is -1, addr is 27\n==0x3B\nresult is 0x0\n")
    bridge.fail("GET_REG")
    res = uart(run_tool, DEV0, "get_reg", "0x1f")
    assert (res.rc, res.stdout) == (
        1, "block is -1, addr is 31\nCannot do XR_USB_SERIAL_GET_REG ioctl (-1)\nresult is 0xFFFFFFFF\n")


@pytest.mark.parametrize("word,mode,transceiver", [
    ("rs232", "SET_RS232", "RS232_TRANSCEIVER"),
    ("rs422", "SET_RS422", "RS422485_TRANSCEIVER"),
    ("rs485-2w", "SET_RS485_2W", "RS422485_TRANSCEIVER"),
    ("rs485", "SET_RS485_4W", "RS422485_TRANSCEIVER"),
    ("rs485x", "SET_RS485_4W", "RS422485_TRANSCEIVER"),
    ("rs485-2", "SET_RS485_4W", "RS422485_TRANSCEIVER"),
    ("rs232-anything", "SET_RS232", "RS232_TRANSCEIVER"),
])
@pytest.mark.parametrize("dev", [DEV0, DEV1])
def test_set_mode_then_transceiver_on_the_gpio_port(run_tool, bridge, word, mode, transceiver, dev):
    res = uart(run_tool, dev, "set_mode", word)
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == [[dev[5:], mode, "-1"], ["ttyXRUSB1", transceiver, "-1"]]


@pytest.mark.parametrize("word", ["rs23", "RS232", "rs48", "x"])
def test_unknown_mode_word_does_nothing(run_tool, bridge, word):
    res = uart(run_tool, DEV0, "set_mode", word)
    assert (res.rc, res.stdout) == (0, "")
    assert bridge.requests() == []


@pytest.mark.parametrize("word,mode", [("rs232", "SET_RS232"), ("rs422", "SET_RS422"),
                                       ("rs485", "SET_RS485_4W"), ("rs485-2w", "SET_RS485_2W")])
def test_failed_mode_request_stops_before_the_transceiver(run_tool, bridge, word, mode):
    bridge.fail(mode)
    res = uart(run_tool, DEV0, "set_mode", word)
    assert (res.rc, res.stdout) == (1, f"Cannot do XR_USB_SERIAL_{mode} ioctl (-1)\n")
    assert len(bridge.requests()) == 1


@pytest.mark.parametrize("word,transceiver", [("rs232", "RS232_TRANSCEIVER"),
                                              ("rs422", "RS422485_TRANSCEIVER")])
def test_failed_transceiver_request(run_tool, bridge, word, transceiver):
    bridge.fail(transceiver, "ttyXRUSB1")
    res = uart(run_tool, DEV0, "set_mode", word)
    assert (res.rc, res.stdout) == (1, f"Cannot do XR_USB_SERIAL_{transceiver} ioctl (-1)\n")


def test_modem_lines(run_tool, bridge):
    bridge.set_regs("ttyXRUSB0", {"tiocm": 0x4006})
    res = uart(run_tool, DEV0, "get_test")
    assert (res.rc, res.stdout) == (0, "value is 0x4006\n")
    bridge.fail("TIOCMGET")
    res = uart(run_tool, DEV0, "get_test")
    assert res.rc == 1 and "value is" not in res.stdout
