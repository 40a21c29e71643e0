"""trimwatch as a process: its list, its passes, quoting, interval, signals."""

import signal
import time

import pytest

from poll import poll, within
from routerroot import binary

CONF = "/etc/trimwatch.conf"


def start(r, conf_text, *args):
    r.write(CONF, conf_text)
    return r.start([binary("trimwatch"), "-c", CONF] + list(args))


def wait_calls(r, n, timeout=5.0):
    return poll(lambda: len(calls := r.calls("trimfile")) >= n and calls, timeout,
                what=lambda: f"trimfile called {len(r.calls('trimfile'))} times, wanted {n}")


@pytest.fixture
def recorder(router_root):
    router_root.standin("/usr/sbin/trimfile")
    return router_root


def test_loads_the_list_and_reruns_every_interval(recorder):
    r = recorder
    r.write("/var/log/messages", "x" * 10)
    p = start(r, "/var/log/messages,512\n", "-t", "1")
    p.wait_output(r"cmd:/usr/sbin/trimfile 512 /var/log/messages\n", 5)
    t0 = time.monotonic()
    calls = wait_calls(r, 2, timeout=4)
    assert 0.5 < time.monotonic() - t0 < 3.5
    assert calls[:2] == [["512", "/var/log/messages"]] * 2
    assert p.stdout.startswith(
        f"Load configfile {CONF} ...\n"
        "add mon(/var/log/messages,512)\n"
        "mon_entry(/var/log/messages,512)\n"
        "cmd:/usr/sbin/trimfile 512 /var/log/messages\n")


def test_skips_invalid_lines_and_keeps_file_order(recorder):
    r = recorder
    conf = ("/tmp/b,20\n"
            "no-comma-line\n"
            "/tmp/zero,0\n"
            "/tmp/text,big\n"
            "/tmp/neg,-3\n"
            "\n"
            "/tmp/a,10,ignored,fields\r\n")
    p = start(r, conf, "-t", "30")
    p.wait_output(r"mon_entry\(/tmp/a,10\)\n", 5)
    assert p.stdout == (f"Load configfile {CONF} ...\n"
                        "add mon(/tmp/b,20)\nadd mon(/tmp/a,10)\n"
                        "mon_entry(/tmp/b,20)\nmon_entry(/tmp/a,10)\n")


def test_missing_files_are_skipped_until_they_exist(recorder):
    r = recorder
    r.write("/tmp/present", "1")
    p = start(r, "/tmp/later,4\n/tmp/present,8\n", "-t", "1")
    assert wait_calls(r, 1) == [["8", "/tmp/present"]]
    r.write("/tmp/later", "2")
    within(lambda: ["4", "/tmp/later"] in r.calls("trimfile"), 5)
    calls = r.calls("trimfile")
    assert ["4", "/tmp/later"] in calls
    first_later = calls.index(["4", "/tmp/later"])
    assert all(c == ["8", "/tmp/present"] for c in calls[:first_later])
    assert "cmd:/usr/sbin/trimfile 4 /tmp/later\n" in p.stdout


@pytest.mark.parametrize("interval", ["0", "-5"])
def test_interval_of_zero_or_less_means_sixty_seconds(recorder, interval):
    r = recorder
    r.write("/tmp/f", "1")
    p = start(r, "/tmp/f,1\n", "-t", interval)
    wait_calls(r, 1)
    time.sleep(2.0)
    assert len(r.calls("trimfile")) == 1
    assert p.running()


def test_path_with_blanks_and_shell_characters_trims_that_file_only(router_root):
    r = router_root
    r.install_binary("trimfile", "/usr/sbin/trimfile")
    odd = "/tmp/my log; touch /tmp/pwned; $(touch /tmp/pwned2) `touch /tmp/pwned3` it's"
    plain = "/tmp/my"
    r.write(odd, "y" * 5000)
    r.write(plain, "z" * 5000)
    p = start(r, f"{odd},1\n", "-t", "30")
    within(lambda: len(r.read_bytes(odd)) == 1024, 5)
    assert r.read_bytes(odd) == b"y" * 1024
    assert r.read_bytes(plain) == b"z" * 5000
    for name in ("/tmp/pwned", "/tmp/pwned2", "/tmp/pwned3"):
        assert not r.exists(name)
    assert p.running()


def test_real_trimfile_keeps_files_at_their_limit(router_root):
    r = router_root
    r.install_binary("trimfile", "/usr/sbin/trimfile")
    r.write("/var/log/messages", "m" * 3000)
    start(r, "/var/log/messages,2\n", "-t", "1")
    within(lambda: len(r.read_bytes("/var/log/messages")) == 2048, 5)
    assert len(r.read_bytes("/var/log/messages")) == 2048
    # The file grows again and is cut again in a later pass.
    r.write("/var/log/messages", "n" * 4000)
    within(lambda: len(r.read_bytes("/var/log/messages")) == 2048, 5)
    assert r.read_bytes("/var/log/messages") == b"n" * 2048


def test_unreadable_or_missing_config_fails(router_root):
    r = router_root
    res = r.run([binary("trimwatch"), "-c", "/etc/none.conf"], timeout=5)
    assert res.rc == 255
    assert res.stdout == "Load configfile /etc/none.conf ...\nfail\n"
    res = r.run([binary("trimwatch")], timeout=5)
    assert res.rc == 255 and res.stdout.endswith("fail\n")


def test_unknown_option_ends_with_status_1(router_root):
    r = router_root
    r.write(CONF, "/tmp/f,1\n")
    res = r.run([binary("trimwatch"), "-x", "-c", CONF], timeout=5)
    assert res.rc == 1
    assert "Load configfile" not in res.stdout


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGABRT])
def test_stop_signals_end_the_wait_with_status_1(recorder, sig):
    # The listed file is missing, so no command runs and the signal always
    # meets trimwatch in its wait between passes (or just before it).
    r = recorder
    p = start(r, "/tmp/absent,1\n", "-t", "60")
    p.wait_output(r"mon_entry\(/tmp/absent,1\)\n", 5)
    time.sleep(0.2)
    t0 = time.monotonic()
    p.signal(sig)
    assert p.wait(5) == 1
    assert time.monotonic() - t0 < 3
    assert r.calls("trimfile") == []


def test_stop_signal_during_a_command_ends_after_it(router_root):
    r = router_root
    r.standin("/usr/sbin/trimfile", script="sleep 0.5\n")
    r.write("/tmp/f", "1")
    p = start(r, "/tmp/f,1\n", "-t", "60")
    wait_calls(r, 1)
    p.signal(signal.SIGTERM)
    assert p.wait(5) == 1
