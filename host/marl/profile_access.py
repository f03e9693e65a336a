"""The docs server's one way to read the metadata store: the profile
module's endpoint coroutines, run to their end on a worker thread of a
bounded store lane, with values no response can carry marked as bad.

The endpoints of ``strix.task.docs.api.profile`` are coroutine functions
that never suspend: awaited on the server's event loop they would hold it
for as long as a store read takes (a locked store waits a second). So the
API routes call ``read`` here and the pages ``read_for_page`` (or
``read_with_store``, which opens the store as the endpoints do), each
running on the workers of its own lane. Page rendering and plan layouts
have limits of their own (``Limits``), so a burst of one kind of work never
starves another, nor the static files.
"""

from __future__ import annotations

import json
import logging
from dataclasses import dataclass
from typing import Any, Callable, Coroutine, Optional

import anyio.to_thread
from anyio import CapacityLimiter
from fastapi.responses import JSONResponse
from strix.compute import metadata as _metadata

_log = logging.getLogger("marl.docs")


class _StoreBusy(Exception):
    """The store is too busy to read now."""


class _StoreUnreadable(Exception):
    """The store cannot be read."""


# The store's errors: a host framework's store may not define them, and then
# marl's own stand in (a full store lane is still answered as busy).
StoreBusyError = getattr(_metadata, "StoreBusyError", _StoreBusy)
StoreUnreadableError = getattr(_metadata, "StoreUnreadableError", _StoreUnreadable)

# Worker threads per kind of work; together well below anyio's default pool
# of 40, which then stays free for static files and FastAPI's own work.
API_STORE_READS = 8
PAGE_STORE_READS = 4
PAGE_RENDERS = 4
LAYOUTS = 2
# Most store reads of one kind waiting for a worker: past that a read
# answers "busy" at once rather than after everyone before it (a locked
# store makes each read wait a second).
STORE_QUEUE = 32


class StoreLane:
    """Store reads of one kind: at most ``workers`` at once, at most
    ``queue`` more waiting; beyond that ``StoreBusyError`` at once."""

    def __init__(self, workers: int, queue: int = STORE_QUEUE) -> None:
        self.limiter = CapacityLimiter(workers)
        self.bound = workers + queue
        self.taken = 0  # running and waiting; changed on the event loop only

    async def run(self, work: Callable[[], Any]) -> Any:
        if self.taken >= self.bound:
            raise StoreBusyError(f"{self.taken} reads are already waiting for it")
        self.taken += 1
        try:
            return await anyio.to_thread.run_sync(work, limiter=self.limiter)
        finally:
            self.taken -= 1


@dataclass
class Limits:
    """Separate bounds on the server's blocking work: the API's store reads,
    the pages' store reads, page rendering, plan layouts."""

    api_store: StoreLane
    page_store: StoreLane
    pages: CapacityLimiter
    layouts: CapacityLimiter

    @classmethod
    def new(cls) -> "Limits":
        return cls(StoreLane(API_STORE_READS), StoreLane(PAGE_STORE_READS),
                   CapacityLimiter(PAGE_RENDERS), CapacityLimiter(LAYOUTS))


def limits(app) -> Limits:
    return app.state.limits


async def off_loop(limiter: CapacityLimiter, work: Callable[..., Any], *args: Any) -> Any:
    """``work(*args)`` on a worker thread, at most ``limiter``'s many at once."""
    return await anyio.to_thread.run_sync(work, *args, limiter=limiter)


def run_to_end(coroutine: Coroutine) -> Any:
    """The result of a coroutine that never suspends (the profile module's
    endpoints), run on the calling thread without an event loop."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    coroutine.close()
    raise RuntimeError(f"{coroutine!r} suspended; it can only be run on an event loop")


async def read(app, endpoint: Callable[..., Coroutine], *args: Any, **kwargs: Any) -> Any:
    """What ``endpoint`` (a profile endpoint) returns for these arguments,
    read on a store worker of the API; its exceptions (``HTTPException``,
    the store's own) pass through unchanged."""
    return await limits(app).api_store.run(lambda: run_to_end(endpoint(*args, **kwargs)))


async def read_for_page(app, endpoint: Callable[..., Coroutine], *args: Any) -> Any:
    """``read``, on a store worker of the pages (a burst of API requests
    never keeps a person waiting behind it)."""
    return await limits(app).page_store.run(lambda: run_to_end(endpoint(*args)))


async def read_with_store(app, work: Callable[[Any], Any]) -> Any:
    """``work(store)`` on a store worker of the pages, with the store opened
    by the profile module's own ``_get_store`` (as its endpoints open it)
    and closed after, whatever happens: for the pages' reads that the
    endpoints do not offer (one page of a long listing)."""
    from strix.task.docs.api import profile

    def run() -> Any:
        store = profile._get_store()
        try:
            return work(store)
        finally:
            store.close()

    return await limits(app).page_store.run(run)


# --- values a response cannot carry ------------------------------------------------------


class BadValue:
    """Stands on the pages for a field whose value cannot be sent or shown
    (text with lone surrogates, nesting deeper than a JSON reader takes)."""

    def __init__(self, why: str) -> None:
        self.why = why

    def __repr__(self) -> str:
        return f"BadValue({self.why!r})"

    def __bool__(self) -> bool:
        return True


def encode(content: Any) -> bytes:
    """``content`` as the UTF-8 JSON the API sends; raises ValueError for a
    value that has no such form."""
    try:
        return json.dumps(content, ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode("utf-8")
    except RecursionError:
        raise ValueError("nested too deeply") from None
    except UnicodeEncodeError:
        raise ValueError("text with lone surrogates") from None


def _problem(value: Any) -> Optional[str]:
    try:
        encode(value)
    except (ValueError, TypeError) as e:
        return str(e)
    return None


def _clean_record(record: dict, bad: Callable[[str, str], Any], where: str) -> dict:
    out = {}
    for key, value in record.items():
        if key == "columns" and isinstance(value, list):
            out[key] = [_clean_record(c, bad, f"{where} column {c.get('column_name')!r}")
                        if isinstance(c, dict) else _clean_value(c, bad, where, key) for c in value]
        else:
            out[key] = _clean_value(value, bad, where, key)
    return out


def _clean_value(value: Any, bad: Callable[[str, str], Any], where: str, field: str) -> Any:
    why = _problem(value)
    return value if why is None else bad(f"{field} of {where}", why)


def clean(result: Any, for_page: bool = False) -> Any:
    """``result`` of a profile endpoint with every field that cannot be
    encoded replaced: by null for the API (as the store reads any other
    unreadable value), by a ``BadValue`` for the pages. A result that
    encodes as it is comes back unchanged (the same object)."""
    if _problem(result) is None:
        return result

    def bad(what: str, why: str) -> Any:
        _log.warning("profile API: %s cannot be sent (%s); %s", what, why,
                     "shown as a bad value" if for_page else "answered as null")
        return BadValue(why) if for_page else None

    if isinstance(result, dict):
        where = ".".join(str(result.get(k)) for k in ("source_name", "table_name") if k in result) or "the response"
        return _clean_record(result, bad, where)
    if isinstance(result, list):
        return [_clean_record(r, bad, "an item") if isinstance(r, dict) else _clean_value(r, bad, "a list", "item")
                for r in result]
    return bad("the response", _problem(result) or "")


class ProfileJSONResponse(JSONResponse):
    """The API's JSON, with fields no JSON can carry sent as null rather
    than failing the whole response."""

    def render(self, content: Any) -> bytes:
        try:
            return encode(content)
        except ValueError:
            return encode(clean(content))


def store_path_problem(project_root) -> Optional[str]:
    """Why the project's store path, when something is there, is no store
    (it then reads as holding no profiles); None when it is a file or absent.
    Names no path of the machine."""
    import os
    import stat

    DB_DIR = getattr(_metadata, "DB_DIR", None)
    DB_NAME = getattr(_metadata, "DB_NAME", None)
    if DB_DIR is None or DB_NAME is None:
        return None  # a host framework's store keeps its file where it chooses
    shown = f"{DB_DIR}/{DB_NAME}"
    path = os.path.join(os.fspath(project_root), DB_DIR, DB_NAME)
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        if os.path.islink(path):
            return f"{shown} is a symbolic link to a file that does not exist"
        return None
    except OSError as e:
        return f"{shown} cannot be looked at: {e.strerror or e}"
    if stat.S_ISREG(mode):
        return None
    kind = ("a directory" if stat.S_ISDIR(mode) else "a named pipe (FIFO)" if stat.S_ISFIFO(mode)
            else "a socket" if stat.S_ISSOCK(mode) else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
            else "not a regular file")
    return f"{shown} is {kind}, not a database file, so no profiles can be read from it"
