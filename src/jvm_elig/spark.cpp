// strix.compute.jvm_elig: asking a running Spark cluster for its version.
//
// A short-lived Spark session is built against the master on the single
// worker of a thread pool; the caller waits at most `timeout` seconds for the
// version it reports. The session is stopped on the worker in every case,
// also when the caller has stopped waiting.
#include "jvm_elig.hpp"

namespace jvm {
namespace {

// --- _detect: the unit of work for the pool's worker ------------------------

// The SparkContext that PySpark currently holds as the process's active one,
// or an empty Ref when there is none or it cannot be told.
Ref active_spark_context(const Names& n) {
    Ref context;
    rt::suppress(PyExc_Exception, [&] {
        Ref pyspark = Ref::steal_or_null(PyImport_GetModule(n.pyspark));
        if (!pyspark) {
            if (PyErr_Occurred()) rt::raise();
            return;
        }
        Ref cls = rt::optional_attr(pyspark, n.SparkContext);
        if (!cls) return;
        context = rt::optional_attr(cls, n._active_spark_context);
        if (rt::is(context, Py_None)) context.reset();
    });
    return context;
}

// _detect(SparkSession, master_url), run on the pool's worker.
Ref detect_worker(const Args& a) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    const Texts& t = st.texts;
    Obj spark_session = a[0];
    Obj master_url = a[1];

    // A builder that fails after creating its SparkContext (a master that
    // never accepts the application) leaves that context registered as the
    // process's active one, and every later session would reuse the dead
    // context. Such a context, new since this attempt began, is stopped too.
    Ref context_before = active_spark_context(n);

    Ref session = Ref::none();
    return rt::try_finally(
        [&] {
            Ref builder = rt::getattr(spark_session, n.builder);
            builder = rt::call_method(n.appName, {builder, t.app_name});
            builder = rt::call_method(n.master, {builder, master_url});
            builder = rt::call_method(n.config, {builder, t.ui_enabled, t.false_text});
            builder = rt::call_method(n.config, {builder, t.ui_progress, t.false_text});
            session = rt::call_method(n.getOrCreate, {builder});
            return rt::getattr(session, n.version);
        },
        // Stop a session that was created, whatever happened; an Exception
        // from stop() is swallowed.
        [&] {
            if (rt::truthy(session)) {
                rt::suppress(PyExc_Exception, [&] { rt::call_method(n.stop, {session}); });
            } else if (rt::is(session, Py_None)) {  // the builder failed
                Ref context = active_spark_context(n);
                if (context && !rt::is(context, context_before))
                    rt::suppress(PyExc_Exception, [&] { rt::call_method(n.stop, {context}); });
            }
        });
}

const Param worker_params[] = {{"SparkSession"}, {"master_url"}};

const FunctionSpec detect_spec{
    .name = "_detect",
    .qualname = "detect_spark_cluster_version.<locals>._detect",
    .doc = "Build a session against the master, read its version and stop it.",
    .params = worker_params,
    .body = detect_worker,
};

// --- detect_spark_cluster_version ------------------------------------------

// pool.submit(_detect, SparkSession, master_url).result(timeout=timeout)
Ref submit_and_wait(const State& st, Obj pool, Obj detect, Obj spark_session, Obj master_url, Obj timeout,
                    bool& attempt_ended) {
    const Names& n = st.names;
    Ref future = rt::call_method(n.submit, {pool, detect, spark_session, master_url});
    Ref result = rt::on_error(
        [&] {
            Ref wait_for_result = rt::getattr(future, n.result);
            return rt::call_kw(wait_for_result, {timeout}, st.timeout_kwnames);
        },
        // A time-out (or an interruption of the wait) leaves the attempt
        // running; the caller must not wait for it when leaving the pool.
        [&] { attempt_ended = rt::truthy(rt::call_method(n.done, {future})); });
    if (!rt::is(result, Py_None) && !PyUnicode_CheckExact(result.get())) rt::raise_result_type("str", result);
    return result;
}

Ref detect_spark_cluster_version(const Args& a) {
    const State& st = a.state<State>();
    const Names& n = st.names;
    PyObject* master_url = a[0];
    PyObject* timeout = a[1];
    return rt::try_except(
        PyExc_Exception,
        [&] {
            Ref spark_session = rt::import_from(a.state<State>(), "pyspark.sql", "SparkSession");
            Ref futures = rt::import_in_function(a.globals(), "concurrent.futures");

            Ref detect = rt::make_function(a.module(), detect_spec);

            Ref pool_type = rt::getattr(futures, n.ThreadPoolExecutor);
            Ref one = rt::integer(1);
            Ref pool = rt::call_kw(pool_type, {one}, st.max_workers_kwnames);

            // The pool is always shut down before returning. It waits for its
            // worker only when the attempt has ended; after a time-out the
            // worker finishes (and stops its session) on its own.
            bool attempt_ended = true;
            return rt::try_finally(
                [&] { return submit_and_wait(st, pool, detect, spark_session, master_url, timeout, attempt_ended); },
                [&] {
                    Ref shutdown = rt::getattr(pool, n.shutdown);
                    rt::call_kw(shutdown, {Ref::boolean(attempt_ended)}, st.wait_kwnames);
                });
        },
        [](PyObject*) { return Ref::none(); });
}

const Param detect_params[] = {
    {"master_url", Check::Str, "str"},
    {"timeout", Check::Int, "int"},
};

}  // namespace


const FunctionSpec detect_spark_cluster_version_spec{
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
