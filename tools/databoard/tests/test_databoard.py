"""databoard as the shell and the other programs use it."""

import pytest


def usage(prog):
    return (f"Usage: {prog} options\n-h, --help Display this usage information.\n"
            f"{prog} get secname valname\n{prog} set secname valname \"value\"\n")


def test_set_in_one_process_get_in_another(board):
    assert board.run(["databoard", "set", "common", "wanif", "usb0"]).rc == 0
    res = board.run(["databoard", "get", "common", "wanif"])
    assert (res.rc, res.stdout) == (0, "usb0\n")
    # a second set replaces the value
    assert board.run(["databoard", "set", "common", "wanif", "eth0.2"]).rc == 0
    assert board.run(["databoard", "get", "common", "wanif"]).stdout == "eth0.2\n"
    # the same name in another section is another value
    assert board.run(["databoard", "get", "other", "wanif"]).rc == 1


def test_get_of_absent_value_prints_nothing_and_fails(board):
    res = board.run(["databoard", "get", "common", "wanif"])
    assert (res.rc, res.stdout) == (1, "")
    res = board.run(["databoard", "shmget", "common", "wanif"])
    assert (res.rc, res.stdout) == (1, "")


def test_line_feeds_are_removed_from_the_value(board):
    assert board.run(["databoard", "set", "s", "n", "a\nb\n"]).rc == 0
    assert board.run(["databoard", "get", "s", "n"]).stdout == "ab\n"
    # a value quoted like the agent does it keeps its blanks
    assert board.sh("databoard set common di_status \"0 1\" && databoard get common \"di_status\"").stdout == "0 1\n"


def test_shmset_and_shmget_share_the_values_of_get_and_set(board):
    assert board.run(["databoard", "shmset", "common", "modem_if", "eth1"]).rc == 0
    assert board.run(["databoard", "get", "common", "modem_if"]).stdout == "eth1\n"
    board.run(["databoard", "set", "common", "loadfix", "1"])
    res = board.run(["databoard", "shmget", "common", "loadfix"])
    assert (res.rc, res.stdout) == (0, "1\n")


@pytest.mark.parametrize("argv,rc", [
    ([], 0),
    (["get", "x"], 0),
    (["set", "a", "b", "c", "d", "e"], 0),
    (["foo"], 1),
    (["-h"], 1),
    (["--help"], 1),
    (["get", "a", "b", "c"], 1),      # four arguments: only set and shmset
    (["printall", "a", "b"], 1),      # three arguments: only get and shmget
])
def test_argument_rules_print_usage(board, argv, rc):
    res = board.run(["databoard"] + argv)
    assert res.rc == rc
    assert res.stdout == usage("databoard")


def test_usage_names_the_program_as_invoked(board):
    res = board.run(["/usr/sbin/databoard"])
    assert res.stdout == usage("/usr/sbin/databoard")


def test_value_longer_than_the_buffer_is_refused(board):
    long_value = "x" * 1024
    res = board.run(["databoard", "set", "common", "big", long_value])
    assert res.rc == 1
    assert "1023" in res.stderr
    assert board.run(["databoard", "get", "common", "big"]).rc == 1
    # 1023 characters once the line feeds are gone fit the buffer, but not a slot
    res = board.run(["databoard", "set", "common", "big", "y" * 1023 + "\n"])
    assert res.rc != 0 and "1023" not in res.stderr


def test_slot_limits_refuse_instead_of_cutting(board):
    assert board.run(["databoard", "set", "common", "v", "z" * 255]).rc == 0
    assert board.run(["databoard", "get", "common", "v"]).stdout == "z" * 255 + "\n"
    assert board.run(["databoard", "set", "common", "v", "z" * 256]).rc != 0
    assert board.run(["databoard", "get", "common", "v"]).stdout == "z" * 255 + "\n"
    # key "common_" + name: 63 characters fit, 64 do not
    name63 = "k" * (63 - len("common_"))
    assert board.run(["databoard", "set", "common", name63, "ok"]).rc == 0
    assert board.run(["databoard", "get", "common", name63]).stdout == "ok\n"
    assert board.run(["databoard", "set", "common", name63 + "k", "no"]).rc != 0
    # the long key was not cut into the 63-character one
    assert board.run(["databoard", "get", "common", name63]).stdout == "ok\n"


def test_printall_and_printgps(board):
    board.run(["databoard", "set", "common", "wanif", "usb0"])
    board.run(["databoard", "set", "gps", "lat", "47.1"])
    res = board.run(["databoard", "printall"])
    assert res.rc == 0
    assert "common_wanif=usb0" in res.stdout and "gps_lat=47.1" in res.stdout
    res = board.run(["databoard", "printgps"])
    assert res.rc == 0
    assert "gps_lat=47.1" in res.stdout and "wanif" not in res.stdout


def test_shmget_without_segment_key_reports_and_fails(router_root):
    r = router_root
    r.install(__import__("routerroot").binary("databoard"), "/usr/sbin/databoard")
    r.remove("/share/shmcommon")
    res = r.run(["databoard", "shmget", "common", "wanif"])
    assert res.stdout.startswith("pSHMCOMM is null\n")
    assert res.rc == 1
    r.wait_console("init shmcommon fail", timeout=5)


def test_full_area_refuses_a_new_value_and_keeps_the_others(board):
    # the 200 slots of the area, filled by 200 runs of the program
    fill = board.sh('i=0; while [ $i -lt 200 ]; do databoard set fill "k$i" "v$i" || exit 9; '
                    'i=$((i+1)); done', timeout=60)
    assert fill.rc == 0, fill
    res = board.run(["databoard", "set", "common", "wanif", "usb0"])
    assert res.rc != 0
    assert board.run(["databoard", "get", "common", "wanif"]).rc == 1
    res = board.run(["databoard", "shmset", "common", "wanif", "usb0"])
    assert res.rc != 0
    # nothing was overwritten to make room
    listed = board.run(["databoard", "printall"]).stdout.splitlines()
    assert sorted(line.split(" ", 1)[1] for line in listed) == \
        sorted(f"fill_k{i}=v{i}" for i in range(200))
    # a value that has its slot can still change
    assert board.run(["databoard", "set", "fill", "k7", "seven"]).rc == 0
    assert board.run(["databoard", "get", "fill", "k7"]).stdout == "seven\n"
    assert board.run(["databoard", "get", "fill", "k199"]).stdout == "v199\n"
