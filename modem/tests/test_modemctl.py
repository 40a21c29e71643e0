"""modemctl start | stop | init as processes in a router root, and its
exported operations through a test program that links them."""
import re
import subprocess

import pytest

from routerroot import binary

SUPERVISION = "/usr/sbin/exe_alive_checker.sh"
PIDFILE = "/var/run/alive_checker_modem.pid"

EXPORTED = {
    "cur_if_table_get_byif", "cur_if_table_list_init", "cur_slave_ifs_detect",
    "cur_slave_fill_selected", "modem_renewconf", "modem_is_apn_empty", "modem_fix_device",
    "modem_get_device", "modem_get_if", "modem_get_atif", "modem_get_dialif", "modem_get_type",
    "modem_get_name", "modem_init", "modem_check_version", "modem_dev_radio_type_get",
    "modem_dev_hwreset_atcmd", "modem_set_radio_type", "modem_start", "net_wan_if_up",
    "net_wan_if_down",
}

FIXED = "adsl 10 adsl\neth0 10 ethernet\neth0.2 20 ethernet\nwlan0 20 ethernet\n"


def test_operations_are_in_the_dynamic_symbol_table():
    out = subprocess.run(["nm", "-D", "--defined-only", str(binary("modemctl"))],
                         capture_output=True, text=True, check=True).stdout
    functions = {f[2] for f in (line.split() for line in out.splitlines())
                 if len(f) == 3 and f[1] == "T"}
    assert functions == EXPORTED


def test_exported_operations(modem):
    """The GoogleTest program of the operations, run inside this root."""
    # some 90 s on a loaded machine: every uci call starts the Python stand-in
    modem.run_gtest("modem_ops_tests", timeout=400)


# ---- command line --------------------------------------------------------------

@pytest.mark.parametrize("argv", [[], ["restart"], ["START"]])
def test_other_words_do_nothing(modem, argv):
    res = modem.modemctl(*argv)
    assert res.rc == 0
    assert not modem.exists("/etc/if_table_list")
    assert modem.platform_calls() == []
    assert modem.calls("uci") == []


# ---- start: wired and wireless WAN -------------------------------------------------

def test_start_wired_static_writes_only_the_table(modem):
    modem.uci_set("modem.failover.wan_type", "0")
    modem.uci_set("network.wan.proto", "static")
    assert modem.modemctl("start").rc == 0
    assert modem.read("/etc/if_table_list") == FIXED + "usb0 50 qmi\nwan1 50 qmi\n"
    assert modem.platform_calls() == ["modem_get_dialif_postfix 0"]
    assert not modem.exists("/tmp/.slave_if_list")
    assert "wanif" not in modem.read("/var/run/shmem.conf")


@pytest.mark.parametrize("wan_type,ifname", [("0", "eth0.2"), ("1", "wlan0")])
def test_start_lan_wan_dhcp_without_fail_back(modem, wan_type, ifname):
    modem.uci_set("modem.failover.wan_type", wan_type)
    assert modem.modemctl("start").rc == 0
    assert modem.platform_calls()[1:] == [
        "cur_valid_if_init ''",
        f"set_cur_wan_info '{ifname}' 1 '' '' '' '' '' '1'",
        f"net_wan_clear_old_ip '{ifname}'",
        f"net_wan_if_set_profile '{ifname}' 'dhcp' '8.8.4.4' 'off' 1 '' '' ''",
    ]
    assert modem.read("/tmp/.slave_if_list") == f"{ifname} "
    assert re.search(rf'wanif\s*=\s*"{re.escape(ifname)}"', modem.read("/var/run/shmem.conf"))
    assert modem.calls("exe_alive_checker.sh") == []
    assert modem.calls("qmi-network_all") == []


@pytest.mark.parametrize("wan_type,ifname", [("0", "eth0.2"), ("1", "wlan0")])
def test_start_lan_wan_with_fail_back_and_modem_backup(modem, wan_type, ifname):
    modem.uci_set("modem.failover.wan_type", wan_type)
    modem.uci_set("modem.failover.fail_back", "1")
    modem.uci_set("modem.parameters.modem_bk", "on")
    assert modem.modemctl("start").rc == 0
    assert modem.wait_calls("exe_alive_checker.sh") == [[ifname, "3", "0"]]
    assert modem.read("/tmp/.slave_if_list") == f"{ifname} usb0 "
    calls = modem.platform_calls()
    assert "net_wan_if_set_profile 'usb0' 'dhcp' '8.8.8.8' '' 0 '' '' ''" in calls
    assert modem.exists("/tmp/console_log")
    assert modem.calls("qmi-network_all") == []


# ---- start: modem WAN ------------------------------------------------------------------

def test_start_modem_automatic(modem):
    assert modem.modemctl("start").rc == 0
    # foreground connection: done before modemctl returned
    assert modem.calls("qmi-network_all") == [["usb0", "start"]]
    modem.wait_console(r"cmd_buf=/usr/sbin/exe_alive_checker\.sh usb0 3 1  "
                       r">>/tmp/console_log 2>&1 &\n", timeout=5)
    assert modem.wait_calls("exe_alive_checker.sh") == [["usb0", "3", "1"]]
    calls = modem.platform_calls()
    assert calls[1:3] == ["cur_valid_if_init ''", "cur_slave_ifs_init ''"]
    # the slave set-up's profile, then the modem's own one
    profiles = [c for c in calls if c.startswith("net_wan_if_set_profile")]
    assert profiles == ["net_wan_if_set_profile 'usb0' 'dhcp' '' '' 0 '' '' ''",
                        "net_wan_if_set_profile 'usb0' 'dhcp' '8.8.8.8' 'off' 0 '' '' ''"]
    assert "cur_slave_ifs_init 'usb0'" in calls
    assert modem.shared("wanif") == "usb0"
    assert modem.read("/etc/qmi-network.conf_usb0").startswith("APN=internet\n")
    assert modem.shared("manual_con") is None


def test_start_modem_manual(modem):
    modem.uci_set("modem.setting.mode", "1")
    assert modem.modemctl("start").rc == 0
    assert modem.shared("manual_con") == "0"
    assert modem.wait_calls("qmi-network_all") == [["usb0", "start"]]
    assert modem.wait_calls("exe_alive_checker.sh") == [["usb0", "10", "1"]]
    assert "cmd_buf=" not in modem.console()


def test_start_modem_mode_two_sets_profiles_only(modem):
    modem.uci_set("modem.setting.mode", "2")
    assert modem.modemctl("start").rc == 0
    calls = modem.platform_calls()
    assert "net_wan_if_set_profile 'usb0' 'dhcp' '8.8.8.8' 'off' 0 '' '' ''" in calls
    assert not any(c.startswith("modem_check_valid") for c in calls)
    assert modem.wait_calls("exe_alive_checker.sh", timeout=0.5) == []
    assert modem.calls("qmi-network_all") == []


def test_start_modem_without_apn_starts_nothing(modem):
    modem.uci_set("modem.parameters.modem_apn", "")
    assert modem.modemctl("start").rc == 0
    calls = modem.platform_calls()
    assert "net_wan_if_set_profile 'usb0' 'dhcp' '8.8.8.8' 'off' 0 '' '' ''" in calls
    assert not any(c.startswith("cur_slave_ifs_init 'usb0'") for c in calls)
    assert modem.calls("qmi-network_all") == []
    assert modem.wait_calls("exe_alive_checker.sh", timeout=0.5) == []


def test_start_modem_atdial(modem):
    modem.uci_set("modem.parameters.cdc_wdm", "/dev/cdc-wdm0")
    modem.answers("modem_type.0=atdial\n")
    assert modem.modemctl("start").rc == 0
    assert modem.calls("qmi-network_atcmd") == [["/dev/cdc-wdm0", "start", "usb0"]]
    assert modem.calls("qmi-network_all") == []


def test_start_with_odd_interface_name_runs_nothing_else(modem):
    modem.uci_set("modem.parameters.modem_if", "usb0;touch /tmp/pwned")
    assert modem.modemctl("start").rc == 0
    assert modem.calls("qmi-network_all") == [["usb0;touch /tmp/pwned", "start"]]
    assert modem.wait_calls("exe_alive_checker.sh") == [["usb0;touch /tmp/pwned", "3", "1"]]
    assert not modem.exists("/tmp/pwned")


# ---- stop ------------------------------------------------------------------------------

# The router's script is a shell script; an option on its interpreter line
# puts the script's path third on its command line (/bin/sh -e script ...).
SH_SUPERVISION = """#!/bin/sh -e
echo $$ > /var/run/alive_checker_modem.pid
echo watching
i=0
while [ $i -lt 30 ]; do sleep 1; i=$((i + 1)); done
"""


def start_supervision(modem, script=None):
    if script is None:
        modem.install(str(__import__("pathlib").Path(__file__).parent / "standins" / "alive_checker"),
                      SUPERVISION)
    else:
        modem.write(SUPERVISION, script, 0o755)
    proc = modem.start([SUPERVISION, "usb0", "3", "1"])
    proc.wait_output("watching", timeout=10)
    return proc


@pytest.mark.parametrize("script", [None, SH_SUPERVISION], ids=["python", "sh-e"])
def test_stop_kills_the_supervision_script(modem, script):
    proc = start_supervision(modem, script)
    assert modem.read(PIDFILE).strip() == str(proc.pid)
    assert modem.modemctl("stop").rc == 0
    assert modem.calls("kill") == [["-9", str(proc.pid)]]
    assert not modem.exists(PIDFILE)
    assert modem.platform_calls() == ["modem_stop 0 0", "modem_status 0"]
    assert modem.calls("killall") == [["quectel-CM"]]


def test_stop_stops_a_running_modem_twice(modem):
    modem.answers("modem_status=0\n")
    assert modem.modemctl("stop").rc == 0
    assert modem.platform_calls() == ["modem_stop 0 0", "modem_status 0", "modem_stop 0 0"]


def test_stop_without_supervision_script(modem):
    assert modem.modemctl("stop").rc == 0
    assert modem.calls("kill") == []
    assert any("supervision not killed" in " ".join(c) for c in modem.calls("logger"))
    assert modem.platform_calls()[0] == "modem_stop 0 0"
    assert modem.calls("killall") == [["quectel-CM"]]


def test_stop_with_stale_pid_file(modem):
    other = modem.start(["sleep", "20"])  # the number now belongs to something else
    for text in (f"{other.pid}\n", "garbage\n", f"{other.pid} 1\n"):
        modem.write(PIDFILE, text)
        assert modem.modemctl("stop").rc == 0
        assert modem.calls("kill") == []
        assert not modem.exists(PIDFILE)
    assert other.running()
    reasons = [" ".join(c) for c in modem.calls("logger")]
    assert any("not the supervision script" in r for r in reasons)
    assert any("no process number" in r for r in reasons)
    assert modem.calls("killall") == [["quectel-CM"]] * 3


# ---- init --------------------------------------------------------------------------------

def test_init_with_module_description(modem):
    modem.uci_set("modem.parameters.modem_if", "eth1")
    modem.install_module_file()
    assert modem.modemctl("init").rc == 0
    assert modem.read("/tmp/standin/modem-check-module.log") == "\n"  # one call, no arguments
    for key, value in {"cdc_wdm": "/dev/cdc-wdm0", "modem_if": "usb0",
                       "modem_atif": "/dev/ttyUSB2", "modem_dialif": "/dev/ttyUSB3",
                       "modem_gpsif": "/dev/ttyUSB1", "modem_driver": "qmi_wwan,option"}.items():
        assert modem.uci_get(f"modem.parameters.{key}") == value
    assert [c for c in modem.calls("uci") if c[0] == "commit"] == [["commit", "modem"]]
    assert modem.shared("modem_if") == "usb0"
    assert modem.shared("modem_hwreset_count") == "3"
    assert modem.shared("modem_apn_max") == "1"
    assert "modem_report_start_atcmd 'usb0' 0" in modem.platform_calls()
    assert modem.read("/etc/if_table_list") == FIXED + "usb0 50 qmi\nwan1 50 qmi\n"


def test_init_without_module_description(modem):
    modem.uci_set("modem.parameters.modem_if", "")
    modem.uci_set("modem.parameters.modem_type", "")
    assert modem.modemctl("init").rc == 0
    assert modem.uci_get("modem.parameters.modem_if") == "eth1"
    assert not any(c[0] == "commit" for c in modem.calls("uci"))
    assert modem.shared("modem_if") is None
    assert "modem_report_start_atcmd 'eth1' 0" in modem.platform_calls()
    assert modem.read("/etc/if_table_list") == FIXED + "eth1 50 qmi\nwan1 50 qmi\n"
