"""Shell injection through the trim list: trimwatch runs trimfile through the
shell for every listed path, so a path must reach trimfile as one word; and
trimfile and trimwatch's own arguments never reach a shell."""

import time

from payloads import Findings, canary_ran, clear_canary, payloads, recorded_calls
from routerroot import binary

CONF = "/etc/trimwatch.conf"
# A list line ends at its line end; ',' separates path and size.
IN_A_LINE = payloads(without="\r\n,")


def listed_path(i: int, text: str) -> str:
    # Every payload under its own folder, so that each one is a path that exists.
    return f"/var/log/inj{i}/{text}"


def test_listed_paths_reach_trimfile_whole(router_root):
    r = router_root
    r.standin("/usr/sbin/trimfile")
    paths = []
    for i, (_, p) in enumerate(IN_A_LINE):
        path = listed_path(i, p)
        r.write(path, "x" * 100)
        paths.append(path)
    r.write(CONF, "".join(f"{path},1\n" for path in paths))
    proc = r.start([binary("trimwatch"), "-c", CONF, "-t", "60"])
    deadline = time.monotonic() + 10
    while len(recorded_calls(r, "trimfile")) < len(paths) and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.stop()
    calls = recorded_calls(r, "trimfile")
    found = Findings("trimwatch list")
    for (name, _), path, call in zip(IN_A_LINE, paths, calls + [None] * len(paths)):
        found.check(call == ["1", path], name, f"trimfile got {call}, path {path!r}")
    found.check(len(calls) == len(paths), "all", f"{len(calls)} calls for {len(paths)} paths")
    found.check(not canary_ran(r), "all", "a listed path ran the canary")
    found.assert_none()


def test_trimfile_and_trimwatch_arguments(router_root):
    r = router_root
    found = Findings("trimfile/trimwatch arguments")
    for i, (name, p) in enumerate(payloads()):
        clear_canary(r)
        if "\n" not in p and "\r" not in p:
            path = listed_path(i, p)
            r.write(path, "y" * 3000)
            res = r.run([binary("trimfile"), "1", path])
            found.check(res.rc == 0 and len(r.read(path)) == 1024, name, f"trimfile {path!r}: {res}")
        res = r.run([binary("trimfile"), p, "/var/log/none"])
        found.check(res.rc == 255, name, f"reserve {p!r}: {res}")
        res = r.run([binary("trimwatch"), "-c", p, "-t", "1"], timeout=10)
        found.check(res.rc == 255 and "fail" in res.stdout, name, f"trimwatch -c {p!r}: {res}")
        found.check(not canary_ran(r), name, "an argument ran the canary")
    found.assert_none()
