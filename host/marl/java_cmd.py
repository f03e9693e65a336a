"""``marl java``: the Java installations of this machine and whether the
active one suits the installed PySpark.

Subcommands, each registered by an ``_add_<name>(commands)`` function listed
in ``SUBCOMMANDS``:

- ``marl java search``: every Java installation found, newest first, with the
  active one (``JAVA_HOME``, else the ``PATH``) marked.
- ``marl java check``: the verdict on the active Java for the installed
  PySpark; exit status 0 when it is compatible, 1 when it is not.
"""

from __future__ import annotations

import argparse
import sys


def _jvm_module(command: str):
    """The native module, or None after telling the user how to build it."""
    try:
        from strix.compute import jvm_elig
    except ImportError as e:
        print(
            f"marl java {command}: error: the native module strix.compute.jvm_elig is "
            f"not available ({e}); run scripts/setup.sh to build it",
            file=sys.stderr,
        )
        return None
    return jvm_elig


# --- marl java search ------------------------------------------------------


def _add_search(commands) -> None:
    parser = commands.add_parser(
        "search",
        help="list the Java installations of this machine",
        description=(
            "List every Java installation found on this machine, newest first. "
            "The active one (JAVA_HOME, else the PATH) is marked with '*'."
        ),
    )
    parser.set_defaults(func=run_search)


def format_installations(installations) -> str:
    """Aligned columns: mark, major version, vendor, home directory."""
    rows = [("", "VERSION", "VENDOR", "PATH")]
    rows += [("*" if inst.is_current else "", str(inst.version), inst.vendor, inst.path) for inst in installations]
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    lines = [
        f"{mark:<{widths[0]}} {version:<{widths[1]}}  {vendor:<{widths[2]}}  {path}"
        for mark, version, vendor, path in rows
    ]
    return "\n".join(line.rstrip() for line in lines)


def run_search(args: argparse.Namespace) -> int:
    jvm = _jvm_module("search")
    if jvm is None:
        return 1
    installations = jvm.find_all_java_installations()
    if not installations:
        print("No Java installation found.", file=sys.stderr)
        return 1
    print(format_installations(installations))
    count = len(installations)
    active = next((inst for inst in installations if inst.is_current), None)
    summary = f"{count} installation{'s' if count != 1 else ''}"
    summary += "; * marks the active one" if active else "; none is active (JAVA_HOME unset, no java on PATH)"
    print(f"\n{summary}")
    return 0


# --- marl java check -------------------------------------------------------


def _add_check(commands) -> None:
    parser = commands.add_parser(
        "check",
        help="check the active Java against the installed PySpark",
        description=(
            "Check the active Java (JAVA_HOME, else the PATH) against the Java "
            "versions the installed PySpark accepts. Exit status 0 when it is "
            "compatible, 1 when it is not."
        ),
    )
    parser.set_defaults(func=run_check)


def run_check(args: argparse.Namespace) -> int:
    jvm = _jvm_module("check")
    if jvm is None:
        return 1
    valid, message = jvm.validate_java_for_spark()
    print(message)
    return 0 if valid else 1


# --- registration ------------------------------------------------------------

# One entry per subcommand, in the order `marl java --help` lists them. A new
# subcommand (`marl java set`) defines its `_add_<name>` above and joins here.
SUBCOMMANDS = (_add_search, _add_check)


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "java",
        help="find Java installations and check them against PySpark",
        description="Find the Java installations of this machine and check the active one against PySpark.",
    )
    commands = parser.add_subparsers(dest="java_command", metavar="SUBCOMMAND", required=True)
    for add in SUBCOMMANDS:
        add(commands)
