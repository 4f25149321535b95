"""SNMP loggers of socks-gateway seen by a real snmptrapd on loopback."""

import collections
import os
import re
import struct
import subprocess
import threading
import time

import pytest

import algtest
from algtest import free_port, recv_exact, wait_until

SOURCE = os.environ.get("ALG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SOCKS = algtest.program("socks/socks-gateway")
ENTERPRISE = ".1.3.6.1.4.1.47191"
TEXT_OID = ".1.3.6.1.4.1.47191.1.8.1.19"

POLICY = """<algpolicy><proxy name="alg_socks"><general>
  <listen_port>%(port)d</listen_port><session_timeout>10</session_timeout>
  <loggers><logger name="Console" loglevel="event"/>%(loggers)s</loggers>
  <authsystem name="Plaintext file"/>
</general><handshake><access userid="" loglevel="event" action="allow"/></handshake>
</proxy></algpolicy>
"""


def snmp_logger(params, level="event"):
    return '<logger name="SNMP" loglevel="%s">%s</logger>' % (level, "".join(
        '<param name="%s" value="%s"/>' % p for p in params))


def station_params(station, community, *extra):
    return [("IP", "127.0.0.1"), ("Port", str(station.port)), ("Community", community), *extra]


@pytest.fixture
def gateway(launch):
    """gateway(loggers, **env): socks-gateway with a console logger at level event and
    `loggers`, listening (or failed, wait=False) on a free port."""
    if not os.access(SOCKS, os.X_OK):
        pytest.fail("socks-gateway not built in ALG_BUILD_DIR")
    with open(os.path.join(SOURCE, "examples", "passwd"), "rb") as f:
        passwd = f.read()

    def start(loggers, wait=True, **env):
        port = free_port()
        text = POLICY % {"port": port, "loggers": loggers}
        # latin-1 shows every byte of the console as it was written.
        g = launch(lambda base: algtest.Gateway(SOCKS, base, "socks.xml", text,
                                                {"passwd": passwd}, env, encoding="latin-1"))
        if wait and not wait_until(lambda: algtest.accepting(port), 10):
            pytest.fail("socks-gateway did not listen:\n" + g.output())
        g.port = port
        return g

    return start


@pytest.fixture
def station(launch):
    return launch(algtest.TrapStation)


def socks4_session(port, echo_port):
    with algtest.connect(port) as s:
        s.sendall(struct.pack(">BBH4s", 4, 1, echo_port, bytes([127, 0, 0, 1])) + b"t\0")
        assert recv_exact(s, 8)[1] == 90
        s.sendall(b"ping")
        assert recv_exact(s, 4) == b"ping"


def test_every_message_a_trap_from_eight_sessions_at_once(gateway, station):
    # MIB settings that would make net-snmp complain if it read any MIB files.
    g = gateway(snmp_logger(station_params(station, "en")) +
                snmp_logger(station_params(station, "ru", ("Encoding", "KOI8-R"))),
                MIBS="NO-SUCH-MIB", MIBDIRS="/nonexistent")
    g.wait_for("Started")
    time.sleep(1.5)  # the sessions' traps are at least this much older than Started's
    with algtest.EchoServer() as echo:
        clients = [threading.Thread(target=lambda: [socks4_session(g.port, echo.port)
                                                    for _ in range(5)]) for _ in range(8)]
        for c in clients:
            c.start()
        for c in clients:
            c.join(60)
    g.stop()
    console = [l[1:].encode("latin-1") for l in g.lines() if l[:1] in (">", " ", "*", "!")]
    assert sum(b"Close session" in l for l in console) >= 40, g.output()
    traps = station.wait_for_traps(2 * len(console), timeout=15)
    assert not [l for l in g.lines() if re.search(r"MIB|[Mm]odule|^SNMP", l)], g.output()
    for t in traps:
        assert (t.version, t.enterprise, t.generic, t.specific) == ("0", ENTERPRISE, "6", "74")
        assert len(t.bindings) == 1 and t.oid == TEXT_OID
        assert re.fullmatch(r"\d+\.\d+\.\d+\.\d+", t.agent) and t.agent != "0.0.0.0"
    # Every message exactly once and whole: "alg_socks ", then its console line.
    en = [t for t in traps if t.community == "en"]
    assert collections.Counter(t.text for t in en) == collections.Counter(
        b"alg_socks " + l for l in console)
    ru = [t.text for t in traps if t.community == "ru"]
    assert len(ru) == len(console)
    for russian in ("Запущен", "Остановлен"):
        assert b"alg_socks " + russian.encode("koi8_r") in ru
    # The time-stamp is the sender's age: Started was sent before the pause, sessions after.
    started = next(int(t.ticks) for t in en if t.text == b"alg_socks Started")
    assert min(int(t.ticks) for t in en if b"action of filter" in t.text) - started >= 149


def test_parameters_missing_or_refused(gateway, tmp_path):
    g = gateway(snmp_logger([("IP", "127.0.0.1"), ("Port", "1620")]), wait=False)
    assert g.wait_for_line(r"Not enough") == "!Not enough parameters for sending traps"
    assert not algtest.accepting(g.port)
    policy = tmp_path / "snmp.xml"
    policy.write_text(POLICY % {"port": 1080, "loggers": "\n" + snmp_logger(
        [("IP", "127.0.0.1"), ("Community", "c")]) + "\n" + snmp_logger(
        [("IP", "127.0.0.1"), ("Port", ""), ("Port", "70000"), ("Community", "c")]) + "\n" +
        snmp_logger([("IP", "127.0.0.1"), ("Port", "x")]) + "\n"})
    out = subprocess.run([algtest.program("tools/algpolicy"), "check", str(policy)],
                         capture_output=True, text=True, timeout=30).stdout
    reports = out.splitlines()
    prefix = '%s:%d: proxy "alg_socks", general/loggers/'
    assert reports == [
        prefix % (policy, 5) + "logger[3]/param[@name='Port']: the SNMP logger's Port must be "
        '1..65535, got "70000"',
        prefix % (policy, 6) + "logger[4]/param[@name='Port']: the SNMP logger's Port must be "
        '1..65535, got "x"',
        prefix % (policy, 6) + "logger[4]: Not enough parameters for sending traps"], out


def test_failing_or_silent_station_costs_sessions_nothing(gateway):
    # Port 0: the kernel refuses every send; a free port: nobody reads. The rates of sessions
    # with and without such loggers are compared by bench/run_traps_bench.sh.
    g = gateway(snmp_logger([("IP", "127.0.0.1"), ("Port", "0"), ("Community", "c")]) +
                snmp_logger([("IP", "127.0.0.1"), ("Port", str(algtest.free_udp_port())),
                             ("Community", "c")]))
    with algtest.EchoServer() as echo:
        for _ in range(20):
            socks4_session(g.port, echo.port)
    wait_until(lambda: sum("Close session" in l for l in g.lines()) >= 20, 10)
    failures = [l for l in g.lines() if l.startswith("SNMP")]
    assert failures == ["SNMP send trap: Failure in sendto (Invalid argument)"], g.output()
