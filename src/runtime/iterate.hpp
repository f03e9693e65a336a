// Iteration as the for statement and unpacking do it, with the interpreter's
// duties toward other threads and signal handlers in long loops.
#pragma once

#include "ref.hpp"

#include <array>

namespace rt {
inline Ref iter(Obj obj) { return Ref::steal(PyObject_GetIter(obj)); }

// The next item of an iterator, or an empty Ref at its end.
inline Ref next(Obj iterator) {
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
    explicit ForEach(Obj iterable) : seq_(Ref::borrow(iterable)) {
        if (!PyList_CheckExact(iterable) && !PyTuple_CheckExact(iterable)) it_ = iter(iterable);
    }
    // The next item, or an empty Ref at the end.
    Ref next() {
        signals_.step();
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
    SignalCheck signals_;
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
