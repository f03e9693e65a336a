#include "classes.hpp"

namespace rt {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), ns_(new_dict()), annotations_(new_dict()) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    setitem(ns_.get(), "__module__", module_name.get());
    setitem(ns_.get(), "__qualname__", text(name).get());
    if (doc) setitem(ns_.get(), "__doc__", text(doc).get());
    setitem(ns_.get(), "__annotations__", annotations_.get());
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation, PyObject* default_value) {
    setitem(annotations_.get(), name, text(annotation).get());
    if (default_value) setitem(ns_.get(), name, default_value);
    return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& decl, std::vector<Ref> defaults) {
    Ref fn = make_function(module_, decl, std::move(defaults));
    setitem(ns_.get(), decl.name, fn.get());
    return *this;
}

ClassBuilder& ClassBuilder::property(const FunctionSpec& decl) {
    Ref fn = make_function(module_, decl);
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), {fn.get()});
    setitem(ns_.get(), decl.name, prop.get());
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, PyObject* value) {
    setitem(ns_.get(), name, value);
    return *this;
}

Ref ClassBuilder::build() {
    Ref name = text(name_);
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns_.get()});
}

Ref ClassBuilder::build_dataclass() {
    Ref cls = build();
    Ref dataclass = lookup_global(PyModule_GetDict(module_), text("dataclass").get());
    return call(dataclass.get(), {cls.get()});
}

// --- KnownClass ------------------------------------------------------------

void KnownClass::remember(PyObject* obj) {
    cls.reset();
    version = 0;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(obj);
    if (!PyType_Check(obj) || !PyUnstable_Type_AssignVersionTag(tp)) return;
    version = type_version(tp);
    cls = Ref::borrow(obj);
}

Ref own_function(PyObject* cls, PyObject* name) {
    Ref f = attr(cls, name);
    return is_native_function(f.get()) ? std::move(f) : Ref();
}

}  // namespace rt
