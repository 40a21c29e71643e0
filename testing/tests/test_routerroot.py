"""The router root keeps the host untouched and gives programs what they expect."""

import os
import signal

import pytest


def test_writes_land_in_the_root_not_on_the_host(router_root):
    r = router_root
    marker = f"/etc/rt-test-{os.getpid()}"
    res = r.sh(f"echo hello > {marker} && mkdir -p /etc_ro /share && echo x > /var/run/x.pid && cat {marker}")
    assert res.rc == 0, res
    assert res.stdout == "hello\n"
    assert r.read(marker) == "hello\n"
    assert not os.path.exists(marker)
    assert not os.path.exists("/etc_ro")
    assert r.read("/var/run/x.pid") == "x\n"


def test_dev_is_the_roots_own_with_the_hosts_devices(router_root):
    """A program that removes or replaces a device file (a result file set to
    /dev/null, say) must not reach the host's /dev."""
    r = router_root
    probe = f"/dev/rt-probe-{os.getpid()}"
    try:
        assert r.sh(f"echo x > {probe}").rc == 0
        assert not os.path.exists(probe)  # (checked first: what follows must stay inside)
        res = r.sh("rm /dev/null; echo gone > /dev/null; cat /dev/null; "
                   "head -c 4 /dev/zero | od -An -tx1; test -c /dev/ptmx && test -d /dev/pts")
        assert res.rc == 0 and res.stdout.split() == ["00", "00", "00", "00"], res
    finally:
        if os.path.exists(probe):
            os.unlink(probe)


def test_tmp_and_mnt_are_private_and_empty(router_root):
    r = router_root
    res = r.sh("ls -A /tmp /mnt")
    assert res.rc == 0
    assert "standin" in res.stdout  # only what the fixture put there
    r.sh("echo 1 > /tmp/a; echo 2 > /mnt/b")
    assert (r.tmp / "a").read_text() == "1\n"
    assert (r.mnt / "b").read_text() == "2\n"


def test_no_capabilities_no_clock_or_route_changes(router_root):
    res = router_root.sh("date -s '2001-01-01' 2>&1; echo rc=$?; grep CapEff /proc/self/status")
    assert "rc=1" in res.stdout
    assert "CapEff:\t0000000000000000" in res.stdout


def test_console_is_a_terminal_the_test_reads(router_root):
    router_root.sh("echo to-the-console > /dev/console")
    router_root.wait_console("to-the-console", timeout=5)


def test_shared_memory_is_private_to_the_root_but_shared_inside(router_root):
    r = router_root
    # ipcs inside sees a fresh namespace: no segments at all.
    res = r.sh("ipcmk -M 4096 >/dev/null && ipcs -m | grep -c '^0x'")
    assert res.stdout.strip() == "1"
    res = r.sh("ipcs -m | grep -c '^0x'")
    assert res.stdout.strip() == "1", "second program of the same root sees the segment"


def test_uci_standin_get_set_and_lists(router_root):
    r = router_root
    assert r.sh("uci -q get network.lan.ipaddr").rc == 1
    assert r.sh("uci -q set network.lan.ipaddr='192.168.1.1' && uci commit network").rc == 0
    assert r.sh("uci -q get network.lan.ipaddr").stdout == "192.168.1.1\n"
    r.uci_set("novra.config.network", ["10.0.0.0/255.0.0.0", "172.16.0.0/255.240.0.0"])
    assert r.sh("uci -q get novra.config.network").stdout == "10.0.0.0/255.0.0.0 172.16.0.0/255.240.0.0\n"
    assert ["-q", "set", "network.lan.ipaddr=192.168.1.1"] in r.calls("uci")


def test_long_running_program_wait_signal_and_status(router_root):
    r = router_root
    p = r.start(["/bin/sh", "-c", "trap 'echo got-term; exit 7' TERM; echo started; "
                 "echo 1 > /tmp/ready; while :; do sleep 0.1; done"])
    p.wait_output("started", timeout=5)
    p.wait_file("/tmp/ready", timeout=5)
    p.signal(signal.SIGTERM)
    assert p.wait(timeout=5) == 7
    assert "got-term" in p.stdout


def test_recorder_standin_answers_from_fixtures(router_root):
    r = router_root
    r.standin("/usr/sbin/some_script.sh", stdout="answer\n", rc=3)
    res = r.sh("/usr/sbin/some_script.sh 'a b' c")
    assert res.rc == 3 and res.stdout == "answer\n"
    assert r.calls("some_script.sh") == [["a b", "c"]]


def test_gtest_runner_refuses_a_run_in_which_no_test_ran(router_root):
    # a filter that matches nothing (a misspelt group) is no passing run
    with pytest.raises(AssertionError, match=r"PASSED  \] 0 tests"):
        router_root.run_gtest("payloads_tests", "--gtest_filter=NoSuchGroup.*")
