// Classes and dataclass records built the way Python builds them: a
// namespace dict passed to type(name, bases, ns), then, for records,
// the module's `dataclass` decorator.
#pragma once

#include "function.hpp"

#include <string>
#include <utility>
#include <vector>

namespace rt {

class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, const char* doc);

    // A field annotated with `annotation`; `default_value` (borrowed) is its
    // class-level default, or nullptr for none.
    ClassBuilder& field(const char* name, const char* annotation, PyObject* default_value = nullptr);
    // A method; decl.qualname should read "Class.method".
    ClassBuilder& method(const FunctionSpec& decl, std::vector<Ref> defaults = {});
    // A read-only property whose getter is `decl` (one parameter, self).
    ClassBuilder& property(const FunctionSpec& decl);
    ClassBuilder& attr(const char* name, PyObject* value);

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

}  // namespace rt
