// Name lookup in a native function's globals and builtins, as Python code's
// global name lookup does it.
#include "native.hpp"

namespace rt {
using detail::as_function;

PyObject* Args::globals() const noexcept { return as_function(function_)->globals; }

PyObject* Args::module() const noexcept { return as_function(function_)->owner; }

Ref Args::global(PyObject* name) const { return lookup_global(globals(), name); }

Ref builtins_of(PyObject* globals) {
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(globals, "__builtins__", &found) < 0) raise();
    Ref b = Ref::steal_or_null(found);
    // Without __builtins__ in the namespace, the interpreter's builtins serve,
    // as for a function whose globals lack them.
    if (!b) return Ref::borrow(PyEval_GetBuiltins());
    if (PyModule_Check(b.get())) return Ref::borrow(PyModule_GetDict(b.get()));
    return b;
}

Ref lookup_global(PyObject* globals, PyObject* name) {
    if (Ref v = dict_get(globals, name)) return v;
    Ref builtins = builtins_of(globals);
    if (PyDict_Check(builtins.get())) {
        if (Ref v = dict_get(builtins.get(), name)) return v;
    } else {
        PyObject* v = PyObject_GetItem(builtins.get(), name);
        if (v != nullptr) return Ref::steal(v);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
    }
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace rt
