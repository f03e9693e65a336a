// strix.task.docs.api.profile: the read-only profiling API mounted by the
// docs server under /api/profile. Every request opens the project's metadata
// store through `_get_store`, reads from it and closes it again.
#include "module.hpp"

#include "json_decode.hpp"

namespace {

using rt::Args, rt::Check, rt::FunctionSpec, rt::Obj, rt::Param, rt::Ref;

// --- module state ----------------------------------------------------------

#define PROFILE_NAMES(X) \
    X(_project_root, "_project_root") \
    X(_store_initialized, "_store_initialized") \
    X(_get_store, "_get_store") \
    X(HTTPException, "HTTPException") \
    X(Query, "Query") \
    X(router, "router") \
    X(APIRouter, "APIRouter") \
    X(get, "get") \
    X(status_code, "status_code") \
    X(detail, "detail") \
    X(description, "description") \
    X(prefix, "prefix") \
    X(tags, "tags") \
    X(initialize, "initialize") \
    X(close, "close") \
    X(get_all_profiled_tables, "get_all_profiled_tables") \
    X(get_table_profile, "get_table_profile") \
    X(get_profile_alerts, "get_profile_alerts") \
    X(isoformat, "isoformat") \
    X(loads, "loads") \
    X(source_name, "source_name") \
    X(table_name, "table_name") \
    X(profile_mode, "profile_mode") \
    X(last_profiled, "last_profiled") \
    X(row_count, "row_count") \
    X(column_count, "column_count") \
    X(profiled_at, "profiled_at") \
    X(columns, "columns") \
    X(severity, "severity") \
    X(type, "type") \
    X(total_tables, "total_tables") \
    X(total_alerts, "total_alerts") \
    X(alerts_by_type, "alerts_by_type") \
    X(alerts_by_severity, "alerts_by_severity") \
    X(column_name, "column_name") \
    X(null_count, "null_count") \
    X(null_percent, "null_percent") \
    X(distinct_count, "distinct_count") \
    X(distinct_percent, "distinct_percent") \
    X(min_value, "min_value") \
    X(max_value, "max_value") \
    X(mean_value, "mean_value") \
    X(median_value, "median_value") \
    X(stddev_value, "stddev_value") \
    X(p25, "p25") \
    X(p50, "p50") \
    X(p75, "p75") \
    X(min_length, "min_length") \
    X(max_length, "max_length") \
    X(avg_length, "avg_length") \
    X(histogram, "histogram") \
    X(top_values, "top_values") \
    X(alerts, "alerts") \
    X(duration_ms, "duration_ms") \
    X(_default_decoder, "_default_decoder")

// The alert counts' keys for alerts without a type or severity.
#define PROFILE_TEXTS(X) \
    X(unknown, "unknown") \
    X(info, "info")

// http_kwnames: the keywords of HTTPException(status_code=, detail=).
// json_loads, json_decoder: the standard json.loads and its
// json._default_decoder (empty when missing) as imported at exec time.
#define PROFILE_FIELDS(X) \
    X(rt::Ref, http_kwnames) \
    X(rt::Ref, json_loads) \
    X(rt::Ref, json_decoder)

struct State : rt::ModuleState {
    RT_NAMES(PROFILE_NAMES) names;
    RT_TEXTS(PROFILE_TEXTS) texts;
    RT_FIELDS(PROFILE_FIELDS)
};

using Names = State::Names;

// The 20 keys of a column dict, which are also the record attributes they
// are read from, in response order. JSON fields are decoded; their empty
// value differs.
enum class Field { Plain, JsonOrNone, JsonOrEmptyList };
struct ColumnKey {
    rt::Interned Names::*name;
    Field kind;
};
const ColumnKey column_keys[] = {
    {&Names::column_name, Field::Plain},      {&Names::null_count, Field::Plain},
    {&Names::null_percent, Field::Plain},     {&Names::distinct_count, Field::Plain},
    {&Names::distinct_percent, Field::Plain}, {&Names::min_value, Field::Plain},
    {&Names::max_value, Field::Plain},        {&Names::mean_value, Field::Plain},
    {&Names::median_value, Field::Plain},     {&Names::stddev_value, Field::Plain},
    {&Names::p25, Field::Plain},              {&Names::p50, Field::Plain},
    {&Names::p75, Field::Plain},              {&Names::min_length, Field::Plain},
    {&Names::max_length, Field::Plain},       {&Names::avg_length, Field::Plain},
    {&Names::histogram, Field::JsonOrNone},   {&Names::top_values, Field::JsonOrNone},
    {&Names::alerts, Field::JsonOrEmptyList}, {&Names::duration_ms, Field::Plain},
};

// --- small helpers ---------------------------------------------------------

// `raise HTTPException(status_code=status, detail=detail)`, with the class
// looked up in the module namespace at the time of the call. `detail` is
// computed by `make_detail` after the lookup, in the order of the statement.
template <class MakeDetail>
[[noreturn]] void raise_http(const Args& a, long status, MakeDetail&& make_detail) {
    const State& st = a.state<State>();
    Ref cls = a.global(st.names.HTTPException);  // per call: a rebound module name is seen
    Ref code = rt::integer(status);
    Ref detail = make_detail();
    Ref exc = rt::call_kw(cls, {code, detail}, st.http_kwnames);
    rt::raise_object(exc);
}

// `value.isoformat() if value else None`, where `read` fetches the value:
// once for the test and once more for the call, as the expression reads it
// twice (a store's row or record may answer differently each time).
template <class Read>
Ref iso_or_none(const Names& n, Read&& read) {
    if (!rt::truthy(read())) return Ref::none();
    Ref value = read();
    return rt::call_method(n.isoformat, {value});
}

// The frame every endpoint runs in: `store = _get_store()` (looked up in the
// module namespace at each call), then `try: work(store) finally:
// store.close()`. An exception from close() replaces the result or the
// pending exception, with the pending one as its context.
template <class Work>
Ref with_store(const Args& a, Work&& work) {
    const Names& n = a.state<State>().names;
    Ref get_store = a.global(n._get_store);
    Ref store = rt::call(get_store);
    return rt::try_finally([&] { return work(store); }, [&] { rt::call_method(n.close, {store}); });
}

// --- set_project_root and _get_store ---------------------------------------

// `global _project_root, _store_initialized` assignments: the module dict.
Ref set_project_root_body(const Args& a) {
    const Names& n = a.state<State>().names;
    rt::setitem(a.globals(), n._project_root, a[0]);
    rt::setitem(a.globals(), n._store_initialized, Py_True);
    return Ref::none();
}

Ref get_store_body(const Args& a) {
    const Names& n = a.state<State>().names;
    {
        Ref root = a.global(n._project_root);
        if (rt::is(root, Py_None))
            raise_http(a, 500, [] { return rt::text("Project root not configured"); });
    }
    return rt::try_except(
        PyExc_Exception,
        [&] {
            Ref cls = rt::import_from(a.state<State>(), "strix.compute.metadata", "ProjectMetadataStore");
            Ref root = a.global(n._project_root);
            Ref store = rt::call(cls, {root});
            Ref initialized = a.global(n._store_initialized);
            if (!rt::truthy(initialized)) {
                rt::call_method(n.initialize, {store});
                rt::setitem(a.globals(), n._store_initialized, Py_True);
            }
            return store;
        },
        [&](Obj caught) -> Ref {
            raise_http(a, 500, [&] { return rt::fstring("Could not open metadata store: ", rt::Str{caught}); });
        });
}

// --- table endpoints -------------------------------------------------------

Ref list_profiled_tables_body(const Args& a) {
    const Names& n = a.state<State>().names;
    return with_store(a, [&](Obj store) {
        Ref tables = rt::call_method(n.get_all_profiled_tables, {store});
        Ref result = rt::new_list();
        rt::ForEach each(tables);
        while (Ref row = each.next()) {
            Ref entry = rt::new_dict();
            rt::setitem(entry, n.source_name, rt::getitem(row, 0));
            rt::setitem(entry, n.table_name, rt::getitem(row, 1));
            rt::setitem(entry, n.profile_mode, rt::getitem(row, 2));
            Ref last = iso_or_none(n, [&] { return rt::getitem(row, 3); });
            rt::setitem(entry, n.last_profiled, last);
            rt::append(result, entry);
        }
        return result;
    });
}

// Whether `loads`, looked up on `json_module` just now, is still the standard
// json.loads with its default decoder.
bool is_standard_loads(const State& st, Obj json_module, Obj loads) {
    if (!rt::is(loads, st.json_loads) || !st.json_decoder || !PyModule_Check(json_module)) return false;
    Ref decoder = rt::dict_get(PyModule_GetDict(json_module), st.names._default_decoder);
    return rt::is(decoder, st.json_decoder);
}

// One JSON field of a record: `json.loads(rec.f) if rec.f else <empty>`.
// The fast decoder stands in for json.loads only while json.loads is the
// standard one and it fully understands the text; everything else (errors
// included) is left to json.loads itself.
Ref json_field(const State& st, Obj json_module, Obj record, Obj name, Field kind) {
    const Names& n = st.names;
    {
        Ref value = rt::getattr(record, name);
        if (!rt::truthy(value)) return kind == Field::JsonOrEmptyList ? rt::new_list() : Ref::none();
    }
    // json.loads is looked up at each call and the field read a second time,
    // as the expression does.
    Ref loads = rt::getattr(json_module, n.loads);
    Ref text = rt::getattr(record, name);
    if (is_standard_loads(st, json_module, loads)) {
        if (Ref decoded = profile_json::try_decode(text)) return decoded;
    }
    return rt::call(loads, {text});
}

Ref get_table_profile_body(const Args& a) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    PyObject* source_name = a[0];
    PyObject* table_name = a[1];
    PyObject* mode = a[2];
    Ref json_module = rt::import_in_function(a.globals(), "json");

    return with_store(a, [&](Obj store) {
        Ref profiles = rt::call_method(n.get_table_profile, {store, source_name, table_name, mode});
        if (!rt::truthy(profiles)) {
            raise_http(a, 404, [&] { return rt::fstring("No profile found for ", source_name, ".", table_name); });
        }
        Ref first = rt::getitem(profiles, 0);

        Ref result = rt::new_dict();
        rt::setitem(result, n.source_name, source_name);
        rt::setitem(result, n.table_name, table_name);
        rt::setitem(result, n.profile_mode, rt::getattr(first, n.profile_mode));
        rt::setitem(result, n.row_count, rt::getattr(first, n.row_count));
        rt::setitem(result, n.column_count, rt::integer(rt::len(profiles)));
        Ref profiled_at = iso_or_none(n, [&] { return rt::getattr(first, n.profiled_at); });
        rt::setitem(result, n.profiled_at, profiled_at);

        // Column dicts are copies of a template holding the keys in order,
        // so each one is built without rehashing or resizing.
        Ref column_template = rt::new_dict();
        for (const ColumnKey& key : column_keys) rt::setitem(column_template, n.*key.name, Py_None);

        Ref columns = rt::new_list();
        rt::ForEach each(profiles);
        while (Ref record = each.next()) {
            Ref column = Ref::steal(PyDict_Copy(column_template.get()));
            for (const ColumnKey& key : column_keys) {
                PyObject* name = n.*key.name;
                Ref value = key.kind == Field::Plain ? rt::getattr(record, name)
                                                     : json_field(st, json_module, record, name, key.kind);
                rt::setitem(column, name, value);
            }
            rt::append(columns, column);
        }
        rt::setitem(result, n.columns, columns);
        return result;
    });
}

// --- alerts and statistics -------------------------------------------------

Ref get_profile_alerts_body(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* source_name = a[0];
    PyObject* severity = a[1];
    return with_store(a, [&](Obj store) {
        Ref alerts = rt::call_method(n.get_profile_alerts, {store, source_name});
        if (severity != Py_None && PyUnicode_GET_LENGTH(severity) > 0) {
            Ref kept = rt::new_list();
            rt::ForEach each(alerts);
            while (Ref alert = each.next()) {
                Ref value = rt::mapping_get(alert, n.severity);
                if (rt::truthy(rt::eq(value, severity))) rt::append(kept, alert);
            }
            alerts = std::move(kept);
        }
        if (!rt::is(alerts, Py_None) && !PyList_CheckExact(alerts.get())) rt::raise_result_type("list", alerts);
        return alerts;
    });
}

// counts[key] = counts.get(key, 0) + 1 for a dict of our own int counts.
void count_key(Obj counts, Obj key) {
    Ref current = rt::dict_get(counts, key);
    Ref next = current ? rt::add(current, rt::integer(1)) : rt::integer(1);
    rt::setitem(counts, key, next);
}

// {value of alert.get(key, default): number of alerts} in first-seen order.
Ref count_alerts(Obj alerts, Obj key, Obj default_value) {
    Ref counts = rt::new_dict();
    rt::ForEach each(alerts);
    while (Ref alert = each.next()) {
        Ref value = rt::mapping_get(alert, key, default_value);
        count_key(counts, value);
    }
    return counts;
}

Ref get_profile_stats_body(const Args& a) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    return with_store(a, [&](Obj store) {
        Ref tables = rt::call_method(n.get_all_profiled_tables, {store});
        Ref alerts = rt::call_method(n.get_profile_alerts, {store});
        Ref by_type = count_alerts(alerts, n.type, st.texts.unknown);
        Ref by_severity = count_alerts(alerts, n.severity, st.texts.info);
        Ref result = rt::new_dict();
        rt::setitem(result, n.total_tables, rt::integer(rt::len(tables)));
        rt::setitem(result, n.total_alerts, rt::integer(rt::len(alerts)));
        rt::setitem(result, n.alerts_by_type, by_type);
        rt::setitem(result, n.alerts_by_severity, by_severity);
        return result;
    });
}

// --- function tables -------------------------------------------------------

const Param set_project_root_params[] = {{"project_root", Check::Any, "Path"}};
const Param table_profile_params[] = {
    {"source_name", Check::Str, "str"},
    {"table_name", Check::Str, "str"},
    {"mode", Check::OptStr, "Optional[str]"},
};
const Param alerts_params[] = {
    {"source_name", Check::OptStr, "Optional[str]"},
    {"severity", Check::OptStr, "Optional[str]"},
};

const FunctionSpec set_project_root_spec{
    .name = "set_project_root", .doc = "Set project root for API access.",
    .params = set_project_root_params, .returns = "None", .body = set_project_root_body};
const FunctionSpec get_store_spec{
    .name = "_get_store", .doc = "Get metadata store instance (lazy initialization).", .body = get_store_body};
const FunctionSpec list_profiled_tables_spec{
    .name = "list_profiled_tables",
    .doc = "List all profiled tables.\nReturns table names with last profile timestamp and mode.",
    .returns = "List[Dict[str, Any]]", .body = list_profiled_tables_body, .coroutine = true};
const FunctionSpec get_table_profile_spec{
    .name = "get_table_profile",
    .doc = "Get profile results for a specific table.\nReturns all column profiles with metrics.",
    .params = table_profile_params, .returns = "Dict[str, Any]", .body = get_table_profile_body,
    .coroutine = true};
const FunctionSpec get_profile_alerts_spec{
    .name = "get_profile_alerts",
    .doc = "Get all profile alerts.\nReturns alerts from profile results, optionally filtered.",
    .params = alerts_params, .returns = "List[Dict[str, Any]]", .body = get_profile_alerts_body,
    .coroutine = true};
const FunctionSpec get_profile_stats_spec{
    .name = "get_profile_stats",
    .doc = "Get profiling statistics.\nReturns counts of profiled tables, columns, alerts.",
    .returns = "Dict[str, Any]", .body = get_profile_stats_body, .coroutine = true};

// --- module exec -----------------------------------------------------------

// Stand-ins for FastAPI's names when it cannot be imported: enough for the
// module to import and for its endpoints to be called and awaited directly.
const char fallback_source[] = R"(
class APIRouter:
    def __init__(self, *args, **kwargs):
        pass

    def get(self, *args, **kwargs):
        def decorator(func):
            return func
        return decorator

class HTTPException(Exception):
    def __init__(self, status_code, detail):
        self.status_code = status_code
        self.detail = detail

def Query(*args, **kwargs):
    return None
)";

// `from fastapi import APIRouter, HTTPException, Query`, or the fallbacks
// when that statement raises ImportError.
void bind_fastapi_names(Obj m) {
    const bool imported = rt::suppress(PyExc_ImportError, [&] {
        for (const char* name : {"APIRouter", "HTTPException", "Query"}) rt::add_import_from(m, "fastapi", name);
    });
    if (imported) return;
    Ref module_name = Ref::steal(PyModule_GetNameObject(m));
    Ref code = rt::compile(fallback_source, rt::fstring("<", module_name, " fallbacks>"));
    rt::exec(code, PyModule_GetDict(m));
}

// `@router.get(path)` on an endpoint: the decorator is made before the
// defaults are evaluated, as for a decorated def, and its result becomes the
// module attribute.
void route(Obj m, const State& st, const char* path, const FunctionSpec& decl,
           std::initializer_list<const char*> query_descriptions = {}) {
    const Names& n = st.names;
    PyObject* ns = PyModule_GetDict(m);
    Ref router = rt::lookup_global(ns, n.router);
    Ref decorator = rt::call_method(n.get, {router, rt::text(path)});
    std::vector<Ref> defaults;
    for (const char* description : query_descriptions) {
        Ref query = rt::lookup_global(ns, n.Query);
        Ref kwnames = rt::kwnames({n.description});
        Ref text = rt::text(description);
        defaults.push_back(rt::call_kw(query, {Py_None, text}, kwnames));
    }
    Ref fn = rt::make_function(m, decl, std::move(defaults));
    Ref bound = rt::call(decorator, {fn});
    rt::set_global(m, decl.name, bound);
}

void exec_module(Obj m, State& st) {
    const Names& n = st.names;
    st.http_kwnames = rt::kwnames({n.status_code, n.detail});
    rt::add_import_from(m, "pathlib", "Path");
    for (const char* name : {"Any", "Dict", "List", "Optional"}) rt::add_import_from(m, "typing", name);
    bind_fastapi_names(m);

    {
        Ref api_router = rt::lookup_global(PyModule_GetDict(m), n.APIRouter);
        Ref kwnames = rt::kwnames({n.prefix, n.tags});
        Ref prefix = rt::text("/api/profile");
        Ref tags = rt::new_list();
        rt::append(tags, rt::text("profile"));
        Ref router = rt::call_kw(api_router, {prefix, tags}, kwnames);
        rt::set_global(m, "router", router);
    }
    rt::set_global(m, "_project_root", Py_None);
    rt::set_global(m, "_store_initialized", Py_False);
    rt::def(m, set_project_root_spec);
    rt::def(m, get_store_spec);

    {
        // json.loads and its default decoder as imported now: the fast decoder
        // stands in for them only (see json_field).
        Ref json = rt::import("json");
        st.json_loads = rt::getattr(json, n.loads);
        st.json_decoder = rt::optional_attr(json, n._default_decoder);
    }
    route(m, st, "/tables", list_profiled_tables_spec);
    route(m, st, "/tables/{source_name}/{table_name}", get_table_profile_spec, {"Profile mode filter"});
    route(m, st, "/alerts", get_profile_alerts_spec, {"Filter by source", "Filter by severity: info, warning, error"});
    route(m, st, "/stats", get_profile_stats_spec);
}

}  // namespace

RT_MODULE(PyInit_profile, "strix.task.docs.api.profile",
          "Read-only profiling API (router under /api/profile) over the project's metadata store.", State,
          exec_module)
