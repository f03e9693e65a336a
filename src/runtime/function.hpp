// Native functions that look like Python functions.
//
// A function is declared by a table of parameters (name, entry check,
// annotation text) and a C++ body that receives the bound, checked and
// converted arguments. The resulting object has the attributes introspection
// expects of a Python function (__name__, __qualname__, __module__, __doc__,
// __annotations__, __defaults__, __kwdefaults__, __globals__, __code__,
// __dict__), binds as a method inside a class, and raises the interpreter's
// own TypeErrors for a bad call. Coroutine functions return an awaitable
// object whose first step runs the body to completion.
#pragma once

#include "builtins.hpp"
#include "fstring.hpp"
#include "module_state.hpp"
#include "ops.hpp"

#include <initializer_list>
#include <span>
#include <vector>

namespace rt {

// The entry check applied to one parameter before the body runs.
enum class Check {
    Any,      // not checked (host or module types)
    Str,      // exactly str
    OptStr,   // exactly str, or None
    List,     // exactly list
    OptList,  // exactly list, or None
    Set,      // exactly set
    OptSet,   // exactly set, or None
    Int,      // any number, converted with int()
    Bool,     // any object, taken by its truth value
};

struct Param {
    const char* name;
    Check check = Check::Any;
    const char* annotation = nullptr;  // annotation text; nullptr for none
};

class Args;
using Body = Ref (*)(const Args&);

struct FunctionSpec {
    const char* name;
    const char* qualname = nullptr;  // defaults to `name`
    const char* doc = nullptr;
    std::span<const Param> params = {};
    const char* returns = nullptr;   // return annotation text; nullptr for none
    Body body = nullptr;
    bool coroutine = false;
};

// What a body sees: the bound arguments (borrowed, one per parameter, after
// the entry checks and conversions), the function's globals and the state of
// the module that defined it.
class Args {
public:
    Args(PyObject* const* values, size_t count, PyObject* function, ModuleState* state) noexcept
        : values_(values), count_(count), function_(function), state_(state) {}
    PyObject* operator[](size_t i) const noexcept { return values_[i]; }
    size_t size() const noexcept { return count_; }
    PyObject* function() const noexcept { return function_; }
    // The defining module's state, as its own type: a.state<State>().
    template <class S>
    S& state() const noexcept { return *static_cast<S*>(state_); }
    ModuleState& runtime_state() const noexcept { return *state_; }
    // The module namespace the function was defined in (its __globals__).
    PyObject* globals() const noexcept;
    // The module object the function was defined in.
    PyObject* module() const noexcept;
    // globals()[name], falling back to builtins; NameError when absent.
    Ref global(PyObject* name) const;

private:
    PyObject* const* values_;
    size_t count_;
    PyObject* function_;
    ModuleState* state_;
};

// The builtins a function with these globals sees: globals["__builtins__"]
// (a module stands for its dict), else the current interpreter's.
Ref builtins_of(PyObject* globals);

// Looks `name` up in `globals`, then in their builtins, as a Python name
// lookup does, so each interpreter finds its own builtins.
Ref lookup_global(PyObject* globals, PyObject* name);

// Creates a function for `decl` in `module` (its dict becomes __globals__,
// its state what the body reaches through Args::state).
// `defaults` are the defaults of the last parameters, as in __defaults__.
// `decl` and its parameter table must outlive the function (use statics).
Ref make_function(PyObject* module, const FunctionSpec& decl, std::vector<Ref> defaults = {});

// make_function, then binds the result as module attribute `decl.name`.
Ref def(PyObject* module, const FunctionSpec& decl, std::vector<Ref> defaults = {});

// Whether `obj` is a function made by make_function.
bool is_native_function(PyObject* obj);

// Calls a function made by make_function (not a coroutine function) with one
// value per parameter, by position: the entry checks and the recursion guard
// apply as for any call; only the argument binding, which cannot fail here,
// is skipped. Any other argument count goes through an ordinary call.
Ref call_native(PyObject* function, std::initializer_list<PyObject*> args);

// Makes the module's own function and coroutine types; called by every
// module's exec slot before anything else.
void init_state(PyObject* module, ModuleState& state);

// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
// with an explanatory note when `got` is an instance of a subclass of the
// expected built-in type.
[[noreturn]] void raise_argument_type(const char* param, const char* expected, PyObject* got,
                                      bool subclass_of_expected);

}  // namespace rt

namespace rt {
// Builds the defaults vector for make_function: rt::defaults(Ref::none(), ...)
template <class... R>
std::vector<Ref> defaults(R&&... values) {
    std::vector<Ref> v;
    (v.push_back(std::forward<R>(values)), ...);
    return v;
}
}  // namespace rt
