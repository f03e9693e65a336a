"""The three modules in isolated sub-interpreters, each with its own GIL:
imported and used side by side from threads, results equal to the main
interpreter's, interpreters destroyed in any order while the others go on."""

import json
import os
import sys
import threading
from datetime import datetime
from pathlib import Path

import pytest

_interpreters = pytest.importorskip("_interpreters")

from strix.compute.metadata import ProjectMetadataStore  # noqa: E402

HOST = str(Path(__file__).resolve().parent.parent / "host")

# What one interpreter does: a plan batch over a small manifest, the Java
# module's selection and compatibility functions and one real probe, and the
# awaited profile endpoints over a real SQLite store. FastAPI may not load
# in an isolated interpreter (its compiled dependencies are single-phase);
# the profile module's own fallbacks then serve. The outcome goes, as JSON,
# to `out`.
WORKLOAD = r"""
import asyncio, json, sys
if HOST not in sys.path:
    sys.path.insert(0, HOST)
from strix import plan_advisor
from strix.compute import jvm_elig
from strix.task.docs.api import profile
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition

connections = ["pg", "dbx", "mysql"]
sources = {}
for i in range(60):
    uid = f"source.shop.s.t{i}"
    if i % 7 == 0:
        sources[uid] = SourceDefinition(uid, connection=None, meta={"connection": connections[i % 3]})
    else:
        sources[uid] = SourceDefinition(uid, connection=connections[i % 3])
nodes = []
for i in range(300):
    if i % 20 == 0:
        nodes.append(ManifestNode(f"model.shop.m{i}", "seed", "shop"))
    elif i % 20 == 1:
        nodes.append(ManifestNode(f"model.shop.m{i}", "model", "shop", depends_on=DependsOn([f"model.shop.m{i - 1}"])))
    else:
        refs = [f"source.shop.s.t{(i * k) % 60}" for k in range(1, 1 + i % 3)] + [["s", f"t{i % 60}"]]
        nodes.append(ManifestNode(f"model.shop.m{i}", "model", "shop", sources=refs))
advisor = plan_advisor.PlanAdvisor(Manifest(sources=sources))
batch = advisor.analyze_batch(nodes)
plan = sorted((uid, r.strategy, r.primary_connection, r.reason, sorted(r.source_connections))
              for uid, r in batch.items())
federated = [n.unique_id for n in advisor.get_federated_nodes(nodes)]

installations = [jvm_elig.JavaInstallation(home, version, f"v{version}", "OpenJDK") for home, version in JAVA_HOMES]
best = jvm_elig.select_best_java(installations, [8, 11, 17])
java = {
    "best": best.path if best else None,
    "compat": [jvm_elig.check_java_pyspark_compatibility(v, line) for v in (8, 11, 17, 21) for line in ("3.3", "4.0", "9.9")],
    "lines": jvm_elig.get_pyspark_versions_for_java(17),
    "probe": list(jvm_elig.get_java_version(JAVA_LAUNCHER)),
    "missing": list(jvm_elig.get_java_version("/nonexistent/bin/java")),
}

profile.set_project_root(PROJECT)
async def endpoints():
    out = {
        "tables": await profile.list_profiled_tables(),
        "table": await profile.get_table_profile("raw", "orders", None),
        "alerts": await profile.get_profile_alerts(None, "warning"),
        "stats": await profile.get_profile_stats(),
    }
    try:
        await profile.get_table_profile("raw", "missing", None)
    except Exception as e:
        out["missing"] = [e.status_code, e.detail]
    return out
served = asyncio.run(endpoints())

with open(OUT, "w") as f:
    json.dump({"plan": plan, "federated": federated, "java": java, "profile": served}, f, default=str)
"""


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    root = tmp_path_factory.mktemp("subinterp")
    with ProjectMetadataStore(root) as store:
        store.record_table_profile(
            "raw", "orders", "full", 1000,
            [{"column_name": "id", "null_count": 0, "alerts": [{"type": "unique", "severity": "info"}]},
             {"column_name": "amount", "mean_value": 41.5, "histogram": [{"bin": "0-50", "count": 800}]}],
            profiled_at=datetime(2024, 6, 1, 12),
            alerts=[{"source_name": "raw", "table_name": "orders", "column_name": "amount",
                     "type": "skew", "severity": "warning"}],
        )
    homes = []
    for name, version in [("jdk8", 8), ("jdk17", 17), ("jdk21", 21), ("jdk11", 11)]:
        launcher = root / name / "bin" / "java"
        launcher.parent.mkdir(parents=True)
        launcher.write_text("")
        homes.append((str(root / name), version))
    java = os.path.realpath("/usr/bin/java") if os.path.exists("/usr/bin/java") else "/nonexistent/java"
    return {"HOST": HOST, "PROJECT": str(root), "JAVA_HOMES": homes, "JAVA_LAUNCHER": java, "root": root}


def run_here(world, out):
    namespace = {k: v for k, v in world.items() if k != "root"}
    namespace["OUT"] = str(out)
    exec(WORKLOAD, namespace)
    return json.loads(Path(out).read_text())


def run_in(interp, world, out):
    values = {k: v for k, v in world.items() if k != "root"}
    values["OUT"] = str(out)
    # Values pass as their repr: the interpreters share no objects.
    prelude = "".join(f"{k} = {v!r}\n" for k, v in values.items())
    failure = _interpreters.exec(interp, prelude + WORKLOAD)
    assert failure is None, failure.formatted if hasattr(failure, "formatted") else failure
    return json.loads(Path(out).read_text())


@pytest.fixture(scope="module")
def expected(world):
    return run_here(world, world["root"] / "main.json")


def test_isolated_interpreters_in_threads_match_the_main_one(world, expected):
    assert expected["profile"]["missing"] == [404, "No profile found for raw.missing"]
    interps = [_interpreters.create() for _ in range(3)]
    assert all(_interpreters.get_config(i).gil == "own" for i in interps)
    try:
        results, errors = {}, []

        def worker(index, interp):
            try:
                for round_ in range(2):
                    results[index, round_] = run_in(interp, world, world["root"] / f"i{index}-{round_}.json")
            except BaseException as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(k, i)) for k, i in enumerate(interps)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
        assert len(results) == 6
        for result in results.values():
            assert result == expected

        # Destroying interpreters, not in creation order, leaves the others'
        # modules working.
        for victim in (1, 0):
            _interpreters.destroy(interps[victim])
            interps[victim] = None
            for k, interp in enumerate(interps):
                if interp is not None:
                    assert run_in(interp, world, world["root"] / f"after-{victim}-{k}.json") == expected
        assert run_here(world, world["root"] / "main-again.json") == expected
    finally:
        for interp in interps:
            if interp is not None:
                _interpreters.destroy(interp)


def test_modules_declare_per_interpreter_gil_support():
    # An interpreter that requires it imports them (a module without the
    # declaration raises ImportError there).
    interp = _interpreters.create()
    try:
        code = (f"import sys; sys.path.insert(0, {HOST!r})\n"
                "import strix.plan_advisor, strix.compute.jvm_elig, strix.task.docs.api.profile\n")
        assert _interpreters.exec(interp, code) is None
    finally:
        _interpreters.destroy(interp)


# A long native call (tracing a DAG 300 layers deep) beside a thread that
# sleeps 1 ms at a time, in one interpreter; the sleeper's waits go, as JSON,
# to `out`.
SWITCHING = r"""
import json, sys, threading, time
if HOST not in sys.path:
    sys.path.insert(0, HOST)
from strix import plan_advisor
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import DependsOn, ManifestNode
sys.setswitchinterval(INTERVAL)
nodes = {}
for layer in range(300):
    below = [f"m{layer + 1}.{k}" for k in range(60)] if layer < 299 else []
    for k in range(60):
        nodes[f"m{layer}.{k}"] = ManifestNode(f"m{layer}.{k}", "model", "shop", sources=[f"source.s.t{k}"],
                                              depends_on=DependsOn(below))
advisor = plan_advisor.PlanAdvisor(Manifest(nodes=nodes))
waits, stop = [], threading.Event()
def sleeper():
    while not stop.is_set():
        before = time.perf_counter()
        time.sleep(0.001)
        waits.append((time.perf_counter(), time.perf_counter() - before))
thread = threading.Thread(target=sleeper)
thread.start()
time.sleep(0.05)
started = time.perf_counter()
found = advisor._trace_node_to_sources("m0.0")
ended = time.perf_counter()
stop.set()
thread.join()
with open(OUT, "w") as f:
    json.dump({"sources": len(found), "seconds": ended - started,
               "waits": sorted(w for at, w in waits if started < at < ended)}, f)
"""


def test_each_isolated_interpreter_keeps_its_switch_interval(tmp_path):
    # Run side by side, one interpreter at 1 ms and one at 50 ms: a thread
    # waiting for the GIL in each gets it after its own interpreter's
    # interval, as beside Python code, not after the other's.
    intervals = {"fast": 0.001, "slow": 0.05}
    interps = {name: _interpreters.create() for name in intervals}
    try:
        errors = []

        def run(name):
            code = f"HOST = {HOST!r}\nINTERVAL = {intervals[name]!r}\nOUT = {str(tmp_path / name)!r}\n"
            failure = _interpreters.exec(interps[name], code + SWITCHING)
            if failure is not None:
                errors.append(failure)

        threads = [threading.Thread(target=run, args=(name,)) for name in intervals]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
    finally:
        for interp in interps.values():
            _interpreters.destroy(interp)
    fast, slow = (json.loads((tmp_path / name).read_text()) for name in intervals)
    assert fast["sources"] == slow["sources"] == 60
    median = {name: r["waits"][len(r["waits"]) // 2] for name, r in (("fast", fast), ("slow", slow))}
    # The slow interpreter's sleeper cannot get the GIL before its 50 ms are
    # up; the fast one's gets it within a few milliseconds (generous for a
    # loaded machine, still far below 50 ms).
    assert len(fast["waits"]) > 20 and median["fast"] < 0.03, (fast["seconds"], len(fast["waits"]), median)
    assert slow["seconds"] > 0.2 and median["slow"] > 0.045, (slow["seconds"], median)
