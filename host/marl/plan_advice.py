"""What to replicate where to end federation, and the plan of a manifest
compared with a baseline manifest.

Both work on the advisor's decisions as ``marl.plan_analysis`` makes them
(``PlanAdvisor.analyze`` with the command line's target) and on the manifest;
nothing here looks at the plan graph, so the command line, the pages and the
tests share one implementation.

Advice. A federated model is turned pushdown by running it on one connection
(its ``to_connection``: the target when there is one, else the connection that
already holds most of its direct sources, ties going to the smaller name) and
replicating there every direct source it reads on another connection. Sources
on no connection (defined without one, or not defined at all) are listed
apart: the advisor does not count them, so they neither cause nor end
federation, and there is no connection to copy them from.

Ranking. A source replicated once to a connection serves every model that
reads it there. The steps are chosen greedily: the candidates at each point
are, for every connection, the sets of sources that some still-federated
model running there lacks; a candidate's worth is the number of models it
completes (every model at that connection whose missing sources it covers)
per source it replicates. The best candidate is taken (ties: fewer sources,
then the connection's name, then the sorted source ids), its sources are
replicated, and the models' needs shrink. A replication only ever raises
the worth of the candidates left, and only of those holding a need it shrank:
the worths are kept in a heap, those candidates are pushed again with their
new worth (the older entry is skipped), and a project of 100,000 nodes is
advised in a few seconds. Ranked by rows (``marl.plan_rows``), a
candidate's worth is first the rows its models no longer pull per run for
each row it copies, then the worth above; the same heap keeps it, each
candidate's tally of models and rows growing as its count did (a model of
unknown rows joining the tally lowers its worth to unknown: the candidate
is pushed again all the same).

Baseline. Two manifests are analysed with the same target and their models
and seeds are matched by unique_id: a model that became federated, or that
is new and federated, is new federation, which a CI job fails on.
"""

from __future__ import annotations

import argparse
import heapq
import json
import sys
from collections import Counter
from dataclasses import dataclass, field
from itertools import combinations
from typing import Dict, FrozenSet, List, Optional, Sequence, Tuple

from marl import plan_rows
from marl.plan_analysis import PlanAnalysis, PlanAnalysisError, analyse_manifest

# --- the advisor's decisions ---------------------------------------------------

@dataclass
class Planned:
    """One model's or seed's decision, as compared and shown."""

    unique_id: str
    resource_type: str
    strategy: str
    primary_connection: Optional[str]
    source_connections: List[str]
    source_refs: List[str]
    reason: str

    def as_json(self) -> dict:
        return {
            "resource_type": self.resource_type,
            "strategy": self.strategy,
            "primary_connection": self.primary_connection,
            "source_connections": self.source_connections,
            "reason": self.reason,
        }


def planned_records(planned) -> Dict[str, Planned]:
    return {
        node.unique_id: Planned(
            unique_id=node.unique_id,
            resource_type=node.resource_type,
            strategy=result.strategy,
            primary_connection=result.primary_connection,
            source_connections=sorted(result.source_connections),
            source_refs=sorted(result.source_refs),
            reason=result.reason,
        )
        for node, result in planned
    }


# --- advice ------------------------------------------------------------------

@dataclass
class ModelAdvice:
    unique_id: str
    to_connection: str
    replicate: List[str]  # sources to copy into to_connection, sorted
    no_connection: List[str]  # sources it reads that are on no connection, sorted
    reason: str  # why it is federated now
    rows: Optional[plan_rows.ModelRows] = None  # with the project's row counts

    def as_json(self) -> dict:
        document = {"unique_id": self.unique_id, "to_connection": self.to_connection,
                    "replicate": self.replicate, "no_connection": self.no_connection,
                    "reason": self.reason}
        if self.rows is not None:
            document.update(self.rows.as_json())
        return document


@dataclass
class Step:
    to_connection: str
    replicate: List[str]  # sorted
    unlocks: List[str]  # models made pushdown, in manifest order
    pushdown_after: int  # models and seeds pushdown once this step is done
    rows: Optional[plan_rows.StepRows] = None  # with the project's row counts

    def as_json(self) -> dict:
        document = {"to_connection": self.to_connection, "replicate": self.replicate,
                    "unlocks": self.unlocks, "pushdown_after": self.pushdown_after}
        if self.rows is not None:
            document.update(self.rows.as_json())
        return document


@dataclass
class Advice:
    models: List[ModelAdvice]
    steps: List[Step]
    summary: Dict[str, object] = field(default_factory=dict)
    rows: Optional[plan_rows.AdviceRows] = None  # with the project's row counts
    rank: str = "models"  # the order of the steps: "models" or "rows"

    def as_json(self) -> dict:
        return {"models": [m.as_json() for m in self.models],
                "steps": [s.as_json() for s in self.steps],
                "summary": self.summary}


def model_advice(node_id: str, result, connection_of, target: Optional[str]) -> ModelAdvice:
    """Where a federated model should run and what it lacks there.

    ``connection_of`` maps a source id to its connection (or None)."""
    refs = sorted(result.source_refs)
    where = {ref: connection_of(ref) for ref in refs}
    if target:
        to_connection = target
    else:
        held = Counter(conn for conn in where.values() if conn)
        # A federated model without a target reads at least two connections.
        to_connection = min(held, key=lambda conn: (-held[conn], conn))
    return ModelAdvice(
        unique_id=node_id,
        to_connection=to_connection,
        replicate=[ref for ref in refs if where[ref] and where[ref] != to_connection],
        no_connection=[ref for ref in refs if not where[ref]],
        reason=result.reason,
    )


def advise(manifest, target: Optional[str] = None) -> Advice:
    """Per-model advice for every federated model of ``manifest`` and the
    ranked replication steps for the whole project."""
    return advise_analysis(analyse_manifest(manifest, target))


def advise_analysis(analysis: PlanAnalysis, counts: Optional[plan_rows.RowCounts] = None,
                    rank: Optional[str] = None, top: Optional[int] = None) -> Advice:
    """The advice for an analysis already made (``marl.plan_analysis``).

    With ``counts`` (source unique_id -> latest row count or None, see
    ``marl.plan_rows``) the models and steps carry their rows, the summary
    its totals (``top``: after how many steps the middle total is taken),
    and ``rank`` defaults to "rows"."""
    planned, target = analysis.planned, analysis.target
    run_on = target or None  # the advisor takes an empty target as none
    models = [model_advice(node.unique_id, result, analysis.source_connection, run_on)
              for node, result in planned if result.is_federated]
    pushdown = sum(1 for _, result in planned if result.is_pushdown)
    rank = rank or ("rows" if counts is not None else "models")
    rows_of = plan_rows.advised_model_rows(analysis, models, counts) if counts is not None else None
    if rank == "rows":
        if rows_of is None:
            raise ValueError("the rows ranking needs row counts")
        ranking = plan_rows.RowsRanking([rows_of[m.unique_id].pulled for m in models], counts)
        steps = rank_steps(models, pushdown, ranking)
    else:
        steps = rank_steps(models, pushdown)
    summary = {
        "nodes": len(planned),
        "pushdown": pushdown,
        "federated": len(models),
        "target_connection": target,
        "steps": len(steps),
        "sources_replicated": sum(len(s.replicate) for s in steps),
        "pushdown_after": pushdown + sum(len(s.unlocks) for s in steps),
    }
    rows = None
    if counts is not None:
        rows = plan_rows.advice_rows(analysis, models, steps, counts, rows_of)
        for m in models:
            m.rows = rows.models[m.unique_id]
        for step, step_rows in zip(steps, rows.steps):
            step.rows = step_rows
        summary["rows"] = rows.summary(top)
    return Advice(models=models, steps=steps, summary=summary, rows=rows, rank=rank)


def advised_rows(analysis: PlanAnalysis, counts: plan_rows.RowCounts) -> plan_rows.AdviceRows:
    """The rows of the federated models of ``analysis`` (each run where the
    advice runs it) and the totals, without ranking the steps."""
    run_on = analysis.target or None
    models = [model_advice(node.unique_id, result, analysis.source_connection, run_on)
              for node, result in analysis.planned if result.is_federated]
    return plan_rows.advice_rows(analysis, models, [], counts)


Key = FrozenSet[str]


class _Connection:
    """The models still federated that run on one connection, grouped by the
    set of sources each still lacks there, with what replicating each such
    set would complete."""

    def __init__(self, measure=len, zero=0) -> None:
        self.groups: Dict[Key, List[int]] = {}  # lacking sources -> model indices
        self.with_source: Dict[str, set] = {}  # source -> live keys holding it
        self.completes: Dict[Key, int] = {}  # live key -> models replicating it completes
        # What a group of models counts for: their number, or (for the rows
        # ranking) a tally that adds up like one.
        self.measure, self.zero = measure, zero

    def add(self, key: Key, members: List[int]) -> bool:
        """Add models lacking ``key``; True when no model lacked it before."""
        if key in self.groups:
            self.groups[key].extend(members)
            return False
        self.groups[key] = members
        for source in key:
            self.with_source.setdefault(source, set()).add(key)
        return True

    def remove(self, key: Key) -> List[int]:
        for source in key:
            self.with_source[source].discard(key)
        self.completes.pop(key, None)
        return self.groups.pop(key)

    def count_completed(self, candidate: Key) -> int:
        """How many models replicating ``candidate`` completes: those whose
        lacking sources are all in it (by its subsets when it is small)."""
        scan = sum(len(self.with_source[s]) for s in candidate)
        measure = self.measure
        if len(candidate) < 16 and (1 << len(candidate)) < scan:
            return sum((measure(self.groups.get(frozenset(subset), ()))
                        for size in range(1, len(candidate) + 1)
                        for subset in combinations(candidate, size)), self.zero)
        seen = set()
        for source in candidate:
            seen.update(k for k in self.with_source[source] if k <= candidate)
        return sum((measure(self.groups[k]) for k in seen), self.zero)

    def supersets(self, key: Key) -> List[Key]:
        """The live keys holding all of ``key`` (itself included)."""
        rarest = min(key, key=lambda s: len(self.with_source[s]))
        return [k for k in self.with_source[rarest] if key <= k]

    def replicate(self, replicated: Key) -> Tuple[List[int], set]:
        """Replicate ``replicated`` here: the models it completes, and the
        keys whose worth rose.

        A model lacking some of ``replicated`` now lacks the rest, R. Every
        live key H holding R completes it too from now on; H did not before,
        since H, being untouched, holds nothing of ``replicated`` while the
        model's old lacking set did. No other key's count changes, so worths
        only ever rise."""
        touched = set()
        for source in replicated:
            touched.update(self.with_source.get(source, ()))
        completed: List[int] = []
        moved: Dict[Key, int] = {}
        fresh = set()
        for key in touched:
            members = self.remove(key)
            rest = key - replicated
            if not rest:
                completed.extend(members)
                continue
            if self.add(rest, members):
                fresh.add(rest)
            moved[rest] = moved.get(rest, self.zero) + self.measure(members)
        risen = set(fresh)
        for key in fresh:
            self.completes[key] = self.count_completed(key)
        for rest, count in moved.items():
            for key in self.supersets(rest):
                if key not in fresh:
                    self.completes[key] += count
                    risen.add(key)
        return completed, risen


def rank_steps(models: Sequence[ModelAdvice], pushdown_before: int = 0,
               rows: Optional[plan_rows.RowsRanking] = None) -> List[Step]:
    """The greedy replication steps for ``models`` (see the module's doc);
    with ``rows``, a candidate's worth is first its rows no longer pulled
    per row copied (``marl.plan_rows``), then its worth in models."""
    connections: Dict[str, _Connection] = {}
    for index, advice in enumerate(models):
        if advice.replicate:
            connections.setdefault(
                advice.to_connection,
                _Connection() if rows is None else _Connection(rows.measure, rows.zero),
            ).add(frozenset(advice.replicate), [index])

    # One valid heap entry per live key, the one with its latest version. A
    # worth is kept as a float: equal ratios divide to the same float, and
    # distinct ratios of counts as small as these never round to one. Ties
    # compare the sorted source ids through their ranks (the same order, as
    # cheap int comparisons).
    rank = {source: i for i, source in enumerate(sorted({s for m in models for s in m.replicate}))}
    heap: List[Tuple[float, int, str, Tuple[int, ...], int, Key]] = []
    latest: Dict[Tuple[str, Key], int] = {}  # the sequence number of a key's valid entry
    ranks_of: Dict[Key, Tuple[int, ...]] = {}
    pushed = 0

    def push(conn: str, key: Key) -> None:
        nonlocal pushed
        pushed += 1
        latest[conn, key] = pushed
        ranks = ranks_of.get(key)
        if ranks is None:
            ranks = ranks_of[key] = tuple(sorted(rank[source] for source in key))
        completes = connections[conn].completes[key]
        if rows is None:
            heapq.heappush(heap, (-completes / len(key), len(key), conn, ranks, pushed, key))
        else:
            heapq.heappush(heap, (rows.worth(key, completes), -completes.models / len(key),
                                  len(key), conn, ranks, pushed, key))

    def valid(entry) -> bool:
        conn, seq, key = entry[-4], entry[-2], entry[-1]
        return key in connections[conn].groups and latest[conn, key] == seq

    for conn, state in connections.items():
        for key in state.groups:
            state.completes[key] = state.count_completed(key)
            push(conn, key)

    steps: List[Step] = []
    pushdown = pushdown_before
    while heap:
        entry = heapq.heappop(heap)
        if not valid(entry):
            continue  # no model lacks exactly these sources any more, or a newer entry
        conn, key = entry[-4], entry[-1]
        state = connections[conn]
        completed, risen = state.replicate(key)
        pushdown += len(completed)
        steps.append(Step(
            to_connection=conn,
            replicate=sorted(key),
            unlocks=[models[i].unique_id for i in sorted(completed)],
            pushdown_after=pushdown,
        ))
        for lacking in risen:
            push(conn, lacking)
        if len(heap) > 2 * sum(len(c.groups) for c in connections.values()) + 4096:
            # Mostly superseded entries: keep the valid ones.
            heap = [e for e in heap if valid(e)]
            heapq.heapify(heap)
    return steps


def panel_steps(advice: Advice, element_of: Dict[str, str], limit: int = 200) -> List[dict]:
    """The first ``limit`` steps as the plan page lists them, each with the
    ids of the drawn elements to highlight when it is selected.

    ``element_of`` maps a model's or a source's unique_id to the id of its
    element in the graph's SVG; ids it lacks (not drawn) are left out."""
    rows = []
    for number, step in enumerate(advice.steps[:limit], 1):
        rows.append({
            "number": number,
            "to_connection": step.to_connection,
            "replicate": step.replicate,
            "unlocks": step.unlocks,
            "pushdown_after": step.pushdown_after,
            # Several models may share one element (a box of the overview).
            "source_elements": list(dict.fromkeys(element_of[s] for s in step.replicate if s in element_of)),
            "model_elements": list(dict.fromkeys(element_of[m] for m in step.unlocks if m in element_of)),
        })
        if step.rows is not None:
            rows[-1].update(step.rows.as_json(), rows_pulled_after=step.rows.pulled_after,
                            rows_text=plan_rows.describe_step_rows(step.rows))
    return rows


# --- baseline ----------------------------------------------------------------

CHANGE_KINDS = ("became_federated", "became_pushdown", "changed", "appeared", "disappeared")


@dataclass
class Comparison:
    target_connection: Optional[str]
    changes: Dict[str, List[Tuple[Optional[Planned], Optional[Planned]]]]
    baseline_counts: Dict[str, int]
    current_counts: Dict[str, int]

    @property
    def new_federation(self) -> List[str]:
        """Models federated now that were not: the ones a CI job fails on."""
        became = [new.unique_id for _, new in self.changes["became_federated"]]
        appeared = [new.unique_id for _, new in self.changes["appeared"] if new.strategy == "federated"]
        return became + appeared

    def as_json(self) -> dict:
        document = {
            kind: [{"unique_id": (new or old).unique_id,
                    "old": old.as_json() if old else None,
                    "new": new.as_json() if new else None}
                   for old, new in pairs]
            for kind, pairs in self.changes.items()
        }
        document["new_federation"] = self.new_federation
        document["summary"] = {"target_connection": self.target_connection,
                               "baseline": self.baseline_counts, "current": self.current_counts}
        return document


def _counts(records: Dict[str, Planned]) -> Dict[str, int]:
    strategies = Counter(r.strategy for r in records.values())
    return {"nodes": len(records), "pushdown": strategies["pushdown"], "federated": strategies["federated"]}


def compare(baseline: Dict[str, Planned], current: Dict[str, Planned],
            target: Optional[str] = None) -> Comparison:
    """What changed from ``baseline`` to ``current`` (both keyed by
    unique_id): strategy flips, other changes of where or why a model runs,
    models that appeared (current order) and disappeared (baseline order)."""
    changes: Dict[str, list] = {kind: [] for kind in CHANGE_KINDS}
    for uid, new in current.items():
        old = baseline.get(uid)
        if old is None:
            changes["appeared"].append((None, new))
        elif old.strategy != new.strategy:
            kind = {"federated": "became_federated", "pushdown": "became_pushdown"}.get(new.strategy, "changed")
            changes[kind].append((old, new))
        elif (old.primary_connection, old.source_connections, old.reason) != \
                (new.primary_connection, new.source_connections, new.reason):
            changes["changed"].append((old, new))
    changes["disappeared"] = [(old, None) for uid, old in baseline.items() if uid not in current]
    return Comparison(target_connection=target, changes=changes,
                      baseline_counts=_counts(baseline), current_counts=_counts(current))


# --- the command line ----------------------------------------------------------

def run_advise(analysis: PlanAnalysis, args: argparse.Namespace,
               counts: Optional[plan_rows.RowCounts] = None) -> int:
    """``marl plan MANIFEST --advise``: print the advice (with the rows of
    ``counts`` when given, ranked by ``args.rank``)."""
    try:
        advice = advise_analysis(analysis, counts, getattr(args, "rank", None))
    except PlanAnalysisError as e:
        print(f"marl plan: error: {e}", file=sys.stderr)
        return 2
    if args.json:
        _dump(advice.as_json())
    else:
        print_advice(advice)
    return 0


def run_baseline(analysis: PlanAnalysis, args: argparse.Namespace,
                 counts: Optional[plan_rows.RowCounts] = None) -> int:
    """``marl plan MANIFEST --baseline OLD``: 1 when a model is federated now
    that was not, 2 when the baseline cannot be read or analysed, else 0.
    With ``counts``, each federated model of the current plan carries the
    rows it will pull per run."""
    from strix.contracts.graph.loader import ManifestError, load_manifest

    try:
        baseline = analyse_manifest(load_manifest(args.baseline), args.target)
    except (ManifestError, PlanAnalysisError) as e:
        print(f"marl plan: error: baseline: {e}", file=sys.stderr)
        return 2
    comparison = compare(planned_records(baseline.planned), planned_records(analysis.planned), args.target)
    rows = None
    if counts is not None:
        try:
            rows = advised_rows(analysis, counts)
        except PlanAnalysisError as e:
            print(f"marl plan: error: {e}", file=sys.stderr)
            return 2
    if args.json:
        document = comparison.as_json()
        if rows is not None:
            add_comparison_rows(document, rows)
        _dump(document)
    else:
        print_comparison(comparison, args.baseline, rows_note=rows.rows_note if rows is not None else None)
    return 1 if comparison.new_federation else 0


def add_comparison_rows(document: dict, rows: plan_rows.AdviceRows) -> None:
    """The rows of each federated model of the current plan on its "new"
    side, and the totals of the current plan in the summary."""
    for kind in CHANGE_KINDS:
        for entry in document[kind]:
            model_rows = rows.models.get(entry["unique_id"])
            if entry["new"] is not None and model_rows is not None:
                entry["new"].update(model_rows.as_json())
    document["summary"]["rows"] = rows.summary()


def _dump(document: dict) -> None:
    json.dump(document, sys.stdout, indent=2)
    sys.stdout.write("\n")


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def _target_note(target: Optional[str]) -> str:
    return f" (target {target!r})" if target is not None else ""


def print_advice(advice: Advice, out=None) -> None:
    out = out or sys.stdout
    s = advice.summary
    if not advice.models:
        print(f"No federated models among {_plural(s['nodes'], 'node')}{_target_note(s['target_connection'])}: "
              "nothing to replicate.", file=out)
        return
    print(f"{_plural(s['federated'], 'federated model')} of {_plural(s['nodes'], 'node')}"
          f"{_target_note(s['target_connection'])}; to make each pushdown:", file=out)
    id_width = max(len(m.unique_id) for m in advice.models)
    conn_width = max(len(m.to_connection) for m in advice.models)
    for m in advice.models:
        line = f"  {m.unique_id:<{id_width}}  run on {m.to_connection:<{conn_width}}  replicate {', '.join(m.replicate)}"
        if m.no_connection:
            line += f" (also reads on no connection: {', '.join(m.no_connection)})"
        print(line, file=out)
        if m.rows is not None:
            print(f"  {'':<{id_width}}  {plan_rows.describe_model_rows(m.rows)}", file=out)
    if advice.rank == "rows":
        print("Replication steps, most rows no longer pulled per row copied first:", file=out)
    else:
        print("Replication steps, most models made pushdown per source replicated first:", file=out)
    for number, step in enumerate(advice.steps, 1):
        print(f"{number:>3}. replicate {_plural(len(step.replicate), 'source')} into {step.to_connection}: "
              f"{len(step.unlocks)} more model{'' if len(step.unlocks) == 1 else 's'} pushdown, "
              f"{step.pushdown_after} of {s['nodes']} in all", file=out)
        print(f"       sources:  {', '.join(step.replicate)}", file=out)
        print(f"       pushdown: {', '.join(step.unlocks)}", file=out)
        if step.rows is not None:
            print(f"       rows:     {plan_rows.describe_step_rows(step.rows)}", file=out)
    print(f"In all: replicate {_plural(s['sources_replicated'], 'source')} in "
          f"{_plural(s['steps'], 'step')}; then {s['pushdown_after']} of {s['nodes']} nodes are pushdown.",
          file=out)
    if advice.rows is not None:
        totals = advice.rows.summary()
        line = (f"Rows pulled per run by federated models: "
                f"{plan_rows.fmt_rows(totals['pulled_now'], advice.rows.pulled_now_known)} now, "
                f"{plan_rows.fmt_rows(totals['pulled_after_all'])} after all steps.")
        if advice.rows.unprofiled:
            line += (f" Unknown: {_plural(len(advice.rows.unprofiled), 'source')} without a profile: "
                     f"{', '.join(advice.rows.unprofiled)}.")
        print(line, file=out)


CHANGE_TITLES = {
    "became_federated": "became federated",
    "became_pushdown": "became pushdown",
    "changed": "changed connection or reason",
    "appeared": "appeared",
    "disappeared": "disappeared",
}


def _where(record: Planned) -> str:
    if record.strategy == "federated":
        return "reads " + ", ".join(record.source_connections)
    return "on " + (record.primary_connection or "the default target")


def print_comparison(comparison: Comparison, baseline_name: str, out=None, rows_note=None) -> None:
    """The comparison for a person; ``rows_note(unique_id)`` (when given)
    says the rows a federated model will pull per run."""
    out = out or sys.stdout
    print(f"Compared with the baseline {baseline_name}{_target_note(comparison.target_connection)}:", file=out)
    for kind in CHANGE_KINDS:
        pairs = comparison.changes[kind]
        if not pairs:
            continue
        print(f"{CHANGE_TITLES[kind]} ({len(pairs)}):", file=out)
        for old, new in pairs:
            print(f"  {(new or old).unique_id}", file=out)
            for label, record in (("was", old), ("now", new)):
                if record is not None:
                    print(f"    {label} {record.strategy:<9}  {_where(record)}: {record.reason}", file=out)
            note = rows_note(new.unique_id) if rows_note is not None and new is not None else None
            if note:
                print(f"    {note}", file=out)
    if not any(comparison.changes.values()):
        print("no model changed its plan", file=out)
    b, c = comparison.baseline_counts, comparison.current_counts
    print(f"baseline {_plural(b['nodes'], 'node')}: {b['pushdown']} pushdown, {b['federated']} federated; "
          f"now {_plural(c['nodes'], 'node')}: {c['pushdown']} pushdown, {c['federated']} federated", file=out)
    federated = comparison.new_federation
    if federated:
        print(f"new federation in {_plural(len(federated), 'model')}: {', '.join(federated)}", file=out)
    else:
        print("no new federation", file=out)
