"""Fixtures of the digital I/O tests: the simulated bridge in a router root.

The programs run with libxrsim.so preloaded; it serves /dev/ttyXRUSB0 and
/dev/ttyXRUSB1 from files under /tmp/xrsim of the root (see xrsim/xrsim.cpp).
"""

import os

import pytest

from poll import poll
from routerroot import binary

SIM_DIR = "/tmp/xrsim"


class Bridge:
    def __init__(self, root):
        self.r = root
        self.dir = root.tmp / "xrsim"
        self.dir.mkdir(exist_ok=True)
        self.env = {"LD_PRELOAD": str(binary("libxrsim.so")), "XRSIM_DIR": SIM_DIR}
        # Under the sanitizer build the preloaded library comes before the
        # sanitizer runtime, which it then checks and refuses by default.
        asan = os.environ.get("ASAN_OPTIONS", "")
        self.env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"

    # -- state the test sets -------------------------------------------------
    def set_di(self, level: int):
        """Level of the DI pin as read: 1 is input OFF, 0 is ON."""
        tmp = self.dir / "di.new"
        tmp.write_text(f"{level}\n")
        tmp.replace(self.dir / "di")

    def set_regs(self, dev: str, regs: dict):
        text = "".join(f"{k} {v}\n" for k, v in regs.items())
        (self.dir / f"{dev}.regs").write_text(text)

    def regs(self, dev: str) -> dict:
        p = self.dir / f"{dev}.regs"
        if not p.exists():
            return {}
        out = {}
        for line in p.read_text().splitlines():
            k, v = line.split()
            out[k] = int(v)
        return out

    def fail(self, name: str, dev: str | None = None):
        """Makes every later request NAME (on dev, or any port) fail."""
        with open(self.dir / "fail", "a") as f:
            f.write(f"{name} {dev}\n" if dev else f"{name}\n")

    def heal(self):
        (self.dir / "fail").unlink(missing_ok=True)

    # -- re-enumeration ----------------------------------------------------------
    def _gen(self, dev: str) -> int:
        p = self.dir / f"{dev}.gen"
        return int(p.read_text()) if p.exists() else 0

    def unplug(self, dev: str = "ttyXRUSB1"):
        """The bridge leaves the bus: the node goes away and the driver hangs
        up every open descriptor of the port, for good."""
        (self.dir / f"{dev}.gone").write_text("")
        tmp = self.dir / f"{dev}.gen.new"
        tmp.write_text(f"{self._gen(dev) + 1}\n")
        tmp.replace(self.dir / f"{dev}.gen")

    def replug(self, dev: str = "ttyXRUSB1") -> bool:
        """The bridge is enumerated again. As with the real driver, while a
        descriptor of the old enumeration is still open somewhere the port's
        number stays taken and the port comes back under another name: its
        node here stays absent (False)."""
        gen = self._gen(dev)
        for held in (self.dir / "held").glob(f"{dev}.*"):
            pid = int(held.name.split(".")[1])
            try:
                os.kill(pid, 0)
                opened_in = held.read_text().strip()
            except (ProcessLookupError, FileNotFoundError):
                continue  # its process is gone, or it was just closed
            if opened_in and int(opened_in) < gen:
                return False
        (self.dir / f"{dev}.gone").unlink(missing_ok=True)
        return True

    # -- what the programs did -------------------------------------------------
    def log(self) -> list[list[str]]:
        p = self.dir / "log"
        if not p.exists():
            return []
        return [line.split() for line in p.read_text().splitlines()]

    def requests(self) -> list[list[str]]:
        """Driver requests in order, without open, close and sleeps."""
        return [e for e in self.log() if e[0] != "-" and e[1] not in ("open", "close")]

    def clear_log(self):
        (self.dir / "log").unlink(missing_ok=True)

    def led(self, gpio: int) -> list[str]:
        """Every level written to /sys/class/gpio/gpio<N>/value, in order."""
        p = self.dir / f"gpio{gpio}.value"
        return p.read_text().split() if p.exists() else []

    # -- daemon passes (step mode) ---------------------------------------------
    def sleeps(self) -> int:
        return sum(1 for e in self.log() if e[:2] == ["-", "sleep"])

    def wait_passes(self, n: int, timeout: float = 15.0):
        poll(lambda: self.sleeps() >= n, timeout, 0.02,
             what=lambda: f"daemon did not finish pass {n} in {timeout}s; log: {self.log()[-10:]}")

    def advance(self, timeout: float = 15.0):
        """Ends the daemon's current sleep and waits for the next pass to finish."""
        n = self.sleeps()
        tmp = self.dir / "steps.new"
        tmp.write_text(str(n))
        tmp.replace(self.dir / "steps")
        self.wait_passes(n + 1, timeout)


@pytest.fixture
def bridge(router_root):
    return Bridge(router_root)


@pytest.fixture
def run_tool(router_root, bridge):
    """Runs pinctl or uartmode with the simulated bridge."""
    def run(name, *args, **kw):
        return router_root.run([str(binary(name)), *args], env=bridge.env, **kw)
    return run
