// Out-of-line parts of the statement helpers in ops.hpp.
#include "ops.hpp"

#include <ctime>
#include <map>
#include <string>
#include <utility>

namespace rt {

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

}  // namespace rt
