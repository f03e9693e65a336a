"""Other threads and signals during long calls: native module vs pure Python.

Three shapes of long call, each made by the native plan advisor and by its
pure-Python equivalent (pure_plan_advisor.py) in the same run:

  flat         analyze_batch over a list of nodes: one long loop
  short loops  _trace_node_to_sources over a tree of fan-out 4: every loop
               has a handful of steps, the work is in how many there are
  recursive    _trace_node_to_sources over a DAG of 300 layers, each node
               depending on every node of the next layer: recursion 300 deep

Beside each call runs a sleeper thread (time.sleep(0.001) in a loop), first
alone, then with a busy pure-Python thread as well. Reported: the sleeper's
wait beyond its sleep (p50, p99) in both settings, the busy thread's share
of the call's wall-clock time and its longest stall; then, in separate calls,
the time from SIGINT (os.kill from a timer thread, at a quarter of the call) to
its handler, which raises KeyboardInterrupt.
The collector is paused during the calls (a full collection stops every
thread, native or not).

Run:  PYTHONPATH=host:bench .venv/bin/python bench/bench_threads.py [--scale 1.0] [--rounds 3]
      [--interval 0.005]
"""

import argparse
import gc
import math
import os
import signal
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "host"))
sys.path.insert(0, HERE)

import pure_plan_advisor  # noqa: E402
from bench_plan_advisor import build  # noqa: E402
from strix import plan_advisor  # noqa: E402
from strix.contracts.graph.manifest import Manifest  # noqa: E402
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition  # noqa: E402

IMPLEMENTATIONS = {"native": plan_advisor.PlanAdvisor, "pure": pure_plan_advisor.PlanAdvisor}


# --- the workloads ---------------------------------------------------------


def _with_sources(nodes, n_sources=500):
    sources = {f"source.shop.s.t{i}": SourceDefinition(f"source.shop.s.t{i}", connection="pg")
               for i in range(n_sources)}
    return Manifest(nodes={n.unique_id: n for n in nodes}, sources=sources)


def tree_manifest(depth, fan_out=4):
    """A tree: each model depends on `fan_out` children and reads two sources."""
    nodes, level = [], ["model.shop.t"]
    for d in range(depth + 1):
        below = [f"{uid}.{k}" for uid in level for k in range(fan_out)] if d < depth else []
        for i, uid in enumerate(level):
            deps = below[i * fan_out:(i + 1) * fan_out]
            nodes.append(ManifestNode(uid, "model", "shop", sources=[f"source.shop.s.t{(i + d) % 500}",
                                                                     f"source.shop.s.t{(7 * i) % 500}"],
                                      depends_on=DependsOn(deps)))
        level = below
    return _with_sources(nodes), "model.shop.t"


def layered_manifest(layers, width):
    """`layers` layers of `width` models; each depends on every model of the next layer."""
    nodes = []
    for layer in range(layers):
        below = [f"model.shop.l{layer + 1}n{k}" for k in range(width)] if layer + 1 < layers else []
        for k in range(width):
            nodes.append(ManifestNode(f"model.shop.l{layer}n{k}", "model", "shop",
                                      sources=[f"source.shop.s.t{(layer * width + k) % 500}"],
                                      depends_on=DependsOn(below)))
    root = ManifestNode("model.shop.root", "model", "shop", depends_on=DependsOn(
        [f"model.shop.l0n{k}" for k in range(width)]))
    nodes.append(root)
    return _with_sources(nodes), root.unique_id


def workloads(scale):
    """{shape: (description, {implementation: call})}; each call does the whole long call."""
    manifest, nodes = build(int(300_000 * scale))
    tree, tree_root = tree_manifest(depth=max(3, 9 + round(math.log(scale, 4))), fan_out=4)
    dag, dag_root = layered_manifest(300, max(4, int(100 * scale)))

    def batch(cls):
        return lambda: cls(manifest).analyze_batch(nodes)

    def trace(cls, m, root):
        return lambda: cls(m)._trace_node_to_sources(root)

    return {
        "flat": (f"analyze_batch, {len(nodes):,} nodes", {k: batch(c) for k, c in IMPLEMENTATIONS.items()}),
        "short loops": (f"trace, tree of {len(tree.nodes):,} models",
                        {k: trace(c, tree, tree_root) for k, c in IMPLEMENTATIONS.items()}),
        "recursive": (f"trace, 300 layers x {len(dag.nodes) // 300} models",
                      {k: trace(c, dag, dag_root) for k, c in IMPLEMENTATIONS.items()}),
    }


# --- measurements ------------------------------------------------------------


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))] if values else float("nan")


def beside_threads(call, with_busy=True):
    """Runs `call` with a sleeper and (with_busy) a busy thread beside it:
    (seconds, sleeper waits, busy share, busy's longest stall)."""
    stop, ready = threading.Event(), threading.Barrier(3 if with_busy else 2)
    waits, stamps = [], []

    def sleeper():
        ready.wait()
        while not stop.is_set():
            before = time.perf_counter()
            time.sleep(0.001)
            after = time.perf_counter()
            waits.append((after, after - before - 0.001))

    def busy():
        ready.wait()
        count = 0
        while not stop.is_set():
            count += 1
            if count % 200 == 0:
                stamps.append(time.perf_counter())

    threads = [threading.Thread(target=sleeper)] + ([threading.Thread(target=busy)] if with_busy else [])
    for t in threads:
        t.start()
    ready.wait()
    time.sleep(0.02)
    gc.disable()
    try:
        started = time.perf_counter()
        call()
        ended = time.perf_counter()
    finally:
        gc.enable()
        stop.set()
        for t in threads:
            t.join()
    # The sleeper's waits that ended during the call; the busy thread's stalls
    # (gaps between its stamps longer than 1 ms) during the call.
    during = [w for at, w in waits if started < at < ended]
    inside = [started] + [s for s in stamps if started < s < ended] + [ended]
    gaps = [b - a for a, b in zip(inside, inside[1:])]
    stalled = sum(g for g in gaps if g > 0.001)
    elapsed = ended - started
    if not with_busy:
        return elapsed, during, float("nan"), float("nan")
    return elapsed, during, 1.0 - stalled / elapsed, max(gaps)


def sigint_latency(call, after):
    """Seconds from SIGINT, sent `after` seconds into `call`, to its Python handler.

    The handler raises KeyboardInterrupt, as the default one does, while the
    call runs (NaN when the call ended first); what the call then frees on
    its way out (a native call its partial results at once, Python code when
    the traceback goes) is not counted."""
    sent, handled, inside = [], [], [True]

    def handler(signum, frame):
        handled.append(time.perf_counter())
        if inside[0]:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    timer = threading.Timer(after, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT)))
    gc.disable()
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        return handled[0] - sent[0]
    finally:
        inside[0] = False
        gc.enable()
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
    return float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="size of the workloads (1.0: about a second native)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--interval", type=float, default=0.005, help="sys.setswitchinterval for the run")
    args = parser.parse_args()
    sys.setswitchinterval(args.interval)
    shapes = workloads(args.scale)
    print(f"switch interval {args.interval * 1000:g} ms, {args.rounds} rounds, collector paused; "
          f"sleeper: wait beyond its 1 ms sleep, alone beside the call and with the busy thread too; "
          f"busy: share of the call's wall-clock time (longest stall); SIGINT: to its handler")
    print(f"{'shape':<12} {'impl':<7} {'call s':>7} {'alone p50':>10} {'p99':>7} {'busy: p50':>10} {'p99':>7} "
          f"{'share':>6} {'stall':>7} {'SIGINT p50':>11} {'max':>7}")
    ms = 1000
    for shape, (description, calls) in shapes.items():
        print(f"-- {shape}: {description}")
        for impl, call in calls.items():
            seconds, alone, waits, shares, stalls, latencies = [], [], [], [], [], []
            for _ in range(args.rounds):
                elapsed, during, _, _ = beside_threads(call, with_busy=False)
                seconds.append(elapsed)
                alone.extend(during)
            for _ in range(args.rounds):
                _, during, share, stall = beside_threads(call)
                waits.extend(during)
                shares.append(share)
                stalls.append(stall)
            for _ in range(args.rounds):
                latencies.append(sigint_latency(call, min(seconds) / 4))
            print(f"{shape:<12} {impl:<7} {min(seconds):7.2f} {percentile(alone, 0.5) * ms:8.1f}ms "
                  f"{percentile(alone, 0.99) * ms:5.1f}ms {percentile(waits, 0.5) * ms:8.1f}ms "
                  f"{percentile(waits, 0.99) * ms:5.1f}ms {statistics.median(shares) * 100:5.0f}% "
                  f"{max(stalls) * ms:5.0f}ms {statistics.median(latencies) * ms:9.2f}ms {max(latencies) * ms:5.2f}ms")

if __name__ == "__main__":
    main()
