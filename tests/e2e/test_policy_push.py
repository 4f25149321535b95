"""The gateway's side of management under a slow or careless management service: forwarded
messages never hold sessions up, a pushed policy that cannot serve leaves the gateway on the
policy it had, long status texts stay within what the service accepts, and every status
record names its gateway. Run on the test gateway (service "alg_test", loader "proxy_socks")."""

import contextlib
import json
import os
import signal
import socket
import subprocess

import pytest

import algtest
from algtest import ALGCTL, free_port

GATEWAY = algtest.TestGateway.EXE

pytestmark = pytest.mark.skipif(
    not (os.access(GATEWAY, os.X_OK) and os.access(ALGCTL, os.X_OK)),
    reason="test_gateway or algctl not built")

open_relay = algtest.TestGateway.open_relay
DROP_NOTE = "[messages not forwarded: "


def section(port, rules='<access action="allow" loglevel="event"/>', name="alg_test"):
    return ("<proxy name='%s'><general><listen_port>%d</listen_port>"
            "<session_timeout>10</session_timeout>"
            "<authsystem name='Plaintext file'><param name='pwdfile' value='@PASSWD@'/></authsystem>"
            "<loggers><logger name='Console' loglevel='event'/></loggers></general>"
            "<handshake>%s</handshake></proxy>\n" % (name, port, rules))


def policy(*sections):
    return "<algpolicy>\n" + "".join(sections) + "</algpolicy>\n"


def test_slow_service_holds_no_session_up_and_drops_are_reported(tmp_path):
    # Each session forwards four messages; 4000 of them overflow the 10,000-message queue of a
    # service that takes 150 ms for each, which would need ten minutes to take them all.
    sessions = 4000
    rates = {}
    with algtest.EchoServer(lifetime=300) as echo:
        for label, delay in (("prompt", 0.0), ("150 ms", 0.15)):
            run = tmp_path / ("run-" + label.replace(" ", ""))
            run.mkdir()
            with algtest.ScriptedService(run / "cmdbus.sock", message_delay=delay) as service:
                port = free_port()
                with algtest.TestGateway(tmp_path / ("g-" + label.replace(" ", "")),
                                         policy(section(port)), {"ALG_RUNDIR": run}) as g:
                    g.wait_for("Started")
                    assert algtest.wait_until(lambda: service.records, 5), "no status record"
                    took, done, errors = algtest.drive_sessions(port, echo.port, sessions, 8,
                                                                120.0)
                    assert not errors and len(done) == sessions, \
                        "%s: %d sessions done, errors: %r" % (label, len(done), errors[:3])
                    rates[label] = sessions / took
                    if delay:
                        # The next round's record tells the drops, even with the queue full.
                        noted = algtest.wait_until(
                            lambda: [r for r in service.records if DROP_NOTE in r["last"]], 8)
                        assert noted, "drops not reported: %r" % service.records[-3:]
                        assert all(r["name"] == "alg_test" for r in service.records)
                    assert g.stop() == 0
    print("\nsessions/s with a prompt service %.0f, with one taking 150 ms per message %.0f"
          % (rates["prompt"], rates["150 ms"]))


NUL_POLICY = policy(section(1)).encode().replace(b"<general>", b"<gen\0eral>")
BAD_PUSHES = {
    "not XML": (b"this is not a policy", "Policy cannot be read: "),
    "NUL byte": (NUL_POLICY, "Policy cannot be read: "),
    "deep nesting": (b"<algpolicy>" + b"<a>" * 100000 + b"</a>" * 100000 + b"</algpolicy>",
                     "Policy cannot be read: "),
    "10^6 elements": (b"<algpolicy>" + b"<x/>" * 1000000 + b"</algpolicy>",
                      "Configuration section not found"),
    "entity declaration": (b'<?xml version="1.0"?><!DOCTYPE algpolicy [<!ENTITY e "x">]>'
                           b"<algpolicy>&e;</algpolicy>", "Policy cannot be read: "),
    "other service": (policy(section(1, name="alg_http")).encode(),
                      "Configuration section not found"),
    "invalid action": (policy(section(free_port(), rules='<access action="permit" loglevel="event"/>'))
                       .encode(), "invalid action type"),
    "busy port": (None, "Specified port busy"),
}


def test_bad_pushes_leave_the_gateway_on_its_policy(tmp_path):
    # One gateway per kind, side by side: each delivery costs the loader's 10 s pause before
    # it reports.
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    with contextlib.ExitStack() as stack, algtest.EchoServer() as echo:
        stack.callback(busy.close)
        cases = []
        for i, (kind, (text, expected)) in enumerate(BAD_PUSHES.items()):
            run = tmp_path / ("run%d" % i)
            run.mkdir()
            service = stack.enter_context(algtest.ScriptedService(run / "cmdbus.sock"))
            port = free_port()
            g = stack.enter_context(algtest.TestGateway(tmp_path / ("g%d" % i),
                                                        policy(section(port)),
                                                        {"ALG_RUNDIR": run}))
            if text is None:
                text = policy(section(busy.getsockname()[1])).encode()
            text = text.replace(b"@PASSWD@", str(g.passwd).encode())
            cases.append((kind, text, expected, service, g, port))
        for kind, _, _, service, g, _ in cases:
            g.wait_for("Started")
            assert algtest.wait_until(lambda: service.registrations, 5), kind
        before = {kind: g.settings.read_bytes() for kind, _, _, _, g, _ in cases}
        for _, text, _, service, _, _ in cases:
            service.push(text)
        for kind, _, expected, service, g, port in cases:
            refused = g.wait_for("Policy obtained by PMP is not used", timeout=30)
            g.wait_for("Started", start=refused)
            open_relay(port, echo.port).close()
            assert g.settings.read_bytes() == before[kind], kind
            reported = algtest.wait_until(service.registrations_after_delivery, 20)
            assert reported and expected in reported[0], "%s: %r" % (kind, reported)
            assert len(reported[0]) <= 4096, kind
            assert g.proc.poll() is None, kind


def test_long_start_up_error_is_cut_and_later_pushes_arrive(tmp_path):
    # 400 sections with long names and none for the gateway: the start-up error lists them
    # all (over 80 KiB), more than the service takes in one record.
    names = "".join(section(1, name="s%03d_" % i + "n" * 200) for i in range(400))
    with algtest.ManagementService(tmp_path / "serve") as serve:
        g = algtest.TestGateway(tmp_path / "g", policy(names), {"ALG_RUNDIR": serve.run})
        with g:
            at = g.wait_for("Configuration section not found")
            assert len(g.lines()[at]) > 80000
            # A status record goes ahead of queued messages: the one that names the error may
            # be the second.
            entry = algtest.wait_until(
                lambda: (lambda e: e if e and e["last_message"] else None)(
                    algtest.status_of(serve.env, "alg_test")), 10, step=0.2)
            assert entry is not None, "no status record named the error"
            assert len(entry["last_message"].encode()) <= 4096
            assert entry["last_message"].endswith(" [cut]")

            port = free_port()
            good = tmp_path / "good.xml"
            good.write_text(policy(section(port)).replace("@PASSWD@", str(g.passwd)))
            start = g.count()
            r = algtest.algctl(serve.env, "push", "proxy_socks", str(good), "--timeout", "40")
            assert r.returncode == 0, r.stdout + r.stderr
            g.wait_for("Started", start)
            with algtest.EchoServer() as echo:
                open_relay(port, echo.port).close()
            assert g.settings.read_text() == good.read_text()


def test_no_status_row_without_a_name(tmp_path):
    # A second copy is refused and ends at once; it must not leave a record of its own.
    with algtest.ManagementService(tmp_path / "serve") as serve, algtest.EchoServer() as echo:
        port = free_port()
        with algtest.TestGateway(tmp_path / "g", policy(section(port)),
                                 {"ALG_RUNDIR": serve.run}) as g:
            g.wait_for("Started")
            second = subprocess.run([GATEWAY, "-f"], env=g.dirs.env(ALG_RUNDIR=serve.run),
                                    capture_output=True, timeout=20)
            assert b"Only one copy" in second.stdout + second.stderr
            open_relay(port, echo.port).close()
            entry = algtest.wait_until(
                lambda: (lambda e: e if e and e["total_requests"] == "1" else None)(
                    algtest.status_of(serve.env, "alg_test")), 10, step=0.2)
            assert entry and entry["listener_port"] == str(port)
        # The stopped gateway's own last record still bears its name.
        r = algtest.algctl(serve.env, "status", "--json", timeout=10)
        assert r.returncode == 0
        names = [e["name"] for e in json.loads(r.stdout)]
        assert names == ["alg_test"], names


# (what happens after a push the gateway refuses for a busy port): the settings file is
# rewritten beforehand, for another port or half-edited, without a reload; or the operator
# reloads the (unchanged) file as soon as the refusal is logged.
REFUSED_PUSH_CASES = {
    "file names another port": ("other port", False),
    "file half-edited": ("<algpolicy><proxy name='alg_test'><general>", False),
    "reload right after the refusal": (None, True),
}


def test_refused_push_keeps_the_running_policy_and_reports_itself(tmp_path):
    busy = socket.create_server(("127.0.0.1", 0), backlog=1)
    with contextlib.ExitStack() as stack, algtest.EchoServer() as echo:
        stack.callback(busy.close)
        for i, (kind, (file_text, reload)) in enumerate(REFUSED_PUSH_CASES.items()):
            serve = stack.enter_context(algtest.ManagementService(tmp_path / ("serve%d" % i)))
            port, other = free_port(), free_port()
            g = stack.enter_context(algtest.TestGateway(tmp_path / ("g%d" % i),
                                                        policy(section(port)),
                                                        {"ALG_RUNDIR": serve.run}))
            g.wait_for("Started")
            assert algtest.wait_until(lambda: algtest.status_of(serve.env, "alg_test"), 10)
            if file_text == "other port":
                file_text = policy(section(other))
            if file_text is not None:
                g.write_policy(file_text)
            refused = tmp_path / ("refused%d.xml" % i)
            refused.write_text(policy(section(busy.getsockname()[1]))
                               .replace("@PASSWD@", str(g.passwd)))
            push = subprocess.Popen([ALGCTL, "push", "proxy_socks", str(refused), "--timeout",
                                     "40"], env=serve.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
            stack.callback(push.kill)
            at = g.wait_for("Policy obtained by PMP is not used", timeout=30)
            if reload:
                g.signal(signal.SIGHUP)
                # The rebuild after the refusal starts serving, then the reload does.
                at = g.wait_for("Started", start=g.wait_for("Started", start=at + 1) + 1)
            out = push.communicate(timeout=60)[0].decode()
            # algctl tells the push's own outcome, whatever reload came after it.
            assert push.returncode == 3 and "Specified port busy" in out, "%s: %s" % (kind, out)
            g.wait_for("Started", start=at)
            # The gateway serves the policy it had, not what the file holds meanwhile.
            open_relay(port, echo.port).close()
            with pytest.raises(OSError):
                socket.create_connection(("127.0.0.1", other), timeout=2).close()
            assert g.proc.poll() is None, kind
