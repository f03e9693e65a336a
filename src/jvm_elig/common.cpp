// The helpers that the parts of strix.compute.jvm_elig share (declared in
// jvm_elig.hpp).
#include "jvm_elig.hpp"

namespace jvm {

Ref os_path(const Args& a) {
    const Names& n = a.state<State>().names;
    Ref os = a.global(n.os);
    return rt::getattr(os, n.path);
}

Ref path_call(const Args& a, Obj fn, Obj arg) {
    Ref path = os_path(a);
    return rt::call_method(fn, {path, arg});
}

Ref launcher_path(const Args& a, Obj home) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref path = os_path(a);
    Ref launcher = rt::call_method(n.join, {path, home, t.bin, t.java});
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
