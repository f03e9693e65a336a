// Multi-phase module definition shared by the three modules.
#pragma once

#include "classes.hpp"

#include <new>

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
    Ref v = import_from(*static_cast<ModuleState*>(PyModule_GetState(module)), from, name);
    add(module, name, v.get());
    return v;
}

}  // namespace rt

// --- module state ----------------------------------------------------------
//
// Every Python object a module keeps lives in its state, a struct deriving
// from rt::ModuleState that the interpreter allocates per module object:
//
//   #define MY_NAMES(X) X(manifest, "manifest") X(seed_reason, "Seed node - ...")
//   struct State : rt::ModuleState {
//       RT_NAMES(MY_NAMES) names;        // names.manifest: an interned str
//       PyObject* result_class = nullptr;  // anything else the module keeps
//       template <class F> void each_object(F&& f) { f(result_class); }
//   };
//
// The runtime interns the names before the module's exec function runs,
// and traverses and clears the names, each_object() and its own part.
// Native functions reach the state through Args::state<State>().

#define RT_NAME_FIELD(id, text) PyObject* id = nullptr;
#define RT_NAME_EACH(id, text) f(id, text);
#define RT_NAMES(LIST)                                                    \
    struct Names {                                                        \
        LIST(RT_NAME_FIELD)                                               \
        template <class F>                                                \
        void each(F&& f) { LIST(RT_NAME_EACH) }                           \
    }

namespace rt::detail {

template <class State>
State* state_of(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

template <class State>
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of<State>(module);
    if (st == nullptr) return 0;
    if (int r = st->ModuleState::traverse(visit, arg)) return r;
    int r = 0;
    st->each_object([&](PyObject*& o) {
        if (r == 0 && o != nullptr) r = visit(o, arg);
    });
    return r;
}

template <class State>
int module_clear(PyObject* module) {
    State* st = state_of<State>(module);
    if (st == nullptr) return 0;
    st->ModuleState::clear();
    st->each_object([](PyObject*& o) { Py_CLEAR(o); });
    st->names.each([](PyObject*& o, const char*) { Py_CLEAR(o); });
    return 0;
}

template <class State>
void module_free(void* module) {
    module_clear<State>(static_cast<PyObject*>(module));
}

template <class State>
State& start_state(PyObject* module) {
    State* st = new (PyModule_GetState(module)) State();
    init_state(module, *st);
    st->names.each([](PyObject*& o, const char* text) {
        o = PyUnicode_InternFromString(text);
        if (o == nullptr) raise();
    });
    return *st;
}

}  // namespace rt::detail

// Defines PyInit_<name> for a module with state type `State` whose exec step
// is `exec_fn(PyObject* module, State& state)` (a C++ function that throws
// rt::PyError on failure). The module keeps no Python object outside its
// state, so it may be loaded in any interpreter, each with its own GIL.
#define RT_MODULE(init_name, module_name, module_doc, State, exec_fn)                              \
    namespace {                                                                                   \
    int rt_module_exec(PyObject* m) {                                                             \
        RT_GUARD(-1, {                                                                            \
            ::rt::detail::refresh_switch_interval();                                              \
            exec_fn(m, ::rt::detail::start_state<State>(m));                                      \
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
