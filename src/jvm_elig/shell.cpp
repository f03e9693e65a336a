// strix.compute.jvm_elig: the user's shell start-up file and the persistent
// JAVA_HOME block written into it.
//
// The block is three lines after an empty line:
//     <the marker line, JVM_BLOCK_MARKER in jvm_elig.hpp>
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

enum class ShellKind { PowerShell, Fish, Posix };

ShellKind kind_of(const Texts& t, Obj shell_name) {
    if (rt::truthy(rt::eq(shell_name, t.PowerShell))) return ShellKind::PowerShell;
    if (rt::truthy(rt::eq(shell_name, t.fish))) return ShellKind::Fish;
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
Ref refusal(PyObject* java_home, Obj config_file, Obj shell_name, ShellKind kind) {
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
Ref config_block(Obj java_home, ShellKind kind) {
    switch (kind) {
        case ShellKind::PowerShell:
            return rt::fstring("\n" JVM_BLOCK_MARKER "\n$env:JAVA_HOME = \"", java_home,
                               "\"\n$env:PATH = \"$env:JAVA_HOME\\bin;$env:PATH\"\n");
        case ShellKind::Fish:
            return rt::fstring("\n" JVM_BLOCK_MARKER "\nset -gx JAVA_HOME \"", java_home,
                               "\"\nset -gx PATH \"$JAVA_HOME/bin\" $PATH\n");
        case ShellKind::Posix:
            break;
    }
    return rt::fstring("\n" JVM_BLOCK_MARKER "\nexport JAVA_HOME=\"", java_home,
                       "\"\nexport PATH=\"$JAVA_HOME/bin:$PATH\"\n");
}

// The whole content of a text file (mode "r", default encoding).
Ref read_text(const State& st, Obj open, Obj path) {
    const Names& n = st.names;
    Ref f = rt::call(open, {path, st.texts.mode_read});
    return rt::try_finally([&] { return rt::call_method(n.read, {f}); },
                           [&] { rt::call_method(n.close, {f}); });
}

// A name for the temporary file next to `path`'s target.
Ref temp_name(const Args& a, Obj target) {
    const Names& n = a.state<State>().names;
    // A fresh random suffix per call (no engine shared between threads:
    // interpreters with GILs of their own may run here at the same time).
    std::random_device entropy;
    const unsigned long long suffix_bits = (static_cast<unsigned long long>(entropy()) << 32) ^ entropy();
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".marl-%016llx.tmp", suffix_bits);
    Ref directory = path_call(a, n.dirname, {target});
    Ref base = path_call(a, n.basename, {target});
    const bool hidden = PyUnicode_Check(base.get()) && PyUnicode_GET_LENGTH(base.get()) > 0 &&
                        PyUnicode_READ_CHAR(base.get(), 0) == '.';
    Ref name = rt::fstring(hidden ? "" : ".", rt::Str{base}, suffix);
    return path_call(a, n.join, {directory, name});
}

// int attribute `name` of the os module
long os_flag(Obj os, Obj name) {
    Ref v = rt::getattr(os, name);
    long out = PyLong_AsLong(v.get());
    if (out == -1 && PyErr_Occurred()) rt::raise();
    return out;
}

// Replaces the content of `config_file` (or of the file a symbolic link there
// points to) by `content`: written in text mode ("w", default encoding) to a
// temporary file in the same directory, synced, given the old file's
// permission bits and owner, then renamed over the old file.
void write_atomically(const Args& a, Obj os, Obj open, Obj config_file, Obj content) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref target = rt::truthy(path_call(a, n.islink, {config_file}))
                     ? path_call(a, n.realpath, {config_file})
                     : Ref::borrow(config_file);

    Ref old_stat;
    if (rt::truthy(path_call(a, n.exists, {target}))) {
        old_stat = rt::call_method(n.stat, {os, target});
        // A file that may not be written fails here, as writing it in place
        // would, rather than being replaced behind its permissions.
        Ref probe = rt::call(open, {target, t.mode_append});
        rt::call_method(n.close, {probe});
    }

    Ref tmp = temp_name(a, target);
    const long flags = os_flag(os, n.O_WRONLY) | os_flag(os, n.O_CREAT) | os_flag(os, n.O_EXCL);
    Ref flags_obj = rt::integer(flags);
    Ref create_mode = rt::integer(0666);  // narrowed by the umask, as for a new file
    Ref fd = rt::call_method(n.open, {os, tmp, flags_obj, create_mode});

    rt::on_error([&] {
        // An fd that open() did not take over is closed again (quietly).
        Ref f = rt::on_error([&] { return rt::call(open, {fd, t.mode_write}); },
                         [&] { rt::suppress(PyExc_Exception, [&] { rt::call_method(n.close, {os, fd}); }); });
        rt::try_finally(
            [&] {
                rt::call_method(n.write, {f, content});
                rt::call_method(n.flush, {f});
                Ref fileno = rt::call_method(n.fileno, {f});
                rt::call_method(n.fsync, {os, fileno});
            },
            [&] { rt::call_method(n.close, {f}); });

        if (old_stat) {
            // Owner first (best effort): changing it may clear mode bits.
            if (rt::hasattr(os, n.chown)) {
                rt::suppress(PyExc_Exception, [&] {
                    Ref uid = rt::getattr(old_stat, n.st_uid);
                    Ref gid = rt::getattr(old_stat, n.st_gid);
                    rt::call_method(n.chown, {os, tmp, uid, gid});
                });
            }
            Ref mode = rt::getattr(old_stat, n.st_mode);
            Ref mask = rt::integer(07777);
            Ref bits = rt::bit_and(mode, mask);
            rt::call_method(n.chmod, {os, tmp, bits});
        }
        rt::call_method(n.replace, {os, tmp, target});
    },
    // The old file is untouched; remove the partial temporary file.
    [&] { rt::suppress(PyExc_Exception, [&] { rt::call_method(n.unlink, {os, tmp}); }); });

    // Make the rename itself durable where the platform allows it.
    rt::suppress(PyExc_Exception, [&] {
        Ref directory = path_call(a, n.dirname, {target});
        if (!rt::truthy(directory)) directory = rt::getattr(os, n.curdir);
        Ref rdonly = rt::getattr(os, n.O_RDONLY);
        Ref dir_fd = rt::call_method(n.open, {os, directory, rdonly});
        rt::try_finally([&] { rt::call_method(n.fsync, {os, dir_fd}); },
                        [&] { rt::call_method(n.close, {os, dir_fd}); });
    });
}

// --- get_shell_config_file -----------------------------------------------

Ref get_shell_config_file(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref platform = a.global(n.platform);
    Ref os = a.global(n.os);
    Ref system = rt::call_method(n.system, {platform});
    if (rt::truthy(rt::eq(system, t.Windows))) {
        Ref expanded = path_call(a, n.expandvars, {t.profile_var});
        if (rt::truthy(expanded) && !rt::contains(expanded, t.dollar)) {
            return rt::tuple({expanded, t.PowerShell});
        }
        return rt::tuple({Py_None, t.unknown});
    }

    Ref environ = rt::getattr(os, n.environ);
    Ref shell = rt::mapping_get(environ, n.SHELL, t.empty);
    Ref home = path_call(a, n.expanduser, {t.tilde});

    if (rt::contains(shell, t.zsh)) {
        return rt::tuple({path_call(a, n.join, {home, t.zshrc}), t.zsh});
    }
    if (rt::contains(shell, t.bash)) {
        Ref bashrc = path_call(a, n.join, {home, t.bashrc});
        if (rt::truthy(path_call(a, n.exists, {bashrc}))) {
            return rt::tuple({bashrc, t.bash});
        }
        return rt::tuple({path_call(a, n.join, {home, t.bash_profile}), t.bash});
    }
    if (rt::contains(shell, t.fish)) {
        Ref config = path_call(a, n.join, {home, t.dot_config, t.fish, t.config_fish});
        return rt::tuple({config, t.fish});
    }
    return rt::tuple({path_call(a, n.join, {home, t.dot_profile}), t.sh});
}

// --- set_java_home_persistent ----------------------------------------------

// Steps after the config file is known; any Exception here becomes the
// "Failed to update" outcome.
Ref update_config(const Args& a, Obj java_home, Obj config_file, ShellKind kind) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref os = a.global(n.os);
    Ref re = a.global(n.re);
    Ref open = a.global(n.open);

    Ref block = config_block(java_home, kind);

    Ref existing = rt::truthy(path_call(a, n.exists, {config_file}))
                       ? read_text(a.state<State>(), open, config_file)
                       : Ref::borrow(t.empty);

    Ref content;
    if (rt::contains(existing, t.marker)) {
        // The replacement is the block without its leading line feed,
        // inserted literally: backslashes are doubled for re.sub.
        Ref replacement = rt::call_method(n.replace, {rt::getslice(block, 1), t.backslash, t.two_backslashes});
        content = rt::call_method(n.sub, {re, t.block_pattern, replacement, existing});
    } else {
        content = rt::add(existing, block);
    }

    {
        Ref directory = path_call(a, n.dirname, {config_file});
        Ref makedirs = rt::getattr(os, n.makedirs);
        rt::call_kw(makedirs, {directory, Py_True}, a.state<State>().exist_ok_kwnames);
    }

    write_atomically(a, os, open, config_file, content);

    // The running process follows the file only once it was written.
    Ref environ = rt::getattr(os, n.environ);
    rt::setitem(environ, n.JAVA_HOME, java_home);
    Ref old_path = rt::mapping_get(environ, n.PATH, t.empty);
    Ref bin = path_call(a, n.join, {java_home, t.bin});
    Ref pathsep = rt::getattr(os, n.pathsep);
    Ref new_path = rt::add(rt::add(bin, pathsep), old_path);
    rt::setitem(environ, n.PATH, new_path);

    Ref message = rt::plus("Updated ", config_file, ". Run 'source ", config_file, "' or restart terminal.");
    return outcome(true, message);
}

Ref set_java_home_persistent(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* java_home = a[0];
    Ref getter = a.global(n.get_shell_config_file);
    Ref found = rt::call(getter);
    auto [config_file, shell_name] = rt::unpack<2>(found);

    if (!rt::truthy(config_file)) {
        Ref platform = a.global(n.platform);
        Ref system = rt::call_method(n.system, {platform});
        return outcome(false, rt::plus("Could not determine shell config file for ", system));
    }

    const ShellKind kind = kind_of(a.state<State>().texts, shell_name);
    if (Ref message = refusal(java_home, config_file, shell_name, kind)) {
        return outcome(false, message);
    }

    return rt::try_except(
        PyExc_Exception, [&] { return update_config(a, java_home, config_file, kind); },
        [&](Obj error) {
            return outcome(false, rt::plus("Failed to update ", config_file, ": ", rt::str(error)));
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
           "Writes (or replaces) the '" JVM_BLOCK_MARKER "' block in the shell\n"
           "start-up file, then sets JAVA_HOME and prepends its bin directory to\n"
           "PATH in os.environ. Returns (success, message).",
    .params = java_home_params,
    .returns = "Tuple[bool, str]",
    .body = set_java_home_persistent,
};

}  // namespace jvm
