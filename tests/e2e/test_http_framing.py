"""http-gateway end to end: what reaches the server is what the rules saw (request framing, the
properties the rules read), refusals that reach a client still uploading, and the memory a
session may hold."""

import gzip
import os
import threading

import algtest
from test_http import (ALLOW_ALL, AUTH, AUTH_REQUIRED, BAD_REQUEST, IO_LIMIT, REJECTED, error_page,
                       get, gateway, origin, reply)  # noqa: F401 (fixtures)

CUT = """<cut userid="" loglevel="event">
  <option name="X-Forbidden" masktype="wild" from="*"/>
  <option name="secret" masktype="wild" from="*"/>
  <body masktype="wild" from="*secret*"/></cut>
<replace userid="" loglevel="event"><option name="Content-Length" masktype="wild" from="*"
  to="1"/></replace>"""


def chunked(*pieces):
    return b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"


def check_table(g, o, rows):
    """rows: (name, request, exact reply, exact request the server received or None)."""
    for name, request, expected, forwarded in rows:
        before = len(o.requests)
        assert g.exchange(request) == expected, name
        if forwarded is None:
            assert len(o.requests) == before, (name, o.requests[before:])
        else:
            assert o.requests[before:] == [forwarded], name


def test_request_heads_the_server_could_read_otherwise(gateway, origin):
    o = origin({"/": reply("200 OK", ["Content-Length: 2"], b"ok")})
    p = o.port
    rules = ('<access userid="" loglevel="event" action="reject"><filterby name="METHOD" '
             'masktype="wild">POST</filterby></access>' + ALLOW_ALL)
    g = gateway(rules=rules, process=CUT)
    line = b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n" % p
    put = line.replace(b"GET", b"PUT")

    def sent(fields, body):
        return (b"PUT / HTTP/1.1\r\n%sConnection: close\r\nHost: 127.0.0.1:%d\r\n\r\n%s" %
                (fields, p, body))

    ok = b"HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok"
    smuggled = b"3\r\nsec\r\n3\r\nret\r\n0\r\n\r\n"
    end = AUTH + b"\r\n"
    refused = [  # (name, head before the credentials, body): a 400, and nothing passed on
        ("two chunked codings", put + b"Transfer-Encoding: chunked\r\n" * 2, chunked(smuggled)),
        ("coding list", put + b"Transfer-Encoding: gzip, chunked\r\n", b""),
        ("differing lengths", put + b"Content-Length: 3\r\nContent-Length: 4\r\n", b"abcd"),
        ("signed length", put + b"Content-Length: +3\r\n", b"abc"),
        ("length with a tail", put + b"Content-Length: 3x\r\n", b"abc"),
        ("bare CR in a field line", line + b"X-A: 1\rX-Forbidden: yes\r\n", b""),
        ("folded field line", line + b"Cookie: a\r\n secret: 1\r\n", b""),
        ("blank before the colon", line + b"X-Forbidden : yes\r\n", b""),
        ("line without a colon", line + b"X-Forbidden\r\n", b""),
        ("CR LF in the target",
         b"GET http://127.0.0.1:%d/a\r\nX-Forbidden: yes HTTP/1.1\r\n" % p, b""),
        ("control in the target", b"GET http://127.0.0.1:%d/a\x01b HTTP/1.1\r\n" % p, b""),
        ("method not a token", line.replace(b"GET", b"G(T"), b""),
    ]
    check_table(g, o, [(name, head + end + body, BAD_REQUEST, None)
                       for name, head, body in refused] + [
        ("one chunked coding, decoded once", put + b"Transfer-Encoding: chunked\r\n" + end +
         chunked(b"sec", b"ret"), REJECTED, None),
        ("chunked body passed as one length", put + b"transfer-encoding: CHUNKED \r\n" +
         b"Content-Length: 99\r\n" + end + chunked(b"ab", b"c"), ok,
         sent(b"Content-length: 3\r\n", b"abc")),
        ("equal lengths become one", put + b"Content-Length: 3\r\ncontent-length: 003\r\n" +
         end + b"abc", ok, sent(b"Content-Length: 3\r\n", b"abc")),
        ("bare LF before the method", b"\r\n\n" + line.replace(b"GET", b"POST") + end,
         REJECTED, None),
        ("bare LF line ends", line.replace(b"\r\n", b"\n") + AUTH.replace(b"\r\n", b"\n") +
         b"X: y\n\n", ok, b"GET / HTTP/1.1\r\nX: y\r\nConnection: close\r\n"
         b"Host: 127.0.0.1:%d\r\n\r\n" % p),
    ])


def test_properties_the_rules_see(gateway, origin):
    o = origin({"/": reply("200 OK", ["Content-Length: 2"], b"ok")})
    p = o.port
    g = gateway(rules='<access userid="" loglevel="event" action="reject"><filterby name="Port" '
                'masktype="wild">%d</filterby></access>' % p + ALLOW_ALL)
    forms = (b"GET http://%s:%s/ HTTP/1.1\r\n", b"GET / HTTP/1.1\r\nHost: %s:%s\r\n",
             b"CONNECT %s:%s HTTP/1.1\r\n")
    ports = [(b"0%d" % p, REJECTED), (b"00%d" % p, REJECTED), (b"+%d" % p, BAD_REQUEST),
             (b"%d#" % p, BAD_REQUEST), (b" %d" % p, BAD_REQUEST), (b"0", BAD_REQUEST),
             (b"65536", BAD_REQUEST), (b"%d" % (p + 65536), BAD_REQUEST)]
    hosts = [(host, b"%d" % p, error_page(b"400 Bad Request", host, b"host not found"))
             for host in (b"127.1", b"2130706433", b"0x7f.0.0.1", b"0177.0.0.1", b"127.0.0.01")]
    check_table(g, o, [(form % (host, port), form % (host, port) + AUTH + b"\r\n", expected, None)
                       for form in forms for host, port, expected in
                       [(b"127.0.0.1", port, expected) for port, expected in ports] + hosts])
    start = g.count()
    assert g.exchange(b"GET http://127.0.0.1:+%d/ HTTP/1.1\r\n" % p + AUTH + b"\r\n")
    g.wait_for("Invalid port in request", start)
    # A name and a port the rule does not name pass.
    other = origin({"/": reply("200 OK", ["Content-Length: 2"], b"ok")})
    assert g.exchange(b"GET http://localhost:0%d/ HTTP/1.1\r\n" % other.port + AUTH +
                      b"\r\n").endswith(b"\r\n\r\nok")


def test_responses_passed_whole_and_unharmed(gateway, origin):
    members = gzip.compress(b"first member " * 80) + gzip.compress(b"second member " * 80)
    cut = gzip.compress(os.urandom(3000))[:-20]
    png = b"\x89PNG\r\n\x1a\n\x00\x00ab\xff\xfe" + bytes(range(256))
    download = os.urandom(100000) + b"ab" + os.urandom(100004)
    text = "a text with ab in it, and ünïcode".encode()

    def plain(body, kind="application/octet-stream", length="Content-Length"):
        return reply("200 OK", ["Content-Type: " + kind, "%s: %d" % (length, len(body))], body)

    o = origin({
        "/members": reply("200 OK", ["Content-Encoding: gzip", "Content-Length: %d" %
                                     len(members)], members),
        "/cut-gzip": reply("200 OK", ["Content-Encoding: gzip"], cut),
        "/server": reply("200 OK", ["Server: webserver", "Content-Type: text/plain",
                                    "Content-Length: 2"], b"ok"),
        "/hints": b"HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\nHTTP/1.1 100 Continue\r\n"
                  b"\r\n" + reply("200 OK", ["Content-Length: 2"], b"ok"),
        "/no-reason": b"HTTP/1.1 200\r\nX-First: 1\r\nContent-Length: 2\r\n\r\nok",
        "/no-reason-bare": b"HTTP/1.1 204\r\nX-Empty:\r\n\r\n",
        "/bad-status": b"HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\nok",
        "/png": plain(png, "image/png"),
        "/download": plain(download),
        "/text": plain(text, "text/plain; charset=utf-8"),
    })
    process = """<replace userid="" loglevel="event">
  <option name="Server" masktype="regexp" from="web.*" to="proxy"/>
  <body masktype="wild" from="ab" to="xy"/></replace>"""
    g = gateway(process=process)
    p = o.port
    rows = [
        # (path, exact reply or a check of it, a log line that must follow)
        ("/members", lambda r: gzip.decompress(r.partition(b"\r\n\r\n")[2]) ==
         b"first member " * 80 + b"second member " * 80, None),
        ("/cut-gzip", b"", "Response cut short by the server"),
        ("/server", b"HTTP/1.1 200 OK\r\nServer: proxy\r\nContent-Type: text/plain\r\n"
         b"Content-length: 2\r\n\r\nok", "Replace option:1.1 (1)"),
        ("/hints", b"HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok", None),
        ("/no-reason", b"HTTP/1.1 200 \r\nX-First: 1\r\nContent-length: 2\r\n\r\nok", None),
        ("/no-reason-bare", b"HTTP/1.1 204 \r\nX-Empty:\r\n\r\n", None),
        ("/bad-status", b"", "Malformed response status line"),
        ("/png", plain(png, "image/png", "Content-length"), "Body is not text in its code page"),
        ("/download", plain(download, length="Content-length"), "Body is not text in its code"),
        ("/text", plain(text.replace(b"ab", b"xy"), "text/plain; charset=utf-8",
                        "Content-length"), "Replace body:1.1 (1)"),
    ]
    for path, expected, log in rows:
        start = g.count()
        response = g.exchange(get(p, path.encode()))
        if callable(expected):
            assert expected(response), (path, response[:200])
            head, _, body = response.partition(b"\r\n\r\n")
            assert b"\r\nContent-length: %d" % len(body) in head, head
        else:
            assert response == expected, (path, response[:200])
        if log:
            g.wait_for(log, start)


def peak_kb(g):
    return algtest.vm_rss_kb(g.proc.pid, "VmHWM")


def test_memory_before_login_and_per_response(gateway, origin):
    decoded = 64 << 20
    page = (b"a line of plain text with a word to rewrite in it\n" * (decoded // 50 + 1))[:decoded]
    packed = gzip.compress(page, 9)
    o = origin({"/big": reply("200 OK", ["Content-Type: text/plain", "Content-Encoding: gzip",
                                         "Content-Length: %d" % len(packed)], packed)})
    g = gateway(process='<replace userid="" loglevel="event"><body masktype="wild" '
                'from="rewrite" to="change"/></replace>')
    base = algtest.vm_rss_kb(g.proc.pid)

    # Clients without credentials announce and send 96 MiB each; each gets its 407 whole and
    # the gateway holds none of their bodies.
    clients, senders = [algtest.connect(g.port, IO_LIMIT) for _ in range(4)], []
    for s in clients:
        s.sendall(b"POST http://127.0.0.1:%d/big HTTP/1.1\r\nContent-Length: %d\r\n\r\n" %
                  (o.port, 96 << 20))
        # The gateway closes after its reply: the send may end in an error.
        senders.append(threading.Thread(target=algtest.send_megabytes, args=(s, 96)))
        senders[-1].start()
    assert [algtest.recv_all(s) for s in clients] == [AUTH_REQUIRED] * 4
    for s, t in zip(clients, senders):
        t.join(IO_LIMIT)
        s.close()
    assert o.requests == [] and peak_kb(g) - base < 32 << 10, (base, peak_kb(g))

    # One gzip response rewritten by a body rule: at most three times its decoded size, over
    # a few MiB of the process's own (thread stacks, zlib and expression state).
    head, _, body = g.exchange(get(o.port, b"/big")).partition(b"\r\n\r\n")
    assert gzip.decompress(body) == page.replace(b"rewrite", b"change")
    assert peak_kb(g) - base < 3 * (decoded >> 10) + (8 << 10), (base, peak_kb(g))
