"""`marl plan --advise` and `--baseline`: the advice is checked against the
advisor itself on random manifests (replicating what it says really makes the
models pushdown), and the baseline comparison on hand-made pairs through the
command line, exit statuses included."""

import dataclasses
import json
import os
import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from marl import plan_advice
from schema_check import plan_validator
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
    customer_360 = next(m for m in doc["federated"] if m["model"]["unique_id"] == "model.shop.customer_360")
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
    assert doc["summary"] == {"nodes": 15, "pushdown": 9, "federated": 6, "target_connection": "warehouse_pg"}
    assert doc["advice"] == {"steps": 4, "sources_replicated": 5, "pushdown_after": 15, "steps_shown": 4}
    text = marl("plan", SHOP, "--target", "warehouse_pg", "--advise").stdout
    assert "  1. replicate 2 sources into warehouse_pg: 3 more models pushdown, 12 of 15 in all\n" in text
    # Without a target a model runs where most of its sources are, ties by name.
    doc = json.loads(marl("plan", SHOP, "--advise", "--json").stdout)
    assert {m["model"]["unique_id"]: m["to_connection"] for m in doc["federated"]} == {
        "model.shop.web_attribution": "lake_dbx", "model.shop.customer_360": "crm_mysql"}


def doc(nodes, sources=None):
    return {"sources": sources if sources is not None else {
        "source.p.pg.x": {"connection": "pg"}, "source.p.pg.y": {"connection": "pg"},
        "source.p.dbx.z": {"connection": "dbx"}, "source.p.my.w": {"connection": "mysql"}}, "nodes": nodes}


def model(*sources, deps=()):
    return {"resource_type": "model", "sources": list(sources), "depends_on": {"nodes": list(deps)}}


BASE = {"model.p.a": model("source.p.pg.x"), "model.p.b": model("source.p.pg.x", "source.p.dbx.z"),
        "model.p.c": model(deps=["model.p.a"])}


PASS = "PASS: no new federation"
ALLOWED = PASS + " (1 model allowed by the allow-list)"
WIDER = {"model.p.b": model("source.p.pg.x", "source.p.dbx.z", "source.p.my.w")}
A_FEDERATED = {"model.p.a": model("source.p.pg.x", "source.p.dbx.z")}

# (change to BASE: nodes replaced, None removes one; extra arguments; exit
# status; changes by kind; the verdict, or the start of the one error line).
GATE_CASES = {
    "unchanged": ({}, (), 0, {}, PASS),
    "became federated": (A_FEDERATED, (), 1, {"became_federated": ["model.p.a"]},
                         "FAIL: new federation in 1 model: model.p.a"),
    "became pushdown": ({"model.p.b": model("source.p.pg.y")}, (), 0, {"became_pushdown": ["model.p.b"]}, PASS),
    "appeared federated": ({"model.p.new": model("source.p.dbx.z", "source.p.pg.y")}, (), 1,
                           {"appeared": ["model.p.new"]}, "FAIL: new federation in 1 model: model.p.new"),
    "appeared pushdown": ({"model.p.new": model("source.p.pg.y")}, (), 0, {"appeared": ["model.p.new"]}, PASS),
    "one of three gone": ({"model.p.a": None}, (), 0, {"disappeared": ["model.p.a"]}, PASS),
    # Still pushdown to the target, only the reason differs (it no longer refs a model).
    "reason only": ({"model.p.c": model()}, ("--fail-on", "changed"), 0, {"changed": ["model.p.c"]},
                    "PASS: no change of strategy or connections"),
    # Reading one more source on the same connection changes nothing in the plan.
    "same connection": ({"model.p.a": model("source.p.pg.x", "source.p.pg.y")}, (), 0, {}, PASS),
    # Federated either way, now across three connections: each policy.
    "2->3 new": (WIDER, (), 0, {"changed": ["model.p.b"]}, PASS),
    "2->3 worse": (WIDER, ("--fail-on", "worse"), 1, {"changed": ["model.p.b"]},
                   "FAIL: federation across more connections in 1 model: model.p.b"),
    "2->3 changed": (WIDER, ("--fail-on", "changed"), 1, {"changed": ["model.p.b"]},
                     "FAIL: federation across more connections in 1 model: model.p.b"),
    "pushdown under worse": ({"model.p.b": model("source.p.pg.y")}, ("--fail-on", "worse"), 0,
                             {"became_pushdown": ["model.p.b"]}, "PASS: no new or wider federation"),
    "pushdown under changed": ({"model.p.b": model("source.p.pg.y")}, ("--fail-on", "changed"), 1,
                               {"became_pushdown": ["model.p.b"]},
                               "FAIL: changed strategy or connections in 1 model: model.p.b"),
    "allow-list id": (A_FEDERATED, ("--allow-list", "model.p.a  joins the new feed, agreed"), 0,
                      {"became_federated": ["model.p.a"]}, ALLOWED),
    "allow-list glob": (A_FEDERATED, ("--allow-list", "# accepted\n\nmodel.p.?\tall of p for now"), 0,
                        {"became_federated": ["model.p.a"]}, ALLOWED),
    # The first matching entry in the file is the one reported.
    "allow-list first match": (A_FEDERATED, ("--allow-list", "model.q.*  other\nmodel.p.*  first\nmodel.p.a  second"),
                               0, {"became_federated": ["model.p.a"]}, ALLOWED),
    "allow-list other": (A_FEDERATED, ("--allow-list", "model.q.*  not this one"), 1,
                         {"became_federated": ["model.p.a"]}, "FAIL: new federation in 1 model: model.p.a"),
    "allow-list without reason": (A_FEDERATED, ("--allow-list", "model.p.a"), 2, None,
                                  "line 1: 'model.p.a' has no reason"),
    "allow-list missing": (A_FEDERATED, ("--allow-list", None), 2, None, "cannot read the allow-list: No such file"),
    "summary file unwritable": ({}, ("--summary-file", "/nonexistent/dir/summary.md"), 2, None,
                                "cannot write the summary to /nonexistent/dir/summary.md"),
    "stdin baseline": (A_FEDERATED, ("stdin",), 1, {"became_federated": ["model.p.a"]},
                       "FAIL: new federation in 1 model: model.p.a"),
    "emptied": ("emptied", (), 2, None, "the current manifest has no models or seeds while the baseline has 3"),
    "emptied, accepted": ("emptied", ("--allow-shrink",), 0,
                          {"disappeared": ["model.p.a", "model.p.b", "model.p.c"]}, PASS),
    "lost half": ({"model.p.a": None, "model.p.b": None}, (), 2, None,
                  "the current manifest lost 2 of the baseline's 3 models and seeds, more than half"),
    "unknown target": ({}, ("--target", "nosuchconn"), 2, None,
                       "--target 'nosuchconn' names no connection of any source (the sources are on dbx, mysql, pg)"),
    # Accepted on purpose: everything reading a source is federated both times.
    "new target accepted": ({}, ("--target", "nosuchconn", "--allow-new-target"), 0, {}, PASS),
    "unreadable new": ("{", (), 2, None, "new.json: not valid JSON"),
    "unreadable old": ("unreadable-old", (), 2, None, "nodes['m']: missing required key 'resource_type'"),
    "policy without baseline": ({}, ("--fail-on", "worse", "nobaseline"), 2, None,
                                "--fail-on judges a change: it needs --baseline"),
}


@pytest.fixture(scope="module")
def plan_schema():
    return plan_validator()


def run_gate(tmp_path, change, extra):
    old, new = tmp_path / "old.json", tmp_path / "new.json"
    old.write_text(json.dumps(doc(BASE)))
    if change == "emptied":
        new.write_text("{}")
    elif change == "{":
        new.write_text("{")
    elif change == "unreadable-old":
        new.write_text(json.dumps(doc(BASE)))
        old.write_text(json.dumps({"nodes": {"m": {}}}))
    else:
        nodes = {uid: n for uid, n in {**BASE, **change}.items() if n is not None}
        new.write_text(json.dumps(doc(nodes)))
    args, stdin = list(extra), None
    if "--allow-list" in args:
        allow = tmp_path / "allow.txt"
        if args[args.index("--allow-list") + 1] is not None:
            allow.write_text(args[args.index("--allow-list") + 1])
        args[args.index("--allow-list") + 1] = allow
    baseline = ["--baseline", old]
    if "stdin" in args:
        args.remove("stdin")
        baseline, stdin = ["--baseline", "-"], old.read_text()
    if "nobaseline" in args:
        args.remove("nobaseline")
        baseline = []
    if "--target" not in args:
        args += ["--target", "pg"]
    return subprocess.run([str(MARL), "plan", str(new), *baseline, *map(str, args), "--format", "json"],
                          capture_output=True, text=True, timeout=60, input=stdin)


@pytest.mark.parametrize("change, extra, status, expected, verdict", GATE_CASES.values(), ids=GATE_CASES.keys())
def test_gate_statuses_and_verdicts(tmp_path, change, extra, status, expected, verdict, plan_schema):
    proc = run_gate(tmp_path, change, extra)
    assert proc.returncode == status, proc.stderr
    report = json.loads(proc.stdout)
    plan_schema.validate(report)
    if expected is None:
        # One line on standard error; the JSON output says the same.
        assert proc.stderr.startswith("marl plan: error: ") and proc.stderr.count("\n") == 1
        assert verdict in proc.stderr and "Traceback" not in proc.stderr
        assert report["status"] == "error" and report["error"]["exit_status"] == 2
        return
    assert report["status"] == ("fail" if status == 1 else "pass")
    assert report["verdict"] == verdict
    found = {}
    for change_entry in report["changes"]:
        found.setdefault(change_entry["change"], []).append(change_entry["unique_id"])
        # Both sides carry their reason; a side that does not exist is null.
        kind = change_entry["change"]
        assert (change_entry["old"] is None) == (kind == "appeared")
        assert (change_entry["new"] is None) == (kind == "disappeared")
    assert found == expected
    allowed = [c for c in report["changes"] if c["verdict"] == "allowed"]
    assert report["allowed"] == [c["unique_id"] for c in allowed]
    if allowed:
        # Allowed models are reported with the entry's reason, never dropped.
        assert allowed[0]["allowed_by"]["reason"] in ("joins the new feed, agreed", "all of p for now", "first")
    if "--allow-list" in extra:
        # Entries that matched nothing are listed, to be cleaned up.
        unused = {"model.q.*  not this one": ["model.q.*"], "model.q.*  other\nmodel.p.*  first\nmodel.p.a  second":
                  ["model.q.*", "model.p.a"]}
        assert report["policy"]["unused_entries"] == unused.get(extra[1], [])


def test_gate_when_not_set_up(tmp_path):
    path = tmp_path / "m.json"
    path.write_text(json.dumps(doc(BASE)))
    # bin/marl before set-up: no interpreter at all.
    proc = subprocess.run([str(MARL), "plan", str(path)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "MARL_PYTHON": str(tmp_path / "no-python")})
    assert proc.returncode == 3 and "run scripts/setup.sh" in proc.stderr
    # The native advisor missing from an environment.
    code = ("import sys; sys.modules['strix.plan_advisor'] = None; from marl.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    proc = subprocess.run([sys.executable, "-c", code, "plan", str(path), "--baseline", str(path)],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": str(ROOT / "host")})
    assert proc.returncode == 3 and "strix.plan_advisor is not available" in proc.stderr
    # An unknown option shows the subcommand's usage.
    proc = marl("plan", path, "--fail-of", "new")
    assert proc.returncode == 2 and proc.stderr.startswith("usage: marl plan ")


def test_shop_change_fails_the_gate_naming_the_model():
    proc = marl("plan", SHOP_CHANGE, "--target", "warehouse_pg", "--baseline", SHOP)
    assert proc.returncode == 1, proc.stderr
    assert proc.stdout.splitlines()[1:3] == ["became federated (1):", "  model.shop.order_payments  [fails the gate]"]
    assert proc.stdout.endswith("\nFAIL: new federation in 1 model: model.shop.order_payments\n")
    quiet = marl("plan", SHOP_CHANGE, "--target", "warehouse_pg", "--baseline", SHOP, "--quiet")
    assert (quiet.returncode, quiet.stdout) == (1, "FAIL: new federation in 1 model: model.shop.order_payments\n")
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


# --- every output format -----------------------------------------------------------

def md_tables(text):
    """The tables of a Markdown text, each as its body rows of cell texts."""
    from markdown_it import MarkdownIt

    tokens = MarkdownIt("commonmark").enable("table").parse(text)
    tables, row, in_body = [], None, False
    for token in tokens:
        if token.type in ("tbody_open", "tbody_close"):
            in_body = token.type == "tbody_open"
            if in_body:
                tables.append([])
                rows = tables[-1]
        elif in_body and token.type == "tr_open":
            row = []
        elif in_body and token.type == "tr_close":
            rows.append(row)
        elif in_body and token.type == "inline":
            row.append("".join(child.content for child in token.children))
    return tables


def md_blocks(text):
    """The text of each heading, paragraph and cell of a Markdown text, in order."""
    from markdown_it import MarkdownIt

    return ["".join(child.content for child in token.children)
            for token in MarkdownIt("commonmark").enable("table").parse(text) if token.type == "inline"]


ANNOTATION = re.compile(r"::(error|warning|notice) title=([^:]*)::(.*)")

GATE_ARGS = (SHOP_CHANGE, "--target", "warehouse_pg", "--baseline", SHOP)
FORMAT_RUNS = {
    # arguments, exit status, the first column of the Markdown rows, annotation (level, text) lines
    "plan": ((SHOP, "--target", "warehouse_pg"), 0,
             ["model.shop.stg_events", "model.shop.stg_accounts", "model.shop.stg_contacts",
              "model.shop.crm_health", "model.shop.web_attribution", "model.shop.customer_360"],
             ["warning"] * 6 + ["notice"]),
    "advise": ((SHOP, "--target", "warehouse_pg", "--advise", "--top", "2"), 0, ["1", "2"],
               ["notice"] * 4),
    "gate": (GATE_ARGS, 1, ["model.shop.order_payments"], ["error", "error"]),
    "gate allowed": ((*GATE_ARGS, "--allow-list", "allowed"), 0, ["model.shop.order_payments"],
                     ["notice", "notice"]),
}


@pytest.mark.parametrize("args, status, rows, levels", FORMAT_RUNS.values(), ids=FORMAT_RUNS.keys())
def test_every_output_format(tmp_path, plan_schema, args, status, rows, levels):
    allow = tmp_path / "allow.txt"
    allow.write_text("model.shop.order_*  moved to the lake on purpose\n")
    args = [allow if a == "allowed" else a for a in args]
    summary = tmp_path / "summary.md"
    outputs = {}
    for fmt in ("json", "markdown", "github", "text"):
        proc = marl("plan", *args, "--format", fmt, "--summary-file", summary)
        assert proc.returncode == status, proc.stderr
        outputs[fmt] = proc.stdout
    document = json.loads(outputs["json"])
    plan_schema.validate(document)
    assert document["status"] == ("fail" if status else "pass")
    *counts, listed = md_tables(outputs["markdown"])
    assert [row[0] for row in listed] == rows
    if counts:
        # The counts table: models and seeds, pushdown, federated.
        assert [row[0] for row in counts[0]] == ["models and seeds", "pushdown", "federated"]
    # The step summary file gathers one Markdown summary a run.
    assert summary.read_text() == outputs["markdown"] * 4
    lines = outputs["github"].splitlines()
    parsed = [ANNOTATION.fullmatch(line) for line in lines]
    assert all(parsed), lines
    assert [m[1] for m in parsed] == levels
    if document["command"] == "baseline":
        verdict = document["verdict"]
        # Verdict first: the Markdown's first paragraph, the text's last line.
        assert verdict.startswith("FAIL" if status else "PASS")
        assert md_blocks(outputs["markdown"])[1] == verdict
        assert outputs["text"].splitlines()[-1] == verdict
        assert parsed[-1][3] == verdict
        assert "model.shop.order_payments" in parsed[0][3]
        if document["allowed"]:
            assert listed[0][-1] == "allowed: moved to the lake on purpose"


def test_colour_only_on_a_terminal():
    import pty

    def on_terminal(env):
        main, child = pty.openpty()
        env = {**{k: v for k, v in os.environ.items() if k != "NO_COLOR"}, **env}
        proc = subprocess.run([str(MARL), "plan", *map(str, GATE_ARGS), "--quiet"], stdout=child,
                              stderr=subprocess.PIPE, env=env, timeout=60)
        os.close(child)
        text = os.read(main, 65536).decode()
        os.close(main)
        return proc.returncode, text

    status, text = on_terminal({"TERM": "xterm"})
    assert status == 1 and text.startswith("\x1b[31;1mFAIL\x1b[0m: new federation")
    status, text = on_terminal({"NO_COLOR": "1", "TERM": "xterm"})
    assert text.startswith("FAIL: new federation")
    assert "\x1b" not in marl("plan", *GATE_ARGS).stdout


def test_large_project_output_stays_bounded(tmp_path):
    sys.path.insert(0, str(ROOT / "bench"))
    from make_big_manifest import big_manifest

    old, new = tmp_path / "old.json", tmp_path / "new.json"
    old.write_text(json.dumps(big_manifest(4000)))
    new.write_text(json.dumps(big_manifest(4000, changed=800)))
    args = ("plan", new, "--baseline", old)
    quiet = marl(*args, "--quiet")
    assert quiet.returncode == 1
    verdict = quiet.stdout
    assert verdict.count("\n") == 1 and len(verdict) < 400
    assert verdict.startswith("FAIL: new federation in 800 models: ") and verdict.endswith(" and 790 more\n")
    markdown = marl(*args, "--format", "markdown").stdout
    assert len(md_tables(markdown)[-1]) == 50 and "and 750 more changes" in markdown
    assert len(markdown) < 20_000
    github = marl(*args, "--format", "github").stdout.splitlines()
    assert len(github) == 52 and "and 750 more failing models" in github[-2]
    text = marl(*args).stdout
    assert "  ... and 700 more (--format json lists them all)" in text
    advice = marl("plan", new, "--advise", "--top", "3").stdout
    assert len(re.findall(r"(?m)^ +\d+\. replicate ", advice)) == 3
    assert re.search(r"(?m)^  \.\.\. and \d+ more steps \(--top shows more\)$", advice)
