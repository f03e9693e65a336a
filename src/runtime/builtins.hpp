// Python's operators and the builtins the modules use, as throwing wrappers:
// each returns a `Ref` (the object the expression evaluates to) or a plain
// value, and turns a failed call into rt::PyError.
#pragma once

#include "ref.hpp"

#include <concepts>

namespace rt {

// --- comparisons -----------------------------------------------------------
//
// Each returns what the operator evaluates to (any object a rich comparison
// method chooses); test it with truthy() as an `if` does:
// `if a == b:` is `if (rt::truthy(rt::eq(a, b)))`.

inline Ref eq(Obj a, Obj b) { return Ref::steal(PyObject_RichCompare(a, b, Py_EQ)); }
inline Ref ne(Obj a, Obj b) { return Ref::steal(PyObject_RichCompare(a, b, Py_NE)); }
inline Ref lt(Obj a, Obj b) { return Ref::steal(PyObject_RichCompare(a, b, Py_LT)); }
inline Ref le(Obj a, Obj b) { return Ref::steal(PyObject_RichCompare(a, b, Py_LE)); }
inline Ref gt(Obj a, Obj b) { return Ref::steal(PyObject_RichCompare(a, b, Py_GT)); }
inline Ref ge(Obj a, Obj b) { return Ref::steal(PyObject_RichCompare(a, b, Py_GE)); }

// --- arithmetic --------------------------------------------------------------

// a + b
inline Ref add(Obj a, Obj b) { return Ref::steal(PyNumber_Add(a, b)); }
// a & b
inline Ref bit_and(Obj a, Obj b) { return Ref::steal(PyNumber_And(a, b)); }

// --- item access -------------------------------------------------------------

// obj[key]
inline Ref getitem(Obj obj, Obj key) { return Ref::steal(PyObject_GetItem(obj, key)); }
// obj[index]; exact tuples and lists are read directly while the index is in
// range (what their own __getitem__ would return).
template <std::integral I>
Ref getitem(Obj seq, I index_value) {
    PyObject* obj = seq;
    const Py_ssize_t index = static_cast<Py_ssize_t>(index_value);
    if (index >= 0) {
        if (PyTuple_CheckExact(obj) && index < PyTuple_GET_SIZE(obj)) return Ref::borrow(PyTuple_GET_ITEM(obj, index));
        if (PyList_CheckExact(obj) && index < PyList_GET_SIZE(obj)) return Ref::borrow(PyList_GET_ITEM(obj, index));
    }
    Ref i = Ref::steal(PyLong_FromSsize_t(index));
    return getitem(obj, i);
}
// obj[start:stop]
inline Ref getslice(Obj obj, Py_ssize_t start, Py_ssize_t stop = PY_SSIZE_T_MAX) {
    return Ref::steal(PySequence_GetSlice(obj, start, stop));
}
// obj[key] = value; straight to the dict for an exact dict (what its own
// __setitem__ does).
inline void setitem(Obj obj, Obj key, Obj value) {
    check(PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value) : PyObject_SetItem(obj, key, value));
}
// obj["key"] = value
inline void setitem(Obj obj, const char* key, Obj value) {
    check(PyMapping_SetItemString(obj, key, value));
}

// --- str methods -------------------------------------------------------------

// text.startswith(prefix) for a str `text` and a str `prefix`
inline bool startswith(Obj text, Obj prefix) {
    return check(static_cast<int>(PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1))) == 1;
}

// --- sorting -----------------------------------------------------------------

// sorted(iterable) or sorted(iterable, reverse=True): a new list sorted by
// the list's own stable sort; the reverse sort reverses, sorts and reverses
// back, as list.sort does, so equal items keep their order either way.
Ref sorted(Obj iterable, bool reverse = false);

// sorted(iterable, key=key, reverse=reverse)
Ref sorted(Obj iterable, Obj key, bool reverse);

// --- running source text ---------------------------------------------------

// compile(source, filename, "exec")
Ref compile(const char* source, Obj filename);

// exec(code, ns): runs a code object with the dict `ns` as its globals and
// locals. Without "__builtins__" in `ns` the code sees the running
// interpreter's builtins; unlike the builtin, `ns` is not given the key.
void exec(Obj code, Obj ns);

}  // namespace rt
