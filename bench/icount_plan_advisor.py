"""analyze_batch in instructions: the native module against its two floors.

Run:  .venv/bin/python bench/icount_plan_advisor.py [--nodes N] [--pure] [--check RATIO]

Counts instructions with valgrind's cachegrind, so the figures do not depend
on the machine's load. Each mode runs in its own interpreter with the
collector off (gc.disable() before the batch; the collector's share under
valgrind would depend on valgrind's speed), and the count of a run that
prepares everything but skips the batch is subtracted.

  native    strix.plan_advisor's PlanAdvisor.analyze_batch
  contract  the contract floor: every observable operation the module's
            contract requires per node (entry checks, calls through the
            instance, presence tests, repeated reads, the cache, the result
            class looked up by name, every reason), in plain C API
  floor     the least-work floor (bench/floor_plan_advisor.cpp): the same
            results with none of that contract work
  pure      bench/pure_plan_advisor.py (with --pure)

The contract floor's source is contract_floor_plan_advisor.cpp in the
folder named by STRIX_CONTRACT_FLOOR, else ../shared/tools/contract_floor
beside this checkout. --check RATIO exits with status 1 when native exceeds
RATIO times the contract floor, and with status 2 when it cannot measure.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r'''
import gc, importlib.util, sys
mode, root, n, floor_so, contract_so = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
sys.path[:0] = [root + "/bench", root + "/host"]
import bench_plan_advisor as bench
import pure_plan_advisor
from strix import plan_advisor

def load(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module

manifest, nodes = bench.build(n)
resolver = plan_advisor.PlanAdvisor(manifest)
connections = {sid: resolver._get_source_connection(sid) for sid in manifest.sources}
floor = load("floor_plan_advisor", floor_so)
contract = load("contract_floor_plan_advisor", contract_so)
contract.setup(plan_advisor)
advisor = plan_advisor.PlanAdvisor(manifest)
pure_advisor = pure_plan_advisor.PlanAdvisor(manifest)
gc.collect()
gc.disable()
if mode == "native":
    advisor.analyze_batch(nodes)
elif mode == "contract":
    contract.analyze_batch(advisor, nodes)
elif mode == "floor":
    floor.run(nodes, connections, plan_advisor.QueryAnalysisResult)
elif mode == "pure":
    pure_advisor.analyze_batch(nodes)
'''


def contract_floor_source():
    folder = os.environ.get("STRIX_CONTRACT_FLOOR") or os.path.join(ROOT, "..", "shared", "tools", "contract_floor")
    path = os.path.join(folder, "contract_floor_plan_advisor.cpp")
    return os.path.normpath(path) if os.path.isfile(path) else None


def compile_extension(source, name, workdir, python):
    include = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(workdir, name + suffix)
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    subprocess.run([compiler, "-O2", "-std=c++20", "-shared", "-fPIC", "-I", include, source, "-o", target],
                   check=True)
    return target


def instructions(mode, python, nodes, floor_so, contract_so):
    proc = subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
         python, "-c", CHILD, mode, ROOT, str(nodes), floor_so, contract_so],
        capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
    if proc.returncode != 0 or not found:
        raise RuntimeError(f"{mode}: no instruction count ({proc.stderr.strip().splitlines()[-3:]})")
    return int(found.group(1).replace(",", ""))


def measure(nodes, modes, python=sys.executable):
    """Instructions of analyze_batch per mode, beyond preparing it."""
    source = contract_floor_source()
    if source is None:
        raise FileNotFoundError("contract floor source not found (set STRIX_CONTRACT_FLOOR or provide "
                                "../shared/tools/contract_floor beside the checkout)")
    with tempfile.TemporaryDirectory(prefix="icount-plan-") as workdir:
        floor_so = compile_extension(os.path.join(HERE, "floor_plan_advisor.cpp"), "floor_plan_advisor", workdir,
                                     python)
        contract_so = compile_extension(source, "contract_floor_plan_advisor", workdir, python)
        base = instructions("base", python, nodes, floor_so, contract_so)
        return {mode: instructions(mode, python, nodes, floor_so, contract_so) - base for mode in modes}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=20_000)
    parser.add_argument("--pure", action="store_true", help="also count the pure-Python reference")
    parser.add_argument("--check", type=float, metavar="RATIO",
                        help="exit 1 when native exceeds RATIO times the contract floor")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        print("icount: valgrind is not installed (scripts/setup.sh installs it)", file=sys.stderr)
        return 2
    modes = ["native", "contract", "floor"] + (["pure"] if args.pure else [])
    try:
        counts = measure(args.nodes, modes)
    except (FileNotFoundError, RuntimeError) as error:
        print(f"icount: {error}", file=sys.stderr)
        return 2
    print(f"analyze_batch over {args.nodes:,} nodes, collector off: instructions (per node in brackets)")
    for mode in modes:
        print(f"  {mode:9s} {counts[mode] / 1e6:8.1f} M  ({counts[mode] / args.nodes:7.0f})")
    ratio = counts["native"] / counts["contract"]
    print(f"  native/contract = {ratio:.3f}, native/floor = {counts['native'] / counts['floor']:.2f}, "
          f"contract/floor = {counts['contract'] / counts['floor']:.2f}"
          + (f", pure/native = {counts['pure'] / counts['native']:.2f}" if args.pure else ""))
    if args.check is not None and ratio > args.check:
        print(f"icount: native is {ratio:.3f}x the contract floor, above the allowed {args.check:.2f}x",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
