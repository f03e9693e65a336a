"""The docs server's pages without a browser: how profile JSON becomes chart
bars and displayed values, how the plan graph is built and laid out by the
real `dot`, and how the pages behave when there is nothing (or something
broken) to show."""

import html
import json
import math
import os
import re
import subprocess
import sys
import time
import warnings
from pathlib import Path

import pytest

from marl.pages import plan_graph, profile_data
from strix.contracts.graph.loader import load_manifest

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from fastapi.testclient import TestClient

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
SHOP_MANIFEST = ROOT / "examples" / "shop" / "manifest.json"
needs_dot = pytest.mark.skipif(not plan_graph.shutil.which("dot"), reason="needs graphviz")


# --- profile JSON as chart bars -------------------------------------------------------


def bars(shaped):
    return None if shaped is None else [(b.label, b.count, round(b.share, 3)) for b in shaped]


@pytest.mark.parametrize("histogram, expected", [
    ([{"bin": "0-10", "count": 5}, {"bin": "10-20", "count": 10}], [("0-10", 5, 0.5), ("10-20", 10, 1.0)]),
    ([{"start": 0, "end": 10, "count": 2}, {"start": 10, "end": 20.5, "count": 4}],
     [("0\u201310", 2, 0.5), ("10\u201320.50", 4, 1.0)]),
    ([["a", 1], ["b", 3]], [("a", 1, 0.333), ("b", 3, 1.0)]),
    ({"bins": [0, 5, 10], "counts": [3, 6]}, [("0\u20135", 3, 0.5), ("5\u201310", 6, 1.0)]),
    ({"edges": ["x", "y"], "counts": [1, 1]}, [("x", 1, 1.0), ("y", 1, 1.0)]),
    ({"low": 2, "high": 0}, [("low", 2, 1.0), ("high", 0, 0.0)]),
    ([{"bin": "a", "count": 0}, {"bin": "b", "count": 0}], [("a", 0, 0.0), ("b", 0, 0.0)]),
    ([{"bin": "a", "count": -3}, {"bin": "b", "count": 6}], [("a", -3, 0.0), ("b", 6, 1.0)]),
    # not understood: shown as JSON text instead of drawn wrong
    ({"bins": [0, 5, 10, 15], "counts": [3, 6]}, None),
    ([{"bin": "a", "count": "many"}], None),
    ([{"bin": "a", "count": float("nan")}], None),
    ([{"bin": "a", "count": True}], None),
    ([{"bin": "a"}], None),
    ([1, 2, 3], None),
    ([], None),
    ("0-10:5", None),
    (None, None),
])
def test_histogram_bars(histogram, expected):
    assert bars(profile_data.histogram_bars(histogram)) == expected


def test_top_value_bars_keep_the_profilers_order_and_label_null():
    top = [{"value": "shipped", "count": 700}, {"value": None, "count": 900}, {"value": 3, "frequency": 70}]
    assert bars(profile_data.top_value_bars(top)) == [
        ("shipped", 700, 0.778), ("\u2014", 900, 1.0), ("3", 70, 0.078)]
    assert bars(profile_data.top_value_bars({"DE": 4, "US": 2})) == [("DE", 4, 1.0), ("US", 2, 0.5)]


@pytest.mark.parametrize("value, shown", [
    (None, "\u2014"), (0, "0"), (1234567, "1,234,567"), (12.0, "12"), (41.5, "41.50"), (0.000123, "0.000123"),
    (12345.678, "12,345.7"), (float("nan"), "nan"), (True, "true"), ("2024-01-01", "2024-01-01"),
    ({"a": [1]}, '{"a": [1]}'),
])
def test_fmt(value, shown):
    assert profile_data.fmt(value) == shown


@pytest.mark.parametrize("percent, width", [
    (25.0, 25.0), (0, 0.0), (-3, 0.0), (250, 100.0), (None, None), ("12", None), (math.nan, None), (True, None),
])
def test_bar_width_stays_within_the_meter(percent, width):
    assert profile_data.bar_width(percent) == width


@pytest.mark.parametrize("column, kind", [
    ({"mean_value": 1.5, "min_length": 3}, "number"),
    ({"min_value": "2021-01-01", "max_value": "2024-06-30T10:00:00"}, "date"),
    ({"min_value": "apple", "max_value": "pear", "max_length": 5}, "text"),
    ({"min_value": 1, "max_value": 9}, "number"),
    ({"min_value": None, "max_value": None}, ""),
])
def test_column_kind(column, kind):
    assert profile_data.column_kind(column) == kind


def test_severities_known_first():
    assert profile_data.ordered_severities({"info": 3, "critical": 1, "error": 2}) == [
        ("error", 2), ("info", 3), ("critical", 1)]


# --- the plan graph ----------------------------------------------------------------------


def write_manifest(tmp_path, document) -> Path:
    path = tmp_path / "manifest.json"
    path.write_text(json.dumps(document))
    return path


def test_graph_of_the_shop_example_matches_marl_plan():
    graph = plan_graph.build_graph(load_manifest(str(SHOP_MANIFEST)), "warehouse_pg")
    out = subprocess.run([str(MARL), "plan", str(SHOP_MANIFEST), "--target", "warehouse_pg", "--json"],
                         capture_output=True, text=True, check=True).stdout
    listed = json.loads(out)
    assert graph.summary == listed["summary"]
    assert [(n.unique_id, n.strategy, n.reason) for n in graph.nodes] == [
        (n["unique_id"], n["strategy"], n["reason"]) for n in listed["models"]]
    by_id = {n.unique_id: n for n in graph.nodes}
    key = {n.key: n.unique_id for n in graph.nodes} | {s.key: s.unique_id for s in graph.sources}
    edges = {(key[a], key[b]) for a, b in graph.edges}
    # refs between models, not to the test that is not drawn
    assert ("model.shop.orders_enriched", "model.shop.daily_revenue") in edges
    assert ("seed.shop.fx_rates", "model.shop.daily_revenue") in edges
    assert not any(b.startswith("test.") or a.startswith("test.") for a, b in edges)
    # a seed's sources are not read (the advisor does not look at them)
    assert not any(b == "seed.shop.fx_rates" for a, b in edges)
    clusters = {conn: sorted(s.unique_id for s in members) for conn, members in graph.clusters()}
    assert list(clusters) == ["crm_mysql", "lake_dbx", "warehouse_pg", None]
    assert clusters["crm_mysql"] == ["source.shop.crm.accounts", "source.shop.crm.contacts", "source.shop.crm.tickets"]
    assert clusters[None] == ["source.shop.legacy.archive"]
    assert by_id["model.shop.customer_360"].connection_label == "federated: crm_mysql, lake_dbx, warehouse_pg"
    assert by_id["model.shop.stg_orders"].connection_label == "warehouse_pg"


@needs_dot
def test_hostile_names_survive_the_layout(tmp_path):
    odd = ['model.x.q"uote', "model.x.back\\slash\\n", "model.x.<b>&amp;", "model.x.brace}{;", "model.x.\\N\\G",
           "model.x.nul\x00bell\x07esc\x1b[31m", "model.x." + "long" * 4000]
    document = {
        "sources": {'source.x.s."weird"': {"connection": 'pg "main"\\'}},
        "nodes": {uid: {"resource_type": "model", "name": uid.split(".", 2)[2],
                        "sources": ['source.x.s."weird"', "source.x.s.missing"],
                        "depends_on": {"nodes": odd[:i]}}
                  for i, uid in enumerate(odd)},
    }
    graph = plan_graph.build_graph(load_manifest(str(write_manifest(tmp_path, document))))
    svg = plan_graph.render_svg(graph)
    import xml.etree.ElementTree as ET

    ns = {"s": "http://www.w3.org/2000/svg"}
    tree = ET.fromstring(svg)
    groups = tree.findall(".//s:g[@class]", ns)
    titles = {g.get("id"): g.find("s:title", ns).text for g in groups if "node" in g.get("class").split()}
    texts = {g.get("id"): [t.text for t in g.findall("s:text", ns)] for g in groups}
    for node in graph.nodes:
        # the full id on hover, the name cut short in the box; control characters dropped
        assert titles[node.key].split("\n")[0] == plan_graph.clean_text(node.unique_id)
        assert texts[node.key][0] == plan_graph.short_label(node.name)
    assert texts["m5"][0] == "nulbellesc[31m"
    assert len(texts["m6"][0]) == plan_graph.LABEL_CHARS and len(titles["m6"].split("\n")[0]) == 16008
    assert {tuple(texts[s.key]) for s in graph.sources} == {('s."weird"',), ("s.missing",)}
    assert sum("edge" in g.get("class").split() for g in groups) == len(graph.edges) == 7 * 2 + 21
    unknown = next(s for s in graph.sources if not s.known)
    assert titles[unknown.key] == "source.x.s.missing\nnot in the manifest"


def bench_manifests():
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import bench_plan_graph
    finally:
        sys.path.remove(str(ROOT / "bench"))
    return bench_plan_graph


@needs_dot
@pytest.mark.parametrize("shape, size, limit, drawn_whole", [
    ("synthetic_manifest", 5000, 20, False),  # the overview of connections and federated models
    ("chain_manifest", 200, 10, True),        # long chain: whole, sources left out of the layout
])
def test_plan_html_of_large_projects_in_seconds(tmp_path, shape, size, limit, drawn_whole):
    document = getattr(bench_manifests(), shape)(size)
    manifest, page = write_manifest(tmp_path, document), tmp_path / "plan.html"
    start = time.monotonic()
    subprocess.run([str(MARL), "plan", str(manifest), "--target", "warehouse_pg", "--html", str(page)],
                   check=True, capture_output=True, timeout=120)
    elapsed = time.monotonic() - start
    assert elapsed < limit, f"marl plan --html of {size} models took {elapsed:.1f} s"
    text = page.read_text()
    data = json.loads(html.unescape(text.split('<script type="application/json" id="plan-data">')[1]
                                    .split("</script>")[0]))
    planned = [uid for uid, node in document["nodes"].items() if node["resource_type"] in ("model", "seed")]
    assert [row[0] for row in data["nodes"]] == planned  # every model is named, in manifest order
    drawn = html.unescape(text).count('class="node plan-node ')
    if drawn_whole:
        assert drawn == size and 'class="cluster' not in text
        deps = {row[0]: [data["nodes"][d][0] for d in row[5]] for row in data["nodes"]}
        assert deps["model.chain.c7"] == ["model.chain.c6"] and deps["model.chain.c0"] == []
    else:
        assert 'id="overview-heading"' in text and 0 < drawn <= plan_graph.OVERVIEW_MODELS
        federated = sum(1 for row in data["nodes"] if row[2] == plan_graph.KIND_CODES["federated"])
        assert f'id="count-federated">{federated}<' in text and federated > plan_graph.OVERVIEW_MODELS


@pytest.mark.parametrize("limit", [60, 2])
def test_overview_connects_federated_models_to_what_they_read_and_write(monkeypatch, limit):
    monkeypatch.setattr(plan_graph, "OVERVIEW_MODELS", limit)
    graph = plan_graph.build_graph(load_manifest(str(SHOP_MANIFEST)), "warehouse_pg")
    overview = plan_graph.build_overview(graph)
    name = {b.key: b.title.split("\n")[0].removeprefix("connection ") for b in overview.connections}
    assert set(name.values()) == {"crm_mysql", "lake_dbx", "warehouse_pg (target)"}
    federated = {n.key: n for n in graph.nodes if n.strategy == "federated"}
    assert sorted(k for b in overview.federated for k in b.members) == sorted(federated)
    for box in overview.federated:
        reads = {name[a] for a, b, cls in overview.edges if b == box.key and cls == "read"}
        writes = {name[b] for a, b, cls in overview.edges if a == box.key and cls == "write"}
        for key in box.members:
            # every model of a box reads exactly the box's connections
            assert {c.replace("warehouse_pg", "warehouse_pg (target)")
                    for c in federated[key].source_connections} == reads
        assert writes == (set() if "warehouse_pg (target)" in reads else {"warehouse_pg (target)"})
    assert overview.grouped == (len(federated) > limit)
    assert len(overview.federated) == (len({tuple(n.source_connections) for n in federated.values()})
                                       if overview.grouped else len(federated))


@needs_dot
@pytest.mark.parametrize("shape, args, target, grouping", [
    # thousands of distinct sets of connections read, over 400 connections
    ("mixed_manifest", (20000, 400), "conn_000", "pairs"),
    ("mixed_manifest", (4000, 60), "conn_000", "pairs"),
    ("synthetic_manifest", (5000,), "warehouse_pg", "mixes"),
])
def test_overview_is_bounded_whatever_the_shape(shape, args, target, grouping):
    from strix.contracts.graph.loader import manifest_from_dict

    graph = plan_graph.build_graph(manifest_from_dict(getattr(bench_manifests(), shape)(*args)), target)
    assert not graph.drawn_whole
    overview = plan_graph.build_overview(graph)
    assert overview.grouping == grouping
    assert overview.boxes <= plan_graph.OVERVIEW_CONNECTIONS + 1 + plan_graph.OVERVIEW_GROUPS
    assert len(overview.edges) <= plan_graph.OVERVIEW_EDGES + len(overview.federated)

    # Every connection is in exactly one box, the target in one of its own.
    names = [name for box in overview.connections for name in box.names]
    assert sorted(names) == sorted(overview.connection_key) and len(set(names)) == len(names)
    box_of = overview.connection_key
    assert next(b for b in overview.connections if b.key == box_of[target]).names == [target]
    # Every federated model is in exactly one box, which reads the boxes of
    # the connections that matter most among those it reads.
    federated = {n.key: n for n in graph.nodes if n.strategy == "federated"}
    assert sorted(k for b in overview.federated for k in b.members) == sorted(federated)
    read_by = {}
    for node in federated.values():
        for c in node.source_connections:
            read_by[c] = read_by.get(c, 0) + 1
    weight = {b.key: math.inf if b.names == [target] else max(read_by.get(c, 0) for c in b.names)
              for b in overview.connections}
    for box in overview.federated:
        reads = {a for a, b, cls in overview.edges if b == box.key and cls == "read"}
        for key in box.members:
            mine = {box_of[c] for c in federated[key].source_connections}
            if grouping == "pairs":  # the pair of connections most read, or the first alone
                assert reads <= mine and len(reads) <= 2
                assert max((weight[k] for k in mine - reads), default=0) <= min(weight[k] for k in reads)
            else:
                assert reads == mine

    # The table of the connections most read, counting the models reading both.
    assert len(overview.together) == min(plan_graph.TOGETHER_CONNECTIONS, len(read_by))
    assert min(read_by[c] for c in overview.together) >= max(
        (n for c, n in read_by.items() if c not in overview.together and c != target), default=0)
    for i, a in enumerate(overview.together):
        for j, b in enumerate(overview.together):
            assert overview.together_counts[i][j] == sum(
                1 for n in federated.values() if a in n.source_connections and b in n.source_connections)

    start = time.monotonic()
    drawn = plan_graph.prepare(graph)
    svg = drawn.lay_out(timeout=30)
    assert time.monotonic() - start < 10 and drawn.overview is not None
    assert html.unescape(svg).count('class="node ') == overview.boxes


def test_marl_plan_html_without_graphviz(tmp_path):
    env = dict(os.environ, PATH=str(tmp_path),   # no dot on the PATH
               PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sys.executable, "-m", "marl", "plan", str(SHOP_MANIFEST), "--html", str(tmp_path / "p.html")],
                       capture_output=True, text=True, env=env)
    # Graphviz is installed by set-up: without it the command line is not set up.
    assert r.returncode == 3 and "`dot` command was not found" in r.stderr
    assert not (tmp_path / "p.html").exists()


# --- the pages with nothing, or something broken, to show --------------------------------


@pytest.fixture
def page_client():
    from marl.docs_cmd import create_app
    from strix.task.docs.api import profile

    clients = []

    def make(root, manifest=None, target=None):
        client = TestClient(create_app(root, manifest, target), base_url="http://127.0.0.1",
                            raise_server_exceptions=False)
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.close()
    profile._project_root = None
    profile._store_initialized = False


def test_store_without_profiles_gives_a_hint(tmp_path, page_client):
    client = page_client(tmp_path)
    r = client.get("/")
    assert r.status_code == 200
    assert 'id="no-profiles"' in r.text and "bin/marl docs sample --project" in r.text
    assert not (tmp_path / ".marl").exists()  # reading never creates the store
    r = client.get("/alerts")
    assert r.status_code == 200 and 'id="no-alerts"' in r.text


def test_store_that_cannot_be_opened_is_reported(tmp_path, page_client):
    (tmp_path / ".marl").mkdir()
    (tmp_path / ".marl" / "metadata.db").write_text("this is not a database")
    client = page_client(tmp_path)
    for path in ("/", "/alerts", "/tables/raw/orders", "/tables/raw/orders/column?name=id"):
        r = client.get(path)
        assert r.status_code == 500, path
        assert "The profile API answered 500" in r.text


def test_plan_page_without_or_with_a_broken_manifest(tmp_path, page_client):
    r = page_client(tmp_path).get("/plan")
    assert r.status_code == 200 and "--manifest MANIFEST.json" in r.text
    manifest = write_manifest(tmp_path, {"nodes": {"model.x.a": {"resource_type": "model", "colour": 1}}})
    client = page_client(tmp_path, manifest)
    r = client.get("/plan")
    assert 'id="error"' in r.text and "colour" in r.text
    # a corrected manifest is picked up without restarting the server
    manifest.write_text(json.dumps({"nodes": {"model.x.a": {"resource_type": "model"}}}))
    os.utime(manifest, ns=(time.time_ns(), time.time_ns() + 10**9))
    if plan_graph.shutil.which("dot"):
        r = client.get("/plan")
        assert 'id="error"' not in r.text and html.unescape(r.text).count('class="node plan-node ') == 1


def plan_layout_state(client, page):
    """What the page's own script asks the server while its drawing is laid out."""
    url = re.search(r'data-layout="([^"]+)"', page).group(1)
    assert not url.startswith("/")  # relative to the page, so it works under any prefix
    return client.get("/" + html.unescape(url)).json()


@needs_dot
@pytest.mark.parametrize("stage", ["prepare", "layout_svg"])
def test_plan_page_answers_while_laying_out_and_shows_failures_in_its_box(tmp_path, page_client, monkeypatch,
                                                                          stage):
    from marl.pages import plan_pages

    monkeypatch.setattr(plan_pages, "FIRST_WAIT", 0)
    gate = __import__("threading").Event()
    slow = getattr(plan_graph, stage)
    monkeypatch.setattr(plan_graph, stage, lambda *a, **k: gate.wait(10) and slow(*a, **k))
    client = page_client(tmp_path, SHOP_MANIFEST)
    deadline = time.monotonic() + 30
    if stage == "prepare":  # reading the manifest: a page that reloads itself
        r = client.get("/plan")
        assert r.status_code == 200 and 'id="laying-out"' in r.text and 'http-equiv="refresh"' in r.text
        assert "manifest.json" in r.text and str(SHOP_MANIFEST.parent) not in r.text
        gate.set()
        while 'id="laying-out"' in (r := client.get("/plan")).text and time.monotonic() < deadline:
            time.sleep(0.1)
    else:  # laying out: everything but the drawing is there, and works
        while 'id="laying-out"' in (r := client.get("/plan")).text and time.monotonic() < deadline:
            time.sleep(0.1)
        assert 'id="graph-laying-out"' in r.text and "<svg" not in r.text.split('id="focus-graph"')[0]
        for part in ('id="summary"', 'id="plan-data"', 'id="advice-steps"', 'id="federated"', 'id="focus-find"'):
            assert part in r.text, part
        assert 'http-equiv="refresh"' not in r.text
        assert plan_layout_state(client, r.text)["state"] == "laying_out"
        gate.set()
        while (state := plan_layout_state(client, r.text))["state"] == "laying_out" and time.monotonic() < deadline:
            time.sleep(0.1)
        assert state["state"] == "done" and state["svg"].startswith("<svg")
        drawn = html.unescape(state["svg"]).count('class="node plan-node ')
        assert drawn == len(plan_graph.build_graph(load_manifest(str(SHOP_MANIFEST))).nodes)
    assert 'id="graph"' in r.text and 'id="error"' not in r.text
    # Every later request is served from that same layout, advice included.
    while "<svg" not in (r := client.get("/plan")).text and time.monotonic() < deadline:
        time.sleep(0.1)
    assert "<svg" in r.text and 'id="error"' not in r.text and 'id="advice-steps"' in r.text
    assert client.get("/plan/layout?v=0").json() == {"state": "stale"}  # a page of an older version reloads

    # Whatever goes wrong is the page's error box, not a bare 500, and names
    # no absolute path; when only the layout fails, the rest of the page stays.
    monkeypatch.setattr(plan_pages, "FIRST_WAIT", 30)
    manifest = tmp_path / "m.json"
    manifest.write_text(json.dumps({"nodes": {"model.x.a": {"resource_type": "model"}}}))

    def broken(*args, **kwargs):
        raise (plan_graph.GraphvizError if stage == "layout_svg" else RuntimeError)(f"no room in {manifest}")

    monkeypatch.setattr(plan_graph, stage, broken)
    r = page_client(tmp_path, manifest).get("/plan")
    assert r.status_code == 200 and str(tmp_path) not in r.text
    if stage == "prepare":
        assert 'id="error"' in r.text and "cannot draw the plan graph: RuntimeError: no room in the manifest" in r.text
    else:
        assert 'id="error"' not in r.text and 'id="plan-data"' in r.text
        assert re.search(r'id="graph-error">no room in the manifest<', r.text)


def children_running(name: str):
    """Processes of this one's children whose command line starts with ``name``."""
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
            cmdline = (stat.parent / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if int(fields[1]) == os.getpid() and fields[0] != "Z" and cmdline[0].decode().endswith(name):
            found.append(int(stat.parent.name))
    return found


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return value


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_stale_layout_is_cancelled_and_dot_ends_with_the_server(tmp_path, monkeypatch):
    """A layout that never ends (a stand-in `dot` that sleeps) is killed as
    soon as the manifest changes, and the newer one when the server stops."""
    from fastapi.testclient import TestClient

    from marl.docs_cmd import create_app
    from marl.pages import plan_pages

    monkeypatch.setattr(plan_pages, "FIRST_WAIT", 0.5)
    monkeypatch.setattr(plan_graph, "_dot_argv", lambda: ["sleep", "300"])
    manifest = write_manifest(tmp_path, {"nodes": {"model.x.a": {"resource_type": "model"}}})
    with TestClient(create_app(tmp_path, manifest), base_url="http://127.0.0.1") as client:
        r = client.get("/plan")
        assert 'id="graph-laying-out"' in r.text
        first = wait_for(lambda: children_running("sleep"))
        assert len(first) == 1
        manifest.write_text(json.dumps({"nodes": {"model.x.b": {"resource_type": "model"}}}))
        os.utime(manifest, ns=(time.time_ns(), time.time_ns() + 10**9))
        assert plan_layout_state(client, r.text) == {"state": "stale"}
        second = wait_for(lambda: [p for p in children_running("sleep") if p not in first])
        assert len(second) == 1 and wait_for(lambda: first[0] not in children_running("sleep"), 5)
        r = client.get("/plan")
        assert "model.x.b" in r.text and 'id="graph-laying-out"' in r.text
    assert wait_for(lambda: not children_running("sleep"), 5)


@pytest.mark.parametrize("path, status, kind, marker", [
    ("/no/such/page", 404, "text/html", 'id="not-found"'),
    ("/?page=abc", 404, "text/html", 'id="not-found"'),
    ("/alerts?page=1.5", 404, "text/html", 'id="not-found"'),
    ("/tables/raw/orders/column", 404, "text/html", 'id="not-found"'),  # no column name
    ("/?page=-3", 200, "text/html", 'id="no-profiles"'),
    ("/api/no/such/endpoint", 404, "application/json", '"detail":"Not Found"'),
    ("/api/profile/alerts/extra", 404, "application/json", '"detail":"Not Found"'),
])
def test_addresses_that_name_no_page(tmp_path, page_client, path, status, kind, marker):
    """People get a page, programs under /api get JSON."""
    r = page_client(tmp_path).get(path)
    assert (r.status_code, r.headers["content-type"].split(";")[0]) == (status, kind)
    assert marker in r.text


def test_route_names_used_by_the_pages_exist(tmp_path, page_client):
    """A link to a route that does not exist fails, here, rather than
    falling back to a guessed address."""
    import re

    from starlette.routing import NoMatchFound

    from marl.pages import render

    app = page_client(tmp_path).app
    used = set()
    for template in render.TEMPLATES.glob("*.html"):
        used |= set(re.findall(r"page_url\('([^']+)'", template.read_text()))
    assert {"tables_page", "alerts_page", "plan_page", "swagger_ui"} <= used
    for name in used:
        assert app.url_path_for(name).startswith("/"), name

    class Request:
        scope = {"root_path": "/prefix"}
        app = None

    Request.app = app
    page = render.environment().from_string("{{ page_url('plan_page') }} {{ page_url('alerts_page', {'a': 1}) }}")
    assert page.render(request=Request()) == "/prefix/plan /prefix/alerts?a=1"
    with pytest.raises(NoMatchFound):
        render.environment().from_string("{{ page_url('plan_view') }}").render(request=Request())


def dangling_link(path):
    path.symlink_to(path.parent / "gone.db")


@pytest.mark.parametrize("make, said", [
    (lambda p: p.mkdir(), "is a directory"),
    (dangling_link, "symbolic link to a file that does not exist"),
    (lambda p: os.mkfifo(p), "is a named pipe (FIFO)"),
])
def test_store_path_that_is_no_file_is_said_so(tmp_path, page_client, make, said):
    from marl.profile_access import store_path_problem

    (tmp_path / ".marl").mkdir()
    make(tmp_path / ".marl" / "metadata.db")
    assert said in store_path_problem(tmp_path)
    r = page_client(tmp_path).get("/")
    assert r.status_code == 200 and 'id="store-warning"' in r.text and said in r.text
    assert 'id="no-profiles"' not in r.text and str(tmp_path) not in r.text


def test_no_store_and_a_store_file_are_no_problem(tmp_path):
    from marl.profile_access import store_path_problem

    assert store_path_problem(tmp_path) is None
    (tmp_path / ".marl").mkdir()
    (tmp_path / ".marl" / "metadata.db").write_bytes(b"")
    assert store_path_problem(tmp_path) is None


@pytest.mark.parametrize("given, name, warned", [
    ("docs.internal", "docs.internal", None),
    ("Docs.Internal", "docs.internal", None),
    ("[fe80::1]", "[fe80::1]", None),
    ("docs.internal:8080", "docs.internal", "the port is not part of the name"),
    ("[::2]:8580", "[::2]", "the port is not part of the name"),
    ("fe80::1", "[fe80::1]", "write IPv6 addresses in brackets"),
    ("fe80::1:8080", "[fe80::1:8080]", "write IPv6 addresses in brackets"),
    ("a:b:c", None, "neither a host name nor an address"),
    ("[nope]", None, "not an IPv6 address in brackets"),
    ("two words", None, "not a host name"),
])
def test_allow_host_names_are_read_or_warned_about(given, name, warned):
    from marl.docs_server import LOOPBACK_HOSTS, allowed_hosts

    notes = []
    names = allowed_hosts("127.0.0.1", [given], warn=notes.append)
    assert names == [*LOOPBACK_HOSTS, *([name] if name else [])]
    assert (warned in notes[0]) if warned else notes == []


@pytest.mark.parametrize("count, merge, limit, shown, first, note", [
    (5, True, 4, 3, ("b0 \u2026 b1", 1.0), "5 bins drawn as 3 of up to 2 neighbouring bins each"),
    (4, True, 4, 4, ("b0", 0.0), None),
    (150_000, True, 100, 100, ("b0 \u2026 b1499", 1499 * 1500 / 2), "150,000 bins drawn as 100"),
    (9, False, 4, 4, ("b0", 0.0), "the first 4 of 9 values"),
])
def test_charts_of_many_bars_are_summarised(count, merge, limit, shown, first, note):
    histogram = [{"bin": f"b{i}", "count": i} for i in range(count)]
    bars, said = profile_data.summarised(profile_data.histogram_bars(histogram), merge, limit)
    assert len(bars) == shown and (bars[0].label, bars[0].count) == first
    assert max(b.share for b in bars) == 1.0 or count == 1
    assert sum(b.count for b in bars) == (sum(range(count)) if merge else sum(range(limit)))
    assert (note in said) if note else said is None


def test_a_histogram_of_many_bins_makes_a_small_page(tmp_path, page_client):
    from strix.compute.metadata import ProjectMetadataStore

    histogram = [{"bin": f"{i}-{i + 1}", "count": i % 97} for i in range(150_000)]
    with ProjectMetadataStore(tmp_path) as store:
        store.record_table_profile("raw", "big", "full", 1, [
            {"column_name": "c", "histogram": histogram, "top_values": {"x" * 10_000: 1},
             "alerts": [{"message": "m"}] * 3}])
    client = page_client(tmp_path)
    assert client.get("/api/profile/tables/raw/big").json()["columns"][0]["histogram"] == histogram
    page = client.get("/tables/raw/big/column", params={"name": "c"})
    assert page.status_code == 200 and len(page.content) < 100_000
    assert page.text.count('class="bar"') == profile_data.MAX_BARS + 1 and 'id="histogram-note"' in page.text


@pytest.mark.parametrize("page, first, last", [(1, 0, 199), (3, 400, 449), (99, 400, 449), (0, 0, 199)])
def test_a_page_turn_of_the_table_listing_shows_its_rows(tmp_path, page_client, page, first, last):
    import re
    import sqlite3

    from strix.compute.metadata import ProjectMetadataStore

    with ProjectMetadataStore(tmp_path) as store:
        store.initialize()
    with sqlite3.connect(tmp_path / ".marl" / "metadata.db") as conn:
        conn.executemany("INSERT INTO profile_runs (source_name, table_name, profile_mode) VALUES ('s', ?, 'full')",
                         [(f"t{i:03d}",) for i in range(450)] + [("t000",)])  # a later run of t000
    r = page_client(tmp_path).get("/", params={"page": page})
    assert r.status_code == 200
    names = re.findall(r'<td><a href="[^"]+">(t\d+)</a>', r.text)
    assert names == [f"t{i:03d}" for i in range(first, last + 1)]
    assert f"tables {first + 1}&ndash;{last + 1} of 450" in r.text
