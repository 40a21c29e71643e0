"""Shell injection through databoard's command line: section, name and value
are stored and printed as given (line feeds removed from a value), and no
word reaches a shell."""

from payloads import Findings, canary_ran, clear_canary, payloads

# The payload goes in as "$1", never pasted into the script.
SCRIPT = """
databoard set common inj "$1"; echo "rc=$?"
databoard get common inj
databoard shmset common inj2 "$1"; echo "rc=$?"
databoard shmget common inj2
databoard set "$1" "$1" plain; echo "rc=$?"
databoard get "$1" "$1"; echo "rc=$?"
"""


def test_section_name_and_value_arguments(board):
    found = Findings("databoard")
    for name, p in payloads():
        clear_canary(board)
        res = board.run(["/bin/sh", "-c", SCRIPT, "sh", p], timeout=20)
        value = p.replace("\n", "")
        want = f"rc=0\n{value}\nrc=0\n{value}\n"
        found.check(res.stdout.startswith(want), name, f"value not kept: {res.stdout!r}")
        tail = res.stdout[len(want):].splitlines()
        # stored and read back, or refused (a key too long for the segment)
        found.check(tail in (["rc=0", "plain", "rc=0"], ["rc=255", "rc=1"]), name,
                    f"section and name: {tail}")
        found.check(not canary_ran(board), name, "an argument ran the canary")
    found.assert_none()
