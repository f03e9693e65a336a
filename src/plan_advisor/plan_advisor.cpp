// strix.plan_advisor: decides per compiled node whether its query is pushed
// down to the one connection that owns its direct sources, or federated on
// the compute layer, and says why.
#include "module.hpp"

#include <algorithm>
#include <cstring>

namespace {

using rt::Args, rt::Check, rt::FunctionSpec, rt::Param, rt::Ref;

// --- interned names ------------------------------------------------------

#define ADVISOR_NAMES(X) \
    X(manifest, "manifest") \
    X(_source_connection_cache, "_source_connection_cache") \
    X(sources, "sources") \
    X(nodes, "nodes") \
    X(resource_type, "resource_type") \
    X(package_name, "package_name") \
    X(root_project, "root_project") \
    X(project_name, "project_name") \
    X(depends_on, "depends_on") \
    X(connection, "connection") \
    X(meta, "meta") \
    X(source_meta, "source_meta") \
    X(unique_id, "unique_id") \
    X(strategy, "strategy") \
    X(reason, "reason") \
    X(source_connections, "source_connections") \
    X(source_refs, "source_refs") \
    X(primary_connection, "primary_connection") \
    X(user_override, "user_override") \
    X(is_federated, "is_federated") \
    X(is_pushdown, "is_pushdown") \
    X(upper, "upper") \
    X(analyze, "analyze") \
    X(_extract_source_references, "_extract_source_references") \
    X(_map_sources_to_connections, "_map_sources_to_connections") \
    X(_get_source_connection, "_get_source_connection") \
    X(_trace_node_to_sources, "_trace_node_to_sources") \
    X(QueryAnalysisResult, "QueryAnalysisResult")

// The strategies, the reasons that are fixed texts, and the prefix of source ids.
#define ADVISOR_TEXTS(X) \
    X(seed, "seed") \
    X(pushdown, "pushdown") \
    X(federated, "federated") \
    X(source_prefix, "source.") \
    X(no_sources, "No source dependencies - pushdown to default target") \
    X(seed_reason, "Seed node - no source analysis needed")

// result_class: QueryAnalysisResult as made. While the module attribute still
// names this class and the class is unchanged, its dataclass __init__ is known
// to assign the six fields in order, so make_result skips it.
// result_kwnames: the six field names, for QueryAnalysisResult(...).
// advisor_class and own_*: PlanAdvisor as made, and its methods that the
// module calls through the instance (see call_own).
#define ADVISOR_FIELDS(X) \
    X(rt::KnownClass, result_class) \
    X(rt::Ref, result_kwnames) \
    X(rt::KnownClass, advisor_class) \
    X(rt::Ref, own_analyze) \
    X(rt::Ref, own_extract) \
    X(rt::Ref, own_map) \
    X(rt::Ref, own_lookup) \
    X(rt::Ref, own_trace)

struct State : rt::ModuleState {
    RT_NAMES(ADVISOR_NAMES) names;
    RT_TEXTS(ADVISOR_TEXTS) texts;
    RT_FIELDS(ADVISOR_FIELDS)
};

using Names = State::Names;
using Texts = State::Texts;

// --- small helpers ---------------------------------------------------------

bool is_str(rt::Obj v) { return PyUnicode_Check(v); }
bool is_exact_str(rt::Obj v) { return PyUnicode_CheckExact(v); }
bool is_dict(rt::Obj v) { return PyDict_Check(v); }
bool is_list_tuple_or_set(rt::Obj v) { return PyList_Check(v) || PyTuple_Check(v) || PySet_Check(v); }

bool non_empty_text(rt::Obj v) { return !rt::is(v, Py_None) && PyUnicode_GET_LENGTH(v) > 0; }

// Whether two exact str hold the same characters (equal str have the same
// kind, one byte, two or four per character).
bool same_text(PyObject* a, PyObject* b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// `value == text` for a str constant `text`, taken by its truth: an exact
// str decides by its characters (str's own comparison, which no subclass
// can take over here), anything else by Python equality.
bool equals_text(rt::Obj value, rt::Obj text) {
    if (rt::is(value, text)) return true;
    if (PyUnicode_CheckExact(value)) return same_text(value, text);
    return rt::truthy(rt::eq(value, text));
}

// `obj.name == text`
bool attr_equals(rt::Obj obj, rt::Obj name, rt::Obj text) {
    Ref value = rt::getattr(obj, name);
    return equals_text(value, text);
}

// str(sorted(items)): the list text "['a', 'b']", each entry as repr shows it.
Ref sorted_list_text(rt::Obj items) { return rt::str(rt::sorted(items)); }

// Adds every element of `items` to `target` (set.update).
void set_update(rt::Obj target, rt::Obj items) {
    rt::ForEach each(items);
    while (Ref v = each.next()) rt::set_add(target, v);
}

// --- calls through the instance --------------------------------------------
//
// Internal calls go through the instance, so a subclass, a patched class or an
// instance attribute may replace any method; while none does, the module's
// own function is called without the lookup (rt::call_own_method).

Ref call_own(const Args& a, rt::Obj own, rt::Obj name, std::initializer_list<rt::Obj> self_and_args,
             rt::InnerBody body = {}) {
    return rt::call_own_method(a, a.state<State>().advisor_class, own, name, self_and_args, body);
}

// --- _map_sources_to_connections ------------------------------------------

// The connection names that the module's own _map_sources_to_connections
// added, in the order they entered the set: the set keeps the first of equal
// names, so these are its very elements. analyze takes the single name or
// the names of its reason from here instead of iterating the set.
struct Added {
    bool valid = false;  // set by map_connections; false when it did not run or more names came than fit
    size_t count = 0;
    PyObject* names[rt::ListText::kMax];  // borrowed: the set holds them

    bool all_exact_str() const {
        return std::all_of(names, names + count, [](PyObject* v) { return PyUnicode_CheckExact(v); });
    }
};

// The body of _map_sources_to_connections; it also fills `added` when given.
Ref map_connections(const Args& a, Added* added) {
    const State& st = a.state<State>();
    PyObject* self = a[0];
    Ref connections = rt::new_set();
    if (added) added->valid = true;
    rt::ForEach each(a[1]);
    while (Ref source_id = each.next()) {
        Ref connection =
            call_own(a, st.own_lookup, st.names._get_source_connection, {self, source_id});
        if (!rt::truthy(connection)) continue;
        const Py_ssize_t before = PySet_GET_SIZE(connections.get());
        rt::set_add(connections, connection);
        if (added && PySet_GET_SIZE(connections.get()) != before) {
            if (added->count < rt::ListText::kMax) added->names[added->count++] = connection.get();
            else added->valid = false;
        }
    }
    return connections;
}

// `target != single` for an exact str target: two exact str compare by
// their characters; anything else by Python's `!=`.
bool differs(rt::Obj target, rt::Obj single) {
    if (PyUnicode_CheckExact(single)) return !rt::is(target, single) && !same_text(target, single);
    return rt::truthy(rt::ne(target, single));
}

// --- QueryAnalysisResult properties --------------------------------------

Ref result_is_pushdown(const Args& a) {
    const State& st = a.state<State>();
    Ref strategy = rt::getattr(a[0], st.names.strategy);
    return rt::eq(strategy, st.texts.pushdown);
}

Ref result_is_federated(const Args& a) {
    const State& st = a.state<State>();
    Ref strategy = rt::getattr(a[0], st.names.strategy);
    return rt::eq(strategy, st.texts.federated);
}

Ref result_is_homogeneous(const Args& a) {
    const Names& n = a.state<State>().names;
    Ref connections = rt::getattr(a[0], n.source_connections);
    return Ref::boolean(rt::len(connections) <= 1);
}

const Param self_only[] = {{"self"}};

const FunctionSpec is_pushdown_spec{
    .name = "is_pushdown", .qualname = "QueryAnalysisResult.is_pushdown",
    .doc = "Whether the query is pushed down to a single connection.",
    .params = self_only, .returns = "bool", .body = result_is_pushdown};
const FunctionSpec is_federated_spec{
    .name = "is_federated", .qualname = "QueryAnalysisResult.is_federated",
    .doc = "Whether the query runs federated on the compute layer.",
    .params = self_only, .returns = "bool", .body = result_is_federated};
const FunctionSpec is_homogeneous_spec{
    .name = "is_homogeneous", .qualname = "QueryAnalysisResult.is_homogeneous",
    .doc = "Whether all sources live on at most one connection.",
    .params = self_only, .returns = "bool", .body = result_is_homogeneous};

// --- PlanAdvisor ---------------------------------------------------------

Ref advisor_init(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* self = a[0];
    rt::setattr(self, n.manifest, a[1]);
    Ref cache = rt::new_dict();
    rt::setattr(self, n._source_connection_cache, cache);
    return Ref::none();
}

// QueryAnalysisResult(source_connections=..., ..., user_override=...), the
// class looked up in the module namespace at each call, as a global name in
// Python code is, so a rebound name is seen.
Ref make_result(const Args& a, rt::Obj connections, rt::Obj refs, rt::Obj strategy, rt::Obj primary, rt::Obj reason,
                rt::Obj user_override) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    // Obj, not PyObject*: read from the parameters as they are, the six
    // values are stored as six moves (converted, GCC joins them in vector
    // registers first, three instructions more per result).
    const rt::Obj values[] = {connections, refs, strategy, primary, reason, user_override};
    Ref cls = a.global(n.QueryAnalysisResult);
    if (st.result_class.is(cls)) {
        // Deliberately skips the dataclass __init__: the class is the one the
        // module made and unchanged, so its __init__ would only assign the
        // six fields in this order.
        PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.get());
        Ref self = Ref::steal(tp->tp_alloc(tp, 0));
        PyObject* const fields[] = {n.source_connections, n.source_refs, n.strategy,
                                    n.primary_connection, n.reason,      n.user_override};
        for (size_t i = 0; i < 6; ++i) rt::check(PyObject_GenericSetAttr(self.get(), fields[i], values[i]));
        return self;
    }
    return rt::call_kw(cls, {connections, refs, strategy, primary, reason, user_override},
                       st.result_kwnames);
}

Ref advisor_analyze(const Args& a) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    const Texts& t = st.texts;
    PyObject* self = a[0];
    PyObject* node = a[1];
    PyObject* override = a[2];
    PyObject* target = a[3];

    if (attr_equals(node, n.resource_type, t.seed)) {
        Ref connections = rt::new_set();
        Ref refs = rt::new_set();
        return make_result(a, connections, refs, t.pushdown, Py_None, t.seed_reason, Py_None);
    }

    Ref refs = call_own(a, st.own_extract, n._extract_source_references, {self, node});
    Added added;
    Ref connections = call_own(a, st.own_map, n._map_sources_to_connections, {self, refs},
                               [&](const Args& inner) { return map_connections(inner, &added); });
    const Py_ssize_t count = added.valid ? static_cast<Py_ssize_t>(added.count) : rt::len(connections);

    if (count == 0) {
        // `hasattr(node, "depends_on") and node.depends_on and
        // node.depends_on.nodes`: depends_on is tested, then read twice (a
        // property may answer differently each time).
        bool has_refs = rt::hasattr(node, n.depends_on);
        if (has_refs) has_refs = rt::truthy(rt::getattr(node, n.depends_on));
        if (has_refs) {
            Ref depends_on = rt::getattr(node, n.depends_on);
            has_refs = rt::truthy(rt::getattr(depends_on, n.nodes));
        }
        Ref reason = (has_refs && non_empty_text(target))
                         ? rt::fstring("Model refs materialized tables - pushdown to target '", target, "'")
                         : Ref::borrow(t.no_sources);
        PyObject* carried = non_empty_text(override) ? override : Py_None;
        return make_result(a, connections, refs, t.pushdown, target, reason, carried);
    }

    if (count == 1) {
        Ref single;
        if (added.valid) {
            single = Ref::borrow(added.names[0]);
        } else {
            Ref it = rt::iter(connections);
            single = rt::next(it);
            if (!single) rt::raise(PyExc_RuntimeError, "set changed size during iteration");
        }
        // The connection name is shown as str() shows it.
        if (non_empty_text(target) && differs(target, single)) {
            Ref reason = rt::fstring("Cross-target: source '", rt::Str{single}, "' != target '", target,
                                     "' - federation required");
            return make_result(a, connections, refs, t.federated, Py_None, reason, override);
        }
        Ref reason = rt::fstring("All sources in target '", rt::Str{single}, "' - pushdown");
        return make_result(a, connections, refs, t.pushdown, single, reason, Py_None);
    }

    Ref reason;
    if (added.valid && added.all_exact_str()) {
        // sorted() of exact str is code-point order, which PyUnicode_Compare
        // gives; the names are distinct, so the order is total.
        std::sort(added.names, added.names + added.count,
                  [](PyObject* x, PyObject* y) { return PyUnicode_Compare(x, y) < 0; });
        reason = rt::fstring("Sources span ", count, " connections: ", rt::ListText{added.names, added.count},
                             " - federation required");
    } else {
        Ref names = sorted_list_text(connections);
        reason = rt::fstring("Sources span ", count, " connections: ", names, " - federation required");
    }
    return make_result(a, connections, refs, t.federated, Py_None, reason, override);
}

Ref advisor_extract(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* self = a[0];
    PyObject* node = a[1];
    Ref refs = rt::new_set();
    // `if not hasattr(node, "sources") or not node.sources`, then `node.sources
    // if isinstance(node.sources, ...) else []`: sources is read three times
    // (a property may answer differently each time).
    if (!rt::hasattr(node, n.sources) || !rt::truthy(rt::getattr(node, n.sources))) return refs;
    Ref sources = is_list_tuple_or_set(rt::getattr(node, n.sources)) ? rt::getattr(node, n.sources) : rt::new_list();

    rt::ForEach each(sources);
    while (Ref entry = each.next()) {
        PyObject* e = entry.get();
        if (PyUnicode_Check(e)) {
            rt::set_add(refs, e);
        } else if ((PyList_Check(e) || PyTuple_Check(e)) && rt::len(e) == 2) {
            auto [source_name, table_name] = rt::unpack<2>(e);
            Ref package = rt::hasattr(node, n.package_name)
                              ? rt::getattr(node, n.package_name)
                              : rt::getattr(rt::getattr(self, n.root_project), n.project_name);
            Ref id = rt::fstring("source.", package, ".", source_name, ".", table_name);
            rt::set_add(refs, id);
        }
    }
    return refs;
}

Ref advisor_map(const Args& a) { return map_connections(a, nullptr); }

// A cached or chosen connection must be exactly a str, or None.
Ref checked_connection(Ref value) {
    if (!rt::is(value, Py_None) && !is_exact_str(value)) rt::raise_result_type("str", value);
    return value;
}

// `source.<name>` when it is a dict: the value of its "connection" key.
Ref dict_connection(const Names& n, rt::Obj source, rt::Obj name, bool& decided) {
    decided = false;
    // `hasattr(source, name) and isinstance(source.<name>, dict)`, then
    // `source.<name>.get("connection")`: tested, then read twice.
    if (!rt::hasattr(source, name)) return {};
    if (!is_dict(rt::getattr(source, name))) return {};
    decided = true;
    Ref meta = rt::getattr(source, name);
    return rt::mapping_get(meta, n.connection);
}

Ref advisor_lookup(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* self = a[0];
    PyObject* source_id = a[1];
    {
        // `if source_id in self._source_connection_cache: return
        // self._source_connection_cache[source_id]`. An exact dict and an
        // exact str key run no Python code between the test and the read, so
        // the second read of the attribute is skipped there.
        Ref cache = rt::getattr(self, n._source_connection_cache);
        if (PyDict_CheckExact(cache.get())) {
            if (Ref cached = rt::dict_get(cache, source_id)) return checked_connection(std::move(cached));
        } else if (rt::contains(cache, source_id)) {
            Ref again = rt::getattr(self, n._source_connection_cache);
            return checked_connection(rt::getitem(again, source_id));
        }
    }

    Ref manifest = rt::getattr(self, n.manifest);
    Ref sources = rt::getattr(manifest, n.sources);
    Ref source = rt::mapping_get(sources, source_id);
    if (!rt::truthy(source)) return Ref::none();

    Ref connection;
    bool decided = false;
    // `hasattr(source, "connection") and source.connection`, then
    // `source.connection`: tested, then read twice.
    if (rt::hasattr(source, n.connection) && rt::truthy(rt::getattr(source, n.connection))) {
        connection = rt::getattr(source, n.connection);
    } else {
        connection = dict_connection(n, source, n.meta, decided);
        if (!decided) connection = dict_connection(n, source, n.source_meta, decided);
        if (!decided) connection = Ref::none();
    }
    // `self._source_connection_cache[source_id] = connection`: read again,
    // since inspecting the source may have rebound the cache.
    Ref cache = rt::getattr(self, n._source_connection_cache);
    rt::setitem(cache, source_id, connection);
    return checked_connection(std::move(connection));
}

Ref advisor_trace(const Args& a) {
    rt::checkpoint();  // a recursion step
    const State& st = a.state<State>();
    const Names& n = st.names;
    const Texts& t = st.texts;
    PyObject* self = a[0];
    PyObject* node_id = a[1];
    Ref visited = a[2] == Py_None ? rt::new_set() : Ref::borrow(a[2]);
    if (rt::contains(visited, node_id)) return rt::new_set();
    rt::set_add(visited, node_id);
    Ref result = rt::new_set();

    if (rt::startswith(node_id, t.source_prefix)) {
        rt::set_add(result, node_id);
        return result;
    }

    Ref manifest = rt::getattr(self, n.manifest);
    Ref nodes = rt::getattr(manifest, n.nodes);
    Ref node = rt::mapping_get(nodes, node_id);
    if (!rt::truthy(node)) return result;
    if (rt::hasattr(node, n.resource_type) && attr_equals(node, n.resource_type, t.seed)) return result;

    // Each attribute below is tested with hasattr, then read once per mention
    // in bench/pure_plan_advisor.py's _trace_node_to_sources.
    if (rt::hasattr(node, n.sources) && rt::truthy(rt::getattr(node, n.sources))) {
        Ref sources = is_list_tuple_or_set(rt::getattr(node, n.sources)) ? rt::getattr(node, n.sources)
                                                                                   : rt::new_list();
        rt::ForEach each(sources);
        while (Ref entry = each.next())
            if (is_str(entry)) rt::set_add(result, entry);
    }

    if (rt::hasattr(node, n.depends_on) && rt::truthy(rt::getattr(node, n.depends_on))) {
        Ref deps = rt::getattr(rt::getattr(node, n.depends_on), n.nodes);
        if (is_list_tuple_or_set(deps)) {
            deps = rt::getattr(rt::getattr(node, n.depends_on), n.nodes);
        } else {
            deps = rt::new_list();
        }
        rt::ForEach each(deps);
        while (Ref dep = each.next()) {
            if (!is_str(dep)) continue;
            Ref upstream =
                call_own(a, st.own_trace, n._trace_node_to_sources, {self, dep, visited});
            set_update(result, upstream);
        }
    }
    return result;
}

// self.analyze(node). analyze's defaults (None, None) are fixed: a function
// of this runtime has a read-only __defaults__.
Ref analyze_node(const Args& a, rt::Obj self, rt::Obj node) {
    const State& st = a.state<State>();
    if (st.own_analyze && st.advisor_class.finds_own(self, st.names.analyze))
        return rt::call_inner(a, st.own_analyze, {self, node, Py_None, Py_None});
    return rt::call_method(st.names.analyze, {self, node});
}

Ref advisor_summary(const Args& a) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    PyObject* self = a[0];
    PyObject* node = a[1];
    Ref result = analyze_node(a, self, node);
    Ref lines = rt::new_list();
    auto line = [&](const char* label, rt::Obj value) { rt::append(lines, rt::fstring(label, value)); };

    line("Node: ", rt::getattr(node, n.unique_id));
    Ref strategy = rt::getattr(result, n.strategy);
    line("Strategy: ", rt::call_method(n.upper, {strategy}));
    line("Reason: ", rt::getattr(result, n.reason));
    Ref connections_text = rt::truthy(rt::getattr(result, n.source_connections))
                               ? sorted_list_text(rt::getattr(result, n.source_connections))
                               : rt::text("None");
    line("Source Connections: ", connections_text);
    Ref refs = rt::getattr(result, n.source_refs);
    line("Source Count: ", rt::integer(rt::len(refs)));
    if (rt::truthy(rt::getattr(result, n.primary_connection)))
        line("Execution Connection: ", rt::getattr(result, n.primary_connection));
    if (rt::truthy(rt::getattr(result, n.user_override)))
        line("User Override: ", rt::getattr(result, n.user_override));
    return rt::join("\n", lines);
}

Ref advisor_batch(const Args& a) {
    const State& st = a.state<State>();
    PyObject* self = a[0];
    Ref results = rt::new_dict();
    rt::ForEach each(a[1]);
    while (Ref node = each.next()) {
        Ref result = analyze_node(a, self, node);
        Ref id = rt::getattr(node, st.names.unique_id);
        rt::setitem(results, id, result);
    }
    return results;
}

// The nodes whose analysis has a truthy `property`, in list order.
Ref filter_nodes(const Args& a, rt::Interned Names::*property) {
    const State& st = a.state<State>();
    PyObject* self = a[0];
    Ref kept = rt::new_list();
    rt::ForEach each(a[1]);
    while (Ref node = each.next()) {
        Ref result = analyze_node(a, self, node);
        if (rt::truthy(rt::getattr(result, st.names.*property))) rt::append(kept, node);
    }
    return kept;
}

Ref advisor_federated(const Args& a) { return filter_nodes(a, &Names::is_federated); }
Ref advisor_pushdown(const Args& a) { return filter_nodes(a, &Names::is_pushdown); }

const Param init_params[] = {{"self"}, {"manifest", Check::Any, "Manifest"}};
const Param analyze_params[] = {
    {"self"},
    {"node", Check::Any, "ManifestNode"},
    {"user_compute_override", Check::OptStr, "Optional[str]"},
    {"target_connection", Check::OptStr, "Optional[str]"},
};
const Param node_params[] = {{"self"}, {"node", Check::Any, "ManifestNode"}};
const Param trace_params[] = {
    {"self"}, {"node_id", Check::Str, "str"}, {"visited", Check::OptSet, "Optional[Set[str]]"}};
const Param map_params[] = {{"self"}, {"source_refs", Check::Set, "Set[str]"}};
const Param lookup_params[] = {{"self"}, {"source_id", Check::Str, "str"}};
const Param nodes_params[] = {{"self"}, {"nodes", Check::List, "List[ManifestNode]"}};

const FunctionSpec init_spec{
    .name = "__init__", .qualname = "PlanAdvisor.__init__",
    .doc = "Create an analyzer for `manifest` with an empty source connection cache.",
    .params = init_params, .returns = "None", .body = advisor_init};
const FunctionSpec analyze_spec{
    .name = "analyze", .qualname = "PlanAdvisor.analyze",
    .doc = "Decide whether a node's query is pushed down or federated, and why.",
    .params = analyze_params, .returns = "QueryAnalysisResult", .body = advisor_analyze};
const FunctionSpec extract_spec{
    .name = "_extract_source_references", .qualname = "PlanAdvisor._extract_source_references",
    .doc = "Source unique_ids that the node references directly.",
    .params = node_params, .returns = "Set[str]", .body = advisor_extract};
const FunctionSpec trace_spec{
    .name = "_trace_node_to_sources", .qualname = "PlanAdvisor._trace_node_to_sources",
    .doc = "Source unique_ids reachable from a node through its dependencies.",
    .params = trace_params, .returns = "Set[str]", .body = advisor_trace};
const FunctionSpec map_spec{
    .name = "_map_sources_to_connections", .qualname = "PlanAdvisor._map_sources_to_connections",
    .doc = "Distinct connection names that own the given sources.",
    .params = map_params, .returns = "Set[str]", .body = advisor_map};
const FunctionSpec lookup_spec{
    .name = "_get_source_connection", .qualname = "PlanAdvisor._get_source_connection",
    .doc = "Connection name of a source, cached per analyzer.",
    .params = lookup_params, .returns = "Optional[str]", .body = advisor_lookup};
const FunctionSpec summary_spec{
    .name = "get_execution_summary", .qualname = "PlanAdvisor.get_execution_summary",
    .doc = "Multi-line, human-readable summary of a node's analysis.",
    .params = node_params, .returns = "str", .body = advisor_summary};
const FunctionSpec batch_spec{
    .name = "analyze_batch", .qualname = "PlanAdvisor.analyze_batch",
    .doc = "Analyze nodes, keyed by their unique_id.",
    .params = nodes_params, .returns = "Dict[str, QueryAnalysisResult]", .body = advisor_batch};
const FunctionSpec federated_spec{
    .name = "get_federated_nodes", .qualname = "PlanAdvisor.get_federated_nodes",
    .doc = "The nodes whose query must run federated.",
    .params = nodes_params, .returns = "List[ManifestNode]", .body = advisor_federated};
const FunctionSpec pushdown_spec{
    .name = "get_pushdown_nodes", .qualname = "PlanAdvisor.get_pushdown_nodes",
    .doc = "The nodes whose query can be pushed down.",
    .params = nodes_params, .returns = "List[ManifestNode]", .body = advisor_pushdown};

void exec_module(PyObject* m, State& st) {
    const Names& n = st.names;
    rt::add_import(m, "re");
    rt::add_import_from(m, "dataclasses", "dataclass");
    for (const char* name : {"Dict", "List", "Optional", "Set"}) rt::add_import_from(m, "typing", name);
    rt::add_import_from(m, "strix.contracts.graph.manifest", "Manifest");
    rt::add_import_from(m, "strix.contracts.graph.nodes", "ManifestNode");
    rt::add_import_from(m, "strix.contracts.graph.nodes", "SourceDefinition");
    rt::add_import_from(m, "strix_common.exceptions", "StrixRuntimeError");

    Ref result_class = rt::ClassBuilder(m, "QueryAnalysisResult",
                                        "Outcome of analyzing one node: strategy, connections and reason.")
                           .field("source_connections", "Set[str]")
                           .field("source_refs", "Set[str]")
                           .field("strategy", "str")
                           .field("primary_connection", "Optional[str]")
                           .field("reason", "str")
                           .field("user_override", "Optional[str]", Py_None)
                           .property(is_pushdown_spec)
                           .property(is_federated_spec)
                           .property(is_homogeneous_spec)
                           .build_dataclass();
    rt::set_global(m, "QueryAnalysisResult", result_class);
    // Only the dataclass' own __init__ and object's allocation qualify for
    // the direct construction in make_result.
    if (reinterpret_cast<PyTypeObject*>(result_class.get())->tp_new == PyBaseObject_Type.tp_new)
        st.result_class.remember(result_class);
    st.result_kwnames = rt::kwnames(
        {n.source_connections, n.source_refs, n.strategy, n.primary_connection, n.reason, n.user_override});

    Ref advisor = rt::ClassBuilder(m, "PlanAdvisor",
                                   "Routes compiled nodes to pushdown or federated execution.")
                      .method(init_spec)
                      .method(analyze_spec, rt::defaults(Ref::none(), Ref::none()))
                      .method(extract_spec)
                      .method(trace_spec, rt::defaults(Ref::none()))
                      .method(map_spec)
                      .method(lookup_spec)
                      .method(summary_spec)
                      .method(batch_spec)
                      .method(federated_spec)
                      .method(pushdown_spec)
                      .build();
    rt::set_global(m, "PlanAdvisor", advisor);
    st.advisor_class.remember(advisor);
    if (st.advisor_class.cls) {
        st.own_analyze = rt::own_function(advisor, n.analyze);
        st.own_extract = rt::own_function(advisor, n._extract_source_references);
        st.own_map = rt::own_function(advisor, n._map_sources_to_connections);
        st.own_lookup = rt::own_function(advisor, n._get_source_connection);
        st.own_trace = rt::own_function(advisor, n._trace_node_to_sources);
    }
}

}  // namespace

RT_MODULE(PyInit_plan_advisor, "strix.plan_advisor",
          "Pushdown-or-federated execution strategy analysis for compiled nodes.", State, exec_module)
