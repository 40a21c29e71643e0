"""Start-up and signals of the gateway daemons."""

import re
import signal

import pytest

from poll import free_port
from routerroot import binary

PROGRAMS = ["linebridge", "portnotify", "postrelay", "textrelay"]


def config(program, port):
    if program == "linebridge":
        return f"tty=/dev/null-none\nmode=1\nport={port}\n"
    if program == "portnotify":
        return f"address=127.0.0.1\nport={port}\n"
    return f"port={port}\n"


@pytest.mark.parametrize("program", PROGRAMS)
def test_sigquit_exits_0_and_sigterm_exits_1_removing_the_pid_file(gw, program):
    r = gw.r
    pid_file = f"/var/run/{program}.pid"
    for sig, status in ((signal.SIGQUIT, 0), (signal.SIGTERM, 1), (signal.SIGINT, 1)):
        proc = gw.start(program, config(program, free_port()))
        text = r.wait_file(pid_file, timeout=5)
        assert re.fullmatch(r"\d+\n", text)
        proc.signal(sig)
        assert proc.wait(5) == status, (sig, proc.stdout, proc.stderr)
        assert not r.exists(pid_file)


@pytest.mark.parametrize("program", PROGRAMS)
def test_unknown_option_exits_1_without_a_pid_file(gw, program):
    res = gw.r.run([str(binary(program)), "-x"], timeout=10)
    assert res.rc == 1
    assert not gw.r.exists(f"/var/run/{program}.pid")


def test_bad_option_leaves_a_running_instances_pid_file(gw):
    r = gw.r
    proc = gw.start("textrelay", config("textrelay", free_port()))
    owner = r.wait_file("/var/run/textrelay.pid", timeout=5)
    assert r.run([str(binary("textrelay")), "-z"], timeout=10).rc == 1
    assert r.read("/var/run/textrelay.pid") == owner
    proc.signal(signal.SIGQUIT)
    assert proc.wait(5) == 0
