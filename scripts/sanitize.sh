#!/usr/bin/env bash
# Build the native modules with AddressSanitizer and UndefinedBehaviorSanitizer
# and run the test suite against that build.
#
#   bash scripts/sanitize.sh                 # whole suite, less the real-Spark tests
#   bash scripts/sanitize.sh -k plan_advisor # extra arguments go to pytest
#
# The tests marked `spark` start PySpark's own JVM, which hangs with the
# sanitizer runtime preloaded; they are deselected unless a -m expression is
# given. detect_spark_cluster_version is still exercised here through its
# tests with a stand-in pyspark.
#
# The sanitized modules are installed into build/sanitize-site, which is put
# ahead of the virtual environment on PYTHONPATH, so the regular install is
# left alone. The sanitizer runtime is preloaded into the interpreter and
# PYTHONMALLOC=malloc routes Python's own allocations through it as well.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

site="$root/build/sanitize-site"
mkdir -p build
(
    exec 8>"$root/build/.build.lock"
    flock 8
    STRIX_SANITIZE=ON "$root/.venv/bin/python" -m pip install --no-build-isolation --no-deps --quiet \
        --disable-pip-version-check --upgrade --target "$site" \
        -C build-dir="$root/build/sanitize" -C cmake.build-type=RelWithDebInfo "$root"
)

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan:$ubsan"
export PYTHONMALLOC=malloc
# The interpreter keeps memory alive until exit on purpose; leak reports at
# exit would only show that. Reference leaks are caught by the tests instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$site:$root/host${PYTHONPATH:+:$PYTHONPATH}"
export STRIX_SANITIZED=1
select=(-m "not spark")
for arg in "$@"; do
    [[ $arg == -m* ]] && select=()
done
exec "$root/.venv/bin/python" -m pytest tests "${select[@]}" "$@"
