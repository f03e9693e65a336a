"""Time the plan graph for a large synthetic project: the advisor's analysis,
the layout by Graphviz's `dot` and the whole `marl plan --html` page.

    PYTHONPATH=host .venv/bin/python bench/bench_plan_graph.py   # --models 2000 --write FILE.json

The project is shaped like a warehouse: staging models read one to three
sources (most on one connection, some across two or three), later layers
ref two or three models of earlier layers, and every twentieth node is a seed.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import tempfile
import time
from pathlib import Path

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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=int, default=2000)
    parser.add_argument("--write", metavar="FILE.json", help="also keep the manifest in FILE.json")
    args = parser.parse_args()

    from marl.pages import plan_graph
    from marl.pages.render import plan_page
    from strix.contracts.graph.loader import load_manifest

    document = synthetic_manifest(args.models)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(args.write) if args.write else Path(tmp) / "manifest.json"
        path.write_text(json.dumps(document))
        manifest = load_manifest(str(path))

        t0 = time.perf_counter()
        graph = plan_graph.build_graph(manifest, "warehouse_pg")
        t1 = time.perf_counter()
        dot_text = plan_graph.to_dot(graph)
        t2 = time.perf_counter()
        svg = plan_graph.layout_svg(dot_text)
        t3 = time.perf_counter()
        page = plan_page(graph, plan_graph.annotate_svg(svg, graph), standalone=True)
        t4 = time.perf_counter()

    print(f"{len(graph.nodes)} nodes, {len(graph.sources)} sources, {len(graph.edges)} edges")
    print(f"analysis + graph  {1000 * (t1 - t0):8.1f} ms")
    print(f"DOT text          {1000 * (t2 - t1):8.1f} ms")
    print(f"dot layout (SVG)  {1000 * (t3 - t2):8.1f} ms")
    print(f"HTML page         {1000 * (t4 - t3):8.1f} ms   ({len(page) / 1024 / 1024:.1f} MiB)")
    print(f"total             {t4 - t0:8.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
