"""Shared helpers of the end-to-end suites.

- program(relpath): path of a built program under ALG_BUILD_DIR (default /work/main/build).
- make_dirs(base): per-test ALG_SYSCONFDIR (with an "algd/" folder) and ALG_RUNDIR.
- Program: a program started in the foreground whose standard output (and, merged into it,
  standard error) is read line by line in a background thread; wait_for_line(pattern, timeout)
  returns the first line matching a regular expression; stop() ends it with SIGTERM, then
  SIGKILL as a last resort.
- Gateway: a gateway program (Program) in the foreground with folders of its own and its policy
  written to etc/algd/<settings>; TestGateway: tests/progs/test_gateway so prepared, with
  open_relay() for its line protocol "HOST PORT USER PASSWORD".
- ManagementService: `algctl serve` on a runtime folder; algctl(env, ...), status_of(env, name).
- free_port(): a TCP port on 127.0.0.1 that was free a moment ago; connect(port), accepting(port),
  refused(port); recv_exact(sock, n), recv_all(sock), read_to_end(sock) (how the stream ended,
  what came), send_megabytes(sock, count).
- Listener: accepts on a listening socket in a background thread; LoopbackServer runs a function
  for each connection on 127.0.0.1 (port 0); EchoServer echoes every connection.
- wait_until(predicate, timeout), proc_stat(pid), pid_alive(pid), kill_pid(pid, timeout): for
  daemons that are not children of the test.
"""

import hashlib
import json
import os
import pathlib
import random
import re
import signal
import socket
import subprocess
import struct
import threading
import time

BUILD_DIR = os.environ.get("ALG_BUILD_DIR") or "/work/main/build"


def program(relpath):
    """Absolute path of a built program, e.g. program("tests/progs/test_service")."""
    return os.path.join(BUILD_DIR, relpath)


class Dirs:
    """The configuration and runtime folders of one test, and the environment naming them."""

    def __init__(self, base):
        self.base = str(base)
        self.etc = os.path.join(self.base, "etc")
        self.algd = os.path.join(self.etc, "algd")
        self.run = os.path.join(self.base, "run")
        os.makedirs(self.algd, exist_ok=True)
        os.makedirs(self.run, exist_ok=True)

    def env(self, **extra):
        """A copy of the test's environment with ALG_SYSCONFDIR, ALG_RUNDIR and `extra`."""
        env = dict(os.environ)
        env["ALG_SYSCONFDIR"] = self.etc + "/"
        env["ALG_RUNDIR"] = self.run
        env.update({k: str(v) for k, v in extra.items()})
        return env


def make_dirs(base):
    return Dirs(base)


def wait_until(predicate, timeout, step=0.05):
    """Polls `predicate` until it returns a true value or `timeout` seconds pass; returns
    its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Program:
    """A program running in the foreground with captured output. Use as a context manager
    or call stop() so that it never outlives the test."""

    def __init__(self, args, env, cwd=None, merge_stderr=True, encoding="utf-8"):
        self.args = [str(a) for a in args]
        self._encoding = encoding
        self.proc = subprocess.Popen(
            self.args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT if merge_stderr else subprocess.PIPE)
        self._lines = []
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self._cond:
                self._lines.append(raw.decode(self._encoding, "replace").rstrip("\r\n"))
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    _eof = False

    def lines(self):
        with self._cond:
            return list(self._lines)

    def output(self):
        """All output so far as one text."""
        return "\n".join(self.lines())

    def wait_for_line(self, pattern, timeout=10.0, start=0):
        """The first output line from index `start` on that matches `pattern` (re.search);
        raises AssertionError when none arrives within `timeout` seconds or output ends."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            index = start
            while True:
                while index < len(self._lines):
                    if regex.search(self._lines[index]):
                        return self._lines[index]
                    index += 1
                left = deadline - time.monotonic()
                if self._eof or left <= 0:
                    raise AssertionError("no line matching %r; output:\n%s"
                                         % (pattern, "\n".join(self._lines)))
                self._cond.wait(left)

    def wait_for_index(self, pattern, timeout=10.0, start=0):
        """Like wait_for_line, but the index of the matching line, so that tests can check
        the order of lines."""
        line = self.wait_for_line(pattern, timeout, start)
        with self._cond:
            for index in range(start, len(self._lines)):
                if self._lines[index] is line:
                    return index
        raise AssertionError("line vanished: %r" % line)

    def wait(self, timeout=10.0):
        """Exit status once the program ends by itself within `timeout` seconds."""
        status = self.proc.wait(timeout)
        self._reader.join(timeout)
        return status

    def stop(self, timeout=10.0, sig=signal.SIGTERM):
        """Sends `sig`, waits up to `timeout` seconds, kills if still running; the status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout)
        self._reader.join(timeout)
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# Ports handed out below the system's range of ephemeral ports (32768 and up), which every
# outgoing connection of a parallel suite draws its local port from: a port the kernel picks
# for binding to port 0 comes from that range too, and a client's connect could take it before
# the program under test binds it.
_FREE_PORTS = range(20000, 32000)


def free_port(kind=socket.SOCK_STREAM):
    """A TCP port (UDP with socket.SOCK_DGRAM) on every local address that no one used a
    moment ago, chosen at random outside the ephemeral range."""
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.choice(_FREE_PORTS)
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("", port))
            except OSError:
                continue
            return port
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, timeout=5.0):
    """A connection to 127.0.0.1:`port` whose operations time out after `timeout` seconds."""
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def accepting(port, host="127.0.0.1"):
    """True when something accepts connections on `host`:`port`."""
    try:
        socket.create_connection((host, port), timeout=0.2).close()
        return True
    except OSError:
        return False


def refused(port):
    """True when a connection to 127.0.0.1:`port` is actively refused."""
    try:
        connect(port, 2).close()
        return False
    except ConnectionRefusedError:
        return True


def recv_exact(sock, n):
    """Exactly `n` bytes; EOFError when the peer closes first."""
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def recv_all(sock, limit=256 << 20):
    """Everything up to the peer's end of stream (at most `limit` bytes)."""
    parts, size = [], 0
    while size < limit:
        chunk = sock.recv(65536)
        if not chunk:
            break
        parts.append(chunk)
        size += len(chunk)
    return b"".join(parts)


def read_to_end(sock, limit=256 << 20):
    """("eof", "reset" or "limit", the bytes read) for everything up to how the stream ended."""
    parts, got = [], 0
    while got < limit:
        try:
            chunk = sock.recv(1 << 20)
        except ConnectionResetError:
            return "reset", b"".join(parts)
        if not chunk:
            return "eof", b"".join(parts)
        parts.append(chunk)
        got += len(chunk)
    return "limit", b"".join(parts)


def send_megabytes(sock, count):
    """Sends `count` MiB of zeros: "all", or the OSError that stopped it."""
    megabyte = memoryview(bytes(1 << 20))
    try:
        for _ in range(count):
            sock.sendall(megabyte)
        return "all"
    except OSError as e:
        return e


def proc_stat(pid):
    """The fields of /proc/PID/stat after the command name: [0] state, [3] session id,
    [11] and [12] user and system time in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()


def pid_alive(pid):
    """True while `pid` exists and is not a zombie."""
    try:
        return proc_stat(pid)[0] not in ("Z", "X")
    except (OSError, IndexError):
        return False


def kill_pid(pid, timeout=10.0):
    """Ends a process that is not our child (a daemon): SIGTERM, then SIGKILL after `timeout`.
    True when it ended on SIGTERM."""
    if not pid_alive(pid):
        return True
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return True
    if wait_until(lambda: not pid_alive(pid), timeout):
        return True
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    wait_until(lambda: not pid_alive(pid), timeout)
    return False


def read_pid(path):
    """The pid written in a pid or guard file, or None when it holds none."""
    try:
        with open(path) as f:
            text = f.read().strip()
        return int(text) if text else None
    except (OSError, ValueError):
        return None


class Listener:
    """Accepts on the listening socket `sock` in a background thread until close() or until
    its lifetime in seconds runs out; each connection goes to handle(conn)."""

    def __init__(self, sock, lifetime=120.0, backlog=16, poll=0.2):
        self.sock = sock
        self.sock.listen(backlog)
        self.sock.settimeout(poll)
        self._deadline = time.monotonic() + lifetime
        self._done = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._done and time.monotonic() < self._deadline:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.handle(conn)

    def handle(self, conn):
        conn.close()

    def close(self):
        self._done = True
        self._thread.join(5)
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def echo(conn):
    """Sends back everything `conn` receives until its end of stream."""
    while True:
        data = conn.recv(65536)
        if not data:
            return
        conn.sendall(data)


class LoopbackServer(Listener):
    """Runs `serve(conn)` in a thread of its own for every connection on `host` (port 0, see
    .port); socket errors end that connection, which is closed afterwards."""

    def __init__(self, serve, lifetime=120.0, io_timeout=30.0, host="127.0.0.1"):
        self.serve = serve
        self.io_timeout = io_timeout
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind((host, 0))
        self.port = sock.getsockname()[1]
        super().__init__(sock, lifetime)

    def handle(self, conn):
        conn.settimeout(self.io_timeout)
        threading.Thread(target=self._run_one, args=(conn,), daemon=True).start()

    def _run_one(self, conn):
        with conn:
            try:
                self.serve(conn)
            except OSError:
                return


class EchoServer(LoopbackServer):
    """Echoes every connection on 127.0.0.1 (port 0, see .port)."""

    def __init__(self, lifetime=120.0):
        super().__init__(echo, lifetime)


class Gateway(Program):
    """The gateway `exe` in the foreground ("-f") with folders of its own below `base`
    (.dirs, .etc), its policy `text` in etc/algd/`settings` and each of `files` (name: text or
    bytes) in etc/; `env_extra` is added to the environment the folders make."""

    def __init__(self, exe, base, settings, text, files=None, env_extra=None,
                 encoding="utf-8"):
        self.dirs = make_dirs(base)
        self.etc = pathlib.Path(self.dirs.etc)
        self.settings = self.etc / "algd" / settings
        for name, content in (files or {}).items():
            path = self.etc / name
            if isinstance(content, bytes):
                path.write_bytes(content)
            else:
                path.write_text(content)
        self.write_policy(text)
        super().__init__([exe, "-f"], self.dirs.env(**(env_extra or {})), encoding=encoding)

    def write_policy(self, text):
        self.settings.write_text(text)

    def wait_for(self, text, start=0, timeout=10.0):
        """Index of the first line from `start` on that contains `text`."""
        return self.wait_for_index(re.escape(text), timeout, start)

    def has_line(self, text, timeout=5.0):
        """True when a line containing `text` arrives within `timeout` seconds."""
        try:
            self.wait_for(text, timeout=timeout)
            return True
        except AssertionError:
            return False

    def find(self, text):
        return next((i for i, l in enumerate(self.lines()) if text in l), -1)

    def count(self):
        return len(self.lines())

    def signal(self, sig):
        self.proc.send_signal(sig)

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    def cpu_seconds(self):
        fields = proc_stat(self.proc.pid)
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class TestGateway(Gateway):
    """tests/progs/test_gateway (service "alg_test", settings "test.xml"): user "alice" with
    PASSWORD in etc/passwd, whose path replaces "@PASSWD@" in every policy written."""

    __test__ = False  # not a pytest test class
    EXE = program("tests/progs/test_gateway")
    PASSWORD = "secret"
    CONNECTED = b"+OK\r\n"

    def __init__(self, base, text, env_extra=None):
        self.passwd = pathlib.Path(make_dirs(base).etc) / "passwd"
        digest = hashlib.md5(self.PASSWORD.encode()).hexdigest()
        super().__init__(self.EXE, base, "test.xml", text, {"passwd": "alice=%s\n" % digest},
                         env_extra)

    def write_policy(self, text):
        super().write_policy(text.replace("@PASSWD@", str(self.passwd)))

    @classmethod
    def open_relay(cls, port, echo_port, user="alice", password=None):
        """A relayed session to the echo server on `echo_port`, proven by one echoed "ping"."""
        s = connect(port)
        s.sendall(b"127.0.0.1 %d %s %s\n" % (echo_port, user.encode(),
                                              (password or cls.PASSWORD).encode()))
        assert recv_exact(s, len(cls.CONNECTED)) == cls.CONNECTED
        s.sendall(b"ping")
        assert recv_exact(s, 4) == b"ping"
        return s


ALGCTL = program("tools/algctl")


def algctl(env, *args, timeout=60):
    """Runs algctl with `args`; the completed process with captured output."""
    return subprocess.run([ALGCTL, *args], env=env, capture_output=True, timeout=timeout)


def status_of(env, name):
    """The status record of service `name` from `algctl status --json`, or None."""
    r = algctl(env, "status", "--json", timeout=10)
    if r.returncode != 0:
        return None
    return next((entry for entry in json.loads(r.stdout) if entry["name"] == name), None)


class ManagementService(Program):
    """`algctl serve` on the runtime folder `run` (made when missing), up once its bus socket
    (.socket) exists; .env names the folder for algctl and gateways."""

    def __init__(self, run, timeout=5.0):
        self.run = pathlib.Path(run)
        self.run.mkdir(parents=True, exist_ok=True)
        self.env = dict(os.environ, ALG_RUNDIR=str(self.run))
        self.socket = self.run / "cmdbus.sock"
        super().__init__([ALGCTL, "serve"], self.env)
        if not wait_until(self.socket.exists, timeout):
            self.stop()
            raise AssertionError("algctl serve did not come up:\n" + self.output())


class ReaderGoneGateway(TestGateway):
    """TestGateway whose console reader goes away: after the first output line containing
    `drop_after` it closes its end of the pipe (later console writes of the gateway fail with
    EPIPE) and sets .dropped."""

    __test__ = False

    def __init__(self, base, text, drop_after):
        self._drop_after = drop_after
        self.dropped = threading.Event()
        super().__init__(base, text)

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(self._encoding, "replace").rstrip("\r\n")
            with self._cond:
                self._lines.append(line)
                self._cond.notify_all()
            if self._drop_after in line:
                break
        self.proc.stdout.close()
        with self._cond:
            self._eof = True
            self._cond.notify_all()
        self.dropped.set()


def u32(value):
    """A host-order unsigned 32-bit integer as the command bus writes it."""
    return struct.pack("=I", value)


def text(data):
    """A length-prefixed text of a bus payload (bytes or str, str taken as UTF-8)."""
    data = data.encode() if isinstance(data, str) else data
    return u32(len(data)) + data


def status_record(service, last=b"", fields=None):
    """A gateway's status record (module 23, command 6): `service`, nine texts (`fields`,
    default "x" each), last message type 3 and text `last`."""
    return text(service) + b"".join(text(f) for f in (fields or [b"x"] * 9)) + u32(3) + text(last)


class BusSession:
    """A raw command-bus session of the test's own on the Unix socket `path`: call() sends one
    request and returns (status, reply bytes). Every wait times out after `timeout` seconds."""

    REQUEST, REPLY = 0x31425543, 0x52425543

    def __init__(self, path, name="raw", timeout=5.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(str(path))
        status, _ = self.call(0, 0, u32(1) + text(name))
        assert status == 0

    def send_frame(self, module, command, payload, announced=None):
        """Sends a request header announcing `announced` bytes (default len(payload)) and
        `payload`, without waiting for a reply."""
        length = len(payload) if announced is None else announced
        self.sock.sendall(u32(self.REQUEST) + u32(module) + u32(command) + u32(length) + payload)

    def call(self, module, command, payload=b""):
        self.send_frame(module, command, payload)
        magic, status, length = struct.unpack("=III", recv_exact(self.sock, 12))
        assert magic == self.REPLY
        return status, recv_exact(self.sock, length)

    def close(self):
        self.sock.close()


def vm_rss_kb(pid, field="VmRSS"):
    """Resident memory of process `pid` in kB, from /proc (its peak with field="VmHWM")."""
    with open("/proc/%d/status" % pid) as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))


class UnreadManagementService(ManagementService):
    """`algctl serve` whose standard output is a pipe nobody reads: once the pipe is full,
    every write to it would wait for ever."""

    def _read(self):
        self.proc.wait()
        with self._cond:
            self._eof = True
            self._cond.notify_all()


class ScriptedService(Listener):
    """A management service of the test's own on the bus socket `path` (framing in
    docs/cmdbus.md): hands the policies queued with push() to the next polls, answers every
    forwarded message after `message_delay` seconds and everything else at once, and keeps the
    registrations' status texts (.registrations), the status records (.records, dicts with
    "name" and "last") and the forwarded lines (.lines). Connections end with close() or
    after `lifetime` seconds."""

    import struct as _struct

    REQUEST, REPLY = 0x31425543, 0x52425543
    MAX_PAYLOAD = 8 << 20

    def __init__(self, path, message_delay=0.0, lifetime=300.0):
        self.message_delay = message_delay
        self.registrations, self.records, self.lines = [], [], []
        self.delivered = 0  # registrations seen when the last policy was handed over
        self._policies = []
        self._lock = threading.Lock()
        self._closing = False
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(str(path))
        super().__init__(sock, lifetime, backlog=16, poll=0.1)

    def push(self, policy):
        with self._lock:
            self._policies.append(policy)

    def registrations_after_delivery(self):
        """Status texts of the registrations made after the last policy was handed over."""
        with self._lock:
            return self.registrations[self.delivered:] if self.delivered else []

    def handle(self, conn):
        threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    @classmethod
    def _texts(cls, payload, count):
        """`count` length-prefixed texts from the start of `payload`, and the rest."""
        out = []
        for _ in range(count):
            (n,) = cls._struct.unpack_from("=I", payload)
            out.append(payload[4:4 + n])
            payload = payload[4 + n:]
        return out, payload

    def _answer(self, module, command, payload):
        u32 = lambda v: self._struct.pack("=I", v)
        if module == 0 and command == 0:
            return 0, b""  # the session's opening
        if module == 20 and command == 3:
            name, status = self._texts(payload, 2)[0]
            with self._lock:
                self.registrations.append(status.decode("utf-8", "replace"))
            return 0, b""
        if module == 20 and command == 4:
            with self._lock:
                if not self._policies:
                    return 0, u32(3)
                policy = self._policies.pop(0)
                self.delivered = len(self.registrations)
            return 0, u32(1) + u32(len(policy)) + policy
        if module == 23 and command == 5:
            time.sleep(self.message_delay)
            (_, line), _ = self._texts(payload[4:], 2)
            with self._lock:
                self.lines.append(line.decode("utf-8", "replace"))
            return 0, b""
        if module == 23 and command == 6:
            (name, *_), rest = self._texts(payload, 10)
            (last,), _ = self._texts(rest[4:], 1)
            with self._lock:
                self.records.append({"name": name.decode("utf-8", "replace"),
                                     "last": last.decode("utf-8", "replace")})
            return 0, b""
        return 2, b""

    def _session(self, conn):
        conn.settimeout(0.5)
        with conn:
            while not self._closing:
                try:
                    head = recv_exact(conn, 16)
                except socket.timeout:
                    continue
                except (OSError, EOFError):
                    return
                magic, module, command, length = self._struct.unpack("=IIII", head)
                if magic != self.REQUEST or length > self.MAX_PAYLOAD:
                    return
                conn.settimeout(5)
                try:
                    status, reply = self._answer(module, command, recv_exact(conn, length))
                    conn.sendall(self._struct.pack("=III", self.REPLY, status, len(reply)) + reply)
                except (OSError, EOFError):
                    return
                conn.settimeout(0.5)

    def close(self):
        self._closing = True
        super().close()


def sanitized(path):
    """True when the program at `path` is built with the address or undefined-behaviour
    sanitizer, whose run-time checks need descriptors of their own."""
    with open(path, "rb") as f:
        data = f.read()
    return b"__asan_init" in data or b"__ubsan_handle" in data


def drive_sessions(port, echo_port, count, parallel=4, limit=30.0):
    """Runs `count` relayed sessions (TestGateway.open_relay to the echo server) from
    `parallel` threads for at most `limit` seconds; (seconds taken, durations of the sessions
    that completed, errors of those that failed)."""
    durations, errors = [], []
    lock = threading.Lock()
    remaining = [count]
    deadline = time.monotonic() + limit

    def worker():
        while time.monotonic() < deadline:
            with lock:
                if remaining[0] == 0:
                    return
                remaining[0] -= 1
            t0 = time.monotonic()
            try:
                TestGateway.open_relay(port, echo_port).close()
                with lock:
                    durations.append(time.monotonic() - t0)
            except (OSError, EOFError, AssertionError) as e:
                with lock:
                    errors.append(repr(e))

    t0 = time.monotonic()
    threads = [threading.Thread(target=worker, daemon=True) for _ in range(parallel)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(limit + 10)
    return time.monotonic() - t0, durations, errors


# ---- SMTP peers -------------------------------------------------------------------------------

class SmtpSink:
    """An aiosmtpd server on 127.0.0.1 that keeps every message (.messages: dicts with "from",
    "to", "content" bytes as delivered and "login", the user it logged in as, or None).
    With `users` (login: password, bytes) it offers AUTH LOGIN without TLS and checks them.
    Use as a context manager or call close()."""

    def __init__(self, users=None):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult
        self.messages = []
        self._lock = threading.Lock()
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                login = session.auth_data if session.authenticated else None
                with sink._lock:
                    sink.messages.append({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                                          "content": envelope.original_content,
                                          "login": login})
                return "250 Message accepted"

        def authenticator(server, session, envelope, mechanism, data):
            ok = users is not None and users.get(data.login) == data.password
            return AuthResult(success=ok, handled=False, auth_data=data.login)

        kwargs = {"auth_require_tls": False, "authenticator": authenticator} if users else {}
        for _ in range(5):  # a port free a moment ago may be taken by the time it binds
            self.port = free_port()
            self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port,
                                         ready_timeout=10, **kwargs)
            try:
                self.controller.start()
                return
            except OSError:
                continue
        raise AssertionError("aiosmtpd did not start")

    def wait_messages(self, count, timeout=10.0):
        """The messages once at least `count` have arrived (or what arrived by `timeout`)."""
        wait_until(lambda: len(self.messages) >= count, timeout)
        with self._lock:
            return list(self.messages)

    def close(self):
        self.controller.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class ScriptedSmtpServer(LoopbackServer):
    """A raw SMTP server on 127.0.0.1 (port 0, .port): sends `greeting`, then answers each
    command line with the reply of the first (prefix, reply) of `answers` whose prefix begins
    it (any letter case), else "250 OK"; DATA is answered 354 and the message read up to the
    final dot is answered 250; QUIT is answered 221 and ends the connection. Lines received
    are kept in .received."""

    def __init__(self, greeting, answers=(), lifetime=120.0):
        self.greeting = greeting
        self.answers = list(answers)
        self.received = []
        super().__init__(self._converse, lifetime, io_timeout=15.0)

    def _converse(self, conn):
        f = conn.makefile("rb")
        conn.sendall(self.greeting)
        in_data = False
        for _ in range(10000):
            line = f.readline(1 << 20)
            if not line:
                return
            self.received.append(line)
            if in_data:
                if line == b".\r\n":
                    in_data = False
                    conn.sendall(b"250 queued\r\n")
                continue
            reply = next((r for p, r in self.answers if line.upper().startswith(p.upper())),
                         None)
            if reply is None:
                if line.upper().startswith(b"DATA"):
                    in_data = True
                    reply = b"354 go on\r\n"
                elif line.upper().startswith(b"QUIT"):
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    reply = b"250 OK\r\n"
            conn.sendall(reply)


class SmtpGateway(Gateway):
    """smtp-gateway on a free port with the demo user of examples/passwd, `rules` as its
    handshake section and `process` as its process element; ready once it accepts."""

    EXE = program("smtp/smtp-gateway")
    USER, PASSWORD = "demo", "demo-password"
    SOURCE = os.environ.get("ALG_SOURCE_DIR",
                            os.path.join(os.path.dirname(__file__), "..", ".."))

    def __init__(self, base, rules='<access userid="" loglevel="detail" action="allow"/>',
                 process="", timeout=30):
        self.port = free_port()
        with open(os.path.join(self.SOURCE, "examples", "passwd"), "rb") as f:
            passwd = f.read()
        text = """<?xml version="1.0" encoding="UTF-8"?>
<algpolicy><proxy name="alg_smtp"><general>
  <listen_port>%d</listen_port><session_timeout>%d</session_timeout>
  <loggers><logger name="Console" loglevel="verbose"/></loggers>
  <authsystem name="Plaintext file"/>
</general><handshake>%s</handshake><process>%s</process></proxy></algpolicy>
""" % (self.port, timeout, rules, process)
        super().__init__(self.EXE, base, "smtp.xml", text, {"passwd": passwd},
                         encoding="cp1251")
        if not wait_until(lambda: accepting(self.port), 10):
            self.stop()
            raise AssertionError("smtp-gateway did not listen:\n" + self.output())

    def user_name(self, server_port, server_login=None, user=None):
        """The AUTH LOGIN user name for the server on 127.0.0.1:`server_port`."""
        name = "127.0.0.1 %d$%s" % (server_port, user or self.USER)
        return name + ("$" + server_login if server_login is not None else "")


def read_http_request(conn, limit=64 << 20):
    """One HTTP request as raw bytes: the header and a Content-Length body (at most `limit`)."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < limit:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    m = re.search(rb"\r\ncontent-length:[ \t]*(\d+)", head, re.I)
    want = min(int(m.group(1)), limit) if m else 0
    while len(rest) < want:
        chunk = conn.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head + b"\r\n\r\n" + rest


class HttpOrigin(LoopbackServer):
    """An HTTP origin server on 127.0.0.1 (port 0, see .port): reads one request per
    connection, keeps it in .requests and answers by the request's path (query included) from
    `routes`: raw reply bytes, or a function(conn, request) that answers itself. Unknown paths
    get a 404. The connection is closed after the answer."""

    NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"

    def __init__(self, routes, lifetime=300.0, io_timeout=30.0):
        self.routes = routes
        self.requests = []
        super().__init__(self._answer, lifetime, io_timeout)

    def _answer(self, conn):
        request = read_http_request(conn)
        self.requests.append(request)
        parts = request.split(b" ", 2)
        route = self.routes.get(parts[1].decode("latin-1") if len(parts) > 1 else "")
        if callable(route):
            route(conn, request)
        else:
            conn.sendall(route if route is not None else self.NOT_FOUND)


class FtpServer:
    """A pyftpdlib server on `host` (port 0, see .port) serving the folder `root` to the user
    `user` with `password` (every permission), run by a thread of its own for at most
    `lifetime` seconds; its 227 replies name `masquerade` when given. It records the arguments
    of the PORT and EPRT commands it receives (.ports) and the remote (address, port) of every
    data connection (.data_peers)."""

    def __init__(self, root, user="bob", password="bob-pw", lifetime=300.0, host="127.0.0.1",
                 masquerade=None):
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import DTPHandler, FTPHandler
        from pyftpdlib.ioloop import IOLoop
        from pyftpdlib.servers import FTPServer as Server

        self.ports, self.data_peers = [], []
        owner = self

        class RecordingDTP(DTPHandler):
            def __init__(self, sock, cmd_channel):
                owner.data_peers.append(sock.getpeername())
                super().__init__(sock, cmd_channel)

        class Handler(FTPHandler):
            dtp_handler = RecordingDTP
            masquerade_address = masquerade

            def ftp_PORT(self, line):
                owner.ports.append(line)
                return super().ftp_PORT(line)

            def ftp_EPRT(self, line):
                owner.ports.append(line)
                return super().ftp_EPRT(line)

        authorizer = DummyAuthorizer()
        authorizer.add_user(user, password, str(root), perm="elradfmwMT")
        Handler.authorizer = authorizer
        Handler.use_sendfile = True
        # A loop of its own: closing one server leaves the others of the process alone.
        self._server = Server((host, 0), Handler, ioloop=IOLoop())
        self.port = self._server.socket.getsockname()[1]
        self._done = False
        self._deadline = time.monotonic() + lifetime
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._done and time.monotonic() < self._deadline:
            self._server.serve_forever(timeout=0.05, blocking=False, handle_exit=False)
        self._server.close_all()

    def close(self):
        self._done = True
        self._thread.join(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Vsftpd(Program):
    """vsftpd on `host` (a free port, see .port) serving the folder `root` read-only to the
    anonymous user (any password), chrooted there; it answers a command sent during a transfer
    only once the transfer has ended. `base` is a folder of its own. Needs root."""

    def __init__(self, base, root, host="127.0.0.2"):
        base = pathlib.Path(base)
        (base / "empty").mkdir(parents=True, exist_ok=True)
        os.chmod(root, 0o755)
        self.port = free_port()
        config = base / "vsftpd.conf"
        config.write_text(
            "listen=YES\nlisten_address=%s\nlisten_port=%d\nbackground=NO\n"
            "anonymous_enable=YES\nno_anon_password=YES\nlocal_enable=NO\nwrite_enable=NO\n"
            "anon_root=%s\nftp_username=daemon\nsecure_chroot_dir=%s\n"
            "connect_from_port_20=NO\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
            % (host, self.port, root, base / "empty"))
        super().__init__(["/usr/sbin/vsftpd", config], dict(os.environ))
        if not wait_until(lambda: accepting(self.port, host), 10):
            self.stop()
            raise AssertionError("vsftpd did not listen:\n" + self.output())


def free_udp_port():
    return free_port(socket.SOCK_DGRAM)


class Trap:
    """One SNMPv1 trap as TrapStation printed it; `text` is the first binding's octets."""

    def __init__(self, fields):
        (self.version, self.community, self.enterprise, self.agent, self.generic,
         self.specific, self.ticks, bindings) = fields
        self.specific = self.specific.lstrip(".")
        self.bindings = [b for b in bindings.split("\t") if b]
        first = self.bindings[0] if self.bindings else ""
        self.oid, _, value = first.partition(" = Hex-STRING: ")
        self.text = bytes.fromhex(value)


class TrapStation(Program):
    """snmptrapd in the foreground on a free loopback UDP port (.port), reading no MIB files
    and no configuration but its own (every community accepted), keeping its persistent state
    below `base`. traps() lists the traps received so far, octet strings read as bytes."""

    FORMAT = "TRAP|%s|%u|%N|%a|%w|%q|%T|%v\n"

    def __init__(self, base):
        base = pathlib.Path(base)
        (base / "persist").mkdir(parents=True, exist_ok=True)
        conf = base / "snmptrapd.conf"
        conf.write_text("disableAuthorization yes\n")
        self.port = free_udp_port()
        env = dict(os.environ, MIBS="", SNMP_PERSISTENT_DIR=str(base / "persist"))
        super().__init__(["stdbuf", "-oL", "snmptrapd", "-f", "-Lo", "-n", "-C", "-c", conf,
                          "-m", "", "-Ox", "-On", "-F", self.FORMAT,
                          "udp:127.0.0.1:%d" % self.port], env)
        self.wait_for_line(r"NET-SNMP version")

    def traps(self):
        # A long octet string goes on over further lines of 16 hex bytes each.
        records = []
        for line in self.lines():
            if line.startswith("TRAP|"):
                records.append(line)
            elif records and re.fullmatch(r"([0-9A-F]{2} )+", line):
                records[-1] += line
        return [Trap(r.split("|", 8)[1:]) for r in records]

    def wait_for_traps(self, count, timeout=10.0):
        """The traps once at least `count` have arrived (fewer when `timeout` passes first)."""
        wait_until(lambda: len(self.traps()) >= count, timeout)
        return self.traps()


class RadiusServer(Program):
    """FreeRADIUS in the foreground (`freeradius -X`) from a copy of the packaged
    configuration below `base`: one virtual server on 127.0.0.1:.port (UDP) checking PAP
    against `users` (the "files" module's text), one client 127.0.0.1 with `secret` that must
    send a Message-Authenticator, no proxying, no other modules or sites. Running as root, the
    copy drops the user and group lines so that it stays root and reads its own files."""

    PACKAGED = "/etc/freeradius/3.0"
    KEPT_MODULES = ("always", "expr", "files", "pap")

    def __init__(self, base, users, secret, timeout=15.0):
        import shutil
        self.port = free_udp_port()
        self.secret = secret
        raddb = pathlib.Path(base) / "raddb"
        raddb.parent.mkdir(parents=True, exist_ok=True)
        shutil.copytree(self.PACKAGED, raddb, symlinks=True)
        conf = raddb / "radiusd.conf"
        text = re.sub(r"(?m)^\s*(user|group)\s*=.*$", "", conf.read_text())
        text = re.sub(r"(?m)^(logdir|run_dir) = .*$", r"\1 = %s" % raddb.parent, text)
        text = re.sub(r"(?m)^(\s*proxy_requests\s*=\s*)yes", r"\1no", text)
        conf.write_text(text)
        for link in (raddb / "mods-enabled").iterdir():
            if link.name not in self.KEPT_MODULES:
                link.unlink()
        for link in (raddb / "sites-enabled").iterdir():
            link.unlink()
        (raddb / "sites-enabled" / "gateway").write_text(
            "server default {\n listen {\n  type = auth\n  ipaddr = 127.0.0.1\n"
            "  port = %d\n }\n authorize {\n  files\n  pap\n }\n"
            " authenticate {\n  Auth-Type PAP {\n   pap\n  }\n }\n post-auth {\n }\n}\n"
            % self.port)
        (raddb / "clients.conf").write_text(
            "client gateway {\n ipaddr = 127.0.0.1\n secret = %s\n"
            " require_message_authenticator = yes\n}\n" % secret)
        (raddb / "mods-config" / "files" / "authorize").write_text(users)
        super().__init__(["/usr/sbin/freeradius", "-X", "-d", raddb], dict(os.environ))
        try:
            self.wait_for_line(r"Ready to process requests", timeout)
        except AssertionError:
            self.stop()
            raise

    def requests(self):
        """How many Access-Requests the server has received so far."""
        return sum(1 for l in self.lines() if re.search(r"Received Access-Request", l))


class SocksGateway(Gateway):
    """socks-gateway on a free port, every request allowed, with `authsystem` (the XML of the
    element) checking logins; `env_extra` goes to its environment. Ready once it listens."""

    def __init__(self, base, authsystem, env_extra=None, timeout=60):
        self.port = free_port()
        text = """<?xml version="1.0" encoding="UTF-8"?>
<algpolicy><proxy name="alg_socks"><general>
  <listen_port>%d</listen_port><session_timeout>%d</session_timeout>
  <loggers><logger name="Console" loglevel="verbose"/></loggers>
  %s
</general><handshake><access userid="" loglevel="detail" action="allow"/></handshake>
</proxy></algpolicy>
""" % (self.port, timeout, authsystem)
        super().__init__(program("socks/socks-gateway"), base, "socks.xml", text,
                         env_extra=env_extra, encoding="cp1251")
        if not wait_until(lambda: accepting(self.port), 10):
            self.stop()
            raise AssertionError("socks-gateway did not listen:\n" + self.output())

    def login(self, user, password, timeout=60.0):
        """SOCKS 5 user name and password login: True when accepted, False when refused."""
        with connect(self.port, timeout) as s:
            s.sendall(b"\x05\x01\x02")
            assert recv_exact(s, 2) == b"\x05\x02"
            user, password = user.encode(), password.encode()
            s.sendall(bytes([1, len(user)]) + user + bytes([len(password)]) + password)
            version, status = recv_exact(s, 2)
            assert version == 1
            return status == 0


# ---- load and fault peers ---------------------------------------------------------------------

class SelectEcho(Listener):
    """An echo server on 127.0.0.1 (port 0, .port) that serves any number of connections from
    one thread (a selector), so that a thousand tunnels cost no thousand threads; stops at
    close() or after `lifetime` seconds."""

    def __init__(self, lifetime=300.0):
        import selectors
        self._sel = selectors.DefaultSelector()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", 0))
        self.port = sock.getsockname()[1]
        self._sel.register(sock, 1)
        super().__init__(sock, lifetime, backlog=1024)

    def _serve(self):
        while not self._done and time.monotonic() < self._deadline:
            for key, _ in self._sel.select(0.1):
                if key.fileobj is self.sock:
                    try:
                        conn, _ = self.sock.accept()
                    except OSError:
                        continue
                    conn.setblocking(False)
                    self._sel.register(conn, 1)
                    continue
                conn = key.fileobj
                try:
                    data = conn.recv(65536)
                    if data:
                        conn.setblocking(True)  # echoes are small; a short blocking send
                        conn.settimeout(5)
                        conn.sendall(data)
                        conn.setblocking(False)
                        continue
                except OSError:
                    pass
                self._sel.unregister(conn)
                conn.close()
        for key in list(self._sel.get_map().values()):
            if key.fileobj is not self.sock:
                key.fileobj.close()
        self._sel.close()


def resources(pid):
    """(open descriptors, threads, resident KiB) of process `pid`."""
    return (len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid)),
            vm_rss_kb(pid))


def raise_descriptor_limit(want):
    """Raises this process's soft descriptor limit towards `want` (at most the hard limit);
    the limit now in force."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < want:
        soft = want if hard == resource.RLIM_INFINITY else min(want, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


def outcome(sock, expected, timeout):
    """What a client that waits for `expected` bytes sees: "served" when they arrive whole,
    "closed" on an end of stream or reset before them, "wrong" on other bytes and "hung" when
    nothing ends within `timeout` seconds."""
    sock.settimeout(timeout)
    data = b""
    try:
        while len(data) < len(expected):
            chunk = sock.recv(len(expected) - len(data))
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    except socket.timeout:
        return "hung"
    if data == expected:
        return "served"
    return "closed" if expected.startswith(data) else "wrong"


# ---- operator tools ---------------------------------------------------------------------------

ALGPOLICY = program("tools/algpolicy")


def explain(policy, service, *args, user=None):
    """`algpolicy explain --json` of `policy` (a path) for `service` with `args` (properties,
    --option, --body): the decoded answer."""
    cmd = [ALGPOLICY, "explain", str(policy), service, "--json", *args]
    if user is not None:
        cmd += ["--user", user]
    r = subprocess.run(cmd, capture_output=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def http_get(address, path="/", timeout=10.0, host_header=None):
    """(status, body bytes) of a GET to "ADDR:PORT" with a raw socket, with `address` (or
    `host_header`) as Host; the answer is read until the server closes."""
    host, port = address.rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout) as s:
        s.sendall(b"GET %s HTTP/1.0\r\nHost: %s\r\n\r\n"
                  % (path.encode(), (host_header or address).encode()))
        data = recv_all(s, 16 << 20)
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


class ObservedService(ManagementService):
    """`algctl serve` with its metrics and status page on free loopback ports (.metrics and
    .page hold "ADDR:PORT" as the service announced them)."""

    def __init__(self, run, timeout=5.0):
        self.run = pathlib.Path(run)
        self.run.mkdir(parents=True, exist_ok=True)
        self.env = dict(os.environ, ALG_RUNDIR=str(self.run))
        self.socket = self.run / "cmdbus.sock"
        Program.__init__(self, [ALGCTL, "serve", "--metrics", ":0", "--http", ":0"], self.env)
        self.metrics = self.wait_for_line(r"^metrics on ", timeout).split()[-1]
        self.page = self.wait_for_line(r"^status page on ", timeout).split()[-1]


def recv_upto(sock, n):
    """Up to `n` bytes; fewer when the peer ends (or resets) the connection first."""
    data = b""
    try:
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    return data
