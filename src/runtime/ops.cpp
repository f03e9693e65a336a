// Out-of-line parts of ops.hpp and statements.hpp.
#include "builtins.hpp"
#include "fstring.hpp"
#include "module_state.hpp"
#include "ops.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace rt {

// Callers have let a foreign exception (a forced unwind) pass already
// (rethrow_if_thread_exit), so the catch-all below only sees C++ exceptions
// of other types.
void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void chain_context(PyObject* earlier) noexcept {
    PyObject* current = PyErr_GetRaisedException();
    if (current != earlier) {
        PyObject* context = PyException_GetContext(current);
        if (context == nullptr) PyException_SetContext(current, Py_NewRef(earlier));
        Py_XDECREF(context);
    }
    PyErr_SetRaisedException(current);
}

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

// A foreign exception is rethrown as it is. The forced unwind of a thread
// ending at exit never gets here: it passes through this module's frames
// without entering its handlers (unwind.cpp).
[[noreturn]] void rethrow_foreign() { throw; }

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    return std::string(utf8(name.get()));
}

[[noreturn]] void raise_result_type(const char* expected, PyObject* got) {
    std::string got_name = type_name(got);
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", expected, got_name.c_str());
}

Ref import_in_function(PyObject* globals, const char* dotted) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(dotted, globals, nullptr, nullptr, 0));
    for (const char* dot = std::strchr(dotted, '.'); dot != nullptr;) {
        const char* next = std::strchr(dot + 1, '.');
        Ref part = next ? text(std::string_view(dot + 1, static_cast<size_t>(next - dot - 1))) : text(dot + 1);
        module = attr(module.get(), part.get());
        dot = next;
    }
    return module;
}

Ref import_from(ModuleState& state, const char* module, const char* name) {
    // The statement itself, compiled once per (module, name) and kept in the
    // module's state: the import, the submodule fallback and the ImportError
    // (its text, `name`, `path`, `name_from`) are then exactly the
    // interpreter's.
    Ref source = fstring("from ", module, " import ", name, " as value\n");
    Ref code = dict_get(state.from_imports.get(), source.get());
    if (!code) {
        code = compile(utf8(source.get()).data(), text("<native import>").get());
        setitem(state.from_imports.get(), source.get(), code.get());
    }
    Ref ns = new_dict();
    exec(code.get(), ns.get());
    return getitem(ns.get(), text("value").get());
}

}  // namespace rt
