"""The typing stubs installed next to the modules: they agree with the runtime
objects (mypy's stubtest), and type checkers find them from outside the
source tree, so a typed caller gets the real types in strict mode."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import HOST, MODULES

CALLER = Path(__file__).with_name("typed_caller.py")

pytestmark = pytest.mark.skipif(os.environ.get("STRIX_SANITIZED") == "1",
                                reason="type checks need no sanitizer build")

# FastAPI's query parameters take a `Query(None)` marker object as their
# default: the functions are declared for FastAPI to call with a text or None,
# which is what the stubs say. stubtest reports exactly these three defaults.
QUERY_DEFAULTS = {
    ("get_table_profile", "mode"),
    ("get_profile_alerts", "source_name"),
    ("get_profile_alerts", "severity"),
}


def checker_env():
    # Only the interpreter's site-packages and the host stand-in: neither the
    # stub sources nor a build folder of the tree.
    return {**os.environ, "PYTHONPATH": HOST, "MYPYPATH": HOST}


def test_stubtest_finds_no_drift(tmp_path):
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise", "--mypy-config-file", os.devnull, *MODULES],
        cwd=tmp_path, env=checker_env(), capture_output=True, text=True, timeout=300,
    )
    errors = r.stdout.splitlines()
    query = re.compile(r'strix\.task\.docs\.api\.profile\.(\w+) is inconsistent, runtime parameter "(\w+)" '
                       r"has a default value of type fastapi\.params\.Query, which is incompatible")
    explained = {m.groups() for m in map(query.match, errors) if m}
    assert explained == QUERY_DEFAULTS, r.stdout + r.stderr
    assert [line for line in errors if not query.match(line)] == [], r.stdout + r.stderr


def test_typed_caller_passes_mypy_strict(tmp_path):
    shutil.copy(CALLER, tmp_path)
    # The host stand-in is checked only as the caller uses it, not for its own
    # annotations.
    (tmp_path / "mypy.ini").write_text(
        "[mypy]\nstrict = True\n"
        "[mypy-strix.contracts.*,strix.compute.metadata,strix_common.*]\nignore_errors = True\n"
    )
    r = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", CALLER.name],
                       cwd=tmp_path, env=checker_env(), capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.mark.skipif(shutil.which("node") is None, reason="pyright runs on node")
def test_typed_caller_passes_pyright_strict(tmp_path):
    pyright = Path(sys.executable).with_name("pyright")
    if not pyright.exists():
        pytest.skip("pyright is not installed in this environment")
    shutil.copy(CALLER, tmp_path)
    (tmp_path / "pyrightconfig.json").write_text(
        '{"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error",'
        f' "extraPaths": ["{HOST}"]}}'
    )
    r = subprocess.run([str(pyright), "--pythonpath", sys.executable, CALLER.name],
                       cwd=tmp_path, env=checker_env(), capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
