"""The tunnel of socks-gateway end to end: both directions at once, cut tunnels seen as cut,
and a gateway that runs out of descriptors."""

import fcntl
import hashlib
import os
import resource
import signal
import socket
import struct
import termios
import threading
import time

import pytest

import algtest
from algtest import read_to_end, recv_exact
from test_socks import (GATEWAY, gateway, socks5_login, socks5_reply,  # noqa: F401
                        socks5_request, socks5_tunnel, target)


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def test_full_duplex_echo_of_64_mib(gateway, target):
    """The client sends while it reads the echo back: neither direction waits for the other."""
    g = gateway()
    s = socks5_tunnel(g, target().port)
    block = os.urandom(1 << 20)
    blocks = 64
    echoed = hashlib.sha256()
    count = [0]

    def read_echo():
        while count[0] < blocks * len(block):
            chunk = s.recv(1 << 20)
            if not chunk:
                return
            echoed.update(chunk)
            count[0] += len(chunk)

    reader = threading.Thread(target=read_echo, daemon=True)
    reader.start()
    for _ in range(blocks):
        s.sendall(block)
    reader.join(120)
    assert count[0] == blocks * len(block), g.output()
    assert echoed.digest() == hashlib.sha256(block * blocks).digest()
    assert "write timeout" not in g.output()


def test_cut_tunnel_reaches_the_client_as_a_reset(gateway, target):
    """A target that resets after 4 MiB of 16, and a gateway stopped in the middle of a
    download, both leave the client with a reset, never an end of stream."""
    g = gateway()

    def reset_after_4_of_16_mib(conn):
        conn.sendall(os.urandom(4 << 20))
        reset(conn)

    s = socks5_tunnel(g, target(reset_after_4_of_16_mib).port)
    assert read_to_end(s)[0] == "reset"

    def endless(conn):
        block = b"z" * (1 << 20)
        for _ in range(1024):
            conn.sendall(block)

    s = socks5_tunnel(g, target(endless).port)
    assert len(s.recv(65536)) > 0
    g.proc.send_signal(signal.SIGTERM)
    how, got = read_to_end(s)
    assert how == "reset", (how, len(got))
    assert g.wait(10) == 0


def test_running_out_of_descriptors_pauses_accepting(gateway, target):
    """Accept failing for want of descriptors pauses the listener: once the idle connections
    that used them up are closed, new sessions are served again. At start the soft descriptor
    limit is raised to the hard one."""
    if algtest.sanitized(GATEWAY):
        pytest.skip("the sanitizers' own checks need the descriptors this test takes away")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    low = min(soft, hard, 512) // 2
    resource.setrlimit(resource.RLIMIT_NOFILE, (low, hard))
    try:
        g = gateway()
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE) == (hard, hard)

    t = target()
    used = len(os.listdir("/proc/%d/fd" % g.proc.pid))
    resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE, (used + 8, used + 8))
    idle = [g.connect() for _ in range(24)]
    assert g.wait_log("Accepting paused until descriptors or memory are freed"), g.output()
    for s in idle:
        s.close()
    assert g.wait_log("Accepting resumed"), g.output()
    s = socks5_tunnel(g, t.port)
    s.sendall(b"again")
    assert s.recv(5) == b"again"
    # One message per shortage, however often accepting was tried meanwhile.
    edges = [l for l in g.lines() if "Accepting paused" in l or "Accepting resumed" in l]
    assert all(("paused" in l) == (i % 2 == 0) for i, l in enumerate(edges)), edges
    assert len(edges) % 2 == 0, edges


def open_stream(g, port):
    """A client connection with a small receive buffer to the target on `port`, through `g` or
    directly when it is None."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(30)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    s.connect(("127.0.0.1", g.port if g else port))
    if g:
        assert socks5_login(s) == b"\x01\x00"
        socks5_request(s, port)
        assert socks5_reply(s)[0] == 0
    return s


def queued(conn, request):
    return struct.unpack("i", fcntl.ioctl(conn, request, b"\0" * 4))[0]


def test_what_a_peer_sent_before_its_reset_arrives(gateway, target):
    """A server that closes once its 6 MiB have left it and is then reset by the slow client's
    one more byte, and a server that answers an endless upload after 1 MiB with a 413 and closes
    with the rest unread: through the gateway the client reads what it reads directly."""
    g = gateway()
    download = os.urandom(6 << 20)
    answer = b"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"

    def close_once_sent(conn, closed):
        conn.sendall(download)
        algtest.wait_until(lambda: queued(conn, termios.TIOCOUTQ) == 0, 20)
        conn.close()
        closed.set()

    def one_byte_after_close(s, closed):
        taken = []
        for _ in range(4000):
            if closed.is_set():
                break
            taken.append(s.recv(16384))
            time.sleep(0.005)
        s.sendall(b"!")
        time.sleep(0.2)  # the reset comes back before the client reads on
        return b"".join(taken)

    def answer_413_after_1_mib(conn, closed):
        algtest.recv_exact(conn, 1 << 20)
        conn.sendall(answer)
        # Closed with upload bytes unread, so that its system resets.
        algtest.wait_until(lambda: queued(conn, termios.FIONREAD) > 0, 5, 0.01)

    def upload_without_end(s, closed):
        threading.Thread(target=algtest.send_megabytes, args=(s, 256), daemon=True).start()
        return b""

    # (server, client, runs, how the client's stream may end, everything it must read). The
    # uploading client's sender may be the one told of the reset, its reader then sees an end.
    cases = [
        (close_once_sent, one_byte_after_close, 2, {"eof"}, download),
        (answer_413_after_1_mib, upload_without_end, 5, {"eof", "reset"}, answer),
    ]
    for serve, client, runs, how, expected in cases:
        for via in (None, g):
            for run in range(runs):
                closed = threading.Event()
                s = open_stream(via, target(lambda conn: serve(conn, closed)).port)
                before = client(s, closed)
                ended, rest = read_to_end(s)
                got = before + rest
                where = (serve.__name__, "gateway" if via else "direct", run)
                assert ended in how and len(got) == len(expected), (where, ended, len(got))
                assert got == expected, where
                s.close()
    assert "recv() fails : Broken pipe" not in g.output(), g.output()


def test_urgent_bytes_are_carried_in_order(gateway, target):
    """An urgent byte (telnet's interrupt, FTP's abort) reaches the other peer in its place in an
    interactive tunnel and in the middle of a bulk stream, and is no end of the stream."""
    g = gateway()
    bulk, rest = os.urandom(4 << 20), os.urandom(1 << 20)
    # (who sends, what before and after the urgent byte, whether the sender then half closes)
    cases = [("client", b"abc", b"def", False), ("server", bulk, rest, True),
             ("client", bulk, rest, False)]
    for sender, head, tail, half_close in cases:
        expected = head + b"!" + tail
        seen = []

        def send(sock):
            sock.sendall(head)
            sock.send(b"!", socket.MSG_OOB)
            sock.sendall(tail)
            if half_close:
                sock.shutdown(socket.SHUT_WR)

        def receive(sock):
            # Held open, the receiver takes what it expects; a half close must follow it.
            try:
                if half_close:
                    return read_to_end(sock)
                return "open", recv_exact(sock, len(expected))
            except (OSError, EOFError) as e:
                return repr(e), b""

        def serve(conn):
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_OOBINLINE, 1)
            if sender == "server":
                send(conn)
            else:
                seen.append(receive(conn))
            algtest.recv_all(conn)

        s = socks5_tunnel(g, target(serve).port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_OOBINLINE, 1)
        if sender == "client":
            send(s)
            assert algtest.wait_until(lambda: seen, 30), sender
        how, got = seen[0] if sender == "client" else receive(s)
        assert how == ("eof" if half_close else "open"), (sender, how)
        assert len(got) == len(expected) and got == expected, (sender, len(got))
        s.close()
