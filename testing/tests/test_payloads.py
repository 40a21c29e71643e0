"""The process tests' payload helpers: the recorder log parser keeps every
argument whole (line ends included), and each payload, pasted into a command
line as it is, does harm there."""

from payloads import TABLE, canary_ran, clear_canary, payloads, recorded_calls


def test_recorder_calls_come_back_whole(router_root):
    r = router_root
    r.standin("/usr/bin/rec")
    items = payloads()
    # Every payload as "$1" of its own call, plus a call without arguments.
    script = 'for a in "$@"; do rec x "$a" y; done; rec'
    res = r.run(["/bin/sh", "-c", script, "sh", *[p for _, p in items]])
    assert res.rc == 0, res
    assert recorded_calls(r, "rec") == [["x", p, "y"] for _, p in items] + [[]]
    assert not canary_ran(r)


def test_every_payload_breaks_a_naive_command_line(router_root):
    r = router_root
    weak = []
    for name, p in payloads():
        harmful = False
        for wrapped in (p, f"'{p}'", f'"{p}"'):
            clear_canary(r)
            res = r.run(["/bin/sh", "-c", f"printf '[%s]' {wrapped}"])
            if canary_ran(r) or res.rc != 0 or res.stdout != f"[{p}]":
                harmful = True
        if not harmful:
            weak.append(name)
    assert weak == []
    assert len(payloads()) == len(TABLE)
    assert all("\n" not in p and ";" not in p for _, p in payloads(without="\n;"))
