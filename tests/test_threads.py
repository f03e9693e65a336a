"""Native calls toward other threads and interpreter exit: a daemon thread
caught inside a call at exit ends quietly, other threads keep running during
long calls, and pending signal handlers run."""

import _thread
import asyncio
import functools
import gc
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import strix.compute.metadata as metadata
from strix import plan_advisor as pa
from strix.compute import jvm_elig
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition
from strix.task.docs.api import profile

from conftest import HOST

# The daemon thread's call waits in a host callback (a property, a store
# read, the `java -version` child) while the main thread ends; an object held
# by builtins keeps finalization busy until the wait is over, and CPython
# ends the thread from inside the call as it takes the GIL back.
CHILD = """
import asyncio, builtins, threading, time
from types import SimpleNamespace as NS
class Busy:
    def __del__(self): time.sleep(2)
builtins.busy = Busy()
def nap(value): time.sleep(0.6); return value
class Node:
    unique_id, package_name, sources, depends_on = "m", "shop", [], NS(nodes=[])
    resource_type = property(lambda self: nap("model"))
class Store:
    def __init__(self, root): pass
    initialize = close = lambda self: None
    get_all_profiled_tables = lambda self: nap([])
import strix.compute.metadata as metadata; metadata.ProjectMetadataStore = Store
from strix.contracts.graph.manifest import Manifest
{imports}
started = threading.Event()
def worker():
    started.set()
    {call}
    print("finished")
threading.Thread(target=worker, daemon=True).start()
started.wait(); time.sleep(0.2)
"""
CALLS = {
    "plan_advisor": ("from strix.plan_advisor import PlanAdvisor", "PlanAdvisor(Manifest()).analyze(Node())"),
    "pure_python": ("from pure_plan_advisor import PlanAdvisor", "PlanAdvisor(Manifest()).analyze(Node())"),
    "jvm_elig": ("from strix.compute.jvm_elig import get_java_version", "get_java_version(JAVA)"),
    "profile": ("from strix.task.docs.api import profile; profile.set_project_root('/none')",
                "asyncio.run(profile.list_profiled_tables())"),
}


@pytest.mark.parametrize("case", CALLS)
def test_daemon_thread_inside_a_call_at_exit(case, tmp_path):
    java = tmp_path / "java"
    java.write_text("#!/bin/sh\nsleep 0.6\necho 'openjdk version \"17.0.9\"' >&2\n")
    java.chmod(0o755)
    script = f"JAVA = {str(java)!r}\n" + CHILD.format(imports=CALLS[case][0], call=CALLS[case][1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HOST, os.path.join(os.path.dirname(HOST), "bench")]))
    child = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    # Exit status 0, and the thread was ended inside the call, not let finish it.
    assert (child.returncode, child.stdout) == (0, ""), child.stderr[-2000:]


def seeds():
    return [ManifestNode("model.shop.seed", "seed", "shop")] * 3_000_000


def store_rows(monkeypatch):
    rows = [("raw", "orders", "full", None)] * 1_000_000
    store = type("Store", (), {"__init__": lambda self, root: None, "initialize": lambda self: None,
                               "close": lambda self: None, "get_all_profiled_tables": lambda self: rows})
    monkeypatch.setattr(metadata, "ProjectMetadataStore", store)
    monkeypatch.setattr(profile, "_project_root", "/none")
    return lambda: asyncio.run(profile.list_profiled_tables())


# Long calls made of short loops and recursion, where no single loop is long:
# tracing a tree of fan-out 4 (each model: four dependencies, eight sources)
# and a DAG of 300 layers (each model depends on every model of the next
# layer: recursion 300 deep, loops of 60 steps). Built once.
def source_ids(count=200):
    return {f"source.shop.s.t{i}": SourceDefinition(f"source.shop.s.t{i}", connection="pg") for i in range(count)}


@functools.cache
def traced_tree(depth=8):
    nodes, level = {}, ["model.shop.t"]
    for d in range(depth + 1):
        below = [f"{uid}.{k}" for uid in level for k in range(4)] if d < depth else []
        for i, uid in enumerate(level):
            nodes[uid] = ManifestNode(uid, "model", "shop", sources=[f"source.shop.s.t{(i + 7 * k) % 200}"
                                                                     for k in range(8)],
                                      depends_on=DependsOn(below[4 * i:4 * i + 4]))
        level = below
    advisor = pa.PlanAdvisor(Manifest(nodes=nodes, sources=source_ids()))
    return lambda: advisor._trace_node_to_sources("model.shop.t")


@functools.cache
def traced_layers(layers=300, width=60):
    nodes = {}
    for layer in range(layers):
        below = [f"model.shop.l{layer + 1}n{k}" for k in range(width)] if layer + 1 < layers else []
        for k in range(width):
            uid = f"model.shop.l{layer}n{k}"
            nodes[uid] = ManifestNode(uid, "model", "shop", sources=[f"source.shop.s.t{(layer + k) % 200}"],
                                      depends_on=DependsOn(below))
    advisor = pa.PlanAdvisor(Manifest(nodes=nodes, sources=source_ids()))
    return lambda: advisor._trace_node_to_sources("model.shop.l0n0")


LONG_CALLS = {
    "analyze_batch": lambda mp: (lambda s=seeds(): pa.PlanAdvisor(Manifest()).analyze_batch(s)),
    "list_profiled_tables": store_rows,
    "trace_short_loops": lambda mp: traced_tree(),
    "trace_recursive": lambda mp: traced_layers(),
}


@pytest.mark.parametrize("make_call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_other_threads_run_during_long_calls(make_call, monkeypatch):
    call, ticks, stop = make_call(monkeypatch), [], threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    beating = threading.Thread(target=heartbeat)
    beating.start()
    time.sleep(0.02)
    gc.disable()  # a full collection pauses every thread, with or without native code
    try:
        started = time.perf_counter()
        result = call()  # freed after the measurement, as by a caller
        ended = time.perf_counter()
    finally:
        gc.enable()
        stop.set()
        beating.join()
    during = [started] + [t for t in ticks if started < t < ended] + [ended]
    gaps = sorted(b - a for a, b in zip(during, during[1:]))
    # The heartbeat gets the GIL one switch interval after it asks (5 ms by
    # default; its sleep adds 1 ms), as beside Python code: the typical gap
    # stays within a few intervals. On a loaded machine the heartbeat also
    # waits for a CPU (a pure-Python loop fares no better), but never for the
    # whole call.
    interval = sys.getswitchinterval()
    assert ended - started > 0.2 and len(gaps) > 10, (ended - started, len(gaps))
    assert gaps[len(gaps) // 2] < 6 * interval + 0.002 and gaps[-1] < max(0.1, (ended - started) / 4), \
        (ended - started, gaps[len(gaps) // 2], gaps[-1])
    del result


ADVISOR = pa.PlanAdvisor(Manifest())
INTERRUPTS = {
    "interrupt_main": _thread.interrupt_main,
    "SIGINT": lambda: os.kill(os.getpid(), signal.SIGINT),
}


@pytest.mark.parametrize("send", INTERRUPTS.values(), ids=INTERRUPTS.keys())
@pytest.mark.parametrize("make_call", [
    lambda: lambda s=seeds(): ADVISOR.analyze_batch(s),
    # Versions nobody accepts: the loop over the candidates runs no Python code.
    lambda: lambda c=[jvm_elig.JavaInstallation("/opt/jdk", 99, "99", "OpenJDK")] * 10**7: (
        jvm_elig.select_best_java(c, [17])),
    traced_tree,
    traced_layers,
], ids=["analyze_batch", "select_best_java", "trace_short_loops", "trace_recursive"])
def test_interrupt_stops_a_long_call(make_call, send):
    # The handler raises as the default one does, with an exception of its
    # own: one that came late would fail this test, not end the session.
    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        handled.append(time.perf_counter())
        raise Interrupted

    call, fired, handled = make_call(), [], []  # the arguments are freed after the measurement
    previous = signal.signal(signal.SIGINT, handler)
    timer = threading.Timer(0.15, lambda: (fired.append(time.perf_counter()), send()))
    timer.start()
    try:
        with pytest.raises(Interrupted):
            call()
        assert fired and time.perf_counter() - fired[0] < 0.2
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
    node = ManifestNode("model.shop.m", "model", "shop")
    assert ADVISOR.analyze_batch([node])["model.shop.m"].strategy == "pushdown"
