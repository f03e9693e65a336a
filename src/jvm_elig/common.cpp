// The helpers that the parts of strix.compute.jvm_elig share (declared in
// jvm_elig.hpp).
#include "jvm_elig.hpp"

namespace jvm {

Ref os_path(const Args& a) {
    const Names& n = a.state<State>().names;
    Ref os = a.global(n.os);
    return rt::attr(os.get(), n.path);
}

Ref path_call(const Args& a, PyObject* fn, PyObject* arg) {
    Ref path = os_path(a);
    return rt::call_method(fn, {path.get(), arg});
}

Ref launcher_path(const Args& a, PyObject* home) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref path = os_path(a);
    Ref launcher = rt::call_method(n.join, {path.get(), home, t.bin, t.java});
    Ref platform = a.global(n.platform);
    Ref system = rt::call_method(n.system, {platform.get()});
    if (rt::equal(system.get(), t.Windows)) launcher = rt::add(launcher.get(), t.exe);
    return launcher;
}

Ref run_captured(const Args& a, PyObject* argv) {
    const Names& n = a.state<State>().names;
    Ref subprocess = a.global(n.subprocess);
    Ref run = rt::attr(subprocess.get(), n.run);
    Ref limit = rt::integer(kProcessTimeLimit);
    return rt::call_kw(run.get(), {argv, Py_True, Py_True, limit.get()}, a.state<State>().run_kwnames.get());
}

}  // namespace jvm
