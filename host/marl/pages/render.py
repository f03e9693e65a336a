"""Jinja2 environment of the pages (the docs server's and the file of
``marl plan --html``)."""

from __future__ import annotations

from functools import lru_cache
from pathlib import Path
from typing import Any, Dict, Optional
from urllib.parse import urlencode

from marl.pages import profile_data

TEMPLATES = Path(__file__).resolve().parent / "templates"


BAD_VALUE = '<span class="bad-value" title="{title}">unreadable value</span>'


def bad_value(value: Any = None):
    """What a page shows for a value it cannot render: a marked placeholder
    whose hover text names the value's type."""
    from markupsafe import Markup, escape

    from marl.profile_access import BadValue

    why = f"cannot show this value: {value.why}" if isinstance(value, BadValue) else \
        f"cannot show this {type(value).__name__} value"
    return Markup(BAD_VALUE.format(title=escape(why)))


def raw_json(value: Any):
    """A value as indented JSON text, or a marked bad value when it has none."""
    try:
        return profile_data.raw_json(value)
    except (TypeError, ValueError, RecursionError):
        return bad_value(value)


def page_url(request, name: str, query: Optional[Dict[str, Any]] = None, **path_params: Any) -> str:
    """The path-only URL of the route ``name`` (under the request's root
    path, so it works behind a proxy whatever Host it sends), with
    ``query``'s items that are not None. An unknown route name raises."""
    url = request.scope.get("root_path", "").rstrip("/") + request.app.url_path_for(name, **path_params)
    items = {k: v for k, v in (query or {}).items() if v is not None}
    return url + ("?" + urlencode(items) if items else "")


def _page_url(context, name: str, query: Optional[Dict[str, Any]] = None, **path_params: Any) -> str:
    return page_url(context["request"], name, query, **path_params)


@lru_cache(maxsize=1)
def environment():
    from jinja2 import Environment, FileSystemLoader, Undefined, pass_context, select_autoescape

    def safe_filter(f, fallback=bad_value):
        # A key the API left out reads like a null value; a value the filter
        # cannot handle is shown as a bad value, not a failed page.
        def filter_(value, *args):
            value = None if isinstance(value, Undefined) else value
            try:
                return f(value, *args)
            except (TypeError, ValueError, OverflowError):
                return fallback(value)
        return filter_

    env = Environment(
        loader=FileSystemLoader(str(TEMPLATES)),
        autoescape=select_autoescape(["html"]),
        trim_blocks=True,
        lstrip_blocks=True,
    )
    env.filters.update(
        fmt=safe_filter(profile_data.fmt),
        pct=safe_filter(profile_data.fmt_percent),
        bar_width=safe_filter(profile_data.bar_width, lambda value: None),
        severity_class=safe_filter(profile_data.severity_class, lambda value: "other"),
    )
    env.globals.update(
        column_kind=profile_data.column_kind,
        histogram_bars=profile_data.histogram_bars,
        top_value_bars=profile_data.top_value_bars,
        raw_json=raw_json,
        ordered_severities=profile_data.ordered_severities,
        bad_value=bad_value,
        page_url=pass_context(_page_url),
    )
    from marl.pages.plan_graph import clean_text

    env.filters["clean"] = clean_text
    from marl.plan_rows import fmt_rows

    env.filters["rows_text"] = fmt_rows
    return env


@lru_cache(maxsize=1)
def templates():
    """The pages' one ``Jinja2Templates`` (over ``environment()``)."""
    from fastapi.templating import Jinja2Templates

    return Jinja2Templates(env=environment())


def render(template: str, **context: Any) -> str:
    return environment().get_template(template).render(**context)
