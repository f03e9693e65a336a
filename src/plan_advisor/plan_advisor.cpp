// strix.plan_advisor: decides per compiled node whether its query is pushed
// down to the one connection that owns its direct sources, or federated on
// the compute layer, and says why.
#include "module.hpp"

#include <charconv>
#include <string_view>
#include <vector>

namespace {

using rt::Args;
using rt::Check;
using rt::FunctionSpec;
using rt::Name;
using rt::Param;
using rt::Ref;

// --- interned names ------------------------------------------------------

const Name n_manifest("manifest");
const Name n_cache("_source_connection_cache");
const Name n_sources("sources");
const Name n_nodes("nodes");
const Name n_get("get");
const Name n_resource_type("resource_type");
const Name n_package_name("package_name");
const Name n_root_project("root_project");
const Name n_project_name("project_name");
const Name n_depends_on("depends_on");
const Name n_connection("connection");
const Name n_meta("meta");
const Name n_source_meta("source_meta");
const Name n_unique_id("unique_id");
const Name n_strategy("strategy");
const Name n_reason("reason");
const Name n_source_connections("source_connections");
const Name n_source_refs("source_refs");
const Name n_primary_connection("primary_connection");
const Name n_user_override("user_override");
const Name n_is_federated("is_federated");
const Name n_is_pushdown("is_pushdown");
const Name n_upper("upper");
const Name n_analyze("analyze");
const Name n_extract("_extract_source_references");
const Name n_map("_map_sources_to_connections");
const Name n_lookup("_get_source_connection");
const Name n_trace("_trace_node_to_sources");
const Name n_result_class("QueryAnalysisResult");
const Name s_seed("seed");
const Name s_pushdown("pushdown");
const Name s_federated("federated");
const Name s_source_prefix("source.");
const Name s_dot(".");
const Name s_quote("'");
const Name s_open_bracket("[");
const Name s_close_bracket("]");
const Name s_comma(", ");
const Name s_all_in_target("All sources in target '");
const Name s_pushdown_tail("' - pushdown");
const Name s_cross_source("Cross-target: source '");
const Name s_cross_target("' != target '");
const Name s_federation_tail(" - federation required");
const Name s_quoted_federation_tail("' - federation required");
const Name s_span("Sources span ");
const Name s_span_connections(" connections: ");
const Name s_refs_to_target("Model refs materialized tables - pushdown to target '");
const Name s_no_sources("No source dependencies - pushdown to default target");
const Name s_seed_reason("Seed node - no source analysis needed");

// --- small helpers ---------------------------------------------------------

bool is_list_tuple_or_set(PyObject* v) { return PyList_Check(v) || PyTuple_Check(v) || PySet_Check(v); }

bool non_empty_text(PyObject* v) { return v != Py_None && PyUnicode_GET_LENGTH(v) > 0; }

// `obj.name == text` by Python equality
bool attr_equals(PyObject* obj, PyObject* name, PyObject* text) {
    Ref value = rt::attr(obj, name);
    Ref eq = Ref::steal(PyObject_RichCompare(value.get(), text, Py_EQ));
    return rt::truthy(eq.get());
}

// repr(text) for an exact str that needs no escaping and no choice of
// quotes: printable ASCII without quote or backslash.
bool plainly_quotable(PyObject* v) {
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_ASCII(v)) return false;
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(v);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(v); i < n; ++i) {
        if (p[i] < 0x20 || p[i] == 0x7f || p[i] == '\'' || p[i] == '\\') return false;
    }
    return true;
}

// str(sorted(items)): the list text "['a', 'b']", each entry as repr renders it.
Ref sorted_list_text(PyObject* items) {
    Ref list = rt::sorted(items);
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    if (n == 0) return rt::str_of(list.get());
    std::vector<Ref> shown;
    std::vector<PyObject*> parts;
    shown.reserve(static_cast<size_t>(n));
    parts.reserve(static_cast<size_t>(4 * n + 1));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        parts.push_back(i == 0 ? s_open_bracket.get() : s_comma.get());
        if (plainly_quotable(item)) {
            parts.insert(parts.end(), {s_quote.get(), item, s_quote.get()});
        } else {
            shown.push_back(rt::repr_of(item));  // always a str, or an error
            parts.push_back(shown.back().get());
        }
    }
    parts.push_back(s_close_bracket.get());
    return rt::concat(parts);
}

// `mapping.get(key)`, straight to the dict for an exact dict.
Ref mapping_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        Ref v = rt::dict_get(mapping, key);
        return v ? std::move(v) : Ref::none();
    }
    return rt::call_method(n_get, {mapping, key});
}

// `source_name, table_name = entry` for a two-entry list or tuple.
std::pair<Ref, Ref> unpack_pair(PyObject* entry) {
    if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) == 2)
        return {Ref::borrow(PyList_GET_ITEM(entry, 0)), Ref::borrow(PyList_GET_ITEM(entry, 1))};
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(entry, 0)), Ref::borrow(PyTuple_GET_ITEM(entry, 1))};
    // A subclass unpacks through its own iteration, as the statement does.
    Ref seq = Ref::steal(PySequence_Tuple(entry));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n > 2) rt::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (n < 2) rt::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    return {Ref::borrow(PyTuple_GET_ITEM(seq.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(seq.get(), 1))};
}

// Adds every element of `items` to `target` (set.update).
void set_update(PyObject* target, PyObject* items) {
    rt::ForEach each(items);
    while (Ref v = each.next()) rt::set_add(target, v.get());
}

// --- calls through the instance --------------------------------------------
//
// Internal calls go through the instance, so a subclass, a patched class or an
// instance attribute may replace any method. While the instance's class is
// this module's own PlanAdvisor, unchanged since the module made it, and the
// instance holds no attribute of the method's name, the lookup would find the
// module's own function: that function is then called without the lookup.

struct OwnMethod {
    const Name& name;
    PyObject* function = nullptr;  // the function in the class as made
};

PyTypeObject* g_advisor_class = nullptr;
unsigned int g_advisor_version = 0;
OwnMethod m_analyze{n_analyze};
OwnMethod m_extract{n_extract};
OwnMethod m_map{n_map};
OwnMethod m_lookup{n_lookup};
OwnMethod m_trace{n_trace};
OwnMethod* const own_methods[] = {&m_analyze, &m_extract, &m_map, &m_lookup, &m_trace};

// Whether the instance's own __dict__ has `name` (which would shadow a method).
bool instance_holds(PyObject* self, PyObject* name) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(dict.get(), name, &found);
    if (r < 0) rt::raise();
    Py_XDECREF(found);
    return r == 1;
}

// Whether self.<method> is the module's own function, found without a lookup.
bool finds_own(PyObject* self, const OwnMethod& m) {
    PyTypeObject* tp = Py_TYPE(self);
    return tp == g_advisor_class && m.function != nullptr && tp->tp_version_tag == g_advisor_version &&
           !instance_holds(self, m.name);
}

// self.<method>(args...), `self_and_args` holding one value per parameter.
Ref call_own(const OwnMethod& m, std::initializer_list<PyObject*> self_and_args) {
    if (finds_own(*self_and_args.begin(), m)) return rt::call_native(m.function, self_and_args);
    return rt::call_method(m.name, self_and_args);
}

// Remembers the class as made, with its methods, for call_own.
void remember_own_class(PyObject* cls) {
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    Py_CLEAR(g_advisor_class);
    for (OwnMethod* m : own_methods) Py_CLEAR(m->function);
    if (!PyUnstable_Type_AssignVersionTag(tp)) return;
    for (OwnMethod* m : own_methods) {
        Ref f = rt::attr(cls, m->name);
        if (rt::is_native_function(f.get())) m->function = f.release();
    }
    g_advisor_version = tp->tp_version_tag;
    g_advisor_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
}

// --- QueryAnalysisResult properties --------------------------------------

Ref result_is_pushdown(const Args& a) {
    Ref strategy = rt::attr(a[0], n_strategy);
    return Ref::steal(PyObject_RichCompare(strategy.get(), s_pushdown, Py_EQ));
}

Ref result_is_federated(const Args& a) {
    Ref strategy = rt::attr(a[0], n_strategy);
    return Ref::steal(PyObject_RichCompare(strategy.get(), s_federated, Py_EQ));
}

Ref result_is_homogeneous(const Args& a) {
    Ref connections = rt::attr(a[0], n_source_connections);
    return Ref::boolean(rt::length(connections.get()) <= 1);
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
    PyObject* self = a[0];
    rt::set_attr(self, n_manifest, a[1]);
    Ref cache = rt::new_dict();
    rt::set_attr(self, n_cache, cache.get());
    return Ref::none();
}

// The record class as this module defined it, and its type version at that
// time: while the module attribute still names this class and the class is
// unchanged, its dataclass __init__ is known to assign the six fields in
// order, so results are built without running it.
PyObject* g_result_class = nullptr;
unsigned int g_result_version = 0;

const Name* const result_fields[] = {&n_source_connections, &n_source_refs, &n_strategy,
                                     &n_primary_connection, &n_reason, &n_user_override};

// QueryAnalysisResult(source_connections=..., ..., user_override=...), the
// class looked up in the module namespace at each call.
Ref make_result(const Args& a, PyObject* connections, PyObject* refs, PyObject* strategy, PyObject* primary,
                PyObject* reason, PyObject* user_override) {
    PyObject* values[] = {connections, refs, strategy, primary, reason, user_override};
    Ref cls = a.global(n_result_class);
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.get());
    if (cls.get() == g_result_class && tp->tp_version_tag == g_result_version && g_result_version != 0) {
        Ref self = Ref::steal(tp->tp_alloc(tp, 0));
        for (size_t i = 0; i < 6; ++i) {
            if (PyObject_GenericSetAttr(self.get(), result_fields[i]->get(), values[i]) < 0) rt::raise();
        }
        return self;
    }
    static PyObject* kwnames = nullptr;
    if (kwnames == nullptr) {
        kwnames = PyTuple_Pack(6, n_source_connections.get(), n_source_refs.get(), n_strategy.get(),
                               n_primary_connection.get(), n_reason.get(), n_user_override.get());
        if (kwnames == nullptr) rt::raise();
    }
    return Ref::steal(PyObject_Vectorcall(cls.get(), values, 0, kwnames));
}

Ref advisor_analyze(const Args& a) {
    PyObject* self = a[0];
    PyObject* node = a[1];
    PyObject* override = a[2];
    PyObject* target = a[3];

    if (attr_equals(node, n_resource_type, s_seed)) {
        Ref connections = rt::new_set();
        Ref refs = rt::new_set();
        return make_result(a, connections.get(), refs.get(), s_pushdown, Py_None, s_seed_reason, Py_None);
    }

    Ref refs = call_own(m_extract, {self, node});
    Ref connections = call_own(m_map, {self, refs.get()});
    const Py_ssize_t count = rt::length(connections.get());

    if (count == 0) {
        bool has_refs = rt::has_attr(node, n_depends_on);
        if (has_refs) has_refs = rt::truthy(rt::attr(node, n_depends_on).get());
        if (has_refs) {
            Ref depends_on = rt::attr(node, n_depends_on);
            has_refs = rt::truthy(rt::attr(depends_on.get(), n_nodes).get());
        }
        Ref reason = (has_refs && non_empty_text(target)) ? rt::concat({s_refs_to_target, target, s_quote})
                                                          : Ref::borrow(s_no_sources);
        PyObject* carried = non_empty_text(override) ? override : Py_None;
        return make_result(a, connections.get(), refs.get(), s_pushdown, target, reason.get(), carried);
    }

    if (count == 1) {
        Ref it = rt::iter(connections.get());
        Ref single = rt::next(it.get());
        if (!single) rt::raise(PyExc_RuntimeError, "set changed size during iteration");
        // The name as str() renders it (itself for an exact str).
        Ref shown = PyUnicode_CheckExact(single.get()) ? Ref::borrow(single.get()) : rt::str_of(single.get());
        if (non_empty_text(target)) {
            Ref differs = Ref::steal(PyObject_RichCompare(target, single.get(), Py_NE));
            if (rt::truthy(differs.get())) {
                Ref reason = rt::concat(
                    {s_cross_source, shown.get(), s_cross_target, target, s_quoted_federation_tail});
                return make_result(a, connections.get(), refs.get(), s_federated, Py_None, reason.get(), override);
            }
        }
        Ref reason = rt::concat({s_all_in_target, shown.get(), s_pushdown_tail});
        return make_result(a, connections.get(), refs.get(), s_pushdown, single.get(), reason.get(), Py_None);
    }

    Ref names = sorted_list_text(connections.get());
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, count);
    Ref number = rt::text(std::string_view(digits, static_cast<size_t>(written.ptr - digits)));
    Ref reason = rt::concat({s_span, number.get(), s_span_connections, names.get(), s_federation_tail});
    return make_result(a, connections.get(), refs.get(), s_federated, Py_None, reason.get(), override);
}

Ref advisor_extract(const Args& a) {
    PyObject* self = a[0];
    PyObject* node = a[1];
    Ref refs = rt::new_set();
    if (!rt::has_attr(node, n_sources) || !rt::truthy(rt::attr(node, n_sources).get())) return refs;
    Ref sources = is_list_tuple_or_set(rt::attr(node, n_sources).get()) ? rt::attr(node, n_sources) : rt::new_list();

    rt::ForEach each(sources.get());
    while (Ref entry = each.next()) {
        PyObject* e = entry.get();
        if (PyUnicode_Check(e)) {
            rt::set_add(refs.get(), e);
        } else if ((PyList_Check(e) || PyTuple_Check(e)) && rt::length(e) == 2) {
            auto [source_name, table_name] = unpack_pair(e);
            Ref package = rt::has_attr(node, n_package_name)
                              ? rt::attr(node, n_package_name)
                              : rt::attr(rt::attr(self, n_root_project).get(), n_project_name);
            Ref p = rt::format_of(package.get());
            Ref s = rt::format_of(source_name.get());
            Ref t = rt::format_of(table_name.get());
            Ref id = rt::concat({s_source_prefix, p.get(), s_dot, s.get(), s_dot, t.get()});
            rt::set_add(refs.get(), id.get());
        }
    }
    return refs;
}

Ref advisor_map(const Args& a) {
    PyObject* self = a[0];
    Ref connections = rt::new_set();
    rt::ForEach each(a[1]);
    while (Ref source_id = each.next()) {
        Ref connection = call_own(m_lookup, {self, source_id.get()});
        if (rt::truthy(connection.get())) rt::set_add(connections.get(), connection.get());
    }
    return connections;
}

// A cached or chosen connection must be exactly a str, or None.
Ref checked_connection(Ref value) {
    if (value.get() != Py_None && !PyUnicode_CheckExact(value.get())) rt::raise_result_type("str", value.get());
    return value;
}

// `source.<name>` when it is a dict: the value of its "connection" key.
Ref dict_connection(PyObject* source, PyObject* name, bool& decided) {
    decided = false;
    if (!rt::has_attr(source, name)) return {};
    if (!PyDict_Check(rt::attr(source, name).get())) return {};
    decided = true;
    Ref meta = rt::attr(source, name);
    return mapping_get(meta.get(), n_connection);
}

Ref advisor_lookup(const Args& a) {
    PyObject* self = a[0];
    PyObject* source_id = a[1];
    Ref cache = rt::attr(self, n_cache);
    if (PyDict_CheckExact(cache.get())) {
        if (Ref cached = rt::dict_get(cache.get(), source_id)) return checked_connection(std::move(cached));
    } else if (rt::contains(cache.get(), source_id)) {
        return checked_connection(Ref::steal(PyObject_GetItem(cache.get(), source_id)));
    }

    Ref manifest = rt::attr(self, n_manifest);
    Ref sources = rt::attr(manifest.get(), n_sources);
    Ref source = rt::call_method(n_get, {sources.get(), source_id});
    if (!rt::truthy(source.get())) return Ref::none();

    Ref connection;
    bool decided = false;
    if (rt::has_attr(source.get(), n_connection) && rt::truthy(rt::attr(source.get(), n_connection).get())) {
        connection = rt::attr(source.get(), n_connection);
    } else {
        connection = dict_connection(source.get(), n_meta, decided);
        if (!decided) connection = dict_connection(source.get(), n_source_meta, decided);
        if (!decided) connection = Ref::none();
    }
    if (PyObject_SetItem(cache.get(), source_id, connection.get()) < 0) rt::raise();
    return checked_connection(std::move(connection));
}

Ref advisor_trace(const Args& a) {
    PyObject* self = a[0];
    PyObject* node_id = a[1];
    Ref visited = a[2] == Py_None ? rt::new_set() : Ref::borrow(a[2]);
    if (rt::contains(visited.get(), node_id)) return rt::new_set();
    rt::set_add(visited.get(), node_id);
    Ref result = rt::new_set();

    Py_ssize_t prefixed = PyUnicode_Tailmatch(node_id, s_source_prefix, 0, PY_SSIZE_T_MAX, -1);
    if (prefixed < 0) rt::raise();
    if (prefixed) {
        rt::set_add(result.get(), node_id);
        return result;
    }

    Ref manifest = rt::attr(self, n_manifest);
    Ref nodes = rt::attr(manifest.get(), n_nodes);
    Ref node = rt::call_method(n_get, {nodes.get(), node_id});
    if (!rt::truthy(node.get())) return result;
    if (rt::has_attr(node.get(), n_resource_type) && attr_equals(node.get(), n_resource_type, s_seed)) return result;

    if (rt::has_attr(node.get(), n_sources) && rt::truthy(rt::attr(node.get(), n_sources).get())) {
        Ref sources = is_list_tuple_or_set(rt::attr(node.get(), n_sources).get()) ? rt::attr(node.get(), n_sources)
                                                                                   : rt::new_list();
        rt::ForEach each(sources.get());
        while (Ref entry = each.next())
            if (PyUnicode_Check(entry.get())) rt::set_add(result.get(), entry.get());
    }

    if (rt::has_attr(node.get(), n_depends_on) && rt::truthy(rt::attr(node.get(), n_depends_on).get())) {
        Ref deps = rt::attr(rt::attr(node.get(), n_depends_on).get(), n_nodes);
        if (is_list_tuple_or_set(deps.get())) {
            deps = rt::attr(rt::attr(node.get(), n_depends_on).get(), n_nodes);
        } else {
            deps = rt::new_list();
        }
        rt::ForEach each(deps.get());
        while (Ref dep = each.next()) {
            if (!PyUnicode_Check(dep.get())) continue;
            Ref upstream = call_own(m_trace, {self, dep.get(), visited.get()});
            set_update(result.get(), upstream.get());
        }
    }
    return result;
}

// self.analyze(node). analyze's defaults (None, None) are fixed: a function
// of this runtime has a read-only __defaults__.
Ref analyze_node(PyObject* self, PyObject* node) {
    if (finds_own(self, m_analyze)) return rt::call_native(m_analyze.function, {self, node, Py_None, Py_None});
    return rt::call_method(n_analyze, {self, node});
}

Ref advisor_summary(const Args& a) {
    PyObject* self = a[0];
    PyObject* node = a[1];
    Ref result = analyze_node(self, node);
    Ref lines = rt::new_list();
    auto line = [&](const char* label, PyObject* value) {
        Ref v = rt::format_of(value);
        Ref l = Ref::steal(PyUnicode_FromFormat("%s%U", label, v.get()));
        rt::append(lines.get(), l.get());
    };

    line("Node: ", rt::attr(node, n_unique_id).get());
    Ref strategy = rt::attr(result.get(), n_strategy);
    line("Strategy: ", rt::call_method(n_upper, {strategy.get()}).get());
    line("Reason: ", rt::attr(result.get(), n_reason).get());
    Ref connections_text = rt::truthy(rt::attr(result.get(), n_source_connections).get())
                               ? sorted_list_text(rt::attr(result.get(), n_source_connections).get())
                               : rt::text("None");
    line("Source Connections: ", connections_text.get());
    Ref refs = rt::attr(result.get(), n_source_refs);
    line("Source Count: ", rt::integer(rt::length(refs.get())).get());
    if (rt::truthy(rt::attr(result.get(), n_primary_connection).get()))
        line("Execution Connection: ", rt::attr(result.get(), n_primary_connection).get());
    if (rt::truthy(rt::attr(result.get(), n_user_override).get()))
        line("User Override: ", rt::attr(result.get(), n_user_override).get());
    return rt::join("\n", lines.get());
}

Ref advisor_batch(const Args& a) {
    PyObject* self = a[0];
    Ref results = rt::new_dict();
    rt::ForEach each(a[1]);
    while (Ref node = each.next()) {
        Ref result = analyze_node(self, node.get());
        Ref id = rt::attr(node.get(), n_unique_id);
        rt::set_item(results.get(), id.get(), result.get());
    }
    return results;
}

// The nodes whose analysis has a truthy `property`, in list order.
Ref filter_nodes(const Args& a, PyObject* property) {
    PyObject* self = a[0];
    Ref kept = rt::new_list();
    rt::ForEach each(a[1]);
    while (Ref node = each.next()) {
        Ref result = analyze_node(self, node.get());
        if (rt::truthy(rt::attr(result.get(), property).get())) rt::append(kept.get(), node.get());
    }
    return kept;
}

Ref advisor_federated(const Args& a) { return filter_nodes(a, n_is_federated); }
Ref advisor_pushdown(const Args& a) { return filter_nodes(a, n_is_pushdown); }

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

void exec_module(PyObject* m) {
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
    rt::add(m, "QueryAnalysisResult", result_class.get());
    // Only the dataclass' own __init__ and object's allocation qualify for
    // the direct construction in make_result.
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(result_class.get());
    if (tp->tp_new == PyBaseObject_Type.tp_new && PyUnstable_Type_AssignVersionTag(tp)) {
        Py_XSETREF(g_result_class, Py_NewRef(result_class.get()));
        g_result_version = tp->tp_version_tag;
    }

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
    rt::add(m, "PlanAdvisor", advisor.get());
    remember_own_class(advisor.get());
}

}  // namespace

RT_MODULE(PyInit_plan_advisor, "strix.plan_advisor",
          "Pushdown-or-federated execution strategy analysis for compiled nodes.", exec_module)
