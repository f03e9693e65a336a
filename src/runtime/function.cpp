// The native function type behind rt::make_function: its slots and
// attributes, the recursion guard around bodies, and construction.
#include "native.hpp"

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <utility>

#include <pthread.h>

#include <frameobject.h>  // PyFrame_New

namespace rt::detail {

namespace {

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
    Py_VISIT(f->owner);
    Py_VISIT(f->traceback_code);
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
    Py_CLEAR(f->traceback_code);
    PyObject_ClearManagedDict(self);
    // `owner` stays until dealloc: it keeps `state` valid for any call still
    // made; a cycle through the module is broken by the module's own clear.
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (auto& n : as_function(self)->param_names) Py_CLEAR(n);
    Py_CLEAR(as_function(self)->owner);
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

// Native calls nest like Python frames: each native call counts one level
// against sys.getrecursionlimit(), so a raised limit lets deeper recursion
// through and a lowered one stops it earlier, as for Python code. The
// interpreter's own C recursion counter is fixed whatever the setting, so it
// is not used; instead, calls check how much of the thread's C stack is left
// and raise RecursionError well before it runs out, whatever the limit.
// A plain thread_local: a module loaded with dlopen must not use the
// initial-exec TLS model.
struct CallDepth {
    int depth = 0;
    uintptr_t stack_floor = 0;  // lowest usable stack address; 1 when unknown
};
thread_local CallDepth t_calls;

uintptr_t find_stack_floor() {
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
    }
    if (base == nullptr || size == 0) return 1;  // unknown bounds: the depth limit alone applies
    const size_t margin = std::min<size_t>(512 * 1024, size / 4);
    return reinterpret_cast<uintptr_t>(base) + margin;
}

}  // namespace

CallGuard::CallGuard(const char* where) {
    CallDepth& calls = t_calls;
    char probe;
    if (calls.stack_floor == 0) calls.stack_floor = find_stack_floor();
    if (calls.depth >= Py_GetRecursionLimit() || reinterpret_cast<uintptr_t>(&probe) < calls.stack_floor)
        raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    ++calls.depth;
}

CallGuard::~CallGuard() { --t_calls.depth; }

// A traceback entry for a native function, as compiled modules conventionally
// add one: an empty code object named after the function and located in the
// module's file (made once per function), run in a frame of its own.
// PyFrame_New belongs to the interpreter's non-limited API; it is the only
// way to make a frame for PyTraceBack_Here, and this is its only use.
void add_traceback_entry(FunctionObject* f) {
    PyObject* error = PyErr_GetRaisedException();
    if (f->traceback_code == nullptr) {
        PyObject* file = nullptr;
        if (PyDict_GetItemStringRef(f->globals, "__file__", &file) < 0) PyErr_Clear();
        PyObject* file_text = file && PyUnicode_Check(file) ? file : nullptr;
        const char* filename = file_text ? PyUnicode_AsUTF8(file_text) : nullptr;
        const char* funcname = PyUnicode_AsUTF8(f->qualname);
        if (filename == nullptr || funcname == nullptr) PyErr_Clear();
        f->traceback_code = reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(filename ? filename : "<native>", funcname ? funcname : "<native function>", 0));
        Py_XDECREF(file);
    }
    if (f->traceback_code != nullptr) {
        PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(f->traceback_code),
                                           f->globals, nullptr);
        if (frame != nullptr) {
            PyErr_SetRaisedException(error);
            PyTraceBack_Here(frame);
            Py_DECREF(frame);
            return;
        }
    }
    // Without an entry the error itself still goes out unchanged.
    PyErr_Clear();
    PyErr_SetRaisedException(error);
}

namespace {

// The body of `function` on checked slots, inside the recursion guard; an
// error leaving the body gets the function's traceback entry.
Ref run_body(PyObject* function, const Slots& slots) {
    FunctionObject* f = as_function(function);
    CallGuard guard(" while calling a native function");
    try {
        return f->decl->body(Args(slots.data(), static_cast<size_t>(f->nparams), function, f->state));
    } catch (const PyError&) {
        add_traceback_entry(f);
        throw;
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    RT_GUARD(nullptr, {
        FunctionObject* f = as_function(self);
        Slots slots;  // bind() fills the first nparams
        Conversions owned(slots);
        bind(f, args, nargsf, kwnames, slots);
        check(*f->decl, f->nparams, slots, owned);
        if (f->decl->coroutine) return make_coroutine(f, slots);
        return run_body(self, slots).release();
    })
}

}  // namespace
}  // namespace rt::detail

namespace rt {
using namespace detail;

// Each module has a function type of its own; all share the dealloc slot.
bool is_native_function(PyObject* obj) { return Py_TYPE(obj)->tp_dealloc == function_dealloc; }

Ref call_native(PyObject* function, std::initializer_list<PyObject*> args) {
    FunctionObject* f = as_function(function);
    if (static_cast<Py_ssize_t>(args.size()) != f->nparams || f->decl->coroutine) return call(function, args);
    Slots slots;
    std::copy(args.begin(), args.end(), slots.begin());
    Conversions owned(slots);
    check(*f->decl, f->nparams, slots, owned);
    return run_body(function, slots);
}

namespace {

// --- attributes ----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_function(self)->qualname, value, "__qualname__");
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
    RT_GUARD(nullptr, { return builtins_of(as_function(self)->globals).release(); })
}

// Pickled, copied and deep-copied by reference, as Python functions are:
// the qualified name tells pickle where to find the function again, in the
// module named by __module__.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec detail::function_spec = {
    "strix.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

namespace {

// A code object carrying the parameter names and flags, so inspect and
// FastAPI read the signature the way they read a Python function's.
Ref make_code(PyObject* module_name, const FunctionSpec& decl, PyObject* qualname) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(utf8(module_name).data(), decl.name, 1)));
    const Py_ssize_t n = static_cast<Py_ssize_t>(decl.params.size());
    Ref varnames = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(varnames.get(), i, text(decl.params[i].name).release());
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (decl.coroutine ? CO_COROUTINE : 0);
    Ref replace = attr(empty.get(), text("replace").get());
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

}  // namespace

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

int ModuleState::traverse(visitproc visit, void* arg) {
    Py_VISIT(function_type);
    Py_VISIT(coroutine_type);
    Py_VISIT(coroutine_wrapper_type);
    Py_VISIT(from_imports);
    return 0;
}

void ModuleState::clear() {
    Py_CLEAR(function_type);
    Py_CLEAR(coroutine_type);
    Py_CLEAR(coroutine_wrapper_type);
    Py_CLEAR(from_imports);
}

void init_state(PyObject* module, ModuleState& state) {
    state.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
    if (state.function_type == nullptr) raise();
    state.coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &coroutine_spec, nullptr));
    if (state.coroutine_type == nullptr) raise();
    state.coroutine_wrapper_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &coroutine_wrapper_spec, nullptr));
    if (state.coroutine_wrapper_type == nullptr) raise();
    state.from_imports = new_dict().release();
}

Ref make_function(PyObject* module, const FunctionSpec& decl, std::vector<Ref> defaults) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr || state->function_type == nullptr) raise(PyExc_SystemError, "module state not ready");
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

    PyTypeObject* tp = state->function_type;
    FunctionObject* f = reinterpret_cast<FunctionObject*>(tp->tp_alloc(tp, 0));
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
    f->owner = Py_NewRef(module);
    f->state = state;
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
