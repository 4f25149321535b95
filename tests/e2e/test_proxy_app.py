"""End-to-end tests of the application object, the listener and the session base, run on the
test gateway (service "alg_test", settings file "test.xml", line protocol
"HOST PORT USER PASSWORD")."""

import os
import resource
import signal
import socket
import time

import pytest

import algtest
from algtest import ALGCTL, connect, free_port, recv_all, refused

GATEWAY = algtest.TestGateway.EXE

pytestmark = pytest.mark.skipif(not os.path.exists(GATEWAY), reason="test_gateway not built")

REJECTED = b"-ERR access denied\r\n"
AUTH_FAILED = b"-ERR authentication failed\r\n"


def policy(sections):
    return "<algpolicy>\n" + "".join(sections) + "</algpolicy>\n"


def section(port, rules='<access action="allow" loglevel="event"/>', name="alg_test",
            general_extra="", handshake=True, timeout=10):
    hs = "<handshake>%s</handshake>" % rules if handshake else ""
    return ("<proxy name='%s'><general><listen_port>%d</listen_port>"
            "<session_timeout>%d</session_timeout>"
            "<authsystem name='Plaintext file'><param name='pwdfile' value='@PASSWD@'/></authsystem>"
            "<loggers><logger name='Console' loglevel='verbose'/></loggers>%s</general>%s</proxy>\n"
            % (name, port, timeout, general_extra, hs))


@pytest.fixture
def gateways(launch):
    """gateways(text, run=None): the test gateway with policy `text`, its runtime folder
    `run` when given."""
    return lambda text, run=None: launch(algtest.TestGateway, text,
                                         {"ALG_RUNDIR": run} if run else None)


@pytest.fixture
def echo():
    with algtest.EchoServer() as server:
        yield server


open_relay = algtest.TestGateway.open_relay


def alive_after(g, seconds=0.5):
    time.sleep(seconds)
    return g.proc.poll() is None


@pytest.mark.parametrize("sections, listed", [
    ([section(1, name="alg_http"), section(2, name="alg_smtp")],
     ", sections from policy: alg_http, alg_smtp"),
    ([], ", no sections in policy"),
])
def test_missing_section_is_reported_and_program_stays_up(gateways, sections, listed):
    g = gateways(policy(sections))
    i = g.wait_for("Proxy creation fails. Configuration section not found")
    assert g.lines()[i] == ("!Proxy creation fails. Configuration section not found: "
                          "<proxy name='alg_test'>" + listed)
    assert alive_after(g)
    assert g.stop() == 0


def test_only_first_of_two_equal_sections_is_used(gateways, echo):
    first, second = free_port(), free_port()
    g = gateways(policy([section(first), section(second)]))
    g.wait_for("Started")
    open_relay(first, echo.port).close()
    assert refused(second)


@pytest.mark.parametrize("broken", [
    "<proxy name='alg_test'><handshake/></proxy>",
    section(0),
    section(12345, handshake=False),
])
def test_section_without_port_general_or_handshake_runs_without_listener(gateways, broken):
    g = gateways(policy([broken]))
    i = g.wait_for("Proxy was not started, because listen_port value is not specified")
    assert g.lines()[i].startswith("!Proxy was not started")
    assert g.lines()[i].endswith(" " + str(g.etc / "algd" / "test.xml"))
    assert g.find("Started") == -1
    assert alive_after(g)
    assert g.stop() == 0


@pytest.mark.parametrize("rule, message", [
    ('<access action="permit" loglevel="event"/>', "!invalid action type"),
    ('<access loglevel="event"/>', "!invalid action type"),
    ('<access action="allow"/>', "!invalid loglevel name"),
])
def test_invalid_rule_prevents_listener(gateways, rule, message):
    port = free_port()
    g = gateways(policy([section(port, rules=rule)]))
    g.wait_for(message)
    assert alive_after(g)
    assert refused(port)
    assert g.find("Started") == -1


def test_busy_port_is_reported_and_restart_recovers(gateways, echo):
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    port = busy.getsockname()[1]
    g = gateways(policy([section(port)]))
    i = g.wait_for("Specified port busy")
    assert g.lines()[i].startswith("!Specified port busy")
    assert alive_after(g)
    busy.close()
    g.signal(signal.SIGHUP)
    g.wait_for("Started", start=i)
    open_relay(port, echo.port).close()


def test_sessions_are_numbered_and_end_before_stopped_on_sigterm(gateways, echo):
    port = free_port()
    g = gateways(policy([section(port)]))
    g.wait_for("Started")
    a = open_relay(port, echo.port)
    b = open_relay(port, echo.port)
    g.wait_for("(0) Open session - 127.0.0.1:%d" % port)
    g.wait_for("(1) Open session - 127.0.0.1:%d" % port)
    start = g.count()
    g.signal(signal.SIGTERM)
    assert g.wait(10) == 0
    term = g.wait_for("Terminate signal recieved", start)
    stopped = g.wait_for("Stopped", term)
    for n in (0, 1):
        closed = g.wait_for("(%d) Close session - 127.0.0.1:%d" % (n, port), term)
        assert closed < stopped
    # Terminated sessions end silently.
    assert not [l for l in g.lines()[term:] if l.startswith("!")]
    for s in (a, b):
        s.settimeout(2)
        assert recv_all(s) == b""
        s.close()


def test_sighup_ends_sessions_fast_and_starts_with_new_policy(gateways, echo):
    old, new = free_port(), free_port()
    g = gateways(policy([section(old)]))
    g.wait_for("Started")
    # A first session proves the listener thread runs; the count without sessions follows.
    open_relay(old, echo.port).close()
    g.wait_for("(0) Close session")
    time.sleep(0.3)
    baseline = g.threads()
    relays = [open_relay(old, echo.port) for _ in range(3)]
    idle = connect(old)  # blocked in the handshake read
    idle.sendall(b"127.0.0.1 ")
    g.wait_for("(4) Open session")
    assert g.threads() == baseline + 4

    g.write_policy(policy([section(new)]))
    start = g.count()
    t0 = time.monotonic()
    g.signal(signal.SIGHUP)
    for s in relays + [idle]:
        s.settimeout(5)
        assert recv_all(s) == b""
    elapsed = time.monotonic() - t0
    assert elapsed < 2.0, elapsed

    restart = g.wait_for("Restart signal recieved", start)
    stopped = g.wait_for("Stopped", restart)
    started = g.wait_for("Started", stopped)
    for n in range(1, 5):
        assert restart < g.wait_for("(%d) Close session" % n, restart) < stopped
    assert not [l for l in g.lines()[restart:started] if l.startswith("!")]
    assert refused(old)
    s = open_relay(new, echo.port)
    g.wait_for("(0) Open session - 127.0.0.1:%d" % new, started)
    s.close()
    g.wait_for("(0) Close session", started)
    # No session thread of the old listener survived the restart.
    deadline = time.monotonic() + 5
    while g.threads() != baseline and time.monotonic() < deadline:
        time.sleep(0.05)
    assert g.threads() == baseline


def test_disconnect_in_handshake_logs_eof_in_the_session(gateways):
    port = free_port()
    g = gateways(policy([section(port)]))
    g.wait_for("Started")
    s = connect(port)
    s.sendall(b"127.0.0.1 ")
    g.wait_for("(0) Open session")
    s.close()
    closed = g.wait_for("(0) Close session - 127.0.0.1:%d" % port)
    eof = g.wait_for("Read end of file")
    assert eof < closed
    assert g.lines()[eof].startswith("!(0) Read end of file")
    assert "127.0.0.1" in g.lines()[eof]


def test_access_decisions(gateways, echo):
    port = free_port()
    rules = ('<access action="reject" loglevel="event"><filterby name="Port" masktype="wild">1</filterby></access>'
             '<access action="drop" loglevel="event"><filterby name="Port" masktype="wild">2</filterby></access>'
             '<access action="allow" loglevel="event"><filterby name="Host" masktype="wild">127.0.0.*</filterby></access>')
    g = gateways(policy([section(port, rules=rules)]))
    g.wait_for("Started")

    def ask(line):
        s = connect(port)
        s.sendall(line + b"\n")
        s.settimeout(5)
        data = recv_all(s)
        s.close()
        return data

    assert ask(b"127.0.0.1 1 alice x") == REJECTED
    g.wait_for("(0) action of filter 1 - reject")
    assert ask(b"127.0.0.1 2 alice x") == b""
    g.wait_for("(1) action of filter 2 - drop")
    assert ask(b"localhost 3 alice x") == REJECTED  # no rule applies
    g.wait_for("(2) Default Filter action")
    assert ask(b"127.0.0.1 %d bob wrong" % echo.port) == AUTH_FAILED
    i = g.wait_for("Authentication failed")
    assert g.lines()[i] == "!(3) Authentication failed: bob"
    s = open_relay(port, echo.port)
    g.wait_for("(4) Authentication successful: alice")
    s.sendall(b"x" * 100000)
    got = b""
    s.settimeout(5)
    while len(got) < 100000:
        chunk = s.recv(65536)
        assert chunk
        got += chunk
    assert got == b"x" * 100000
    s.close()


def test_restart_right_after_serving_listens_at_once(gateways, echo, tmp_path):
    port = free_port()
    text = policy([section(port, rules='<access action="reject" loglevel="event"/>')])
    g = gateways(text)
    g.wait_for("Started")
    # Rejected sessions are closed by the gateway first, leaving its side in TIME_WAIT.
    for _ in range(3):
        s = connect(port)
        s.sendall(b"127.0.0.1 1 a b\n")
        s.settimeout(5)
        assert recv_all(s) == REJECTED
        s.close()
    assert g.stop() == 0
    again = gateways(text)
    again.wait_for("Started")
    assert again.find("Specified port busy") == -1
    s = connect(port)
    s.sendall(b"127.0.0.1 1 a b\n")
    s.settimeout(5)
    assert recv_all(s) == REJECTED


@pytest.fixture
def management(tmp_path):
    """The management service on a runtime folder of its own."""
    if not os.access(ALGCTL, os.X_OK):
        pytest.skip("algctl not built")
    with algtest.ManagementService(tmp_path / "bus") as serve:
        yield serve.run, serve.env


def status_until(env, predicate, limit=10.0):
    last = [None]

    def matching():
        last[0] = algtest.status_of(env, "alg_test") or last[0]
        return last[0] if last[0] and predicate(last[0]) else None

    entry = algtest.wait_until(matching, limit, step=0.2)
    if entry is None:
        raise AssertionError("status never matched; last: %r" % (last[0],))
    return entry


def test_management_channel_counts_sessions_and_push_restarts(gateways, echo, management):
    run, env = management
    port, pushed_port = free_port(), free_port()
    g = gateways(policy([section(port)]), run=run)
    g.wait_for("Started")
    status_until(env, lambda e: e["listener_port"] == str(port) and e["total_requests"] == "0"
                 and e["auth_system"] == "Plaintext file")
    a = open_relay(port, echo.port)
    b = open_relay(port, echo.port)
    status_until(env, lambda e: (e["active_requests"], e["total_requests"]) == ("2", "2"))
    a.close()
    g.wait_for("(0) Close session")
    status_until(env, lambda e: (e["active_requests"], e["total_requests"]) == ("1", "2"))

    text = policy([section(pushed_port)]).replace("@PASSWD@", str(g.passwd))
    pushed = g.etc.parent / "pushed.xml"
    pushed.write_text(text)
    start = g.count()
    r = algtest.algctl(env, "push", "proxy_socks", str(pushed), "--timeout", "30")
    assert r.returncode == 0, r.stdout + r.stderr
    restart = g.wait_for("Restart signal recieved", start)
    g.wait_for("Started", restart)
    b.settimeout(5)
    assert recv_all(b) == b""
    assert (g.etc / "algd" / "test.xml").read_text() == text
    open_relay(pushed_port, echo.port).close()
    status_until(env, lambda e: e["listener_port"] == str(pushed_port))


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGQUIT])
def test_sigpipe_is_only_logged_and_other_stop_signals_stop(gateways, stop):
    port = free_port()
    g = gateways(policy([section(port)]))
    g.wait_for("Started")
    g.signal(signal.SIGPIPE)
    i = g.wait_for("SIGPIPE recieved")
    assert g.lines()[i] == "!SIGPIPE recieved"
    assert alive_after(g, 0.3)
    g.signal(stop)
    assert g.wait(10) == 0
    g.wait_for("Terminate signal recieved", i)
    g.wait_for("Stopped", i)


def test_stop_without_a_listener_logs_stopped(gateways):
    g = gateways(policy([section(free_port(), name="alg_other")]))
    i = g.wait_for("Configuration section not found")
    assert g.stop() == 0
    assert " Stopped" in g.lines()[i + 1:]


def test_accepting_without_any_descriptor_pauses_without_spinning(gateways):
    if algtest.sanitized(GATEWAY):
        pytest.skip("the sanitizers' own checks need the descriptors this test takes away")
    port = free_port()
    g = gateways(policy([section(port)]))
    i = g.wait_for("Started")
    limits = resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE)
    # No descriptor can be opened: a waiting connection cannot be taken. The gateway says so
    # once, with the system's reason, and waits for descriptors instead of trying in a loop.
    resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE, (0, limits[1]))
    try:
        with connect(port):
            j = g.wait_for_index(r"^!Accepting paused until descriptors or memory are freed : "
                                 r"Too many open files$", start=i)
            used = g.cpu_seconds()
            time.sleep(1)
            assert g.cpu_seconds() - used < 0.3
            resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE, limits)
            g.wait_for_index(r"^ Accepting resumed$", start=j)
            g.wait_for("(0) Open session - 127.0.0.1:%d" % port, j)
    finally:
        resource.prlimit(g.proc.pid, resource.RLIMIT_NOFILE, limits)
    assert sum("Accepting paused" in line for line in g.lines()) == 1
    assert g.stop() == 0


def test_console_without_reader_neither_spins_nor_holds_back_stop(launch):
    g = launch(algtest.ReaderGoneGateway, policy([section(free_port())]), "Started")
    assert g.dropped.wait(10)
    g.signal(signal.SIGPIPE)  # its message goes to the console that has no reader any more
    time.sleep(0.2)
    used = g.cpu_seconds()
    time.sleep(2)
    assert g.cpu_seconds() - used < 0.5
    g.signal(signal.SIGTERM)
    assert g.wait(10) == 0
