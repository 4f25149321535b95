"""ftp-gateway as a firewall sees it: the FTP server on 127.0.0.2 and the gateway on 127.0.0.1,
so that a data connection made past the gateway shows by its peer address. Data addresses of
other hosts and second spellings of the port are refused, a reload cuts an upload with a reset,
what a data peer sent before its reset arrives first, commands during a download keep the data
moving, and MLSD, APPE, STOU, EPSV and EPRT go through the gateway with ftplib, curl and lftp at
their default settings."""

import hashlib
import io
import os
import signal
import socket
import subprocess
import termios
import threading
import time

import pytest

import algtest
from algtest import recv_all, recv_exact, wait_until
from test_ftp import (BAD_LOGIN, GATEWAY, IO_LIMIT, PROXY_PASSWORD, REJECTED, Control, Gateway,
                      scripted)
from test_relay import open_stream, queued, reset

SERVER = "127.0.0.2"
VICTIM = "127.0.0.3"
BIG = 3 * 1024 * 1024 + 77
NO_DATA = b"425 Can't open data connection\r\n"
NO_PROTOCOL = b"522 Network protocol not supported, use (1)\r\n"


@pytest.fixture
def root(tmp_path):
    folder = tmp_path / "ftproot"
    folder.mkdir()
    (folder / "big").write_bytes(os.urandom(BIG))
    return folder


@pytest.fixture
def server(root):
    with algtest.FtpServer(root, host=SERVER) as s:
        yield s


def start(launch, rules=Gateway.ALLOW):
    assert os.access(GATEWAY, os.X_OK), "ftp-gateway not built in ALG_BUILD_DIR"
    return launch(Gateway, rules=rules)


def login(gateway, user_field, first=b"230 "):
    """A raw control connection after USER `user_field`$demo$bob and PASS, whose reply must
    begin with `first`."""
    c = gateway.control()
    c.send("USER %s$demo$bob" % user_field)
    c.reply()
    c.send("PASS %s$bob-pw" % PROXY_PASSWORD)
    reply = c.reply()
    assert reply.startswith(first), (user_field, reply)
    return c


def through_gateway(server, gateway):
    """Whether every data connection the server saw came from the gateway: from the port above
    its listener (passive) or to a PORT the gateway sent (active, never an EPRT)."""
    mine = {("127.0.0.1", gateway.port + 1)} | {
        ("127.0.0.1", int(f[4]) * 256 + int(f[5])) for f in (p.split(",") for p in server.ports)}
    return all(p.startswith("127,0,0,1,") for p in server.ports) and bool(server.data_peers) \
        and set(server.data_peers) <= mine


def test_refused_logins_data_addresses_and_passive_replies(launch, server, root):
    blocked = algtest.free_port()
    rules = ("""<access userid="" loglevel="event" action="reject">
  <filterby name="IP" masktype="wild">%s</filterby></access>
<access userid="" loglevel="event" action="reject">
  <filterby name="Port" masktype="wild">%d</filterby></access>""" % (VICTIM, blocked)
             + Gateway.ALLOW)
    g = start(launch, rules)

    # The rules judge the port the gateway connects to: one spelling of it, or no login.
    for user_field, first in [
            ("%s %d" % (SERVER, server.port), b"230 "),
            ("%s 0%d" % (SERVER, server.port), b"230 "),
            ("%s %dP" % (SERVER, server.port), BAD_LOGIN),
            ("%s +%d" % (SERVER, server.port), BAD_LOGIN),
            ("%s 0%d" % (SERVER, blocked), REJECTED),
            ("%s %d" % (VICTIM, server.port), REJECTED)]:
        login(g, user_field, first).sock.close()

    c = login(g, "%s %d" % (SERVER, server.port))
    for command, reply in [
            ("PORT 127,0,0,3,4,1", REJECTED),
            ("PORT 127,0,0,2,0,21", REJECTED),
            ("EPRT |1|127.0.0.3|1025|", REJECTED),
            ("EPRT |2|::1|1025|", NO_PROTOCOL),
            ("EPSV 2", NO_PROTOCOL),
            ("PORT 300,0,0,1,4,1", b"501 Incorrect arguments for 'PORT' command\r\n"),
            ("RETR big", NO_DATA)]:
        c.send(command)
        assert c.reply() == reply, command
    c.send("NOOP")
    assert c.reply().startswith(b"200 ")
    assert server.ports == [] and server.data_peers == []
    assert g.has_line("FTP data address of another host refused: 127.0.0.3")
    c.sock.close()

    # A 227 naming another host: the gateway connects to the server it logged in to.
    with algtest.FtpServer(root, host=SERVER, masquerade=VICTIM) as masked:
        f = g.ftp(masked.port, host=SERVER)
        got = bytearray()
        f.retrbinary("RETR big", got.extend)
        assert bytes(got) == (root / "big").read_bytes()
        assert masked.data_peers == [("127.0.0.1", g.port + 1)]
        assert g.has_line("passive data; its own address used: %s" % VICTIM)
        f.close()
    # A 227 that does not decode reaches the client as a failure, not as an address.
    bad = scripted(b"220 hi\r\n", {"USER": b"331 pw\r\n", "PASS": b"230 in\r\n",
                                   "PASV": b"227 Entering Passive Mode (300,0,0,1,4,1)\r\n"},
                   host=SERVER)
    c = login(g, "%s %d" % (SERVER, bad.port), b"230 in\r\n")
    for command in ("PASV", "EPSV"):
        c.send(command)
        assert c.reply() == NO_DATA
    c.send("NOOP")
    assert c.reply() == b"200 ok\r\n"
    assert g.has_line("Malformed passive reply from FTP server: 227 Entering Passive Mode "
                      "(300,0,0,1,4,1)")
    bad.close()


def upload_sink(seen, transfer=None):
    """An FTP server on SERVER that takes uploads in passive mode; for each it appends to
    seen["bytes"] the count received so far and, once the data connection has ended, "end"
    (the end of the stream: a whole file) or "reset" to seen["ends"]. With `transfer`, STOR and
    RETR get transfer(data connection) instead, then the reply it returns."""

    def serve(conn):
        data = socket.create_server((SERVER, 0))
        data.settimeout(IO_LIMIT)
        conn.sendall(b"220 sink\r\n")
        lines = conn.makefile("rb")
        answers = {b"USER": b"331 pw\r\n", b"PASS": b"230 in\r\n"}
        for _ in range(20):
            line = lines.readline()
            if not line:
                return
            word = line.split()[0].upper()
            if word == b"PASV":
                port = data.getsockname()[1]
                conn.sendall(b"227 Entering Passive Mode (127,0,0,2,%d,%d)\r\n"
                             % (port >> 8, port & 255))
            elif word in (b"STOR", b"RETR"):
                d, _ = data.accept()
                conn.sendall(b"150 go\r\n")
                d.settimeout(IO_LIMIT)
                if transfer:
                    conn.sendall(transfer(d))
                    continue
                seen["bytes"].append(0)
                try:
                    for _ in range(100000):
                        chunk = d.recv(65536)
                        if not chunk:
                            seen["ends"].append("end")
                            break
                        seen["bytes"][-1] += len(chunk)
                except ConnectionResetError:
                    seen["ends"].append("reset")
                d.close()
            else:
                conn.sendall(answers.get(word, b"200 ok\r\n"))

    return algtest.LoopbackServer(serve, io_timeout=IO_LIMIT, host=SERVER)


def test_stop_or_reload_during_upload_resets_both_data_legs(launch):
    seen = {"bytes": [], "ends": []}
    sink = upload_sink(seen)
    for sig in (signal.SIGHUP, signal.SIGTERM):
        g = start(launch)
        f = g.ftp(sink.port, host=SERVER)
        conn = f.transfercmd("STOR part")
        conn.settimeout(IO_LIMIT)
        conn.sendall(os.urandom(3 << 20))
        assert wait_until(lambda: seen["bytes"] and seen["bytes"][-1] == 3 << 20, 10)
        # Both data legs of the gateway probe a silent peer: the one to the client's data port
        # and the one from the port above its listener.
        for leg in ("dport = :%d" % conn.getsockname()[1], "sport = :%d" % (g.port + 1)):
            shown = subprocess.run(["ss", "-tnoH", "state", "established", leg],
                                   capture_output=True, text=True, timeout=10).stdout
            assert "timer:(keepalive" in shown, (leg, shown)
        g.signal(sig)
        # Both peers learn that the file was cut: a reset, not the end of a file.
        with pytest.raises(ConnectionResetError):
            conn.recv(1)
        assert wait_until(lambda: len(seen["ends"]) == len(seen["bytes"]), 10)
        assert seen["ends"][-1] == "reset", g.output()
        g.stop()
    sink.close()


def test_what_a_data_peer_sent_before_its_reset_arrives(launch):
    """A server that closes, or resets, once the 6 MiB of a download have left it (the slow
    client then sending a byte on the closed connection), and one that resets an upload after
    1 MiB: the client gets all the server sent, a reset when the server reset, then its reply."""
    g = start(launch)
    download, sent, cut = os.urandom(6 << 20), b"226 sent\r\n", b"426 cut\r\n"
    closed = threading.Event()

    def transfer(end, d):
        if end == "upload":
            recv_exact(d, 1 << 20)
        else:
            d.sendall(download)
            wait_until(lambda: queued(d, termios.TIOCOUTQ) == 0, 30)
        d.close() if end == "close" else reset(d)
        closed.set()
        return sent if end == "close" else cut

    # (how the server ends the data, the command, how the client's data stream may end)
    for end, command, ends in [("close", "RETR", {"eof", "reset"}), ("reset", "RETR", {"reset"}),
                               ("upload", "STOR", {"reset"})]:
        closed.clear()
        server = upload_sink(None, lambda d, end=end: transfer(end, d))
        c = login(g, "%s %d" % (SERVER, server.port), b"230 in\r\n")
        c.send("EPSV")
        s = open_stream(None, int(c.reply().split(b"|")[3]))
        c.send(command + " file")
        assert c.reply() == b"150 go\r\n"
        # The client reads slowly; the byte goes once the server has closed.
        taken, ended, stray = [], "limit", end == "close"
        try:
            if command == "STOR":
                s.sendall(download[:2 << 20])
            for _ in range(4000):
                if stray and closed.is_set():
                    s.sendall(b"!")
                    stray = False
                taken.append(s.recv(16384))
                if not taken[-1]:
                    ended = "eof"
                    break
                time.sleep(0.005)
        except ConnectionResetError:
            ended = "reset"
        got = b"".join(taken)
        assert ended in ends, (end, ended, len(got))
        assert got == (download if command == "RETR" else b""), (end, len(got))
        assert c.reply() == (sent if end == "close" else cut), end
        s.close()
        server.close()


def test_commands_during_a_large_download(launch, server, root, tmp_path):
    (root / "huge").write_bytes(os.urandom(64 << 20))
    digest = hashlib.md5((root / "huge").read_bytes()).hexdigest()
    vsftpd = launch(algtest.Vsftpd, root, SERVER)
    g = start(launch)

    sessions = {"vsftpd": lambda: g.ftp(vsftpd.port, login="anonymous", password="x", host=SERVER),
                "pyftpdlib": lambda: g.ftp(server.port, host=SERVER)}

    # (server, command, how it is sent, what becomes of the data: the client drops it, or it
    # arrives whole, or cut short by the server; the codes of the replies the client must see
    # in this order). vsftpd answers only once the transfer has ended, pyftpdlib at once.
    for peer, command, how, data, codes in [
            ("vsftpd", "NOOP", "plain", "whole", ["226", "200"]),
            ("vsftpd", "STAT", "plain", "whole", ["226", "211"]),
            ("vsftpd", "ABOR", "plain", "drop", ["426", "225"]),
            ("vsftpd", "ABOR", "urgent", "drop", ["426", "225"]),
            ("vsftpd", "ABOR", "telnet", "drop", ["426", "225"]),
            ("pyftpdlib", "NOOP", "plain", "whole", ["200", "226"]),
            ("pyftpdlib", "ABOR", "urgent", "cut", ["426", "226"]),
            ("pyftpdlib", "ABOR", "telnet", "cut", ["426", "226"])]:
        row = "%s %s %s" % (peer, command, how)
        f = sessions[peer]()
        f.voidcmd("TYPE I")
        conn = f.transfercmd("RETR huge")
        conn.settimeout(IO_LIMIT)
        head = recv_exact(conn, 65536)
        received = []
        if data == "drop":
            conn.close()
        else:
            reader = threading.Thread(target=lambda: received.append(head + recv_all(conn)),
                                      daemon=True)
            reader.start()
        if how == "urgent":
            # The way ftplib's abort() sends it: the last byte is urgent data.
            f.sock.sendall(b"ABOR\r\n", socket.MSG_OOB)
        elif how == "telnet":
            f.sock.sendall(b"\xff\xf4\xff")
            f.sock.sendall(b"\xf2", socket.MSG_OOB)
            f.sock.sendall(b"ABOR\r\n")
        else:
            f.sock.sendall(command.encode() + b"\r\n")
        got = [f.getmultiline()[:3] for _ in codes]
        assert got == codes, row
        if data != "drop":
            reader.join(IO_LIMIT * 3)
            assert received, row
            if data == "whole":
                assert hashlib.md5(received[0]).hexdigest() == digest, row
            else:
                assert len(received[0]) < 64 << 20, row
            conn.close()
        # The replies are in step: the next command gets its own.
        assert f.sendcmd("PWD").startswith("257"), row
        f.close()


def test_mlsd_appe_stou_epsv_eprt_with_default_clients(launch, server, root, tmp_path):
    g = start(launch)
    data = (root / "big").read_bytes()
    f = g.ftp(server.port, host=SERVER)
    assert dict(f.mlsd())["big"]["size"] == str(BIG)
    f.storbinary("APPE joined", io.BytesIO(data[:1000]))
    f.storbinary("APPE joined", io.BytesIO(data[1000:]))
    assert (root / "joined").read_bytes() == data
    assert f.storbinary("STOU", io.BytesIO(b"unique")).startswith("226")
    assert sorted(p.read_bytes() for p in root.iterdir()
                  if p.name not in ("big", "joined")) == [b"unique"]

    # EPSV and EPRT by hand: the 229 names a port of the gateway's; EPRT gets the data from it.
    c = Control(f.sock)
    c.send("EPSV")
    reply = c.reply().decode()
    assert reply.startswith("229 Entering Extended Passive Mode (|||") and reply.endswith("|)\r\n")
    port = int(reply.split("|")[3])
    with socket.create_connection(("127.0.0.1", port), timeout=IO_LIMIT) as conn:
        c.send("RETR big")
        assert c.reply()[:4] in (b"150 ", b"125 ")
        assert recv_all(conn) == data
    assert c.reply().startswith(b"226 ")
    receiver = socket.create_server(("127.0.0.1", 0))
    receiver.settimeout(IO_LIMIT)
    c.send("EPRT |1|127.0.0.1|%d|" % receiver.getsockname()[1])
    assert c.reply().startswith(b"200 ")
    c.send("RETR big")
    assert c.reply()[:4] in (b"150 ", b"125 ")
    conn, peer = receiver.accept()
    assert peer == ("127.0.0.1", g.port - 1)
    assert recv_all(conn) == data
    conn.close()
    receiver.close()
    assert c.reply().startswith(b"226 ")
    assert f.quit().startswith("221")  # the server's own farewell

    # curl (EPSV, and EPRT in active mode) and lftp (EPSV, MLSD for cls) as they come.
    user = "%s %d$demo$bob" % (SERVER, server.port)
    url = "ftp://127.0.0.1:%d/" % g.port
    for name, extra in [("curl.pasv", ["-o"]), ("curl.act", ["-P", "127.0.0.1", "-o"]),
                        ("curl.pasv", ["-T"])]:
        subprocess.run(["curl", "-sS", "--max-time", "60", "--user",
                        "%s:%s$bob-pw" % (user, PROXY_PASSWORD)] + extra
                       + [str(tmp_path / name), url + ("up" if "-T" in extra else "big")],
                       check=True, timeout=90)
        assert (tmp_path / name).read_bytes() == data, name
    assert (root / "up").read_bytes() == data
    script = ("set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 20; "
              "open -u '%s,%s$bob-pw' %s; cls -1; get big -o %s; put %s -o lftp.up; quit"
              % (user, PROXY_PASSWORD, url, tmp_path / "lftp.out", tmp_path / "lftp.out"))
    result = subprocess.run(["lftp", "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "big" in result.stdout.split()
    assert (tmp_path / "lftp.out").read_bytes() == data
    assert (root / "lftp.up").read_bytes() == data
    assert through_gateway(server, g), (server.data_peers, server.ports)
