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

# bin/marl, run by the command line tests, uses the interpreter running the
# tests, so it loads the same native modules as they do.
os.environ["MARL_PYTHON"] = sys.executable

MODULES = ("strix.plan_advisor", "strix.compute.jvm_elig", "strix.task.docs.api.profile")


def _module_paths():
    import importlib

    return [importlib.import_module(name).__file__ for name in MODULES]


def pytest_sessionstart(session):
    """With STRIX_EXPECT_INSTALLED set to a folder, refuse to run unless the
    three modules are loaded from there: a run meant for an installed artifact
    must not pick up a build of the tree."""
    expected = os.environ.get("STRIX_EXPECT_INSTALLED")
    if expected:
        prefix = os.path.realpath(expected) + os.sep
        stray = [p for p in _module_paths() if not os.path.realpath(p).startswith(prefix)]
        if stray:
            raise pytest.UsageError(f"native modules not loaded from {expected}: {stray}")


def pytest_report_header(config):
    return ["native modules:"] + [f"  {p}" for p in _module_paths()]


# Under the sanitizers every allocation goes through malloc and memory takes
# longer to settle, so more rounds are needed to tell a decay from a leak.
SANITIZED = os.environ.get("STRIX_SANITIZED") == "1"


def assert_no_leak(func, *, rounds=None, calls=2000, slack=2048):
    """Call ``func`` in rounds and fail when traced memory grows every round.

    A real reference leak shows as about the same growth in each round;
    one-off caches grow in the first rounds only, and allocator effects (as
    under the sanitizers) shrink from round to round. ``func`` may raise: expected exceptions are part of
    what is measured.
    """

    def run():
        for _ in range(calls):
            try:
                func()
            except Exception:
                pass

    rounds = rounds or (8 if SANITIZED else 4)
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
    steady = all(g > slack for g in growth) and growth[-1] * 2 >= growth[0]
    assert not steady, f"memory grows every round: {sizes}"


@pytest.fixture
def leak_check():
    return assert_no_leak
