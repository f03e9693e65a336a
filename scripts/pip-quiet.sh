# Sourced by the scripts that install Python packages.
#
# pip_quiet PYTHON ARGS... runs `PYTHON -m pip install -q ARGS` and drops one
# message only: pip's warning about a package folder named in this machine's
# pip configuration that does not exist ("WARNING: Location 'file:///...' is
# ignored: it is neither a file nor a directory"), printed once per package.
# Every other message reaches the terminal, and pip's exit status is returned.
pip_quiet() {
    local python=$1
    shift
    "$python" -m pip install --disable-pip-version-check -q "$@" 2>&1 1>&3 3>&- \
        | { grep -v "^WARNING: Location '[^']*' is ignored: it is neither a file nor a directory\.\{0,1\}$" || true; } >&2
    return "${PIPESTATUS[0]}"
} 3>&1
