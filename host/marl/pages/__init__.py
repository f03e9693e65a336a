"""Pages for people in the docs server: the profile browser at ``/`` (with
table, column and alert pages, ``marl.pages.profile_pages``) and the plan
graph at ``/plan`` (``marl.pages.plan_pages``).

The profile pages read the four profile endpoints over HTTP, through the
application itself, so they show exactly what the API serves; the plan page
reads ``PlanAdvisor`` results for the manifest given to ``marl docs serve``.
Everything is rendered on the server into self-contained HTML (inline CSS,
SVG and a little script): nothing is loaded from anywhere else.
"""

from __future__ import annotations

import contextlib
from pathlib import Path
from typing import Optional

from marl.pages.plan_pages import write_plan_html

__all__ = ["install", "write_plan_html"]


def install(app, project_root: Path, manifest_path: Optional[Path] = None, target: Optional[str] = None) -> None:
    """Add the pages to the docs server's FastAPI application ``app``."""
    from marl.pages import plan_pages
    from marl.pages.profile_pages import ProfileApi, router

    api = ProfileApi(app)
    app.state.profile_api = api
    app.state.project_name = Path(project_root).name
    app.include_router(router)
    plan_pages.install(app, manifest_path, target, project_root)

    # The shared client is closed when the application shuts down.
    previous_lifespan = app.router.lifespan_context

    @contextlib.asynccontextmanager
    async def lifespan(app_):
        async with previous_lifespan(app_) as state:
            try:
                yield state
            finally:
                await api.aclose()

    app.router.lifespan_context = lifespan
