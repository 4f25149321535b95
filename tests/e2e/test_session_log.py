"""What an operator reads: one summary line per session of every gateway, and the replies and
log lines of a connect that fails."""

import re
import smtplib
import socket

import algtest
import test_ftp
import test_http
import test_socks
from algtest import recv_exact

SUMMARY = r"\((\d+)\) Session summary: user demo, destination 127\.0\.0\.1:%d, connected to " \
          r"127\.0\.0\.1:%d, %s.*, bytes to server (\d+), to client (\d+), \d+\.\d{3} s$"


def socks_tunnel(launch, tmp_path):
    # A rule on a misspelt property never matches: the gateway says so when it starts.
    typo = '<access loglevel="event" action="reject"><filterby name="host" masktype="wild">*' \
           '</filterby></access>'
    g = launch(test_socks.Gateway, typo + test_socks.ALLOW_ALL)
    g.wait_for('Access rule filters on a property the gateway does not set: the filter never '
               'matches (access rule 1, filter 1): "host": not one of Host, IP, Port (did you '
               'mean "Host"?)')
    t = algtest.EchoServer()
    s = test_socks.socks5_tunnel(g, t.port)
    s.sendall(b"x" * 1000)
    assert recv_exact(s, 1000) == b"x" * 1000
    s.close()
    # Method choice, login and CONNECT replies (2 + 2 + 10 bytes) and the echo.
    return g, t.port, "SOCKS5 CONNECT", (1000, 1014), t.close


def http_request(launch, tmp_path):
    g = launch(test_http.Gateway)
    o = algtest.HttpOrigin({"/a?b=1": test_http.reply("200 OK", ["Content-Length: 2"], b"ok")})
    got = g.exchange(test_http.get(o.port, b"/a?b=1"))
    assert got.endswith(b"ok")
    done = "GET http://127.0.0.1:%d/a?b=1 200" % o.port
    return g, o.port, done, (len(o.requests[0]), len(got)), o.close


def ftp_transfer(launch, tmp_path):
    g = launch(test_ftp.Gateway)
    (tmp_path / "f 1.bin").write_bytes(b"y" * 100000)
    server = algtest.FtpServer(tmp_path)
    f = g.ftp(server.port)
    parts = []
    f.retrbinary("RETR f 1.bin", parts.append)
    assert len(b"".join(parts)) == 100000
    f.sock.sendall(b"QUIT\r\n")  # the gateway closes without passing on the reply
    f.close()
    return g, server.port, "RETR f 1.bin 226", None, server.close


def smtp_message(launch, tmp_path):
    g = launch(algtest.SmtpGateway)
    sink = algtest.SmtpSink()
    with smtplib.SMTP("127.0.0.1", g.port, timeout=10) as c:
        c.login(g.user_name(sink.port, None), "demo-password")
        c.sendmail("a@example.org", ["b@example.org", "c@example.org"], b"Subject: s\r\n\r\nx\r\n")
    sink.wait_messages(1)
    return g, sink.port, "MAIL FROM:<a@example.org> RCPT 2 250", None, sink.close


def test_each_gateway_logs_one_summary_per_session(launch, tmp_path):
    # (client run: server port, what was done, bytes to server and to client when known exactly)
    for run in (socks_tunnel, http_request, ftp_transfer, smtp_message):
        g, port, done, sizes, cleanup = run(launch, tmp_path)
        try:
            i = g.wait_for("connected to 127.0.0.1:%d, %s" % (port, done))
            line = g.lines()[i]
            m = re.search(SUMMARY % (port, port, re.escape(done)), line)
            assert m, line
            number, to_server, to_client = m.group(1), int(m.group(2)), int(m.group(3))
            assert (to_server, to_client) == (sizes or (to_server, to_client)), line
            assert to_server > 0 and to_client > (100000 if run is ftp_transfer else 0), line
            # One line per session, before its close.
            assert g.output().count("(%s) Session summary" % number) == 1
            assert i < g.wait_for("(%s) Close session" % number)
        finally:
            cleanup()


def test_http_connect_failures_name_host_and_cause(launch):
    g = launch(test_http.Gateway, timeout=2)
    # A listener that takes no connection beyond its full backlog leaves a connect unanswered.
    silent = socket.create_server(("127.0.0.1", 0), backlog=0)
    port = silent.getsockname()[1]
    fillers = [socket.socket() for _ in range(3)]
    try:
        for f in fillers:
            f.setblocking(False)
            f.connect_ex(("127.0.0.1", port))
        start = g.count()
        assert g.exchange(test_http.get(port, b"/")) == test_http.error_page(
            b"504 Gateway Timeout", b"127.0.0.1", b"Connection timed out")
        g.wait_for("connect failed [127.0.0.1:%d] : Connection timed out" % port, start)
        g.wait_for("destination 127.0.0.1:%d, connected to -, GET http://127.0.0.1:%d/ 504, "
                   % (port, port), start)
    finally:
        for f in fillers + [silent]:
            f.close()
    # A CONNECT to a closed port: the same page with 502, and the tunnel never opens.
    closed = algtest.free_port()
    start = g.count()
    request = b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % closed + test_http.AUTH + b"\r\n"
    assert g.exchange(request) == test_http.error_page(
        b"502 Bad Gateway", b"127.0.0.1", b"Connection refused")
    g.wait_for("connect failed [127.0.0.1:%d] : Connection refused" % closed, start)
