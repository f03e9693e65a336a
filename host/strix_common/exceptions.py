"""Exceptions of the host framework (stand-in)."""


class StrixRuntimeError(Exception):
    """An error raised while running a project."""
