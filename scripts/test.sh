#!/usr/bin/env bash
# Prepare the checkout (scripts/setup.sh), then run the whole test suite.
# Extra arguments go to pytest, e.g.: bash scripts/test.sh -k plan -x
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"

cd "$root"
export PYTHONPATH="$root/host${PYTHONPATH:+:$PYTHONPATH}"
exec "$root/.venv/bin/python" -m pytest tests "$@"
