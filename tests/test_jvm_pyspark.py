"""The module surface (tables, records, signatures) and PySpark detection and
compatibility against the installed PySpark and the real or fake Java."""

import dataclasses
import importlib.metadata
import inspect
import os
import subprocess
from pathlib import Path

import pytest

from jvm_fakes import BANNERS, make_home, write_dist_info
from strix.compute import jvm_elig as jvm

ROOT = Path(__file__).resolve().parent.parent
MARL = ROOT / "bin" / "marl"
SET_HINT = " Run 'marl java set' to select a compatible Java version."


# --- module surface ----------------------------------------------------------


def test_compatibility_table():
    assert list(jvm.PYSPARK_JVM_ELIGIBILITY.items()) == [
        ("4.0", {"min": 17, "max": 21, "recommended": 17, "supported": [17, 21]}),
        ("3.5", {"min": 8, "max": 17, "recommended": 17, "supported": [8, 11, 17]}),
        ("3.4", {"min": 8, "max": 17, "recommended": 11, "supported": [8, 11, 17]}),
        ("3.3", {"min": 8, "max": 11, "recommended": 11, "supported": [8, 11]}),
        ("3.2", {"min": 8, "max": 11, "recommended": 11, "supported": [8, 11]}),
        ("3.1", {"min": 8, "max": 11, "recommended": 11, "supported": [8, 11]}),
        ("3.0", {"min": 8, "max": 11, "recommended": 8, "supported": [8, 11]}),
    ]
    assert all(list(row) == ["min", "max", "recommended", "supported"] for row in jvm.PYSPARK_JVM_ELIGIBILITY.values())
    assert jvm.PYSPARK_VERSIONS == [
        ("4.0.1", "4.0", "latest"),
        ("3.5.3", "3.5", "stable"),
        ("3.4.3", "3.4", ""),
        ("3.3.4", "3.3", ""),
        ("3.2.4", "3.2", ""),
    ]


def test_module_attribute_order():
    names = [n for n in vars(jvm) if not n.startswith("__")]
    assert names == [
        "glob", "os", "platform", "re", "subprocess", "dataclass", "Dict", "List", "Optional", "Set", "Tuple",
        "PYSPARK_JVM_ELIGIBILITY", "PYSPARK_VERSIONS", "JavaInstallation", "PySparkInfo",
        "get_java_version", "get_current_java", "_check_java_path", "_find_java_macos", "_find_java_linux",
        "_find_java_windows", "find_all_java_installations", "_is_valid_java_home", "select_best_java",
        "get_pyspark_info", "get_pyspark_versions_for_java", "check_java_pyspark_compatibility",
        "validate_java_for_spark", "detect_spark_cluster_version", "get_shell_config_file",
        "set_java_home_persistent",
    ]


def test_records_are_plain_dataclasses():
    a = jvm.JavaInstallation("/opt/jdk", 17, "openjdk 17", "OpenJDK")
    assert a.is_current is False
    assert a == jvm.JavaInstallation(path="/opt/jdk", version=17, version_string="openjdk 17", vendor="OpenJDK")
    assert repr(a) == "JavaInstallation(path='/opt/jdk', version=17, version_string='openjdk 17', vendor='OpenJDK', is_current=False)"
    with pytest.raises(TypeError):
        hash(a)
    a.is_current = True
    assert a != jvm.JavaInstallation("/opt/jdk", 17, "openjdk 17", "OpenJDK")
    info = jvm.PySparkInfo("3.5.3", "3.5", 8, 17, 17, [8, 11, 17])
    assert repr(info) == "PySparkInfo(version='3.5.3', major_minor='3.5', java_min=8, java_max=17, java_recommended=17, java_supported=[8, 11, 17])"
    with pytest.raises(TypeError):
        jvm.PySparkInfo("3.5.3", "3.5", 8, 17, 17)
    assert [f.name for f in dataclasses.fields(jvm.PySparkInfo)] == [
        "version", "major_minor", "java_min", "java_max", "java_recommended", "java_supported",
    ]
    assert jvm.JavaInstallation.__annotations__ == {
        "path": "str", "version": "int", "version_string": "str", "vendor": "str", "is_current": "bool",
    }
    assert jvm.PySparkInfo.__annotations__["java_supported"] == "List[int]"
    assert jvm.JavaInstallation.__doc__ == "Represents a Java installation found on the system."
    assert jvm.PySparkInfo.__doc__ == "PySpark installation information."


@pytest.mark.parametrize(
    "name, signature",
    [
        ("get_java_version", "(java_bin_path: 'str') -> 'Tuple[Optional[int], Optional[str], Optional[str]]'"),
        ("_check_java_path", "(path: 'str', is_current: 'bool' = False) -> 'Optional[JavaInstallation]'"),
        ("select_best_java", "(installations: 'List[JavaInstallation]', supported_versions: 'List[int]') -> 'Optional[JavaInstallation]'"),
        ("check_java_pyspark_compatibility", "(java_version: 'int', pyspark_major_minor: 'str') -> 'Tuple[bool, str]'"),
    ],
)
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(jvm, name))) == signature


# --- get_pyspark_info ----------------------------------------------------------------


@pytest.fixture
def pyspark_version(tmp_path, monkeypatch):
    """Makes importlib.metadata report `version` for the pyspark distribution."""

    def install(version):
        site = tmp_path / "site"
        write_dist_info(site, version)
        monkeypatch.syspath_prepend(str(site))
        importlib.invalidate_caches()

    return install


def test_real_pyspark_metadata():
    try:
        installed = importlib.metadata.version("pyspark")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("pyspark is not installed")
    info = jvm.get_pyspark_info()
    line = ".".join(installed.split(".")[:2])
    assert (info.version, info.major_minor) == (installed, line)
    row = jvm.PYSPARK_JVM_ELIGIBILITY.get(line)
    if row:
        assert info.java_supported is row["supported"]
    else:
        assert (info.java_min, info.java_max, info.java_recommended, info.java_supported) == (17, 21, 17, [17, 21])


@pytest.mark.parametrize(
    "version, line, requirement",
    [
        ("4.0.1", "4.0", (17, 21, 17, [17, 21])),
        ("3.4.3", "3.4", (8, 17, 11, [8, 11, 17])),
        ("3.5.0rc1", "3.5", (8, 17, 17, [8, 11, 17])),
        ("4.0.0.dev1", "4.0", (17, 21, 17, [17, 21])),
        ("4.1.0", "4.1", (17, 21, 17, [17, 21])),
        ("5", "5", (17, 21, 17, [17, 21])),
    ],
)
def test_pyspark_info_from_distribution_metadata(pyspark_version, version, line, requirement):
    pyspark_version(version)
    info = jvm.get_pyspark_info()
    assert info == jvm.PySparkInfo(version, line, *requirement)
    row = jvm.PYSPARK_JVM_ELIGIBILITY.get(line)
    if row:
        assert info.java_supported is row["supported"]
    else:
        assert info.java_supported is not jvm.get_pyspark_info().java_supported


@pytest.mark.filterwarnings("ignore:Implicit None on return values:DeprecationWarning")
def test_missing_or_unreadable_metadata(pyspark_version, monkeypatch):
    pyspark_version(None)  # a dist-info without a Version field
    assert jvm.get_pyspark_info() is None

    def not_found(name):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "version", not_found)
    assert jvm.get_pyspark_info() is None
    monkeypatch.setattr(jvm, "get_current_java", lambda: pytest.fail("no Java probe without PySpark"))
    assert jvm.validate_java_for_spark() == (False, "PySpark is not installed. Install it with: pip install pyspark")


# --- compatibility -------------------------------------------------------------------


@pytest.mark.parametrize(
    "java, line, expected",
    [
        (21, "3.5", (False, "Java 21 is NOT compatible with PySpark 3.5. Requires Java 8, 11, 17.")),
        (17, "3.3", (False, "Java 17 is NOT compatible with PySpark 3.3. Requires Java 8, 11.")),
        (17, "2.4", (True, "Unknown PySpark version 2.4, assuming compatible")),
        (11, "3.4", (True, "Java 11 is compatible with PySpark 3.4")),
        (9, "3.0", (False, "Java 9 is NOT compatible with PySpark 3.0. Requires Java 8, 11.")),
        (17.9, "4.0", (True, "Java 17 is compatible with PySpark 4.0")),
        (True, "3.0", (False, "Java 1 is NOT compatible with PySpark 3.0. Requires Java 8, 11.")),
    ],
)
def test_check_java_pyspark_compatibility(java, line, expected):
    assert jvm.check_java_pyspark_compatibility(java, line) == expected


@pytest.mark.parametrize(
    "java, lines",
    [
        (8, ["3.5", "3.4", "3.3", "3.2", "3.1", "3.0"]),
        (11, ["3.5", "3.4", "3.3", "3.2", "3.1", "3.0"]),
        (17, ["4.0", "3.5", "3.4"]),
        (17.0, ["4.0", "3.5", "3.4"]),
        (21, ["4.0"]),
        (16, []),
        (25, []),
    ],
)
def test_pyspark_versions_for_java(java, lines):
    assert jvm.get_pyspark_versions_for_java(java) == lines


def test_functions_read_the_table_through_the_module(monkeypatch):
    table = {"3.10": {"supported": [11]}, "3.9": {"supported": [11, 17]}, "4.2": {"supported": [21]}}
    monkeypatch.setattr(jvm, "PYSPARK_JVM_ELIGIBILITY", table)
    assert jvm.get_pyspark_versions_for_java(11) == ["3.9", "3.10"]  # string order
    assert jvm.check_java_pyspark_compatibility(21, "3.5") == (True, "Unknown PySpark version 3.5, assuming compatible")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: jvm.get_pyspark_versions_for_java("17"), "Argument 'java_version' has incorrect type (expected int, got str)"),
        (lambda: jvm.get_pyspark_versions_for_java(None), "Argument 'java_version' has incorrect type (expected int, got NoneType)"),
        (lambda: jvm.check_java_pyspark_compatibility(17, 3.5), "Argument 'pyspark_major_minor' has incorrect type (expected str, got float)"),
        (lambda: jvm.check_java_pyspark_compatibility("17", None), "Argument 'java_version' has incorrect type (expected int, got str)"),
    ],
)
def test_argument_checks(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_pure_functions_do_not_leak(leak_check):
    def calls():
        jvm.check_java_pyspark_compatibility(21, "3.5")
        jvm.check_java_pyspark_compatibility(17.5, "2.4")
        jvm.get_pyspark_versions_for_java(11)
        jvm.get_pyspark_versions_for_java("11")

    leak_check(calls, calls=6250)  # 4 rounds x 4 calls: 100k calls


# --- validate_java_for_spark -------------------------------------------------------------


@pytest.fixture
def active_java(tmp_path, monkeypatch):
    """Makes JAVA_HOME a fake home printing `banner` (None: no Java at all)."""
    bare = tmp_path / "empty-bin"
    bare.mkdir()
    monkeypatch.setenv("PATH", str(bare))

    def activate(banner):
        if banner is None:
            monkeypatch.delenv("JAVA_HOME", raising=False)
        else:
            monkeypatch.setenv("JAVA_HOME", str(make_home(tmp_path / "jdk", banner)))

    return activate


@pytest.mark.parametrize(
    "pyspark, java, expected",
    [
        ("3.5.3", "corretto", (False, "Java 21 is NOT compatible with PySpark 3.5. Requires Java 8, 11, 17." + SET_HINT)),
        ("3.4.3", None, (False, "Java not found. PySpark 3.4.3 requires Java [8, 11, 17]. Run 'marl java search' to find installations.")),
        ("3.5.3", "temurin", (True, "Java 17 is compatible with PySpark 3.5.3")),
        ("4.0.1", "temurin8", (False, "Java 8 is NOT compatible with PySpark 4.0. Requires Java 17, 21." + SET_HINT)),
        # release lines the table lacks: older ones and Javas at or above the
        # assumed minimum are accepted; newer ones reject an older Java
        ("2.4.8", "temurin8", (True, "Java 8 is compatible with PySpark 2.4.8")),
        ("4.1.0", "corretto", (True, "Java 21 is compatible with PySpark 4.1.0")),
        ("4.1.0", "temurin", (True, "Java 17 is compatible with PySpark 4.1.0")),
        ("4.1.0", "temurin8", (False, "Java 8 is NOT compatible with PySpark 4.1. Requires Java 17, 21." + SET_HINT)),
        ("5.0.0", "zulu", (False, "Java 11 is NOT compatible with PySpark 5.0. Requires Java 17, 21." + SET_HINT)),
        ("4.1.0", None, (False, "Java not found. PySpark 4.1.0 requires Java [17, 21]. Run 'marl java search' to find installations.")),
        # unparsable lines keep the table's "assume compatible"
        ("5", "temurin8", (True, "Java 8 is compatible with PySpark 5")),
        ("4.x.1", "temurin8", (True, "Java 8 is compatible with PySpark 4.x.1")),
    ],
)
def test_validate_java_for_spark(pyspark_version, active_java, pyspark, java, expected):
    pyspark_version(pyspark)
    active_java(None if java is None else BANNERS[java])
    assert jvm.validate_java_for_spark() == expected


def test_newer_line_is_judged_against_the_table_in_use(monkeypatch):
    monkeypatch.setattr(jvm, "get_pyspark_info", lambda: jvm.PySparkInfo("4.1.2", "4.1", 17, 21, 17, [17, 21]))
    monkeypatch.setattr(jvm, "get_current_java", lambda: jvm.JavaInstallation("/jdk", 11, "x", "y", True))
    assert jvm.validate_java_for_spark()[0] is False
    # with a table that already knows a newer line, 4.1 is an older line
    monkeypatch.setattr(jvm, "PYSPARK_JVM_ELIGIBILITY", {**jvm.PYSPARK_JVM_ELIGIBILITY, "4.2": {"supported": [21]}})
    assert jvm.validate_java_for_spark() == (True, "Java 11 is compatible with PySpark 4.1.2")


def test_real_java_and_real_pyspark(monkeypatch):
    monkeypatch.delenv("JAVA_HOME", raising=False)
    info, current = jvm.get_pyspark_info(), jvm.get_current_java()
    if info is None or current is None:
        pytest.skip("needs an installed PySpark and an active Java")
    valid, message = jvm.validate_java_for_spark()
    if current.version in info.java_supported or (
        info.major_minor not in jvm.PYSPARK_JVM_ELIGIBILITY and current.version >= info.java_min
    ):
        assert (valid, message) == (True, f"Java {current.version} is compatible with PySpark {info.version}")
    else:
        assert valid is False and message.endswith(SET_HINT)
    completed = subprocess.run([str(MARL), "java", "check"], capture_output=True, text=True, env=os.environ.copy())
    assert (completed.returncode, completed.stdout) == (0 if valid else 1, message + "\n")


def test_cli_check_fails_for_an_incompatible_java(tmp_path, monkeypatch):
    home = make_home(tmp_path / "jdk8", BANNERS["temurin8"])
    site = tmp_path / "site"
    write_dist_info(site, "4.0.1")
    env = {**os.environ, "JAVA_HOME": str(home), "PYTHONPATH": f"{site}:{ROOT / 'host'}"}
    completed = subprocess.run([str(MARL), "java", "check"], capture_output=True, text=True, env=env)
    assert completed.returncode == 1
    assert completed.stdout == "Java 8 is NOT compatible with PySpark 4.0. Requires Java 17, 21." + SET_HINT + "\n"
