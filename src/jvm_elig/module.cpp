// strix.compute.jvm_elig: module surface (imports, tables, records, and the
// functions in their definition order).
#include "jvm_elig.hpp"

namespace {

using rt::Ref;

void exec_module(PyObject* m) {
    for (const char* name : {"glob", "os", "platform", "re", "subprocess"}) rt::add_import(m, name);
    rt::add_import_from(m, "dataclasses", "dataclass");
    for (const char* name : {"Dict", "List", "Optional", "Set", "Tuple"}) rt::add_import_from(m, "typing", name);

    // TODO(jvm helper): PYSPARK_JVM_ELIGIBILITY, PYSPARK_VERSIONS, JavaInstallation, PySparkInfo

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
          "Java runtime discovery, PySpark compatibility and JAVA_HOME persistence.", exec_module)
