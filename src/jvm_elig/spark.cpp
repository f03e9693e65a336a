// strix.compute.jvm_elig: asking a running Spark cluster for its version.
//
// A short-lived Spark session is built against the master on the single
// worker of a thread pool; the caller waits at most `timeout` seconds for the
// version it reports. The session is stopped on the worker in every case,
// also when the caller has stopped waiting.
#include "jvm_elig.hpp"

namespace {

using rt::Args;
using rt::Check;
using rt::Name;
using rt::Param;
using rt::Ref;

const Name n_builder("builder");
const Name n_appName("appName");
const Name n_master("master");
const Name n_config("config");
const Name n_getOrCreate("getOrCreate");
const Name n_version("version");
const Name n_stop("stop");
const Name n_ThreadPoolExecutor("ThreadPoolExecutor");
const Name n_max_workers("max_workers");
const Name n_submit("submit");
const Name n_result("result");
const Name n_timeout("timeout");
const Name n_done("done");
const Name n_shutdown("shutdown");
const Name n_wait("wait");
const Name n_pyspark("pyspark");
const Name n_SparkContext("SparkContext");
const Name n_active_spark_context("_active_spark_context");
const Name s_app_name("MARL-VersionDetect");
const Name s_ui_enabled("spark.ui.enabled");
const Name s_ui_progress("spark.ui.showConsoleProgress");
const Name s_false("false");

// One-element keyword-name tuples, built once.
PyObject* kwnames_of(PyObject*& slot, PyObject* name) {
    if (slot == nullptr) {
        slot = PyTuple_Pack(1, name);
        if (slot == nullptr) rt::raise();
    }
    return slot;
}

// Sets `error` (an exception object, may be empty) as the pending exception
// again. When `cleanup` raised meanwhile, the earlier exception becomes the
// new one's __context__, as a `finally` block would chain them.
void restore_after_cleanup(Ref error, bool cleanup_raised) {
    if (!error) return;
    if (cleanup_raised) {
        PyObject* current = PyErr_GetRaisedException();
        PyException_SetContext(current, error.release());  // steals the reference
        PyErr_SetRaisedException(current);
        return;
    }
    PyErr_SetRaisedException(error.release());
}

// Runs `cleanup` with any pending exception set aside, like the final part of
// a try statement: the pending exception continues afterwards unless
// `cleanup` raised one of its own.
template <class F>
void finally_run(F&& cleanup) {
    Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
    bool raised = false;
    try {
        cleanup();
    } catch (const rt::PyError&) {
        raised = true;
    }
    restore_after_cleanup(std::move(pending), raised);
    if (raised || PyErr_Occurred()) rt::raise();
}

// Calls `f`; an Exception it raises is discarded (other exceptions pass).
template <class F>
void ignoring_errors(F&& f) {
    try {
        f();
    } catch (const rt::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

// --- _detect: the unit of work for the pool's worker ------------------------

// The SparkContext that PySpark currently holds as the process's active one,
// or an empty Ref when there is none or it cannot be told.
Ref active_spark_context() {
    Ref context;
    ignoring_errors([&] {
        Ref pyspark = Ref::steal_or_null(PyImport_GetModule(n_pyspark));
        if (!pyspark) {
            if (PyErr_Occurred()) rt::raise();
            return;
        }
        Ref cls = rt::optional_attr(pyspark.get(), n_SparkContext);
        if (!cls) return;
        context = rt::optional_attr(cls.get(), n_active_spark_context);
        if (context.get() == Py_None) context.reset();
    });
    return context;
}

// state = (SparkSession, master_url)
Ref detect_body(PyObject* state) {
    PyObject* spark_session = PyTuple_GET_ITEM(state, 0);
    PyObject* master_url = PyTuple_GET_ITEM(state, 1);

    // A builder that fails after creating its SparkContext (a master that
    // never accepts the application) leaves that context registered as the
    // process's active one, and every later session would reuse the dead
    // context. Such a context, new since this attempt began, is stopped too.
    Ref context_before = active_spark_context();

    Ref session = Ref::none();
    Ref version;
    try {
        Ref builder = rt::attr(spark_session, n_builder);
        builder = rt::call_method(n_appName, {builder.get(), s_app_name});
        builder = rt::call_method(n_master, {builder.get(), master_url});
        builder = rt::call_method(n_config, {builder.get(), s_ui_enabled, s_false});
        builder = rt::call_method(n_config, {builder.get(), s_ui_progress, s_false});
        session = rt::call_method(n_getOrCreate, {builder.get()});
        version = rt::attr(session.get(), n_version);
    } catch (const rt::PyError&) {
        // Stop what was created, then let the error continue to the future.
    }
    // Final part: stop a session that was created, whatever happened above;
    // an Exception from stop() is swallowed.
    const bool builder_failed = !version && session.get() == Py_None;
    finally_run([&] {
        if (rt::truthy(session.get())) {
            ignoring_errors([&] { rt::call_method(n_stop, {session.get()}); });
        } else if (builder_failed) {
            Ref context = active_spark_context();
            if (context && context.get() != context_before.get()) {
                ignoring_errors([&] { rt::call_method(n_stop, {context.get()}); });
            }
        }
    });
    return version;
}

PyObject* detect_entry(PyObject* state, PyObject*) { RT_GUARD(nullptr, { return detect_body(state).release(); }) }

PyMethodDef detect_def = {"_detect", detect_entry, METH_NOARGS,
                          "Build a session against the master, read its version and stop it."};

// --- detect_spark_cluster_version ------------------------------------------

Ref submit_and_wait(PyObject* pool, PyObject* detect, PyObject* timeout, bool& attempt_ended) {
    static PyObject* kw_timeout = nullptr;
    Ref future = rt::call_method(n_submit, {pool, detect});
    Ref result;
    try {
        result = rt::call_kw(rt::attr(future.get(), n_result).get(), {timeout}, kwnames_of(kw_timeout, n_timeout));
    } catch (const rt::PyError&) {
        // A time-out (or an interruption of the wait) leaves the attempt
        // running; the caller must not wait for it when leaving the pool.
        finally_run([&] { attempt_ended = rt::truthy(rt::call_method(n_done, {future.get()}).get()); });
        throw;
    }
    if (result.get() != Py_None && !PyUnicode_CheckExact(result.get())) rt::raise_result_type("str", result.get());
    return result;
}

Ref detect_spark_cluster_version(const Args& a) {
    static PyObject* kw_max_workers = nullptr;
    static PyObject* kw_wait = nullptr;
    PyObject* master_url = a[0];
    PyObject* timeout = a[1];
    try {
        Ref spark_session = rt::import_from("pyspark.sql", "SparkSession");
        Ref futures = rt::import("concurrent.futures");

        Ref state = Ref::steal(PyTuple_Pack(2, spark_session.get(), master_url));
        Ref detect = Ref::steal(PyCFunction_NewEx(&detect_def, state.get(), nullptr));

        Ref pool_type = rt::attr(futures.get(), n_ThreadPoolExecutor);
        Ref one = rt::integer(1);
        Ref pool = rt::call_kw(pool_type.get(), {one.get()}, kwnames_of(kw_max_workers, n_max_workers));

        // The pool is always shut down before returning. It waits for its
        // worker only when the attempt has ended; after a time-out the worker
        // finishes (and stops its session) on its own.
        bool attempt_ended = true;
        Ref result;
        try {
            result = submit_and_wait(pool.get(), detect.get(), timeout, attempt_ended);
        } catch (const rt::PyError&) {
            finally_run([&] {
                rt::call_kw(rt::attr(pool.get(), n_shutdown).get(), {rt::Ref::boolean(attempt_ended).get()},
                            kwnames_of(kw_wait, n_wait));
            });
            throw;
        }
        rt::call_kw(rt::attr(pool.get(), n_shutdown).get(), {Py_True}, kwnames_of(kw_wait, n_wait));
        return result;
    } catch (const rt::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref::none();
    }
}

const Param detect_params[] = {
    {"master_url", Check::Str, "str"},
    {"timeout", Check::Int, "int"},
};

}  // namespace

namespace jvm {

const rt::FunctionSpec detect_spark_cluster_version_spec{
    .name = "detect_spark_cluster_version",
    .doc = "Ask the Spark master at master_url which Spark version it runs.\n\n"
           "Starts a short-lived session on a worker thread and waits at most\n"
           "timeout seconds. Returns the version text, or None when PySpark is\n"
           "missing, the cluster cannot be reached or the time limit passes.",
    .params = detect_params,
    .returns = "Optional[str]",
    .body = detect_spark_cluster_version,
};

}  // namespace jvm
