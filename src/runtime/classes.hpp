// Classes and dataclass records built the way Python builds them: a
// namespace dict passed to type(name, bases, ns), then, for records,
// the module's `dataclass` decorator.
#pragma once

#include "function.hpp"
#include "module_state.hpp"

#include <string>
#include <utility>
#include <vector>

namespace rt {

class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, const char* doc);

    // A field annotated with `annotation`; `default_value` (borrowed) is its
    // class-level default, or nullptr for none.
    ClassBuilder& field(const char* name, const char* annotation, Obj default_value = nullptr);
    // A method; decl.qualname should read "Class.method".
    ClassBuilder& method(const FunctionSpec& decl, std::vector<Ref> defaults = {});
    // A read-only property whose getter is `decl` (one parameter, self).
    ClassBuilder& property(const FunctionSpec& decl);
    ClassBuilder& attr(const char* name, Obj value);

    // type(name, (object,), namespace)
    Ref build();
    // The module's `dataclass` applied to build(); the decorator is looked
    // up in the module namespace.
    Ref build_dataclass();

private:
    PyObject* module_;
    std::string name_;
    Ref ns_;
    Ref annotations_;
};

// --- classes as the module made them ---------------------------------------

// The type's version tag, 0 while it has none. The one read of the
// unstable tp_version_tag field: CPython offers no getter (type watchers,
// PyType_AddWatcher, would replace it at the cost of a callback per change).
inline unsigned int type_version(PyTypeObject* tp) { return tp->tp_version_tag; }

// A class the module made, remembered with its type version: while a class
// object is this one and unchanged since (no attribute of it or of a base
// set or deleted), what the module knows about it still holds, so a lookup
// or an __init__ call can be skipped. `cls` is owned by the module state.
struct KnownClass {
    Ref cls;
    unsigned int version = 0;

    // Remembers `cls` as it is now; nothing is remembered when the
    // interpreter cannot give it a version.
    void remember(Obj cls);
    // Whether `obj` is the remembered class, unchanged.
    bool is(Obj obj) const {
        return obj == cls.get() && version != 0 &&
               type_version(reinterpret_cast<PyTypeObject*>(static_cast<PyObject*>(obj))) == version;
    }
    // Whether `self.<name>` finds the remembered class' own attribute: self
    // is an exact instance of the unchanged class and its __dict__ does not
    // hold `name`.
    bool finds_own(Obj self, Obj name) const {
        if (!is(reinterpret_cast<PyObject*>(Py_TYPE(self)))) return false;
        Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        const int r = PyDict_Contains(dict.get(), name);
        if (r < 0) raise();
        return r == 0;
    }
};

// A KnownClass field of a module state owns its class (see RT_FIELDS).
template <class F>
void each_ref(KnownClass& known, F&& f) {
    f(known.cls);
}

// self.<name>(*args) from the body whose arguments are `caller`,
// `self_and_args` holding one value per parameter. When
// `known.finds_own(self, name)`, the module's own function `own` (taken from
// the class as made, or nullptr) runs directly (call_inner, with `body` in
// place of its own when given), so a subclass, a patched class or an
// instance attribute still replaces it.
inline Ref call_own_method(const Args& caller, const KnownClass& known, Obj own, Obj name,
                           std::initializer_list<Obj> self_and_args, InnerBody body = {}) {
    if (own != nullptr && known.finds_own(*self_and_args.begin(), name))
        return call_inner(caller, own, self_and_args, body);
    return Ref::steal(
        PyObject_VectorcallMethod(name, detail::as_vector(self_and_args), self_and_args.size(), nullptr));
}

// The module's function `cls.<name>` as made, or an empty Ref when it is
// not a native function (for call_own_method).
Ref own_function(Obj cls, Obj name);

}  // namespace rt
