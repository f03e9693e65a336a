// The coroutine objects that native coroutine functions return.
#include "native.hpp"

namespace rt::detail {
namespace {

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
    Slots values{};
    for (size_t i = 0; i < kMaxParams; ++i) {
        args[i] = Ref::steal_or_null(c->args[i]);
        c->args[i] = nullptr;
        values[i] = args[i].get();
    }
    RT_GUARD(nullptr, {
        CallGuard guard(" while running a native coroutine");
        FunctionObject* f = as_function(function.get());
        Args a(values.data(), static_cast<size_t>(c->nargs), function.get());
        try {
            return f->decl->body(a).release();
        } catch (const PyError&) {
            add_traceback_entry(f);
            throw;
        }
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

}  // namespace

PyType_Spec coroutine_spec = {
    "strix.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

PyObject* make_coroutine(FunctionObject* f, const Slots& slots) {
    CoroutineObject* c = reinterpret_cast<CoroutineObject*>(g_coroutine_type->tp_alloc(g_coroutine_type, 0));
    if (c == nullptr) raise();
    c->function = Py_NewRef(reinterpret_cast<PyObject*>(f));
    c->nargs = f->nparams;
    c->finished = false;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kMaxParams); ++i)
        c->args[i] = i < f->nparams ? Py_NewRef(slots[i]) : nullptr;
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace rt::detail
