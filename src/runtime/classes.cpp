#include "classes.hpp"

namespace rt {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), ns_(new_dict()), annotations_(new_dict()) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    setitem(ns_, "__module__", module_name);
    setitem(ns_, "__qualname__", text(name));
    if (doc) setitem(ns_, "__doc__", text(doc));
    setitem(ns_, "__annotations__", annotations_);
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation, Obj default_value) {
    setitem(annotations_, name, text(annotation));
    if (default_value) setitem(ns_, name, default_value);
    return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& decl, std::vector<Ref> defaults) {
    Ref fn = make_function(module_, decl, std::move(defaults));
    setitem(ns_, decl.name, fn);
    return *this;
}

ClassBuilder& ClassBuilder::property(const FunctionSpec& decl) {
    Ref fn = make_function(module_, decl);
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), {fn});
    setitem(ns_, decl.name, prop);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, Obj value) {
    setitem(ns_, name, value);
    return *this;
}

Ref ClassBuilder::build() {
    Ref name = text(name_);
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases, ns_});
}

Ref ClassBuilder::build_dataclass() {
    Ref cls = build();
    Ref dataclass = lookup_global(PyModule_GetDict(module_), text("dataclass").get());
    return call(dataclass, {cls});
}

// --- KnownClass ------------------------------------------------------------

void KnownClass::remember(Obj obj) {
    cls.reset();
    version = 0;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(static_cast<PyObject*>(obj));
    if (!PyType_Check(obj) || !PyUnstable_Type_AssignVersionTag(tp)) return;
    version = type_version(tp);
    cls = Ref::borrow(obj);
}

Ref own_function(Obj cls, Obj name) {
    Ref f = getattr(cls, name);
    return is_native_function(f.get()) ? std::move(f) : Ref();
}

}  // namespace rt
