"""Fixtures shared by the end-to-end suites."""

import pytest

import algtest


@pytest.fixture
def alg_dirs(tmp_path):
    """Per-test ALG_SYSCONFDIR (with algd/) and ALG_RUNDIR; see algtest.Dirs."""
    return algtest.make_dirs(tmp_path)


@pytest.fixture
def launch(tmp_path):
    """launch(factory, *args, **kw) makes factory(tmp_path / "gN", *args, **kw), N counting
    from 0, for programs that take a folder of their own; each is stopped when the test ends."""
    started = []

    def start(factory, *args, **kw):
        p = factory(tmp_path / ("g%d" % len(started)), *args, **kw)
        started.append(p)
        return p

    yield start
    for p in reversed(started):
        p.stop()
