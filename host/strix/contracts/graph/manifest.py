"""The parsed project manifest (host stand-in).

``Manifest.nodes`` and ``Manifest.sources`` are plain dicts keyed by
unique_id, in the order of the manifest file, so ``get`` of an unknown id
gives None. Build one from a JSON file with
``strix.contracts.graph.loader.load_manifest``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, Optional

from strix.contracts.graph.nodes import ManifestNode, SourceDefinition


@dataclass
class Manifest:
    nodes: Dict[str, ManifestNode] = field(default_factory=dict)
    sources: Dict[str, SourceDefinition] = field(default_factory=dict)
    project_name: Optional[str] = None


def load_manifest(path):
    """Load a manifest from a JSON file (see ``strix.contracts.graph.loader``)."""
    from strix.contracts.graph.loader import load_manifest as _load

    return _load(path)
