"""The management bus never slows traffic: a gateway whose every logged message is forwarded
over the command bus serves at its normal rate when no management service exists and when
one accepts connections but never reads nor answers, and it still stops cleanly."""

import os
import re
import signal
import socket
import time

import pytest

import algtest
from algtest import ALGCTL, free_port

GATEWAY = algtest.TestGateway.EXE

pytestmark = pytest.mark.skipif(
    not (os.access(GATEWAY, os.X_OK) and os.access(ALGCTL, os.X_OK)),
    reason="test_gateway or algctl not built")

SESSIONS = 1000
PARALLEL = 4
SESSION_LIMIT = 2.0  # seconds; one forwarded message stalled per message would exceed it
RUN_LIMIT = 30.0     # seconds for the sessions of one half of a run
STOP_LIMIT = 5.0
PAUSE = 3.5          # seconds; longer than the 3 s in which the bus refuses new sessions


def policy(port):
    # Console at "event": each session logs its opening, filter decision, login and close.
    return ("<algpolicy>\n<proxy name='alg_test'><general><listen_port>%d</listen_port>"
            "<session_timeout>10</session_timeout>"
            "<authsystem name='Plaintext file'><param name='pwdfile' value='@PASSWD@'/></authsystem>"
            "<loggers><logger name='Console' loglevel='event'/></loggers></general>"
            "<handshake><access action=\"allow\" loglevel=\"event\"/></handshake></proxy>\n"
            "</algpolicy>\n" % port)


class StuckService(algtest.Listener):
    """Listens on a bus socket path, accepts every connection and never reads nor answers;
    accepted sockets stay open until close()."""

    def __init__(self, path, lifetime=120.0):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        # Accepted sockets inherit the small buffer, so unread requests fill it quickly.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        sock.bind(str(path))
        self.accepted = []
        super().__init__(sock, lifetime, backlog=64, poll=0.1)

    def handle(self, conn):
        if len(self.accepted) < 1000:
            self.accepted.append(conn)
        else:
            conn.close()

    def close(self):
        super().close()
        for conn in self.accepted:
            conn.close()


def measure(base, label, echo, env_extra=None, before_stop=None):
    """Starts a gateway, drives the sessions, stops it; the rate. Checks that every session
    completed in time and that SIGTERM ends the gateway with status 0 within STOP_LIMIT."""
    port = free_port()
    with algtest.TestGateway(base, policy(port), env_extra) as g:
        g.wait_for_line("Started", 10)
        # Two halves with a pause longer than the bus's refusal period between them, so that
        # the second half also meets the reconnection to the service.
        took1, durations, errors = algtest.drive_sessions(port, echo.port, SESSIONS // 2,
                                                          PARALLEL, RUN_LIMIT)
        time.sleep(PAUSE)
        took2, more, more_errors = algtest.drive_sessions(
            port, echo.port, SESSIONS - SESSIONS // 2, PARALLEL, RUN_LIMIT)
        durations += more
        errors += more_errors
        rate = len(durations) / (took1 + took2)
        slowest = max(durations, default=0.0)
        print("\n%s: %.1f sessions/s over %d sessions, slowest %.3f s"
              % (label, rate, len(durations), slowest))
        assert not errors, "%s: %d sessions failed (%.1f sessions/s), first: %s" % (
            label, len(errors), rate, errors[0])
        assert len(durations) == SESSIONS, "%s: only %d of %d sessions (%.1f sessions/s)" % (
            label, len(durations), SESSIONS, rate)
        assert slowest < SESSION_LIMIT, "%s: a session took %.3f s (%.1f sessions/s)" % (
            label, slowest, rate)
        if before_stop:
            before_stop(g)
        t0 = time.monotonic()
        g.proc.send_signal(signal.SIGTERM)
        status = g.wait(STOP_LIMIT + 5)
        took = time.monotonic() - t0
        assert status == 0, "%s: exit status %r" % (label, status)
        assert took < STOP_LIMIT, "%s: stopping took %.1f s" % (label, took)
    return rate


def test_absent_or_stuck_management_service_does_not_slow_sessions(tmp_path):
    rates = {}
    with algtest.EchoServer(lifetime=300) as echo:
        # (a) No service: nothing listens on the bus socket path.
        rates["absent"] = measure(tmp_path / "absent", "absent", echo)

        # (b) A service that accepts and never reads: each request waits for a reply in vain.
        run = tmp_path / "stuck-run"
        run.mkdir()
        stuck = StuckService(run / "cmdbus.sock")
        try:
            rates["stuck"] = measure(tmp_path / "stuck", "stuck", echo,
                                     {"ALG_RUNDIR": str(run)})
            # The gateway reached the stuck service and came back after the refusal period,
            # so both the stalled wait and the reconnection were exercised.
            assert len(stuck.accepted) >= 2, "the gateway connected %d times to the stuck " \
                "service" % len(stuck.accepted)
        finally:
            stuck.close()

        # (c) The real management service: messages are forwarded and answered.
        with algtest.ManagementService(tmp_path / "serve-run") as serve:
            run, env = serve.run, serve.env

            def forwarded(g):
                # The last session's close reached the service: the bus carried the run.
                last = "(%d) Close session" % (SESSIONS - 1)
                g.wait_for_line(re.escape(last), 5)

                def logged():
                    r = algtest.algctl(env, "log", timeout=10)
                    return r.returncode == 0 and last in r.stdout.decode("utf-8", "replace")
                assert algtest.wait_until(logged, 5, step=0.2), "messages were not forwarded"

            rates["normal"] = measure(tmp_path / "serve", "normal", echo,
                                      {"ALG_RUNDIR": str(run)}, forwarded)

    summary = ", ".join("%s %.1f/s" % kv for kv in rates.items())
    print("\nrates: " + summary)
    for case in ("absent", "stuck"):
        assert rates[case] >= rates["normal"] / 4, "%s case too slow: %s" % (case, summary)
