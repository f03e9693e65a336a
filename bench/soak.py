"""Soak test: call every public function of the three modules many times on
representative arguments (successful and failing paths) and watch memory.

Run:  PYTHONPATH=host .venv/bin/python bench/soak.py [--calls 1000000] [--only NAME]

For each case it prints the calls made, the resident set size and the memory
traced by tracemalloc at the start and at the end of the measured phase. A
leak of one object per call shows up as tens of megabytes per million calls;
a healthy function stays within a few kilobytes. Functions that start a
process per call (the Java launcher probes) run a smaller, stated number of
calls.
"""

import argparse
import asyncio
import gc
import os
import stat
import sys
import tempfile
import time
import tracemalloc
from datetime import datetime
from types import SimpleNamespace as NS

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "host"))


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def swallow(fn):
    def run():
        try:
            fn()
        except Exception:
            pass
    return run


def drive(coro_fn):
    """Run a native coroutine to completion without an event loop."""
    def run():
        coro = coro_fn()
        try:
            coro.send(None)
        except StopIteration:
            pass
    return run


# --- cases -------------------------------------------------------------------


def plan_advisor_cases():
    from strix import plan_advisor as pa

    sources = {"source.p.a.b": NS(connection="pg"), "source.p.c.d": NS(connection="dbx"),
               "source.p.e.f": NS(connection=None, meta={"connection": "pg"}, source_meta=None)}
    node = NS(unique_id="m1", resource_type="model", package_name="p",
              sources=["source.p.a.b", ("c", "d"), ("e", "f")], depends_on=NS(nodes=["m2"]))
    seed = NS(unique_id="s", resource_type="seed")
    nodes = {"m1": node, "m2": NS(resource_type="model", sources=["source.x"], depends_on=NS(nodes=["m1"]))}
    adv = pa.PlanAdvisor(NS(sources=sources, nodes=nodes))
    batch = [node, seed, node]
    return {
        "PlanAdvisor()": lambda: pa.PlanAdvisor(adv.manifest),
        "analyze": lambda: adv.analyze(node, "spark", "pg"),
        "analyze (entry check fails)": swallow(lambda: adv.analyze(node, 1)),
        "analyze (host error)": swallow(lambda: adv.analyze(NS())),
        "analyze_batch": lambda: adv.analyze_batch(batch),
        "get_federated_nodes": lambda: adv.get_federated_nodes(batch),
        "get_pushdown_nodes": lambda: adv.get_pushdown_nodes(batch),
        "get_execution_summary": lambda: adv.get_execution_summary(node),
        "_trace_node_to_sources": lambda: adv._trace_node_to_sources("m1"),
        "_get_source_connection (unknown)": lambda: adv._get_source_connection("source.nope"),
        "QueryAnalysisResult": lambda: pa.QueryAnalysisResult(set(), set(), "pushdown", None, "r").is_homogeneous,
    }


def jvm_cases(tmp):
    from strix.compute import jvm_elig as jv

    home = os.path.join(tmp, "jdk")
    os.makedirs(os.path.join(home, "bin"))
    launcher = os.path.join(home, "bin", "java")
    with open(launcher, "w") as f:
        f.write('#!/bin/sh\necho \'openjdk version "17.0.9" 2023-10-17\' >&2\n')
    os.chmod(launcher, os.stat(launcher).st_mode | stat.S_IXUSR)
    installs = [jv.JavaInstallation(home, 17, "openjdk 17", "OpenJDK"),
                jv.JavaInstallation("/usr", 17, "x", "OpenJDK"),
                jv.JavaInstallation(home, 21, "y", "OpenJDK")]
    os.environ["SHELL"] = "/bin/bash"
    os.environ["HOME"] = tmp
    path = os.environ.get("PATH", "")
    spawning = {  # one process per call: fewer calls
        "get_java_version": lambda: jv.get_java_version(launcher),
        "_check_java_path": lambda: jv._check_java_path(home, True),
        "get_java_version (missing launcher)": lambda: jv.get_java_version(os.path.join(tmp, "none")),
    }
    cases = {
        "_check_java_path (missing dir)": lambda: jv._check_java_path(os.path.join(tmp, "none")),
        "_is_valid_java_home": lambda: jv._is_valid_java_home(home),
        "select_best_java": lambda: jv.select_best_java(installs, [8, 11, 17]),
        "select_best_java (entry check fails)": swallow(lambda: jv.select_best_java(tuple(installs), [17])),
        "get_pyspark_versions_for_java": lambda: jv.get_pyspark_versions_for_java(17.5),
        "check_java_pyspark_compatibility": lambda: jv.check_java_pyspark_compatibility(21, "3.5"),
        "check_java_pyspark_compatibility (unknown)": lambda: jv.check_java_pyspark_compatibility(8, "9.9"),
        "get_shell_config_file": jv.get_shell_config_file,
        "set_java_home_persistent (refused path)": lambda: jv.set_java_home_persistent(home + '"$(x)'),
        "detect_spark_cluster_version (entry check fails)": swallow(lambda: jv.detect_spark_cluster_version(1)),
    }
    slow = {
        "get_pyspark_info": jv.get_pyspark_info,
        # each call prepends to PATH by design; restore it so only the module's own memory is measured
        "set_java_home_persistent": lambda: (jv.set_java_home_persistent(home), os.environ.update(PATH=path)),
    }
    return cases, slow, spawning


class MemoryStore:
    def __init__(self, columns=20):
        now = datetime(2026, 1, 2, 3, 4, 5)
        self.tables = [("shop", "orders", "full", now), ("shop", "items", "sample", None)]
        self.profiles = [NS(profile_mode="full", row_count=10, profiled_at=now, column_name=f"c{i}",
                            null_count=0, null_percent=0.0, distinct_count=5, distinct_percent=50.0,
                            min_value="1", max_value="9", mean_value=5.0, median_value=5.0, stddev_value=1.0,
                            p25=2.0, p50=5.0, p75=7.0, min_length=1, max_length=1, avg_length=1.0,
                            histogram='{"1": 3, "2": [1.5, null, true]}', top_values='[["a", 2]]',
                            alerts='[{"type": "nulls"}]', duration_ms=3) for i in range(columns)]
        self.alerts = [{"type": "nulls", "severity": "warning"}, {"type": "skew"}]

    def close(self):
        pass

    def get_all_profiled_tables(self):
        return self.tables

    def get_table_profile(self, source, table, mode):
        if table == "fails":
            raise RuntimeError("store failure")
        return self.profiles if table == "orders" else []

    def get_profile_alerts(self, source=None):
        return self.alerts


def profile_cases():
    from strix.task.docs.api import profile as pr

    store = MemoryStore()
    pr._get_store = lambda: store
    fast = {
        "set_project_root": lambda: pr.set_project_root("/tmp/project"),
        "list_profiled_tables": drive(pr.list_profiled_tables),
        "get_table_profile": drive(lambda: pr.get_table_profile("shop", "orders", "full")),
        "get_table_profile (404)": swallow(drive(lambda: pr.get_table_profile("shop", "missing", None))),
        "get_table_profile (entry check fails)": swallow(lambda: pr.get_table_profile("shop", 1)),
        "get_table_profile (never awaited)": lambda: pr.get_table_profile("shop", "orders", None),
        "get_profile_alerts": drive(lambda: pr.get_profile_alerts(None, "warning")),
        "get_profile_stats": drive(pr.get_profile_stats),
        "get_table_profile (store raises)": swallow(drive(lambda: pr.get_table_profile("shop", "fails", None))),
    }
    loop = asyncio.new_event_loop()
    slow = {"get_table_profile (event loop)": lambda: loop.run_until_complete(pr.get_table_profile("shop", "orders", None))}
    return fast, slow


# --- driver ------------------------------------------------------------------


def soak(name, fn, calls, report):
    warm = min(calls // 10, 10_000) or 1
    for _ in range(warm):
        fn()
    gc.collect()
    tracemalloc.start()
    t0 = time.perf_counter()
    rss0, traced0 = rss_kib(), tracemalloc.get_traced_memory()[0]
    for _ in range(calls):
        fn()
    gc.collect()
    rss1, traced1 = rss_kib(), tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    elapsed = time.perf_counter() - t0
    report.append((name, calls, rss0, rss1, traced1 - traced0, elapsed))
    print(f"{name:52s} {calls:>9,} calls  RSS {rss0:>8,} -> {rss1:>8,} KiB  "
          f"traced {(traced1 - traced0) / 1024:>+8.1f} KiB  {elapsed:6.1f} s", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--slow-calls", type=int, default=20_000, help="calls for file- and metadata-bound cases")
    parser.add_argument("--spawn-calls", type=int, default=500, help="calls for cases that start a process")
    parser.add_argument("--only", help="run only cases whose name contains this text")
    args = parser.parse_args()

    report = []
    with tempfile.TemporaryDirectory() as tmp:
        jvm_fast, jvm_slow, jvm_spawn = jvm_cases(tmp)
        profile_fast, profile_slow = profile_cases()
        groups = [(plan_advisor_cases(), args.calls), (jvm_fast, args.calls), (jvm_slow, args.slow_calls),
                  (jvm_spawn, args.spawn_calls), (profile_fast, args.calls), (profile_slow, args.slow_calls)]
        for cases, calls in groups:
            for name, fn in cases.items():
                if args.only and args.only not in name:
                    continue
                soak(name, fn, calls, report)
    worst = max(report, key=lambda r: r[4] / r[1])
    print(f"\nlargest traced growth per call: {worst[0]} ({worst[4] / worst[1]:.4f} bytes/call)")


if __name__ == "__main__":
    main()
