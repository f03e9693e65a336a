// The coroutine objects that native coroutine functions return, and the
// iterator their __await__ returns.
#include "native.hpp"

#include <frameobject.h>  // PyFrame_New

namespace rt::detail {

namespace {

// What calling a coroutine function returns. The body has no suspension
// point, so the first step runs it to completion and returns its result;
// `throw` and `close` behave as for a coroutine that has not started. Seen
// from outside it is a Python coroutine whose body never suspends: not
// iterable itself, `cr_*` attributes as inspect reads them, a RuntimeWarning
// when dropped without being awaited, weakly referenceable.

enum class State : unsigned char { Created, Running, Finished };

struct CoroutineObject {
    PyObject_HEAD
    PyObject* function;  // the FunctionObject
    PyObject* name;      // str, writable
    PyObject* qualname;  // str, writable
    PyObject* frame;     // cr_frame, made when first asked for while not finished
    State state;
    PyObject* args[kMaxParams];
};

CoroutineObject* as_coroutine(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self); }

// What __await__ returns (below).
struct CoroutineWrapper {
    PyObject_HEAD
    PyObject* coroutine;
};

// Drops what only a coroutine that may still run needs.
void coroutine_finish(CoroutineObject* c) {
    c->state = State::Finished;
    Py_CLEAR(c->frame);
    for (auto& a : c->args) Py_CLEAR(a);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->function);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->frame);
    for (auto* a : c->args) Py_VISIT(a);
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    Py_CLEAR(c->function);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->frame);
    for (auto& a : c->args) Py_CLEAR(a);
    return 0;
}

// The warnings module, imported if need be (not while the interpreter shuts
// down, when only an already imported one serves); NULL without an error
// when there is none.
PyObject* warnings_module() {
    PyObject* name = PyUnicode_FromString("warnings");
    if (name == nullptr) return nullptr;
    PyObject* module = PyImport_GetModule(name);
    if (module == nullptr && !PyErr_Occurred() && !Py_IsFinalizing()) {
        module = PyImport_Import(name);
        if (module == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
    }
    Py_DECREF(name);
    return module;
}

// A coroutine dropped before its first step warns as the interpreter's own
// coroutines do: through warnings._warn_unawaited_coroutine (which a test
// runner or tracemalloc may extend), else with a plain RuntimeWarning. An
// error filter turns the warning into an exception, which can only be
// reported as unraisable here.
void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != State::Created || c->qualname == nullptr) return;
    c->state = State::Finished;
    PyObject* saved = PyErr_GetRaisedException();
    bool warned = false;
    if (PyObject* warnings = warnings_module()) {
        PyObject* warn = PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine");
        Py_DECREF(warnings);
        if (warn != nullptr) {
            PyObject* res = PyObject_CallOneArg(warn, self);
            Py_DECREF(warn);
            warned = res != nullptr || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
            Py_XDECREF(res);
        }
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", c->qualname) < 0)
        PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

void coroutine_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the warning's handler
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    coroutine_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
}

// Runs the body once. Returns the result, or NULL with an exception set.
PyObject* coroutine_run_body(CoroutineObject* c) {
    if (c->state == State::Running) return already_executing();
    if (c->state == State::Finished || c->function == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    c->state = State::Running;
    Ref function = Ref::borrow(c->function);
    std::array<Ref, kMaxParams> args;
    Slots values{};
    for (size_t i = 0; i < kMaxParams; ++i) {
        args[i] = Ref::steal_or_null(c->args[i]);
        c->args[i] = nullptr;
        values[i] = args[i].get();
    }
    struct Finish {
        CoroutineObject* c;
        ~Finish() { coroutine_finish(c); }
    } finish{c};
    RT_GUARD(nullptr, {
        return run_body(as_function(function.get()), values.data(), " while running a native coroutine").release();
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
    if (c->state == State::Created && value != Py_None) {
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

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::Running) return already_executing();
    coroutine_finish(c);
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
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::Running) return already_executing();
    coroutine_finish(c);
    Py_RETURN_NONE;
}

PyObject* coroutine_await(PyObject* self) {
    // The iterator type of the coroutine type's own module.
    ModuleState* state = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
    if (state == nullptr) return nullptr;
    CoroutineWrapper* wrapper = PyObject_GC_New(CoroutineWrapper, as_type(state->coroutine_wrapper_type));
    if (wrapper == nullptr) return nullptr;
    wrapper->coroutine = Py_NewRef(self);
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject*>(wrapper);
}

// --- attributes ----------------------------------------------------------

// The value of a field, None once the garbage collector has cleared it.
PyObject* field_or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* coroutine_get_name(PyObject* self, void*) { return field_or_none(as_coroutine(self)->name); }
int coroutine_set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_coroutine(self)->name, value, "__name__");
}
PyObject* coroutine_get_qualname(PyObject* self, void*) { return field_or_none(as_coroutine(self)->qualname); }
int coroutine_set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_coroutine(self)->qualname, value, "__qualname__");
}
PyObject* coroutine_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->state == State::Running);
}
PyObject* coroutine_get_false(PyObject*, void*) { Py_RETURN_FALSE; }
PyObject* coroutine_get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* coroutine_get_code(PyObject* self, void*) {
    PyObject* f = as_coroutine(self)->function;
    return field_or_none(f ? as_function(f)->code : nullptr);
}

// A frame of the function's code while the coroutine has not finished, None
// after, as inspect.getcoroutinestate expects. The frame runs nothing: it
// stands for the body, which has no suspension point to stop at.
PyObject* coroutine_get_frame(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::Finished || c->function == nullptr) Py_RETURN_NONE;
    if (c->frame == nullptr) {
        FunctionObject* f = as_function(c->function);
        c->frame = reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(f->code), f->globals, nullptr));
        if (c->frame == nullptr) return nullptr;
    }
    return Py_NewRef(c->frame);
}

PyObject* coroutine_repr(PyObject* self) {
    PyObject* qualname = as_coroutine(self)->qualname;
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname ? qualname : Py_None, self);
}

PyMethodDef coroutine_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(coroutine_send), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coroutine_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", coroutine_get_name, coroutine_set_name, nullptr, nullptr},
    {"__qualname__", coroutine_get_qualname, coroutine_set_qualname, nullptr, nullptr},
    {"cr_running", coroutine_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coroutine_get_false, nullptr, nullptr, nullptr},
    {"cr_await", coroutine_get_none, nullptr, nullptr, nullptr},
    {"cr_origin", coroutine_get_none, nullptr, nullptr, nullptr},
    {"cr_frame", coroutine_get_frame, nullptr, nullptr, nullptr},
    {"cr_code", coroutine_get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {0, nullptr},
};

// --- the __await__ iterator ----------------------------------------------
//
// What `coroutine.__await__()` returns: an iterator that steps the coroutine,
// so code that drives awaitables by hand (send, throw, close, next) works on
// it while the coroutine itself stays non-iterable.

PyObject* wrapped(PyObject* self) { return reinterpret_cast<CoroutineWrapper*>(self)->coroutine; }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped(self));
    return 0;
}

int wrapper_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<CoroutineWrapper*>(self)->coroutine);
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PySendResult wrapper_am_send(PyObject* self, PyObject* value, PyObject** result) {
    return coroutine_am_send(wrapped(self), value, result);
}
PyObject* wrapper_iternext(PyObject* self) { return coroutine_send(wrapped(self), Py_None); }
PyObject* wrapper_send(PyObject* self, PyObject* value) { return coroutine_send(wrapped(self), value); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coroutine_close(wrapped(self), nullptr); }

PyMethodDef wrapper_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(wrapper_send), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(wrapper_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {Py_am_send, reinterpret_cast<void*>(wrapper_am_send)},
    {0, nullptr},
};

}  // namespace

PyType_Spec coroutine_spec = {
    "strix.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

PyType_Spec coroutine_wrapper_spec = {
    "strix.native_coroutine_wrapper",
    sizeof(CoroutineWrapper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

Ref make_coroutine(FunctionObject* f, const Slots& slots) {
    PyTypeObject* tp = as_type(f->state->coroutine_type);
    Ref made = Ref::steal(tp->tp_alloc(tp, 0));
    CoroutineObject* c = as_coroutine(made.get());
    c->function = Py_NewRef(reinterpret_cast<PyObject*>(f));
    c->name = Py_NewRef(f->name);
    c->qualname = Py_NewRef(f->qualname);
    c->frame = nullptr;
    c->state = State::Created;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kMaxParams); ++i)
        c->args[i] = i < f->nparams ? Py_NewRef(slots[i]) : nullptr;
    return made;
}

}  // namespace rt::detail
