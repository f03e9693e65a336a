"""Jinja2 environment of the pages (the docs server's and the file of
``marl plan --html``)."""

from __future__ import annotations

from functools import lru_cache
from pathlib import Path
from typing import Any, Optional

from marl.pages import profile_data

TEMPLATES = Path(__file__).resolve().parent / "templates"


@lru_cache(maxsize=1)
def environment():
    from jinja2 import Environment, FileSystemLoader, Undefined, select_autoescape

    def missing_as_none(f):
        # A key the API left out reads like a null value.
        return lambda value, *args: f(None if isinstance(value, Undefined) else value, *args)

    env = Environment(
        loader=FileSystemLoader(str(TEMPLATES)),
        autoescape=select_autoescape(["html"]),
        trim_blocks=True,
        lstrip_blocks=True,
    )
    env.filters.update(
        fmt=missing_as_none(profile_data.fmt),
        pct=missing_as_none(profile_data.fmt_percent),
        bar_width=missing_as_none(profile_data.bar_width),
        severity_class=missing_as_none(profile_data.severity_class),
    )
    env.globals.update(
        column_kind=profile_data.column_kind,
        histogram_bars=profile_data.histogram_bars,
        top_value_bars=profile_data.top_value_bars,
        raw_json=profile_data.raw_json,
        ordered_severities=profile_data.ordered_severities,
    )
    return env


def render(template: str, **context: Any) -> str:
    return environment().get_template(template).render(**context)
