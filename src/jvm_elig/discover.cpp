// Installation discovery (per platform: the system's own Java registry, then
// wildcard paths where distributions and version managers install) and the
// choice of the best installation for a set of accepted Java versions.
#include "jvm_elig.hpp"

namespace jvm {
namespace {

// A pattern of a wildcard sweep; `home` patterns start with "~".
struct Pattern {
    const char* text;
    bool home;
};

const Pattern macos_patterns[] = {
    {"/Library/Java/JavaVirtualMachines/*/Contents/Home", false},
    {"/usr/local/opt/openjdk@*/libexec/openjdk.jdk/Contents/Home", false},
    {"/usr/local/Cellar/openjdk@*/*/libexec/openjdk.jdk/Contents/Home", false},
    {"/opt/homebrew/opt/openjdk@*/libexec/openjdk.jdk/Contents/Home", false},
    {"~/.sdkman/candidates/java/*", true},
    {"~/Library/Java/JavaVirtualMachines/*/Contents/Home", true},
};

const Pattern linux_patterns[] = {
    {"/usr/lib/jvm/java-*-openjdk*", false},
    {"/usr/lib/jvm/jdk-*", false},
    {"/usr/lib/jvm/temurin-*", false},
    {"/usr/lib/jvm/adoptium-*", false},
    {"/usr/java/jdk*", false},
    {"/opt/java/*", false},
    {"/opt/jdk*", false},
    {"~/.sdkman/candidates/java/*", true},
};

const Pattern windows_patterns[] = {
    {R"(C:\Program Files\Java\jdk*)", false},
    {R"(C:\Program Files\Eclipse Adoptium\jdk-*)", false},
    {R"(C:\Program Files\OpenJDK\jdk-*)", false},
    {R"(C:\Program Files\AdoptOpenJDK\jdk-*)", false},
    {R"(C:\Program Files\Amazon Corretto\jdk*)", false},
    {R"(C:\Program Files\Zulu\zulu-*)", false},
    {R"(~\scoop\apps\openjdk*\current)", true},
    {R"(~\scoop\apps\temurin*\current)", true},
};

// Vendor keys under HKEY_LOCAL_MACHINE, one subkey per installed version.
const char* const registry_keys[] = {
    R"(SOFTWARE\JavaSoft\Java Development Kit)",
    R"(SOFTWARE\JavaSoft\JDK)",
    R"(SOFTWARE\Eclipse Adoptium\JDK)",
    R"(SOFTWARE\AdoptOpenJDK\JDK)",
};

// _check_java_path(candidate), appended to `found` when truthy.
void consider(const Args& a, Obj found, Obj candidate) {
    const Names& n = a.state<State>().names;
    Ref check = a.global(n._check_java_path);
    Ref installation = rt::call(check, {candidate});
    if (rt::truthy(installation)) rt::append(found, installation);
}

// The search list of one platform, "~" entries expanded now.
template <size_t N>
Ref search_patterns(const Args& a, const Pattern (&patterns)[N]) {
    const Names& n = a.state<State>().names;
    Ref list = rt::new_list(0);
    for (const Pattern& p : patterns) {
        Ref text = rt::text(p.text);
        if (p.home) text = path_call(a, n.expanduser, {text});
        rt::append(list, text);
    }
    return list;
}

// Checks every match of every pattern in order. A failure ends only the
// pattern it happened in; what was found before stays.
void wildcard_sweep(const Args& a, Obj found, Obj patterns) {
    const Names& n = a.state<State>().names;
    rt::ForEach each_pattern(patterns);
    while (Ref pattern = each_pattern.next()) {
        rt::suppress(PyExc_Exception, [&] {
            Ref glob = a.global(n.glob);
            Ref matches = rt::call_method(n.glob, {glob, pattern});
            rt::ForEach each(matches);
            while (Ref match = each.next()) consider(a, found, match);
        });
    }
}

// subprocess.run([program, *args], ...) for a command that lists JVMs.
Ref run_command(const Args& a, std::initializer_list<const char*> argv) {
    Ref list = rt::new_list(0);
    for (const char* arg : argv) rt::append(list, rt::text(arg));
    return run_captured(a, list);
}

// --- the module's functions ------------------------------------------------

Ref find_java_macos(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref found = rt::new_list(0);
    rt::suppress(PyExc_Exception, [&] {
        Ref result = run_command(a, {"/usr/libexec/java_home", "-V"});
        // The tool lists the JVMs on stderr, each line ending with the home
        // directory (re_trailing_path).
        Ref listing = rt::getattr(result, n.stderr_);
        Ref lines = rt::call_method(n.split, {listing, t.newline});
        Ref re = a.global(n.re);
        Ref group = rt::integer(1);
        rt::ForEach each(lines);
        while (Ref line = each.next()) {
            Ref stripped = rt::call_method(n.strip, {line});
            Ref match = rt::call_method(n.search, {re, t.re_trailing_path, stripped});
            if (!rt::truthy(match)) continue;
            Ref home = rt::call_method(n.group, {match, group});
            consider(a, found, home);
        }
    });
    Ref patterns = search_patterns(a, macos_patterns);
    wildcard_sweep(a, found, patterns);
    return found;
}

Ref find_java_linux(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref found = rt::new_list(0);
    rt::suppress(PyExc_Exception, [&] {
        Ref result = run_command(a, {"update-alternatives", "--list", "java"});
        Ref listing = rt::getattr(result, n.stdout_);
        Ref trimmed = rt::call_method(n.strip, {listing});
        Ref lines = rt::call_method(n.split, {trimmed, t.newline});
        rt::ForEach each(lines);
        while (Ref line = each.next()) {
            if (!rt::truthy(line)) continue;
            if (!rt::truthy(path_call(a, n.exists, {line}))) continue;
            // Each line is a launcher, .../bin/java: its home is two levels up.
            Ref bin_dir = path_call(a, n.dirname, {line});
            Ref home = path_call(a, n.dirname, {bin_dir});
            consider(a, found, home);
        }
    });
    Ref patterns = search_patterns(a, linux_patterns);
    wildcard_sweep(a, found, patterns);
    return found;
}

// Walks the version subkeys of one vendor key until the first OSError (the
// end of the list, or a subkey that cannot be opened or has no JavaHome).
void walk_vendor_key(const Args& a, Obj found, Obj winreg, Obj key) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    for (long long index = 0;; ++index) {
        rt::checkpoint();  // the index is the loop: no iterable to hand to ForEach
        if (!rt::suppress(PyExc_OSError, [&] {
            Ref i = rt::integer(index);
            Ref enum_key = rt::getattr(winreg, n.EnumKey);
            Ref name = rt::call(enum_key, {key, i});
            Ref open_key = rt::getattr(winreg, n.OpenKey);
            Ref version_key = rt::call(open_key, {key, name});
            Ref query = rt::getattr(winreg, n.QueryValueEx);
            Ref value = rt::call(query, {version_key, t.JavaHome});
            auto [java_home, value_type] = rt::unpack<2>(value);
            consider(a, found, java_home);
        }))
            return;
    }
}

Ref find_java_windows(const Args& a) {
    const Names& n = a.state<State>().names;
    Ref found = rt::new_list(0);
    rt::suppress(PyExc_ImportError, [&] {  // no registry on this platform
        Ref winreg = rt::import_in_function(a.globals(), "winreg");
        Ref reg_paths = rt::new_list(0);
        for (const char* subkey : registry_keys) {
            Ref hkey = rt::getattr(winreg, n.HKEY_LOCAL_MACHINE);
            Ref name = rt::text(subkey);
            Ref pair = rt::tuple({hkey, name});
            rt::append(reg_paths, pair);
        }
        rt::ForEach each(reg_paths);
        while (Ref pair = each.next()) {
            auto [hkey, subkey] = rt::unpack<2>(pair);
            Ref open_key = rt::getattr(winreg, n.OpenKey);
            Ref key;
            if (!rt::suppress(PyExc_FileNotFoundError, [&] {  // vendor not installed; a denied access propagates
                key = rt::call(open_key, {hkey, subkey});
            }))
                continue;
            walk_vendor_key(a, found, winreg, key);
        }
    });
    Ref patterns = search_patterns(a, windows_patterns);
    wildcard_sweep(a, found, patterns);
    return found;
}

// sorted(items, key=lambda i: i.version, reverse=True), done by the list's
// own sort: its comparisons stay safe when a version compares inconsistently
// (a hostile __lt__), and equal versions keep their order.
Ref sorted_newest_first(const State& st, Obj items) { return rt::sorted(items, st.version_key, true); }

Ref find_all_java_installations(const Args& a) {
    const Names& n = a.state<State>().names;
    const Texts& t = a.state<State>().texts;
    Ref platform = a.global(n.platform);
    Ref system = rt::call_method(n.system, {platform});

    Ref get_current = a.global(n.get_current_java);
    Ref current = rt::call(get_current);
    const bool have_current = rt::truthy(current);
    Ref current_path = have_current ? rt::getattr(current, n.path) : Ref::none();

    Ref discovered;
    PyObject* finder = nullptr;
    if (rt::truthy(rt::eq(system, t.Darwin))) finder = n._find_java_macos;
    else if (rt::truthy(rt::eq(system, t.Linux))) finder = n._find_java_linux;
    else if (rt::truthy(rt::eq(system, t.Windows))) finder = n._find_java_windows;
    if (finder != nullptr) {
        Ref fn = a.global(finder);
        discovered = rt::call(fn);
    } else {
        discovered = rt::new_list(0);
    }

    // The same home reached twice (two sources, a trailing or doubled
    // separator) is listed once, as first found. Links are not resolved: a
    // link to an installation is an installation of its own.
    Ref seen_paths = rt::new_set();
    Ref unique = rt::new_list(0);
    Ref current_key;  // normpath of the current path, once it is first needed
    rt::ForEach each(discovered);
    while (Ref installation = each.next()) {
        Ref path = rt::getattr(installation, n.path);
        Ref key = path_call(a, n.normpath, {path});
        if (rt::contains(seen_paths, key)) continue;
        rt::set_add(seen_paths, key);
        Ref is_current = Ref::boolean(false);
        if (rt::truthy(current_path)) {
            if (!current_key) current_key = path_call(a, n.normpath, {current_path});
            is_current = rt::eq(key, current_key);
        }
        rt::setattr(installation, n.is_current, is_current);
        rt::append(unique, installation);
    }

    // The active Java may live where no discovery source looks.
    if (have_current) {
        Ref path = rt::getattr(current, n.path);
        Ref key = path_call(a, n.normpath, {path});
        if (!rt::contains(seen_paths, key)) rt::append(unique, current);
    }
    return sorted_newest_first(a.state<State>(), unique);
}

Ref select_best_java(const Args& a) {
    const Names& n = a.state<State>().names;
    PyObject* installations = a[0];
    PyObject* supported_versions = a[1];
    if (PyList_GET_SIZE(installations) == 0 || PyList_GET_SIZE(supported_versions) == 0) return Ref::none();

    // The first installation of the highest accepted version whose directory
    // is a proper Java home; the active flag plays no part.
    Ref best;
    Ref best_version;
    rt::ForEach each(installations);
    while (Ref installation = each.next()) {
        Ref version = rt::getattr(installation, n.version);
        if (!rt::contains(supported_versions, version)) continue;
        Ref path = rt::getattr(installation, n.path);
        Ref is_valid = a.global(n._is_valid_java_home);
        if (!rt::truthy(rt::call(is_valid, {path}))) continue;
        if (best && !rt::truthy(rt::lt(best_version, version))) continue;
        best = std::move(installation);
        best_version = std::move(version);
    }
    return best ? std::move(best) : Ref::none();
}

const Param select_params[] = {
    {"installations", Check::List, "List[JavaInstallation]"},
    {"supported_versions", Check::List, "List[int]"},
};

}  // namespace

const FunctionSpec find_java_macos_spec{
    .name = "_find_java_macos",
    .doc = "Java installations that /usr/libexec/java_home and the usual macOS\n"
           "install locations yield, in discovery order.",
    .returns = "List[JavaInstallation]",
    .body = find_java_macos};

const FunctionSpec find_java_linux_spec{
    .name = "_find_java_linux",
    .doc = "Java installations that update-alternatives and the usual Linux\n"
           "install locations yield, in discovery order.",
    .returns = "List[JavaInstallation]",
    .body = find_java_linux};

const FunctionSpec find_java_windows_spec{
    .name = "_find_java_windows",
    .doc = "Java installations that the Windows registry and the usual install\n"
           "locations yield, in discovery order.",
    .returns = "List[JavaInstallation]",
    .body = find_java_windows};

const FunctionSpec find_all_java_installations_spec{
    .name = "find_all_java_installations",
    .doc = "All Java installations of this machine, without duplicates, the active\n"
           "one marked, newest first.",
    .returns = "List[JavaInstallation]",
    .body = find_all_java_installations};

const FunctionSpec select_best_java_spec{
    .name = "select_best_java",
    .doc = "The installation with the highest accepted version whose directory is a\n"
           "proper Java home, or None.",
    .params = select_params,
    .returns = "Optional[JavaInstallation]",
    .body = select_best_java};

}  // namespace jvm
