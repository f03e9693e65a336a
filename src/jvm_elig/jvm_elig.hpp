// strix.compute.jvm_elig: the declarations its parts share: the module
// state, the helpers common.cpp defines, and the FunctionSpecs each part
// defines (module.cpp binds them in the module's definition order).
#pragma once

#include "module.hpp"

namespace jvm {

using rt::Args;
using rt::Check;
using rt::FunctionSpec;
using rt::Obj;
using rt::Param;
using rt::Ref;

// --- module state ------------------------------------------------------------

// Interned names: module, global, attribute, method and keyword names and
// dict keys, each named after its text (stdout_ and stderr_ with a trailing
// underscore: stdout and stderr are macros of the C library). The module's
// own globals (functions, records, tables, imported modules) are looked up
// by these names at each call, as Python code looks up a global, so
// rebinding one is seen.
#define JVM_NAMES(X) \
    X(os, "os") \
    X(platform, "platform") \
    X(subprocess, "subprocess") \
    X(glob, "glob") \
    X(re, "re") \
    X(JavaInstallation, "JavaInstallation") \
    X(PySparkInfo, "PySparkInfo") \
    X(PYSPARK_JVM_ELIGIBILITY, "PYSPARK_JVM_ELIGIBILITY") \
    X(get_java_version, "get_java_version") \
    X(get_current_java, "get_current_java") \
    X(_check_java_path, "_check_java_path") \
    X(_is_valid_java_home, "_is_valid_java_home") \
    X(_find_java_macos, "_find_java_macos") \
    X(_find_java_linux, "_find_java_linux") \
    X(_find_java_windows, "_find_java_windows") \
    X(get_pyspark_info, "get_pyspark_info") \
    X(check_java_pyspark_compatibility, "check_java_pyspark_compatibility") \
    X(path, "path") \
    X(join, "join") \
    X(exists, "exists") \
    X(isfile, "isfile") \
    X(normpath, "normpath") \
    X(realpath, "realpath") \
    X(dirname, "dirname") \
    X(expanduser, "expanduser") \
    X(environ, "environ") \
    X(system, "system") \
    X(run, "run") \
    X(search, "search") \
    X(group, "group") \
    X(start, "start") \
    X(stdout_, "stdout") \
    X(stderr_, "stderr") \
    X(lower, "lower") \
    X(split, "split") \
    X(strip, "strip") \
    X(items, "items") \
    X(version, "version") \
    X(version_string, "version_string") \
    X(vendor, "vendor") \
    X(is_current, "is_current") \
    X(major_minor, "major_minor") \
    X(java_min, "java_min") \
    X(java_max, "java_max") \
    X(java_recommended, "java_recommended") \
    X(java_supported, "java_supported") \
    X(capture_output, "capture_output") \
    X(text, "text") \
    X(timeout, "timeout") \
    X(min, "min") \
    X(max, "max") \
    X(recommended, "recommended") \
    X(supported, "supported") \
    X(JAVA_HOME, "JAVA_HOME") \
    X(which, "which") \
    X(OpenKey, "OpenKey") \
    X(EnumKey, "EnumKey") \
    X(QueryValueEx, "QueryValueEx") \
    X(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE") \
    X(attrgetter, "attrgetter") \
    X(pyspark, "pyspark") \
    X(builder, "builder") \
    X(appName, "appName") \
    X(master, "master") \
    X(config, "config") \
    X(getOrCreate, "getOrCreate") \
    X(stop, "stop") \
    X(ThreadPoolExecutor, "ThreadPoolExecutor") \
    X(max_workers, "max_workers") \
    X(submit, "submit") \
    X(result, "result") \
    X(done, "done") \
    X(shutdown, "shutdown") \
    X(wait, "wait") \
    X(SparkContext, "SparkContext") \
    X(_active_spark_context, "_active_spark_context") \
    X(open, "open") \
    X(get_shell_config_file, "get_shell_config_file") \
    X(expandvars, "expandvars") \
    X(basename, "basename") \
    X(islink, "islink") \
    X(makedirs, "makedirs") \
    X(exist_ok, "exist_ok") \
    X(pathsep, "pathsep") \
    X(curdir, "curdir") \
    X(stat, "stat") \
    X(st_mode, "st_mode") \
    X(st_uid, "st_uid") \
    X(st_gid, "st_gid") \
    X(chmod, "chmod") \
    X(chown, "chown") \
    X(replace, "replace") \
    X(unlink, "unlink") \
    X(fsync, "fsync") \
    X(close, "close") \
    X(O_RDONLY, "O_RDONLY") \
    X(O_WRONLY, "O_WRONLY") \
    X(O_CREAT, "O_CREAT") \
    X(O_EXCL, "O_EXCL") \
    X(read, "read") \
    X(write, "write") \
    X(flush, "flush") \
    X(fileno, "fileno") \
    X(sub, "sub") \
    X(SHELL, "SHELL") \
    X(PATH, "PATH") \
    X(dunder_builtins, "__builtins__")

// The first line of the configuration block in a shell start-up file.
#define JVM_BLOCK_MARKER "# MARL Java Configuration"

// Fixed str values: platform and shell names, path parts, patterns, vendor
// markers and names, file modes and the configuration block's marker.
#define JVM_TEXTS(X) \
    X(Windows, "Windows") \
    X(newline, "\n") \
    X(bin, "bin") \
    X(java, "java") \
    X(exe, ".exe") \
    X(dash_version, "-version") \
    X(Unknown, "Unknown") \
    X(re_version, R"(version "(\d+)\.?)") \
    X(re_old_numbering, R"(version "1\.(\d+))") \
    X(openjdk, "openjdk") \
    X(temurin, "temurin") \
    X(adoptium, "adoptium") \
    X(corretto, "corretto") \
    X(zulu, "zulu") \
    X(graalvm, "graalvm") \
    X(marker_java_tm, "java(tm)") \
    X(oracle, "oracle") \
    X(ibm, "ibm") \
    X(vendor_adoptium, "Eclipse Adoptium") \
    X(vendor_corretto, "Amazon Corretto") \
    X(vendor_zulu, "Azul Zulu") \
    X(GraalVM, "GraalVM") \
    X(OpenJDK, "OpenJDK") \
    X(Oracle, "Oracle") \
    X(IBM, "IBM") \
    X(Darwin, "Darwin") \
    X(Linux, "Linux") \
    X(JavaHome, "JavaHome") \
    X(re_trailing_path, R"((/[^\s]+)$)") \
    X(dot, ".") \
    X(app_name, "MARL-VersionDetect") \
    X(ui_enabled, "spark.ui.enabled") \
    X(ui_progress, "spark.ui.showConsoleProgress") \
    X(false_text, "false") \
    X(PowerShell, "PowerShell") \
    X(unknown, "unknown") \
    X(fish, "fish") \
    X(zsh, "zsh") \
    X(bash, "bash") \
    X(sh, "sh") \
    X(profile_var, "$PROFILE") \
    X(dollar, "$") \
    X(empty, "") \
    X(tilde, "~") \
    X(zshrc, ".zshrc") \
    X(bashrc, ".bashrc") \
    X(bash_profile, ".bash_profile") \
    X(dot_config, ".config") \
    X(config_fish, "config.fish") \
    X(dot_profile, ".profile") \
    X(mode_read, "r") \
    X(mode_write, "w") \
    X(mode_append, "a") \
    X(backslash, "\\") \
    X(two_backslashes, "\\\\") \
    X(marker, JVM_BLOCK_MARKER) \
    X(block_pattern, JVM_BLOCK_MARKER "\\n[^\\n]+\\n[^\\n]+\\n")

// The keyword names of the calls the module makes:
// JavaInstallation(path=, version=, ...), PySparkInfo(version=, major_minor=,
// ...), subprocess.run(..., capture_output=, text=, timeout=),
// future.result(timeout=), ThreadPoolExecutor(max_workers=),
// pool.shutdown(wait=), os.makedirs(..., exist_ok=). version_key:
// operator.attrgetter("version"), the key installations are sorted by.
#define JVM_FIELDS(X) \
    X(rt::Ref, version_key) \
    X(rt::Ref, installation_kwnames) \
    X(rt::Ref, info_kwnames) \
    X(rt::Ref, run_kwnames) \
    X(rt::Ref, timeout_kwnames) \
    X(rt::Ref, max_workers_kwnames) \
    X(rt::Ref, wait_kwnames) \
    X(rt::Ref, exist_ok_kwnames)

struct State : rt::ModuleState {
    RT_NAMES(JVM_NAMES) names;
    RT_TEXTS(JVM_TEXTS) texts;
    RT_FIELDS(JVM_FIELDS)
};

using Names = State::Names;
using Texts = State::Texts;

// --- shared helpers (common.cpp) -------------------------------------------

// The outcome pair (success, message).
inline Ref outcome(bool ok, Obj message) { return rt::tuple({ok ? Py_True : Py_False, message}); }

// The `java` launcher inside a home directory: os.path.join(home, "bin",
// "java"), with ".exe" appended when platform.system() says "Windows".
Ref launcher_path(const Args& a, Obj home);

// Every process the module starts runs under this time limit (seconds).
constexpr long long kProcessTimeLimit = 10;

// subprocess.run(argv, capture_output=True, text=True, timeout=10)
Ref run_captured(const Args& a, Obj argv);

// os.path.<fn>(*args), with the `os` global and its `path` looked up at the
// call, as the expression does; at most kMaxPathArgs arguments.
constexpr size_t kMaxPathArgs = 4;
Ref path_call(const Args& a, Obj fn, std::initializer_list<Obj> args);

// --- the parts' functions ----------------------------------------------------

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
