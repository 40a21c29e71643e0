"""Shell injection through modemctl as a process: the supervision pid file
whose text goes into the kill command, and the command word."""

from payloads import Findings, canary_ran, clear_calls, clear_canary, payloads, recorded_calls
from routerroot import binary

PIDFILE = "/var/run/alive_checker_modem.pid"


def test_pid_file_text_never_reaches_the_kill_command(modem):
    found = Findings("supervision pid file")
    for name, p in payloads():
        clear_canary(modem)
        clear_calls(modem, "kill")
        modem.write(PIDFILE, p)
        res = modem.modemctl("stop")
        found.check(res.rc == 0, name, f"{res}")
        found.check(recorded_calls(modem, "kill") == [], name, f"kill ran: {recorded_calls(modem, 'kill')}")
        found.check(not modem.exists(PIDFILE), name, "pid file left")
        found.check(not canary_ran(modem), name, "pid file text ran the canary")
    found.assert_none()


def test_command_word(modem):
    # One shell runs modemctl with every payload as its word ("$@", not pasted).
    script = 'm=$1; shift; for a in "$@"; do "$m" "$a"; echo "rc=$?"; done'
    res = modem.run(["/bin/sh", "-c", script, "sh", str(binary("modemctl")), *[p for _, p in payloads()]])
    assert res.stdout == "rc=0\n" * len(payloads()), res
    assert not canary_ran(modem)
    assert modem.platform_calls() == []
    assert recorded_calls(modem, "uci") == []
