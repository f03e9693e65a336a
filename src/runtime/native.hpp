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
    PyObject* traceback_code;  // names the function in tracebacks; made on first use
    PyObject* owner;        // the defining module, which keeps `state` alive
    ModuleState* state;     // the defining module's state
    bool direct;            // call_inner may run the body directly: no check converts, no coroutine
    unsigned checked;       // bit i: parameter i has an exact type check
    unsigned none_passes;   // bit i: None passes parameter i's check
    PyTypeObject* exact[kMaxParams];  // the type a checked parameter must have exactly
    PyObject* param_names[kMaxParams];  // interned parameter names
};

extern PyType_Spec function_spec;
extern PyType_Spec coroutine_spec;
extern PyType_Spec coroutine_wrapper_spec;

// Setter of a str attribute such as __name__: replaces `field`, or fails as
// a Python function's setter does for a deleted or non-str value.
inline int set_str_field(PyObject*& field, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

inline FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Binds positional and keyword arguments to the parameter slots, filling
// defaults, with the messages CPython gives for a Python function.
void bind(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Slots& slots);

// Values created by the entry checks (int() results), kept alive for the
// call: the slot a value replaced owns it, marked by one bit, so an ordinary
// call pays nothing and a nested one little stack.
class Conversions {
public:
    explicit Conversions(Slots& slots) noexcept : slots_(slots) {}
    Conversions(const Conversions&) = delete;
    Conversions& operator=(const Conversions&) = delete;
    ~Conversions() {
        for (size_t i = 0; (owned_ >> i) != 0; ++i)
            if ((owned_ >> i) & 1u) Py_DECREF(slots_[i]);
    }
    // Puts `value` into slot `i` for the rest of the call.
    void keep(size_t i, Ref value) noexcept {
        slots_[i] = value.release();
        owned_ |= 1u << i;
    }

private:
    Slots& slots_;
    unsigned owned_ = 0;
};

// Applies the entry checks in parameter order. Converted values are kept
// alive by `owned`; `slots` then hold the values the body sees.
void apply_checks(const FunctionSpec& decl, Py_ssize_t n, Slots& slots, Conversions& owned);

// The entry check of a parameter whose check converts nothing (an exact
// type test), raising its TypeError.
void check_exact(const Param& p, PyObject* v);

[[noreturn]] void raise_recursion(const char* where);

// Counts one more native call of `chain` for its lifetime; RecursionError
// (its message ending with `where`) when the recursion limit or the C stack
// has run out.
class ChainGuard {
public:
    ChainGuard(CallChain& chain, const char* where) : depth_(*chain.depth) {
        if (depth_ >= chain.limit || reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < chain.stack_floor)
            raise_recursion(where);
        ++depth_;
    }
    ~ChainGuard() { --depth_; }
    ChainGuard(const ChainGuard&) = delete;
    ChainGuard& operator=(const ChainGuard&) = delete;

private:
    int& depth_;
};

// The chain an entry from the interpreter starts: this thread's count (the
// one thread-local read of a call), the recursion limit and the stack floor.
CallChain start_chain();

// Adds the traceback entry naming `f` to the pending error.
void add_traceback_entry(FunctionObject* f);

// Runs the body of `f` on its checked argument values (one per parameter)
// inside the recursion guard, whose RecursionError message ends with
// `where`; an error leaving the body gets a traceback entry naming `f`.
// Functions and coroutines both run their bodies through it.
inline Ref run_body(FunctionObject* f, PyObject* const* values, const char* where) {
    CallChain chain = start_chain();
    ChainGuard guard(chain, where);
    try {
        return f->decl->body(
            Args(values, static_cast<size_t>(f->nparams), reinterpret_cast<PyObject*>(f), f->state, &chain));
    } catch (const PyError&) {
        add_traceback_entry(f);
        throw;
    }
}

// The coroutine object a coroutine function's call returns.
Ref make_coroutine(FunctionObject* f, const Slots& slots);

}  // namespace rt::detail
