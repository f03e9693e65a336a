"""One analysis of a manifest's execution plan, shared by ``marl plan`` (every
output and the gate), the advice and the docs server's plan page.

Every node whose resource_type is "model" or "seed" is analysed in manifest
order with ``PlanAdvisor.analyze(node, None, target)``, and each decision is
kept as one ``PlannedModel``: the one record of a planned model that the
command line, the advice, the baseline comparison and the plan graph share,
and whose ``as_json`` is the one JSON shape of a model. Only the advisor's
public names are used: the connection of one source is what ``analyze``
reports for a node that reads that source alone (see ``source_connection``).

    analysis = analyse_manifest(manifest, target)
    for node, model in analysis.planned: ...
    analysis.summary  # {"nodes", "pushdown", "federated", "target_connection"}

A failure of the advisor on one node (a host object it cannot read) becomes
``PlanAnalysisError`` naming that node, so callers report it as a message
instead of a traceback.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from marl.manifest import Node

PLANNED_RESOURCE_TYPES = ("model", "seed")


class PlanAnalysisError(Exception):
    """The advisor failed on one node of the manifest."""

    def __init__(self, unique_id: str, error: BaseException) -> None:
        super().__init__(f"cannot analyse {unique_id}: {type(error).__name__}: {error}")
        self.unique_id = unique_id
        self.error = error


def import_advisor():
    """``strix.plan_advisor.PlanAdvisor``; ImportError when the native module is not built."""
    from strix.plan_advisor import PlanAdvisor

    return PlanAdvisor


@dataclass(slots=True)
class PlannedModel:
    """The advisor's decision for one model or seed, as compared and shown.

    The connection and source lists are sorted, so two records compare equal
    exactly when the decisions are the same."""

    unique_id: str
    resource_type: str
    strategy: str
    primary_connection: Optional[str]
    source_connections: List[str]
    source_refs: List[str]
    reason: str

    @property
    def is_pushdown(self) -> bool:
        return self.strategy == "pushdown"

    @property
    def is_federated(self) -> bool:
        return self.strategy == "federated"

    def as_json(self) -> dict:
        """The model object of every JSON output (see schema/plan.schema.json)."""
        return {
            "unique_id": self.unique_id,
            "resource_type": self.resource_type,
            "strategy": self.strategy,
            "primary_connection": self.primary_connection,
            "source_connections": self.source_connections,
            "source_refs": self.source_refs,
            "reason": self.reason,
        }


def summarise(models, target: Optional[str]) -> Dict[str, object]:
    """The one summary of a plan: counts of the planned models and seeds."""
    federated = sum(1 for m in models if m.strategy == "federated")
    pushdown = sum(1 for m in models if m.strategy == "pushdown")
    return {"nodes": len(models), "pushdown": pushdown, "federated": federated,
            "target_connection": target}


@dataclass
class PlanAnalysis:
    manifest: Any
    target: Optional[str]
    advisor: Any
    nodes: List[Any]  # the analysed nodes, in manifest order
    models: List[PlannedModel]  # their decisions, in the same order
    summary: Dict[str, object]
    _connections: Dict[str, Optional[str]] = field(default_factory=dict, repr=False)
    _index: Optional[Dict[str, PlannedModel]] = field(default=None, repr=False)

    @property
    def planned(self) -> List[Tuple[Any, PlannedModel]]:
        """(node, decision) pairs in manifest order."""
        return list(zip(self.nodes, self.models))

    def source_connection(self, source_id: str) -> Optional[str]:
        """The connection a source is read from, None when it has none (or is
        not in the manifest).

        Asked through ``analyze`` with a node that reads only this source: with
        no target, such a node's ``source_connections`` is exactly the
        source's connection, or empty. The advisor's own cache keeps this to
        one inspection per source.
        """
        if source_id not in self._connections:
            probe = Node(unique_id=source_id, resource_type="model", sources=[source_id])
            try:
                found = self.advisor.analyze(probe, None, None).source_connections
            except Exception as e:
                raise PlanAnalysisError(source_id, e) from e
            self._connections[source_id] = next(iter(found), None)
        return self._connections[source_id]

    def result_of(self, unique_id: str) -> Optional[PlannedModel]:
        """The decision of the last planned node with this id, or None."""
        return self.by_id().get(unique_id)

    def by_id(self) -> Dict[str, PlannedModel]:
        """The decisions by unique_id (a later node with the same id wins)."""
        if self._index is None:
            self._index = {m.unique_id: m for m in self.models}
        return self._index

    def release(self) -> None:
        """Drop the manifest, the nodes and the advisor, keeping the
        decisions: all a baseline needs once analysed."""
        self.by_id()
        self.manifest = self.advisor = None
        self.nodes = []


def analyse_manifest(manifest, target: Optional[str] = None, advisor=None) -> PlanAnalysis:
    """Analyse every model and seed of ``manifest``; raises ImportError when
    the native advisor is missing and PlanAnalysisError when it fails on a node."""
    if advisor is None:
        advisor = import_advisor()(manifest)
    analyze = advisor.analyze
    nodes, models = [], []
    # The same reason is worded for many models: keep one copy of each.
    texts: Dict[str, str] = {}
    for node in manifest.nodes.values():
        resource_type = node.resource_type
        if resource_type not in PLANNED_RESOURCE_TYPES:
            continue
        try:
            result = analyze(node, None, target)
        except Exception as e:
            raise PlanAnalysisError(node.unique_id, e) from e
        reason = result.reason
        nodes.append(node)
        models.append(PlannedModel(
            node.unique_id, resource_type, result.strategy, result.primary_connection,
            sorted(result.source_connections), sorted(result.source_refs),
            texts.setdefault(reason, reason),
        ))
    return PlanAnalysis(manifest=manifest, target=target, advisor=advisor, nodes=nodes,
                        models=models, summary=summarise(models, target))
