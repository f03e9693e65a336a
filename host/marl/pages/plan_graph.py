"""The plan graph: models and seeds as a left-to-right graph of their
``depends_on`` edges, each coloured by the strategy ``PlanAdvisor`` decided,
with the sources they read grouped into one cluster per connection.

Graphviz's ``dot`` lays the graph out and draws it as SVG; this module only
builds the DOT text from the advisor's results and puts each node's reason
into its SVG ``<title>`` (what a browser shows on hover).
"""

from __future__ import annotations

import html
import os
import re
import shutil
import subprocess
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

from marl.plan_analysis import analyse_manifest

# Sources whose connection cannot be resolved (no connection on their
# definition, or not in the manifest at all) share one cluster.
NO_CONNECTION = None

DOT_TIMEOUT = 300  # seconds; 2,000 models take a few


class GraphvizError(RuntimeError):
    """`dot` is missing or failed to lay the graph out."""


@dataclass
class PlanNode:
    key: str  # DOT node name and SVG element id: "m<index>"
    unique_id: str
    name: str
    resource_type: str
    strategy: str
    primary_connection: Optional[str]
    reason: str
    source_connections: List[str]
    source_refs: List[str]
    depends_on: List[str] = field(default_factory=list)

    @property
    def connection_label(self) -> str:
        """Second line of the node's label: where its query runs."""
        if self.resource_type == "seed":
            return "seed"
        if self.strategy == "federated":
            joined = ", ".join(self.source_connections)
            return f"federated: {joined}" if joined else "federated"
        return self.primary_connection or "default target"


@dataclass
class PlanSource:
    key: str  # "s<index>"
    unique_id: str
    label: str
    connection: Optional[str]
    known: bool  # defined in the manifest


@dataclass
class PlanGraph:
    nodes: List[PlanNode]
    sources: List[PlanSource]
    edges: List[Tuple[str, str]]  # (from key, to key): dependency -> dependent, source -> model
    summary: Dict[str, object]
    project_name: Optional[str] = None

    def clusters(self) -> List[Tuple[Optional[str], List[PlanSource]]]:
        """Sources grouped by connection: named connections sorted, then the
        sources without one."""
        groups: Dict[Optional[str], List[PlanSource]] = {}
        for source in self.sources:
            groups.setdefault(source.connection, []).append(source)
        named = sorted(k for k in groups if k is not None)
        ordered = [(k, groups[k]) for k in named]
        if NO_CONNECTION in groups:
            ordered.append((NO_CONNECTION, groups[NO_CONNECTION]))
        return ordered


def _short_source_label(unique_id: str, definition) -> str:
    if definition is not None and definition.source_name and definition.name:
        return f"{definition.source_name}.{definition.name}"
    # source.<package>.<source>.<table> -> <source>.<table>
    parts = unique_id.split(".")
    if len(parts) >= 4 and parts[0] == "source":
        return ".".join(parts[2:])
    return unique_id


def build_graph(manifest, target: Optional[str] = None, analysis=None) -> PlanGraph:
    """The graph of ``analysis`` (a ``PlanAnalysis``), or of a fresh analysis
    of ``manifest`` for ``target``."""
    if analysis is None:
        analysis = analyse_manifest(manifest, target)
    manifest, planned, summary = analysis.manifest, analysis.planned, analysis.summary
    nodes: List[PlanNode] = []
    key_of: Dict[str, str] = {}
    for i, (node, result) in enumerate(planned):
        key = f"m{i}"
        # A later node with the same id is the one edges lead to.
        key_of[node.unique_id] = key
        depends = getattr(node, "depends_on", None)
        nodes.append(PlanNode(
            key=key,
            unique_id=node.unique_id,
            name=node.name or node.unique_id.rsplit(".", 1)[-1],
            resource_type=node.resource_type,
            strategy=result.strategy,
            primary_connection=result.primary_connection,
            reason=result.reason,
            source_connections=sorted(result.source_connections),
            source_refs=sorted(result.source_refs),
            depends_on=list(getattr(depends, "nodes", None) or ()),
        ))

    sources: List[PlanSource] = []
    source_key: Dict[str, str] = {}
    edges: List[Tuple[str, str]] = []
    seen_edges = set()

    def edge(a: str, b: str) -> None:
        if (a, b) not in seen_edges:
            seen_edges.add((a, b))
            edges.append((a, b))

    for plan_node in nodes:
        if plan_node.resource_type == "seed":
            continue  # the advisor does not look at a seed's sources
        for ref in plan_node.source_refs:
            key = source_key.get(ref)
            if key is None:
                key = source_key[ref] = f"s{len(sources)}"
                definition = manifest.sources.get(ref)
                sources.append(PlanSource(
                    key=key, unique_id=ref, label=_short_source_label(ref, definition),
                    connection=analysis.source_connection(ref),
                    known=definition is not None,
                ))
            edge(key, plan_node.key)
        for dependency in plan_node.depends_on:
            dep_key = key_of.get(dependency)
            if dep_key is not None and dep_key != plan_node.key:
                edge(dep_key, plan_node.key)
    return PlanGraph(nodes=nodes, sources=sources, edges=edges, summary=summary,
                     project_name=getattr(manifest, "project_name", None))


# --- DOT ---------------------------------------------------------------------

STRATEGY_COLOURS = {
    # fill, border
    "pushdown": ("#d9f2e3", "#2e8b57"),
    "federated": ("#fde2cf", "#d2691e"),
}
SEED_COLOURS = ("#e8eef9", "#4a6fa5")


def dot_string(text: str) -> str:
    """``text`` as a DOT quoted string that Graphviz shows literally.

    Backslashes are doubled because labels treat ``\\n``, ``\\N``, ``\\G``
    and friends as escapes; ampersands are written as entities because
    labels decode ``&amp;`` and the like; quotes are escaped for the lexer;
    line breaks become label line breaks.
    """
    text = text.replace("&", "&amp;")
    text = text.replace("\\", "\\\\").replace('"', '\\"')
    text = text.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\\n")
    return f'"{text}"'


def to_dot(graph: PlanGraph) -> str:
    lines = [
        "digraph plan {",
        '  graph [rankdir=LR, nodesep=0.15, ranksep=0.6, fontname="Helvetica", '
        'fontsize=11, splines=true, newrank=true, outputorder=edgesfirst];',
        '  node [shape=box, style="rounded,filled", fontname="Helvetica", fontsize=10, '
        'height=0.3, margin="0.08,0.03"];',
        '  edge [color="#8a94a6", arrowsize=0.5, penwidth=0.8];',
    ]
    for i, (connection, members) in enumerate(graph.clusters()):
        if connection is None:
            label, style = "no connection", 'style="dashed,rounded"; color="#9aa1ad"'
        else:
            label, style = connection, 'style="rounded,filled"; fillcolor="#f3f5f8"; color="#aab2c0"'
        lines.append(f"  subgraph cluster_c{i} {{")
        lines.append(f"    label={dot_string(label)}; {style}; fontsize=11;")
        lines.append(f"    id={dot_string(f'conn{i}')}; class=\"connection\";")
        for source in members:
            cls = "source" if source.known else "source unknown"
            lines.append(
                f"    {source.key} [label={dot_string(source.label)}, shape=cylinder, "
                f'style=filled, fillcolor="#ffffff", color="#7b8494", fontsize=9, height=0.25, '
                f'id="{source.key}", class="{cls}"];'
            )
        lines.append("  }")
    for node in graph.nodes:
        if node.resource_type == "seed":
            fill, border = SEED_COLOURS
        else:
            fill, border = STRATEGY_COLOURS.get(node.strategy, ("#eeeeee", "#777777"))
        cls = f"plan-node {node.resource_type} {node.strategy}"
        label = f"{node.name}\n{node.connection_label}"
        shape = "shape=note, " if node.resource_type == "seed" else ""
        lines.append(
            f"  {node.key} [label={dot_string(label)}, {shape}fillcolor=\"{fill}\", "
            f'color="{border}", id="{node.key}", class="{cls}"];'
        )
    for a, b in graph.edges:
        style = ', style=dashed, color="#b8bec9"' if a.startswith("s") else ""
        lines.append(f"  {a} -> {b} [class=\"{'read' if a.startswith('s') else 'ref'}\"{style}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def dot_command() -> str:
    path = shutil.which("dot")
    if path is None:
        raise GraphvizError("Graphviz's `dot` command was not found; run scripts/setup.sh to install graphviz")
    return path


def _subprocess_env() -> Dict[str, str]:
    # A sanitizer runtime preloaded into the interpreter has no business in dot.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def layout_svg(dot_text: str, timeout: float = DOT_TIMEOUT) -> str:
    """Lay the graph out with ``dot`` and return the SVG element (no XML
    prolog, ready to be placed inside an HTML page)."""
    try:
        done = subprocess.run([dot_command(), "-Tsvg"], input=dot_text.encode("utf-8"),
                              capture_output=True, timeout=timeout, env=_subprocess_env())
    except subprocess.TimeoutExpired:
        raise GraphvizError(f"dot did not finish laying out the graph within {timeout:g} s") from None
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip()
        raise GraphvizError(f"dot failed (exit status {done.returncode}): {message}")
    svg = done.stdout.decode("utf-8")
    start = svg.find("<svg")
    if start < 0:
        raise GraphvizError("dot produced no SVG")
    return svg[start:]


_TITLE = re.compile(r"<title>([ms]\d+)</title>")


def annotate_svg(svg: str, graph: PlanGraph) -> str:
    """Replace dot's node titles (the DOT names) with what a person wants on
    hover: a model's id, strategy and reason; a source's id and connection."""
    titles: Dict[str, str] = {}
    for node in graph.nodes:
        titles[node.key] = f"{node.unique_id}\n{node.strategy}: {node.reason}"
    for source in graph.sources:
        where = source.connection or ("no connection" if source.known else "not in the manifest")
        titles[source.key] = f"{source.unique_id}\n{where}"

    def replace(match: "re.Match[str]") -> str:
        text = titles.get(match.group(1))
        return match.group(0) if text is None else f"<title>{html.escape(text, quote=False)}</title>"

    return _TITLE.sub(replace, svg)


def render_svg(graph: PlanGraph) -> str:
    return annotate_svg(layout_svg(to_dot(graph)), graph)


def federated_rows(graph: PlanGraph) -> Sequence[PlanNode]:
    return [n for n in graph.nodes if n.strategy == "federated"]
