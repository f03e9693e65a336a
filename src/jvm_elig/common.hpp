// Helpers shared by the probing, discovery and PySpark parts of
// strix.compute.jvm_elig: interned names and the few Python statements
// (tuple unpacking, `import a.b`, the launcher path) that several parts use.
#pragma once

#include "jvm_elig.hpp"

#include <array>
#include <cstddef>

namespace jvm {

// --- interned names --------------------------------------------------------

// module globals (looked up at each call so rebinding is seen)
inline const rt::Name g_os("os");
inline const rt::Name g_platform("platform");
inline const rt::Name g_subprocess("subprocess");
inline const rt::Name g_glob("glob");
inline const rt::Name g_re("re");
inline const rt::Name g_java_installation("JavaInstallation");
inline const rt::Name g_pyspark_info("PySparkInfo");
inline const rt::Name g_eligibility("PYSPARK_JVM_ELIGIBILITY");
inline const rt::Name g_get_java_version("get_java_version");
inline const rt::Name g_get_current_java("get_current_java");
inline const rt::Name g_check_java_path("_check_java_path");
inline const rt::Name g_is_valid_java_home("_is_valid_java_home");
inline const rt::Name g_find_java_macos("_find_java_macos");
inline const rt::Name g_find_java_linux("_find_java_linux");
inline const rt::Name g_find_java_windows("_find_java_windows");
inline const rt::Name g_get_pyspark_info("get_pyspark_info");
inline const rt::Name g_check_compatibility("check_java_pyspark_compatibility");

// attributes
inline const rt::Name n_path("path");
inline const rt::Name n_join("join");
inline const rt::Name n_exists("exists");
inline const rt::Name n_isfile("isfile");
inline const rt::Name n_normpath("normpath");
inline const rt::Name n_realpath("realpath");
inline const rt::Name n_dirname("dirname");
inline const rt::Name n_expanduser("expanduser");
inline const rt::Name n_environ("environ");
inline const rt::Name n_get("get");
inline const rt::Name n_system("system");
inline const rt::Name n_run("run");
inline const rt::Name n_search("search");
inline const rt::Name n_group("group");
inline const rt::Name n_start("start");
inline const rt::Name n_stdout("stdout");
inline const rt::Name n_stderr("stderr");
inline const rt::Name n_lower("lower");
inline const rt::Name n_split("split");
inline const rt::Name n_strip("strip");
inline const rt::Name n_items("items");
inline const rt::Name n_version("version");
inline const rt::Name n_version_string("version_string");
inline const rt::Name n_vendor("vendor");
inline const rt::Name n_is_current("is_current");
inline const rt::Name n_major_minor("major_minor");
inline const rt::Name n_java_min("java_min");
inline const rt::Name n_java_max("java_max");
inline const rt::Name n_java_recommended("java_recommended");
inline const rt::Name n_java_supported("java_supported");
inline const rt::Name n_capture_output("capture_output");
inline const rt::Name n_text("text");
inline const rt::Name n_timeout("timeout");

// keys of a compatibility row
inline const rt::Name k_min("min");
inline const rt::Name k_max("max");
inline const rt::Name k_recommended("recommended");
inline const rt::Name k_supported("supported");

// fixed strings
inline const rt::Name s_windows("Windows");
inline const rt::Name s_newline("\n");

// --- Python statements -----------------------------------------------------

// `a, b, ... = obj` for exactly N values, with the interpreter's messages.
template <size_t N>
std::array<rt::Ref, N> unpack(PyObject* obj) {
    std::array<rt::Ref, N> out;
    const Py_ssize_t want = static_cast<Py_ssize_t>(N);
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n < want)
            rt::raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", want, n);
        if (n > want) rt::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", want);
        for (Py_ssize_t i = 0; i < want; ++i) out[i] = rt::Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
        return out;
    }
    PyObject* raw = PyObject_GetIter(obj);
    if (raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj)) {
            PyErr_Clear();
            rt::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        rt::raise();
    }
    rt::Ref it = rt::Ref::steal(raw);
    for (Py_ssize_t i = 0; i < want; ++i) {
        out[i] = rt::next(it.get());
        if (!out[i]) rt::raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", want, i);
    }
    if (rt::next(it.get())) rt::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", want);
    return out;
}

// `import <dotted>` inside a function, then the module it names: the import
// runs at each call (a missing module fails only that call) and the result is
// reached through the top package's attributes, as the statement does.
rt::Ref import_at_call(const rt::Args& a, const char* dotted);

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
