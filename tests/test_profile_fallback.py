"""Importing the profile API without FastAPI, or with a stand-in FastAPI that
records what the module does at import. Each case runs in a fresh
interpreter, since the module binds its FastAPI names once."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HOST = str(Path(__file__).resolve().parent.parent / "host")


def run_python(code: str) -> dict:
    env = dict(os.environ, PYTHONPATH=HOST + os.pathsep + os.environ.get("PYTHONPATH", ""))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


WITHOUT_FASTAPI = """
import asyncio, inspect, json, sys
sys.modules["fastapi"] = None
import strix.task.docs.api.profile as p
import strix.compute.metadata as metadata

out = {"names": [n for n in vars(p) if not n.startswith("__")]}
out["classes"] = [(c.__name__, c.__module__, [b.__name__ for b in c.__mro__[1:]])
                  for c in (p.APIRouter, p.HTTPException)]
r = p.APIRouter("x", 1, prefix="/y", anything=[1])
deco = r.get("/any/{path}", response_model=None)
marker = object()
out["router"] = [p.router.get("/x")(marker) is marker, deco(print) is print, vars(r) == {}]
out["router_init_result"] = p.APIRouter.__init__(r, 1, k=2)
e = p.HTTPException(status_code=404, detail="gone")
out["exc"] = [e.status_code, e.detail, list(e.args), isinstance(e, Exception)]
e = p.HTTPException(500, detail=["x"])
out["exc_positional"] = [e.status_code, e.detail]
try:
    p.HTTPException(404)
except TypeError as te:
    out["exc_missing"] = str(te)
out["query"] = [p.Query(), p.Query(None, description="d", alias="a"), p.Query(1, 2, 3)]
try:
    p.Query(**{1: 2})
except TypeError:
    out["query_bad_keyword"] = True
out["defaults"] = [p.get_table_profile.__defaults__, p.get_profile_alerts.__defaults__,
                   p.list_profiled_tables.__defaults__]
out["coroutine_functions"] = [inspect.iscoroutinefunction(getattr(p, n)) for n in
    ("list_profiled_tables", "get_table_profile", "get_profile_alerts", "get_profile_stats")]

async def call(coro):
    try:
        return await coro
    except p.HTTPException as e:
        return {"status": e.status_code, "detail": e.detail, "args": list(e.args),
                "context": type(e.__context__).__name__ if e.__context__ else None}

out["unconfigured"] = asyncio.run(call(p.get_profile_stats()))
p.set_project_root("/nonexistent/project")
out["missing_root"] = asyncio.run(call(p.list_profiled_tables()))

class Store:
    def __init__(self, root): pass
    def close(self): pass
    def get_table_profile(self, *args):
        self.args = args
        return []
    def get_profile_alerts(self, *args):
        return [{"severity": "info", "args": list(args)}]
metadata.ProjectMetadataStore = Store
out["not_found"] = asyncio.run(call(p.get_table_profile("raw", "orders")))
out["alerts"] = asyncio.run(p.get_profile_alerts())
print(json.dumps(out))
"""


def test_module_works_without_fastapi():
    out = run_python(WITHOUT_FASTAPI)
    assert out["names"] == [
        "Path", "Any", "Dict", "List", "Optional", "APIRouter", "HTTPException", "Query", "router",
        "_project_root", "_store_initialized", "set_project_root", "_get_store",
        "list_profiled_tables", "get_table_profile", "get_profile_alerts", "get_profile_stats",
    ]
    module = "strix.task.docs.api.profile"
    assert out["classes"] == [["APIRouter", module, ["object"]],
                              ["HTTPException", module, ["Exception", "BaseException", "object"]]]
    assert out["router"] == [True, True, True] and out["router_init_result"] is None
    assert out["exc"] == [404, "gone", [], True]
    assert out["exc_positional"] == [500, ["x"]]
    assert "missing 1 required positional argument: 'detail'" in out["exc_missing"]
    assert out["query"] == [None, None, None] and out["query_bad_keyword"]
    assert out["defaults"] == [[None], [None, None], None]
    assert out["coroutine_functions"] == [True] * 4
    assert out["unconfigured"] == {"status": 500, "detail": "Project root not configured", "args": [],
                                   "context": None}
    assert out["missing_root"] == {
        "status": 500, "args": [], "context": "FileNotFoundError",
        "detail": "Could not open metadata store: project root 'project' is not a directory"}
    assert out["not_found"] == {"status": 404, "detail": "No profile found for raw.orders", "args": [],
                                "context": None}
    assert out["alerts"] == [{"severity": "info", "args": [None]}]


RECORDING_FASTAPI = """
import json, sys, types
calls = []
fake = types.ModuleType("fastapi")

class APIRouter:
    def __init__(self, *args, **kwargs):
        calls.append(["APIRouter", list(args), kwargs])
    def get(self, *args, **kwargs):
        calls.append(["get", list(args), kwargs])
        def decorator(func):
            calls.append(["decorate", func.__name__])
            return ("wrapped", func)
        return decorator

class HTTPException(Exception):
    pass

queries = []
def Query(*args, **kwargs):
    calls.append(["Query", list(args), kwargs])
    queries.append(object())
    return queries[-1]

fake.APIRouter, fake.HTTPException, fake.Query = APIRouter, HTTPException, Query
sys.modules["fastapi"] = fake
import strix.task.docs.api.profile as p

wrapped = [p.list_profiled_tables, p.get_table_profile, p.get_profile_alerts, p.get_profile_stats]
funcs = [w[1] for w in wrapped]
print(json.dumps({
    "calls": calls,
    "same_classes": [p.APIRouter is APIRouter, p.HTTPException is HTTPException, p.Query is Query],
    "wrapped": [w[0] == "wrapped" for w in wrapped],
    "defaults_are_query_results": [d is q for d, q in zip(
        funcs[1].__defaults__ + funcs[2].__defaults__, queries)] + [len(queries) == 3],
}))
"""


def test_import_goes_through_fastapi_names_in_order():
    out = run_python(RECORDING_FASTAPI)
    desc = "Filter by severity: info, warning, error"
    assert out["calls"] == [
        ["APIRouter", [], {"prefix": "/api/profile", "tags": ["profile"]}],
        ["get", ["/tables"], {}],
        ["decorate", "list_profiled_tables"],
        ["get", ["/tables/{source_name}/{table_name}"], {}],
        ["Query", [None], {"description": "Profile mode filter"}],
        ["decorate", "get_table_profile"],
        ["get", ["/alerts"], {}],
        ["Query", [None], {"description": "Filter by source"}],
        ["Query", [None], {"description": desc}],
        ["decorate", "get_profile_alerts"],
        ["get", ["/stats"], {}],
        ["decorate", "get_profile_stats"],
    ]
    assert out["same_classes"] == [True] * 3
    assert out["wrapped"] == [True] * 4
    assert out["defaults_are_query_results"] == [True] * 4


@pytest.mark.parametrize(
    "setup, expected",
    [
        # A FastAPI without one of the names: all three come from the fallback.
        ("fake.APIRouter = object; fake.Query = object", {"import": "ok", "fallback": True}),
        ("raise RuntimeError('broken install')", {"import": "RuntimeError: broken install"}),
        ("raise ImportError('missing dependency')", {"import": "ok", "fallback": True}),
    ],
)
def test_fastapi_import_failures(setup, expected):
    code = f"""
    import importlib.abc, importlib.util, json, sys, types

    class Finder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
        def find_spec(self, name, path, target=None):
            return importlib.util.spec_from_loader(name, self) if name == "fastapi" else None
        def create_module(self, module_spec):
            return None
        def exec_module(self, fake):
            {setup}

    sys.meta_path.insert(0, Finder())
    try:
        import strix.task.docs.api.profile as p
    except Exception as e:
        print(json.dumps({{"import": f"{{type(e).__name__}}: {{e}}"}}))
    else:
        print(json.dumps({{"import": "ok", "fallback": p.APIRouter.__module__ == p.__name__
                           and p.HTTPException.__module__ == p.__name__ and p.Query() is None}}))
    """
    assert run_python(code) == expected
