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
// method chooses); test it with truthy() as an `if` does. For `a is b or
// a == b`, the test `in` and list methods make, use equal() in ops.hpp.

inline Ref eq(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_EQ)); }
inline Ref ne(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_NE)); }
inline Ref lt(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_LT)); }
inline Ref le(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_LE)); }
inline Ref gt(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_GT)); }
inline Ref ge(PyObject* a, PyObject* b) { return Ref::steal(PyObject_RichCompare(a, b, Py_GE)); }

// --- arithmetic --------------------------------------------------------------

// a + b
inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
// a & b
inline Ref bit_and(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_And(a, b)); }

// --- item access -------------------------------------------------------------

// obj[key]
inline Ref getitem(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }
// obj[index]; exact tuples and lists are read directly while the index is in
// range (what their own __getitem__ would return).
template <std::integral I>
Ref getitem(PyObject* obj, I index_value) {
    const Py_ssize_t index = static_cast<Py_ssize_t>(index_value);
    if (index >= 0) {
        if (PyTuple_CheckExact(obj) && index < PyTuple_GET_SIZE(obj)) return Ref::borrow(PyTuple_GET_ITEM(obj, index));
        if (PyList_CheckExact(obj) && index < PyList_GET_SIZE(obj)) return Ref::borrow(PyList_GET_ITEM(obj, index));
    }
    Ref i = Ref::steal(PyLong_FromSsize_t(index));
    return getitem(obj, i.get());
}
// obj[key] = value; straight to the dict for an exact dict (what its own
// __setitem__ does).
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
    check(PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value) : PyObject_SetItem(obj, key, value));
}
// obj["key"] = value
inline void setitem(PyObject* obj, const char* key, PyObject* value) {
    check(PyMapping_SetItemString(obj, key, value));
}

// --- str methods -------------------------------------------------------------

// text.startswith(prefix) for a str `text` and a str `prefix`
inline bool startswith(PyObject* text, PyObject* prefix) {
    return check(static_cast<int>(PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1))) == 1;
}

// --- sorting -----------------------------------------------------------------

// sorted(iterable) or sorted(iterable, reverse=True): a new list sorted by
// the list's own stable sort; the reverse sort reverses, sorts and reverses
// back, as list.sort does, so equal items keep their order either way.
Ref sorted(PyObject* iterable, bool reverse = false);

// sorted(iterable, key=key, reverse=reverse)
Ref sorted(PyObject* iterable, PyObject* key, bool reverse);

// --- running source text ---------------------------------------------------

// compile(source, filename, "exec")
Ref compile(const char* source, PyObject* filename);

// exec(code, ns): runs a code object with the dict `ns` as its globals and
// locals. Without "__builtins__" in `ns` the code sees the running
// interpreter's builtins; unlike the builtin, `ns` is not given the key.
void exec(PyObject* code, PyObject* ns);

}  // namespace rt
