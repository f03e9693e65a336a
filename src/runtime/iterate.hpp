// Iteration as the for statement and unpacking do it, with the interpreter's
// duties toward other threads and signal handlers during native work.
#pragma once

#include "ref.hpp"

#include <array>

#include <atomic>

namespace rt {
inline Ref iter(Obj obj) { return Ref::steal(PyObject_GetIter(obj)); }

// The next item of an iterator, or an empty Ref at its end.
inline Ref next(Obj iterator) {
    PyObject* out = PyIter_Next(iterator);
    if (out == nullptr && PyErr_Occurred()) raise();
    return Ref::steal_or_null(out);
}

// The interpreter's duties in native code that runs no Python code of its
// own, as the evaluation loop does them between bytecodes: when another
// thread has asked for the GIL, hand it over; when a signal has arrived, run
// its handlers. Every loop step and every recursion step of the modules
// calls checkpoint(); all of them draw on one count of steps, so work made of
// many short loops or of recursion looks as often as one long flat loop.
// Each look (checkpoint.cpp) reads the requests the interpreter has posted
// for the current thread, so the thread that reaches it acts for itself and
// each interpreter's own switch interval applies. A step is a counter
// decrement and a branch; a look costs a few loads.
namespace detail {
// Steps left before the next look. One count per module for every thread:
// only a thread holding its interpreter's GIL runs native code, and threads
// of interpreters with GILs of their own at worst lose each other's counts
// (relaxed loads and stores, never a data race), which delays a look by at
// most one round of steps.
inline constexpr int kCheckpointSteps = 256;
extern std::atomic<int> checkpoint_steps;
void checkpoint_look();  // checkpoint.cpp; starts the next round
}  // namespace detail

// One step of native work. Only owned references may be held across it:
// other threads run and signal handlers may raise (rt::PyError).
inline void checkpoint() {
    const int left = detail::checkpoint_steps.load(std::memory_order_relaxed) - 1;
    if (left > 0) [[likely]] {
        detail::checkpoint_steps.store(left, std::memory_order_relaxed);
        return;
    }
    detail::checkpoint_look();
}

// Steps through an iterable as a for statement does. Exact lists and tuples
// are read by index, as their own iterators read them (a list that changes
// meanwhile is seen the same way); anything else goes through iter()/next().
// Each step is a checkpoint.
class ForEach {
public:
    explicit ForEach(Obj iterable) : seq_(Ref::borrow(iterable)) {
        if (!PyList_CheckExact(iterable) && !PyTuple_CheckExact(iterable)) it_ = iter(iterable);
    }
    // The next item, or an empty Ref at the end.
    Ref next() {
        checkpoint();
        PyObject* seq = seq_.get();
        if (it_) return rt::next(it_);
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
};

// `a, b, ... = obj` for exactly N values, with the interpreter's messages.
// Exact tuples and lists are read directly; anything else (subclasses
// included) through its own iteration, as the statement does.
template <size_t N>
std::array<Ref, N> unpack(Obj value) {
    PyObject* obj = value;
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
        out[i] = next(it);
        if (!out[i]) raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", want, i);
    }
    if (next(it)) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", want);
    return out;
}

}  // namespace rt
