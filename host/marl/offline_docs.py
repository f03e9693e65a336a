"""The docs server's API pages (/docs, /redoc) with their assets served locally.

FastAPI's own pages load Swagger UI, ReDoc, a favicon and web fonts from the
internet, so behind a firewall they stay blank. The `fastapi-offline` package
from PyPI ships Swagger UI's bundle and style sheet, ReDoc's standalone bundle
and a favicon; this module serves those files under ``ASSETS_URL`` and builds
both pages on them. Only the files, not that package's application factory,
are used, so the application stays the docs server's own.
"""

from __future__ import annotations

from functools import lru_cache
from importlib.resources import files

from fastapi import FastAPI, Request
from fastapi.openapi.docs import get_redoc_html, get_swagger_ui_html, get_swagger_ui_oauth2_redirect_html
from fastapi.responses import HTMLResponse, Response
from fastapi.staticfiles import StaticFiles

ASSETS_URL = "/docs-assets"
# ReDoc's bundle, with the one image it loads from the internet (the maker's
# logo at the foot of its menu) replaced by an empty local one.
REDOC_JS_URL = "/docs-assets-offline/redoc.standalone.js"
_REDOC_LOGO = "https://cdn.redoc.ly/redoc/logo-mini.svg"
_EMPTY_SVG = "data:image/svg+xml,%3Csvg%20xmlns=%27http://www.w3.org/2000/svg%27/%3E"
# Where third-party code runs (/docs, /redoc): nothing may be loaded from
# anywhere but the server itself, whatever that code (or a description it
# renders) asks for.
DOCS_CSP = ("default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
            "img-src 'self' data: blob:; font-src 'self' data:; worker-src 'self' blob:; "
            "connect-src 'self'; frame-src 'none'; object-src 'none'; base-uri 'none'; form-action 'self'")
DOCS_URL = "/docs"
REDOC_URL = "/redoc"
OAUTH2_REDIRECT_URL = "/docs/oauth2-redirect"


def markdown_text(text: str) -> str:
    """``text`` for a Markdown description (the API pages render the
    application's description as Markdown), to be shown as the very text:
    every ASCII punctuation character backslash-escaped and angle brackets
    as entities, so no link, image or HTML can be built from it."""
    out = []
    for ch in text:
        if ch == "<":
            out.append("&lt;")
        elif ch == ">":
            out.append("&gt;")
        elif ch == "&":
            out.append("&amp;")
        elif ch.isascii() and not ch.isalnum() and ch.isprintable() and ch != " ":
            out.append("\\" + ch)
        elif not ch.isprintable():
            out.append(" ")
        else:
            out.append(ch)
    return "".join(out)


def assets_dir() -> str:
    """The folder of the packaged Swagger UI and ReDoc files."""
    return str(files("fastapi_offline") / "static")


@lru_cache(maxsize=1)
def offline_redoc_js() -> bytes:
    text = (files("fastapi_offline") / "static" / "redoc.standalone.js").read_text(encoding="utf-8")
    return text.replace(_REDOC_LOGO, _EMPTY_SVG).encode("utf-8")


def _local_only(page: HTMLResponse) -> HTMLResponse:
    page.headers["Content-Security-Policy"] = DOCS_CSP
    return page


def add_offline_docs(app: FastAPI) -> None:
    """Register /docs, /redoc and their assets on ``app``.

    ``app`` must be created with ``docs_url=None, redoc_url=None`` so FastAPI
    does not register its own pages on the same paths.
    """
    if app.docs_url is not None or app.redoc_url is not None:
        raise ValueError("create the application with docs_url=None and redoc_url=None")
    app.mount(ASSETS_URL, StaticFiles(directory=assets_dir()), name="docs-assets")
    openapi_url = app.openapi_url or "/openapi.json"

    @app.get(REDOC_JS_URL, include_in_schema=False)
    async def redoc_js() -> Response:
        return Response(offline_redoc_js(), media_type="text/javascript")

    @app.get(DOCS_URL, include_in_schema=False)
    async def swagger_ui(request: Request) -> HTMLResponse:
        root = request.scope.get("root_path", "")
        return _local_only(get_swagger_ui_html(
            openapi_url=root + openapi_url,
            title=f"{app.title} - Swagger UI",
            swagger_js_url=f"{root}{ASSETS_URL}/swagger-ui-bundle.js",
            swagger_css_url=f"{root}{ASSETS_URL}/swagger-ui.css",
            swagger_favicon_url=f"{root}{ASSETS_URL}/favicon.png",
            oauth2_redirect_url=root + OAUTH2_REDIRECT_URL,
            # No badge from the public schema validator service.
            swagger_ui_parameters={**(app.swagger_ui_parameters or {}), "validatorUrl": None},
        ))

    @app.get(OAUTH2_REDIRECT_URL, include_in_schema=False)
    async def swagger_ui_redirect() -> HTMLResponse:
        return get_swagger_ui_oauth2_redirect_html()

    @app.get(REDOC_URL, include_in_schema=False)
    async def redoc(request: Request) -> HTMLResponse:
        root = request.scope.get("root_path", "")
        return _local_only(get_redoc_html(
            openapi_url=root + openapi_url,
            title=f"{app.title} - ReDoc",
            redoc_js_url=root + REDOC_JS_URL,
            redoc_favicon_url=f"{root}{ASSETS_URL}/favicon.png",
            with_google_fonts=False,
        ))
