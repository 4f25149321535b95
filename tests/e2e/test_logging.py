"""What reaches the loggers from outside (client data, policy text) is written escaped."""

import os

import pytest

import algtest
from algtest import free_port, recv_exact, wait_until

SOURCE = os.environ.get("ALG_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SOCKS = algtest.program("socks/socks-gateway")

SOCKS_POLICY = """<algpolicy><proxy name="alg_socks"><general>
  <listen_port>%d</listen_port><session_timeout>10</session_timeout>
  <loggers><logger name="Console" loglevel="verbose"/></loggers>
  <authsystem name="Plaintext file"/>
</general><handshake><access userid="" loglevel="event" action="allow"/></handshake>
</proxy></algpolicy>
"""


@pytest.fixture
def socks(launch):
    if not os.access(SOCKS, os.X_OK):
        pytest.fail("socks-gateway not built in ALG_BUILD_DIR")
    port = free_port()
    with open(os.path.join(SOURCE, "examples", "passwd"), "rb") as f:
        passwd = f.read()
    # latin-1 shows every byte of the console as it was written.
    g = launch(lambda base: algtest.Gateway(SOCKS, base, "socks.xml", SOCKS_POLICY % port,
                                            {"passwd": passwd}, encoding="latin-1"))
    if not wait_until(lambda: algtest.accepting(port), 10):
        pytest.fail("socks-gateway did not listen:\n" + g.output())
    g.port = port
    return g


def test_client_user_name_cannot_forge_or_control_console_lines(socks):
    forged = b"x\n (42) Authentication successful: admin"
    controls = b"\x1b[2J\x07\x7f\xc2\x9b\xd0\x94"  # ESC, BEL, DEL, UTF-8 C1, then a letter
    user = forged + controls
    with algtest.connect(socks.port) as s:
        s.sendall(b"\x05\x01\x02")
        assert recv_exact(s, 2) == b"\x05\x02"
        s.sendall(b"\x01" + bytes([len(user)]) + user + b"\x05wrong")
        assert recv_exact(s, 2) == b"\x01\x03"
    i = socks.wait_for("Authentication failed")
    number = socks.lines()[i].split(")")[0] + ")"
    assert socks.lines()[i] == (number + r" Authentication failed: x\n (42) Authentication "
                                r"successful: admin\x1b[2J\x07\x7f\u009b" + "\xd0\x94")
    assert not any(line.startswith(" (42)") for line in socks.lines())


def test_policy_text_reaches_the_management_service_escaped(launch, tmp_path):
    # The section name, outside text in a message that stays the gateway's last one.
    with algtest.ManagementService(tmp_path / "bus") as serve:
        text = "<algpolicy><proxy name='x&#10;(42) Started'/></algpolicy>"
        g = launch(algtest.TestGateway, text, {"ALG_RUNDIR": serve.run})
        line = (r"Proxy creation fails. Configuration section not found: <proxy name='alg_test'>, "
                r"sections from policy: x\n(42) Started")
        i = g.wait_for("Configuration section not found")
        assert g.lines()[i] == "!" + line
        last = lambda: (algtest.status_of(serve.env, "alg_test") or {}).get("last_message")
        assert wait_until(lambda: last() == line, 10, step=0.2), last()
