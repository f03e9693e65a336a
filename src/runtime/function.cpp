// The native function and coroutine types behind rt::make_function.
#include "function.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include <pthread.h>

namespace rt {
namespace {

constexpr size_t kMaxParams = 16;

// --- function object -----------------------------------------------------

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
    PyObject* param_names[kMaxParams];  // interned parameter names
};

PyTypeObject* g_function_type = nullptr;
PyTypeObject* g_coroutine_type = nullptr;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (auto& n : as_function(self)->param_names) Py_CLEAR(n);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython lists missing names.
Ref format_names(const std::vector<PyObject*>& names) {
    Ref out = text("");
    for (size_t i = 0; i < names.size(); ++i) {
        Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", names[i]));
        const char* sep = "";
        if (i > 0) sep = (i + 1 == names.size()) ? (names.size() == 2 ? " and " : ", and ") : ", ";
        out = Ref::steal(PyUnicode_FromFormat("%U%s%U", out.get(), sep, quoted.get()));
    }
    return out;
}

// The closest parameter name to a misspelt keyword, by the edit distance and
// limits the interpreter uses for its "Did you mean" hints; NULL for none.
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;
constexpr size_t kMaxStringSize = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += ('a' - 'A');
    if ('A' <= b && b <= 'Z') b += ('a' - 'A');
    return a == b ? kCaseCost : kMoveCost;
}

size_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) { ++a; ++b; --a_size; --b_size; }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) { --a_size; --b_size; }
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) { std::swap(a, b); std::swap(a_size, b_size); }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    size_t buffer[kMaxStringSize];
    size_t tmp = kMoveCost;
    for (size_t i = 0; i < a_size; ++i) { buffer[i] = tmp; tmp += kMoveCost; }
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; ++bi) {
        char code = b[bi];
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < a_size; ++i) {
            size_t substitute = distance + substitution_cost(code, a[i]);
            distance = buffer[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

PyObject* suggest_keyword(FunctionObject* f, PyObject* key) {
    Py_ssize_t key_size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_text == nullptr) { PyErr_Clear(); return nullptr; }
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject* item = f->param_names[i];
        if (PyUnicode_Compare(item, key) == 0) continue;
        Py_ssize_t item_size = 0;
        const char* item_text = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (item_text == nullptr) { PyErr_Clear(); return nullptr; }
        size_t max_distance = static_cast<size_t>(key_size + item_size + 3) * kMoveCost / 6;
        if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
        size_t d = edit_distance(key_text, static_cast<size_t>(key_size), item_text, static_cast<size_t>(item_size),
                                 max_distance);
        if (d > max_distance) continue;
        if (best == nullptr || d < best_distance) { best = item; best_distance = d; }
    }
    return best;
}

[[noreturn]] void raise_too_many(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t n = f->nparams, required = n - f->ndefaults;
    Ref sig = (f->ndefaults > 0) ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", required, n))
                                 : Ref::steal(PyUnicode_FromFormat("%zd", n));
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
                 sig.get(), n == 1 && f->ndefaults == 0 ? "" : "s", given, given == 1 ? "was" : "were");
}

// Binds positional and keyword arguments to the parameter slots, filling
// defaults, with the messages CPython gives for a Python function.
void bind(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames,
          std::array<PyObject*, kMaxParams>& slots) {
    const Py_ssize_t n = f->nparams;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (f->param_names[i] == key) { index = i; break; }
            }
            if (index < 0) {
                for (Py_ssize_t i = 0; i < n; ++i) {
                    int eq = PyUnicode_Compare(f->param_names[i], key);
                    if (eq == -1 && PyErr_Occurred()) raise();
                    if (eq == 0) { index = i; break; }
                }
            }
            if (index < 0) {
                if (PyObject* hint = suggest_keyword(f, key))
                    raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 f->qualname, key, hint);
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            }
            if (slots[index] != nullptr)
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            slots[index] = args[nargs + k];
        }
    }
    // As in the interpreter, keyword errors are reported before surplus
    // positional arguments.
    if (nargs > n) raise_too_many(f, nargs);
    const Py_ssize_t first_default = n - f->ndefaults;
    std::vector<PyObject*> missing;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i] != nullptr) continue;
        if (i >= first_default) slots[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        else missing.push_back(f->param_names[i]);
    }
    if (!missing.empty()) {
        Ref names = format_names(missing);
        raise_format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname,
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", names.get());
    }
}

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
void check(const FunctionSpec& decl, Py_ssize_t n, std::array<PyObject*, kMaxParams>& slots, Conversions& owned) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = decl.params[i];
        PyObject* v = slots[i];
        switch (p.check) {
            case Check::Any:
                break;
            case Check::OptStr:
                if (v == Py_None) break;
                [[fallthrough]];
            case Check::Str:
                if (!PyUnicode_CheckExact(v)) raise_argument_type(p.name, "str", v, PyUnicode_Check(v));
                break;
            case Check::OptList:
                if (v == Py_None) break;
                [[fallthrough]];
            case Check::List:
                if (!PyList_CheckExact(v)) raise_argument_type(p.name, "list", v, PyList_Check(v));
                break;
            case Check::OptSet:
                if (v == Py_None) break;
                [[fallthrough]];
            case Check::Set:
                if (!PySet_CheckExact(v)) raise_argument_type(p.name, "set", v, PySet_Check(v));
                break;
            case Check::Int: {
                if (PyLong_CheckExact(v)) break;
                PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
                bool numeric = !PyUnicode_Check(v) && !PyBytes_Check(v) && !PyByteArray_Check(v) && nb != nullptr &&
                               (nb->nb_int != nullptr || nb->nb_index != nullptr || nb->nb_float != nullptr);
                if (!numeric) raise_argument_type(p.name, "int", v, false);
                slots[i] = owned.keep(Ref::steal(PyNumber_Long(v)));
                break;
            }
            case Check::Bool:
                slots[i] = truthy(v) ? Py_True : Py_False;
                break;
        }
    }
}

// The interpreter's own recursion counter allows more nested native calls
// than the C stack of a thread may hold (each level here costs more stack
// than a Python frame), so calls also check how much stack is left and raise
// RecursionError well before it runs out.
// initial-exec: read without a call into the dynamic loader on every native call.
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_stack_floor = 0;

bool stack_nearly_exhausted() {
    char probe;
    const uintptr_t sp = reinterpret_cast<uintptr_t>(&probe);
    if (t_stack_floor == 0) {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &base, &size);
            pthread_attr_destroy(&attr);
        }
        if (base == nullptr || size == 0) {
            t_stack_floor = 1;  // unknown bounds: rely on the interpreter's counter alone
        } else {
            const size_t margin = std::min<size_t>(512 * 1024, size / 4);
            t_stack_floor = reinterpret_cast<uintptr_t>(base) + margin;
        }
    }
    return sp < t_stack_floor;
}

// Py_EnterRecursiveCall plus the stack check; pairs with Py_LeaveRecursiveCall.
void enter_call(const char* where) {
    if (stack_nearly_exhausted()) raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    if (Py_EnterRecursiveCall(where)) raise();
}

PyObject* make_coroutine(FunctionObject* f, const std::array<PyObject*, kMaxParams>& slots);

// The body of `function` on checked slots, inside the recursion guard.
Ref run_body(PyObject* function, const std::array<PyObject*, kMaxParams>& slots) {
    FunctionObject* f = as_function(function);
    enter_call(" while calling a native function");
    struct Leave { ~Leave() { Py_LeaveRecursiveCall(); } } leave;
    return f->decl->body(Args(slots.data(), static_cast<size_t>(f->nparams), function));
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    RT_GUARD(nullptr, {
        FunctionObject* f = as_function(self);
        std::array<PyObject*, kMaxParams> slots;  // bind() fills the first nparams
        Conversions owned;
        bind(f, args, nargsf, kwnames, slots);
        check(*f->decl, f->nparams, slots, owned);
        if (f->decl->coroutine) return make_coroutine(f, slots);
        return run_body(self, slots).release();
    })
}

}  // namespace

bool is_native_function(PyObject* obj) { return g_function_type != nullptr && Py_IS_TYPE(obj, g_function_type); }

Ref call_native(PyObject* function, std::initializer_list<PyObject*> args) {
    FunctionObject* f = as_function(function);
    if (static_cast<Py_ssize_t>(args.size()) != f->nparams || f->decl->coroutine) return call(function, args);
    std::array<PyObject*, kMaxParams> slots;
    std::copy(args.begin(), args.end(), slots.begin());
    Conversions owned;
    check(*f->decl, f->nparams, slots, owned);
    return run_body(function, slots);
}

namespace {

// --- attributes ----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_builtins(PyObject* self, void*) {
    PyObject* b = nullptr;
    if (PyDict_GetItemStringRef(as_function(self)->globals, "__builtins__", &b) < 0) return nullptr;
    if (b == nullptr) return Py_NewRef(PyEval_GetBuiltins());
    if (PyModule_Check(b)) Py_SETREF(b, Py_NewRef(PyModule_GetDict(b)));
    return b;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "strix.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// --- coroutine object ----------------------------------------------------
//
// What calling a coroutine function returns. The body has no suspension
// point, so the first step runs it to completion and returns its result;
// `throw` and `close` behave as for a coroutine that has not started.

struct CoroutineObject {
    PyObject_HEAD
    PyObject* function;  // the FunctionObject
    Py_ssize_t nargs;
    bool finished;
    PyObject* args[kMaxParams];
};

CoroutineObject* as_coroutine(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self); }

PyObject* make_coroutine(FunctionObject* f, const std::array<PyObject*, kMaxParams>& slots) {
    CoroutineObject* c = reinterpret_cast<CoroutineObject*>(g_coroutine_type->tp_alloc(g_coroutine_type, 0));
    if (c == nullptr) raise();
    c->function = Py_NewRef(reinterpret_cast<PyObject*>(f));
    c->nargs = f->nparams;
    c->finished = false;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kMaxParams); ++i)
        c->args[i] = i < f->nparams ? Py_NewRef(slots[i]) : nullptr;
    return reinterpret_cast<PyObject*>(c);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->function);
    for (auto* a : c->args) Py_VISIT(a);
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    Py_CLEAR(c->function);
    for (auto& a : c->args) Py_CLEAR(a);
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    coroutine_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Runs the body once. Returns the result, or NULL with an exception set.
PyObject* coroutine_run_body(CoroutineObject* c) {
    if (c->finished || c->function == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    c->finished = true;
    Ref function = Ref::borrow(c->function);
    std::array<Ref, kMaxParams> args;
    std::array<PyObject*, kMaxParams> values{};
    for (size_t i = 0; i < kMaxParams; ++i) {
        args[i] = Ref::steal_or_null(c->args[i]);
        c->args[i] = nullptr;
        values[i] = args[i].get();
    }
    RT_GUARD(nullptr, {
        enter_call(" while running a native coroutine");
        struct Leave { ~Leave() { Py_LeaveRecursiveCall(); } } leave;
        FunctionObject* f = as_function(function.get());
        Args a(values.data(), static_cast<size_t>(c->nargs), function.get());
        return f->decl->body(a).release();
    })
}

// coroutine_run_body with the interpreter's rule for coroutines: a
// StopIteration escaping the body would read as the coroutine's return value
// to whoever awaits it, so it becomes a RuntimeError (with the StopIteration
// as its cause).
PyObject* coroutine_run(CoroutineObject* c) {
    PyObject* result = coroutine_run_body(c);
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(stop));
        PyException_SetContext(error, stop);
        PyErr_SetRaisedException(error);
    }
    return result;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** result) {
    CoroutineObject* c = as_coroutine(self);
    if (!c->finished && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        *result = nullptr;
        return PYGEN_ERROR;
    }
    *result = coroutine_run(c);
    return *result ? PYGEN_RETURN : PYGEN_ERROR;
}

// Raises StopIteration carrying `value` (consumed).
PyObject* stop_with(PyObject* value) {
    if (value == nullptr) return nullptr;
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (exc == nullptr) return nullptr;
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    if (coroutine_am_send(self, value, &result) == PYGEN_ERROR) return nullptr;
    return stop_with(result);
}

PyObject* coroutine_iternext(PyObject* self) { return stop_with(coroutine_run(as_coroutine(self))); }

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    CoroutineObject* c = as_coroutine(self);
    c->finished = true;
    coroutine_clear(self);
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) exc = Py_NewRef(val);
        else if (val == Py_None) exc = PyObject_CallNoArgs(typ);
        else if (PyTuple_Check(val)) exc = PyObject_Call(typ, val, nullptr);
        else exc = PyObject_CallOneArg(typ, val);
        if (exc == nullptr) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (nargs > 2 && args[2] != Py_None && PyException_SetTraceback(exc, args[2]) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    as_coroutine(self)->finished = true;
    coroutine_clear(self);
    Py_RETURN_NONE;
}

PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

PyObject* coroutine_get_name(PyObject* self, void*) {
    PyObject* f = as_coroutine(self)->function;
    if (f == nullptr) return PyUnicode_FromString("coroutine");
    return Py_NewRef(as_function(f)->name);
}
PyObject* coroutine_get_qualname(PyObject* self, void*) {
    PyObject* f = as_coroutine(self)->function;
    if (f == nullptr) return PyUnicode_FromString("coroutine");
    return Py_NewRef(as_function(f)->qualname);
}
PyObject* coroutine_get_running(PyObject*, void*) { Py_RETURN_FALSE; }
PyObject* coroutine_get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* coroutine_repr(PyObject* self) {
    PyObject* name = coroutine_get_qualname(self, nullptr);
    if (name == nullptr) return nullptr;
    PyObject* out = PyUnicode_FromFormat("<coroutine object %U at %p>", name, self);
    Py_DECREF(name);
    return out;
}

PyMethodDef coroutine_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(coroutine_send), METH_O, "send(arg) -> run the coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coroutine_throw)), METH_FASTCALL,
     "throw(value) -> raise exception in coroutine."},
    {"close", coroutine_close, METH_NOARGS, "close() -> mark the coroutine finished."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", coroutine_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coroutine_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", coroutine_get_running, nullptr, nullptr, nullptr},
    {"cr_await", coroutine_get_none, nullptr, nullptr, nullptr},
    {"cr_frame", coroutine_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "strix.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

// A code object carrying the parameter names and flags, so inspect and
// FastAPI read the signature the way they read a Python function's.
Ref make_code(PyObject* module_name, const FunctionSpec& decl, PyObject* qualname) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(utf8(module_name).data(), decl.name, 1)));
    const Py_ssize_t n = static_cast<Py_ssize_t>(decl.params.size());
    Ref varnames = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(varnames.get(), i, text(decl.params[i].name).release());
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (decl.coroutine ? CO_COROUTINE : 0);
    Ref replace = attr(empty.get(), Name("replace"));
    Ref kwargs = new_dict();
    Ref count = integer(n);
    set_item(kwargs.get(), "co_argcount", count.get());
    set_item(kwargs.get(), "co_nlocals", count.get());
    set_item(kwargs.get(), "co_varnames", varnames.get());
    set_item(kwargs.get(), "co_flags", integer(flags).get());
    set_item(kwargs.get(), "co_qualname", qualname);
    Ref noargs = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

PyObject* g_builtins = nullptr;  // the builtins module's dict, kept for the life of the process

}  // namespace

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    return std::string(utf8(name.get()));
}

[[noreturn]] void raise_result_type(const char* expected, PyObject* got) {
    std::string got_name = type_name(got);
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", expected, got_name.c_str());
}

[[noreturn]] void raise_argument_type(const char* param, const char* expected, PyObject* got,
                                      bool subclass_of_expected) {
    std::string got_name = type_name(got);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, got_name.c_str());
    if (subclass_of_expected) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal_or_null(PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected: pass an exact '%s' object.", expected));
        if (note) {
            Ref r = Ref::steal_or_null(PyObject_CallMethod(exc, "add_note", "O", note.get()));
            if (!r) PyErr_Clear();
        } else {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
    }
    raise();
}

Ref import_from(const char* module, const char* name) {
    // The statement itself, compiled once per (module, name): the import,
    // the submodule fallback and the ImportError (its text, `name`, `path`,
    // `name_from`) are then exactly the interpreter's.
    static std::map<std::pair<std::string, std::string>, PyObject*> statements;
    auto key = std::make_pair(std::string(module), std::string(name));
    auto found = statements.find(key);
    if (found == statements.end()) {
        std::string source = "from " + key.first + " import " + key.second + " as value\n";
        PyObject* code = Py_CompileString(source.c_str(), "<native import>", Py_file_input);
        if (code == nullptr) raise();
        found = statements.emplace(std::move(key), code).first;  // kept for the life of the process
    }
    Ref ns = new_dict();
    set_item(ns.get(), "__builtins__", PyEval_GetBuiltins());
    Ref done = Ref::steal(PyEval_EvalCode(found->second, ns.get(), ns.get()));
    static const Name n_value("value");
    return Ref::steal(PyObject_GetItem(ns.get(), n_value));
}

PyObject* Args::globals() const noexcept { return as_function(function_)->globals; }

Ref Args::global(PyObject* name) const { return lookup_global(globals(), name); }

Ref lookup_global(PyObject* globals, PyObject* name) {
    if (Ref v = dict_get(globals, name)) return v;
    if (Ref v = dict_get(g_builtins, name)) return v;
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

void init_runtime() {
    if (g_function_type == nullptr) {
        g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
        if (g_function_type == nullptr) raise();
    }
    if (g_coroutine_type == nullptr) {
        g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coroutine_spec));
        if (g_coroutine_type == nullptr) raise();
    }
    if (g_builtins == nullptr) {
        Ref mod = import("builtins");
        g_builtins = Ref::borrow(PyModule_GetDict(mod.get())).release();
    }
}

Ref make_function(PyObject* module, const FunctionSpec& decl, std::vector<Ref> defaults) {
    init_runtime();
    if (decl.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for a native function");
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref name = Ref::steal(PyUnicode_InternFromString(decl.name));
    Ref qualname = text(decl.qualname ? decl.qualname : decl.name);
    Ref annotations = new_dict();
    for (const Param& p : decl.params)
        if (p.annotation) set_item(annotations.get(), p.name, text(p.annotation).get());
    if (decl.returns) set_item(annotations.get(), "return", text(decl.returns).get());
    Ref code = make_code(module_name.get(), decl, qualname.get());
    Ref defaults_tuple;
    if (!defaults.empty()) {
        defaults_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults_tuple.get(), i, defaults[i].release());
    }

    FunctionObject* f =
        reinterpret_cast<FunctionObject*>(g_function_type->tp_alloc(g_function_type, 0));
    if (f == nullptr) raise();
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = function_vectorcall;
    f->decl = &decl;
    f->nparams = static_cast<Py_ssize_t>(decl.params.size());
    f->ndefaults = static_cast<Py_ssize_t>(defaults.size());
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module_name.release();
    f->doc = decl.doc ? text(decl.doc).release() : Py_NewRef(Py_None);
    f->globals = Py_NewRef(PyModule_GetDict(module));
    f->defaults = defaults_tuple.release();
    f->annotations = annotations.release();
    f->code = code.release();
    for (size_t i = 0; i < decl.params.size(); ++i) {
        f->param_names[i] = PyUnicode_InternFromString(decl.params[i].name);
        if (f->param_names[i] == nullptr) raise();
    }
    return owner;
}

Ref def(PyObject* module, const FunctionSpec& decl, std::vector<Ref> defaults) {
    Ref fn = make_function(module, decl, std::move(defaults));
    if (PyModule_AddObjectRef(module, decl.name, fn.get()) < 0) raise();
    return fn;
}

}  // namespace rt
