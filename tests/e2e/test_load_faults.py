"""Load and faults, per gateway: a thousand sessions held at once, twenty thousand one after
another without growth, SIGHUP storms under load, clients and servers that vanish, trickle or
stop reading, a management service that comes and goes and a RADIUS server that falls silent.
Marked "load": `pytest -m load` runs these alone, `-m "not load"` leaves them out."""

import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import algtest
import test_auth_backends
import test_ftp
import test_http
import test_smtp
import test_socks
from algtest import outcome, recv_exact, resources, wait_until

pytestmark = pytest.mark.load

IO = 10           # seconds any one socket operation of a client may take
HELD = 1000       # sessions held at once
SERIAL = int(os.environ.get("ALG_LOAD_SESSIONS", "20000"))
FULL_EVERY = 50   # one serial session in this many goes all the way to the server
GROWTH_FDS, GROWTH_THREADS, GROWTH_RSS_KB = 2, 2, 16 << 10
PING = b"ping"


def expect(sock, data):
    """Reads `data` from `sock`: EOFError when the gateway ends the session first (a cut),
    AssertionError on other bytes, socket.timeout when nothing ends within IO."""
    seen = outcome(sock, data, IO)
    if seen == "closed":
        raise EOFError("session ended before %r" % data[:40])
    if seen == "hung":
        raise socket.timeout("no %r within %d s" % (data[:40], IO))
    assert seen == "served", data


def line(sock):
    """One reply line; EOFError when the session ends before its line feed."""
    got = b""
    for _ in range(1024):
        c = sock.recv(1)
        if not c:
            raise EOFError("session ended inside a line: %r" % got)
        got += c
        if c == b"\n":
            return got
    raise AssertionError("reply line beyond 1 KiB: %r" % got[:60])


def linger_reset(sock):
    """Closes `sock` with a reset instead of an end of stream."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Kit:
    """One gateway between the suite's clients and servers of its own. open() gives a client
    socket whose session reaches the server and has carried PING both ways where the protocol
    allows; short() runs a session that ends inside the gateway's own handshake."""

    def settled(self, threads=None, limit=30):
        """Waits until the gateway runs at most `threads` threads (by default those it ran
        idle after start); its resources then."""
        if not hasattr(self, "idle"):  # the least of a few samples: start-up threads end
            samples = []
            for _ in range(5):
                samples.append(resources(self.gw.proc.pid))
                time.sleep(0.1)
            self.idle = (min(s[0] for s in samples), min(s[1] for s in samples), 0)
        wait_until(lambda: self.gw.threads() <= (threads or self.idle[1]) and
                   (threads or resources(self.pid())[0] <= self.idle[0]), limit)
        return resources(self.gw.proc.pid)

    def pid(self):
        return self.gw.proc.pid

    def short(self):
        with algtest.connect(self.gw.port, IO) as s:
            s.sendall(self.refused[0])
            return outcome(s, self.refused[1], IO) == "served" and s.recv(1) == b""


class TunnelKit(Kit):
    """A gateway with tunnels: open() runs one to an echo server of the kit's own, and
    upstream(port) one to any server."""

    def __init__(self, gateway):
        self.echo = algtest.SelectEcho()
        self.gw = gateway

    def open(self):
        s = self.tunnel(self.echo.port)
        s.sendall(PING)
        expect(s, PING)
        return s

    def upstream(self, port):
        return self.tunnel(port)

    def close(self):
        self.echo.close()


class SocksKit(TunnelKit):
    refused = (b"\x05\x01\x00", b"\x05\xff")  # what short() sends and gets back
    # (what a trickling client sends at once, what it then sends a byte a second, the reply)
    trickle = (b"\x05\x01", b"\x02", b"\x05\x02")

    def __init__(self, launch, timeout):
        super().__init__(launch(test_socks.Gateway, test_socks.ALLOW_ALL, timeout=timeout))

    def tunnel(self, port):
        s = algtest.connect(self.gw.port, IO)
        s.sendall(b"\x05\x01\x02\x01\x04demo\x0ddemo-password")
        expect(s, b"\x05\x02\x01\x00")
        test_socks.socks5_request(s, port)
        reply = recv_exact(s, 10)
        assert reply[:4] == b"\x05\x00\x00\x01", reply
        return s


class HttpKit(TunnelKit):
    refused = (b"GET http://127.0.0.1/ HTTP/1.0\r\n\r\n", test_http.AUTH_REQUIRED)
    trickle = (b"GET http://127.0.0.1/ HTTP/1.0\r", b"\n\r\n", test_http.AUTH_REQUIRED)

    def __init__(self, launch, timeout):
        super().__init__(launch(test_http.Gateway, timeout=timeout))

    def tunnel(self, port):
        s = algtest.connect(self.gw.port, IO)
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % port + test_http.AUTH + b"\r\n")
        expect(s, test_http.TUNNEL_OPEN)
        return s


class FtpKit(Kit):
    refused = (b"QUIT\r\n", test_ftp.HELLO)
    def __init__(self, launch, timeout, root):
        self.server = algtest.FtpServer(root)
        self.server._server.max_cons = 0  # pyftpdlib refuses beyond 512 otherwise
        self.gw = launch(test_ftp.Gateway, timeout=timeout)

    def open(self):
        s = algtest.connect(self.gw.port, IO)
        expect(s, test_ftp.HELLO)
        s.sendall(b"USER 127.0.0.1 %d$demo$bob\r\n" % self.server.port)
        expect(s, test_ftp.NEED_PASSWORD)
        s.sendall(b"PASS %s$bob-pw\r\n" % test_ftp.PROXY_PASSWORD.encode())
        assert line(s).startswith(b"230 ")
        s.sendall(b"NOOP\r\n")
        assert line(s).startswith(b"200 ")
        return s


    trickle = (b"NO", b"OP\r\n", test_ftp.HELLO + b'530 Use "USER" command first\r\n')
    upstream = None

    def close(self):
        self.server.close()


class SmtpKit(Kit):
    refused = (b"QUIT\r\n", test_smtp.READY)
    def __init__(self, launch, timeout):
        self.sink = algtest.SmtpSink()
        self.gw = launch(algtest.SmtpGateway, timeout=timeout)

    def open(self):
        s = algtest.connect(self.gw.port, IO)
        expect(s, test_smtp.READY)
        s.sendall(b"EHLO me\r\nAUTH LOGIN\r\n")
        expect(s, test_smtp.HELLO + test_smtp.LOGIN_PROMPT)
        s.sendall(test_smtp.b64(self.gw.user_name(self.sink.port)))
        expect(s, test_smtp.PASSWORD_PROMPT)
        s.sendall(test_smtp.b64(self.gw.PASSWORD))
        expect(s, test_smtp.AUTH_OK)
        s.sendall(b"NOOP\r\n")
        assert line(s).startswith(b"250")
        return s


    trickle = (b"EHLO a", b"\r\n", test_smtp.READY + test_smtp.HELLO)
    upstream = None

    def close(self):
        self.sink.close()


@pytest.fixture(params=["socks", "http", "ftp", "smtp"])
def kit(request, launch, tmp_path):
    """kit(timeout=60): the gateway named by the parameter with its peers."""
    algtest.raise_descriptor_limit(4 * HELD + 1024)
    made = []

    def make(timeout=60):
        if request.param == "socks":
            k = SocksKit(launch, timeout)
        elif request.param == "http":
            k = HttpKit(launch, timeout)
        elif request.param == "ftp":
            root = tmp_path / "ftproot"
            root.mkdir(exist_ok=True)
            (root / "big").write_bytes(b"z" * (5 << 20))
            k = FtpKit(launch, timeout, root)
        else:
            k = SmtpKit(launch, timeout)
        k.name = request.param
        k.settled()  # before any session: the threads the gateway runs idle
        made.append(k)
        return k

    yield make
    for k in made:
        k.close()


def figures(name, what, before, after):
    print("\n%s %s: descriptors %d -> %d, threads %d -> %d, resident %d -> %d KiB"
          % (name, what, before[0], after[0], before[1], after[1], before[2], after[2]))


def test_thousand_sessions_held_then_released(kit):
    k = kit()
    k.open().close()
    before = k.settled()
    held = []
    try:
        for _ in range(HELD):  # every open() is bounded by IO per operation
            held.append(k.open())
        during = resources(k.pid())
        assert during[1] >= before[1] + HELD  # a thread per session, all at once
        k.open().close()  # one more is still served beside them
        for s in (held[0], held[-1]):
            s.sendall(b"NOOP\r\n" if k.name in ("ftp", "smtp") else PING)
            assert s.recv(64)
    finally:
        for s in held:
            s.close()
    after = k.settled(before[1])
    figures(k.name, "1000 held", before, during)
    assert after[0] <= before[0] + GROWTH_FDS and after[1] <= before[1] + GROWTH_THREADS, \
        (before, after)


def test_serial_sessions_leave_no_growth(kit):
    k = kit()
    for i in range(200):  # warm-up: the allocator's arenas and caches settle
        assert k.short() if i % FULL_EVERY else k.open().close() is None
    before = k.settled()
    failures = []
    lock = threading.Lock()
    counter = iter(range(SERIAL))

    def worker():
        for i in counter:  # shared iterator: the threads take turns, SERIAL sessions in all
            try:
                if i % FULL_EVERY == 0:
                    k.open().close()
                elif not k.short():
                    raise AssertionError("short session %d not served" % i)
            except (OSError, EOFError, AssertionError) as e:
                with lock:
                    failures.append(repr(e))
                if len(failures) > 10:
                    return

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(400)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    opened = sum(1 for l in k.gw.lines() if "Open session" in l)
    assert opened >= SERIAL + 200, opened  # each session reached the gateway
    after = k.settled(before[1])
    figures(k.name, "%d serial" % SERIAL, before, after)
    assert after[0] <= before[0] + GROWTH_FDS, (before, after)
    assert after[1] <= before[1] + GROWTH_THREADS, (before, after)
    assert after[2] <= before[2] + GROWTH_RSS_KB, (before, after)


def test_sighup_every_200_ms_under_load(kit):
    k = kit()
    k.open().close()
    before = k.settled()
    seen = {"served": 0, "cut": 0}
    bad = []
    lock = threading.Lock()
    stop = threading.Event()

    def worker():
        for _ in range(10000):  # bounded; ends when the signals stop
            if stop.is_set():
                return
            try:
                s = k.open()
                s.close()
                result = "served"
            except socket.timeout as e:
                result = None
                bad.append("hung: %r" % e)
            except (OSError, EOFError):  # refused while restarting, or ended by it
                result = "cut"
            except AssertionError as e:
                result = None
                bad.append("wrong: %r" % e)
            if result:
                with lock:
                    seen[result] += 1

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(4)]
    for t in threads:
        t.start()
    for _ in range(20):
        time.sleep(0.2)
        k.gw.signal(signal.SIGHUP)
    stop.set()
    for t in threads:
        t.join(3 * IO)
    assert not any(t.is_alive() for t in threads)
    assert k.gw.proc.poll() is None, k.gw.output()[-2000:]
    assert bad == []
    assert seen["served"] > 0
    assert wait_until(lambda: _serves(k), 15), k.gw.output()[-2000:]
    after = k.settled(before[1] + GROWTH_THREADS)
    print("\n%s SIGHUP storm: %s; restarts logged %d" % (
        k.name, seen, k.gw.output().count("Restart signal recieved")))
    assert after[1] <= before[1] + GROWTH_THREADS, (before, after)


def _serves(k):
    try:
        k.open().close()
        return True
    except (OSError, EOFError, AssertionError):
        return False


def within(after, idle):
    """True when descriptors and threads are back to the idle gateway's."""
    assert after[0] <= idle[0] and after[1] <= idle[1], (idle, after)
    return True


def ended_within(sock, limit):
    """True when the gateway ends the session (end of stream or reset) within `limit` seconds;
    whatever it sends before is read and dropped."""
    sock.settimeout(limit)
    try:
        for _ in range(100000):  # bounded by the 64 KiB reads and the time-out
            if not sock.recv(65536):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    return False


def new_lines(gw, start):
    return [l for l in gw.lines()[start:] if l.strip()]


def test_clients_that_vanish_trickle_or_stop_reading(kit):
    """Each fault ends only its own session, inside the session time-out (3 s here), and
    leaves no thread or descriptor behind."""
    k = kit(timeout=3)
    idle = k.settled()
    head, tail, answer = k.trickle
    seen = {}

    start = k.gw.count()
    s = algtest.connect(k.gw.port, IO)  # reset in the middle of the handshake
    s.sendall(head)
    time.sleep(0.1)
    linger_reset(s)
    s = k.open()  # reset in the middle of a session that reaches the server
    linger_reset(s)
    assert within(k.settled(), idle)
    seen["resets"] = new_lines(k.gw, start)

    start = k.gw.count()
    with algtest.connect(k.gw.port, IO) as s:  # silent in the handshake: the time-out ends it
        s.sendall(head)
        assert ended_within(s, 3 * 3 + IO)
    seen["silent"] = new_lines(k.gw, start)

    if not k.upstream:
        # Silent in the middle of a session: the next command read times out. (A tunnel has
        # no idle time-out: keepalive finds a vanished peer.)
        start = k.gw.count()
        with k.open() as s:
            assert ended_within(s, 3 * 3 + IO)
        seen["silent in session"] = new_lines(k.gw, start)

    with algtest.connect(k.gw.port, IO) as s:  # a byte a second, each inside the time-out
        s.sendall(head)
        for b in tail:
            time.sleep(1)
            s.sendall(bytes([b]))
        expect(s, answer)

    if k.upstream:
        # A client that never reads a 64 MiB download: the gateway's write times out and the
        # tunnel is cut, which the client sees as a reset once it reads.
        def flood(conn):
            conn.sendall(b"x" * (64 << 20))

        source = algtest.LoopbackServer(flood, io_timeout=60)
        try:
            start = k.gw.count()
            s = k.upstream(source.port)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            assert wait_until(lambda: k.gw.threads() <= idle[1], 3 * 3 + IO)
            got, end = 0, None
            s.settimeout(IO)
            try:
                for _ in range(100000):
                    chunk = s.recv(65536)
                    if not chunk:
                        end = "end of stream"
                        break
                    got += len(chunk)
            except ConnectionResetError:
                end = "reset"
            s.close()
            assert end == "reset" and got < 64 << 20, (end, got)
            seen["slow reader"] = new_lines(k.gw, start)
        finally:
            source.close()
    if k.name == "ftp":
        # A client that never reads a 5 MiB download: the copy's write times out, which ends
        # that transfer, and the client's data connection is reset, not ended, so that the part
        # it got never passes for the file.
        start = k.gw.count()
        with k.open() as s:
            s.sendall(b"PASV\r\n")
            port = test_ftp.pasv_port(line(s).decode())[1]
            s.sendall(b"RETR big\r\n")
            with algtest.connect(port, IO) as d:
                d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                assert line(s)[:4] in (b"125 ", b"150 ")
                k.gw.wait_for("write timeout", start, timeout=3 * 3 + IO)
                got, end = 0, "end of stream"
                d.settimeout(IO)
                try:
                    for _ in range(100000):
                        chunk = d.recv(65536)
                        if not chunk:
                            break
                        got += len(chunk)
                except ConnectionResetError:
                    end = "reset"
                assert end == "reset" and got < 5 << 20, (end, got)
        seen["slow reader"] = new_lines(k.gw, start)
    assert within(k.settled(), idle)
    print("\n%s faults, logged: %s" % (k.name, seen))


# A server of the test's own in a process of its own, so that it can be killed outright in the
# middle of a transfer. It prints its port, serves one connection by `mode` and then sleeps.
PEER = r'''
import socket, sys, time
mode = sys.argv[1]
ls = socket.socket(); ls.bind(("127.0.0.1", 0)); ls.listen(4)
print(ls.getsockname()[1], flush=True)
c, _ = ls.accept(); f = c.makefile("rb")
MIB = b"y" * (1 << 20)
if mode == "raw":
    c.sendall(MIB)
elif mode == "http":
    f.readline()
    c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (4 << 20) + MIB)
elif mode == "smtp":
    c.sendall(b"220 ready\r\n")
    for _ in range(1000):
        line = f.readline()
        if not line or line.startswith(b"DATA"):
            break
        c.sendall(b"250 ok\r\n")
    c.sendall(b"354 go on\r\n")
elif mode == "ftp":
    c.sendall(b"220 ready\r\n")
    ds = socket.socket(); ds.bind(("127.0.0.1", 0)); ds.listen(1)
    p = ds.getsockname()[1]
    for _ in range(100):
        word = f.readline().split(b" ")[0].strip().upper()
        if word == b"USER": c.sendall(b"331 password\r\n")
        elif word == b"PASV":
            c.sendall(b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (p >> 8, p & 255))
        elif word == b"RETR":
            d, _ = ds.accept(); c.sendall(b"150 here it comes\r\n"); d.sendall(MIB); break
        else: c.sendall(b"230 in\r\n" if word == b"PASS" else b"200 ok\r\n")
time.sleep(60)
'''


class Peer:
    """PEER in a process of its own (.port); kill() ends it with SIGKILL."""

    def __init__(self, mode):
        self.proc = subprocess.Popen([sys.executable, "-c", PEER, mode], stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def kill(self):
        self.proc.kill()
        self.proc.wait(10)
        self.proc.stdout.close()


def test_server_killed_in_the_middle_of_a_transfer(kit):
    """What the client sees when the server dies with a transfer half done: never a reply
    that passes the part for the whole."""
    k = kit(timeout=5)
    idle = k.settled()
    mode = {"socks": "raw", "http": "http", "ftp": "ftp", "smtp": "smtp"}[k.name]
    peer = Peer(mode)
    start = k.gw.count()
    try:
        if k.name == "socks":
            s = k.tunnel(peer.port)
            assert algtest.recv_upto(s, 1 << 20) == b"y" * (1 << 20)
            peer.kill()
            assert algtest.recv_upto(s, 1) == b""  # the server's end, passed on
        elif k.name == "http":
            s = algtest.connect(k.gw.port, IO)
            s.sendall(test_http.get(peer.port, b"/big"))
            head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (4 << 20)
            # Passed on as it arrives, until the cut, which the client sees as a reset.
            assert algtest.recv_upto(s, len(head) + (1 << 20)) == head + b"y" * (1 << 20)
            peer.kill()
            with pytest.raises(ConnectionResetError):
                s.recv(1)
            k.gw.wait_for("Response cut short by the server", start)
        elif k.name == "ftp":
            s = algtest.connect(k.gw.port, IO)
            expect(s, test_ftp.HELLO)
            s.sendall(b"USER 127.0.0.1 %d$demo$bob\r\n" % peer.port)
            expect(s, test_ftp.NEED_PASSWORD)
            s.sendall(b"PASS %s$x\r\n" % test_ftp.PROXY_PASSWORD.encode())
            expect(s, b"230 in\r\n")
            s.sendall(b"PASV\r\n")
            port = test_ftp.pasv_port(line(s).decode())[1]
            s.sendall(b"RETR f\r\n")
            d = algtest.connect(port, IO)
            expect(s, b"150 here it comes\r\n")
            assert algtest.recv_upto(d, 1 << 20) == b"y" * (1 << 20)
            peer.kill()
            assert algtest.recv_upto(d, 1) == b""
            assert algtest.recv_upto(s, 1 << 16) == b""  # no 226 for a cut download
            d.close()
        else:
            s = algtest.connect(k.gw.port, IO)
            expect(s, test_smtp.READY)
            s.sendall(b"EHLO me\r\nAUTH LOGIN\r\n")
            expect(s, test_smtp.HELLO + test_smtp.LOGIN_PROMPT)
            s.sendall(test_smtp.b64(k.gw.user_name(peer.port)))
            expect(s, test_smtp.PASSWORD_PROMPT)
            s.sendall(test_smtp.b64(k.gw.PASSWORD))
            expect(s, test_smtp.AUTH_OK)
            s.sendall(b"MAIL FROM:<a@b>\r\n")
            expect(s, b"250 ok\r\n")
            s.sendall(b"DATA\r\n")
            expect(s, b"354 go on\r\n")
            s.sendall(b"Subject: x\r\n\r\nhalf a message\r\n")
            time.sleep(0.3)
            peer.kill()
            s.sendall(b"more\r\n")
            assert algtest.recv_upto(s, 1 << 16) == b""  # no 250 for a cut message
        s.close()
    finally:
        if peer.proc.poll() is None:
            peer.kill()
    assert within(k.settled(), idle)
    print("\n%s server killed, logged: %s" % (k.name, new_lines(k.gw, start)))


class Radius(test_auth_backends.ForgingServer):
    """A RADIUS server of the test's own that accepts every login with a genuine answer, and
    answers nothing while .silent is set."""

    def __init__(self):
        self.silent = False
        super().__init__(test_auth_backends.SECRET, 2, 2)

    def _serve(self):
        deadline = time.monotonic() + 240
        while not self._done and time.monotonic() < deadline:
            try:
                request, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            if not self.silent:
                self.sock.sendto(self.answer(request, 2, request[1]), peer)


def socks_login(gw, user):
    try:
        return gw.login(user, "any-password", timeout=60)
    except (OSError, EOFError, AssertionError):
        return None


def test_radius_server_falls_silent_while_logins_arrive(launch):
    """Logins that arrive while the server is silent are refused after its two waits; the
    gateway keeps serving, and logins are accepted again once the server answers."""
    radius = Radius()
    try:
        gw = launch(algtest.SocksGateway, test_auth_backends.radius_authsystem(radius.port))
        assert socks_login(gw, "before") is True
        radius.silent = True
        results = []
        workers = [threading.Thread(target=lambda i=i: results.append(socks_login(gw, "u%d" % i)),
                                    daemon=True) for i in range(10)]
        for t in workers:
            t.start()
        for t in workers:
            t.join(60)
        assert results == [False] * 10  # every one answered 1, 3; none hung or cut
        start = gw.count()
        radius.silent = False
        assert socks_login(gw, "after") is True
        assert gw.proc.poll() is None
        refused = [l for l in gw.lines() if "Authentication failed: u" in l]
        assert len(refused) == 10, gw.output()[-2000:]
        print("\nRADIUS silent: 10 logins refused (1, 3); logged %r" % refused[0])
        gw.wait_for("Authentication successful: after", start)
    finally:
        radius.close()


def test_management_service_stopped_and_started_while_gateway_reports(launch, tmp_path):
    """The gateway serves on while its management service is gone and reports to the new one
    once it is back."""
    run = tmp_path / "bus"
    serve = algtest.ManagementService(run)
    radius = Radius()
    try:
        gw = launch(algtest.SocksGateway, test_auth_backends.radius_authsystem(radius.port),
                    env_extra={"ALG_RUNDIR": str(run)})
        assert wait_until(lambda: algtest.status_of(serve.env, "alg_socks"), 15)
        serve.stop()
        assert all(socks_login(gw, "while-gone-%d" % i) is True for i in range(20))
        serve = algtest.ManagementService(run)
        entry = wait_until(lambda: algtest.status_of(serve.env, "alg_socks"), 60, step=0.5)
        assert entry, gw.output()[-2000:]
        assert socks_login(gw, "back") is True
        assert gw.proc.poll() is None
        print("\nmanagement service back: gateway listed again, last message %r"
              % entry.get("last_message"))
    finally:
        serve.stop()
        radius.close()
