"""Shell injection through the trim list: trimwatch runs trimfile through the
shell for every listed path, so a path must reach trimfile as one word; and
trimfile and trimwatch's own arguments never reach a shell."""

from payloads import Findings, canary_ran, clear_canary, payloads, recorded_calls
from poll import within
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
    within(lambda: len(recorded_calls(r, "trimfile")) >= len(paths), 10)
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
    items = payloads()
    paths = []
    for i, (_, p) in enumerate(items):
        path = listed_path(i, p)
        r.write(path, "y" * 3000)
        paths.append(path)
    # One shell runs every payload in each position, passed as arguments
    # (never pasted into the script).
    script = ('tf=$1; tw=$2; shift 2; n=$(($# / 2)); i=0\n'
              'for a in "$@"; do\n'
              '  i=$((i + 1))\n'
              '  if [ $i -le $n ]; then "$tf" 1 "$a"; echo "file rc=$?"; continue; fi\n'
              '  "$tf" "$a" /var/log/none >/dev/null; echo "reserve rc=$?"\n'
              '  out=$("$tw" -c "$a" -t 1); rc=$?\n'
              '  echo "watch rc=$rc $(printf %s "$out" | tail -n 1)"\n'
              'done\n')
    res = r.run(["/bin/sh", "-c", script, "sh", str(binary("trimfile")), str(binary("trimwatch")),
                 *paths, *[p for _, p in items]], timeout=60)
    lines = res.stdout.splitlines()
    n = len(items)
    found.check(lines[:n] == ["file rc=0"] * n, "trimfile path", f"{lines[:n]}")
    found.check(lines[n:] == ["reserve rc=255", "watch rc=255 fail"] * n, "reserve/-c", f"{lines[n:]}")
    for (name, _), path in zip(items, paths):
        found.check(len(r.read(path)) == 1024, name, f"{path!r} not cut to 1 KiB")
    found.check(not canary_ran(r), "all", "an argument ran the canary")
    found.assert_none()
