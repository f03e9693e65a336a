"""Plan analysis against its contract floor, in instructions: the gate CI
runs so that the module's own overhead cannot grow unnoticed. Instruction
counts (valgrind) are deterministic, unlike timings on a shared machine."""

import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))

import icount_plan_advisor as icount  # noqa: E402

# native / contract floor; measured at 1.05-1.06 when the gate was set.
LIMIT = 1.10
NODES = 20_000


def test_plan_analysis_stays_within_its_contract_floor():
    if os.environ.get("STRIX_SANITIZED"):
        pytest.skip("the sanitizer build's instruction counts say nothing about the release build")
    if icount.contract_floor_source() is None:
        pytest.skip("no contract floor to measure against: ../shared/tools/contract_floor is absent "
                    "(or set STRIX_CONTRACT_FLOOR to its folder)")
    if shutil.which("valgrind") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("valgrind is not installed: scripts/setup.sh installs it")
        pytest.skip("valgrind is not installed (scripts/setup.sh installs it)")
    counts = icount.measure(NODES, ["native", "contract"])
    ratio = counts["native"] / counts["contract"]
    assert ratio <= LIMIT, (
        f"analyze_batch over {NODES:,} nodes: native {counts['native'] / 1e6:.1f} M instructions, contract floor "
        f"{counts['contract'] / 1e6:.1f} M: {ratio:.3f}x, above {LIMIT:.2f}x "
        "(bench/icount_plan_advisor.py shows all floors)")
