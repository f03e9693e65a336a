"""Time `marl plan --advise` with row counts on a large synthetic project:
the ``rows`` ranking beside the ``models`` one, reading the counts from a
real metadata store; and compare the rows ranking with a straightforward
greedy that re-rates every candidate at every step.

    PYTHONPATH=host .venv/bin/python bench/bench_plan_rows.py   # --models 100000 --unprofiled 0.05 --compare 2000

The project is bench_plan_graph.py's; each source gets a row count drawn
from a long-tailed distribution, and a share ``--unprofiled`` of them none.
"""

from __future__ import annotations

import argparse
import random
import sys
import tempfile
import time
from fractions import Fraction
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_plan_advice import TARGET, load  # noqa: E402
from bench_plan_graph import synthetic_manifest  # noqa: E402


def draw_counts(source_ids, unprofiled: float, seed: int = 11):
    rng = random.Random(seed)
    return {sid: None if rng.random() < unprofiled else int(10 ** rng.uniform(1, 9)) for sid in source_ids}


def known_sum(values):
    values = list(values)
    return None if any(v is None for v in values) else sum(values)


def straightforward_rows_steps(models, pulled, counts):
    """The rows ranking's greedy rule, every candidate re-rated at every step."""
    lacking = {i: (m.to_connection, frozenset(m.replicate)) for i, m in enumerate(models) if m.replicate}
    steps = []
    while lacking:
        def completed(conn, sources):
            return [i for i, (c, need) in lacking.items() if c == conn and need <= sources]

        def key(cand):
            conn, sources = cand
            done = completed(conn, sources)
            copied, saved = known_sum(counts[s] for s in sources), known_sum(pulled[i] for i in done)
            if copied is None or saved is None:
                worth = (1, 0, 0)
            elif copied == 0:
                worth = (0, 0, -saved)
            else:
                worth = (0, 1, -Fraction(saved, copied))
            return (worth, -Fraction(len(done), len(sources)), len(sources), conn, tuple(sorted(sources)))

        conn, sources = min({(conn, need) for conn, need in lacking.values()}, key=key)
        done = completed(conn, sources)
        steps.append((conn, sorted(sources), [models[i].unique_id for i in sorted(done)]))
        for i, (c, need) in list(lacking.items()):
            if c == conn:
                rest = need - sources
                if rest:
                    lacking[i] = (c, rest)
                else:
                    del lacking[i]
    return steps


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=int, default=100_000)
    parser.add_argument("--unprofiled", type=float, default=0.05, help="share of sources without a profile")
    parser.add_argument("--compare", type=int, default=2000, help="models for the side-by-side ranking")
    args = parser.parse_args()

    from marl import plan_advice, plan_rows
    from marl.plan_analysis import analyse_manifest
    from strix.compute.metadata import ProjectMetadataStore

    manifest = load(synthetic_manifest(args.models))
    counts = draw_counts(manifest.sources, args.unprofiled)
    analysis = analyse_manifest(manifest, TARGET)
    # In memory where the machine has it: recording 25,000 profile runs one
    # commit each is slow on a disk, and not what is measured.
    shm = "/dev/shm" if Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(dir=shm) as project:
        with ProjectMetadataStore(project) as store:
            for sid, rows in counts.items():
                if rows is not None:
                    source = manifest.sources[sid]
                    store.record_table_profile(source.source_name, source.name, "full", rows, [])
        t0 = time.perf_counter()
        read = plan_rows.read_row_counts(project, manifest, plan_rows.referenced_sources(analysis))
        t1 = time.perf_counter()
    assert read == {sid: counts[sid] for sid in read}
    t2 = time.perf_counter()
    by_models = plan_advice.advise_analysis(analysis)
    t3 = time.perf_counter()
    by_rows = plan_advice.advise_analysis(analysis, read, "rows")
    t4 = time.perf_counter()
    s, r = by_rows.summary, by_rows.summary["rows"]
    print(f"{s['nodes']} models and seeds, {len(manifest.sources)} sources "
          f"({sum(c is None for c in counts.values())} unprofiled), target {TARGET}: "
          f"{s['federated']} federated; {s['steps']} steps by rows, {len(by_models.steps)} by models")
    print(f"rows pulled per run now {plan_rows.fmt_rows(r['pulled_now'], by_rows.rows.pulled_now_known)}, "
          f"after all steps {plan_rows.fmt_rows(r['pulled_after_all'])}")
    print(f"row counts read from the store  {1000 * (t1 - t0):8.1f} ms")
    print(f"advice ranked by models         {1000 * (t3 - t2):8.1f} ms")
    print(f"advice ranked by rows, with rows{1000 * (t4 - t3):8.1f} ms")

    small = load(synthetic_manifest(args.compare))
    small_counts = draw_counts(small.sources, args.unprofiled)
    small_analysis = analyse_manifest(small, TARGET)
    advice = plan_advice.advise_analysis(small_analysis, small_counts, "rows")
    pulled = [m.rows.pulled for m in advice.models]
    t5 = time.perf_counter()
    fast = plan_advice.rank_steps(advice.models, 0, plan_rows.RowsRanking(pulled, small_counts))
    t6 = time.perf_counter()
    slow = straightforward_rows_steps(advice.models, pulled, small_counts)
    t7 = time.perf_counter()
    assert [(s.to_connection, s.replicate, s.unlocks) for s in fast] == slow, "the two rankings differ"
    print(f"rows ranking of {len(advice.models)} federated models of {args.compare}: "
          f"heap {1000 * (t6 - t5):.1f} ms, straightforward {1000 * (t7 - t6):.1f} ms, "
          f"{(t7 - t6) / (t6 - t5):.0f}x; same {len(fast)} steps")
    return 0


if __name__ == "__main__":
    sys.exit(main())
