// strix.compute.jvm_elig: module surface (imports, tables, records, and the
// functions in their definition order).
#include "jvm_elig.hpp"

#include <initializer_list>

namespace {

using rt::Obj;
using rt::Ref;

// One row of the compatibility table: the Java major versions a PySpark
// release line accepts. Only "supported" decides compatibility.
struct EligibilityRow {
    const char* line;
    int min, max, recommended;
    std::initializer_list<int> supported;
};

const EligibilityRow eligibility_rows[] = {
    {"4.0", 17, 21, 17, {17, 21}},
    {"3.5", 8, 17, 17, {8, 11, 17}},
    {"3.4", 8, 17, 11, {8, 11, 17}},
    {"3.3", 8, 11, 11, {8, 11}},
    {"3.2", 8, 11, 11, {8, 11}},
    {"3.1", 8, 11, 11, {8, 11}},
    {"3.0", 8, 11, 8, {8, 11}},
};

// (full version, release line, label), newest first; for the host's use.
const char* const pyspark_versions[][3] = {
    {"4.0.1", "4.0", "latest"},
    {"3.5.3", "3.5", "stable"},
    {"3.4.3", "3.4", ""},
    {"3.3.4", "3.3", ""},
    {"3.2.4", "3.2", ""},
};

void add_tables(Obj m) {
    Ref eligibility = rt::new_dict();
    for (const EligibilityRow& r : eligibility_rows) {
        Ref supported = rt::new_list(0);
        for (int v : r.supported) rt::append(supported, rt::integer(v));
        Ref row = rt::new_dict();
        rt::setitem(row, "min", rt::integer(r.min));
        rt::setitem(row, "max", rt::integer(r.max));
        rt::setitem(row, "recommended", rt::integer(r.recommended));
        rt::setitem(row, "supported", supported);
        rt::setitem(eligibility, r.line, row);
    }
    rt::set_global(m, "PYSPARK_JVM_ELIGIBILITY", eligibility);

    Ref versions = rt::new_list(0);
    for (const auto& v : pyspark_versions) {
        rt::append(versions, rt::tuple({rt::text(v[0]), rt::text(v[1]), rt::text(v[2])}));
    }
    rt::set_global(m, "PYSPARK_VERSIONS", versions);
}

void add_records(Obj m) {
    Ref java_installation = rt::ClassBuilder(m, "JavaInstallation", "Represents a Java installation found on the system.")
                                .field("path", "str")
                                .field("version", "int")
                                .field("version_string", "str")
                                .field("vendor", "str")
                                .field("is_current", "bool", Py_False)
                                .build_dataclass();
    rt::set_global(m, "JavaInstallation", java_installation);

    Ref pyspark_info = rt::ClassBuilder(m, "PySparkInfo", "PySpark installation information.")
                           .field("version", "str")
                           .field("major_minor", "str")
                           .field("java_min", "int")
                           .field("java_max", "int")
                           .field("java_recommended", "int")
                           .field("java_supported", "List[int]")
                           .build_dataclass();
    rt::set_global(m, "PySparkInfo", pyspark_info);
}

void exec_module(Obj m, jvm::State& st) {
    const jvm::Names& n = st.names;
    st.installation_kwnames = rt::kwnames({n.path, n.version, n.version_string, n.vendor, n.is_current});
    st.info_kwnames =
        rt::kwnames({n.version, n.major_minor, n.java_min, n.java_max, n.java_recommended, n.java_supported});
    st.run_kwnames = rt::kwnames({n.capture_output, n.text, n.timeout});
    st.timeout_kwnames = rt::kwnames({n.timeout});
    st.max_workers_kwnames = rt::kwnames({n.max_workers});
    st.wait_kwnames = rt::kwnames({n.wait});
    st.exist_ok_kwnames = rt::kwnames({n.exist_ok});
    {
        Ref attrgetter = rt::getattr(rt::import("operator"), n.attrgetter);
        st.version_key = rt::call(attrgetter, {n.version});
    }

    // A source module has __builtins__ from the start; binding it first keeps
    // it ahead of the names below (the dataclass decorator would add it later).
    PyObject* ns = PyModule_GetDict(m);
    if (!rt::dict_get(ns, n.dunder_builtins)) rt::setitem(ns, n.dunder_builtins, PyEval_GetBuiltins());
    for (const char* name : {"glob", "os", "platform", "re", "subprocess"}) rt::add_import(m, name);
    rt::add_import_from(m, "dataclasses", "dataclass");
    for (const char* name : {"Dict", "List", "Optional", "Set", "Tuple"}) rt::add_import_from(m, "typing", name);

    add_tables(m);
    add_records(m);

    rt::def(m, jvm::get_java_version_spec);
    rt::def(m, jvm::get_current_java_spec);
    rt::def(m, jvm::check_java_path_spec, rt::defaults(Ref::boolean(false)));
    rt::def(m, jvm::find_java_macos_spec);
    rt::def(m, jvm::find_java_linux_spec);
    rt::def(m, jvm::find_java_windows_spec);
    rt::def(m, jvm::find_all_java_installations_spec);
    rt::def(m, jvm::is_valid_java_home_spec);
    rt::def(m, jvm::select_best_java_spec);
    rt::def(m, jvm::get_pyspark_info_spec);
    rt::def(m, jvm::get_pyspark_versions_for_java_spec);
    rt::def(m, jvm::check_java_pyspark_compatibility_spec);
    rt::def(m, jvm::validate_java_for_spark_spec);
    rt::def(m, jvm::detect_spark_cluster_version_spec, rt::defaults(rt::integer(30)));
    rt::def(m, jvm::get_shell_config_file_spec);
    rt::def(m, jvm::set_java_home_persistent_spec);
}

}  // namespace

RT_MODULE(PyInit_jvm_elig, "strix.compute.jvm_elig",
          "Java runtime discovery, PySpark compatibility and JAVA_HOME persistence.", jvm::State,
          exec_module)
