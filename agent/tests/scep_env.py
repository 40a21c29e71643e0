"""A real SCEP certificate authority on 127.0.0.1 for the enrollment tests and
the main job: scepserver (Debian package scep) with a CA depot of its own.

scepserver listens on every address of its network namespace, so it runs in a
namespace of its own whose only interface is its loopback; socat relays
127.0.0.1:<port> of the host to it through a Unix socket in the server's
folder. Nothing but the host's loopback reaches the CA.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import urllib.request
from pathlib import Path

from poll import free_port, within

SCEPSERVER = "/usr/bin/scepserver"
PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))
# Inside the new namespace: loopback up, the relay's inner end, then the CA.
# $0 is the challenge password, never part of the script text.
INNER = ("ip link set lo up || exit 1\n"
         "socat UNIX-LISTEN:scep.sock,fork TCP4:127.0.0.1:8080 &\n"
         'exec scepserver -depot depot -port 8080 -challenge "$0"\n')


def make_ca(depot: Path) -> Path:
    """A new CA in depot (RSA 2048, no key password); returns its certificate."""
    subprocess.run([SCEPSERVER, "ca", "-init", "-depot", str(depot), "-keySize", "2048",
                    "-organization", "Development SCEP CA"], check=True, capture_output=True,
                   timeout=60)
    return depot / "ca.pem"


class ScepServer:
    """scepserver with a copy of the CA in ca_depot (so each server keeps its
    own list of issued certificates), the challenge password given, reachable
    at url on 127.0.0.1 only."""

    def __init__(self, folder: Path, ca_depot: Path, challenge: str):
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        depot = folder / "depot"
        depot.mkdir()
        for name in ("ca.pem", "ca.key"):
            shutil.copy(ca_depot / name, depot / name)
        self.ca_pem = depot / "ca.pem"
        self.challenge = challenge
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/scep"
        self.log = folder / "scepserver.log"
        self.procs: list[subprocess.Popen] = []

    def _spawn(self, argv: list[str], out) -> None:
        self.procs.append(subprocess.Popen(argv, cwd=self.folder, stdin=subprocess.DEVNULL,
                                           stdout=out, stderr=out, start_new_session=True,
                                           env={"PATH": PATH}))

    def start(self, timeout: float = 10.0) -> "ScepServer":
        with open(self.log, "ab") as out:
            self._spawn(["unshare", "--net", "--", "sh", "-c", INNER, self.challenge], out)
            self._spawn(["socat", f"TCP4-LISTEN:{self.port},bind=127.0.0.1,reuseaddr,fork",
                         "UNIX-CONNECT:scep.sock"], out)
        if not within(self._answers, timeout, 0.1):
            self.stop()
            raise RuntimeError("scepserver did not answer:\n" + self.log_text())
        return self

    def _answers(self) -> bool:
        if any(p.poll() is not None for p in self.procs):
            raise RuntimeError("scepserver or its relay ended:\n" + self.log_text())
        try:
            with NO_PROXY.open(self.url + "?operation=GetCACaps", timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    def log_text(self) -> str:
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def stop(self) -> None:
        """Ends the server and the relays (each in its own process group)."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            for p in self.procs:
                try:
                    os.killpg(p.pid, sig)
                except ProcessLookupError:
                    pass
            try:
                for p in self.procs:
                    p.wait(5)
                return
            except subprocess.TimeoutExpired:
                continue
