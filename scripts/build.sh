#!/usr/bin/env bash
# Build the native modules and install them into .venv (incremental: the
# CMake build tree lives in build/). Serialised with a lock so several shells
# can call it at once.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
mkdir -p build
exec 8>"$root/build/.build.lock"
flock 8
"$root/.venv/bin/python" -m pip install --no-build-isolation --no-deps --quiet "$@" "$root"
