"""Shell injection through the gateways, as processes: message lines over TCP
to textrelay, postrelay and portnotify, mail settings of their configuration
file, and atsend's command line. The send_sms.sh and mailsend stand-ins record
the exact argument lists; the canary must stay absent."""

import shlex

from conftest import recv_until
from payloads import CANARY, Findings, canary_ran, clear_canary, payloads
from poll import connect, free_port
from routerroot import binary
from test_atsend import atsend_with_echo
from test_forwarders import Peer

# A message line carries no line end, and ';' separates its fields.
IN_A_FIELD = payloads(without="\r\n;")


def ask(sock, line: bytes) -> bytes:
    sock.sendall(line)
    return recv_until(sock, rb"\r\n", 10)


def send_all(gw, sock, found: Findings, sms: bool, mail: bool):
    for name, p in IN_A_FIELD:
        if sms:
            clear_canary(gw.r)
            before = len(gw.sms_calls())
            # In the number it is refused; the text reaches the script whole.
            refused = ask(sock, f"SMS;+1{p};x\n".encode())
            ask(sock, f"SMS;+1;{p}\n".encode())
            calls = gw.sms_calls()[before:]
            found.check(refused == b"100\r\n", name, f"number answered {refused!r}")
            found.check(calls == [["+1", p]], name, f"send_sms.sh got {calls}")
            found.check(not canary_ran(gw.r), name, "SMS line ran the canary")
        if mail:
            clear_canary(gw.r)
            before = len(gw.mail_calls())
            ask(sock, f"Mail;{p};{p};{p}\n".encode())
            calls = gw.mail_calls()[before:]
            ok = (len(calls) == 1 and "-to" in calls[0]
                  and calls[0][calls[0].index("-to"):][:6] == ["-to", p, "-sub", p, "-M", p])
            found.check(ok, name, f"mailsend got {calls}")
            found.check(not canary_ran(gw.r), name, "Mail line ran the canary")


def quote_left_open(text: str) -> bool:
    try:
        shlex.split(text)
    except ValueError as e:
        return "quotation" in str(e)
    return False


def closed_mail_port() -> str:
    # Nothing listens there: the mail stand-in fails at once.
    return f"smtp=127.0.0.1\nmailport={free_port()}\nsender=rtu@example.net\n"


def test_textrelay_sms_fields(gw):
    port = free_port()
    gw.start("textrelay", f"port={port}\n")
    found = Findings("textrelay")
    send_all(gw, connect(port), found, sms=True, mail=False)
    found.assert_none()


def test_postrelay_mail_fields(gw):
    port = free_port()
    gw.start("postrelay", f"port={port}\n" + closed_mail_port())
    found = Findings("postrelay")
    send_all(gw, connect(port), found, sms=False, mail=True)
    found.assert_none()


def test_portnotify_sms_and_mail_fields(gw):
    peer = Peer()
    gw.start("portnotify", f"address=127.0.0.1\nport={peer.port}\ntextrelay=1\npostrelay=1\n"
             + closed_mail_port())
    found = Findings("portnotify")
    send_all(gw, peer.accept(), found, sms=True, mail=True)
    found.assert_none()


def test_mail_settings_of_the_configuration_file(gw):
    # The mail server stays 127.0.0.1 (a payload host name would be looked
    # up); the sender is one word, the security and authentication texts are
    # option words the process passes on without running anything, or, when
    # one leaves a quote open, refuses (no mail, reply "1"). Three payloads
    # per start, one in each setting (the unit tests take every setting with
    # every payload).
    found = Findings("postrelay configuration")
    table = payloads(without="\r\n")
    for at in range(0, len(table), 3):
        group = (table[at:] + table)[:3]
        (name, sender), (name2, secure), (name3, auth) = group
        clear_canary(gw.r)
        port = free_port()
        proc = gw.start("postrelay", f"port={port}\nsmtp=127.0.0.1\nmailport={free_port()}\n"
                        f"sender={sender}\nsecuremode={secure}\nauth={auth}\n")
        before = len(gw.mail_calls())
        sock = connect(port)
        reply = ask(sock, b"Mail;ops@example.net;Alarm;Input 1 closed\n")
        calls = gw.mail_calls()[before:]
        # The configuration keeps at most 45 characters of a sender or
        # securemode, 255 of auth.
        if quote_left_open(secure[:45]) or quote_left_open(auth[:255]):
            ok = calls == [] and reply == b"1\r\n"
        else:
            ok = len(calls) == 1 and calls[0][:2] == ["-smtp", "127.0.0.1"] \
                and "-from" in calls[0] and calls[0][calls[0].index("-from") + 1] == sender[:45]
        label = f"{name}/{name2}/{name3}"
        found.check(ok, label, f"mailsend got {calls}, reply {reply!r}")
        found.check(not canary_ran(gw.r), label, "configuration value ran the canary")
        sock.close()
        proc.stop()
    found.assert_none()


def test_atsend_command_line(gw, ptys):
    r = gw.r
    found = Findings("atsend")
    for name, p in payloads():
        clear_canary(r)
        res, m = atsend_with_echo(r, ptys, ("-c", p), pauses=("2000", "20000"))
        found.check(res.rc == 0, name, f"atsend failed: {res}")
        found.check(m.received == p.encode() + b"\r", name, f"modem got {m.received[:200]!r}")
        found.check(not canary_ran(r), name, "command ran the canary")
    # The device argument is only opened, never handed to a shell: one shell
    # runs atsend with every payload as "$1".
    items = payloads()
    script = 'a=$1; shift; for d in "$@"; do "$a" -i "$d" -c AT; echo "rc=$?"; done'
    res = r.run(["/bin/sh", "-c", script, "sh", str(binary("atsend")), *[p for _, p in items]], timeout=30)
    found.check(res.stdout.split() == ["rc=1"] * len(items), "device", f"{res}")
    found.check(res.stderr.count("open ttyUSB fail") == len(items), "device", f"{res}")
    found.check(not canary_ran(r), "device", "a device argument ran the canary")
    found.assert_none()


def test_mail_settings_too_long_for_the_command_send_nothing(gw):
    # 127 one-letter words quote to 508 characters: more than portnotify's
    # 512-byte prefix holds. A prefix cut inside a quote would leave the
    # fields unquoted; such settings answer "1" and run no mailsend.
    peer = Peer()
    words = "a " * 127
    gw.start("portnotify", f"address=127.0.0.1\nport={peer.port}\npostrelay=1\n"
             + closed_mail_port() + f"auth={words}\n")
    sock = peer.accept()
    found = Findings("portnotify long settings")
    for name, p in IN_A_FIELD:
        clear_canary(gw.r)
        found.check(ask(sock, f"Mail;ops;Alarm;{p}\n".encode()) == b"1\r\n", name, "not answered 1")
        found.check(not canary_ran(gw.r), name, "mail body ran the canary")
    found.check(gw.mail_calls() == [], "all", f"mailsend ran: {gw.mail_calls()[:1]}")
    found.assert_none()
