// strix.task.docs.api.profile: the read-only profiling API mounted by the
// docs server under /api/profile. Every request opens the project's metadata
// store through `_get_store`, reads from it and closes it again.
#include "module.hpp"

#include "json_decode.hpp"

namespace {

using rt::Args;
using rt::Check;
using rt::FunctionSpec;
using rt::Name;
using rt::Param;
using rt::Ref;

// --- interned names ------------------------------------------------------

const Name n_project_root("_project_root");
const Name n_store_initialized("_store_initialized");
const Name n_get_store("_get_store");
const Name n_http_exception("HTTPException");
const Name n_query("Query");
const Name n_router("router");
const Name n_api_router("APIRouter");
const Name n_get("get");
const Name n_status_code("status_code");
const Name n_detail("detail");
const Name n_description("description");
const Name n_prefix("prefix");
const Name n_tags("tags");
const Name n_initialize("initialize");
const Name n_close("close");
const Name n_get_all_profiled_tables("get_all_profiled_tables");
const Name n_store_get_table_profile("get_table_profile");
const Name n_store_get_profile_alerts("get_profile_alerts");
const Name n_isoformat("isoformat");
const Name n_json("json");
const Name n_loads("loads");

const Name k_source_name("source_name");
const Name k_table_name("table_name");
const Name k_profile_mode("profile_mode");
const Name k_last_profiled("last_profiled");
const Name k_row_count("row_count");
const Name k_column_count("column_count");
const Name k_profiled_at("profiled_at");
const Name k_columns("columns");
const Name k_severity("severity");
const Name k_type("type");
const Name k_total_tables("total_tables");
const Name k_total_alerts("total_alerts");
const Name k_alerts_by_type("alerts_by_type");
const Name k_alerts_by_severity("alerts_by_severity");

const Name s_unknown("unknown");
const Name s_info("info");

// The 20 keys of a column dict, which are also the record attributes they
// are read from, in response order. JSON fields are decoded; their empty
// value differs.
enum class Field { Plain, JsonOrNone, JsonOrEmptyList };
struct ColumnKey {
    Name name;
    Field kind;
};
const ColumnKey column_keys[] = {
    {Name("column_name"), Field::Plain},     {Name("null_count"), Field::Plain},
    {Name("null_percent"), Field::Plain},    {Name("distinct_count"), Field::Plain},
    {Name("distinct_percent"), Field::Plain}, {Name("min_value"), Field::Plain},
    {Name("max_value"), Field::Plain},       {Name("mean_value"), Field::Plain},
    {Name("median_value"), Field::Plain},    {Name("stddev_value"), Field::Plain},
    {Name("p25"), Field::Plain},             {Name("p50"), Field::Plain},
    {Name("p75"), Field::Plain},             {Name("min_length"), Field::Plain},
    {Name("max_length"), Field::Plain},      {Name("avg_length"), Field::Plain},
    {Name("histogram"), Field::JsonOrNone},  {Name("top_values"), Field::JsonOrNone},
    {Name("alerts"), Field::JsonOrEmptyList}, {Name("duration_ms"), Field::Plain},
};

// --- small helpers ---------------------------------------------------------

// globals()[name] = value
void set_global(const Args& a, PyObject* name, PyObject* value) {
    if (PyDict_SetItem(a.globals(), name, value) < 0) rt::raise();
}

// `raise HTTPException(status_code=status, detail=detail)`, with the class
// looked up in the module namespace at the time of the call. `detail` is
// computed by `make_detail` after the lookup, in the order of the statement.
template <class MakeDetail>
[[noreturn]] void raise_http(const Args& a, long status, MakeDetail&& make_detail) {
    static PyObject* kwnames = nullptr;
    if (kwnames == nullptr) {
        kwnames = PyTuple_Pack(2, n_status_code.get(), n_detail.get());
        if (kwnames == nullptr) rt::raise();
    }
    Ref cls = a.global(n_http_exception);
    Ref code = rt::integer(status);
    Ref detail = make_detail();
    PyObject* values[] = {code.get(), detail.get()};
    Ref exc = Ref::steal(PyObject_Vectorcall(cls.get(), values, 0, kwnames));
    rt::raise_object(exc.get());
}

// obj[index] for a row or sequence, straight from an exact tuple or list
// while the index is in range.
Ref item_at(PyObject* obj, Py_ssize_t index) {
    if (PyTuple_CheckExact(obj) && index < PyTuple_GET_SIZE(obj)) return Ref::borrow(PyTuple_GET_ITEM(obj, index));
    if (PyList_CheckExact(obj) && index < PyList_GET_SIZE(obj)) return Ref::borrow(PyList_GET_ITEM(obj, index));
    return rt::item(obj, index);
}

// `mapping.get(key)` / `mapping.get(key, default)`, straight to the dict for
// an exact dict.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* default_value = nullptr) {
    if (PyDict_CheckExact(mapping)) {
        Ref v = rt::dict_get(mapping, key);
        if (v) return v;
        return Ref::borrow(default_value ? default_value : Py_None);
    }
    if (default_value) return rt::call_method(n_get, {mapping, key, default_value});
    return rt::call_method(n_get, {mapping, key});
}

// `value.isoformat() if value else None`, where `read` fetches the value
// (called once for the test and once more for the call).
template <class Read>
Ref iso_or_none(Read&& read) {
    if (!rt::truthy(read().get())) return Ref::none();
    Ref value = read();
    return rt::call_method(n_isoformat, {value.get()});
}

// Turns a C++ exception other than rt::PyError into the Python error the
// runtime's guard would report, so that the endpoint frame can treat every
// failure alike.
void set_error_from_current_exception() {
    try {
        throw;
    } catch (const rt::PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// The frame every endpoint runs in: `store = _get_store()` (looked up in the
// module namespace at each call), then `try: work(store) finally:
// store.close()`. An exception from close() replaces the result or the
// pending exception, with the pending one as its context.
template <class Work>
Ref with_store(const Args& a, Work&& work) {
    Ref get_store = a.global(n_get_store);
    Ref store = rt::call(get_store.get());
    Ref result;
    try {
        result = work(store.get());
    } catch (...) {
        set_error_from_current_exception();
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        {
            rt::HandlingScope handling(pending.get());
            rt::call_method(n_close, {store.get()});
        }
        PyErr_SetRaisedException(pending.release());
        rt::raise();
    }
    rt::call_method(n_close, {store.get()});
    return result;
}

// --- set_project_root and _get_store ---------------------------------------

Ref set_project_root_body(const Args& a) {
    set_global(a, n_project_root, a[0]);
    set_global(a, n_store_initialized, Py_True);
    return Ref::none();
}

Ref get_store_body(const Args& a) {
    {
        Ref root = a.global(n_project_root);
        if (root.get() == Py_None)
            raise_http(a, 500, [] { return rt::text("Project root not configured"); });
    }
    try {
        Ref cls = rt::import_from("strix.compute.metadata", "ProjectMetadataStore");
        Ref root = a.global(n_project_root);
        Ref store = rt::call(cls.get(), {root.get()});
        Ref initialized = a.global(n_store_initialized);
        if (!rt::truthy(initialized.get())) {
            rt::call_method(n_initialize, {store.get()});
            set_global(a, n_store_initialized, Py_True);
        }
        return store;
    } catch (const rt::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Ref caught = Ref::steal(PyErr_GetRaisedException());
        rt::HandlingScope handling(caught.get());
        raise_http(a, 500, [&] {
            Ref prefix = rt::text("Could not open metadata store: ");
            Ref message = rt::str_of(caught.get());
            return rt::concat(prefix.get(), message.get());
        });
    }
}

// --- table endpoints -------------------------------------------------------

Ref list_profiled_tables_body(const Args& a) {
    return with_store(a, [&](PyObject* store) {
        Ref tables = rt::call_method(n_get_all_profiled_tables, {store});
        Ref result = rt::new_list();
        rt::ForEach each(tables.get());
        while (Ref row = each.next()) {
            PyObject* r = row.get();
            Ref entry = rt::new_dict();
            rt::set_item(entry.get(), k_source_name, item_at(r, 0).get());
            rt::set_item(entry.get(), k_table_name, item_at(r, 1).get());
            rt::set_item(entry.get(), k_profile_mode, item_at(r, 2).get());
            Ref last = iso_or_none([&] { return item_at(r, 3); });
            rt::set_item(entry.get(), k_last_profiled, last.get());
            rt::append(result.get(), entry.get());
        }
        return result;
    });
}

// One JSON field of a record: `json.loads(rec.f) if rec.f else <empty>`.
// The fast decoder stands in for json.loads only while json.loads is the
// standard one and it fully understands the text; everything else (errors
// included) is left to json.loads itself.
Ref json_field(PyObject* json_module, PyObject* record, PyObject* name, Field kind) {
    {
        Ref value = rt::attr(record, name);
        if (!rt::truthy(value.get())) return kind == Field::JsonOrEmptyList ? rt::new_list() : Ref::none();
    }
    Ref loads = rt::attr(json_module, n_loads);
    Ref text = rt::attr(record, name);
    if (profile_json::is_standard_loads(json_module, loads.get())) {
        if (Ref decoded = profile_json::try_decode(text.get())) return decoded;
    }
    return rt::call(loads.get(), {text.get()});
}

Ref get_table_profile_body(const Args& a) {
    PyObject* source_name = a[0];
    PyObject* table_name = a[1];
    PyObject* mode = a[2];
    Ref json_module = Ref::steal(PyImport_ImportModuleLevelObject(n_json, a.globals(), nullptr, nullptr, 0));

    return with_store(a, [&](PyObject* store) {
        Ref profiles = rt::call_method(n_store_get_table_profile, {store, source_name, table_name, mode});
        if (!rt::truthy(profiles.get())) {
            raise_http(a, 404, [&] {
                return Ref::steal(PyUnicode_FromFormat("No profile found for %U.%U", source_name, table_name));
            });
        }
        Ref first = item_at(profiles.get(), 0);
        PyObject* f = first.get();

        Ref result = Ref::steal(_PyDict_NewPresized(7));
        rt::set_item(result.get(), k_source_name, source_name);
        rt::set_item(result.get(), k_table_name, table_name);
        rt::set_item(result.get(), k_profile_mode, rt::attr(f, k_profile_mode).get());
        rt::set_item(result.get(), k_row_count, rt::attr(f, k_row_count).get());
        rt::set_item(result.get(), k_column_count, rt::integer(rt::length(profiles.get())).get());
        Ref profiled_at = iso_or_none([&] { return rt::attr(f, k_profiled_at); });
        rt::set_item(result.get(), k_profiled_at, profiled_at.get());

        // Column dicts are copies of a template holding the keys in order,
        // so each one is built without rehashing or resizing.
        Ref column_template = Ref::steal(_PyDict_NewPresized(std::size(column_keys)));
        for (const ColumnKey& key : column_keys) rt::set_item(column_template.get(), key.name, Py_None);

        Ref columns = rt::new_list();
        rt::ForEach each(profiles.get());
        while (Ref record = each.next()) {
            Ref column = Ref::steal(PyDict_Copy(column_template.get()));
            for (const ColumnKey& key : column_keys) {
                Ref value = key.kind == Field::Plain ? rt::attr(record.get(), key.name)
                                                     : json_field(json_module.get(), record.get(), key.name, key.kind);
                rt::set_item(column.get(), key.name, value.get());
            }
            rt::append(columns.get(), column.get());
        }
        rt::set_item(result.get(), k_columns, columns.get());
        return result;
    });
}

// --- alerts and statistics -------------------------------------------------

Ref get_profile_alerts_body(const Args& a) {
    PyObject* source_name = a[0];
    PyObject* severity = a[1];
    return with_store(a, [&](PyObject* store) {
        Ref alerts = rt::call_method(n_store_get_profile_alerts, {store, source_name});
        if (severity != Py_None && PyUnicode_GET_LENGTH(severity) > 0) {
            Ref kept = rt::new_list();
            rt::ForEach each(alerts.get());
            while (Ref alert = each.next()) {
                Ref value = mapping_get(alert.get(), k_severity);
                Ref same = Ref::steal(PyObject_RichCompare(value.get(), severity, Py_EQ));
                if (rt::truthy(same.get())) rt::append(kept.get(), alert.get());
            }
            alerts = std::move(kept);
        }
        if (alerts.get() != Py_None && !PyList_CheckExact(alerts.get())) rt::raise_result_type("list", alerts.get());
        return alerts;
    });
}

// counts[key] = counts.get(key, 0) + 1 for a dict of our own int counts.
void count_key(PyObject* counts, PyObject* key) {
    Ref current = rt::dict_get(counts, key);
    Ref next = current ? Ref::steal(PyNumber_Add(current.get(), rt::integer(1).get())) : rt::integer(1);
    rt::set_item(counts, key, next.get());
}

// {value of alert.get(key, default): number of alerts} in first-seen order.
Ref count_alerts(PyObject* alerts, PyObject* key, PyObject* default_value) {
    Ref counts = rt::new_dict();
    rt::ForEach each(alerts);
    while (Ref alert = each.next()) {
        Ref value = mapping_get(alert.get(), key, default_value);
        count_key(counts.get(), value.get());
    }
    return counts;
}

Ref get_profile_stats_body(const Args& a) {
    return with_store(a, [&](PyObject* store) {
        Ref tables = rt::call_method(n_get_all_profiled_tables, {store});
        Ref alerts = rt::call_method(n_store_get_profile_alerts, {store});
        Ref by_type = count_alerts(alerts.get(), k_type, s_unknown);
        Ref by_severity = count_alerts(alerts.get(), k_severity, s_info);
        Ref result = rt::new_dict();
        rt::set_item(result.get(), k_total_tables, rt::integer(rt::length(tables.get())).get());
        rt::set_item(result.get(), k_total_alerts, rt::integer(rt::length(alerts.get())).get());
        rt::set_item(result.get(), k_alerts_by_type, by_type.get());
        rt::set_item(result.get(), k_alerts_by_severity, by_severity.get());
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
void bind_fastapi_names(PyObject* m) {
    static const char* const names[] = {"APIRouter", "HTTPException", "Query"};
    try {
        for (const char* name : names) {
            Ref value = rt::import_from("fastapi", name);
            rt::add(m, name, value.get());
        }
        return;
    } catch (const rt::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
    }
    Ref filename = Ref::steal(PyUnicode_FromFormat("<%U fallbacks>", Ref::steal(PyModule_GetNameObject(m)).get()));
    Ref code = Ref::steal(Py_CompileStringObject(fallback_source, filename.get(), Py_file_input, nullptr, -1));
    PyObject* ns = PyModule_GetDict(m);
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), ns, ns));
}

// `@router.get(path)` on an endpoint: the decorator is made before the
// defaults are evaluated, as for a decorated def, and its result becomes the
// module attribute.
void route(PyObject* m, const char* path, const FunctionSpec& decl,
           std::initializer_list<const char*> query_descriptions = {}) {
    PyObject* ns = PyModule_GetDict(m);
    Ref router = rt::lookup_global(ns, n_router);
    Ref decorator = rt::call_method(n_get, {router.get(), rt::text(path).get()});
    std::vector<Ref> defaults;
    for (const char* description : query_descriptions) {
        Ref query = rt::lookup_global(ns, n_query);
        Ref kwnames = Ref::steal(PyTuple_Pack(1, n_description.get()));
        Ref text = rt::text(description);
        defaults.push_back(rt::call_kw(query.get(), {Py_None, text.get()}, kwnames.get()));
    }
    Ref fn = rt::make_function(m, decl, std::move(defaults));
    Ref bound = rt::call(decorator.get(), {fn.get()});
    rt::add(m, decl.name, bound.get());
}

void exec_module(PyObject* m) {
    rt::add_import_from(m, "pathlib", "Path");
    for (const char* name : {"Any", "Dict", "List", "Optional"}) rt::add_import_from(m, "typing", name);
    bind_fastapi_names(m);

    {
        Ref api_router = rt::lookup_global(PyModule_GetDict(m), n_api_router);
        Ref kwnames = Ref::steal(PyTuple_Pack(2, n_prefix.get(), n_tags.get()));
        Ref prefix = rt::text("/api/profile");
        Ref tags = rt::new_list();
        rt::append(tags.get(), rt::text("profile").get());
        Ref router = rt::call_kw(api_router.get(), {prefix.get(), tags.get()}, kwnames.get());
        rt::add(m, "router", router.get());
    }
    rt::add(m, "_project_root", Py_None);
    rt::add(m, "_store_initialized", Py_False);
    rt::def(m, set_project_root_spec);
    rt::def(m, get_store_spec);

    profile_json::init();
    route(m, "/tables", list_profiled_tables_spec);
    route(m, "/tables/{source_name}/{table_name}", get_table_profile_spec, {"Profile mode filter"});
    route(m, "/alerts", get_profile_alerts_spec, {"Filter by source", "Filter by severity: info, warning, error"});
    route(m, "/stats", get_profile_stats_spec);
}

}  // namespace

RT_MODULE(PyInit_profile, "strix.task.docs.api.profile",
          "Read-only profiling API (router under /api/profile) over the project's metadata store.", exec_module)
