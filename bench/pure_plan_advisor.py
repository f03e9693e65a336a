"""A straightforward pure-Python implementation of the plan advisor.

Used as the baseline of the benchmark and as the reference of the
differential tests: it follows the same decision step by step.
"""

from dataclasses import dataclass
from typing import Dict, List, Optional, Set


@dataclass
class QueryAnalysisResult:
    source_connections: Set[str]
    source_refs: Set[str]
    strategy: str
    primary_connection: Optional[str]
    reason: str
    user_override: Optional[str] = None

    @property
    def is_pushdown(self) -> bool:
        return self.strategy == "pushdown"

    @property
    def is_federated(self) -> bool:
        return self.strategy == "federated"

    @property
    def is_homogeneous(self) -> bool:
        return len(self.source_connections) <= 1


def _checked_connection(value):
    # the native module checks the Optional[str] result the same way
    if value is not None and type(value) is not str:
        raise TypeError(f"Expected str, got {type(value).__name__}")
    return value


class PlanAdvisor:
    def __init__(self, manifest):
        self.manifest = manifest
        self._source_connection_cache = {}

    def analyze(self, node, user_compute_override=None, target_connection=None):
        if node.resource_type == "seed":
            return QueryAnalysisResult(
                source_connections=set(), source_refs=set(), strategy="pushdown",
                primary_connection=None, reason="Seed node - no source analysis needed",
                user_override=None,
            )
        source_refs = self._extract_source_references(node)
        source_connections = self._map_sources_to_connections(source_refs)
        if len(source_connections) == 0:
            has_refs = hasattr(node, "depends_on") and node.depends_on and node.depends_on.nodes
            if has_refs and target_connection:
                reason = f"Model refs materialized tables - pushdown to target '{target_connection}'"
            else:
                reason = "No source dependencies - pushdown to default target"
            return QueryAnalysisResult(
                source_connections=source_connections, source_refs=source_refs,
                strategy="pushdown", primary_connection=target_connection, reason=reason,
                user_override=user_compute_override if user_compute_override else None,
            )
        if len(source_connections) == 1:
            single = next(iter(source_connections))
            if target_connection and target_connection != single:
                return QueryAnalysisResult(
                    source_connections=source_connections, source_refs=source_refs,
                    strategy="federated", primary_connection=None,
                    reason=f"Cross-target: source '{single}' != target '{target_connection}' - federation required",
                    user_override=user_compute_override,
                )
            return QueryAnalysisResult(
                source_connections=source_connections, source_refs=source_refs,
                strategy="pushdown", primary_connection=single,
                reason=f"All sources in target '{single}' - pushdown", user_override=None,
            )
        return QueryAnalysisResult(
            source_connections=source_connections, source_refs=source_refs,
            strategy="federated", primary_connection=None,
            reason=f"Sources span {len(source_connections)} connections: {sorted(source_connections)} - federation required",
            user_override=user_compute_override,
        )

    def _extract_source_references(self, node):
        refs = set()
        if not hasattr(node, "sources") or not node.sources:
            return refs
        sources = node.sources if isinstance(node.sources, (list, tuple, set)) else []
        for entry in sources:
            if isinstance(entry, str):
                refs.add(entry)
            elif isinstance(entry, (list, tuple)) and len(entry) == 2:
                source_name, table_name = entry
                package = node.package_name if hasattr(node, "package_name") else self.root_project.project_name
                refs.add(f"source.{package}.{source_name}.{table_name}")
        return refs

    def _map_sources_to_connections(self, source_refs):
        connections = set()
        for source_id in source_refs:
            connection = self._get_source_connection(source_id)
            if connection:
                connections.add(connection)
        return connections

    def _get_source_connection(self, source_id):
        if source_id in self._source_connection_cache:
            return _checked_connection(self._source_connection_cache[source_id])
        source = self.manifest.sources.get(source_id)
        if not source:
            return None
        if hasattr(source, "connection") and source.connection:
            connection = source.connection
        elif hasattr(source, "meta") and isinstance(source.meta, dict):
            connection = source.meta.get("connection")
        elif hasattr(source, "source_meta") and isinstance(source.source_meta, dict):
            connection = source.source_meta.get("connection")
        else:
            connection = None
        self._source_connection_cache[source_id] = connection
        return _checked_connection(connection)

    def _trace_node_to_sources(self, node_id, visited=None):
        if visited is None:
            visited = set()
        if node_id in visited:
            return set()
        visited.add(node_id)
        result = set()
        if node_id.startswith("source."):
            result.add(node_id)
            return result
        node = self.manifest.nodes.get(node_id)
        if not node:
            return result
        if hasattr(node, "resource_type") and node.resource_type == "seed":
            return result
        if hasattr(node, "sources") and node.sources:
            sources = node.sources if isinstance(node.sources, (list, tuple, set)) else []
            result.update(s for s in sources if isinstance(s, str))
        if hasattr(node, "depends_on") and node.depends_on:
            deps = node.depends_on.nodes if isinstance(node.depends_on.nodes, (list, tuple, set)) else []
            for dep in deps:
                if isinstance(dep, str):
                    result.update(self._trace_node_to_sources(dep, visited))
        return result

    def get_execution_summary(self, node):
        result = self.analyze(node)
        lines = [
            f"Node: {node.unique_id}",
            f"Strategy: {result.strategy.upper()}",
            f"Reason: {result.reason}",
            f"Source Connections: {sorted(result.source_connections) if result.source_connections else 'None'}",
            f"Source Count: {len(result.source_refs)}",
        ]
        if result.primary_connection:
            lines.append(f"Execution Connection: {result.primary_connection}")
        if result.user_override:
            lines.append(f"User Override: {result.user_override}")
        return "\n".join(lines)

    def analyze_batch(self, nodes: List) -> Dict:
        results = {}
        for node in nodes:
            result = self.analyze(node)
            results[node.unique_id] = result
        return results

    def get_federated_nodes(self, nodes):
        return [n for n in nodes if self.analyze(n).is_federated]

    def get_pushdown_nodes(self, nodes):
        return [n for n in nodes if self.analyze(n).is_pushdown]
