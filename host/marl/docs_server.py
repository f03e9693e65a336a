"""How the docs server serves, apart from what it serves: which `Host`
names it answers, HEAD on every GET path, the profile API's routes run on
store workers (``marl.profile_access``), errors under /api as JSON and for
people as pages, and URL path segments that carry any name.
"""

from __future__ import annotations

import contextlib
import ipaddress
import logging
import re
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple
from urllib.parse import quote, unquote

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from fastapi.routing import APIRoute
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.routing import Match
from starlette.types import ASGIApp, Receive, Scope, Send

from marl.profile_access import ProfileJSONResponse, StoreBusyError, StoreUnreadableError, read

API_PREFIX = "/api/"
# IPv6 addresses as the Host header writes them, in brackets.
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")
_log = logging.getLogger("marl.docs")
# Addresses that mean "every interface": no name a client would send.
_ANY_ADDRESS = ("", "0.0.0.0", "::")


_HOST_NAME = re.compile(r"^[a-z0-9_]([a-z0-9_.-]*[a-z0-9_])?$|^\*\.[a-z0-9_.-]+$")
_WITH_PORT = re.compile(r"^(?P<name>\[[^\]]*\]|[^:\[\]]*):(?P<port>\d+)$")


def host_name(text: str) -> Tuple[Optional[str], Optional[str]]:
    """``text`` of an --allow-host option as the `Host` name it matches (IPv6
    addresses in brackets), and a warning for a text that was not quite one,
    or that is no name at all (then the name is None)."""
    given = text
    text = text.strip().lower()
    note = None
    match = _WITH_PORT.match(text)
    if match and (match["name"].startswith("[") or ":" not in match["name"]):
        text = match["name"]
        note = f"--allow-host {given!r}: the port is not part of the name; answering {text!r} on any port"
    if text.startswith("[") and text.endswith("]"):
        try:
            return f"[{ipaddress.IPv6Address(text[1:-1]).compressed}]", note
        except ValueError:
            return None, f"--allow-host {given!r} is not an IPv6 address in brackets; ignored"
    if ":" in text:
        try:
            address = ipaddress.IPv6Address(text).compressed
        except ValueError:
            return None, (f"--allow-host {given!r} is neither a host name nor an address "
                          "(write IPv6 addresses in brackets, as in [::1]); ignored")
        return f"[{address}]", (f"--allow-host {given!r}: write IPv6 addresses in brackets, as in "
                                f"[{address}] (a port after them, [{address}]:PORT, is ignored); "
                                f"answering [{address}]")
    if not _HOST_NAME.match(text):
        return None, f"--allow-host {given!r} is not a host name; ignored"
    return text, note


def allowed_hosts(served_host: str, extra: Iterable[str] = (),
                  warn: Optional[Callable[[str], None]] = None) -> List[str]:
    """The `Host` names the server answers: the loopback names, the address
    it is served on, and the names the user adds. A name that cannot be
    read is left out and ``warn`` is called with why."""
    names = list(LOOPBACK_HOSTS)
    served = served_host.strip().lower().strip("[]")
    if served not in _ANY_ADDRESS:
        extra = (f"[{served}]" if ":" in served else served, *extra)
    for text in extra:
        name, note = host_name(text)
        if note and warn is not None:
            warn(note)
        if name is not None and name not in names:
            names.append(name)
    return names


def route_path(scope: Scope) -> str:
    """The request's path below the application's root path."""
    path, root = scope["path"], scope.get("root_path", "")
    if root and path.startswith(root) and path[len(root):len(root) + 1] in ("", "/"):
        return path[len(root):]
    return path


def is_api(scope: Scope) -> bool:
    return route_path(scope).startswith(API_PREFIX)


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


class PathOnlyRedirects:
    """Redirects to the server itself (a path asked with a trailing "/")
    carry a path-only Location, as the pages' links do: the absolute URL
    Starlette writes from the Host header points past a proxy that
    rewrites Host."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        host = dict(scope.get("headers", ())).get(b"host", b"")

        async def path_only(message: Dict[str, Any]) -> None:
            if message["type"] == "http.response.start" and 300 <= message["status"] < 400:
                headers = []
                for key, value in message.get("headers", ()):
                    if key.lower() == b"location":
                        for scheme in (b"http://", b"https://"):
                            if host and value.startswith(scheme + host + b"/"):
                                value = value[len(scheme + host):]
                    headers.append((key, value))
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, path_only)


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
            _log.exception("internal error answering %s", route_path(scope))
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

_ESCAPED = re.compile("~(7E|2F|2E)")


def name_segment(name: str) -> str:
    """A name as one path segment of a page URL: "/" and the names "", "."
    and ".." (which browsers resolve away) are written with "~" escapes, so
    the segment reaches the server as the one segment it was (read back by
    ``segment_name``)."""
    text = str(name)
    if text == "":
        return "~"
    text = text.replace("~", "~7E").replace("/", "~2F")
    if text.strip(".") == "":
        text = text.replace(".", "~2E")
    return quote(text, safe="~")


def segment_name(segment: str) -> str:
    """The name that ``name_segment`` wrote (as the server decoded it)."""
    if segment == "~":
        return ""
    return _ESCAPED.sub(lambda m: chr(int(m.group(1), 16)), segment)


def api_segment(name: str) -> str:
    """A name as one path segment of an API URL: percent-encoded, "/"
    included (read by ``RawPathRoute``)."""
    text = quote(name, safe="")
    return text.replace(".", "%2E") if text.strip(".") == "" else text


class RawPathRoute(APIRoute):
    """A route whose path parameters may hold an encoded "/" ("%2F") or be
    empty: such a request is matched by Starlette on its raw path with each
    segment written as ``name_segment`` writes names, and the parameters
    read back."""

    def matches(self, scope: Scope):
        raw: Optional[bytes] = scope.get("raw_path") if scope["type"] == "http" else None
        if raw is None or not (b"%2f" in raw.lower() or b"//" in raw or raw.endswith(b"/")):
            return super().matches(scope)
        first, *segments = raw.decode("latin-1").split("/")
        path = "/".join([first, *(unquote(s).replace("~", "~7E").replace("/", "~2F") or "~" for s in segments)])
        match, child = super().matches({**scope, "path": path})
        if match is not Match.NONE:
            child["path_params"] = {
                k: ("" if v == "~" else v.replace("~2F", "/").replace("~7E", "~"))
                if k in self.param_convertors and isinstance(v, str) else v
                for k, v in child["path_params"].items()}
        return match, child


def on_store_worker(endpoint: Callable) -> Callable:
    """A route endpoint that runs the profile endpoint ``endpoint`` on a
    store worker (``marl.profile_access.read``) and sends its result as
    ``ProfileJSONResponse``; FastAPI sees ``endpoint``'s own parameters,
    defaults, return type and docstring."""
    import inspect

    signature = inspect.signature(endpoint, eval_str=True)

    request_param = inspect.Parameter("_request", inspect.Parameter.KEYWORD_ONLY, annotation=Request)

    async def call(_request: Request, **params: Any) -> Any:
        return ProfileJSONResponse(await read(_request.app, endpoint, **params))

    call.__signature__ = signature.replace(parameters=[*signature.parameters.values(), request_param])
    call.__name__ = endpoint.__name__
    call.__qualname__ = endpoint.__qualname__
    call.__doc__ = endpoint.__doc__
    return call


def add_profile_api(app: FastAPI, router) -> None:
    """The routes of the profile module's ``router`` (prefix, paths, names,
    tags and endpoints as it declares them) on ``app``, each endpoint run on
    a store worker; a name holding "/" is read from the raw path."""
    for route in router.routes:
        app.router.add_api_route(
            route.path, on_store_worker(route.endpoint), methods=sorted(route.methods), name=route.name,
            tags=list(route.tags), summary=route.summary, description=route.description,
            response_model=route.response_model, response_class=ProfileJSONResponse,
            route_class_override=RawPathRoute if "{" in route.path else APIRoute)


# --- pages for people ------------------------------------------------------------------------


def add_people_errors(app: FastAPI, not_found_page: Callable[[Request, str], Any]) -> None:
    """An unknown path, or a page asked with a query it cannot take (such
    as ``?page=abc``), answers an HTML 404 page to people; under /api the
    answers stay FastAPI's JSON."""
    from fastapi.exception_handlers import http_exception_handler, request_validation_exception_handler

    @app.exception_handler(StarletteHTTPException)
    async def http_error(request: Request, exc: StarletteHTTPException):
        if exc.status_code == 404 and not is_api(request.scope):
            return await not_found_page(request, f"There is no page at {route_path(request.scope)}.")
        return await http_exception_handler(request, exc)

    @app.exception_handler(RequestValidationError)
    async def invalid_request(request: Request, exc: RequestValidationError):
        if not is_api(request.scope):
            wrong = ", ".join(str(e.get("loc", ("?",))[-1]) for e in exc.errors())
            return await not_found_page(request, f"There is no such page: this page cannot take {wrong} "
                                                 "as given in its address.")
        return await request_validation_exception_handler(request, exc)


@contextlib.asynccontextmanager
async def lifespan(app: FastAPI):
    """The server's life: what was registered in ``app.state.on_shutdown``
    (plan layouts, their child processes) ends with it, last first."""
    try:
        yield
    finally:
        for close in reversed(getattr(app.state, "on_shutdown", [])):
            try:
                close()
            except Exception:
                _log.exception("shutting down %r failed", close)
