"""The service shell through a test service: command line, single-copy guard, daemon start."""

import os
import stat
import subprocess

import pytest

import algtest

SERVICE = algtest.program("tests/progs/test_service")
EXE_DIR = os.path.dirname(os.path.realpath(SERVICE))
ONLY_ONE = "error: Error: Only one copy of service is allowed"


def records(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def run(args, env, cwd, timeout=10):
    return subprocess.run([SERVICE] + args, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


@pytest.fixture
def daemons():
    """Pids of daemons started by a test; every one is killed when the test ends."""
    pids = []
    yield pids
    for pid in pids:
        algtest.kill_pid(pid)


def guard_file(dirs, name="alg_test"):
    return os.path.join(dirs.run, name + "_is_running")


def daemon_pid(dirs, daemons, name="alg_test"):
    pid = algtest.wait_until(lambda: algtest.read_pid(guard_file(dirs, name)), 10)
    assert pid, "no daemon pid in the guard file"
    daemons.append(pid)
    return pid


def test_foreground_flag_anywhere_and_working_directory(alg_dirs, tmp_path):
    for args in (["-f"], ["-d"], ["-debug"], ["-fx"], ["other", "-f"], ["a", "b", "-d"]):
        log = str(tmp_path / ("log" + "_".join(args)))
        env = alg_dirs.env(ALGTEST_LOG=log, ALGTEST_RUN_RESULT=0)
        result = run(args, env, cwd=str(tmp_path))
        assert result.returncode == 0, args
        lines = records(log)
        assert "foreground: 1" in lines, args
        assert "cwd: " + EXE_DIR in lines, args
        assert lines[-2:] == ["finalize", "exit: 0"], args


def test_usage_errors(alg_dirs, tmp_path):
    log = str(tmp_path / "log")
    env = alg_dirs.env(ALGTEST_LOG=log)
    for args in (["-x"], ["f"], ["a", "b"], ["-x", "--f"], [""]):
        result = run(args, env, cwd=str(tmp_path))
        assert result.returncode == 37, args
        assert result.stderr == ("usage: %s [-f]\n" % SERVICE).encode(), args
    # Nothing started: no phase ran and no guard was taken.
    assert "init" not in records(log)
    assert not os.path.exists(guard_file(alg_dirs))


def test_phase_results_become_the_exit_status(alg_dirs, tmp_path):
    log = str(tmp_path / "log")
    cases = [({"ALGTEST_INIT_RESULT": 5}, 5, False),
             ({"ALGTEST_RUN_RESULT": 7}, 7, True),
             ({"ALGTEST_RUN_RESULT": 7, "ALGTEST_FINAL_RESULT": 9}, 9, True)]
    for extra, status, finalized in cases:
        if os.path.exists(log):
            os.unlink(log)
        result = run(["-f"], alg_dirs.env(ALGTEST_LOG=log, **extra), cwd=str(tmp_path))
        assert result.returncode == status, extra
        lines = records(log)
        assert ("finalize" in lines) == finalized, extra
        assert ("error: Initialization failed." in lines) == (not finalized), extra


def test_second_copy_in_foreground_is_refused(alg_dirs, tmp_path):
    log = str(tmp_path / "log")
    env = alg_dirs.env(ALGTEST_LOG=log)
    with algtest.Program([SERVICE, "-f"], env, cwd=str(tmp_path)) as first:
        pid = int(first.wait_for_line(r"^initialized \d+$").split()[1])
        assert algtest.read_pid(guard_file(alg_dirs)) == pid

        second = run(["-f"], env, cwd=str(tmp_path))
        assert second.returncode == 32
        assert ONLY_ONE in records(log)

        # Another service of the family has a guard of its own.
        other = run(["-f"], alg_dirs.env(ALGTEST_SERVICE_NAME="alg_other", ALGTEST_RUN_RESULT=0),
                    cwd=str(tmp_path))
        assert other.returncode == 0

        assert first.stop() == 0
    assert records(log)[-2:] == ["finalize", "exit: 0"]

    # The guard is free again once the holder has ended.
    again = run(["-f"], alg_dirs.env(ALGTEST_RUN_RESULT=0), cwd=str(tmp_path))
    assert again.returncode == 0


def test_guard_that_cannot_be_made_is_not_reported_as_another_copy(alg_dirs, tmp_path):
    log = str(tmp_path / "log")
    blocker = tmp_path / "not_a_folder"
    blocker.write_text("")
    env = alg_dirs.env(ALGTEST_LOG=log, ALG_RUNDIR=str(blocker / "run"))
    result = run(["-f"], env, cwd=str(tmp_path))
    assert result.returncode == 32
    lines = records(log)
    assert ONLY_ONE not in lines and "init" not in lines
    assert any(line.startswith("error: Error: Cannot take the single-copy guard ") for line in lines)


def test_guard_released_when_holder_is_killed(alg_dirs, tmp_path):
    env = alg_dirs.env()
    with algtest.Program([SERVICE, "-f"], env, cwd=str(tmp_path)) as first:
        first.wait_for_line(r"^initialized")
        first.proc.kill()
        first.proc.wait(10)
    result = run(["-f"], alg_dirs.env(ALGTEST_RUN_RESULT=0), cwd=str(tmp_path))
    assert result.returncode == 0


def test_daemon_start_and_stop(alg_dirs, tmp_path, daemons):
    log = str(tmp_path / "log")
    env = alg_dirs.env(ALGTEST_LOG=log)
    parent = run([], env, cwd=str(tmp_path))
    assert parent.returncode == 0
    pid = daemon_pid(alg_dirs, daemons)
    assert algtest.pid_alive(pid)

    lines = records(log)
    assert "foreground: 0" in lines and "cwd: " + EXE_DIR in lines
    # The daemon runs with umask 0; its guard file is still not writable by others.
    assert stat.S_IMODE(os.stat(guard_file(alg_dirs)).st_mode) == 0o644
    assert int(algtest.proc_stat(pid)[3]) == pid, "the daemon leads a session of its own"
    for fd in range(3):
        assert os.readlink("/proc/%d/fd/%d" % (pid, fd)) == "/dev/null"

    # A second daemon's child is refused; its parent sees it end without starting.
    second = run([], env, cwd=str(tmp_path))
    assert second.returncode == 37
    assert algtest.wait_until(lambda: "exit: 32" in records(log), 10)
    assert ONLY_ONE in records(log)

    assert algtest.kill_pid(pid), "the daemon did not stop on SIGTERM"
    assert algtest.wait_until(lambda: "finalize" in records(log), 10)
    assert algtest.read_pid(guard_file(alg_dirs)) is None


def test_daemon_whose_initialization_fails(alg_dirs, tmp_path):
    log = str(tmp_path / "log")
    parent = run([], alg_dirs.env(ALGTEST_LOG=log, ALGTEST_INIT_RESULT=3), cwd=str(tmp_path))
    assert parent.returncode == 37
    # The child's own status is the result of its initialisation.
    assert algtest.wait_until(lambda: "exit: 3" in records(log), 10)
    lines = records(log)
    assert "error: Initialization failed." in lines and "finalize" not in lines
