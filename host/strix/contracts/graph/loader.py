"""Build a ``Manifest`` from a JSON file.

Format (every key not marked required may be left out)::

    {
      "project_name": "shop",
      "sources": {
        "source.shop.raw.orders": {
          "connection": "warehouse_pg",
          "meta": {"connection": "..."},
          "source_meta": {"connection": "..."},
          "package_name": "shop", "source_name": "raw", "name": "orders"
        }
      },
      "nodes": {
        "model.shop.stg_orders": {
          "resource_type": "model",                       (required)
          "package_name": "shop",
          "name": "stg_orders",
          "sources": ["source.shop.raw.orders", ["raw", "orders"]],
          "depends_on": {"nodes": ["model.shop.other"]}
        }
      }
    }

``sources`` and ``nodes`` map unique_ids to definitions and keep the order of
the file. An entry may repeat its id as "unique_id"; it must then match the
key.

Sources: ``connection`` is a string or null. ``meta`` and ``source_meta`` are
objects or null and default to ``{}``. The analyzer takes the connection from
``connection`` when it is non-empty, else from ``meta["connection"]`` when
``meta`` is an object, else from ``source_meta["connection"]`` -- so
``source_meta`` is only consulted when ``meta`` is null.

Nodes: ``package_name`` defaults to ``project_name``. Each entry of
``sources`` is a source unique_id or a ``[source_name, table_name]`` pair,
which refers to ``source.<package_name>.<source_name>.<table_name>``.
``depends_on.nodes`` lists the unique_ids of other nodes.

Unknown keys and repeated keys are rejected, so that a misspelt field is
reported rather than silently ignored. So is what the analyzer could not use:
a "connection" in ``meta`` or ``source_meta`` that is neither a string nor
null, a string holding a lone surrogate (a ``\\ud800`` escape without its
pair, which no UTF-8 output can carry), and nesting deeper than the JSON
decoder goes.

Only a regular file is read (a FIFO or a device would block or never end),
and at most ``MAX_MANIFEST_BYTES`` of it.
"""

from __future__ import annotations

import json
import os
import re
import stat
from typing import Any, Dict, List, Optional

from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import DependsOn, ManifestNode, SourceDefinition

_TOP_KEYS = {"project_name", "sources", "nodes"}
_SOURCE_KEYS = {"unique_id", "connection", "meta", "source_meta",
                "package_name", "source_name", "name"}
_NODE_KEYS = {"unique_id", "resource_type", "package_name", "name",
              "sources", "depends_on"}
_DEPENDS_ON_KEYS = {"nodes"}

MAX_MANIFEST_BYTES = 1 << 30

# A "\\uD800"-"\\uDFFF" escape: only then can the decoded data hold a surrogate.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


class ManifestError(ValueError):
    """The manifest file cannot be read or does not have the expected form."""


def load_manifest(path: str | os.PathLike, origin: Optional[str] = None) -> Manifest:
    """Read the JSON manifest at ``path``; raise ``ManifestError`` on any problem.

    Messages begin with ``origin``, by default the path as given (a server
    passes the file's name so that no absolute path reaches its pages).
    """
    name = os.fspath(path)
    origin = name if origin is None else origin
    try:
        raw = _read_regular_file(name, origin)
    except OSError as e:
        raise ManifestError(f"{origin}: cannot read manifest: {e.strerror or e}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ManifestError(f"{origin}: manifest is not UTF-8 text: {e}") from None
    try:
        data = json.loads(text, object_pairs_hook=_reject_duplicate_keys)
    except json.JSONDecodeError as e:
        raise ManifestError(
            f"{origin}: not valid JSON: {e.msg} (line {e.lineno}, column {e.colno})"
        ) from None
    except _DuplicateKey as e:
        raise ManifestError(f"{origin}: key {e.args[0]!r} appears twice in one object") from None
    except RecursionError:
        raise ManifestError(f"{origin}: the JSON is nested too deeply to read") from None
    if _SURROGATE_ESCAPE.search(text):
        _reject_lone_surrogates(data, origin)
    try:
        return manifest_from_dict(data, origin=origin)
    except RecursionError:
        raise ManifestError(f"{origin}: the JSON is nested too deeply to read") from None


def _read_regular_file(name: str, origin: str) -> bytes:
    # O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ManifestError(f"{origin}: cannot read manifest: not a regular file")
        data = f.read(MAX_MANIFEST_BYTES + 1)
    if len(data) > MAX_MANIFEST_BYTES:
        raise ManifestError(
            f"{origin}: cannot read manifest: larger than {MAX_MANIFEST_BYTES >> 20} MiB"
        )
    return data


def _reject_lone_surrogates(data: Any, origin: str) -> None:
    problem = "a lone surrogate escape (\\ud800-\\udfff without its pair) is not valid Unicode"
    stack = [(data, "")]
    while stack:
        value, where = stack.pop()
        if isinstance(value, str):
            if not _is_unicode(value):
                raise ManifestError(f"{origin}: {where}: {problem}")
        elif isinstance(value, dict):
            for key, item in value.items():
                if not _is_unicode(key):
                    raise ManifestError(f"{origin}: {where or 'the manifest'}: key {key!r}: {problem}")
                stack.append((item, f"{where}[{key!r}]" if where else key))
        elif isinstance(value, list):
            stack.extend((item, f"{where}[{i}]") for i, item in enumerate(value))


def _is_unicode(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def manifest_from_dict(data: Any, origin: str = "<manifest>") -> Manifest:
    """Build a ``Manifest`` from already decoded JSON data."""
    _expect_object(data, origin, "the manifest")
    _check_keys(data, _TOP_KEYS, origin, "the manifest")
    project_name = _optional_str(data, "project_name", origin, "the manifest")

    sources_data = data.get("sources", {})
    _expect_object(sources_data, origin, "sources")
    sources = {
        uid: _source(uid, entry, project_name, origin)
        for uid, entry in sources_data.items()
    }

    nodes_data = data.get("nodes", {})
    _expect_object(nodes_data, origin, "nodes")
    nodes = {
        uid: _node(uid, entry, project_name, origin)
        for uid, entry in nodes_data.items()
    }
    return Manifest(nodes=nodes, sources=sources, project_name=project_name)


def _source(uid: str, entry: Any, project_name, origin: str) -> SourceDefinition:
    where = f"sources[{uid!r}]"
    _expect_object(entry, origin, where)
    _check_keys(entry, _SOURCE_KEYS, origin, where)
    _check_own_id(uid, entry, origin, where)
    meta = _optional_object(entry, "meta", origin, where)
    source_meta = _optional_object(entry, "source_meta", origin, where)
    for key, value in (("meta", meta), ("source_meta", source_meta)):
        if value is not None:
            _optional_str(value, "connection", origin, f"{where}.{key}")
    return SourceDefinition(
        unique_id=uid,
        connection=_optional_str(entry, "connection", origin, where),
        meta=meta,
        source_meta=source_meta,
        package_name=_optional_str(entry, "package_name", origin, where, project_name),
        source_name=_optional_str(entry, "source_name", origin, where),
        name=_optional_str(entry, "name", origin, where),
    )


def _node(uid: str, entry: Any, project_name, origin: str) -> ManifestNode:
    where = f"nodes[{uid!r}]"
    _expect_object(entry, origin, where)
    _check_keys(entry, _NODE_KEYS, origin, where)
    _check_own_id(uid, entry, origin, where)
    if "resource_type" not in entry:
        raise ManifestError(f"{origin}: {where}: missing required key 'resource_type'")
    resource_type = entry["resource_type"]
    if not isinstance(resource_type, str) or not resource_type:
        raise ManifestError(
            f"{origin}: {where}.resource_type: expected a non-empty string, "
            f"got {_json_repr(resource_type)}"
        )
    return ManifestNode(
        unique_id=uid,
        resource_type=resource_type,
        package_name=_optional_str(entry, "package_name", origin, where, project_name),
        name=_optional_str(entry, "name", origin, where),
        sources=_source_refs(entry.get("sources", []), origin, f"{where}.sources"),
        depends_on=_depends_on(entry.get("depends_on", {}), origin, f"{where}.depends_on"),
    )


def _source_refs(refs: Any, origin: str, where: str) -> List[Any]:
    if not isinstance(refs, list):
        raise ManifestError(f"{origin}: {where}: expected a list, got {_json_repr(refs)}")
    for i, ref in enumerate(refs):
        is_id = isinstance(ref, str)
        is_pair = (isinstance(ref, list) and len(ref) == 2
                   and all(isinstance(part, str) for part in ref))
        if not (is_id or is_pair):
            raise ManifestError(
                f"{origin}: {where}[{i}]: expected a source unique_id or a "
                f"[source_name, table_name] pair, got {_json_repr(ref)}"
            )
    return list(refs)


def _depends_on(value: Any, origin: str, where: str) -> DependsOn:
    _expect_object(value, origin, where)
    _check_keys(value, _DEPENDS_ON_KEYS, origin, where)
    nodes = value.get("nodes", [])
    if not isinstance(nodes, list) or not all(isinstance(n, str) for n in nodes):
        raise ManifestError(
            f"{origin}: {where}.nodes: expected a list of unique_ids, got {_json_repr(nodes)}"
        )
    return DependsOn(nodes=list(nodes))


# --- small validation helpers -------------------------------------------------

class _DuplicateKey(Exception):
    pass


def _reject_duplicate_keys(pairs):
    obj: Dict[str, Any] = {}
    for key, value in pairs:
        if key in obj:
            raise _DuplicateKey(key)
        obj[key] = value
    return obj


def _json_repr(value: Any) -> str:
    try:
        text = json.dumps(value)
    except (RecursionError, ValueError):
        text = f"a nested {type(value).__name__}"
    return text if len(text) <= 60 else text[:57] + "..."


def _expect_object(value: Any, origin: str, where: str) -> None:
    if not isinstance(value, dict):
        raise ManifestError(f"{origin}: {where}: expected an object, got {_json_repr(value)}")


def _check_keys(obj: Dict[str, Any], allowed: set, origin: str, where: str) -> None:
    unknown = sorted(set(obj) - allowed)
    if unknown:
        raise ManifestError(
            f"{origin}: {where}: unknown key {unknown[0]!r} "
            f"(allowed: {', '.join(sorted(allowed))})"
        )


def _check_own_id(uid: str, entry: Dict[str, Any], origin: str, where: str) -> None:
    if "unique_id" in entry and entry["unique_id"] != uid:
        raise ManifestError(
            f"{origin}: {where}.unique_id: {_json_repr(entry['unique_id'])} "
            f"does not match its key"
        )


def _optional_str(obj, key, origin, where, default=None):
    value = obj.get(key, default)
    if value is not None and not isinstance(value, str):
        raise ManifestError(
            f"{origin}: {where}.{key}: expected a string or null, got {_json_repr(value)}"
        )
    return value


def _optional_object(obj, key, origin, where):
    value = obj.get(key, {})
    if value is not None and not isinstance(value, dict):
        raise ManifestError(
            f"{origin}: {where}.{key}: expected an object or null, got {_json_repr(value)}"
        )
    return value
