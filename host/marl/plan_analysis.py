"""One analysis of a manifest's execution plan, shared by ``marl plan`` (table,
``--json``, ``--html``) and the docs server's plan page.

Every node whose resource_type is "model" or "seed" is analysed in manifest
order with ``PlanAdvisor.analyze(node, None, target)``. Only the advisor's
public names are used: the connection of one source is what ``analyze``
reports for a node that reads that source alone (see ``source_connection``).

    analysis = analyse_manifest(manifest, target)
    for node, result in analysis.planned: ...
    analysis.summary  # {"nodes", "pushdown", "federated", "target_connection"}

A failure of the advisor on one node (a host object it cannot read) becomes
``PlanAnalysisError`` naming that node, so callers report it as a message
instead of a traceback.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

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


@dataclass
class PlanAnalysis:
    manifest: Any
    target: Optional[str]
    advisor: Any
    planned: List[Tuple[Any, Any]]  # (node, QueryAnalysisResult) in manifest order
    summary: Dict[str, object]
    _connections: Dict[str, Optional[str]] = field(default_factory=dict, repr=False)
    _index: Optional[Dict[str, Any]] = field(default=None, repr=False)

    def source_connection(self, source_id: str) -> Optional[str]:
        """The connection a source is read from, None when it has none (or is
        not in the manifest).

        Asked through ``analyze`` with a node that reads only this source: with
        no target, such a node's ``source_connections`` is exactly the
        source's connection, or empty. The advisor's own cache keeps this to
        one inspection per source.
        """
        if source_id not in self._connections:
            from strix.contracts.graph.nodes import ManifestNode

            probe = ManifestNode(unique_id=source_id, resource_type="model", sources=[source_id])
            try:
                found = self.advisor.analyze(probe, None, None).source_connections
            except Exception as e:
                raise PlanAnalysisError(source_id, e) from e
            self._connections[source_id] = next(iter(found), None)
        return self._connections[source_id]

    def result_of(self, unique_id: str):
        """The result of the last planned node with this id, or None."""
        if self._index is None:
            self._index = {node.unique_id: result for node, result in self.planned}
        return self._index.get(unique_id)


def summarise(planned, target: Optional[str]) -> Dict[str, object]:
    return {
        "nodes": len(planned),
        "pushdown": sum(1 for _, r in planned if r.is_pushdown),
        "federated": sum(1 for _, r in planned if r.is_federated),
        "target_connection": target,
    }


def analyse_manifest(manifest, target: Optional[str] = None, advisor=None) -> PlanAnalysis:
    """Analyse every model and seed of ``manifest``; raises ImportError when
    the native advisor is missing and PlanAnalysisError when it fails on a node."""
    if advisor is None:
        advisor = import_advisor()(manifest)
    planned = []
    for node in manifest.nodes.values():
        if node.resource_type not in PLANNED_RESOURCE_TYPES:
            continue
        try:
            result = advisor.analyze(node, None, target)
        except Exception as e:
            raise PlanAnalysisError(node.unique_id, e) from e
        planned.append((node, result))
    return PlanAnalysis(manifest=manifest, target=target, advisor=advisor,
                        planned=planned, summary=summarise(planned, target))
