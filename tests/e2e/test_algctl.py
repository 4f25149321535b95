"""algctl against a stand-in gateway built from the policy loader and the control channel."""

import os
import re
import stat
import time

import pytest

import algtest
from algtest import ALGCTL, algctl, status_of, wait_until

CLIENT = algtest.program("tests/progs/bus_client")

VALID = b"""<?xml version="1.0" encoding="UTF-8"?>
<algpolicy>
  <proxy name="alg_socks">
    <general>
      <listen_port>1080</listen_port>
      <session_timeout>60</session_timeout>
      <loggers><logger name="Console" loglevel="event"/></loggers>
      <authsystem name="Stub"/>
    </general>
    <handshake/>
  </proxy>
</algpolicy>
"""

INVALID = b"""<?xml version="1.0" encoding="UTF-8"?>
<algpolicy>
  <proxy name="alg_socks">
    <general>
      <loggers><logger name="Console" loglevel="loud"/></loggers>
"""


@pytest.fixture
def bus(tmp_path):
    if not (os.access(ALGCTL, os.X_OK) and os.access(CLIENT, os.X_OK)):
        pytest.fail("algctl or bus_client not built in ALG_BUILD_DIR")
    with algtest.ManagementService(tmp_path / "run") as serve:
        env = serve.env
        started = []

        def start(args):
            p = algtest.Program(args, env)
            started.append(p)
            return p

        yield {"env": env, "tmp": tmp_path, "serve": serve, "start": start, "sock": serve.socket}
        for p in reversed(started):
            p.stop()


def test_status_and_log_show_the_gateway(bus):
    env = bus["env"]
    assert stat.S_IMODE(os.stat(bus["sock"]).st_mode) == 0o600
    settings = bus["tmp"] / "socks.xml"
    t0 = time.monotonic()
    bus["start"]([CLIENT, "alg_socks", "proxy_socks", str(settings)])
    entry = wait_until(lambda: status_of(env, "alg_socks"), 3, step=0.1)
    assert entry is not None and time.monotonic() - t0 < 4
    assert entry["version"] == "1.0.0"
    assert entry["listener_port"] == "1080"
    assert entry["auth_system"] == "stub"
    assert entry["console_level"] == "Verbose"
    assert entry["syslog_level"] == "" and entry["snmp_level"] == ""
    assert entry["stale"] is False

    # The "Started" message was forwarded and becomes the last message of later records.
    entry = wait_until(lambda: (lambda e: e if e and e["last_message"] == "Started" else None)(
        status_of(env, "alg_socks")), 5, step=0.1)
    assert entry and entry["last_message_type"] == 1
    table = algctl(env, "status")
    assert table.returncode == 0
    rows = table.stdout.decode().splitlines()
    assert rows[0].startswith("NAME") and any(r.startswith("alg_socks") for r in rows[1:])
    log = algctl(env, "log")
    assert log.returncode == 0
    assert any(line.endswith("alg_socks info Started") for line in log.stdout.decode().splitlines())


def test_push_reaches_the_gateway_and_is_stored(bus):
    env = bus["env"]
    settings = bus["tmp"] / "socks.xml"
    client = bus["start"]([CLIENT, "alg_socks", "proxy_socks", str(settings)])
    assert wait_until(lambda: status_of(env, "alg_socks"), 3, step=0.1)
    policy = bus["tmp"] / "policy.xml"
    policy.write_bytes(VALID)
    r = algctl(env, "push", "proxy_socks", str(policy), "--timeout", "40")
    out = r.stdout.decode()
    assert r.returncode == 0, out + r.stderr.decode()
    assert "delivered to proxy_socks" in out
    assert "proxy_socks registered: no start-up error" in out
    assert settings.read_bytes() == VALID
    assert stat.S_IMODE(os.stat(settings).st_mode) == 0o600
    assert client.wait_for_line(re.escape("policy stored %d" % len(VALID)), 5)


def test_invalid_policy_is_refused_before_sending(bus):
    env = bus["env"]
    settings = bus["tmp"] / "socks.xml"
    bus["start"]([CLIENT, "alg_socks", "proxy_socks", str(settings)])
    policy = bus["tmp"] / "bad.xml"
    policy.write_bytes(INVALID)
    r = algctl(env, "push", "proxy_socks", str(policy), "--timeout", "5")
    assert r.returncode == 1
    assert b"refused" in r.stderr
    assert "queued" not in bus["serve"].output()
    assert not settings.exists()
    # The same verdict without any service: the file is judged before connecting.
    empty = bus["tmp"] / "nowhere"
    empty.mkdir()
    r = algctl(dict(env, ALG_RUNDIR=str(empty)), "push", "proxy_socks", str(policy))
    assert r.returncode == 1 and b"refused" in r.stderr
    # A wrong loader name is a usage error.
    assert algctl(env, "push", "proxy_nope", str(policy)).returncode == 2
