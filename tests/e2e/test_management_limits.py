"""The management service and tools against hostile clients, stalled outputs, special files and
careless folders: algctl serve, algctl, algpolicy, socks-gateway and scripts/run.sh."""

import json
import os
import pathlib
import select
import signal
import socket
import stat
import subprocess
import time

import pytest

import algtest
from algtest import BusSession, algctl, status_of, status_record, text, u32, wait_until

CLIENT = algtest.program("tests/progs/bus_client")
ALGPOLICY = algtest.program("tools/algpolicy")
SOCKS = algtest.program("socks/socks-gateway")
RUN_SH = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "run.sh"

VALID = b"""<algpolicy><proxy name="alg_socks"><general><listen_port>1080</listen_port>
<loggers><logger name="Console" loglevel="event"/></loggers><authsystem name="Stub"/></general>
<handshake/></proxy></algpolicy>
"""
# What a gateway or policy may send, and how an operator must see it.
CONTROLS = b"boom\x1b[2J\xc2\x9b\x9b"
ESCAPED = rb"boom\x1b[2J\u009b\x9b"


@pytest.fixture
def serve(tmp_path):
    with algtest.ManagementService(tmp_path / "run") as service:
        yield service


def algpolicy(*args):
    return subprocess.run([ALGPOLICY, *args], capture_output=True, timeout=30)


def test_silent_connections_do_not_lock_the_service_out(serve):
    silent = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(64)]
    try:
        for s in silent:
            s.connect(str(serve.socket))
        # At once, not after the silent ones ran out of time: they give way to a new session.
        r = algctl(serve.env, "status", timeout=10)
        assert r.returncode == 0, r.stderr
        # The newest was not shed for it, but is not kept beyond the deadline of a first frame.
        silent[-1].settimeout(5)
        assert silent[-1].recv(1) == b""
    finally:
        for s in silent:
            s.close()


def test_announced_payloads_cost_only_the_bytes_that_arrived(serve):
    before = algtest.vm_rss_kb(serve.proc.pid)
    sessions = [BusSession(serve.socket) for _ in range(64)]
    try:
        for s in sessions:
            s.send_frame(30, 1, b"x", announced=8 << 20)
        time.sleep(0.5)
        grown = algtest.vm_rss_kb(serve.proc.pid) - before
        assert grown < 32 << 10, "grew by %d kB" % grown  # 512 MiB if reserved up front
    finally:
        for s in sessions:
            s.close()


def test_a_stdout_nobody_reads_holds_nothing_up(tmp_path):
    with algtest.UnreadManagementService(tmp_path / "run") as serve:
        pusher = BusSession(serve.socket, timeout=2)
        request = text("proxy_socks") + text(VALID)
        # Each push is a line of output: far more than a pipe and the outbox hold.
        for _ in range(8000):
            status, reply = pusher.call(30, 2, request)
            assert status == 0 and len(reply) == 4
        pusher.close()
        r = algctl(serve.env, "status", timeout=10)
        assert r.returncode == 0, r.stderr
        assert serve.stop(timeout=5) == 0


def test_fresh_gateways_get_in_after_made_up_names(serve, tmp_path):
    faker = BusSession(serve.socket)
    for n in range(64):
        assert faker.call(20, 3, text("fake%d" % n) + text(""))[0] == 0
        assert faker.call(23, 6, status_record("fake%d" % n))[0] == 0
    faker.close()
    settings = tmp_path / "socks.xml"
    with algtest.Program([CLIENT, "alg_socks", "proxy_socks", str(settings)], serve.env):
        assert wait_until(lambda: status_of(serve.env, "alg_socks"), 5, step=0.2)
        policy = tmp_path / "policy.xml"
        policy.write_bytes(VALID)
        r = algctl(serve.env, "push", "proxy_socks", str(policy), "--timeout", "30")
        assert r.returncode == 0, r.stdout + r.stderr
        assert settings.read_bytes() == VALID


def test_texts_from_gateways_and_policies_reach_the_operator_escaped(serve, tmp_path):
    monitor = BusSession(serve.socket, "Monitor")
    assert monitor.call(23, 6, status_record("alg_evil", CONTROLS))[0] == 0
    assert monitor.call(23, 5, u32(3) + text("alg_evil ") + text(CONTROLS))[0] == 0
    for args in (["status"], ["log"]):
        out = algctl(serve.env, *args).stdout
        assert ESCAPED in out and b"\x1b" not in out and b"\x9b" not in out, out
    # JSON keeps UTF-8 text as it is and carries every control as an escape.
    utf8 = "шлюз \u009b".encode()
    assert monitor.call(23, 6, status_record("alg_utf8", utf8))[0] == 0
    out = algctl(serve.env, "status", "--json").stdout
    assert b"\x1b" not in out and b"\x9b" not in out, out
    rows = {row["name"]: row for row in json.loads(out)}
    assert rows["alg_utf8"]["last_message"] == utf8.decode()
    assert rows["alg_evil"]["last_message"].startswith("boom\x1b[2J\u009b")

    # A loader that takes the policy and registers again with a start-up error.
    policy = tmp_path / "policy.xml"
    policy.write_bytes(VALID)
    loader = BusSession(serve.socket, "Loader")
    assert loader.call(20, 3, text("proxy_socks") + text(""))[0] == 0
    push = subprocess.Popen([algtest.ALGCTL, "push", "proxy_socks", str(policy)],
                            env=serve.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert wait_until(lambda: loader.call(20, 4)[1][:4] == u32(1), 10, step=0.1)
        assert loader.call(20, 3, text("proxy_socks") + text(CONTROLS))[0] == 0
        out, _ = push.communicate(timeout=20)
    finally:
        push.kill()
    assert push.returncode == 3
    assert b"proxy_socks registered: " + ESCAPED in out and b"\x9b" not in out
    serve.wait_for_line(r"registered after policy 1: boom\\x1b\[2J\\u009b\\x9b$", 5)

    bad = tmp_path / "bad.xml"
    bad.write_bytes(VALID.replace(b'loglevel="event"', b'loglevel="x&#x9b;\xc2\x9by"'))
    out = algpolicy("check", str(bad)).stdout
    assert rb'"x\u009b\u009by"' in out and b"\xc2\x9b" not in out, out
    out = algpolicy("format", str(bad)).stdout  # the same document, controls as references
    assert b'loglevel="x&#x9B;&#x9B;y"' in out and b"\xc2\x9b" not in out, out


# (character a gateway's text carries, how status and log show it, how status --json does)
HIDDEN_CHARACTERS = [
    ("\u202e", rb"\u202e", rb"\u202e"),  # right-to-left override: reverses what follows
    ("\u2028", rb"\u2028", rb"\u2028"),  # line separator
    ("\u2029", rb"\u2029", rb"\u2029"),  # paragraph separator
    ("\u2066", rb"\u2066", rb"\u2066"),  # left-to-right isolate
    ("\x7f", rb"\x7f", rb"\u007f"),
]


def test_reordering_characters_and_del_reach_the_operator_escaped(serve, tmp_path):
    monitor = BusSession(serve.socket, "Monitor")
    for i, (char, shown, in_json) in enumerate(HIDDEN_CHARACTERS):
        name = "alg_hidden%d" % i
        line = ("ok %s evil" % char).encode()
        assert monitor.call(23, 6, status_record(name, line))[0] == 0
        assert monitor.call(23, 5, u32(3) + text(name + " ") + text(line))[0] == 0
        for args in (["status"], ["log"]):
            out = algctl(serve.env, *args).stdout
            assert b"ok " + shown + b" evil" in out and char.encode() not in out, (char, out)
        out = algctl(serve.env, "status", "--json").stdout
        assert b"ok " + in_json + b" evil" in out and char.encode() not in out, (char, out)
        assert {r["name"]: r for r in json.loads(out)}[name]["last_message"] == line.decode()

    # explain's error path shows a refused mask type escaped, after a separator, as check does.
    bad = tmp_path / "masktype.xml"
    bad.write_bytes(VALID.replace(b"<handshake/>", b'<handshake><access action="allow" '
                                  b'loglevel="event"><filterby name="Host" masktype="w&#10;'
                                  b'decision: allow by rule 1\xc2\x9b">x</filterby></access>'
                                  b"</handshake>"))
    r = algpolicy("explain", str(bad), "alg_socks", "Host=x")
    err = r.stdout + r.stderr
    assert r.returncode != 0 and b"\ndecision:" not in err and b"\xc2\x9b" not in err, err
    assert rb'invalid mask type: "w\ndecision: allow by rule 1\u009b"' in err, err


def test_check_reports_the_first_hundred_problems_and_counts_the_rest(tmp_path):
    policy = tmp_path / "many.xml"
    policy.write_text("<algpolicy>" + "<proxy/>" * 5000 + "</algpolicy>")  # 2 problems each
    r = algpolicy("check", str(policy))
    assert r.returncode == 1
    lines = r.stdout.decode().splitlines()
    assert len(lines) == 101
    assert lines[99].endswith("proxy[50], handshake: proxy section has no handshake element")
    assert lines[100] == "%s: 9900 more problems not shown" % policy


def test_special_and_oversize_files_are_refused_at_once(tmp_path):
    fifo = tmp_path / "fifo.xml"
    os.mkfifo(fifo)
    large = tmp_path / "large.xml"
    large.write_bytes(b"<algpolicy>" + b" " * (8 << 20) + b"</algpolicy>")
    for path in (fifo, "/dev/zero", large):
        for run in (lambda p: algpolicy("check", p), lambda p: algpolicy("format", p),
                    lambda p: algctl(dict(os.environ, ALG_RUNDIR=str(tmp_path)), "push",
                                     "proxy_socks", p, timeout=10)):
            r = run(str(path))  # a hang or a read of /dev/zero would time out
            assert r.returncode == 1
            want = b"too large" if path == large else b"not a regular file"
            assert want in r.stdout + r.stderr, r.stdout + r.stderr


# (attributes on one element no policy element reads, where they stand, refused?)
CROWDED_ELEMENTS = [
    (32, "<x %s/>", False),
    (33, "<x %s/>", True),
    (40000, "<x %s/>", True),
    (40000, "<!-- <x %s/> -->", False),  # a comment is no element
    (33, "<x a='>' %s>", True),  # a ">" inside a value does not end the tag
]


def test_elements_with_too_many_attributes_are_refused_before_parsing(tmp_path):
    sample = open(os.path.join(algtest.SmtpGateway.SOURCE, "examples", "socks.xml")).read()
    line = sample[:sample.index("</algpolicy>")].count("\n") + 1
    for i, (count, shape, refused) in enumerate(CROWDED_ELEMENTS):
        crowd = shape % " ".join("a%d='1'" % n for n in range(count - shape.count("=")))
        policy = tmp_path / ("crowded%d.xml" % i)
        policy.write_text(sample.replace("<algpolicy", crowd + "\n<algpolicy", 1)
                          if shape.startswith("<!--") else
                          sample.replace("</algpolicy>", crowd + "\n</algpolicy>"))
        for run in (lambda p: algpolicy("check", p),
                    lambda p: algctl(dict(os.environ, ALG_RUNDIR=str(tmp_path)), "push",
                                     "proxy_socks", p, timeout=30)):
            r = run(str(policy))
            out = (r.stdout + r.stderr).decode()
            assert ("element with more than 32 attributes" in out) == refused, (count, shape, out)
            if refused:
                assert r.returncode == 1, out
                assert ":%d:" % line in out or "line %d" % line in out, out  # where it stands


def test_push_refuses_a_policy_without_the_gateways_section(tmp_path):
    policy = tmp_path / "other.xml"
    policy.write_bytes(VALID.replace(b'"alg_socks"', b'"alg_http"'))
    r = algctl(dict(os.environ, ALG_RUNDIR=str(tmp_path)), "push", "proxy_socks", str(policy))
    assert r.returncode == 1
    assert b'no proxy section named "alg_socks"' in r.stderr, r.stderr


@pytest.mark.skipif(not os.path.exists(SOCKS), reason="socks-gateway not built")
def test_gateway_with_a_fifo_policy_starts_without_listener_and_stops(tmp_path):
    class FifoGateway(algtest.Gateway):
        def write_policy(self, _):
            os.mkfifo(self.settings)

    with FifoGateway(SOCKS, tmp_path, "socks.xml", "") as g:
        g.wait_for("not a regular file")
        assert g.proc.poll() is None
        assert g.stop(timeout=5) == 0, g.output()


def test_run_folders_are_private_and_the_bus_is_one_users(tmp_path):
    base = tmp_path / "prepared"
    subprocess.run(["bash", "-c", 'umask 000 && exec "$0" --prepare "$1"', str(RUN_SH),
                    str(base)], check=True, timeout=30)
    modes = {p.relative_to(base).as_posix(): stat.S_IMODE(p.stat().st_mode)
             for p in [base, *base.rglob("*")]}
    assert all(m == (0o700 if (base / p).is_dir() else 0o600) for p, m in modes.items()), modes
    assert "etc/passwd" in modes and "rundir" in modes

    open_run = tmp_path / "open"
    open_run.mkdir()
    open_run.chmod(0o777)
    r = subprocess.run([algtest.ALGCTL, "serve"], env=dict(os.environ, ALG_RUNDIR=str(open_run)),
                       capture_output=True, timeout=10)
    assert r.returncode == 1 and b"writable by others" in r.stderr, r.stderr
    assert not (open_run / "cmdbus.sock").exists()


# Listens on cmdbus.sock in argv[1] as user nobody and answers like a service: the session's
# opening frame, then a status list of no rows; prints "up" once listening.
FOREIGN_SERVICE = r"""
import os, socket, struct, sys
s = socket.socket(socket.AF_UNIX)
s.bind(os.path.join(sys.argv[1], "cmdbus.sock"))
os.setuid(65534)
s.listen(4)
s.settimeout(20)
print("up", flush=True)
for _ in range(10):
    c, _ = s.accept()
    c.settimeout(5)
    try:
        for reply in (b"", struct.pack("=I", 0)):
            head = c.recv(16, socket.MSG_WAITALL)
            c.recv(struct.unpack("=I", head[12:])[0], socket.MSG_WAITALL)
            c.sendall(struct.pack("=III", 0x52425543, 0, len(reply)) + reply)
    except OSError:
        pass
    c.close()
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run a service as another user")
def test_clients_refuse_a_service_of_another_user(tmp_path):
    with algtest.Program(["/usr/bin/python3", "-c", FOREIGN_SERVICE, str(tmp_path)],
                         dict(os.environ)) as foreign:
        foreign.wait_for_line("^up$", 10)
        r = algctl(dict(os.environ, ALG_RUNDIR=str(tmp_path)), "status", timeout=10)
        assert r.returncode == 1 and b"no management service answers" in r.stderr, r.stderr


# Host values a scraper or a browser may send to the endpoints, and the answer each gets.
HOST_CASES = [
    ("{addr}", 200), ("localhost:{port}", 200), ("LOCALHOST", 200), ("{hostname}", 200),
    ("attacker.example:{port}", 421), ("127.0.0.2", 421), ("localhost.attacker.example", 421),
]


def test_idle_clients_do_not_hold_scrapes_and_foreign_hosts_get_421(tmp_path):
    with algtest.ObservedService(tmp_path / "serve") as serve:
        idle = []
        try:
            # Idle connections on both endpoints, each holding its 2 s of patience; before,
            # every scrape waited behind all of them in turn.
            for address in (serve.metrics, serve.page) * 10:
                host, port = address.rsplit(":", 1)
                idle.append(socket.create_connection((host, int(port)), 5))
                idle[-1].sendall(b"GET / HTTP/1.0\r\n")  # never finished
            for address, path in ((serve.metrics, "/metrics"), (serve.page, "/")):
                status, body = algtest.http_get(address, path, timeout=30)
                assert status == 200 and body, address
            # Served beside them, not after them: the idle ones are still waiting.
            waiting = select.select(idle, [], [], 0)[0]
            assert len(waiting) < len(idle)
            # The idle ones are answered in time and closed; none of them got a page.
            for s in idle:
                s.settimeout(10)
                assert algtest.recv_all(s).startswith(b"HTTP/1.0 408")
        finally:
            for s in idle:
                s.close()
        for address in (serve.metrics, serve.page):
            addr_host, port = address.rsplit(":", 1)
            for template, expected in HOST_CASES:
                host = template.format(addr=address, port=port, hostname=socket.gethostname())
                status, body = algtest.http_get(address, host_header=host)
                assert status == expected, (address, host, status)
                if expected == 421:
                    assert b"alg_" not in body and b"<table" not in body
