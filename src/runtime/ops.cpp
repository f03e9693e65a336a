// Out-of-line parts of the statement helpers in ops.hpp.
#include "builtins.hpp"
#include "fstring.hpp"
#include "module_state.hpp"
#include "ops.hpp"

#include <cstring>
#include <ctime>
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

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

void SignalCheck::poll() {
    constexpr long long kIntervalMs = 50;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const long long now_ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (last_ms_ < 0) last_ms_ = now_ms;  // the loop's first 1024 steps start the clock
    if (now_ms - last_ms_ < kIntervalMs) return;
    last_ms_ = now_ms;
    if (PyErr_CheckSignals() < 0) raise();
}

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
