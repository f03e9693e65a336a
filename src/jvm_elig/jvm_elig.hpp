// strix.compute.jvm_elig: shared declarations of the module's parts.
// Each part defines the FunctionSpecs of its functions; module.cpp binds them
// in the module's definition order.
#pragma once

#include "module.hpp"

namespace jvm {

// probe.cpp
extern const rt::FunctionSpec get_java_version_spec;
extern const rt::FunctionSpec get_current_java_spec;
extern const rt::FunctionSpec check_java_path_spec;       // _check_java_path
extern const rt::FunctionSpec is_valid_java_home_spec;    // _is_valid_java_home
// discover.cpp
extern const rt::FunctionSpec find_java_macos_spec;       // _find_java_macos
extern const rt::FunctionSpec find_java_linux_spec;       // _find_java_linux
extern const rt::FunctionSpec find_java_windows_spec;     // _find_java_windows
extern const rt::FunctionSpec find_all_java_installations_spec;
extern const rt::FunctionSpec select_best_java_spec;
// pyspark.cpp
extern const rt::FunctionSpec get_pyspark_info_spec;
extern const rt::FunctionSpec get_pyspark_versions_for_java_spec;
extern const rt::FunctionSpec check_java_pyspark_compatibility_spec;
extern const rt::FunctionSpec validate_java_for_spark_spec;
// spark.cpp
extern const rt::FunctionSpec detect_spark_cluster_version_spec;
// shell.cpp
extern const rt::FunctionSpec get_shell_config_file_spec;
extern const rt::FunctionSpec set_java_home_persistent_spec;

}  // namespace jvm
