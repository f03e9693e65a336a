"""``marl plan``: show how each model and seed of a manifest would be executed.

Every node whose resource_type is "model" or "seed" is analysed, in manifest
order, with ``PlanAdvisor.analyze(node, None, target)``; the result is printed
as aligned columns (unique_id, strategy, reason) followed by a summary line,
or as one JSON document with ``--json``.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from marl import plan_advice, plan_rows
from marl.plan_analysis import PlanAnalysisError, analyse_manifest
from strix.contracts.graph.loader import ManifestError, load_manifest


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "plan",
        help="show pushdown/federated execution per model",
        description=(
            "Decide for every model and seed of MANIFEST whether its query is "
            "pushed down to one connection or federated across connections."
        ),
    )
    parser.add_argument("manifest", metavar="MANIFEST.json", help="manifest JSON file")
    parser.add_argument(
        "--target",
        metavar="CONNECTION",
        default=None,
        help="connection the models are materialized into",
    )
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print a JSON document")
    output.add_argument(
        "--html",
        metavar="FILE",
        default=None,
        help="write the plan graph (laid out by Graphviz) as one self-contained HTML file",
    )
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--advise", action="store_true",
                      help="say what to replicate where to make the federated models pushdown")
    mode.add_argument("--baseline", metavar="OLD_MANIFEST.json", default=None,
                      help="compare with the plan of OLD_MANIFEST.json; exit 1 on new federation")
    add_rows_arguments(parser)
    parser.set_defaults(func=run)


def add_rows_arguments(parser) -> None:
    parser.add_argument("--project", metavar="DIR", default=None,
                        help="project root whose metadata store (DIR/.marl/metadata.db) holds the row "
                             "counts of profiled sources (default: the current directory, when it has one)")
    parser.add_argument("--rank", choices=plan_rows.RANKS, default=None,
                        help="order of the advice's steps: most models made pushdown per source "
                             "replicated, or most rows no longer pulled per row copied (the default "
                             "when the store has profiles)")


def read_counts(analysis, args: argparse.Namespace):
    """(row counts or None, exit status or None): the row counts of the
    sources the planned models read, from the store of ``--project``."""
    explicit = getattr(args, "project", None) is not None
    root = Path(args.project if explicit else ".")
    if explicit and not root.is_dir():
        print(f"marl plan: error: project directory {args.project!r} not found", file=sys.stderr)
        return None, 2
    try:
        counts = plan_rows.read_row_counts(root, analysis.manifest, plan_rows.referenced_sources(analysis))
    except plan_rows.RowCountsError as e:
        if explicit:
            print(f"marl plan: error: {e}", file=sys.stderr)
            return None, 2
        print(f"marl plan: warning: {e}; rows are left out", file=sys.stderr)
        counts = None
    if counts is None and getattr(args, "rank", None) == "rows":
        print(f"marl plan: error: --rank rows needs row counts, and the metadata store of "
              f"{root.resolve().name!r} holds no profiles (use --project DIR)", file=sys.stderr)
        return None, 2
    return counts, None


def run(args: argparse.Namespace) -> int:
    try:
        manifest = load_manifest(args.manifest)
    except ManifestError as e:
        print(f"marl plan: error: {e}", file=sys.stderr)
        return 2

    try:
        analysis = analyse_manifest(manifest, args.target)
    except ImportError as e:
        print(
            f"marl plan: error: the native module strix.plan_advisor is not "
            f"available ({e}); run scripts/setup.sh to build it",
            file=sys.stderr,
        )
        return 1
    except PlanAnalysisError as e:
        # The loader accepted it, but the advisor cannot read it: as unusable
        # as a manifest the loader rejects.
        print(f"marl plan: error: {e}", file=sys.stderr)
        return 2

    counts, status = read_counts(analysis, args)
    if status is not None:
        return status

    if args.html is not None:
        if args.advise or args.baseline is not None:
            print("marl plan: error: --html shows the advice already; it does not combine "
                  "with --advise or --baseline", file=sys.stderr)
            return 2
        return _write_html(analysis, args, counts)
    if args.advise:
        return plan_advice.run_advise(analysis, args, counts)
    if args.baseline is not None:
        return plan_advice.run_baseline(analysis, args, counts)
    rows = None
    if counts is not None:
        try:
            rows = plan_advice.advised_rows(analysis, counts)
        except PlanAnalysisError as e:
            print(f"marl plan: error: {e}", file=sys.stderr)
            return 2
    if args.json:
        _print_json(analysis.planned, analysis.summary, rows)
    else:
        _print_table(analysis.planned, analysis.summary, rows)
    return 0


def _print_table(planned, summary, rows=None) -> None:
    if planned:
        id_width = max(len(node.unique_id) for node, _ in planned)
        strategy_width = max(len(result.strategy) for _, result in planned)
        for node, result in planned:
            print(
                f"{node.unique_id:<{id_width}}  "
                f"{result.strategy:<{strategy_width}}  {result.reason}"
            )
            note = rows.rows_note(node.unique_id) if rows is not None and result.is_federated else None
            if note:
                print(f"{'':<{id_width}}  {'':<{strategy_width}}  {note}")
    count = summary["nodes"]
    line = (
        f"{count} node{'' if count == 1 else 's'}: {summary['pushdown']} pushdown, "
        f"{summary['federated']} federated"
    )
    if summary["target_connection"] is not None:
        line += f" (target {summary['target_connection']!r})"
    print(line)
    if rows is not None:
        print(f"rows pulled per run by federated models: {plan_rows.fmt_rows(rows.pulled_now, rows.pulled_now_known)}")


def _print_json(planned, summary, rows=None) -> None:
    document = {
        "nodes": [
            {
                "unique_id": node.unique_id,
                "resource_type": node.resource_type,
                "strategy": result.strategy,
                "primary_connection": result.primary_connection,
                "reason": result.reason,
                "user_override": result.user_override,
                "source_connections": sorted(result.source_connections),
                "source_refs": sorted(result.source_refs),
            }
            for node, result in planned
        ],
        "summary": summary,
    }
    if rows is not None:
        for entry, (node, result) in zip(document["nodes"], planned):
            model_rows = rows.models.get(node.unique_id) if result.is_federated else None
            entry.update((model_rows or plan_rows.pushdown_rows(node.unique_id)).as_json())
        document["summary"] = dict(summary, rows=rows.summary())
    json.dump(document, sys.stdout, indent=2)
    sys.stdout.write("\n")


def _write_html(analysis, args: argparse.Namespace, counts=None) -> int:
    try:
        from marl.pages.plan_graph import GraphvizError
        from marl.pages.plan_pages import write_plan_html
    except ImportError as e:
        print(f"marl plan: error: {e}; run scripts/setup.sh to install Jinja2", file=sys.stderr)
        return 1
    try:
        graph = write_plan_html(analysis, args.html, counts)
    except GraphvizError as e:
        print(f"marl plan: error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"marl plan: error: cannot write {args.html}: {e.strerror or e}", file=sys.stderr)
        return 1
    except Exception as e:
        print(f"marl plan: error: cannot analyse the manifest: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    summary = graph.summary
    print(
        f"wrote the plan graph of {summary['nodes']} nodes ({summary['pushdown']} pushdown, "
        f"{summary['federated']} federated) to {args.html}"
    )
    return 0
