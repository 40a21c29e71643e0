"""Throwaway router roots for process tests.

A RouterRoot is the host's root seen through an overlay: every program started
in it may write /etc, /usr, /var, /etc_ro, /share ... and all changes land in the
test's own folder. /tmp and /mnt are empty folders of the test, /dev/console is a
pseudo-terminal the test drains, System V IPC is private, the network (loopback)
is shared and every program runs without capabilities (it cannot set the clock
or touch the host's routes). All programs of one root share one mount and IPC
namespace, held by a small holder process, so a value set in shared memory by
one program is seen by the next.
"""

from __future__ import annotations

import marshal
import os
import pty
import re
import shlex
import shutil
import signal as _signal
import stat
import subprocess
import threading
import tty
from pathlib import Path

from poll import poll

SOURCE = Path(os.environ.get("RT_SOURCE", Path(__file__).resolve().parent.parent))
BUILD = Path(os.environ.get("RT_BUILD", SOURCE / "build" / "default"))
STANDINS = Path(__file__).resolve().parent / "standins"

DEFAULT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Set to "1" for a GoogleTest program that runs in a root (run_gtest): its tests
# that use the router's fixed paths check it (rt_test/root.h) and skip without.
IN_ROOT_ENV = "RT_IN_ROUTER_ROOT"
# The uci stand-in's packages (testing/standins/uci)
UCI_STORE = "/etc/config/.standin.store"


# Character devices of the host that programs in a root use.
DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty")


def binary(name: str) -> Path:
    """Path of a program or library built in the build tree, found by file name."""
    hits = [p for p in BUILD.rglob(name) if p.is_file() and "CMakeFiles" not in p.parts]
    if not hits:
        raise FileNotFoundError(f"{name} not built in {BUILD}")
    hits.sort(key=lambda p: len(p.parts))
    return hits[0]


class _Drain:
    """Collects what a file descriptor delivers, in a thread."""

    def __init__(self, fd: int):
        self.fd = fd
        self.data = bytearray()
        self.cond = threading.Condition()
        self.closed = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def text(self) -> str:
        with self.cond:
            return self.data.decode(errors="replace")

    def wait_for(self, pattern: str | re.Pattern, timeout: float) -> re.Match:
        rx = re.compile(pattern) if isinstance(pattern, str) else pattern

        def missing() -> str:
            return (f"no match for {rx.pattern!r} within {timeout}s; got:\n"
                    + self.data.decode(errors="replace")[-4000:])

        def found():
            m = rx.search(self.data.decode(errors="replace"))
            if m is None and self.closed:  # nothing more will come
                raise TimeoutError(missing())
            return m

        with self.cond:
            return poll(found, timeout, 0.2, what=missing, pause=self.cond.wait)


class Result:
    def __init__(self, rc: int, stdout: str, stderr: str):
        self.rc = rc
        self.returncode = rc
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return f"Result(rc={self.rc}, stdout={self.stdout[-500:]!r}, stderr={self.stderr[-500:]!r})"


class Proc:
    """A program running in a router root."""

    def __init__(self, root: "RouterRoot", popen: subprocess.Popen, merge_stderr: bool):
        self.root = root
        self.popen = popen
        self.pid = popen.pid
        self._out = _Drain(popen.stdout.fileno())
        self._err = None if merge_stderr else _Drain(popen.stderr.fileno())

    @property
    def stdout(self) -> str:
        return self._out.text()

    @property
    def stderr(self) -> str:
        return self._err.text() if self._err else ""

    def wait_output(self, pattern, timeout: float = 10.0) -> re.Match:
        return self._out.wait_for(pattern, timeout)

    def wait_stderr(self, pattern, timeout: float = 10.0) -> re.Match:
        return self._err.wait_for(pattern, timeout)

    def wait_file(self, path: str, timeout: float = 10.0, content: str | None = None) -> str:
        return self.root.wait_file(path, timeout, content)

    def signal(self, sig: int = _signal.SIGTERM):
        self.popen.send_signal(sig)

    def running(self) -> bool:
        return self.popen.poll() is None

    def wait(self, timeout: float = 10.0) -> int:
        rc = self.popen.wait(timeout)
        self._out.thread.join(2)
        if self._err:
            self._err.thread.join(2)
        return rc

    def stop(self, sig: int = _signal.SIGTERM, timeout: float = 10.0) -> int:
        if self.running():
            self.signal(sig)
        try:
            return self.wait(timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            return self.wait(5)


class RouterRoot:
    def __init__(self, base: Path):
        self.base = Path(base)
        self.upper = self.base / "upper"
        self.work = self.base / "work"
        self.merged = self.base / "merged"
        self.tmp = self.base / "tmp"
        self.mnt = self.base / "mnt"
        for d in (self.upper, self.work, self.merged, self.tmp, self.mnt):
            d.mkdir(parents=True, exist_ok=True)
        os.chmod(self.tmp, 0o1777)
        (self.tmp / "standin").mkdir(exist_ok=True)
        self._procs: list[Proc] = []
        master, slave = pty.openpty()
        tty.setraw(slave)
        self._console_master = master
        self._console_slave = slave
        self.console_tty = os.ttyname(slave)
        self._console = _Drain(master)
        self._holder = self._start_holder()

    # -- namespace ---------------------------------------------------------
    def _start_holder(self) -> subprocess.Popen:
        m = shlex.quote(str(self.merged))
        # /dev is a folder of the root's own with the host's character
        # devices bound into it: a program under test that removes or
        # replaces a device file (say /dev/null) cannot touch the host's.
        # New pseudo-terminals come from the host's ptmx, reached through the
        # host's /dev (kept under /dev/.host), where the kernel finds its pts.
        nodes = " ".join(DEV_NODES)
        script = " && ".join([
            f"mount -t overlay overlay -o lowerdir=/,upperdir={shlex.quote(str(self.upper))},"
            f"workdir={shlex.quote(str(self.work))} {m}",
            f"mount -t tmpfs -o mode=755 tmpfs {m}/dev",
            f"for n in {nodes}; do touch {m}/dev/$n && mount --bind /dev/$n {m}/dev/$n || exit 1; done",
            f"mkdir {m}/dev/.host {m}/dev/pts {m}/dev/shm",
            f"mount --rbind /dev {m}/dev/.host",
            f"ln -s .host/ptmx {m}/dev/ptmx",
            f"mount --bind /dev/pts {m}/dev/pts",
            f"ln -s /proc/self/fd {m}/dev/fd",
            f"ln -s /proc/self/fd/0 {m}/dev/stdin",
            f"ln -s /proc/self/fd/1 {m}/dev/stdout",
            f"ln -s /proc/self/fd/2 {m}/dev/stderr",
            f"mount -t tmpfs tmpfs {m}/dev/shm",
            f"touch {m}/dev/console",
            f"mount --bind {shlex.quote(self.console_tty)} {m}/dev/console",
            f"mount --rbind /proc {m}/proc",
            f"mount --rbind /sys {m}/sys",
            f"mount --bind {shlex.quote(str(self.tmp))} {m}/tmp",
            f"mount --bind {shlex.quote(str(self.mnt))} {m}/mnt",
            "echo ready",
            "exec sleep 100000",
        ])
        p = subprocess.Popen(
            ["unshare", "--mount", "--ipc", "--propagation", "private", "--", "/bin/sh", "-c", script],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = p.stdout.readline()
        if line.strip() != b"ready":
            err = p.stderr.read().decode(errors="replace")
            p.kill()
            raise RuntimeError(f"router root could not be set up: {err}")
        return p

    def close(self):
        for proc in self._procs:
            try:
                if proc.running():
                    proc.popen.kill()
                proc.popen.wait(5)
            except Exception:
                pass
        if self._holder.poll() is None:
            self._holder.kill()
            self._holder.wait(5)
        for fd in (self._console_slave, self._console_master):
            try:
                os.close(fd)
            except OSError:
                pass

    # -- files ---------------------------------------------------------------
    def host(self, path: str) -> Path:
        """Where a path of the router root can be read and written from the test.

        /tmp and /mnt are the test's folders; everything else goes through the
        overlay of the running namespace.
        """
        if not path.startswith("/"):
            raise ValueError("router root paths are absolute")
        rel = self._resolve(path).lstrip("/")
        for top, folder in (("tmp", self.tmp), ("mnt", self.mnt)):
            if rel == top or rel.startswith(top + "/"):
                return folder / rel[len(top):].lstrip("/")
        return self._merged_view() / rel

    def _merged_view(self) -> Path:
        return Path(f"/proc/{self._holder.pid}/root") / str(self.merged).lstrip("/")

    def _resolve(self, path: str) -> str:
        """Follows symbolic links of the leading folders inside the root (/var/run -> /run)."""
        parts = [p for p in path.split("/") if p]
        done: list[str] = []
        hops = 0
        while parts:
            part = parts.pop(0)
            if part == ".":
                continue
            if part == "..":
                if done:
                    done.pop()
                continue
            cur = "/" + "/".join(done + [part])
            view = self._merged_view() / cur.lstrip("/")
            if parts and view.is_symlink() and not cur.startswith(("/tmp", "/mnt")):
                hops += 1
                if hops > 20:
                    raise OSError(f"too many links in {path}")
                target = os.readlink(view)
                if target.startswith("/"):
                    done = []
                parts = [p for p in target.split("/") if p] + parts
                continue
            done.append(part)
        return "/" + "/".join(done)

    def write(self, path: str, data: str | bytes, mode: int = 0o644) -> Path:
        p = self.host(path)
        p.parent.mkdir(parents=True, exist_ok=True)
        if p.is_symlink():
            p.unlink()
        p.write_bytes(data.encode() if isinstance(data, str) else data)
        os.chmod(p, mode)
        return p

    def read(self, path: str) -> str:
        return self.host(path).read_bytes().decode(errors="replace")

    def read_bytes(self, path: str) -> bytes:
        return self.host(path).read_bytes()

    def exists(self, path: str) -> bool:
        return os.path.lexists(self.host(path))

    def remove(self, path: str):
        p = self.host(path)
        if p.is_dir() and not p.is_symlink():
            shutil.rmtree(p)
        elif os.path.lexists(p):
            p.unlink()

    def mkdir(self, path: str):
        self.host(path).mkdir(parents=True, exist_ok=True)

    def install(self, src: str | Path, dest: str, mode: int = 0o755) -> str:
        """Copies a file of the host (a built program, a fixture) into the root."""
        data = Path(src).read_bytes()
        self.write(dest, data, mode)
        return dest

    def install_binary(self, name: str, dest: str) -> str:
        return self.install(binary(name), dest)

    def wait_file(self, path: str, timeout: float = 10.0, content: str | None = None) -> str:
        """Waits until path exists (and, when given, its text contains content)."""
        def ready():
            text = self.read(path) if self.exists(path) else None
            return (text,) if text is not None and (content is None or content in text) else None

        def late() -> str:
            have = self.read(path) if self.exists(path) else "<missing>"
            return f"{path} not ready within {timeout}s (has {have!r})"

        return poll(ready, timeout, what=late)[0]

    # -- stand-ins -------------------------------------------------------------
    def standin(self, dest: str, name: str | None = None, stdout: str | None = None,
                rc: int | None = None, script: str | None = None) -> str:
        """Puts a recording stand-in at dest.

        name picks a stand-in of testing/standins (default: the generic recorder).
        The recorder appends its arguments to /tmp/standin/<basename>.log, prints
        /tmp/standin/<basename>.out when present, runs /tmp/standin/<basename>.sh
        when present and exits with the number in /tmp/standin/<basename>.rc.
        """
        src = STANDINS / (name or "recorder")
        self.install(src, dest)
        base = os.path.basename(dest)
        if stdout is not None:
            self.write(f"/tmp/standin/{base}.out", stdout)
        if rc is not None:
            self.write(f"/tmp/standin/{base}.rc", str(rc))
        if script is not None:
            self.write(f"/tmp/standin/{base}.sh", script, 0o755)
        return dest

    def calls(self, name: str) -> list[list[str]]:
        """The argument lists a stand-in received, one per call, in order."""
        p = self.tmp / "standin" / f"{os.path.basename(name)}.log"
        if not p.exists():
            return []
        return [shlex.split(line) for line in p.read_text().splitlines() if line.strip()]

    def uci_store(self) -> dict:
        """The uci stand-in's packages (see testing/standins/uci)."""
        return marshal.loads(self.read_bytes(UCI_STORE)) if self.exists(UCI_STORE) else {}

    def uci_set(self, key: str, value) -> None:
        """Sets pkg.section.option in the uci stand-in's store (lists as python lists)."""
        store = self.uci_store()
        pkg, sec, opt = key.split(".", 2)
        store.setdefault(pkg, {}).setdefault(sec, {})[opt] = value
        self.write(UCI_STORE, marshal.dumps(store))

    def uci_get(self, key: str):
        pkg, sec, opt = key.split(".", 2)
        return self.uci_store().get(pkg, {}).get(sec, {}).get(opt)

    def console(self) -> str:
        """Everything written to /dev/console so far."""
        return self._console.text()

    def wait_console(self, pattern, timeout: float = 10.0) -> re.Match:
        return self._console.wait_for(pattern, timeout)

    # -- programs ----------------------------------------------------------------
    def _command(self, argv, env, cwd):
        environment = {"PATH": DEFAULT_PATH, "HOME": "/root", "LANG": "C", "TERM": "dumb"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"):
            if key in os.environ:
                environment[key] = os.environ[key]
        environment.update(env or {})
        inner = "cd " + shlex.quote(cwd) + " && exec \"$@\""
        return (["nsenter", "-t", str(self._holder.pid), "--mount", "--ipc", "--",
                 "chroot", str(self.merged),
                 "setpriv", "--inh-caps=-all", "--bounding-set=-all", "--",
                 "env", "-i"] + [f"{k}={v}" for k, v in environment.items()]
                + ["/bin/sh", "-c", inner, "sh"] + [str(a) for a in argv])

    def start(self, argv, env: dict | None = None, cwd: str = "/", stdin=subprocess.DEVNULL,
              merge_stderr: bool = False) -> Proc:
        """Starts a program in the root; it is killed when the test ends."""
        p = subprocess.Popen(self._command(argv, env, cwd), stdin=stdin,
                             stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT if merge_stderr else subprocess.PIPE)
        proc = Proc(self, p, merge_stderr)
        self._procs.append(proc)
        return proc

    def run(self, argv, env: dict | None = None, cwd: str = "/", input: str | bytes | None = None,
            timeout: float = 30.0) -> Result:
        """Runs a program in the root to its end."""
        data = input.encode() if isinstance(input, str) else input
        p = subprocess.run(self._command(argv, env, cwd), input=data, capture_output=True,
                           timeout=timeout, stdin=None if data is not None else subprocess.DEVNULL)
        return Result(p.returncode, p.stdout.decode(errors="replace"),
                      p.stderr.decode(errors="replace"))

    def sh(self, script: str, **kw) -> Result:
        return self.run(["/bin/sh", "-c", script], **kw)

    def run_gtest(self, program: str, *args: str, env: dict | None = None,
                  timeout: float = 120.0) -> Result:
        """Runs a built GoogleTest program in the root; fails unless it ends
        with status 0 and its tests, one at least, passed and none skipped."""
        res = self.run([str(binary(program)), *args], env={**(env or {}), IN_ROOT_ENV: "1"},
                       timeout=timeout)
        passed = re.search(r"^\[  PASSED  \] [1-9]", res.stdout, re.M)
        if res.rc != 0 or not passed or "SKIPPED" in res.stdout:
            raise AssertionError(f"{program} {' '.join(args)} ended with status {res.rc}:\n"
                                 + res.stdout[-8000:] + res.stderr[-2000:])
        return res


def new_root(base: Path) -> RouterRoot:
    """A root with what every program here finds on a router: the uci stand-in
    (with its store) and a recorder in place of logger."""
    root = RouterRoot(base)
    root.standin("/usr/sbin/uci", name="uci")
    root.standin("/usr/bin/logger")
    return root
