"""Discovering Java installations per platform, de-duplication, the active
mark, newest-first order, and choosing the best installation."""

import glob as real_glob
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

from jvm_fakes import BANNERS, FakeRegistry, ScriptedSubprocess, make_home, platform_named
from strix.compute import jvm_elig as jvm

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
REAL_JDK = "/usr/lib/jvm/java-17-openjdk-amd64"
needs_real_jdk = pytest.mark.skipif(not os.path.isfile(f"{REAL_JDK}/bin/java"), reason="Debian OpenJDK 17 not installed")

JAVA_HOME_V = "/usr/libexec/java_home", "-V"


def inst(path, version, current=False):
    return jvm.JavaInstallation(path, version, f"java {version}", "OpenJDK", current)


@pytest.fixture
def home_dir(tmp_path, monkeypatch):
    """HOME in a scratch directory, so the "~" patterns land there."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.fixture
def no_active_java(tmp_path, monkeypatch):
    bare = tmp_path / "empty-bin"
    bare.mkdir(exist_ok=True)
    monkeypatch.setenv("PATH", str(bare))
    monkeypatch.delenv("JAVA_HOME", raising=False)


# --- the real machine ----------------------------------------------------------


@needs_real_jdk
def test_real_update_alternatives_feeds_linux_discovery():
    listed = subprocess.run(["update-alternatives", "--list", "java"], capture_output=True, text=True).stdout.split()
    homes = [os.path.dirname(os.path.dirname(line)) for line in listed if os.path.exists(line)]
    found = jvm._find_java_linux()
    assert [i.path for i in found[: len(homes)]] == homes
    assert REAL_JDK in homes
    assert all(i.is_current is False for i in found)


@needs_real_jdk
def test_real_jdks_are_found_once_with_the_active_one_marked(monkeypatch):
    monkeypatch.delenv("JAVA_HOME", raising=False)
    found = jvm.find_all_java_installations()
    paths = [os.path.normpath(i.path) for i in found]
    assert len(paths) == len(set(paths))
    assert REAL_JDK in paths
    temurin = "/usr/lib/jvm/temurin-25-jdk-amd64"
    if os.path.isfile(f"{temurin}/bin/java"):
        assert found[0].path == temurin and found[0].version == 25
    current = jvm.get_current_java()
    assert [i.path for i in found if i.is_current] == [current.path]
    assert [i.version for i in found] == sorted((i.version for i in found), reverse=True)

    # Naming the Debian JDK by JAVA_HOME (with a trailing slash) marks that
    # entry only and adds none.
    monkeypatch.setenv("JAVA_HOME", REAL_JDK + "/")
    again = jvm.find_all_java_installations()
    assert len(again) == len(found)
    assert [i.path for i in again if i.is_current] == [REAL_JDK]


@needs_real_jdk
def test_command_result_wins_over_the_same_home_from_a_pattern(monkeypatch):
    produced = []
    original = jvm._find_java_linux

    def recording():
        produced.extend(original())
        return produced

    monkeypatch.setattr(jvm, "_find_java_linux", recording)
    monkeypatch.setattr(jvm, "platform", platform_named("Linux"))
    found = jvm.find_all_java_installations()
    twice = [i for i in produced if i.path == REAL_JDK]
    assert len(twice) == 2  # update-alternatives, then /usr/lib/jvm/java-*-openjdk*
    assert [i for i in found if i.path == REAL_JDK] == [twice[0]]
    assert next(i for i in found if i.path == REAL_JDK) is twice[0]


def test_cli_search_lists_the_machine(monkeypatch):
    completed = subprocess.run([str(MARL), "java", "search"], capture_output=True, text=True)
    found = jvm.find_all_java_installations()
    if not found:
        assert completed.returncode == 1
        return
    assert completed.returncode == 0, completed.stderr
    rows = completed.stdout.splitlines()[1 : 1 + len(found)]
    for row, i in zip(rows, found):
        assert row.startswith("*" if i.is_current else " ")
        assert row.split()[-1] == i.path and str(i.version) in row.split() and i.vendor in row


# --- de-duplication, active mark and order ------------------------------------------


@pytest.fixture
def discovered(monkeypatch):
    """Makes discovery return a given list (on "Linux") and the active Java a given record."""

    def setup(found, current=None):
        monkeypatch.setattr(jvm, "platform", platform_named("Linux"))
        monkeypatch.setattr(jvm, "_find_java_linux", lambda: list(found))
        monkeypatch.setattr(jvm, "get_current_java", lambda: current)

    return setup


def test_duplicates_by_normalised_path_first_wins(discovered, tmp_path):
    real = tmp_path / "jdk"
    link = tmp_path / "link"
    link.symlink_to(real, target_is_directory=True)
    a = inst(str(real), 17)
    same = [inst(str(real) + "/", 17), inst(str(tmp_path) + "//jdk", 17), inst(f"{tmp_path}/x/../jdk", 17)]
    d = inst(str(link), 17)  # links are not resolved
    discovered([a, *same[:2], d, same[2]])
    found = jvm.find_all_java_installations()
    assert [id(i) for i in found] == [id(a), id(d)]
    assert all(i.is_current is False for i in found)


def test_active_home_is_marked_not_added(discovered):
    first, second = inst("/jvm/a", 11), inst("/jvm/b", 17)
    active = inst("/jvm/a/", 11, current=True)
    discovered([first, second], active)
    found = jvm.find_all_java_installations()
    assert found == [second, first] and found[1] is first
    assert (first.is_current, second.is_current) == (True, False)


def test_active_home_outside_discovery_is_appended_after_its_version(discovered):
    older, same = inst("/jvm/a", 11), inst("/jvm/b", 17)
    active = inst("/elsewhere/jdk", 17, current=True)
    discovered([older, same], active)
    assert [i.path for i in jvm.find_all_java_installations()] == ["/jvm/b", "/elsewhere/jdk", "/jvm/a"]


def test_stable_newest_first_order(discovered):
    first17, only21, second17 = inst("/a", 17), inst("/b", 21), inst("/c", 17)
    discovered([first17, only21, second17])
    found = jvm.find_all_java_installations()
    assert [id(i) for i in found] == [id(only21), id(first17), id(second17)]


@pytest.mark.parametrize("system", ["FreeBSD", "", "linux"])
def test_other_platforms_only_list_the_active_java(monkeypatch, system):
    for finder in ("_find_java_macos", "_find_java_linux", "_find_java_windows"):
        monkeypatch.setattr(jvm, finder, lambda: pytest.fail("no discovery on this platform"))
    monkeypatch.setattr(jvm, "platform", platform_named(system))
    active = inst("/opt/jdk", 21, current=True)
    monkeypatch.setattr(jvm, "get_current_java", lambda: active)
    assert jvm.find_all_java_installations() == [active]
    monkeypatch.setattr(jvm, "get_current_java", lambda: None)
    assert jvm.find_all_java_installations() == []


# --- Linux -----------------------------------------------------------------------


def test_linux_sweep_finds_sdkman_homes_without_update_alternatives(monkeypatch, home_dir, no_active_java):
    candidates = home_dir / ".sdkman" / "candidates" / "java"
    make_home(candidates / "21.0.1-amzn", BANNERS["corretto"])
    make_home(candidates / "11.0.21-zulu", BANNERS["zulu"])
    (candidates / "broken").mkdir()
    (candidates / "current").symlink_to(candidates / "21.0.1-amzn")

    def only_under_home(pattern):  # keeps the machine's own JDKs out, in a fixed order
        return sorted(real_glob.glob(pattern)) if pattern.startswith(str(home_dir)) else []

    monkeypatch.setattr(jvm, "glob", types.SimpleNamespace(glob=only_under_home))
    found = jvm._find_java_linux()  # PATH holds no update-alternatives here
    assert [(Path(i.path).name, i.vendor) for i in found] == [
        ("11.0.21-zulu", "Azul Zulu"),
        ("21.0.1-amzn", "Amazon Corretto"),
        ("current", "Amazon Corretto"),
    ]


def test_linux_command_output_is_parsed_line_by_line(monkeypatch, tmp_path):
    zulu = make_home(tmp_path / "zulu-11", BANNERS["zulu"])
    listing = f"\n  {zulu}/bin/java\n{zulu}/bin/java  \n/missing/bin/java\n\n"
    fake = ScriptedSubprocess({("update-alternatives", "--list", "java"): (listing, "")})
    monkeypatch.setattr(jvm, "subprocess", fake)
    monkeypatch.setattr(jvm, "glob", types.SimpleNamespace(glob=lambda p: []))
    found = jvm._find_java_linux()
    # only the whole output is trimmed: "<home>/bin/java  " does not exist
    assert [i.path for i in found] == [str(zulu)]
    assert fake.calls[0] == (["update-alternatives", "--list", "java"], {"capture_output": True, "text": True, "timeout": 10})


def test_patterns_in_order_each_guarded(monkeypatch, home_dir):
    seen = []
    good = make_home(home_dir / "good", BANNERS["temurin"])
    later = make_home(home_dir / "later", BANNERS["zulu"])

    def fake_glob(pattern):
        seen.append(pattern)
        if pattern == "/usr/lib/jvm/jdk-*":
            raise OSError("unreadable directory")
        if pattern == "/usr/lib/jvm/temurin-*":
            return [str(good), "boom", str(later)]
        if pattern == "/opt/java/*":
            return [str(later)]
        return []

    original_check = jvm._check_java_path

    def check(path):
        if path == "boom":
            raise RuntimeError("candidate failed")
        return original_check(path)

    monkeypatch.setattr(jvm, "glob", types.SimpleNamespace(glob=fake_glob))
    monkeypatch.setattr(jvm, "_check_java_path", check)
    missing = ScriptedSubprocess({("update-alternatives", "--list", "java"): FileNotFoundError()})
    monkeypatch.setattr(jvm, "subprocess", missing)
    found = jvm._find_java_linux()
    assert seen == [
        "/usr/lib/jvm/java-*-openjdk*", "/usr/lib/jvm/jdk-*", "/usr/lib/jvm/temurin-*", "/usr/lib/jvm/adoptium-*",
        "/usr/java/jdk*", "/opt/java/*", "/opt/jdk*", f"{home_dir}/.sdkman/candidates/java/*",
    ]
    # "boom" ends its pattern: `later` only comes from /opt/java/*
    assert [i.path for i in found] == [str(good), str(later)]


# --- macOS -----------------------------------------------------------------------


def test_macos_java_home_listing_and_home_patterns(monkeypatch, tmp_path, home_dir):
    temurin = make_home(tmp_path / "temurin-21.jdk" / "Contents" / "Home", BANNERS["corretto"])
    zulu = make_home(tmp_path / "zulu-11.jdk" / "Contents" / "Home", BANNERS["zulu"])
    user_jvms = home_dir / "Library" / "Java" / "JavaVirtualMachines"
    user_jvm = make_home(user_jvms / "graal.jdk" / "Contents" / "Home", BANNERS["graalvm"])
    listing = (
        "Matching Java Virtual Machines (3):\n"
        f'    21.0.1 (arm64) "Eclipse Adoptium" - "OpenJDK 21.0.1" {temurin}\n'
        f'    11.0.21 (x86_64) "Azul Systems, Inc." - "Zulu 11.68.17" {zulu}   \n'
        '    17.0.2 (arm64) "Oracle" - "Java SE 17" /nowhere/jdk-17.jdk/Contents/Home\n'
        f"{temurin}\n"
    )
    fake = ScriptedSubprocess({JAVA_HOME_V: ("", listing)})
    monkeypatch.setattr(jvm, "subprocess", fake)
    found = jvm._find_java_macos()
    assert [i.path for i in found] == [str(temurin), str(zulu), str(temurin), str(user_jvm)]
    assert fake.calls[0] == (list(JAVA_HOME_V), {"capture_output": True, "text": True, "timeout": 10})


@pytest.mark.parametrize("failure", [subprocess.TimeoutExpired(list(JAVA_HOME_V), 10), FileNotFoundError(2, "java_home")])
def test_macos_command_failure_keeps_the_patterns(monkeypatch, home_dir, failure):
    sdk = make_home(home_dir / ".sdkman" / "candidates" / "java" / "17.0.9-tem", BANNERS["temurin"])
    monkeypatch.setattr(jvm, "subprocess", ScriptedSubprocess({JAVA_HOME_V: failure}))
    assert [i.path for i in jvm._find_java_macos()] == [str(sdk)]


def test_macos_discovery_through_find_all(monkeypatch, tmp_path, home_dir, no_active_java):
    jdk = make_home(tmp_path / "jdk" / "Contents" / "Home", BANNERS["temurin"])
    monkeypatch.setattr(jvm, "platform", platform_named("Darwin"))
    listing = f'    17.0.9 (arm64) "Eclipse Adoptium" - "OpenJDK 17.0.9" {jdk}\n'
    monkeypatch.setattr(jvm, "subprocess", ScriptedSubprocess({JAVA_HOME_V: ("", listing)}))
    assert [i.path for i in jvm.find_all_java_installations()] == [str(jdk)]


# --- Windows -----------------------------------------------------------------------

JDK_KEY = r"SOFTWARE\JavaSoft\Java Development Kit"
JDK9_KEY = r"SOFTWARE\JavaSoft\JDK"
ADOPTIUM_KEY = r"SOFTWARE\Eclipse Adoptium\JDK"
ADOPT_KEY = r"SOFTWARE\AdoptOpenJDK\JDK"


@pytest.fixture
def windows(monkeypatch):
    monkeypatch.setattr(jvm, "platform", platform_named("Windows"))

    def install(tree, **options):
        registry = FakeRegistry(tree, **options)
        monkeypatch.setitem(sys.modules, "winreg", registry)
        return registry

    return install


def test_registry_walk_order_and_first_oserror(windows, tmp_path):
    def home(name, banner):
        return str(make_home(tmp_path / name, BANNERS[banner], exe=True))

    oracle8, adoptium17 = home("jre8", "temurin8"), home("t17", "temurin")
    adoptium21, adopt11 = home("t21", "temurin"), home("a11", "adoptopenjdk")
    registry = windows({
        ADOPT_KEY: [("11.0", adopt11)],
        ADOPTIUM_KEY: [("17.0.9.9", adoptium17), ("18.0", None), ("21.0.1.12", adoptium21)],
        JDK_KEY: [("1.8", oracle8), ("1.8.0_391", str(tmp_path / "gone"))],
    })
    found = jvm._find_java_windows()
    assert [i.path for i in found] == [oracle8, adoptium17, adopt11]
    # the subkey without JavaHome ends its vendor key: 21.0.1.12 is never opened
    assert registry.visited == ["1.8", "1.8.0_391", "17.0.9.9", "18.0", "11.0"]


def test_registry_absent_or_denied(windows, monkeypatch):
    monkeypatch.setitem(sys.modules, "winreg", None)  # import fails: step skipped
    assert jvm._find_java_windows() == []
    windows({JDK_KEY: []}, denied=(JDK9_KEY,))
    monkeypatch.setattr(jvm, "get_current_java", lambda: None)
    with pytest.raises(PermissionError):
        jvm.find_all_java_installations()


def test_windows_patterns(windows, monkeypatch, home_dir):
    windows({})
    seen = []
    monkeypatch.setattr(jvm, "glob", types.SimpleNamespace(glob=lambda p: seen.append(p) or []))
    windows_path = types.SimpleNamespace(expanduser=lambda p: p.replace("~", r"C:\Users\ana", 1))
    monkeypatch.setattr(jvm, "os", types.SimpleNamespace(path=windows_path))
    assert jvm._find_java_windows() == []
    assert seen == [
        r"C:\Program Files\Java\jdk*", r"C:\Program Files\Eclipse Adoptium\jdk-*", r"C:\Program Files\OpenJDK\jdk-*",
        r"C:\Program Files\AdoptOpenJDK\jdk-*", r"C:\Program Files\Amazon Corretto\jdk*", r"C:\Program Files\Zulu\zulu-*",
        r"C:\Users\ana\scoop\apps\openjdk*\current", r"C:\Users\ana\scoop\apps\temurin*\current",
    ]


# --- select_best_java ------------------------------------------------------------------


@pytest.fixture
def homes(tmp_path):
    """Valid Java home directories by name (bin/java present, never run)."""

    def make(name):
        return str(make_home(tmp_path / name, "unused"))

    return make


def test_best_is_highest_accepted_valid_home(homes, tmp_path):
    broken = tmp_path / "broken"
    (broken / "bin" / "java").mkdir(parents=True)
    eleven, usr17, good17 = inst(homes("a"), 11), inst("/usr", 17), inst(homes("b"), 17)
    only21, dir17 = inst(homes("c"), 21), inst(str(broken), 17)
    candidates = [eleven, usr17, dir17, good17, only21]
    assert jvm.select_best_java(candidates, [8, 11, 17]) is good17
    assert jvm.select_best_java(candidates, [17.0]) is good17
    assert jvm.select_best_java([only21], [8, 11, 17]) is None
    assert jvm.select_best_java([dir17], [17]) is None


def test_equal_versions_keep_list_order_whatever_is_current(homes):
    a, b = inst(homes("a"), 17), inst(homes("b"), 17, current=True)
    assert jvm.select_best_java([a, b], [17]) is a


def test_empty_inputs_touch_nothing(monkeypatch, homes):
    monkeypatch.setattr(jvm, "_is_valid_java_home", lambda path: pytest.fail("file system touched"))
    assert jvm.select_best_java([], [17]) is None
    assert jvm.select_best_java([inst(homes("a"), 17)], []) is None
    # only accepted versions reach the home test
    assert jvm.select_best_java([inst("/x", 9)], [17]) is None


def test_select_best_java_errors():
    with pytest.raises(TypeError, match=r"^Argument 'installations' has incorrect type \(expected list, got tuple\)$"):
        jvm.select_best_java((), ())
    with pytest.raises(TypeError, match=r"^Argument 'supported_versions' has incorrect type \(expected list, got tuple\)$"):
        jvm.select_best_java([], (17,))
    with pytest.raises(AttributeError):
        jvm.select_best_java([object()], [17])
    with pytest.raises(TypeError, match="Argument 'path'"):
        jvm.select_best_java([types.SimpleNamespace(version=17, path=None)], [17])


def test_selection_does_not_leak(homes, leak_check):
    candidates = [inst(homes("a"), 11), inst("/usr", 17), inst(homes("b"), 17), inst(homes("c"), 21)]
    leak_check(lambda: jvm.select_best_java(candidates, [8, 11, 17]), calls=5000)
