// Module state: every Python object a module keeps lives in its state, a
// struct deriving from rt::ModuleState that the interpreter allocates per
// module object, as the standard library's own modules keep theirs:
//
//   #define MY_NAMES(X) X(manifest, "manifest") X(unique_id, "unique_id")
//   #define MY_TEXTS(X) X(seed_reason, "Seed node - no source analysis needed")
//   #define MY_FIELDS(X) X(rt::Ref, result_kwnames) X(rt::KnownClass, result_class)
//   struct State : rt::ModuleState {
//       RT_NAMES(MY_NAMES) names;  // names.manifest: an interned str
//       RT_TEXTS(MY_TEXTS) texts;  // texts.seed_reason: a str constant
//       RT_FIELDS(MY_FIELDS)       // anything else the module keeps
//   };
//
// Names are what the module's code looks up (attributes, globals, keywords,
// dict keys); texts are the fixed str values it returns or compares with.
// Every field owns its reference, and the lists that declare the fields are
// the lists the runtime traverses, clears and destroys them by, so a field
// cannot be left out of one of them. Native functions reach the state
// through Args::state<State>().
#pragma once

#include "ref.hpp"

#include <new>

namespace rt {

// An owning reference that reads as the borrowed pointer, for the str
// constants of a module state that the code passes to the C API everywhere.
class Interned : public Ref {
public:
    Interned() noexcept = default;
    Interned& operator=(Ref&& other) noexcept {
        Ref::operator=(std::move(other));
        return *this;
    }
    operator PyObject*() const noexcept { return get(); }
};

// The owned references of a state field, for each_ref below; a field type
// that holds several (or a Ref inside) adds an overload next to its own
// definition.
template <class F>
void each_ref(Ref& field, F&& f) {
    f(field);
}

}  // namespace rt

#define RT_STRING_FIELD(id, text) ::rt::Interned id;
#define RT_STRING_EACH(id, text) f(id, text);
#define RT_STRINGS(Type, LIST)                                            \
    struct Type {                                                         \
        LIST(RT_STRING_FIELD)                                             \
        template <class F>                                                \
        void each(F&& f) { LIST(RT_STRING_EACH) }                         \
    }
// The interned names of a state: `RT_NAMES(LIST) names;`
#define RT_NAMES(LIST) RT_STRINGS(Names, LIST)
// The str constants of a state: `RT_TEXTS(LIST) texts;`
#define RT_TEXTS(LIST) RT_STRINGS(Texts, LIST)

#define RT_FIELD_DECL(type, id) type id;
#define RT_FIELD_EACH(type, id) each_ref(id, f);
// Declares the listed fields (type, name) and each_field() over them.
#define RT_FIELDS(LIST)                                                   \
    LIST(RT_FIELD_DECL)                                                   \
    template <class F>                                                    \
    void each_field(F&& f) {                                              \
        using ::rt::each_ref;                                             \
        LIST(RT_FIELD_EACH)                                               \
    }

namespace rt {

// The part of every module's state that the runtime itself keeps: the
// module's own function and coroutine types and the compiled from-import
// statements (made by init_state in function.cpp).
#define RT_RUNTIME_FIELDS(X)                                              \
    X(Ref, function_type)                                                 \
    X(Ref, coroutine_type)                                                \
    X(Ref, coroutine_wrapper_type) /* what a coroutine's __await__ returns */ \
    X(Ref, from_imports)           /* dict: statement text -> code object */

struct ModuleState {
    RT_RUNTIME_FIELDS(RT_FIELD_DECL)

    template <class F>
    void each_runtime_field(F&& f) {
        RT_RUNTIME_FIELDS(RT_FIELD_EACH)
    }
};

// A type kept in a Ref, as the type object it is.
inline PyTypeObject* as_type(const Ref& type) noexcept { return reinterpret_cast<PyTypeObject*>(type.get()); }

// The state of `module`, as its own type.
template <class State>
State& module_state(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

namespace detail {

// Every owned reference of the state: the runtime's, the names, the texts
// and the module's own fields.
template <class State, class F>
void each_state_ref(State& st, F&& f) {
    st.ModuleState::each_runtime_field(f);
    auto each_string = [&](Ref& o, const char*) { f(o); };
    if constexpr (requires { st.names; }) st.names.each(each_string);
    if constexpr (requires { st.texts; }) st.texts.each(each_string);
    if constexpr (requires { st.each_field(f); }) st.each_field(f);
}

template <class State>
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    int r = 0;
    each_state_ref(*st, [&](Ref& o) {
        if (r == 0 && o) r = visit(o.get(), arg);
    });
    return r;
}

template <class State>
int module_clear(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    each_state_ref(*st, [](Ref& o) { o.reset(); });
    return 0;
}

// Destroys the state. The interpreter zero-fills the state's memory before
// the exec step constructs it; a zero-filled State is a default-constructed
// one (null references), so this also holds for a module whose exec step
// never ran.
template <class State>
void module_free(void* module) {
    State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (st != nullptr) st->~State();
}

// Constructs the state and interns its names and texts.
template <class State>
State& construct_state(PyObject* module) {
    State* st = new (PyModule_GetState(module)) State();
    auto intern = [](Ref& o, const char* text) { o = Ref::steal(PyUnicode_InternFromString(text)); };
    if constexpr (requires { st->names; }) st->names.each(intern);
    if constexpr (requires { st->texts; }) st->texts.each(intern);
    return *st;
}

}  // namespace detail
}  // namespace rt
