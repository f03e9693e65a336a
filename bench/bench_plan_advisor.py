"""analyze_batch over synthetic nodes: native module vs pure Python.

Run:  PYTHONPATH=host:bench .venv/bin/python bench/bench_plan_advisor.py [--nodes N] [--floor]

--floor also compiles floor_plan_advisor.cpp (needs a C++ compiler and the
interpreter's headers) and times it on the same nodes: the least work any
implementation must do to return the same objects, a bound on the speed-up.
"""

import argparse
import gc
import importlib.util
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "host"))
sys.path.insert(0, HERE)

import pure_plan_advisor  # noqa: E402
from strix import plan_advisor  # noqa: E402
from strix.contracts.graph.manifest import Manifest  # noqa: E402
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition  # noqa: E402

CONNECTIONS = ["warehouse_pg", "lake_dbx", "crm_mysql", "events_ch", "legacy_ora"]


def build(n_nodes, n_sources=2000, seed=7):
    rng = random.Random(seed)
    sources = {}
    pairs = []
    for i in range(n_sources):
        schema, table = f"s{i % 40}", f"t{i}"
        uid = f"source.shop.{schema}.{table}"
        conn = CONNECTIONS[i % len(CONNECTIONS)]
        if i % 7 == 0:
            sources[uid] = SourceDefinition(uid, connection=None, meta={"connection": conn})
        else:
            sources[uid] = SourceDefinition(uid, connection=conn)
        pairs.append((uid, [schema, table]))
    nodes = []
    for i in range(n_nodes):
        uid = f"model.shop.m{i}"
        kind = i % 20
        if kind == 0:
            nodes.append(ManifestNode(uid, "seed", "shop"))
        elif kind == 1:
            nodes.append(ManifestNode(uid, "model", "shop", depends_on=DependsOn([f"model.shop.m{i - 1}"])))
        else:
            refs = []
            # most models read one or two connections, some span several
            base = rng.randrange(n_sources)
            for k in range(3):
                j = (base + k * (len(CONNECTIONS) if i % 3 else 1)) % n_sources
                uid_j, pair = pairs[j]
                refs.append(uid_j if k % 2 == 0 else pair)
            nodes.append(ManifestNode(uid, "model", "shop", sources=refs))
    return Manifest(nodes={n.unique_id: n for n in nodes}, sources=sources), nodes


class CollectorClock:
    """Time the garbage collector spends while installed (gc.callbacks)."""

    def __init__(self):
        self.total = 0.0
        self._started = None

    def __call__(self, phase, info):
        if phase == "start":
            self._started = time.perf_counter()
        elif self._started is not None:
            self.total += time.perf_counter() - self._started
            self._started = None


def best_run(prepare, run, repeat):
    """Best of `repeat` runs of run(prepared), each after prepare() and a full
    collection: (seconds, collector seconds in that run, last results)."""
    best, best_gc, results = float("inf"), 0.0, None
    for _ in range(repeat):
        prepared = prepare()
        results = None
        gc.collect()
        clock = CollectorClock()
        gc.callbacks.append(clock)
        try:
            start = time.perf_counter()
            results = run(prepared)
            elapsed = time.perf_counter() - start
        finally:
            gc.callbacks.remove(clock)
        if elapsed < best:
            best, best_gc = elapsed, clock.total
    return best, best_gc, results


def timed(cls, manifest, nodes, repeat):
    """Best of `repeat` batches, each on a fresh analyzer."""
    return best_run(lambda: cls(manifest), lambda advisor: advisor.analyze_batch(nodes), repeat)


def build_floor(workdir):
    """Compiles floor_plan_advisor.cpp into `workdir` and imports it."""
    compiler = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
    if compiler is None:
        raise SystemExit("--floor needs a C++ compiler (c++ or g++ on PATH, or CXX)")
    target = os.path.join(workdir, "floor_plan_advisor" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-O2", "-std=c++20", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                    os.path.join(HERE, "floor_plan_advisor.cpp"), "-o", target], check=True)
    found = importlib.util.spec_from_file_location("floor_plan_advisor", target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def timed_floor(floor, manifest, nodes, repeat):
    """Best of `repeat` runs of the floor loop: (seconds, collector seconds)."""
    resolver = plan_advisor.PlanAdvisor(manifest)
    connections = {sid: resolver._get_source_connection(sid) for sid in manifest.sources}
    best, best_gc, results = best_run(
        lambda: None, lambda _: floor.run(nodes, connections, plan_advisor.QueryAnalysisResult), repeat)
    assert len(results) == len({n.unique_id for n in nodes})
    return best, best_gc


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--floor", action="store_true", help="also time the least-work C loop")
    args = parser.parse_args()
    manifest, nodes = build(args.nodes)
    native, native_gc, native_results = timed(plan_advisor.PlanAdvisor, manifest, nodes, args.repeat)
    pure, pure_gc, pure_results = timed(pure_plan_advisor.PlanAdvisor, manifest, nodes, args.repeat)
    same = all(
        (a.strategy, a.reason, a.primary_connection, a.source_refs, a.source_connections)
        == (b.strategy, b.reason, b.primary_connection, b.source_refs, b.source_connections)
        for a, b in zip(native_results.values(), pure_results.values())
    )
    print(f"analyze_batch over {args.nodes:,} nodes (best of {args.repeat}; collector time in brackets)")
    print(f"  pure Python : {pure * 1000:9.1f} ms  ({pure_gc * 1000:.1f} ms)")
    print(f"  native      : {native * 1000:9.1f} ms  ({native_gc * 1000:.1f} ms)")
    print(f"  speed-up    : {pure / native:9.2f}x   (results identical: {same})")
    if args.floor:
        with tempfile.TemporaryDirectory() as workdir:
            floor, floor_gc = timed_floor(build_floor(workdir), manifest, nodes, args.repeat)
        print(f"  least work  : {floor * 1000:9.1f} ms  ({floor_gc * 1000:.1f} ms)   "
              f"bound on the speed-up: {pure / floor:.2f}x")


if __name__ == "__main__":
    main()
