"""`marl plan --advise` and `--baseline`: the advice is checked against the
advisor itself on random manifests (replicating what it says really makes the
models pushdown), and the baseline comparison on hand-made pairs through the
command line, exit statuses included."""

import dataclasses
import json
import os
import subprocess
from fractions import Fraction
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from marl import plan_advice
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition
from strix.plan_advisor import PlanAdvisor

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
SHOP = ROOT / "examples" / "shop" / "manifest.json"
SHOP_CHANGE = ROOT / "examples" / "shop" / "manifest_change.json"

PROPERTY = settings(max_examples=int(os.environ.get("STRIX_FUZZ_EXAMPLES", "200")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

CONNECTIONS = ["a", "b", "c", "d"]


@st.composite
def manifests(draw):
    """Small projects whose models read overlapping sources on a few
    connections, on none, or not defined at all; plus a target (maybe one
    that holds no source)."""
    n_sources = draw(st.integers(1, 8))
    sources = {}
    for i in range(n_sources):
        conn = draw(st.sampled_from(CONNECTIONS + [None, ""]))
        sources[f"source.p.s.t{i}"] = SourceDefinition(f"source.p.s.t{i}", connection=conn)
    ids = list(sources) + ["source.p.s.undefined"]
    nodes = {}
    for i in range(draw(st.integers(1, 14))):
        kind = draw(st.sampled_from(["model", "model", "model", "seed"]))
        refs = draw(st.lists(st.sampled_from(ids), max_size=4))
        deps = DependsOn(["model.p.m0"] if draw(st.booleans()) else [])
        nodes[f"model.p.m{i}"] = ManifestNode(f"model.p.m{i}", kind, "p", sources=refs, depends_on=deps)
    target = draw(st.sampled_from([None, "", "a", "b", "z"]))
    return Manifest(nodes=nodes, sources=sources, project_name="p"), target


def strategy_of(manifest, uid, target):
    return PlanAdvisor(manifest).analyze(manifest.nodes[uid], None, target).strategy


def moved(manifest, source_ids, connection):
    """A copy of the manifest where the given sources live on `connection`."""
    sources = dict(manifest.sources)
    for sid in source_ids:
        sources[sid] = dataclasses.replace(sources[sid], connection=connection, meta={}, source_meta={})
    return dataclasses.replace(manifest, sources=sources)


def with_replicas(manifest, advice, replicated):
    """A copy of the manifest where each advised model reads the replica, on
    its to_connection, of every source replicated there: the original source
    stays where it was for everybody else."""
    sources = dict(manifest.sources)
    nodes = dict(manifest.nodes)
    advisor = PlanAdvisor(manifest)
    for m in advice.models:
        node = nodes[m.unique_id]
        refs = []
        for sid in sorted(advisor.analyze(node).source_refs):
            if sid in replicated.get(m.to_connection, ()):
                copy = f"{sid}@{m.to_connection}"
                sources[copy] = SourceDefinition(copy, connection=m.to_connection)
                sid = copy
            refs.append(sid)
        nodes[m.unique_id] = dataclasses.replace(node, sources=refs)
    return dataclasses.replace(manifest, sources=sources, nodes=nodes)


@PROPERTY
@given(manifests())
def test_advice_makes_models_pushdown_and_steps_unlock_exactly_what_they_say(case):
    manifest, target = case
    advice = plan_advice.advise(manifest, target)
    federated = [uid for uid in manifest.nodes
                 if manifest.nodes[uid].resource_type in ("model", "seed")
                 and strategy_of(manifest, uid, target) == "federated"]
    assert [m.unique_id for m in advice.models] == federated

    for m in advice.models:
        assert m.to_connection == target if target else m.to_connection
        assert m.replicate and set(m.replicate).isdisjoint(m.no_connection)
        # Replicating exactly what the advice lists ends the model's federation...
        assert strategy_of(moved(manifest, m.replicate, m.to_connection), m.unique_id, target) == "pushdown"
        # ... and nothing in that list could be left out.
        for left_out in m.replicate:
            rest = [s for s in m.replicate if s != left_out]
            assert strategy_of(moved(manifest, rest, m.to_connection), m.unique_id, target) == "federated"

    # Every advised model is unlocked by exactly one step, and after steps
    # 1..k exactly the union of their unlocks is pushdown among them.
    unlocked_by = [uid for step in advice.steps for uid in step.unlocks]
    assert sorted(unlocked_by) == sorted(federated)
    replicated, unlocked = {}, set()
    for k, step in enumerate(advice.steps):
        assert step.replicate and not (set(step.replicate) & replicated.get(step.to_connection, set()))
        replicated.setdefault(step.to_connection, set()).update(step.replicate)
        unlocked.update(step.unlocks)
        copy = with_replicas(manifest, advice, replicated)
        now_pushdown = {uid for uid in federated if strategy_of(copy, uid, target) == "pushdown"}
        assert now_pushdown == unlocked, f"after step {k + 1}"
        pushdown_before = len(manifest.nodes) - len(federated) - sum(
            1 for n in manifest.nodes.values() if n.resource_type not in ("model", "seed"))
        assert step.pushdown_after == pushdown_before + len(unlocked)


@PROPERTY
@given(manifests())
def test_each_step_is_at_least_as_good_as_any_other_available_then(case):
    manifest, target = case
    advice = plan_advice.advise(manifest, target)
    lacking = {m.unique_id: (m.to_connection, set(m.replicate)) for m in advice.models}
    for step in advice.steps:
        # The candidates: for each connection, what some model still lacks there.
        candidates = {(conn, frozenset(need)) for conn, need in lacking.values()}
        assert (step.to_connection, frozenset(step.replicate)) in candidates

        def completes(conn, sources):
            return sorted(uid for uid, (c, need) in lacking.items() if c == conn and need <= sources)

        def worth(conn, sources):
            return Fraction(len(completes(conn, sources)), len(sources))

        chosen = worth(step.to_connection, set(step.replicate))
        assert all(chosen >= worth(conn, need) for conn, need in candidates)
        assert sorted(step.unlocks) == completes(step.to_connection, set(step.replicate))
        for uid, (conn, need) in list(lacking.items()):
            if conn == step.to_connection:
                need -= set(step.replicate)
            if not need:
                del lacking[uid]
    assert not lacking


def marl(*args):
    return subprocess.run([str(MARL), *map(str, args)], capture_output=True, text=True, timeout=60)


def test_shop_advice_on_the_warehouse():
    proc = marl("plan", SHOP, "--target", "warehouse_pg", "--advise", "--json")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    customer_360 = next(m for m in doc["models"] if m["unique_id"] == "model.shop.customer_360")
    assert (customer_360["to_connection"], customer_360["replicate"]) == (
        "warehouse_pg", ["source.shop.crm.accounts", "source.shop.lake.events"])
    # The two sources customer_360 lacks also complete two single-source models.
    assert doc["steps"][0] == {
        "to_connection": "warehouse_pg",
        "replicate": ["source.shop.crm.accounts", "source.shop.lake.events"],
        "unlocks": ["model.shop.stg_events", "model.shop.stg_accounts", "model.shop.customer_360"],
        "pushdown_after": 12,
    }
    assert [s["pushdown_after"] for s in doc["steps"]] == [12, 13, 14, 15]
    assert doc["summary"] == {"nodes": 15, "pushdown": 9, "federated": 6, "target_connection": "warehouse_pg",
                              "steps": 4, "sources_replicated": 5, "pushdown_after": 15}
    text = marl("plan", SHOP, "--target", "warehouse_pg", "--advise").stdout
    assert "  1. replicate 2 sources into warehouse_pg: 3 more models pushdown, 12 of 15 in all\n" in text
    # Without a target a model runs where most of its sources are, ties by name.
    doc = json.loads(marl("plan", SHOP, "--advise", "--json").stdout)
    assert {m["unique_id"]: m["to_connection"] for m in doc["models"]} == {
        "model.shop.web_attribution": "lake_dbx", "model.shop.customer_360": "crm_mysql"}


def doc(nodes, sources=None):
    return {"sources": sources if sources is not None else {
        "source.p.pg.x": {"connection": "pg"}, "source.p.pg.y": {"connection": "pg"},
        "source.p.dbx.z": {"connection": "dbx"}, "source.p.my.w": {"connection": "mysql"}}, "nodes": nodes}


def model(*sources, deps=()):
    return {"resource_type": "model", "sources": list(sources), "depends_on": {"nodes": list(deps)}}


BASE = {"model.p.a": model("source.p.pg.x"), "model.p.b": model("source.p.pg.x", "source.p.dbx.z"),
        "model.p.c": model(deps=["model.p.a"])}


@pytest.mark.parametrize("change, status, expected", [
    ({}, 0, {}),
    ({"model.p.a": model("source.p.pg.x", "source.p.dbx.z")}, 1, {"became_federated": ["model.p.a"]}),
    ({"model.p.b": model("source.p.pg.y")}, 0, {"became_pushdown": ["model.p.b"]}),
    ({"model.p.new": model("source.p.dbx.z", "source.p.pg.y")}, 1, {"appeared": ["model.p.new"]}),
    ({"model.p.new": model("source.p.pg.y")}, 0, {"appeared": ["model.p.new"]}),
    ({"model.p.a": None}, 0, {"disappeared": ["model.p.a"]}),
    # Federated either way, now across three connections.
    ({"model.p.b": model("source.p.pg.x", "source.p.dbx.z", "source.p.my.w")}, 0, {"changed": ["model.p.b"]}),
    # Still pushdown to the target, only the reason differs (it no longer refs a model).
    ({"model.p.c": model()}, 0, {"changed": ["model.p.c"]}),
    # Reading one more source on the same connection changes nothing in the plan.
    ({"model.p.a": model("source.p.pg.x", "source.p.pg.y")}, 0, {}),
    ("unreadable-new", 2, None),
    ("unreadable-old", 2, None),
])
def test_baseline_reports_changes_and_fails_on_new_federation(tmp_path, change, status, expected):
    old, new = tmp_path / "old.json", tmp_path / "new.json"
    old.write_text(json.dumps(doc(BASE)))
    if change == "unreadable-new":
        new.write_text("{")
    elif change == "unreadable-old":
        new.write_text(json.dumps(doc(BASE)))
        old.write_text(json.dumps({"nodes": {"m": {}}}))
    else:
        nodes = {uid: n for uid, n in {**BASE, **change}.items() if n is not None}
        new.write_text(json.dumps(doc(nodes)))
    proc = marl("plan", new, "--baseline", old, "--target", "pg", "--json")
    assert proc.returncode == status, proc.stderr
    if expected is None:
        assert proc.stdout == "" and proc.stderr.startswith("marl plan: error: ")
        assert "Traceback" not in proc.stderr
        return
    report = json.loads(proc.stdout)
    found = {kind: [c["unique_id"] for c in report[kind]] for kind in plan_advice.CHANGE_KINDS if report[kind]}
    assert found == expected
    assert bool(report["new_federation"]) == (status == 1)
    for kind, (uid,) in expected.items():
        entry = report[kind][0]
        # Both sides carry their reason; a side that does not exist is null.
        assert (entry["old"] is None) == (kind == "appeared") and (entry["new"] is None) == (kind == "disappeared")
        assert all(side["reason"] for side in (entry["old"], entry["new"]) if side)


def test_shop_change_fails_the_gate_naming_the_model():
    proc = marl("plan", SHOP_CHANGE, "--target", "warehouse_pg", "--baseline", SHOP)
    assert proc.returncode == 1, proc.stderr
    assert proc.stdout.splitlines()[1:3] == ["became federated (1):", "  model.shop.order_payments"]
    assert proc.stdout.endswith("new federation in 1 model: model.shop.order_payments\n")
    # The other way round the model became pushdown: nothing new is federated.
    assert marl("plan", SHOP, "--baseline", SHOP_CHANGE).returncode == 0


def test_advise_with_nothing_federated_and_not_with_html(tmp_path):
    path = tmp_path / "m.json"
    path.write_text(json.dumps(doc({"model.p.a": model("source.p.pg.x"), "model.p.b": model(deps=["model.p.a"])})))
    proc = marl("plan", path, "--advise")
    assert (proc.returncode, proc.stdout) == (0, "No federated models among 2 nodes: nothing to replicate.\n")
    assert json.loads(marl("plan", path, "--advise", "--json").stdout)["steps"] == []
    proc = marl("plan", path, "--advise", "--html", tmp_path / "plan.html")
    assert proc.returncode == 2 and "does not combine" in proc.stderr
    assert not (tmp_path / "plan.html").exists()
