// raise, the handled exception, and the try statements (try/except,
// suppress, on error, try/finally) as helpers that keep Python's rules for
// the pending and the handled exception.
#pragma once

#include "ref.hpp"

#include <type_traits>

namespace rt {
// --- raising and exception context ---------------------------------------

// `raise obj`: an exception instance is raised as it is, an exception class
// is called with no arguments first; anything else is the TypeError the
// statement gives. The current handled exception (see HandlingScope) becomes
// the new exception's __context__, as for a raise statement.
[[noreturn]] inline void raise_object(Obj raised) {
    PyObject* obj = raised;
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        raise();
    }
    if (PyExceptionClass_Check(obj)) {
        Ref made = Ref::steal(PyObject_CallNoArgs(obj));
        if (!PyExceptionInstance_Check(made.get()))
            raise_format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", obj,
                         Py_TYPE(made.get())->tp_name);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made.get())), made.get());
        raise();
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

// While alive, `exc` is the exception being handled, as inside an
// `except` or `finally` block of the calling frame: exceptions raised meanwhile
// get it as their __context__ and sys.exception() returns it. Restores the
// previous state on destruction.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) noexcept : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~HandlingScope() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* saved_;  // owned; NULL when nothing was being handled
};

// --- statements ------------------------------------------------------------
//
// The try statements as the modules need them. A body, handler or clean-up
// is any callable; Python errors travel as rt::PyError as everywhere else,
// and a C++ exception (std::bad_alloc) counts as the Python error it becomes.

// Gives the pending exception `earlier` as its __context__ unless it has one
// (as a raise inside an except or finally block chains them).
void chain_context(PyObject* earlier) noexcept;

// try:
//     return body()
// except <type> as e:
//     return handler(e)
// `type` is an exception class (or a tuple of them); other exceptions pass.
// While the handler runs, e is the exception being handled, so one raised
// meanwhile gets it as __context__.
template <class Body, class Handler>
auto try_except(Obj type, Body&& body, Handler&& handler) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        if (!PyErr_ExceptionMatches(type)) raise();
    }
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    HandlingScope handling(caught.get());
    return handler(caught.get());
}

// try:
//     body()
// except <type>:
//     pass
// Returns whether the body ran to its end.
template <class Body>
bool suppress(Obj type, Body&& body) {
    return try_except(
        type, [&] { body(); return true; }, [](PyObject*) { return false; });
}

// try:
//     return body()
// except BaseException:
//     cleanup()
//     raise
// While the clean-up runs, the body's exception is the one being handled;
// one the clean-up raises replaces it and carries it as __context__.
// The body's failure is a pending Python exception once the catch block
// has ended; the clean-up runs after it, so no C++ exception is still being
// handled while Python code runs.
template <class Body, class Cleanup>
auto on_error(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
    }
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    bool failed = false;
    {
        HandlingScope handling(pending.get());
        try {
            cleanup();
        } catch (...) {
                set_error_from_current_exception();
            failed = true;
        }
    }
    if (failed) {
        chain_context(pending.get());
        raise();
    }
    PyErr_SetRaisedException(pending.release());
    raise();
}

// try:
//     return body()
// finally:
//     cleanup()
// The pending exception of the body is kept through the clean-up (see
// on_error).
template <class Body, class Cleanup>
auto try_finally(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    if constexpr (std::is_void_v<decltype(body())>) {
        on_error(body, cleanup);
        cleanup();
    } else {
        auto result = on_error(body, cleanup);
        cleanup();
        return result;
    }
}

}  // namespace rt
