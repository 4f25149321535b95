"""http-gateway end to end: the real program, curl and raw sockets as clients, a loopback origin
server of the suite's own."""

import base64
import gzip
import hashlib
import itertools
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

import algtest
from algtest import recv_all, recv_exact, wait_until

SOURCE = os.environ.get("ALG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
GATEWAY = algtest.program("http/http-gateway")
USER, PASSWORD = "demo", "demo-password"
AUTH = b"Proxy-Authorization: Basic " + base64.b64encode(b"demo:demo-password") + b"\r\n"
ALICE_AUTH = b"Proxy-Authorization: Basic " + base64.b64encode(b"alice:alice-pw") + b"\r\n"
ALLOW_ALL = '<access userid="" loglevel="detail" action="allow"/>'
IO_LIMIT = 10  # seconds any single socket operation of a test may take

BAD_REQUEST = (b"HTTP/1.0 400 Bad Request\r\nProxy-Connection: close\r\n"
               b"Content-type: text/html; unsigned charset=us-ascii\r\n\r\n"
               b"<html><head><title>ALG Proxy: 400 Bad Request</title></head>\r\n"
               b"<body>400 Bad Request</body></html>\r\n")
AUTH_REQUIRED = (b"HTTP/1.0 407 Proxy Authentication Required\r\n"
                 b"Proxy-Authenticate: Basic realm=\"proxy\"\r\nProxy-Connection: close\r\n"
                 b"Content-type: text/html; unsigned charset=us-ascii\r\n\r\n"
                 b"<html><head><title>ALG Proxy: 407 Proxy Authentication Required</title>"
                 b"</head>\r\n<body>407  ALG Proxy Authentication Failed</body></html>\r\n")
REJECTED = b"HTTP/1.0 404 Not found\r\n\r\n"


def error_page(status, host, cause):
    """The reply that names a destination the gateway could not reach."""
    return (b"HTTP/1.0 %s\r\nProxy-Connection: close\r\n"
            b"Content-type: text/html; unsigned charset=us-ascii\r\n\r\n"
            b"<html><head><title>ALG Proxy: %s</title></head>\r\n"
            b"<body>%s: %s: %s</body></html>\r\n" % (status, status, status, host, cause))


UNRESOLVED = error_page(b"400 Bad Request", b"no-such-host.invalid", b"host not found")
TUNNEL_OPEN = b"HTTP/1.0 200 Connection established\r\nProxy-agent: ALG-Proxy\r\n\r\n"


def reply(status, headers, body=b""):
    return ("HTTP/1.1 %s\r\n" % status).encode() + b"".join(
        h.encode("latin-1") + b"\r\n" for h in headers) + b"\r\n" + body


class Gateway(algtest.Gateway):
    """http-gateway on a free port with `rules` as its handshake section, `process` as its
    process section and an optional default_charset; ready once it accepts connections."""

    def __init__(self, base, rules=ALLOW_ALL, process="", charset="", timeout=60,
                 expect_start=True):
        self.port = algtest.free_port()
        with open(os.path.join(SOURCE, "examples", "passwd"), "rb") as f:
            passwd = f.read() + b"alice=" + hashlib.md5(b"alice-pw").hexdigest().encode() + b"\n"
        text = """<?xml version="1.0" encoding="UTF-8"?>
<algpolicy><proxy name="alg_http"><general>
  <listen_port>%d</listen_port><session_timeout>%d</session_timeout>%s
  <loggers><logger name="Console" loglevel="verbose"/></loggers>
  <authsystem name="Plaintext file"/>
</general><handshake>%s</handshake><process>%s</process></proxy></algpolicy>
""" % (self.port, timeout,
       "<default_charset>%s</default_charset>" % charset if charset else "", rules, process)
        super().__init__(GATEWAY, base, "http.xml", text, {"passwd": passwd},
                         encoding="cp1251")
        if expect_start and not wait_until(lambda: algtest.accepting(self.port), 10):
            self.stop()
            pytest.fail("http-gateway did not listen:\n" + self.output())

    def exchange(self, data):
        """Sends `data` and returns everything the gateway sends until it closes."""
        s = algtest.connect(self.port, IO_LIMIT)
        got = []
        try:
            s.sendall(data)
            while True:  # bounded by the gateway closing and by IO_LIMIT per receive
                chunk = s.recv(65536)
                if not chunk:
                    break
                got.append(chunk)
        except (ConnectionResetError, BrokenPipeError):
            pass  # a refusal closes with the rest of the request unread
        finally:
            s.close()
        return b"".join(got)

    def curl(self, url, *args):
        r = subprocess.run(["curl", "-sS", "--max-time", "30", "-x",
                            "http://127.0.0.1:%d" % self.port, "-U", USER + ":" + PASSWORD,
                            url] + list(args), capture_output=True, timeout=60)
        assert r.returncode == 0, r.stderr
        return r.stdout


@pytest.fixture
def gateway(launch):
    if not os.access(GATEWAY, os.X_OK):
        pytest.fail("http-gateway not built in ALG_BUILD_DIR")
    return lambda **kw: launch(Gateway, **kw)


@pytest.fixture
def origin():
    made = []

    def make(routes):
        o = algtest.HttpOrigin(routes, io_timeout=IO_LIMIT)
        made.append(o)
        return o

    yield make
    for o in made:
        o.close()


# A body rule for every user: every response is held whole, decoded and settled.
HOLD = '<replace userid="" loglevel="event"><body masktype="wild" from="never-seen" to="x"/>' \
    '</replace>'


def get(origin_port, path, method=b"GET", extra=b"", body=b""):
    return (method + b" http://127.0.0.1:%d%s HTTP/1.1\r\n" % (origin_port, path) + extra +
            AUTH + b"\r\n" + body)


def head_and_body(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head.decode("latin-1").split("\r\n"), body


def test_refusals_and_their_log_lines(gateway, origin):
    rules = """
<access userid="" loglevel="event" action="reject">
  <filterby name="URL" masktype="wild">*/refuse*</filterby></access>
<access userid="" loglevel="event" action="drop">
  <filterby name="URL" masktype="wild">*/drop*</filterby></access>""" + ALLOW_ALL
    g = gateway(rules=rules)
    o = origin({"/": reply("200 OK", ["Content-Length: 2"], b"ok")})
    p = o.port
    url = b"http://127.0.0.1:%d/" % p
    cases = [
        # (request, exact reply, a log line that must follow)
        (b"GET " + url + b" HTTP/1.1\r\n\r\n", AUTH_REQUIRED, None),
        (b"GET " + url + b" HTTP/1.1\r\nProxy-Authorization: Basic " +
         base64.b64encode(b"demo:wrong") + b"\r\n\r\n", AUTH_REQUIRED,
         "Authentication failed: demo"),
        (b"GET " + url + b" HTTP/1.1\r\nProxy-Authorization: Digest x\r\n\r\n",
         AUTH_REQUIRED, None),
        (get(p, b"/x").replace(b"127.0.0.1:%d" % p, b"no-such-host.invalid"), UNRESOLVED,
         "No connection info in request: no-such-host.invalid"),
        (b"GET http://127.0.0.1:%d HTTP/1.1\r\n" % p + AUTH + b"\r\n", BAD_REQUEST,
         "'/' Expected at the end of host name"),
        (b"GET index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n" + AUTH + b"\r\n", BAD_REQUEST,
         "'/' Expected at the begining of path"),
        (get(p, b"/", extra=b"X-Long: " + b"a" * (64 << 10) + b"\r\n"), BAD_REQUEST,
         "Request exceeds the limits of the gateway"),
        (get(p, b"/", extra=b"".join(b"X-%d: v\r\n" % i for i in range(101))), BAD_REQUEST,
         None),
        (get(p, b"/", method=b"POST", extra=b"Transfer-Encoding: gzip\r\n"), BAD_REQUEST,
         "Unsupported transfer coding in request"),
        # Beyond any length the gateway can follow: not relayed as it arrives, but refused.
        (get(p, b"/", method=b"POST", extra=b"Content-Length: 99999999999999999999999\r\n"),
         BAD_REQUEST, None),
        (get(p, b"/refuse"), REJECTED, None),
        (get(p, b"/drop"), b"", None),
    ]
    for request, expected, log in cases:
        start = g.count()
        assert g.exchange(request) == expected, request[:60]
        if log:
            g.wait_for(log, start)
    # None of the refused requests reached the origin.
    assert o.requests == []
    assert g.exchange(get(p, b"/")).endswith(b"\r\n\r\nok")
    assert len(o.requests) == 1


def test_requests_forwarded_in_origin_form(gateway, origin):
    g = gateway()
    o = origin({
        "/page?x=1": reply("200 OK", ["Content-Type: text/plain", "Content-Length: 5"],
                           b"hello"),
        "/upload": lambda conn, req: conn.sendall(reply(
            "200 OK", ["Content-Type: application/octet-stream"],
            req.partition(b"\r\n\r\n")[2])),
    })
    p = o.port
    request = get(p, b"/page?x=1", extra=b"Proxy-Connection: keep-alive\r\nAccept: */*\r\n"
                  b"Host: other.test:99\r\nConnection: keep-alive\r\n")
    response = g.exchange(request)
    assert o.requests[-1] == (b"GET /page?x=1 HTTP/1.1\r\nAccept: */*\r\nConnection: close\r\n"
                              b"Host: 127.0.0.1:%d\r\n\r\n" % p)
    assert response == (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                        b"Content-Length: 5\r\n\r\nhello")

    payload = bytes(range(256)) * 64 + b"\0end"
    for name, args in {"post": ["--data-binary", "@-"],
                       "chunked upload": ["-T", "-", "-X", "POST"]}.items():
        r = subprocess.run(["curl", "-sS", "--max-time", "30", "-x",
                            "http://127.0.0.1:%d" % g.port, "-U", USER + ":" + PASSWORD,
                            "http://127.0.0.1:%d/upload" % p] + args,
                           input=payload, capture_output=True, timeout=60)
        assert r.returncode == 0, (name, r.stderr)
        assert r.stdout == payload, name
        head, body = head_and_body(o.requests[-1])
        assert body == payload, name
        assert "Content-length: %d" % len(payload) in head or \
            "Content-Length: %d" % len(payload) in head, (name, head)
        assert not any(re.match("(?i)(transfer-encoding|proxy-|expect)", h) for h in head), head
        assert head[-1] == "Host: 127.0.0.1:%d" % p and "Connection: close" in head, head


def test_response_bodies_decoded_and_encoded_again(gateway, origin):
    text = b"".join(b"line %d of a long text page\n" % i for i in range(20000))
    chunked = b"5\r\nhello\r\nf\r\n, chunked world\r\n0\r\nTrailer: x\r\n\r\n"
    o = origin({
        "/chunked": reply("200 OK", ["Content-Type: text/plain",
                                     "Transfer-Encoding: chunked"], chunked),
        "/gzip": reply("200 OK", ["Content-Type: text/plain", "Content-Encoding: gzip",
                                  "Content-Length: 1"], gzip.compress(text)),
        "/204": reply("204 No Content", ["Content-Length: 5"]),
        "/304": reply("304 Not Modified", ["Content-Length: 5"]),
        "/406": reply("406 Not Acceptable", ["Content-Length: 5"]),
        "/head": reply("200 OK", ["Content-Type: text/plain", "Content-Length: 11"]),
        "/100": reply("100 Continue", []) + reply("200 OK", ["Content-Length: 2"], b"ok"),
    })
    g = gateway(process=HOLD)
    p = o.port

    head, body = head_and_body(g.exchange(get(p, b"/chunked")))
    assert body == b"hello, chunked world"
    assert "Content-length: 20" in head and not any("chunked" in h for h in head), head

    head, body = head_and_body(g.exchange(get(p, b"/gzip")))
    assert "Content-Encoding: gzip" in head and "Content-length: %d" % len(body) in head
    assert gzip.decompress(body) == text
    # curl takes the compressed reply as it would from the origin.
    assert g.curl("http://127.0.0.1:%d/gzip" % p, "--compressed") == text

    for path, method in ((b"/204", b"GET"), (b"/304", b"GET"), (b"/406", b"GET"),
                         (b"/head", b"HEAD")):
        response = g.exchange(get(p, path, method=method))
        assert response.endswith(b"Content-length: 0\r\n\r\n"), (path, response)

    # An interim response is dropped and the final one relayed.
    assert g.exchange(get(p, b"/100")) == b"HTTP/1.1 200 OK\r\nContent-length: 2\r\n\r\nok"


PROCESS = """
<replace userid="" loglevel="event">
  <option name="User-Agent" masktype="regexp" from="secret-agent" to="agent"/>
  <option name="X-Private" masktype="wild" from="*" to=""/>
  <option name="Server" masktype="regexp" from=".*" to=""/>
  <body masktype="regexp" from="needle" to="thread"/>
  <body masktype="regexpC" from="Привет" to="Пока"/>
</replace>
<cut userid="" loglevel="event">
  <option name="X-Forbidden" masktype="wild" from="*"/>
  <body masktype="wild" from="*forbidden-word*"/>
</cut>"""


def test_rules_on_header_lines_and_bodies(gateway, origin):
    page1251 = ("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                "charset=windows-1251\"></head><body>Привет, мир</body></html>").encode("cp1251")
    o = origin({
        "/echo": lambda conn, req: conn.sendall(reply(
            "200 OK", ["Content-Type: text/plain"], req)),
        "/server": reply("200 OK", ["Server: origin/1.0", "Content-Type: text/plain",
                                    "Content-Length: 14"], b"a needle found"),
        "/forbidden-header": reply("200 OK", ["X-Forbidden: yes", "Content-Length: 2"],
                                   b"ok"),
        "/forbidden-body": reply("200 OK", ["Content-Type: text/plain"],
                                 b"this has a forbidden-word inside"),
        "/cp1251": reply("200 OK", ["Content-Type: text/html"], page1251),
    })
    g = gateway(process=PROCESS, charset="utf-8")
    p = o.port

    head, body = head_and_body(g.exchange(get(
        p, b"/echo", method=b"POST",
        extra=b"User-Agent: secret-agent 1\r\nX-Private: mine\r\nContent-Length: 11\r\n",
        body=b"some needle")))
    forwarded, forwarded_body = head_and_body(o.requests[-1])
    assert "User-Agent: agent 1" in forwarded
    assert not any(h.startswith("X-Private") for h in forwarded)
    assert forwarded_body == b"some thread" and "Content-Length: 11" in forwarded
    # The echoed request is a response body too, rewritten once more on its way back.
    assert body.endswith(b"some thread")

    head, body = head_and_body(g.exchange(get(p, b"/server")))
    assert not any(h.startswith("Server") for h in head) and body == b"a thread found"
    g.wait_for("Replace option:1.3 (1)")

    for request in (get(p, b"/echo", extra=b"X-Forbidden: 1\r\n"),
                    get(p, b"/echo", method=b"POST", extra=b"Content-Length: 18\r\n",
                        body=b"a forbidden-word!!"),
                    get(p, b"/forbidden-header"), get(p, b"/forbidden-body")):
        assert g.exchange(request) == REJECTED, request[:40]
    g.wait_for("Cut option:1.1")
    g.wait_for("Cut body:1.1")

    start = g.count()
    head, body = head_and_body(g.exchange(get(p, b"/cp1251")))
    assert body == page1251.replace("Привет".encode("cp1251"), "Пока".encode("cp1251"))
    assert "Content-length: %d" % len(body) in head
    g.wait_for("Charset from HTML page is WINDOWS-1251", start)
    g.wait_for("Replace body:1.2 (1)", start)


def test_response_charset_decisions(gateway, origin):
    hostile = b"<head charset " * ((1 << 20) // 14)
    o = origin({
        "/koi8": reply("200 OK", ["Content-Type: text/html; charset=koi8-r"],
                       "<p>Привет</p>".encode("koi8-r")),
        "/quoted": reply("200 OK", ["Content-Type: text/html"],
                         b'<html><head><meta charset="utf-8"></head></html>'),
        "/late": reply("200 OK", ["X-Note: charset=koi8-r", "Content-Type: text/html"],
                       b"<p>x</p>"),
        "/html": reply("200 OK", ["Content-Type: text/html"], b"<p>no charset</p>"),
        "/unknown": reply("200 OK", ["Content-Type: text/html; charset=no-such-set"],
                          b"<p>x</p>"),
        "/plain": reply("200 OK", ["Content-Type: text/plain"], b"plain text"),
        "/png": reply("200 OK", ["Content-Type: image/png"], b"\x89PNG\r\n"),
        "/hostile": reply("200 OK", ["Content-Type: text/plain"], hostile),
    })
    p = o.port
    with_default = gateway(charset="windows-1251", process=HOLD)
    without = gateway()  # a page the head cannot settle is held for its own declaration
    cases = [
        # (path, served with the default, served without it, log line of the decision)
        (b"/koi8", True, True, "Charset from HTTP options is koi8-r"),
        (b"/quoted", True, True, "Charset from HTML page is UTF-8"),
        (b"/late", True, False, "This is text/html page"),
        (b"/html", True, False, "Resulting charset is WINDOWS-1251"),
        (b"/unknown", True, False, "Charset from HTTP options is no-such-set"),
        (b"/plain", True, True, "Resulting charset is unknown"),
        (b"/png", True, True, "Resulting charset is unknown"),
    ]
    for path, served_with, served_without, log in cases:
        for g, served in ((with_default, served_with), (without, served_without)):
            start = g.count()
            response = g.exchange(get(p, path))
            assert bool(response) == served, (path, served, response[:80])
            if not served:
                g.wait_for("Unknown page charset. Rejected", start)
        start = with_default.count()
        with_default.exchange(get(p, path))
        with_default.wait_for(log, start)
    # A megabyte built to make a backtracking search crawl is answered whole.
    head, body = head_and_body(without.exchange(get(p, b"/hostile")))
    assert body == hostile


# A body rule for alice alone: her pages are held and rewritten, everyone else's pass as they come.
ALICE_RULE = '<replace userid="alice" loglevel="event">' \
    '<body masktype="regexp" from="needle" to="thread"/></replace>'


def fetch(port, request):
    """Everything the gateway sends back, and whether it ended with a reset."""
    with algtest.connect(port, IO_LIMIT) as s:
        s.sendall(request)
        how, got = algtest.read_to_end(s)
    return got, how == "reset"


def read_head(f):
    """The lines of an HTTP message's head from the file `f`, up to its blank line."""
    return b"".join(itertools.islice(iter(f.readline, b"\r\n"), 200))


def test_responses_no_rule_touches_pass_as_the_server_framed_them(gateway, origin):
    cut = "Response cut short by the server. Client connection reset"
    blob = os.urandom(1 << 20)
    page = b'<html><head><meta charset="koi8-r"></head><body>a needle</body></html>'
    gz = gzip.compress(page)
    chunked = (b"5;ext=1\r\nhello\r\n%x\r\n" % len(blob) + blob + b"\r\n0\r\nTrailer: x\r\n\r\n")
    final = reply("200 OK", ["Content-Length: 5"], b"hello")
    sized = reply("200 OK", ["Content-Length: %d" % len(blob)], blob)
    framed = reply("200 OK", ["Transfer-Encoding: chunked"], chunked)
    cases = [
        # (method, path, what the server sends, None when it reaches the client whole, else
        # the exact bytes the client gets whole or the log line of the reset that ends it)
        ("GET", "/length", reply("200 OK", ["Content-Type: application/octet-stream",
                                           "Content-Length: %d" % len(blob)], blob), None),
        ("HEAD", "/head", reply("200 OK", ["Content-Length: %d" % len(blob)]), None),
        ("GET", "/chunked", reply("200 OK", ["Content-Type: text/html; charset=utf-8",
                                            "Transfer-Encoding: chunked"], chunked), None),
        ("GET", "/gzip", reply("200 OK", ["Content-Type: text/html", "Content-Encoding: gzip",
                                         "Content-Length: %d" % len(gz)], gz), None),
        ("GET", "/to-close", reply("200 OK", ["Content-Type: image/png"], blob), None),
        ("GET", "/204", reply("204 No Content", ["Content-Length: 5"]), None),
        ("GET", "/304", reply("304 Not Modified", ["Content-Length: 5"]), None),
        ("GET", "/short", sized[:-len(blob) + 1000], cut),
        ("GET", "/short-chunked", reply("200 OK", ["Transfer-Encoding: chunked"],
                                        chunked[:5000]), cut),
        ("GET", "/no-last-chunk", reply("200 OK", ["Transfer-Encoding: chunked"],
                                        b"5\r\nhello\r\n"), cut),
        ("GET", "/bad-chunk", reply("200 OK", ["Transfer-Encoding: chunked"],
                                    b"zz\r\nhello\r\n0\r\n\r\n"),
         "Chunked body framing broken"),
        # Interim responses are skipped and a status line without a reason is read, the body
        # still passing as the server framed it; bytes past the end of a body are not passed on.
        ("GET", "/hints", b"HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\nHTTP/1.1 100 "
         b"Continue\r\n\r\n" + final, final),
        ("GET", "/no-reason", b"HTTP/1.1 200\r\nContent-Length: 5\r\n\r\nhello",
         b"HTTP/1.1 200 \r\nContent-Length: 5\r\n\r\nhello"),
        ("GET", "/longer", sized + blob, sized),
        ("GET", "/longer-chunked", framed + blob, framed),
    ]
    # Heads that readers may take in two ways are held and framed anew, in the gateway's spelling.
    unclear = [(["Content-Length: 5", "Content-Length: 6"], b"hello"),
               (["Content-Length: 5, 5"], b"hello"), (["Content-Length: +5"], b"hello"),
               (["Content-Length: 5", "Transfer-Encoding: chunked"], b"5\r\nhello\r\n0\r\n\r\n"),
               (["Transfer-Encoding: gzip, chunked"], b"hello"),
               (["X: y", " folded", "Content-Length: 5"], b"hello")]
    routes = {"/unclear%d" % i: reply("200 OK", lines, body)
              for i, (lines, body) in enumerate(unclear)}
    o = origin(dict(routes, **{path: sent for _, path, sent, _ in cases}))
    g = gateway(process=ALICE_RULE, charset="windows-1251")
    for path in routes:
        head, body = head_and_body(fetch(g.port, get(o.port, path.encode()))[0])
        assert body == b"hello" and "Content-length: 5" in head, (path, head)
    for method, path, sent, outcome in cases:
        start = g.count()
        got, reset = fetch(g.port, get(o.port, path.encode(), method=method.encode()))
        assert reset == isinstance(outcome, str), path
        if reset:
            assert sent.startswith(got), path
            g.wait_for(outcome, start)
        else:
            assert got == (outcome or sent), path
        if path == "/gzip":  # the charset step logs what the head shows, never the page
            g.wait_for("Resulting charset is WINDOWS-1251", start)
            assert not any("HTML page" in line for line in g.lines()[start:])
    assert g.curl("http://127.0.0.1:%d/gzip" % o.port, "--compressed") == page

    # Alice's rule holds her page: decoded, rewritten, encoded again.
    start = g.count()
    head, body = head_and_body(fetch(g.port, get(o.port, b"/gzip").replace(AUTH, ALICE_AUTH))[0])
    assert gzip.decompress(body) == page.replace(b"needle", b"thread")
    assert "Content-length: %d" % len(body) in head
    g.wait_for("Charset from HTML page is KOI8-R", start)


def test_a_download_starts_at_once_and_passes_whole_in_constant_memory(gateway, origin):
    release = threading.Event()
    base = os.urandom(1 << 20)
    blocks = 1024  # 1 GiB

    def block(i):
        return i.to_bytes(8, "big") + base[8:]

    def paused(conn, request):
        conn.sendall(reply("200 OK", ["Content-Length: 2048"], b"a" * 1024))
        release.wait(30)
        conn.sendall(b"b" * 1024)

    def huge(conn, request):
        conn.sendall(reply("200 OK", ["Content-Length: %d" % (blocks << 20)]))
        for i in range(blocks):
            conn.sendall(block(i))

    o = origin({"/paused": paused, "/huge": huge})
    g = gateway(process=ALICE_RULE)
    try:
        s = algtest.connect(g.port, IO_LIMIT)
        s.sendall(get(o.port, b"/paused"))
        head = reply("200 OK", ["Content-Length: 2048"])
        # The first kilobyte arrives while the server is held; it is let go only afterwards.
        assert recv_exact(s, len(head) + 1024) == head + b"a" * 1024
        release.set()
        assert recv_all(s) == b"b" * 1024
        s.close()
    finally:
        release.set()

    s = algtest.connect(g.port, IO_LIMIT)
    s.sendall(get(o.port, b"/huge"))
    f = s.makefile("rb")
    assert read_head(f).endswith(b"\r\nContent-Length: %d\r\n" % (blocks << 20))
    for i in range(blocks):
        assert f.read(1 << 20) == block(i), "MiB %d" % i
    assert f.read(1) == b""
    s.close()
    peak = algtest.vm_rss_kb(g.proc.pid, "VmHWM")
    assert peak < 64 << 10, "peak resident memory %d KiB" % peak


def test_uploads_with_a_length_pass_to_the_server_as_they_arrive(gateway):
    first_kib = threading.Event()
    seen = []  # (body bytes received, their digest, whether the upload was reset)

    def sink(conn):
        f = conn.makefile("rb")
        length = int(re.search(rb"\r\nContent-Length: (\d+)", read_head(f)).group(1))
        got, digest, reset = 0, hashlib.md5(), False
        try:
            while got < length:  # bounded by the length and the socket's time-out
                if got >= 1024:
                    first_kib.set()
                chunk = f.read1(1 << 20)
                if not chunk:
                    break
                got += len(chunk)
                digest.update(chunk)
        except ConnectionResetError:
            reset = True
        seen.append((got, digest.hexdigest(), reset))
        if not reset:
            conn.sendall(reply("200 OK", ["Content-Length: 2"], b"ok"))

    rules = """<access userid="" loglevel="event" action="reject">
  <filterby name="URL" masktype="wild">*/refuse*</filterby></access>""" + ALLOW_ALL
    g = gateway(rules=rules, process=ALICE_RULE)
    with algtest.LoopbackServer(sink, io_timeout=IO_LIMIT) as server:
        # A refused upload that would have passed as it arrives is never passed on: the client
        # sends all of it without a reset and reads its whole reply; the server hears nothing.
        head = b"Content-Length: %d\r\n" % (8 << 20)
        for request, expected in [
                (get(server.port, b"/up", method=b"POST", extra=head).replace(AUTH, b""),
                 AUTH_REQUIRED),
                (get(server.port, b"/refuse", method=b"POST", extra=head), REJECTED)]:
            with algtest.connect(g.port, IO_LIMIT) as s:
                s.sendall(request)
                assert algtest.send_megabytes(s, 8) == "all", expected
                assert recv_all(s) == expected
            assert seen == [], expected

        size = (257 << 20) + 5  # beyond the bound of a body held whole
        payload = os.urandom(1 << 20)
        s = algtest.connect(g.port, IO_LIMIT)
        s.sendall(get(server.port, b"/up", method=b"POST",
                      extra=b"Content-Length: %d\r\n" % size) + payload[:1024])
        # The server has the first kilobyte before the client sends the rest.
        assert first_kib.wait(IO_LIMIT)
        digest = hashlib.md5(payload[:1024])
        for piece in [payload[1024:]] + [payload] * 256 + [payload[:5]]:
            s.sendall(piece)
            digest.update(piece)
        assert recv_all(s).endswith(b"\r\n\r\nok")
        s.close()
        assert seen[-1] == (size, digest.hexdigest(), False)

        # A client that ends short of its length leaves the server with a reset.
        start = g.count()
        s = algtest.connect(g.port, IO_LIMIT)
        s.sendall(get(server.port, b"/up", method=b"POST", extra=b"Content-Length: 4096\r\n") +
                  b"only this")
        s.shutdown(socket.SHUT_WR)
        g.wait_for("Request body cut short by the client. Server connection reset", start)
        s.close()
        assert wait_until(lambda: len(seen) == 2, IO_LIMIT)
        assert seen[-1] == (9, hashlib.md5(b"only this").hexdigest(), True)


def test_expect_100_continue_is_answered_once_the_head_is_let_through(gateway, origin):
    o = origin({"/up": reply("200 OK", ["Content-Length: 2"], b"ok")})
    g = gateway(rules='<access userid="" loglevel="detail" action="reject"><filterby name="Port"'
                ' masktype="wild">%d</filterby></access>' % (o.port + 1) + ALLOW_ALL)
    continue_ = b"HTTP/1.1 100 Continue\r\n\r\n"
    chunked = b"Transfer-Encoding: chunked\r\n"
    # (request head, body, whether the client is told to go on before it sends the body, the
    # final reply's start)
    cases = [
        (get(o.port, b"/up", b"POST", b"Expect: 100-continue\r\nContent-Length: 5\r\n"),
         b"hello", True, b"HTTP/1.1 200 OK"),
        (get(o.port, b"/up", b"PUT", b"Expect:  100-CONTINUE \r\n" + chunked),
         b"5\r\nhello\r\n0\r\n\r\n", True, b"HTTP/1.1 200 OK"),
        (get(o.port, b"/up", b"POST", b"Expect: 100-continue\r\nContent-Length: 5\r\n")
         .replace(b"HTTP/1.1", b"HTTP/1.0"), b"hello", False, b"HTTP/1.1 200 OK"),
        (get(o.port, b"/up", b"POST", b"Expect: 100-continue\r\nContent-Length: 0\r\n"),
         b"", False, b"HTTP/1.1 200 OK"),
        (get(o.port, b"/up", b"POST", b"Expect: 100-continue\r\nContent-Length: 5\r\n")
         .replace(AUTH, b""), b"hello", False, AUTH_REQUIRED),
        (get(o.port + 1, b"/up", b"POST", b"Expect: 100-continue\r\nContent-Length: 5\r\n"),
         b"hello", False, REJECTED),
    ]
    for head, body, told, final in cases:
        with algtest.connect(g.port, IO_LIMIT) as s:
            s.sendall(head)
            if told:
                assert recv_exact(s, len(continue_)) == continue_, head
            s.sendall(body)
            assert recv_all(s).startswith(final), head
    # The server gets every body, and never the expectation the gateway answered.
    bodies = [r.partition(b"\r\n\r\n")[2] for r in o.requests]
    assert bodies == [b"hello"] * 3 + [b""], o.requests
    assert not any(b"expect" in r.lower() for r in o.requests)


def test_connect_tunnel_passes_bytes_unchanged(gateway, origin):
    g = gateway()
    echo = algtest.EchoServer()
    greeter = algtest.LoopbackServer(lambda conn: conn.sendall(b"bye"))
    try:
        s = algtest.connect(g.port, IO_LIMIT)
        # Bytes sent right behind the request reach the server too.
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % echo.port + AUTH + b"\r\nearly")
        assert recv_exact(s, len(TUNNEL_OPEN)) == TUNNEL_OPEN
        assert recv_exact(s, 5) == b"early"
        blob = os.urandom(1 << 20)
        sender = threading.Thread(target=s.sendall, args=(blob,))
        sender.start()
        assert recv_exact(s, len(blob)) == blob
        sender.join(IO_LIMIT)
        s.shutdown(socket.SHUT_WR)  # ended by the client: the echo's end comes back
        assert recv_all(s) == b""
        s.close()

        s = algtest.connect(g.port, IO_LIMIT)
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % greeter.port + AUTH + b"\r\n")
        assert recv_all(s) == TUNNEL_OPEN + b"bye"  # ended by the server
        s.close()
    finally:
        echo.close()
        greeter.close()


def test_sighup_ends_an_exchange_and_serving_goes_on(gateway, origin):
    release = threading.Event()

    def stall(conn, request):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\npartial")
        release.wait(30)

    o = origin({"/stall": stall, "/ok": reply("200 OK", ["Content-Length: 2"], b"ok")})
    g = gateway()
    try:
        s = algtest.connect(g.port, IO_LIMIT)
        s.sendall(get(o.port, b"/stall"))
        # What the server sent is passed on; the stop then cuts the body, visibly.
        sent = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\npartial"
        assert recv_exact(s, len(sent)) == sent
        start = g.count()
        s.settimeout(2)  # far above the 100 ms slices, far below the session time-out
        g.signal(signal.SIGHUP)
        with pytest.raises(ConnectionResetError):
            recv_all(s)
        s.close()
        # The old listener may still accept until the restart has stopped it: the new one is
        # there once "Started" follows.
        g.wait_for("Started", g.wait_for("Stopped", g.wait_for("Restart signal recieved", start)))
        assert g.exchange(get(o.port, b"/ok")).endswith(b"ok")
    finally:
        release.set()


def test_unknown_default_charset_warned_by_gateway_and_refused_by_checker(gateway, origin):
    g = gateway(charset="no-such-set")
    g.wait_for("Unknown default_charset")
    # The listener serves as one without a default: a text/html page without a charset has
    # none and is refused, other pages pass.
    o = origin({"/html": reply("200 OK", ["Content-Type: text/html"], b"<p>x</p>"),
                "/plain": reply("200 OK", ["Content-Type: text/plain"], b"x")})
    assert g.exchange(get(o.port, b"/html")) == b""
    assert g.exchange(get(o.port, b"/plain")).endswith(b"\r\n\r\nx")
    r = subprocess.run([algtest.program("tools/algpolicy"), "check", str(g.settings)],
                       capture_output=True, timeout=60)
    assert r.returncode != 0
    assert b"Unknown default_charset" in r.stdout + r.stderr


def test_example_policy_serves_the_demo_user(launch, origin):
    with open(os.path.join(SOURCE, "examples", "http.xml")) as f:
        text = f.read()
    with open(os.path.join(SOURCE, "examples", "passwd"), "rb") as f:
        passwd = f.read()
    port = algtest.free_port()
    text = text.replace("<listen_port>3128</listen_port>", "<listen_port>%d</listen_port>" % port)
    g = launch(lambda base: algtest.Gateway(GATEWAY, base, "http.xml", text,
                                            {"passwd": passwd}, encoding="cp1251"))
    assert wait_until(lambda: algtest.accepting(port), 10), g.output()
    g.port = port
    o = origin({"/": reply("200 OK", ["Server: origin/1.0", "Content-Type: text/html"],
                           b"<p>hello</p>")})
    r = subprocess.run(["curl", "-sS", "-i", "--max-time", "30", "-x",
                        "http://127.0.0.1:%d" % port, "-U", USER + ":" + PASSWORD,
                        "http://127.0.0.1:%d/" % o.port], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    head, body = head_and_body(r.stdout)
    assert body == b"<p>hello</p>" and not any(h.startswith("Server") for h in head), head
    assert Gateway.exchange(g, get(o.port, b"/", extra=b"X-Forbidden: 1\r\n")) == REJECTED
