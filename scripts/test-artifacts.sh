#!/usr/bin/env bash
# Run the test suite against the release wheel as a user would install it,
# check that the sdist builds and imports, and install the command line's wheel
# with the release wheel into new environments (tests/test_installed_cli.py:
# the gate with nothing else installed; the pages reading an installed host
# framework's store). scripts/wheel.sh makes all three in dist/.
#
#   bash scripts/test-artifacts.sh            # wheel: whole suite; sdist: smoke check
#   bash scripts/test-artifacts.sh -k stubs   # extra arguments go to pytest
#
# Each artifact goes into a new virtual environment outside the checkout. Only
# host/ (the stand-in of the host framework) is put on PYTHONPATH: no src/, no
# build folder, no development install. The suite refuses to start unless the
# three modules load from the wheel's environment (STRIX_EXPECT_INSTALLED).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

log() { printf '\nartifacts: %s\n' "$*"; }
wheels=(dist/strix_marl_native-*.whl)
cli_wheels=(dist/strix_marl-*-py3-none-any.whl)
sdists=(dist/*.tar.gz)
[[ -f ${wheels[0]} && -f ${cli_wheels[0]} && -f ${sdists[0]} ]] \
    || { echo "artifacts: run scripts/wheel.sh first" >&2; exit 1; }
[[ -x .venv/bin/python ]] || bash scripts/setup.sh

work="$(mktemp -d "${TMPDIR:-/tmp}/strix-artifacts.XXXXXX")"
trap 'rm -rf -- "$work"' EXIT
source "$root/scripts/pip-quiet.sh"
pip_install() { pip_quiet "$1/bin/python" "${@:2}"; }
venv_of() {
    "$root/.venv/bin/python" -m venv "$1"
    [[ -x $1/bin/python ]]
}

check_modules() {  # $1: environment; prints where each module was loaded from
    (cd "$work" && PYTHONPATH="$root/host" "$1/bin/python" - <<'PY'
import importlib, sys
for name in ("strix.plan_advisor", "strix.compute.jvm_elig", "strix.task.docs.api.profile"):
    module = importlib.import_module(name)
    assert module.__file__.startswith(sys.prefix + "/"), module.__file__
    print(f"  {name}: {module.__file__}")
from strix.plan_advisor import PlanAdvisor
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import ManifestNode
result = PlanAdvisor(Manifest()).analyze(ManifestNode("model.x", "model"))
assert (result.strategy, result.reason) == ("pushdown", "No source dependencies - pushdown to default target"), result
from strix.compute.jvm_elig import check_java_pyspark_compatibility
assert check_java_pyspark_compatibility(17, "3.5")[0] is True
from strix.task.docs.api.profile import router
assert router.prefix == "/api/profile" and len(router.routes) == 4
print("  smoke check passed")
PY
    )
}

log "installing ${wheels[0]} into a new environment"
venv_of "$work/wheel"
pip_install "$work/wheel" -r requirements-dev.txt
pip_install "$work/wheel" --no-deps "$root/${wheels[0]}"
check_modules "$work/wheel"

log "installing ${sdists[0]} into a new environment (built with the machine's compiler)"
venv_of "$work/sdist"
pip_install "$work/sdist" --no-build-isolation scikit-build-core cmake ninja fastapi
pip_install "$work/sdist" --no-build-isolation --no-deps "$root/${sdists[0]}"
check_modules "$work/sdist"

log "the whole suite against the installed wheel (with the installed command line's tests)"
site="$("$work/wheel/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')"
cd "$work"
PYTHONPATH="$root/host" STRIX_EXPECT_INSTALLED="$site" MARL_TEST_WHEELS="$root/dist" \
    "$work/wheel/bin/python" -m pytest -p no:cacheprovider "$root/tests" "$@"
