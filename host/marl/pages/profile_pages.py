"""The profile pages of the docs server: profiled tables at ``/``, a table's
columns, a column's charts, and the alerts, as the routes of ``router``.

They are rendered by Jinja2Templates with links from ``url_for`` (so they
work under a root path), and read the four profile endpoints over HTTP,
through the application itself (one shared in-process client), so they
show exactly what the API serves. Decoding the API's JSON and rendering run
on worker threads, so a large listing never holds up the server's event
loop; listings are shown ``PAGE_SIZE`` rows at a time.
"""

from __future__ import annotations

import asyncio
import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlencode

from fastapi import APIRouter, Request
from fastapi.concurrency import run_in_threadpool
from fastapi.responses import HTMLResponse
from fastapi.templating import Jinja2Templates

# marl.docs_server also registers the "name" path convertor of the routes below.
from marl.docs_server import api_segment
from marl.pages import profile_data
from marl.pages.render import environment

API = "/api/profile"
PAGE_SIZE = 200

router = APIRouter(include_in_schema=False)
templates = Jinja2Templates(env=environment())


class ApiError(Exception):
    def __init__(self, status: int, detail: Any) -> None:
        super().__init__(f"{status}: {detail}")
        self.status = status
        self.detail = detail


class ProfileApi:
    """The profile endpoints, requested over HTTP from the application
    itself (in process, through its ASGI interface) by one client."""

    def __init__(self, app) -> None:
        self.app = app
        self._client = None

    def client(self):
        if self._client is None:
            import httpx

            # An endpoint that fails answers 500, as it does for any other client.
            transport = httpx.ASGITransport(app=self.app, raise_app_exceptions=False)
            self._client = httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1",
                                             timeout=None)
        return self._client

    async def aclose(self) -> None:
        if self._client is not None:
            await self._client.aclose()
            self._client = None

    async def get(self, path: str, params: Optional[Dict[str, str]] = None) -> Any:
        response = await self.client().get(API + path, params=params)
        try:
            # A listing of many tables is megabytes of JSON: decoded off the loop.
            body = await run_in_threadpool(response.json)
        except ValueError:
            body = response.text
        if response.status_code != 200:
            detail = body.get("detail", body) if isinstance(body, dict) else body
            raise ApiError(response.status_code, detail)
        return body


async def fetch_all(*requests) -> List[Any]:
    """The bodies of several API requests made at once; every request has
    ended before the first error is raised."""
    results = await asyncio.gather(*requests, return_exceptions=True)
    for result in results:
        if isinstance(result, BaseException):
            raise result
    return results


def describe_error(e: ApiError) -> str:
    if e.status == 404:
        return f"{e.detail}."
    if e.status == 503:
        return ("The metadata store is busy: another process is writing to it. "
                "Reload this page in a moment.")
    return f"The profile API answered {e.status}: {e.detail}"


def _api(request: Request) -> ProfileApi:
    return request.app.state.profile_api


async def _page(request: Request, template: str, status: int = 200, **context: Any) -> HTMLResponse:
    """``template`` rendered on a worker thread."""
    context.setdefault("active", "tables")
    return await run_in_threadpool(templates.TemplateResponse, request, template, context, status_code=status)


def _is_name(value: Any) -> bool:
    return isinstance(value, str)


def table_href(request: Request, source_name: Any, table_name: Any, mode: Optional[str] = None) -> Optional[str]:
    """Link to a table's page; None when the API gave no names to link with."""
    if not (_is_name(source_name) and _is_name(table_name)):
        return None
    url = request.url_for("table_page", source_name=source_name, table_name=table_name)
    return str(url.include_query_params(mode=mode) if mode else url)


def column_href(request: Request, source_name: Any, table_name: Any, column_name: Any,
                mode: Optional[str] = None) -> Optional[str]:
    if not (_is_name(source_name) and _is_name(table_name) and _is_name(column_name)):
        return None
    params = {"name": column_name, **({"mode": mode} if mode else {})}
    url = request.url_for("column_page", source_name=source_name, table_name=table_name)
    return str(url.include_query_params(**params))


@dataclass
class Pager:
    """One page of a listing: rows ``first``..``last`` (1-based) of ``total``."""

    number: int
    count: int
    first: int
    last: int
    total: int
    previous_href: Optional[str]
    next_href: Optional[str]


def paged(request: Request, rows: List[Any], page: int) -> Tuple[List[Any], Pager]:
    """The rows of page ``page`` and the links to its neighbours (the same
    query, filters included, with another page number)."""
    count = max(1, math.ceil(len(rows) / PAGE_SIZE))
    number = min(max(page, 1), count)
    start = (number - 1) * PAGE_SIZE
    shown = rows[start:start + PAGE_SIZE]

    def href(n: int) -> Optional[str]:
        if not 1 <= n <= count or n == number:
            return None
        return "?" + urlencode({**request.query_params, "page": n})

    pager = Pager(number, count, start + 1 if shown else 0, start + len(shown), len(rows),
                  href(number - 1), href(number + 1))
    return shown, pager


def column_alerts(alerts: Any) -> Tuple[List[Dict[str, Any]], bool]:
    """A column's alerts as mappings, and whether the API's value was
    something else (shown as a bad value)."""
    if alerts is None:
        return [], False
    if not isinstance(alerts, list):
        return [], True
    return [a for a in alerts if isinstance(a, dict)], any(not isinstance(a, dict) for a in alerts)


def column_rows(request: Request, profile: Dict[str, Any], mode: Optional[str]) -> List[Dict[str, Any]]:
    """One row per column of a table profile, with what the table page shows
    besides the raw metrics."""
    rows = []
    for column in profile.get("columns") or []:
        if not isinstance(column, dict):
            continue
        charts = []
        if profile_data.histogram_bars(column.get("histogram")):
            charts.append("histogram")
        if profile_data.top_value_bars(column.get("top_values")):
            charts.append("top values")
        alerts, bad_alerts = column_alerts(column.get("alerts"))
        rows.append({
            "data": column,
            "kind": profile_data.column_kind(column),
            "href": column_href(request, profile.get("source_name"), profile.get("table_name"),
                                column.get("column_name"), mode),
            "charts": ", ".join(charts),
            "alerts": alerts,
            "bad_alerts": bad_alerts,
        })
    return rows


COLUMN_METRICS = (
    "null_count", "null_percent", "distinct_count", "distinct_percent", "min_value", "max_value",
    "mean_value", "median_value", "stddev_value", "p25", "p50", "p75", "min_length", "max_length",
    "avg_length", "duration_ms",
)


# --- the profile pages ---------------------------------------------------------------------


@router.get("/", response_class=HTMLResponse, name="tables_page")
async def tables_page(request: Request, page: int = 1):
    api = _api(request)
    context: Dict[str, Any] = dict(project_name=request.app.state.project_name)
    try:
        tables, stats = await fetch_all(api.get("/tables"), api.get("/stats"))
    except ApiError as e:
        return await _page(request, "index.html", e.status, error=describe_error(e), **context)
    tables = [t for t in tables if isinstance(t, dict)] if isinstance(tables, list) else []
    shown, pager = paged(request, tables, page)
    rows = [dict(t, href=table_href(request, t.get("source_name"), t.get("table_name"))) for t in shown]
    return await _page(request, "index.html", tables=rows, pager=pager,
                       stats=stats if isinstance(stats, dict) else {}, **context)


@router.get("/tables/{source_name:name}/{table_name:name}", response_class=HTMLResponse, name="table_page")
async def table_page(request: Request, source_name: str, table_name: str, mode: Optional[str] = None,
                     page: int = 1):
    context = dict(source_name=source_name, table_name=table_name)
    params = {"mode": mode} if mode else None
    try:
        profile = await _api(request).get(f"/tables/{api_segment(source_name)}/{api_segment(table_name)}", params)
    except ApiError as e:
        return await _page(request, "table.html", e.status, error=describe_error(e), **context)
    rows = column_rows(request, profile, mode)
    alert_count = sum(len(r["alerts"]) for r in rows)
    shown, pager = paged(request, rows, page)
    alerts_href = str(request.url_for("alerts_page").include_query_params(source_name=source_name))
    return await _page(request, "table.html", profile=profile, columns=shown, pager=pager,
                       alert_count=alert_count, alerts_href=alerts_href, **context)


@router.get("/tables/{source_name:name}/{table_name:name}/column", response_class=HTMLResponse,
            name="column_page")
async def column_page(request: Request, source_name: str, table_name: str, name: str,
                      mode: Optional[str] = None):
    context = dict(source_name=source_name, table_name=table_name, column_name=name,
                   table_href=table_href(request, source_name, table_name, mode))
    params = {"mode": mode} if mode else None
    try:
        profile = await _api(request).get(f"/tables/{api_segment(source_name)}/{api_segment(table_name)}", params)
    except ApiError as e:
        return await _page(request, "column.html", e.status, error=describe_error(e), **context)
    column = next((c for c in profile.get("columns") or []
                   if isinstance(c, dict) and c.get("column_name") == name), None)
    if column is None:
        return await _page(request, "column.html", 404,
                           error=f"{source_name}.{table_name} has no column {name!r}.", **context)
    alerts, bad_alerts = column_alerts(column.get("alerts"))
    return await _page(
        request, "column.html", column=column, kind=profile_data.column_kind(column),
        metrics=[(k, column.get(k)) for k in COLUMN_METRICS if column.get(k) is not None],
        histogram=profile_data.histogram_bars(column.get("histogram")),
        top_values=profile_data.top_value_bars(column.get("top_values")),
        alerts=alerts, bad_alerts=bad_alerts, **context,
    )


@router.get("/alerts", response_class=HTMLResponse, name="alerts_page")
async def alerts_page(request: Request, source_name: Optional[str] = None, severity: Optional[str] = None,
                      page: int = 1):
    # An empty choice in the form means "all": the endpoint is asked without that filter.
    params = {k: v for k, v in (("source_name", source_name), ("severity", severity)) if v}
    context = dict(source_name=source_name or "", severity=severity or "", active="alerts",
                   severities=list(profile_data.SEVERITIES))
    try:
        alerts, tables = await fetch_all(_api(request).get("/alerts", params), _api(request).get("/tables"))
    except ApiError as e:
        return await _page(request, "alerts.html", e.status, error=describe_error(e), sources=[], **context)
    tables = [t for t in tables if isinstance(t, dict)] if isinstance(tables, list) else []
    sources = sorted({t.get("source_name") for t in tables if _is_name(t.get("source_name"))})
    if source_name and source_name not in sources:
        sources.append(source_name)
    if severity and severity not in context["severities"]:
        context["severities"].append(severity)
    known = {(t.get("source_name"), t.get("table_name")) for t in tables}
    shown, pager = paged(request, alerts if isinstance(alerts, list) else [], page)
    rows = []
    for alert in shown:
        row = dict(alert) if isinstance(alert, dict) else {"message": alert}
        key = (row.get("source_name"), row.get("table_name"))
        row["href"] = table_href(request, *key) if key in known else None
        rows.append(row)
    return await _page(request, "alerts.html", alerts=rows, pager=pager, sources=sources, **context)
