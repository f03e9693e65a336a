"""Time `marl plan --baseline` and `marl plan --advise --target` end to end on
a project of 100,000 nodes, and the manifest reader beside the host stand-in's
loader (the straightforward reader it started from).

    PYTHONPATH=host .venv/bin/python bench/bench_plan_gate.py   # --nodes 100000 --runs 3

The manifests come from make_big_manifest.py (97,500 models and seeds): for
the gate the current one has 50 models reading one more connection; the
advice runs on one where every model reads a source, so that for the target
most of them (about 74,000) are federated. Each command runs as
its own process through bin/marl, like CI runs it; wall time, CPU time (user
plus system: what the process itself needed, much less disturbed by other
load on the machine than the wall time) and peak memory (max RSS) are the best
of ``--runs`` runs. The machine's load average is printed beside them.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from make_big_manifest import big_manifest  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"


def run_marl(args, runs):
    """Best wall, CPU and max RSS (MiB) of ``runs`` runs of bin/marl, and the last exit status."""
    best = None
    for _ in range(runs):
        # A fresh grandchild each time: RUSAGE_CHILDREN's maximum is over all
        # children, so each run is measured by a small wrapper process.
        code = ("import resource, subprocess, sys, time; t = time.perf_counter(); "
                "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode; "
                "w = time.perf_counter() - t; u = resource.getrusage(resource.RUSAGE_CHILDREN); "
                "print(w, u.ru_utime + u.ru_stime, u.ru_maxrss / 1024, r)")
        out = subprocess.run([sys.executable, "-c", code, str(MARL), *map(str, args)],
                             capture_output=True, text=True, check=True).stdout.split()
        wall, cpu, rss, status = float(out[0]), float(out[1]), float(out[2]), int(out[3])
        if best is None or wall < best[0]:
            best = (wall, cpu, rss, status)
    return best


def time_loader(load, path, runs, collect):
    best = None
    for _ in range(runs):
        was = gc.isenabled()
        (gc.enable if collect else gc.disable)()
        t0, c0 = time.perf_counter(), time.process_time()
        manifest = load(str(path))
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        (gc.enable if was else gc.disable)()
        del manifest
        gc.collect()
        best = (wall, cpu) if best is None or wall < best[0] else best
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--changed", type=int, default=50)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    from marl.manifest import load_manifest as marl_load
    from strix.contracts.graph.loader import load_manifest as stand_in_load

    with tempfile.TemporaryDirectory() as tmp:
        old, new = Path(tmp) / "baseline.json", Path(tmp) / "current.json"
        old.write_text(json.dumps(big_manifest(args.nodes)))
        new.write_text(json.dumps(big_manifest(args.nodes, args.changed)))
        reads = Path(tmp) / "all_read.json"
        reads.write_text(json.dumps(big_manifest(args.nodes, all_read=True)))
        print(f"{args.nodes} nodes, {old.stat().st_size / 2**20:.1f} MiB; load average "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

        ours = time_loader(marl_load, new, args.runs, collect=False)
        theirs = time_loader(stand_in_load, new, args.runs, collect=True)
        print(f"read the manifest: marl {ours[0]:.2f} s wall, {ours[1]:.2f} s CPU; "
              f"stand-in loader {theirs[0]:.2f} s wall, {theirs[1]:.2f} s CPU ({theirs[1] / ours[1]:.1f}x)")

        for label, argv in (
            ("--baseline", ("plan", new, "--baseline", old, "--quiet")),
            ("--baseline --format json", ("plan", new, "--baseline", old, "--format", "json")),
            ("--advise --target warehouse_pg", ("plan", reads, "--advise", "--target", "warehouse_pg", "--quiet")),
            ("--advise --target ... --format json", ("plan", reads, "--advise", "--target", "warehouse_pg",
                                                     "--format", "json")),
        ):
            wall, cpu, rss, status = run_marl(argv, args.runs)
            print(f"marl plan {label:<32} {wall:6.2f} s wall  {cpu:6.2f} s CPU  {rss:6.0f} MiB  exit {status}")
        print(f"load average now {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
