"""The host framework's names that the native modules import, provided by
marl itself where the host framework is not installed.

``strix.plan_advisor`` imports the manifest types and ``strix_common.exceptions``
when it loads, and the profile API imports ``strix.compute.metadata`` at each
request. Installed with pip, marl carries its own versions of these modules
as ``marl._host`` (plain modules of marl's package: nothing is written into
the host framework's packages). ``provide()`` tries each host name first;
only a name that is not installed at all is bound, in ``sys.modules``, to
marl's module. So a host framework that is installed is always the one
used (its metadata store included), and without one the command line runs
on marl's embedded SQLite store.
"""

from __future__ import annotations

import importlib
import sys
import types
from typing import Dict

# Host name -> marl's own module, in the order they must be bound (each
# module imports the ones before it by their host names).
HOST_MODULES = (
    ("strix_common.exceptions", "marl._host.exceptions"),
    ("strix.contracts.graph.nodes", "marl._host.nodes"),
    ("strix.contracts.graph.manifest", "marl._host.manifest"),
    ("strix.compute.metadata", "marl._host.metadata"),
)

# Where each host name came from at the last provide(): "host" or "marl".
provided: Dict[str, str] = {}


def _missing(name: str, error: ModuleNotFoundError) -> bool:
    """Whether ``error`` says that ``name`` (or a package above it) is not
    installed, rather than that something it imports is missing."""
    missing = error.name or ""
    return missing == name or name.startswith(missing + ".")


def _bind(name: str, module: types.ModuleType) -> None:
    """Make ``module`` importable as ``name``, creating the packages above
    it that do not exist."""
    sys.modules[name] = module
    parent_name, _, child = name.rpartition(".")
    while parent_name:
        parent = sys.modules.get(parent_name)
        if parent is None:
            try:
                parent = importlib.import_module(parent_name)
            except ModuleNotFoundError:
                parent = types.ModuleType(parent_name, "Provided by marl: the host framework is not installed.")
                parent.__path__ = []  # a package, with nothing else to find in it
                sys.modules[parent_name] = parent
        setattr(parent, child, sys.modules[f"{parent_name}.{child}"])
        parent_name, _, child = parent_name.rpartition(".")


def provide() -> Dict[str, str]:
    """Bind each host name that cannot be imported to marl's own module;
    returns where each name comes from ("host" or "marl")."""
    for name, own in HOST_MODULES:
        if name in provided and name in sys.modules:
            continue
        try:
            importlib.import_module(name)
            provided[name] = "host"
            continue
        except ModuleNotFoundError as e:
            if not _missing(name, e):
                # Installed but broken: the command that needs it says why.
                continue
        try:
            module = importlib.import_module(own)
        except ModuleNotFoundError as e:
            if e.name is None or not own.startswith(e.name):
                raise
            # A source checkout without the host stand-in on the path:
            # the command that needs the name reports it.
            continue
        _bind(name, module)
        provided[name] = "marl"
    return dict(provided)
