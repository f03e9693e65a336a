// Multi-phase module definition shared by the three modules.
#pragma once

#include "classes.hpp"

namespace rt {

// Binds `value` as module attribute `name`.
inline void add(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) raise();
}

// `import name` bound as module attribute `as` (defaults to the name).
inline Ref add_import(PyObject* module, const char* name, const char* as = nullptr) {
    Ref m = import(name);
    add(module, as ? as : name, m.get());
    return m;
}

// `from module import name` bound under the same name.
inline Ref add_import_from(PyObject* module, const char* from, const char* name) {
    Ref v = import_from(from, name);
    add(module, name, v.get());
    return v;
}

}  // namespace rt

// Defines PyInit_<name> for a module whose exec step is `exec_fn(PyObject*)`
// (a C++ function that throws rt::PyError on failure).
#define RT_MODULE(init_name, module_name, module_doc, exec_fn)                      \
    namespace {                                                                    \
    int rt_module_exec(PyObject* m) { RT_GUARD(-1, { ::rt::init_runtime(); exec_fn(m); return 0; }) } \
    PyModuleDef_Slot rt_module_slots[] = {                                         \
        {Py_mod_exec, reinterpret_cast<void*>(rt_module_exec)},                     \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
        {0, nullptr},                                                              \
    };                                                                             \
    PyModuleDef rt_module_def = {                                                  \
        PyModuleDef_HEAD_INIT, module_name, module_doc, 0, nullptr, rt_module_slots, \
        nullptr, nullptr, nullptr,                                                 \
    };                                                                             \
    }                                                                              \
    PyMODINIT_FUNC init_name(void) { return PyModuleDef_Init(&rt_module_def); }
