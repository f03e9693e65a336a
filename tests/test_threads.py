"""Native calls toward other threads and interpreter exit: a daemon thread
caught inside a call when the interpreter finalizes ends quietly, other
threads keep running during long calls, and pending signal handlers run."""

import _thread
import asyncio
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from strix import plan_advisor as pa
from strix.compute import jvm_elig
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import ManifestNode, SourceDefinition

from conftest import HOST, SANITIZED

# The daemon thread's call is parked in a host callback that sleeps; the main
# thread then ends, and an object held by builtins keeps finalization busy
# long enough for the callback to return and try to take the GIL back, which
# CPython answers by ending the thread from inside the call.
CHILD = """
import builtins, sys, threading, time
class KeepsFinalizationBusy:
    def __del__(self):
        time.sleep(2)
builtins.keeps_finalization_busy = KeepsFinalizationBusy()
entered = threading.Event()
{setup}
def worker():
    entered.set()
    {call}
    print("worker finished before exit", flush=True)
threading.Thread(target=worker, daemon=True).start()
entered.wait()
time.sleep(0.2)
print("main done", flush=True)
"""

SLEEPY_NODE = """
from types import SimpleNamespace as NS
from {module} import PlanAdvisor
from strix.contracts.graph.manifest import Manifest
class SleepyNode:
    unique_id = "model.shop.m"
    package_name = "shop"
    sources = [("raw", "orders")]
    depends_on = NS(nodes=[])
    @property
    def resource_type(self):
        time.sleep(0.6)
        return "model"
advisor = PlanAdvisor(Manifest())
"""

SLEEPY_STORE = """
import asyncio
import strix.compute.metadata as metadata
from strix.task.docs.api import profile
class SleepyStore:
    def __init__(self, root): pass
    def initialize(self): pass
    def close(self): pass
    def get_all_profiled_tables(self):
        time.sleep(0.6)
        return [("raw", "orders", "full", None)]
metadata.ProjectMetadataStore = SleepyStore
profile.set_project_root("/nonexistent")
"""

SLOW_JAVA = """
from strix.compute import jvm_elig
JAVA = {java!r}
"""

CASES = {
    "plan_advisor": (SLEEPY_NODE.format(module="strix.plan_advisor"), "advisor.analyze(SleepyNode())"),
    "plan_advisor_pure": (SLEEPY_NODE.format(module="pure_plan_advisor"), "advisor.analyze(SleepyNode())"),
    "jvm_elig": (SLOW_JAVA, "jvm_elig.get_java_version(JAVA)"),
    "profile": (SLEEPY_STORE, "asyncio.run(profile.list_profiled_tables())"),
}


@pytest.fixture
def slow_java(tmp_path):
    java = tmp_path / "java"
    java.write_text("#!/bin/sh\nsleep 0.6\necho 'openjdk version \"17.0.9\" 2023-10-17' >&2\n")
    java.chmod(0o755)
    return str(java)


@pytest.mark.parametrize("case", CASES)
def test_daemon_thread_inside_a_call_at_exit(case, slow_java):
    setup, call = CASES[case]
    script = CHILD.format(setup=textwrap.dedent(setup).format(java=slow_java), call=call)
    bench = os.path.join(os.path.dirname(HOST), "bench")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HOST, bench]))
    child = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, (child.returncode, child.stderr[-2000:])
    # The thread was ended inside the call, not allowed to finish it.
    assert child.stdout == "main done\n"


def many_seeds():
    seed = ManifestNode("model.shop.seed", "seed", "shop")
    return [seed] * 3_000_000


class ManyRowsStore:
    """A metadata store whose table listing is large; no Python code runs
    per row while the module builds its answer."""

    rows = [("raw", f"t{i}", "full", None) for i in range(1_500_000)]

    def __init__(self, project_root):
        pass

    def initialize(self):
        pass

    def close(self):
        pass

    def get_all_profiled_tables(self):
        return self.rows


@pytest.fixture
def many_rows_store(monkeypatch):
    import strix.compute.metadata as metadata
    from strix.task.docs.api import profile

    monkeypatch.setattr(metadata, "ProjectMetadataStore", ManyRowsStore)
    monkeypatch.setattr(profile, "_project_root", "/nonexistent")
    return lambda: asyncio.run(profile.list_profiled_tables())


def longest_gap(call):
    """(duration of call(), longest pause of a thread ticking every 1 ms meanwhile)."""
    ticks = []
    stop = threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    beating = threading.Thread(target=heartbeat)
    beating.start()
    time.sleep(0.02)
    started = time.perf_counter()
    result = None
    try:
        result = call()  # freed after the measurement, as it would be by the caller
    finally:
        ended = time.perf_counter()
        stop.set()
        beating.join()
    during = [started] + [t for t in ticks if started < t < ended] + [ended]
    del result
    return ended - started, max(b - a for a, b in zip(during, during[1:]))


@pytest.mark.parametrize("which", ["analyze_batch", "list_profiled_tables"])
def test_other_threads_run_during_long_calls(which, request):
    if which == "analyze_batch":
        nodes = many_seeds()
        call = lambda: pa.PlanAdvisor(Manifest()).analyze_batch(nodes)  # noqa: E731
    else:
        call = request.getfixturevalue("many_rows_store")
    duration, gap = longest_gap(call)
    assert duration > 0.3, "the call should take long enough to matter"
    # Every few milliseconds on a quiet machine; on a loaded one the heartbeat
    # waits for a CPU as well (a pure-Python loop fares no better), but never
    # for the whole call.
    assert gap < max(0.1, duration / 5), (duration, gap)


def huge_java_list():
    # Versions no caller accepts: the loop runs no Python code per candidate.
    return [jvm_elig.JavaInstallation(f"/opt/jdk-{i}", 99, "99", "OpenJDK") for i in range(1000)] * 3000


@pytest.mark.parametrize("call", [
    lambda: pa.PlanAdvisor(Manifest()).analyze_batch(many_seeds()),
    lambda: jvm_elig.select_best_java(huge_java_list(), [8, 11, 17]),
], ids=["analyze_batch", "select_best_java"])
def test_interrupt_main_stops_a_long_call(call):
    fired = []

    def interrupt():
        fired.append(time.perf_counter())
        _thread.interrupt_main()

    timer = threading.Timer(0.15, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        stopped = time.perf_counter()
    finally:
        timer.cancel()
        timer.join()
    assert fired and stopped - fired[0] < 0.2, stopped - fired[0]
    # The module is still usable afterwards.
    advisor = pa.PlanAdvisor(Manifest(sources={"source.shop.raw.orders": SourceDefinition("source.shop.raw.orders", connection="pg")}))
    node = ManifestNode("model.shop.m", "model", "shop", sources=["source.shop.raw.orders"])
    assert advisor.analyze_batch([node])["model.shop.m"].primary_connection == "pg"
    assert jvm_elig.select_best_java([], [17]) is None
