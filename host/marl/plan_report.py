"""The outputs of ``marl plan``: text, one versioned JSON shape, Markdown and
GitHub annotation lines, for the plan, the advice and the baseline gate.

JSON. Every document carries ``schema_version``, ``tool`` (name and version),
``command`` ("plan", "advise" or "baseline"), ``status`` ("pass", "fail" or
"error") and, but for errors, ``summary`` (``marl.plan_analysis.summarise``);
a model is always ``PlannedModel.as_json``. schema/plan.schema.json describes
them all. A minor version adds optional members; anything else (a member
removed, renamed or retyped) takes a new major version.

Every output meant for people is bounded whatever the project's size: the
verdict names the first ``VERDICT_IDS`` models, Markdown tables stop after
``TABLE_ROWS`` rows and annotations after ``ANNOTATIONS`` lines, each saying
how many more there are (the JSON output has them all).

Rows. With the project's row counts (``marl.plan_rows``), a federated model
carries the rows it pulls per run (``rows_pulled``, ``rows_crossing``,
``unprofiled_sources``; a pushdown model or seed in the plan pulls 0), a step
the rows it copies and saves (``rows_copied``, ``rows_saved``), and the
summary the totals (``rows``: ``pulled_now``, ``pulled_after_top``,
``pulled_after_all``); without them these members are absent.
"""

from __future__ import annotations

import json
import os
import sys
from types import GeneratorType
from typing import Dict, List, Optional, Sequence, TextIO

from marl import plan_rows
from marl.plan_advice import ModelAdvice, Step
from marl.plan_analysis import PlannedModel
from marl.plan_gate import CHANGE_KINDS, FINDING_TITLES, Change, Comparison, bounded_ids, verdict_text

SCHEMA_VERSION = "1.0"
VERDICT_IDS = 10
TABLE_ROWS = 50
ANNOTATIONS = 50
TEXT_ENTRIES = 100  # entries of one kind of change listed in text


def tool_info() -> dict:
    from importlib import metadata

    for distribution in ("marl", "strix-marl-native"):
        try:
            return {"name": "marl", "version": metadata.version(distribution)}
        except metadata.PackageNotFoundError:
            continue
    return {"name": "marl", "version": "unknown"}


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def _target_note(target: Optional[str]) -> str:
    return f" (target {target!r})" if target is not None else ""


# --- colour ------------------------------------------------------------------------

def use_colour(stream: TextIO) -> bool:
    """Colour only on a terminal, never with NO_COLOR set (to anything) or TERM=dumb."""
    if "NO_COLOR" in os.environ or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


class Paint:
    CODES = {"pass": "32;1", "fail": "31;1", "allowed": "33", "federated": "33", "pushdown": "32", "dim": "2"}

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def __call__(self, style: str, text: str) -> str:
        return f"\x1b[{self.CODES[style]}m{text}\x1b[0m" if self.enabled else text


# --- JSON --------------------------------------------------------------------------

def envelope(command: str, status: str) -> dict:
    return {"schema_version": SCHEMA_VERSION, "tool": tool_info(), "command": command, "status": status}


def _with_rows(model: PlannedModel, rows: Optional[plan_rows.AdviceRows], pushdown_pulls_none: bool) -> dict:
    """A model's JSON with the rows it pulls per run when ``rows`` has them
    (a model that is not federated pulls none, when ``pushdown_pulls_none``)."""
    document = model.as_json()
    if rows is not None:
        model_rows = rows.models.get(model.unique_id) if model.is_federated else None
        if model_rows is not None:
            document.update(model_rows.as_json())
        elif pushdown_pulls_none and not model.is_federated:
            document.update(plan_rows.pushdown_rows(model.unique_id).as_json())
    return document


def plan_document(analysis, rows: Optional[plan_rows.AdviceRows] = None) -> dict:
    if rows is None:
        return {**envelope("plan", "pass"), "summary": analysis.summary,
                "models": map(PlannedModel.as_json, analysis.models)}
    return {**envelope("plan", "pass"), "summary": {**analysis.summary, "rows": rows.summary()},
            "models": (_with_rows(m, rows, True) for m in analysis.models)}


def advice_document(advice, top: Optional[int] = None) -> dict:
    steps = advice.steps if top is None else advice.steps[:top]
    summary = _plan_summary(advice.summary)
    if advice.rows is not None:
        summary["rows"] = advice.rows.summary(top)
    return {**envelope("advise", "pass"), "summary": summary,
            "advice": {**advice.totals(), "steps_shown": len(steps)},
            "federated": map(ModelAdvice.as_json, advice.models),
            "steps": map(Step.as_json, steps)}


def _change_json(change: Change, rows: Optional[plan_rows.AdviceRows]) -> dict:
    """A change; its current model with the rows it will pull per run."""
    document = change.as_json()
    if rows is not None and change.new is not None:
        document["new"] = _with_rows(change.new, rows, False)
    return document


def baseline_document(comparison: Comparison, baseline_name: str,
                      rows: Optional[plan_rows.AdviceRows] = None) -> dict:
    allow = comparison.allow_list
    summary = comparison.current_summary
    if rows is not None:
        summary = {**summary, "rows": rows.summary()}
    return {
        **envelope("baseline", "pass" if comparison.passed else "fail"),
        "summary": summary,
        "baseline": {"name": baseline_name, "summary": comparison.baseline_summary},
        "policy": {"fail_on": comparison.fail_on, "allow_list": allow.origin if allow else None,
                   "allow_entries": len(allow.entries) if allow else 0,
                   "unused_entries": [e.pattern for e in comparison.unused_entries]},
        "verdict": verdict_text(comparison, VERDICT_IDS),
        "counts": comparison.counts(),
        "failing": [c.unique_id for c in comparison.failing],
        "allowed": [c.unique_id for c in comparison.allowed],
        "changes": map(Change.as_json, comparison.changes) if rows is None
        else (_change_json(c, rows) for c in comparison.changes),
    }


def error_document(command: str, message: str, exit_status: int) -> dict:
    return {**envelope(command, "error"), "error": {"message": message, "exit_status": exit_status}}


def _plan_summary(summary: Dict[str, object]) -> Dict[str, object]:
    return {key: summary[key] for key in ("nodes", "pushdown", "federated", "target_connection")}


def dump_json(document: dict, out: TextIO) -> None:
    """``document`` with one top-level member a line and one list item a
    line: readable, and written by the C encoder (``indent`` would use the
    pure-Python one, several seconds for 100,000 models). A member may be an
    iterator (``map``), written as a list item by item, so the items of a
    large list need never be held all at once."""
    encode = json.dumps
    out.write("{\n")
    last = len(document) - 1
    for i, (key, value) in enumerate(document.items()):
        out.write(f"  {encode(key)}: ")
        if isinstance(value, (list, map, GeneratorType)):
            separator = "[\n    "
            for item in value:
                out.write(separator)
                out.write(encode(item))
                separator = ",\n    "
            out.write("[]" if separator.startswith("[") else "\n  ]")
        else:
            out.write(encode(value))
        out.write(",\n" if i < last else "\n")
    out.write("}\n")


# --- text --------------------------------------------------------------------------

def plan_summary_line(summary: Dict[str, object]) -> str:
    count = summary["nodes"]
    line = f"{_plural(count, 'node')}: {summary['pushdown']} pushdown, {summary['federated']} federated"
    return line + _target_note(summary["target_connection"])


def print_plan(analysis, out: TextIO, quiet: bool = False, paint: Paint = Paint(False),
               rows: Optional[plan_rows.AdviceRows] = None) -> None:
    models = analysis.models
    if models and not quiet:
        id_width = max(len(m.unique_id) for m in models)
        strategy_width = max(len(m.strategy) for m in models)
        for m in models:
            strategy = m.strategy.ljust(strategy_width)
            out.write(f"{m.unique_id:<{id_width}}  {paint(m.strategy, strategy) if m.strategy in paint.CODES else strategy}"
                      f"  {m.reason}\n")
            note = rows.rows_note(m.unique_id) if rows is not None and m.is_federated else None
            if note:
                out.write(f"{'':<{id_width}}  {'':<{strategy_width}}  {note}\n")
    out.write(plan_summary_line(analysis.summary) + "\n")
    if rows is not None and not quiet:
        out.write(f"rows pulled per run by federated models: {plan_rows.fmt_rows(rows.pulled_now, rows.pulled_now_known)}\n")


def advice_total_line(advice) -> str:
    s = advice.summary
    return (f"In all: replicate {_plural(s['sources_replicated'], 'source')} in {_plural(s['steps'], 'step')}; "
            f"then {s['pushdown_after']} of {s['nodes']} nodes are pushdown.")


def print_advice(advice, out: TextIO, top: Optional[int] = None, quiet: bool = False) -> None:
    s = advice.summary
    if not advice.models:
        out.write(f"No federated models among {_plural(s['nodes'], 'node')}{_target_note(s['target_connection'])}: "
                  "nothing to replicate.\n")
        return
    if quiet:
        out.write(advice_total_line(advice) + "\n")
        return
    out.write(f"{_plural(s['federated'], 'federated model')} of {_plural(s['nodes'], 'node')}"
              f"{_target_note(s['target_connection'])}; to make each pushdown:\n")
    id_width = max(len(m.unique_id) for m in advice.models)
    conn_width = max(len(m.to_connection) for m in advice.models)
    for m in advice.models:
        line = f"  {m.unique_id:<{id_width}}  run on {m.to_connection:<{conn_width}}  replicate {', '.join(m.replicate)}"
        if m.no_connection:
            line += f" (also reads on no connection: {', '.join(m.no_connection)})"
        out.write(line + "\n")
        if m.rows is not None:
            out.write(f"  {'':<{id_width}}  {plan_rows.describe_model_rows(m.rows)}\n")
    if advice.rank == "rows":
        out.write("Replication steps, most rows no longer pulled per row copied first:\n")
    else:
        out.write("Replication steps, most models made pushdown per source replicated first:\n")
    steps = advice.steps if top is None else advice.steps[:top]
    for number, step in enumerate(steps, 1):
        out.write(f"{number:>3}. replicate {_plural(len(step.replicate), 'source')} into {step.to_connection}: "
                  f"{len(step.unlocks)} more model{'' if len(step.unlocks) == 1 else 's'} pushdown, "
                  f"{step.pushdown_after} of {s['nodes']} in all\n")
        out.write(f"       sources:  {', '.join(step.replicate)}\n")
        out.write(f"       pushdown: {', '.join(step.unlocks)}\n")
        if step.rows is not None:
            out.write(f"       rows:     {plan_rows.describe_step_rows(step.rows)}\n")
    if len(steps) < len(advice.steps):
        out.write(f"  ... and {_plural(len(advice.steps) - len(steps), 'more step')} (--top shows more)\n")
    out.write(advice_total_line(advice) + "\n")
    if advice.rows is not None:
        out.write(advice_rows_line(advice, top) + "\n")


def advice_rows_line(advice, top: Optional[int] = None) -> str:
    """The rows pulled per run now, after the first ``top`` steps (when
    fewer than all) and after all, and the sources without a profile."""
    rows = advice.rows
    parts = [f"{plan_rows.fmt_rows(rows.pulled_now, rows.pulled_now_known)} now"]
    if top is not None and top < len(advice.steps):
        step = rows.steps[top - 1]
        parts.append(f"{plan_rows.fmt_rows(step.pulled_after, step.pulled_after_known)} "
                     f"after the first {_plural(top, 'step')}")
    parts.append(f"{plan_rows.fmt_rows(rows.pulled_after(None))} after all steps")
    line = f"Rows pulled per run by federated models: {', '.join(parts)}."
    if rows.unprofiled:
        line += (f" Unknown: {_plural(len(rows.unprofiled), 'source')} without a profile: "
                 f"{plan_rows.names(rows.unprofiled)}.")
    return line


CHANGE_TITLES = {
    "became_federated": "became federated",
    "became_pushdown": "became pushdown",
    "changed": "changed connection or reason",
    "appeared": "appeared",
    "disappeared": "disappeared",
}


def where(model) -> str:
    if model.strategy == "federated":
        return "reads " + (", ".join(model.source_connections) or "no connection")
    return "on " + (model.primary_connection or "the default target")


def _mark(change: Change, paint: Paint) -> str:
    if change.verdict == "fail":
        return "  " + paint("fail", "[fails the gate]")
    if change.verdict == "allowed":
        return "  " + paint("allowed", f"[allowed: {change.allowed_by.reason}]")
    return ""


def print_comparison(comparison: Comparison, baseline_name: str, out: TextIO,
                     quiet: bool = False, paint: Paint = Paint(False),
                     rows: Optional[plan_rows.AdviceRows] = None) -> None:
    """The comparison for a person; with ``rows``, each model federated now
    says the rows it will pull per run."""
    verdict = verdict_text(comparison, VERDICT_IDS)
    styled = paint("pass" if comparison.passed else "fail", verdict[:4]) + verdict[4:]
    if quiet:
        out.write(styled + "\n")
        return
    out.write(f"Compared with the baseline {baseline_name}{_target_note(comparison.target_connection)}, "
              f"failing on {comparison.fail_on}:\n")
    for kind in CHANGE_KINDS:
        changes = comparison.of_kind(kind)
        if not changes:
            continue
        out.write(f"{CHANGE_TITLES[kind]} ({len(changes)}):\n")
        # What fails first, so the cut never hides it.
        shown = sorted(changes, key=lambda c: c.verdict != "fail")[:TEXT_ENTRIES]
        for change in shown:
            out.write(f"  {change.unique_id}{_mark(change, paint)}\n")
            for label, model in (("was", change.old), ("now", change.new)):
                if model is not None:
                    out.write(f"    {label} {model.strategy:<9}  {where(model)}: {model.reason}\n")
            note = rows.rows_note(change.unique_id) if rows is not None and change.new is not None else None
            if note:
                out.write(f"    {note}\n")
        if len(changes) > len(shown):
            out.write(f"  ... and {len(changes) - len(shown)} more (--format json lists them all)\n")
    if not comparison.changes:
        out.write("no model changed its plan\n")
    unused = [e.pattern for e in comparison.unused_entries]
    if unused:
        out.write(f"allow-list entries that matched no finding: {bounded_ids(unused, VERDICT_IDS)}\n")
    b, c = comparison.baseline_summary, comparison.current_summary
    out.write(f"baseline {_plural(b['nodes'], 'node')}: {b['pushdown']} pushdown, {b['federated']} federated; "
              f"now {_plural(c['nodes'], 'node')}: {c['pushdown']} pushdown, {c['federated']} federated\n")
    out.write(styled + "\n")


# --- Markdown ------------------------------------------------------------------------

_MD_SPECIAL = str.maketrans({c: "\\" + c for c in "\\`*_{}[]<>()#+!|~"})


def md(text: object) -> str:
    """``text`` as literal Markdown inline text, fit for a table cell."""
    return " ".join(str(text).split()).translate(_MD_SPECIAL)


def _md_table(header: Sequence[str], rows: List[Sequence[str]], total: int, what: str) -> List[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    if total > len(rows):
        lines += ["", f"_… and {total - len(rows)} more {what} (the JSON output lists them all)._"]
    return lines


def _md_counts(columns: Sequence[str], summaries: Sequence[Dict[str, object]]) -> List[str]:
    lines = ["| | " + " | ".join(columns) + " |", "|---|" + "---:|" * len(columns)]
    for key, label in (("nodes", "models and seeds"), ("pushdown", "pushdown"), ("federated", "federated")):
        lines.append(f"| {label} | " + " | ".join(str(s[key]) for s in summaries) + " |")
    return lines


def _md_where(model) -> str:
    return md(f"{model.strategy}, {where(model)}") if model else "—"


def _md_rows(model, rows: Optional[plan_rows.AdviceRows]) -> str:
    """The rows a federated model pulls per run, for a table cell."""
    note = rows.rows_note(model.unique_id) if rows is not None and model is not None and model.is_federated else None
    return md(note) if note else "—"


def baseline_markdown(comparison: Comparison, baseline_name: str,
                      rows: Optional[plan_rows.AdviceRows] = None) -> str:
    verdict = verdict_text(comparison, VERDICT_IDS)
    status = "PASS" if comparison.passed else "FAIL"
    target = comparison.target_connection
    lines = [f"### marl plan gate: {status}", "", f"**{md(verdict)}**", "",
             f"Baseline {md(baseline_name)}" + (f", target {md(target)}" if target else "")
             + f", failing on {md(comparison.fail_on)}.", ""]
    lines += _md_counts(("baseline", "now"), (comparison.baseline_summary, comparison.current_summary))
    lines.append("")
    # Findings first (failing, then allowed), then the other changes.
    order = {"fail": 0, "allowed": 1, "pass": 2}
    ranked = sorted(comparison.changes, key=lambda c: order[c.verdict])
    if ranked:
        table = [(md(c.unique_id), md(CHANGE_TITLES[c.kind]), _md_where(c.old), _md_where(c.new),
                  "**fail**" if c.verdict == "fail" else
                  ("allowed: " + md(c.allowed_by.reason) if c.verdict == "allowed" else "—"))
                 + ((_md_rows(c.new, rows),) if rows is not None else ())
                 for c in ranked[:TABLE_ROWS]]
        header = ("Model", "Change", "Was", "Now", "Verdict") + (("Rows per run",) if rows is not None else ())
        lines += _md_table(header, table, len(ranked), "changes")
        lines += ["", "<details><summary>Reasons</summary>", ""]
        for c in ranked[:TABLE_ROWS]:
            model = c.new or c.old
            lines.append(f"- {md(c.unique_id)}: {md(model.reason)}")
        lines += ["", "</details>"]
    else:
        lines.append("No model changed its plan.")
    return "\n".join(lines) + "\n"


def plan_markdown(analysis, rows: Optional[plan_rows.AdviceRows] = None) -> str:
    s = analysis.summary
    target = s["target_connection"]
    lines = [f"### marl plan: {_plural(s['federated'], 'federated model')} of {s['nodes']}", ""]
    if target:
        lines += [f"Target {md(target)}.", ""]
    lines += _md_counts(("plan",), (s,))
    federated = [m for m in analysis.models if m.strategy == "federated"]
    if federated:
        table = [(md(m.unique_id), md(", ".join(m.source_connections)), md(m.reason))
                 + ((_md_rows(m, rows),) if rows is not None else ())
                 for m in federated[:TABLE_ROWS]]
        header = ("Federated model", "Reads", "Reason") + (("Rows per run",) if rows is not None else ())
        lines += [""] + _md_table(header, table, len(federated), "federated models")
    if rows is not None:
        lines += ["", md(f"Rows pulled per run by federated models: "
                         f"{plan_rows.fmt_rows(rows.pulled_now, rows.pulled_now_known)}.")]
    return "\n".join(lines) + "\n"


def advice_markdown(advice, top: Optional[int] = None) -> str:
    s = advice.summary
    limit = TABLE_ROWS if top is None else min(top, TABLE_ROWS)
    lines = [f"### marl plan advice: {_plural(s['federated'], 'federated model')} of {s['nodes']}", "",
             md(advice_total_line(advice)), ""]
    with_rows = advice.rows is not None
    if with_rows:
        lines += [md(advice_rows_line(advice, top)), ""]
    if advice.steps:
        table = [(str(n), md(step.to_connection), md(", ".join(step.replicate)),
                  str(len(step.unlocks)), str(step.pushdown_after))
                 + ((plan_rows.fmt_rows(step.rows.copied), plan_rows.fmt_rows(step.rows.saved)) if with_rows else ())
                 for n, step in enumerate(advice.steps[:limit], 1)]
        header = ("Step", "Into", "Replicate", "Models made pushdown", "Pushdown after") \
            + (("Rows copied", "Rows no longer pulled per run") if with_rows else ())
        lines += _md_table(header, table, len(advice.steps), "steps")
    return "\n".join(lines) + "\n"


# --- GitHub annotations ------------------------------------------------------------

def _gh_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _gh_property(text: str) -> str:
    return _gh_data(text).replace(":", "%3A").replace(",", "%2C")


def annotation(level: str, title: str, message: str) -> str:
    return f"::{level} title={_gh_property(title)}::{_gh_data(message)}"


def _bounded(lines: List[str], total: int, level: str, title: str, what: str) -> List[str]:
    if total > len(lines):
        lines.append(annotation(level, title, f"and {total - len(lines)} more {what} (see the JSON output)"))
    return lines


def baseline_annotations(comparison: Comparison, rows: Optional[plan_rows.AdviceRows] = None) -> List[str]:
    """One error line per failing model, one notice per allowed one, then
    the verdict; with ``rows``, a failing federated model's line says the
    rows it will pull per run."""
    lines = []
    failing, allowed = comparison.failing, comparison.allowed
    for c in failing[:ANNOTATIONS]:
        lines.append(annotation("error", FINDING_TITLES[c.finding].capitalize(),
                                f"{c.unique_id}: {CHANGE_TITLES[c.kind]}, {where(c.new)}: {c.new.reason}"
                                f"{_note(rows, c.unique_id)}"
                                if c.new else f"{c.unique_id}: {CHANGE_TITLES[c.kind]}"))
    _bounded(lines, len(failing), "error", "Plan gate", "failing models")
    room = max(ANNOTATIONS - len(lines), 0)
    notices = [annotation("notice", "Allowed by the allow-list",
                          f"{c.unique_id}: {FINDING_TITLES[c.finding]} ({c.allowed_by.reason})")
               for c in allowed[:room]]
    lines += _bounded(notices, len(allowed), "notice", "Allowed by the allow-list", "allowed models")
    level = "notice" if comparison.passed else "error"
    lines.append(annotation(level, "marl plan gate", verdict_text(comparison, VERDICT_IDS)))
    return lines


def _note(rows: Optional[plan_rows.AdviceRows], unique_id: str) -> str:
    note = rows.rows_note(unique_id) if rows is not None else None
    return f"; {note}" if note else ""


def plan_annotations(analysis, rows: Optional[plan_rows.AdviceRows] = None) -> List[str]:
    federated = [m for m in analysis.models if m.strategy == "federated"]
    lines = [annotation("warning", "Federated model", f"{m.unique_id}: {m.reason}{_note(rows, m.unique_id)}")
             for m in federated[:ANNOTATIONS]]
    _bounded(lines, len(federated), "warning", "Federated model", "federated models")
    lines.append(annotation("notice", "marl plan", plan_summary_line(analysis.summary)))
    return lines


def advice_annotations(advice, top: Optional[int] = None) -> List[str]:
    limit = ANNOTATIONS if top is None else min(top, ANNOTATIONS)
    lines = [annotation("notice", f"Replication step {n}",
                        f"replicate {', '.join(step.replicate)} into {step.to_connection}: "
                        f"{_plural(len(step.unlocks), 'model')} made pushdown"
                        + (f"; {plan_rows.describe_step_rows(step.rows)}" if step.rows is not None else ""))
             for n, step in enumerate(advice.steps[:limit], 1)]
    _bounded(lines, len(advice.steps), "notice", "Replication steps", "steps")
    total = advice_total_line(advice)
    if advice.rows is not None:
        total += " " + advice_rows_line(advice, top)
    lines.append(annotation("notice", "marl plan advice", total))
    return lines


def write_lines(lines: Sequence[str], out: TextIO = sys.stdout) -> None:
    out.write("".join(line + "\n" for line in lines))

