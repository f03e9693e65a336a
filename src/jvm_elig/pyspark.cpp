// PySpark detection and compatibility: the installed PySpark release line,
// the Java versions it accepts, and the user-facing verdict on the active
// Java.
#include "jvm_elig.hpp"

#include <optional>
#include <utility>

namespace jvm {
namespace {

const char* const kNotInstalled = "PySpark is not installed. Install it with: pip install pyspark";
const char* const kSetHint = " Run 'marl java set' to select a compatible Java version.";

// PYSPARK_JVM_ELIGIBILITY.get(key), through the module namespace.
Ref eligibility_row(const Args& a, Obj key) {
    Ref table = a.global(a.state<State>().names.PYSPARK_JVM_ELIGIBILITY);
    return rt::mapping_get(table, key);
}

// ", ".join(str(v) for v in versions)
Ref joined_versions(Obj versions) {
    Ref parts = rt::new_list(0);
    rt::ForEach each(versions);
    while (Ref v = each.next()) rt::append(parts, rt::str(v));
    return rt::join(", ", parts);
}


// "major.minor" of a release line as numbers, or nothing when the text is
// not two runs of ASCII digits joined by a dot.
std::optional<std::pair<long long, long long>> release_numbers(Obj line) {
    if (!PyUnicode_Check(line)) return std::nullopt;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(line, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    long long parts[2] = {0, 0};
    int index = 0;
    Py_ssize_t digits = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = p[i];
        if (c == '.') {
            if (digits == 0 || index == 1) return std::nullopt;
            index = 1;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            if (++digits > 9) return std::nullopt;
            parts[index] = parts[index] * 10 + (c - '0');
        } else {
            return std::nullopt;
        }
    }
    if (index != 1 || digits == 0) return std::nullopt;
    return std::make_pair(parts[0], parts[1]);
}

// Whether `line` is a release line newer than every line of the table,
// compared as (major, minor) numbers. Table keys that are no release line
// take no part.
bool newer_than_table(const Args& a, Obj line) {
    const Names& n = a.state<State>().names;
    auto mine = release_numbers(line);
    if (!mine) return false;
    Ref table = a.global(n.PYSPARK_JVM_ELIGIBILITY);
    rt::ForEach each(table);
    while (Ref key = each.next()) {
        auto theirs = release_numbers(key);
        if (theirs && !(*theirs < *mine)) return false;
    }
    return true;
}

// --- the module's functions ------------------------------------------------

Ref get_pyspark_info(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    return rt::try_except(
        PyExc_Exception,
        [&] {
            // Only the installed distribution counts, not an importable package.
            Ref metadata = rt::import_in_function(a.globals(), "importlib.metadata");
            Ref version = rt::call_method(n.version, {metadata, n.pyspark});
            Ref parts = rt::call_method(n.split, {version, t.dot});
            Ref major_minor;
            if (rt::len(parts) >= 2) {
                Ref major = rt::getitem(parts, 0);
                Ref minor = rt::getitem(parts, 1);
                major_minor = rt::fstring(major, ".", minor);
            } else {
                major_minor = version.copy();
            }

            Ref row = eligibility_row(a, major_minor);
            Ref java_min, java_max, java_recommended, java_supported;
            if (rt::truthy(row)) {
                java_min = rt::getitem(row, n.min);
                java_max = rt::getitem(row, n.max);
                java_recommended = rt::getitem(row, n.recommended);
                java_supported = rt::getitem(row, n.supported);  // the row's own list
            } else {
                // A release line the table does not list: assume the newest
                // requirement.
                java_min = rt::integer(17);
                java_max = rt::integer(21);
                java_recommended = rt::integer(17);
                java_supported = rt::list({rt::integer(17), rt::integer(21)});
            }
            Ref cls = a.global(n.PySparkInfo);  // per call: a rebound module name is seen
            return rt::call_kw(cls,
                               {version, major_minor, java_min, java_max, java_recommended,
                                java_supported},
                               a.state<State>().info_kwnames);
        },
        [](PyObject*) { return Ref::none(); });
}

Ref get_pyspark_versions_for_java(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* java_version = a[0];
    Ref table = a.global(n.PYSPARK_JVM_ELIGIBILITY);
    Ref compatible = rt::new_list(0);
    Ref items = rt::call_method(n.items, {table});
    rt::ForEach each(items);
    while (Ref entry = each.next()) {
        auto [line, row] = rt::unpack<2>(entry);
        Ref supported = rt::getitem(row, n.supported);
        if (rt::contains(supported, java_version)) rt::append(compatible, line);
    }
    // Equal or unordered keys (a table that is not a plain dict of release
    // lines) keep the order sorted(..., reverse=True) gives them.
    return rt::sorted(compatible, true);
}

Ref check_java_pyspark_compatibility(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* java_version = a[0];
    PyObject* line = a[1];
    Ref row = eligibility_row(a, line);
    if (!rt::truthy(row)) {
        return outcome(true, rt::fstring("Unknown PySpark version ", line, ", assuming compatible"));
    }
    Ref supported = rt::getitem(row, n.supported);
    if (rt::contains(supported, java_version))
        return outcome(true, rt::fstring("Java ", rt::Str{java_version}, " is compatible with PySpark ", line));
    Ref versions = joined_versions(supported);
    Ref message = rt::fstring("Java ", rt::Str{java_version}, " is NOT compatible with PySpark ", line,
                              ". Requires Java ", versions, ".");
    return outcome(false, message);
}

Ref validate_java_for_spark(const Args& a) {
    const Names& n = a.state<State>().names;
    Ref get_info = a.global(n.get_pyspark_info);
    Ref info = rt::call(get_info);
    if (!rt::truthy(info)) return outcome(false, rt::text(kNotInstalled));

    Ref get_current = a.global(n.get_current_java);
    Ref java = rt::call(get_current);
    if (!rt::truthy(java)) {
        Ref version = rt::getattr(info, n.version);
        Ref supported = rt::getattr(info, n.java_supported);
        Ref message = rt::fstring("Java not found. PySpark ", version, " requires Java ", supported,
                                  ". Run 'marl java search' to find installations.");
        return outcome(false, message);
    }

    Ref java_version = rt::getattr(java, n.version);
    Ref major_minor = rt::getattr(info, n.major_minor);
    Ref check = a.global(n.check_java_pyspark_compatibility);
    Ref verdict = rt::call(check, {java_version, major_minor});
    auto [compatible, message] = rt::unpack<2>(verdict);
    if (!rt::truthy(compatible)) return outcome(false, rt::fstring(message, kSetHint));

    // A release line newer than the table is judged by its assumed minimum:
    // such lines only raise the Java floor, so an older Java fails at start.
    if (!rt::truthy(eligibility_row(a, major_minor)) && newer_than_table(a, major_minor)) {
        Ref java_min = rt::getattr(info, n.java_min);
        if (rt::truthy(rt::lt(java_version, java_min))) {
            Ref supported = rt::getattr(info, n.java_supported);
            Ref versions = joined_versions(supported);
            Ref message = rt::fstring("Java ", java_version, " is NOT compatible with PySpark ", major_minor,
                                      ". Requires Java ", versions, ".", kSetHint);
            return outcome(false, message);
        }
    }

    Ref version = rt::getattr(info, n.version);
    return outcome(true, rt::fstring("Java ", java_version, " is compatible with PySpark ", version));
}

const Param java_version_params[] = {{"java_version", Check::Int, "int"}};
const Param compatibility_params[] = {
    {"java_version", Check::Int, "int"},
    {"pyspark_major_minor", Check::Str, "str"},
};

}  // namespace

const FunctionSpec get_pyspark_info_spec{
    .name = "get_pyspark_info",
    .doc = "The installed PySpark and the Java versions it accepts, or None.",
    .returns = "Optional[PySparkInfo]",
    .body = get_pyspark_info};

const FunctionSpec get_pyspark_versions_for_java_spec{
    .name = "get_pyspark_versions_for_java",
    .doc = "The PySpark release lines that accept `java_version`, newest first.",
    .params = java_version_params,
    .returns = "List[str]",
    .body = get_pyspark_versions_for_java};

const FunctionSpec check_java_pyspark_compatibility_spec{
    .name = "check_java_pyspark_compatibility",
    .doc = "(compatible, message) for one Java major version and one PySpark release line.",
    .params = compatibility_params,
    .returns = "Tuple[bool, str]",
    .body = check_java_pyspark_compatibility};

const FunctionSpec validate_java_for_spark_spec{
    .name = "validate_java_for_spark",
    .doc = "(valid, message) for the active Java against the installed PySpark.",
    .params = {},
    .returns = "Tuple[bool, str]",
    .body = validate_java_for_spark};

}  // namespace jvm
