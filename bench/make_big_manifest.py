"""Write a large synthetic manifest (and, with ``--changed``, a second one in
which some models read one more connection) for timing the plan gate.

    PYTHONPATH=host .venv/bin/python bench/make_big_manifest.py /tmp/big.json --nodes 100000
    PYTHONPATH=host .venv/bin/python bench/make_big_manifest.py /tmp/big2.json --nodes 100000 --changed 50

The shape is that of bench_plan_graph.py's synthetic project (staging models
read one to three sources, later layers ref earlier models, every twentieth
node a seed), with every fortieth node a test (not analysed), so 100,000
nodes hold 97,500 models and seeds.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_plan_graph import CONNECTIONS, synthetic_manifest  # noqa: E402


def big_manifest(n_nodes: int, changed: int = 0, seed: int = 7, all_read: bool = False) -> dict:
    """``n_nodes`` nodes, one in forty a test; the first ``changed`` staging
    models that read one connection read a source of another one too. With
    ``all_read`` every model reads a source (the later layers one each, in
    turn from every connection), so most models are federated for a target."""
    tests = n_nodes // 40
    document = synthetic_manifest(n_nodes - tests, seed=seed)
    nodes = document["nodes"]
    if all_read:
        source_ids = list(document["sources"])
        for i, node in enumerate(nodes.values()):
            if node["resource_type"] == "model" and not node.get("sources"):
                node["sources"] = [source_ids[(i * 7919) % len(source_ids)]]
    if changed:
        by_connection = {}
        for uid, source in document["sources"].items():
            by_connection.setdefault(source["connection"], uid)
        done = 0
        for node in nodes.values():
            refs = node.get("sources")
            if done >= changed or not refs:
                continue
            conns = {document["sources"][r]["connection"] for r in refs}
            if len(conns) == 1:
                other = next(c for c in CONNECTIONS if c not in conns)
                node["sources"] = refs + [by_connection[other]]
                done += 1
    ids = list(nodes)
    for i in range(tests):
        model = ids[(i * 37) % len(ids)]
        nodes[f"test.big.t{i}"] = {"resource_type": "test", "depends_on": {"nodes": [model]}}
    return document


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", type=Path)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--changed", type=int, default=0, help="models made to read one more connection")
    parser.add_argument("--all-read", action="store_true", help="every model reads a source")
    args = parser.parse_args()
    args.path.write_text(json.dumps(big_manifest(args.nodes, args.changed, all_read=args.all_read)))
    print(f"wrote {args.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
