"""smtp-gateway end to end: the real program, smtplib, swaks and raw clients, an aiosmtpd sink
and raw SMTP servers of the tests' own on loopback."""

import base64
import os
import smtplib
import subprocess
from email.header import Header, decode_header, make_header

import pytest

import algtest
from algtest import ScriptedSmtpServer, SmtpGateway, SmtpSink, recv_exact

READY = b"220 ALG Proxy ESMTP server ready\r\n"
HELLO = b"250-ALG Proxy Hello. Please, authenticate yourself\r\n250 AUTH LOGIN\r\n"
WAIT_AUTH = b"503 Waiting for AUTH command. You must authenticate before\r\n"
LOGIN_PROMPT, PASSWORD_PROMPT = b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n"
AUTH_FAILED = b"504-Authentication failed\r\n421 Service closing\r\n"
SHUTDOWN = b"421 Service not available, closing transmission channel\r\n"
AUTH_OK = b"235 Authentication successful\r\n"
FILTER_REJECT = b"550-Filter blocked\r\n421 Service closing\r\n"
CUT_REPLY = b"553 Request action not taken: mailbox name not allowed\r\n"
IO_LIMIT = 10

# Body lines that begin with a dot must arrive as they were sent (stuffed on the wire only).
MESSAGE = (b"From: a@example.org\r\nTo: b@example.org\r\nSubject: plain\r\n\r\n"
           b"first line\r\n.starts with a dot\r\n..two dots\r\nSubject: not a header\r\n"
           b".\r\nlast\r\n")


def b64(text):
    return base64.b64encode(text.encode()) + b"\r\n"


def reply(f):
    """One complete SMTP reply from the file `f`, continuation lines included."""
    out = b""
    for _ in range(100):
        line = f.readline()
        out += line
        if not line or line[3:4] != b"-":
            return out
    return out


def closed(sock):
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def raw_login(gw, user, password):
    """A raw client through greeting, EHLO and AUTH LOGIN; (socket, its file, the reply to
    the password)."""
    s = algtest.connect(gw.port, IO_LIMIT)
    f = s.makefile("rb")
    assert reply(f) == READY
    s.sendall(b"EHLO me\r\nAUTH LOGIN\r\n")
    assert reply(f) + reply(f) == HELLO + LOGIN_PROMPT
    s.sendall(b64(user))
    assert reply(f) == PASSWORD_PROMPT
    s.sendall(b64(password))
    return s, f, reply(f)


def logged_in(gw, port):
    """A raw client through `gw` logged in to the server on `port`: (socket, its file)."""
    s, f, answer = raw_login(gw, gw.user_name(port), "demo-password")
    assert answer == AUTH_OK
    return s, f


@pytest.fixture
def gateway(launch):
    if not os.access(SmtpGateway.EXE, os.X_OK):
        pytest.fail("smtp-gateway not built in ALG_BUILD_DIR")
    return lambda **kw: launch(SmtpGateway, **kw)


def test_proxy_login_replies_and_refusals(gateway):
    gw = gateway()
    # Greeting, EHLO, HELO and MAIL before AUTH; the tenth wrong command gets the last reply.
    s = algtest.connect(gw.port, IO_LIMIT)
    assert recv_exact(s, 34) == READY
    s.sendall(b"EHLO client\r\n")
    assert recv_exact(s, 68) == HELLO
    for command in [b"HELO client", b"MAIL FROM:<a@b>"] + [b"NOOP"] * 6:
        s.sendall(command + b"\r\n")
        assert recv_exact(s, 60) == WAIT_AUTH
    s.sendall(b"RSET\r\n")
    assert recv_exact(s, 60) == WAIT_AUTH  # the tenth
    assert closed(s)
    gw.wait_for("Incorrect login/password format")

    # A wrong proxy password; a user name without "$", with a port that is not one, or of
    # more than 255 bytes.
    s, _, answer = raw_login(gw, "127.0.0.1 25$demo", "wrong")
    assert answer == AUTH_FAILED and closed(s)
    for user in ["127.0.0.1 25 demo", "127.0.0.1 99999$demo", "127.0.0.1$demo$" + "b" * 250]:
        s, _, answer = raw_login(gw, user, "demo-password")
        assert answer == b"" and closed(s)

    # A line beyond 64 KiB ends the session with a logged error instead of growing.
    s = algtest.connect(gw.port, IO_LIMIT)
    assert recv_exact(s, 34) == READY
    try:
        s.sendall(b"EHLO " + b"x" * (70 << 10) + b"\r\n")
    except (ConnectionResetError, BrokenPipeError):
        pass
    assert closed(s)
    gw.wait_for("SMTP line too long")


def test_port_rule_sees_the_port_connected_to(gateway):
    with ScriptedSmtpServer(b"220 x\r\n") as blocked, ScriptedSmtpServer(b"220 x\r\n") as allowed:
        gw = gateway(rules='<access userid="" loglevel="detail" action="reject">'
                           '<filterby name="Port" masktype="regexp">%d</filterby></access>'
                           '<access userid="" loglevel="detail" action="allow"/>' % blocked.port)
        for port, want in [(blocked.port, FILTER_REJECT), ("0%d" % blocked.port, FILTER_REJECT),
                           ("00%d" % blocked.port, FILTER_REJECT), ("0%d" % allowed.port, AUTH_OK)]:
            assert raw_login(gw, "127.0.0.1 %s$demo" % port, "demo-password")[2] == want, port
        assert blocked.received == [] and allowed.received == [b"EHLO ALG\r\n"]


def send_with_smtplib(gw, sink_port, password, message=MESSAGE, to=("b@example.org",),
                      server_login=None):
    with smtplib.SMTP("127.0.0.1", gw.port, timeout=IO_LIMIT) as c:
        c.login(gw.user_name(sink_port, server_login), password)  # AUTH LOGIN with initial response
        refused = c.sendmail("a@example.org", list(to), message)
        code, _ = c.docmd("QUIT")
        assert code == 221
        c.close()
    return refused


@pytest.mark.parametrize("server_login", [None, "bob"])
def test_mail_delivered_with_and_without_server_login(gateway, server_login):
    gw = gateway()
    with SmtpSink(users={b"bob": b"bob-secret"}) as sink:
        send_with_smtplib(gw, sink.port, "demo-password" + ("$bob-secret" if server_login else ""),
                          server_login=server_login)
        [m] = sink.wait_messages(1)
        assert m["content"] == MESSAGE
        assert m["to"] == ["b@example.org"]
        assert m["login"] == (b"bob" if server_login else None)

        # Wrong server credentials: the client sees the 48-byte reply, nothing is delivered.
        s, _, answer = raw_login(gw, gw.user_name(sink.port, "bob"), "demo-password$nope")
        assert answer == AUTH_FAILED and closed(s)
        gw.wait_for("Remote SMTP Server authentication failed")
        assert len(sink.messages) == 1


def raw_mail(f, s, lines):
    """Sends each command of `lines` and collects the replies."""
    out = []
    for line in lines:
        s.sendall(line)
        out.append(reply(f))
    return out


@pytest.mark.parametrize("greeting,answers,client_sees,server_gets", [
    # The server's refusal is not shown; the standard shutdown reply is.
    (b"554 go away\r\n", [], SHUTDOWN, []),
    (b"120 busy, try later\r\n", [], SHUTDOWN, []),
    (b"220 x\r\n", [(b"EHLO", b"500 what\r\n"), (b"HELO", b"500 what\r\n")], SHUTDOWN,
     [b"EHLO ALG\r\n", b"HELO ALG\r\n"]),
    # EHLO refused, HELO accepted; AUTH unknown: used as it is.
    (b"220 x\r\n", [(b"EHLO", b"502 no\r\n"), (b"AUTH", b"502 no AUTH\r\n")], AUTH_OK,
     [b"EHLO ALG\r\n", b"HELO ALG\r\n", b"AUTH LOGIN\r\n"]),
    # Replies of the bare code.
    (b"220\r\n", [(b"EHLO", b"250\r\n"), (b"AUTH", b"334\r\n"), (b"Ym9i", b"334\r\n"),
                  (b"c2Vj", b"235\r\n")], AUTH_OK,
     [b"EHLO ALG\r\n", b"AUTH LOGIN\r\n", b"Ym9i\r\n", b"c2VjcmV0\r\n"]),
])
def test_server_greeting_hello_and_login(gateway, greeting, answers, client_sees, server_gets):
    gw = gateway()
    server = ScriptedSmtpServer(greeting, answers)
    try:
        s, f, answer = raw_login(gw, gw.user_name(server.port, "bob"), "demo-password$secret")
        assert answer == client_sees
        if client_sees == AUTH_OK:
            replies = raw_mail(f, s, [b"MAIL FROM:<a@b>\r\n", b"RCPT TO:<c@d>\r\n", b"DATA\r\n",
                                      b"Subject: x\r\n\r\nbody\r\n.\r\n", b"QUIT\r\n"])
            assert replies[2] == b"354 go on\r\n" and replies[3] == b"250 queued\r\n"
            assert replies[4] == b"221 bye\r\n"
            assert server.received[len(server_gets):] == [
                b"MAIL FROM:<a@b>\r\n", b"RCPT TO:<c@d>\r\n", b"DATA\r\n", b"Subject: x\r\n",
                b"\r\n", b"body\r\n", b".\r\n", b"QUIT\r\n"]
        assert server.received[:len(server_gets)] == server_gets
        assert closed(s)
    finally:
        server.close()


LONG_LINE = b"250-" + b"y" * (60 << 10) + b"\r\n"


@pytest.mark.parametrize("answer,logged", [
    (b"250-x\r\n" * 1001 + b"250 x\r\n", "SMTP reply has too many lines"),
    (b"250 " + b"y" * (70 << 10) + b"\r\n", "SMTP line too long"),
    (LONG_LINE * 18 + b"250 x\r\n", "SMTP reply larger than 1 MiB"),
    (LONG_LINE * 17 + b"250 x\r\n", None),  # just under 1 MiB: relayed whole
], ids=["lines", "line", "bytes", "under-bytes"])
def test_server_replies_beyond_bounds_end_the_session(gateway, answer, logged):
    gw = gateway()
    with ScriptedSmtpServer(b"220 x\r\n", [(b"MAIL", answer)]) as server:
        s, f = logged_in(gw, server.port)
        s.sendall(b"MAIL FROM:<a@b>\r\n")
        if logged is None:
            assert f.read(len(answer)) == answer
            return
        assert closed(s)
        gw.wait_for(logged)


FILTERS = """
<replace userid="" loglevel="detail">
  <option name="Subject" masktype="regexp" from="secret" to="[filtered]"/>
  <option name="MAIL FROM" masktype="wild" from="@old.example" to="@new.example"/>
</replace>
<cut userid="" loglevel="detail">
  <option name="RCPT TO" masktype="wild" from="*@blocked.example*"/>
  <option name="X-Internal" masktype="wild" from="*"/>
  <option name="Subject" masktype="regexp" from="do not\\s+send"/>
</cut>"""


def test_replace_and_cut_rules(gateway):
    gw = gateway(process=FILTERS)
    first = (b"Subject: the secret plan\r\nX-Internal: host-7\r\n\tfolded part\r\n"
             b"To: b@example.org\r\n\r\nSubject: secret body line\r\nX-Internal: kept\r\n")
    # Python writes a non-ASCII subject as an encoded word.
    second = b"Subject: %s\r\n\r\nbody\r\n" % Header("Сводка secret", "utf-8").encode().encode()
    with SmtpSink() as sink:
        with smtplib.SMTP("127.0.0.1", gw.port, timeout=IO_LIMIT) as c:
            c.login(gw.user_name(sink.port), "demo-password")
            refused = c.sendmail("a@example.org", ["b@example.org", "x@blocked.example"], first)
            assert refused == {"x@blocked.example": (553, CUT_REPLY[4:-2])}
            c.sendmail("a@example.org", ["c@example.org"], second)
        one, two = sink.wait_messages(2)
    assert one["to"] == ["b@example.org"]
    assert one["content"] == (b"Subject: the [filtered] plan\r\nTo: b@example.org\r\n\r\n"
                              b"Subject: secret body line\r\nX-Internal: kept\r\n")
    subject, _, rest = two["content"].partition(b"\r\n")
    assert rest == b"\r\nbody\r\n" and subject.isascii()
    assert str(make_header(decode_header(subject[9:].decode()))) == "Сводка [filtered]"
    gw.wait_for("Cut option:1.1")
    gw.wait_for("Cut option:1.2")
    gw.wait_for("Replace option:1.1 (1)")


# The rules know MAIL FROM and RCPT TO however the client spaced and cased them, and a header
# field as a reader shows it: unfolded, without the stuffed dot, encoded words decoded. What they
# leave alone goes on as it came, a rewritten field as one line, a cut one with none of its lines.
ENVELOPE = [  # (command, its reply, what the server gets)
    (b"RCPT  TO:<x@blocked.example>\r\n", CUT_REPLY, b""),
    (b"rcpt to:<x@blocked.example>\r\n", CUT_REPLY, b""),
    (b"Rcpt\tTo :<x@blocked.example>\r\n", CUT_REPLY, b""),
    (b" RCPT TO:<x@blocked.example>\n", CUT_REPLY, b""),
    (b"RCPT  TO:<y@example.org>\r\n", b"250 OK\r\n", b"RCPT  TO:<y@example.org>\r\n"),
    (b"mail\tfrom: <a@old.example> SIZE=9\n", b"250 OK\r\n",
     b"mail\tfrom: <a@new.example> SIZE=9\r\n"),
    (b"DATA\r\n", b"354 go on\r\n", b"DATA\r\n"),
]
HEADERS = [  # (header lines, what the server gets)
    (b"Subject: the\r\n secret plan\r\n", b"Subject: the [filtered] plan\r\n"),
    (b"Subject: please do not\r\n\tsend\r\n", b""),
    (b"X-Internal: a\r\n b\r\n", b""),
    (b".Subject: stuffed secret\r\n", b"Subject: stuffed [filtered]\r\n"),
    (b"Subject: plain\r\n  folded\r\n", b"Subject: plain\r\n  folded\r\n"),
    (b"..Dotted: secret\r\n", b"..Dotted: secret\r\n"),
    (b"Subject: =?utf-8?b?dG9wIHNlY3JldCBwbGFu?=\r\n", b"Subject: top [filtered] plan\r\n"),
    (b"Subject: =?utf-8?q?sec?=\r\n =?UTF-8?Q?ret?=\r\n", b"Subject: [filtered]\r\n"),
    (b"Subject: =?utf-8?q?do_not_send?=\r\n", b""),
    (b"Subject: =?utf-8?q?=00do_not=09send?=\r\n", b""),
    (b"Subject: =?utf-8?q?caf=C3=A9?=\r\n", b"Subject: =?utf-8?q?caf=C3=A9?=\r\n"),
]


def test_envelope_and_header_spellings_meet_the_rules(gateway):
    gw = gateway(process=FILTERS)
    with ScriptedSmtpServer(b"220 x\r\n") as server:
        s, f = logged_in(gw, server.port)
        assert raw_mail(f, s, [c for c, _, _ in ENVELOPE]) == [r for _, r, _ in ENVELOPE]
        s.sendall(b"".join(h for h, _ in HEADERS) + b"\r\n.body secret\r\n.\r\n")
        assert reply(f) == b"250 queued\r\n"
        assert b"".join(server.received[1:]) == b"".join(
            [g for _, _, g in ENVELOPE] + [g for _, g in HEADERS] + [b"\r\n.body secret\r\n.\r\n"])


def test_swaks_login(gateway):
    gw = gateway()
    with SmtpSink(users={b"bob": b"bob-secret"}) as sink:
        run = subprocess.run(
            ["swaks", "--server", "127.0.0.1", "--port", str(gw.port), "--auth", "LOGIN",
             "--auth-user", gw.user_name(sink.port, "bob"),
             "--auth-password", "demo-password$bob-secret",
             "--from", "a@example.org", "--to", "b@example.org",
             "--header", "Subject: from swaks", "--body", "hello\n.dot\n"],
            capture_output=True, timeout=30)
        assert run.returncode == 0, run.stdout.decode(errors="replace")
        [m] = sink.wait_messages(1)
    assert m["login"] == b"bob"
    assert b"Subject: from swaks\r\n" in m["content"]
    assert b"\r\n\r\nhello\r\n.dot\r\n" in m["content"]


def test_line_ends_cannot_carry_commands_past_the_rules(gateway):
    gw = gateway(process=FILTERS)
    server = ScriptedSmtpServer(b"220 x\r\n")
    try:
        s, f, answer = raw_login(gw, gw.user_name(server.port), "demo-password")
        assert answer == AUTH_OK
        replies = raw_mail(f, s, [b"MAIL FROM:<a@b>\r\n", b"RCPT TO:<c@d>\n", b"DATA\r\n"])
        assert replies == [b"250 OK\r\n", b"250 OK\r\n", b"354 go on\r\n"]
        # A bare LF dot is content for the gateway as for a strict server: what follows stays
        # in the message, and the server gets the dot stuffed.
        s.sendall(b"Subject : a secret\r\n\r\nbody\n.\nRCPT TO:<x@blocked.example>\r\n.\r\n")
        assert reply(f) == b"250 queued\r\n"
        s.sendall(b"NOOP\rRCPT TO:<x@blocked.example>\r\n")
        assert closed(s)
        gw.wait_for("Bare CR or NUL in a client line")
        assert server.received[-8:] == [b"RCPT TO:<c@d>\r\n", b"DATA\r\n",
                                        b"Subject : a [filtered]\r\n", b"\r\n", b"body\r\n",
                                        b"..\r\n", b"RCPT TO:<x@blocked.example>\r\n", b".\r\n"]
    finally:
        server.close()


def test_bdat_is_answered_by_the_gateway(gateway):
    # CHUNKING is not offered: BDAT, in any spelling, gets its answer at once instead of
    # leaving a server that has the extension waiting for a chunk, and what follows is read
    # as commands by the gateway and the server alike.
    gw = gateway()
    server = ScriptedSmtpServer(b"220 x\r\n", [(b"BDAT ", b"250 chunk taken\r\n")])
    try:
        s, f = logged_in(gw, server.port)
        for command in [b"BDAT 15 LAST\r\n", b"bdat\t15\r\n", b"Bdat\r\n"]:
            assert raw_mail(f, s, [command, b"RCPT TO:<c@d>\r\n"]) == [
                b"502 5.5.1 BDAT not implemented\r\n", b"250 OK\r\n"]
        assert raw_mail(f, s, [b"BDATA\r\n"]) == [b"250 OK\r\n"]  # another verb
        assert not any(line.upper().startswith(b"BDAT ") for line in server.received)
        assert server.received[-4:] == [b"RCPT TO:<c@d>\r\n"] * 3 + [b"BDATA\r\n"]
    finally:
        server.close()


FORGED = b"MAIL FROM:<ceo@corp.example>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nforged\r\n"
SMUGGLED = [  # (DATA line, message after it, content the server stores)
    (b"DATA\r\n", b"body\n.\n" + FORGED, b"body\r\n.\r\n" + FORGED),
    (b"DATA\r\n", b"body\n.\r\n" + FORGED, b"body\r\n.\r\n" + FORGED),
    (b"DATA\r\n", b"body\r\n.\n" + FORGED, b"body\r\n.\r\n" + FORGED),
    (b"DATA\n", b".\r\n" + FORGED, b".\r\n" + FORGED),
]


def test_only_crlf_dot_crlf_ends_a_message(gateway):
    # Each "end" a lenient reader would take, followed by a forged second message: the server
    # stores one message per DATA, from the real sender, holding the rest as content.
    gw = gateway()
    with SmtpSink() as sink:
        s, f = logged_in(gw, sink.port)
        for data, sent, _ in SMUGGLED:
            replies = raw_mail(f, s, [b"MAIL FROM:<a@example.org>\r\n",
                                      b"RCPT TO:<b@example.org>\r\n", data, sent + b"end\r\n.\r\n"])
            assert [r[:3] for r in replies] == [b"250", b"250", b"354", b"250"]
        assert [(m["from"], m["content"]) for m in sink.messages] == [
            ("a@example.org", stored + b"end\r\n") for _, _, stored in SMUGGLED]
