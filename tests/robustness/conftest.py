"""Fixtures of the robustness tests: worker processes."""

from __future__ import annotations

import pytest

from tests.robustness.helpers import start_workers


def _worker_factory(tmp_path_factory, folder_name: str):
    started: list = []
    folder = tmp_path_factory.mktemp(folder_name)
    yield lambda count=1: start_workers(folder, count, started)
    for worker in started:
        worker.close()


@pytest.fixture
def tabloom_worker(tmp_path_factory):
    """Factory of worker processes, all ended when the test ends."""
    yield from _worker_factory(tmp_path_factory, "workers")


@pytest.fixture(scope="module")
def worker_pool(tmp_path_factory):
    """Factory of worker processes shared by the tests of one module (their start is slow)."""
    yield from _worker_factory(tmp_path_factory, "pool")
