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

namespace jvm {
namespace {

// --- small helpers -----------------------------------------------------------

// os.path.join(a, b)
Ref path_join(const Names& n, PyObject* os_path, PyObject* a, PyObject* b) {
    return rt::call_method(n.join, {os_path, a, b});
}

enum class ShellKind { PowerShell, Fish, Posix };

ShellKind kind_of(const Texts& t, PyObject* shell_name) {
    if (rt::equal(shell_name, t.PowerShell)) return ShellKind::PowerShell;
    if (rt::equal(shell_name, t.fish)) return ShellKind::Fish;
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
        return rt::fstring("Refusing to write JAVA_HOME ", rt::Repr{java_home}, " to ", rt::Str{config_file},
                           ": the path contains ", what, ", which a ", rt::Str{shell_name},
                           " start-up file cannot hold literally inside double quotes. Nothing was changed.");
    }
    return Ref();
}

// The block for the shell: line feed, marker, export line, path line, each
// line ended by a line feed.
Ref config_block(PyObject* java_home, ShellKind kind) {
    switch (kind) {
        case ShellKind::PowerShell:
            return rt::fstring("\n# MARL Java Configuration\n$env:JAVA_HOME = \"", java_home,
                               "\"\n$env:PATH = \"$env:JAVA_HOME\\bin;$env:PATH\"\n");
        case ShellKind::Fish:
            return rt::fstring("\n# MARL Java Configuration\nset -gx JAVA_HOME \"", java_home,
                               "\"\nset -gx PATH \"$JAVA_HOME/bin\" $PATH\n");
        case ShellKind::Posix:
            break;
    }
    return rt::fstring("\n# MARL Java Configuration\nexport JAVA_HOME=\"", java_home,
                       "\"\nexport PATH=\"$JAVA_HOME/bin:$PATH\"\n");
}

// The whole content of a text file (mode "r", default encoding).
Ref read_text(const State& st, PyObject* open, PyObject* path) {
    const Names& n = st.names;
    Ref f = rt::call(open, {path, st.texts.mode_read});
    return rt::try_finally([&] { return rt::call_method(n.read, {f.get()}); },
                           [&] { rt::call_method(n.close, {f.get()}); });
}

// A name for the temporary file next to `path`'s target.
Ref temp_name(const Names& n, PyObject* os_path, PyObject* target) {
    // A fresh random suffix per call (no engine shared between threads:
    // interpreters with GILs of their own may run here at the same time).
    std::random_device entropy;
    const unsigned long long suffix_bits = (static_cast<unsigned long long>(entropy()) << 32) ^ entropy();
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".marl-%016llx.tmp", suffix_bits);
    Ref directory = rt::call_method(n.dirname, {os_path, target});
    Ref base = rt::call_method(n.basename, {os_path, target});
    const bool hidden = PyUnicode_Check(base.get()) && PyUnicode_GET_LENGTH(base.get()) > 0 &&
                        PyUnicode_READ_CHAR(base.get(), 0) == '.';
    Ref name = rt::fstring(hidden ? "" : ".", rt::Str{base.get()}, suffix);
    return path_join(n, os_path, directory.get(), name.get());
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
void write_atomically(const State& st, PyObject* os, PyObject* open, PyObject* config_file, PyObject* content) {
    const Names& n = st.names;
    const Texts& t = st.texts;
    Ref os_path = rt::attr(os, n.path);
    Ref target = rt::truthy(rt::call_method(n.islink, {os_path.get(), config_file}).get())
                     ? rt::call_method(n.realpath, {os_path.get(), config_file})
                     : Ref::borrow(config_file);

    Ref old_stat;
    if (rt::truthy(rt::call_method(n.exists, {os_path.get(), target.get()}).get())) {
        old_stat = rt::call_method(n.stat, {os, target.get()});
        // A file that may not be written fails here, as writing it in place
        // would, rather than being replaced behind its permissions.
        Ref probe = rt::call(open, {target.get(), t.mode_append});
        rt::call_method(n.close, {probe.get()});
    }

    Ref tmp = temp_name(n, os_path.get(), target.get());
    const long flags = os_flag(os, n.O_WRONLY) | os_flag(os, n.O_CREAT) | os_flag(os, n.O_EXCL);
    Ref flags_obj = rt::integer(flags);
    Ref create_mode = rt::integer(0666);  // narrowed by the umask, as for a new file
    Ref fd = rt::call_method(n.open, {os, tmp.get(), flags_obj.get(), create_mode.get()});

    rt::on_error([&] {
        // An fd that open() did not take over is closed again (quietly).
        Ref f = rt::on_error([&] { return rt::call(open, {fd.get(), t.mode_write}); },
                         [&] { rt::suppress(PyExc_Exception, [&] { rt::call_method(n.close, {os, fd.get()}); }); });
        rt::try_finally(
            [&] {
                rt::call_method(n.write, {f.get(), content});
                rt::call_method(n.flush, {f.get()});
                Ref fileno = rt::call_method(n.fileno, {f.get()});
                rt::call_method(n.fsync, {os, fileno.get()});
            },
            [&] { rt::call_method(n.close, {f.get()}); });

        if (old_stat) {
            // Owner first (best effort): changing it may clear mode bits.
            if (rt::has_attr(os, n.chown)) {
                rt::suppress(PyExc_Exception, [&] {
                    Ref uid = rt::attr(old_stat.get(), n.st_uid);
                    Ref gid = rt::attr(old_stat.get(), n.st_gid);
                    rt::call_method(n.chown, {os, tmp.get(), uid.get(), gid.get()});
                });
            }
            Ref mode = rt::attr(old_stat.get(), n.st_mode);
            Ref mask = rt::integer(07777);
            Ref bits = rt::bit_and(mode.get(), mask.get());
            rt::call_method(n.chmod, {os, tmp.get(), bits.get()});
        }
        rt::call_method(n.replace, {os, tmp.get(), target.get()});
    },
    // The old file is untouched; remove the partial temporary file.
    [&] { rt::suppress(PyExc_Exception, [&] { rt::call_method(n.unlink, {os, tmp.get()}); }); });

    // Make the rename itself durable where the platform allows it.
    rt::suppress(PyExc_Exception, [&] {
        Ref directory = rt::call_method(n.dirname, {os_path.get(), target.get()});
        if (!rt::truthy(directory.get())) directory = rt::attr(os, n.curdir);
        Ref rdonly = rt::attr(os, n.O_RDONLY);
        Ref dir_fd = rt::call_method(n.open, {os, directory.get(), rdonly.get()});
        rt::try_finally([&] { rt::call_method(n.fsync, {os, dir_fd.get()}); },
                        [&] { rt::call_method(n.close, {os, dir_fd.get()}); });
    });
}

// --- get_shell_config_file -----------------------------------------------

Ref get_shell_config_file(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref platform = a.global(n.platform);
    Ref os = a.global(n.os);
    Ref system = rt::call_method(n.system, {platform.get()});
    if (rt::equal(system.get(), t.Windows)) {
        Ref os_path = rt::attr(os.get(), n.path);
        Ref expanded = rt::call_method(n.expandvars, {os_path.get(), t.profile_var});
        if (rt::truthy(expanded.get()) && !rt::contains(expanded.get(), t.dollar)) {
            return rt::tuple({expanded.get(), t.PowerShell});
        }
        return rt::tuple({Py_None, t.unknown});
    }

    Ref environ = rt::attr(os.get(), n.environ);
    Ref shell = rt::mapping_get(environ.get(), n.SHELL, t.empty);
    Ref os_path = rt::attr(os.get(), n.path);
    Ref home = rt::call_method(n.expanduser, {os_path.get(), t.tilde});

    if (rt::contains(shell.get(), t.zsh)) {
        return rt::tuple({path_join(n, os_path.get(), home.get(), t.zshrc).get(), t.zsh});
    }
    if (rt::contains(shell.get(), t.bash)) {
        Ref bashrc = path_join(n, os_path.get(), home.get(), t.bashrc);
        if (rt::truthy(rt::call_method(n.exists, {os_path.get(), bashrc.get()}).get())) {
            return rt::tuple({bashrc.get(), t.bash});
        }
        return rt::tuple({path_join(n, os_path.get(), home.get(), t.bash_profile).get(), t.bash});
    }
    if (rt::contains(shell.get(), t.fish)) {
        Ref config = rt::call_method(n.join, {os_path.get(), home.get(), t.dot_config, t.fish, t.config_fish});
        return rt::tuple({config.get(), t.fish});
    }
    return rt::tuple({path_join(n, os_path.get(), home.get(), t.dot_profile).get(), t.sh});
}

// --- set_java_home_persistent ----------------------------------------------

// Steps after the config file is known; any Exception here becomes the
// "Failed to update" outcome.
Ref update_config(const Args& a, PyObject* java_home, PyObject* config_file, ShellKind kind) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref os = a.global(n.os);
    Ref re = a.global(n.re);
    Ref open = a.global(n.open);
    Ref os_path = rt::attr(os.get(), n.path);

    Ref block = config_block(java_home, kind);

    Ref existing = rt::truthy(rt::call_method(n.exists, {os_path.get(), config_file}).get())
                       ? read_text(a.state<State>(), open.get(), config_file)
                       : Ref::borrow(t.empty);

    Ref content;
    if (rt::contains(existing.get(), t.marker)) {
        // The replacement is the block without its leading line feed,
        // inserted literally: backslashes are doubled for re.sub.
        Ref replacement = Ref::steal(PyUnicode_Substring(block.get(), 1, PyUnicode_GET_LENGTH(block.get())));
        Ref backslash = rt::text("\\");
        Ref doubled = rt::text("\\\\");
        replacement = Ref::steal(PyUnicode_Replace(replacement.get(), backslash.get(), doubled.get(), -1));
        content = rt::call_method(n.sub, {re.get(), t.block_pattern, replacement.get(), existing.get()});
    } else {
        content = rt::add(existing.get(), block.get());
    }

    {
        Ref directory = rt::call_method(n.dirname, {os_path.get(), config_file});
        Ref makedirs = rt::attr(os.get(), n.makedirs);
        rt::call_kw(makedirs.get(), {directory.get(), Py_True}, a.state<State>().exist_ok_kwnames.get());
    }

    write_atomically(a.state<State>(), os.get(), open.get(), config_file, content.get());

    // The running process follows the file only once it was written.
    Ref environ = rt::attr(os.get(), n.environ);
    rt::setitem(environ.get(), n.JAVA_HOME, java_home);
    Ref old_path = rt::mapping_get(environ.get(), n.PATH, t.empty);
    Ref bin = path_join(n, os_path.get(), java_home, t.bin);
    Ref pathsep = rt::attr(os.get(), n.pathsep);
    Ref new_path = rt::add(rt::add(bin.get(), pathsep.get()).get(), old_path.get());
    rt::setitem(environ.get(), n.PATH, new_path.get());

    Ref message = rt::plus("Updated ", config_file, ". Run 'source ", config_file, "' or restart terminal.");
    return outcome(true, message.get());
}

Ref set_java_home_persistent(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* java_home = a[0];
    Ref getter = a.global(n.get_shell_config_file);
    Ref found = rt::call(getter.get());
    auto [config_file, shell_name] = rt::unpack<2>(found.get());

    if (!rt::truthy(config_file.get())) {
        Ref platform = a.global(n.platform);
        Ref system = rt::call_method(n.system, {platform.get()});
        return outcome(false, rt::plus("Could not determine shell config file for ", system).get());
    }

    const ShellKind kind = kind_of(a.state<State>().texts, shell_name.get());
    if (Ref message = refusal(java_home, config_file.get(), shell_name.get(), kind)) {
        return outcome(false, message.get());
    }

    return rt::try_except(
        PyExc_Exception, [&] { return update_config(a, java_home, config_file.get(), kind); },
        [&](PyObject* error) {
            return outcome(false, rt::plus("Failed to update ", config_file, ": ", rt::str_of(error)).get());
        });
}

const Param java_home_params[] = {{"java_home", Check::Str, "str"}};

}  // namespace


const FunctionSpec get_shell_config_file_spec{
    .name = "get_shell_config_file",
    .doc = "Return (config file path, shell name) for the user's shell.\n\n"
           "The path is that of the start-up file the shell reads (it need not\n"
           "exist); (None, 'unknown') on Windows without a usable $PROFILE.",
    .returns = "Tuple[Optional[str], str]",
    .body = get_shell_config_file,
};

const FunctionSpec set_java_home_persistent_spec{
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
