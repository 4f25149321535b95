"""Bad input from clients and servers, gateway by gateway: each row of a gateway's failure table
sent over raw sockets and answered as the table says (the exact reply or none, the connection
closed or kept, the line logged)."""

import socket
import struct

import pytest

import algtest
import test_ftp
import test_http
import test_smtp
import test_socks
from algtest import free_port

IO = 10
SHUT = None  # a step that half-closes the client's side instead of sending


def check_rows(gw, rows):
    """rows: (label, steps, closes, logged). Each step is (bytes to send or SHUT, the reply
    expected to begin with, how many bytes the reply has when more than that); `closes` tells
    whether the gateway must then close, `logged` a text that must be logged (or None)."""
    for label, steps, closes, logged in rows:
        start = gw.count()
        with algtest.connect(gw.port, IO) as s:
            for step in steps:
                send, want = step[0], step[1]
                size = step[2] if len(step) > 2 else len(want)
                if send is SHUT:
                    s.shutdown(socket.SHUT_WR)
                elif send:
                    try:
                        s.sendall(send)
                    except (BrokenPipeError, ConnectionResetError):
                        pass  # refused before the rest arrived
                got = algtest.recv_upto(s, size)
                assert got[:len(want)] == want and len(got) == size, (label, got[:200])
            if closes:
                assert algtest.recv_upto(s, 1) == b"", label
            else:
                s.settimeout(0.3)
                with pytest.raises(socket.timeout):
                    s.recv(1)
        if logged:
            gw.wait_for(logged, start)


def test_socks_failure_table(launch):
    gw = launch(test_socks.Gateway, test_socks.ALLOW_ALL)
    echo = algtest.SelectEcho()
    closed_port = free_port()
    hello, login = (b"\x05\x01\x02", b"\x05\x02"), (b"\x01\x04demo\x0ddemo-password", b"\x01\x00")
    port = struct.pack(">H", echo.port)
    try:
        check_rows(gw, [
            ("version 6", [(b"\x06\x01\x00", b"")], True, None),
            ("no password method", [(b"\x05\x01\x00", b"\x05\xff")], True, None),
            ("sub-negotiation version 2", [hello, (b"\x02\x04demo\x01x", b"")], True, None),
            ("wrong password", [hello, (b"\x01\x04demo\x05wrong", b"\x01\x03")], True,
             "Authentication failed: demo"),
            ("RSV not 0", [hello, login, (b"\x05\x01\x01\x01\x7f\0\0\x01" + port, b"")], True,
             "Bad request format"),
            ("IPv6 address type", [hello, login, (b"\x05\x01\x00\x04" + bytes(16) + port, b"")],
             True, "Bad address type or value"),
            ("host not resolvable", [hello, login, (b"\x05\x01\x00\x03\x14no-such-host.invalid"
                                                    + port, b"")], True,
             "Bad address type or value: no-such-host.invalid:"),
            ("SOCKS 4a host not resolvable", [(b"\x04\x01" + port + b"\0\0\0\x01\0"
                                               b"no-such-host.invalid\0", b"")], True,
             "Bad address type or value"),
            ("UDP ASSOCIATE", [hello, login, (b"\x05\x03\x00\x01\x7f\0\0\x01" + port,
                                              b"\x05\x07\x00\x01", 10)], True, None),
            ("SOCKS 4 command 3", [(b"\x04\x03" + port + b"\x7f\0\0\x01\0", b"\x00\x5b", 8)],
             True, None),
            ("unreachable", [hello, login, (b"\x05\x01\x00\x01\x7f\0\0\x01" +
                                            struct.pack(">H", closed_port), b"\x05\x04", 10)],
             True, "connect failed"),
            ("SOCKS 4 unreachable", [(b"\x04\x01" + struct.pack(">H", closed_port) +
                                      b"\x7f\0\0\x01\0", b"\x00\x5b", 8)], True,
             "connect failed"),
            ("end of stream in the handshake", [(b"\x05\x01", b""), (SHUT, b"")], True,
             "Read end of file"),
            ("whole handshake", [hello, login, (b"\x05\x01\x00\x01\x7f\0\0\x01" + port,
                                                b"\x05\x00\x00\x01", 10), (b"ok", b"ok")],
             False, None),
        ])
    finally:
        echo.close()


def test_http_failure_table(launch):
    rules = """<access userid="" loglevel="event" action="reject">
  <filterby name="URL" masktype="wild">*/refuse*</filterby></access>
<access userid="" loglevel="event" action="drop">
  <filterby name="URL" masktype="wild">*/drop*</filterby></access>""" + test_http.ALLOW_ALL
    process = """<cut userid="" loglevel="event"><option name="X-Forbidden" masktype="wild"
  from="*"/><body masktype="wild" from="*secret*"/></cut>"""
    gw = launch(test_http.Gateway, rules=rules, process=process)

    def respond(data):
        return lambda conn, request: conn.sendall(data)

    ok = test_http.reply("200 OK", ["Content-Length: 2"], b"ok")
    origin = algtest.HttpOrigin({
        "/": ok,
        "/interim": b"HTTP/1.1 101 Switching Protocols\r\n\r\n",
        "/cut": respond(test_http.reply("200 OK", ["Content-Length: 100"], b"ten bytes.")),
        "/unchunked": respond(test_http.reply("200 OK", ["Transfer-Encoding: chunked"],
                                              b"5\r\nhello\r\n")),
        "/long": respond(b"HTTP/1.1 200 OK\r\nX: " + b"a" * (70 << 10) + b"\r\n\r\n"),
        "/secret": test_http.reply("200 OK", ["Content-Length: 6"], b"secret"),
        "/html": test_http.reply("200 OK", ["Content-Type: text/html"], b"<p>x</p>"),
    })
    p = origin.port
    closed = free_port()
    get = lambda path, **kw: test_http.get(p, path, **kw)  # noqa: E731
    bad, auth = test_http.BAD_REQUEST, test_http.AUTH_REQUIRED
    try:
        check_rows(gw, [
            ("URI without a path", [(b"GET http://127.0.0.1:%d HTTP/1.1\r\n" % p +
                                     test_http.AUTH + b"\r\n", bad)], True,
             "'/' Expected at the end of host name"),
            ("host not resolvable", [(get(b"/").replace(b"127.0.0.1:%d" % p,
                                                        b"no-such-host.invalid"),
                                      test_http.UNRESOLVED)], True,
             "No connection info in request"),
            ("no credentials", [(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % p, auth)], True,
             None),
            ("wrong credentials", [(get(b"/").replace(test_http.AUTH, b"Proxy-Authorization: "
                                                      b"Basic ZGVtbzp3cm9uZw==\r\n"), auth)],
             True, "Authentication failed: demo"),
            ("access reject", [(get(b"/refuse"), test_http.REJECTED)], True, None),
            ("access drop", [(get(b"/drop"), b"")], True, None),
            ("request header cut", [(get(b"/", extra=b"X-Forbidden: 1\r\n"),
                                     test_http.REJECTED)], True, "Cut option"),
            ("response body cut", [(get(b"/secret"), test_http.REJECTED)], True, None),
            ("no charset for text/html", [(get(b"/html"), b"")], True,
             "Unknown page charset. Rejected"),
            ("other transfer coding", [(get(b"/", method=b"POST",
                                            extra=b"Transfer-Encoding: gzip\r\n"), bad)], True,
             "Unsupported transfer coding in request"),
            ("header line over 64 KiB", [(get(b"/", extra=b"X: " + b"a" * (64 << 10) +
                                              b"\r\n"), bad)], True,
             "Request exceeds the limits of the gateway"),
            ("101 header fields", [(get(b"/", extra=b"".join(b"X-%d: v\r\n" % i
                                                             for i in range(101))), bad)],
             True, None),
            ("unreachable", [(test_http.get(closed, b"/"), test_http.error_page(
                b"502 Bad Gateway", b"127.0.0.1", b"Connection refused"))], True,
             "connect failed [127.0.0.1:%d] : Connection refused" % closed),
            ("101 response", [(get(b"/interim"), b"")], True, "1xx status code recived"),
            ("body shorter than announced", [(get(b"/cut"), b"")], True,
             "Response cut short by the server"),
            ("last chunk missing", [(get(b"/unchunked"), b"")], True,
             "Response cut short by the server"),
            ("response line over 64 KiB", [(get(b"/long"), b"")], True,
             "Response exceeds the limits of the gateway"),
        ])
        # A HEAD response: the announced length, no body, and no cut-short refusal.
        origin.routes["/head"] = respond(b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n")
        reply = gw.exchange(get(b"/head", method=b"HEAD"))
        assert reply.startswith(b"HTTP/1.1 200 OK\r\n") and reply.endswith(b"\r\n\r\n"), reply
    finally:
        origin.close()


def test_ftp_failure_table(launch, tmp_path):
    gw = launch(test_ftp.Gateway)
    hello = (b"", test_ftp.HELLO)

    def login(port):
        return [hello, (b"USER 127.0.0.1 %d$demo$bob\r\n" % port, test_ftp.NEED_PASSWORD),
                (b"PASS demo-password$bob-pw\r\n",)]

    servers = {
        "greeting": test_ftp.scripted(b"421 busy\r\n", {}),
        "user": test_ftp.scripted(b"220 hi\r\n", {"USER": b"500 no\r\n"}),
        "pass": test_ftp.scripted(b"220 hi\r\n", {"USER": b"331 pw\r\n", "PASS": b"530 no\r\n"}),
        "garbage": test_ftp.scripted(b"220 hi\r\n", {"USER": b"331 pw\r\n", "PASS": b"230 in\r\n",
                                                     "NOOP": b"what\r\n"}),
    }
    try:
        def server_rows(name, tail, closes, logged):
            steps = login(servers[name].port)
            steps[-1] = steps[-1] + tail[0]
            return (name, steps + tail[1:], closes, logged)

        closed = free_port()
        check_rows(gw, [
            ("QUIT in the login", [hello, (b"QUIT\r\n", b"")], True, None),
            ("malformed USER", [hello, (b"USER nobody\r\n", test_ftp.NEED_PASSWORD),
                                (b"PASS x\r\n", test_ftp.BAD_LOGIN)], False,
             "Incorrect login/password format"),
            ("three wrong passwords", [hello] + [
                (b"USER 127.0.0.1 21$demo$bob\r\n", test_ftp.NEED_PASSWORD),
                (b"PASS wrong$x\r\n", test_ftp.AUTH_FAIL)] * 3, True,
             "Authentication failed: demo"),
            ("line over 64 KiB", [hello, (b"USER " + b"a" * (70 << 10) + b"\r\n", b"")], True,
             "FTP line longer than 64 KiB"),
            ("server unreachable", [hello, (b"USER 127.0.0.1 %d$demo$bob\r\n" % closed,
                                            test_ftp.NEED_PASSWORD),
                                    (b"PASS demo-password$x\r\n", b"")], True,
             "connect failed [127.0.0.1:%d] : Connection refused" % closed),
            ("server not resolvable", [hello, (b"USER no-such-host.invalid$demo$bob\r\n",
                                               test_ftp.NEED_PASSWORD),
                                       (b"PASS demo-password$x\r\n", b"")], True,
             "connect failed [no-such-host.invalid:21] : host not found"),
            server_rows("greeting", [(b"421 busy\r\n",)], True, None),
            server_rows("user", [(b"221 Error on remote FTP server\r\n",)], True, None),
            server_rows("pass", [(b"530" + test_ftp.SERVER_LOGIN_FAILED,)], False, None),
            server_rows("garbage", [(b"230 in\r\n",), (b"NOOP\r\n", b"")], True,
                        "Incorrect code in response from server"),
        ])
    finally:
        for s in servers.values():
            s.close()


def test_smtp_failure_table(launch):
    gw = launch(algtest.SmtpGateway)
    b64 = test_smtp.b64
    start = [(b"", test_smtp.READY), (b"EHLO me\r\nAUTH LOGIN\r\n",
                                      test_smtp.HELLO + test_smtp.LOGIN_PROMPT)]

    def login(user, password, answer):
        return start + [(b64(user), test_smtp.PASSWORD_PROMPT), (b64(password), answer)]

    servers = {
        "greeting": algtest.ScriptedSmtpServer(b"554 go away\r\n"),
        "hello": algtest.ScriptedSmtpServer(b"220 hi\r\n", [(b"EHLO", b"500 no\r\n"),
                                                            (b"HELO", b"500 no\r\n")]),
        "auth": algtest.ScriptedSmtpServer(b"220 hi\r\n", [(b"AUTH", b"334 VXNlcm5hbWU6\r\n"),
                                                           (b"Ym9i", b"535 no\r\n")]),
    }
    port = {k: s.port for k, s in servers.items()}
    shutdown, failed = test_smtp.SHUTDOWN, test_smtp.AUTH_FAILED
    try:
        closed = free_port()
        check_rows(gw, [
            ("QUIT in the login", [start[0], (b"QUIT\r\n", b"")], True,
             "Incorrect login/password format"),
            ("ten wrong commands", [start[0]] + [(b"NOOP\r\n", test_smtp.WAIT_AUTH)] * 10, True,
             None),
            ("not base64", start + [(b"!!!\r\n", test_smtp.PASSWORD_PROMPT),
                                    (b64("demo-password"), b"")], True,
             "Incorrect login/password format"),
            ("user without $", login("demo", "demo-password", b""), True, None),
            ("wrong proxy password", login("127.0.0.1 25$demo", "wrong", failed), True,
             "Authentication failed: demo"),
            ("line over 64 KiB", start[:1] + [(b"EHLO " + b"x" * (70 << 10) + b"\r\n", b"")],
             True, "SMTP line too long"),
            ("server unreachable", login("127.0.0.1 %d$demo" % free_port(), "demo-password",
                                         b""), True, "connect failed"),
            ("greeting not 220", login("127.0.0.1 %d$demo" % port["greeting"],
                                       "demo-password", shutdown), True, "Server not ready"),
            ("no EHLO nor HELO", login("127.0.0.1 %d$demo" % port["hello"], "demo-password",
                                       shutdown), True, "Server don't support EHLO & HELO"),
            ("server refuses credentials", login("127.0.0.1 %d$demo$bob" % port["auth"],
                                                 "demo-password$pw", failed), True,
             "Remote SMTP Server authentication failed"),
        ])
    finally:
        for s in servers.values():
            s.close()
