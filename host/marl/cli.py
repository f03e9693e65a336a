"""Argument parsing and dispatch for the ``marl`` command line.

Each command lives in its own module with a ``register(subparsers)`` function
that adds its parser and sets ``func`` to a callable taking the parsed
arguments and returning the exit status. Command modules import the native
modules inside ``func``, so ``marl --help`` and the other commands keep
working when one of them is not built.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from typing import List, Optional

from marl import exit_status

COMMAND_MODULES = (
    "marl.plan_cmd",
    "marl.java_cmd",
    "marl.spark_cmd",
    "marl.docs_cmd",
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="marl",
        description="Plan, run and document a marl project.",
        epilog=exit_status.TABLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=version_text(),
                        help="show the version of the native core and exit")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module_name in COMMAND_MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError as e:
            _register_unavailable(subparsers, module_name, e)
            continue
        module.register(subparsers)
    return parser


NATIVE_DISTRIBUTION = "strix-marl-native"


def version_text() -> str:
    """The stand-in has no release of its own: it reports the installed
    native core's version, read from the distribution's metadata."""
    from importlib import metadata

    try:
        native = f"{NATIVE_DISTRIBUTION} {metadata.version(NATIVE_DISTRIBUTION)}"
    except metadata.PackageNotFoundError:
        native = f"{NATIVE_DISTRIBUTION} not installed"
    return f"marl (host stand-in) with {native}"


def _register_unavailable(subparsers, module_name: str, error: ImportError) -> None:
    """Keep a command that failed to import visible, reporting why when run."""
    command = module_name.rsplit(".", 1)[-1].removesuffix("_cmd")
    parser = subparsers.add_parser(command, help="(unavailable)", add_help=False)
    parser.add_argument("rest", nargs=argparse.REMAINDER)

    def run(args) -> int:
        print(f"marl {command}: unavailable: {error}", file=sys.stderr)
        return exit_status.NOT_SET_UP

    parser.set_defaults(func=run)


def _subparsers(parser: argparse.ArgumentParser) -> dict:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action.choices
    return {}


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        # An unknown option is the subcommand's: show its usage, not marl's.
        subcommand = _subparsers(parser).get(args.command, parser)
        subcommand.error(f"unrecognized arguments: {' '.join(extra)}")
    try:
        return args.func(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of our output (a pager, `head`) went away. Point stdout
        # at /dev/null so the flush at interpreter exit does not fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
