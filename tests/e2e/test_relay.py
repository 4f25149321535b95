"""The tunnel of socks-gateway end to end: both directions at once, cut tunnels seen as cut,
and a gateway that runs out of descriptors."""

import hashlib
import os
import resource
import signal
import socket
import struct
import threading

import pytest

import algtest
from test_socks import GATEWAY, gateway, socks5_tunnel, target  # noqa: F401 (fixtures)


def read_to_end(sock, limit=256 << 20):
    """("eof" or "reset", bytes read) for everything up to how the stream ended."""
    got = 0
    while got < limit:
        try:
            chunk = sock.recv(1 << 20)
        except ConnectionResetError:
            return "reset", got
        if not chunk:
            return "eof", got
        got += len(chunk)
    return "limit", got


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
    assert how == "reset", (how, got)
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
