"""The profile pages of the docs server: profiled tables at ``/``, a table's
columns, a column's charts, and the alerts, as the routes of ``router``.

They read the store the way the API does, through the profile module's
endpoints (``marl.profile_access.read``), so they show exactly what the API
serves; values no response can carry are shown as marked bad values.
Rendering runs on the pages' own workers, so neither a large page nor a
burst of store reads holds up anything else; links are path-only, under the
request's root path; listings are shown ``PAGE_SIZE`` rows at a time.
"""

from __future__ import annotations

import asyncio
import logging
import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple
from urllib.parse import urlencode

from fastapi import APIRouter, Request
from fastapi.responses import HTMLResponse
from starlette.exceptions import HTTPException

from marl.docs_server import name_segment, segment_name
from marl.pages import profile_data
from marl.pages.render import page_url, templates
from marl.profile_access import (StoreBusyError, StoreUnreadableError, clean, limits, off_loop, read_for_page,
                                 read_with_store, store_path_problem)

PAGE_SIZE = 200
_log = logging.getLogger("marl.docs")

router = APIRouter(include_in_schema=False)


class ApiError(Exception):
    """What the profile API would have answered instead of a result."""

    def __init__(self, status: int, detail: Any) -> None:
        super().__init__(f"{status}: {detail}")
        self.status = status
        self.detail = detail


def _profile():
    from strix.task.docs.api import profile

    return profile


async def fetch(request: Request, endpoint: Callable, *args: Any) -> Any:
    """The result of the profile endpoint ``endpoint`` (as the API reads it)
    with values no page can carry marked; a failure as the ``ApiError`` of
    the status and detail the API answers with."""
    result = await _as_api_would(request, endpoint.__name__, read_for_page(request.app, endpoint, *args))
    return await off_loop(limits(request.app).pages, clean, result, True)


async def fetch_with_store(request: Request, work: Callable[[Any], Any]) -> Any:
    """``work(store)`` with the store opened as the profile endpoints open it,
    its failures as ``fetch``'s (``work`` marks bad values itself)."""
    return await _as_api_would(request, work.__name__, read_with_store(request.app, work))


async def _as_api_would(request: Request, what: str, reading) -> Any:
    try:
        result = await reading
    except HTTPException as e:
        raise ApiError(e.status_code, e.detail) from None
    except StoreBusyError as e:
        raise ApiError(503, f"The metadata store is busy: {e}") from None
    except StoreUnreadableError as e:
        raise ApiError(500, str(e)) from None
    except Exception:
        # As under /api: the exception's text may name files of the machine.
        _log.exception("internal error reading %s for %s", what, request.url.path)
        raise ApiError(500, "Internal Server Error") from None
    return result


def table_row(row: Any) -> Dict[str, Any]:
    """A row of the store's table listing as the API lists it."""
    return {"source_name": row[0], "table_name": row[1], "profile_mode": row[2],
            "last_profiled": row[3].isoformat() if row[3] else None}


async def fetch_all(*requests) -> List[Any]:
    """The results of several reads made at once; every read has ended
    before the first error is raised."""
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


async def _page(request: Request, template: str, status: int = 200, **context: Any) -> HTMLResponse:
    """``template`` rendered on a page worker."""
    context.setdefault("active", "tables")
    return await off_loop(limits(request.app).pages,
                          lambda: templates().TemplateResponse(request, template, context, status_code=status))


async def not_found_page(request: Request, message: str) -> HTMLResponse:
    """The page for people of an address that names no page."""
    return await _page(request, "not_found.html", 404, message=message, active="")


def _is_name(value: Any) -> bool:
    return isinstance(value, str)


def table_href(request: Request, source_name: Any, table_name: Any, mode: Optional[str] = None) -> Optional[str]:
    """Link to a table's page; None when the API gave no names to link with."""
    if not (_is_name(source_name) and _is_name(table_name)):
        return None
    return page_url(request, "table_page", {"mode": mode or None},
                    source_name=name_segment(source_name), table_name=name_segment(table_name))


def column_href(request: Request, source_name: Any, table_name: Any, column_name: Any,
                mode: Optional[str] = None) -> Optional[str]:
    if not (_is_name(source_name) and _is_name(table_name) and _is_name(column_name)):
        return None
    return page_url(request, "column_page", {"name": column_name, "mode": mode or None},
                    source_name=name_segment(source_name), table_name=name_segment(table_name))


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
    profile = _profile()
    context: Dict[str, Any] = dict(project_name=request.app.state.project_name)

    def listing_page(store) -> Tuple[List[Dict[str, Any]], Pager]:
        # Only the page's rows are read (and the count of all of them).
        rows, pager = paged(request, store.get_all_profiled_tables(), page)
        return clean([table_row(row) for row in rows], True), pager

    try:
        (tables, pager), stats = await fetch_all(fetch_with_store(request, listing_page),
                                                 fetch(request, profile.get_profile_stats))
    except ApiError as e:
        return await _page(request, "index.html", e.status, error=describe_error(e), **context)
    if not tables:
        # A store path that is no database file reads as empty: say so.
        context["store_problem"] = store_path_problem(request.app.state.project_root)
    rows = [dict(t, href=table_href(request, t.get("source_name"), t.get("table_name"))) for t in tables]
    return await _page(request, "index.html", tables=rows, pager=pager,
                       stats=stats if isinstance(stats, dict) else {}, **context)


@router.get("/tables/{source_name}/{table_name}", response_class=HTMLResponse, name="table_page")
async def table_page(request: Request, source_name: str, table_name: str, mode: Optional[str] = None,
                     page: int = 1):
    source_name, table_name = segment_name(source_name), segment_name(table_name)
    context = dict(source_name=source_name, table_name=table_name)
    try:
        profile = await fetch(request, _profile().get_table_profile, source_name, table_name, mode or None)
    except ApiError as e:
        return await _page(request, "table.html", e.status, error=describe_error(e), **context)
    rows = await off_loop(limits(request.app).pages, column_rows, request, profile, mode)
    alert_count = sum(len(r["alerts"]) for r in rows)
    shown, pager = paged(request, rows, page)
    alerts_href = page_url(request, "alerts_page", {"source_name": source_name})
    return await _page(request, "table.html", profile=profile, columns=shown, pager=pager,
                       alert_count=alert_count, alerts_href=alerts_href, **context)


@router.get("/tables/{source_name}/{table_name}/column", response_class=HTMLResponse, name="column_page")
async def column_page(request: Request, source_name: str, table_name: str, name: str,
                      mode: Optional[str] = None):
    source_name, table_name = segment_name(source_name), segment_name(table_name)
    context = dict(source_name=source_name, table_name=table_name, column_name=name,
                   table_href=table_href(request, source_name, table_name, mode))
    try:
        profile = await fetch(request, _profile().get_table_profile, source_name, table_name, mode or None)
    except ApiError as e:
        return await _page(request, "column.html", e.status, error=describe_error(e), **context)
    column = next((c for c in profile.get("columns") or []
                   if isinstance(c, dict) and c.get("column_name") == name), None)
    if column is None:
        return await _page(request, "column.html", 404,
                           error=f"{source_name}.{table_name} has no column {name!r}.", **context)
    return await _page(request, "column.html", **await off_loop(limits(request.app).pages, column_view, column),
                       **context)


def column_view(column: Dict[str, Any]) -> Dict[str, Any]:
    """What the column page shows of ``column``, its charts bounded."""
    alerts, bad_alerts = column_alerts(column.get("alerts"))
    histogram, histogram_note = profile_data.summarised(profile_data.histogram_bars(column.get("histogram")), True)
    top_values, top_note = profile_data.summarised(profile_data.top_value_bars(column.get("top_values")), False)
    return dict(
        column=column, kind=profile_data.column_kind(column),
        metrics=[(k, column.get(k)) for k in COLUMN_METRICS if column.get(k) is not None],
        histogram=histogram, histogram_note=histogram_note, top_values=top_values, top_values_note=top_note,
        alerts=alerts, bad_alerts=bad_alerts,
    )


@router.get("/alerts", response_class=HTMLResponse, name="alerts_page")
async def alerts_page(request: Request, source_name: Optional[str] = None, severity: Optional[str] = None,
                      page: int = 1):
    profile = _profile()
    # An empty choice in the form means "all": the endpoint is asked without that filter.
    context = dict(source_name=source_name or "", severity=severity or "", active="alerts",
                   severities=list(profile_data.SEVERITIES))
    try:
        alerts = await fetch(request, profile.get_profile_alerts, source_name or None, severity or None)
        shown, pager = paged(request, alerts if isinstance(alerts, list) else [], page)
        keys = {(a.get("source_name"), a.get("table_name")) for a in shown if isinstance(a, dict)}
        keys = {(s, t) for s, t in keys if _is_name(s) and _is_name(t)}

        def tables_of_alerts(store) -> Tuple[List[str], set]:
            # Only the source names and the shown alerts' tables are read.
            if hasattr(store, "get_profiled_sources") and hasattr(store, "has_table_profile"):
                return (list(store.get_profiled_sources()),
                        {key for key in keys if store.has_table_profile(*key)})
            rows = [(row[0], row[1]) for row in store.get_all_profiled_tables()]
            return [s for s, _ in rows], {key for key in rows if key in keys}

        sources, known = await fetch_with_store(request, tables_of_alerts)
    except ApiError as e:
        return await _page(request, "alerts.html", e.status, error=describe_error(e), sources=[], **context)
    sources = sorted({s for s in sources if _is_name(s)})
    if source_name and source_name not in sources:
        sources.append(source_name)
    if severity and severity not in context["severities"]:
        context["severities"].append(severity)
    rows = []
    for alert in shown:
        row = dict(alert) if isinstance(alert, dict) else {"message": alert}
        key = (row.get("source_name"), row.get("table_name"))
        row["href"] = table_href(request, *key) if key in known else None
        rows.append(row)
    return await _page(request, "alerts.html", alerts=rows, pager=pager, sources=sources, **context)
