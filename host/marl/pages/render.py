"""Jinja2 environment of the pages (the docs server's and the file of
``marl plan --html``)."""

from __future__ import annotations

from functools import lru_cache
from pathlib import Path
from typing import Any, Optional

from marl.pages import profile_data

TEMPLATES = Path(__file__).resolve().parent / "templates"


BAD_VALUE = '<span class="bad-value" title="{title}">unreadable value</span>'


def bad_value(value: Any = None):
    """What a page shows for a value it cannot render: a marked placeholder
    whose hover text names the value's type."""
    from markupsafe import Markup, escape

    return Markup(BAD_VALUE.format(title=escape(f"cannot show this {type(value).__name__} value")))


def page_url(context, name: str, path: str) -> str:
    """The URL of the page route ``name`` for the request being rendered;
    ``path`` where there is no request (or no such route), as in the file of
    ``marl plan --html`` and the plan page."""
    request = context.get("request")
    if request is None:
        return path
    from starlette.routing import NoMatchFound

    try:
        return str(request.url_for(name))
    except NoMatchFound:
        return request.scope.get("root_path", "") + path


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
        raw_json=profile_data.raw_json,
        ordered_severities=profile_data.ordered_severities,
        bad_value=bad_value,
        page_url=pass_context(page_url),
    )
    return env


def render(template: str, **context: Any) -> str:
    return environment().get_template(template).render(**context)
