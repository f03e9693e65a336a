"""Pages for people in the docs server: the profile browser at ``/`` (with
table, column and alert pages) and the plan graph at ``/plan``.

The profile pages read the four profile endpoints over HTTP, through the
application itself, so they show exactly what the API serves; the plan page
reads ``PlanAdvisor`` results for the manifest given to ``marl docs serve``.
Everything is rendered on the server into self-contained HTML (inline CSS,
SVG and a little script): nothing is loaded from anywhere else.
"""

from __future__ import annotations

import asyncio
from pathlib import Path
from typing import Any, Dict, List, Optional
from urllib.parse import quote, urlencode

from marl.pages import plan_pages, profile_data
from marl.pages.plan_pages import write_plan_html
from marl.pages.render import render

__all__ = ["install", "write_plan_html"]

API = "/api/profile"


class ApiError(Exception):
    def __init__(self, status: int, detail: Any) -> None:
        super().__init__(f"{status}: {detail}")
        self.status = status
        self.detail = detail


class ProfileApi:
    """The profile endpoints, requested over HTTP from the application
    itself (in process, through its ASGI interface)."""

    def __init__(self, app) -> None:
        self.app = app

    async def get(self, path: str, params: Optional[Dict[str, str]] = None) -> Any:
        import httpx

        # An endpoint that fails answers 500, as it does for any other client.
        transport = httpx.ASGITransport(app=self.app, raise_app_exceptions=False)
        async with httpx.AsyncClient(transport=transport, base_url="http://docs") as client:
            response = await client.get(API + path, params=params)
        try:
            body = response.json()
        except ValueError:
            body = response.text
        if response.status_code != 200:
            detail = body.get("detail", body) if isinstance(body, dict) else body
            raise ApiError(response.status_code, detail)
        return body


def _q(text: Any) -> str:
    return quote(str(text), safe="")


def table_href(source_name: Any, table_name: Any, mode: Optional[str] = None) -> str:
    href = f"/tables/{_q(source_name)}/{_q(table_name)}"
    return href + (f"?{urlencode({'mode': mode})}" if mode else "")


def column_href(source_name: Any, table_name: Any, column_name: Any, mode: Optional[str] = None) -> str:
    params = {"name": str(column_name)}
    if mode:
        params["mode"] = mode
    return f"/tables/{_q(source_name)}/{_q(table_name)}/column?{urlencode(params)}"


def describe_error(e: ApiError) -> str:
    if e.status == 404:
        return f"{e.detail}."
    return f"The profile API answered {e.status}: {e.detail}"


def column_rows(profile: Dict[str, Any], mode: Optional[str]) -> List[Dict[str, Any]]:
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
        alerts = column.get("alerts")
        rows.append({
            "data": column,
            "kind": profile_data.column_kind(column),
            "href": column_href(profile.get("source_name"), profile.get("table_name"),
                                column.get("column_name"), mode),
            "charts": ", ".join(charts),
            "alerts": [a for a in alerts if isinstance(a, dict)] if isinstance(alerts, list) else [],
        })
    return rows


COLUMN_METRICS = (
    "null_count", "null_percent", "distinct_count", "distinct_percent", "min_value", "max_value",
    "mean_value", "median_value", "stddev_value", "p25", "p50", "p75", "min_length", "max_length",
    "avg_length", "duration_ms",
)


def install(app, project_root: Path, manifest_path: Optional[Path] = None, target: Optional[str] = None) -> None:
    """Add the pages to the docs server's FastAPI application ``app``."""
    from fastapi.responses import HTMLResponse

    api = ProfileApi(app)
    plan_pages.install(app, manifest_path, target)

    def page(template: str, status: int = 200, **context: Any) -> HTMLResponse:
        return HTMLResponse(render(template, standalone=False, **context), status_code=status)

    @app.get("/", response_class=HTMLResponse, include_in_schema=False)
    async def tables_page():
        try:
            tables, stats = await asyncio.gather(api.get("/tables"), api.get("/stats"))
        except ApiError as e:
            return page("index.html", e.status, error=describe_error(e), active="tables")
        rows = [dict(t, href=table_href(t.get("source_name"), t.get("table_name")))
                for t in tables or [] if isinstance(t, dict)]
        return page("index.html", tables=rows, stats=stats, active="tables",
                    store_path=project_root / ".marl" / "metadata.db", project_arg=str(project_root))

    @app.get("/tables/{source_name}/{table_name}", response_class=HTMLResponse, include_in_schema=False)
    async def table_page(source_name: str, table_name: str, mode: Optional[str] = None):
        context = dict(source_name=source_name, table_name=table_name, active="tables")
        params = {"mode": mode} if mode else None
        try:
            profile = await api.get(f"/tables/{_q(source_name)}/{_q(table_name)}", params)
        except ApiError as e:
            return page("table.html", e.status, error=describe_error(e), **context)
        rows = column_rows(profile, mode)
        alert_count = sum(len(r["alerts"]) for r in rows)
        alerts_href = "/alerts?" + urlencode({"source_name": source_name})
        return page("table.html", profile=profile, columns=rows, alert_count=alert_count,
                    alerts_href=alerts_href, **context)

    @app.get("/tables/{source_name}/{table_name}/column", response_class=HTMLResponse, include_in_schema=False)
    async def column_page(source_name: str, table_name: str, name: str, mode: Optional[str] = None):
        context = dict(source_name=source_name, table_name=table_name, column_name=name, active="tables",
                       table_href=table_href(source_name, table_name, mode))
        params = {"mode": mode} if mode else None
        try:
            profile = await api.get(f"/tables/{_q(source_name)}/{_q(table_name)}", params)
        except ApiError as e:
            return page("column.html", e.status, error=describe_error(e), **context)
        column = next((c for c in profile.get("columns") or []
                       if isinstance(c, dict) and c.get("column_name") == name), None)
        if column is None:
            return page("column.html", 404, error=f"{source_name}.{table_name} has no column {name!r}.", **context)
        return page(
            "column.html", column=column, kind=profile_data.column_kind(column),
            metrics=[(k, column.get(k)) for k in COLUMN_METRICS if column.get(k) is not None],
            histogram=profile_data.histogram_bars(column.get("histogram")),
            top_values=profile_data.top_value_bars(column.get("top_values")),
            **context,
        )

    @app.get("/alerts", response_class=HTMLResponse, include_in_schema=False)
    async def alerts_page(source_name: Optional[str] = None, severity: Optional[str] = None):
        # An empty choice in the form means "all": the endpoint is asked without that filter.
        params = {k: v for k, v in (("source_name", source_name), ("severity", severity)) if v}
        context = dict(source_name=source_name or "", severity=severity or "", active="alerts",
                       severities=list(profile_data.SEVERITIES))
        try:
            alerts, tables = await asyncio.gather(api.get("/alerts", params), api.get("/tables"))
        except ApiError as e:
            return page("alerts.html", e.status, error=describe_error(e), sources=[], **context)
        sources = sorted({str(t.get("source_name")) for t in tables or [] if isinstance(t, dict)})
        if source_name and source_name not in sources:
            sources.append(source_name)
        if severity and severity not in context["severities"]:
            context["severities"].append(severity)
        known = {(t.get("source_name"), t.get("table_name")) for t in tables or [] if isinstance(t, dict)}
        rows = []
        for alert in alerts or []:
            row = dict(alert) if isinstance(alert, dict) else {"message": alert}
            key = (row.get("source_name"), row.get("table_name"))
            row["href"] = table_href(*key) if key in known else None
            rows.append(row)
        return page("alerts.html", alerts=rows, sources=sources, **context)
