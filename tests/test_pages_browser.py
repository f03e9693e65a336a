"""The docs server's pages in a real browser: `marl docs serve` (uvicorn on
127.0.0.1) over a real SQLite metadata store, loaded in headless Chromium
through its WebDriver, checked for what a person sees.

Each page is saved as a screenshot under the test's temporary folder (and
into MARL_SCREENSHOTS when that names a folder, which is how docs/*.png are
made).
"""

import contextlib
import json
import os
import shutil
import subprocess
import time
from datetime import datetime
from pathlib import Path

import pytest
from serverkit import marl_docs_serve, prefix_proxy

from strix.compute.metadata import ProjectMetadataStore

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
SHOP_MANIFEST = ROOT / "examples" / "shop" / "manifest.json"
TARGET = "warehouse_pg"

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
webdriver = pytest.importorskip("selenium.webdriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER and shutil.which("dot")),
    reason="needs chromium, chromedriver and graphviz (scripts/setup.sh installs them)",
)

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

HISTOGRAM = [{"bin": f"{10 * i}-{10 * (i + 1)}", "count": c} for i, c in enumerate([5, 40, 90, 120, 60, 0, 8])]


def seed_store(root: Path) -> None:
    with ProjectMetadataStore(root) as store:
        store.record_table_profile(
            "raw", "orders", "full", 1000,
            [
                {"column_name": "order_id", "null_percent": 0.0, "distinct_percent": 100.0, "min_value": 1,
                 "max_value": 1000, "alerts": [{"type": "unique_key_candidate", "severity": "info"}]},
                {"column_name": "status", "null_percent": 12.5, "distinct_percent": 0.4, "min_length": 4,
                 "max_length": 9, "top_values": [{"value": "shipped", "count": 700}, {"value": "returned", "count": 50}]},
                {"column_name": "amount", "null_percent": None, "mean_value": 41.5, "min_value": 0.5,
                 "max_value": 69.0, "histogram": HISTOGRAM},
            ],
            profiled_at=datetime(2024, 6, 1, 12, 0),
            alerts=[{"source_name": "raw", "table_name": "orders", "column_name": "status",
                     "type": "high_null_rate", "severity": "warning", "message": "12.5% of status is null"}],
        )
        store.record_table_profile("raw", "empty", "full", 0, [
            {"column_name": "id", "null_count": 0, "null_percent": None, "distinct_percent": None},
        ], profiled_at=datetime(2024, 6, 2))
        store.record_table_profile("raw", "wide", "sample", 10, [
            {"column_name": f"c{i:03d}", "null_percent": i / 5, "distinct_percent": 100 - i / 5,
             "histogram": [{"bin": "a", "count": i}, {"bin": "b", "count": 1}]}
            for i in range(500)
        ], profiled_at=datetime(2024, 6, 3))
        store.record_table_profile("crm", "accounts", "full", 10, [{"column_name": "name"}], profiled_at=None)
        store.record_alerts([{"source_name": "crm", "table_name": "accounts", "type": "stale",
                              "severity": "error", "message": "accounts not refreshed for 40 days"}])


@pytest.fixture(scope="module")
def shots(tmp_path_factory):
    folder = tmp_path_factory.mktemp("screenshots")
    extra = os.environ.get("MARL_SCREENSHOTS")

    def save(driver, name: str) -> Path:
        path = folder / f"{name}.png"
        assert driver.save_screenshot(str(path)), f"no screenshot of {name}"
        if extra:
            Path(extra).mkdir(parents=True, exist_ok=True)
            shutil.copy(path, Path(extra) / path.name)
        return path

    return save


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    project = tmp_path_factory.mktemp("project")
    seed_store(project)
    return project


@pytest.fixture(scope="module")
def server(project):
    with marl_docs_serve(project, "--manifest", str(SHOP_MANIFEST), "--target", TARGET,
                         ready="/api/profile/stats", timeout=60) as http:
        yield str(http.base_url).rstrip("/")


@pytest.fixture(scope="module")
def browser():
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,860", "--hide-scrollbars"):
        options.add_argument(arg)
    # Every request the browser makes, for the tests of what a page loads.
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    # The sanitizer runtime preloaded into the test interpreter stays out of
    # the browser and its driver.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    service = Service(executable_path=CHROMEDRIVER, env=env)
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(60)
    try:
        yield driver
    finally:
        driver.quit()


def rows(driver, table_id):
    return driver.find_elements(By.CSS_SELECTOR, f"#{table_id} tbody tr")


def resources(driver):
    """Every resource the page loaded after the document itself."""
    return driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")


def test_table_list_with_totals(server, browser, shots):
    browser.get(server + "/")
    listed = [[td.text for td in row.find_elements(By.TAG_NAME, "td")] for row in rows(browser, "tables")]
    assert [r[:3] for r in listed] == [
        ["crm", "accounts", "full"], ["raw", "empty", "full"], ["raw", "orders", "full"], ["raw", "wide", "sample"],
    ]
    assert listed[0][3] == "\u2014" and listed[2][3] == "2024-06-01T12:00:00"
    assert browser.find_element(By.ID, "total-tables").text == "4"
    assert browser.find_element(By.ID, "total-alerts").text == "2"
    assert resources(browser) == []  # nothing but the page itself
    shots(browser, "profiles")


def test_column_histogram_drawn_with_its_bars(server, browser, shots):
    browser.get(server + "/")
    browser.find_element(By.LINK_TEXT, "orders").click()
    columns = rows(browser, "columns")
    assert [r.find_element(By.TAG_NAME, "a").text for r in columns] == ["order_id", "status", "amount"]
    amount = columns[2].find_elements(By.TAG_NAME, "td")
    assert amount[1].text == "number" and amount[2].text == "\u2014"  # null % missing: a dash, no bar
    assert not amount[2].find_elements(By.CSS_SELECTOR, ".meter")
    assert columns[1].find_element(By.CSS_SELECTOR, ".meter.nulls > span").size["width"] > 0
    shots(browser, "table")

    columns[2].find_element(By.LINK_TEXT, "amount").click()
    bars = browser.find_elements(By.CSS_SELECTOR, "#histogram svg rect.bar")
    assert len(bars) == len(HISTOGRAM)
    heights = [b.size["height"] for b in bars]
    assert heights[3] == max(heights) and heights[5] == 0 and all(heights[i] > 0 for i in (0, 1, 2, 4, 6))
    assert heights[1] > heights[0]
    assert "No top values" in browser.find_element(By.ID, "top-values").text
    shots(browser, "column")

    browser.get(server + "/")
    browser.find_element(By.LINK_TEXT, "orders").click()
    browser.find_element(By.LINK_TEXT, "status").click()
    assert len(browser.find_elements(By.CSS_SELECTOR, "#top-values svg rect.bar")) == 2
    assert "No histogram" in browser.find_element(By.ID, "histogram").text


def test_wide_empty_and_missing_tables(server, browser):
    start = time.monotonic()
    browser.get(server + "/tables/raw/wide")
    assert time.monotonic() - start < 20
    # 500 columns, 200 to a page; the pager keeps the other parameters
    seen = []
    while True:
        seen += [r.find_element(By.TAG_NAME, "a").text for r in rows(browser, "columns")]
        following = browser.find_elements(By.ID, "page-next")
        if not following:
            break
        following[0].click()
    assert seen == [f"c{i:03d}" for i in range(500)]
    assert browser.find_element(By.ID, "page-info").text == "columns 401–500 of 500 · page 3 of 3"
    browser.get(server + "/tables/raw/empty")
    assert "empty when it was profiled" in browser.find_element(By.ID, "empty-table").text
    assert [td.text for td in rows(browser, "columns")[0].find_elements(By.TAG_NAME, "td")][2:4] == ["\u2014", "\u2014"]
    browser.get(server + "/tables/crm/accounts/column?name=name")
    assert "No histogram" in browser.find_element(By.ID, "histogram").text
    browser.get(server + "/tables/raw/missing")
    assert browser.find_element(By.ID, "error").text == "No profile found for raw.missing."


def test_alert_filtered_away_by_severity(server, browser, shots):
    browser.get(server + "/alerts")
    messages = [r.find_elements(By.TAG_NAME, "td")[5].text for r in rows(browser, "alerts")]
    assert "12.5% of status is null" in messages and "accounts not refreshed for 40 days" in messages
    Select(browser.find_element(By.ID, "filter-severity")).select_by_value("error")
    browser.find_element(By.CSS_SELECTOR, "#alert-filters button").click()
    WebDriverWait(browser, 10).until(lambda d: "severity=error" in d.current_url)
    severities = [r.find_element(By.CSS_SELECTOR, ".badge").text for r in rows(browser, "alerts")]
    assert severities == ["error"]
    assert "12.5% of status is null" not in browser.find_element(By.TAG_NAME, "main").text
    shots(browser, "alerts")

    Select(browser.find_element(By.ID, "filter-source")).select_by_value("raw")
    browser.find_element(By.CSS_SELECTOR, "#alert-filters button").click()
    WebDriverWait(browser, 10).until(lambda d: "source_name=raw" in d.current_url)
    assert browser.find_element(By.ID, "no-alerts").text == "No alerts match these filters."


def expected_plan():
    """Models and seeds of the shop manifest and the federated ones, as the
    command line reports them."""
    out = subprocess.run([str(MARL), "plan", str(SHOP_MANIFEST), "--target", TARGET, "--json"],
                         capture_output=True, text=True, check=True).stdout
    nodes = json.loads(out)["models"]
    return {n["unique_id"] for n in nodes}, {n["unique_id"] for n in nodes if n["strategy"] == "federated"}


def graph_ids(driver, selector):
    """unique_id of every drawn element matching `selector` (the first line
    of its hover text)."""
    return {t.get_attribute("textContent").split("\n")[0]
            for t in driver.find_elements(By.CSS_SELECTOR, selector + " > title")}


def graph_seen(driver):
    """unique_id of every drawn model or seed and of those marked federated."""
    return graph_ids(driver, "#graph g.plan-node"), graph_ids(driver, "#graph g.plan-node.federated")


def test_plan_graph_served(server, browser, shots):
    planned, federated = expected_plan()
    browser.get(server + "/plan")
    drawn, marked = graph_seen(browser)
    assert drawn == planned and len(browser.find_elements(By.CSS_SELECTOR, "#graph g.plan-node")) == len(planned)
    assert marked == federated and federated
    assert browser.find_element(By.ID, "count-federated").text == str(len(federated))
    customer_360 = next(t for t in browser.find_elements(By.CSS_SELECTOR, "#graph g.plan-node > title")
                        if t.get_attribute("textContent").startswith("model.shop.customer_360"))
    assert "Sources span 3 connections" in customer_360.get_attribute("textContent")
    clusters = {t.text for t in browser.find_elements(By.CSS_SELECTOR, "#graph g.cluster > text")}
    assert clusters == {"crm_mysql", "lake_dbx", "warehouse_pg", "no connection"}
    assert len(rows(browser, "federated")) == len(federated)

    find = browser.find_element(By.ID, "find")
    find.send_keys("customer_360")
    assert browser.find_element(By.ID, "find-count").text == "1 found"
    assert len(browser.find_elements(By.CSS_SELECTOR, "#graph g.plan-node.match")) == 1
    find.clear()
    shots(browser, "plan")


def expected_steps(project=None):
    """The advice's steps as the command line gives them, with the rows of
    ``project``'s store when given."""
    out = subprocess.run([str(MARL), "plan", str(SHOP_MANIFEST), "--target", TARGET, "--advise", "--json",
                          *(["--project", str(project)] if project else [])],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)["steps"]


def test_plan_advice_beside_the_graph_highlights_the_selected_step(server, project, browser, shots):
    steps = expected_steps(project)
    browser.get(server + "/plan")
    items = browser.find_elements(By.CSS_SELECTOR, "#advice-steps > li")
    # Ranked by rows (the store profiles crm.accounts): accounts alone comes
    # first, so the step of customer_360 is split in two.
    assert len(items) == len(steps) == 5
    panel, graph = browser.find_element(By.ID, "advice").rect, browser.find_element(By.ID, "graph").rect
    # A column to the right of the graph, side by side with it.
    assert panel["x"] >= graph["x"] + graph["width"]
    assert panel["y"] < graph["y"] + graph["height"] and graph["y"] < panel["y"] + panel["height"]

    def highlighted():
        return graph_ids(browser, "#graph g.advice-source"), graph_ids(browser, "#graph g.advice-unlock")

    for i in (0, 1, 0):
        items[i].find_element(By.TAG_NAME, "button").click()
        # Only the selected step's sources and models are marked, whatever was before.
        assert highlighted() == (set(steps[i]["replicate"]), set(steps[i]["unlocks"]))
        assert [li.get_attribute("class") for li in items].count("selected") == 1
    shots(browser, "plan-advice")
    items[0].find_element(By.TAG_NAME, "button").click()  # selecting it again clears it
    assert highlighted() == (set(), set())


def test_plan_advice_shows_rows_and_colours_models_by_them(server, project, browser, shots):
    steps = expected_steps(project)
    browser.get(server + "/plan")
    # The server's store profiles raw.orders and crm.accounts of the shop's sources.
    shown = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#advice-steps .advice-rows")]
    assert len(shown) == len(steps)
    for text, step in zip(shown, steps):
        copied = "an unknown number of" if step["rows_copied"] is None else f"{step['rows_copied']:,}"
        assert text.startswith(f"rows: copies {copied} rows once")
    assert steps[0]["replicate"] == ["source.shop.crm.accounts"] and steps[0]["rows_copied"] == 10
    total = browser.find_element(By.ID, "advice-rows").text
    assert total.startswith("Rows pulled per run by federated models: at least 10 now, 0 after all steps")
    assert "source.shop.lake.events" in browser.find_element(By.ID, "rows-unprofiled").text

    def fills():
        return {g.find_element(By.TAG_NAME, "title").get_attribute("textContent").split("\n")[0]:
                g.find_element(By.CSS_SELECTOR, "path, polygon").get_attribute("fill")
                for g in browser.find_elements(By.CSS_SELECTOR, "#graph g.plan-node.federated")}

    before = fills()
    browser.find_element(By.ID, "rows-colour").click()
    coloured = fills()
    # A known count gets a colour of the scale, an unknown one the grey.
    assert coloured["model.shop.stg_accounts"].startswith("hsl(")
    assert coloured["model.shop.customer_360"] == "#d4d7dd"
    assert browser.find_element(By.ID, "m6").get_attribute("data-rows") in ("10", "unknown")
    shots(browser, "plan-rows")
    browser.find_element(By.ID, "rows-colour").click()
    assert fills() == before


def test_plan_html_file_stands_alone(tmp_path, browser):
    page = tmp_path / "plan.html"
    subprocess.run([str(MARL), "plan", str(SHOP_MANIFEST), "--target", TARGET, "--html", str(page)],
                   check=True, capture_output=True)
    planned, federated = expected_plan()
    browser.get(page.as_uri())
    assert graph_seen(browser) == (planned, federated)
    assert len(browser.find_elements(By.CSS_SELECTOR, "#advice-steps > li")) == len(expected_steps())
    assert resources(browser) == []
    assert not browser.find_elements(By.CSS_SELECTOR, "header nav")  # no links to a server


@pytest.fixture(scope="module")
def large_project(tmp_path_factory):
    import sys

    sys.path.insert(0, str(ROOT / "bench"))
    try:
        from bench_plan_graph import synthetic_manifest
    finally:
        sys.path.remove(str(ROOT / "bench"))
    folder = tmp_path_factory.mktemp("large")
    document = synthetic_manifest(5000)
    (folder / "manifest.json").write_text(json.dumps(document))
    with marl_docs_serve(folder, "--manifest", str(folder / "manifest.json"), "--target", TARGET,
                         timeout=60) as http:
        yield str(http.base_url).rstrip("/"), document


def neighbourhood(document, start, depth):
    parents = {uid: node.get("depends_on", {}).get("nodes", []) for uid, node in document["nodes"].items()}
    children = {uid: [] for uid in parents}
    for uid, deps in parents.items():
        for dep in deps:
            children[dep].append(uid)
    seen = {start}
    for way in (parents, children):
        frontier = [start]
        for _ in range(depth):
            frontier = [n for f in frontier for n in way[f] if n not in seen]
            seen.update(frontier)
    return seen


def test_neighbourhood_of_one_model_in_a_large_project(large_project, browser, shots):
    url, document = large_project
    browser.get(url + "/plan")
    # The page reloads itself while the layout runs, then shows the overview.
    WebDriverWait(browser, 30).until(lambda d: d.find_elements(By.ID, "overview-heading"))
    boxes = browser.find_elements(By.CSS_SELECTOR, "#graph g.overview-node")
    assert boxes and len(boxes) <= 60
    # A step of the advice marks the overview's boxes of the models it turns pushdown.
    step = browser.find_element(By.CSS_SELECTOR, "#advice-steps > li")
    step.find_element(By.TAG_NAME, "button").click()
    marked = {g.get_attribute("id") for g in browser.find_elements(By.CSS_SELECTOR, "#graph g.advice-unlock")}
    assert marked and marked == set(step.get_attribute("data-models").split()) and marked <= {
        b.get_attribute("id") for b in boxes}
    step.find_element(By.TAG_NAME, "button").click()
    boxes[0].click()
    assert browser.find_elements(By.CSS_SELECTOR, "#focus-matches button")

    find = browser.find_element(By.ID, "focus-find")
    find.send_keys("model.big.m4000")
    matches = browser.find_elements(By.CSS_SELECTOR, "#focus-matches button")
    assert [m.text for m in matches] == ["model.big.m4000"]
    matches[0].click()

    def drawn():
        return {t.get_attribute("textContent").split("\n")[0]
                for t in browser.find_elements(By.CSS_SELECTOR, "#focus-graph g.focus-node > title")}

    expected = neighbourhood(document, "model.big.m4000", 2)
    assert drawn() == expected and len(expected) > 5
    focused = browser.find_elements(By.CSS_SELECTOR, "#focus-graph g.focus-node.focused > title")
    assert [t.get_attribute("textContent").split("\n")[0] for t in focused] == ["model.big.m4000"]
    shots(browser, "plan-neighbourhood")

    from selenium.webdriver.common.keys import Keys

    depth = browser.find_element(By.ID, "focus-depth")
    depth.clear()
    depth.send_keys("1" + Keys.TAB)
    WebDriverWait(browser, 10).until(lambda d: drawn() == neighbourhood(document, "model.big.m4000", 1))
    assert "within depth 1" in browser.find_element(By.ID, "focus-status").text


def test_odd_names_link_to_their_own_pages(tmp_path, browser):
    """Names a browser would resolve away (".", "..") or split ("/") reach
    the page of their own table when their links are followed."""
    names = [("s/1", "a/b"), ("raw", ".."), ("raw", "."), ("raw", "q?x#y")]
    with ProjectMetadataStore(tmp_path) as store:
        for source, table in names:
            store.record_table_profile(source, table, "full", 1, [{"column_name": f"{table}/c"}])
    with marl_docs_serve(tmp_path) as http:
        base = str(http.base_url).rstrip("/")
        for source, table in names:
            browser.get(base + "/")
            link = next(a for a in browser.find_elements(By.CSS_SELECTOR, "#tables a")
                        if a.find_element(By.XPATH, "../../td[1]").text == source and a.text == table)
            link.click()
            assert browser.find_element(By.TAG_NAME, "h1").text == f"{source}.{table}"
            browser.find_element(By.LINK_TEXT, f"{table}/c").click()
            assert browser.find_element(By.TAG_NAME, "h1").text == f"{source}.{table}.{table}/c"


@pytest.fixture(scope="module")
def odd_shapes(tmp_path_factory):
    """Two projects the page cannot draw one box per model and source: many
    connection mixes (the overview) and a long chain (sources left out)."""
    import sys

    sys.path.insert(0, str(ROOT / "bench"))
    try:
        from bench_plan_graph import chain_manifest, mixed_manifest
    finally:
        sys.path.remove(str(ROOT / "bench"))
    served = {}
    with contextlib.ExitStack() as stack:
        for name, document, target in [("mixed", mixed_manifest(3000, 60), "conn_000"),
                                       ("chain", chain_manifest(200), TARGET)]:
            folder = tmp_path_factory.mktemp(name)
            manifest = folder / "manifest.json"
            manifest.write_text(json.dumps(document))
            out = subprocess.run([str(MARL), "plan", str(manifest), "--target", target, "--advise", "--json"],
                                 capture_output=True, text=True, check=True).stdout
            http = stack.enter_context(marl_docs_serve(folder, "--manifest", str(manifest), "--target", target,
                                                       timeout=60))
            served[name] = (str(http.base_url).rstrip("/"), document, json.loads(out)["steps"])
        yield served


@pytest.mark.parametrize("shape", ["mixed", "chain"])
def test_advice_marks_exactly_a_steps_sources_models_and_target(odd_shapes, browser, shape):
    url, document, steps = odd_shapes[shape]
    browser.get(url + "/plan")
    WebDriverWait(browser, 60).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#graph svg"))
    items = browser.find_elements(By.CSS_SELECTOR, "#advice-steps > li")
    connection_of = {uid: s["connection"] for uid, s in document["sources"].items()}

    def marked(cls):
        return [t.get_attribute("textContent") for t in
                browser.find_elements(By.CSS_SELECTOR, f"#graph g.{cls} > title")]

    # a step reading few models out of big boxes, and the first
    i = min(range(min(len(steps), 30)), key=lambda k: len(steps[k]["unlocks"])) if shape == "mixed" else 0
    step, item = steps[i], items[i]
    item.find_element(By.TAG_NAME, "button").click()
    notes = [n.text for n in item.find_elements(By.CSS_SELECTOR, ".advice-notes li")]
    if shape == "mixed":
        assert len(rows(browser, "connections-together")) == 12
        # the connections of its sources and its target, by name on hover
        wanted = {connection_of[s] for s in step["replicate"]}
        assert wanted == {c for title in marked("advice-source") for c in wanted
                          if title.startswith(f"connection {c}\n") or f" {c}," in title or f" {c}\n" in title}
        assert len(marked("advice-source")) <= len(wanted)
        assert [t.split("\n")[0] for t in marked("advice-target")] == [f"connection {step['to_connection']} (target)"]
        # the boxes of its models, each saying how many of its models the step has
        boxes = marked("advice-unlock")
        assert boxes and len(boxes) <= len(step["unlocks"])
        assert any(" of the " in n and " models of the marked box" in n for n in notes), notes
        # and the models one by one in the neighbourhood view
        listed = [b.text for b in browser.find_elements(By.CSS_SELECTOR, "#focus-matches button")]
        assert listed == step["unlocks"][:200]
        listed = browser.find_elements(By.CSS_SELECTOR, "#focus-matches button")
        listed[0].click()
        unlocked = {t.get_attribute("textContent").split("\n")[0] for t in
                    browser.find_elements(By.CSS_SELECTOR, "#focus-graph g.advice-unlock > title")}
        assert step["unlocks"][0] in unlocked and unlocked <= set(step["unlocks"])
    else:
        # every model is drawn and marked; the sources are not drawn, so it says where they are
        assert {t.split("\n")[0] for t in marked("advice-unlock")} == set(step["unlocks"])
        assert marked("advice-source") == [] and marked("advice-target") == []
        on = {connection_of[s] for s in step["replicate"]}
        assert any(n.startswith("Sources are not drawn in this graph:") and all(c in n for c in on) for n in notes)
        assert any(f"target connection {step['to_connection']} is not drawn" in n for n in notes)
    assert all(n.is_displayed() for n in item.find_elements(By.CSS_SELECTOR, ".advice-notes li"))


def test_plan_page_works_while_its_drawing_is_laid_out(tmp_path, browser, monkeypatch):
    """With a `dot` that takes seconds, the page comes without its drawing:
    search, neighbourhood and advice work at once, and the drawing, when it
    arrives, is wired like one served with the page (the step selected
    meanwhile marked, the find box working)."""
    slow = tmp_path / "bin" / "dot"
    slow.parent.mkdir()
    slow.write_text(f"#!/bin/sh\nsleep 4\nexec {shutil.which('dot')} \"$@\"\n")
    slow.chmod(0o755)
    monkeypatch.setenv("PATH", f"{slow.parent}{os.pathsep}{os.environ['PATH']}")
    steps = expected_steps()
    with marl_docs_serve(tmp_path, "--manifest", str(SHOP_MANIFEST), "--target", TARGET, timeout=60) as http:
        browser.get(str(http.base_url).rstrip("/") + "/plan")
        assert browser.find_elements(By.ID, "graph-laying-out") and not browser.find_elements(By.CSS_SELECTOR, "#graph svg")
        find = browser.find_element(By.ID, "focus-find")
        find.send_keys("customer_360")
        browser.find_element(By.CSS_SELECTOR, "#focus-matches button").click()
        assert browser.find_elements(By.CSS_SELECTOR, "#focus-graph g.focus-node.focused")
        browser.find_element(By.CSS_SELECTOR, "#advice-steps > li button").click()
        WebDriverWait(browser, 30).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#graph svg"))
        assert graph_ids(browser, "#graph g.advice-unlock") == set(steps[0]["unlocks"])
        assert graph_ids(browser, "#graph g.advice-source") == set(steps[0]["replicate"])
        browser.find_element(By.ID, "find").send_keys("customer_360")
        assert browser.find_element(By.ID, "find-count").text == "1 found"
def requested(driver):
    """URLs the browser asked for since the last call (its network log)."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def test_pages_behind_a_proxy_load_nothing_from_elsewhere(tmp_path_factory, browser):
    """Every page, the API's ReDoc and Swagger UI included, served under a
    prefix behind a proxy that rewrites Host: links followed, nothing asked
    of any other machine, no link built from the project's name runs script."""
    project = tmp_path_factory.mktemp("odd") / "[x](javascript:alert(1)) <b>"
    project.mkdir()
    seed_store(project)
    with marl_docs_serve(project, "--root-path", "/marl", "--manifest", str(SHOP_MANIFEST), "--target", TARGET,
                         timeout=60) as http, prefix_proxy(str(http.base_url), "/marl") as proxied:
        requested(browser)
        browser.get(proxied + "/")
        browser.find_element(By.LINK_TEXT, "orders").click()
        browser.find_element(By.LINK_TEXT, "amount").click()
        assert len(browser.find_elements(By.CSS_SELECTOR, "#histogram svg rect.bar")) == len(HISTOGRAM)
        visited = [browser.current_url]
        for nav in ("Alerts", "Plan graph", "Profiled tables", "API docs"):
            browser.find_element(By.LINK_TEXT, nav).click()
            visited.append(browser.current_url)
        WebDriverWait(browser, 20).until(lambda d: d.find_elements(By.CSS_SELECTOR, ".opblock"))
        browser.get(proxied + "/redoc")
        WebDriverWait(browser, 20).until(lambda d: "list_profiled_tables" in d.page_source)
        time.sleep(1)  # ReDoc draws its menu and footer after the operations
        browser.get(proxied + "/no/such/page")
        assert browser.find_element(By.ID, "not-found")
        visited.append(browser.current_url)
        assert [v.removeprefix(proxied) for v in visited] == [
            "/tables/raw/orders/column?name=amount", "/alerts", "/plan", "/", "/docs", "/no/such/page"]
        for path in ("/", "/plan", "/docs", "/redoc"):
            browser.get(proxied + path)
            time.sleep(0.5)
            assert not browser.find_elements(By.CSS_SELECTOR, "a[href^='javascript:' i]"), path
        urls = requested(browser)
        elsewhere = [u for u in urls if not u.startswith((proxied + "/", "data:", "blob:" + proxied.rsplit("/", 1)[0]))]
        assert urls and elsewhere == []
