"""The host stand-in's manifest loader and the `marl plan` command line."""

import dataclasses
import html
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from marl import manifest as marl_manifest
from strix.contracts.graph import loader as stand_in_loader
from strix.contracts.graph.loader import ManifestError, load_manifest, manifest_from_dict
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
EXAMPLE = ROOT / "examples" / "shop" / "manifest.json"

SEED = ("pushdown", "Seed node - no source analysis needed")
NO_DEPS = ("pushdown", "No source dependencies - pushdown to default target")


def on(conn):
    return ("pushdown", f"All sources in target '{conn}' - pushdown")


def cross(conn, target):
    return ("federated", f"Cross-target: source '{conn}' != target '{target}' - federation required")


def span(*conns):
    return ("federated", f"Sources span {len(conns)} connections: {list(conns)} - federation required")


REFS_ON_PG = ("pushdown", "Model refs materialized tables - pushdown to target 'warehouse_pg'")

# Expected (strategy, reason) per node of the example, in manifest order; the
# test node is not planned.
PLAN_WITHOUT_TARGET = {
    "seed.shop.country_codes": SEED,
    "seed.shop.fx_rates": SEED,
    "model.shop.stg_orders": on("warehouse_pg"),
    "model.shop.stg_customers": on("warehouse_pg"),
    "model.shop.stg_payments": on("warehouse_pg"),
    "model.shop.stg_events": on("lake_dbx"),
    "model.shop.stg_accounts": on("crm_mysql"),
    "model.shop.stg_contacts": on("crm_mysql"),
    "model.shop.order_payments": on("warehouse_pg"),
    "model.shop.crm_health": on("crm_mysql"),
    "model.shop.web_attribution": span("lake_dbx", "warehouse_pg"),
    "model.shop.customer_360": span("crm_mysql", "lake_dbx", "warehouse_pg"),
    "model.shop.orders_enriched": NO_DEPS,
    "model.shop.daily_revenue": NO_DEPS,
    "model.shop.archive_rollup": NO_DEPS,
}
PLAN_ON_WAREHOUSE = {
    **PLAN_WITHOUT_TARGET,
    "model.shop.stg_events": cross("lake_dbx", "warehouse_pg"),
    "model.shop.stg_accounts": cross("crm_mysql", "warehouse_pg"),
    "model.shop.stg_contacts": cross("crm_mysql", "warehouse_pg"),
    "model.shop.crm_health": cross("crm_mysql", "warehouse_pg"),
    "model.shop.orders_enriched": REFS_ON_PG,
    "model.shop.daily_revenue": REFS_ON_PG,
}


def marl(*args):
    return subprocess.run([str(MARL), *map(str, args)], capture_output=True, text=True, timeout=60)


# --- loader ------------------------------------------------------------------

def test_example_manifest_loads_in_file_order_with_defaults():
    m = load_manifest(EXAMPLE)
    assert list(m.nodes)[:3] == ["seed.shop.country_codes", "seed.shop.fx_rates", "model.shop.stg_orders"]
    assert m.nodes["model.shop.stg_orders"] == ManifestNode(
        unique_id="model.shop.stg_orders", resource_type="model", package_name="shop",
        name="stg_orders", sources=[["raw", "orders"]], depends_on=DependsOn([]),
    )
    assert m.nodes["model.shop.orders_enriched"].depends_on.nodes[0] == "model.shop.stg_orders"
    contacts = m.sources["source.shop.crm.contacts"]
    assert (contacts.connection, contacts.meta, contacts.source_meta) == (None, None, {"connection": "crm_mysql"})
    assert m.sources["source.shop.raw.orders"].meta == {}
    assert m.sources.get("source.shop.raw.nope") is None


def test_loader_round_trips_minimal_data_and_repeated_own_id():
    m = manifest_from_dict({
        "sources": {"s": {"unique_id": "s", "connection": None}},
        "nodes": {"n": {"unique_id": "n", "resource_type": "seed", "sources": ["s"]}},
    })
    assert m.project_name is None
    assert m.sources == {"s": SourceDefinition(unique_id="s")}
    assert m.nodes["n"].package_name is None and m.nodes["n"].sources == ["s"]
    assert manifest_from_dict({}).nodes == {}


# marl's own reader and the stand-in's loader accept and word alike.
READERS = pytest.mark.parametrize("reader", [marl_manifest, stand_in_loader], ids=["marl", "stand-in"])


@READERS
@pytest.mark.parametrize("text, message", [
    ('{"nodes": {', "not valid JSON"),
    ('[]', "the manifest: expected an object"),
    ('{"node": {}}', "unknown key 'node'"),
    ('{"nodes": {"a": {"resource_type": "model"}, "a": {"resource_type": "seed"}}}', "key 'a' appears twice"),
    ('{"nodes": {"a": {}}}', "nodes['a']: missing required key 'resource_type'"),
    ('{"nodes": {"a": {"resource_type": "model", "unique_id": "b"}}}', "does not match its key"),
    ('{"nodes": {"a": {"resource_type": "model", "sources": [3]}}}', "nodes['a'].sources[0]: expected a source unique_id"),
    ('{"nodes": {"a": {"resource_type": "model", "sources": [["x", "y", "z"]]}}}', "sources[0]"),
    ('{"nodes": {"a": {"resource_type": "model", "sources": "s"}}}', "nodes['a'].sources: expected a list"),
    ('{"nodes": {"a": {"resource_type": "model", "depends_on": {"nodes": "m"}}}}', "depends_on.nodes: expected a list"),
    ('{"sources": {"s": {"connection": 5}}}', "sources['s'].connection: expected a string or null"),
    ('{"sources": {"s": {"meta": []}}}', "sources['s'].meta: expected an object or null"),
    ('{"sources": {"s": {"meta": {"connection": 1}}}}', "sources['s'].meta.connection: expected a string or null"),
    ('{"sources": {"s": {"unique_id": "t"}}}', "sources['s'].unique_id: \"t\" does not match its key"),
    ('{"nodes": {"a": {"resource_type": "model", "depends_on": {"nodes": [1]}}}}', "depends_on.nodes: expected"),
    ('{"nodes": {"a": {"resource_type": "model", "depends_on": {"x": []}}}}', "unknown key 'x'"),
    ('{"nodes": {"a": {"resource_type": "model", "name": 3}}}', "nodes['a'].name: expected a string or null"),
    ('{"nodes": {"a": {"resource_type": "model", "sources": null}}}', "nodes['a'].sources: expected a list"),
    ('{"nodes": {"a": {"resource_type": ""}}}', "resource_type: expected a non-empty string"),
])
def test_loader_reports_malformed_manifests_with_location(tmp_path, reader, text, message):
    path = tmp_path / "m.json"
    path.write_text(text)
    with pytest.raises(reader.ManifestError) as info:
        reader.load_manifest(path)
    assert str(info.value).startswith(f"{path}: ")
    assert message in str(info.value)


def test_marl_reader_builds_what_the_stand_in_builds():
    for path in (EXAMPLE, ROOT / "examples" / "shop" / "manifest_change.json"):
        ours, theirs = marl_manifest.load_manifest(path), load_manifest(path)
        for kind in ("nodes", "sources"):
            assert [dataclasses.astuple(n) for n in getattr(ours, kind).values()] == \
                [dataclasses.astuple(n) for n in getattr(theirs, kind).values()]
        assert ours.project_name == theirs.project_name


def test_marl_reader_takes_pipes_only_when_asked_and_bounds_them(tmp_path, monkeypatch):
    text = EXAMPLE.read_text()
    # Process substitution, as a shell gives it: /dev/fd/N, a pipe.
    proc = subprocess.run(["bash", "-c", f'"$0" plan "$1" --baseline <(cat "$1") --quiet', MARL, EXAMPLE],
                          capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "PASS: no new federation\n"), proc.stderr
    read, write = os.pipe()
    with os.fdopen(write, "w") as f:
        f.write(text)
    path = f"/dev/fd/{read}"
    with pytest.raises(marl_manifest.ManifestError, match="not a regular file"):
        marl_manifest.load_manifest(path)
    assert len(marl_manifest.load_manifest(path, streams=True).nodes) == 16
    os.close(read)
    monkeypatch.setattr(marl_manifest, "MAX_MANIFEST_BYTES", 1000)
    read, write = os.pipe()
    with os.fdopen(write, "w") as f:
        f.write(text[:4000])
    with os.fdopen(read, "rb") as f:
        with pytest.raises(marl_manifest.ManifestError, match="<stream>: cannot read manifest: larger than 1000 bytes"):
            marl_manifest.load_manifest(f, "<stream>")


def test_loader_reports_missing_file(tmp_path):
    with pytest.raises(ManifestError, match="cannot read manifest: No such file"):
        load_manifest(tmp_path / "absent.json")


# --- marl plan ---------------------------------------------------------------

@pytest.mark.parametrize("target_args, expected, summary", [
    ((), PLAN_WITHOUT_TARGET, "15 nodes: 13 pushdown, 2 federated"),
    (("--target", "warehouse_pg"), PLAN_ON_WAREHOUSE, "15 nodes: 9 pushdown, 6 federated (target 'warehouse_pg')"),
    # An empty target counts as no target.
    (("--target", ""), PLAN_WITHOUT_TARGET, "15 nodes: 13 pushdown, 2 federated (target '')"),
])
def test_plan_prints_aligned_rows_and_summary(target_args, expected, summary):
    proc = marl("plan", EXAMPLE, *target_args)
    assert proc.returncode == 0, proc.stderr
    *rows, last = proc.stdout.splitlines()
    assert last == summary
    parsed = [re.fullmatch(r"(\S+) +(pushdown|federated) +(\S.*)", row) for row in rows]
    assert all(parsed), rows
    assert {m[1]: (m[2], m[3]) for m in parsed} == expected
    assert [m[1] for m in parsed] == list(expected)
    # Columns line up: every reason starts at the same offset.
    assert len({m.start(3) for m in parsed}) == 1


def test_plan_json_reports_connections_and_refs():
    proc = marl("plan", EXAMPLE, "--json", "--target", "warehouse_pg")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert doc["summary"] == {"nodes": 15, "pushdown": 9, "federated": 6, "target_connection": "warehouse_pg"}
    by_id = {n["unique_id"]: n for n in doc["models"]}
    assert list(by_id) == list(PLAN_ON_WAREHOUSE)
    assert by_id["model.shop.customer_360"] == {
        "unique_id": "model.shop.customer_360", "resource_type": "model", "strategy": "federated",
        "primary_connection": None, "reason": PLAN_ON_WAREHOUSE["model.shop.customer_360"][1],
        "source_connections": ["crm_mysql", "lake_dbx", "warehouse_pg"],
        "source_refs": ["source.shop.crm.accounts", "source.shop.lake.events", "source.shop.raw.customers"],
    }
    assert by_id["model.shop.order_payments"]["primary_connection"] == "warehouse_pg"
    assert by_id["model.shop.orders_enriched"]["primary_connection"] == "warehouse_pg"
    # A source without any connection is still listed as a reference.
    archive = by_id["model.shop.archive_rollup"]
    assert (archive["source_refs"], archive["source_connections"]) == (["source.shop.legacy.archive"], [])
    assert by_id["seed.shop.fx_rates"]["source_refs"] == []


DEEP = "[" * 100_000 + "]" * 100_000
FIFO = object()

# Manifests neither `marl plan` nor /plan can use: each is reported by name,
# with a message and no traceback.
BAD_MANIFESTS = {
    "missing": (None, "cannot read manifest: No such file or directory"),
    "not json": ("{not json", "not valid JSON"),
    "resource type": ('{"nodes": {"m": {"resource_type": 1}}}',
                      "nodes['m'].resource_type: expected a non-empty string"),
    "deep nesting": ('{"nodes": {"m": {"resource_type": "model", "sources": %s}}}' % DEEP,
                     "the JSON is nested too deeply to read"),
    "deep meta": ('{"sources": {"s": {"meta": {"x": %s}}}}' % DEEP, "the JSON is nested too deeply to read"),
    "non-string connection": (json.dumps({
        "sources": {"source.p.s.t": {"meta": {"connection": 5}}},
        "nodes": {"model.p.m": {"resource_type": "model", "sources": ["source.p.s.t"]}},
    }), "sources['source.p.s.t'].meta.connection: expected a string or null, got 5"),
    "lone surrogate": ('{"nodes": {"model.x.\\ud800": {"resource_type": "model"}}}',
                       "nodes: key 'model.x.\\ud800': a lone surrogate escape"),
    "surrogate value": ('{"nodes": {"m": {"resource_type": "model", "name": "a\\udfffb"}}}',
                        "nodes['m']['name']: a lone surrogate escape"),
    "fifo": (FIFO, "cannot read manifest: not a regular file"),
    "huge integer": ('{"nodes": {"m": {"resource_type": "model", "rows": %s}}}' % ("9" * 5000),
                     "the JSON holds a number too long to read"),
}


def write_bad_manifest(tmp_path, content) -> Path:
    path = tmp_path / "manifest.json"
    if content is FIFO:
        os.mkfifo(path)
    elif content is not None:
        path.write_text(content)
    return path


@pytest.fixture
def plan_page():
    """GET /plan of a docs server given ``manifest``."""
    import warnings

    from marl.docs_cmd import create_app
    from strix.task.docs.api import profile

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from fastapi.testclient import TestClient

    def get(project, manifest):
        with TestClient(create_app(project, manifest), base_url="http://127.0.0.1",
                        raise_server_exceptions=False) as client:
            return client.get("/plan")

    yield get
    profile._project_root = None
    profile._store_initialized = False


@pytest.mark.parametrize("content, message", BAD_MANIFESTS.values(), ids=BAD_MANIFESTS.keys())
def test_bad_manifest_is_reported_by_marl_plan_and_the_plan_page(tmp_path, content, message, plan_page):
    path = write_bad_manifest(tmp_path, content)
    for args in ((), ("--json",), ("--html", tmp_path / "plan.html")):
        proc = marl("plan", path, *args)
        assert proc.returncode == 2, proc.stderr
        if args == ("--json",):
            # JSON readers get the error as a document of its own.
            error = json.loads(proc.stdout)
            assert (error["status"], error["error"]["exit_status"]) == ("error", 2)
            assert message in error["error"]["message"]
        else:
            assert proc.stdout == ""
        assert proc.stderr.startswith(f"marl plan: error: {path}: ")
        assert message in proc.stderr and proc.stderr.count("\n") == 1
        assert not (tmp_path / "plan.html").exists()
    # The page names the file, never its folder, and answers in its own error box.
    r = plan_page(tmp_path, path)
    assert r.status_code == 200
    box = html.unescape(r.text.split('id="error">')[1].split("</div>")[0])
    assert box.startswith("manifest.json: ") and message in box
    assert str(tmp_path) not in r.text


def test_version_is_the_installed_native_release():
    import tomllib

    with open(ROOT / "pyproject.toml", "rb") as f:
        version = tomllib.load(f)["project"]["version"]
    r = marl("--version")
    assert (r.returncode, r.stdout) == (0, f"marl (checkout) with strix-marl-native {version}\n")


# --- exit statuses and messages of the papercuts -------------------------------
# 0 success, 1 the command's finding, 2 bad input or usage, 3 not set up,
# 4 cannot serve. Each case prepares what the user would have (a broken
# JAVA_HOME, a busy port, a store with real profiles, no set-up) and gives
# (arguments, extra environment) for bin/marl.


def _java_home_without_java(tmp_path):
    return ("java", "check"), {"JAVA_HOME": str(tmp_path / "no-such-jdk")}


def _java_home_whose_java_fails(tmp_path):
    java = tmp_path / "jdk" / "bin" / "java"
    java.parent.mkdir(parents=True)
    java.write_text("#!/bin/sh\necho 'Error: could not open lib/jvm.cfg' >&2\nexit 1\n")
    java.chmod(0o755)
    return ("java", "check"), {"JAVA_HOME": str(tmp_path / "jdk")}


def _busy_port(tmp_path):
    import socket

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    _busy_port.listener = listener  # held until the case has run
    return ("docs", "serve", "--project", tmp_path, "--port", listener.getsockname()[1]), {}


def _store_with_profiles(tmp_path, *extra):
    from strix.compute.metadata import ProjectMetadataStore

    with ProjectMetadataStore(tmp_path) as store:
        store.record_table_profile("billing", "invoices", "full", 3, [{"column_name": "id"}])
    return ("docs", "sample", "--project", tmp_path, *extra), {}


def _store_with_samples_only(tmp_path):
    from marl.docs_cmd import seed_sample_profiles
    from strix.compute.metadata import ProjectMetadataStore

    with ProjectMetadataStore(tmp_path) as store:
        seed_sample_profiles(store)
    return ("docs", "sample", "--project", tmp_path), {}


def _native_modules_missing(tmp_path):
    # The interpreter the virtual environment was made from has the host
    # stand-in on its path (bin/marl puts it there) but none of the modules.
    base = getattr(sys, "_base_executable", None)
    probe = subprocess.run([base, "-c", "import strix.plan_advisor"], capture_output=True) if base else None
    if probe is None or probe.returncode == 0:
        pytest.skip("no interpreter without the native modules")
    return ("plan", EXAMPLE), {"MARL_PYTHON": base}


PAPERCUTS = {
    # name: (prepare, exit status, text on stderr, text on stdout)
    "JAVA_HOME names no folder": (_java_home_without_java, 1,
                                  "marl java check: warning: JAVA_HOME is set to ", "PySpark"),
    "JAVA_HOME's java fails": (_java_home_whose_java_fails, 1, "holds no working Java", "PySpark"),
    "busy port": (_busy_port, 4, "cannot serve on 127.0.0.1:", None),
    "sample into a store with profiles": (_store_with_profiles, 2,
                                          "already holds profiles of this project", None),
    "sample forced": (lambda p: _store_with_profiles(p, "--force"), 0, "",
                      "beside the profiles it held (--force)"),
    "sample again": (_store_with_samples_only, 0, "", "already holds profiles, the samples"),
    "sample into an empty project": (lambda p: (("docs", "sample", "--project", p), {}), 0, "",
                                     "recorded sample profiles of 5 tables"),
    "not set up: bin/marl": (lambda p: (("plan", EXAMPLE), {"MARL_PYTHON": str(p / "none")}), 3,
                             "run scripts/setup.sh first", None),
    "not set up: native module": (_native_modules_missing, 3,
                                  "the native module strix.plan_advisor is not available", None),
    "usage": (lambda p: (("plan",), {}), 2, "the following arguments are required", None),
    "port out of range": (lambda p: (("docs", "serve", "--port", "70000"), {}), 2,
                          "'70000' is not a port number", None),
    "no such project": (lambda p: (("docs", "serve", "--project", p / "nope"), {}), 2,
                        "project directory", None),
    "no such manifest to serve": (lambda p: (("docs", "serve", "--project", p, "--manifest", p / "m.json"), {}),
                                  2, "manifest", None),
}


@pytest.mark.parametrize("prepare, status, stderr, stdout", PAPERCUTS.values(), ids=PAPERCUTS.keys())
def test_exit_statuses_and_messages(tmp_path, monkeypatch, prepare, status, stderr, stdout):
    monkeypatch.delenv("JAVA_HOME", raising=False)
    args, env = prepare(tmp_path)
    proc = subprocess.run([str(MARL), *map(str, args)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **env})
    assert proc.returncode == status, proc.stderr
    assert stderr in proc.stderr and "Traceback" not in proc.stderr
    if stdout is not None:
        assert stdout in proc.stdout
    if "JAVA_HOME" in env and "MARL_PYTHON" not in env:
        # The module's own answer is printed unchanged; marl only adds the warning.
        from strix.compute import jvm_elig

        monkeypatch.setenv("JAVA_HOME", env["JAVA_HOME"])
        assert proc.stdout == jvm_elig.validate_java_for_spark()[1] + "\n"
    if args[:2] == ("docs", "sample") and status == 2:
        from strix.compute.metadata import ProjectMetadataStore

        with ProjectMetadataStore(tmp_path) as store:
            assert [t[:2] for t in store.get_all_profiled_tables()] == [("billing", "invoices")]
