// Owning references and error transport for the native modules.
//
// Rules of use:
//  * A `Ref` owns exactly one strong reference (or nothing). New references
//    enter through `Ref::steal` (the callee handed us ownership) or
//    `Ref::borrow` (we take an extra reference to something we only saw).
//  * Plain `PyObject*` values are borrowed and short-lived: never store one
//    beyond the statement that produced it unless a `Ref` keeps it alive.
//  * A Python error travels through C++ as `rt::PyError`, thrown only while
//    the interpreter's error indicator is set. Every entry point called by
//    CPython catches it (see `RT_GUARD`) and returns the error value.
//  * Helpers take their arguments as `Obj`, a borrowed handle made
//    implicitly from a `PyObject*`, a `Ref` or an interned name, so module
//    code passes what it holds as it is. An `Obj` owns nothing and lives as
//    a parameter only; keeping an object takes a `Ref`.
//  * Module code never calls Py_INCREF / Py_DECREF itself.
//  * A thread that the interpreter ends at exit unwinds through the modules'
//    frames without running their cleanups or handlers (unwind.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstdarg>
#include <new>
#include <type_traits>
#include <utility>

namespace rt {


// Carries a pending Python exception through C++ frames.
struct PyError {};

// Throws PyError; the caller has set the Python error indicator (checked
// in debug builds: a PyError without a pending error would reach CPython as
// a NULL result with no exception).
[[noreturn]] inline void raise() {
    assert(PyErr_Occurred() != nullptr);
    throw PyError{};
}

// Sets `type` with a fixed message and throws.
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyError{};
}

// Sets `type` with a PyUnicode_FromFormat message and throws.
[[noreturn]] inline void raise_format(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(type, fmt, va);
    va_end(va);
    throw PyError{};
}

// The result of a C API call that reports failure with a negative int (and
// a set error); raises then, as greenlet's Require does.
inline int check(int result) {
    if (result < 0) raise();
    return result;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference; a NULL result means a Python error is set.
    static Ref steal(PyObject* p) {
        if (p == nullptr) raise();
        return Ref(p);
    }
    // Takes over a new reference that may legitimately be NULL.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer (NULL stays empty).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }
    static Ref boolean(bool v) noexcept { return borrow(v ? Py_True : Py_False); }

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A second owning reference to the same object.
    Ref copy() const noexcept { return borrow(p_); }
    // Gives up ownership to the caller (for returning to CPython).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A borrowed object, as the runtime's helpers take their arguments: made
// implicitly from a PyObject*, a Ref or an interned name of a module state
// (an Interned is a Ref), and read as the PyObject* it holds where the C API
// wants one. It owns nothing: a helper's parameter lives for the call it is
// passed to, a temporary Ref passed to it until the end of the statement.
// Never keep one (a member, a variable that outlives its statement): what
// is kept is a Ref (Ref::borrow), so storing a pointer stays explicit.
class Obj {
public:
    Obj(PyObject* p) noexcept : p_(p) {}
    Obj(const Ref& r) noexcept : p_(r.get()) {}
    operator PyObject*() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }

private:
    PyObject* p_;
};
// A list of Obj is read as the vector of PyObject* the vectorcall protocol
// takes (see as_vector in ops.hpp).
static_assert(sizeof(Obj) == sizeof(PyObject*) && std::is_standard_layout_v<Obj>);

}  // namespace rt

namespace rt {
// Sets the Python error that the C++ exception being handled stands for:
// rt::PyError is one already; std::bad_alloc becomes MemoryError, anything
// else SystemError. Call only inside a catch block.
void set_error_from_current_exception() noexcept;
}  // namespace rt

// Wraps the body of a slot or entry point called by CPython: no C++
// exception may cross into the interpreter.
#define RT_GUARD(error_value, ...)                          \
    try {                                                   \
        __VA_ARGS__                                         \
    } catch (...) {                                         \
        ::rt::set_error_from_current_exception();           \
        return error_value;                                 \
    }
