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
        Ref cls = rt::optional_attr(pyspark.get(), n.SparkContext);
        if (!cls) return;
        context = rt::optional_attr(cls.get(), n._active_spark_context);
        if (context.get() == Py_None) context.reset();
    });
    return context;
}

// work = (SparkSession, master_url, the module)
Ref detect_body(PyObject* work) {
    PyObject* spark_session = PyTuple_GET_ITEM(work, 0);
    PyObject* master_url = PyTuple_GET_ITEM(work, 1);
    const State& st = rt::module_state<State>(PyTuple_GET_ITEM(work, 2));
    const Names& n = st.names;
    const Texts& t = st.texts;

    // A builder that fails after creating its SparkContext (a master that
    // never accepts the application) leaves that context registered as the
    // process's active one, and every later session would reuse the dead
    // context. Such a context, new since this attempt began, is stopped too.
    Ref context_before = active_spark_context(n);

    Ref session = Ref::none();
    return rt::try_finally(
        [&] {
            Ref builder = rt::attr(spark_session, n.builder);
            builder = rt::call_method(n.appName, {builder.get(), t.app_name});
            builder = rt::call_method(n.master, {builder.get(), master_url});
            builder = rt::call_method(n.config, {builder.get(), t.ui_enabled, t.false_text});
            builder = rt::call_method(n.config, {builder.get(), t.ui_progress, t.false_text});
            session = rt::call_method(n.getOrCreate, {builder.get()});
            return rt::attr(session.get(), n.version);
        },
        // Stop a session that was created, whatever happened; an Exception
        // from stop() is swallowed.
        [&] {
            if (rt::truthy(session.get())) {
                rt::suppress(PyExc_Exception, [&] { rt::call_method(n.stop, {session.get()}); });
            } else if (session.get() == Py_None) {  // the builder failed
                Ref context = active_spark_context(n);
                if (context && context.get() != context_before.get())
                    rt::suppress(PyExc_Exception, [&] { rt::call_method(n.stop, {context.get()}); });
            }
        });
}

PyObject* detect_entry(PyObject* work, PyObject*) { RT_GUARD(nullptr, { return detect_body(work).release(); }) }

PyMethodDef detect_def = {"_detect", detect_entry, METH_NOARGS,
                          "Build a session against the master, read its version and stop it."};

// --- detect_spark_cluster_version ------------------------------------------

Ref submit_and_wait(const State& st, PyObject* pool, PyObject* detect, PyObject* timeout, bool& attempt_ended) {
    const Names& n = st.names;
    Ref future = rt::call_method(n.submit, {pool, detect});
    Ref result = rt::on_error(
        [&] {
            Ref wait_for_result = rt::attr(future.get(), n.result);
            return rt::call_kw(wait_for_result.get(), {timeout}, st.timeout_kwnames.get());
        },
        // A time-out (or an interruption of the wait) leaves the attempt
        // running; the caller must not wait for it when leaving the pool.
        [&] { attempt_ended = rt::truthy(rt::call_method(n.done, {future.get()}).get()); });
    if (result.get() != Py_None && !PyUnicode_CheckExact(result.get())) rt::raise_result_type("str", result.get());
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
            Ref futures = rt::import("concurrent.futures");

            Ref work = rt::tuple({spark_session.get(), master_url, a.module()});
            Ref detect = Ref::steal(PyCFunction_NewEx(&detect_def, work.get(), nullptr));

            Ref pool_type = rt::attr(futures.get(), n.ThreadPoolExecutor);
            Ref one = rt::integer(1);
            Ref pool = rt::call_kw(pool_type.get(), {one.get()}, st.max_workers_kwnames.get());

            // The pool is always shut down before returning. It waits for its
            // worker only when the attempt has ended; after a time-out the
            // worker finishes (and stops its session) on its own.
            bool attempt_ended = true;
            return rt::try_finally(
                [&] { return submit_and_wait(st, pool.get(), detect.get(), timeout, attempt_ended); },
                [&] {
                    Ref shutdown = rt::attr(pool.get(), n.shutdown);
                    rt::call_kw(shutdown.get(), {Ref::boolean(attempt_ended).get()}, st.wait_kwnames.get());
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
