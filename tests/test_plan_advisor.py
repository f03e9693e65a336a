"""strix.plan_advisor: decisions, entry checks, cache, hasattr semantics,
subclassing and introspection."""

import dataclasses
import inspect
import os
import signal
import subprocess
import sys
import threading
import time
import traceback
from types import SimpleNamespace as NS

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "bench"))

import pure_plan_advisor as ref  # noqa: E402
from strix import plan_advisor as pa  # noqa: E402
from strix.contracts.graph.manifest import Manifest  # noqa: E402

from conftest import assert_no_leak  # noqa: E402


def src(connection=None, meta=None, source_meta=None):
    return NS(connection=connection, meta=meta, source_meta=source_meta)


def model(sources=(), deps=(), uid="model.shop.m", package="shop", rtype="model"):
    return NS(unique_id=uid, resource_type=rtype, package_name=package,
              sources=list(sources), depends_on=NS(nodes=list(deps)))


SOURCES = {
    "source.shop.raw.orders": src("pg"),
    "source.shop.raw.items": src("pg"),
    "source.shop.lake.events": src("dbx"),
    "source.shop.crm.users": src("", meta={"connection": "mysql"}),
    "source.shop.none.x": src(None, meta={}, source_meta={"connection": "pg"}),
    "source.shop.sm.y": src(None, meta=None, source_meta={"connection": "pg"}),
    "source.shop.bare.z": src(None, meta=None, source_meta=None),
    "source.shop.upper.PG": src("PG"),
}


@pytest.fixture
def advisor():
    return pa.PlanAdvisor(Manifest(nodes={}, sources=dict(SOURCES)))


# --- the decision ----------------------------------------------------------

OUTCOMES = [
    # (node, override, target) -> (strategy, primary, reason, user_override)
    (model(["source.shop.raw.orders"], rtype="seed"), "spark", "dbx",
     ("pushdown", None, "Seed node - no source analysis needed", None)),
    (model(deps=["model.shop.up"]), "", "dbx",
     ("pushdown", "dbx", "Model refs materialized tables - pushdown to target 'dbx'", None)),
    (model(deps=["model.shop.up"]), "spark", None,
     ("pushdown", None, "No source dependencies - pushdown to default target", "spark")),
    (model(deps=[]), None, "dbx",
     ("pushdown", "dbx", "No source dependencies - pushdown to default target", None)),
    (model(["source.shop.bare.z"]), None, "",
     ("pushdown", "", "No source dependencies - pushdown to default target", None)),
    (model([["raw", "orders"]]), None, "dbx",
     ("federated", None, "Cross-target: source 'pg' != target 'dbx' - federation required", None)),
    (model([["raw", "orders"]]), "", "PG",
     ("federated", None, "Cross-target: source 'pg' != target 'PG' - federation required", "")),
    (model(["source.shop.raw.orders"]), "spark", "pg",
     ("pushdown", "pg", "All sources in target 'pg' - pushdown", None)),
    (model(["source.shop.raw.orders", "source.shop.raw.items"]), "spark", "",
     ("pushdown", "pg", "All sources in target 'pg' - pushdown", None)),
    (model(["source.shop.raw.orders", "source.shop.raw.items", ("lake", "events")]), "", None,
     ("federated", None, "Sources span 2 connections: ['dbx', 'pg'] - federation required", "")),
    (model(["source.shop.raw.orders", "source.shop.upper.PG"]), None, None,
     ("federated", None, "Sources span 2 connections: ['PG', 'pg'] - federation required", None)),
]


@pytest.mark.parametrize("node,override,target,expected", OUTCOMES)
def test_outcomes(advisor, node, override, target, expected):
    result = advisor.analyze(node, override, target)
    assert (result.strategy, result.primary_connection, result.reason, result.user_override) == expected
    assert type(result) is pa.QueryAnalysisResult
    # the reference implementation agrees on the whole record
    other = ref.PlanAdvisor(advisor.manifest).analyze(node, override, target)
    assert dataclasses.astuple(result) == dataclasses.astuple(other)


def test_seed_ignores_sources_and_returns_fresh_sets(advisor):
    seed = model(["source.shop.raw.orders"], rtype="seed")
    a, b = advisor.analyze(seed), advisor.analyze(seed)
    assert a.source_connections == set() and a.source_refs == set()
    assert a.source_connections is not b.source_connections
    assert advisor._source_connection_cache == {}


def test_sources_without_connection_keep_their_refs(advisor):
    result = advisor.analyze(model(["source.shop.bare.z", "source.unknown"]))
    assert result.source_refs == {"source.shop.bare.z", "source.unknown"}
    assert result.source_connections == set()
    assert result.reason == "No source dependencies - pushdown to default target"


def test_list_text_uses_repr_quoting():
    sources = {"source.p.a.b": src("it's"), "source.p.c.d": src("plain")}
    result = pa.PlanAdvisor(Manifest(sources=sources)).analyze(model(["source.p.a.b", "source.p.c.d"]))
    assert result.reason == "Sources span 2 connections: [\"it's\", 'plain'] - federation required"


class Shown(str):
    def __repr__(self):
        return "<shown>"

    def __str__(self):
        return "str-of-shown"


@pytest.mark.parametrize("names", [
    ["back\\slash", "new\nline", "tab\there", "both'\"quotes", "del\x7f"],
    ["caf\u00e9", "\u6570\u636e", "\U0001f600", "\u00a0nbsp", "plain"],
    ["", "x"],
])
def test_reason_texts_match_python_rendering(names):
    class Spread(pa.PlanAdvisor):
        def _map_sources_to_connections(self, source_refs):
            return set(names)

    class Single(pa.PlanAdvisor):
        def _map_sources_to_connections(self, source_refs):
            return {names[0]}

    node = model(["source.x"])
    assert Spread(Manifest()).analyze(node).reason == (
        f"Sources span {len(names)} connections: {sorted(names)} - federation required")
    for target in (None, "t\u00e9", "\U0001f600"):
        got = Single(Manifest()).analyze(node, target_connection=target)
        assert got.reason == ref.PlanAdvisor.analyze(Single(Manifest()), node, None, target).reason


@pytest.mark.parametrize("names", [
    ["back\\slash", "new\nline", "tab\there", "both'\"quotes", "del\x7f", "long plain name of a connection"],
    ["caf\u00e9", "\u6570\u636e", "\U0001f600", "\u00a0nbsp", "plain"],
    [f"c{i}" for i in range(8)],  # as many names as analyze takes straight from the mapping step
    [f"c{i}" for i in (9, 3, 11, 0, 7, 5, 1, 10, 2)],  # one more: sorted() of the set
    ["pg", "only"],
])
def test_reasons_from_the_module_own_mapping_match_python(names):
    # The own _map_sources_to_connections, with sources on these connections
    # (one repeated), so analyze builds the reason from the names it added.
    sources = {f"source.s{i}": src(name) for i, name in enumerate(names + names[:1])}
    node = model(list(sources))
    for target in (None, names[0], "elsewhere"):
        got = pa.PlanAdvisor(Manifest(sources=sources)).analyze(node, "spark", target)
        want = ref.PlanAdvisor(Manifest(sources=sources)).analyze(node, "spark", target)
        assert (got.reason, got.source_connections, got.strategy) == (want.reason, want.source_connections,
                                                                      want.strategy)
    single = {"source.one": src(names[-1])}
    for target in (None, names[-1], names[0]):
        got = pa.PlanAdvisor(Manifest(sources=single)).analyze(model(["source.one"]), None, target)
        want = ref.PlanAdvisor(Manifest(sources=single)).analyze(model(["source.one"]), None, target)
        assert (got.reason, got.primary_connection, got.strategy) == (want.reason, want.primary_connection,
                                                                      want.strategy)


def test_reason_texts_render_str_subclasses_as_python_does():
    class Odd(pa.PlanAdvisor):
        def _map_sources_to_connections(self, source_refs):
            return {Shown("pg")} if len(source_refs) == 1 else {Shown("pg"), "dbx"}

    advisor = Odd(Manifest())
    assert advisor.analyze(model(["a", "b"])).reason == \
        "Sources span 2 connections: ['dbx', <shown>] - federation required"
    assert advisor.analyze(model(["a"])).reason == "All sources in target 'str-of-shown' - pushdown"
    assert advisor.analyze(model(["a"]), target_connection="dbx").reason == \
        "Cross-target: source 'str-of-shown' != target 'dbx' - federation required"


class Hostile:
    """A value whose comparisons, truth or format() fail as `fails` says."""

    def __init__(self, fails):
        self.fails = fails

    def __eq__(self, other):
        if self.fails == "eq":
            raise ZeroDivisionError("eq")
        return Hostile("bool") if self.fails == "eq-answer" else NotImplemented

    def __ne__(self, other):
        if self.fails == "ne":
            raise ZeroDivisionError("ne")
        return NotImplemented

    def __bool__(self):
        if self.fails == "bool":
            raise ZeroDivisionError("bool")
        return True

    def __format__(self, format_spec):
        if self.fails == "format":
            raise ZeroDivisionError("format")
        return 5 if self.fails == "format-result" else "formatted"

    __hash__ = object.__hash__


@pytest.mark.parametrize("fails, node, target", [
    ("eq", NS(resource_type=Hostile("eq")), None),                    # node.resource_type == "seed"
    ("eq-answer", NS(resource_type=Hostile("eq-answer")), None),      # ... whose answer's truth fails
    ("ne", model(["a"]), "dbx"),                                       # target != the single connection
    ("format", model([(Hostile("format"), "t")]), None),               # format() in the source id
    ("format-result", model([(Hostile("format-result"), "t")]), None),  # __format__ returning no str
])
def test_errors_inside_operators_and_conversions_propagate(fails, node, target):
    def subclass(base):
        class One(base):
            def _map_sources_to_connections(self, source_refs):
                return {Hostile(fails)} if fails == "ne" else base._map_sources_to_connections(self, source_refs)
        return One(Manifest())

    with pytest.raises(Exception) as expected:
        ref.PlanAdvisor.analyze(subclass(ref.PlanAdvisor), node, None, target)
    with pytest.raises(type(expected.value)) as got:
        subclass(pa.PlanAdvisor).analyze(node, None, target)
    assert str(got.value) == str(expected.value)


def test_reason_conversions_do_not_leak(leak_check):
    class Odd(pa.PlanAdvisor):
        def _map_sources_to_connections(self, source_refs):
            return {Shown("pg"), "dbx", "it's"}

    advisor, node = Odd(Manifest()), model(["a"])
    leak_check(lambda: advisor.analyze(node).reason)


# --- source references and connections ---------------------------------------

@pytest.mark.parametrize("sources,expected", [
    ([("raw", "orders")], {"source.shop.raw.orders"}),
    ([["raw", "orders"], "source.shop.raw.orders"], {"source.shop.raw.orders"}),
    (["any text at all"], {"any text at all"}),
    ([("a",), ("a", "b", "c"), {"a": 1}, 7, None], set()),
    ({"raw": "orders"}, set()),
    ((("raw", "orders"),), {"source.shop.raw.orders"}),
    ({("raw", "orders")}, {"source.shop.raw.orders"}),
    ([(None, 3)], {"source.shop.None.3"}),
])
def test_extract_source_references(advisor, sources, expected):
    node = NS(sources=sources, package_name="shop")
    assert advisor._extract_source_references(node) == expected


def test_extract_without_package_reads_root_project(advisor):
    node = NS(sources=[("raw", "orders")])
    with pytest.raises(AttributeError):
        advisor._extract_source_references(node)
    advisor.root_project = NS(project_name="proj")
    assert advisor._extract_source_references(node) == {"source.proj.raw.orders"}
    assert advisor._extract_source_references(NS()) == set()


@pytest.mark.parametrize("source_id,expected", [
    ("source.shop.crm.users", "mysql"),
    ("source.shop.none.x", None),  # an empty meta dict decides
    ("source.shop.sm.y", "pg"),
    ("source.shop.bare.z", None),
])
def test_connection_rules(advisor, source_id, expected):
    assert advisor._get_source_connection(source_id) == expected
    assert advisor._source_connection_cache == {source_id: expected}


def test_cache_rules(advisor):
    assert advisor._get_source_connection("source.missing") is None
    assert advisor._source_connection_cache == {}
    advisor.manifest.sources["source.shop.raw.orders"] = src("changed")
    assert advisor._get_source_connection("source.shop.raw.orders") == "changed"
    advisor.manifest.sources["source.shop.raw.orders"] = src("again")
    assert advisor._get_source_connection("source.shop.raw.orders") == "changed"


def test_non_str_connection_is_cached_then_rejected(advisor):
    advisor.manifest.sources["source.bad"] = src(5)
    for _ in range(2):
        with pytest.raises(TypeError, match=r"^Expected str, got int$"):
            advisor._get_source_connection("source.bad")
    assert advisor._source_connection_cache["source.bad"] == 5

    class S(str):
        pass

    advisor._source_connection_cache["source.sub"] = S("pg")
    with pytest.raises(TypeError, match=r"^Expected str, got S$"):
        advisor._get_source_connection("source.sub")


class RebindingSource:
    """A source whose inspection replaces the analyzer's cache (or, for a
    mapping cache, swaps it between the membership test and the read)."""

    def __init__(self, advisor, replacement):
        self.advisor, self.replacement = advisor, replacement

    @property
    def connection(self):
        self.advisor._source_connection_cache = self.replacement
        return "pg"


class SwappingCache(dict):
    """A cache whose membership test rebinds the analyzer's cache."""

    def __init__(self, advisor, replacement, *args):
        super().__init__(*args)
        self.advisor, self.replacement = advisor, replacement

    def __contains__(self, key):
        self.advisor._source_connection_cache = self.replacement
        return super().__contains__(key)


@pytest.mark.parametrize("impl", [pa, ref])
def test_cache_is_read_again_for_the_store_and_the_hit(impl):
    # `self._source_connection_cache[source_id] = connection` reads the
    # attribute after the source was inspected: the store lands in the cache
    # the inspection bound, and the one read at the start is left empty.
    advisor = impl.PlanAdvisor(Manifest(nodes={}, sources={}))
    first, replacement = advisor._source_connection_cache, {}
    advisor.manifest.sources["source.r"] = RebindingSource(advisor, replacement)
    assert advisor._get_source_connection("source.r") == "pg"
    assert first == {} and replacement == {"source.r": "pg"}
    assert advisor._source_connection_cache is replacement
    # A hit reads the attribute again after the membership test as well.
    advisor._source_connection_cache = SwappingCache(advisor, {"source.r": "dbx"}, {"source.r": "pg"})
    assert advisor._get_source_connection("source.r") == "dbx"


def test_map_adds_only_truthy_connections(advisor):
    refs = {"source.shop.raw.orders", "source.shop.raw.items", "source.shop.bare.z", "source.missing"}
    assert advisor._map_sources_to_connections(refs) == {"pg"}
    advisor.manifest.sources["source.empty"] = src(None, meta={"connection": ""})
    assert advisor._map_sources_to_connections({"source.empty"}) == set()


class Boom(Exception):
    pass


class Raising:
    """An object whose named attributes raise a chosen exception."""

    def __init__(self, raising, exc, **attrs):
        object.__setattr__(self, "_raising", raising)
        object.__setattr__(self, "_exc", exc)
        for key, value in attrs.items():
            object.__setattr__(self, key, value)

    def __getattribute__(self, name):
        if name in object.__getattribute__(self, "_raising"):
            raise object.__getattribute__(self, "_exc")("lookup of " + name)
        return object.__getattribute__(self, name)


def test_hasattr_semantics(advisor):
    # AttributeError means absent; anything else propagates
    absent = Raising({"sources"}, AttributeError, resource_type="model", depends_on=NS(nodes=[]))
    assert advisor.analyze(absent).reason == "No source dependencies - pushdown to default target"
    with pytest.raises(Boom, match="lookup of sources"):
        advisor.analyze(Raising({"sources"}, Boom, resource_type="model"))
    with pytest.raises(Boom, match="lookup of depends_on"):
        advisor.analyze(Raising({"depends_on"}, Boom, resource_type="model", sources=[]))
    advisor.manifest.sources["source.r"] = Raising({"connection"}, Boom)
    with pytest.raises(Boom):
        advisor._get_source_connection("source.r")
    advisor.manifest.sources["source.a"] = Raising({"connection"}, AttributeError, meta={"connection": "pg"})
    assert advisor._get_source_connection("source.a") == "pg"
    with pytest.raises(AttributeError):
        advisor.analyze(NS(sources=[]))  # no resource_type


# --- tracing -------------------------------------------------------------------

def test_trace(advisor):
    nodes = {
        "model.a": model(["source.x"], deps=["model.b", "model.c", 5]),
        "model.b": model([("raw", "t")], deps=["model.a"]),
        "model.c": model(["source.y"], deps=["seed.s", "source.z"]),
        "seed.s": model(["source.seedsrc"], rtype="seed"),
    }
    advisor.manifest.nodes.update(nodes)
    assert advisor._trace_node_to_sources("model.a") == {"source.x", "source.y", "source.z"}
    assert advisor._trace_node_to_sources("source.q") == {"source.q"}
    assert advisor._trace_node_to_sources("seed.s") == set()
    visited = {"model.a"}
    assert advisor._trace_node_to_sources("model.a", visited) == set()
    assert advisor._trace_node_to_sources("model.missing") == set()


def test_deep_dependency_chain_does_not_crash_the_interpreter(tmp_path):
    script = tmp_path / "deep.py"
    script.write_text(
        "import sys\n"
        "from types import SimpleNamespace as NS\n"
        "from strix import plan_advisor as pa\n"
        "sys.setrecursionlimit(1_000_000)\n"  # only the C stack guard stands in the way
        "n = 100_000\n"
        "nodes = {f'm{i}': NS(resource_type='model', sources=[f'source.s{i}'],"
        " depends_on=NS(nodes=[f'm{i+1}'] if i + 1 < n else [])) for i in range(n)}\n"
        "adv = pa.PlanAdvisor(NS(nodes=nodes, sources={}))\n"
        "try:\n"
        "    out = adv._trace_node_to_sources('m0')\n"
        "    assert len(out) == n\n"
        "    print('result')\n"
        "except RecursionError:\n"
        "    print('recursion')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() in ("result", "recursion")


def chain(n):
    """m0 -> m1 -> ... -> m{n-1}, whose one source is all m0 traces to."""
    nodes = {f"m{i}": model(deps=[f"m{i + 1}"], uid=f"m{i}") for i in range(n - 1)}
    nodes[f"m{n - 1}"] = model(["source.s"], uid=f"m{n - 1}")
    return nodes


@pytest.mark.parametrize("limit, depth, fails", [(1000, 5000, True), (1000, 900, False), (100_000, 20_000, False)])
def test_depends_on_chains_follow_the_recursion_limit_as_python_code_does(limit, depth, fails):
    # In a thread with a large stack, so the C stack guard never decides.
    nodes = chain(depth)
    outcomes = {}

    def run():
        for impl in (pa, ref):
            try:
                impl.PlanAdvisor(Manifest(nodes=nodes))._trace_node_to_sources("m0")
                outcomes[impl] = "ok"
            except RecursionError as e:
                outcomes[impl] = str(e)

    previous_limit, previous_size = sys.getrecursionlimit(), threading.stack_size(256 << 20)
    try:
        sys.setrecursionlimit(limit)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        sys.setrecursionlimit(previous_limit)
        threading.stack_size(previous_size)
    assert (outcomes[ref] != "ok") == fails
    if fails:
        assert outcomes[pa] == "maximum recursion depth exceeded while calling a native function"
    else:
        assert outcomes[pa] == "ok"


def test_host_errors_show_the_native_functions_they_passed_through():
    class Sources(dict):
        def get(self, key):
            raise KeyError(key)

    with pytest.raises(KeyError) as info:
        pa.PlanAdvisor(Manifest(sources=Sources())).analyze(model(["source.shop.raw.orders"]))
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)][1:]
    assert entries == [("PlanAdvisor.analyze", pa.__file__),
                       ("PlanAdvisor._map_sources_to_connections", pa.__file__),
                       ("PlanAdvisor._get_source_connection", pa.__file__),
                       ("get", __file__)]
    # An error the native code raises itself starts at its function's entry;
    # a failed entry check happens before the body, in the caller's frame.
    advisor = pa.PlanAdvisor(Manifest())
    advisor._source_connection_cache["source.x"] = 5
    with pytest.raises(TypeError) as info:
        advisor._map_sources_to_connections({"source.x"})
    assert [f.name for f in traceback.extract_tb(info.value.__traceback__)][1:] == [
        "PlanAdvisor._map_sources_to_connections", "PlanAdvisor._get_source_connection"]
    with pytest.raises(TypeError) as info:
        advisor._map_sources_to_connections(["source.x"])
    assert len(traceback.extract_tb(info.value.__traceback__)) == 1


# --- batch, filters, summary --------------------------------------------------

def test_lists_that_change_while_walked_are_walked_as_python_walks_them():
    class Growing:
        def __init__(self, target, extra):
            self.target, self.extra = target, extra

        def __format__(self, spec_text):
            self.target.extend(self.extra)
            self.extra = []
            return "grown"

    class Node:
        resource_type = "model"
        package_name = "shop"

        def __init__(self, uid, nodes):
            self.uid, self.nodes = uid, nodes
            self.sources = []
            self.sources.append(("raw", Growing(self.sources, ["source.late", ("raw", "orders")])))

        @property
        def unique_id(self):
            if len(self.nodes) < 4:
                self.nodes.append(Node(f"m.{len(self.nodes)}", self.nodes))
            return self.uid

    for impl in (pa, ref):
        nodes = []
        nodes.append(Node("m.0", nodes))
        results = impl.PlanAdvisor(Manifest(sources=dict(SOURCES))).analyze_batch(nodes)
        assert list(results) == ["m.0", "m.1", "m.2", "m.3"]
        assert results["m.0"].source_refs == {"source.shop.raw.grown", "source.late", "source.shop.raw.orders"}


def test_batch_and_filters(advisor):
    a = model(["source.shop.raw.orders"], uid="m.a")
    b = model(["source.shop.raw.orders", "source.shop.lake.events"], uid="m.b")
    a2 = model(["source.shop.lake.events", "source.shop.upper.PG"], uid="m.a")
    results = advisor.analyze_batch([a, b, a2])
    assert list(results) == ["m.a", "m.b"]
    assert results["m.a"].strategy == "federated"
    assert advisor.get_federated_nodes([a, b, a2]) == [b, a2]
    assert advisor.get_pushdown_nodes([a, b, a2])[0] is a
    assert advisor.analyze_batch([]) == {} and advisor.get_pushdown_nodes([]) == []
    with pytest.raises(AttributeError):
        advisor.analyze_batch([NS(resource_type="seed")])


def many_seeds():
    return [model(uid="m.seed", rtype="seed")] * 1_000_000


def many_source_pairs():
    return model([("raw", f"t{i}") for i in range(600_000)])


def many_source_ids():
    return {f"source.shop.raw.t{i}" for i in range(1_000_000)}


@pytest.mark.parametrize("method, make_argument", [
    ("analyze_batch", many_seeds),
    ("get_pushdown_nodes", many_seeds),
    ("analyze", many_source_pairs),  # one node: the loop over its sources
    ("_map_sources_to_connections", many_source_ids),
])
def test_long_loops_let_signal_handlers_run(method, make_argument):
    # Host data whose handling runs no Python code: the handler can only run
    # if the loop itself gives pending signals a chance.
    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        raise Interrupted

    argument = make_argument()
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        started = time.perf_counter()
        with pytest.raises(Interrupted):
            getattr(pa.PlanAdvisor(Manifest()), method)(argument)
        interrupted_after = time.perf_counter() - started
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    started = time.perf_counter()
    getattr(pa.PlanAdvisor(Manifest()), method)(argument)
    whole_run = time.perf_counter() - started
    assert interrupted_after < min(0.3, whole_run / 2), (interrupted_after, whole_run)


def test_summaries(advisor):
    one = advisor.get_execution_summary(model(["source.shop.raw.orders", "source.shop.raw.items"], uid="m.one"))
    assert one.split("\n") == [
        "Node: m.one", "Strategy: PUSHDOWN", "Reason: All sources in target 'pg' - pushdown",
        "Source Connections: ['pg']", "Source Count: 2", "Execution Connection: pg",
    ]
    seed = advisor.get_execution_summary(model(rtype="seed", uid="s"))
    assert seed.split("\n")[3:] == ["Source Connections: None", "Source Count: 0"]

    class Overriding(pa.PlanAdvisor):
        def analyze(self, node, user_compute_override=None, target_connection=None):
            return pa.QueryAnalysisResult({"x"}, set(), "federated", None, "r", "spark")

    text = Overriding(advisor.manifest).get_execution_summary(model(uid="o"))
    assert text.endswith("\nUser Override: spark") and "\nStrategy: FEDERATED\n" in text
    with pytest.raises(AttributeError):
        advisor.get_execution_summary(NS(resource_type="seed"))


# --- subclassing and module lookups ---------------------------------------------

def test_subclass_overrides_are_used(advisor):
    calls = []

    class Sub(pa.PlanAdvisor):
        def _get_source_connection(self, source_id):
            calls.append(source_id)
            return "warehouse"

    sub = Sub(advisor.manifest)
    result = sub.analyze(model(["source.a", "source.b"]), None, "warehouse")
    assert result.reason == "All sources in target 'warehouse' - pushdown"
    assert sorted(calls) == ["source.a", "source.b"]
    assert Sub(advisor.manifest).get_federated_nodes([model(["source.a"])]) == []


def test_instance_and_class_replacements_are_used(advisor, monkeypatch):
    # Every internal call goes through the instance: an attribute of the
    # instance, a patched class, a replaced __dict__ and a changed __class__
    # are all seen on the very next call.
    node = model(["source.shop.raw.orders"], uid="m.x")
    fresh = pa.PlanAdvisor(advisor.manifest)
    assert fresh.analyze(node).primary_connection == "pg"

    fresh._get_source_connection = lambda source_id: "other"
    assert fresh.analyze(node).primary_connection == "other"
    fresh._map_sources_to_connections = lambda refs: {"a", "b"}
    assert fresh.analyze(node).strategy == "federated"
    fresh._extract_source_references = lambda n: {"picked"}
    assert fresh.analyze(node).source_refs == {"picked"}
    seen = []
    fresh.analyze = lambda n: seen.append(n) or pa.QueryAnalysisResult(set(), set(), "federated", None, "r")
    assert fresh.analyze_batch([node])["m.x"].reason == "r"
    assert fresh.get_federated_nodes([node]) == [node] and fresh.get_pushdown_nodes([node]) == []
    assert fresh.get_execution_summary(node).splitlines()[1] == "Strategy: FEDERATED"
    assert seen == [node] * 4

    fresh.__dict__ = {"manifest": advisor.manifest, "_source_connection_cache": {}}
    assert fresh.analyze_batch([node])["m.x"].primary_connection == "pg"

    traced = []
    fresh._trace_node_to_sources = lambda node_id, visited: traced.append(node_id) or {"x"}
    deps = Manifest(nodes={"m.a": model(deps=["m.b"], uid="m.a")})
    fresh.manifest = deps
    assert pa.PlanAdvisor._trace_node_to_sources(fresh, "m.a") == {"x"} and traced == ["m.b"]

    plain = pa.PlanAdvisor(advisor.manifest)
    monkeypatch.setattr(pa.PlanAdvisor, "_get_source_connection", lambda self, source_id: "patched")
    assert plain.analyze(node).primary_connection == "patched"
    monkeypatch.undo()
    assert plain.analyze(node).primary_connection == "pg"

    class Other(pa.PlanAdvisor):
        def _extract_source_references(self, node):
            return {"source.shop.raw.orders", "source.shop.lake.events"}

    plain.__class__ = Other
    assert plain.analyze(node).strategy == "federated"


def test_result_class_is_looked_up_at_each_call(advisor, monkeypatch):
    made = []

    def fake(**kwargs):
        made.append(kwargs)
        return "fake"

    monkeypatch.setattr(pa, "QueryAnalysisResult", fake)
    assert advisor.analyze(model(rtype="seed")) == "fake"
    assert list(made[0]) == ["source_connections", "source_refs", "strategy", "primary_connection",
                             "reason", "user_override"]


def test_modified_result_class_runs_its_initializer(advisor, monkeypatch):
    seen = []
    original = pa.QueryAnalysisResult.__init__

    def init(self, *args, **kwargs):
        seen.append(kwargs["strategy"])
        original(self, *args, **kwargs)

    monkeypatch.setattr(pa.QueryAnalysisResult, "__init__", init)
    assert advisor.analyze(model(rtype="seed")).strategy == "pushdown"
    assert seen == ["pushdown"]


# --- entry checks -----------------------------------------------------------------

class Text(str):
    pass


@pytest.mark.parametrize("call,message", [
    (lambda a: a.analyze(NS(), 3, None), "Argument 'user_compute_override' has incorrect type (expected str, got int)"),
    (lambda a: a.analyze(NS(), 3, 4), "Argument 'user_compute_override' has incorrect type (expected str, got int)"),
    (lambda a: a.analyze(NS(), None, 4.5), "Argument 'target_connection' has incorrect type (expected str, got float)"),
    (lambda a: a.analyze_batch(()), "Argument 'nodes' has incorrect type (expected list, got tuple)"),
    (lambda a: a.get_federated_nodes(None), "Argument 'nodes' has incorrect type (expected list, got NoneType)"),
    (lambda a: a._map_sources_to_connections(frozenset()), "Argument 'source_refs' has incorrect type (expected set, got frozenset)"),
    (lambda a: a._get_source_connection(None), "Argument 'source_id' has incorrect type (expected str, got NoneType)"),
    (lambda a: a._trace_node_to_sources("x", []), "Argument 'visited' has incorrect type (expected set, got list)"),
    (lambda a: a._trace_node_to_sources(Text("x")), "Argument 'node_id' has incorrect type (expected str, got Text)"),
])
def test_entry_checks(advisor, call, message):
    with pytest.raises(TypeError) as info:
        call(advisor)
    assert str(info.value) == message


def test_str_subclass_rejection_carries_a_note(advisor):
    with pytest.raises(TypeError) as info:
        advisor.analyze(model(), None, Text("pg"))
    assert "Subclasses of built-in types are rejected" in info.value.__notes__[0]


@pytest.mark.parametrize("call", [
    lambda a, m: m.analyze(a),
    lambda a, m: m.analyze(a, model(), None, None, None),
    lambda a, m: m.analyze(a, model(), nodes=1),
    lambda a, m: m.analyze(a, model(), node=model()),
    lambda a, m: m._trace_node_to_sources(a),
    lambda a, m: m.get_execution_summary(a, node=1, extra=2),
])
def test_bad_calls_raise_what_python_raises(advisor, call):
    pure = ref.PlanAdvisor(advisor.manifest)
    with pytest.raises(TypeError) as native_info:
        call(advisor, pa.PlanAdvisor)
    with pytest.raises(TypeError) as pure_info:
        call(pure, ref.PlanAdvisor)
    assert str(native_info.value) == str(pure_info.value)


def test_keyword_arguments(advisor):
    result = advisor.analyze(target_connection="dbx", node=model(["source.shop.raw.orders"]))
    assert result.strategy == "federated"
    assert pa.PlanAdvisor(manifest=advisor.manifest).manifest is advisor.manifest


# --- introspection and records ----------------------------------------------------

METHODS = {
    "__init__": ("(self, manifest: 'Manifest') -> 'None'", None),
    "analyze": ("(self, node: 'ManifestNode', user_compute_override: 'Optional[str]' = None, "
                "target_connection: 'Optional[str]' = None) -> 'QueryAnalysisResult'", (None, None)),
    "_extract_source_references": ("(self, node: 'ManifestNode') -> 'Set[str]'", None),
    "_trace_node_to_sources": ("(self, node_id: 'str', visited: 'Optional[Set[str]]' = None) -> 'Set[str]'", (None,)),
    "_map_sources_to_connections": ("(self, source_refs: 'Set[str]') -> 'Set[str]'", None),
    "_get_source_connection": ("(self, source_id: 'str') -> 'Optional[str]'", None),
    "get_execution_summary": ("(self, node: 'ManifestNode') -> 'str'", None),
    "analyze_batch": ("(self, nodes: 'List[ManifestNode]') -> 'Dict[str, QueryAnalysisResult]'", None),
    "get_federated_nodes": ("(self, nodes: 'List[ManifestNode]') -> 'List[ManifestNode]'", None),
    "get_pushdown_nodes": ("(self, nodes: 'List[ManifestNode]') -> 'List[ManifestNode]'", None),
}


def test_method_introspection(advisor):
    assert [n for n in vars(pa.PlanAdvisor) if not n.startswith("__") or n == "__init__"] == list(METHODS)
    for name, (signature, defaults) in METHODS.items():
        fn = getattr(pa.PlanAdvisor, name)
        assert str(inspect.signature(fn)) == signature
        assert fn.__defaults__ == defaults and fn.__kwdefaults__ is None
        assert fn.__name__ == name and fn.__qualname__ == "PlanAdvisor." + name
        assert fn.__module__ == "strix.plan_advisor" and fn.__globals__ is vars(pa)
        assert inspect.ismethod(getattr(advisor, name))
    fn = pa.PlanAdvisor.analyze
    fn.custom = 1
    assert fn.__dict__ == {"custom": 1}
    del fn.custom
    assert str(inspect.signature(advisor.analyze)).startswith("(node: 'ManifestNode'")


def test_module_surface():
    names = [n for n in vars(pa) if not n.startswith("__")]
    assert names == ["re", "dataclass", "Dict", "List", "Optional", "Set", "Manifest", "ManifestNode",
                     "SourceDefinition", "StrixRuntimeError", "QueryAnalysisResult", "PlanAdvisor"]
    assert pa.PlanAdvisor.__bases__ == (object,)


def test_result_record():
    R = pa.QueryAnalysisResult
    assert dataclasses.is_dataclass(R)
    assert [(f.name, f.type) for f in dataclasses.fields(R)] == [
        ("source_connections", "Set[str]"), ("source_refs", "Set[str]"), ("strategy", "str"),
        ("primary_connection", "Optional[str]"), ("reason", "str"), ("user_override", "Optional[str]")]
    r = R({"pg"}, set(), "pushdown", "pg", "why")
    assert r.user_override is None and r == R({"pg"}, set(), "pushdown", "pg", "why", None)
    assert repr(r) == ("QueryAnalysisResult(source_connections={'pg'}, source_refs=set(), strategy='pushdown', "
                       "primary_connection='pg', reason='why', user_override=None)")
    assert dataclasses.asdict(dataclasses.replace(r, strategy="other"))["strategy"] == "other"
    assert R.__hash__ is None
    with pytest.raises(TypeError):
        R(set(), set(), "pushdown", None)
    flags = lambda x: (x.is_pushdown, x.is_federated, x.is_homogeneous)  # noqa: E731
    assert flags(r) == (True, False, True)
    assert flags(R({"a", "b"}, set(), "federated", None, "")) == (False, True, False)
    assert flags(R(set(), set(), "other", None, "")) == (False, False, True)
    assert inspect.signature(R.is_pushdown.fget).return_annotation == "bool"


# --- leaks ----------------------------------------------------------------------------

def test_methods_do_not_leak(advisor):
    nodes = [model(["source.shop.raw.orders", ("lake", "events")], uid="m1"), model(rtype="seed", uid="s"),
             model(["source.shop.raw.items"], uid="m2"), model(deps=["m1"], uid="m3")]
    advisor.manifest.nodes.update({n.unique_id: n for n in nodes})
    override, target = "".join(["sp", "ark"]), "".join(["db", "x2"])  # objects of this test alone
    args = [nodes[0], override, target]
    before = [sys.getrefcount(x) for x in args]
    calls = [
        lambda: advisor.analyze(nodes[0], override, target),
        lambda: advisor.analyze_batch(nodes),
        lambda: advisor.get_federated_nodes(nodes),
        lambda: advisor.get_pushdown_nodes(nodes),
        lambda: advisor.get_execution_summary(nodes[0]),
        lambda: advisor._trace_node_to_sources("m3"),
        lambda: advisor.analyze(nodes[0], 1),             # entry check failure
        lambda: advisor.analyze_batch([NS(resource_type="seed")]),  # host failure
        lambda: advisor.analyze(),                         # binding failure
    ]
    for call in calls:
        assert_no_leak(call, calls=3000)
    assert [sys.getrefcount(x) for x in args] == before
