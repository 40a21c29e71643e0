"""The platform stand-in: recorded calls, answers a test can change, shared values."""


def test_defaults_describe_one_usable_stopped_qmi_modem(platform):
    assert platform.rc("modem_check_valid", 0) == 0
    assert platform.rc("modem_check_type", 0, "qmi") == 0
    assert platform.rc("modem_check_type", 0, "atdial") != 0
    assert platform.rc("modem_status", 0) == 1
    assert platform.rc("modem_stop", 0, 0) == 0
    assert platform.call("modem_get_dialif_postfix", 0)["postfix"] == ""
    assert platform.rc("modem_report_start_atcmd", "usb0", 0) == 0


def test_every_call_is_recorded_with_its_arguments(platform):
    platform.rc("net_wan_if_set_profile", "usb0", "dhcp", "8.8.8.8", "off", 0, "", "", "")
    platform.rc("set_cur_wan_info", "eth0.2", 1, "", "", "", "", "", "1")
    platform.rc("net_wan_clear_old_ip", "eth0.2")
    platform.rc("cur_valid_if_init", "")
    platform.rc("cur_slave_ifs_init", "usb0 wwan0")
    platform.rc("modem_stop", 1, 0)
    platform.rc("modem_check_type", 0, "it's; $(x)")
    assert platform.calls() == [
        ["net_wan_if_set_profile", "usb0", "dhcp", "8.8.8.8", "off", "0", "", "", ""],
        ["set_cur_wan_info", "eth0.2", "1", "", "", "", "", "", "1"],
        ["net_wan_clear_old_ip", "eth0.2"],
        ["cur_valid_if_init", ""],
        ["cur_slave_ifs_init", "usb0 wwan0"],
        ["modem_stop", "1", "0"],
        ["modem_check_type", "0", "it's; $(x)"],
    ]


def test_answers_per_modem_fall_back_to_the_plain_key(platform):
    platform.answers("# modem 1 is not there\nmodem_check_valid.1=1\nmodem_status=0\n"
                     "modem_status.1=1\nmodem_stop=-1\n")
    assert platform.rc("modem_check_valid", 0) == 0
    assert platform.rc("modem_check_valid", 1) == 1
    assert platform.rc("modem_status", 0) == 0
    assert platform.rc("modem_status", 1) == 1
    assert platform.rc("modem_stop", 3, 0) == -1


def test_answers_are_read_again_on_every_call(platform):
    platform.answers("modem_status=2\n")
    assert platform.rc("modem_status", 0) == 2
    platform.answers("modem_status=1\n")
    assert platform.rc("modem_status", 0) == 1


def test_modem_type_and_forced_type_answers(platform):
    platform.answers("modem_type.1=atdial\n")
    assert platform.rc("modem_check_type", 1, "atdial") == 0
    assert platform.rc("modem_check_type", 1, "qmi") == 1
    assert platform.rc("modem_check_type", 0, "qmi") == 0
    platform.answers("modem_type=atdial\nmodem_check_type.0.qmi=7\n")
    assert platform.rc("modem_check_type", 0, "qmi") == 7
    assert platform.rc("modem_check_type", 2, "atdial") == 0


def test_dial_postfix_fills_at_most_its_field(platform):
    platform.answers("modem_get_dialif_postfix.0=ppp-" + "p" * 40 + "\nmodem_get_dialif_postfix=x\n")
    out = platform.call("modem_get_dialif_postfix", 0)
    assert out["postfix"] == ("ppp-" + "p" * 40)[:31]
    assert platform.call("modem_get_dialif_postfix", 4)["postfix"] == "x"


def test_report_start_answers_by_interface(platform):
    platform.answers("modem_report_start_atcmd.usb1=5\n")
    assert platform.rc("modem_report_start_atcmd", "usb1", 0) == 5
    assert platform.rc("modem_report_start_atcmd", "usb0", 0) == 0


def test_settings_folder_can_be_moved(platform):
    env = {"PLATFORM_STANDIN_DIR": "/tmp/elsewhere"}
    platform.answers("modem_status=4\n", folder="/tmp/elsewhere")
    assert platform.rc("modem_status", 0, env=env) == 4
    assert platform.calls(folder="/tmp/elsewhere") == [["modem_status", "0"]]
    assert platform.calls() == []


def test_striprn_removes_every_cr_and_lf(platform):
    assert platform.call("striprn", "a\r\nb\nc\r")["text"] == "[abc]"
    assert platform.call("striprn", "")["text"] == "[]"


def test_shared_values_between_processes(platform):
    # the stand-in makes the segment's key file when the firmware file is missing
    assert platform.call("getvalue", "common", "di_status")["value"] == "(null)"
    assert platform.rc("setvalue", "common", "di_status", "1") == 0
    assert platform.call("getvalue", "common", "di_status")["value"] == "1"
    assert platform.r.exists("/share/shmcommon")
