"""Reading a project's manifest for the command line: ``load_manifest(path)``
gives an object with ``.nodes`` and ``.sources``; an unusable file raises
``ManifestError`` with one line saying why.

Interim: this is the JSON loader of the host stand-in, marl's own copy when
installed with pip (``marl._host``), the one in host/ in a checkout.
"""

try:
    from marl._host.loader import ManifestError, load_manifest
except ModuleNotFoundError as e:
    if e.name not in ("marl._host.loader", "marl._host"):
        raise
    from strix.contracts.graph.loader import ManifestError, load_manifest

__all__ = ["ManifestError", "load_manifest"]
