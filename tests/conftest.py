"""Shared fixtures and helpers for the test suite."""

import gc
import os
import sys
import tracemalloc

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "host")
if HOST not in sys.path:
    sys.path.insert(0, HOST)


def assert_no_leak(func, *, rounds=4, calls=2000, slack=2048):
    """Call ``func`` in rounds and fail when traced memory grows every round.

    A real reference leak shows as growth in each round; one-off caches only
    grow in the first. ``func`` may raise: expected exceptions are part of
    what is measured.
    """

    def run():
        for _ in range(calls):
            try:
                func()
            except Exception:
                pass

    run()  # warm caches, interned strings, lazily built types
    gc.collect()
    tracemalloc.start()
    try:
        sizes = []
        for _ in range(rounds):
            run()
            gc.collect()
            sizes.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    growth = [b - a for a, b in zip(sizes, sizes[1:])]
    assert not all(g > slack for g in growth), f"memory grows every round: {sizes}"


@pytest.fixture
def leak_check():
    return assert_no_leak
