#include "builtins.hpp"

namespace rt {

Ref sorted(Obj iterable, bool reverse) {
    Ref list = Ref::steal(PySequence_List(iterable));
    if (reverse) check(PyList_Reverse(list.get()));
    check(PyList_Sort(list.get()));
    if (reverse) check(PyList_Reverse(list.get()));
    return list;
}

Ref sorted(Obj iterable, Obj key, bool reverse) {
    Ref list = Ref::steal(PySequence_List(iterable));
    Ref sort = Ref::steal(PyObject_GetAttrString(list.get(), "sort"));
    Ref kwargs = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(kwargs.get(), "key", key));
    check(PyDict_SetItemString(kwargs.get(), "reverse", reverse ? Py_True : Py_False));
    Ref noargs = Ref::steal(PyTuple_New(0));
    Ref done = Ref::steal(PyObject_Call(sort.get(), noargs.get(), kwargs.get()));
    return list;
}

Ref compile(const char* source, Obj filename) {
    return Ref::steal(Py_CompileStringObject(source, filename, Py_file_input, nullptr, -1));
}

void exec(Obj code, Obj ns) { Ref done = Ref::steal(PyEval_EvalCode(code, ns, ns)); }

}  // namespace rt
