// The helpers that the parts of strix.compute.jvm_elig share (declared in
// jvm_elig.hpp).
#include "jvm_elig.hpp"

#include <algorithm>

namespace jvm {

Ref path_call(const Args& a, Obj fn, std::initializer_list<Obj> args) {
    const Names& n = a.state<State>().names;
    Ref os = a.global(n.os);
    Ref path = rt::getattr(os, n.path);
    // path.<fn>(*args): the module first, then the arguments
    PyObject* vector[kMaxPathArgs + 1] = {path.get()};
    if (args.size() > kMaxPathArgs) rt::raise(PyExc_SystemError, "too many arguments for os.path");
    std::copy(args.begin(), args.end(), vector + 1);
    return Ref::steal(PyObject_VectorcallMethod(fn, vector, args.size() + 1, nullptr));
}

Ref launcher_path(const Args& a, Obj home) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref launcher = path_call(a, n.join, {home, t.bin, t.java});
    Ref platform = a.global(n.platform);
    Ref system = rt::call_method(n.system, {platform});
    if (rt::truthy(rt::eq(system, t.Windows))) launcher = rt::add(launcher, t.exe);
    return launcher;
}

Ref run_captured(const Args& a, Obj argv) {
    const Names& n = a.state<State>().names;
    Ref subprocess = a.global(n.subprocess);
    Ref run = rt::getattr(subprocess, n.run);
    Ref limit = rt::integer(kProcessTimeLimit);
    return rt::call_kw(run, {argv, Py_True, Py_True, limit}, a.state<State>().run_kwnames);
}

}  // namespace jvm
