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
#include "common.hpp"

#include <cstdio>
#include <random>

namespace jvm {
namespace {

// --- small helpers -----------------------------------------------------------

// a + b with Python's operator semantics
Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }

// os.path.join(a, b)
Ref path_join(const Names& n, PyObject* os_path, PyObject* a, PyObject* b) {
    return rt::call_method(n.join, {os_path, a, b});
}

enum class ShellKind { PowerShell, Fish, Posix };

ShellKind kind_of(const Names& n, PyObject* shell_name) {
    if (rt::equal(shell_name, n.PowerShell)) return ShellKind::PowerShell;
    if (rt::equal(shell_name, n.fish)) return ShellKind::Fish;
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
Ref read_text(const Names& n, PyObject* open, PyObject* path) {
    Ref f = rt::call(open, {path, n.mode_read});
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
    Ref name = Ref::steal(PyUnicode_FromFormat(hidden ? "%S%s" : ".%S%s", base.get(), suffix));
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
void write_atomically(const Names& n, PyObject* os, PyObject* open, PyObject* config_file, PyObject* content) {
    Ref os_path = rt::attr(os, n.path);
    Ref target = rt::truthy(rt::call_method(n.islink, {os_path.get(), config_file}).get())
                     ? rt::call_method(n.realpath, {os_path.get(), config_file})
                     : Ref::borrow(config_file);

    Ref old_stat;
    if (rt::truthy(rt::call_method(n.exists, {os_path.get(), target.get()}).get())) {
        old_stat = rt::call_method(n.stat, {os, target.get()});
        // A file that may not be written fails here, as writing it in place
        // would, rather than being replaced behind its permissions.
        Ref probe = rt::call(open, {target.get(), n.mode_append});
        rt::call_method(n.close, {probe.get()});
    }

    Ref tmp = temp_name(n, os_path.get(), target.get());
    const long flags = os_flag(os, n.O_WRONLY) | os_flag(os, n.O_CREAT) | os_flag(os, n.O_EXCL);
    Ref flags_obj = rt::integer(flags);
    Ref create_mode = rt::integer(0666);  // narrowed by the umask, as for a new file
    Ref fd = rt::call_method(n.open, {os, tmp.get(), flags_obj.get(), create_mode.get()});

    rt::on_error([&] {
        // An fd that open() did not take over is closed again (quietly).
        Ref f = rt::on_error([&] { return rt::call(open, {fd.get(), n.mode_write}); },
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
            Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
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
    const Names& n = names(a);
    Ref platform = a.global(n.platform);
    Ref os = a.global(n.os);
    Ref system = rt::call_method(n.system, {platform.get()});
    if (rt::equal(system.get(), n.Windows)) {
        Ref os_path = rt::attr(os.get(), n.path);
        Ref expanded = rt::call_method(n.expandvars, {os_path.get(), n.profile_var});
        if (rt::truthy(expanded.get()) && !rt::contains(expanded.get(), n.dollar)) {
            return rt::tuple({expanded.get(), n.PowerShell});
        }
        return rt::tuple({Py_None, n.unknown});
    }

    Ref environ = rt::attr(os.get(), n.environ);
    Ref shell = rt::mapping_get(environ.get(), n.SHELL, n.empty);
    Ref os_path = rt::attr(os.get(), n.path);
    Ref home = rt::call_method(n.expanduser, {os_path.get(), n.tilde});

    if (rt::contains(shell.get(), n.zsh)) {
        return rt::tuple({path_join(n, os_path.get(), home.get(), n.zshrc).get(), n.zsh});
    }
    if (rt::contains(shell.get(), n.bash)) {
        Ref bashrc = path_join(n, os_path.get(), home.get(), n.bashrc);
        if (rt::truthy(rt::call_method(n.exists, {os_path.get(), bashrc.get()}).get())) {
            return rt::tuple({bashrc.get(), n.bash});
        }
        return rt::tuple({path_join(n, os_path.get(), home.get(), n.bash_profile).get(), n.bash});
    }
    if (rt::contains(shell.get(), n.fish)) {
        Ref config = rt::call_method(n.join, {os_path.get(), home.get(), n.dot_config, n.fish, n.config_fish});
        return rt::tuple({config.get(), n.fish});
    }
    return rt::tuple({path_join(n, os_path.get(), home.get(), n.dot_profile).get(), n.sh});
}

// --- set_java_home_persistent ----------------------------------------------

// Steps after the config file is known; any Exception here becomes the
// "Failed to update" outcome.
Ref update_config(const Args& a, PyObject* java_home, PyObject* config_file, ShellKind kind) {
    const Names& n = names(a);
    Ref os = a.global(n.os);
    Ref re = a.global(n.re);
    Ref open = a.global(n.open);
    Ref os_path = rt::attr(os.get(), n.path);

    Ref block = config_block(java_home, kind);

    Ref existing = rt::truthy(rt::call_method(n.exists, {os_path.get(), config_file}).get())
                       ? read_text(n, open.get(), config_file)
                       : Ref::borrow(n.empty);

    Ref content;
    if (rt::contains(existing.get(), n.marker)) {
        // The replacement is the block without its leading line feed,
        // inserted literally: backslashes are doubled for re.sub.
        Ref replacement = Ref::steal(PyUnicode_Substring(block.get(), 1, PyUnicode_GET_LENGTH(block.get())));
        Ref backslash = rt::text("\\");
        Ref doubled = rt::text("\\\\");
        replacement = Ref::steal(PyUnicode_Replace(replacement.get(), backslash.get(), doubled.get(), -1));
        content = rt::call_method(n.sub, {re.get(), n.block_pattern, replacement.get(), existing.get()});
    } else {
        content = add(existing.get(), block.get());
    }

    {
        Ref directory = rt::call_method(n.dirname, {os_path.get(), config_file});
        Ref makedirs = rt::attr(os.get(), n.makedirs);
        rt::call_kw(makedirs.get(), {directory.get(), Py_True}, state(a).exist_ok_kwnames);
    }

    write_atomically(n, os.get(), open.get(), config_file, content.get());

    // The running process follows the file only once it was written.
    Ref environ = rt::attr(os.get(), n.environ);
    if (PyObject_SetItem(environ.get(), n.JAVA_HOME, java_home) < 0) rt::raise();
    Ref old_path = rt::mapping_get(environ.get(), n.PATH, n.empty);
    Ref bin = path_join(n, os_path.get(), java_home, n.bin);
    Ref pathsep = rt::attr(os.get(), n.pathsep);
    Ref new_path = add(add(bin.get(), pathsep.get()).get(), old_path.get());
    if (PyObject_SetItem(environ.get(), n.PATH, new_path.get()) < 0) rt::raise();

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
    const Names& n = names(a);
    PyObject* java_home = a[0];
    Ref getter = a.global(n.get_shell_config_file);
    Ref found = rt::call(getter.get());
    auto [config_file, shell_name] = rt::unpack<2>(found.get());

    if (!rt::truthy(config_file.get())) {
        Ref platform = a.global(n.platform);
        Ref system = rt::call_method(n.system, {platform.get()});
        Ref prefix = rt::text("Could not determine shell config file for ");
        return outcome(false, add(prefix.get(), system.get()).get());
    }

    const ShellKind kind = kind_of(n, shell_name.get());
    if (Ref message = refusal(java_home, config_file.get(), shell_name.get(), kind)) {
        return outcome(false, message.get());
    }

    return rt::try_except(
        PyExc_Exception, [&] { return update_config(a, java_home, config_file.get(), kind); },
        [&](PyObject* error) {
            Ref prefix = rt::text("Failed to update ");
            Ref colon = rt::text(": ");
            Ref message = add(prefix.get(), config_file.get());
            message = add(message.get(), colon.get());
            message = add(message.get(), rt::str_of(error).get());
            return outcome(false, message.get());
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
