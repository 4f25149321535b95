"""ftp-gateway end to end: the real program between Python's ftplib, curl, lftp or raw
sockets and a pyftpdlib server (or a scripted one) on loopback."""

import ftplib
import hashlib
import io
import os
import random
import signal
import socket
import subprocess
import threading
import time

import pytest

import algtest
from algtest import recv_all, recv_exact, wait_until

GATEWAY = algtest.program("ftp/ftp-gateway")
PROXY_PASSWORD = "demo-password"
HELLO = (b"220-ALG Proxy server ready\r\n"
         b"USER format: <target ftp-server ip>[ <port>]$<proxy login>$<ftp-server login>\r\n"
         b"PASS format: <proxy password>$<target ftp-server password>\r\n"
         b"220 \r\n")
NEED_PASSWORD = b"331 User name accepted, need password\r\n"
AUTH_FAIL = b"530 Authentication on proxy failed\r\n"
BAD_LOGIN = b"501 Incorrect proxy login or/and password\r\n"
REJECTED = b"502 Host IP rejected\r\n"
SERVER_LOGIN_FAILED = (b" Error login on ftp-server. Try again with login and pass of REMOTE "
                       b"server\r\n")
IO_LIMIT = 10
BIG = 5 * 1024 * 1024 + 123


def data_port_triple():
    """A listening port below the ephemeral range whose neighbours are free too: the gateway's
    data connections come from the ports beside its own, which an ephemeral port of any
    connection would otherwise take at random."""
    low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
    for _ in range(200):
        port = random.randrange(10000, low - 2)
        if not any(algtest.accepting(p) for p in (port - 1, port, port + 1)):
            return port
    pytest.fail("no three free ports in a row")


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


class Gateway(algtest.Gateway):
    """ftp-gateway on a free port: users demo and carol (both with PROXY_PASSWORD); DELE is cut
    for carol only."""

    CUT_DELE = """<cut userid="carol" loglevel="event">
  <option name="COMMAND" masktype="regexp" from="^DELE$" to=""/></cut>"""

    ALLOW = '<access userid="" loglevel="detail" action="allow"/>'

    def __init__(self, base, timeout=30, process=CUT_DELE, rules=ALLOW):
        self.port = data_port_triple()
        text = """<?xml version="1.0" encoding="UTF-8"?>
<algpolicy><proxy name="alg_ftp"><general>
  <listen_port>%d</listen_port><session_timeout>%d</session_timeout>
  <loggers><logger name="Console" loglevel="verbose"/></loggers>
  <authsystem name="Plaintext file"/>
</general><handshake>%s</handshake>
<process>%s</process></proxy></algpolicy>
""" % (self.port, timeout, rules, process)
        passwd = "demo=%s\ncarol=%s\n" % (md5(PROXY_PASSWORD), md5(PROXY_PASSWORD))
        super().__init__(GATEWAY, base, "ftp.xml", text, {"passwd": passwd}, encoding="cp1251")
        if not wait_until(lambda: algtest.accepting(self.port), 10):
            self.stop()
            pytest.fail("ftp-gateway did not listen:\n" + self.output())

    def ftp(self, server_port, proxy_user="demo", login="bob", password="bob-pw",
            host="127.0.0.1"):
        """An ftplib session through the gateway, logged in on the server at `host`."""
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.port, timeout=IO_LIMIT)
        f.login("%s %d$%s$%s" % (host, server_port, proxy_user, login),
                "%s$%s" % (PROXY_PASSWORD, password))
        return f

    def control(self):
        """A raw control connection that has read the greeting."""
        c = Control(algtest.connect(self.port, IO_LIMIT))
        assert recv_exact(c.sock, len(HELLO)) == HELLO
        return c


class Control:
    """A raw FTP control connection."""

    def __init__(self, sock):
        self.sock = sock
        self.file = sock.makefile("rb")

    def send(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def reply(self):
        """One complete reply as bytes (every line)."""
        first = self.file.readline()
        text = first
        if first[3:4] == b"-":
            while True:
                line = self.file.readline()
                assert line, "reply cut: %r" % text
                text += line
                if line[:3] == first[:3] and line[3:4] == b" ":
                    break
        return text

    def closed(self):
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True


def scripted(greeting, answers, host="127.0.0.1"):
    """An FTP server on `host` that sends `greeting`, then for each command line the bytes
    answers[WORD] (a list of them is sent with 200 ms between items; missing: "200 ok")."""

    def serve(conn):
        conn.sendall(greeting)
        f = conn.makefile("rb")
        for _ in range(100):
            line = f.readline()
            if not line:
                return
            word = line.split()[0].decode().upper() if line.strip() else ""
            answer = answers.get(word, b"200 ok\r\n")
            for i, part in enumerate(answer if isinstance(answer, list) else [answer]):
                if i:
                    time.sleep(0.2)
                conn.sendall(part)

    return algtest.LoopbackServer(serve, io_timeout=IO_LIMIT, host=host)


@pytest.fixture
def gateway(launch):
    if not os.access(GATEWAY, os.X_OK):
        pytest.fail("ftp-gateway not built in ALG_BUILD_DIR")
    return launch(Gateway)


def test_ignored_rules_warned_by_gateway_and_checker(launch):
    process = Gateway.CUT_DELE.replace(
        "</cut>", '<body masktype="wild" from="*"/></cut>') + '<replace userid=""/><replace/>'
    g = launch(Gateway, process=process)
    g.wait_for("Started")
    for text in ("Replace section ignored for FTP filter", "Body element ignored for FTP cut filter"):
        assert g.output().count(text) == 1, g.output()
    result = subprocess.run([algtest.program("tools/algpolicy"), "check", str(g.settings)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert result.stdout.count("ignored by the FTP listener: it applies no replace") == 2
    assert "body rules ignored by the FTP listener" in result.stdout


@pytest.fixture
def server(tmp_path):
    root = tmp_path / "ftproot"
    root.mkdir()
    (root / "big").write_bytes(os.urandom(BIG))
    with algtest.FtpServer(root) as s:
        s.root = root
        yield s


def test_proxy_login(gateway, server):
    c = gateway.control()
    c.send("QUIT")
    assert c.closed()

    c = gateway.control()
    for _ in range(3):
        c.send("USER 127.0.0.1 %d$demo$bob" % server.port)
        assert c.reply() == NEED_PASSWORD
        c.send("PASS wrong$bob-pw")
        assert c.reply() == AUTH_FAIL
    assert c.closed()

    c = gateway.control()
    c.send("NOOP")
    assert c.reply() == b'530 Use "USER" command first\r\n'
    c.send("USER 127.0.0.1 %d" % server.port)
    assert c.reply() == NEED_PASSWORD
    c.send("PASS %s$bob-pw" % PROXY_PASSWORD)
    assert c.reply() == BAD_LOGIN and len(BAD_LOGIN) == 43
    assert gateway.has_line("Incorrect login/password format")
    c.send("USER 127.0.0.1 %d$demo$bob" % server.port)
    assert c.reply() == NEED_PASSWORD
    c.send("PASS %s$bob-pw" % PROXY_PASSWORD)
    assert c.reply().startswith(b"230 ")
    c.send("QUIT")
    assert c.reply().startswith(b"221 ") and c.closed()


def test_server_greetings_and_logins(gateway):
    def login(srv, proxy_user="demo"):
        c = gateway.control()
        c.send("USER 127.0.0.1 %d$%s$bob" % (srv.port, proxy_user))
        assert c.reply() == NEED_PASSWORD
        c.send("PASS %s$pw" % PROXY_PASSWORD)
        return c

    # Two 120 replies are waited through; STAT's second reply within a second is passed on.
    slow = scripted(b"120 soon\r\n120 soon\r\n220 ready\r\n",
                    {"USER": b"331 pw\r\n", "PASS": b"230 in\r\n",
                     "STAT": [b"211-status\r\n211 end\r\n", b"211 more\r\n"],
                     "QUIT": b"221 bye\r\n"})
    c = login(slow)
    assert c.reply() == b"230 in\r\n"
    c.send("STAT")
    assert c.reply() == b"211-status\r\n211 end\r\n"
    assert c.reply() == b"211 more\r\n"
    c.send("QUIT")
    assert c.reply() == b"221 bye\r\n" and c.closed()

    # A server that needs no password answers USER with 230.
    open_server = scripted(b"220 hi\r\n", {"USER": b"230 no password needed\r\n"})
    c = login(open_server)
    assert c.reply() == b"230 no password needed\r\n"
    c.send("NOOP")
    assert c.reply() == b"200 ok\r\n"

    # A rejected server password: the code and the hint, then a login through the relay.
    strict = scripted(b"220 hi\r\n", {"USER": b"331 pw\r\n", "PASS": [b"530 no\r\n"]})
    c = login(strict)
    hint = c.reply()
    assert hint == b"530" + SERVER_LOGIN_FAILED and len(SERVER_LOGIN_FAILED) == 76
    c.send("USER other")
    assert c.reply() == b"331 pw\r\n"
    for s in (slow, open_server, strict):
        s.close()


def pasv_port(reply):
    fields = reply[reply.index("(") + 1:reply.index(")")].split(",")
    return fields[:4], int(fields[4]) * 256 + int(fields[5])


def test_pasv_transfers_stranger_and_late_client(gateway, server):
    data = (server.root / "big").read_bytes()
    f = gateway.ftp(server.port)
    listing = []
    f.retrlines("LIST", listing.append)
    assert any(line.endswith(" big") for line in listing)
    got = bytearray()
    f.retrbinary("RETR big", got.extend)
    assert bytes(got) == data
    f.storbinary("STOR up", io.BytesIO(data[::-1]))
    assert (server.root / "up").read_bytes() == data[::-1]
    # Every data connection to the server came from the port above the listener's.
    assert server.data_peers and all(p == ("127.0.0.1", gateway.port + 1)
                                     for p in server.data_peers)

    # The 227 names the gateway; a data connection from another host is refused, and a client
    # that does not connect in time gets 425.
    reply = f.sendcmd("PASV")
    assert reply.startswith("227 PASV command succesful (127,0,0,1,") and reply.endswith(")")
    host, port = pasv_port(reply)
    stranger = socket.socket()
    stranger.bind(("127.0.0.2", 0))
    stranger.settimeout(IO_LIMIT)
    stranger.connect(("127.0.0.1", port))
    f.putcmd("RETR big")
    with pytest.raises(ftplib.error_temp, match="^425 Can't open data connection$"):
        f.getresp()
    assert Control(stranger).closed()
    assert gateway.has_line("unexpected host refused: 127.0.0.2")
    f.close()

    # curl in passive mode.
    out = server.root.parent / "curl.out"
    subprocess.run(["curl", "-sS", "--disable-epsv", "--max-time", "60", "-o", str(out),
                    "--user", "127.0.0.1 %d$demo$bob:%s$bob-pw" % (server.port, PROXY_PASSWORD),
                    "ftp://127.0.0.1:%d/big" % gateway.port], check=True, timeout=90)
    assert out.read_bytes() == data


def test_port_transfers(gateway, server, tmp_path):
    data = (server.root / "big").read_bytes()
    f = gateway.ftp(server.port)
    c = Control(f.sock)
    c.send("TYPE I")
    assert c.reply().startswith(b"200 ")
    receiver = socket.socket()
    receiver.bind(("127.0.0.1", 0))
    receiver.listen(1)
    receiver.settimeout(IO_LIMIT)
    port = receiver.getsockname()[1]
    c.send("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255))
    assert c.reply().startswith(b"200 ")
    # The server was told the gateway's own listening port, never the client's.
    _, told = pasv_port("(%s)" % server.ports[-1])
    assert server.ports[-1].startswith("127,0,0,1,") and told != port
    c.send("RETR big")
    assert c.reply()[:4] in (b"150 ", b"125 ")
    conn, peer = receiver.accept()
    assert peer == ("127.0.0.1", gateway.port - 1)
    assert recv_all(conn) == data
    conn.close()
    assert c.reply().startswith(b"226 ")
    f.close()

    # lftp in active mode, both ways.
    local = tmp_path / "lftp.in"
    local.write_bytes(data[:-7])
    script = ("set ftp:ssl-allow no; set ftp:passive-mode off; set ftp:prefer-epsv no; "
              "set net:max-retries 1; set net:timeout 20; "
              "open -u '127.0.0.1 %d$demo$bob,%s$bob-pw' ftp://127.0.0.1:%d; "
              "get big -o %s; put %s -o up; quit"
              % (server.port, PROXY_PASSWORD, gateway.port, tmp_path / "lftp.out", local))
    subprocess.run(["lftp", "-c", script], check=True, timeout=120)
    assert (tmp_path / "lftp.out").read_bytes() == data
    assert (server.root / "up").read_bytes() == data[:-7]


def test_abort_filter_and_restart(gateway, server):
    # ABOR while a download runs: 426 and one more reply, and the session goes on.
    (server.root / "huge").write_bytes(os.urandom(64 << 20))
    f = gateway.ftp(server.port)
    conn = f.transfercmd("RETR huge")
    conn.settimeout(IO_LIMIT)
    assert recv_exact(conn, 65536)
    drained = []
    drain = threading.Thread(target=lambda: drained.append(len(recv_all(conn))), daemon=True)
    drain.start()
    f.sock.sendall(b"ABOR\r\n")
    assert f.getline().startswith("426 ")
    assert f.getline().startswith("226 ")
    drain.join(IO_LIMIT)
    assert drained and drained[0] + 65536 < 64 << 20
    assert f.voidcmd("NOOP").startswith("200")

    # DELE is cut for carol only.
    (server.root / "x").write_bytes(b"x")
    carol = gateway.ftp(server.port, proxy_user="carol")
    with pytest.raises(ftplib.error_perm, match="^502 Host IP rejected$"):
        carol.delete("x")
    assert (server.root / "x").exists() and gateway.has_line("Cut option")
    f.delete("x")
    assert not (server.root / "x").exists()
    carol.close()

    # An idle upload sleeps; SIGHUP ends it at once and the gateway serves again.
    idle = f.transfercmd("STOR idle")
    before = gateway.cpu_seconds()
    time.sleep(1.0)
    assert gateway.cpu_seconds() - before < 0.2
    start = time.monotonic()
    gateway.signal(signal.SIGHUP)
    idle.settimeout(2)
    assert Control(idle).closed()
    assert Control(f.sock).closed()
    assert time.monotonic() - start < 2
    assert wait_until(lambda: gateway.output().count("Started") >= 2, 10), gateway.output()
    again = wait_until(lambda: _try_login(gateway, server.port), 10)
    assert again, gateway.output()
    assert "big" in again.nlst()
    again.close()


def _try_login(gateway, server_port):
    try:
        return gateway.ftp(server_port)
    except (OSError, EOFError, ftplib.Error):
        return None


def test_sample_policy_serves_demo_and_refuses_dele(launch, server, tmp_path):
    source = os.environ.get("ALG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
    with open(os.path.join(source, "examples", "ftp.xml")) as f:
        sample = f.read()
    with open(os.path.join(source, "examples", "passwd")) as f:
        passwd = f.read()
    port = data_port_triple()
    assert "<listen_port>2121</listen_port>" in sample
    policy = sample.replace("<listen_port>2121<", "<listen_port>%d<" % port)
    g = launch(lambda base: algtest.Gateway(GATEWAY, base, "ftp.xml", policy,
                                            {"passwd": passwd}, encoding="cp1251"))
    assert wait_until(lambda: algtest.accepting(port), 10), g.output()
    out = tmp_path / "sample.out"
    result = subprocess.run(
        ["curl", "-sS", "--disable-epsv", "--max-time", "30", "-o", str(out),
         "--user", "127.0.0.1 %d$demo$bob:demo-password$bob-pw" % server.port,
         "-Q", "-DELE big", "ftp://127.0.0.1:%d/big" % port], timeout=60,
        capture_output=True, text=True)
    assert "QUOT string not accepted: DELE big" in result.stderr and g.has_line("Cut option")
    assert out.read_bytes() == (server.root / "big").read_bytes()
    assert (server.root / "big").exists()
