// Definitions of the helpers that common.hpp declares.
#include "common.hpp"

namespace jvm {

Ref os_path(const Args& a) {
    const Names& n = names(a);
    Ref os = a.global(n.os);
    return rt::attr(os.get(), n.path);
}

Ref path_call(const Args& a, PyObject* fn, PyObject* arg) {
    Ref path = os_path(a);
    return rt::call_method(fn, {path.get(), arg});
}

Ref launcher_path(const Args& a, PyObject* home) {
    const Names& n = names(a);
    Ref path = os_path(a);
    Ref launcher = rt::call_method(n.join, {path.get(), home, n.bin, n.java});
    Ref platform = a.global(n.platform);
    Ref system = rt::call_method(n.system, {platform.get()});
    if (rt::equal(system.get(), n.Windows)) launcher = Ref::steal(PyNumber_Add(launcher.get(), n.exe));
    return launcher;
}

Ref run_captured(const Args& a, PyObject* argv) {
    const Names& n = names(a);
    Ref subprocess = a.global(n.subprocess);
    Ref run = rt::attr(subprocess.get(), n.run);
    Ref limit = rt::integer(kProcessTimeLimit);
    return rt::call_kw(run.get(), {argv, Py_True, Py_True, limit.get()}, state(a).run_kwnames);
}

}  // namespace jvm
