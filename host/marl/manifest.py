"""marl's own manifest reader: a JSON manifest as the plan advisor reads it.

The format and every message are those of the host stand-in's loader
(``strix.contracts.graph.loader``)::

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

Unknown and repeated keys, values of the wrong type, lone surrogates and
nesting deeper than the JSON decoder goes are rejected with ``ManifestError``
naming the place. Nothing here imports the host framework: the nodes and
sources are the small classes below, which carry exactly the attributes the
advisor reads (``Node``, ``Source`` and ``DependsOn`` are the one place that
chooses them).

Speed. A project of 100,000 nodes must load in well under a second when the
machine is idle, so each entry is checked by a few inline type tests; only an
entry that fails them goes through the detailed checks, which find and word
the problem.

Where it reads from. A path names a regular file; with ``streams=True`` (the
baseline of ``marl plan``) also a pipe, process substitution (/dev/fd/N) or
"-" for standard input. A binary file object may be passed instead of a
path. At most ``MAX_MANIFEST_BYTES`` are read from any of them.
"""

from __future__ import annotations

import json
import os
import re
import stat
import sys
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Dict, List, Optional, Union

MAX_MANIFEST_BYTES = 1 << 30

_TOP_KEYS = frozenset({"project_name", "sources", "nodes"})
_SOURCE_KEYS = frozenset({"unique_id", "connection", "meta", "source_meta",
                          "package_name", "source_name", "name"})
_NODE_KEYS = frozenset({"unique_id", "resource_type", "package_name", "name",
                        "sources", "depends_on"})
_DEPENDS_ON_KEYS = frozenset({"nodes"})

# A "\\uD800"-"\\uDFFF" escape: only then can the decoded data hold a surrogate.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")

STDIN = "-"


class ManifestError(ValueError):
    """The manifest cannot be read or does not have the expected form."""


# --- what is read --------------------------------------------------------------

@dataclass(slots=True)
class DependsOn:
    nodes: List[str] = field(default_factory=list)


@dataclass(slots=True)
class Node:
    """A compiled node (model, seed, test, ...)."""

    unique_id: str
    resource_type: str
    package_name: Optional[str] = None
    name: Optional[str] = None
    sources: List[Any] = field(default_factory=list)
    depends_on: DependsOn = field(default_factory=DependsOn)


@dataclass(slots=True)
class Source:
    """A table read from a database connection."""

    unique_id: str
    connection: Optional[str] = None
    meta: Optional[Dict[str, Any]] = field(default_factory=dict)
    source_meta: Optional[Dict[str, Any]] = field(default_factory=dict)
    package_name: Optional[str] = None
    source_name: Optional[str] = None
    name: Optional[str] = None

    def resolved_connection(self) -> Optional[str]:
        """The connection the advisor takes: ``connection`` when non-empty,
        else ``meta``'s when ``meta`` is an object, else ``source_meta``'s."""
        if self.connection:
            return self.connection
        if isinstance(self.meta, dict):
            return self.meta.get("connection")
        if isinstance(self.source_meta, dict):
            return self.source_meta.get("connection")
        return None


@dataclass(slots=True)
class Manifest:
    nodes: Dict[str, Node] = field(default_factory=dict)
    sources: Dict[str, Source] = field(default_factory=dict)
    project_name: Optional[str] = None


# --- reading -------------------------------------------------------------------

def load_manifest(source: Union[str, os.PathLike, BinaryIO], origin: Optional[str] = None,
                  *, streams: bool = False) -> Manifest:
    """Read the JSON manifest ``source`` (a path, or a binary file object);
    raise ``ManifestError`` on any problem.

    Messages begin with ``origin``, by default the path as given ("standard
    input" for "-"). With ``streams`` a pipe, a FIFO or "-" may be read too.
    """
    if hasattr(source, "read"):
        origin = origin or getattr(source, "name", None) or "<stream>"
        try:
            holder = [_read_bounded(source, origin)]
        except OSError as e:
            raise ManifestError(f"{origin}: cannot read manifest: {e.strerror or e}") from None
        return _from_raw(holder, origin)
    name = os.fspath(source)
    if streams and name == STDIN:
        return load_manifest(sys.stdin.buffer, origin or "standard input")
    origin = name if origin is None else origin
    try:
        holder = [_read_file(name, origin, streams)]
    except OSError as e:
        raise ManifestError(f"{origin}: cannot read manifest: {e.strerror or e}") from None
    return _from_raw(holder, origin)


def _from_raw(holder: List[bytes], origin: str) -> Manifest:
    """The manifest of the bytes in ``holder``, which it empties: the bytes,
    the text and the decoded JSON are each let go as soon as the next form
    is made (a large manifest then needs about the memory of one of them)."""
    try:
        text = holder.pop().decode("utf-8")
    except UnicodeDecodeError as e:
        raise ManifestError(f"{origin}: manifest is not UTF-8 text: {e}") from None
    holder = [_decode(text, origin)]
    del text
    try:
        return _build(holder.pop(), origin, consume=True)
    except RecursionError:
        raise ManifestError(f"{origin}: the JSON is nested too deeply to read") from None


def manifest_from_bytes(raw: bytes, origin: str = "<manifest>") -> Manifest:
    return _from_raw([raw], origin)


def manifest_from_text(text: str, origin: str = "<manifest>") -> Manifest:
    data = _decode(text, origin)
    try:
        # The decoded entries are let go one by one as they are built.
        return _build(data, origin, consume=True)
    except RecursionError:
        raise ManifestError(f"{origin}: the JSON is nested too deeply to read") from None


def _decode(text: str, origin: str) -> Any:
    try:
        data = json.loads(text, object_pairs_hook=_unique_keys)
    except json.JSONDecodeError as e:
        raise ManifestError(
            f"{origin}: not valid JSON: {e.msg} (line {e.lineno}, column {e.colno})"
        ) from None
    except _DuplicateKey as e:
        raise ManifestError(f"{origin}: key {e.args[0]!r} appears twice in one object") from None
    except RecursionError:
        raise ManifestError(f"{origin}: the JSON is nested too deeply to read") from None
    except ValueError:
        # The interpreter's limit on the digits of an int read from text.
        raise ManifestError(f"{origin}: the JSON holds a number too long to read "
                            f"(more than {sys.get_int_max_str_digits()} digits)") from None
    if _SURROGATE_ESCAPE.search(text):
        _reject_lone_surrogates(data, origin)
    return data


def _read_file(name: str, origin: str, streams: bool) -> bytes:
    # O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with os.fdopen(fd, "rb") as f:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            if not (streams and stat.S_ISFIFO(mode)):
                raise ManifestError(f"{origin}: cannot read manifest: not a regular file")
            # A pipe: wait for its writer's data like any reader would. With
            # no writer at all it reads as empty.
            os.set_blocking(fd, True)
        return _read_bounded(f, origin)


def _read_bounded(f, origin: str) -> bytes:
    chunks = []
    size = 0
    while size <= MAX_MANIFEST_BYTES:
        chunk = f.read(MAX_MANIFEST_BYTES + 1 - size)
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
    if size > MAX_MANIFEST_BYTES:
        raise ManifestError(
            f"{origin}: cannot read manifest: larger than {_size_text(MAX_MANIFEST_BYTES)}"
        )
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def _size_text(size: int) -> str:
    return f"{size >> 20} MiB" if size >= 1 << 20 else f"{size} bytes"


class _DuplicateKey(Exception):
    pass


def _unique_keys(pairs):
    obj = dict(pairs)
    if len(obj) != len(pairs):
        seen = set()
        for key, _ in pairs:
            if key in seen:
                raise _DuplicateKey(key)
            seen.add(key)
    return obj


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


# --- building ------------------------------------------------------------------

_ABSENT = object()


def manifest_from_dict(data: Any, origin: str = "<manifest>") -> Manifest:
    """Build a ``Manifest`` from already decoded JSON data (left as it is)."""
    try:
        return _build(data, origin, consume=False)
    except RecursionError:
        raise ManifestError(f"{origin}: the JSON is nested too deeply to read") from None


def _build(data: Any, origin: str, consume: bool) -> Manifest:
    """With ``consume``, each entry of ``data`` is replaced by None once
    built, so the decoded JSON shrinks as the manifest grows."""
    _expect_object(data, origin, "the manifest")
    _check_keys(data, _TOP_KEYS, origin, "the manifest")
    project_name = _optional_str(data, "project_name", origin, "the manifest")

    sources_data = data.get("sources", {})
    _expect_object(sources_data, origin, "sources")
    sources = _built(sources_data, _fast_source, _source, project_name, origin, consume)
    nodes_data = data.get("nodes", {})
    _expect_object(nodes_data, origin, "nodes")
    nodes = _built(nodes_data, _fast_node, _node, project_name, origin, consume)
    return Manifest(nodes=nodes, sources=sources, project_name=project_name)


def _built(entries: Dict[str, Any], fast, checked, project_name, origin: str, consume: bool) -> Dict[str, Any]:
    """Each entry built by ``fast`` (None when it needs a closer look) or
    else by ``checked``, which names what is wrong with it."""
    built = {}
    for uid, entry in entries.items():
        value = fast(uid, entry, project_name)
        built[uid] = value if value is not None else checked(uid, entry, project_name, origin)
        if consume:
            entries[uid] = entry = None
    return built


def _str_or_none(value) -> bool:
    return value is None or type(value) is str


def _fast_node(uid: str, entry: Any, project_name) -> Optional[Node]:
    """The node of a well-formed entry, None when anything needs a closer look."""
    if type(entry) is not dict or not entry.keys() <= _NODE_KEYS:
        return None
    get = entry.get
    resource_type = get("resource_type")
    if type(resource_type) is not str or not resource_type:
        return None
    package_name = get("package_name", project_name)
    name = get("name")
    if (("unique_id" in entry and entry["unique_id"] != uid)
            or (package_name is not None and type(package_name) is not str)
            or (name is not None and type(name) is not str)):
        return None
    refs = get("sources", _ABSENT)
    if refs is _ABSENT:
        refs = []
    elif type(refs) is not list:
        return None
    else:
        for ref in refs:
            if type(ref) is not str and not (
                    type(ref) is list and len(ref) == 2 and type(ref[0]) is str and type(ref[1]) is str):
                return None
        refs = refs.copy()
    depends = get("depends_on", _ABSENT)
    if depends is _ABSENT:
        ids = []
    else:
        if type(depends) is not dict or not depends.keys() <= _DEPENDS_ON_KEYS:
            return None
        ids = depends.get("nodes", _ABSENT)
        if ids is _ABSENT:
            ids = []
        elif type(ids) is not list:
            return None
        else:
            for dep in ids:
                if type(dep) is not str:
                    return None
            ids = ids.copy()
    return Node(uid, resource_type, package_name, name, refs, DependsOn(ids))


def _fast_source(uid: str, entry: Any, project_name) -> Optional[Source]:
    if type(entry) is not dict or not entry.keys() <= _SOURCE_KEYS:
        return None
    meta = entry.get("meta", _ABSENT)
    source_meta = entry.get("source_meta", _ABSENT)
    if meta is _ABSENT:
        meta = {}
    elif meta is not None and (type(meta) is not dict or not _str_or_none(meta.get("connection"))):
        return None
    if source_meta is _ABSENT:
        source_meta = {}
    elif source_meta is not None and (
            type(source_meta) is not dict or not _str_or_none(source_meta.get("connection"))):
        return None
    connection = entry.get("connection")
    package_name = entry.get("package_name", project_name)
    source_name = entry.get("source_name")
    name = entry.get("name")
    if (entry.get("unique_id", uid) != uid or not _str_or_none(connection) or not _str_or_none(package_name)
            or not _str_or_none(source_name) or not _str_or_none(name)):
        return None
    return Source(uid, connection, meta, source_meta, package_name, source_name, name)


# The detailed checks: they find and word what the fast ones only noticed.

def _source(uid: str, entry: Any, project_name, origin: str) -> Source:
    where = f"sources[{uid!r}]"
    _expect_object(entry, origin, where)
    _check_keys(entry, _SOURCE_KEYS, origin, where)
    _check_own_id(uid, entry, origin, where)
    meta = _optional_object(entry, "meta", origin, where)
    source_meta = _optional_object(entry, "source_meta", origin, where)
    for key, value in (("meta", meta), ("source_meta", source_meta)):
        if value is not None:
            _optional_str(value, "connection", origin, f"{where}.{key}")
    return Source(
        unique_id=uid,
        connection=_optional_str(entry, "connection", origin, where),
        meta=meta,
        source_meta=source_meta,
        package_name=_optional_str(entry, "package_name", origin, where, project_name),
        source_name=_optional_str(entry, "source_name", origin, where),
        name=_optional_str(entry, "name", origin, where),
    )


def _node(uid: str, entry: Any, project_name, origin: str) -> Node:
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
    return Node(
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


def _json_repr(value: Any) -> str:
    try:
        text = json.dumps(value)
    except (RecursionError, ValueError):
        text = f"a nested {type(value).__name__}"
    return text if len(text) <= 60 else text[:57] + "..."


def _expect_object(value: Any, origin: str, where: str) -> None:
    if not isinstance(value, dict):
        raise ManifestError(f"{origin}: {where}: expected an object, got {_json_repr(value)}")


def _check_keys(obj: Dict[str, Any], allowed, origin: str, where: str) -> None:
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
