"""`marl spark` (not implemented yet)."""

import sys


def register(subparsers) -> None:
    parser = subparsers.add_parser("spark", help="(not available yet)")
    parser.set_defaults(func=_run)


def _run(args) -> int:
    print("marl spark: not available yet", file=sys.stderr)
    return 1
