"""Probing `java` launchers, the active Java, and the Java-home tests."""

import os
import shutil
import subprocess
import time
import types

import pytest

from jvm_fakes import BANNERS, PICKED_UP, ScriptedSubprocess, alive, make_home, platform_named, write_launcher
from strix.compute import jvm_elig as jvm

REAL_JDK = "/usr/lib/jvm/java-17-openjdk-amd64"
needs_real_jdk = pytest.mark.skipif(not os.path.isfile(f"{REAL_JDK}/bin/java"), reason="Debian OpenJDK 17 not installed")
NONE3 = (None, None, None)


def first_line(banner):
    return banner.split("\n")[0]


# --- get_java_version ------------------------------------------------------


@pytest.mark.parametrize(
    "banner, major, vendor",
    [
        ("temurin", 17, "Eclipse Adoptium"),
        # "adoptopenjdk" holds neither "temurin" nor "adoptium"
        ("adoptopenjdk", 11, "OpenJDK"),
        ("corretto", 21, "Amazon Corretto"),
        ("zulu", 11, "Azul Zulu"),
        ("graalvm", 21, "GraalVM"),
        ("debian", 17, "OpenJDK"),
        ("oracle", 21, "Oracle"),
        # graalvm only counts in OpenJDK output; java(tm) wins outside it
        ("oracle_graalvm", 17, "Oracle"),
        ("ibm", 8, "IBM"),
        # "ibm" only counts outside OpenJDK output
        ("semeru", 17, "OpenJDK"),
        ("temurin8", 8, "Eclipse Adoptium"),
        ("plain1", 1, "Unknown"),
        ("unknown", 19, "Unknown"),
    ],
)
def test_vendor_banners(tmp_path, banner, major, vendor):
    launcher = write_launcher(tmp_path / "java", stderr=BANNERS[banner])
    assert jvm.get_java_version(str(launcher)) == (major, first_line(BANNERS[banner]), vendor)


def test_banner_on_stdout_only_and_error_status(tmp_path):
    on_stdout = write_launcher(tmp_path / "a", stdout=BANNERS["zulu"])
    failing = write_launcher(tmp_path / "b", stderr=BANNERS["corretto"], status=1)
    assert jvm.get_java_version(str(on_stdout)) == (11, first_line(BANNERS["zulu"]), "Azul Zulu")
    assert jvm.get_java_version(str(failing))[0] == 21


def test_notice_ahead_of_banner_keeps_banner_line(tmp_path):
    launcher = write_launcher(tmp_path / "java", stderr=PICKED_UP + BANNERS["temurin"])
    assert jvm.get_java_version(str(launcher)) == (17, first_line(BANNERS["temurin"]), "Eclipse Adoptium")


def test_version_line_is_trimmed_and_cut_at_its_own_end(tmp_path):
    # stderr without a final newline runs straight into stdout
    launcher = write_launcher(tmp_path / "java", stderr="  note\n\t" + 'openjdk version "21" ', stdout="tail\n")
    assert jvm.get_java_version(str(launcher)) == (21, 'openjdk version "21" tail', "OpenJDK")


@pytest.mark.parametrize(
    "kind",
    ["no version", "missing", "not executable", "directory", "undecodable", "empty path", "nul in path"],
)
def test_unusable_launchers_give_nothing(tmp_path, kind):
    if kind == "no version":
        path = write_launcher(tmp_path / "java", stderr="Error: could not create the Java Virtual Machine.\n", status=1)
    elif kind == "missing":
        path = tmp_path / "nowhere" / "java"
    elif kind == "not executable":
        path = write_launcher(tmp_path / "java", stderr=BANNERS["debian"])
        path.chmod(0o644)
    elif kind == "directory":
        path = tmp_path
    elif kind == "undecodable":
        path = write_launcher(tmp_path / "java", body=r"""printf 'openjdk version "17" \377\376\n' >&2""")
    elif kind == "empty path":
        path = ""
    else:
        path = "/usr/bin/ja\0va"
    assert jvm.get_java_version(str(path)) == NONE3


def test_hanging_launcher_is_killed_at_the_time_limit(tmp_path):
    pid_file = tmp_path / "pid"
    launcher = write_launcher(tmp_path / "java", body=f"echo $$ > {pid_file}\nexec sleep 60")
    started = time.monotonic()
    assert jvm.get_java_version(str(launcher)) == NONE3
    elapsed = time.monotonic() - started
    assert 9.5 <= elapsed < 30
    assert not alive(int(pid_file.read_text()))


def test_probe_runs_the_launcher_through_the_module_subprocess(tmp_path, monkeypatch):
    fake = ScriptedSubprocess({("/opt/x/bin/java", "-version"): ("", BANNERS["corretto"])})
    monkeypatch.setattr(jvm, "subprocess", fake)
    assert jvm.get_java_version("/opt/x/bin/java")[2] == "Amazon Corretto"
    assert fake.calls == [(["/opt/x/bin/java", "-version"], {"capture_output": True, "text": True, "timeout": 10})]


@needs_real_jdk
def test_real_openjdk_version():
    completed = subprocess.run([f"{REAL_JDK}/bin/java", "-version"], capture_output=True, text=True)
    expected_line = completed.stderr.split("\n")[0].strip()
    assert jvm.get_java_version(f"{REAL_JDK}/bin/java") == (17, expected_line, "OpenJDK")


# --- _check_java_path --------------------------------------------------------


def test_check_java_path_builds_the_record(tmp_path):
    home = make_home(tmp_path / "jdk-21", BANNERS["corretto"])
    given = str(home) + "/"
    assert jvm._check_java_path(given) == jvm.JavaInstallation(
        given, 21, first_line(BANNERS["corretto"]), "Amazon Corretto", False
    )
    assert jvm._check_java_path(str(home), 1).is_current is True
    assert jvm._check_java_path(str(home), is_current="").is_current is False


def test_check_java_path_fallbacks_come_from_the_module_probe(tmp_path, monkeypatch):
    home = make_home(tmp_path / "jdk", BANNERS["debian"])
    monkeypatch.setattr(jvm, "get_java_version", lambda launcher: (11, "", None))
    assert jvm._check_java_path(str(home)) == jvm.JavaInstallation(str(home), 11, "Java 11", "Unknown")
    monkeypatch.setattr(jvm, "get_java_version", lambda launcher: (None, "x", "y"))
    assert jvm._check_java_path(str(home)) is None


@pytest.mark.parametrize("layout", ["missing", "no launcher", "launcher dir"])
def test_check_java_path_rejects_without_running_anything(tmp_path, monkeypatch, layout):
    home = tmp_path / "jdk"
    if layout != "missing":
        home.mkdir()
    if layout == "launcher dir":
        (home / "bin" / "java").mkdir(parents=True)
    spy = ScriptedSubprocess()
    monkeypatch.setattr(jvm, "subprocess", spy)
    result = jvm._check_java_path(str(home))
    if layout == "launcher dir":
        # exists() is all that is asked; the directory then fails to run
        assert result is None and spy.probes() == [str(home / "bin" / "java")]
    else:
        assert result is None and spy.calls == []


def test_windows_launcher_name(tmp_path, monkeypatch):
    home = make_home(tmp_path / "jdk", BANNERS["temurin"], exe=True)
    assert jvm._check_java_path(str(home)) is None  # no bin/java on this platform
    monkeypatch.setattr(jvm, "platform", platform_named("Windows"))
    assert jvm._check_java_path(str(home)).version == 17
    assert jvm._is_valid_java_home(str(home)) is True


# --- _is_valid_java_home -------------------------------------------------------


@pytest.mark.parametrize("path", ["", "/usr", "/usr/", "/usr/local/", "/usr/local/../local", "/"])
def test_system_prefixes_are_no_java_home(path):
    assert jvm._is_valid_java_home(path) is False


def test_valid_java_home_needs_a_launcher_file(tmp_path):
    good = make_home(tmp_path / "good", BANNERS["debian"])
    (good / "bin" / "java").chmod(0o644)  # the launcher is not run
    linked = tmp_path / "linked"
    (linked / "bin").mkdir(parents=True)
    (linked / "bin" / "java").symlink_to(good / "bin" / "java")
    dir_launcher = tmp_path / "dir"
    (dir_launcher / "bin" / "java").mkdir(parents=True)
    assert jvm._is_valid_java_home(str(good)) is True
    assert jvm._is_valid_java_home(str(linked)) is True
    assert jvm._is_valid_java_home(str(dir_launcher)) is False
    assert jvm._is_valid_java_home(str(tmp_path / "missing")) is False


# --- get_current_java ----------------------------------------------------------


@pytest.fixture
def empty_path(tmp_path, monkeypatch):
    """No java on the PATH and no JAVA_HOME."""
    bare = tmp_path / "empty-bin"
    bare.mkdir()
    monkeypatch.setenv("PATH", str(bare))
    monkeypatch.delenv("JAVA_HOME", raising=False)
    return bare


def test_java_home_wins_and_is_reported_as_set(tmp_path, monkeypatch, empty_path):
    home = make_home(tmp_path / "zulu", BANNERS["zulu"])
    monkeypatch.setenv("JAVA_HOME", str(home) + "/")
    assert jvm.get_current_java() == jvm.JavaInstallation(
        str(home) + "/", 11, first_line(BANNERS["zulu"]), "Azul Zulu", True
    )


@pytest.mark.parametrize("java_home", ["", "missing", "no launcher", "no version"])
def test_path_launcher_is_resolved_to_its_home(tmp_path, monkeypatch, empty_path, java_home):
    home = make_home(tmp_path / "jvm" / "corretto-21", BANNERS["corretto"])
    # /bin/java -> alternatives/java -> <home>/bin/java, as Debian links it
    alternatives = tmp_path / "alternatives"
    alternatives.mkdir()
    (alternatives / "java").symlink_to(home / "bin" / "java")
    (empty_path / "java").symlink_to(alternatives / "java")
    broken = tmp_path / "broken"
    if java_home == "no launcher":
        broken.mkdir()
    elif java_home == "no version":
        make_home(broken, stderr="boom\n")
    monkeypatch.setenv("JAVA_HOME", "" if java_home == "" else str(broken))
    current = jvm.get_current_java()
    assert current == jvm.JavaInstallation(str(home), 21, first_line(BANNERS["corretto"]), "Amazon Corretto", True)


def test_no_java_at_all(empty_path):
    assert jvm.get_current_java() is None


def test_current_java_uses_the_module_os_and_shutil(tmp_path, monkeypatch, empty_path):
    home = make_home(tmp_path / "jdk", BANNERS["temurin"])
    fake_os = types.SimpleNamespace(environ={"JAVA_HOME": str(home)}, path=os.path)
    monkeypatch.setattr(jvm, "os", fake_os)
    assert jvm.get_current_java().path == str(home)
    monkeypatch.setattr(jvm, "os", os)
    monkeypatch.setattr(shutil, "which", lambda name: str(home / "bin" / "java"))
    assert jvm.get_current_java().path == str(home)


@needs_real_jdk
def test_real_active_java(monkeypatch):
    monkeypatch.delenv("JAVA_HOME", raising=False)
    launcher = shutil.which("java")
    if launcher is None:
        pytest.skip("no java on PATH")
    current = jvm.get_current_java()
    assert current.path == os.path.dirname(os.path.dirname(os.path.realpath(launcher)))
    assert current.is_current is True and current.vendor == "OpenJDK"
    monkeypatch.setenv("JAVA_HOME", REAL_JDK)
    assert jvm.get_current_java().path == REAL_JDK


# --- argument checks and leaks -------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: jvm.get_java_version(None), "Argument 'java_bin_path' has incorrect type (expected str, got NoneType)"),
        (lambda: jvm._check_java_path(b"/x"), "Argument 'path' has incorrect type (expected str, got bytes)"),
        (lambda: jvm._is_valid_java_home(7), "Argument 'path' has incorrect type (expected str, got int)"),
    ],
)
def test_argument_checks(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_pure_probe_helpers_do_not_leak(tmp_path, leak_check):
    home = str(make_home(tmp_path / "jdk", BANNERS["debian"]))

    def calls():
        jvm._is_valid_java_home(home)
        jvm._is_valid_java_home("/usr/local/")
        jvm._check_java_path(home + "/nowhere")
        jvm.JavaInstallation(home, 17, "x", "OpenJDK") == jvm.JavaInstallation(home, 17, "x", "OpenJDK")
        try:
            jvm._is_valid_java_home(None)
        except TypeError:
            pass

    leak_check(calls, calls=5000)  # 4 rounds x 5 functions: 100k calls
