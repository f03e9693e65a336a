"""The built extension modules need only the C library and export only their
init function; the release artifacts in dist/ (scripts/wheel.sh) carry the
manylinux tag they claim, the stubs and the package metadata."""

import importlib
import os
import re
import shutil
import subprocess
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

from conftest import MODULES, ROOT

# glibc's own libraries: an old glibc keeps threads and dlopen apart from libc.
ALLOWED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2"}
# The oldest glibc the release wheel's tag promises to run on.
MANYLINUX_GLIBC = (2, 17)
DIST = Path(ROOT) / "dist"

pytestmark = pytest.mark.skipif(
    os.environ.get("STRIX_SANITIZED") == "1" or shutil.which("readelf") is None,
    reason="sanitizer builds link their runtimes; readelf is needed",
)


def readelf(*args):
    return subprocess.run(["readelf", "-W", *map(str, args)], capture_output=True, text=True, check=True).stdout


def check_linking(path, init):
    dynamic = readelf("-d", path)
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    assert needed, dynamic
    assert {lib for lib in needed if not lib.startswith("ld-linux")} <= ALLOWED, needed
    assert not any("python" in lib for lib in needed)

    symbols = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    exported = {line.split()[-1] for line in symbols if line.strip()}
    assert exported == {init}


def required_versions(path):
    """Symbol versions the library needs, e.g. {"GLIBC_2.14", ...}."""
    return set(re.findall(r"Name: (\S+)", readelf("-V", path).split(".gnu.version_r", 1)[-1]))


@pytest.mark.parametrize("name", MODULES)
def test_module_needs_only_the_c_library(name):
    check_linking(importlib.import_module(name).__file__, "PyInit_" + name.rsplit(".", 1)[1])


def release_wheels():
    return sorted(DIST.glob("strix_marl_native-*.whl"))


def cli_wheels():
    return sorted(DIST.glob("strix_marl-*-py3-none-any.whl"))


def project_version():
    with open(Path(ROOT) / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]["version"]


@pytest.mark.skipif(not release_wheels(), reason="no release wheel in dist/ (scripts/wheel.sh builds one)")
def test_release_wheel(tmp_path):
    [wheel] = release_wheels()
    version = project_version()
    assert wheel.name == f"strix_marl_native-{version}-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    with zipfile.ZipFile(wheel) as z:
        z.extractall(tmp_path)
        names = set(z.namelist())
    for name in MODULES:
        package, module = name.rsplit(".", 1)
        folder = tmp_path.joinpath(*package.split("."))
        [library] = folder.glob(f"{module}.cpython-313-x86_64-linux-gnu.so")
        check_linking(library, "PyInit_" + module)
        versions = required_versions(library)
        glibc = {tuple(map(int, v.split("_", 1)[1].split("."))) for v in versions if v.startswith("GLIBC_")}
        assert glibc and max(glibc) <= MANYLINUX_GLIBC, sorted(versions)
        # libstdc++ and libgcc are linked in, never needed from the system.
        assert versions == {v for v in versions if v.startswith("GLIBC_")}, sorted(versions)
        # PEP 561: the stub beside the module, a marker in its package folder.
        assert (folder / f"{module}.pyi").is_file() and (folder / "py.typed").is_file()
    assert not any(n.endswith("__init__.py") for n in names), "strix and its subpackages are namespace packages"
    info = f"strix_marl_native-{version}.dist-info"
    assert f"{info}/licenses/LICENSE" in names
    metadata = (tmp_path / info / "METADATA").read_text()
    assert f"\nVersion: {version}\n" in metadata and "\nLicense-Expression: MIT\n" in metadata


@pytest.mark.skipif(not list(DIST.glob("*.tar.gz")), reason="no sdist in dist/ (scripts/wheel.sh builds one)")
def test_sdist_holds_what_the_build_reads():
    version = project_version()
    [sdist] = DIST.glob("*.tar.gz")
    assert sdist.name == f"strix_marl_native-{version}.tar.gz"
    prefix = f"strix_marl_native-{version}/"
    with tarfile.open(sdist) as t:
        names = {n.removeprefix(prefix) for n in t.getnames()}
    tracked = subprocess.run(["git", "ls-files", "CMakeLists.txt", "pyproject.toml", "LICENSE", "src", "stubs"],
                             cwd=ROOT, capture_output=True, text=True)
    if tracked.returncode != 0:
        pytest.skip("not a git checkout")
    assert set(tracked.stdout.split()) <= names
    assert not any(n.startswith(("build/", "dist/", ".venv/")) for n in names)


@pytest.mark.skipif(not cli_wheels(), reason="no command line wheel in dist/ (scripts/wheel.sh builds one)")
def test_cli_wheel_installs_nothing_into_the_host_framework():
    [wheel] = cli_wheels()
    version = project_version()
    assert wheel.name == f"strix_marl-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        info = f"strix_marl-{version}.dist-info"
        metadata = z.read(f"{info}/METADATA").decode()
        entry_points = z.read(f"{info}/entry_points.txt").decode()
    # Only marl's own package: the host framework's names come from marl._host
    # at run time, and only where the host framework is not installed.
    assert {n.split("/", 1)[0] for n in names} == {"marl", info}
    assert {"marl/_host/metadata.py", "marl/_host/manifest.py", "marl/_host/nodes.py",
            "marl/_host/exceptions.py", "marl/cli.py", "marl/pages/templates/base.html"} <= names
    assert f"\nRequires-Dist: strix-marl-native=={version}\n" in metadata
    assert "marl = marl.cli:main" in entry_points
# Pieces that rt::fstring and rt::plus cannot handle are refused when the
# module code is compiled, not met at run time.
PIECES = [
    ('rt::fstring("a", v, rt::Str{v}, rt::Repr{v}, 7L, buffer, "é")', True),
    ('rt::plus("a", v, r, buffer)', True),
    ('rt::plus("Count: ", 3)', False),  # an integer is no str to add
    ('rt::plus("a", rt::Repr{v})', False),  # conversions belong to f-strings
    ('rt::fstring("a", 1.5)', False),
    ('rt::fstring("a", true)', False),
]


@pytest.mark.parametrize("expression, compiles", PIECES)
def test_string_pieces_are_checked_when_compiled(tmp_path, expression, compiles):
    import sysconfig

    compiler = shutil.which("g++") or pytest.skip("no C++ compiler")
    source = tmp_path / "pieces.cpp"
    source.write_text('#include "fstring.hpp"\n'
                      "rt::Ref use(PyObject* v, const rt::Ref& r) {\n"
                      "    char buffer[16] = \"x\";\n"
                      f"    return {expression};\n"
                      "}\n")
    proc = subprocess.run([compiler, "-std=c++20", "-fsyntax-only", "-I", os.path.join(ROOT, "src", "runtime"),
                           "-I", sysconfig.get_paths()["include"], str(source)], capture_output=True, text=True)
    assert (proc.returncode == 0) == compiles, proc.stderr[-3000:]
