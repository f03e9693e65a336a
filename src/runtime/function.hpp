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

#include <cstdint>
#include <initializer_list>
#include <span>
#include <type_traits>
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

// The native calls made under one entry from the interpreter: found once,
// at that entry, and handed down through Args to the module's internal
// calls, which count themselves against it without reading a thread-local.
// Each native call counts one level against the recursion limit and checks
// the C stack left (body.cpp); a per-step duty of a loop or a recursion can
// keep its own counter here as well.
struct CallChain {
    int* depth;             // this thread's native calls in progress
    int limit;              // sys.getrecursionlimit() when the entry was made
    uintptr_t stack_floor;  // below this C stack address a call raises RecursionError
};

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
    Args(PyObject* const* values, size_t count, PyObject* function, ModuleState* state, CallChain* chain) noexcept
        : values_(values), count_(count), function_(function), state_(state), chain_(chain) {}
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
    // The chain of native calls this call belongs to (see call_inner).
    CallChain* chain() const noexcept { return chain_; }

private:
    PyObject* const* values_;
    size_t count_;
    PyObject* function_;
    ModuleState* state_;
    CallChain* chain_;
};

// A body to run in place of a function's own one (see call_inner): any
// callable taking const Args&, referred to, not copied, for the call.
class InnerBody {
public:
    InnerBody() noexcept = default;
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, InnerBody>)
    InnerBody(F&& f) noexcept  // NOLINT: made implicitly from a lambda
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, const Args& a) -> Ref { return (*static_cast<std::remove_reference_t<F>*>(o))(a); }) {}
    explicit operator bool() const noexcept { return call_ != nullptr; }
    Ref operator()(const Args& a) const { return call_(object_, a); }

private:
    void* object_ = nullptr;
    Ref (*call_)(void*, const Args&) = nullptr;
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

// An internal call of a function made by make_function, from the body
// whose arguments are `caller`, with one value per parameter by position:
// the body runs directly, after only the entry checks that can fail (exact
// type tests; the argument binding cannot), counted as one level of the
// caller's chain of native calls, and an error leaving it gets the
// function's traceback entry as from any call. `body`, when given, runs in
// place of the function's own body (a module's variant of its own function
// that also hands back what it found). A coroutine function, one whose
// checks convert a value, or another argument count goes through an
// ordinary call.
Ref call_inner(const Args& caller, Obj function, std::initializer_list<Obj> args, InnerBody body = {});

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
