"""Pages for people in the docs server: the profile browser at ``/`` (with
table, column and alert pages, ``marl.pages.profile_pages``) and the plan
graph at ``/plan`` (``marl.pages.plan_pages``).

The profile pages read the store through the profile module's endpoints,
as the API does (``marl.profile_access``); the plan page reads
``PlanAdvisor`` results for the manifest given to ``marl docs serve``.
Everything is rendered on the server into self-contained HTML (inline CSS,
SVG and a little script): nothing is loaded from anywhere else.
"""

from __future__ import annotations

from pathlib import Path
from typing import Optional

from marl.pages.plan_pages import write_plan_html

__all__ = ["install", "write_plan_html"]


def install(app, project_root: Path, manifest_path: Optional[Path] = None, target: Optional[str] = None) -> None:
    """Add the pages to the docs server's FastAPI application ``app``."""
    from marl import docs_server
    from marl.pages import plan_pages
    from marl.pages.profile_pages import not_found_page, router

    app.state.project_root = Path(project_root)
    app.state.project_name = Path(project_root).name
    app.include_router(router)
    plan_pages.install(app, manifest_path, target, project_root)
    docs_server.add_people_errors(app, not_found_page)
    # A layout still running (and its `dot`) ends with the server.
    if not hasattr(app.state, "on_shutdown"):
        app.state.on_shutdown = []
    app.state.on_shutdown.append(app.state.plan_layouts.close)
