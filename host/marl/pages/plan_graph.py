"""The plan graph: models and seeds as a left-to-right graph of their
``depends_on`` edges, each coloured by the strategy ``PlanAdvisor`` decided,
with the sources they read grouped into one cluster per connection.

Graphviz's ``dot`` lays the graph out and draws it as SVG; this module only
builds the DOT text from the advisor's results and puts each node's reason
into its SVG ``<title>`` (what a browser shows on hover).

``dot`` slows down sharply with the number of ranks an edge spans (each rank
crossed becomes a virtual node that the ordering and positioning passes move
around). So a project is drawn whole only while it is small and cheap to lay
out; the sources are left out of the whole graph when their edges would span
too many ranks (a source read all along a long chain), and a large project is
drawn as an overview instead: the connections, and the federated models that
read across them (grouped by the connections they read once there are many,
and by the two of those that matter most when the groups would be too many:
the overview stays at about 200 boxes whatever the project's shape).
The neighbourhood of one model is then drawn in the browser from the data of
``focus_data``, which needs no layout engine.
"""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
import sys
import unicodedata
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from marl.plan_analysis import PlannedModel, analyse_manifest

# Sources whose connection cannot be resolved (no connection on their
# definition, or not in the manifest at all) share one cluster.
NO_CONNECTION = None

DOT_TIMEOUT = 60  # seconds; the graphs drawn take a few at most

# Beyond this many models or edges, or this many virtual nodes (ranks crossed
# by dependency edges), the page shows the overview instead of the whole graph.
FULL_GRAPH_MODELS = 1000
FULL_GRAPH_EDGES = 5000
FULL_GRAPH_SPAN = 6000
# Sources are drawn in the whole graph while their edges cross at most this
# many ranks in all.
SOURCE_EDGE_SPAN = 1500
# The overview shows federated models one by one up to this many, else one
# box per set of connections read; beyond OVERVIEW_GROUPS such boxes or
# OVERVIEW_EDGES edges into them, one box per pair of connections that matter
# most. At most OVERVIEW_CONNECTIONS connections have a box of their own. So
# the overview never has more than about 200 boxes and lays out in seconds.
OVERVIEW_MODELS = 60
OVERVIEW_CONNECTIONS = 40
OVERVIEW_GROUPS = 150
OVERVIEW_EDGES = 600
# The overview's table of connections read together has this many rows.
TOGETHER_CONNECTIONS = 12

LABEL_CHARS = 40


def clean_text(value: Any) -> str:
    """``value`` as text fit to show: control characters dropped (a NUL or an
    escape would break the SVG or the label) and lone surrogates replaced."""
    text = value if isinstance(value, str) else str(value)
    if text.isprintable():
        return text
    text = "".join(c for c in text if c in "\n\t" or unicodedata.category(c) != "Cc")
    return text.encode("utf-8", "replace").decode("utf-8")


def short_label(value: Any, limit: int = LABEL_CHARS) -> str:
    """A label cut to ``limit`` characters (the full text is on hover)."""
    text = " ".join(clean_text(value).split())
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


class GraphvizError(RuntimeError):
    """`dot` is missing or failed to lay the graph out."""


class LayoutCancelled(GraphvizError):
    """The layout was ended before it finished (its manifest changed, or the
    server is stopping)."""


@dataclass
class PlanNode(PlannedModel):
    """A planned model as drawn: its decision (``PlannedModel``) with where
    it sits in the graph."""

    key: str = ""  # DOT node name and SVG element id: "m<index>"
    name: str = ""
    depends_on: List[str] = field(default_factory=list)

    @classmethod
    def drawn(cls, key: str, name: str, model: PlannedModel, depends_on: List[str]) -> "PlanNode":
        return cls(model.unique_id, model.resource_type, model.strategy, model.primary_connection,
                   model.source_connections, model.source_refs, model.reason,
                   key=key, name=name, depends_on=depends_on)

    @property
    def label(self) -> str:
        return f"{short_label(self.name)}\n{short_label(self.connection_label)}"

    @property
    def title(self) -> str:
        return clean_text(f"{self.unique_id}\n{self.strategy}: {self.reason}")

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
    _ranks: Optional[Dict[str, int]] = field(default=None, repr=False)

    def ranks(self) -> Dict[str, int]:
        """Longest-path rank of each model and seed along the dependency
        edges, from 1; nodes on a cycle rank after all others (an estimate is
        all that is needed)."""
        if self._ranks is not None:
            return self._ranks
        parents: Dict[str, List[str]] = {n.key: [] for n in self.nodes}
        children: Dict[str, List[str]] = {n.key: [] for n in self.nodes}
        for a, b in self.edges:
            if a in parents:
                parents[b].append(a)
                children[a].append(b)
        waiting = {k: len(v) for k, v in parents.items()}
        ready = [k for k, n in waiting.items() if n == 0]
        rank = {k: 1 for k in ready}
        while ready:
            key = ready.pop()
            for child in children[key]:
                rank[child] = max(rank.get(child, 1), rank[key] + 1)
                waiting[child] -= 1
                if waiting[child] == 0:
                    ready.append(child)
        last = max(rank.values(), default=0) + 1
        for key in parents:
            rank.setdefault(key, last)
        self._ranks = rank
        return rank

    def edge_spans(self) -> Tuple[int, int]:
        """Ranks crossed by the dependency edges and by the source edges:
        about the number of virtual nodes ``dot`` has to place."""
        rank = self.ranks()
        readers: Dict[str, List[int]] = {}
        dependency_span = 0
        for a, b in self.edges:
            if a in rank:
                dependency_span += max(rank[b] - rank[a] - 1, 0)
            else:
                readers.setdefault(a, []).append(rank[b])
        source_span = sum(sum(r - min(rs) for r in rs) for rs in readers.values())
        return dependency_span, source_span

    @property
    def drawn_whole(self) -> bool:
        """Small and cheap enough to lay out as one graph."""
        return (len(self.nodes) <= FULL_GRAPH_MODELS and len(self.edges) <= FULL_GRAPH_EDGES
                and self.edge_spans()[0] <= FULL_GRAPH_SPAN)

    @property
    def sources_drawn(self) -> bool:
        return self.edge_spans()[1] <= SOURCE_EDGE_SPAN

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


def build_graph(manifest=None, target: Optional[str] = None, analysis=None) -> PlanGraph:
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
        nodes.append(PlanNode.drawn(
            key, node.name or node.unique_id.rsplit(".", 1)[-1], result,
            list(getattr(depends, "nodes", None) or ()),
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


# nslimit bounds the network-simplex passes that place nodes; without it a
# graph with long edges takes minutes, with it seconds at most and the
# drawing barely changes.
GRAPH_ATTRIBUTES = (
    'rankdir=LR, nodesep=0.15, ranksep=0.6, fontname="Helvetica", fontsize=11, '
    "splines=true, newrank=true, outputorder=edgesfirst, nslimit=2, nslimit1=2"
)


def _dot_header() -> List[str]:
    return [
        "digraph plan {",
        f"  graph [{GRAPH_ATTRIBUTES}];",
        '  node [shape=box, style="rounded,filled", fontname="Helvetica", fontsize=10, '
        'height=0.3, margin="0.08,0.03"];',
        '  edge [color="#8a94a6", arrowsize=0.5, penwidth=0.8];',
    ]


def _node_colours(resource_type: str, strategy: str) -> Tuple[str, str]:
    if resource_type == "seed":
        return SEED_COLOURS
    return STRATEGY_COLOURS.get(strategy, ("#eeeeee", "#777777"))


def to_dot(graph: PlanGraph, with_sources: Optional[bool] = None) -> str:
    """The whole graph as DOT; the sources are drawn when ``with_sources``
    (by default when their edges are cheap to lay out)."""
    if with_sources is None:
        with_sources = graph.sources_drawn
    lines = _dot_header()
    for i, (connection, members) in enumerate(graph.clusters() if with_sources else ()):
        if connection is None:
            label, style = "no connection", 'style="dashed,rounded"; color="#9aa1ad"'
        else:
            label, style = short_label(connection), 'style="rounded,filled"; fillcolor="#f3f5f8"; color="#aab2c0"'
        lines.append(f"  subgraph cluster_c{i} {{")
        lines.append(f"    label={dot_string(label)}; {style}; fontsize=11;")
        lines.append(f"    id={dot_string(f'conn{i}')}; class=\"connection\";")
        for source in members:
            cls = "source" if source.known else "source unknown"
            lines.append(
                f"    {source.key} [label={dot_string(short_label(source.label))}, shape=cylinder, "
                f'style=filled, fillcolor="#ffffff", color="#7b8494", fontsize=9, height=0.25, '
                f'id="{source.key}", class="{cls}"];'
            )
        lines.append("  }")
    for node in graph.nodes:
        fill, border = _node_colours(node.resource_type, node.strategy)
        cls = f"plan-node {node.resource_type} {node.strategy}"
        shape = "shape=note, " if node.resource_type == "seed" else ""
        lines.append(
            f"  {node.key} [label={dot_string(node.label)}, {shape}fillcolor=\"{fill}\", "
            f'color="{border}", id="{node.key}", class="{cls}"];'
        )
    for a, b in graph.edges:
        if a.startswith("s"):
            if with_sources:
                lines.append(f'  {a} -> {b} [class="read", style=dashed, color="#b8bec9"];')
        else:
            lines.append(f'  {a} -> {b} [class="ref"];')
    lines.append("}")
    return "\n".join(lines) + "\n"


# --- the overview of a large project -------------------------------------------

@dataclass
class OverviewBox:
    key: str  # "c<index>" for a connection, "f<index>" for federated models
    label: str
    title: str
    members: List[str] = field(default_factory=list)  # keys of the models in the box
    names: List[str] = field(default_factory=list)  # a connection box: the connections it stands for


@dataclass
class Overview:
    connections: List[OverviewBox]
    federated: List[OverviewBox]
    edges: List[Tuple[str, str, str]]  # (from, to, class): "read" or "write"
    # How federated models are boxed: "models" (one by one), "mixes" (one box
    # per set of connections read) or "pairs" (by the two connections of the
    # set that most federated models read).
    grouping: str = "models"
    connection_key: Dict[str, str] = field(default_factory=dict)  # connection name -> its box
    # The connections most federated models read, and how many read each pair
    # of them (on the diagonal: how many read it at all).
    together: List[str] = field(default_factory=list)
    together_counts: List[List[int]] = field(default_factory=list)

    @property
    def grouped(self) -> bool:
        return self.grouping != "models"

    @property
    def boxes(self) -> int:
        return len(self.connections) + len(self.federated)


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def build_overview(graph: PlanGraph) -> Overview:
    """The connections of the project and the federated models between them,
    in a bounded number of boxes whatever the project's shape.

    A connection's box counts the sources on it and the models pushed down to
    it; beyond ``OVERVIEW_CONNECTIONS`` connections, those the fewest
    federated models read share one box. Each federated model reads from the
    connections of its sources (and, when that is why it is federated, writes
    to the target). Up to ``OVERVIEW_MODELS`` federated models are drawn one
    by one; more share one box per set of connections read; when those sets
    would make more than ``OVERVIEW_GROUPS`` boxes or ``OVERVIEW_EDGES``
    edges, a box holds the models whose two most read connections are the
    same pair, and the smallest pairs fold into one box per connection.
    """
    target = graph.summary.get("target_connection") or None
    sources_on: Dict[str, int] = {}
    for source in graph.sources:
        if source.connection:
            sources_on[source.connection] = sources_on.get(source.connection, 0) + 1
    pushdown_on: Dict[str, int] = {}
    names = set(sources_on)
    federated = [n for n in graph.nodes if n.strategy == "federated"]
    for node in graph.nodes:
        if node.strategy == "pushdown" and node.resource_type != "seed" and node.primary_connection:
            pushdown_on[node.primary_connection] = pushdown_on.get(node.primary_connection, 0) + 1
            names.add(node.primary_connection)
    read_by: Dict[str, int] = {}
    for node in federated:
        names.update(node.source_connections)
        for c in node.source_connections:
            read_by[c] = read_by.get(c, 0) + 1
    if target and federated:
        names.add(target)

    # The target first, then by federated models reading, then by size.
    ranked = sorted(names, key=lambda c: (c != target, -read_by.get(c, 0),
                                          -sources_on.get(c, 0) - pushdown_on.get(c, 0), c))
    shown, folded = ranked[:OVERVIEW_CONNECTIONS], ranked[OVERVIEW_CONNECTIONS:]
    connections = []
    key_of: Dict[str, str] = {}
    for i, name in enumerate(sorted(shown)):
        key_of[name] = f"c{i}"
        counts = f"{_plural(sources_on.get(name, 0), 'source')}, {pushdown_on.get(name, 0)} pushdown"
        role = " (target)" if name == target else ""
        connections.append(OverviewBox(
            key=f"c{i}", label=f"{short_label(name)}{role}\n{counts}",
            title=clean_text(f"connection {name}{role}\n{counts}"), names=[name]))
    box_name = {key_of[c]: c for c in shown}
    if folded:
        key = f"c{len(connections)}"
        sources = sum(sources_on.get(c, 0) for c in folded)
        pushdown = sum(pushdown_on.get(c, 0) for c in folded)
        label = _plural(len(folded), "other connection")
        counts = f"{_plural(sources, 'source')}, {pushdown} pushdown"
        listed = ", ".join(folded[:50]) + (f" and {len(folded) - 50} more" if len(folded) > 50 else "")
        connections.append(OverviewBox(
            key=key, label=f"{label}\n{counts}",
            title=clean_text(f"{label}, each read by fewer federated models: {listed}\n{counts}"),
            names=list(folded)))
        key_of.update((c, key) for c in folded)
        box_name[key] = label
    rank_of = {key_of[c]: i for i, c in reversed(list(enumerate(ranked)))}

    def keys_read(node: PlanNode) -> Tuple[str, ...]:
        """The boxes of the connections ``node`` reads, most read first."""
        return tuple(sorted({key_of[c] for c in node.source_connections}, key=rank_of.__getitem__))

    def reading(keys: Sequence[str]) -> str:
        return ", ".join(box_name[k] for k in keys) if keys else "no connection"

    groups: List[Tuple[Tuple[str, ...], List[PlanNode], str]] = []  # (boxes read, models, description)
    grouping = "models"
    if len(federated) > OVERVIEW_MODELS:
        grouping = "mixes"
        by_mix: Dict[Tuple[str, ...], List[PlanNode]] = {}
        for node in federated:
            by_mix.setdefault(keys_read(node), []).append(node)
        if len(by_mix) > OVERVIEW_GROUPS or sum(map(len, by_mix)) > OVERVIEW_EDGES:
            grouping = "pairs"
            by_pair: Dict[Tuple[str, ...], List[PlanNode]] = {}
            for mix, members in by_mix.items():
                by_pair.setdefault(mix[:2], []).extend(members)
            by_mix = {}
            ordered = sorted(by_pair.items(), key=lambda kv: (-len(kv[1]), kv[0]))
            room = max(OVERVIEW_GROUPS - len(connections), 1)
            for pair, members in ordered[:room]:
                by_mix[pair] = members
            for pair, members in ordered[room:]:
                by_mix.setdefault(pair[:1], []).extend(members)
        for mix, members in by_mix.items():
            more = sum(1 for n in members if len(keys_read(n)) > len(mix))
            what = f"reading {reading(mix)}"
            if more:
                what += f" ({more} of them also others)"
            groups.append((mix, members, what))
        groups.sort(key=lambda g: (-len(g[1]), g[0]))

    boxes: List[OverviewBox] = []
    reads: List[Sequence[str]] = []
    writes: List[bool] = []
    if grouping == "models":
        for i, node in enumerate(federated):
            boxes.append(OverviewBox(key=f"f{i}", label=node.label, title=node.title, members=[node.key]))
            reads.append(keys_read(node))
            writes.append(target not in node.source_connections)
    for i, (mix, members, what) in enumerate(groups):
        count = _plural(len(members), "federated model")
        boxes.append(OverviewBox(
            key=f"f{i}", label=f"{count}\n{short_label(what)}",
            title=clean_text(f"{count} {what}; search one by name below to see its neighbourhood"),
            members=[n.key for n in members]))
        reads.append(mix)
        writes.append(any(target not in n.source_connections for n in members))
    edges = []
    for box, keys, write in zip(boxes, reads, writes):
        edges.extend((k, box.key, "read") for k in keys)
        if target and write:
            edges.append((box.key, key_of[target], "write"))
    together = [c for c in ranked if read_by.get(c)][:TOGETHER_CONNECTIONS]
    at = {c: i for i, c in enumerate(together)}
    counts = [[0] * len(together) for _ in together]
    for node in federated:
        read = [at[c] for c in node.source_connections if c in at]
        for i in read:
            for j in read:
                counts[i][j] += 1
    return Overview(connections=connections, federated=boxes, edges=edges, grouping=grouping,
                    connection_key=key_of, together=together, together_counts=counts)


def overview_dot(overview: Overview) -> str:
    lines = _dot_header()
    for box in overview.connections:
        lines.append(
            f"  {box.key} [label={dot_string(box.label)}, shape=cylinder, fillcolor=\"#f3f5f8\", "
            f'color="#7b8494", id="ov-{box.key}", class="connection"];'
        )
    fill, border = STRATEGY_COLOURS["federated"]
    for box in overview.federated:
        lines.append(
            f"  {box.key} [label={dot_string(box.label)}, fillcolor=\"{fill}\", color=\"{border}\", "
            f'id="ov-{box.key}", class="plan-node overview-node federated"];'
        )
    for a, b, cls in overview.edges:
        style = ', style=dashed, color="#b8bec9"' if cls == "write" else ""
        lines.append(f'  {a} -> {b} [class="{cls}"{style}];')
    lines.append("}")
    return "\n".join(lines) + "\n"


def render_overview_svg(overview: Overview) -> str:
    titles = {b.key: b.title for b in overview.connections + overview.federated}
    return _retitle(layout_svg(overview_dot(overview)), titles)


# --- data for the neighbourhood view, drawn in the browser ----------------------

KIND_CODES = {"pushdown": 0, "federated": 1, "seed": 2}


def focus_data(graph: PlanGraph) -> Dict[str, Any]:
    """Every model and seed as compact rows for the page's script:
    ``[unique_id, label name, kind, where it runs, reason index, [dependency
    indexes]]``; reasons are listed once (thousands of models share a few)."""
    index = {n.key: i for i, n in enumerate(graph.nodes)}
    deps: List[List[int]] = [[] for _ in graph.nodes]
    for a, b in graph.edges:
        if a in index:
            deps[index[b]].append(index[a])
    reasons: Dict[str, int] = {}
    rows = []
    for i, n in enumerate(graph.nodes):
        kind = KIND_CODES["seed"] if n.resource_type == "seed" else KIND_CODES.get(n.strategy, 0)
        reason = reasons.setdefault(clean_text(f"{n.strategy}: {n.reason}"), len(reasons))
        rows.append([clean_text(n.unique_id), short_label(n.name), kind,
                     short_label(n.connection_label), reason, deps[i]])
    return {"nodes": rows, "reasons": list(reasons)}


def json_for_script(data: Any) -> str:
    """JSON safe inside a ``<script type="application/json">`` element: no
    "</" or "<!--" can end or confuse the element."""
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


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


def _dot_argv() -> List[str]:
    argv = [dot_command(), "-Tsvg"]
    # On Linux, dot is killed when the thread that started it ends, even if
    # the server is killed outright and never gets to end it itself.
    setpriv = shutil.which("setpriv") if sys.platform.startswith("linux") else None
    return [setpriv, "--pdeathsig", "KILL", "--"] + argv if setpriv else argv


def layout_svg(dot_text: str, timeout: float = DOT_TIMEOUT,
               started: Optional[Callable[["subprocess.Popen[bytes]"], None]] = None) -> str:
    """Lay the graph out with ``dot`` and return the SVG element (no XML
    prolog, ready to be placed inside an HTML page). ``started`` is given
    the ``dot`` process as soon as it runs (so that it can be ended early)."""
    proc = subprocess.Popen(_dot_argv(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=_subprocess_env())
    try:
        if started is not None:
            started(proc)
        out, err = proc.communicate(dot_text.encode("utf-8"), timeout=timeout)
    except subprocess.TimeoutExpired:
        raise GraphvizError(f"dot did not finish laying out the graph within {timeout:g} s") from None
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    if proc.returncode < 0:
        raise LayoutCancelled(f"dot was ended (signal {-proc.returncode})")
    if proc.returncode != 0:
        message = err.decode("utf-8", "replace").strip()
        raise GraphvizError(f"dot failed (exit status {proc.returncode}): {message}")
    svg = out.decode("utf-8")
    start = svg.find("<svg")
    if start < 0:
        raise GraphvizError("dot produced no SVG")
    return svg[start:]


_TITLE = re.compile(r"<title>([a-z]\d+)</title>")


def _retitle(svg: str, titles: Dict[str, str]) -> str:
    def replace(match: "re.Match[str]") -> str:
        text = titles.get(match.group(1))
        return match.group(0) if text is None else f"<title>{html.escape(text, quote=False)}</title>"

    return _TITLE.sub(replace, svg)


def annotate_svg(svg: str, graph: PlanGraph) -> str:
    """Replace dot's node titles (the DOT names) with what a person wants on
    hover: a model's id, strategy and reason; a source's id and connection."""
    titles: Dict[str, str] = {node.key: node.title for node in graph.nodes}
    for source in graph.sources:
        where = source.connection or ("no connection" if source.known else "not in the manifest")
        titles[source.key] = clean_text(f"{source.unique_id}\n{where}")
    return _retitle(svg, titles)


def render_svg(graph: PlanGraph) -> str:
    return annotate_svg(layout_svg(to_dot(graph)), graph)


def federated_rows(graph: PlanGraph) -> Sequence[PlanNode]:
    return [n for n in graph.nodes if n.strategy == "federated"]


@dataclass
class DrawnPlan:
    """What the plan page shows: the whole graph (``overview`` None) or the
    overview, and the data of the neighbourhood view. ``svg`` is None until
    ``lay_out`` has run: everything else is ready without it."""

    graph: PlanGraph
    svg: Optional[str]
    overview: Optional[Overview]
    sources_drawn: bool
    focus_json: str
    dot_text: str = field(default="", repr=False)

    @property
    def federated(self) -> Sequence[PlanNode]:
        return federated_rows(self.graph)

    def lay_out(self, timeout: float = DOT_TIMEOUT,
                started: Optional[Callable[["subprocess.Popen[bytes]"], None]] = None) -> str:
        """The drawing's SVG, laid out by ``dot``, with hover titles."""
        svg = layout_svg(self.dot_text, timeout, started)
        if self.overview is not None:
            titles = {b.key: b.title for b in self.overview.connections + self.overview.federated}
            return _retitle(svg, titles)
        return annotate_svg(svg, self.graph)


def prepare(graph: PlanGraph) -> DrawnPlan:
    """Everything the page shows but the layout: the choice of the whole
    graph or the overview, its DOT text and the neighbourhood data."""
    if graph.drawn_whole:
        sources = graph.sources_drawn
        overview = None
        dot_text = to_dot(graph, sources)
    else:
        sources = False
        overview = build_overview(graph)
        dot_text = overview_dot(overview)
    return DrawnPlan(graph=graph, svg=None, overview=overview, sources_drawn=sources,
                     focus_json=json_for_script(focus_data(graph)), dot_text=dot_text)


def draw(graph: PlanGraph) -> DrawnPlan:
    drawn = prepare(graph)
    drawn.svg = drawn.lay_out()
    return drawn
