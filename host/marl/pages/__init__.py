"""Pages for people in the docs server: the profile browser at ``/`` (with
table, column and alert pages, ``marl.pages.profile_pages``) and the plan
graph at ``/plan``.

The profile pages read the four profile endpoints over HTTP, through the
application itself, so they show exactly what the API serves; the plan page
reads ``PlanAdvisor`` results for the manifest given to ``marl docs serve``.
Everything is rendered on the server into self-contained HTML (inline CSS,
SVG and a little script): nothing is loaded from anywhere else.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
from pathlib import Path
from typing import Optional, Tuple

from marl.pages import plan_graph
from marl.pages.render import plan_page

__all__ = ["install", "write_plan_html"]


class PlanSource:
    """The manifest given to the server; the graph is laid out again only
    when the file changes."""

    def __init__(self, manifest_path: Optional[Path], target: Optional[str]) -> None:
        self.manifest_path = manifest_path
        self.target = target
        self._cached: Optional[Tuple[Tuple[int, int], str]] = None
        self._lock = asyncio.Lock()

    def _render(self) -> str:
        from strix.contracts.graph.loader import ManifestError, load_manifest

        try:
            manifest = load_manifest(str(self.manifest_path))
            graph = plan_graph.build_graph(manifest, self.target)
            svg = plan_graph.render_svg(graph)
        except (ManifestError, plan_graph.GraphvizError, ImportError) as e:
            return plan_page(None, "", standalone=False, manifest_name=str(self.manifest_path), error=str(e))
        return plan_page(graph, svg, standalone=False, manifest_name=str(self.manifest_path))

    async def page(self) -> str:
        if self.manifest_path is None:
            return plan_page(None, "", standalone=False, error=(
                "No manifest given. Start the server with "
                "bin/marl docs serve --manifest MANIFEST.json [--target CONNECTION] to see the plan graph, "
                "or write it to a file with bin/marl plan MANIFEST.json --html plan.html."))
        try:
            st = os.stat(self.manifest_path)
            stamp = (st.st_mtime_ns, st.st_size)
        except OSError as e:
            return plan_page(None, "", standalone=False, manifest_name=str(self.manifest_path),
                             error=f"cannot read the manifest: {e}")
        async with self._lock:
            if self._cached is None or self._cached[0] != stamp:
                # Layout takes seconds for thousands of models: keep it off the event loop.
                html = await asyncio.get_running_loop().run_in_executor(None, self._render)
                self._cached = (stamp, html)
            return self._cached[1]


def install(app, project_root: Path, manifest_path: Optional[Path] = None, target: Optional[str] = None) -> None:
    """Add the pages to the docs server's FastAPI application ``app``."""
    from fastapi.responses import HTMLResponse

    from marl.pages.profile_pages import ProfileApi, router

    api = ProfileApi(app)
    app.state.profile_api = api
    app.state.project_name = Path(project_root).name
    plan = PlanSource(manifest_path, target)
    app.include_router(router)

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

    @app.get("/plan", response_class=HTMLResponse, include_in_schema=False)
    async def plan_view():
        return HTMLResponse(await plan.page())


def write_plan_html(manifest, target: Optional[str], path: Path) -> plan_graph.PlanGraph:
    """Write the plan graph of ``manifest`` as one self-contained HTML file."""
    graph = plan_graph.build_graph(manifest, target)
    svg = plan_graph.render_svg(graph)
    html = plan_page(graph, svg, standalone=True)
    Path(path).write_text(html, encoding="utf-8")
    return graph
