// Multi-phase module definition shared by the three modules.
#pragma once

#include "classes.hpp"
#include "module_state.hpp"

namespace rt {

// Binds `value` as module attribute `name` (a global of the module's code).
inline void set_global(PyObject* module, const char* name, Obj value) {
    check(PyModule_AddObjectRef(module, name, value));
}

// `import name` bound as module attribute `as` (defaults to the name).
inline Ref add_import(PyObject* module, const char* name, const char* as = nullptr) {
    Ref m = import(name);
    set_global(module, as ? as : name, m);
    return m;
}

// `from module import name` bound under the same name.
inline Ref add_import_from(PyObject* module, const char* from, const char* name) {
    Ref v = import_from(module_state<ModuleState>(module), from, name);
    set_global(module, name, v);
    return v;
}

}  // namespace rt

// Defines PyInit_<name> for a module with state type `State` whose exec step
// is `exec_fn(PyObject* module, State& state)` (a C++ function that throws
// rt::PyError on failure). The module keeps no Python object outside its
// state, so it may be loaded in any interpreter, each with its own GIL.
#define RT_MODULE(init_name, module_name, module_doc, State, exec_fn)                              \
    namespace {                                                                                   \
    int rt_module_exec(PyObject* m) {                                                             \
        RT_GUARD(-1, {                                                                            \
            State& state = ::rt::detail::construct_state<State>(m);                               \
            ::rt::init_state(m, state);                                                           \
            exec_fn(m, state);                                                                    \
            return 0;                                                                             \
        })                                                                                        \
    }                                                                                             \
    PyModuleDef_Slot rt_module_slots[] = {                                                        \
        {Py_mod_exec, reinterpret_cast<void*>(rt_module_exec)},                                   \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                     \
        {0, nullptr},                                                                             \
    };                                                                                            \
    PyModuleDef rt_module_def = {                                                                 \
        PyModuleDef_HEAD_INIT, module_name, module_doc, sizeof(State), nullptr, rt_module_slots,  \
        ::rt::detail::module_traverse<State>, ::rt::detail::module_clear<State>,                  \
        ::rt::detail::module_free<State>,                                                         \
    };                                                                                            \
    }                                                                                             \
    PyMODINIT_FUNC init_name(void) { return PyModuleDef_Init(&rt_module_def); }
