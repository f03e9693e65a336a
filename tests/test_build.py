"""The built extension modules need only the C library and export only their
init function."""

import importlib
import os
import re
import shutil
import subprocess

import pytest

MODULES = ["strix.plan_advisor", "strix.compute.jvm_elig", "strix.task.docs.api.profile"]
ALLOWED = {"libc.so.6", "libm.so.6"}

pytestmark = pytest.mark.skipif(
    os.environ.get("STRIX_SANITIZED") == "1" or shutil.which("readelf") is None,
    reason="sanitizer builds link their runtimes; readelf is needed",
)


@pytest.mark.parametrize("name", MODULES)
def test_module_needs_only_the_c_library(name):
    path = importlib.import_module(name).__file__
    dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    assert needed, dynamic
    assert {lib for lib in needed if not lib.startswith("ld-linux")} <= ALLOWED, needed
    assert not any("python" in lib for lib in needed)

    symbols = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    exported = {line.split()[-1] for line in symbols if line.strip()}
    assert exported == {"PyInit_" + name.rsplit(".", 1)[1]}
