"""Time the plan graph at the sizes of real projects, as a user meets it:

- ``marl plan --html`` of a layered project of 5,000 models (drawn as the
  overview of connections and federated models, plus the neighbourhood view),
- ``marl plan --html`` of a 200-model ``depends_on`` chain whose models read
  sources on 4 connections (drawn whole, sources left out of the layout),
- ``/plan`` of 50,000-model manifests on a real ``marl docs serve`` (a
  layered one, and one over 400 connections read in thousands of different
  mixes): from the first request until the page has its panels and until it
  has its drawing; and of a manifest written again three times while it is
  laid out, from the last write (the older layouts are cancelled).

With ``--whole`` it also times the straightforward drawing (the whole graph,
sources included, with dot's default search limits) of the same projects, and
the overview with one box per set of connections read, cut off after
``--limit`` seconds, and prints the ratios.

    PYTHONPATH=host .venv/bin/python bench/bench_plan_graph.py   # [--whole] [--record FILE.json]

The layered project is shaped like a warehouse: staging models read one to
three sources (most on one connection, some across two or three), later
layers ref two or three models of earlier layers, and every twentieth node is
a seed.
"""

from __future__ import annotations

import argparse
import json
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List

CONNECTIONS = ["warehouse_pg", "lake_dbx", "crm_mysql", "events_ch", "legacy_ora"]


def synthetic_manifest(n_models: int, n_sources: int = 0, seed: int = 7) -> dict:
    """A manifest document (as ``load_manifest`` reads) of ``n_models`` nodes."""
    rng = random.Random(seed)
    n_sources = n_sources or max(n_models // 4, 1)
    sources = {}
    for i in range(n_sources):
        conn = CONNECTIONS[i % len(CONNECTIONS)]
        sources[f"source.big.{conn}.t{i}"] = {"source_name": conn, "name": f"t{i}", "connection": conn}
    source_ids = list(sources)
    by_connection = {c: [s for s in source_ids if sources[s]["connection"] == c] for c in CONNECTIONS}
    nodes = {}
    staging = n_models // 3
    ids = []
    for i in range(n_models):
        uid = f"model.big.m{i}"
        if i % 20 == 19:
            nodes[f"seed.big.s{i}"] = {"resource_type": "seed", "name": f"s{i}"}
            ids.append(f"seed.big.s{i}")
            continue
        if i < staging:
            if i % 6 == 0:
                refs = rng.sample(source_ids, rng.randint(2, 3))
            else:
                pool = by_connection[CONNECTIONS[i % len(CONNECTIONS)]]
                refs = rng.sample(pool, min(len(pool), rng.randint(1, 2)))
            nodes[uid] = {"resource_type": "model", "name": f"m{i}", "sources": refs}
        else:
            window = ids[max(0, len(ids) - staging):]
            deps = rng.sample(window, min(len(window), rng.randint(1, 3)))
            nodes[uid] = {"resource_type": "model", "name": f"m{i}", "depends_on": {"nodes": deps}}
        ids.append(uid)
    return {"project_name": "big", "sources": sources, "nodes": nodes}


def mixed_manifest(n_models: int, n_connections: int = 400, seed: int = 11) -> dict:
    """A manifest of ``n_models`` nodes whose sources lie on ``n_connections``
    connections used unevenly (a few large ones, a long tail), and whose
    staging models read across many different mixes of them: about two in
    five read two to four connections, which gives thousands of distinct
    sets of connections read."""
    rng = random.Random(seed)
    conns = [f"conn_{i:03d}" for i in range(n_connections)]
    cum, total = [], 0.0
    for i in range(n_connections):
        total += 1 / (i + 1)
        cum.append(total)
    per_connection = max(n_models // 4 // n_connections, 2)
    sources = {}
    on: Dict[str, List[str]] = {}
    for conn in conns:
        for j in range(per_connection):
            uid = f"source.mix.{conn}.t{j}"
            sources[uid] = {"source_name": conn, "name": f"t{j}", "connection": conn}
            on.setdefault(conn, []).append(uid)
    nodes = {}
    staging = n_models // 3
    ids: List[str] = []
    for i in range(n_models):
        uid = f"model.mix.m{i}"
        if i < staging:
            k = rng.choice((2, 2, 3, 4)) if rng.random() < 0.4 else 1
            picked = set()
            while len(picked) < k:
                picked.update(rng.choices(conns, cum_weights=cum))
            refs = [rng.choice(on[c]) for c in sorted(picked)]
            nodes[uid] = {"resource_type": "model", "name": f"m{i}", "sources": refs}
        else:
            window = ids[max(0, len(ids) - staging):]
            deps = rng.sample(window, min(len(window), rng.randint(1, 3)))
            nodes[uid] = {"resource_type": "model", "name": f"m{i}", "depends_on": {"nodes": deps}}
        ids.append(uid)
    return {"project_name": "mix", "sources": sources, "nodes": nodes}


def chain_manifest(n_models: int, n_connections: int = 4, n_sources: int = 40) -> dict:
    """A ``depends_on`` chain: model i refs model i-1 and reads a source on
    connection i mod ``n_connections`` (every fifth one a second source on
    the next connection, which makes it federated)."""
    conns = CONNECTIONS[:n_connections]
    sources = {}
    for i in range(n_sources):
        conn = conns[i % len(conns)]
        sources[f"source.chain.{conn}.t{i}"] = {"source_name": conn, "name": f"t{i}", "connection": conn}
    by_connection = [[s for s in sources if sources[s]["connection"] == c] for c in conns]
    nodes = {}
    for i in range(n_models):
        first = by_connection[i % len(conns)]
        refs = [first[i // len(conns) % len(first)]]
        if i % 5 == 4:
            second = by_connection[(i + 1) % len(conns)]
            refs.append(second[i % len(second)])
        nodes[f"model.chain.c{i}"] = {
            "resource_type": "model", "name": f"c{i}", "sources": refs,
            "depends_on": {"nodes": [f"model.chain.c{i - 1}"] if i else []},
        }
    return {"project_name": "chain", "sources": sources, "nodes": nodes}


ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"


def time_marl_plan_html(manifest: Path, out: Path, target: str | None) -> float:
    args = [str(MARL), "plan", str(manifest), "--html", str(out)]
    if target:
        args += ["--target", target]
    start = time.perf_counter()
    subprocess.run(args, check=True, capture_output=True)
    return time.perf_counter() - start


def time_served_overview(manifest: Path, target: str | None, limit: float = 120,
                         rewrites: int = 0) -> tuple[float, float, int]:
    """Seconds from the first GET /plan until the page holds its panels
    (search, neighbourhood view, advice, federated table) and until it holds
    the drawing, and the number of boxes drawn. With ``rewrites``, the
    manifest is written again that many times a second apart after the
    first request, and the times count from the last write."""
    sys.path.insert(0, str(ROOT / "tests"))
    import httpx  # noqa: F401
    from serverkit import marl_docs_serve

    options = ["--manifest", str(manifest)] + (["--target", target] if target else [])
    with tempfile.TemporaryDirectory() as project:
        with marl_docs_serve(project, *options, timeout=60) as http:
            start = time.perf_counter()
            for _ in range(rewrites):
                http.get("/plan", timeout=limit)  # a request sees the change, as a reload would
                time.sleep(1)
                manifest.write_bytes(manifest.read_bytes())
                start = time.perf_counter()
            panels = None
            while time.perf_counter() - start < limit:
                page = http.get("/plan", timeout=limit).text
                if panels is None and 'id="plan-data"' in page:
                    panels = time.perf_counter() - start
                if "<svg" in page:
                    boxes = page.count('class="node ')
                    return panels or time.perf_counter() - start, time.perf_counter() - start, boxes
                assert 'id="laying-out"' in page or 'id="graph-laying-out"' in page, page[:2000]
                time.sleep(0.5)  # the page itself reloads or asks every second
    raise TimeoutError(f"no drawing within {limit:g} s")


def time_ungrouped_overview(document: dict, target: str | None, limit: float) -> tuple[float, int]:
    """The overview with one box per set of connections read and every
    connection on its own, however many: seconds to lay it out and boxes."""
    from marl.pages import plan_graph
    from strix.contracts.graph.loader import manifest_from_dict

    graph = plan_graph.build_graph(manifest_from_dict(document), target)
    saved = plan_graph.OVERVIEW_CONNECTIONS, plan_graph.OVERVIEW_GROUPS, plan_graph.OVERVIEW_EDGES
    plan_graph.OVERVIEW_CONNECTIONS = plan_graph.OVERVIEW_GROUPS = plan_graph.OVERVIEW_EDGES = 10**9
    try:
        overview = plan_graph.build_overview(graph)
    finally:
        plan_graph.OVERVIEW_CONNECTIONS, plan_graph.OVERVIEW_GROUPS, plan_graph.OVERVIEW_EDGES = saved
    start = time.perf_counter()
    try:
        plan_graph.layout_svg(plan_graph.overview_dot(overview), timeout=limit)
    except plan_graph.GraphvizError:
        return float("inf"), overview.boxes
    return time.perf_counter() - start, overview.boxes


def time_whole_graph(document: dict, target: str | None, limit: float) -> float:
    """The straightforward drawing: every model and source laid out at once
    with dot's default search limits."""
    from marl.pages import plan_graph
    from strix.contracts.graph.loader import manifest_from_dict

    graph = plan_graph.build_graph(manifest_from_dict(document), target)
    dot_text = plan_graph.to_dot(graph, with_sources=True).replace(", nslimit=2, nslimit1=2", "")
    start = time.perf_counter()
    try:
        plan_graph.layout_svg(dot_text, timeout=limit)
    except plan_graph.GraphvizError:
        return float("inf")
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--whole", action="store_true", help="also time the whole-graph drawing")
    parser.add_argument("--limit", type=float, default=60, help="cut-off of the whole-graph drawing (s)")
    parser.add_argument("--record", metavar="FILE.json", help="write the figures to FILE.json")
    args = parser.parse_args()

    cases = [
        ("marl plan --html, 5,000-model layered project", synthetic_manifest(5000), "warehouse_pg", 20),
        ("marl plan --html, 200-model chain on 4 connections", chain_manifest(200), "warehouse_pg", 10),
    ]
    figures = {}
    with tempfile.TemporaryDirectory() as tmp:
        for label, document, target, bound in cases:
            path = Path(tmp) / "manifest.json"
            path.write_text(json.dumps(document))
            seconds = time_marl_plan_html(path, Path(tmp) / "plan.html", target)
            size = (Path(tmp) / "plan.html").stat().st_size / 1024 / 1024
            line = f"{label:55} {seconds:7.2f} s  (bound {bound} s, page {size:.1f} MiB)"
            figures[label] = {"seconds": round(seconds, 2), "bound": bound}
            if args.whole:
                whole = time_whole_graph(document, target, args.limit)
                shown = f"> {args.limit:g} s" if whole == float("inf") else f"{whole:.2f} s"
                line += f"; whole graph {shown}, {min(whole, args.limit) / seconds:.0f}x or more"
                figures[label]["whole_graph_seconds"] = None if whole == float("inf") else round(whole, 2)
            print(line, flush=True)

        served = [
            ("/plan, 50,000-model layered manifest (served)", synthetic_manifest(50000), "warehouse_pg", 0),
            ("/plan, 50,000 models over 400 connections (served)", mixed_manifest(50000, 400), "conn_000", 0),
            ("/plan, 5,000 models over 50 connections, 3 rewrites", mixed_manifest(5000, 50), "conn_000", 3),
        ]
        for label, document, target, rewrites in served:
            path = Path(tmp) / "manifest.json"
            path.write_text(json.dumps(document))
            panels, drawing, boxes = time_served_overview(path, target, rewrites=rewrites)
            figures[label] = {"panels_seconds": round(panels, 2), "drawing_seconds": round(drawing, 2),
                              "boxes": boxes, "bound": 30}
            line = f"{label:55} {panels:7.2f} s to the panels, {drawing:.2f} s to the drawing of {boxes} boxes"
            if args.whole and not rewrites:
                whole, ungrouped = time_ungrouped_overview(document, target, args.limit)
                shown = f"> {args.limit:g} s" if whole == float("inf") else f"{whole:.2f} s"
                line += f"; one box per mix: {ungrouped} boxes, layout {shown}"
                figures[label]["ungrouped_boxes"] = ungrouped
                figures[label]["ungrouped_layout_seconds"] = None if whole == float("inf") else round(whole, 2)
            print(line + " (bound 30 s)", flush=True)
    if args.record:
        Path(args.record).write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
