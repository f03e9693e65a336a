"""Time `marl plan --advise` on a large synthetic project, and compare its
ranking of replication steps with a straightforward greedy that re-rates
every candidate at every step.

    PYTHONPATH=host .venv/bin/python bench/bench_plan_advice.py   # --models 100000 --sources 0 --compare 3000

The project has the shape of bench_plan_graph.py (staging models read one to
three sources, later layers ref earlier models, every twentieth node a seed);
``--sources`` sets how many sources they share (default: a quarter of the
models; fewer sources means more models lacking the same ones). Both rankings
run on the ``--compare`` first models too, where they must give the same
steps.
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from fractions import Fraction
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_plan_graph import synthetic_manifest  # noqa: E402

TARGET = "warehouse_pg"


def straightforward_steps(models, pushdown_before=0):
    """The same greedy rule, every candidate re-rated at every step."""
    from marl.plan_advice import Step

    lacking = {i: (m.to_connection, frozenset(m.replicate)) for i, m in enumerate(models) if m.replicate}
    steps = []
    pushdown = pushdown_before
    while lacking:
        def completed(conn, sources):
            return [i for i, (c, need) in lacking.items() if c == conn and need <= sources]

        candidates = {(conn, need) for conn, need in lacking.values()}
        conn, sources = min(candidates, key=lambda cand: (
            -Fraction(len(completed(*cand)), len(cand[1])), len(cand[1]), cand[0], tuple(sorted(cand[1]))))
        done = completed(conn, sources)
        pushdown += len(done)
        steps.append(Step(conn, sorted(sources), [models[i].unique_id for i in sorted(done)], pushdown))
        for i, (c, need) in list(lacking.items()):
            if c == conn:
                rest = need - sources
                if rest:
                    lacking[i] = (c, rest)
                else:
                    del lacking[i]
    return steps


def load(document):
    from strix.contracts.graph.loader import load_manifest

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "manifest.json"
        path.write_text(json.dumps(document))
        return load_manifest(str(path))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=int, default=100_000)
    parser.add_argument("--sources", type=int, default=0, help="default: a quarter of the models")
    parser.add_argument("--compare", type=int, default=3000, help="models for the side-by-side ranking")
    args = parser.parse_args()

    from marl import plan_advice
    from marl.plan_analysis import analyse_manifest

    manifest = load(synthetic_manifest(args.models, args.sources))
    t0 = time.perf_counter()
    analysis = analyse_manifest(manifest, TARGET)
    t1 = time.perf_counter()
    advice = plan_advice.advise_analysis(analysis)
    t2 = time.perf_counter()
    ranking = [time.perf_counter()]
    plan_advice.rank_steps(advice.models)
    ranking.append(time.perf_counter())
    s = advice.summary
    print(f"{s['nodes']} models and seeds, {len(manifest.sources)} sources, target {TARGET}: "
          f"{s['federated']} federated; {s['steps']} steps replicate {s['sources_replicated']} sources")
    print(f"analysis                  {1000 * (t1 - t0):8.1f} ms")
    print(f"advice and ranked steps   {1000 * (t2 - t1):8.1f} ms   (ranking alone {1000 * (ranking[1] - ranking[0]):.1f} ms)")
    print(f"total                     {t2 - t0:8.2f} s")

    small = load(synthetic_manifest(args.compare, args.sources and max(args.sources * args.compare // args.models, 1)))
    small_advice = plan_advice.advise(small, TARGET)
    t3 = time.perf_counter()
    fast = plan_advice.rank_steps(small_advice.models)
    t4 = time.perf_counter()
    slow = straightforward_steps(small_advice.models)
    t5 = time.perf_counter()
    assert fast == slow, "the two rankings differ"
    print(f"ranking {len(small_advice.models)} federated models of {args.compare}: "
          f"heap {1000 * (t4 - t3):.1f} ms, straightforward {1000 * (t5 - t4):.1f} ms, "
          f"{(t5 - t4) / (t4 - t3):.0f}x; same {len(fast)} steps")
    return 0


if __name__ == "__main__":
    sys.exit(main())
