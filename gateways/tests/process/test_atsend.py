"""atsend against a simulated modem on a pseudo-terminal."""

import os
import select
import signal
import termios
import threading
import time

from routerroot import binary

PID = "/var/run/atsend.pid"
OSPEED = 5


class Modem(threading.Thread):
    """Plays the modem on the master side: echoes (unless off) and answers
    after the command's CR and after Ctrl-Z. An answer is bytes, or a list of
    (seconds, bytes) pieces sent one after the other after those pauses."""

    def __init__(self, pty, echo=True, on_cr=b"\r\nOK\r\n", on_ctrl_z=b"", answer_cr=True):
        super().__init__(daemon=True)
        self.pty = pty
        self.echo = echo
        self.on_cr = on_cr
        self.on_ctrl_z = on_ctrl_z
        self.answer_cr = answer_cr
        self.received = b""
        self.first_attrs = None
        self.stopping = threading.Event()
        self.start()

    def run(self):
        fd = self.pty.master
        end = time.monotonic() + 60
        while not self.stopping.is_set() and time.monotonic() < end:
            r, _, _ = select.select([fd], [], [], 0.05)
            if not r:
                continue
            try:
                data = os.read(fd, 1024)
            except OSError:
                time.sleep(0.01)
                continue
            if self.first_attrs is None:
                self.first_attrs = termios.tcgetattr(fd)
            for b in data:
                byte = bytes([b])
                self.received += byte
                if self.echo:
                    os.write(fd, byte)
                if byte == b"\r" and self.answer_cr:
                    self.answer(self.on_cr)
                    self.answer_cr = False
                if byte == b"\x1a" and self.on_ctrl_z:
                    self.answer(self.on_ctrl_z)

    def answer(self, pieces):
        for pause, data in [(0, pieces)] if isinstance(pieces, bytes) else pieces:
            time.sleep(pause)
            os.write(self.pty.master, data)

    def stop(self):
        self.stopping.set()
        self.join(2)


def atsend(r, *args, timeout=30):
    return r.run([str(binary("atsend")), *args], timeout=timeout)


def atsend_with_echo(r, ptys, args, pauses=("4000", "20000"), **modem):
    """atsend with its pause -t from pauses against a fresh echoing Modem:
    atsend gives up after five pauses without an echo, which a loaded machine
    may exceed with the short pause, so a failed run is tried once more with
    the longer one. Returns (result, modem) of the last run."""
    for pause in pauses:
        p = ptys()
        m = Modem(p, **modem)
        res = atsend(r, "-i", p.path, *args, "-t", pause)
        m.stop()
        if res.rc == 0:
            break
    return res, m


def test_command_echo_and_ok(gw, ptys):
    r = gw.r
    p = ptys()
    before = termios.tcgetattr(p.slave)
    m = Modem(p, on_cr=b"\r\n+CSQ: 20,99\r\n\r\nOK\r\n")
    t0 = time.monotonic()
    res = atsend(r, "-i", p.path, "-c", "AT+CSQ", "-t", "10000")
    m.stop()
    assert res.rc == 0, res
    assert res.stdout.endswith("+CSQ: 20,99\r\n\r\nOK\r\n"), res
    assert m.received == b"AT+CSQ\r"
    assert time.monotonic() - t0 < 5, "OK ends the answer at once"
    assert not r.exists(PID)
    after = termios.tcgetattr(p.slave)
    assert after[3] == before[3] and after[1] == before[1], "settings restored"
    assert m.first_attrs[3] == 0, "raw while it talks"
    assert m.first_attrs[OSPEED] == termios.B9600


def test_error_after_long_lines_is_found_and_the_rest_drained(gw, ptys):
    r = gw.r
    for lead in (b"\r\n+CME: 1234567890123\r\n", b"\r\n+CME: 12345678901234567\r\n", b"\r\n"):
        for final in (b"ERROR", b"+CME ERROR: 10"):
            p = ptys()
            m = Modem(p, on_cr=lead + final + b"\r\ntail")
            t0 = time.monotonic()
            # With -T 1 and a 10 ms pause silence would last about 10 s.
            res = atsend(r, "-i", p.path, "-c", "AT+X", "-t", "10000", "-T", "1")
            elapsed = time.monotonic() - t0
            m.stop()
            assert res.rc == 0, res
            assert res.stdout == (lead + final + b"\r\ntail").decode()
            assert elapsed < 5, f"{final} not recognised ({elapsed:.1f}s)"


# A modem in text mode (ATE1) as it really talks: it echoes every byte, the
# SMS text and Ctrl-Z included, prompts for the text, takes a while to send,
# and its unsolicited lines come in between.
PROMPT = b"\r\nRING\r\n\r\n> "
URC = b'\r\n+CMTI: "SM",5\r\n'


def test_final_result_codes_count_only_at_the_start_of_a_line(gw, ptys):
    r = gw.r
    cases = [
        # An SMS text with a final word in it: its echo is not the answer.
        (["-c", 'AT+CMGS="+4917"', "-m", "Pump 3 OK", "-z"], PROMPT,
         [(0, URC), (0.6, b"\r\n+CMGS: 7\r\n\r\nOK\r\n")], "\r\n+CMGS: 7\r\n\r\nOK\r\n"),
        (["-c", 'AT+CMGS="+4917"', "-m", "ERROR 4 OK", "-z"], PROMPT,
         [(0, URC), (0.6, b"\r\n+CMS ERROR: 500\r\n")], "\r\n+CMS ERROR: 500\r\n"),
        # A listed message with "OK" inside its line.
        (["-c", 'AT+CMGL="ALL"'], [(0, b'\r\n+CMGL: 1,"REC READ","+4917"\r\nTank 2 OK\r\n'),
                                   (0.6, b"\r\nOK\r\n")], b"", "Tank 2 OK\r\n\r\nOK\r\n"),
    ]
    for args, on_cr, on_ctrl_z, answer_end in cases:
        p = ptys()
        m = Modem(p, on_cr=on_cr, on_ctrl_z=on_ctrl_z)
        t0 = time.monotonic()
        # 20 ms pauses: echoes may take a while on a loaded machine; the
        # response limit (1000 attempts) would then be 20 s.
        res = atsend(r, "-i", p.path, *args, "-t", "20000", "-T", "1")
        elapsed = time.monotonic() - t0
        m.stop()
        assert res.rc == 0, res
        assert res.stdout.endswith(answer_end), (args, res)
        assert 0.6 <= elapsed < 10, (args, elapsed)


def test_sms_text_with_ctrl_z_and_without(gw, ptys):
    r = gw.r
    p = ptys()
    m = Modem(p, on_cr=b"\r\n> ", on_ctrl_z=b"\r\n+CMGS: 7\r\n\r\nOK\r\n")
    res = atsend(r, "-i", p.path, "-c", 'AT+CMGS="+8869"', "-m", "Send message", "-z", "-t", "10000")
    m.stop()
    assert res.rc == 0, res
    assert m.received == b'AT+CMGS="+8869"\rSend message\x1a'
    assert res.stdout.endswith("+CMGS: 7\r\n\r\nOK\r\n")

    # -z without -m: no Ctrl-Z; -m without -z: no message.
    for args in (["-z"], ["-m", "ignored"]):
        p = ptys()
        m = Modem(p)
        res = atsend(r, "-i", p.path, "-c", "AT", "-t", "10000", *args)
        m.stop()
        assert res.rc == 0, res
        assert m.received == b"AT\r", args


def test_long_command_and_message_stay_inside_the_window(gw, ptys):
    r = gw.r
    command = "AT+CMGS=" + "9" * 60  # cut to 63 characters
    message = "".join(chr(ord("a") + i % 26) for i in range(300))  # cut to 255
    res, m = atsend_with_echo(r, ptys, ("-c", command, "-m", message, "-z", "-T", "3"),
                              on_cr=b"\r\n> ", on_ctrl_z=b"\r\nOK\r\n")
    assert res.rc == 0, res
    assert m.received == (command[:63] + "\r" + message[:255] + "\x1a").encode()
    assert res.stdout.endswith("OK\r\n")


def test_speed_option(gw, ptys):
    r = gw.r
    for speed, const in (("1000", termios.B9600), ("115200", termios.B115200), ("57600", termios.B57600),
                         ("460800", termios.B460800), ("921600", termios.B921600)):
        p = ptys()
        m = Modem(p)
        # 30 ms pauses: the echo may take a while on a loaded machine
        res = atsend(r, "-i", p.path, "-c", "AT", "-t", "30000", "-s", speed)
        m.stop()
        assert res.rc == 0, (speed, res)
        assert m.first_attrs[OSPEED] == const, speed
        unsupported = f"unsupported speed {speed}, using 9600\n"
        assert (unsupported in res.stderr) == (speed == "1000"), res


def test_echo_off_fails_on_the_first_character(gw, ptys):
    r = gw.r
    p = ptys()
    before = termios.tcgetattr(p.slave)
    m = Modem(p, echo=False)
    res = atsend(r, "-i", p.path, "-c", "ATI", "-t", "10000")
    m.stop()
    assert res.rc == 1
    assert res.stderr == "fail\n"
    assert m.received == b"A"
    assert not r.exists(PID)
    assert termios.tcgetattr(p.slave)[3] == before[3], "settings restored on failure"


def test_silent_modem_ends_at_the_response_limit(gw, ptys):
    r = gw.r
    p = ptys()
    m = Modem(p, answer_cr=False)
    t0 = time.monotonic()
    res = atsend(r, "-i", p.path, "-c", "AT", "-t", "1000", "-T", "1")
    m.stop()
    assert res.rc == 0, res
    assert res.stdout == ""
    assert 0.9 < time.monotonic() - t0 < 10


def test_second_instance_exits_1_silently_and_a_stale_pid_file_is_taken_over(gw, ptys):
    r = gw.r
    p = ptys()
    m = Modem(p, answer_cr=False)
    first = r.start([str(binary("atsend")), "-i", p.path, "-c", "AT", "-t", "10000", "-T", "10"])
    owner = r.wait_file(PID, timeout=5)
    assert owner.strip().isdigit()
    res = atsend(r, "-i", p.path, "-c", "AT")
    assert (res.rc, res.stdout, res.stderr) == (1, "", "")
    res = atsend(r, "-x")  # an option error must not take the first one's pid file away
    assert res.rc == 1 and "argument error" in res.stdout
    assert r.read(PID) == owner
    first.signal(signal.SIGQUIT)
    assert first.wait(5) == 0
    assert not r.exists(PID)
    m.stop()

    dead = int(r.sh("echo $$").stdout)
    r.write(PID, f"{dead}\n")
    p2 = ptys()
    m2 = Modem(p2)
    res = atsend(r, "-i", p2.path, "-c", "AT", "-t", "10000")
    m2.stop()
    assert res.rc == 0, res
    assert res.stdout.endswith("OK\r\n")
    assert not r.exists(PID)


def test_sigterm_exits_1_and_removes_the_pid_file(gw, ptys):
    r = gw.r
    p = ptys()
    m = Modem(p, answer_cr=False)
    proc = r.start([str(binary("atsend")), "-i", p.path, "-c", "AT", "-t", "10000", "-T", "10"])
    r.wait_file(PID, timeout=5)
    proc.signal(signal.SIGTERM)
    assert proc.wait(5) == 1
    assert not r.exists(PID)
    m.stop()


def test_usage_option_error_and_missing_device(gw):
    r = gw.r
    res = atsend(r, "-i", "/dev/ttyUSB2")
    assert res.rc == 1
    lines = res.stdout.splitlines()
    assert lines[0] == "i\t USB interface" and lines[6] == "T\t Max Response Time"
    assert lines[7] == ' \t Ex. atsend -i "/dev/ttyUSB2" -c "AT+CMGS=\\"+8869xxxxxxxx\\"" -m "Send message" -z -T 120'
    assert lines[8] == ' \t SMS must set "AT+CMGF=1" and "ATZ" first'
    assert atsend(r, "-i", "", "-c", "AT").rc == 1
    res = atsend(r, "-q")
    assert (res.rc, res.stdout) == (1, "argument error\n")
    res = atsend(r, "-i", "/dev/no-such-tty", "-c", "AT")
    assert (res.rc, res.stderr) == (1, "open ttyUSB fail\n")
    assert not r.exists(PID)


class VanishingModem(Modem):
    """Echoes like the modem, then is pulled: after `after` bytes both ends of
    its pseudo-terminal are closed and the device node goes away."""

    def __init__(self, pty, after):
        self.after = after
        self.gone = threading.Event()
        super().__init__(pty, answer_cr=False)

    def run(self):
        fd = self.pty.master
        end = time.monotonic() + 30
        while not self.stopping.is_set() and time.monotonic() < end:
            r, _, _ = select.select([fd], [], [], 0.05)
            if not r:
                continue
            try:
                byte = os.read(fd, 1)
            except OSError:
                continue
            self.received += byte
            if len(self.received) >= self.after:
                self.pty.close()
                self.pty.master = self.pty.slave = -1  # closed once, not again later
                self.gone.set()
                return
            os.write(fd, byte)


def test_device_pulled_during_the_command_or_the_answer_then_back(gw, ptys):
    r = gw.r
    # during the command: the echo of the third character never comes
    p = ptys()
    m = VanishingModem(p, after=3)
    t0 = time.monotonic()
    res = atsend(r, "-i", p.path, "-c", "AT+CSQ", "-t", "1000", "-T", "1", timeout=20)
    m.stop()
    assert m.gone.is_set()
    assert (res.rc, res.stdout, res.stderr) == (1, "", "fail\n")
    assert time.monotonic() - t0 < 5
    assert not r.exists(PID)
    # (the node's number may be taken again at once by another terminal of
    # the machine, so the path itself proves nothing)

    # during the answer: silence until the response limit, a success exit
    # (pauses of 4 ms: each echo may take up to 20 ms on a loaded machine,
    # and the limit of 1000 attempts is still about 4 s)
    p = ptys()
    m = VanishingModem(p, after=len("AT+CSQ\r"))
    t0 = time.monotonic()
    res = atsend(r, "-i", p.path, "-c", "AT+CSQ", "-t", "4000", "-T", "1", timeout=20)
    m.stop()
    assert m.gone.is_set()
    assert (res.rc, res.stdout) == (0, ""), res
    assert time.monotonic() - t0 < 10
    assert not r.exists(PID)

    # the device is back (a new node): the next run works, nothing left in its way
    p = ptys()
    m = Modem(p)
    res = atsend(r, "-i", p.path, "-c", "AT", "-t", "1000")
    m.stop()
    assert res.rc == 0, res
    assert res.stdout.endswith("OK\r\n")
    assert not r.exists(PID)
