"""Shared helpers of the end-to-end suites.

- program(relpath): path of a built program under ALG_BUILD_DIR (default /work/main/build).
- make_dirs(base): per-test ALG_SYSCONFDIR (with an "algd/" folder) and ALG_RUNDIR.
- Program: a program started in the foreground whose standard output (and, merged into it,
  standard error) is read line by line in a background thread; wait_for_line(pattern, timeout)
  returns the first line matching a regular expression; stop() ends it with SIGTERM, then
  SIGKILL as a last resort.
- free_port(): a TCP port on 127.0.0.1 that was free a moment ago.
- EchoServer: a loopback server on port 0 that echoes every connection, for relay tests.
- wait_until(predicate, timeout), pid_alive(pid), kill_pid(pid, timeout): for daemons that are
  not children of the test.
"""

import os
import re
import signal
import socket
import subprocess
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

    def __init__(self, args, env, cwd=None, merge_stderr=True):
        self.args = [str(a) for a in args]
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
                self._lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    _eof = False

    def lines(self):
        with self._cond:
            return list(self._lines)

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


def free_port():
    """A TCP port on 127.0.0.1 that no one listened on a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pid_alive(pid):
    """True while `pid` exists and is not a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state not in ("Z", "X")
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


class EchoServer:
    """Echoes every connection on 127.0.0.1 (port 0, see .port) until close() or until its
    lifetime in seconds runs out."""

    def __init__(self, lifetime=120.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self._deadline = time.monotonic() + lifetime
        self._done = False
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while not self._done and time.monotonic() < self._deadline:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    def _echo(self, conn):
        conn.settimeout(30)
        with conn:
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    conn.sendall(data)
            except OSError:
                return

    def close(self):
        self._done = True
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
