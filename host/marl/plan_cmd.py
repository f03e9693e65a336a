"""``marl plan``: show how each model and seed of a manifest would be executed,
what to replicate to make the federated ones pushdown (``--advise``), and
gate a change of plan against a baseline manifest (``--baseline``).

Every node whose resource_type is "model" or "seed" is analysed, in manifest
order, with ``PlanAdvisor.analyze(node, None, target)`` (``marl.plan_analysis``);
``marl.plan_gate`` judges a change, ``marl.plan_report`` writes each format.
What cannot be judged is refused with one line and exit status 2 before any
output (see ``marl.exit_status``).
"""

from __future__ import annotations

import argparse
import gc
import sys
from contextlib import contextmanager
from pathlib import Path

from marl import exit_status, plan_report, plan_rows
from marl.cli import setup_hint
from marl.manifest import STDIN, ManifestError, load_manifest
from marl.plan_analysis import PlanAnalysisError, analyse_manifest
from marl.plan_gate import (POLICIES, GateRefusal, check_shrink, check_target, compare, load_allow_list,
                            source_connections)

FORMATS = ("text", "json", "markdown", "github")

EPILOG = f"""\
The gate (--baseline) fails on what --fail-on names: "new" (a model federated
now that was not), "worse" (also a federated model reading more connections)
or "changed" (any change of strategy or connections). An --allow-list file
holds one accepted model a line: a unique_id or glob pattern, blanks, the
reason. The baseline may be "-" (standard input), a pipe or <(command).

{exit_status.TABLE}
"""


class Refusal(Exception):
    """Stop with one line on standard error and this exit status."""

    def __init__(self, message: str, status: int = exit_status.USAGE) -> None:
        super().__init__(message)
        self.status = status


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "plan",
        help="show pushdown/federated execution per model",
        description=(
            "Decide for every model and seed of MANIFEST whether its query is "
            "pushed down to one connection or federated across connections."
        ),
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("manifest", metavar="MANIFEST.json", help="manifest JSON file")
    parser.add_argument("--target", metavar="CONNECTION", default=None,
                        help="connection the models are materialized into")
    parser.add_argument("--allow-new-target", action="store_true",
                        help="accept a --target that no source is read from yet")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--format", choices=FORMATS, default=None,
                        help="text (default), json, markdown (a PR comment or step summary) "
                             "or github (annotation lines)")
    output.add_argument("--json", action="store_true", help="the same as --format json")
    output.add_argument("--html", metavar="FILE", default=None,
                        help="write the plan graph (laid out by Graphviz) as one self-contained HTML file")
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="text format: print the verdict (or summary) line alone")
    parser.add_argument("--summary-file", metavar="FILE", default=None,
                        help="also append the Markdown summary to FILE (e.g. $GITHUB_STEP_SUMMARY)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--advise", action="store_true",
                      help="say what to replicate where to make the federated models pushdown")
    mode.add_argument("--baseline", metavar="OLD_MANIFEST.json", default=None,
                      help="compare with the plan of OLD_MANIFEST.json and judge the change "
                           "(exit 1 when the policy fails)")
    parser.add_argument("--top", metavar="N", type=positive_int, default=None,
                        help="with --advise: show the first N replication steps")
    parser.add_argument("--project", metavar="DIR", default=None,
                        help="project root whose metadata store (DIR/.marl/metadata.db) holds the row "
                             "counts of profiled sources (default: the current directory, when it has one)")
    parser.add_argument("--rank", choices=plan_rows.RANKS, default=None,
                        help="with --advise or --html: order of the replication steps, most models made "
                             "pushdown per source replicated, or most rows no longer pulled per row copied "
                             "(the default when the store has profiles)")
    gate = parser.add_argument_group("gate (with --baseline)")
    gate.add_argument("--fail-on", choices=tuple(POLICIES), default=None,
                      help="what fails the gate (default: new)")
    gate.add_argument("--allow-list", metavar="FILE", default=None,
                      help="accepted models, one 'PATTERN REASON' a line")
    gate.add_argument("--allow-shrink", action="store_true",
                      help="judge a current manifest that lost more than half of the baseline's models")
    parser.set_defaults(func=run)


@contextmanager
def _without_gc():
    """The manifests and decisions are large and acyclic: the cyclic
    collector would only rescan them, over and over, as they are built."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def run(args: argparse.Namespace) -> int:
    fmt = "json" if args.json else (args.format or "text")
    command = "baseline" if args.baseline is not None else ("advise" if args.advise else "plan")
    try:
        _check_usage(args, fmt)
        with _without_gc():
            return _run(args, fmt)
    except Refusal as e:
        print(f"marl plan: error: {e}", file=sys.stderr)
        if fmt == "json" and args.html is None:
            plan_report.dump_json(plan_report.error_document(command, str(e), e.status), sys.stdout)
        return e.status


def _target_known(target, known) -> bool:
    return not target or any(target in connections for connections in known)


def _check_usage(args: argparse.Namespace, fmt: str) -> None:
    if args.html is not None and (args.advise or args.baseline is not None):
        raise Refusal("--html shows the advice already; it does not combine with --advise or --baseline")
    if args.baseline is None:
        for flag, value in (("--fail-on", args.fail_on), ("--allow-list", args.allow_list),
                            ("--allow-shrink", args.allow_shrink)):
            if value:
                raise Refusal(f"{flag} judges a change: it needs --baseline")
    if args.top is not None and not args.advise:
        raise Refusal("--top limits the replication steps: it needs --advise")
    if args.rank is not None and not args.advise and args.html is None:
        raise Refusal("--rank orders the replication steps: it needs --advise or --html")
    if args.quiet and fmt != "text":
        raise Refusal(f"--quiet shortens the text output; --format {fmt} is not shortened")
    if args.manifest == STDIN:
        raise Refusal("the current manifest must be a file; only --baseline may be '-'")


def _load(path: str, what: str = "", streams: bool = False):
    try:
        return load_manifest(path, streams=streams)
    except ManifestError as e:
        raise Refusal(f"{what}{e}") from None


def _analyse(manifest, target, what: str = ""):
    try:
        return analyse_manifest(manifest, target)
    except ImportError as e:
        raise Refusal(f"the native module strix.plan_advisor is not available ({e}); "
                      f"{setup_hint()}", exit_status.NOT_SET_UP) from None
    except PlanAnalysisError as e:
        # The reader accepted it, but the advisor cannot read it: as unusable
        # as a manifest the reader rejects.
        raise Refusal(f"{what}{e}") from None


def _run(args: argparse.Namespace, fmt: str) -> int:
    allow_list = None
    if args.allow_list is not None:
        try:
            allow_list = load_allow_list(args.allow_list)
        except GateRefusal as e:
            raise Refusal(str(e)) from None
    known = []
    baseline_models = None
    if args.baseline is not None:
        # The baseline is analysed first, reduced to its decisions and let
        # go: memory then holds one manifest at a time.
        baseline_manifest = _load(args.baseline, "baseline: ", streams=True)
        known.append(source_connections(baseline_manifest))
        if args.allow_new_target or _target_known(args.target, known):
            baseline = _analyse(baseline_manifest, args.target, "baseline: ")
            del baseline_manifest
            baseline.release()
            baseline_models = baseline.by_id()
            del baseline
    manifest = _load(args.manifest)
    if not args.allow_new_target:
        known.append(source_connections(manifest))
        try:
            check_target(args.target, known)
        except GateRefusal as e:
            raise Refusal(str(e)) from None
    if args.baseline is not None and baseline_models is None:
        # The target is one of the current manifest's only.
        baseline = _analyse(baseline_manifest, args.target, "baseline: ")
        del baseline_manifest
        baseline_models = baseline.by_id()
    analysis = _analyse(manifest, args.target)
    counts = read_counts(analysis, args)

    if args.html is not None:
        return _write_html(analysis, args, counts)
    if args.advise:
        return _advise(analysis, args, fmt, counts)
    rows = _rows(analysis, counts)
    if baseline_models is not None:
        return _gate(baseline_models, analysis, allow_list, args, fmt, rows)
    _summary_file(args, lambda: plan_report.plan_markdown(analysis, rows))
    out = sys.stdout
    if fmt == "json":
        plan_report.dump_json(plan_report.plan_document(analysis, rows), out)
    elif fmt == "markdown":
        out.write(plan_report.plan_markdown(analysis, rows))
    elif fmt == "github":
        plan_report.write_lines(plan_report.plan_annotations(analysis, rows), out)
    else:
        plan_report.print_plan(analysis, out, args.quiet, plan_report.Paint(plan_report.use_colour(out)), rows)
    return exit_status.OK


def read_counts(analysis, args: argparse.Namespace):
    """The row counts of the sources the planned models read, from the
    metadata store of ``--project`` (or of the current directory, when it
    has one); None without profiles. A store given by --project that cannot
    be read is refused; one merely found in the current directory only
    warns."""
    explicit = args.project is not None
    root = Path(args.project if explicit else ".")
    if explicit and not root.is_dir():
        raise Refusal(f"project directory {args.project!r} not found")
    try:
        counts = plan_rows.read_row_counts(root, analysis.manifest, plan_rows.referenced_sources(analysis))
    except plan_rows.RowCountsError as e:
        if explicit:
            raise Refusal(str(e)) from None
        print(f"marl plan: warning: {e}; rows are left out", file=sys.stderr)
        counts = None
    if counts is None and explicit and args.rank != "rows" and not getattr(args, "quiet", False):
        # Asked for rows by naming the project, and there are none to show.
        print(f"marl plan: note: the metadata store of {root.resolve().name!r} holds no profiles; "
              f"rows pulled per run are left out", file=sys.stderr)
    if counts is None and args.rank == "rows":
        raise Refusal(f"--rank rows needs row counts, and the metadata store of "
                      f"{root.resolve().name!r} holds no profiles (use --project DIR)")
    return counts


def _rows(analysis, counts):
    """The rows of the federated models, without ranking any step."""
    if counts is None:
        return None
    from marl.plan_advice import advised_rows

    try:
        return advised_rows(analysis, counts)
    except PlanAnalysisError as e:
        raise Refusal(str(e)) from None


def _advise(analysis, args: argparse.Namespace, fmt: str, counts=None) -> int:
    from marl.plan_advice import advise_analysis

    try:
        advice = advise_analysis(analysis, counts, args.rank)
    except PlanAnalysisError as e:
        raise Refusal(str(e)) from None
    _summary_file(args, lambda: plan_report.advice_markdown(advice, args.top))
    out = sys.stdout
    if fmt == "json":
        plan_report.dump_json(plan_report.advice_document(advice, args.top), out)
    elif fmt == "markdown":
        out.write(plan_report.advice_markdown(advice, args.top))
    elif fmt == "github":
        plan_report.write_lines(plan_report.advice_annotations(advice, args.top), out)
    else:
        plan_report.print_advice(advice, out, args.top, args.quiet)
    return exit_status.OK


def _gate(baseline_models, analysis, allow_list, args: argparse.Namespace, fmt: str, rows=None) -> int:
    current = analysis.by_id()
    if not args.allow_shrink:
        try:
            check_shrink(baseline_models, current)
        except GateRefusal as e:
            raise Refusal(str(e)) from None
    comparison = compare(baseline_models, current, args.target, args.fail_on or "new", allow_list)
    name = "standard input" if args.baseline == STDIN else args.baseline
    _summary_file(args, lambda: plan_report.baseline_markdown(comparison, name, rows))
    out = sys.stdout
    if fmt == "json":
        plan_report.dump_json(plan_report.baseline_document(comparison, name, rows), out)
    elif fmt == "markdown":
        out.write(plan_report.baseline_markdown(comparison, name, rows))
    elif fmt == "github":
        plan_report.write_lines(plan_report.baseline_annotations(comparison, rows), out)
    else:
        plan_report.print_comparison(comparison, name, out, args.quiet,
                                     plan_report.Paint(plan_report.use_colour(out)), rows)
    return exit_status.OK if comparison.passed else exit_status.FINDING


def _summary_file(args: argparse.Namespace, markdown) -> None:
    """Append the Markdown summary (a step summary file gathers several)."""
    if args.summary_file is None:
        return
    try:
        with open(args.summary_file, "a", encoding="utf-8") as f:
            f.write(markdown())
    except OSError as e:
        raise Refusal(f"cannot write the summary to {args.summary_file}: {e.strerror or e}") from None


def _write_html(analysis, args: argparse.Namespace, counts=None) -> int:
    try:
        from marl.pages.plan_graph import GraphvizError
        from marl.pages.plan_pages import write_plan_html
    except ImportError as e:
        raise Refusal(f"{e}; {setup_hint('[docs]')}", exit_status.NOT_SET_UP) from None
    try:
        graph = write_plan_html(analysis, args.html, counts, args.rank)
    except GraphvizError as e:
        # Without Graphviz the command line is not set up; a layout that
        # fails or takes too long is this manifest's problem.
        import shutil

        raise Refusal(str(e), exit_status.NOT_SET_UP if shutil.which("dot") is None else exit_status.USAGE) from None
    except OSError as e:
        raise Refusal(f"cannot write {args.html}: {e.strerror or e}") from None
    except Exception as e:
        raise Refusal(f"cannot analyse the manifest: {type(e).__name__}: {e}") from None
    summary = graph.summary
    print(
        f"wrote the plan graph of {summary['nodes']} nodes ({summary['pushdown']} pushdown, "
        f"{summary['federated']} federated) to {args.html}"
    )
    return exit_status.OK

