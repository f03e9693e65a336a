"""Differential fuzzing of strix.plan_advisor against the pure-Python
reference, with ordinary and hostile host objects: both must give the same
result, or raise the same exception with the same message."""

import os
import sys
from types import SimpleNamespace as NS

from hypothesis import HealthCheck, given, settings, strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "bench"))

import pure_plan_advisor as ref  # noqa: E402
from strix import plan_advisor as pa  # noqa: E402

FUZZ = settings(max_examples=int(os.environ.get("STRIX_FUZZ_EXAMPLES", "300")), deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Hostile(Exception):
    pass


class Evil:
    """A value whose protocol methods raise or misbehave, chosen by `mode`."""

    def __init__(self, mode):
        self.mode = mode

    def __bool__(self):
        if self.mode == "bool":
            raise Hostile("bool")
        return self.mode != "falsy"

    def __eq__(self, other):
        if self.mode == "eq":
            raise Hostile("eq")
        return NotImplemented

    def __hash__(self):
        if self.mode == "hash":
            raise Hostile("hash")
        return 1

    def __len__(self):
        if self.mode == "len":
            raise Hostile("len")
        return -1 if self.mode == "neglen" else 2

    def __iter__(self):
        if self.mode == "iter":
            raise Hostile("iter")
        return iter(["a", "b"])

    def __getitem__(self, i):
        raise Hostile("getitem")

    def __format__(self, format_spec):
        if self.mode == "format":
            raise Hostile("format")
        return "evil"

    def __repr__(self):
        return f"Evil({self.mode})"

    def __lt__(self, other):
        raise Hostile("lt")

    def get(self, *args):
        if self.mode == "get":
            raise Hostile("get")
        return 42


class RaisingAttrs:
    """Attributes listed in `raising` raise the given exception on lookup."""

    def __init__(self, raising, exc, attrs):
        object.__setattr__(self, "_raising", raising)
        object.__setattr__(self, "_exc", exc)
        for k, v in attrs.items():
            object.__setattr__(self, k, v)

    def __getattribute__(self, name):
        if name in object.__getattribute__(self, "_raising"):
            raise object.__getattribute__(self, "_exc")(name)
        return object.__getattribute__(self, name)


MODES = ["bool", "falsy", "eq", "hash", "len", "neglen", "iter", "format", "get", "ok"]
evil = st.builds(Evil, st.sampled_from(MODES))
text = st.one_of(st.sampled_from(["pg", "dbx", "PG", "", "source.p.a.b", "source.p.c.d", "it's", "x\x00y", "\ud800"]),
                 st.text(max_size=6))
scalar = st.one_of(text, st.none(), st.integers(-2**70, 2**70), st.floats(allow_nan=False), evil)
source_id = st.sampled_from(["source.p.a.b", "source.p.c.d", "source.p.e.f", "pg", "x", "source.evil.None.None"])
connection = st.one_of(st.sampled_from(["pg", "dbx", "PG", "it's", "lake"]), st.sampled_from(["pg", "dbx"]), scalar)
ref_entry = st.one_of(source_id, source_id, st.tuples(st.sampled_from(["a", "c", "e"]), st.sampled_from(["b", "d", "f"])), text, st.tuples(scalar, scalar), st.lists(scalar, max_size=3), st.tuples(scalar),
                      st.dictionaries(text, scalar, max_size=2), scalar)
container = st.one_of(st.lists(ref_entry, max_size=5), st.tuples(ref_entry, ref_entry),
                      st.sets(text, max_size=3), st.dictionaries(text, text, max_size=2), scalar)
exc_type = st.sampled_from([AttributeError, Hostile, KeyError])


def with_attrs(draw, attrs):
    raising = draw(st.sets(st.sampled_from(sorted(attrs)), max_size=2)) if attrs and draw(st.booleans()) else set()
    if raising:
        return RaisingAttrs(raising, draw(exc_type), attrs)
    drop = draw(st.sets(st.sampled_from(sorted(attrs)), max_size=2)) if attrs else set()
    return NS(**{k: v for k, v in attrs.items() if k not in drop})


@st.composite
def sources(draw):
    attrs = {"connection": draw(connection),
             "meta": draw(st.one_of(st.none(), st.dictionaries(st.just("connection"), connection, max_size=1), scalar)),
             "source_meta": draw(st.one_of(st.none(), st.dictionaries(st.just("connection"), connection, max_size=1)))}
    return with_attrs(draw, attrs)


@st.composite
def nodes(draw):
    attrs = {"unique_id": draw(text),
             "resource_type": draw(st.one_of(st.sampled_from(["model", "model", "seed"]), scalar)),
             "package_name": draw(st.one_of(st.just("p"), scalar)), "sources": draw(container),
             "depends_on": draw(st.one_of(st.builds(NS, nodes=st.one_of(st.lists(text, max_size=3), scalar)), scalar))}
    return with_attrs(draw, attrs)


@st.composite
def manifests(draw):
    srcs = {i: draw(sources()) for i in draw(st.sets(source_id, max_size=6))}
    return NS(sources=srcs, nodes={})


def outcome(fn):
    try:
        result = fn()
    except RecursionError:
        return ("RecursionError",)
    except Exception as exc:  # every exception must match, type and text
        return ("raised", type(exc), str(exc))
    if isinstance(result, (pa.QueryAnalysisResult, ref.QueryAnalysisResult)):
        return ("result", result.source_connections, result.source_refs, result.strategy,
                result.primary_connection, result.reason, result.user_override)
    if isinstance(result, dict):
        return ("dict", [(k, outcome(lambda v=v: v)) for k, v in result.items()])
    if isinstance(result, list):
        return ("list", [id(x) for x in result])
    return ("value", result)


def same(call, manifest):
    native, pure = pa.PlanAdvisor(manifest), ref.PlanAdvisor(manifest)
    a, b = outcome(lambda: call(native)), outcome(lambda: call(pure))
    assert a == b


optional_text = st.one_of(st.none(), text)


@FUZZ
@given(manifests(), nodes(), optional_text, optional_text)
def test_analyze_matches_reference(manifest, node, override, target):
    same(lambda adv: adv.analyze(node, override, target), manifest)
    same(lambda adv: adv.get_execution_summary(node), manifest)


@FUZZ
@given(manifests(), st.lists(nodes(), max_size=4))
def test_batch_and_filters_match_reference(manifest, node_list):
    same(lambda adv: adv.analyze_batch(node_list), manifest)
    same(lambda adv: adv.get_federated_nodes(node_list), manifest)
    same(lambda adv: adv.get_pushdown_nodes(node_list), manifest)


@FUZZ
@given(manifests(), st.dictionaries(text, nodes(), max_size=6), text)
def test_trace_matches_reference(manifest, graph, start):
    graph = {k: v for k, v in graph.items()}
    # Dependencies drawn from the same id pool form cycles and diamonds.
    manifest.nodes = graph
    same(lambda adv: adv._trace_node_to_sources(start), manifest)


@FUZZ
@given(st.lists(st.one_of(st.none(), st.integers(), st.text(max_size=3), st.lists(st.integers(), max_size=2),
                          st.sets(st.integers(), max_size=2), st.frozensets(st.integers(), max_size=2), evil),
                max_size=6))
def test_arbitrary_arguments_never_crash(args):
    adv = pa.PlanAdvisor(NS(sources={}, nodes={}))
    for name in ["analyze", "_extract_source_references", "_trace_node_to_sources", "_map_sources_to_connections",
                 "_get_source_connection", "get_execution_summary", "analyze_batch", "get_federated_nodes",
                 "get_pushdown_nodes"]:
        try:
            getattr(adv, name)(*args)
        except Exception:
            pass
    try:
        pa.QueryAnalysisResult(*args)
    except Exception:
        pass
