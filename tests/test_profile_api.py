"""The profile API module called directly: store access, the endpoint frame,
results, argument checks and the coroutine functions' introspection."""

import asyncio
import gc
import inspect
import os
import sys
import warnings
import weakref
from datetime import date, datetime
from pathlib import Path
from types import SimpleNamespace

import pytest

import strix.compute.metadata as metadata
import strix.task.docs.api.profile as profile
from fastapi import HTTPException
from fastapi.params import Query as QueryParam

ENDPOINTS = {
    "list_profiled_tables": (),
    "get_table_profile": ("raw", "orders", None),
    "get_profile_alerts": (None, None),
    "get_profile_stats": (),
}

COLUMN_KEYS = [
    "column_name", "null_count", "null_percent", "distinct_count", "distinct_percent", "min_value",
    "max_value", "mean_value", "median_value", "stddev_value", "p25", "p50", "p75", "min_length",
    "max_length", "avg_length", "histogram", "top_values", "alerts", "duration_ms",
]


# With FastAPI installed the defaults are its Query declarations, which the
# entry checks reject like any other non-str value: direct calls pass every
# optional argument (FastAPI itself always does).


def run(coro):
    return asyncio.run(coro)


def record(name="c", **fields):
    """A column-profile record with every attribute the endpoint reads."""
    values = dict.fromkeys(COLUMN_KEYS)
    values.update(column_name=name, profile_mode="full", row_count=10, profiled_at=None, alerts=None)
    values.update(fields)
    return SimpleNamespace(**values)


class FakeStore:
    """Stands in for ProjectMetadataStore; records what the module does."""

    instances = []
    tables = []
    profiles = []
    alerts = []
    fail = {}  # operation name -> exception to raise

    def __init__(self, project_root):
        self._maybe_fail("__init__")
        self.project_root = project_root
        self.calls = []
        FakeStore.instances.append(self)

    def _maybe_fail(self, op):
        if op in FakeStore.fail:
            raise FakeStore.fail[op]

    def initialize(self):
        self.calls.append(("initialize",))
        self._maybe_fail("initialize")

    def close(self):
        self.calls.append(("close",))
        self._maybe_fail("close")

    def get_all_profiled_tables(self):
        self.calls.append(("get_all_profiled_tables",))
        self._maybe_fail("get_all_profiled_tables")
        return FakeStore.tables

    def get_table_profile(self, *args):
        self.calls.append(("get_table_profile", *args))
        self._maybe_fail("get_table_profile")
        return FakeStore.profiles

    def get_profile_alerts(self, *args):
        self.calls.append(("get_profile_alerts", *args))
        self._maybe_fail("get_profile_alerts")
        return FakeStore.alerts

    def closes(self):
        return self.calls.count(("close",))


@pytest.fixture
def store(monkeypatch, tmp_path):
    """The module configured for tmp_path, with FakeStore as the store class."""
    monkeypatch.setattr(metadata, "ProjectMetadataStore", FakeStore)
    FakeStore.instances = []
    FakeStore.tables, FakeStore.profiles, FakeStore.alerts, FakeStore.fail = [], [], [], {}
    monkeypatch.setattr(profile, "_get_store", profile._get_store)
    profile.set_project_root(tmp_path)
    yield FakeStore
    profile._project_root = None
    profile._store_initialized = False


def last_store():
    assert len(FakeStore.instances) == 1
    return FakeStore.instances[0]


# --- module surface ------------------------------------------------------------


def test_module_attributes_in_order():
    names = [n for n in vars(profile) if not n.startswith("__")]
    assert names == [
        "Path", "Any", "Dict", "List", "Optional", "APIRouter", "HTTPException", "Query", "router",
        "_project_root", "_store_initialized", "set_project_root", "_get_store",
        "list_profiled_tables", "get_table_profile", "get_profile_alerts", "get_profile_stats",
    ]
    import fastapi
    import typing

    assert profile.Path is Path
    assert (profile.Any, profile.Dict, profile.List, profile.Optional) == (
        typing.Any, typing.Dict, typing.List, typing.Optional)
    assert (profile.APIRouter, profile.HTTPException, profile.Query) == (
        fastapi.APIRouter, fastapi.HTTPException, fastapi.Query)


@pytest.mark.parametrize(
    "name, params, returns, doc",
    [
        ("list_profiled_tables", [], "List[Dict[str, Any]]",
         "List all profiled tables.\nReturns table names with last profile timestamp and mode."),
        ("get_table_profile", [("source_name", "str"), ("table_name", "str"), ("mode", "Optional[str]")],
         "Dict[str, Any]", "Get profile results for a specific table.\nReturns all column profiles with metrics."),
        ("get_profile_alerts", [("source_name", "Optional[str]"), ("severity", "Optional[str]")],
         "List[Dict[str, Any]]", "Get all profile alerts.\nReturns alerts from profile results, optionally filtered."),
        ("get_profile_stats", [], "Dict[str, Any]",
         "Get profiling statistics.\nReturns counts of profiled tables, columns, alerts."),
    ],
)
def test_endpoint_introspection(name, params, returns, doc):
    fn = getattr(profile, name)
    assert inspect.iscoroutinefunction(fn) and asyncio.iscoroutinefunction(fn)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        name, name, "strix.task.docs.api.profile", doc)
    sig = inspect.signature(fn)
    assert [(p.name, p.annotation) for p in sig.parameters.values()] == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert sig.return_annotation == returns
    assert fn.__annotations__ == dict(params, **{"return": returns})
    assert fn.__kwdefaults__ is None
    assert fn.__globals__ is vars(profile)


def test_defaults_are_the_query_declarations():
    (mode,) = profile.get_table_profile.__defaults__
    source, severity = profile.get_profile_alerts.__defaults__
    assert all(isinstance(d, QueryParam) for d in (mode, source, severity))
    assert [d.description for d in (mode, source, severity)] == [
        "Profile mode filter", "Filter by source", "Filter by severity: info, warning, error"]
    # The signature hands FastAPI the very same objects.
    assert inspect.signature(profile.get_table_profile).parameters["mode"].default is mode
    assert profile.list_profiled_tables.__defaults__ is None


def test_set_project_root_surface():
    fn = profile.set_project_root
    assert not inspect.iscoroutinefunction(fn)
    assert fn.__doc__ == "Set project root for API access."
    assert fn.__annotations__ == {"project_root": "Path", "return": "None"}
    assert profile._get_store.__doc__ == "Get metadata store instance (lazy initialization)."
    assert profile._get_store.__annotations__ == {}
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        profile._get_store(1)


# --- project root and store access ----------------------------------------------


@pytest.mark.parametrize("name", ENDPOINTS)
@pytest.mark.parametrize("root", ["never set", None])
def test_unconfigured_root_is_500_without_a_store(store, name, root):
    if root == "never set":
        profile._project_root = None
    else:
        profile.set_project_root(None)
    with pytest.raises(HTTPException) as info:
        run(getattr(profile, name)(*ENDPOINTS[name]))
    assert (info.value.status_code, info.value.detail) == (500, "Project root not configured")
    assert info.value.__context__ is None
    assert FakeStore.instances == []


def test_set_project_root_keeps_the_object_and_skips_initialize(store):
    root = object()
    assert profile.set_project_root(project_root=root) is None
    assert profile._project_root is root and profile._store_initialized is True
    s = profile._get_store()
    assert isinstance(s, FakeStore) and s.project_root is root and s.calls == []


def test_initialize_runs_once_while_flag_is_false(store, tmp_path):
    profile._store_initialized = False
    first, second = profile._get_store(), profile._get_store()
    assert first.calls == [("initialize",)] and second.calls == []
    assert profile._store_initialized is True
    # The flag is read from the module namespace at every call.
    profile._store_initialized = 0
    assert profile._get_store().calls == [("initialize",)]


@pytest.mark.parametrize(
    "op, exc, detail",
    [
        ("__init__", ValueError("disk on fire"), "disk on fire"),
        ("__init__", KeyError("k"), "'k'"),
        ("initialize", OSError("read-only"), "read-only"),
    ],
)
def test_store_failures_become_500_with_context(store, op, exc, detail):
    profile._store_initialized = False
    FakeStore.fail = {op: exc}
    with pytest.raises(HTTPException) as info:
        run(profile.list_profiled_tables())
    assert (info.value.status_code, info.value.detail) == (500, "Could not open metadata store: " + detail)
    assert info.value.__context__ is exc and info.value.__cause__ is None
    assert all(s.closes() == 0 for s in FakeStore.instances)
    assert profile._store_initialized is False


def test_missing_store_module_is_500(store, monkeypatch):
    monkeypatch.setitem(sys.modules, "strix.compute.metadata", None)
    with pytest.raises(HTTPException) as info:
        profile._get_store()
    assert info.value.detail.startswith("Could not open metadata store: import of strix.compute.metadata halted")
    assert isinstance(info.value.__context__, ImportError)


def test_base_exceptions_pass_through_get_store(store):
    FakeStore.fail = {"__init__": KeyboardInterrupt()}
    with pytest.raises(KeyboardInterrupt):
        profile._get_store()


def test_http_exception_is_looked_up_at_call_time(store, monkeypatch):
    class Custom(Exception):
        def __init__(self, status_code, detail):
            self.status_code, self.detail = status_code, detail

    monkeypatch.setattr(profile, "HTTPException", Custom)
    FakeStore.fail = {"__init__": RuntimeError("x")}
    with pytest.raises(Custom) as info:
        profile._get_store()
    assert info.value.detail == "Could not open metadata store: x"
    assert info.value.args == ()  # built with keywords only


def test_get_store_is_looked_up_at_each_call(store, monkeypatch):
    sentinel = FakeStore("elsewhere")
    FakeStore.instances.clear()
    monkeypatch.setattr(profile, "_get_store", lambda: sentinel)
    FakeStore.tables = [("s", "t", "m", None)]
    assert run(profile.list_profiled_tables()) == [
        {"source_name": "s", "table_name": "t", "profile_mode": "m", "last_profiled": None}]
    assert sentinel.calls == [("get_all_profiled_tables",), ("close",)]
    assert FakeStore.instances == []


def test_handled_exception_of_the_caller_is_left_alone(store):
    FakeStore.fail = {"__init__": ValueError("inner")}

    async def main():
        try:
            raise LookupError("outer")
        except LookupError:
            with pytest.raises(HTTPException) as info:
                await profile.list_profiled_tables()
            return info.value, sys.exception()

    exc, handled = run(main())
    assert isinstance(handled, LookupError)
    assert isinstance(exc.__context__, ValueError)
    assert isinstance(exc.__context__.__context__, LookupError)


# --- the endpoint frame: close() once in every outcome --------------------------


class Boom(Exception):
    pass


OUTCOMES = {
    "list_profiled_tables": {"ok": {}, "store raises": {"get_all_profiled_tables": Boom()}},
    "get_table_profile": {"ok": {}, "store raises": {"get_table_profile": Boom()}},
    "get_profile_alerts": {"ok": {}, "store raises": {"get_profile_alerts": Boom()}},
    "get_profile_stats": {"ok": {}, "store raises": {"get_all_profiled_tables": Boom()}},
}


@pytest.mark.parametrize(
    "name, outcome", [(n, o) for n, outcomes in OUTCOMES.items() for o in outcomes])
def test_close_once_per_outcome(store, name, outcome):
    FakeStore.profiles = [record()]
    FakeStore.fail = OUTCOMES[name][outcome]
    coro = getattr(profile, name)(*ENDPOINTS[name])
    if outcome == "ok":
        run(coro)
    else:
        with pytest.raises(Boom):
            run(coro)
    assert last_store().closes() == 1
    assert last_store().calls[-1] == ("close",)


@pytest.mark.parametrize(
    "profiles, error",
    [
        ([], HTTPException),
        (None, HTTPException),
        ([record(histogram="{not json")], ValueError),
        ([record(alerts="[1,")], ValueError),
        ([SimpleNamespace(profile_mode="m", row_count=1)], AttributeError),
        ([record(profiled_at=42)], AttributeError),
        (iter([record()]), TypeError),  # no len()
    ],
)
def test_table_profile_failures_close_the_store(store, profiles, error):
    FakeStore.profiles = profiles
    with pytest.raises(error) as info:
        run(profile.get_table_profile("raw", "orders", None))
    if error is HTTPException:
        assert (info.value.status_code, info.value.detail) == (404, "No profile found for raw.orders")
    assert last_store().closes() == 1


@pytest.mark.parametrize("work_fails", [False, True])
def test_exception_from_close_replaces_outcome(store, work_fails):
    closing = RuntimeError("close failed")
    FakeStore.fail = {"close": closing}
    if work_fails:
        FakeStore.fail["get_all_profiled_tables"] = Boom()
    with pytest.raises(RuntimeError) as info:
        run(profile.list_profiled_tables())
    assert info.value is closing
    assert isinstance(info.value.__context__, Boom) if work_fails else info.value.__context__ is None
    assert last_store().closes() == 1


@pytest.mark.parametrize("failure", [None, Boom, KeyboardInterrupt])
def test_close_runs_as_a_finally_block(store, monkeypatch, failure):
    # While close() runs, the pending exception (an Exception or not) is the
    # one being handled, as in a finally block; afterwards it continues and
    # the caller's own handled exception is back in place.
    seen = []
    monkeypatch.setattr(FakeStore, "close", lambda self: seen.append(sys.exception()))
    if failure:
        FakeStore.fail = {"get_all_profiled_tables": failure()}
    outer = LookupError("handled by the caller")
    try:
        raise outer
    except LookupError:
        try:
            run(profile.list_profiled_tables())
        except BaseException as e:
            assert type(e) is failure and e.__context__ is outer
        else:
            assert failure is None
        assert sys.exception() is outer
    if failure:
        assert type(seen[0]) is failure
    else:
        assert seen == [outer]


def test_base_exception_from_the_store_still_closes(store):
    FakeStore.fail = {"get_profile_alerts": KeyboardInterrupt()}
    with pytest.raises(KeyboardInterrupt):
        run(profile.get_profile_stats())
    assert last_store().closes() == 1


# --- results ----------------------------------------------------------------------


def test_list_profiled_tables(store):
    when = datetime(2024, 5, 6, 7, 8, 9, 123456)
    day = date(2024, 1, 2)
    FakeStore.tables = [
        ("raw", "orders", "full", when, "extra"),
        ["crm", 7, None, None],
        ("lake", "events", "sample", day),
        ("x", "y", "z", ""),
    ]
    assert run(profile.list_profiled_tables()) == [
        {"source_name": "raw", "table_name": "orders", "profile_mode": "full",
         "last_profiled": "2024-05-06T07:08:09.123456"},
        {"source_name": "crm", "table_name": 7, "profile_mode": None, "last_profiled": None},
        {"source_name": "lake", "table_name": "events", "profile_mode": "sample", "last_profiled": "2024-01-02"},
        {"source_name": "x", "table_name": "y", "profile_mode": "z", "last_profiled": None},
    ]
    assert list(run(profile.list_profiled_tables())[0]) == [
        "source_name", "table_name", "profile_mode", "last_profiled"]


@pytest.mark.parametrize(
    "rows, error",
    [([("a", "b", "c")], IndexError), ([None], TypeError), (None, TypeError), ([("a", "b", "c", 5)], AttributeError)],
)
def test_list_profiled_tables_bad_rows(store, rows, error):
    FakeStore.tables = rows
    with pytest.raises(error):
        run(profile.list_profiled_tables())
    assert last_store().closes() == 1


def test_list_profiled_tables_reads_each_row_like_python(store):
    reads = []

    class Row:
        def __getitem__(self, i):
            reads.append(i)
            return [("s"), ("t"), ("m"), datetime(2020, 1, 1)][i]

    FakeStore.tables = [Row()]
    run(profile.list_profiled_tables())
    assert reads == [0, 1, 2, 3, 3]


def test_table_profile_result(store):
    when = datetime(2024, 3, 4, 5, 6, 7)
    FakeStore.profiles = [
        record("id", profile_mode="full", row_count=100, profiled_at=when, null_count=0, min_value=1,
               histogram='[{"bin": "0-10", "count": 4}]', top_values='[["a", 3]]', alerts='[{"type": "x"}]',
               duration_ms=12),
        record("name", profile_mode="other", row_count=5, profiled_at=None, histogram="", top_values="",
               alerts=None),
        record("flag", histogram='{"true": 1, "false": 2}', alerts="[]", avg_length=1.5),
    ]
    result = run(profile.get_table_profile("raw", "orders", None))
    assert list(result) == [
        "source_name", "table_name", "profile_mode", "row_count", "column_count", "profiled_at", "columns"]
    assert {k: v for k, v in result.items() if k != "columns"} == {
        "source_name": "raw", "table_name": "orders", "profile_mode": "full", "row_count": 100,
        "column_count": 3, "profiled_at": "2024-03-04T05:06:07"}
    columns = result["columns"]
    assert [list(c) for c in columns] == [COLUMN_KEYS] * 3
    assert [c["column_name"] for c in columns] == ["id", "name", "flag"]
    assert columns[0] | {} == dict.fromkeys(COLUMN_KEYS) | {
        "column_name": "id", "null_count": 0, "min_value": 1, "histogram": [{"bin": "0-10", "count": 4}],
        "top_values": [["a", 3]], "alerts": [{"type": "x"}], "duration_ms": 12}
    assert (columns[1]["histogram"], columns[1]["top_values"], columns[1]["alerts"]) == (None, None, [])
    assert columns[2]["histogram"] == {"true": 1, "false": 2} and columns[2]["avg_length"] == 1.5
    assert columns[1]["alerts"] is not columns[2]["alerts"]
    assert last_store().calls == [("get_table_profile", "raw", "orders", None), ("close",)]


def test_table_profile_values_pass_through_unchanged(store):
    marker = object()
    FakeStore.profiles = (record(profile_mode=marker, row_count=marker, min_value=marker, duration_ms=marker),)
    result = run(profile.get_table_profile("s", "t", mode="sample"))
    assert result["profile_mode"] is marker and result["row_count"] is marker
    assert result["columns"][0]["min_value"] is marker and result["columns"][0]["duration_ms"] is marker
    assert last_store().calls[0] == ("get_table_profile", "s", "t", "sample")


def test_table_profile_reads_attributes_in_order(store):
    reads = []

    class Record:
        def __getattr__(self, name):
            reads.append(name)
            return {"histogram": "[1]", "top_values": None, "alerts": "[2]", "profiled_at": None}.get(name, 0)

    FakeStore.profiles = [Record()]
    run(profile.get_table_profile("s", "t", None))
    assert reads == ["profile_mode", "row_count", "profiled_at"] + COLUMN_KEYS[:17] + [
        "histogram", "top_values", "alerts", "alerts", "duration_ms"]


def test_table_profile_uses_json_loads_of_the_json_module(store, monkeypatch):
    import json

    seen = []
    monkeypatch.setattr(json, "loads", lambda text: seen.append(text) or "decoded")
    FakeStore.profiles = [record(histogram="[1, 2]", top_values="{}", alerts="[]")]
    column = run(profile.get_table_profile("s", "t", None))["columns"][0]
    assert (column["histogram"], column["top_values"], column["alerts"]) == ("decoded",) * 3
    assert seen == ["[1, 2]", "{}", "[]"]


def test_alerts_without_filter_are_the_store_list(store):
    alerts = [{"severity": "info"}, {"type": "x"}]
    FakeStore.alerts = alerts
    assert run(profile.get_profile_alerts(None, None)) is alerts
    assert run(profile.get_profile_alerts(None, severity="")) is alerts
    assert [s.calls[0] for s in FakeStore.instances] == [("get_profile_alerts", None)] * 2


def test_alerts_source_goes_to_the_store_only(store):
    FakeStore.alerts = [{"source_name": "other"}]
    assert run(profile.get_profile_alerts("raw", None)) == [{"source_name": "other"}]
    assert last_store().calls[0] == ("get_profile_alerts", "raw")


def test_alerts_severity_filter(store):
    class Alert(dict):
        pass

    alerts = [{"severity": "warning", "n": 1}, {"severity": "Warning"}, {"n": 3},
              Alert(severity="warning", n=4), {"severity": "error"}]
    FakeStore.alerts = alerts
    result = run(profile.get_profile_alerts(source_name="raw", severity="warning"))
    assert result == [alerts[0], alerts[3]] and result[0] is alerts[0]
    assert result is not alerts


class FailingEq:
    """A severity whose == raises, or answers with a value whose truth raises."""

    def __init__(self, truth_fails=False):
        self.truth_fails = truth_fails

    def __eq__(self, other):
        if self.truth_fails:
            return FailingEq.Answer()
        raise ZeroDivisionError("eq")

    __hash__ = object.__hash__

    class Answer:
        def __bool__(self):
            raise ZeroDivisionError("bool")


@pytest.mark.parametrize(
    "returned, severity, expected",
    [
        (None, None, None),
        ([{"severity": FailingEq()}], "info", ZeroDivisionError("eq")),
        ([{"severity": FailingEq(truth_fails=True)}], "info", ZeroDivisionError("bool")),
        ((), None, TypeError("Expected list, got tuple")),
        (None, "info", TypeError),
        ([{"severity": "info"}], "info", [{"severity": "info"}]),
        (({"severity": "info"},), "info", [{"severity": "info"}]),
        ([object()], "info", AttributeError),
    ],
)
def test_alerts_result_type(store, returned, severity, expected):
    FakeStore.alerts = returned
    coro = profile.get_profile_alerts(None, severity)
    if isinstance(expected, type) or isinstance(expected, Exception):
        with pytest.raises(expected if isinstance(expected, type) else type(expected)) as info:
            run(coro)
        if isinstance(expected, Exception):
            assert str(info.value) == str(expected)
    else:
        assert run(coro) == expected
    assert last_store().closes() == 1


def test_alerts_list_subclass_is_rejected(store):
    class AlertList(list):
        pass

    FakeStore.alerts = AlertList()
    with pytest.raises(TypeError, match="^Expected list, got AlertList$"):
        run(profile.get_profile_alerts(None, None))


def test_stats(store):
    FakeStore.tables = [("a",), ("b",)]
    FakeStore.alerts = [
        {"type": "A", "severity": "warning"}, {"type": "A"}, {"type": "B", "severity": "error"},
        {"severity": "warning"},
    ]
    result = run(profile.get_profile_stats())
    assert result == {"total_tables": 2, "total_alerts": 4,
                      "alerts_by_type": {"A": 2, "B": 1, "unknown": 1},
                      "alerts_by_severity": {"warning": 2, "info": 1, "error": 1}}
    assert list(result) == ["total_tables", "total_alerts", "alerts_by_type", "alerts_by_severity"]
    assert list(result["alerts_by_type"]) == ["A", "B", "unknown"]
    assert list(result["alerts_by_severity"]) == ["warning", "info", "error"]
    assert last_store().calls == [("get_all_profiled_tables",), ("get_profile_alerts",), ("close",)]


def test_stats_empty_and_custom_mappings(store):
    assert run(profile.get_profile_stats()) == {
        "total_tables": 0, "total_alerts": 0, "alerts_by_type": {}, "alerts_by_severity": {}}

    class Alert:
        def __init__(self):
            self.gets = []

        def get(self, key, default=None):
            self.gets.append((key, default))
            return default

    a = Alert()
    FakeStore.alerts = [a]
    assert run(profile.get_profile_stats())["alerts_by_type"] == {"unknown": 1}
    assert a.gets == [("type", "unknown"), ("severity", "info")]


# --- argument checks and coroutine objects -------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message, note",
    [
        (lambda: profile.get_table_profile(1, "t", None), "Argument 'source_name' has incorrect type (expected str, got int)", False),
        (lambda: profile.get_table_profile("s", None, None), "Argument 'table_name' has incorrect type (expected str, got NoneType)", False),
        (lambda: profile.get_table_profile("s", "t", mode=b"x"), "Argument 'mode' has incorrect type (expected str, got bytes)", False),
        (lambda: profile.get_table_profile("s", Text("t"), None), "Argument 'table_name' has incorrect type (expected str, got Text)", True),
        (lambda: profile.get_profile_alerts(None, severity=3), "Argument 'severity' has incorrect type (expected str, got int)", False),
        (lambda: profile.get_profile_alerts(Text("s"), None), "Argument 'source_name' has incorrect type (expected str, got Text)", True),
    ],
)
def test_argument_checks_before_any_coroutine(store, call, message, note):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert bool(getattr(info.value, "__notes__", None)) == note
    assert FakeStore.instances == []


def test_coroutine_protocol(store):
    FakeStore.alerts = []
    coro = profile.get_profile_alerts(None, None)
    assert FakeStore.instances == []  # nothing runs before the first step
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value is FakeStore.alerts
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    unstarted = profile.get_profile_stats()
    unstarted.close()
    assert FakeStore.instances.__len__() == 1
    unstarted = profile.get_profile_stats()
    assert asyncio.iscoroutine(unstarted)
    unstarted.close()


async def python_endpoint():
    """A Python coroutine, for comparison."""
    return []


@pytest.mark.parametrize("make", [python_endpoint, profile.list_profiled_tables], ids=["python", "native"])
def test_coroutines_behave_as_python_coroutines(store, monkeypatch, make):
    # Not iterable; __await__ gives an iterator of its own that drives it.
    coro = make()
    for use in (iter, list, next, lambda c: [x for x in c], lambda c: list((lambda: (yield from c))())):
        with pytest.raises(TypeError):
            use(coro)
    steps = coro.__await__()
    assert steps is not coro and iter(steps) is steps
    assert {"send", "throw", "close"} <= set(dir(steps))

    # What inspect reads, before, while and after the body runs.
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    assert coro.cr_code is make.__code__ and coro.cr_await is None and not coro.cr_suspended
    seen = []

    def reenter(self):
        seen.append((inspect.getcoroutinestate(coro), coro.cr_running))
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            coro.send(None)
        return []

    monkeypatch.setattr(FakeStore, "get_all_profiled_tables", reenter)
    with pytest.raises(StopIteration):
        next(steps)
    assert seen == ([] if make is python_endpoint else [(inspect.CORO_RUNNING, True)])
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None

    # Renamed, weakly referenced, collected.
    coro.__name__, coro.__qualname__ = "renamed", "Outer.renamed"
    assert (coro.__name__, coro.__qualname__) == ("renamed", "Outer.renamed")
    assert "Outer.renamed" in repr(coro)
    ref = weakref.ref(coro)
    del coro, steps
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("make", [python_endpoint, profile.list_profiled_tables], ids=["python", "native"])
def test_coroutines_dropped_unawaited_warn(store, make):
    name = make.__qualname__
    with pytest.warns(RuntimeWarning, match=f"^coroutine '{name}' was never awaited$"):
        make()
        gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        make().close()  # closing an unstarted coroutine is not a mistake
        gc.collect()


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
def test_unawaited_coroutines_do_not_leak(store, leak_check):
    leak_check(lambda: profile.get_table_profile("raw", "orders", "full"))
    leak_check(lambda: profile.get_profile_alerts("s", Text("x")))


def test_awaited_endpoints_do_not_leak(store, leak_check):
    FakeStore.profiles = [record(histogram='[{"a": 1}]', alerts='[{"b": [1.5, null]}]')]
    FakeStore.alerts = [{"type": "x", "severity": "info"}]

    def once():
        FakeStore.instances.clear()
        for coro in (profile.get_table_profile("s", "t", None), profile.get_profile_stats(),
                     profile.get_profile_alerts(None, "info")):
            try:
                coro.send(None)
            except StopIteration:
                pass

    leak_check(once, calls=300)
    FakeStore.profiles = []  # the 404 path: an exception with a context-free traceback

    def not_found():
        FakeStore.instances.clear()
        profile.get_table_profile("s", "t", None).send(None)

    leak_check(not_found, calls=500)
