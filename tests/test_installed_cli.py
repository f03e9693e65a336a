"""The `marl` command line as a user installs it: the two wheels in new
virtual environments, run as the `marl` console script, with nothing of
this checkout on the path.

Runs when MARL_TEST_WHEELS names a folder holding both wheels (scripts/wheel.sh
makes them in dist/; scripts/test-artifacts.sh sets the variable).
"""

import base64
import csv
import hashlib
import io
import os
import shutil
import subprocess
import sys
import time
import urllib.request
import zipfile
from pathlib import Path

import pytest

from serverkit import free_port

ROOT = Path(__file__).resolve().parent.parent
WHEELS = os.environ.get("MARL_TEST_WHEELS")
pytestmark = pytest.mark.skipif(not WHEELS, reason="set MARL_TEST_WHEELS to the folder of the built wheels")

# Host framework packages that marl must never install files into.
HOST_PACKAGES = ("strix_common/", "strix/contracts/", "strix/compute/metadata")


def wheel(pattern):
    found = sorted(Path(WHEELS).glob(pattern))
    assert len(found) == 1, f"expected one {pattern} in {WHEELS}, found {found}"
    return found[0]


def user_env():
    """The environment of a user's shell: nothing of this checkout on the path."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MARL_PYTHON", "VIRTUAL_ENV")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def make_venv(path):
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True)
    return path


def pip(venv, *args):
    proc = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", *map(str, args)],
                          capture_output=True, text=True, env=user_env(), timeout=600)
    assert proc.returncode == 0, proc.stderr


def run(venv, *args, cwd):
    return subprocess.run([str(venv / "bin" / args[0]), *map(str, args[1:])], capture_output=True,
                          text=True, env=user_env(), cwd=cwd, timeout=120)


def installed_files(venv):
    files = []
    for record in venv.glob("lib/python3.*/site-packages/*.dist-info/RECORD"):
        files += [row[0] for row in csv.reader(record.read_text().splitlines()) if row]
    return files


@pytest.fixture
def project(tmp_path):
    """A copy of the example project, as a user's working directory."""
    shutil.copytree(ROOT / "examples" / "shop", tmp_path / "examples" / "shop",
                    ignore=shutil.ignore_patterns(".marl", "plan.html"))
    return tmp_path


def host_framework_wheel(folder):
    """A wheel of a small host framework providing only `strix.compute.metadata`,
    whose store holds one table that marl's embedded store never would."""
    store = '''
from datetime import datetime


class Column:
    def __init__(self, name):
        self.source_name, self.table_name, self.profile_mode = "host_src", "from_host_store", "full"
        self.row_count, self.profiled_at, self.column_name = 3, datetime(2025, 1, 2), name
        for field in ("null_count", "null_percent", "distinct_count", "distinct_percent", "min_value",
                      "max_value", "mean_value", "median_value", "stddev_value", "p25", "p50", "p75",
                      "min_length", "max_length", "avg_length", "histogram", "top_values", "alerts",
                      "duration_ms"):
            setattr(self, field, None)


class ProjectMetadataStore:
    """The host framework's store (interface only)."""

    def __init__(self, project_root):
        self.project_root = project_root

    def initialize(self):
        pass

    def close(self):
        pass

    def get_all_profiled_tables(self):
        return [("host_src", "from_host_store", "full", datetime(2025, 1, 2))]

    def get_table_profile(self, source_name, table_name, mode=None):
        return [Column("id")] if (source_name, table_name) == ("host_src", "from_host_store") else []

    def get_profile_alerts(self, source_name=None):
        return []
'''
    files = {
        "strix/compute/metadata.py": store,
        "hostframework-0.1.dist-info/METADATA": "Metadata-Version: 2.1\nName: hostframework\nVersion: 0.1\n",
        "hostframework-0.1.dist-info/WHEEL": "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    path = Path(folder) / "hostframework-0.1-py3-none-any.whl"
    record = io.StringIO()
    writer = csv.writer(record)
    with zipfile.ZipFile(path, "w") as whl:
        for name, text in files.items():
            data = text.encode()
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            writer.writerow([name, f"sha256={digest}", len(data)])
            whl.writestr(name, data)
        writer.writerow(["hostframework-0.1.dist-info/RECORD", "", ""])
        whl.writestr("hostframework-0.1.dist-info/RECORD", record.getvalue())
    return path


def get(url, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        try:
            with urllib.request.urlopen(url, timeout=5) as response:
                return response.read().decode()
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.3)


def served_pages(venv, project, *paths):
    """The bodies of `paths` from `marl docs serve --project project`."""
    port = free_port()
    server = subprocess.Popen([str(venv / "bin" / "marl"), "docs", "serve", "--project", str(project),
                               "--port", str(port)], env=user_env(), cwd=project,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        return [get(f"http://127.0.0.1:{port}{path}") for path in paths]
    finally:
        server.terminate()
        server.wait(timeout=30)


PROVIDED = ("python", "-c", "from marl import hostnames; print(sorted(hostnames.provide().items()))")


def test_wheels_alone_run_the_gate_then_the_docs_extra_serves_the_embedded_store(tmp_path, project):
    venv = make_venv(tmp_path / "clean")
    # Only the two wheels: no index, so nothing else can come in.
    pip(venv, "--no-index", wheel("strix_marl_native-*.whl"), wheel("strix_marl-*-py3-none-any.whl"))
    assert not [f for f in installed_files(venv) if f.startswith(HOST_PACKAGES)]

    gate = ("marl", "plan", "examples/shop/manifest_change.json", "--target", "warehouse_pg",
            "--baseline", "examples/shop/manifest.json")
    failed = run(venv, *gate, cwd=project)
    assert failed.returncode == 1, failed.stderr
    assert "new federation in 1 model: model.shop.order_payments" in failed.stdout
    passed = run(venv, "marl", "plan", "examples/shop/manifest.json", "--target", "warehouse_pg",
                 "--baseline", "examples/shop/manifest.json", cwd=project)
    assert passed.returncode == 0, passed.stderr
    advice = run(venv, "marl", "plan", "examples/shop/manifest.json", "--target", "warehouse_pg", "--advise",
                 cwd=project)
    assert advice.returncode == 0 and "replicate" in advice.stdout.lower(), advice.stderr
    version = run(venv, "marl", "--version", cwd=project)
    assert version.stdout == "marl 0.1.0 with strix-marl-native 0.1.0\n", version.stderr
    java = run(venv, "marl", "java", "search", cwd=project)
    assert java.returncode in (0, 1) and "Traceback" not in java.stderr

    # Every host name the native modules import comes from marl.
    names = run(venv, *PROVIDED, cwd=project)
    assert names.stdout.strip() == str(sorted(
        (name, "marl") for name in ("strix.compute.metadata", "strix.contracts.graph.manifest",
                                    "strix.contracts.graph.nodes", "strix_common.exceptions")))

    # The docs server needs the extra, and says how to get it.
    bare = run(venv, "marl", "docs", "sample", "--project", ".", cwd=project)
    assert bare.returncode == 3 and "pip install 'strix-marl[docs]'" in bare.stderr, bare.stderr

    pip(venv, f"{wheel('strix_marl-*-py3-none-any.whl')}[docs]")
    sample = run(venv, "marl", "docs", "sample", "--project", ".", cwd=project)
    assert sample.returncode == 0, sample.stderr
    assert (project / ".marl" / "metadata.db").is_file()
    page, api = served_pages(venv, project, "/", "/api/profile/tables")
    assert "orders" in page and '"table_name":"orders"' in api


def test_an_installed_host_framework_store_is_the_one_the_pages_read(tmp_path, project):
    venv = make_venv(tmp_path / "with-host")
    pip(venv, wheel("strix_marl_native-*.whl"), f"{wheel('strix_marl-*-py3-none-any.whl')}[docs]",
        host_framework_wheel(tmp_path))

    names = dict(eval(run(venv, *PROVIDED, cwd=project).stdout))
    assert names["strix.compute.metadata"] == "host"
    assert names["strix.contracts.graph.manifest"] == "marl"

    page, api, table = served_pages(venv, project, "/", "/api/profile/tables",
                                    "/api/profile/tables/host_src/from_host_store")
    assert "from_host_store" in page and '"table_name":"from_host_store"' in api
    assert '"column_name":"id"' in table
    # Nothing was written into the project: the host's store is not marl's SQLite file.
    assert not (project / ".marl").exists()
