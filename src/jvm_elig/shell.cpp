// strix.compute.jvm_elig: the user's shell start-up file and the persistent
// JAVA_HOME block written into it.
//
// The block is three lines after an empty line:
//     # MARL Java Configuration
//     <export line setting JAVA_HOME to the chosen path, in double quotes>
//     <path line putting $JAVA_HOME/bin in front of PATH>
// A later call replaces the block in place. The file is replaced atomically
// (temporary file in the same directory, then rename), keeping its
// permission bits, and a symlinked start-up file is written through to its
// target. A path that the shell would not read literally inside double
// quotes is refused before anything is touched.
#include "jvm_elig.hpp"

#include <cstdio>
#include <random>

namespace {

using rt::Args;
using rt::Name;
using rt::Param;
using rt::Ref;

const Name n_platform("platform");
const Name n_os("os");
const Name n_re("re");
const Name n_open("open");
const Name n_get_shell_config_file("get_shell_config_file");
const Name n_system("system");
const Name n_path("path");
const Name n_environ("environ");
const Name n_get("get");
const Name n_expandvars("expandvars");
const Name n_expanduser("expanduser");
const Name n_join("join");
const Name n_exists("exists");
const Name n_dirname("dirname");
const Name n_basename("basename");
const Name n_islink("islink");
const Name n_realpath("realpath");
const Name n_makedirs("makedirs");
const Name n_exist_ok("exist_ok");
const Name n_pathsep("pathsep");
const Name n_curdir("curdir");
const Name n_stat("stat");
const Name n_st_mode("st_mode");
const Name n_st_uid("st_uid");
const Name n_st_gid("st_gid");
const Name n_chmod("chmod");
const Name n_chown("chown");
const Name n_replace("replace");
const Name n_unlink("unlink");
const Name n_fsync("fsync");
const Name n_close("close");
const Name n_O_RDONLY("O_RDONLY");
const Name n_O_WRONLY("O_WRONLY");
const Name n_O_CREAT("O_CREAT");
const Name n_O_EXCL("O_EXCL");
const Name n_read("read");
const Name n_write("write");
const Name n_flush("flush");
const Name n_fileno("fileno");
const Name n_sub("sub");

const Name s_windows("Windows");
const Name s_powershell("PowerShell");
const Name s_unknown("unknown");
const Name s_fish("fish");
const Name s_zsh("zsh");
const Name s_bash("bash");
const Name s_sh("sh");
const Name s_profile_var("$PROFILE");
const Name s_dollar("$");
const Name s_shell_var("SHELL");
const Name s_empty("");
const Name s_tilde("~");
const Name s_zshrc(".zshrc");
const Name s_bashrc(".bashrc");
const Name s_bash_profile(".bash_profile");
const Name s_dot_config(".config");
const Name s_config_fish("config.fish");
const Name s_dot_profile(".profile");
const Name s_java_home_var("JAVA_HOME");
const Name s_path_var("PATH");
const Name s_bin("bin");
const Name s_mode_read("r");
const Name s_mode_write("w");
const Name s_mode_append("a");
const Name s_marker("# MARL Java Configuration");
// The block as found again: the marker, then exactly two non-empty lines,
// each ended by a line feed.
const Name s_block_pattern("# MARL Java Configuration\\n[^\\n]+\\n[^\\n]+\\n");

// --- small helpers -----------------------------------------------------------

Ref pair(PyObject* first, PyObject* second) { return Ref::steal(PyTuple_Pack(2, first, second)); }

Ref outcome(bool ok, PyObject* message) { return pair(ok ? Py_True : Py_False, message); }

// a + b with Python's operator semantics
Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }

// os.path.join(a, b)
Ref path_join(PyObject* os_path, PyObject* a, PyObject* b) { return rt::call_method(n_join, {os_path, a, b}); }

// `first, second = value` for any iterable of two.
std::pair<Ref, Ref> unpack_pair(PyObject* value) {
    Ref it = rt::iter(value);
    Ref first = rt::next(it.get());
    Ref second = first ? rt::next(it.get()) : Ref();
    if (!first || !second) {
        rt::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
    }
    if (Ref extra = rt::next(it.get())) rt::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(first), std::move(second)};
}

// Runs `body` and then `cleanup`, like try/finally: an exception of `body`
// continues after `cleanup` unless `cleanup` raised one of its own (which
// then carries the first as its __context__).
template <class Body, class Cleanup>
void try_finally(Body&& body, Cleanup&& cleanup) {
    try {
        body();
    } catch (const rt::PyError&) {
        Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
        try {
            cleanup();
        } catch (const rt::PyError&) {
            PyObject* current = PyErr_GetRaisedException();
            PyException_SetContext(current, pending.release());
            PyErr_SetRaisedException(current);
            throw;
        }
        PyErr_SetRaisedException(pending.release());
        throw;
    }
    cleanup();
}

// Calls `f`; an Exception it raises (OSError and the like) is discarded.
template <class F>
void ignoring_errors(F&& f) {
    try {
        f();
    } catch (const rt::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

enum class ShellKind { PowerShell, Fish, Posix };

ShellKind kind_of(PyObject* shell_name) {
    if (rt::equal(shell_name, s_powershell)) return ShellKind::PowerShell;
    if (rt::equal(shell_name, s_fish)) return ShellKind::Fish;
    return ShellKind::Posix;
}

// The description of a character of `java_home` that the target shell would
// not read literally between double quotes (or that would end the line), or
// nullptr when the character is harmless.
const char* unsafe_character(Py_UCS4 c, ShellKind kind) {
    switch (c) {
        case '\n': return "a line break (line feed)";
        case '\r': return "a line break (carriage return)";
        case '\0': return "a NUL character";
        case '"': return "a double quote (\")";
        case '$': return "a dollar sign ($)";
        case '`': return kind == ShellKind::Fish ? nullptr : "a backtick (`)";
        case '\\': return kind == ShellKind::PowerShell ? nullptr : "a backslash (\\)";
        // PowerShell also closes a double-quoted string at typographic
        // double quotes.
        case 0x201C: return kind == ShellKind::PowerShell ? "a left double quotation mark (\u201C)" : nullptr;
        case 0x201D: return kind == ShellKind::PowerShell ? "a right double quotation mark (\u201D)" : nullptr;
        case 0x201E: return kind == ShellKind::PowerShell ? "a low double quotation mark (\u201E)" : nullptr;
        default: return nullptr;
    }
}

// The refusal message for a java_home that cannot be written safely, or an
// empty Ref when every character is fine.
Ref refusal(PyObject* java_home, PyObject* config_file, PyObject* shell_name, ShellKind kind) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(java_home);
    const int ukind = PyUnicode_KIND(java_home);
    const void* data = PyUnicode_DATA(java_home);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* what = unsafe_character(PyUnicode_READ(ukind, data, i), kind);
        if (what == nullptr) continue;
        return Ref::steal(PyUnicode_FromFormat(
            "Refusing to write JAVA_HOME %R to %S: the path contains %s, which a %S start-up file "
            "cannot hold literally inside double quotes. Nothing was changed.",
            java_home, config_file, what, shell_name));
    }
    return Ref();
}

// The block for the shell: line feed, marker, export line, path line, each
// line ended by a line feed.
Ref config_block(PyObject* java_home, ShellKind kind) {
    switch (kind) {
        case ShellKind::PowerShell:
            return Ref::steal(PyUnicode_FromFormat(
                "\n# MARL Java Configuration\n$env:JAVA_HOME = \"%U\"\n$env:PATH = \"$env:JAVA_HOME\\bin;$env:PATH\"\n",
                java_home));
        case ShellKind::Fish:
            return Ref::steal(PyUnicode_FromFormat(
                "\n# MARL Java Configuration\nset -gx JAVA_HOME \"%U\"\nset -gx PATH \"$JAVA_HOME/bin\" $PATH\n",
                java_home));
        case ShellKind::Posix:
            break;
    }
    return Ref::steal(PyUnicode_FromFormat(
        "\n# MARL Java Configuration\nexport JAVA_HOME=\"%U\"\nexport PATH=\"$JAVA_HOME/bin:$PATH\"\n", java_home));
}

// The whole content of a text file (mode "r", default encoding).
Ref read_text(PyObject* open, PyObject* path) {
    Ref f = rt::call(open, {path, s_mode_read});
    Ref content;
    try_finally([&] { content = rt::call_method(n_read, {f.get()}); },
                [&] { rt::call_method(n_close, {f.get()}); });
    return content;
}

// A name for the temporary file next to `path`'s target.
Ref temp_name(PyObject* os_path, PyObject* target) {
    static std::mt19937_64 engine{std::random_device{}()};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".marl-%016llx.tmp", static_cast<unsigned long long>(engine()));
    Ref directory = rt::call_method(n_dirname, {os_path, target});
    Ref base = rt::call_method(n_basename, {os_path, target});
    const bool hidden = PyUnicode_Check(base.get()) && PyUnicode_GET_LENGTH(base.get()) > 0 &&
                        PyUnicode_READ_CHAR(base.get(), 0) == '.';
    Ref name = Ref::steal(PyUnicode_FromFormat(hidden ? "%S%s" : ".%S%s", base.get(), suffix));
    return path_join(os_path, directory.get(), name.get());
}

// int attribute `name` of the os module
long os_flag(PyObject* os, PyObject* name) {
    Ref v = rt::attr(os, name);
    long out = PyLong_AsLong(v.get());
    if (out == -1 && PyErr_Occurred()) rt::raise();
    return out;
}

// Replaces the content of `config_file` (or of the file a symbolic link there
// points to) by `content`: written in text mode ("w", default encoding) to a
// temporary file in the same directory, synced, given the old file's
// permission bits and owner, then renamed over the old file.
void write_atomically(PyObject* os, PyObject* open, PyObject* config_file, PyObject* content) {
    Ref os_path = rt::attr(os, n_path);
    Ref target = rt::truthy(rt::call_method(n_islink, {os_path.get(), config_file}).get())
                     ? rt::call_method(n_realpath, {os_path.get(), config_file})
                     : Ref::borrow(config_file);

    Ref old_stat;
    if (rt::truthy(rt::call_method(n_exists, {os_path.get(), target.get()}).get())) {
        old_stat = rt::call_method(n_stat, {os, target.get()});
        // A file that may not be written fails here, as writing it in place
        // would, rather than being replaced behind its permissions.
        Ref probe = rt::call(open, {target.get(), s_mode_append});
        rt::call_method(n_close, {probe.get()});
    }

    Ref tmp = temp_name(os_path.get(), target.get());
    const long flags = os_flag(os, n_O_WRONLY) | os_flag(os, n_O_CREAT) | os_flag(os, n_O_EXCL);
    Ref flags_obj = rt::integer(flags);
    Ref create_mode = rt::integer(0666);  // narrowed by the umask, as for a new file
    Ref fd = rt::call_method(n_open, {os, tmp.get(), flags_obj.get(), create_mode.get()});

    try {
        Ref f;
        try {
            f = rt::call(open, {fd.get(), s_mode_write});
        } catch (const rt::PyError&) {
            Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
            ignoring_errors([&] { rt::call_method(n_close, {os, fd.get()}); });
            PyErr_SetRaisedException(pending.release());
            throw;
        }
        try_finally(
            [&] {
                rt::call_method(n_write, {f.get(), content});
                rt::call_method(n_flush, {f.get()});
                Ref fileno = rt::call_method(n_fileno, {f.get()});
                rt::call_method(n_fsync, {os, fileno.get()});
            },
            [&] { rt::call_method(n_close, {f.get()}); });

        if (old_stat) {
            // Owner first (best effort): changing it may clear mode bits.
            if (rt::has_attr(os, n_chown)) {
                ignoring_errors([&] {
                    Ref uid = rt::attr(old_stat.get(), n_st_uid);
                    Ref gid = rt::attr(old_stat.get(), n_st_gid);
                    rt::call_method(n_chown, {os, tmp.get(), uid.get(), gid.get()});
                });
            }
            Ref mode = rt::attr(old_stat.get(), n_st_mode);
            Ref mask = rt::integer(07777);
            Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
            rt::call_method(n_chmod, {os, tmp.get(), bits.get()});
        }
        rt::call_method(n_replace, {os, tmp.get(), target.get()});
    } catch (const rt::PyError&) {
        // The old file is untouched; remove the partial temporary file.
        Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
        ignoring_errors([&] { rt::call_method(n_unlink, {os, tmp.get()}); });
        PyErr_SetRaisedException(pending.release());
        throw;
    }

    // Make the rename itself durable where the platform allows it.
    ignoring_errors([&] {
        Ref directory = rt::call_method(n_dirname, {os_path.get(), target.get()});
        if (!rt::truthy(directory.get())) directory = rt::attr(os, n_curdir);
        Ref rdonly = rt::attr(os, n_O_RDONLY);
        Ref dir_fd = rt::call_method(n_open, {os, directory.get(), rdonly.get()});
        try_finally([&] { rt::call_method(n_fsync, {os, dir_fd.get()}); },
                    [&] { rt::call_method(n_close, {os, dir_fd.get()}); });
    });
}

// --- get_shell_config_file -----------------------------------------------

Ref get_shell_config_file(const Args& a) {
    Ref platform = a.global(n_platform);
    Ref os = a.global(n_os);
    Ref system = rt::call_method(n_system, {platform.get()});
    if (rt::equal(system.get(), s_windows)) {
        Ref os_path = rt::attr(os.get(), n_path);
        Ref expanded = rt::call_method(n_expandvars, {os_path.get(), s_profile_var});
        if (rt::truthy(expanded.get()) && !rt::contains(expanded.get(), s_dollar)) {
            return pair(expanded.get(), s_powershell);
        }
        return pair(Py_None, s_unknown);
    }

    Ref environ = rt::attr(os.get(), n_environ);
    Ref shell = rt::call_method(n_get, {environ.get(), s_shell_var, s_empty});
    Ref os_path = rt::attr(os.get(), n_path);
    Ref home = rt::call_method(n_expanduser, {os_path.get(), s_tilde});

    if (rt::contains(shell.get(), s_zsh)) {
        return pair(path_join(os_path.get(), home.get(), s_zshrc).get(), s_zsh);
    }
    if (rt::contains(shell.get(), s_bash)) {
        Ref bashrc = path_join(os_path.get(), home.get(), s_bashrc);
        if (rt::truthy(rt::call_method(n_exists, {os_path.get(), bashrc.get()}).get())) {
            return pair(bashrc.get(), s_bash);
        }
        return pair(path_join(os_path.get(), home.get(), s_bash_profile).get(), s_bash);
    }
    if (rt::contains(shell.get(), s_fish)) {
        Ref config = rt::call_method(n_join, {os_path.get(), home.get(), s_dot_config, s_fish, s_config_fish});
        return pair(config.get(), s_fish);
    }
    return pair(path_join(os_path.get(), home.get(), s_dot_profile).get(), s_sh);
}

// --- set_java_home_persistent ----------------------------------------------

// Steps after the config file is known; any Exception here becomes the
// "Failed to update" outcome.
Ref update_config(const Args& a, PyObject* java_home, PyObject* config_file, ShellKind kind) {
    Ref os = a.global(n_os);
    Ref re = a.global(n_re);
    Ref open = a.global(n_open);
    Ref os_path = rt::attr(os.get(), n_path);

    Ref block = config_block(java_home, kind);

    Ref existing = rt::truthy(rt::call_method(n_exists, {os_path.get(), config_file}).get())
                       ? read_text(open.get(), config_file)
                       : Ref::borrow(s_empty.get());

    Ref content;
    if (rt::contains(existing.get(), s_marker)) {
        // The replacement is the block without its leading line feed,
        // inserted literally: backslashes are doubled for re.sub.
        Ref replacement = Ref::steal(PyUnicode_Substring(block.get(), 1, PyUnicode_GET_LENGTH(block.get())));
        Ref backslash = rt::text("\\");
        Ref doubled = rt::text("\\\\");
        replacement = Ref::steal(PyUnicode_Replace(replacement.get(), backslash.get(), doubled.get(), -1));
        content = rt::call_method(n_sub, {re.get(), s_block_pattern, replacement.get(), existing.get()});
    } else {
        content = add(existing.get(), block.get());
    }

    {
        static PyObject* kw_exist_ok = nullptr;
        if (kw_exist_ok == nullptr) {
            kw_exist_ok = PyTuple_Pack(1, n_exist_ok.get());
            if (kw_exist_ok == nullptr) rt::raise();
        }
        Ref directory = rt::call_method(n_dirname, {os_path.get(), config_file});
        Ref makedirs = rt::attr(os.get(), n_makedirs);
        rt::call_kw(makedirs.get(), {directory.get(), Py_True}, kw_exist_ok);
    }

    write_atomically(os.get(), open.get(), config_file, content.get());

    // The running process follows the file only once it was written.
    Ref environ = rt::attr(os.get(), n_environ);
    if (PyObject_SetItem(environ.get(), s_java_home_var, java_home) < 0) rt::raise();
    Ref old_path = rt::call_method(n_get, {environ.get(), s_path_var, s_empty});
    Ref bin = path_join(os_path.get(), java_home, s_bin);
    Ref pathsep = rt::attr(os.get(), n_pathsep);
    Ref new_path = add(add(bin.get(), pathsep.get()).get(), old_path.get());
    if (PyObject_SetItem(environ.get(), s_path_var, new_path.get()) < 0) rt::raise();

    Ref updated = rt::text("Updated ");
    Ref run_source = rt::text(". Run 'source ");
    Ref restart = rt::text("' or restart terminal.");
    Ref message = add(updated.get(), config_file);
    message = add(message.get(), run_source.get());
    message = add(message.get(), config_file);
    message = add(message.get(), restart.get());
    return outcome(true, message.get());
}

Ref set_java_home_persistent(const Args& a) {
    PyObject* java_home = a[0];
    Ref getter = a.global(n_get_shell_config_file);
    Ref found = rt::call(getter.get());
    auto [config_file, shell_name] = unpack_pair(found.get());

    if (!rt::truthy(config_file.get())) {
        Ref platform = a.global(n_platform);
        Ref system = rt::call_method(n_system, {platform.get()});
        Ref prefix = rt::text("Could not determine shell config file for ");
        return outcome(false, add(prefix.get(), system.get()).get());
    }

    const ShellKind kind = kind_of(shell_name.get());
    if (Ref message = refusal(java_home, config_file.get(), shell_name.get(), kind)) {
        return outcome(false, message.get());
    }

    try {
        return update_config(a, java_home, config_file.get(), kind);
    } catch (const rt::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref prefix = rt::text("Failed to update ");
        Ref colon = rt::text(": ");
        Ref message = add(prefix.get(), config_file.get());
        message = add(message.get(), colon.get());
        message = add(message.get(), rt::str_of(error.get()).get());
        return outcome(false, message.get());
    }
}

const Param java_home_params[] = {{"java_home", rt::Check::Str, "str"}};

}  // namespace

namespace jvm {

const rt::FunctionSpec get_shell_config_file_spec{
    .name = "get_shell_config_file",
    .doc = "Return (config file path, shell name) for the user's shell.\n\n"
           "The path is that of the start-up file the shell reads (it need not\n"
           "exist); (None, 'unknown') on Windows without a usable $PROFILE.",
    .returns = "Tuple[Optional[str], str]",
    .body = get_shell_config_file,
};

const rt::FunctionSpec set_java_home_persistent_spec{
    .name = "set_java_home_persistent",
    .doc = "Make java_home the JAVA_HOME of the user's shell and of this process.\n\n"
           "Writes (or replaces) the '# MARL Java Configuration' block in the shell\n"
           "start-up file, then sets JAVA_HOME and prepends its bin directory to\n"
           "PATH in os.environ. Returns (success, message).",
    .params = java_home_params,
    .returns = "Tuple[bool, str]",
    .body = set_java_home_persistent,
};

}  // namespace jvm
