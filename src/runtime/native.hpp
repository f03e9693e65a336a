// Internals shared by the runtime's function, argument binding and
// coroutine sources; not for module code.
#pragma once

#include "function.hpp"

#include <array>

namespace rt::detail {

constexpr size_t kMaxParams = 16;

// One slot per parameter: the bound (then checked) arguments, borrowed.
using Slots = std::array<PyObject*, kMaxParams>;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* decl;
    Py_ssize_t nparams;
    Py_ssize_t ndefaults;
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // the defining module's __name__
    PyObject* doc;          // str or None
    PyObject* globals;      // the defining module's dict
    PyObject* defaults;     // tuple or NULL
    PyObject* annotations;  // dict of annotation texts
    PyObject* code;         // code object carrying the parameter names
    PyObject* owner;        // the defining module, which keeps `state` alive
    ModuleState* state;     // the defining module's state
    PyObject* param_names[kMaxParams];  // interned parameter names
};

extern PyType_Spec function_spec;
extern PyType_Spec coroutine_spec;

inline FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Binds positional and keyword arguments to the parameter slots, filling
// defaults, with the messages CPython gives for a Python function.
void bind(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Slots& slots);

// Values created by the entry checks (int() results), kept alive for the
// call. Only the used entries are touched, so an ordinary call pays nothing.
struct Conversions {
    PyObject* items[kMaxParams];
    size_t count = 0;
    Conversions() = default;
    Conversions(const Conversions&) = delete;
    Conversions& operator=(const Conversions&) = delete;
    ~Conversions() {
        while (count > 0) Py_DECREF(items[--count]);
    }
    PyObject* keep(Ref value) {
        items[count++] = value.release();
        return items[count - 1];
    }
};

// Applies the entry checks in parameter order. Converted values are kept
// alive by `owned`; `slots` then hold the values the body sees.
void check(const FunctionSpec& decl, Py_ssize_t n, Slots& slots, Conversions& owned);

// Py_EnterRecursiveCall plus a check of the C stack left; pairs with
// Py_LeaveRecursiveCall.
void enter_call(const char* where);

// The coroutine object a coroutine function's call returns.
PyObject* make_coroutine(FunctionObject* f, const Slots& slots);

}  // namespace rt::detail
