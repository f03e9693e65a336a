"""How the docs server serves, apart from what it serves: which `Host`
names it answers, HEAD on every GET path, API requests on worker threads,
errors under /api as JSON, and URL path segments that carry any name.

The profile endpoints are coroutines that read the SQLite store without
ever suspending, so awaited on the server's event loop they would hold up
every other request for as long as a read takes (a locked store, a large
listing). ``OffLoop`` gives each API request an event loop of its own on a
worker thread instead; the main loop only passes messages to and fro.
"""

from __future__ import annotations

import asyncio
import logging
import re
from typing import Any, Dict, Iterable, List, Optional, Sequence
from urllib.parse import quote, unquote

import anyio.to_thread
from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse
from fastapi.routing import APIRoute
from starlette._utils import get_route_path
from starlette.convertors import Convertor, register_url_convertor
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.routing import Match
from starlette.types import ASGIApp, Receive, Scope, Send

from strix.compute import metadata as _metadata

# Errors of marl's embedded store; a host framework's store may not have them.
_NO_ERROR = type("_NoSuchError", (Exception,), {})
StoreBusyError = getattr(_metadata, "StoreBusyError", _NO_ERROR)
StoreUnreadableError = getattr(_metadata, "StoreUnreadableError", _NO_ERROR)

API_PREFIX = "/api/"
# IPv6 addresses as the Host header writes them, in brackets.
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")
_log = logging.getLogger("marl.docs")
# Addresses that mean "every interface": no name a client would send.
_ANY_ADDRESS = ("", "0.0.0.0", "::")


def allowed_hosts(served_host: str, extra: Iterable[str] = ()) -> List[str]:
    """The `Host` names the server answers: the loopback names, the address
    it is served on, and the names the user adds."""
    names = list(LOOPBACK_HOSTS)
    for name in (served_host, *extra):
        name = name.strip().lower().strip("[]")
        if name in _ANY_ADDRESS:
            continue
        name = f"[{name}]" if ":" in name else name
        if name not in names:
            names.append(name)
    return names


def is_api(scope: Scope) -> bool:
    return get_route_path(scope).startswith(API_PREFIX)


# --- middleware ----------------------------------------------------------------


class HeadAsGet:
    """HEAD answered wherever GET is: the request runs as a GET and its
    response goes out with headers only (Content-Length as for the GET)."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["method"] != "HEAD":
            await self.app(scope, receive, send)
            return

        async def send_headers_only(message: Dict[str, Any]) -> None:
            if message["type"] == "http.response.body":
                message = {**message, "body": b""}
            await send(message)

        await self.app({**scope, "method": "GET"}, receive, send_headers_only)


class OffLoop:
    """Runs each request under /api/ on a worker thread, in an event loop of
    its own; receive and send are passed back to the server's loop."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not is_api(scope):
            await self.app(scope, receive, send)
            return
        server_loop = asyncio.get_running_loop()

        def on_server_loop(channel):
            async def call(*args: Any) -> Any:
                async def run() -> Any:
                    return await channel(*args)
                return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(run(), server_loop))
            return call

        await anyio.to_thread.run_sync(
            asyncio.run, self.app(scope, on_server_loop(receive), on_server_loop(send)))


class ApiInternalErrors:
    """A failure under /api/ that nothing handled answers 500 with a JSON
    detail and is logged here. (Starlette's last-resort handler would answer
    too, but then hand the error on to the server, which drops the client's
    connection.)"""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not is_api(scope):
            await self.app(scope, receive, send)
            return
        started = False

        async def watch(message: Dict[str, Any]) -> None:
            nonlocal started
            started = started or message["type"] == "http.response.start"
            await send(message)

        try:
            await self.app(scope, receive, watch)
        except Exception:
            if started:
                raise
            _log.exception("internal error answering %s", get_route_path(scope))
            # The exception's text may name files of the machine: it stays in the log.
            await JSONResponse({"detail": "Internal Server Error"}, status_code=500)(scope, receive, send)


class LocalHostsOnly(TrustedHostMiddleware):
    """Starlette's `Host` check (400 for a name not allowed), answering
    requests under /api/ with a JSON detail like every other API error."""

    _PASSED = "marl.host_checked"

    def __init__(self, app: ASGIApp, allowed_hosts: Sequence[str]) -> None:
        async def passed(scope: Scope, receive: Receive, send: Send) -> None:
            scope[self._PASSED] = True
            await app(scope, receive, send)

        super().__init__(passed, allowed_hosts=allowed_hosts, www_redirect=False)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not is_api(scope):
            await super().__call__(scope, receive, send)
            return
        rejected = False

        async def send_json_error(message: Dict[str, Any]) -> None:
            nonlocal rejected
            if message["type"] == "http.response.start" and not scope.get(self._PASSED):
                rejected = True
                await JSONResponse({"detail": "Invalid host header"}, status_code=message["status"])(
                    scope, receive, send)
            elif not rejected:
                await send(message)

        await super().__call__(scope, receive, send_json_error)


# --- errors ----------------------------------------------------------------------------


def add_error_handlers(app: FastAPI) -> None:
    """A busy store answers 503 and an unreadable one 500, both with a JSON
    detail (any other failure under /api is ``ApiInternalErrors``')."""

    @app.exception_handler(StoreBusyError)
    async def store_busy(request: Request, exc: StoreBusyError) -> JSONResponse:
        return JSONResponse({"detail": f"The metadata store is busy: {exc}"}, status_code=503,
                            headers={"Retry-After": "1"})

    @app.exception_handler(StoreUnreadableError)
    async def store_unreadable(request: Request, exc: StoreUnreadableError) -> JSONResponse:
        return JSONResponse({"detail": str(exc)}, status_code=500)



# --- names in URL paths ------------------------------------------------------------------


class NameConvertor(Convertor):
    """A path segment that carries any name: "/" and the names "", "." and
    ".." (which browsers resolve away) are written with "~" escapes, so the
    segment reaches the server as the one segment it was."""

    regex = "[^/]+"
    _ESCAPED = re.compile("~(7E|2F|2E)")

    def convert(self, value: str) -> str:
        if value == "~":
            return ""
        return self._ESCAPED.sub(lambda m: chr(int(m.group(1), 16)), value)

    def to_string(self, value: Any) -> str:
        text = str(value)
        if text == "":
            return "~"
        text = text.replace("~", "~7E").replace("/", "~2F")
        if text.strip(".") == "":
            text = text.replace(".", "~2E")
        return quote(text, safe="~")


register_url_convertor("name", NameConvertor())


def api_segment(name: str) -> str:
    """A name as one path segment of an API URL (read by ``RawPathRoute``)."""
    text = quote(name, safe="")
    return text.replace(".", "%2E") if text.strip(".") == "" else text


class RawPathRoute(APIRoute):
    """A route whose path parameters are read from the raw request path, so
    a name holding an encoded "/" ("%2F") stays one parameter. Requests that
    carry no raw path are matched as usual."""

    def matches(self, scope: Scope):
        raw: Optional[bytes] = scope.get("raw_path") if scope["type"] == "http" else None
        if raw is None:
            return super().matches(scope)
        params = self._raw_params(raw.decode("latin-1"), get_route_path(scope))
        if params is None:
            return Match.NONE, {}
        child = {"endpoint": self.endpoint, "path_params": {**scope.get("path_params", {}), **params},
                 "route": self}
        if self.methods and scope["method"] not in self.methods:
            return Match.PARTIAL, child
        return Match.FULL, child

    def _raw_params(self, raw_path: str, route_path: str) -> Optional[Dict[str, Any]]:
        template: Sequence[str] = self.path_format.split("/")[1:]
        segments = raw_path.split("/")
        if len(segments) <= len(template):
            return None
        tail = [unquote(s) for s in segments[-len(template):]]
        # The raw tail must be the whole path the route sees (a root path
        # before it is the application's, not the route's).
        if "/" + "/".join(tail) != route_path:
            return None
        params: Dict[str, Any] = {}
        for part, value in zip(template, tail):
            if part.startswith("{") and part.endswith("}"):
                name = part[1:-1]
                params[name] = self.param_convertors[name].convert(value) if value else value
            elif part != value:
                return None
        return params
