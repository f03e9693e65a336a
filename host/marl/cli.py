"""Argument parsing and dispatch for the ``marl`` command line.

Exit statuses, the same for every command:

    0  success (the gate passed, the Java suits, the server stopped normally)
    1  the command's finding: the gate failed, the active Java does not suit
    2  bad input or usage (an unusable manifest, an unknown option)
    3  not set up: a native module or a package the command needs is missing
    4  cannot serve: the address is in use

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
from pathlib import Path
from typing import List, Optional

from marl import exit_status, hostnames

COMMAND_MODULES = (
    "marl.plan_cmd",
    "marl.java_cmd",
    "marl.spark_cmd",
    "marl.docs_cmd",
)


def build_parser() -> argparse.ArgumentParser:
    # The host framework's names the native modules import, from marl where
    # the host framework is not installed.
    hostnames.provide()
    parser = argparse.ArgumentParser(
        prog="marl",
        description="Plan, run and document a marl project.",
        epilog=exit_status.TABLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=version_text(),
                        help="show the versions of the command line and the native core and exit")
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


CLI_DISTRIBUTION = "strix-marl"


def version_text() -> str:
    """The command line's release (or "checkout" when run from a source
    checkout) and the native core's, read from the distributions' metadata."""
    from importlib import metadata

    try:
        native = f"{NATIVE_DISTRIBUTION} {metadata.version(NATIVE_DISTRIBUTION)}"
    except metadata.PackageNotFoundError:
        native = f"{NATIVE_DISTRIBUTION} not installed"
    if in_checkout():
        own = "(checkout)"
    else:
        try:
            own = metadata.version(CLI_DISTRIBUTION)
        except metadata.PackageNotFoundError:
            own = "(not installed)"
    return f"marl {own} with {native}"


def in_checkout() -> bool:
    """Whether marl runs from a source checkout (bin/marl) rather than as
    installed with pip."""
    root = Path(__file__).resolve().parent.parent.parent
    return (root / "scripts" / "setup.sh").is_file() and (root / "host" / "marl").is_dir()


def setup_hint(extra: str = "") -> str:
    """How to install what a command found missing."""
    if in_checkout():
        return "run scripts/setup.sh"
    return f"run: pip install 'strix-marl{extra}'"


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
