// Helpers shared by the parts of strix.compute.jvm_elig: the outcome pair,
// the launcher path, running a process and os.path calls.
#pragma once

#include "jvm_elig.hpp"

namespace jvm {

// --- Python statements -----------------------------------------------------

// The outcome pair (success, message).
inline rt::Ref outcome(bool ok, PyObject* message) { return rt::tuple({ok ? Py_True : Py_False, message}); }

// The `java` launcher inside a home directory: os.path.join(home, "bin",
// "java"), with ".exe" appended when platform.system() says "Windows".
rt::Ref launcher_path(const rt::Args& a, PyObject* home);

// Every process the module starts runs under this time limit (seconds).
constexpr long long kProcessTimeLimit = 10;

// subprocess.run(argv, capture_output=True, text=True, timeout=10)
rt::Ref run_captured(const rt::Args& a, PyObject* argv);

// os.path (the `os` module global's `path`), looked up at each call.
rt::Ref os_path(const rt::Args& a);

// os.path.<fn>(arg)
rt::Ref path_call(const rt::Args& a, PyObject* fn, PyObject* arg);

}  // namespace jvm
