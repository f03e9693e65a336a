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

Ref tuple(std::initializer_list<Obj> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Obj item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

Ref list(std::initializer_list<Obj> items) {
    Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Obj item : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(item));
    return l;
}

std::string type_name(Obj obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    return std::string(utf8(name));
}

[[noreturn]] void raise_result_type(const char* expected, Obj got) {
    std::string got_name = type_name(got);
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", expected, got_name.c_str());
}

Ref import_in_function(PyObject* globals, const char* dotted) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(dotted, globals, nullptr, nullptr, 0));
    for (const char* dot = std::strchr(dotted, '.'); dot != nullptr;) {
        const char* next = std::strchr(dot + 1, '.');
        Ref part = next ? text(std::string_view(dot + 1, static_cast<size_t>(next - dot - 1))) : text(dot + 1);
        module = getattr(module, part);
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
    Ref code = dict_get(state.from_imports, source);
    if (!code) {
        code = compile(utf8(source).data(), text("<native import>"));
        setitem(state.from_imports, source, code);
    }
    Ref ns = new_dict();
    exec(code, ns);
    return getitem(ns, text("value"));
}

}  // namespace rt
