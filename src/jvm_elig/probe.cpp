// Java launcher probing: what a `java` launcher is (major version, banner
// line, vendor), which Java is active for this process, and the two tests
// that turn a candidate directory into an installation record.
#include "jvm_elig.hpp"

#include <cstring>
#include <string>

namespace jvm {
namespace {

// The vendor named by a launcher's lower-cased output. "graalvm" and the
// other distributions only count in OpenJDK output, "ibm" only outside it.
PyObject* vendor_of(const Texts& t, Obj lower) {
    if (rt::contains(lower, t.openjdk)) {
        if (rt::contains(lower, t.temurin) || rt::contains(lower, t.adoptium)) return t.vendor_adoptium;
        if (rt::contains(lower, t.corretto)) return t.vendor_corretto;
        if (rt::contains(lower, t.zulu)) return t.vendor_zulu;
        if (rt::contains(lower, t.graalvm)) return t.GraalVM;
        return t.OpenJDK;
    }
    if (rt::contains(lower, t.marker_java_tm) || rt::contains(lower, t.oracle)) return t.Oracle;
    if (rt::contains(lower, t.ibm)) return t.IBM;
    return t.Unknown;
}

// The line of `output` that holds position `at`, without its surrounding
// white space. A JVM may print notices such as "Picked up
// JAVA_TOOL_OPTIONS: ..." ahead of its banner, so the banner line is found
// where the version pattern matched rather than taken as the first line.
Ref line_at(const Names& n, Obj output, Py_ssize_t at) {
    if (!PyUnicode_Check(output)) rt::raise_result_type("str", output);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(output);
    if (at < 0 || at > len) at = 0;
    Py_ssize_t begin = PyUnicode_FindChar(output, '\n', 0, at, -1);
    if (begin == -2) rt::raise();
    begin = begin < 0 ? 0 : begin + 1;
    Py_ssize_t end = PyUnicode_FindChar(output, '\n', at, len, 1);
    if (end == -2) rt::raise();
    if (end < 0) end = len;
    Ref line = rt::getslice(output, begin, end);
    return rt::call_method(n.strip, {line});
}

// (major, version string, vendor) from the launcher's output, or an empty
// Ref when the output carries no version. The version pattern is the word
// version, a blank, a double quote, digits (captured) and an optional dot;
// old runtimes report "1.x", and then a second pattern takes x as the major
// version.
Ref parse_banner(const Args& a, Obj output) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref re = a.global(n.re);
    Ref match = rt::call_method(n.search, {re, t.re_version, output});
    if (!rt::truthy(match)) return {};
    Ref one = rt::integer(1);
    Ref digits = rt::call_method(n.group, {match, one});
    Ref major = rt::call(reinterpret_cast<PyObject*>(&PyLong_Type), {digits});
    if (rt::truthy(rt::eq(major, one))) {
        Ref old = rt::call_method(n.search, {re, t.re_old_numbering, output});
        if (rt::truthy(old)) {
            Ref minor = rt::call_method(n.group, {old, one});
            major = rt::call(reinterpret_cast<PyObject*>(&PyLong_Type), {minor});
        }
    }
    Ref start = rt::call_method(n.start, {match});
    Py_ssize_t at = PyLong_AsSsize_t(start.get());
    if (at == -1 && PyErr_Occurred()) rt::raise();
    Ref version_string = line_at(n, output, at);
    Ref lower = rt::call_method(n.lower, {output});
    if (!PyUnicode_Check(lower.get())) rt::raise_result_type("str", lower);
    PyObject* vendor = vendor_of(t, lower);
    return rt::tuple({major, version_string, vendor});
}

Ref none_triple() { return rt::tuple({Py_None, Py_None, Py_None}); }

// JavaInstallation(...) for a probed launcher: an empty banner line reads
// "Java <major>", an empty vendor "Unknown".
Ref make_installation(const Args& a, Obj home, Obj version, Obj version_string,
                      Obj vendor, Obj is_current) {
    const State& st = a.state<State>();
    Ref shown = rt::truthy(version_string) ? Ref::borrow(version_string) : rt::fstring("Java ", rt::Str{version});
    PyObject* named = rt::truthy(vendor) ? vendor : st.texts.Unknown;
    Ref cls = a.global(st.names.JavaInstallation);  // per call: a rebound module name is seen
    return rt::call_kw(cls, {home, version, shown, named, is_current}, st.installation_kwnames);
}

// get_java_version(launcher) through the module namespace, unpacked.
std::array<Ref, 3> probe(const Args& a, Obj launcher) {
    const Names& n = a.state<State>().names;
    Ref fn = a.global(n.get_java_version);
    Ref result = rt::call(fn, {launcher});
    return rt::unpack<3>(result);
}

bool path_exists(const Args& a, Obj path) {
    const Names& n = a.state<State>().names;
    Ref r = path_call(a, n.exists, {path});
    return rt::truthy(r);
}

// --- the module's functions ------------------------------------------------

Ref get_java_version(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    PyObject* java_bin_path = a[0];
    return rt::try_except(
        PyExc_Exception,
        [&] {
            Ref argv = rt::new_list(0);
            rt::append(argv, java_bin_path);
            rt::append(argv, t.dash_version);
            Ref result = run_captured(a, argv);
            Ref err = rt::getattr(result, n.stderr_);
            Ref out = rt::getattr(result, n.stdout_);
            // The banner goes to standard error; some launchers use standard output.
            Ref output = rt::add(err, out);
            Ref parsed = parse_banner(a, output);
            return parsed ? std::move(parsed) : none_triple();
        },
        [](PyObject*) { return none_triple(); });
}

Ref check_java_path(const Args& a) {
    PyObject* path = a[0];
    if (!path_exists(a, path)) return Ref::none();
    Ref launcher = launcher_path(a, path);
    if (!path_exists(a, launcher)) return Ref::none();
    auto [version, version_string, vendor] = probe(a, launcher);
    if (!rt::truthy(version)) return Ref::none();
    return make_installation(a, path, version, version_string, vendor, a[1]);
}

Ref is_valid_java_home(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* path = a[0];
    if (PyUnicode_GET_LENGTH(path) == 0) return Ref::boolean(false);
    // System prefixes hold a bin/java link but are no Java home of their own.
    Ref normalized = path_call(a, n.normpath, {path});
    for (const char* system_dir : {"/usr", "/usr/local", "/"}) {
        Ref dir = rt::text(system_dir);
        if (rt::truthy(rt::eq(normalized, dir))) return Ref::boolean(false);
    }
    Ref launcher = launcher_path(a, path);
    return path_call(a, n.isfile, {launcher});
}

Ref get_current_java(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref shutil = rt::import_in_function(a.globals(), "shutil");

    Ref os = a.global(n.os);
    Ref environ = rt::getattr(os, n.environ);
    Ref java_home = rt::mapping_get(environ, n.JAVA_HOME);
    if (rt::truthy(java_home) && path_exists(a, java_home)) {
        Ref launcher = launcher_path(a, java_home);
        if (path_exists(a, launcher)) {
            auto [version, version_string, vendor] = probe(a, launcher);
            if (rt::truthy(version))
                return make_installation(a, java_home, version, version_string, vendor,
                                         Py_True);
        }
    }

    Ref java_path = rt::call_method(n.which, {shutil, t.java});
    if (rt::truthy(java_path)) {
        auto [version, version_string, vendor] = probe(a, java_path);
        if (rt::truthy(version)) {
            // The launcher on the PATH is usually a chain of links
            // (/usr/bin/java -> /etc/alternatives/java -> .../bin/java);
            // the home is two levels above its real location.
            Ref real = path_call(a, n.realpath, {java_path});
            Ref bin_dir = path_call(a, n.dirname, {real});
            Ref home = path_call(a, n.dirname, {bin_dir});
            return make_installation(a, home, version, version_string, vendor, Py_True);
        }
    }
    return Ref::none();
}

const Param java_bin_params[] = {{"java_bin_path", Check::Str, "str"}};
const Param check_path_params[] = {{"path", Check::Str, "str"}, {"is_current", Check::Bool, "bool"}};
const Param home_params[] = {{"path", Check::Str, "str"}};

}  // namespace

const FunctionSpec get_java_version_spec{
    .name = "get_java_version",
    .doc = "Run `java -version` and return (major version, version string, vendor),\n"
           "or (None, None, None) when the launcher cannot be run or reports no version.",
    .params = java_bin_params,
    .returns = "Tuple[Optional[int], Optional[str], Optional[str]]",
    .body = get_java_version};

const FunctionSpec get_current_java_spec{
    .name = "get_current_java",
    .doc = "The active Java of this process (JAVA_HOME, else the PATH), or None.",
    .returns = "Optional[JavaInstallation]",
    .body = get_current_java};

const FunctionSpec check_java_path_spec{
    .name = "_check_java_path",
    .doc = "The installation whose home directory is `path`, or None when it holds\n"
           "no runnable, versioned `bin/java`.",
    .params = check_path_params,
    .returns = "Optional[JavaInstallation]",
    .body = check_java_path};

const FunctionSpec is_valid_java_home_spec{
    .name = "_is_valid_java_home",
    .doc = "Whether `path` is usable as JAVA_HOME: not empty, not a system prefix,\n"
           "and holding a `bin/java` file.",
    .params = home_params,
    .returns = "bool",
    .body = is_valid_java_home};

}  // namespace jvm
