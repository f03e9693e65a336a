"""The plan graph page at ``/plan`` and its self-contained file (``marl plan --html``).

The docs server lays the graph out in a background thread: ``/plan`` answers
at once, with the graph when the layout of the manifest as it is now on disk
is done, else with a page saying it is being laid out, which reloads itself.
The layout is redone only when the file changes. Every failure (a manifest
the loader or the advisor rejects, Graphviz missing or failing, anything
else) is shown in the page's error box; the page names the manifest by its
file name only.
"""

from __future__ import annotations

import logging
import os
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from pathlib import Path
from typing import Any, Dict, Optional, Tuple

from fastapi import APIRouter, Request
from fastapi.responses import HTMLResponse

from marl import plan_advice
from marl.pages import plan_graph
from marl.pages.render import environment, templates
from marl.plan_analysis import PlanAnalysisError, analyse_manifest
from marl.profile_access import limits, off_loop

log = logging.getLogger("marl.docs")

# How long a request waits for a layout it started before it answers with the
# "laying out" page: small projects then show at once, without a reload.
FIRST_WAIT = 2.0
# Rows of the federated table; the rest are found by searching.
FEDERATED_ROWS = 500

NO_MANIFEST = (
    "No manifest given. Start the server with "
    "bin/marl docs serve --manifest MANIFEST.json [--target CONNECTION] to see the plan graph, "
    "or write it to a file with bin/marl plan MANIFEST.json --html plan.html."
)

router = APIRouter()




def advice_elements(drawn: plan_graph.DrawnPlan) -> Dict[str, str]:
    """SVG element id of each drawn model and source by unique_id, for the
    advice panel: in the overview, a federated model is its box and sources
    are not drawn one by one."""
    if drawn.overview is not None:
        uid_of = {n.key: n.unique_id for n in drawn.graph.nodes}
        return {uid_of[key]: f"ov-{box.key}" for box in drawn.overview.federated for key in box.members}
    elements = {n.unique_id: n.key for n in drawn.graph.nodes}
    if drawn.sources_drawn:
        elements.update((s.unique_id, s.key) for s in drawn.graph.sources)
    return elements


def page_context(drawn: Optional[plan_graph.DrawnPlan] = None, **context: Any) -> Dict[str, Any]:
    """What plan.html needs besides ``request``/``standalone``."""
    members = {}
    if drawn is not None and drawn.overview is not None:
        members = {f"ov-{box.key}": [int(key[1:]) for key in box.members]
                   for box in drawn.overview.federated}
    advice = context.get("advice")
    if drawn is not None and advice is not None:
        context["advice_steps"] = plan_advice.panel_steps(advice, advice_elements(drawn))
    context.setdefault("error", None)
    context.setdefault("hint", False)
    context.setdefault("laying_out", False)
    context.setdefault("manifest_name", None)
    return dict(context, drawn=drawn, graph=drawn.graph if drawn else None, active="plan",
                federated_rows=FEDERATED_ROWS,
                overview_members=plan_graph.json_for_script(members))


def draw_analysis(analysis) -> plan_graph.DrawnPlan:
    return plan_graph.draw(plan_graph.build_graph(analysis=analysis))


def write_plan_html(analysis, path) -> plan_graph.PlanGraph:
    """Write the plan graph of ``analysis`` (a ``PlanAnalysis``) and its
    replication advice as one self-contained HTML file; returns the graph."""
    drawn = draw_analysis(analysis)
    context = page_context(drawn, advice=plan_advice.advise_analysis(analysis))
    html = environment().get_template("plan.html").render(context, standalone=True)
    Path(path).write_text(html, encoding="utf-8")
    return drawn.graph


class PlanLayouts:
    """The manifest given to the server and the layout of its current version."""

    def __init__(self, manifest_path: Optional[Path], target: Optional[str]) -> None:
        self.manifest_path = Path(manifest_path) if manifest_path is not None else None
        self.name = self.manifest_path.name if self.manifest_path is not None else None
        self.target = target
        self._lock = threading.Lock()
        self._stamp: Optional[Tuple[int, ...]] = None
        self._job: Optional[Future] = None
        self._started = 0.0
        self._executor: Optional[ThreadPoolExecutor] = None

    def _stamp_now(self) -> Tuple[int, ...]:
        st = os.stat(self.manifest_path)
        return (st.st_mtime_ns, st.st_size, st.st_ino, st.st_dev)

    def _lay_out(self) -> Dict[str, Any]:
        from strix.contracts.graph.loader import ManifestError, load_manifest

        try:
            manifest = load_manifest(self.manifest_path, origin=self.name)
            analysis = analyse_manifest(manifest, self.target)
            drawn = draw_analysis(analysis)
            advice = plan_advice.advise_analysis(analysis)
        except (ManifestError, PlanAnalysisError, plan_graph.GraphvizError) as e:
            return {"error": self.public(str(e))}
        except ImportError as e:
            return {"error": f"The plan advisor is not available ({e}); run scripts/setup.sh to build it."}
        except Exception as e:  # shown in the page's error box rather than as a bare 500
            log.exception("laying out the plan graph of %s failed", self.name)
            return {"error": self.public(f"cannot draw the plan graph: {type(e).__name__}: {e}")}
        return {"drawn": drawn, "advice": advice}

    def public(self, text: str) -> str:
        """``text`` without the manifest's absolute path or its folder's."""
        if self.manifest_path is None:
            return text
        paths = {str(self.manifest_path.resolve()), str(self.manifest_path),
                 str(self.manifest_path.resolve().parent)}
        for path in sorted(paths, key=len, reverse=True):  # the file before its folder
            if len(path) > 1:
                text = text.replace(path, "the manifest" if path.endswith(self.name) else "the project")
        return text

    def current(self, wait: float) -> Dict[str, Any]:
        """The page context for the manifest as it is now; starts its layout
        when needed and waits at most ``wait`` seconds for it."""
        if self.manifest_path is None:
            return {"error": NO_MANIFEST, "hint": True}
        try:
            stamp = self._stamp_now()
        except OSError as e:
            return {"error": f"{self.name}: cannot read manifest: {e.strerror or e}"}
        with self._lock:
            if self._job is None or self._stamp != stamp:
                if self._executor is None:
                    self._executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="plan-layout")
                self._stamp, self._started = stamp, time.monotonic()
                self._job = self._executor.submit(self._lay_out)
            job, started = self._job, self._started
        try:
            return job.result(timeout=wait)
        except FutureTimeout:
            return {"laying_out": True, "elapsed": time.monotonic() - started}


def install(app, manifest_path: Optional[Path], target: Optional[str]) -> None:
    """Serve the plan graph of ``manifest_path`` at /plan in ``app``."""
    app.state.plan_layouts = PlanLayouts(manifest_path, target)
    app.include_router(router)


@router.get("/plan", response_class=HTMLResponse, include_in_schema=False, name="plan_page")
async def plan_page(request: Request):
    # The wait for the layout and the rendering run on a page worker, as
    # every page's work does, so they never hold up the event loop.
    return await off_loop(limits(request.app).pages, _plan_response, request)


def _plan_response(request: Request):
    layouts: PlanLayouts = request.app.state.plan_layouts
    # A copy: the layout's result is shared by every request until the file changes.
    result = dict(layouts.current(FIRST_WAIT))
    context = page_context(result.pop("drawn", None), manifest_name=layouts.name, **result)
    try:
        return templates().TemplateResponse(request, "plan.html", dict(context, standalone=False))
    except Exception as e:
        log.exception("rendering the plan page of %s failed", layouts.name)
        error = layouts.public(f"cannot show the plan graph: {type(e).__name__}: {e}")
        return templates().TemplateResponse(request, "plan.html", dict(
            page_context(None, manifest_name=layouts.name, error=error), standalone=False))
