"""socks-gateway logging SOCKS 5 users in through a real FreeRADIUS, a RADIUS server of the
test's own that forges answers, and PAM (pam_wrapper with pam_matrix and modules of the test's
own)."""

import hashlib
import hmac
import os
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

import algtest

SECRET = "s3cret-" + "x" * 100  # far longer than 31 characters: used whole or nothing works
USERS = """alice\tCleartext-Password := "wonderland"
carol\tCleartext-Password := "pw", Response-Packet-Type := Access-Challenge
\tReply-Message := "one more factor"
""" + "".join('u%d\tCleartext-Password := "pw%d"\n' % (i, i) for i in range(50))

PAM_DIR = "/usr/lib/x86_64-linux-gnu"
MATRIX = PAM_DIR + "/pam_wrapper/pam_matrix.so"
PAM_EXEC = PAM_DIR + "/security/pam_exec.so"
IO_LIMIT = 60.0


def radius_authsystem(port, secret=SECRET, server="127.0.0.1"):
    return ('<authsystem name="Radius server"><param name="IP" value="%s"/>'
            '<param name="Port" value="%d"/><param name="ServerSecret" value="%s"/>'
            '</authsystem>' % (server, port, secret))


@pytest.fixture
def radius(tmp_path):
    server = algtest.RadiusServer(tmp_path / "radius", USERS, SECRET)
    yield server
    server.stop()


def test_radius_answers(launch, radius):
    gw = launch(algtest.SocksGateway, radius_authsystem(radius.port))
    assert gw.login("alice", "wonderland"), gw.output() + radius.output()
    assert gw.wait_for("Authentication successful: alice") >= 0
    for user, password in [("alice", "wrong"), ("nobody", "wonderland"), ("carol", "pw"),
                           ("alice", "")]:
        assert not gw.login(user, password), user
    # A password User-Password cannot carry: refused with an error, no request sent.
    sent = radius.requests()
    assert not gw.login("alice", "p" * 129)
    assert gw.wait_for("Authentication fails due to system error") >= 0
    assert radius.requests() == sent
    # The login cache answers a repeated accepted login without the server.
    assert gw.login("alice", "wonderland")
    assert radius.requests() == sent


def test_radius_concurrent_logins_get_their_own_answers(launch, radius):
    gw = launch(algtest.SocksGateway, radius_authsystem(radius.port))
    results = {}
    start = threading.Barrier(50, timeout=IO_LIMIT)

    def one(i):
        start.wait()
        # Every odd user offers the next user's password: right for someone else.
        results[i] = gw.login("u%d" % i, "pw%d" % (i + i % 2))

    threads = [threading.Thread(target=one, args=(i,), daemon=True) for i in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(IO_LIMIT)
    assert results == {i: i % 2 == 0 for i in range(50)}, gw.output()


def test_radius_silent_server_gets_two_requests(launch):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
        silent.bind(("127.0.0.1", 0))
        silent.settimeout(30)
        gw = launch(algtest.SocksGateway, radius_authsystem(silent.getsockname()[1]))
        outcome = []
        t = threading.Thread(target=lambda: outcome.append(gw.login("alice", "wonderland")),
                             daemon=True)
        t.start()
        first, _ = silent.recvfrom(4096)
        second, _ = silent.recvfrom(4096)
        t.join(IO_LIMIT)
        assert outcome == [False]
        assert first == second and first[0] == 1
        attrs, at = {}, 20
        while at + 2 <= len(first):
            attrs[first[at]] = first[at + 2:at + first[at + 1]]
            at += first[at + 1]
        assert attrs[1] == b"alice" and len(attrs[80]) == 16
        assert attrs[4] == socket.inet_aton("127.0.0.1")
        silent.settimeout(0.5)
        with pytest.raises(socket.timeout):
            silent.recvfrom(4096)



def test_restart_during_a_silent_radius_check_ends_it_at_once(launch):
    """SIGHUP while a check waits for a silent server: the session ends without a reply and
    without a second request, and the restarted gateway serves again."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
        silent.bind(("127.0.0.1", 0))
        silent.settimeout(30)
        gw = launch(algtest.SocksGateway, radius_authsystem(silent.getsockname()[1]))
        started = gw.wait_for("Started")
        with algtest.connect(gw.port, IO_LIMIT) as s:
            s.sendall(b"\x05\x01\x02")
            assert algtest.recv_exact(s, 2) == b"\x05\x02"
            s.sendall(b"\x01\x05alice\x0awonderland")
            silent.recvfrom(4096)
            gw.proc.send_signal(signal.SIGHUP)
            assert s.recv(16) == b""
        gw.wait_for("Started", start=started + 1)
        silent.setblocking(False)
        with pytest.raises(BlockingIOError):
            silent.recvfrom(4096)
        with algtest.connect(gw.port, IO_LIMIT) as s:
            s.sendall(b"\x05\x01\x02")
            assert algtest.recv_exact(s, 2) == b"\x05\x02"


class ForgingServer:
    """A RADIUS server of the test's own on 127.0.0.1 (port .port) that answers each request
    with three forged answers of code `forged`, then the genuine answer of code `genuine`,
    both under `secret`. The forgeries: a wrong Response Authenticator from the server's port,
    the right one from another port, the right one for another identifier."""

    def __init__(self, secret, genuine, forged):
        self.secret, self.genuine, self.forged = secret.encode(), genuine, forged
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other.bind(("127.0.0.1", 0))
        self._done = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def answer(self, request, code, identifier):
        """An answer with a Message-Authenticator (RFC 3579: HMAC-MD5 over the answer with
        the request's authenticator) and its Response Authenticator (RFC 2865)."""
        head = struct.pack("!BBH", code, identifier, 20 + 18)
        mac = hmac.new(self.secret, head + request[4:20] + bytes([80, 18]) + bytes(16),
                       hashlib.md5).digest()
        attrs = bytes([80, 18]) + mac
        return head + hashlib.md5(head + request[4:20] + attrs + self.secret).digest() + attrs

    def _serve(self):
        deadline = time.monotonic() + 120
        while not self._done and time.monotonic() < deadline:
            try:
                request, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            forged = self.answer(request, self.forged, request[1])
            self.sock.sendto(forged[:4] + bytes(16) + forged[20:], peer)
            self.other.sendto(forged, peer)
            self.sock.sendto(self.answer(request, self.forged, (request[1] + 1) % 256), peer)
            self.sock.sendto(self.answer(request, self.genuine, request[1]), peer)

    def close(self):
        self._done = True
        self._thread.join(5)
        self.sock.close()
        self.other.close()


@pytest.mark.parametrize("genuine,forged", [(3, 2), (2, 3)])
def test_radius_forged_answers_are_dropped(launch, genuine, forged):
    """Forged Access-Accepts ahead of a genuine Access-Reject, and forged Access-Rejects ahead
    of a genuine Access-Accept: only the genuine answer counts."""
    server = ForgingServer(SECRET, genuine, forged)
    try:
        gw = launch(algtest.SocksGateway, radius_authsystem(server.port))
        assert gw.login("alice", "wonderland") is (genuine == 2), gw.output()
    finally:
        server.close()


# A PAM module that asks two questions in one conversation (its user name, echoed, and its
# password) and accepts whatever answers come: only a conversation that answers both lets it
# through.
TWO_QUESTIONS = r"""
#include <security/pam_modules.h>
#include <stdlib.h>
int pam_sm_authenticate(pam_handle_t* h, int flags, int argc, const char** argv) {
    const struct pam_conv* conv;
    if (pam_get_item(h, PAM_CONV, (const void**)&conv) != PAM_SUCCESS) return PAM_AUTH_ERR;
    struct pam_message name = {PAM_PROMPT_ECHO_ON, "login: "};
    struct pam_message pass = {PAM_PROMPT_ECHO_OFF, "password: "};
    const struct pam_message* asked[2] = {&name, &pass};
    struct pam_response* answers = NULL;
    if (conv->conv(2, asked, &answers, conv->appdata_ptr) != PAM_SUCCESS || !answers)
        return PAM_AUTH_ERR;
    free(answers[0].resp);
    free(answers[1].resp);
    free(answers);
    return PAM_SUCCESS;
}
int pam_sm_setcred(pam_handle_t* h, int flags, int argc, const char** argv) {
    return PAM_SUCCESS;
}
"""

# Logs "start USER" and "end USER" around half a second of work, for each PAM check.
SLOW_CHECK = """#!/bin/sh
echo "start $PAM_USER" >> "$1"
sleep 0.5
echo "end $PAM_USER" >> "$1"
"""


def pam_gateway(launch, tmp_path, name, stack):
    """socks-gateway with "System API" under pam_wrapper, whose service "pam_alg" is `stack`;
    pam_matrix reads users alice, bob and carol (passwords wonderland, builder, pw)."""
    if algtest.sanitized(algtest.program("socks/socks-gateway")):
        pytest.skip("pam_wrapper would be preloaded ahead of the sanitizer's run-time")
    passdb = tmp_path / "passdb"
    passdb.write_text("alice:wonderland:pam_alg\nbob:builder:pam_alg\ncarol:pw:pam_alg\n")
    services = tmp_path / ("pam-" + name)
    services.mkdir()
    (services / "pam_alg").write_text(stack.replace("@PASSDB@", str(passdb)))
    env = {"LD_PRELOAD": "libpam_wrapper.so", "PAM_WRAPPER": "1",
           "PAM_WRAPPER_SERVICE_DIR": str(services)}
    return launch(algtest.SocksGateway, '<authsystem name="System API"/>', env_extra=env)


def test_pam_passwords_and_conversations(launch, tmp_path):
    matrix = "auth required %s passdb=@PASSDB@\n" % MATRIX
    gw = pam_gateway(launch, tmp_path, "matrix", matrix)
    assert gw.login("alice", "wonderland"), gw.output()
    assert not gw.login("bob", "wonderland")
    assert not gw.login("nobody", "x")

    # pam_matrix asking with echo on, and a module asking two questions at once: the
    # conversation answers neither, so the check fails although either would accept.
    module = tmp_path / "pam_two_questions.so"
    source = tmp_path / "two_questions.c"
    source.write_text(TWO_QUESTIONS)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(module), str(source)], check=True,
                   timeout=60)
    for name, stack in [("echo", "auth required %s passdb=@PASSDB@ echo\n" % MATRIX),
                        ("two", "auth required %s\n" % module)]:
        other = pam_gateway(launch, tmp_path, name, stack)
        assert not other.login("alice", "wonderland"), name
        assert other.wait_for("Authentication failed: alice") >= 0


def test_pam_checks_run_one_at_a_time_and_cached_logins_skip_pam(launch, tmp_path):
    script, log = tmp_path / "slow-check", tmp_path / "checks.log"
    script.write_text(SLOW_CHECK)
    script.chmod(0o755)
    stack = ("auth requisite %s quiet %s %s\nauth required %s passdb=@PASSDB@\n"
             % (PAM_EXEC, script, log, MATRIX))
    gw = pam_gateway(launch, tmp_path, "slow", stack)
    results = []
    threads = [threading.Thread(target=lambda u=u, p=p: results.append(gw.login(u, p)),
                                daemon=True)
               for u, p in [("alice", "wonderland"), ("bob", "builder")]]
    for t in threads:
        t.start()
    for t in threads:
        t.join(IO_LIMIT)
    assert results == [True, True], gw.output()
    lines = log.read_text().split()
    # Each check ends before the next begins.
    assert lines[0::4] == ["start"] * 2 and lines[2::4] == ["end"] * 2, lines
    assert lines[1] == lines[3] and lines[5] == lines[7] and lines[1] != lines[5], lines

    assert gw.login("alice", "wonderland")
    assert log.read_text().split() == lines
    assert not gw.login("alice", "wrong")
    assert len(log.read_text().split()) == len(lines) + 4


def test_pam_fail_delay_holds_up_only_the_failed_login(launch, tmp_path):
    """Four wrong logins that PAM makes wait about 3 s each and a right login of another user
    once the first wrong check has run: the right one is answered first, the wrong ones still
    wait their delay."""
    script, log = tmp_path / "note-check", tmp_path / "checks.log"
    script.write_text('#!/bin/sh\necho "$PAM_USER" >> "$1"\n')
    script.chmod(0o755)
    stack = ("auth optional %s quiet %s %s\nauth required %s/security/pam_faildelay.so "
             "delay=3000000\nauth required %s passdb=@PASSDB@\n"
             % (PAM_EXEC, script, log, PAM_DIR, MATRIX))
    gw = pam_gateway(launch, tmp_path, "delay", stack)
    answers = []  # appended in the order the answers come

    def login(user, password):
        answers.append((user, gw.login(user, password)))

    threads = [threading.Thread(target=login, args=("alice", "wrong%d" % i), daemon=True)
               for i in range(4)]
    for t in threads:
        t.start()
    assert algtest.wait_until(lambda: log.exists() and log.read_text(), 30), gw.output()
    threads.append(threading.Thread(target=login, args=("bob", "builder"), daemon=True))
    threads[-1].start()
    for t in threads:
        t.join(IO_LIMIT)
    assert answers == [("bob", True)] + [("alice", False)] * 4, gw.output()


def test_algpolicy_check_judges_radius_parameters(tmp_path):
    """Each authsystem below has one fault; the check names it on the element's line."""
    def policy(params):
        return ('<?xml version="1.0"?>\n<algpolicy><proxy name="alg_socks"><general>\n'
                '<listen_port>1080</listen_port>\n<authsystem name="Radius server">\n%s\n'
                '</authsystem>\n</general><handshake/></proxy></algpolicy>\n' % params)

    ok = '<param name="IP" value="127.0.0.1"/><param name="ServerSecret" value="%s"/>'
    cases = [
        ('<param name="IP" value="127.0.0.1"/>', "Not enough parameters for connect"),
        (ok % ("k" * 128), "secret is longer than 127 characters"),
        ('<param name="IP" value="%s"/><param name="ServerSecret" value="k"/>' % ("h" * 256),
         "name is longer than 255 characters"),
        (ok % "k" + '\n<param name="Port" value="70000"/>', "Port must be 1..65535"),
    ]
    for i, (params, expected) in enumerate(cases):
        path = tmp_path / ("p%d.xml" % i)
        path.write_text(policy(params))
        result = subprocess.run([algtest.program("tools/algpolicy"), "check", str(path)],
                                capture_output=True, text=True, timeout=30)
        assert result.returncode == 1 and expected in result.stdout, result.stdout
        assert len(result.stdout.splitlines()) == 1, result.stdout
        line = int(result.stdout.split(":")[1])
        assert line == (6 if "Port" in params else 4), result.stdout
    path = tmp_path / "clean.xml"
    path.write_text(policy(ok % SECRET + '<param name="Port" value="1812"/>'))
    result = subprocess.run([algtest.program("tools/algpolicy"), "check", str(path)],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stdout
