"""Stand-ins for what this machine cannot have: other vendors' `java`
launchers, macOS's `java_home -V`, the Windows registry, another OS name."""

from __future__ import annotations

import os
import shlex
import stat
import subprocess
import types
from pathlib import Path

# Version banners as the launchers print them with `-version`.
BANNERS = {
    "temurin": (
        'openjdk version "17.0.9" 2023-10-17\n'
        "OpenJDK Runtime Environment Temurin-17.0.9+9 (build 17.0.9+9)\n"
        "OpenJDK 64-Bit Server VM Temurin-17.0.9+9 (build 17.0.9+9, mixed mode, sharing)\n"
    ),
    "adoptopenjdk": (
        'openjdk version "11.0.11" 2021-04-20\n'
        "OpenJDK Runtime Environment AdoptOpenJDK-11.0.11+9 (build 11.0.11+9)\n"
        "OpenJDK 64-Bit Server VM AdoptOpenJDK-11.0.11+9 (build 11.0.11+9, mixed mode)\n"
    ),
    "corretto": (
        'openjdk version "21.0.1" 2023-10-17 LTS\n'
        "OpenJDK Runtime Environment Corretto-21.0.1.12.1 (build 21.0.1+12-LTS)\n"
        "OpenJDK 64-Bit Server VM Corretto-21.0.1.12.1 (build 21.0.1+12-LTS, mixed mode, sharing)\n"
    ),
    "zulu": (
        'openjdk version "11.0.21" 2023-10-17 LTS\n'
        "OpenJDK Runtime Environment Zulu11.68+17-CA (build 11.0.21+9-LTS)\n"
        "OpenJDK 64-Bit Server VM Zulu11.68+17-CA (build 11.0.21+9-LTS, mixed mode)\n"
    ),
    "graalvm": (
        'openjdk version "21.0.1" 2023-10-17\n'
        "OpenJDK Runtime Environment GraalVM CE 21.0.1+12.1 (build 21.0.1+12-jvmci-23.1-b19)\n"
        "OpenJDK 64-Bit Server VM GraalVM CE 21.0.1+12.1 (build 21.0.1+12-jvmci-23.1-b19, mixed mode)\n"
    ),
    "debian": (
        'openjdk version "17.0.15" 2025-04-15\n'
        "OpenJDK Runtime Environment (build 17.0.15+6-Debian-1deb12u1)\n"
        "OpenJDK 64-Bit Server VM (build 17.0.15+6-Debian-1deb12u1, mixed mode, sharing)\n"
    ),
    "oracle": (
        'java version "21.0.1" 2023-10-17 LTS\n'
        "Java(TM) SE Runtime Environment (build 21.0.1+12-LTS-29)\n"
        "Java HotSpot(TM) 64-Bit Server VM (build 21.0.1+12-LTS-29, mixed mode, sharing)\n"
    ),
    "oracle_graalvm": (
        'java version "17.0.9" 2023-10-17 LTS\n'
        "Java(TM) SE Runtime Environment Oracle GraalVM 17.0.9+11.1 (build 17.0.9+11-LTS-jvmci-23.0-b21)\n"
        "Java HotSpot(TM) 64-Bit Server VM Oracle GraalVM 17.0.9+11.1 (build 17.0.9+11-LTS, mixed mode)\n"
    ),
    "ibm": (
        'java version "1.8.0_391"\n'
        "IBM J9 VM (build 2.9, JRE 1.8.0 Linux amd64-64-Bit Compressed References 20231030_01)\n"
    ),
    "semeru": (
        'openjdk version "17.0.8.1" 2023-08-24\n'
        "IBM Semeru Runtime Open Edition 17.0.8.1 (build 17.0.8.1+1)\n"
        "Eclipse OpenJ9 VM 17.0.8.1 (build openj9-0.40.0, JRE 17 Linux amd64-64-Bit)\n"
    ),
    "temurin8": (
        'openjdk version "1.8.0_392"\n'
        "OpenJDK Runtime Environment (Temurin)(build 1.8.0_392-b08)\n"
        "OpenJDK 64-Bit Server VM (Temurin)(build 25.392-b08, mixed mode)\n"
    ),
    "plain1": 'java version "1"\n',
    "unknown": 'acme vm version "19.0.2"\nAcme Runtime (build 19.0.2)\n',
}

PICKED_UP = "Picked up JAVA_TOOL_OPTIONS: -Dfile.encoding=UTF-8 -Xmx512m\n"


def write_launcher(path: Path, *, stderr: str = "", stdout: str = "", status: int = 0, body: str = "") -> Path:
    """A shell script that prints like `java -version` and exits with `status`."""
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = ["#!/bin/sh"]
    if stdout:
        lines.append(f"printf '%s' {shlex.quote(stdout)}")
    if stderr:
        lines.append(f"printf '%s' {shlex.quote(stderr)} >&2")
    if body:
        lines.append(body)
    lines.append(f"exit {status}")
    path.write_text("\n".join(lines) + "\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path


def make_home(home: Path, banner: str | None = None, *, exe: bool = False, **launcher) -> Path:
    """A Java home directory whose bin/java (bin/java.exe) prints `banner` on stderr."""
    if banner is not None:
        launcher.setdefault("stderr", banner)
    write_launcher(home / "bin" / ("java.exe" if exe else "java"), **launcher)
    return home


def platform_named(name: str) -> types.SimpleNamespace:
    """Stands in for the `platform` module with a fixed system() answer."""
    return types.SimpleNamespace(system=lambda: name)


class ScriptedSubprocess:
    """Stands in for the `subprocess` module: commands listed in `canned`
    get a fixed result (or raise one), everything else really runs. Every
    call is recorded as (argv, kwargs)."""

    TimeoutExpired = subprocess.TimeoutExpired
    CompletedProcess = subprocess.CompletedProcess

    def __init__(self, canned: dict | None = None):
        self.canned = dict(canned or {})
        self.calls: list[tuple[list, dict]] = []

    def run(self, argv, **kwargs):
        self.calls.append((list(argv), kwargs))
        key = tuple(argv)
        if key in self.canned:
            outcome = self.canned[key]
            if isinstance(outcome, BaseException):
                raise outcome
            stdout, stderr = outcome
            return subprocess.CompletedProcess(argv, 0, stdout, stderr)
        return subprocess.run(argv, **kwargs)

    def probes(self):
        """argv[0] of every `java -version` run."""
        return [argv[0] for argv, _ in self.calls if argv[1:] == ["-version"]]


class FakeRegistry(types.ModuleType):
    """Stands in for `winreg`: `tree` maps a vendor key path (under
    HKEY_LOCAL_MACHINE) to its version subkeys as (name, JavaHome or None)
    pairs. Opened version subkeys are recorded in `visited`."""

    HKEY_LOCAL_MACHINE = object()

    class Key:
        def __init__(self, path, children=(), home=None):
            self.path = path
            self.children = list(children)
            self.home = home

    def __init__(self, tree: dict, *, denied: tuple = ()):
        super().__init__("winreg")
        self.tree = tree
        self.denied = denied
        self.visited: list[str] = []

    def OpenKey(self, key, sub_key):
        if key is self.HKEY_LOCAL_MACHINE:
            if sub_key in self.denied:
                raise PermissionError(13, "Access is denied")
            if sub_key not in self.tree:
                raise FileNotFoundError(2, "The system cannot find the file specified")
            return FakeRegistry.Key(sub_key, children=self.tree[sub_key])
        for name, home in key.children:
            if name == sub_key:
                self.visited.append(name)
                return FakeRegistry.Key(f"{key.path}\\{name}", home=home)
        raise FileNotFoundError(2, "The system cannot find the file specified")

    def EnumKey(self, key, index):
        if index >= len(key.children):
            raise OSError(22, "No more data is available")
        return key.children[index][0]

    def QueryValueEx(self, key, value_name):
        if value_name != "JavaHome" or key.home is None:
            raise FileNotFoundError(2, "The system cannot find the file specified")
        return (key.home, 1)


def write_dist_info(site: Path, version: str | None, name: str = "pyspark") -> Path:
    """A minimal installed-distribution record for `name` in `site`."""
    folder = site / f"{name}-{version or 'unknown'}.dist-info"
    folder.mkdir(parents=True, exist_ok=True)
    lines = ["Metadata-Version: 2.1", f"Name: {name}"]
    if version is not None:
        lines.append(f"Version: {version}")
    (folder / "METADATA").write_text("\n".join(lines) + "\n")
    return folder


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True
