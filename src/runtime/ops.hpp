// Throwing wrappers over the C API: each returns a `Ref` or a plain value and
// turns a failed call into rt::PyError, so module code reads like the Python
// it stands for.
#pragma once

#include "ref.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace rt {

// --- attributes ----------------------------------------------------------

// getattr(obj, name)
inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// getattr(obj, name) with hasattr semantics: an empty Ref when the lookup
// raises AttributeError; any other exception propagates.
inline Ref optional_attr(PyObject* obj, PyObject* name) {
    PyObject* out = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &out) < 0) raise();
    return Ref::steal_or_null(out);
}

// hasattr(obj, name), letting exceptions other than AttributeError through.
inline bool has_attr(PyObject* obj, PyObject* name) {
    int r = PyObject_HasAttrWithError(obj, name);
    if (r < 0) raise();
    return r == 1;
}

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(obj, name, value) < 0) raise();
}

// --- truth, comparison, conversion ---------------------------------------

inline bool truthy(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    int r = PyObject_IsTrue(obj);
    if (r < 0) raise();
    return r == 1;
}
inline bool truthy(const Ref& obj) { return truthy(obj.get()); }

inline bool equal(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) raise();
    return r == 1;
}

// `needle in haystack`
inline bool contains(PyObject* haystack, PyObject* needle) {
    int r = PySequence_Contains(haystack, needle);
    if (r < 0) raise();
    return r == 1;
}

inline Py_ssize_t length(PyObject* obj) {
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) raise();
    return n;
}

inline Ref str_of(PyObject* obj) { return Ref::steal(PyObject_Str(obj)); }
inline Ref repr_of(PyObject* obj) { return Ref::steal(PyObject_Repr(obj)); }
inline Ref format_of(PyObject* obj) { return Ref::steal(PyObject_Format(obj, nullptr)); }

inline Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
inline Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// UTF-8 view of a str (valid while the object lives); raises for lone surrogates.
inline std::string_view utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) raise();
    return {p, static_cast<size_t>(n)};
}

// "".join(parts) with a fixed separator
inline Ref join(const char* sep, PyObject* iterable) {
    Ref s = text(sep);
    return Ref::steal(PyUnicode_Join(s.get(), iterable));
}

// --- calls ---------------------------------------------------------------

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                          args.size(), nullptr));
}

// callable(*args, **dict(zip(kwnames, kwvalues))); `kwnames` is a tuple of str
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args_then_kwvalues,
                   PyObject* kwnames) {
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    size_t npos = args_then_kwvalues.size() - nkw;
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args_then_kwvalues.begin()),
                                          npos, kwnames));
}

// self.name(*args), without creating a bound method where the attribute
// allows it. `args` must start with self.
inline Ref call_method(PyObject* name, std::initializer_list<PyObject*> self_and_args) {
    return Ref::steal(PyObject_VectorcallMethod(name, const_cast<PyObject* const*>(self_and_args.begin()),
                                                self_and_args.size(), nullptr));
}

// --- containers ----------------------------------------------------------

inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
// (a, b, ...)
Ref tuple(std::initializer_list<PyObject*> items);

// The tuple of keyword names for call_kw; modules build theirs once, at exec
// time, and keep them in their state.
inline Ref kwnames(std::initializer_list<PyObject*> names) { return tuple(names); }

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_set() { return Ref::steal(PySet_New(nullptr)); }

inline void append(PyObject* list, PyObject* item) {
    if (PyList_Append(list, item) < 0) raise();
}
inline void set_add(PyObject* set, PyObject* item) {
    if (PySet_Add(set, item) < 0) raise();
}

// dict[key] as a new reference, or an empty Ref when absent (dict or subclass).
inline Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* out = nullptr;
    if (PyDict_GetItemRef(dict, key, &out) < 0) raise();
    return Ref::steal_or_null(out);
}

inline Ref iter(PyObject* obj) { return Ref::steal(PyObject_GetIter(obj)); }

// The next item of an iterator, or an empty Ref at its end.
inline Ref next(PyObject* iterator) {
    PyObject* out = PyIter_Next(iterator);
    if (out == nullptr && PyErr_Occurred()) raise();
    return Ref::steal_or_null(out);
}

// The interpreter's duties in a loop that runs no Python code of its own:
// every 1024 steps the loop reads a clock. Every second switch interval
// (sys.getswitchinterval(), 5 ms by default) it releases and retakes the
// GIL, handing it to a thread that has been waiting for it (see poll), so
// other threads run as they would beside Python code; every 50 ms it runs
// pending signal handlers (Ctrl-C, _thread.interrupt_main). PyErr_CheckSignals also runs the garbage
// collector when it has asked for a collection; checking by time rather than
// by count keeps collections as rare as in a loop that never checked,
// however cheap the steps are.
class SignalCheck {
public:
    void step() {
        if ((++count_ & (kStride - 1)) == 0) poll();
    }

private:
    static constexpr unsigned kStride = 1024;
    void poll();  // ops.cpp
    unsigned count_ = 0;
    long long last_yield_us_ = -1;    // when the GIL was last released; -1 before the first poll
    long long last_signals_us_ = -1;  // when signal handlers last had a chance
};

// Steps through an iterable as a for statement does. Exact lists and tuples
// are read by index, as their own iterators read them (a list that changes
// meanwhile is seen the same way); anything else goes through iter()/next().
// Other threads and pending signal handlers run every switch interval
// (SignalCheck).
class ForEach {
public:
    explicit ForEach(PyObject* iterable) : seq_(Ref::borrow(iterable)) {
        if (!PyList_CheckExact(iterable) && !PyTuple_CheckExact(iterable)) it_ = iter(iterable);
    }
    // The next item, or an empty Ref at the end.
    Ref next() {
        signals_.step();
        PyObject* seq = seq_.get();
        if (it_) return rt::next(it_.get());
        if (PyList_CheckExact(seq)) {
            if (index_ < PyList_GET_SIZE(seq)) return Ref::borrow(PyList_GET_ITEM(seq, index_++));
        } else if (index_ < PyTuple_GET_SIZE(seq)) {
            return Ref::borrow(PyTuple_GET_ITEM(seq, index_++));
        }
        return {};
    }

private:
    Ref seq_;
    Ref it_;
    Py_ssize_t index_ = 0;
    SignalCheck signals_;
};

// `a, b, ... = obj` for exactly N values, with the interpreter's messages.
// Exact tuples and lists are read directly; anything else (subclasses
// included) through its own iteration, as the statement does.
template <size_t N>
std::array<Ref, N> unpack(PyObject* obj) {
    std::array<Ref, N> out;
    const Py_ssize_t want = static_cast<Py_ssize_t>(N);
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n < want) raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", want, n);
        if (n > want) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", want);
        for (Py_ssize_t i = 0; i < want; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
        return out;
    }
    PyObject* raw = PyObject_GetIter(obj);
    if (raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        raise();
    }
    Ref it = Ref::steal(raw);
    for (Py_ssize_t i = 0; i < want; ++i) {
        out[i] = next(it.get());
        if (!out[i]) raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", want, i);
    }
    if (next(it.get())) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", want);
    return out;
}

// `mapping.get(key)`, or `mapping.get(key, default_value)` when one is given;
// straight to the dict for an exact dict.
inline Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* default_value = nullptr) {
    if (PyDict_CheckExact(mapping)) {
        if (Ref v = dict_get(mapping, key)) return v;
        return Ref::borrow(default_value ? default_value : Py_None);
    }
    Ref get = Ref::steal(PyUnicode_InternFromString("get"));
    if (default_value) return call_method(get.get(), {mapping, key, default_value});
    return call_method(get.get(), {mapping, key});
}

// --- imports -------------------------------------------------------------

inline Ref import(const char* module) { return Ref::steal(PyImport_ImportModule(module)); }

// `import a.b` run inside a function whose module namespace is `globals`,
// then the module a.b: the import runs at each call (a missing module fails
// only that call) and a.b is reached through the top package's attributes,
// as the statement binds it.
Ref import_in_function(PyObject* globals, const char* dotted);

struct ModuleState;

// `from module import name`; a missing name raises ImportError as the
// statement does. The compiled statement is kept in `state`.
Ref import_from(ModuleState& state, const char* module, const char* name);

// --- raising and exception context ---------------------------------------

// `raise obj`: an exception instance is raised as it is, an exception class
// is called with no arguments first; anything else is the TypeError the
// statement gives. The current handled exception (see HandlingScope) becomes
// the new exception's __context__, as for a raise statement.
[[noreturn]] inline void raise_object(PyObject* obj) {
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
auto try_except(PyObject* type, Body&& body, Handler&& handler) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rethrow_if_thread_exit();
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
bool suppress(PyObject* type, Body&& body) {
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
// The clean-up runs after the catch block has ended, so that a forced unwind
// starting inside it (the thread ended at exit) meets no C++ exception still
// being handled.
template <class Body, class Cleanup>
auto on_error(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rethrow_if_thread_exit();
        set_error_from_current_exception();
    }
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    bool failed = false;
    {
        HandlingScope handling(pending.get());
        try {
            cleanup();
        } catch (...) {
            rethrow_if_thread_exit();
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

// --- type names for messages ---------------------------------------------

// type(obj).__name__, the name Python code would print.
std::string type_name(PyObject* obj);

// TypeError "Expected %s, got %.200s" for a value of the wrong built-in type.
[[noreturn]] void raise_result_type(const char* expected, PyObject* got);

}  // namespace rt
