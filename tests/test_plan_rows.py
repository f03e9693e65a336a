"""Rows in the advice: the `rows` ranking and its sums checked on random
manifests with random row counts, and `marl plan --project` end to end over a
metadata store written by the project's own writer."""

import json
import os
import shutil
import sqlite3
import subprocess
from fractions import Fraction
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

from marl import plan_advice, plan_rows
from marl.plan_analysis import analyse_manifest
from schema_check import plan_validator
from strix.compute.metadata import ProjectMetadataStore
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
SHOP = ROOT / "examples" / "shop" / "manifest.json"

VALIDATOR = plan_validator()


def assert_schema(document):
    errors = [e.message for e in VALIDATOR.iter_errors(document)]
    assert not errors, errors


PROPERTY = settings(max_examples=int(os.environ.get("STRIX_FUZZ_EXAMPLES", "200")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

CONNECTIONS = ["a", "b", "c", "d"]
UNDEFINED = "source.p.s.undefined"


@st.composite
def manifests(draw, arity=None):
    """Small projects whose models read overlapping sources on a few
    connections, on none, or not defined at all, plus a target; with
    ``arity``, every model reads exactly that many distinct sources."""
    n_sources = draw(st.integers(1, 8))
    sources = {}
    for i in range(n_sources):
        conn = draw(st.sampled_from(CONNECTIONS + [None]))
        sources[f"source.p.s.t{i}"] = SourceDefinition(f"source.p.s.t{i}", connection=conn)
    ids = list(sources) + [UNDEFINED]
    if arity is not None:
        assume(len(ids) >= arity)
    nodes = {}
    for i in range(draw(st.integers(1, 14))):
        if arity is None:
            refs = draw(st.lists(st.sampled_from(ids), max_size=4))
        else:
            refs = draw(st.lists(st.sampled_from(ids), min_size=arity, max_size=arity, unique=True))
        nodes[f"model.p.m{i}"] = ManifestNode(f"model.p.m{i}", "model", "p", sources=refs, depends_on=DependsOn([]))
    target = draw(st.sampled_from([None, "a", "b", "z"]))
    return Manifest(nodes=nodes, sources=sources, project_name="p"), target


def counts_for(draw, ids, unknown=True):
    count = st.integers(0, 10**12) | st.integers(0, 5)
    if unknown:
        count = count | st.none()
    return {sid: draw(count) for sid in ids}


def advise(manifest, target, counts, rank):
    return plan_advice.advise_analysis(analyse_manifest(manifest, target), counts, rank)


def steps_of(advice):
    return [(s.to_connection, s.replicate, s.unlocks) for s in advice.steps]


@PROPERTY
@given(st.integers(1, 3).flatmap(lambda k: st.tuples(st.just(k), manifests(arity=k))),
       st.integers(0, 10**12))
def test_equal_row_counts_rank_as_the_models_ranking(case, rows):
    k, (manifest, target) = case
    counts = {sid: rows for sid in list(manifest.sources) + [UNDEFINED]}
    by_rows = advise(manifest, target, counts, "rows")
    assert steps_of(by_rows) == steps_of(advise(manifest, target, None, "models"))
    for step in by_rows.steps:
        assert (step.rows.copied, step.rows.saved) == (rows * len(step.replicate), rows * k * len(step.unlocks))


def test_models_reading_more_sources_save_more_rows_at_equal_counts():
    # Why equal counts give the models order only when models read as many
    # sources each: b reads two sources, so its one missing source ends
    # twice the rows that a's does, and the rows order puts it first.
    manifest = Manifest(
        sources={"source.p.s.x": SourceDefinition("source.p.s.x", connection="c"),
                 "source.p.s.y": SourceDefinition("source.p.s.y", connection="c"),
                 "source.p.s.z": SourceDefinition("source.p.s.z", connection="t")},
        nodes={"model.p.a": ManifestNode("model.p.a", "model", "p", sources=["source.p.s.x"]),
               "model.p.b": ManifestNode("model.p.b", "model", "p", sources=["source.p.s.y", "source.p.s.z"])})
    counts = dict.fromkeys(manifest.sources, 100)
    assert [s.replicate for s in advise(manifest, "t", counts, "models").steps] == [["source.p.s.x"], ["source.p.s.y"]]
    by_rows = advise(manifest, "t", counts, "rows")
    assert [(s.replicate, s.rows.copied, s.rows.saved) for s in by_rows.steps] == [
        (["source.p.s.y"], 100, 200), (["source.p.s.x"], 100, 100)]
    assert by_rows.summary["rows"] == {"pulled_now": 300, "pulled_after_top": 0, "pulled_after_all": 0}


@PROPERTY
@given(manifests(), st.data())
def test_rows_no_longer_pulled_add_up_to_the_rows_pulled_now(case, data):
    manifest, target = case
    counts = counts_for(data.draw, list(manifest.sources) + [UNDEFINED], unknown=False)
    advice = advise(manifest, target, counts, data.draw(st.sampled_from(["rows", "models"])))
    pulled = {m.unique_id: m.rows.pulled for m in advice.models}
    assert advice.rows.pulled_now == sum(pulled.values())
    assert sum(s.rows.saved for s in advice.steps) == advice.rows.pulled_now
    left = advice.rows.pulled_now
    for k, step in enumerate(advice.steps, 1):
        assert step.rows.saved == sum(pulled[uid] for uid in step.unlocks)
        left -= step.rows.saved
        assert step.rows.pulled_after == left == advice.rows.pulled_after(k)
    assert advice.rows.summary() == {"pulled_now": sum(pulled.values()), "pulled_after_top": 0,
                                     "pulled_after_all": 0}
    for m in advice.models:
        refs = analyse_manifest(manifest, target).result_of(m.unique_id).source_refs
        assert m.rows.pulled == sum(counts[s] for s in refs)
        assert m.rows.crossing == sum(counts[s] for s in m.replicate)


@PROPERTY
@given(manifests(), st.data())
def test_unknown_rows_never_rank_ahead_of_a_known_better_step(case, data):
    manifest, target = case
    counts = counts_for(data.draw, list(manifest.sources) + [UNDEFINED])
    analysis = analyse_manifest(manifest, target)
    advice = plan_advice.advise_analysis(analysis, counts, "rows")
    pulled = {m.unique_id: m.rows.pulled for m in advice.models}
    lacking = {m.unique_id: (m.to_connection, set(m.replicate)) for m in advice.models}

    def worth(conn, sources):
        """None when unknown, else a comparable worth (rows saved per row
        copied; a copy of nothing is worth more than any copy)."""
        done = [uid for uid, (c, need) in lacking.items() if c == conn and need <= sources]
        copied = plan_rows.known_sum(counts[s] for s in sources)
        saved = plan_rows.known_sum(pulled[uid] for uid in done)
        if copied is None or saved is None:
            return None
        return (1, saved) if copied == 0 else (0, Fraction(saved, copied))

    for step in advice.steps:
        candidates = {(conn, frozenset(need)) for conn, need in lacking.values()}
        known = [w for w in (worth(c, n) for c, n in candidates) if w is not None]
        chosen = worth(step.to_connection, set(step.replicate))
        if chosen is None:
            assert not known, "an unknown step ranked ahead of a known one"
            assert step.rows.copied is None or step.rows.saved is None
        else:
            assert chosen == max(known)
            assert step.rows.unprofiled == []
        for uid, (conn, need) in list(lacking.items()):
            if conn == step.to_connection:
                need -= set(step.replicate)
            if not need:
                del lacking[uid]
    # Unknown counts are named, never taken as zero.
    unprofiled = sorted({s for m in advice.models for s in analysis.result_of(m.unique_id).source_refs
                         if counts[s] is None})
    assert advice.rows.unprofiled == unprofiled
    assert (advice.rows.pulled_now is None) == bool(unprofiled)


# --- end to end -----------------------------------------------------------------------

def marl(*args, cwd=None):
    return subprocess.run([str(MARL), *map(str, args)], capture_output=True, text=True, timeout=60, cwd=cwd)


def profile(store, source, table, rows):
    store.record_table_profile(source, table, "full", rows, [{"column_name": "id", "null_count": 0}])


@pytest.fixture
def shop_project(tmp_path):
    """A copy of the shop example whose store profiles some of its sources,
    one of them twice (the latest run counts)."""
    project = tmp_path / "shop"
    project.mkdir()
    shutil.copy(SHOP, project / "manifest.json")
    with ProjectMetadataStore(project) as store:
        profile(store, "lake", "events", 1)  # an older run, superseded below
        for source, table, rows in [("raw", "orders", 120_000), ("raw", "customers", 8_400),
                                    ("lake", "events", 2_450_000), ("lake", "page_views", 900_000),
                                    ("crm", "accounts", 1_120), ("crm", "contacts", 3_000)]:
            profile(store, source, table, rows)
    return project


def test_advise_with_the_project_store(shop_project):
    manifest = shop_project / "manifest.json"
    proc = marl("plan", manifest, "--target", "warehouse_pg", "--advise", "--project", shop_project)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout
    assert "Replication steps, most rows no longer pulled per row copied first:" in text
    # customer_360 reads customers (on the target), accounts and events.
    assert "pulls 2,459,520 rows per run (2,451,120 crossing connections)" in text
    assert "pulls unknown rows per run (unknown crossing connections; unprofiled: source.shop.crm.tickets)" in text
    assert text.rstrip().endswith("Unknown: 1 source without a profile: source.shop.crm.tickets.")

    doc = json.loads(marl("plan", manifest, "--target", "warehouse_pg", "--advise", "--json",
                          "--project", shop_project).stdout)
    assert_schema(doc)
    models = {m["model"]["unique_id"]: m["model"] for m in doc["federated"]}
    assert {k: models["model.shop.web_attribution"][k] for k in ("rows_pulled", "rows_crossing", "unprofiled_sources")} \
        == {"rows_pulled": 1_020_000, "rows_crossing": 900_000, "unprofiled_sources": []}
    assert models["model.shop.crm_health"]["rows_pulled"] is None
    assert models["model.shop.crm_health"]["unprofiled_sources"] == ["source.shop.crm.tickets"]
    # By rows: page_views ends 1,020,000 rows per run for 900,000 copied; the
    # step of three models saves about two rows per row copied; contacts
    # 3,000 for 3,000; the step that completes crm_health is unknown, last.
    assert [(s["replicate"], s["rows_copied"], s["rows_saved"]) for s in doc["steps"]] == [
        (["source.shop.crm.accounts", "source.shop.lake.events"], 2_451_120, 4_910_640),
        (["source.shop.lake.page_views"], 900_000, 1_020_000),
        (["source.shop.crm.contacts"], 3_000, 3_000),
        (["source.shop.crm.tickets"], None, None),
    ]
    assert doc["summary"]["rows"] == {"pulled_now": None, "pulled_after_top": 0, "pulled_after_all": 0}
    by_models = json.loads(marl("plan", manifest, "--target", "warehouse_pg", "--advise", "--json",
                                "--project", shop_project, "--rank", "models").stdout)
    assert_schema(by_models)
    assert [s["replicate"] for s in by_models["steps"]][1:] == [
        ["source.shop.crm.contacts"], ["source.shop.crm.tickets"], ["source.shop.lake.page_views"]]


def test_plan_and_baseline_carry_rows(shop_project, tmp_path):
    manifest = shop_project / "manifest.json"
    doc = json.loads(marl("plan", manifest, "--target", "warehouse_pg", "--json", "--project", shop_project).stdout)
    assert_schema(doc)
    nodes = {n["unique_id"]: n for n in doc["models"]}
    assert nodes["model.shop.stg_events"]["rows_pulled"] == 2_450_000
    assert (nodes["model.shop.stg_orders"]["rows_pulled"], nodes["model.shop.stg_orders"]["unprofiled_sources"]) == (0, [])
    # The store is found in the current directory when --project is not given.
    assert json.loads(marl("plan", manifest, "--target", "warehouse_pg", "--json", cwd=shop_project).stdout) == doc

    change = ROOT / "examples" / "shop" / "manifest_change.json"
    proc = marl("plan", change, "--target", "warehouse_pg", "--baseline", manifest, "--project", shop_project)
    assert proc.returncode == 1
    lines = proc.stdout.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("  model.shop.order_payments  "))
    assert lines[at].endswith("[fails the gate]")
    assert lines[at + 3] == ("    pulls unknown rows per run (2,450,000 crossing connections; "
                             "unprofiled: source.shop.raw.payments)")
    report = json.loads(marl("plan", change, "--target", "warehouse_pg", "--baseline", manifest, "--json",
                             "--project", shop_project).stdout)
    assert_schema(report)
    became = [c for c in report["changes"] if c["change"] == "became_federated"]
    new = became[0]["new"]
    assert (new["rows_pulled"], new["unprofiled_sources"]) == (None, ["source.shop.raw.payments"])
    assert "rows_pulled" not in became[0]["old"]
    assert report["summary"]["rows"]["pulled_now"] is None

    if shutil.which("dot"):
        page = tmp_path / "plan.html"
        assert marl("plan", manifest, "--target", "warehouse_pg", "--html", page, "--project", shop_project).returncode == 0
        html = page.read_text()
        assert 'id="advice-rows"' in html and "copies 2,451,120 rows once" in html


@pytest.mark.parametrize("setup, args, status, message", [
    # No store: no rows, today's output; asking for the rows order is an error.
    ("none", [], 0, None),
    ("none", ["--rank", "rows"], 2, "--rank rows needs row counts"),
    ("missing-dir", [], 2, "project directory"),
    ("not-a-database", [], 2, "cannot read the metadata store"),
    # A broken store merely found in the current directory only warns.
    ("not-a-database", ["--in-cwd"], 0, "warning: cannot read the metadata store"),
])
def test_project_without_usable_profiles(tmp_path, setup, args, status, message):
    project = tmp_path / "p"
    if setup != "missing-dir":
        project.mkdir()
    if setup == "not-a-database":
        (project / ".marl").mkdir()
        (project / ".marl" / "metadata.db").write_bytes(b"not a database at all" * 100)
    if "--in-cwd" in args:
        proc = marl("plan", SHOP, "--target", "warehouse_pg", "--advise", "--json", cwd=project)
    else:
        proc = marl("plan", SHOP, "--target", "warehouse_pg", "--advise", "--json", "--project", project, *args)
    assert proc.returncode == status, proc.stderr
    if status == 0:
        doc = json.loads(proc.stdout)
        assert "rows" not in doc["summary"] and all("rows_copied" not in s for s in doc["steps"])
        assert (message or "") in proc.stderr and "Traceback" not in proc.stderr
    else:
        # The JSON output is the error document, with the same message.
        doc = json.loads(proc.stdout)
        assert_schema(doc)
        assert doc["status"] == "error" and doc["error"]["exit_status"] == status and message in doc["error"]["message"]
        assert proc.stderr.startswith("marl plan: error: ") and message in proc.stderr
        assert "Traceback" not in proc.stderr


class InterfaceOnlyStore(ProjectMetadataStore):
    """A store offering only the operations the profile API uses."""

    get_latest_row_counts = None


@pytest.mark.parametrize("store_class", [ProjectMetadataStore, InterfaceOnlyStore])
def test_row_counts_read_from_the_latest_run_and_unreadable_ones_unknown(tmp_path, store_class):
    with ProjectMetadataStore(tmp_path) as store:
        profile(store, "raw", "orders", 5)
        profile(store, "raw", "orders", 7)
        profile(store, "raw", "odd", 3)
        profile(store, "raw", "negative", 3)
    with sqlite3.connect(tmp_path / ".marl" / "metadata.db") as db:
        db.execute("UPDATE profile_runs SET row_count = 'many' WHERE table_name = 'odd'")
        db.execute("UPDATE profile_runs SET row_count = -1 WHERE table_name = 'negative'")
    manifest = Manifest(sources={"source.p.raw.orders": SourceDefinition("source.p.raw.orders", source_name="raw",
                                                                         name="orders")})
    ids = ["source.p.raw.orders", "source.p.raw.odd", "source.p.raw.negative", "source.p.raw.none",
           "not-a-source-id"]
    with store_class(tmp_path) as store:
        tables = plan_rows.store_row_counts(store)
    assert tables == {("raw", "orders"): 7, ("raw", "odd"): None, ("raw", "negative"): None}
    assert plan_rows.read_row_counts(tmp_path, manifest, ids) == {
        "source.p.raw.orders": 7, "source.p.raw.odd": None, "source.p.raw.negative": None,
        "source.p.raw.none": None, "not-a-source-id": None}


@pytest.mark.parametrize("overview_models", [60, 2])
def test_graph_colours_sum_the_rows_of_each_drawn_box(monkeypatch, overview_models):
    """Each federated model's element, or each overview box holding several,
    is coloured by the rows its models pull: unknown when one is unknown."""
    from marl.pages import plan_graph, plan_pages
    from strix.contracts.graph.loader import load_manifest

    monkeypatch.setattr(plan_graph, "OVERVIEW_MODELS", overview_models)
    analysis = analyse_manifest(load_manifest(str(SHOP)), "warehouse_pg")
    counts = dict.fromkeys(plan_rows.referenced_sources(analysis), 10)
    counts["source.shop.crm.tickets"] = None
    rows = plan_advice.advised_rows(analysis, counts)
    graph = plan_graph.build_graph(analysis=analysis)
    each = {"stg_events": 10, "stg_accounts": 10, "stg_contacts": 10, "crm_health": None,
            "web_attribution": 20, "customer_360": 30}
    for overview in (None, plan_graph.build_overview(graph)):
        drawn = plan_graph.DrawnPlan(graph=graph, svg="", overview=overview, sources_drawn=False, focus_json="")
        colours = plan_pages.rows_colours(drawn, rows)
        boxes = {}
        for uid, element in plan_pages.advice_elements(drawn).items():
            if element in colours["elements"]:
                boxes.setdefault(element, set()).add(uid.removeprefix("model.shop."))
        shown = {frozenset(names): colours["elements"][element] for element, names in boxes.items()}
        if overview is not None and overview.grouped:  # one box per set of connections read
            assert shown == {frozenset({"stg_accounts", "stg_contacts", "crm_health"}): None,
                             frozenset({"stg_events"}): 10, frozenset({"web_attribution"}): 20,
                             frozenset({"customer_360"}): 30}
        else:
            assert shown == {frozenset({name}): pulled for name, pulled in each.items()}
        assert colours["max"] == 30


@pytest.mark.parametrize("top", [1, 2, 3, None])
def test_every_output_carries_the_rows_and_top_cuts_the_middle_total(shop_project, top):
    """With every source profiled the totals are known: after the first
    --top steps, the rows pulled now less the rows those steps save."""
    with ProjectMetadataStore(shop_project) as store:
        for source, table in [("crm", "tickets"), ("raw", "payments")]:
            profile(store, source, table, 500)
    manifest = shop_project / "manifest.json"
    common = ["--target", "warehouse_pg", "--project", shop_project]
    top_args = ["--top", str(top)] if top else []
    doc = json.loads(marl("plan", manifest, "--advise", "--json", *common, *top_args).stdout)
    assert_schema(doc)
    full = json.loads(marl("plan", manifest, "--advise", "--json", *common).stdout)
    saved = [s["rows_saved"] for s in full["steps"]]
    rows = doc["summary"]["rows"]
    assert rows["pulled_now"] == sum(m["model"]["rows_pulled"] for m in doc["federated"]) == sum(saved)
    assert rows["pulled_after_top"] == rows["pulled_now"] - sum(saved[:top])
    assert rows["pulled_after_all"] == 0 and len(doc["steps"]) == (top or len(saved))

    text = marl("plan", manifest, "--advise", *common, *top_args).stdout
    after_top = f", {rows['pulled_after_top']:,} after the first {top} step" if top and top < len(saved) else ""
    assert f"Rows pulled per run by federated models: {rows['pulled_now']:,} now{after_top}" in text
    markdown = marl("plan", manifest, "--advise", "--format", "markdown", *common, *top_args).stdout
    assert "| Rows copied | Rows no longer pulled per run |" in markdown
    assert f"| {saved[0]:,} |" in markdown
    annotations = marl("plan", manifest, "--advise", "--format", "github", *common, *top_args).stdout.splitlines()
    assert f"; {saved[0]:,} rows no longer pulled per run;" in annotations[0]
    assert f"Rows pulled per run by federated models: {rows['pulled_now']:,} now" in annotations[-1]

    # The gate: the newly federated model's rows beside it in every format.
    change = ROOT / "examples" / "shop" / "manifest_change.json"
    gate = ["plan", change, "--baseline", manifest, *common]
    report = json.loads(marl(*gate, "--json").stdout)
    assert_schema(report)
    new = next(c["new"] for c in report["changes"] if c["finding"] == "new_federation")
    assert new["rows_pulled"] == 2_570_500 and new["rows_crossing"] == 2_450_000
    note = "pulls 2,570,500 rows per run (2,450,000 crossing connections)"
    row = next(line for line in marl(*gate, "--format", "markdown").stdout.splitlines()
               if line.startswith("| model.shop.order\\_payments |"))
    assert row.endswith(f"| {note.replace('(', chr(92) + '(').replace(')', chr(92) + ')')} |")
    assert marl(*gate, "--format", "github").stdout.splitlines()[0].endswith(f"; {note}")
    plan = json.loads(marl("plan", manifest, "--json", *common).stdout)
    assert_schema(plan)
    assert plan["summary"]["rows"]["pulled_now"] == rows["pulled_now"]


def test_rank_refused_where_no_steps_are_ranked(shop_project):
    proc = marl("plan", shop_project / "manifest.json", "--rank", "rows", "--project", shop_project)
    assert proc.returncode == 2 and "--rank orders the replication steps" in proc.stderr


@pytest.mark.parametrize("count, tail", [(3, "s.t1, s.t2"), (10, "s.t8, s.t9"), (25, "s.t8, s.t9 and 15 more")])
def test_unprofiled_sources_named_in_a_bounded_line(count, tail):
    ids = [f"s.t{i}" for i in range(count)]
    model = plan_rows.ModelRows("m", None, None, ids)
    step = plan_rows.StepRows(copied=None, saved=None, pulled_after=None, unprofiled=ids)
    for text in (plan_rows.describe_model_rows(model), plan_rows.describe_step_rows(step)):
        assert text.endswith(f"{tail})") and "unprofiled: s.t0, " in text and "s.t10" not in text
    assert model.as_json()["unprofiled_sources"] == ids  # JSON names them all
