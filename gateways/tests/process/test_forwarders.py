"""textrelay, postrelay and portnotify: message lines over TCP to the SMS
script and to mail delivered through a real SMTP server."""

import email
import socket
import struct
import time

from conftest import closed_within, recv_until, silent_for
from poll import connect, free_port


def ask(sock, line: bytes, timeout: float = 10.0) -> bytes:
    sock.sendall(line)
    return recv_until(sock, rb"\r\n", timeout)


def relay(gw, program, extra=""):
    port = free_port()
    proc = gw.start(program, f"port={port}\n{extra}")
    return proc, connect(port), port


def mail_config(smtp, extra=""):
    return f"smtp=127.0.0.1\nmailport={smtp.port}\nsender=rtu@example.net\n{extra}"


# -- textrelay -----------------------------------------------------------------

def test_sms_with_plus_runs_the_script_and_answers_the_result_code(gw):
    gw.sms_result("17\n")
    proc, c, _ = relay(gw, "textrelay")
    assert ask(c, b"SMS;+491701234567;Hello\r\n") == b"17\n\r\n"
    assert gw.sms_calls() == [["+491701234567", "Hello"]]
    # Without the "+" nothing runs.
    assert ask(c, b"SMS;491701234567;Hello\n") == b"100\r\n"
    proc.wait_output("parase or send fail")
    assert len(gw.sms_calls()) == 1


def test_sms_text_cut_at_160_and_absent_result_file_answers_0(gw):
    proc, c, _ = relay(gw, "textrelay")
    text = "".join(chr(ord("a") + i % 26) for i in range(200))
    assert ask(c, f"SMS;+1;{text}\n".encode()) == b"0\r\n"
    assert gw.sms_calls() == [["+1", text[:160]]]
    assert not gw.r.exists("/tmp/atsend_result_code")


def test_sms_result_is_this_sends_own(gw):
    # The script fails now and then and leaves no result file behind; the
    # code an earlier SMS left is not this one's.
    proc, c, _ = relay(gw, "textrelay")
    gw.sms_result("17\n")
    assert ask(c, b"SMS;+1;first\n") == b"17\n\r\n"
    gw.sms_result(None)
    gw.sms_exit(1)
    assert ask(c, b"SMS;+1;second\n") == b"1\r\n"
    proc.wait_output("parase or send fail")
    gw.sms_exit(0)
    assert ask(c, b"SMS;+1;third\n") == b"0\r\n"
    assert len(gw.sms_calls()) == 3


def test_sms_fields_cannot_run_commands(gw):
    proc, c, _ = relay(gw, "textrelay")
    nasty = 'x" $(touch /tmp/pwned1) `touch /tmp/pwned2` \\" && touch /tmp/pwned3 | echo "$HOME'
    # A number is "+" and digits: anything else is refused before any command.
    for number in ("+1" + nasty, "+", "+49 170", "+49\x01", "+49'"):
        assert ask(c, f"SMS;{number};Hello\n".encode()) == b"100\r\n", number
    assert gw.sms_calls() == []
    assert ask(c, f"SMS;+1;{nasty}\n".encode()) == b"0\r\n"
    assert gw.sms_calls() == [["+1", nasty]]
    for n in (1, 2, 3):
        assert not gw.r.exists(f"/tmp/pwned{n}")


def test_textrelay_refuses_mail_and_other_kinds_and_keeps_the_connection(gw):
    proc, c, _ = relay(gw, "textrelay")
    assert ask(c, b"Mail;ops;Alarm;Input 1 closed\n") == b"100\r\n"
    assert ask(c, b"FAX;1;2\n") == b"100\r\n"
    assert ask(c, b"SMS;+1\n") == b"100\r\n"
    # 300 characters without line end: handled as 255, the rest starts the next line.
    c.sendall(b"z" * 300)
    assert recv_until(c, rb"\r\n") == b"100\r\n"
    proc.wait_output(r"parse or send fail")
    assert silent_for(c, 0.5), "the remaining 45 characters wait for their line end"
    assert ask(c, b"\n") == b"100\r\n"
    assert gw.sms_calls() == [] and gw.mail_calls() == []


def test_idle_limit_drops_a_silent_client(gw):
    proc, c, _ = relay(gw, "textrelay", "timeout=1\n")
    assert ask(c, b"ping\n") == b"100\r\n"
    t0 = time.monotonic()
    assert closed_within(c, 5)
    assert 0.9 <= time.monotonic() - t0 <= 4
    # Without a limit the client stays.
    proc2, c2, _ = relay(gw, "textrelay", "timeout=0\n")
    assert ask(c2, b"ping\n") == b"100\r\n"
    assert silent_for(c2, 2.5)
    assert ask(c2, b"ping\n") == b"100\r\n"


def test_one_client_at_a_time_and_a_vanished_client_does_not_kill_it(gw):
    proc, first, port = relay(gw, "textrelay")
    assert ask(first, b"a\n") == b"100\r\n"
    second = connect(port)
    second.sendall(b"b\n")
    assert silent_for(second, 1.2), "served only after the first one left"
    # The first one sends lines and resets at once: the replies meet a closed peer.
    first.sendall(b"x\n" * 20)
    first.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    first.close()
    assert recv_until(second, rb"\r\n", timeout=6) == b"100\r\n"
    assert proc.running(), proc.stdout
    assert ask(second, b"SMS;+2;hi\n") == b"0\r\n"


# -- postrelay -----------------------------------------------------------------

def test_mail_goes_through_the_smtp_server_and_is_logged(gw, smtp_server):
    proc, c, _ = relay(gw, "postrelay", mail_config(smtp_server))
    assert ask(c, b"Mail;ops@example.net;Alarm;Input 1 closed\r\n") == b"0\r\n"
    env = smtp_server.wait(1)[0]
    assert env.mail_from == "rtu@example.net"
    assert env.rcpt_tos == ["ops@example.net"]
    msg = email.message_from_bytes(env.content)
    assert msg["Subject"] == "Alarm"
    assert msg.get_content_type() == "text/plain"
    assert msg.get_payload(decode=True).decode().strip() == "Input 1 closed"
    args = gw.mail_calls()[0]
    assert args[args.index("-to") + 1] == "ops@example.net"
    assert args[-3:] == ["-v", "-log", "/var/log/mail_log"]
    assert ["-t", "script", "Send mail successfully!"] in gw.r.calls("logger")
    assert "Mail sent" in gw.r.read("/var/log/mail_log")


def test_mail_without_body_and_sms_lines_answer_100(gw, smtp_server):
    proc, c, _ = relay(gw, "postrelay", mail_config(smtp_server))
    assert ask(c, b"Mail;ops@example.net;Alarm\n") == b"100\r\n"
    assert ask(c, b"SMS;+1;Hello\n") == b"100\r\n"
    assert gw.mail_calls() == [] and gw.sms_calls() == []


def test_mail_fields_with_shell_characters_arrive_as_written(gw, smtp_server):
    proc, c, _ = relay(gw, "postrelay", mail_config(smtp_server))
    subject = 'Door "A" $(touch /tmp/pwned) `id` \\ 100%'
    body = "it's $HOME && touch /tmp/pwned2 | cat"
    assert ask(c, f"Mail;ops@example.net;{subject};{body}\n".encode()) == b"0\r\n"
    msg = email.message_from_bytes(smtp_server.wait(1)[0].content)
    assert msg["Subject"] == subject
    assert msg.get_payload(decode=True).decode().strip() == body
    assert not gw.r.exists("/tmp/pwned") and not gw.r.exists("/tmp/pwned2")


def test_authentication_words_are_passed_as_they_stand(gw, smtp_server):
    proc, c, _ = relay(gw, "postrelay", mail_config(smtp_server, "auth=-auth -user ops -pass s3cret\n"))
    assert ask(c, b"Mail;ops@example.net;Alarm;x\n") == b"0\r\n"
    smtp_server.wait(1)
    assert smtp_server.logins == ["ops"]
    assert "s3cret" not in proc.stdout


def test_unreachable_mail_server_answers_1(gw):
    port = free_port()  # nobody listens
    proc, c, _ = relay(gw, "postrelay", f"smtp=127.0.0.1\nmailport={port}\nsender=a@b.c\n")
    assert ask(c, b"Mail;ops@example.net;Alarm;x\n") == b"1\r\n"
    proc.wait_output("parase or send fail")
    assert ["-t", "script", "Could not send mail!"] in gw.r.calls("logger")


# -- portnotify ----------------------------------------------------------------

class Peer:
    """The TCP server portnotify connects to."""

    def __init__(self):
        self.srv = socket.socket()
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(1)
        self.srv.settimeout(8)
        self.port = self.srv.getsockname()[1]

    def accept(self):
        conn, _ = self.srv.accept()
        conn.settimeout(5)
        return conn


def test_portnotify_needs_its_switches_and_rereads_before_each_connection(gw, smtp_server):
    peer = Peer()
    base = f"address=127.0.0.1\nport={peer.port}\n" + mail_config(smtp_server)
    proc = gw.start("portnotify", base)
    conn = peer.accept()
    assert ask(conn, b"Mail;ops@example.net;Alarm;x\n") == b"100\r\n"
    assert ask(conn, b"SMS;+1;Hello\n") == b"100\r\n"
    proc.wait_output(r"not support\n(.|\n)*not support\n(.|\n)*parse or send fail")
    assert gw.mail_calls() == [] and gw.sms_calls() == []

    gw.r.write("/etc/portnotify.conf", base + "textrelay=1\npostrelay=1\nauth=-auth -user ops -pass s3cret\n")
    conn.close()
    conn = peer.accept()
    gw.sms_result("5")
    assert ask(conn, b"SMS;+1;Hello\n") == b"5\r\n"
    proc.wait_output(r"cmd<send_sms.sh '\+1' 'Hello'>")
    assert ask(conn, b"Mail;ops@example.net;Alarm;Input 1 closed\n") == b"0\r\n"
    msg = email.message_from_bytes(smtp_server.wait(1)[0].content)
    assert msg["Subject"] == "Alarm"
    proc.wait_output(r"mailsend .*-to 'ops@example.net' -sub 'Alarm' -M 'Input 1 closed'")
    assert "s3cret" not in proc.stdout, "credentials stay out of the output"
    assert gw.mail_calls()[0][-6:] == ["-to", "ops@example.net", "-sub", "Alarm", "-M", "Input 1 closed"]
    conn.close()


def test_portnotify_retries_until_the_peer_listens(gw):
    port = free_port()
    proc = gw.start("portnotify", f"address=127.0.0.1\nport={port}\ntextrelay=1\n")
    proc.wait_stderr(r"open socket fail\n.*open socket fail\n", timeout=5)
    with socket.socket() as srv:
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        srv.bind(("127.0.0.1", port))
        srv.listen(1)
        srv.settimeout(5)
        conn, _ = srv.accept()
        assert ask(conn, b"SMS;+3;x\n") == b"0\r\n"
        conn.close()
