"""Node and source types of the project manifest (host stand-in).

Only what the execution-strategy analyzer and the ``marl`` command line read
is modelled; the loader in ``strix.contracts.graph.loader`` builds these from
JSON.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Union

# A direct source reference: a source unique_id, or a (source name, table name)
# pair resolved against the node's package.
SourceRef = Union[str, List[str]]


@dataclass
class DependsOn:
    """What a node depends on; ``nodes`` holds the unique_ids of other nodes."""

    nodes: List[str] = field(default_factory=list)


@dataclass
class ManifestNode:
    """A compiled node: a model, seed, snapshot, test, ..."""

    unique_id: str
    resource_type: str
    package_name: Optional[str] = None
    name: Optional[str] = None
    sources: List[SourceRef] = field(default_factory=list)
    depends_on: DependsOn = field(default_factory=DependsOn)


@dataclass
class SourceDefinition:
    """A table read from a database connection.

    The connection is named by ``connection`` or, failing that, by the
    "connection" key of ``meta`` or of ``source_meta``.
    """

    unique_id: str
    connection: Optional[str] = None
    meta: Optional[Dict[str, Any]] = field(default_factory=dict)
    source_meta: Optional[Dict[str, Any]] = field(default_factory=dict)
    package_name: Optional[str] = None
    source_name: Optional[str] = None
    name: Optional[str] = None
