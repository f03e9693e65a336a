// Throwing wrappers over the C API: each returns a `Ref` or a plain value and
// turns a failed call into rt::PyError, so module code reads like the Python
// it stands for. They take their arguments as rt::Obj (a PyObject*, a Ref or
// an interned name, passed as it is) and carry Python's names: getattr,
// len, str, ... (builtins.hpp has the operators and the other builtins).
//
// Iteration (iterate.hpp) and the try statements (statements.hpp) stand on
// ref.hpp alone; this header brings them along, so that module code includes
// one header for the statements and expressions it writes.
#pragma once

#include "iterate.hpp"
#include "ref.hpp"
#include "statements.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace rt {

// --- attributes ----------------------------------------------------------

// getattr(obj, name)
inline Ref getattr(Obj obj, Obj name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// getattr(obj, name) with hasattr semantics: an empty Ref when the lookup
// raises AttributeError; any other exception propagates.
inline Ref optional_attr(Obj obj, Obj name) {
    PyObject* out = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &out) < 0) raise();
    return Ref::steal_or_null(out);
}

// hasattr(obj, name), letting exceptions other than AttributeError through.
inline bool hasattr(Obj obj, Obj name) {
    int r = PyObject_HasAttrWithError(obj, name);
    if (r < 0) raise();
    return r == 1;
}

// setattr(obj, name, value)
inline void setattr(Obj obj, Obj name, Obj value) {
    if (PyObject_SetAttr(obj, name, value) < 0) raise();
}

// --- truth, comparison, conversion ---------------------------------------

inline bool truthy(Obj obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    int r = PyObject_IsTrue(obj);
    if (r < 0) raise();
    return r == 1;
}

// `a is b`
inline bool is(Obj a, Obj b) noexcept { return static_cast<PyObject*>(a) == static_cast<PyObject*>(b); }

// `needle in haystack`
inline bool contains(Obj haystack, Obj needle) {
    int r = PySequence_Contains(haystack, needle);
    if (r < 0) raise();
    return r == 1;
}

// len(obj)
inline Py_ssize_t len(Obj obj) {
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) raise();
    return n;
}

// str(obj), repr(obj), format(obj)
inline Ref str(Obj obj) { return Ref::steal(PyObject_Str(obj)); }
inline Ref repr(Obj obj) { return Ref::steal(PyObject_Repr(obj)); }
inline Ref format(Obj obj) { return Ref::steal(PyObject_Format(obj, nullptr)); }

inline Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
inline Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// UTF-8 view of a str (valid while the object lives); raises for lone surrogates.
inline std::string_view utf8(Obj s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) raise();
    return {p, static_cast<size_t>(n)};
}

// "".join(parts) with a fixed separator
inline Ref join(const char* sep, Obj iterable) {
    Ref s = text(sep);
    return Ref::steal(PyUnicode_Join(s.get(), iterable));
}

// --- calls ---------------------------------------------------------------

namespace detail {
// The arguments of a call as the vector of PyObject* vectorcall takes (an
// Obj is laid out as the pointer it holds).
inline PyObject* const* as_vector(std::initializer_list<Obj> args) noexcept {
    return reinterpret_cast<PyObject* const*>(args.begin());
}
}  // namespace detail

// callable(*args)
inline Ref call(Obj callable, std::initializer_list<Obj> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, detail::as_vector(args),
                                          args.size(), nullptr));
}

// callable(*args) for a list of pointers that a caller passes on (a braced
// list goes to the overload above).
template <class List>
    requires std::same_as<List, std::initializer_list<PyObject*>>
Ref call(Obj callable, const List& args) {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

// callable(*args, **dict(zip(kwnames, kwvalues))); `kwnames` is a tuple of str
inline Ref call_kw(Obj callable, std::initializer_list<Obj> args_then_kwvalues,
                   Obj kwnames) {
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(static_cast<PyObject*>(kwnames))) : 0;
    size_t npos = args_then_kwvalues.size() - nkw;
    return Ref::steal(PyObject_Vectorcall(callable, detail::as_vector(args_then_kwvalues),
                                          npos, kwnames));
}

// self.name(*args), without creating a bound method where the attribute
// allows it. `args` must start with self.
inline Ref call_method(Obj name, std::initializer_list<Obj> self_and_args) {
    return Ref::steal(PyObject_VectorcallMethod(name, detail::as_vector(self_and_args),
                                                self_and_args.size(), nullptr));
}

// --- containers ----------------------------------------------------------

inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
// (a, b, ...)
Ref tuple(std::initializer_list<Obj> items);
// [a, b, ...]
Ref list(std::initializer_list<Obj> items);

// The tuple of keyword names for call_kw; modules build theirs once, at exec
// time, and keep them in their state.
inline Ref kwnames(std::initializer_list<Obj> names) { return tuple(names); }

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_set() { return Ref::steal(PySet_New(nullptr)); }

inline void append(Obj list, Obj item) {
    if (PyList_Append(list, item) < 0) raise();
}
inline void set_add(Obj set, Obj item) {
    if (PySet_Add(set, item) < 0) raise();
}

// dict[key] as a new reference, or an empty Ref when absent (dict or subclass).
inline Ref dict_get(Obj dict, Obj key) {
    PyObject* out = nullptr;
    if (PyDict_GetItemRef(dict, key, &out) < 0) raise();
    return Ref::steal_or_null(out);
}

// `mapping.get(key)`, or `mapping.get(key, default_value)` when one is given;
// straight to the dict for an exact dict.
inline Ref mapping_get(Obj mapping, Obj key, Obj default_value = nullptr) {
    if (PyDict_CheckExact(mapping)) {
        if (Ref v = dict_get(mapping, key)) return v;
        return Ref::borrow(default_value ? static_cast<PyObject*>(default_value) : Py_None);
    }
    Ref get = Ref::steal(PyUnicode_InternFromString("get"));
    if (default_value) return call_method(get, {mapping, key, default_value});
    return call_method(get, {mapping, key});
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

// --- type names for messages ---------------------------------------------

// type(obj).__name__, the name Python code would print.
std::string type_name(Obj obj);

// TypeError "Expected %s, got %.200s" for a value of the wrong built-in type.
[[noreturn]] void raise_result_type(const char* expected, Obj got);

}  // namespace rt
