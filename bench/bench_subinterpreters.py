"""analyze_batch in isolated sub-interpreters: one interpreter on one thread
against two interpreters (each with its own GIL) on two threads.

Run:  PYTHONPATH=host:bench .venv/bin/python bench/bench_subinterpreters.py [--nodes N] [--rounds R]

Each interpreter builds its own manifest and nodes (bench_plan_advisor.build),
then runs analyze_batch over them `rounds` times; the figure is the nodes
analyzed per second of wall-clock time, all interpreters together.
"""

import argparse
import os
import sys
import threading
import time

import _interpreters

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.join(os.path.dirname(HERE), "host")

SETUP = """
import sys
sys.path[:0] = [{host!r}, {here!r}]
from bench_plan_advisor import build
from strix import plan_advisor
manifest, nodes = build({nodes})
advisor = plan_advisor.PlanAdvisor(manifest)
advisor.analyze_batch(nodes)  # warm the caches
"""

RUN = """
for _ in range({rounds}):
    advisor.analyze_batch(nodes)
"""


def run_parallel(interps, code):
    errors = []

    def work(interp):
        failure = _interpreters.exec(interp, code)
        if failure is not None:
            errors.append(failure)

    threads = [threading.Thread(target=work, args=(i,)) for i in interps]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    if errors:
        raise RuntimeError(errors[0].formatted)
    return elapsed


def nodes_per_second(count, nodes, rounds, repeat):
    interps = [_interpreters.create() for _ in range(count)]
    try:
        run_parallel(interps, SETUP.format(host=HOST, here=HERE, nodes=nodes))
        best = min(run_parallel(interps, RUN.format(rounds=rounds)) for _ in range(repeat))
        return count * nodes * rounds / best
    finally:
        for i in interps:
            _interpreters.destroy(i)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--nodes", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"analyze_batch over {args.nodes:,} nodes x {args.rounds} per interpreter (best of {args.repeat};"
          f" {os.cpu_count()} cores)")
    one = nodes_per_second(1, args.nodes, args.rounds, args.repeat)
    two = nodes_per_second(2, args.nodes, args.rounds, args.repeat)
    print(f"  1 interpreter , 1 thread : {one:12,.0f} nodes/s")
    print(f"  2 interpreters, 2 threads: {two:12,.0f} nodes/s   ({two / one:.2f}x)")


if __name__ == "__main__":
    sys.exit(main())
