"""The profile router in a FastAPI application over the SQLite metadata store:
every route through the test client, the OpenAPI document, a real uvicorn
server, parameters that look like SQL injection, and `marl docs`."""

import os
import re
import shutil
import sqlite3
import subprocess
import warnings
from datetime import datetime
from pathlib import Path

import pytest
from serverkit import marl_docs_serve
from fastapi import FastAPI

import strix.task.docs.api.profile as profile
from strix.compute.metadata import ProjectMetadataStore

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from fastapi.testclient import TestClient

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
T0 = datetime(2024, 6, 1, 12, 0, 0)


def column(name, **metrics):
    return {"column_name": name, **metrics}


def seed(root: Path) -> None:
    with ProjectMetadataStore(root) as store:
        store.record_table_profile(
            "raw", "orders", "sample", 50, [column("id")], profiled_at=datetime(2024, 1, 1))
        store.record_table_profile(
            "raw", "orders", "full", 1000,
            [
                column("id", null_count=0, null_percent=0.0, distinct_count=1000, min_value=1, max_value=1000,
                       alerts=[{"type": "unique", "severity": "info"}], duration_ms=5),
                column("status", null_count=250, null_percent=25.0, min_length=4, max_length=9,
                       top_values=[{"value": "shipped", "count": 700}], histogram="", duration_ms=7),
                column("amount", mean_value=41.5, p25=10.0, p50=30.0, p75=60.0,
                       histogram=[{"bin": "0-50", "count": 800}, {"bin": "50-100", "count": 200}]),
            ],
            profiled_at=T0,
            alerts=[{"source_name": "raw", "table_name": "orders", "column_name": "status",
                     "type": "high_null_rate", "severity": "warning", "message": "25% null"}],
        )
        store.record_table_profile("crm", "accounts", "full", 10, [column("name")], profiled_at=None)
        store.record_alerts([
            {"source_name": "crm", "table_name": "accounts", "type": "stale", "severity": "error"},
            {"source_name": "crm", "table_name": "accounts", "type": "high_null_rate"},
        ])


@pytest.fixture
def project(tmp_path):
    seed(tmp_path)
    return tmp_path


@pytest.fixture
def client(project):
    app = FastAPI()
    app.include_router(profile.router)
    profile.set_project_root(project)
    with TestClient(app, raise_server_exceptions=False) as c:
        yield c
    profile._project_root = None
    profile._store_initialized = False


def dump(root: Path) -> list:
    with sqlite3.connect(root / ".marl" / "metadata.db") as conn:
        return list(conn.iterdump())


# --- routes -------------------------------------------------------------------------


def test_tables(client):
    r = client.get("/api/profile/tables")
    assert r.status_code == 200
    assert r.json() == [
        {"source_name": "crm", "table_name": "accounts", "profile_mode": "full", "last_profiled": None},
        {"source_name": "raw", "table_name": "orders", "profile_mode": "full",
         "last_profiled": "2024-06-01T12:00:00"},
    ]


def test_table_profile(client):
    body = client.get("/api/profile/tables/raw/orders").json()
    assert {k: v for k, v in body.items() if k != "columns"} == {
        "source_name": "raw", "table_name": "orders", "profile_mode": "full", "row_count": 1000,
        "column_count": 3, "profiled_at": "2024-06-01T12:00:00"}
    id_, status, amount = body["columns"]
    assert len(id_) == 20 and id_["column_name"] == "id"
    assert (id_["distinct_count"], id_["min_value"], id_["alerts"], id_["histogram"]) == (
        1000, 1, [{"type": "unique", "severity": "info"}], None)
    assert (status["top_values"], status["histogram"], status["alerts"], status["null_percent"]) == (
        [{"value": "shipped", "count": 700}], None, [], 25.0)
    assert amount["histogram"] == [{"bin": "0-50", "count": 800}, {"bin": "50-100", "count": 200}]


def test_table_profile_mode_filter(client):
    body = client.get("/api/profile/tables/raw/orders", params={"mode": "sample"}).json()
    assert (body["profile_mode"], body["row_count"], body["column_count"]) == ("sample", 50, 1)
    r = client.get("/api/profile/tables/raw/orders", params={"mode": "incremental"})
    assert (r.status_code, r.json()) == (404, {"detail": "No profile found for raw.orders"})


def test_unknown_table_is_404(client):
    r = client.get("/api/profile/tables/raw/nope")
    assert (r.status_code, r.json()) == (404, {"detail": "No profile found for raw.nope"})


def test_alerts(client):
    everything = client.get("/api/profile/alerts").json()
    assert [(a["table_name"], a["type"], a.get("severity")) for a in everything] == [
        ("orders", "high_null_rate", "warning"), ("accounts", "stale", "error"),
        ("accounts", "high_null_rate", None)]
    assert client.get("/api/profile/alerts", params={"source_name": "crm"}).json() == everything[1:]
    assert client.get("/api/profile/alerts", params={"severity": "error"}).json() == [everything[1]]
    assert client.get("/api/profile/alerts", params={"severity": ""}).json() == everything
    assert client.get("/api/profile/alerts", params={"source_name": "raw", "severity": "error"}).json() == []


def test_stats(client):
    assert client.get("/api/profile/stats").json() == {
        "total_tables": 2, "total_alerts": 3,
        "alerts_by_type": {"high_null_rate": 2, "stale": 1},
        "alerts_by_severity": {"warning": 1, "error": 1, "info": 1},
    }


@pytest.mark.parametrize("path", ["/tables", "/tables/raw/orders", "/alerts", "/stats"])
def test_500_details(client, tmp_path, path):
    profile.set_project_root(None)
    r = client.get("/api/profile" + path)
    assert (r.status_code, r.json()) == (500, {"detail": "Project root not configured"})
    profile.set_project_root(tmp_path / "missing")
    r = client.get("/api/profile" + path)
    assert r.status_code == 500
    # the folder's name only: no absolute path of the machine in what the API serves
    assert r.json()["detail"] == "Could not open metadata store: project root 'missing' is not a directory"


def test_other_failures_are_internal_errors(client, project):
    # A store written by another tool: its collation is unknown here.
    with sqlite3.connect(project / ".marl" / "metadata.db") as conn:
        conn.create_collation("their_locale", lambda a, b: (a > b) - (a < b))
        conn.execute("ALTER TABLE profile_runs RENAME TO old_runs")
        conn.execute("CREATE TABLE profile_runs (run_id INTEGER PRIMARY KEY, source_name TEXT COLLATE their_locale,"
                     " table_name TEXT, profile_mode TEXT, row_count INTEGER, profiled_at TEXT)")
        conn.execute("INSERT INTO profile_runs SELECT * FROM old_runs")
    r = client.get("/api/profile/tables")
    assert r.status_code == 500 and r.text == "Internal Server Error"


def test_openapi_document(client):
    doc = client.get("/openapi.json").json()
    assert list(doc["paths"]) == [
        "/api/profile/tables", "/api/profile/tables/{source_name}/{table_name}",
        "/api/profile/alerts", "/api/profile/stats"]
    ops = [doc["paths"][p]["get"] for p in doc["paths"]]
    assert [op["operationId"].split("_api_")[0] for op in ops] == [
        "list_profiled_tables", "get_table_profile", "get_profile_alerts", "get_profile_stats"]
    assert all(op["tags"] == ["profile"] for op in ops)
    assert ops[0]["description"] == "List all profiled tables.\nReturns table names with last profile timestamp and mode."
    params = {op["operationId"].split("_api_")[0]: [(p["name"], p["in"], p["required"], p.get("description"))
                                                   for p in op.get("parameters", [])] for op in ops}
    assert params == {
        "list_profiled_tables": [],
        "get_table_profile": [("source_name", "path", True, None), ("table_name", "path", True, None),
                              ("mode", "query", False, "Profile mode filter")],
        "get_profile_alerts": [("source_name", "query", False, "Filter by source"),
                               ("severity", "query", False, "Filter by severity: info, warning, error")],
        "get_profile_stats": [],
    }


# --- parameters that look like SQL --------------------------------------------------

INJECTIONS = [
    "x'; DROP TABLE profile_runs; --",
    "' OR '1'='1",
    '" OR 1=1 --',
    "raw' UNION SELECT name, sql, 1, 2 FROM sqlite_master --",
    "%' OR source_name LIKE '%",
]


@pytest.mark.parametrize("text", INJECTIONS)
def test_sql_injection_is_plain_text(client, project, text):
    before = dump(project)
    r = client.get(f"/api/profile/tables/{text}/orders")
    assert (r.status_code, r.json()) == (404, {"detail": f"No profile found for {text}.orders"})
    r = client.get(f"/api/profile/tables/raw/{text}")
    assert r.status_code == 404
    r = client.get("/api/profile/tables/raw/orders", params={"mode": text})
    assert (r.status_code, r.json()) == (404, {"detail": "No profile found for raw.orders"})
    assert client.get("/api/profile/alerts", params={"source_name": text}).json() == []
    assert client.get("/api/profile/alerts", params={"severity": text}).json() == []
    assert client.get("/api/profile/tables").status_code == 200
    assert dump(project) == before


# --- the store stand-in ----------------------------------------------------------------


def test_reading_a_project_without_store_creates_nothing(tmp_path):
    with ProjectMetadataStore(tmp_path) as store:
        assert store.get_all_profiled_tables() == []
        assert store.get_table_profile("a", "b", None) == []
        assert store.get_profile_alerts() == [] and store.get_profile_alerts("a") == []
        assert not store.has_profiles()
    assert list(tmp_path.iterdir()) == []
    with ProjectMetadataStore(str(tmp_path)) as store:
        store.initialize()
        store.initialize()
        assert store.get_all_profiled_tables() == []
    assert (tmp_path / ".marl" / "metadata.db").is_file()


def test_store_result_shapes(project):
    with ProjectMetadataStore(project) as store:
        rows = store.get_all_profiled_tables()
        assert rows[1] == ("raw", "orders", "full", T0)
        (record,) = store.get_table_profile("raw", "orders", "sample")
        assert (record.profile_mode, record.row_count, record.profiled_at, record.column_name) == (
            "sample", 50, datetime(2024, 1, 1), "id")
        amount = store.get_table_profile("raw", "orders", None)[2]
        assert isinstance(amount.histogram, str) and amount.alerts is None
        assert store.get_profile_alerts("raw")[0] == {
            "source_name": "raw", "table_name": "orders", "column_name": "status",
            "type": "high_null_rate", "severity": "warning", "message": "25% null"}


@pytest.mark.parametrize("part", [slice(0, 2), slice(1, 3), slice(3, None), slice(5, 9), slice(2, 1),
                                  slice(-1, None), slice(None, None, 2), 0, -1])
def test_store_listing_read_in_part_is_the_listing(project, part):
    """Its length and a slice read only what they need (one page of a
    listing); whatever is read is what the whole listing holds."""
    with sqlite3.connect(project / ".marl" / "metadata.db") as conn:  # later runs of a table count once
        conn.execute("INSERT INTO profile_runs (source_name, table_name, profile_mode) VALUES ('raw', 'orders', 'x')")
    with ProjectMetadataStore(project) as store:
        whole = list(store.get_all_profiled_tables())
        listing = store.get_all_profiled_tables()
        assert len(listing) == len(whole) and listing[part] == whole[part]
        assert store.get_profiled_sources() == sorted({row[0] for row in whole})
        assert store.has_table_profile(*whole[0][:2]) and not store.has_table_profile("raw", "nothing")


def test_store_reads_bad_values_as_null_and_logs_each_once(project, caplog):
    with sqlite3.connect(project / ".marl" / "metadata.db") as conn:
        conn.execute("UPDATE profile_runs SET profiled_at = 'soon' WHERE source_name = 'crm'")
        conn.execute("UPDATE column_profiles SET top_values = '[NaN]', null_percent = -9e999"
                     " WHERE column_name = 'status'")
    for _ in range(3):  # every request opens its own store
        with ProjectMetadataStore(project) as store:
            assert store.get_all_profiled_tables()[0] == ("crm", "accounts", "full", None)
            status = store.get_table_profile("raw", "orders", None)[1]
            assert (status.top_values, status.null_percent, status.null_count) == (None, None, 250)
    logged = sorted(r.getMessage() for r in caplog.records if r.name == "strix.compute.metadata")
    assert len(logged) == 3
    assert "null_percent of table raw.orders" in logged[0] and "profiled_at of table crm.accounts" in logged[1]


def test_older_store_is_read_and_brought_up_to_date(project):
    with sqlite3.connect(project / ".marl" / "metadata.db") as conn:
        conn.execute("DROP TABLE profile_alerts")
        conn.execute("ALTER TABLE column_profiles DROP COLUMN top_values")
    with ProjectMetadataStore(project) as store:
        assert store.get_profile_alerts() == []
        assert store.get_table_profile("raw", "orders", None)[1].top_values is None
        store.initialize()
        store.record_alerts([{"source_name": "raw", "table_name": "orders", "type": "new"}])
        store.record_table_profile("raw", "new", "full", 1, [{"column_name": "c", "top_values": [["a", 1]]}])
        assert store.get_profile_alerts() == [{"source_name": "raw", "table_name": "orders", "type": "new"}]
        assert store.get_table_profile("raw", "new", None)[0].top_values == '[["a", 1]]'


# --- a real server and the command line ------------------------------------------------


def test_marl_docs_serve_over_http(project):
    with marl_docs_serve(project) as http:
        r = http.get("/api/profile/stats")
        assert r.status_code == 200 and r.json()["total_tables"] == 2
        r = http.get("/api/profile/tables/raw/orders", params={"mode": "full"})
        assert r.status_code == 200 and r.json()["column_count"] == 3
        assert r.headers["content-type"] == "application/json"
        r = http.get("/api/profile/tables/raw/none")
        assert (r.status_code, r.json()) == (404, {"detail": "No profile found for raw.none"})
        assert [a["type"] for a in http.get("/api/profile/alerts?severity=warning").json()] == ["high_null_rate"]


# Each page's script bundle and a text only that bundle holds.
DOCS_PAGES = {"/docs": ("swagger-ui-bundle.js", "SwaggerUIBundle"), "/redoc": ("redoc.standalone.js", "Redoc")}


def test_api_pages_need_no_internet(project):
    """/docs and /redoc load every asset from the server itself."""
    with marl_docs_serve(project) as http:
        base = str(http.base_url).rstrip("/")
        for page, (bundle, marker) in DOCS_PAGES.items():
            r = http.get(page)
            assert r.status_code == 200 and r.headers["content-type"].startswith("text/html")
            html = r.text
            absolute = re.findall(r"(?:https?:)?//[^\s\"'<>)]+", html)
            assert [url for url in absolute if not url.startswith(base)] == [], page
            assets = re.findall(r'(?:src|href)="([^"]+)"', html)
            assert any(a.endswith("/" + bundle) for a in assets), html
            assert "/openapi.json" in html
            for asset in assets + ["/openapi.json"]:
                got = http.get(asset)
                assert got.status_code == 200 and got.content, (page, asset)
                if asset.endswith(bundle):
                    assert marker in got.text
            if shutil.which("chromium"):
                # The page really renders: the browser runs the bundle, which
                # fetches the API description and lays out the operations.
                # (The browser must not inherit the sanitizer runtime.)
                env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
                dom = subprocess.run(
                    ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--virtual-time-budget=10000",
                     "--dump-dom", base + page],
                    capture_output=True, text=True, timeout=120, env=env,
                ).stdout
                assert "/api/profile/tables/" in dom and "List Profiled Tables" in dom, page


def test_marl_docs_sample(tmp_path):
    shop = tmp_path / "shop"
    shutil.copytree(ROOT / "examples" / "shop", shop, ignore=shutil.ignore_patterns(".marl"))
    out = subprocess.run([str(MARL), "docs", "sample", "--project", str(shop)],
                         capture_output=True, text=True, check=True).stdout
    assert out.startswith("recorded sample profiles of 5 tables")
    for path in ("/api/profile/tables", "/api/profile/tables/raw/orders", "/api/profile/alerts", "/api/profile/stats"):
        assert f"GET {path}" in out
    assert out.count("-> 200") == 4
    again = subprocess.run([str(MARL), "docs", "sample", "--project", str(shop)],
                           capture_output=True, text=True, check=True).stdout
    assert "already holds profiles" in again
    with ProjectMetadataStore(shop) as store:
        assert len(store.get_all_profiled_tables()) == 5


def test_marl_docs_rejects_missing_project(tmp_path):
    r = subprocess.run([str(MARL), "docs", "serve", "--project", str(tmp_path / "nope")],
                       capture_output=True, text=True)
    assert r.returncode != 0 and "not found" in r.stderr
