"""`marl docs serve` (real uvicorn, real SQLite) with stores of realistic dirt:
bad values stay in their row, a locked store freezes nothing else, only
local Host names are answered, any name links to its page, HEAD works
where GET does, and no absolute path of the machine is served."""

import os
import re
import shutil
import signal
import sqlite3
import subprocess
import threading
import time
from datetime import datetime
from pathlib import Path

import httpx
import pytest
from serverkit import marl_docs_serve, prefix_proxy

from marl.docs_server import api_segment
from strix.compute.metadata import ProjectMetadataStore

PAGES = ["/", "/alerts", "/tables/raw/orders", "/tables/raw/orders/column?name=amount", "/tables/crm/accounts"]
ENDPOINTS = ["/api/profile/tables", "/api/profile/stats", "/api/profile/alerts",
             "/api/profile/tables/raw/orders", "/api/profile/tables/crm/accounts"]


def seed(root: Path) -> Path:
    with ProjectMetadataStore(root) as store:
        store.record_table_profile("raw", "orders", "full", 100, [
            {"column_name": "amount", "min_value": 1, "max_value": 99, "mean_value": 41.5,
             "histogram": [{"bin": "0-50", "count": 80}, {"bin": "50-100", "count": 20}]},
        ], profiled_at=datetime(2024, 6, 1), alerts=[
            {"source_name": "raw", "table_name": "orders", "type": "skew", "severity": "warning",
             "message": "good alert"}])
        store.record_table_profile("crm", "accounts", "full", 10, [
            {"column_name": "name", "min_value": "a", "max_value": "z"}], profiled_at=datetime(2024, 6, 2),
            alerts=[{"source_name": "crm", "table_name": "accounts", "type": "stale", "severity": "error",
                     "message": "bad alert"}])
    return root / ".marl" / "metadata.db"


def sql(*statements):
    def apply(db: Path) -> None:
        with sqlite3.connect(db) as conn:
            for statement in statements:
                conn.execute(statement)
    return apply


def not_a_database(db: Path) -> None:
    db.write_bytes(b"SQLite format 2\0" + b"\x17" * 4096)


def foreign_collation(db: Path) -> None:
    """The runs table as another tool wrote it, sorted by a collation only it has."""
    with sqlite3.connect(db) as conn:
        conn.create_collation("their_locale", lambda a, b: (a > b) - (a < b))
        conn.execute("ALTER TABLE profile_runs RENAME TO old_runs")
        conn.execute("CREATE TABLE profile_runs (run_id INTEGER PRIMARY KEY, source_name TEXT COLLATE their_locale,"
                     " table_name TEXT, profile_mode TEXT, row_count INTEGER, profiled_at TEXT)")
        conn.execute("INSERT INTO profile_runs SELECT * FROM old_runs")


DEEP = []
for _ in range(299):
    DEEP = [DEEP]

# name, how the store is spoiled, what crm.accounts looks like after (None: every read fails)
BAD_STORES = [
    ("profiled_at not a date", sql("UPDATE profile_runs SET profiled_at = 'last tuesday' WHERE source_name = 'crm'"),
     {"last_profiled": None}),
    ("alert message not UTF-8", sql("UPDATE profile_alerts SET message = CAST(X'C328FF' AS TEXT) WHERE source_name = 'crm'"),
     {"alert.message": None}),
    ("binary min_value", sql("UPDATE column_profiles SET min_value = X'89504E470D0A' WHERE column_name = 'name'"),
     {"min_value": None}),
    ("invalid JSON and infinity", sql("UPDATE column_profiles SET histogram = '[1,', mean_value = 9e999 "
                                      "WHERE column_name = 'name'"), {"histogram": None, "mean_value": None}),
    ("values the pages cannot draw", sql(
        "UPDATE column_profiles SET alerts = '5', histogram = '[{\"bin\": \"x\", \"count\": 1' || "
        "printf('%.400c', '0') || '}]' WHERE column_name = 'name'"), {"alerts": 5}),
    ("older schema", sql("ALTER TABLE profile_alerts DROP COLUMN severity",
                         "ALTER TABLE column_profiles DROP COLUMN duration_ms"),
     {"alert.severity": None, "duration_ms": None}),
    # JSON the store reads but a response cannot carry as it is: nesting
    # deeper than common encoders go is sent whole, lone surrogates as null
    ("nested 300 deep", sql("UPDATE column_profiles SET histogram = '" + "[" * 300 + "]" * 300 + "' "
                            "WHERE column_name = 'name'"), {"histogram": DEEP}),
    ("lone surrogates", sql("UPDATE column_profiles SET top_values = '[\"\\ud800\"]', "
                            "alerts = '[{\"message\": \"x\\udfff\"}]', histogram = '{\"\\udbff\": 1}' "
                            "WHERE column_name = 'name'"),
     {"top_values": None, "alerts": None, "histogram": None, "page": "bad-value"}),
    ("empty file", lambda db: db.write_bytes(b""), "empty"),
    ("not a database", not_a_database, None),
]


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    project = tmp_path_factory.mktemp("dirty")
    seed(project)
    with marl_docs_serve(project, ready="/openapi.json") as http:
        yield project, http


@pytest.mark.parametrize("spoil, after", [pytest.param(s, a, id=n) for n, s, a in BAD_STORES])
def test_one_bad_row_stays_local(served, tmp_path, spoil, after):
    project, http = served
    db = project / ".marl" / "metadata.db"
    fresh = seed(tmp_path)
    spoil(fresh)
    shutil.copy(fresh, db)  # each request opens the store anew

    responses = {path: http.get(path) for path in PAGES + ENDPOINTS}
    assert not [p for p, r in responses.items() if r.status_code == 500 and after is not None]
    for path in ENDPOINTS:
        assert responses[path].headers["content-type"] == "application/json", path
    if after is None:  # nothing can be read: JSON errors under /api, the error box on pages
        assert {r.status_code for r in responses.values()} == {500}
        for path in ENDPOINTS:
            assert "cannot be read" in responses[path].json()["detail"]
        assert all('id="error"' in responses[p].text for p in PAGES)
        return
    if after == "empty":
        assert responses["/api/profile/tables"].json() == [] and 'id="no-profiles"' in responses["/"].text
        return
    assert {p: r.status_code for p, r in responses.items() if r.status_code != 200} == {}
    tables = responses["/api/profile/tables"].json()
    assert [(t["source_name"], t["table_name"]) for t in tables] == [("crm", "accounts"), ("raw", "orders")]
    assert tables[1]["last_profiled"] == "2024-06-01T00:00:00"  # the good row is whole
    assert responses["/api/profile/tables/raw/orders"].json()["columns"][0]["histogram"][1]["count"] == 20
    assert "good alert" in responses["/alerts"].text and ">orders</a>" in responses["/"].text
    accounts = responses["/api/profile/tables/crm/accounts"].json()
    column = accounts["columns"][0]
    crm_alerts = [a for a in responses["/api/profile/alerts"].json() if a["source_name"] == "crm"]
    for key, value in after.items():
        if key == "page":  # the fields the API sends as null are marked bad values on the pages
            assert f'class="{value}"' in responses["/tables/crm/accounts"].text
            page = http.get("/tables/crm/accounts/column", params={"name": "name"})
            assert page.status_code == 200 and 'id="bad-alerts"' in page.text
            assert page.text.count(f'class="{value}"') == 3
        elif key == "last_profiled":
            assert tables[0]["last_profiled"] is None and accounts["profiled_at"] is None
        elif key.startswith("alert."):
            assert crm_alerts[0].get(key[6:]) is None and crm_alerts[0]["type"] == "stale"
        else:
            assert column[key] == value
    if after.get("alerts") == 5:  # served as the store holds it, shown as a marked bad value
        assert 'class="bad-value"' in responses["/tables/crm/accounts"].text
        page = http.get("/tables/crm/accounts/column", params={"name": "name"})
        assert page.status_code == 200 and 'id="bad-alerts"' in page.text


def test_foreign_failure_is_json_under_api(served, tmp_path):
    project, http = served
    seed(tmp_path)
    foreign_collation(tmp_path / ".marl" / "metadata.db")
    shutil.copy(tmp_path / ".marl" / "metadata.db", project / ".marl" / "metadata.db")
    r = http.get("/api/profile/tables")
    assert (r.status_code, r.json()) == (500, {"detail": "Internal Server Error"})
    r = http.get("/")
    assert r.status_code == 500 and 'id="error"' in r.text and "Internal Server Error" in r.text


def test_locked_store_freezes_nothing_else(tmp_path):
    db = seed(tmp_path)
    with marl_docs_serve(tmp_path) as http:
        writer = sqlite3.connect(db, isolation_level=None)
        writer.execute("BEGIN EXCLUSIVE")
        try:
            answers = {}

            def read(path):
                start = time.monotonic()
                answers[path] = (http.get(path), time.monotonic() - start)

            readers = [threading.Thread(target=read, args=(p,)) for p in ("/api/profile/tables", "/")]
            for t in readers:
                t.start()
            time.sleep(0.2)  # both are now waiting for the lock
            for path in ("/docs", "/openapi.json", "/plan"):
                start = time.monotonic()
                assert http.get(path).status_code == 200
                assert time.monotonic() - start < 1, path
            for t in readers:
                t.join()
        finally:
            writer.rollback()
            writer.close()
        r, took = answers["/api/profile/tables"]
        assert r.status_code == 503 and "busy" in r.json()["detail"] and took < 2.5
        r, took = answers["/"]
        assert r.status_code == 503 and "store is busy" in r.text and took < 2.5
        assert http.get("/api/profile/tables").status_code == 200  # and reads again once free


def test_a_burst_on_the_locked_store_starves_nothing_else(tmp_path):
    """400 API requests on a locked store: the plan page, the API pages and
    static files, which do not read it, still answer at once; a page that
    reads it is not queued behind the burst; reads beyond the queue's bound
    answer "busy" at once."""
    import asyncio

    db = seed(tmp_path)
    shop = Path(__file__).resolve().parents[1] / "examples" / "shop" / "manifest.json"
    with marl_docs_serve(tmp_path, "--manifest", str(shop)) as http:
        deadline = time.monotonic() + 30
        while 'id="laying-out"' in http.get("/plan").text and time.monotonic() < deadline:
            time.sleep(0.2)
        writer = sqlite3.connect(db, isolation_level=None)
        writer.execute("BEGIN EXCLUSIVE")
        statuses, details = [], []

        async def burst():
            limits = httpx.Limits(max_connections=400, max_keepalive_connections=0)
            async with httpx.AsyncClient(base_url=http.base_url, limits=limits, timeout=120) as client:
                answers = await asyncio.gather(*(client.get("/api/profile/tables") for _ in range(400)))
            statuses.extend(r.status_code for r in answers)
            details.extend(r.json()["detail"] for r in answers if r.status_code == 503)
            assert all(r.headers["retry-after"] == "1" for r in answers if r.status_code == 503)

        burster = threading.Thread(target=asyncio.run, args=(burst(),))
        burster.start()
        try:
            time.sleep(1.5)  # the burst is now queued for the store
            for path in ("/plan", "/docs-assets/favicon.png", "/docs", "/openapi.json"):
                start = time.monotonic()
                assert http.get(path).status_code == 200, path
                assert time.monotonic() - start < 1.5, path
            start = time.monotonic()
            r = http.get("/")
            assert r.status_code == 503 and "store is busy" in r.text and time.monotonic() - start < 5
        finally:
            writer.rollback()
            writer.close()
            burster.join(120)
        assert len(statuses) == 400 and set(statuses) <= {200, 503} and 200 in statuses
        assert sum("reads are already waiting" in d for d in details) > 300  # answered at once


NAMES = [("s/1", "a/b"), ("raw", ".."), ("raw", "."), ("~x", "~"), ("raw", "with space?&#"), ("raw", "")]


def test_hosts_names_and_head(tmp_path):
    with ProjectMetadataStore(tmp_path) as store:
        for source, table in NAMES:
            store.record_table_profile(source, table, "full", 1, [{"column_name": f"{table}/c"}],
                                       profiled_at=datetime(2024, 1, 1))
    with marl_docs_serve(tmp_path, "--allow-host", "docs.internal") as http:
        port = http.base_url.port
        # Host header, path, status
        for host, path, status in [
            (f"127.0.0.1:{port}", "/", 200), (f"localhost:{port}", "/api/profile/stats", 200),
            ("[::1]", "/docs", 200), ("docs.internal", "/", 200),
            ("evil.example", "/", 400), ("evil.example", "/api/profile/stats", 400),
            ("localhost.evil.example", "/docs", 400), ("127.0.0.1.nip.io", "/openapi.json", 400),
        ]:
            r = http.get(path, headers={"host": host})
            assert r.status_code == status, (host, path)
            if status == 400 and path.startswith("/api"):
                assert r.json() == {"detail": "Invalid host header"}

        # every name links to its own page, and that page reads its own table
        index = http.get("/").text
        links = re.findall(r'<td><a href="([^"]+)">', index)
        assert len(links) == len(NAMES)
        for link in links:
            page = http.get(link)
            assert page.status_code == 200, link
            (column_link,) = re.findall(r'<td><a href="([^"]+/column\?[^"]+)">', page.text)
            assert http.get(column_link).status_code == 200, column_link
        for source, table in NAMES:
            r = http.get(f"/api/profile/tables/{api_segment(source)}/{api_segment(table)}")
            assert (r.status_code, r.json()["source_name"], r.json()["table_name"]) == (200, source, table)

        # HEAD wherever GET: same status and length, no body
        for path in ["/", "/alerts", links[0], "/api/profile/tables", "/api/profile/tables/raw/none",
                     "/docs", "/openapi.json", "/docs-assets/favicon.png", "/plan"]:
            got, head = http.get(path), http.head(path)
            assert (head.status_code, head.content) == (got.status_code, b""), path
            assert head.headers.get("content-length") == got.headers.get("content-length"), path

        # nothing served names the machine's folders
        served = [http.get(p).text for p in ("/", "/openapi.json", "/docs", "/redoc", "/plan")]
        assert not [t for t in served if str(tmp_path) in t or str(Path.home()) + "/" in t]


def crawl(*starts: str, limit: int = 80):
    """Every page and file reachable from `starts` by the links, sources and
    form actions of its HTML pages (same origin only): {url: response}."""
    import html
    from urllib.parse import urljoin, urlsplit

    origin = urlsplit(starts[0])[:2]
    seen, queue = {}, list(starts)
    with httpx.Client(timeout=30) as client:
        while queue and len(seen) < limit:
            url = queue.pop(0)
            if url in seen:
                continue
            seen[url] = response = client.get(url)
            if "text/html" not in response.headers.get("content-type", ""):
                continue
            for link in re.findall(r'(?:href|src|action)="([^"#]*)', response.text):
                target = urljoin(url, html.unescape(link))
                if link and urlsplit(target)[:2] == origin and target not in seen:
                    queue.append(target)
    return seen


def test_every_link_works_under_a_prefix_behind_a_host_rewriting_proxy(tmp_path):
    seed(tmp_path)
    shop = Path(__file__).resolve().parents[1] / "examples" / "shop" / "manifest.json"
    with marl_docs_serve(tmp_path, "--root-path", "/marl", "--manifest", str(shop)) as http, \
            prefix_proxy(str(http.base_url), "/marl") as proxied:
        index = http.get("/").text
        assert not re.findall(r'(?:href|action|src)="http', index)  # links are path-only
        seen = crawl(proxied + "/", proxied + "/redoc")  # nothing links to ReDoc
        paths = {httpx.URL(url).path for url in seen}
        assert {"/marl/", "/marl/alerts", "/marl/plan", "/marl/docs", "/marl/redoc", "/marl/tables/raw/orders",
                "/marl/tables/raw/orders/column", "/marl/docs-assets/swagger-ui-bundle.js"} <= paths
        assert {url: r.status_code for url, r in seen.items() if r.status_code != 200} == {}
        for path in ("/alerts/", "/plan/", "/api/profile/stats/"):  # redirected to the path without "/"
            r = httpx.get(proxied + path, follow_redirects=True)
            assert (r.status_code, str(r.url)) == (200, proxied + path.rstrip("/")), path

def server_children(pid: int):
    """Live processes whose parent is ``pid``."""
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid and fields[0] != "Z":
            found.append(int(stat.parent.name))
    return found


def alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads /proc")
@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT, signal.SIGKILL])
def test_dot_ends_with_the_server(tmp_path, stop):
    """A layout still running when the server stops (here a `dot` that never
    finishes) leaves no process behind, even when the server is killed."""
    from serverkit import MARL, free_port

    fake = tmp_path / "bin" / "dot"
    fake.parent.mkdir()
    fake.write_text("#!/bin/sh\nexec sleep 300\n")
    fake.chmod(0o755)
    manifest = tmp_path / "manifest.json"
    manifest.write_text('{"nodes": {"model.x.a": {"resource_type": "model"}}}')
    port = free_port()
    env = dict(os.environ, PATH=f"{fake.parent}{os.pathsep}{os.environ['PATH']}")
    server = subprocess.Popen([str(MARL), "docs", "serve", "--project", str(tmp_path), "--port", str(port),
                               "--manifest", str(manifest)], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        dots = []
        while not dots and time.monotonic() < deadline:
            try:
                assert 'id="graph-laying-out"' in httpx.get(f"http://127.0.0.1:{port}/plan", timeout=10).text
            except httpx.TransportError:
                pass
            dots = server_children(server.pid)
            time.sleep(0.2)
        assert len(dots) == 1 and "sleep" in Path(f"/proc/{dots[0]}/cmdline").read_text()
        server.send_signal(stop)
        assert server.wait(timeout=15) is not None
        deadline = time.monotonic() + 5
        while alive(dots[0]) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not alive(dots[0])
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
