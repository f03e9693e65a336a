"""``marl java``: the Java installations of this machine and whether the
active one suits the installed PySpark.

Subcommands, each registered by an ``_add_<name>(commands)`` function listed
in ``SUBCOMMANDS``:

- ``marl java search``: every Java installation found, newest first, with the
  active one (``JAVA_HOME``, else the ``PATH``) marked.
- ``marl java check``: the verdict on the active Java for the installed
  PySpark; exit status 0 when it is compatible, 1 when it is not.
- ``marl java set PATH | --auto``: write JAVA_HOME into the shell's start-up
  file (``--auto``: the best installation for the installed PySpark).
"""

from __future__ import annotations

import argparse
import os
import sys

from marl import exit_status
from marl.cli import setup_hint


def _jvm_module(command: str):
    """The native module, or None after telling the user how to build it."""
    try:
        from strix.compute import jvm_elig
    except ImportError as e:
        print(
            f"marl java {command}: error: the native module strix.compute.jvm_elig is "
            f"not available ({e}); {setup_hint()}",
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
        return exit_status.NOT_SET_UP
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
            "compatible, 1 when it is not or when JAVA_HOME is set but holds no working Java."
        ),
    )
    parser.set_defaults(func=run_check)


def run_check(args: argparse.Namespace) -> int:
    jvm = _jvm_module("check")
    if jvm is None:
        return exit_status.NOT_SET_UP
    valid, message = jvm.validate_java_for_spark()
    print(message)
    broken = broken_java_home(jvm)
    if broken is not None:
        # The module judges the Java it can run (JAVA_HOME's, else the
        # PATH's), but Spark's launcher takes JAVA_HOME as it is set.
        print(f"marl java check: warning: JAVA_HOME is set to {broken!r}, which holds no working "
              "Java (bin/java is missing or does not run); Spark would fail to start with it. "
              "Unset JAVA_HOME or choose an installation with 'marl java search' and 'marl java set'",
              file=sys.stderr)
        return 1
    return 0 if valid else 1


def broken_java_home(jvm) -> "str | None":
    """JAVA_HOME when it is set but its bin/java does not report a version."""
    java_home = os.environ.get("JAVA_HOME")
    if not java_home:
        return None
    launcher = os.path.join(java_home, "bin", "java.exe" if os.name == "nt" else "java")
    if os.path.isfile(launcher) and jvm.get_java_version(launcher)[0] is not None:
        return None
    return java_home


# --- marl java set ------------------------------------------------------------


def _add_set(commands) -> None:
    parser = commands.add_parser(
        "set",
        help="make a Java installation the JAVA_HOME of your shell",
        description=(
            "Write JAVA_HOME (and its bin directory in front of PATH) into the "
            "start-up file of your shell, replacing an earlier setting made this way. "
            "Give the Java home directory, or --auto to choose the newest installation "
            "that the installed PySpark accepts. Exit status 0 when the file was updated."
        ),
    )
    choice = parser.add_mutually_exclusive_group(required=True)
    choice.add_argument("path", nargs="?", metavar="PATH", help="Java home directory (holding bin/java)")
    choice.add_argument("--auto", action="store_true",
                        help="choose the best installation for the installed PySpark")
    parser.set_defaults(func=run_set)


def _choose_for_pyspark(jvm):
    """The best installation for the installed PySpark, or None after saying why."""
    info = jvm.get_pyspark_info()
    if info is None:
        print("marl java set: error: PySpark is not installed, so --auto has nothing to choose for; "
              "give the Java home as PATH", file=sys.stderr)
        return None
    installations = jvm.find_all_java_installations()
    best = jvm.select_best_java(installations, list(info.java_supported))
    if best is None:
        accepted = ", ".join(str(v) for v in info.java_supported)
        print(f"marl java set: error: none of the {len(installations)} Java installation(s) found suits "
              f"PySpark {info.version} (accepts Java {accepted}); see 'marl java search'",
              file=sys.stderr)
        return None
    print(f"Selected Java {best.version} ({best.vendor}) at {best.path} for PySpark {info.version}")
    return best.path


def run_set(args: argparse.Namespace) -> int:
    jvm = _jvm_module("set")
    if jvm is None:
        return exit_status.NOT_SET_UP
    if args.auto:
        java_home = _choose_for_pyspark(jvm)
        if java_home is None:
            return 1
    else:
        java_home = os.path.abspath(os.path.expanduser(args.path))
        if not jvm._is_valid_java_home(java_home):
            print(f"marl java set: error: {java_home} is not a Java home directory (one that holds bin/java; /usr, /usr/local and / do not count)",
                  file=sys.stderr)
            return 1
    ok, message = jvm.set_java_home_persistent(java_home)
    print(message, file=sys.stdout if ok else sys.stderr)
    return 0 if ok else 1


# --- registration ------------------------------------------------------------

# One entry per subcommand, in the order `marl java --help` lists them. A new
# subcommand defines its `_add_<name>` above and joins here.
SUBCOMMANDS = (_add_search, _add_check, _add_set)


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "java",
        help="find Java installations and check them against PySpark",
        description="Find the Java installations of this machine and check the active one against PySpark.",
    )
    commands = parser.add_subparsers(dest="java_command", metavar="SUBCOMMAND", required=True)
    for add in SUBCOMMANDS:
        add(commands)
