"""socks-gateway end to end: real program, curl and raw SOCKS clients, loopback targets."""

import hashlib
import http.server
import os
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

import algtest
from algtest import free_port, recv_all, recv_exact, wait_until

SOURCE = os.environ.get("ALG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
GATEWAY = algtest.program("socks/socks-gateway")
USER, PASSWORD = b"demo", b"demo-password"
ALLOW_ALL = '<access userid="" loglevel="detail" action="allow"/>'
IO_LIMIT = 10  # seconds any single socket operation of a test may take


def closed_without_reply(sock):
    """True when the peer closes (or resets) without sending a byte."""
    try:
        return sock.recv(16) == b""
    except ConnectionResetError:
        return True


class Gateway(algtest.Gateway):
    """socks-gateway on a free port with `rules` as its handshake section; ready once it
    accepts connections."""

    def __init__(self, base, rules, timeout=60):
        self.port = free_port()
        with open(os.path.join(SOURCE, "examples", "passwd"), "rb") as f:
            passwd = f.read()
        text = """<?xml version="1.0" encoding="UTF-8"?>
<algpolicy><proxy name="alg_socks"><general>
  <listen_port>%d</listen_port><session_timeout>%d</session_timeout>
  <loggers><logger name="Console" loglevel="verbose"/></loggers>
  <authsystem name="Plaintext file"/>
</general><handshake>%s</handshake></proxy></algpolicy>
""" % (self.port, timeout, rules)
        super().__init__(GATEWAY, base, "socks.xml", text, {"passwd": passwd},
                         encoding="cp1251")
        if not wait_until(lambda: algtest.accepting(self.port), 10):
            self.stop()
            pytest.fail("socks-gateway did not listen:\n" + self.output())

    def wait_log(self, text, limit=5):
        return self.has_line(text, limit)

    def connect(self):
        return algtest.connect(self.port, IO_LIMIT)


@pytest.fixture
def gateway(launch):
    if not os.access(GATEWAY, os.X_OK):
        pytest.fail("socks-gateway not built in ALG_BUILD_DIR")
    return lambda rules=ALLOW_ALL, **kw: launch(Gateway, rules, **kw)


@pytest.fixture
def target():
    made = []

    def make(serve=algtest.echo):
        t = algtest.LoopbackServer(serve, io_timeout=IO_LIMIT)
        made.append(t)
        return t

    yield make
    for t in made:
        t.close()


# ---- raw SOCKS clients ----------------------------------------------------------------------

def socks5_login(sock, user=USER, password=PASSWORD):
    sock.sendall(b"\x05\x01\x02")
    assert recv_exact(sock, 2) == b"\x05\x02"
    sock.sendall(b"\x01" + bytes([len(user)]) + user + bytes([len(password)]) + password)
    return recv_exact(sock, 2)


def socks5_request(sock, port, command=1, host="127.0.0.1", as_name=False):
    if host.replace(".", "").isdigit() and not as_name:
        address = b"\x01" + socket.inet_aton(host)
    else:
        address = b"\x03" + bytes([len(host)]) + host.encode()
    sock.sendall(bytes([5, command, 0]) + address + struct.pack(">H", port))


def socks5_reply(sock):
    reply = recv_exact(sock, 10)
    assert reply[0] == 5 and reply[2] == 0 and reply[3] == 1, reply
    return reply[1], socket.inet_ntoa(reply[4:8]), struct.unpack(">H", reply[8:10])[0]


def socks5_tunnel(g, port):
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, port)
    code, _, _ = socks5_reply(s)
    assert code == 0
    return s


def socks4_request(sock, port, userid=b"", host=None, address="127.0.0.1", command=1):
    ip = socket.inet_aton("0.0.0.1" if host else address)
    tail = host.encode() + b"\0" if host else b""
    sock.sendall(bytes([4, command]) + struct.pack(">H", port) + ip + userid + b"\0" + tail)
    reply = recv_exact(sock, 8)
    assert reply[0] == 0, reply
    return reply[1]


# ---- tests ----------------------------------------------------------------------------------

@pytest.fixture
def http_blob(tmp_path):
    """A loopback HTTP server serving 5 MiB of random bytes as /blob."""
    root = tmp_path / "www"
    root.mkdir()
    body = os.urandom(5 << 20)
    (root / "blob").write_bytes(body)

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **kw):
            super().__init__(*a, directory=str(root), **kw)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              daemon=True)
    thread.start()
    yield server.server_address[1], hashlib.sha256(body).hexdigest()
    server.shutdown()
    server.server_close()


def test_curl_fetches_through_socks4_4a_and_5(gateway, http_blob, tmp_path):
    g = gateway()
    http_port, digest = http_blob
    proxy = "127.0.0.1:%d" % g.port
    runs = {
        "socks4": ["--socks4", proxy, "http://127.0.0.1:%d/blob" % http_port],
        "socks4a": ["--socks4a", proxy, "http://localhost:%d/blob" % http_port],
        "socks5": ["--socks5-hostname", "demo:demo-password@" + proxy,
                   "http://localhost:%d/blob" % http_port],
    }
    for name, args in runs.items():
        out = tmp_path / (name + ".body")
        r = subprocess.run(["curl", "-sS", "--max-time", "30", "-o", str(out)] + args,
                           capture_output=True, timeout=60)
        assert r.returncode == 0, (name, r.stderr)
        assert hashlib.sha256(out.read_bytes()).hexdigest() == digest, name
    assert "Authentication successful: demo" in g.output()
    assert "Socks version 4, authentication not implemented" in g.output()


def test_socks5_connect_reply_names_the_proxy_end(gateway, target):
    g = gateway()
    t = target()
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, t.port)
    code, address, port = socks5_reply(s)
    assert (code, address, port) == (0, "127.0.0.1", g.port)
    s.sendall(b"ping")
    assert recv_exact(s, 4) == b"ping"
    s.close()


def test_handshake_refusals(gateway, target):
    g = gateway()
    t = target()

    s = g.connect()  # no acceptable method
    s.sendall(b"\x05\x01\x00")
    assert recv_exact(s, 2) == b"\x05\xff"
    assert closed_without_reply(s)

    s = g.connect()  # wrong password
    assert socks5_login(s, password=b"wrong") == b"\x01\x03"
    assert closed_without_reply(s)
    assert g.wait_log("Authentication failed: demo")

    s = g.connect()  # sub-negotiation version not 1
    s.sendall(b"\x05\x01\x02")
    assert recv_exact(s, 2) == b"\x05\x02"
    s.sendall(b"\x02\x04demo\x01x")
    assert closed_without_reply(s)

    s = g.connect()  # unknown version
    s.sendall(b"\x06\x01\x00")
    assert closed_without_reply(s)

    s = g.connect()  # RSV not 0
    assert socks5_login(s) == b"\x01\x00"
    s.sendall(b"\x05\x01\x01\x01\x7f\x00\x00\x01" + struct.pack(">H", t.port))
    assert closed_without_reply(s)
    assert g.wait_log("Bad request format")

    s = g.connect()  # IPv6 address type
    assert socks5_login(s) == b"\x01\x00"
    s.sendall(b"\x05\x01\x00\x04" + b"\0" * 15 + b"\x01" + struct.pack(">H", t.port))
    assert closed_without_reply(s)
    assert g.wait_log("Bad address type or value")

    s = g.connect()  # UDP ASSOCIATE
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, t.port, command=3)
    assert socks5_reply(s)[0] == 7
    assert closed_without_reply(s)


def test_connect_to_closed_port(gateway):
    g = gateway()
    closed = free_port()
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, closed)
    assert socks5_reply(s)[0] == 4
    assert closed_without_reply(s)
    assert socks4_request(g.connect(), closed) == 91
    assert g.wait_log("connect failed")


def test_access_rules(gateway, target):
    t = target()
    rules = """
      <access userid="" loglevel="events" action="reject">
        <filterby name="Host" masktype="wild">*HOST</filterby>
      </access>
      <access userid="" loglevel="events" action="drop">
        <filterby name="Port" masktype="wild">%d</filterby>
      </access>
      <access userid="alice" loglevel="events" action="allow"/>
      <access userid="demo" loglevel="events" action="allow"/>""" % t.port
    g = gateway(rules)
    other = target()

    # The 4a host name is judged as the client wrote it, in any letter case.
    assert socks4_request(g.connect(), other.port, b"alice", host="localhost") == 91
    assert g.wait_log("action of filter 1 - reject")
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, other.port, host="localhost")
    assert socks5_reply(s)[0] == 2

    # Drop: the connection closes without a reply.
    s = g.connect()
    s.sendall(bytes([4, 1]) + struct.pack(">H", t.port) + socket.inet_aton("127.0.0.1") +
              b"alice\0")
    assert closed_without_reply(s)
    assert g.wait_log("action of filter 2 - drop")

    # The SOCKS 4 user id is the user the rules see; nobody else passes the default.
    s = g.connect()
    assert socks4_request(s, other.port, b"alice") == 90
    s.sendall(b"hello")
    assert recv_exact(s, 5) == b"hello"
    assert socks4_request(g.connect(), other.port, b"bob") == 91
    assert g.wait_log("Default Filter action")
    s = socks5_tunnel(g, other.port)  # the authenticated SOCKS 5 user
    s.sendall(b"x")
    assert recv_exact(s, 1) == b"x"


def test_bind_two_replies_then_data_both_ways(gateway):
    g = gateway()
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, 9, command=2)
    code, address, listen_port = socks5_reply(s)
    assert (code, address) == (0, "127.0.0.1") and listen_port != 0
    peer = socket.create_connection(("127.0.0.1", listen_port), IO_LIMIT)
    code, address, port = socks5_reply(s)
    assert (code, address, port) == (0, "127.0.0.1", peer.getsockname()[1])
    peer.sendall(b"from peer")
    assert recv_exact(s, 9) == b"from peer"
    s.sendall(b"from client")
    assert recv_exact(peer, 11) == b"from client"
    peer.close()
    assert recv_all(s) == b""
    s.close()

    # SOCKS 4 BIND, and a client that resets before anyone connects ends its session.
    s = g.connect()
    s.sendall(bytes([4, 2]) + struct.pack(">H", 9) + socket.inet_aton("127.0.0.1") + b"u\0")
    reply = recv_exact(s, 8)
    assert reply[1] == 90
    listen_port = struct.unpack(">H", reply[2:4])[0]
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    assert wait_until(lambda: g.output().count("Close session") >= 2, 5)
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", listen_port), 1).recv(1)


def test_bind_waits_for_the_named_host_and_outlives_a_half_close(gateway):
    g = gateway(timeout=3)
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, 9, command=2, host="127.0.0.1")
    listen_port = socks5_reply(s)[2]
    s.sendall(b"early")
    s.shutdown(socket.SHUT_WR)  # the BIND goes on; the bytes wait for the peer

    # Another host is refused and named; the wait goes on for the one the client named.
    stranger = socket.socket()
    stranger.settimeout(IO_LIMIT)
    stranger.bind(("127.0.0.2", 0))
    try:
        stranger.connect(("127.0.0.1", listen_port))
        assert closed_without_reply(stranger)
    except ConnectionResetError:
        pass  # the reset came before connect() returned
    assert g.wait_log("BIND: connection from an unexpected host refused: 127.0.0.2")
    peer = socket.create_connection(("127.0.0.1", listen_port), IO_LIMIT)
    assert socks5_reply(s) == (0, "127.0.0.1", peer.getsockname()[1])
    assert recv_all(peer) == b"early"
    peer.sendall(b"late")
    peer.close()
    assert recv_all(s) == b"late"

    # Half closed and abandoned, a BIND still ends once the session time-out has passed.
    s = g.connect()
    assert socks5_login(s) == b"\x01\x00"
    socks5_request(s, 9, command=2)
    listen_port = socks5_reply(s)[2]
    s.shutdown(socket.SHUT_WR)
    assert recv_all(s) == b""
    assert algtest.refused(listen_port)


def test_destinations_that_name_no_single_host_are_unreachable(gateway, target):
    reached = []
    t = target(lambda conn: reached.append(conn))
    g = gateway("""
      <access userid="" loglevel="events" action="reject">
        <filterby name="IP" masktype="wild">127.*</filterby>
      </access>""" + ALLOW_ALL)
    for host, as_name in [("0.0.0.0", False), ("0.1.2.3", False),
                          ("224.0.0.1", False), ("255.255.255.255", False)]:
        s = g.connect()
        assert socks5_login(s) == b"\x01\x00"
        socks5_request(s, t.port, host=host, as_name=as_name)
        assert socks5_reply(s)[0] == 4, host
    assert socks4_request(g.connect(), t.port, address="0.0.0.0") == 91
    # Names the resolver would read as another spelling of an address resolve to nothing, so
    # "127.1" can never pass a rule written for 127.0.0.1: closed without a reply.
    for name in ["0", "127.1", "2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.0.0.01"]:
        s = g.connect()
        assert socks5_login(s) == b"\x01\x00"
        socks5_request(s, t.port, host=name, as_name=True)
        assert s.recv(10) == b"", name
        s = g.connect()
        s.sendall(bytes([4, 1]) + struct.pack(">H", t.port) + socket.inet_aton("0.0.0.1") +
                  b"\0" + name.encode() + b"\0")
        assert s.recv(8) == b"", name
    assert g.wait_log("connect failed [0.0.0.0:%d] : Network is unreachable" % t.port)
    assert g.wait_log("connect failed [224.0.0.1:%d] : Network is unreachable" % t.port)
    assert socks4_request(g.connect(), t.port) == 91  # the rule itself holds
    assert g.wait_log("action of filter 1 - reject")
    assert not reached


def test_last_bytes_and_half_close_are_carried(gateway, target):
    g = gateway()
    tail = os.urandom(1 << 20) + b"END"

    def send_and_close(conn):
        conn.sendall(tail)

    def answer_after_eof(conn):
        request = recv_all(conn)
        conn.sendall(b"got %d" % len(request))

    s = socks5_tunnel(g, target(send_and_close).port)
    assert recv_all(s) == tail

    s = socks5_tunnel(g, target(answer_after_eof).port)
    s.sendall(b"q" * 100000)
    s.shutdown(socket.SHUT_WR)
    assert recv_all(s) == b"got 100000"


def test_handshake_in_one_piece_or_byte_by_byte(gateway, target):
    g = gateway()
    t = target()
    login = b"\x01" + bytes([len(USER)]) + USER + bytes([len(PASSWORD)]) + PASSWORD
    request = b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", t.port)

    # Everything at once, data included: nothing the client sent early is lost.
    s = g.connect()
    s.sendall(b"\x05\x01\x02" + login + request + b"early data")
    assert recv_exact(s, 4) == b"\x05\x02\x01\x00"
    assert socks5_reply(s)[0] == 0
    assert recv_exact(s, 10) == b"early data"

    # A SOCKS 4a request trickling in one byte at a time.
    s = g.connect()
    message = bytes([4, 1]) + struct.pack(">H", t.port) + b"\0\0\0\x01" + b"u\0localhost\0"
    for b in message:
        s.send(bytes([b]))
        time.sleep(0.005)
    assert recv_exact(s, 8)[1] == 90
    s.sendall(b"late")
    assert recv_exact(s, 4) == b"late"


def test_sighup_ends_open_tunnels_and_serves_again(gateway, target):
    g = gateway()
    t = target()
    tunnels = [socks5_tunnel(g, t.port) for _ in range(3)]
    for s in tunnels:
        s.sendall(b"a")
        assert recv_exact(s, 1) == b"a"
    start = time.monotonic()
    g.proc.send_signal(signal.SIGHUP)
    for s in tunnels:
        s.settimeout(2)
        try:
            assert s.recv(1) == b""
        except ConnectionResetError:
            pass
    assert time.monotonic() - start < 2
    assert g.wait_log("Restart signal recieved")
    assert wait_until(lambda: g.output().count("Started") >= 2, 10), g.output()
    s = wait_until(lambda: _try_tunnel(g, t.port), 10)
    assert s, g.output()
    s.sendall(b"b")
    assert recv_exact(s, 1) == b"b"


def _try_tunnel(g, port):
    try:
        return socks5_tunnel(g, port)
    except (OSError, EOFError, AssertionError):
        return None


def test_idle_tunnel_costs_no_cpu_and_sigterm_exits_zero(gateway, target):
    g = gateway()
    t = target()
    s = socks5_tunnel(g, t.port)
    s.sendall(b"a")
    assert recv_exact(s, 1) == b"a"
    before = g.cpu_seconds()
    time.sleep(2)
    assert g.cpu_seconds() - before < 0.1
    g.proc.send_signal(signal.SIGTERM)
    assert g.wait(10) == 0
    assert "Terminate signal recieved" in g.output()
    assert "Stopped" in g.output()
