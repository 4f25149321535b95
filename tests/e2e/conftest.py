"""Fixtures shared by the end-to-end suites."""

import pytest

import algtest


@pytest.fixture
def alg_dirs(tmp_path):
    """Per-test ALG_SYSCONFDIR (with algd/) and ALG_RUNDIR; see algtest.Dirs."""
    return algtest.make_dirs(tmp_path)
