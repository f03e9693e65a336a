"""Property-based fuzzing of strix.compute.jvm_elig.

Every function is called with arbitrary arguments, and with hostile
collaborators: the module's `subprocess`, `os`, `glob`, `platform` and `re`
globals rebound to fakes whose functions raise any exception or return
objects of the wrong type, hostile compatibility tables and installation
records, a fake `winreg` and a fake `pyspark`. The only acceptable outcomes
are a result of the annotated shape or a Python exception, never a crash or
a SystemError; the functions that catch Exception return their failure value
instead, and only exceptions outside Exception get through them. Discovery,
de-duplication, selection, the PySpark checks and the shell file choice are
compared with the pure-Python versions of the same steps in
bench/pure_jvm_elig.py, call by call.

STRIX_FUZZ_EXAMPLES sets the examples per test (default 500); a larger value
runs a long session.
"""

import contextlib
import importlib.metadata
import os
import random
import re as real_re
import shutil
import subprocess as real_subprocess
import sys
import tempfile
import textwrap
import types
import glob as real_glob
import platform as real_platform
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))

import pure_jvm_elig as pure  # noqa: E402
from fuzzkit import EvilBase, Fatal, Hostile, Items, Text, WorldBase, fuzz_settings, mostly, outcome
from jvm_fakes import BANNERS, PICKED_UP
from strix.compute import jvm_elig as jvm

FUZZ = fuzz_settings(500)

# --- hostile building blocks -----------------------------------------------------------

RAISED = [Hostile, ValueError, TypeError, KeyError, AttributeError, OSError, FileNotFoundError, PermissionError,
          UnicodeError, RecursionError, StopIteration, ImportError, Fatal]
exc_types = st.sampled_from(RAISED)


class Evil(EvilBase):
    """EvilBase with the protocols the Java functions touch."""

    def __iter__(self):
        self._hit("iter")
        return iter(["/evil"])

    def __getitem__(self, key):
        raise self.exc("getitem")

    def __contains__(self, item):
        self._hit("contains")
        return False

    def __str__(self):
        self._hit("str")
        return "evil"

    def __format__(self, format_spec):
        self._hit("format")
        return "evil"

    def __lt__(self, other):
        self._hit("lt")
        return NotImplemented

    def __gt__(self, other):
        self._hit("lt")
        return NotImplemented

    def __int__(self):
        self._hit("int")
        return 17

    def __fspath__(self):
        self._hit("fspath")
        return "/evil"

    def __add__(self, other):
        self._hit("add")
        return NotImplemented

    __radd__ = __add__


MODES = ["bool", "falsy", "eq", "hash", "len", "iter", "contains", "str", "format", "lt", "int", "fspath", "add",
         "ok"]


class Flip:
    """Compares inconsistently: each comparison answers at random (seeded)."""

    def __init__(self, seed):
        self.random = random.Random(seed)

    def __lt__(self, other):
        return self.random.random() < 0.5

    __gt__ = __lt__

    def __repr__(self):
        return "Flip"


class IntRaises:
    def __int__(self):
        raise Hostile("int")


class IntReturnsFloat:
    def __int__(self):
        return 1.5


class IndexOnly:
    def __index__(self):
        return 11


class IndexRaises:
    def __index__(self):
        raise Hostile("index")


class FloatOnly:
    def __float__(self):
        return 17.0


# Arbitrary values, built fresh on each use (some are mutable).
ODD = [lambda: None, lambda: 0, lambda: -1, lambda: 17, lambda: 2**80, lambda: -(2**100), lambda: 10**5000,
       lambda: 17.9, lambda: float("nan"), lambda: float("inf"), lambda: True, lambda: False, lambda: "",
       lambda: "17", lambda: "\ud800", lambda: "a\x00b", lambda: b"bytes", lambda: bytearray(b"x"), lambda: [],
       lambda: [17], lambda: (17,), lambda: {}, lambda: {"k": 1}, lambda: set(), lambda: 3 + 4j,
       lambda: Decimal("17.5"), lambda: Decimal("NaN"), lambda: Fraction(35, 2), lambda: object(),
       lambda: Text("/text"), lambda: Items([17]), lambda: IntRaises(), lambda: IntReturnsFloat(),
       lambda: IndexOnly(), lambda: IndexRaises(), lambda: FloatOnly(), lambda: type("a" * 300, (), {})(),
       lambda: type("\u00e9" * 150, (), {})(), lambda: type("\u2603" * 100, (), {})()]

class World(WorldBase):
    """WorldBase with complex numbers compared by value, inconsistent
    comparers as a value kind, the module's records in canonical form, and
    fake functions that log their calls."""

    ODD = ODD
    SCALARS = (type(None), bool, int, float, complex, str, bytes)
    EVIL = Evil

    def other_value(self, recipe):
        if recipe[0] == "flip":
            return self.tag(Flip(recipe[1]))
        raise AssertionError(recipe)

    def canon_other(self, v, depth):
        t = type(v)
        if t in (jvm.JavaInstallation, jvm.PySparkInfo):
            return (t.__name__, [self.canon(getattr(v, f), depth + 1) for f in t.__dataclass_fields__])
        return ("other", t.__name__)

    def behave(self, recipe, name, real=None):
        """A fake function acting by `recipe`: ("real",), ("raise", exc),
        ("return", value recipe), or ("seq", [recipes]) taken call by call (the
        last one repeats)."""
        calls = [0]

        def fn(*args, **kwargs):
            self.note(name, list(args), sorted(kwargs.items()))
            b = recipe
            if b[0] == "seq":
                b = b[1][min(calls[0], len(b[1]) - 1)] if b[1] else ("real",)
                calls[0] += 1
            if b[0] == "raise":
                raise b[1](name)
            if b[0] == "return":
                return self.value(b[1])
            return real(*args, **kwargs)

        return fn


odd_spec = st.tuples(st.just("odd"), st.integers(0, len(ODD) - 1))
evil_spec = st.tuples(st.just("evil"), st.sampled_from(MODES), exc_types)
value_spec = st.one_of(odd_spec, evil_spec)


def fn_spec(returns=value_spec):
    return mostly(st.just(("real",)), st.one_of(st.tuples(st.just("raise"), exc_types),
                                                st.tuples(st.just("return"), returns)))


class Fake:
    """A module stand-in: the given attributes, everything else from `real`."""

    def __init__(self, real, **attrs):
        self.__dict__.update(attrs)
        self.__dict__["_real"] = real

    def __getattr__(self, name):
        return getattr(self.__dict__["_real"], name)


def assert_same(native, reference, worlds=None, messages=True):
    """Same outcome kind; same exception type (and text) or the same result,
    object for object; and the fakes saw the same calls."""
    (kind_n, v_n), (kind_r, v_r) = native, reference
    assert kind_n == kind_r, (native, reference)
    if kind_n == "raised":
        assert type(v_n) is type(v_r), (v_n, v_r)
        if messages:
            assert str(v_n) == str(v_r)
    elif worlds:
        assert worlds[0].canon(v_n) == worlds[1].canon(v_r)
    if worlds:
        assert worlds[0].log == worlds[1].log


@contextlib.contextmanager
def rebound(**names):
    """Module globals rebound for the duration (as the host may rebind them)."""
    saved = {k: getattr(jvm, k) for k in names}
    for k, v in names.items():
        setattr(jvm, k, v)
    try:
        yield
    finally:
        for k, v in saved.items():
            setattr(jvm, k, v)


@contextlib.contextmanager
def injected_modules(mapping):
    saved = {k: sys.modules.get(k, KeyError) for k in mapping}
    sys.modules.update(mapping)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is KeyError:
                sys.modules.pop(k, None)
            else:
                sys.modules[k] = v


ENV_NAMES = ("HOME", "PATH", "SHELL", "JAVA_HOME", "PROFILE")


@contextlib.contextmanager
def env_guard():
    saved = {k: os.environ.get(k) for k in ENV_NAMES}
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


# --- the machine: scratch HOME, Java homes, no real launchers ---------------------------------

ROOT = os.path.join(tempfile.gettempdir(), f"strix-fuzz-jvm-{os.getpid()}")
HOMES = [os.path.join(ROOT, name) for name in ("jdk-17", "jdk-21", "jdk 11 blank", "jdk-\u00e9")]
NO_LAUNCHER = os.path.join(ROOT, "no-launcher")
LAUNCHER_DIR = os.path.join(ROOT, "launcher-is-dir")
PATHS = HOMES + [HOMES[0] + "/", HOMES[0].replace("/", "//"), os.path.join(HOMES[1], "..", "jdk-21"), NO_LAUNCHER,
                 LAUNCHER_DIR, "/nonexistent/jdk", "", "/", "/usr", "/usr/local/", "rel/jdk", "a\x00b", "\ud800"]
path_text = st.one_of(st.sampled_from(PATHS), st.text(max_size=6))


@pytest.fixture(scope="module", autouse=True)
def scratch_machine():
    """HOME and PATH in scratch directories (the real user's files are never
    touched, and no `java` is found on the PATH); fake Java homes whose
    bin/java is an empty file (probes go to fake subprocess modules)."""
    for home in HOMES:
        os.makedirs(os.path.join(home, "bin"))
        open(os.path.join(home, "bin", "java"), "w").close()
    os.makedirs(NO_LAUNCHER)
    os.makedirs(os.path.join(LAUNCHER_DIR, "bin", "java"))
    home = os.path.join(ROOT, "home")
    empty_bin = os.path.join(ROOT, "empty-bin")
    os.makedirs(home)
    os.makedirs(empty_bin)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("HOME", home)
        mp.setenv("PATH", empty_bin)
        for name in ("SHELL", "JAVA_HOME", "PROFILE"):
            mp.setenv(name, "")
            mp.delenv(name)
        yield
    shutil.rmtree(ROOT, ignore_errors=True)


class Completed:
    """A subprocess.run result whose stdout/stderr are values or raise."""

    def __init__(self, world, stdout, stderr):
        self.__dict__["_streams"] = {"stdout": stdout, "stderr": stderr}
        self.__dict__["_world"] = world

    def __getattr__(self, name):
        if name not in ("stdout", "stderr"):
            raise AttributeError(name)
        kind, v = self._streams[name]
        if kind == "raise":
            raise v(name)
        return self._world.value(v)


def fake_run(world, listing, probe):
    """subprocess.run: `probe` answers `java -version`, `listing` the rest."""

    def run(argv, **kwargs):
        world.note("run", argv, sorted(kwargs.items()))
        recipe = probe if list(argv)[1:] == ["-version"] else listing
        if recipe[0] == "raise":
            raise recipe[1]("run")
        if recipe[0] == "return":
            return world.value(recipe[1])
        return Completed(world, recipe[1], recipe[2])

    return run


def stream(values):
    return st.one_of(st.tuples(st.just("value"), values), st.tuples(st.just("raise"), exc_types))


def run_spec(texts):
    values = st.one_of(texts.map(lambda t: ("lit", t)), value_spec)
    return st.one_of(st.tuples(st.just("result"), stream(values), stream(values)),
                     st.tuples(st.just("raise"), exc_types), st.tuples(st.just("return"), value_spec))


WEIRD_BANNERS = [PICKED_UP + BANNERS["debian"], 'version "\u0663"', 'x version "1.\u0668" y', 'version "0"\n',
                 'version "' + "9" * 5000 + '"', 'VERSION "17"', 'version "17', '\n\n  version "21.0.1"  \n',
                 'java(tm) version "8"\u2028next', 'openjdk IBM version "11"', '\x00version "17"\x00',
                 'version "1"', 'version "1."', 'a\rversion "11"\r\nb', "\ud800 openjdk version \"17\""]
banners = st.one_of(st.sampled_from(list(BANNERS.values()) + WEIRD_BANNERS), st.text(max_size=12))
BENIGN_PROBE = ("result", ("value", ("lit", "")), ("value", ("lit", BANNERS["debian"])))


# --- arbitrary arguments for every function -----------------------------------------------

SIGNATURES = {
    "get_java_version": [("java_bin_path", "str")],
    "get_current_java": [],
    "_check_java_path": [("path", "str"), ("is_current", "bool", False)],
    "_find_java_macos": [],
    "_find_java_linux": [],
    "_find_java_windows": [],
    "find_all_java_installations": [],
    "_is_valid_java_home": [("path", "str")],
    "select_best_java": [("installations", "list"), ("supported_versions", "list")],
    "get_pyspark_info": [],
    "get_pyspark_versions_for_java": [("java_version", "int")],
    "check_java_pyspark_compatibility": [("java_version", "int"), ("pyspark_major_minor", "str")],
    "validate_java_for_spark": [],
    "detect_spark_cluster_version": [("master_url", "str"), ("timeout", "int", 30)],
    "get_shell_config_file": [],
    "set_java_home_persistent": [("java_home", "str")],
}


def python_function(name, params):
    """A Python function with the same name, parameters and defaults: its
    binding errors are the interpreter's own messages."""
    ns = {f"_d{i}": p[2] for i, p in enumerate(params) if len(p) == 3}
    text = ", ".join(p[0] + (f"=_d{i}" if len(p) == 3 else "") for i, p in enumerate(params))
    exec(f"def {name}({text}):\n    return locals()", ns)
    return ns[name]


STUBS = {name: python_function(name, params) for name, params in SIGNATURES.items()}


def shown_type(v):
    return type(v).__name__.encode()[:200].decode("utf-8", "replace")


def expected_entry_error(name, args, kwargs):
    """The exception the call must raise before the body runs, or None."""
    try:
        bound = STUBS[name](*args, **kwargs)
    except TypeError as e:
        return e
    for pname, kind, *_ in SIGNATURES[name]:
        v = bound[pname]
        if kind in ("str", "list"):
            exact = str if kind == "str" else list
            if type(v) is not exact:
                e = TypeError(f"Argument '{pname}' has incorrect type (expected {kind}, got {shown_type(v)})")
                if isinstance(v, exact):
                    e.add_note(f"Subclasses of built-in types are rejected: pass an exact '{kind}' object.")
                return e
        elif kind == "int" and type(v) is not int:
            numeric = not isinstance(v, (str, bytes, bytearray)) and any(
                hasattr(type(v), m) for m in ("__int__", "__index__", "__float__"))
            if not numeric:
                return TypeError(f"Argument '{pname}' has incorrect type (expected int, got {shown_type(v)})")
            try:
                int(v)
            except (Exception, Fatal) as e:
                return e
        elif kind == "bool":
            try:
                bool(v)
            except (Exception, Fatal) as e:
                return e
    return None


class FakeBuilder:
    """pyspark.sql.SparkSession.builder; `world.spark` decides each step."""

    def __init__(self, world):
        self.world = world

    def _step(self, name, *args):
        self.world.note(name, list(args))
        b = self.world.spark["steps"].get(name, ("self",))
        if b[0] == "raise":
            raise b[1](name)
        if b[0] == "return":
            return self.world.value(b[1])
        return self

    def appName(self, *a):
        return self._step("appName", *a)

    def master(self, *a):
        return self._step("master", *a)

    def config(self, *a):
        return self._step("config", *a)

    def getOrCreate(self):
        out = self._step("getOrCreate")
        return FakeSession(self.world) if out is self else out


class FakeSession:
    def __init__(self, world):
        self.world = world
        world.sessions.append(self)
        self.stops = 0

    def __bool__(self):
        how = self.world.spark["session_bool"]
        if how == "raise":
            raise Hostile("bool")
        return how == "true"

    @property
    def version(self):
        kind, v = self.world.spark["version"]
        if kind == "raise":
            raise v("version")
        return self.world.value(v)

    def stop(self):
        self.stops += 1
        b = self.world.spark["stop"]
        if b[0] == "raise":
            raise b[1]("stop")


def fake_pyspark(world):
    pyspark = types.ModuleType("pyspark")
    sql = types.ModuleType("pyspark.sql")
    sql.SparkSession = types.SimpleNamespace(builder=FakeBuilder(world))
    pyspark.sql = sql
    world.sessions = []
    return {"pyspark": pyspark, "pyspark.sql": sql}


BENIGN_SPARK = {"steps": {}, "version": ("value", ("lit", "3.5.3")), "stop": ("ok",), "session_bool": "true"}


@contextlib.contextmanager
def benign_machine():
    """Fakes that answer quickly and sensibly: a `java -version` banner, empty
    listings and wildcard matches, a Spark session that reports 3.5.3."""
    world = World()
    world.spark = BENIGN_SPARK
    empty = ("result", ("value", ("lit", "")), ("value", ("lit", "")))
    with env_guard(), rebound(subprocess=Fake(real_subprocess, run=fake_run(world, empty, BENIGN_PROBE)),
                              glob=Fake(real_glob, glob=lambda pattern: [])), injected_modules(fake_pyspark(world)):
        yield world


VENDORS = {"Eclipse Adoptium", "Amazon Corretto", "Azul Zulu", "GraalVM", "OpenJDK", "Oracle", "IBM", "Unknown"}


def is_triple(v):
    return type(v) is tuple and len(v) == 3 and (
        v == (None, None, None) or (type(v[0]) is int and type(v[1]) is str and v[2] in VENDORS))


def is_installation(v, current=None):
    return type(v) is jvm.JavaInstallation and (current is None or v.is_current is current)


def is_pair(v, first_types=(bool,)):
    return type(v) is tuple and len(v) == 2 and type(v[0]) in first_types and type(v[1]) is str


RESULT_SHAPES = {
    "get_java_version": is_triple,
    "get_current_java": lambda v: v is None or is_installation(v, True),
    "_check_java_path": lambda v: v is None or is_installation(v),
    "_find_java_macos": lambda v: type(v) is list and all(map(is_installation, v)),
    "_find_java_linux": lambda v: type(v) is list and all(map(is_installation, v)),
    "_find_java_windows": lambda v: type(v) is list and all(map(is_installation, v)),
    "find_all_java_installations": lambda v: type(v) is list and all(map(is_installation, v)),
    "_is_valid_java_home": lambda v: type(v) is bool,
    "select_best_java": lambda v: True,  # checked against the arguments below
    "get_pyspark_info": lambda v: v is None or type(v) is jvm.PySparkInfo,
    "get_pyspark_versions_for_java": lambda v: type(v) is list and all(type(x) is str for x in v),
    "check_java_pyspark_compatibility": is_pair,
    "validate_java_for_spark": is_pair,
    "detect_spark_cluster_version": lambda v: v is None or type(v) is str,
    "get_shell_config_file": lambda v: is_pair(v, (str, type(None))),
    "set_java_home_persistent": is_pair,
}
# Bodies that may raise for argument values that pass the entry checks:
# elements without `version`, a java_version beyond int-to-text limits.
MAY_RAISE = {"select_best_java", "check_java_pyspark_compatibility"}

argument = st.one_of(st.integers(0, len(ODD) - 1).map(lambda i: ODD[i]()),
                     st.builds(Evil, st.sampled_from(MODES), exc_types), path_text,
                     st.integers(-(2**70), 2**70), st.floats(), st.lists(st.integers(0, 30), max_size=3))
KEYWORDS = sorted({p[0] for ps in SIGNATURES.values() for p in ps} | {"x", "pathh", "timout", "java_versions"})


@FUZZ
@given(name=st.sampled_from(sorted(SIGNATURES)), args=st.lists(argument, max_size=3),
       kwargs=st.dictionaries(st.sampled_from(KEYWORDS), argument, max_size=2))
def test_arbitrary_arguments(name, args, kwargs):
    expected = expected_entry_error(name, args, kwargs)
    with benign_machine():
        kind, got = outcome(lambda: getattr(jvm, name)(*args, **kwargs))
    if expected is not None:
        assert kind == "raised" and type(got) is type(expected) and str(got) == str(expected), (got, expected)
        assert getattr(got, "__notes__", None) == getattr(expected, "__notes__", None)
    elif kind == "raised":
        assert name in MAY_RAISE, repr(got)
    else:
        assert RESULT_SHAPES[name](got), repr(got)
        if name == "select_best_java":
            bound = STUBS[name](*args, **kwargs)
            assert got is None or any(got is x for x in bound["installations"])


@pytest.mark.parametrize("record", ["JavaInstallation", "PySparkInfo"])
@FUZZ
@given(args=st.lists(argument, max_size=7), kwargs=st.dictionaries(st.sampled_from(
    ["path", "version", "vendor", "is_current", "major_minor", "java_supported", "x"]), argument, max_size=2))
def test_records_behave_as_dataclasses(record, args, kwargs):
    from dataclasses import make_dataclass, field
    native = getattr(jvm, record)
    recipe = [(n, native.__annotations__[n]) + ((field(default=False),) if n == "is_current" else ())
            for n in native.__dataclass_fields__]
    pure = make_dataclass(record, recipe)
    a, b = outcome(lambda: native(*args, **kwargs)), outcome(lambda: pure(*args, **kwargs))
    assert_same(a, b)
    if a[0] == "value":
        assert_same(outcome(lambda: repr(a[1])), outcome(lambda: repr(b[1])))
        assert_same(outcome(lambda: a[1] == native(*args, **kwargs)), outcome(lambda: b[1] == pure(*args, **kwargs)))
        with pytest.raises(TypeError):
            hash(a[1])


@pytest.mark.parametrize("args, kwargs", [((1,), {"path": 2}), ((1, 2), {"x": 3}), ((1, 2, 3), {"path": 4})])
def test_keyword_errors_come_before_surplus_positional_arguments(args, kwargs):
    for name in ("get_current_java", "_check_java_path"):
        expected = expected_entry_error(name, args, kwargs)
        with pytest.raises(TypeError) as info:
            getattr(jvm, name)(*args, **kwargs)
        assert str(info.value) == str(expected)


# --- probing: get_java_version catches everything ---------------------------------------------

match_spec = st.fixed_dictionaries({
    "group": fn_spec(st.one_of(st.sampled_from(["17", "1", "8", "0", "\u0663", "9" * 5000]).map(lambda t: ("lit", t)),
                               value_spec)),
    "start": fn_spec(st.one_of(st.sampled_from([0, 3, -5, 10**30, 2**63]).map(lambda t: ("lit", t)), value_spec)),
})
re_spec = st.one_of(st.none(), st.tuples(st.just("raise"), exc_types), st.tuples(st.just("return"), value_spec),
                    st.tuples(st.just("match"), match_spec))


def fake_re(world, recipe):
    if recipe is None:
        return real_re

    def search(pattern, text, *more):
        world.note("search", pattern, text)
        if recipe[0] == "raise":
            raise recipe[1]("search")
        if recipe[0] == "return":
            return world.value(recipe[1])
        found = real_re.search(pattern, text) if isinstance(text, str) else None
        if found is None:
            return None
        return types.SimpleNamespace(group=world.behave(recipe[1]["group"], "group", found.group),
                                     start=world.behave(recipe[1]["start"], "start", found.start))

    return Fake(real_re, search=search)


def reference_banner(output):
    """(major, banner line, vendor) as the probe reads `output`, or None."""
    found = real_re.search(r'version "(\d+)\.?', output)
    if not found:
        return None
    try:
        major = int(found.group(1))
    except ValueError:  # more digits than int() converts
        return None
    if major == 1:
        old = real_re.search(r'version "1\.(\d+)', output)
        if old:
            major = int(old.group(1))
    # The banner line is the line the version pattern matched in (notices
    # such as "Picked up ..." may come first).
    start = found.start()
    end = output.find("\n", start)
    line = output[output.rfind("\n", 0, start) + 1:end if end >= 0 else len(output)].strip()
    lower = output.lower()
    if "openjdk" in lower:
        vendor = ("Eclipse Adoptium" if "temurin" in lower or "adoptium" in lower else "Amazon Corretto"
                  if "corretto" in lower else "Azul Zulu" if "zulu" in lower else "GraalVM"
                  if "graalvm" in lower else "OpenJDK")
    else:
        vendor = "Oracle" if "java(tm)" in lower or "oracle" in lower else "IBM" if "ibm" in lower else "Unknown"
    return major, line, vendor


@FUZZ
@given(probe=run_spec(banners), re_fake=re_spec, path=path_text)
def test_get_java_version_catches_every_exception(probe, re_fake, path):
    world = World()
    with rebound(subprocess=Fake(real_subprocess, run=fake_run(world, probe, probe)), re=fake_re(world, re_fake)):
        kind, got = outcome(lambda: jvm.get_java_version(path))
    if kind == "raised":
        assert isinstance(got, Fatal), repr(got)
        return
    assert is_triple(got), repr(got)
    assert world.log[0] == world.entry("run", [path, "-version"],
                                       [("capture_output", True), ("text", True), ("timeout", 10)])
    streams = probe[1:] if probe[0] == "result" else ()
    texts_only = all(s[0] == "value" and s[1][0] == "lit" and type(s[1][1]) is str for s in streams)
    if re_fake is None and streams and texts_only:
        expected = reference_banner(streams[1][1][1] + streams[0][1][1])
        assert got == (expected or (None, None, None))


@pytest.mark.parametrize("launcher", ["/usr/bin/java", "/bin/false", "/bin/echo", "/nonexistent/java", ROOT,
                                      "a\x00b", "\ud800", ""])
def test_get_java_version_real_processes(launcher):
    kind, got = outcome(lambda: jvm.get_java_version(launcher))
    assert kind == "value" and is_triple(got)
    if launcher == "/usr/bin/java" and os.path.exists(launcher):
        assert type(got[0]) is int


# --- probing with hostile os / platform / shutil.which ------------------------------------------

os_spec = st.fixed_dictionaries({name: fn_spec() for name in ("exists", "join", "isfile", "normpath", "realpath",
                                                                 "dirname", "expanduser")})
probe_world = st.fixed_dictionaries({
    "os": mostly(st.none(), os_spec),
    "environ_get": mostly(st.none(), fn_spec(st.one_of(st.sampled_from(PATHS).map(lambda p: ("lit", p)),
                                                          value_spec))),
    "system": fn_spec(st.one_of(st.sampled_from(["Linux", "Windows", "Darwin"]).map(lambda s: ("lit", s)),
                                value_spec)),
    "which": mostly(st.none(), fn_spec(st.one_of(st.sampled_from(
        [HOMES[0] + "/bin/java", "/usr/bin/java", "/nonexistent/java", ""]).map(lambda p: ("lit", p)), value_spec))),
    "probe": run_spec(banners),
    "java_home": st.one_of(st.none(), st.sampled_from(HOMES + [NO_LAUNCHER, "/nonexistent"])),
})


@contextlib.contextmanager
def probing_machine(recipe, world):
    real_path = os.path
    path = real_path
    if recipe["os"]:
        path = Fake(real_path, **{n: world.behave(b, n, getattr(real_path, n)) for n, b in recipe["os"].items()})
    environ = os.environ
    if recipe["environ_get"]:
        environ = Fake(os.environ, get=world.behave(recipe["environ_get"], "environ.get", os.environ.get))
    fake_os = Fake(os, path=path, environ=environ)
    which = world.behave(recipe["which"], "which", shutil.which) if recipe["which"] else shutil.which
    with env_guard(), rebound(os=fake_os, platform=Fake(real_platform, system=world.behave(
            recipe["system"], "system", real_platform.system)), subprocess=Fake(real_subprocess, run=fake_run(
                world, recipe["probe"], recipe["probe"]))), pytest.MonkeyPatch.context() as mp:
        mp.setattr(shutil, "which", which)
        if recipe["java_home"]:
            os.environ["JAVA_HOME"] = recipe["java_home"]
        yield


@pytest.mark.filterwarnings("ignore:bool is used as a file descriptor")
@FUZZ
@given(recipe=probe_world, path=path_text, flag=st.one_of(st.booleans(), value_spec))
def test_probe_functions_with_hostile_collaborators(recipe, path, flag):
    world = World()
    is_current = world.value(flag) if isinstance(flag, tuple) else flag
    entry_error = expected_entry_error("_check_java_path", (path, is_current), {})
    with probing_machine(recipe, world):
        checked = outcome(lambda: jvm._check_java_path(path, is_current))
        valid = outcome(lambda: jvm._is_valid_java_home(path))
        current = outcome(lambda: jvm.get_current_java())
    # These catch nothing: any Python exception may leave them, but a result
    # has its documented shape.
    if entry_error is not None:
        assert checked[0] == "raised" and type(checked[1]) is type(entry_error)
    elif checked[0] == "value":
        assert checked[1] is None or (is_installation(checked[1]) and checked[1].path is path
                                      and type(checked[1].is_current) is bool)
    if valid[0] == "value" and not recipe["os"]:
        assert type(valid[1]) is bool
    if current[0] == "value":
        assert current[1] is None or (is_installation(current[1], True))
    if not recipe["os"] and not recipe["environ_get"] and not recipe["which"] and recipe["system"] == ("real",):
        # Ordinary machine, only the launcher output is hostile: nothing raises.
        assert valid[0] == "value"
        assert current[0] == "value" or isinstance(current[1], Fatal)
        assert checked[0] == "value" or isinstance(checked[1], Fatal) or entry_error is not None


# --- discovery, compared with the steps written out in Python ------------------------------------


def reference(name):
    """pure_jvm_elig.<name> run against the native module: the globals it reads that the module
    also has (os, glob, subprocess, platform, re, _check_java_path, get_current_java, the finders,
    the table, ...) are the module's at the time of the call, rebound by a test or not; the pure
    module's own helpers and constants fill in the rest."""
    def run(*args):
        ns = dict(vars(pure))
        ns.update(vars(jvm))
        for key, value in vars(pure).items():
            if isinstance(value, types.FunctionType) and (key == name or key not in vars(jvm)):
                ns[key] = types.FunctionType(value.__code__, ns, key, value.__defaults__, value.__closure__)
        return ns[name](*args)

    run.__name__ = name
    return run


class Registry(types.ModuleType):
    """winreg: vendor keys open, fail or are missing; version subkeys have a
    JavaHome, none, or answer oddly; enumeration ends with an exception."""

    HKEY_LOCAL_MACHINE = "HKLM"

    def __init__(self, recipe, world):
        super().__init__("winreg")
        self.recipe, self.world = recipe, world

    def OpenKey(self, key, sub):
        self.world.note("OpenKey", key, sub)
        if key == "HKLM":
            b = self.recipe["vendors"][pure.REGISTRY_KEYS.index(sub)]
            if b[0] == "raise":
                raise b[1](sub)
            return ("vendor", b[1])
        kind, arg = key[1][int(sub)]
        if kind == "raise_open":
            raise arg(sub)
        return ("version", kind, arg)

    def EnumKey(self, key, index):
        self.world.note("EnumKey", index)
        if index < len(key[1]):
            return str(index)
        raise self.recipe["end"]("no more")

    def QueryValueEx(self, key, name):
        self.world.note("QueryValueEx", name)
        _, kind, arg = key
        if kind == "home":
            return (arg, 1)
        if kind == "no_home":
            raise FileNotFoundError(name)
        if kind == "raise_query":
            raise arg(name)
        return self.world.value(arg)


subkey = st.one_of(st.tuples(st.just("home"), path_text), st.tuples(st.just("no_home"), st.none()),
                   st.tuples(st.sampled_from(["raise_open", "raise_query"]), exc_types),
                   st.tuples(st.just("odd"), value_spec))
registry_spec = st.fixed_dictionaries({
    "vendors": st.lists(st.one_of(st.tuples(st.just("open"), st.lists(subkey, max_size=3)),
                                  st.tuples(st.just("raise"), st.sampled_from(
                                      [FileNotFoundError, FileNotFoundError, PermissionError, Hostile, ImportError]))),
                        min_size=4, max_size=4),
    "end": st.sampled_from([OSError, OSError, FileNotFoundError, Hostile, StopIteration]),
})
mac_line = st.one_of(st.sampled_from(PATHS).map(lambda h: f'    17.0.9 (x86_64) "Vendor" - "OpenJDK 17" {h}'),
                     st.just("Matching Java Virtual Machines (2):"), st.sampled_from(HOMES).map(lambda h: f"\t{h}  "),
                     st.text(max_size=8))
linux_line = st.one_of(st.sampled_from([h + "/bin/java" for h in HOMES] + ["/nonexistent/bin/java", "", "  ",
                                                                             "/usr/bin/java", "a\x00b"]),
                       st.text(max_size=6))
listings = st.one_of(st.lists(mac_line, max_size=4).map("\n".join), st.lists(linux_line, max_size=4).map("\n".join))
glob_result = st.one_of(st.lists(st.one_of(st.sampled_from(PATHS).map(lambda p: ("lit", p)), value_spec),
                                 max_size=3).map(lambda xs: ("list", xs)),
                        st.tuples(st.just("raise"), exc_types), st.tuples(st.just("return"), value_spec))
discovery_world = st.fixed_dictionaries({
    "system": fn_spec(st.sampled_from(["Linux", "Windows", "Darwin"]).map(lambda s: ("lit", s))),
    "listing": run_spec(listings),
    "probe": st.one_of(st.just(BENIGN_PROBE), run_spec(banners)),
    "globs": st.lists(glob_result, max_size=4),
    "check": st.one_of(st.none(), st.lists(fn_spec(st.one_of(value_spec, st.sampled_from(
        [("lit", 0), ("lit", ""), ("lit", "x")]))), min_size=1, max_size=3)),
    "re": re_spec,
    "winreg": st.one_of(st.none(), registry_spec),
    "expanduser": st.one_of(st.none(), fn_spec()),
})


def fake_glob(world, results):
    calls = [0]

    def glob(pattern, *more, **kw):
        world.note("glob", pattern)
        i = calls[0]
        calls[0] += 1
        if i >= len(results):
            return real_glob.glob(pattern)
        kind, arg = results[i]
        if kind == "raise":
            raise arg("glob")
        if kind == "return":
            return world.value(arg)
        return [world.value(x) for x in arg]

    return Fake(real_glob, glob=glob)


@contextlib.contextmanager
def discovery_machine(recipe, world):
    names = {
        "platform": Fake(real_platform, system=world.behave(recipe["system"], "system", real_platform.system)),
        "subprocess": Fake(real_subprocess, run=fake_run(world, recipe["listing"], recipe["probe"])),
        "glob": fake_glob(world, recipe["globs"]),
        "re": fake_re(world, recipe["re"]),
    }
    if recipe["check"]:
        names["_check_java_path"] = world.behave(("seq", recipe["check"]), "_check_java_path", jvm._check_java_path)
    if recipe["expanduser"]:
        names["os"] = Fake(os, path=Fake(os.path, expanduser=world.behave(recipe["expanduser"], "expanduser",
                                                                            os.path.expanduser)))
    modules = {"winreg": Registry(recipe["winreg"], world)} if recipe["winreg"] else {}
    with env_guard(), rebound(**names), injected_modules(modules):
        yield


def compare(recipe, machine, native, reference, messages=True):
    runs = []
    for call in (native, reference):
        world = World()
        with machine(recipe, world):
            runs.append((outcome(call), world))
    (a, wa), (b, wb) = runs
    assert_same(a, b, (wa, wb), messages)
    return a


REFERENCE_FINDERS = {name: reference(name) for name in ("_find_java_macos", "_find_java_linux", "_find_java_windows")}


@FUZZ
@given(finder=st.sampled_from(sorted(REFERENCE_FINDERS)), recipe=discovery_world)
def test_discovery_matches_reference(finder, recipe):
    kind, got = compare(recipe, discovery_machine, getattr(jvm, finder), REFERENCE_FINDERS[finder])
    if kind == "value":
        assert type(got) is list
    elif not (recipe["expanduser"] or (recipe["winreg"] and finder == "_find_java_windows")):
        # Every source is guarded: only a non-Exception gets out.
        assert isinstance(got, Fatal), repr(got)


class Inst:
    """An installation record stand-in whose attributes misbehave."""

    def __init__(self, world, path, version, frozen):
        self.__dict__.update(_world=world, _path=path, _version=version, _frozen=frozen)

    def _read(self, recipe):
        if recipe[0] == "raise":
            raise recipe[1]("attribute")
        return self._world.value(recipe)

    @property
    def path(self):
        return self._read(self._path)

    @property
    def version(self):
        return self._read(self._version)

    def __setattr__(self, name, value):
        if self._frozen:
            raise Hostile("frozen")
        self.__dict__[name] = value


version_spec = mostly(st.sampled_from([8, 11, 17, 17, 21, 9, 0, -1, 2**70, 17.0, 16.5, True]).map(
    lambda v: ("lit", v)), st.one_of(st.tuples(st.just("flip"), st.integers(0, 3)),
                                     st.tuples(st.just("raise"), exc_types),
                                     st.tuples(st.just("lit"), st.sampled_from(["17", None, float("nan")])),
                                     evil_spec, odd_spec), odds=10)
path_spec = mostly(st.sampled_from(PATHS).map(lambda p: ("lit", p)),
                   st.one_of(st.tuples(st.just("raise"), exc_types), value_spec), odds=10)
inst_spec = st.tuples(path_spec, version_spec, mostly(st.just(False), st.just(True), odds=20))
found_spec = mostly(st.tuples(st.sampled_from(["list", "list", "tuple", "generator"]), st.lists(inst_spec, max_size=6)),
                    st.one_of(st.tuples(st.just("raise"), exc_types), st.tuples(st.just("return"), value_spec)))
find_all_world = st.fixed_dictionaries({
    "system": fn_spec(st.sampled_from(["Linux", "Windows", "Darwin", "Plan9"]).map(lambda s: ("lit", s))),
    "current": mostly(st.one_of(st.none(), st.tuples(st.just("inst"), inst_spec)),
                      st.tuples(st.just("raise"), exc_types)),
    "found": found_spec,
})


def build_found(world, recipe):
    kind, arg = recipe
    if kind == "raise":
        raise arg("finder")
    if kind == "return":
        return world.value(arg)
    items = [world.tag(Inst(world, *s)) for s in arg]
    return items if kind == "list" else tuple(items) if kind == "tuple" else (x for x in items)


@contextlib.contextmanager
def find_all_machine(recipe, world):
    def current():
        world.note("get_current_java")
        if recipe["current"] is None:
            return None
        if recipe["current"][0] == "raise":
            raise recipe["current"][1]("current")
        return world.tag(Inst(world, *recipe["current"][1]))

    def finder(name):
        def fn():
            world.note(name)
            return build_found(world, recipe["found"])
        return fn

    with rebound(platform=Fake(real_platform, system=world.behave(recipe["system"], "system", real_platform.system)),
                 get_current_java=current, _find_java_macos=finder("mac"), _find_java_linux=finder("linux"),
                 _find_java_windows=finder("windows")):
        yield


@FUZZ
@given(recipe=find_all_world)
def test_find_all_matches_reference(recipe):
    compare(recipe, find_all_machine, jvm.find_all_java_installations, reference("find_all_java_installations"))


def test_inconsistent_version_comparisons_do_not_crash_sorting():
    """Versions whose comparisons answer at random used to drive the sort
    outside its buffer (a crash); run in a child so a regression fails this
    test instead of killing the session."""
    code = textwrap.dedent("""
        import random
        from types import SimpleNamespace as NS
        from strix.compute import jvm_elig as jvm
        class Flip:
            def __init__(self, seed): self.r = random.Random(seed)
            def __lt__(self, other): return self.r.random() < 0.5
            __gt__ = __lt__
        jvm.get_current_java = lambda: None
        jvm.platform = NS(system=lambda: "Linux")
        for seed in range(3000):
            items = [NS(path=f"/jdk{i}", version=Flip(seed * 100 + i), is_current=False) for i in range(9)]
            jvm._find_java_linux = lambda: list(items)
            got = jvm.find_all_java_installations()
            assert sorted(map(id, got)) == sorted(map(id, items))
    """)
    done = real_subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                               env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == 0, done.stderr[-2000:]


def test_current_path_is_normalised_only_when_compared():
    """An unreadable first record fails before the current path is looked at."""
    with rebound(platform=Fake(real_platform, system=lambda: "Linux"),
                 get_current_java=lambda: types.SimpleNamespace(path=5, version=17),
                 _find_java_linux=lambda: [Inst(None, ("raise", Hostile), ("lit", 17), False)]):
        with pytest.raises(Hostile):
            jvm.find_all_java_installations()


# --- selection ------------------------------------------------------------------------------------


class Mutator:
    """An accepted version whose equality test grows or shrinks the list being walked."""

    def __init__(self, world, target, action, budget=3):
        self.world, self.target, self.action, self.budget = world, target, action, budget

    def __eq__(self, other):
        if self.budget > 0:
            self.budget -= 1
            if self.action == "append":
                self.target.append(self.world.tag(Inst(self.world, ("lit", HOMES[1]), ("lit", 21), False)))
            elif self.target:
                self.target.pop(0)
        return other == 17

    __hash__ = None


select_world = st.fixed_dictionaries({
    "installations": st.lists(mostly(st.tuples(
        mostly(st.sampled_from(HOMES + PATHS).map(lambda p: ("lit", p)), path_spec),
        mostly(st.sampled_from([8, 11, 17, 21]).map(lambda v: ("lit", v)), version_spec),
        st.just(False)).map(lambda s: ("inst", s)), value_spec, odds=8), max_size=6),
    "supported": st.lists(mostly(st.sampled_from([8, 11, 17, 21, 17.0, True, Decimal(17), Fraction(21)]).map(
        lambda v: ("lit", v)), st.one_of(st.tuples(st.just("mutator"), st.sampled_from(["append", "pop"])),
                                         evil_spec), odds=5), min_size=1, max_size=4),
    "valid": st.one_of(st.none(), fn_spec(st.one_of(st.sampled_from([True, False, 0, 1]).map(lambda v: ("lit", v)),
                                                    value_spec))),
})


def build_selection(world, recipe):
    installations = [world.tag(Inst(world, *s[1])) if s[0] == "inst" else world.value(s) for s in
                     recipe["installations"]]
    world.tag(installations)
    supported = [world.tag(Mutator(world, installations, s[1])) if s[0] == "mutator" else world.value(s)
                 for s in recipe["supported"]]
    world.tag(supported)
    return installations, supported


TOTAL_ORDER = (int, float, bool, Decimal, Fraction)


@FUZZ
@given(recipe=select_world)
def test_select_best_java_matches_reference(recipe):
    runs = []
    for select in (jvm.select_best_java, reference("select_best_java")):
        world = World()
        installations, supported = build_selection(world, recipe)
        names = ({"_is_valid_java_home": world.behave(recipe["valid"], "valid", jvm._is_valid_java_home)}
                 if recipe["valid"] else {})
        with rebound(**names):
            runs.append((outcome(lambda: select(installations, supported)), world))
    (a, wa), (b, wb) = runs
    if a[0] == "value":  # None or one of the records (the list may have lost it meanwhile)
        assert a[1] is None or (type(a[1]) is Inst and id(a[1]) in wa.labels)
    versions = [s[1][1] for s in recipe["installations"] if s[0] == "inst"]
    if all(v[0] == "lit" and type(v[1]) in TOTAL_ORDER and v[1] == v[1] for v in versions):
        # A total order of versions: the first of the highest, as sorted() picks.
        assert_same(a, b, (wa, wb), messages=False)


# --- PySpark table checks ------------------------------------------------------------------------


class TableSubclass(dict):
    """A dict subclass whose `get` and `items` act by the world's description."""

    def get(self, key, *default):
        return self._world.behave(self._get, "table.get", super().get)(key, *default)

    def items(self):
        return self._world.behave(self._items, "table.items", super().items)()


row_value = st.one_of(st.lists(st.sampled_from([8, 11, 17, 21, 17.0]).map(lambda v: ("lit", v)), max_size=3).map(
    lambda xs: ("list", xs)), st.tuples(st.just("list"), st.lists(evil_spec, min_size=1, max_size=2)), value_spec)
row_spec = st.one_of(st.dictionaries(st.sampled_from(["min", "max", "recommended", "supported"]), row_value).map(
    lambda d: ("row", d)), value_spec)
table_key = st.one_of(st.sampled_from(["4.0", "3.5", "3.4", "3.0", "9.9", "x", "\ud800", ""]).map(lambda k: ("lit", k)),
                      st.sampled_from([3.5, 4, float("nan"), frozenset({1}), frozenset({2}), (3, 5)]).map(
                          lambda k: ("lit", k)), st.tuples(st.just("flip"), st.integers(0, 3)))
table_spec = st.fixed_dictionaries({
    "kind": st.sampled_from(["dict", "dict", "subclass", "odd"]),
    "rows": st.lists(st.tuples(table_key, row_spec), max_size=5),
    "get": fn_spec(),
    "items": fn_spec(st.one_of(value_spec, st.just(("lit", [("3.5", {"supported": [17]}), ("x",)])))),
    "odd": value_spec,
})


def build_table(world, recipe):
    if recipe["kind"] == "odd":
        return world.value(recipe["odd"])
    table = world.tag(TableSubclass() if recipe["kind"] == "subclass" else {})
    if recipe["kind"] == "subclass":
        table._world, table._get, table._items = world, recipe["get"], recipe["items"]
    for key, row in recipe["rows"]:
        if row[0] == "row":
            value = world.tag({})
            for k, v in row[1].items():
                value[k] = world.tag([world.value(x) for x in v[1]]) if v[0] == "list" else world.value(v)
        else:
            value = world.value(row)
        table[world.value(key)] = value
    return table


class SplitsOddly(str):
    def split(self, *args):
        return self.parts


pyspark_world = st.fixed_dictionaries({
    "table": table_spec,
    "metadata": st.one_of(st.just(("real",)), st.tuples(st.just("raise"), exc_types), st.tuples(
        st.just("return"), st.one_of(st.sampled_from(["3.5.3", "4.0.0.dev1", "3", "", "3.4", "a.b.c", "\ud800.1",
                                                      "3.5\x00", "9.9.9"]).map(lambda v: ("lit", v)), value_spec))),
    "odd_split": st.one_of(st.none(), value_spec),
})


@contextlib.contextmanager
def pyspark_machine(recipe, world):
    """The table rebound; importlib.metadata.version answering by the recipe
    (or with a version text whose split() gives odd parts)."""
    real_version = importlib.metadata.version
    installed = world.behave(recipe["metadata"], "metadata.version", real_version)

    def version(name):
        if recipe["odd_split"] is None:
            return installed(name)
        world.note("metadata.version", name)
        text = world.tag(SplitsOddly("3.5.1"))
        text.parts = world.value(recipe["odd_split"])
        return text

    with rebound(PYSPARK_JVM_ELIGIBILITY=build_table(world, recipe["table"])), pytest.MonkeyPatch.context() as mp:
        mp.setattr(importlib.metadata, "version", version)
        yield


@FUZZ
@given(recipe=pyspark_world, java_version=st.one_of(st.sampled_from([8, 11, 17, 21, 9, 0, -17, 2**70]),
                                                  st.integers()),
       line=st.one_of(st.sampled_from(["4.0", "3.5", "3.0", "9.9", "x", "\ud800", ""]), st.text(max_size=4)))
def test_pyspark_checks_match_reference(recipe, java_version, line):
    compare(recipe, pyspark_machine, lambda: jvm.get_pyspark_versions_for_java(java_version),
            lambda: reference("get_pyspark_versions_for_java")(java_version))
    compare(recipe, pyspark_machine, lambda: jvm.check_java_pyspark_compatibility(java_version, line),
            lambda: reference("check_java_pyspark_compatibility")(java_version, line))
    kind, info = compare(recipe, pyspark_machine, jvm.get_pyspark_info, reference("get_pyspark_info"))
    # Every Exception becomes None.
    assert (kind == "value" and (info is None or type(info) is jvm.PySparkInfo)) or isinstance(info, Fatal)


def test_versions_for_java_sorted_as_sorted_reverse():
    """Release lines that do not compare as a total order come back as
    sorted(..., reverse=True) leaves them."""
    table = {frozenset({1}): {"supported": [17]}, frozenset({2}): {"supported": [17]}}
    with rebound(PYSPARK_JVM_ELIGIBILITY=table):
        assert jvm.get_pyspark_versions_for_java(17) == sorted(table, reverse=True)


info_spec = mostly(
    st.tuples(st.just("info"), st.sampled_from(["3.5.3", "3.4.3", "4.0.1", "2.4.8", "\ud800"]),
              st.sampled_from(["3.5", "3.4", "4.0", "2.4", "3.3", "\ud800"]),
              st.sampled_from([[8, 11, 17], [17, 21], []])),
    st.one_of(st.none(), st.tuples(st.just("raise"), exc_types), value_spec))
java_spec = mostly(st.tuples(st.just("java"), st.sampled_from([8, 11, 17, 21, 9, 8, 11, 17, "17", 17.0, None])),
                   st.one_of(st.none(), st.tuples(st.just("raise"), exc_types), value_spec))
validate_world = st.fixed_dictionaries({
    "info": info_spec, "java": java_spec,
    "check": st.one_of(st.none(), fn_spec(st.one_of(value_spec, st.sampled_from(
        [("lit", (False, "no.")), ("lit", (True, "yes")), ("lit", (0, "zero")), ("lit", (False,)),
         ("lit", (False, 5))])))),
})


@contextlib.contextmanager
def validate_machine(recipe, world):
    def answer(kind_spec, name, make):
        def fn():
            world.note(name)
            if kind_spec is None:
                return None
            if kind_spec[0] == "raise":
                raise kind_spec[1](name)
            if kind_spec[0] in ("info", "java"):
                return world.tag(make(*kind_spec[1:]))
            return world.value(kind_spec)
        return fn

    names = {
        "get_pyspark_info": answer(recipe["info"], "info", lambda v, mm, sup: jvm.PySparkInfo(v, mm, 8, 17, 17, sup)),
        "get_current_java": answer(recipe["java"], "java",
                                   lambda v: jvm.JavaInstallation("/jdk", v, "java", "OpenJDK", True)),
    }
    if recipe["check"]:
        names["check_java_pyspark_compatibility"] = world.behave(recipe["check"], "check",
                                                                 jvm.check_java_pyspark_compatibility)
    with rebound(**names):
        yield


@FUZZ
@given(recipe=validate_world)
def test_validate_java_for_spark(recipe):
    runs = []
    for call in (jvm.validate_java_for_spark, reference("validate_java_for_spark")):
        world = World()
        with validate_machine(recipe, world):
            runs.append((outcome(call), world))
    (a, wa), (b, wb) = runs
    if a[0] == "value":
        assert is_pair(a[1]), repr(a[1])
    # The check's message is formatted rather than added to; a release line
    # newer than the table is held to its assumed minimum: compare the rest.
    check = recipe["check"]
    odd_message = (check and check[0] == "return" and check[1][0] == "lit" and len(check[1][1]) == 2
                   and type(check[1][1][1]) is not str)
    newer_line = recipe["info"] and recipe["info"][0] == "info" and recipe["info"][2] not in jvm.PYSPARK_JVM_ELIGIBILITY
    if not odd_message and not (newer_line and b[0] == "value" and b[1][0] is True):
        assert_same(a, b, (wa, wb))


# --- cluster version through a fake PySpark ---------------------------------------------------------

step = st.one_of(st.just(("self",)), st.tuples(st.just("raise"), exc_types), st.tuples(st.just("return"), value_spec))
spark_world = st.fixed_dictionaries({
    "steps": st.fixed_dictionaries({}, optional={s: step for s in ("appName", "master", "config", "getOrCreate")}),
    "version": stream(st.one_of(st.sampled_from(["3.5.3", "", "\ud800", "4.0.1"]).map(lambda v: ("lit", v)),
                                value_spec)),
    "stop": st.one_of(st.just(("ok",)), st.tuples(st.just("raise"), exc_types)),
    "session_bool": st.sampled_from(["true", "true", "false", "raise"]),
    "missing": st.booleans(),
})


@FUZZ
@given(recipe=spark_world, master=path_text,
       timeout=st.sampled_from([30, 5, 0, -1, 2.9, True, 10**30, Decimal("3.7"), Fraction(7, 2)]))
def test_detect_spark_cluster_version(recipe, master, timeout):
    world = World()
    world.spark = recipe
    modules = {"pyspark": None, "pyspark.sql": None} if recipe["missing"] else fake_pyspark(world)
    with injected_modules(modules):
        kind, got = outcome(lambda: jvm.detect_spark_cluster_version(master, timeout))
    if kind == "raised":
        assert isinstance(got, Fatal), repr(got)
        return
    assert got is None or type(got) is str
    version = recipe["version"]
    if got is not None:
        assert version[0] == "value" and got == world.value(version[1])
    if not recipe["missing"] and timeout in (30, 5) and world.sessions:
        # A session that was created is stopped once (when it is truthy).
        assert [s.stops for s in world.sessions] == [1 if recipe["session_bool"] == "true" else 0]


# --- the shell start-up file ----------------------------------------------------------------------


SHELLS = ["/bin/bash", "/usr/bin/zsh", "/usr/bin/fish", "/bin/sh", "", "/opt/zsh-and-bash"]
odd_text = st.sampled_from(["", "a\x00b", "\ud800", "$HOME", "C:\\Users\\me\\profile.ps1", "x$"]).map(
    lambda t: ("lit", t))
shell_world = st.fixed_dictionaries({
    "system": fn_spec(st.one_of(st.sampled_from(["Linux", "Windows", "Darwin"]).map(lambda s: ("lit", s)),
                                value_spec)),
    "shell": st.one_of(st.none(), st.sampled_from(SHELLS)),
    "profile": st.one_of(st.none(), st.sampled_from(["C:\\Users\\me\\profile.ps1", "", "$OTHER", "/p/$x"])),
    "bashrc": st.booleans(),
    "environ_get": mostly(st.none(), fn_spec(st.one_of(odd_text, value_spec))),
    "path": mostly(st.just({}), st.fixed_dictionaries({}, optional={
        n: fn_spec(st.one_of(odd_text, value_spec)) for n in ("expanduser", "expandvars", "join", "exists")})),
})


@contextlib.contextmanager
def shell_machine(recipe, world):
    home = recipe["home"]
    with env_guard():
        os.environ["HOME"] = home
        for name, value in (("SHELL", recipe["shell"]), ("PROFILE", recipe["profile"])):
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        bashrc = os.path.join(home, ".bashrc")
        if recipe["bashrc"]:
            open(bashrc, "w").close()
        elif os.path.exists(bashrc):
            os.unlink(bashrc)
        path = Fake(os.path, **{n: world.behave(b, n, getattr(os.path, n)) for n, b in recipe["path"].items()})
        environ = os.environ
        if recipe["environ_get"]:
            environ = Fake(os.environ, get=world.behave(recipe["environ_get"], "environ.get", os.environ.get))
        with rebound(os=Fake(os, path=path, environ=environ),
                     platform=Fake(real_platform, system=world.behave(recipe["system"], "system", real_platform.system))):
            yield


@FUZZ
@given(recipe=shell_world)
def test_get_shell_config_file_matches_reference(recipe):
    with tempfile.TemporaryDirectory() as home:
        kind, got = compare(dict(recipe, home=home), shell_machine, jvm.get_shell_config_file,
                            reference("get_shell_config_file"))
    if kind == "value":
        assert type(got) is tuple and len(got) == 2


MARKER = "# MARL Java Configuration"
LINES = {"sh": 'export JAVA_HOME="{}"\nexport PATH="$JAVA_HOME/bin:$PATH"\n',
         "fish": 'set -gx JAVA_HOME "{}"\nset -gx PATH "$JAVA_HOME/bin" $PATH\n'}
STARTS = [None, b"", b"x=1\n", b"x=1", b"a=1\r\nb=2\r\n",
          f"x=1\n\n{MARKER}\nexport JAVA_HOME=\"/old\"\nexport PATH=\"$JAVA_HOME/bin:$PATH\"\n".encode(),
          f"\n{MARKER}\nset -gx JAVA_HOME \"/old\"\nset -gx PATH \"$JAVA_HOME/bin\" $PATH\ntail\n".encode(),
          f"{MARKER}\nonly one line\n".encode(), f"{MARKER}\n\n\n".encode(), b"\xff\xfe not utf-8\n", "dir"]
java_homes = st.one_of(st.sampled_from(HOMES + ["C:\\Program Files\\Java\\jdk-17", '/opt/jdk "q"', "/opt/$HOME/jdk",
                                                "/opt/jdk\n", "/opt/jdk\r", "a\x00b", "\ud800", "/opt/\u201cjdk\u201d",
                                                "`cmd`", "\\\\", "/opt/\u00e9/jdk", ""]), st.text(max_size=10))
persist_hostile = st.one_of(
    st.none(),
    # re.sub failing or giving no text (a text it gives would be written).
    st.tuples(st.just("re.sub"), st.one_of(st.tuples(st.just("raise"), exc_types), st.tuples(
        st.just("return"), st.sampled_from([None, 5, b"bytes", ("x",)]).map(lambda v: ("lit", v))))),
    st.tuples(st.sampled_from(["makedirs", "replace", "fsync", "open", "chmod", "stat"]),
              st.tuples(st.just("raise"), exc_types)),
    st.tuples(st.just("environ.set"), exc_types),
)


class RaisingEnviron:
    """os.environ whose item assignment fails; reads go to the real one."""

    def __init__(self, exc):
        self.exc = exc

    def get(self, *args):
        return os.environ.get(*args)

    def __setitem__(self, key, value):
        raise self.exc(key)


def expected_content(before, java_home, shell):
    text = before.decode().replace("\r\n", "\n").replace("\r", "\n") if before else ""
    block = f"\n{MARKER}\n" + LINES["fish" if shell == "/usr/bin/fish" else "sh"].format(java_home)
    if MARKER in text:
        return real_re.sub(f"{MARKER}\\n[^\\n]+\\n[^\\n]+\\n", lambda m: block[1:], text)
    return text + block


@FUZZ
@given(shell=st.sampled_from(SHELLS), start=st.sampled_from(STARTS), java_home=java_homes, hostile=persist_hostile)
def test_set_java_home_persistent_keeps_the_file_valid(shell, start, java_home, hostile):
    world = World()
    with env_guard(), tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        os.environ["SHELL"] = shell
        config, _ = jvm.get_shell_config_file()
        os.makedirs(os.path.dirname(config), exist_ok=True)
        if start == "dir":
            os.makedirs(config)
        elif start is not None:
            with open(config, "wb") as f:
                f.write(start)
        before_env = (os.environ.get("JAVA_HOME"), os.environ.get("PATH"))
        names = {}
        if hostile and hostile[0] == "re.sub":
            names["re"] = Fake(real_re, sub=world.behave(hostile[1], "sub"))
        elif hostile and hostile[0] == "environ.set":
            names["os"] = Fake(os, environ=RaisingEnviron(hostile[1]))
        elif hostile:
            names["os"] = Fake(os, **{hostile[0]: world.behave(hostile[1], hostile[0])})
        with rebound(**names):
            kind, got = outcome(lambda: jvm.set_java_home_persistent(java_home))
        after = None
        if os.path.isfile(config):
            with open(config, "rb") as f:
                after = f.read()
        leftovers = [n for n in os.listdir(os.path.dirname(config)) if n.endswith(".tmp")]
        env = (os.environ.get("JAVA_HOME"), os.environ.get("PATH"))
    assert not leftovers, leftovers
    if kind == "raised":
        assert isinstance(got, Fatal), repr(got)
    else:
        assert is_pair(got), repr(got)
    if start == "dir":
        assert after is None
    elif after != (start if start is not None else None):
        # Written: exactly the old content with the block added or replaced.
        assert after.decode() == expected_content(start, java_home, shell)
    if kind == "value" and got[0]:
        assert after is not None and env[0] == java_home
        assert env[1] == os.path.join(java_home, "bin") + os.pathsep + before_env[1]
        assert got[1].startswith("Updated ")
    elif kind == "value" and not (hostile and hostile[0] == "environ.set"):
        assert env == before_env


@pytest.mark.parametrize("answer", [
    (None, "unknown"), ("", "sh"), (0, "zsh"), (Evil("bool"), "sh"), (Evil("falsy"), "sh"), ("only one",),
    ("a", "b", "c"), 5, Evil("iter"), iter([None, "sh"]), ("{home}/.profile", Evil("eq")),
    (Text("{home}/.profile"), "PowerShell"), ("{home}/missing-dir/x\x00y", "sh"), ("{home}/.profile", 5),
])
def test_set_java_home_persistent_with_odd_shell_file_answers(answer):
    """get_shell_config_file rebound to answer oddly: a pair result or a
    Python exception, and nothing written outside the scratch HOME."""
    with env_guard(), tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        if isinstance(answer, tuple):
            answer = tuple(type(x)(x.format(home=home)) if isinstance(x, str) else x for x in answer)
        with rebound(get_shell_config_file=lambda: answer):
            kind, got = outcome(lambda: jvm.set_java_home_persistent(HOMES[0]))
        written = sorted(os.listdir(home))
    assert kind == "raised" or is_pair(got), repr(got)
    assert not [n for n in written if n.endswith(".tmp")]
