"""Property-based fuzzing of strix.task.docs.api.profile.

The endpoints run against fake metadata stores (bound through `_get_store`)
whose methods answer with hostile things: short or non-indexable rows, items
and attributes that raise, timestamps whose truth value or `isoformat`
misbehaves, JSON fields that are not text, not JSON, deeply nested or full
of huge numbers and lone surrogates, sequences whose `len`, truth value,
indexing or iteration raise, alerts that are no mappings or whose `get`
misbehaves, lists that change while they are walked, and `close()` that
raises. Each endpoint must give exactly what the pure-Python endpoints below
(the same steps written out) give: the same result object for object, or the
same exception with the same text, context and status; the store is closed
exactly once whenever it was obtained, and the store sees the same calls in
the same order. `_get_store` itself runs against fake store classes, and
every function is called with arbitrary arguments.

STRIX_FUZZ_EXAMPLES sets the examples per test (default 400); a larger value
runs a long session.
"""

import contextlib
import datetime
import os
import sys

import pytest
from hypothesis import given, strategies as st

from fuzzkit import EvilBase, Fatal, Hostile, Items, Text, WorldBase, fuzz_settings, mostly, outcome
import strix.compute.metadata as metadata
import strix.task.docs.api.profile as profile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
from pure_profile import table_profile_document  # noqa: E402

FUZZ = fuzz_settings(400)

# --- hostile building blocks -----------------------------------------------------------


class BadStr(Exception):
    def __str__(self):
        raise Hostile("str of the error")


RAISED = [Hostile, ValueError, TypeError, KeyError, IndexError, AttributeError, OSError, RecursionError,
          StopIteration, LookupError, BadStr, Fatal]
exc_types = st.sampled_from(RAISED)


class Evil(EvilBase):
    """EvilBase with the protocols the endpoints touch."""

    def __iter__(self):
        self._hit("iter")
        return iter([{"severity": "info"}])

    def __getitem__(self, key):
        self._hit("getitem")
        return "item"

    def get(self, *args):
        self._hit("get")
        return "warning"

    def isoformat(self):
        self._hit("isoformat")
        return "evil-time"


MODES = ["bool", "falsy", "eq", "hash", "len", "iter", "getitem", "get", "isoformat", "ok"]


ODD = [lambda: None, lambda: 0, lambda: -1, lambda: 2**80, lambda: 10**5000, lambda: 1.5, lambda: float("nan"),
       lambda: float("inf"), lambda: True, lambda: False, lambda: "", lambda: "x", lambda: "\ud800",
       lambda: "a\x00b", lambda: b"[1]", lambda: bytearray(b"{}"), lambda: [], lambda: [1], lambda: (), lambda: {},
       lambda: {"severity": "info"}, lambda: set(), lambda: object(), lambda: Text("[2]"), lambda: Items([3]),
       lambda: datetime.datetime(2024, 1, 2, 3, 4, 5), lambda: datetime.date(2024, 1, 2)]
class World(WorldBase):
    """WorldBase with values that raise as they are made, and the stores of
    the run."""

    ODD = ODD
    EVIL = Evil
    MAX_DEPTH = 30

    def __init__(self):
        super().__init__()
        self.stores = []

    def other_value(self, recipe):
        if recipe[0] == "raise":
            raise recipe[1](recipe[0])
        raise AssertionError(recipe)


odd_spec = st.tuples(st.just("odd"), st.integers(0, len(ODD) - 1))
evil_spec = st.tuples(st.just("evil"), st.sampled_from(MODES), exc_types)
raise_spec = st.tuples(st.just("raise"), exc_types)
texts = st.one_of(st.sampled_from(["raw", "orders", "", "\ud800", "a\x00b", "full", "sample", "warning", "info"]),
                  st.text(max_size=5))


# Each kind of value comes benign or hostile; a container of benign items
# gets at most one hostile item, so that the steps after it run too.
benign_plain = st.one_of(texts, st.integers(), st.floats(), st.none()).map(lambda v: ("lit", v))
hostile_plain = st.one_of(odd_spec, evil_spec, raise_spec)


class Meddler:
    """Changes the list being walked (a few times) when triggered."""

    def __init__(self, world, action, make):
        self.world, self.action, self.make = world, action, make
        self.target, self.budget = None, 2

    def __call__(self):
        if not isinstance(self.target, list) or self.budget <= 0:
            return
        self.budget -= 1
        self.world.note("meddle", self.action)
        if self.action == "append":
            self.target.append(self.make())
        elif self.action == "pop" and self.target:
            self.target.pop(0)
        elif self.action == "clear":
            self.target.clear()


class Stamp:
    """A profile time whose truth value and isoformat() act by the recipe."""

    def __init__(self, world, truth, iso, meddler=None):
        self.world, self.truth, self.iso, self.meddler = world, truth, iso, meddler

    def __bool__(self):
        self.world.note("stamp.bool")
        if self.meddler:
            self.meddler()
        if self.truth[0] == "raise":
            raise self.truth[1]("bool")
        return self.truth[0] == "true"

    def isoformat(self, *args):
        self.world.note("isoformat", list(args))
        return self.world.value(self.iso)


DATETIME = len(ODD) - 2
benign_stamp = st.one_of(
    st.tuples(st.just("stamp"), st.just(("true",)), st.just(("lit", "2024-01-02T03:04:05")), st.none()),
    st.sampled_from([None, 0, ""]).map(lambda v: ("lit", v)),
    st.sampled_from([("odd", DATETIME), ("odd", DATETIME + 1)]))
hostile_stamp = st.one_of(
    st.tuples(st.just("stamp"), st.one_of(st.just(("true",)), st.just(("false",)), raise_spec),
              st.one_of(st.sampled_from(["", "\ud800"]).map(lambda s: ("lit", s)), odd_spec, evil_spec, raise_spec),
              st.one_of(st.none(), st.sampled_from(["pop", "clear", "append"]))),
    st.sampled_from(["2024-01-02", 5]).map(lambda v: ("lit", v)), odd_spec, evil_spec)


def build_stamp(world, recipe, row=None):
    if recipe[0] != "stamp":
        return world.value(recipe)
    meddler = Meddler(world, recipe[3], lambda: "extra") if recipe[3] else None
    if meddler:
        meddler.target = row
    return world.tag(Stamp(world, recipe[1], recipe[2], meddler))


# --- rows of get_all_profiled_tables -------------------------------------------------------


class Row:
    """An indexable row whose item reads are logged and may raise."""

    def __init__(self, world, cells, failing):
        self.world, self.cells, self.failing = world, cells, failing

    def __getitem__(self, index):
        self.world.note("row[]", index)
        if index in self.failing:
            raise self.failing[index]("item")
        return self.cells[index]


ROW_KINDS = st.sampled_from(["tuple", "list", "list", "row", "dict"])
benign_row = st.tuples(ROW_KINDS, st.lists(benign_plain, min_size=3, max_size=3), benign_stamp, st.just({}))
hostile_row = st.one_of(
    st.tuples(ROW_KINDS, st.lists(mostly(benign_plain, hostile_plain, odds=1), min_size=3, max_size=3),
              st.one_of(benign_stamp, hostile_stamp), st.dictionaries(st.integers(0, 3), exc_types, max_size=1)),
    st.tuples(st.just("short"), st.lists(benign_plain, max_size=3)), odd_spec, evil_spec)


def build_row(world, recipe):
    kind = recipe[0]
    if kind == "short":
        return world.tag(tuple(world.value(v) if v[0] != "raise" else None for v in recipe[1]))
    if kind not in ("tuple", "list", "row", "dict"):
        return world.value(recipe)
    cells = [world.value(v) if v[0] != "raise" else world.tag(Evil("bool", v[1])) for v in recipe[1]]
    row = [] if kind == "list" else None
    cells.append(build_stamp(world, recipe[2], row))
    if kind == "list":
        row.extend(cells)
        return world.tag(row)
    if kind == "tuple":
        return world.tag(tuple(cells))
    if kind == "dict":
        return world.tag(dict(enumerate(cells)))
    return world.tag(Row(world, cells, recipe[3]))


# --- column-profile records ----------------------------------------------------------------

COLUMN_FIELDS = ["column_name", "null_count", "null_percent", "distinct_count", "distinct_percent", "min_value",
                 "max_value", "mean_value", "median_value", "stddev_value", "p25", "p50", "p75", "min_length",
                 "max_length", "avg_length", "histogram", "top_values", "alerts", "duration_ms"]
JSON_FIELDS = {"histogram", "top_values", "alerts"}
JSON_TEXTS = ['[{"bin": "0-10", "count": 4}]', '{"a": {"b": [1.5, null, true, "x"]}}', '"\\ud800"', '"\ud800x"',
              '[1e400, -0.0, 5e-324]', "[" + "9" * 30 + "]", '{"a": 1, "a": 2}', "[NaN, -Infinity]",
              "[" * 50 + "]" * 50, "[" * 150 + "]" * 150, "[" * 3000 + "]" * 3000, '{"k": ' * 120 + "1" + "}" * 120,
              "null", "0", "false", '"caf\\u00e9 \\ud83d\\ude00"', "[]", "{}", ""]
BAD_JSON_TEXTS = ["not json", "[1,]", "   ", "\ufeff[]", '"a\x00b"', "[" + "9" * 5000 + "]",
                  "[" * 100000 + "]" * 100000, "\ud800"]
benign_json = st.one_of(st.sampled_from(JSON_TEXTS), st.none()).map(lambda t: ("lit", t))
hostile_json = st.one_of(st.sampled_from(BAD_JSON_TEXTS + [0, b"[1]", 5, bytearray(b"[")]).map(lambda t: ("lit", t)),
                         odd_spec, evil_spec, raise_spec)


class Record:
    """A column profile: attribute reads are logged, may raise, and one of
    them may change the list of records being walked."""

    def __init__(self, world, attrs, meddle_on=None, meddler=None):
        self.__dict__.update(_world=world, _attrs=attrs, _meddle_on=meddle_on, _meddler=meddler)

    def __getattr__(self, name):
        self._world.note("attr", name)
        if name == self._meddle_on and self._meddler:
            self._meddler()
        if name not in self._attrs:
            raise AttributeError(name)
        recipe = self._attrs[name]
        if recipe[0] == "stamp":
            return build_stamp(self._world, recipe)
        return self._world.value(recipe)


benign_attrs = st.fixed_dictionaries(
    {**{f: benign_plain for f in COLUMN_FIELDS if f not in JSON_FIELDS}, **{f: benign_json for f in JSON_FIELDS},
     "profile_mode": benign_plain, "row_count": benign_plain, "profiled_at": benign_stamp})
benign_record = benign_attrs.map(lambda attrs: (attrs, None))


def one_bad(attrs):
    """The record with one attribute hostile, or one or two missing."""
    def bad_value(name):
        kind = hostile_json if name in JSON_FIELDS else hostile_stamp if name == "profiled_at" else hostile_plain
        return kind.map(lambda v: {**attrs, name: v})

    return st.one_of(st.sampled_from(sorted(attrs)).flatmap(bad_value),
                     st.sets(st.sampled_from(sorted(attrs)), min_size=1, max_size=2).map(
                         lambda drop: {k: v for k, v in attrs.items() if k not in drop}))


hostile_record = benign_attrs.flatmap(lambda attrs: st.one_of(
    st.tuples(one_bad(attrs), st.none()),
    st.tuples(st.just(attrs), st.tuples(st.sampled_from(COLUMN_FIELDS + ["profile_mode"]),
                                        st.sampled_from(["append", "pop", "clear"]))))) | st.one_of(odd_spec,
                                                                                             evil_spec)


def build_record(world, recipe, records):
    if recipe[0] in ("odd", "evil"):
        return world.value(recipe)
    attrs, meddle = recipe
    meddler = None
    if meddle:
        meddler = Meddler(world, meddle[1], lambda: world.tag(Record(world, attrs)))
        records.append(meddler)
    return world.tag(Record(world, attrs, meddle[0] if meddle else None, meddler))


# --- alerts ----------------------------------------------------------------------------------


class AlertDict(dict):
    """A dict subclass whose get() is logged and acts by the recipe."""

    def get(self, key, *default):
        self._world.note("alert.get", key, list(default))
        if self._meddler:
            self._meddler()
        if self._get[0] == "real":
            return super().get(key, *default)
        return self._world.value(self._get)


ALERT_KEYS = st.sampled_from(["severity", "type", "severity", "type", "column", "message"])
benign_alert_value = st.sampled_from(["info", "warning", "error", "WARNING", "nulls", "skew", None, 5, 1.0,
                                      True]).map(lambda v: ("lit", v))
hostile_alert_value = st.one_of(st.just(("lit", float("nan"))), odd_spec, evil_spec)
benign_alert = st.tuples(st.just("dict"), st.dictionaries(ALERT_KEYS, benign_alert_value, max_size=4))
hostile_alert = st.one_of(
    st.tuples(st.just("dict"), st.dictionaries(ALERT_KEYS, mostly(benign_alert_value, hostile_alert_value, odds=1),
                                               min_size=1, max_size=3)),
    st.tuples(st.just("sub"), st.dictionaries(ALERT_KEYS, benign_alert_value, max_size=3),
              st.one_of(st.just(("real",)), odd_spec, evil_spec, raise_spec),
              st.one_of(st.none(), st.sampled_from(["append", "pop", "clear"]))),
    odd_spec, evil_spec)


def build_alert(world, recipe, alerts):
    if recipe[0] not in ("dict", "sub"):
        return world.value(recipe)
    content = {k: world.value(v) for k, v in recipe[1].items()}
    if recipe[0] == "dict":
        return world.tag(content)
    alert = AlertDict(content)
    alert._world, alert._get, alert._meddler = world, recipe[2], None
    if recipe[3]:
        alert._meddler = Meddler(world, recipe[3], lambda: world.tag({"severity": "warning", "type": "late"}))
        alerts.append(alert._meddler)
    return world.tag(alert)


# --- the sequences a store returns ------------------------------------------------------------


class Seq:
    """A sequence whose len(), truth value, indexing or iteration raise."""

    def __init__(self, items, failing, exc):
        self.items, self.failing, self.exc = items, failing, exc

    def _hit(self, name):
        if self.failing == name:
            raise self.exc(name)

    def __len__(self):
        self._hit("len")
        return len(self.items)

    def __bool__(self):
        self._hit("bool")
        return bool(self.items)

    def __getitem__(self, i):
        self._hit("getitem")
        return self.items[i]

    def __iter__(self):
        self._hit("iter")
        return iter(self.items)


def with_one(items, extra):
    if extra is None:
        return items
    return items[:extra[0]] + [extra[1]] + items[extra[0]:]


def container(benign, hostile):
    items = st.tuples(st.lists(benign, max_size=4), st.one_of(st.none(), st.tuples(st.integers(0, 4), hostile))).map(
        lambda t: with_one(*t))
    return mostly(
        st.tuples(st.sampled_from(["list", "list", "list", "tuple", "sub", "gen"]), items),
        st.one_of(st.tuples(st.just("seq"), items, st.sampled_from(["len", "bool", "getitem", "iter", "none"]),
                            exc_types),
                  st.tuples(st.just("value"), st.one_of(odd_spec, evil_spec)), raise_spec))


def build_container(world, recipe, build_item):
    kind = recipe[0]
    if kind == "raise":
        raise recipe[1]("store")
    if kind == "value":
        return world.value(recipe[1])
    meddlers = []
    items = [build_item(world, s, meddlers) for s in recipe[1]]
    if kind == "seq":
        return world.tag(Seq(items, recipe[2], recipe[3]))
    out = {"list": list, "sub": Items, "tuple": tuple}.get(kind, lambda xs: (x for x in xs))(items)
    for m in meddlers:
        m.target = out
    return world.tag(out)


class Store:
    """A metadata store answering by the world's description; counts close()."""

    def __init__(self, world, recipe):
        self.world, self.recipe, self.closes = world, recipe, 0
        world.stores.append(self)

    def get_all_profiled_tables(self, *args):
        self.world.note("get_all_profiled_tables", list(args))
        return build_container(self.world, self.recipe["tables"], lambda w, s, m: build_row(w, s))

    def get_table_profile(self, *args):
        self.world.note("get_table_profile", list(args))
        return build_container(self.world, self.recipe["profiles"], build_record)

    def get_profile_alerts(self, *args):
        self.world.note("get_profile_alerts", list(args))
        return build_container(self.world, self.recipe["alerts"], build_alert)

    def close(self, *args):
        self.closes += 1
        self.world.note("close", list(args))
        if self.recipe["close"][0] == "raise":
            raise self.recipe["close"][1]("close")


store_spec = st.fixed_dictionaries({
    "open": mostly(st.just(("store",)), st.one_of(raise_spec, st.tuples(st.just("http"), st.sampled_from([500, 404])),
                                                  odd_spec), odds=6),
    "tables": container(benign_row, hostile_row),
    "profiles": container(benign_record, hostile_record),
    "alerts": container(benign_alert, hostile_alert),
    "close": mostly(st.just(("ok",)), raise_spec, odds=6),
})


@contextlib.contextmanager
def store_machine(recipe, world):
    """_get_store rebound to hand out a fake store (or fail)."""

    def get_store():
        world.note("_get_store")
        kind = recipe["open"]
        if kind[0] == "raise":
            raise kind[1]("open")
        if kind[0] == "http":
            raise profile.HTTPException(status_code=kind[1], detail="fake")
        if kind[0] == "odd":
            return world.value(kind)
        return Store(world, recipe)

    saved = profile._get_store
    profile._get_store = get_store
    try:
        yield
    finally:
        profile._get_store = saved


# --- the endpoints written out in Python ---------------------------------------------------------


async def ref_list_profiled_tables():
    store = profile._get_store()
    try:
        tables = store.get_all_profiled_tables()
        result = []
        for row in tables:
            result.append({
                "source_name": row[0],
                "table_name": row[1],
                "profile_mode": row[2],
                "last_profiled": row[3].isoformat() if row[3] else None,
            })
        return result
    finally:
        store.close()


async def ref_get_table_profile(source_name, table_name, mode):
    import json
    store = profile._get_store()
    try:
        profiles = store.get_table_profile(source_name, table_name, mode)
        if not profiles:
            raise profile.HTTPException(status_code=404, detail=f"No profile found for {source_name}.{table_name}")
        return table_profile_document(source_name, table_name, profiles, json)
    finally:
        store.close()


async def ref_get_profile_alerts(source_name, severity):
    store = profile._get_store()
    try:
        alerts = store.get_profile_alerts(source_name)
        if severity:
            alerts = [a for a in alerts if a.get("severity") == severity]
        if alerts is not None and type(alerts) is not list:
            raise TypeError(f"Expected list, got {type(alerts).__name__}")
        return alerts
    finally:
        store.close()


async def ref_get_profile_stats():
    store = profile._get_store()
    try:
        tables = store.get_all_profiled_tables()
        alerts = store.get_profile_alerts()
        alert_types = {}
        for alert in alerts:
            alert_type = alert.get("type", "unknown")
            alert_types[alert_type] = alert_types.get(alert_type, 0) + 1
        alert_severities = {}
        for alert in alerts:
            severity = alert.get("severity", "info")
            alert_severities[severity] = alert_severities.get(severity, 0) + 1
        return {
            "total_tables": len(tables),
            "total_alerts": len(alerts),
            "alerts_by_type": alert_types,
            "alerts_by_severity": alert_severities,
        }
    finally:
        store.close()


def ref_get_store():
    if profile._project_root is None:
        raise profile.HTTPException(status_code=500, detail="Project root not configured")
    try:
        from strix.compute.metadata import ProjectMetadataStore
        store = ProjectMetadataStore(profile._project_root)
        if not profile._store_initialized:
            store.initialize()
            profile._store_initialized = True
        return store
    except Exception as e:
        raise profile.HTTPException(status_code=500, detail="Could not open metadata store: " + str(e))


# --- running and comparing ---------------------------------------------------------------------


def drive(coro):
    """Awaits a coroutine that never suspends."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the endpoint suspended")


def describe_error(exc, world, depth=0):
    """Type, text, HTTP status and detail, and the chained exceptions."""
    if exc is None or depth > 3:
        return None
    try:
        text = str(exc)
    except Exception as e:
        text = ("unprintable", type(e))
    return (type(exc), text, world.canon(getattr(exc, "status_code", None)), world.canon(getattr(exc, "detail", None)),
            describe_error(exc.__context__, world, depth + 1), describe_error(exc.__cause__, world, depth + 1))


def same_run(native, reference):
    """Both runs ended alike, saw the same store calls, and closed every
    store they obtained exactly once."""
    (a, wa), (b, wb) = native, reference
    assert a[0] == b[0], (a, b)
    if a[0] == "raised":
        assert describe_error(a[1], wa) == describe_error(b[1], wb)
    else:
        assert wa.canon(a[1]) == wb.canon(b[1])
    assert wa.log == wb.log
    for world in (wa, wb):
        assert [s.closes for s in world.stores] == [1] * len(world.stores)


def run_both(recipe, machine, native, reference):
    runs = []
    for call in (native, reference):
        world = World()
        with machine(recipe, world):
            runs.append((outcome(lambda: drive(call())), world))
    same_run(*runs)
    return runs[0][0]


ENDPOINTS = [
    (lambda: profile.list_profiled_tables(), ref_list_profiled_tables),
    (lambda: profile.get_profile_stats(), ref_get_profile_stats),
]


@FUZZ
@given(recipe=store_spec)
def test_table_listing_and_stats_match_reference(recipe):
    for native, reference in ENDPOINTS:
        run_both(recipe, store_machine, native, reference)


@FUZZ
@given(recipe=store_spec, source=texts, table=texts, mode=st.one_of(st.none(), texts))
def test_table_profile_matches_reference(recipe, source, table, mode):
    kind, got = run_both(recipe, store_machine, lambda: profile.get_table_profile(source, table, mode),
                         lambda: ref_get_table_profile(source, table, mode))
    if kind == "value":
        assert list(got) == ["source_name", "table_name", "profile_mode", "row_count", "column_count",
                             "profiled_at", "columns"]
        assert all(list(c) == COLUMN_FIELDS for c in got["columns"])


@FUZZ
@given(recipe=store_spec, source=st.one_of(st.none(), texts),
       severity=st.one_of(st.none(), st.sampled_from(["", "warning", "info", "error", "WARNING", "\ud800"]), texts))
def test_alerts_match_reference(recipe, source, severity):
    run_both(recipe, store_machine, lambda: profile.get_profile_alerts(source, severity),
             lambda: ref_get_profile_alerts(source, severity))


def test_stop_iteration_from_the_store_is_no_return_value():
    """A StopIteration escaping an endpoint would read as its return value
    to whoever awaits it; it becomes a RuntimeError, as in any coroutine."""
    recipe = {"open": ("store",), "tables": ("raise", StopIteration), "profiles": ("raise", StopIteration),
            "alerts": ("raise", StopIteration), "close": ("ok",)}

    async def awaiting(endpoint):
        return await endpoint()

    for native, reference in ENDPOINTS:
        runs = []
        for call in (native, reference):
            world = World()
            with store_machine(recipe, world):
                runs.append((outcome(lambda: drive(awaiting(call))), world))
        same_run(*runs)
        (kind, exc), _ = runs[0]
        assert kind == "raised" and type(exc) is RuntimeError and type(exc.__cause__) is StopIteration


# --- _get_store against fake store classes ----------------------------------------------------------


class FakeStoreClass:
    """Stands in for ProjectMetadataStore: construction and initialize()
    act by the world's description."""

    def __init__(self, world, recipe):
        self.world, self.recipe = world, recipe

    def __call__(self, *args):
        self.world.note("construct", list(args))
        if self.recipe["construct"][0] == "raise":
            raise self.recipe["construct"][1]("construct")
        if self.recipe["construct"][0] == "odd":
            return self.world.value(self.recipe["construct"])
        return self.world.tag(OpenedStore(self.world, self.recipe))


class OpenedStore:
    def __init__(self, world, recipe):
        self.world, self.recipe = world, recipe

    def initialize(self, *args):
        self.world.note("initialize", list(args))
        if self.recipe["initialize"][0] == "raise":
            raise self.recipe["initialize"][1]("initialize")


open_spec = st.fixed_dictionaries({
    "root": mostly(st.sampled_from(["/project", ""]).map(lambda v: ("lit", v)),
                   st.one_of(st.just(("lit", None)), odd_spec, evil_spec)),
    "initialized": st.one_of(st.sampled_from([True, False, 0, 1, "", None]).map(lambda v: ("lit", v)), evil_spec),
    "construct": mostly(st.just(("ok",)), st.one_of(raise_spec, odd_spec)),
    "initialize": mostly(st.just(("ok",)), raise_spec),
    "module": mostly(st.just("present"), st.sampled_from(["missing", "no-class"])),
})


@contextlib.contextmanager
def opening_machine(recipe, world):
    saved = (profile._project_root, profile._store_initialized, profile._get_store)
    module = metadata
    if recipe["module"] == "missing":
        module = None
    elif recipe["module"] == "no-class":
        module = type(sys)("strix.compute.metadata")
    else:
        saved_class = metadata.ProjectMetadataStore
        metadata.ProjectMetadataStore = FakeStoreClass(world, recipe)
    saved_module = sys.modules["strix.compute.metadata"]
    sys.modules["strix.compute.metadata"] = module
    profile._project_root = world.value(recipe["root"])
    profile._store_initialized = world.value(recipe["initialized"])
    try:
        yield
    finally:
        sys.modules["strix.compute.metadata"] = saved_module
        if recipe["module"] == "present":
            metadata.ProjectMetadataStore = saved_class
        world.state = (world.canon(profile._project_root), world.canon(profile._store_initialized))
        profile._project_root, profile._store_initialized, profile._get_store = saved


@FUZZ
@given(recipe=open_spec)
def test_get_store_matches_reference(recipe):
    runs = []
    for call in (profile._get_store, ref_get_store):
        world = World()
        with opening_machine(recipe, world):
            runs.append((outcome(call), world))
    (a, wa), (b, wb) = runs
    same_run((a, wa), (b, wb))
    assert wa.state == wb.state


# --- arbitrary arguments for every function -----------------------------------------------------

FUNCTIONS = ["set_project_root", "_get_store", "list_profiled_tables", "get_table_profile", "get_profile_alerts",
             "get_profile_stats"]


def python_function(fn):
    """A Python function with the same name, parameters and defaults."""
    code = fn.__code__
    names = code.co_varnames[:code.co_argcount]
    defaults = fn.__defaults__ or ()
    ns = {f"_d{i}": d for i, d in enumerate(defaults)}
    first_default = len(names) - len(defaults)
    params = [n + (f"=_d{i - first_default}" if i >= first_default else "") for i, n in enumerate(names)]
    exec(f"def {fn.__name__}({', '.join(params)}):\n    return locals()", ns)
    return ns[fn.__name__]


def expected_entry_error(fn, args, kwargs):
    try:
        bound = python_function(fn)(*args, **kwargs)
    except TypeError as e:
        return e
    for name, value in bound.items():
        check = fn.__annotations__.get(name)
        if check in ("str", "Optional[str]") and type(value) is not str and not (check != "str" and value is None):
            e = TypeError(f"Argument '{name}' has incorrect type (expected str, got "
                          f"{type(value).__name__.encode()[:200].decode('utf-8', 'replace')})")
            if isinstance(value, str):
                e.add_note("Subclasses of built-in types are rejected: pass an exact 'str' object.")
            return e
    return None


argument = st.one_of(st.integers(0, len(ODD) - 1).map(lambda i: ODD[i]()),
                     st.builds(Evil, st.sampled_from(MODES), exc_types), texts, st.none(), st.integers())
KEYWORDS = ["project_root", "source_name", "table_name", "mode", "severity", "sevrity", "x"]
EMPTY = {"open": ("store",), "tables": ("list", []), "profiles": ("list", []), "alerts": ("list", []),
         "close": ("ok",)}


@FUZZ
@given(name=st.sampled_from(FUNCTIONS), args=st.lists(argument, max_size=4),
       kwargs=st.dictionaries(st.sampled_from(KEYWORDS), argument, max_size=2))
def test_arbitrary_arguments(name, args, kwargs):
    fn = getattr(profile, name)
    expected = expected_entry_error(fn, args, kwargs)
    world = World()
    saved = (profile._project_root, profile._store_initialized)
    profile._project_root = None
    with store_machine(EMPTY, world):
        kind, got = called = outcome(lambda: fn(*args, **kwargs))
        if kind == "value" and name not in ("set_project_root", "_get_store"):
            kind, got = outcome(lambda: drive(got))
        state = (profile._project_root, profile._store_initialized)
    profile._project_root, profile._store_initialized = saved
    if expected is not None:
        # Raised by the call itself, before any coroutine exists.
        assert called[0] == "raised" and type(got) is type(expected) and str(got) == str(expected), (got, expected)
        assert getattr(got, "__notes__", None) == getattr(expected, "__notes__", None)
        return
    if name == "set_project_root":
        assert kind == "value" and got is None
        assert state[0] is python_function(fn)(*args, **kwargs)["project_root"] and state[1] is True
    elif name == "get_table_profile":
        assert kind == "raised" and isinstance(got, profile.HTTPException) and got.status_code == 404
    elif name == "_get_store":  # the real one, with no project root
        assert kind == "raised" and got.status_code == 500 and got.detail == "Project root not configured"
    else:
        assert kind == "value" and got in ([], {"total_tables": 0, "total_alerts": 0, "alerts_by_type": {},
                                                "alerts_by_severity": {}})


# --- the JSON fields: cases the differential decoder test does not cover ---------------------------


class Reads:
    """A record whose JSON field gives a different object at each read."""

    def __init__(self, first, second):
        self.reads = [first, second]

    def __getattr__(self, name):
        if name == "histogram":
            return self.reads.pop(0) if len(self.reads) > 1 else self.reads[0]
        return None


@pytest.mark.parametrize("first, second", [
    ("[1]", "not json"), ("", "[1]"), ("[1]", b"[2]"), ("[1]", Text("[3]")), ("x", None), ("[1]", 7),
    ("[1]", "[" * 100000 + "]" * 100000), ("[1]", '"\ud800"'), ("[1]", "\x00"),
])
def test_json_field_is_read_once_for_the_test_and_once_for_decoding(first, second):
    """The truth test and the decoding read the attribute separately; the
    decoder sees the second value whatever it is (a str subclass, bytes,
    text deeper than the fast decoder goes, text json.loads rejects)."""
    def call(endpoint):
        world = World()
        recipe = dict(EMPTY, profiles=("list", []))

        class OneRecordStore(Store):
            def get_table_profile(self, *args):
                return [Reads(first, second)]

        saved = profile._get_store
        profile._get_store = lambda: OneRecordStore(world, recipe)
        try:
            return outcome(lambda: drive(endpoint("s", "t", None))), world
        finally:
            profile._get_store = saved

    same_run(call(profile.get_table_profile), call(ref_get_table_profile))
