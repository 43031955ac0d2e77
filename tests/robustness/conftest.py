"""Fixtures of the robustness tests: worker processes."""

from __future__ import annotations


import pytest

from tests.robustness.helpers import start_workers


@pytest.fixture
def tabloom_worker(tmp_path_factory):
    """Factory of worker processes, all ended when the test ends."""
    started: list = []
    folder = tmp_path_factory.mktemp("workers")
    yield lambda count=1: start_workers(folder, count, started)
    for worker in started:
        worker.close()


@pytest.fixture(scope="module")
def worker_pool(tmp_path_factory):
    """Factory of worker processes shared by the tests of one module (their start is slow)."""
    started: list = []
    folder = tmp_path_factory.mktemp("pool")
    yield lambda count=1: start_workers(folder, count, started)
    for worker in started:
        worker.close()
