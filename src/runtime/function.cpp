// The native function type behind rt::make_function: its slots and
// attributes, and construction.
#include "native.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

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

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    RT_GUARD(nullptr, {
        FunctionObject* f = as_function(self);
        Slots slots;  // bind() fills the first nparams
        Conversions owned(slots);
        bind(f, args, nargsf, kwnames, slots);
        apply_checks(*f->decl, f->nparams, slots, owned);
        if (f->decl->coroutine) return make_coroutine(f, slots).release();
        return run_body(f, slots.data(), " while calling a native function").release();
    })
}

}  // namespace
}  // namespace rt::detail

namespace rt {
using namespace detail;

// Each module has a function type of its own; all share the dealloc slot.
bool is_native_function(PyObject* obj) { return Py_TYPE(obj)->tp_dealloc == function_dealloc; }

Ref call_inner(const Args& caller, Obj function, std::initializer_list<Obj> args, InnerBody body) {
    FunctionObject* f = as_function(function);
    if (!f->direct || static_cast<Py_ssize_t>(args.size()) != f->nparams) return call(function, args);
    PyObject* const* values = detail::as_vector(args);
    for (unsigned mask = f->checked; mask != 0; mask &= mask - 1) {
        const int i = __builtin_ctz(mask);
        PyObject* v = values[i];
        if (Py_TYPE(v) != f->exact[i] && !(v == Py_None && (f->none_passes >> i) & 1u))
            check_exact(f->decl->params[i], v);
    }
    CallChain& chain = *caller.chain();
    ChainGuard guard(chain, " while calling a native function");
    try {
        const Args inner(values, args.size(), function, f->state, &chain);
        return body ? body(inner) : f->decl->body(inner);
    } catch (const PyError&) {
        add_traceback_entry(f);
        throw;
    }
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
    Ref replace = getattr(empty, text("replace"));
    Ref kwargs = new_dict();
    Ref count = integer(n);
    setitem(kwargs.get(), "co_argcount", count.get());
    setitem(kwargs.get(), "co_nlocals", count.get());
    setitem(kwargs.get(), "co_varnames", varnames.get());
    setitem(kwargs.get(), "co_flags", integer(flags).get());
    setitem(kwargs.get(), "co_qualname", qualname);
    Ref noargs = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

}  // namespace

void init_state(PyObject* module, ModuleState& state) {
    auto make_type = [&](PyType_Spec& type_spec) {
        return Ref::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    };
    state.function_type = make_type(function_spec);
    state.coroutine_type = make_type(coroutine_spec);
    state.coroutine_wrapper_type = make_type(coroutine_wrapper_spec);
    state.from_imports = new_dict();
}

Ref make_function(PyObject* module, const FunctionSpec& decl, std::vector<Ref> defaults) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr || !state->function_type) raise(PyExc_SystemError, "module state not ready");
    if (decl.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for a native function");
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref name = Ref::steal(PyUnicode_InternFromString(decl.name));
    Ref qualname = text(decl.qualname ? decl.qualname : decl.name);
    Ref annotations = new_dict();
    for (const Param& p : decl.params)
        if (p.annotation) setitem(annotations.get(), p.name, text(p.annotation).get());
    if (decl.returns) setitem(annotations.get(), "return", text(decl.returns).get());
    Ref code = make_code(module_name.get(), decl, qualname.get());
    Ref defaults_tuple;
    if (!defaults.empty()) {
        defaults_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults_tuple.get(), i, defaults[i].release());
    }

    PyTypeObject* tp = as_type(state->function_type);
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
    f->direct = !decl.coroutine;
    f->checked = 0;
    f->none_passes = 0;
    for (size_t i = 0; i < decl.params.size(); ++i) {
        PyTypeObject* exact = nullptr;
        switch (decl.params[i].check) {
            case Check::Any: break;
            case Check::OptStr: f->none_passes |= 1u << i; [[fallthrough]];
            case Check::Str: exact = &PyUnicode_Type; break;
            case Check::OptList: f->none_passes |= 1u << i; [[fallthrough]];
            case Check::List: exact = &PyList_Type; break;
            case Check::OptSet: f->none_passes |= 1u << i; [[fallthrough]];
            case Check::Set: exact = &PySet_Type; break;
            case Check::Int:
            case Check::Bool: f->direct = false; break;
        }
        f->exact[i] = exact;
        if (exact) f->checked |= 1u << i;
    }
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
