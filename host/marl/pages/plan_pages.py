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
from fastapi.templating import Jinja2Templates

from marl import plan_advice, plan_rows
from marl.pages import plan_graph
from marl.pages.render import environment
from marl.plan_analysis import PlanAnalysisError, analyse_manifest

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


def _environment():
    env = environment()
    env.filters.setdefault("clean", plan_graph.clean_text)
    env.filters.setdefault("rows_text", plan_rows.fmt_rows)
    return env


templates = Jinja2Templates(env=_environment())


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
        if advice.rows is not None:
            context["rows_colours"] = plan_graph.json_for_script(rows_colours(drawn, advice.rows))
    context.setdefault("error", None)
    context.setdefault("hint", False)
    context.setdefault("laying_out", False)
    context.setdefault("manifest_name", None)
    return dict(context, drawn=drawn, graph=drawn.graph if drawn else None, active="plan",
                federated_rows=FEDERATED_ROWS,
                overview_members=plan_graph.json_for_script(members))


def rows_colours(drawn: plan_graph.DrawnPlan, rows: plan_rows.AdviceRows) -> Dict[str, Any]:
    """Rows pulled per run by the federated models of each drawn element,
    for colouring the graph: ``{"elements": {svg id: rows or None}, "max":
    the largest known}``. A box of the overview holding several models
    pulls their sum, unknown when one of them is."""
    elements: Dict[str, list] = {}
    for uid, element in advice_elements(drawn).items():
        model = rows.models.get(uid)
        if model is not None:
            elements.setdefault(element, []).append(model.pulled)
    pulled = {element: plan_rows.known_sum(counts) for element, counts in elements.items()}
    return {"elements": pulled, "max": max((c for c in pulled.values() if c is not None), default=0)}


def project_row_counts(project_root: Optional[Path], analysis) -> Optional[Dict[str, Optional[int]]]:
    """Row counts of the sources of ``analysis`` from the project's store;
    None without a store, without profiles, or when it cannot be read (the
    page then shows the advice without rows)."""
    if project_root is None:
        return None
    try:
        return plan_rows.read_row_counts(project_root, analysis.manifest, plan_rows.referenced_sources(analysis))
    except plan_rows.RowCountsError as e:
        log.warning("the plan page shows no rows: %s", e)
        return None


def draw_analysis(analysis) -> plan_graph.DrawnPlan:
    return plan_graph.draw(plan_graph.build_graph(analysis=analysis))


def write_plan_html(analysis, path, counts=None) -> plan_graph.PlanGraph:
    """Write the plan graph of ``analysis`` (a ``PlanAnalysis``) and its
    replication advice (with the rows of ``counts`` when given, see
    ``marl.plan_rows``) as one self-contained HTML file; returns the graph."""
    drawn = draw_analysis(analysis)
    context = page_context(drawn, advice=plan_advice.advise_analysis(analysis, counts))
    html = _environment().get_template("plan.html").render(context, standalone=True)
    Path(path).write_text(html, encoding="utf-8")
    return drawn.graph


class PlanLayouts:
    """The manifest given to the server and the layout of its current version."""

    def __init__(self, manifest_path: Optional[Path], target: Optional[str],
                 project_root: Optional[Path] = None) -> None:
        self.project_root = Path(project_root) if project_root is not None else None
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
        return (st.st_mtime_ns, st.st_size, st.st_ino, st.st_dev) + self._store_stamp()

    def _store_stamp(self) -> Tuple[int, ...]:
        """The metadata store's file as it is now: new profiles redo the advice's rows."""
        if self.project_root is None:
            return ()
        try:
            st = os.stat(self.project_root / ".marl" / "metadata.db")
        except OSError:
            return ()
        return (st.st_mtime_ns, st.st_size)

    def _lay_out(self) -> Dict[str, Any]:
        from strix.contracts.graph.loader import ManifestError, load_manifest

        try:
            manifest = load_manifest(self.manifest_path, origin=self.name)
            analysis = analyse_manifest(manifest, self.target)
            drawn = draw_analysis(analysis)
            advice = plan_advice.advise_analysis(analysis, project_row_counts(self.project_root, analysis))
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


def install(app, manifest_path: Optional[Path], target: Optional[str],
            project_root: Optional[Path] = None) -> None:
    """Serve the plan graph of ``manifest_path`` at /plan in ``app``, its
    advice with the rows of the profiles of ``project_root``."""
    app.state.plan_layouts = PlanLayouts(manifest_path, target, project_root)
    app.include_router(router)


@router.get("/plan", response_class=HTMLResponse, include_in_schema=False, name="plan_page")
def plan_page(request: Request):
    # A plain function: FastAPI runs it in its threadpool, so the wait for
    # the layout and the rendering never hold up the event loop.
    layouts: PlanLayouts = request.app.state.plan_layouts
    # A copy: the layout's result is shared by every request until the file changes.
    result = dict(layouts.current(FIRST_WAIT))
    context = page_context(result.pop("drawn", None), manifest_name=layouts.name, **result)
    try:
        return templates.TemplateResponse(request, "plan.html", dict(context, standalone=False))
    except Exception as e:
        log.exception("rendering the plan page of %s failed", layouts.name)
        error = layouts.public(f"cannot show the plan graph: {type(e).__name__}: {e}")
        return templates.TemplateResponse(request, "plan.html", dict(
            page_context(None, manifest_name=layouts.name, error=error), standalone=False))
