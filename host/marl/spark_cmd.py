"""``marl spark``: questions about Spark clusters.

- ``marl spark version MASTER_URL [--timeout S]``: the Spark version that the
  cluster at MASTER_URL reports (a short-lived session is started against it
  and stopped again). Exit status 0 with the version on stdout, 1 when the
  cluster gave no answer within the time limit.
"""

from __future__ import annotations

import argparse
import os
import sys

from marl import exit_status
from marl.cli import setup_hint
import threading


def _jvm_module(command: str):
    """The native module, or None after telling the user how to build it."""
    try:
        from strix.compute import jvm_elig
    except ImportError as e:
        print(
            f"marl spark {command}: error: the native module strix.compute.jvm_elig is "
            f"not available ({e}); {setup_hint()}",
            file=sys.stderr,
        )
        return None
    return jvm_elig


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of seconds: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _add_version(commands) -> None:
    parser = commands.add_parser(
        "version",
        help="print the Spark version a cluster reports",
        description=(
            "Connect to the Spark master at MASTER_URL with a short-lived session, "
            "print the Spark version it reports and stop the session again. "
            "Exit status 0 with the version, 1 when no answer came within the time limit "
            "(master unreachable, PySpark missing, no usable Java)."
        ),
    )
    parser.add_argument("master_url", metavar="MASTER_URL",
                        help="Spark master URL, e.g. spark://host:7077 or local[1]")
    parser.add_argument("--timeout", type=_non_negative_int, default=30, metavar="S",
                        help="seconds to wait for the answer (default: 30)")
    parser.set_defaults(func=run_version)


def _attempt_still_running() -> bool:
    return any(t.is_alive() and t.name.startswith("ThreadPoolExecutor") for t in threading.enumerate())


def run_version(args: argparse.Namespace) -> int:
    jvm = _jvm_module("version")
    if jvm is None:
        return exit_status.NOT_SET_UP
    version = jvm.detect_spark_cluster_version(args.master_url, args.timeout)
    if version is not None:
        print(version)
        return 0
    print(
        f"marl spark version: no Spark version from {args.master_url} within {args.timeout} s "
        "(master unreachable, PySpark not installed, or no usable Java; "
        "see 'marl java check')",
        file=sys.stderr,
    )
    if _attempt_still_running():
        # The abandoned attempt would hold the interpreter's exit until Spark
        # gives up on the master; its driver JVM ends with this process.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(1)
    return 1


SUBCOMMANDS = (_add_version,)


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "spark",
        help="ask a Spark cluster for its version",
        description="Questions about Spark clusters.",
    )
    commands = parser.add_subparsers(dest="spark_command", metavar="SUBCOMMAND", required=True)
    for add in SUBCOMMANDS:
        add(commands)
