"""What to replicate where to end federation.

It works on the advisor's decisions as ``marl.plan_analysis`` makes them
(``PlanAdvisor.analyze`` with the command line's target) and on the manifest;
nothing here looks at the plan graph, so the command line, the pages and the
tests share one implementation (the baseline gate is ``marl.plan_gate``).

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
"""

from __future__ import annotations

import heapq
from collections import Counter
from dataclasses import dataclass, field
from itertools import combinations
from typing import Dict, FrozenSet, List, Optional, Sequence, Tuple

from marl import plan_rows
from marl.plan_analysis import PlanAnalysis, PlannedModel, analyse_manifest

# --- advice ------------------------------------------------------------------

@dataclass
class ModelAdvice:
    model: PlannedModel  # the federated model's decision
    to_connection: str
    replicate: List[str]  # sources to copy into to_connection, sorted
    no_connection: List[str]  # sources it reads that are on no connection, sorted
    rows: Optional[plan_rows.ModelRows] = None  # with the project's row counts

    @property
    def unique_id(self) -> str:
        return self.model.unique_id

    @property
    def reason(self) -> str:
        """Why it is federated now."""
        return self.model.reason

    def as_json(self) -> dict:
        model = self.model.as_json()
        if self.rows is not None:
            model.update(self.rows.as_json())
        return {"model": model, "to_connection": self.to_connection,
                "replicate": self.replicate, "no_connection": self.no_connection}


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
    # The plan's summary (``marl.plan_analysis.summarise``) with the totals
    # of the steps: "steps", "sources_replicated", "pushdown_after" (and,
    # with row counts, "rows": ``plan_rows.AdviceRows.summary``).
    summary: Dict[str, object] = field(default_factory=dict)
    rows: Optional[plan_rows.AdviceRows] = None  # with the project's row counts
    rank: str = "models"  # the order of the steps: "models" or "rows"

    def totals(self) -> Dict[str, int]:
        return {key: self.summary[key] for key in ("steps", "sources_replicated", "pushdown_after")}


def model_advice(model: PlannedModel, connection_of, target: Optional[str]) -> ModelAdvice:
    """Where a federated model should run and what it lacks there.

    ``connection_of`` maps a source id to its connection (or None)."""
    refs = model.source_refs
    where = {ref: connection_of(ref) for ref in refs}
    if target:
        to_connection = target
    else:
        held = Counter(conn for conn in where.values() if conn)
        # A federated model without a target reads at least two connections.
        to_connection = min(held, key=lambda conn: (-held[conn], conn))
    return ModelAdvice(
        model=model,
        to_connection=to_connection,
        replicate=[ref for ref in refs if where[ref] and where[ref] != to_connection],
        no_connection=[ref for ref in refs if not where[ref]],
    )


def advise(manifest, target: Optional[str] = None) -> Advice:
    """Per-model advice for every federated model of ``manifest`` and the
    ranked replication steps for the whole project."""
    return advise_analysis(analyse_manifest(manifest, target))


def advised_models(analysis: PlanAnalysis) -> List[ModelAdvice]:
    """The advice of each federated model of ``analysis``, in manifest order."""
    run_on = analysis.target or None  # the advisor takes an empty target as none
    return [model_advice(model, analysis.source_connection, run_on)
            for model in analysis.models if model.strategy == "federated"]


def advise_analysis(analysis: PlanAnalysis, counts: Optional[plan_rows.RowCounts] = None,
                    rank: Optional[str] = None) -> Advice:
    """The advice for an analysis already made (``marl.plan_analysis``).

    With ``counts`` (source unique_id -> latest row count or None, see
    ``marl.plan_rows``) the models and steps carry their rows, the summary
    its totals (``Advice.rows``), and ``rank`` defaults to "rows"."""
    models = advised_models(analysis)
    pushdown = analysis.summary["pushdown"]
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
        **analysis.summary,
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
        summary["rows"] = rows.summary()
    return Advice(models=models, steps=steps, summary=summary, rows=rows, rank=rank)


def advised_rows(analysis: PlanAnalysis, counts: plan_rows.RowCounts) -> plan_rows.AdviceRows:
    """The rows of the federated models of ``analysis`` (each run where the
    advice runs it) and the totals, without ranking the steps."""
    return plan_rows.advice_rows(analysis, advised_models(analysis), [], counts)


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
