"""What an operator reads: one summary line per session of every gateway, and the replies and
log lines of a connect that fails."""

import ftplib
import re
import smtplib
import socket

import algtest
import test_ftp
import test_http
import test_socks
from algtest import recv_exact

SUMMARY = r"\((\d+)\) Session summary: user (\S+), destination (\S+), connected to (\S+), " \
          r"(.*), bytes to server (\d+), to client (\d+), (\d+\.\d{3}) s$"


def summary(gateway, text, start=0):
    """The fields of the first summary line holding `text` logged after line `start`."""
    i = gateway.wait_for(text, start)
    m = re.search(SUMMARY, gateway.lines()[i])
    assert m, gateway.lines()[i]
    return m.groups()


def socks_tunnel(launch, tmp_path):
    # A rule on a misspelt property never matches: the gateway says so when it starts.
    typo = '<access userid="" loglevel="event" action="reject">' \
           '<filterby name="host" masktype="wild">*</filterby></access>'
    g = launch(test_socks.Gateway, typo + test_socks.ALLOW_ALL)
    g.wait_for('Access rule filters on a property the gateway does not set: the filter never '
               'matches (access rule 1, filter 1): "host": not one of Host, IP, Port (did you '
               'mean "Host"?)')
    target = algtest.EchoServer()
    s = test_socks.socks5_tunnel(g, target.port)
    s.sendall(b"x" * 1000)
    assert recv_exact(s, 1000) == b"x" * 1000
    s.close()
    # Method choice, login and CONNECT replies (2 + 2 + 10 bytes) and the echo.
    return g, ("demo", "127.0.0.1:%d" % target.port, "127.0.0.1:%d" % target.port,
               "SOCKS5 CONNECT", 1000, 1014), target.close


def http_request(launch, tmp_path):
    g = launch(test_http.Gateway)
    o = algtest.HttpOrigin({"/a?b=1": test_http.reply("200 OK", ["Content-Length: 2"], b"ok")})
    got = g.exchange(test_http.get(o.port, b"/a?b=1"))
    assert got.endswith(b"ok")
    url = "http://127.0.0.1:%d/a?b=1" % o.port
    return g, ("demo", "127.0.0.1:%d" % o.port, "127.0.0.1:%d" % o.port, "GET %s 200" % url,
               len(o.requests[0]), len(got)), o.close


def ftp_transfer(launch, tmp_path):
    g = launch(test_ftp.Gateway)
    root = tmp_path / "ftproot"
    root.mkdir()
    (root / "f 1.bin").write_bytes(b"y" * 100000)
    server = algtest.FtpServer(root)
    f = g.ftp(server.port)
    assert len(b"".join(iter_retr(f, "f 1.bin"))) == 100000
    f.sock.sendall(b"QUIT\r\n")  # the gateway closes without passing on the reply
    f.close()
    return g, ("demo", "127.0.0.1:%d" % server.port, "127.0.0.1:%d" % server.port,
               "RETR f 1.bin 226", None, None), server.close


def iter_retr(f, name):
    parts = []
    f.retrbinary("RETR " + name, parts.append)
    return parts


def smtp_message(launch, tmp_path):
    g = launch(algtest.SmtpGateway)
    sink = algtest.SmtpSink()
    with smtplib.SMTP("127.0.0.1", g.port, timeout=10) as c:
        c.login(g.user_name(sink.port, None), "demo-password")
        c.sendmail("a@example.org", ["b@example.org", "c@example.org"], b"Subject: s\r\n\r\nx\r\n")
        c.quit()
    sink.wait_messages(1)
    return g, ("demo", "127.0.0.1:%d" % sink.port, "127.0.0.1:%d" % sink.port,
               "MAIL FROM:<a@example.org> RCPT 2 250", None, None), sink.close


def test_each_gateway_logs_one_summary_per_session(launch, tmp_path):
    # (client run, then: user, destination, connected to, what was done, bytes to server and to
    # client when they are known exactly)
    for run in (socks_tunnel, http_request, ftp_transfer, smtp_message):
        g, want, cleanup = run(launch, tmp_path)
        try:
            number, user, dest, connected, done, to_server, to_client, _ = summary(
                g, "connected to %s, %s" % want[2:4])
            assert (user, dest, connected) == want[:3], g.output()
            assert done.startswith(want[3]), (run.__name__, done)
            if want[4] is not None:
                assert (int(to_server), int(to_client)) == want[4:], g.output()
            elif run is ftp_transfer:
                assert 100000 < int(to_client) < 102000, to_client  # the file and the replies
            assert int(to_server) > 0 and int(to_client) > 0
            # One line per session, before its close.
            assert g.output().count("(%s) Session summary" % number) == 1
            assert g.find("(%s) Session summary" % number) < g.wait_for(
                "(%s) Close session" % number)
        finally:
            cleanup()


def test_http_connect_failures_name_host_and_cause(launch):
    g = launch(test_http.Gateway, timeout=2)
    # A listener that takes no connection beyond its full backlog leaves a connect unanswered.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(0)
    port = silent.getsockname()[1]
    fillers = []
    try:
        for _ in range(3):
            f = socket.socket()
            f.setblocking(False)
            f.connect_ex(("127.0.0.1", port))
            fillers.append(f)
        start = g.count()
        assert g.exchange(test_http.get(port, b"/")) == test_http.error_page(
            b"504 Gateway Timeout", b"127.0.0.1", b"Connection timed out")
        g.wait_for("connect failed [127.0.0.1:%d] : Connection timed out" % port, start)
        fields = summary(g, "/ 504, bytes", start)
        assert fields[1:5] == ("demo", "127.0.0.1:%d" % port, "-",
                               "GET http://127.0.0.1:%d/ 504" % port), fields
    finally:
        for f in fillers:
            f.close()
        silent.close()
    # A CONNECT to a closed port: the same page with 502, and the tunnel never opens.
    closed = algtest.free_port()
    start = g.count()
    request = b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % closed + test_http.AUTH + b"\r\n"
    assert g.exchange(request) == test_http.error_page(
        b"502 Bad Gateway", b"127.0.0.1", b"Connection refused")
    line = g.lines()[g.wait_for("connect failed", start)]
    assert re.match(r"!\(\d+\) connect failed \[127\.0\.0\.1:%d\] : Connection refused$" % closed,
                    line), line
