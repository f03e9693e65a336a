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
//  * Module code never calls Py_INCREF / Py_DECREF itself.
//  * A catch-all first calls `rt::rethrow_if_thread_exit()`: an exception
//    this C++ runtime did not throw passes on (see below).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstdarg>
#include <exception>
#include <new>
#include <utility>

namespace rt {

// --- thread exit -----------------------------------------------------------
//
// At interpreter exit CPython 3.13 ends a daemon thread that tries to take
// the GIL back with pthread_exit(). glibc does that by a forced unwind: an
// exception that is no C++ exception (libstdc++ shows it as
// abi::__forced_unwind, libc++abi as a foreign exception) and that runs up
// to the thread's start. The thread holds no GIL then, so none of this
// module's cleanups may run: the personality routine lets the unwind pass
// through the module's frames without running destructors or handlers
// (unwind.cpp), leaking what they held, as the process is ending.
//
// Any other exception not thrown by this C++ runtime cannot be made sense
// of either: every catch-all first calls rethrow_if_thread_exit(), which
// rethrows such a foreign exception instead of turning it into a Python
// error.
[[noreturn]] void rethrow_foreign();  // ops.cpp
inline void rethrow_if_thread_exit() {
    if (!std::current_exception()) rethrow_foreign();
}

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

}  // namespace rt

namespace rt {
// Sets the Python error that the C++ exception being handled stands for:
// rt::PyError is one already; std::bad_alloc becomes MemoryError, anything
// else SystemError. Call only inside a catch block.
void set_error_from_current_exception() noexcept;
}  // namespace rt

// Wraps the body of a slot or entry point called by CPython: no C++
// exception may cross into the interpreter; a foreign one (the forced unwind
// that ends a thread) passes on (rethrow_if_thread_exit).
#define RT_GUARD(error_value, ...)                          \
    try {                                                   \
        __VA_ARGS__                                         \
    } catch (...) {                                         \
        ::rt::rethrow_if_thread_exit();                     \
        ::rt::set_error_from_current_exception();           \
        return error_value;                                 \
    }
