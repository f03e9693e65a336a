#!/usr/bin/env bash
# Prepare this checkout for the demo, or for building and testing.
#
#   bash scripts/setup.sh --for demo   # what scripts/demo.sh needs
#   bash scripts/setup.sh              # everything (--for test): the tests too
#
# Safe to run repeatedly: every step checks first and does only what is
# missing or out of date.
#   1. Debian packages: a compiler, a JDK and Graphviz (the plan graph) for
#      the demo; for the tests also zsh and fish (start-up file tests), Node
#      (pyright in the stub tests), Chromium and its driver (browser tests),
#      valgrind (the instruction-count gate of plan analysis)
#   2. a Python 3.13 virtual environment in .venv
#   3. the Python requirements: requirements-demo.txt for the demo,
#      requirements-dev.txt (which includes it) for the tests; re-installed
#      only when the files change
#   4. the native modules, built and installed into .venv (skipped when the
#      build inputs are unchanged since the last successful install)
set -euo pipefail

mode=test
while (($#)); do
    case $1 in
        --for) mode=${2:-}; shift 2 || true ;;
        --for=*) mode=${1#--for=}; shift ;;
        -h | --help) sed -n '2,6p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) printf 'setup: error: unknown argument %s (use --for demo or --for test)\n' "$1" >&2; exit 2 ;;
    esac
done
case $mode in
    demo | test) ;;
    *) printf 'setup: error: --for takes demo or test, not %s\n' "${mode:-nothing}" >&2; exit 2 ;;
esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

venv="$root/.venv"
requirements="$root/requirements-demo.txt"
[[ $mode == test ]] && requirements="$root/requirements-dev.txt"
source "$root/scripts/pip-quiet.sh"

# Debian packages. JDKs are kept in their own list so another one can be
# added. The plan graph is laid out by Graphviz's `dot`.
DEMO_PACKAGES=(bash g++ graphviz)
JDK_PACKAGES=(openjdk-17-jdk-headless)
# Only the tests need these: the shells of the start-up file tests, Node for
# pyright, headless Chromium driven through its WebDriver for the pages, and
# valgrind for the instruction-count gate (bench/icount_plan_advisor.py).
TEST_PACKAGES=(zsh fish nodejs chromium chromium-driver valgrind)

log() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

# Serialise concurrent runs (several shells may start the tests at once).
mkdir -p "$root/build"
if command -v flock >/dev/null 2>&1; then
    exec 9>"$root/build/.setup.lock"
    flock 9
fi

# --- 1. Debian packages ------------------------------------------------------

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

install_debian_packages() {
    local missing=() pkg
    local wanted=("${DEMO_PACKAGES[@]}" "${JDK_PACKAGES[@]}")
    [[ $mode == test ]] && wanted+=("${TEST_PACKAGES[@]}")
    for pkg in "${wanted[@]}"; do
        is_installed "$pkg" || missing+=("$pkg")
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    command -v apt-get >/dev/null 2>&1 \
        || die "missing packages (${missing[*]}) and no apt-get to install them"
    local sudo=()
    if [[ $(id -u) != 0 ]]; then
        command -v sudo >/dev/null 2>&1 \
            || die "missing packages (${missing[*]}); run as root or install them"
        sudo=(sudo)
    fi
    log "installing Debian packages: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"
}

# --- 2. Python 3.13 and the virtual environment ------------------------------

# Print the real path of the interpreter when "$@" runs a Python 3.13.
probe_python() {
    "$@" -c 'import sys; assert sys.version_info[:2] == (3, 13); print(sys.executable)' \
        2>/dev/null
}

find_python313() {
    local candidate real
    # A pyenv shim is listed here too; it only runs when a 3.13 is selected,
    # so each candidate is tried rather than trusted.
    while IFS= read -r candidate; do
        if real="$(probe_python "$candidate")" && [[ -n $real ]]; then
            printf '%s\n' "$real"
            return 0
        fi
    done < <(which -a python3.13 2>/dev/null || true)

    if command -v pyenv >/dev/null 2>&1; then
        local version prefix
        version="$(pyenv versions --bare 2>/dev/null \
            | grep -E '^3\.13\.[0-9]+$' | sort -V | tail -n 1 || true)"
        if [[ -n $version ]] \
            && PYENV_VERSION="$version" probe_python pyenv exec python3.13 >/dev/null \
            && prefix="$(pyenv prefix "$version" 2>/dev/null)" \
            && real="$(probe_python "$prefix/bin/python3.13")"; then
            printf '%s\n' "$real"
            return 0
        fi
    fi
    return 1
}

ensure_venv() {
    if [[ -x $venv/bin/python ]] && probe_python "$venv/bin/python" >/dev/null; then
        return 0
    fi
    local python
    python="$(find_python313)" \
        || die "Python 3.13 not found: put python3.13 on PATH or install 3.13.x with pyenv"
    if [[ -e $venv ]]; then
        log "replacing unusable virtual environment $venv"
        rm -rf -- "$venv"
    fi
    log "creating $venv with $python"
    "$python" -m venv "$venv"
}

# --- 3. Python requirements --------------------------------------------------

# Digest of a requirements file and the files it includes with -r.
requirements_digest() {
    local files=("$1") line
    while IFS= read -r line; do
        [[ $line =~ ^-r[[:space:]]*([^[:space:]]+) ]] && files+=("$(dirname "$1")/${BASH_REMATCH[1]}")
    done <"$1"
    cat "${files[@]}" | sha256sum | cut -d' ' -f1
}

ensure_requirements() {
    local stamp="$venv/.$(basename "$requirements" .txt).sha256" want
    want="$(requirements_digest "$requirements")"
    if [[ -f $stamp && $(<"$stamp") == "$want" ]]; then
        return 0
    fi
    # The test requirements include the demo's: installed, they do for both.
    local full="$venv/.requirements-dev.sha256"
    if [[ $mode == demo && -f $full && $(<"$full") == "$(requirements_digest "$root/requirements-dev.txt")" ]]; then
        return 0
    fi
    log "installing Python requirements from ${requirements#"$root"/}"
    pip_quiet "$venv/bin/python" --upgrade pip
    pip_quiet "$venv/bin/python" -r "$requirements"
    printf '%s\n' "$want" >"$stamp"
}

# --- 4. the native modules ---------------------------------------------------

# Digest of everything the build reads, so an unchanged tree is not rebuilt.
build_inputs_digest() {
    local inputs=(pyproject.toml) path
    for path in CMakeLists.txt CMakePresets.json src cmake stubs; do
        [[ -e $path ]] && inputs+=("$path")
    done
    find "${inputs[@]}" -type f -print0 | LC_ALL=C sort -z \
        | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

ensure_project_installed() {
    if [[ ! -f $root/pyproject.toml ]]; then
        log "no pyproject.toml yet: skipping the build of the native modules"
        return 0
    fi
    local stamp="$venv/.project-build.sha256" want
    want="$(build_inputs_digest)"
    if [[ -z ${MARL_REBUILD:-} && -f $stamp && $(<"$stamp") == "$want" ]]; then
        return 0
    fi
    log "building and installing the native modules"
    rm -f -- "$stamp"
    # CI treats compiler warnings as errors.
    if [[ ${CI:-} == true ]]; then
        export STRIX_WERROR="${STRIX_WERROR:-ON}"
    fi
    bash "$root/scripts/build.sh" --disable-pip-version-check
    printf '%s\n' "$want" >"$stamp"
}

install_debian_packages
ensure_venv
ensure_requirements
ensure_project_installed
log "ready ($mode)"
