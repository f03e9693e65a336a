"""The plan graph page at ``/plan`` and its self-contained file (``marl plan --html``).

The docs server reads and lays out the manifest in a background thread:
``/plan`` answers at once. Until the manifest is read and analysed it says so
and reloads itself; then the page has its search, neighbourhood view, advice
panel and federated table, and, until ``dot`` has laid the drawing out, a
note in its place that the page replaces with the drawing by asking
``/plan/layout``. The layout is redone only when the file changes, and an
older one still running is cancelled. Every failure (a manifest the loader or
the advisor rejects, Graphviz missing or failing, anything else) is shown in
the page's error box, or in the drawing's place when only the layout failed;
the page names the manifest by its file name only.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
import time
from concurrent.futures import Future, InvalidStateError, ThreadPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from pathlib import Path
from typing import Any, Dict, Optional, Tuple

from fastapi import APIRouter, Request
from fastapi.responses import HTMLResponse, JSONResponse

from marl import plan_advice, plan_rows
from marl.pages import plan_graph
from marl.pages.render import environment, templates
from marl.plan_analysis import PlanAnalysisError, analyse_manifest
from marl.profile_access import limits, off_loop

log = logging.getLogger("marl.docs")

# How long a request waits for a layout it started before it answers with the
# "laying out" page: small projects then show at once, without a reload.
FIRST_WAIT = 2.0
# Time limit of one layout by `dot` in the server.
LAYOUT_TIMEOUT = 60.0
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
    advice panel: in the overview, a federated model is its box and a source
    the box of its connection (sources are not drawn one by one)."""
    if drawn.overview is not None:
        uid_of = {n.key: n.unique_id for n in drawn.graph.nodes}
        elements = {uid_of[key]: f"ov-{box.key}" for box in drawn.overview.federated for key in box.members}
        boxes = drawn.overview.connection_key
        elements.update((s.unique_id, f"ov-{boxes[s.connection]}") for s in drawn.graph.sources
                        if s.connection in boxes)
        return elements
    elements = {n.unique_id: n.key for n in drawn.graph.nodes}
    if drawn.sources_drawn:
        elements.update((s.unique_id, s.key) for s in drawn.graph.sources)
    return elements


def connection_elements(drawn: plan_graph.DrawnPlan) -> Dict[str, str]:
    """SVG element id of each drawn connection by name: a box of the
    overview, or a cluster of the whole graph when its sources are drawn."""
    if drawn.overview is not None:
        return {name: f"ov-{key}" for name, key in drawn.overview.connection_key.items()}
    if not drawn.sources_drawn:
        return {}
    return {name: f"conn{i}" for i, (name, _) in enumerate(drawn.graph.clusters()) if name is not None}


def _counted(counts: Dict[str, int], limit: int = 3) -> str:
    shown = [f"{n} on {name}" for name, n in list(counts.items())[:limit]]
    more = len(counts) - limit
    return ", ".join(shown) + (f" and more on {more} other connections" if more > 0 else "")


def advice_marks(drawn: plan_graph.DrawnPlan, rows) -> None:
    """Add to each step of the panel the element of its target connection,
    the indexes of its models (for the neighbourhood view) and ``notes``
    saying where what is not marked one by one is."""
    graph = drawn.graph
    index = {n.unique_id: i for i, n in enumerate(graph.nodes)}
    connection_of = {s.unique_id: s.connection for s in graph.sources}
    connections = connection_elements(drawn)
    box_of: Dict[str, plan_graph.OverviewBox] = {}
    if drawn.overview is not None:
        box_of = {graph.nodes[int(key[1:])].unique_id: box
                  for box in drawn.overview.federated for key in box.members}
    for row in rows:
        notes = []
        target = row["to_connection"]
        row["target_element"] = connections.get(target, "")
        row["model_indexes"] = [index[m] for m in row["unlocks"] if m in index]
        on: Dict[str, int] = {}
        for source in row["replicate"]:
            name = connection_of.get(source) or "no connection"
            on[name] = on.get(name, 0) + 1
        if drawn.overview is not None:
            notes.append(f"Sources are not drawn one by one here: {_counted(on)}; their connections are marked.")
            shared: Dict[str, int] = {}
            for model in row["unlocks"]:
                box = box_of.get(model)
                if box is not None and len(box.members) > 1:
                    shared[box.key] = shared.get(box.key, 0) + 1
            boxes = {b.key: b for b in drawn.overview.federated}
            for key, n in list(shared.items())[:3]:
                box = boxes[key]
                what = box.title.split(";")[0]
                notes.append(f"{n} of the {len(box.members)} models of the marked box “{what}”.")
            if len(shared) > 3:
                notes.append(f"Models in {len(shared) - 3} more marked boxes.")
            notes.append("The neighbourhood view lists the step's models one by one.")
        elif not drawn.sources_drawn:
            notes.append(f"Sources are not drawn in this graph: {_counted(on)}.")
        if not row["target_element"]:
            notes.append(f"The target connection {target} is not drawn in this graph.")
        row["notes"] = notes


def page_context(drawn: Optional[plan_graph.DrawnPlan] = None, **context: Any) -> Dict[str, Any]:
    """What plan.html needs besides ``request``/``standalone``."""
    members = {}
    if drawn is not None and drawn.overview is not None:
        members = {f"ov-{box.key}": [int(key[1:]) for key in box.members]
                   for box in drawn.overview.federated}
    advice = context.get("advice")
    if drawn is not None and advice is not None:
        context["advice_steps"] = plan_advice.panel_steps(advice, advice_elements(drawn))
        advice_marks(drawn, context["advice_steps"])
        if advice.rows is not None:
            context["rows_colours"] = plan_graph.json_for_script(rows_colours(drawn, advice.rows))
    context.setdefault("error", None)
    context.setdefault("hint", False)
    context.setdefault("laying_out", False)
    context.setdefault("manifest_name", None)
    context.setdefault("layout_error", None)
    context.setdefault("layout_generation", 0)
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


def write_plan_html(analysis, path, counts=None, rank=None) -> plan_graph.PlanGraph:
    """Write the plan graph of ``analysis`` (a ``PlanAnalysis``) and its
    replication advice (with the rows of ``counts`` when given, see
    ``marl.plan_rows``) as one self-contained HTML file; returns the graph."""
    drawn = draw_analysis(analysis)
    context = page_context(drawn, advice=plan_advice.advise_analysis(analysis, counts, rank))
    html = environment().get_template("plan.html").render(context, standalone=True)
    Path(path).write_text(html, encoding="utf-8")
    return drawn.graph


class _Layout:
    """One version of the manifest on its way to the page: ``ready`` holds
    the page context without the drawing (load, analysis, advice), ``svg``
    then holds ``{"svg": ...}`` or ``{"error": ...}``."""

    def __init__(self, stamp: Tuple[int, ...], generation: int) -> None:
        self.stamp, self.generation = stamp, generation
        self.started = time.monotonic()
        self.ready: Future = Future()
        self.svg: Future = Future()
        self._lock = threading.Lock()
        self._proc = None
        self.cancelled = False

    def started_dot(self, proc) -> None:
        with self._lock:
            self._proc = proc
            cancelled = self.cancelled
        if cancelled:
            proc.kill()

    def cancel(self) -> None:
        """Stop the layout: ``dot`` is killed if it runs, the rest skipped."""
        with self._lock:
            self.cancelled = True
            proc = self._proc
        if proc is not None and proc.poll() is None:
            proc.kill()
        for future in (self.ready, self.svg):
            if not future.done():
                with contextlib.suppress(InvalidStateError):
                    future.set_result({"error": "cancelled: the manifest changed", "cancelled": True})


class PlanLayouts:
    """The manifest given to the server and the layout of its current version.

    Layouts run one at a time on their own thread, apart from the threads
    that serve requests, and ``dot`` under a time limit. A layout whose
    manifest has changed since is cancelled (its ``dot`` killed) as soon as
    a request sees the change; ``close`` ends the running one when the server
    stops."""

    def __init__(self, manifest_path: Optional[Path], target: Optional[str],
                 project_root: Optional[Path] = None) -> None:
        self.project_root = Path(project_root) if project_root is not None else None
        self.manifest_path = Path(manifest_path) if manifest_path is not None else None
        self.name = self.manifest_path.name if self.manifest_path is not None else None
        self.target = target
        self._lock = threading.Lock()
        self._job: Optional[_Layout] = None
        self._generation = 0
        self._closed = False
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

    def _prepare(self, job: _Layout) -> Dict[str, Any]:
        from marl.manifest import ManifestError, load_manifest

        def unless_cancelled(value):
            # Each step of a large project takes seconds: an older version
            # of the manifest is dropped at the next one.
            if job.cancelled:
                raise plan_graph.LayoutCancelled("the manifest changed")
            return value

        try:
            manifest = unless_cancelled(load_manifest(self.manifest_path, origin=self.name))
            analysis = unless_cancelled(analyse_manifest(manifest, self.target))
            graph = unless_cancelled(plan_graph.build_graph(analysis=analysis))
            drawn = unless_cancelled(plan_graph.prepare(graph))
            advice = plan_advice.advise_analysis(analysis, project_row_counts(self.project_root, analysis))
        except plan_graph.LayoutCancelled:
            return {"error": "cancelled: the manifest changed", "cancelled": True}
        except (ManifestError, PlanAnalysisError, plan_graph.GraphvizError) as e:
            return {"error": self.public(str(e))}
        except ImportError as e:
            return {"error": f"The plan advisor is not available ({e}); run scripts/setup.sh to build it."}
        except Exception as e:  # shown in the page's error box rather than as a bare 500
            log.exception("laying out the plan graph of %s failed", self.name)
            return {"error": self.public(f"cannot draw the plan graph: {type(e).__name__}: {e}")}
        return {"drawn": drawn, "advice": advice}

    def _run(self, job: _Layout) -> None:
        if job.cancelled:
            return
        result = self._prepare(job)
        with contextlib.suppress(InvalidStateError):
            job.ready.set_result(result)
        drawn = result.get("drawn")
        if drawn is None or job.cancelled:
            with contextlib.suppress(InvalidStateError):
                job.svg.set_result({"error": result.get("error", "cancelled")})
            return
        try:
            drawn.svg = drawn.lay_out(LAYOUT_TIMEOUT, job.started_dot)
            outcome = {"svg": drawn.svg}
        except plan_graph.LayoutCancelled:
            outcome = {"error": "cancelled", "cancelled": True}
        except plan_graph.GraphvizError as e:
            outcome = {"error": self.public(str(e))}
        except Exception as e:
            log.exception("laying out the plan graph of %s failed", self.name)
            outcome = {"error": self.public(f"cannot lay out the plan graph: {type(e).__name__}: {e}")}
        with contextlib.suppress(InvalidStateError):
            job.svg.set_result(outcome)

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

    def job(self) -> _Layout:
        """The layout of the manifest as it is now on disk, started when
        needed; the layout of an older version is cancelled. Raises
        ``OSError`` when the manifest cannot be read, ``RuntimeError`` once
        closed."""
        stamp = self._stamp_now()
        with self._lock:
            if self._closed:
                raise RuntimeError("the server is stopping")
            old = self._job
            if old is not None and old.stamp == stamp:
                return old
            if self._executor is None:
                self._executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="plan-layout")
            self._generation += 1
            job = self._job = _Layout(stamp, self._generation)
            self._executor.submit(self._run, job)
        if old is not None:
            old.cancel()
        return job

    def current(self, wait: float) -> Dict[str, Any]:
        """The page context for the manifest as it is now; starts its layout
        when needed and waits at most ``wait`` seconds for it. The page is
        shown without the drawing once all but the layout is ready."""
        if self.manifest_path is None:
            return {"error": NO_MANIFEST, "hint": True}
        deadline = time.monotonic() + wait
        for _ in range(3):  # a newer version may replace the one waited for
            try:
                job = self.job()
            except OSError as e:
                return {"error": f"{self.name}: cannot read manifest: {e.strerror or e}"}
            except RuntimeError as e:
                return {"error": str(e)}
            try:
                result = job.ready.result(timeout=max(deadline - time.monotonic(), 0))
            except FutureTimeout:
                return {"laying_out": True, "elapsed": time.monotonic() - job.started}
            if not result.get("cancelled"):
                break
        else:
            return {"laying_out": True, "elapsed": 0.0}
        with contextlib.suppress(FutureTimeout):
            job.svg.result(timeout=max(deadline - time.monotonic(), 0))
        context = dict(result, layout_generation=job.generation)
        if job.svg.done() and "error" in job.svg.result() and "error" not in result:
            context["layout_error"] = job.svg.result()["error"]
        return context

    def state(self, generation: int) -> Dict[str, Any]:
        """How the layout the page of ``generation`` waits for is going:
        ``done`` with its SVG, ``error``, ``laying_out``, or ``stale`` when the
        manifest has changed since (the page is to be loaded again)."""
        try:
            job = self.job()
        except (OSError, RuntimeError):
            return {"state": "stale"}
        if job.generation != generation:
            return {"state": "stale"}
        if not job.svg.done():
            return {"state": "laying_out", "elapsed": round(time.monotonic() - job.started, 1)}
        outcome = job.svg.result()
        if "svg" in outcome:
            return {"state": "done", "svg": outcome["svg"]}
        return {"state": "error", "error": outcome["error"]}

    def close(self) -> None:
        """End the running layout and start no other (the server stops)."""
        with self._lock:
            self._closed = True
            job, executor = self._job, self._executor
        if job is not None:
            job.cancel()
        if executor is not None:
            executor.shutdown(wait=False, cancel_futures=True)


def install(app, manifest_path: Optional[Path], target: Optional[str],
            project_root: Optional[Path] = None) -> None:
    """Serve the plan graph of ``manifest_path`` at /plan in ``app``, its
    advice with the rows of the profiles of ``project_root``."""
    app.state.plan_layouts = PlanLayouts(manifest_path, target, project_root)
    app.include_router(router)


@router.get("/plan/layout", include_in_schema=False, name="plan_layout")
async def plan_layout(request: Request, v: int = 0) -> JSONResponse:
    """What the plan page polls for while its drawing is laid out (a
    coroutine: it only looks at the layout's state, it never waits)."""
    layouts: PlanLayouts = request.app.state.plan_layouts
    if layouts.manifest_path is None:
        return JSONResponse({"state": "stale"})
    return JSONResponse(layouts.state(v), headers={"Cache-Control": "no-store"})


@router.get("/plan", response_class=HTMLResponse, include_in_schema=False, name="plan_page")
async def plan_page(request: Request):
    # The wait for the layout and the rendering run on a page worker, as
    # every page's work does, so they never hold up the event loop.
    return await off_loop(limits(request.app).pages, _plan_response, request)


def _plan_response(request: Request):
    layouts: PlanLayouts = request.app.state.plan_layouts
    # A copy: the layout's result is shared by every request until the file changes;
    # the drawing may still be laid out (the page then asks for it by itself).
    result = dict(layouts.current(FIRST_WAIT))
    context = page_context(result.pop("drawn", None), manifest_name=layouts.name, **result)
    try:
        return templates().TemplateResponse(request, "plan.html", dict(context, standalone=False))
    except Exception as e:
        log.exception("rendering the plan page of %s failed", layouts.name)
        error = layouts.public(f"cannot show the plan graph: {type(e).__name__}: {e}")
        return templates().TemplateResponse(request, "plan.html", dict(
            page_context(None, manifest_name=layouts.name, error=error), standalone=False))
