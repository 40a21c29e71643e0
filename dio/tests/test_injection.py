"""Shell injection through the command lines of pinctl and uartmode: every
word is a command name or a number and reaches no shell; whatever an argument
holds, nothing runs and the bridge sees only the requests its command makes."""

from payloads import Findings, canary_ran, clear_canary, payloads
from routerroot import binary

DEV0 = "/dev/ttyXRUSB0"
DEV1 = "/dev/ttyXRUSB1"


def test_pinctl_and_uartmode_arguments(router_root, bridge):
    r = router_root
    pinctl, uartmode = str(binary("pinctl")), str(binary("uartmode"))
    # One shell per payload runs every position; the payload is passed as
    # "$1", never pasted into the script.
    script = "\n".join([
        f'{pinctl} "$1"; echo "rc=$?"',
        f'{pinctl} set_do_status "$1"; echo "rc=$?"',
        f'{pinctl} "$1" "$1"; echo "rc=$?"',
        f'{uartmode} "$1" get_di_status; echo "rc=$?"',
        f'{uartmode} {DEV0} "$1"; echo "rc=$?"',
        f'{uartmode} {DEV0} set_mode "$1"; echo "rc=$?"',
        f'{uartmode} {DEV0} get_reg "$1"; echo "rc=$?"',
        f'{uartmode} {DEV1} set_sim_slot "$1"; echo "rc=$?"',
        f'{uartmode} {DEV0} set_reg "$1" "$1"; echo "rc=$?"',
    ])
    found = Findings("pinctl/uartmode")
    for name, p in payloads():
        clear_canary(r)
        bridge.clear_log()
        res = r.run(["/bin/sh", "-c", script, "sh", p], env=bridge.env, timeout=20)
        codes = [line for line in res.stdout.splitlines() if line.startswith("rc=")]
        found.check(len(codes) == 9 and all(c in ("rc=0", "rc=1") for c in codes), name,
                    f"exit codes {codes}: {res}")
        found.check(f"Can't open device {p}\n" in res.stdout, name, "device argument not refused as named")
        # Only the bridge's own requests, whatever the words held.
        odd = [e for e in bridge.requests() if e[1] == "UNKNOWN"]
        found.check(not odd, name, f"requests {odd}")
        found.check(not canary_ran(r), name, "an argument ran the canary")
    found.assert_none()
