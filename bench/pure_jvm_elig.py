"""A straightforward pure-Python version of the Java discovery, PySpark
compatibility and shell start-up file steps of strix.compute.jvm_elig.

The reference of the differential tests (tests/test_fuzz_jvm_elig.py): each
function follows the native one step by step. The tests run these functions
against the native module's namespace, so the collaborators they call (os,
glob, subprocess, platform, re, winreg, _check_java_path, get_current_java,
_is_valid_java_home, the finders and the compatibility table) are the
module's, rebound by a test or not. The records and the table below make the
module importable on its own.
"""

import glob
import os
import platform
import re
import subprocess
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

PYSPARK_JVM_ELIGIBILITY: Dict[str, Dict] = {
    "4.0": {"min": 17, "max": 21, "recommended": 17, "supported": [17, 21]},
    "3.5": {"min": 8, "max": 17, "recommended": 17, "supported": [8, 11, 17]},
    "3.4": {"min": 8, "max": 17, "recommended": 11, "supported": [8, 11, 17]},
    "3.3": {"min": 8, "max": 11, "recommended": 11, "supported": [8, 11]},
    "3.2": {"min": 8, "max": 11, "recommended": 11, "supported": [8, 11]},
    "3.1": {"min": 8, "max": 11, "recommended": 11, "supported": [8, 11]},
    "3.0": {"min": 8, "max": 11, "recommended": 8, "supported": [8, 11]},
}


@dataclass
class JavaInstallation:
    path: str
    version: int
    version_string: str
    vendor: str
    is_current: bool = False


@dataclass
class PySparkInfo:
    version: str
    major_minor: str
    java_min: int
    java_max: int
    java_recommended: int
    java_supported: List[int]


# --- discovery ---------------------------------------------------------------

_MAC_PATTERNS = [
    "/Library/Java/JavaVirtualMachines/*/Contents/Home",
    "/usr/local/opt/openjdk@*/libexec/openjdk.jdk/Contents/Home",
    "/usr/local/Cellar/openjdk@*/*/libexec/openjdk.jdk/Contents/Home",
    "/opt/homebrew/opt/openjdk@*/libexec/openjdk.jdk/Contents/Home",
    "~/.sdkman/candidates/java/*",
    "~/Library/Java/JavaVirtualMachines/*/Contents/Home",
]
_LINUX_PATTERNS = [
    "/usr/lib/jvm/java-*-openjdk*", "/usr/lib/jvm/jdk-*", "/usr/lib/jvm/temurin-*", "/usr/lib/jvm/adoptium-*",
    "/usr/java/jdk*", "/opt/java/*", "/opt/jdk*", "~/.sdkman/candidates/java/*",
]
_WINDOWS_PATTERNS = [
    "C:\\Program Files\\Java\\jdk*", "C:\\Program Files\\Eclipse Adoptium\\jdk-*",
    "C:\\Program Files\\OpenJDK\\jdk-*", "C:\\Program Files\\AdoptOpenJDK\\jdk-*",
    "C:\\Program Files\\Amazon Corretto\\jdk*", "C:\\Program Files\\Zulu\\zulu-*",
    "~\\scoop\\apps\\openjdk*\\current", "~\\scoop\\apps\\temurin*\\current",
]
# Vendor keys under HKEY_LOCAL_MACHINE, one subkey per installed version.
REGISTRY_KEYS = [
    "SOFTWARE\\JavaSoft\\Java Development Kit", "SOFTWARE\\JavaSoft\\JDK",
    "SOFTWARE\\Eclipse Adoptium\\JDK", "SOFTWARE\\AdoptOpenJDK\\JDK",
]


def _sweep(found, patterns):
    """Appends the installations that every match of every pattern yields; a
    failure ends only the pattern it happened in."""
    patterns = [os.path.expanduser(p) if p.startswith("~") else p for p in patterns]
    for pattern in patterns:
        try:
            for match in glob.glob(pattern):
                inst = _check_java_path(match)
                if inst:
                    found.append(inst)
        except Exception:
            pass
    return found


def _find_java_macos() -> List[JavaInstallation]:
    found = []
    try:
        result = subprocess.run(["/usr/libexec/java_home", "-V"], capture_output=True, text=True, timeout=10)
        for line in result.stderr.split("\n"):
            match = re.search(r"(/[^\s]+)$", line.strip())
            if match:
                inst = _check_java_path(match.group(1))
                if inst:
                    found.append(inst)
    except Exception:
        pass
    return _sweep(found, _MAC_PATTERNS)


def _find_java_linux() -> List[JavaInstallation]:
    found = []
    try:
        result = subprocess.run(["update-alternatives", "--list", "java"], capture_output=True, text=True,
                                timeout=10)
        for line in result.stdout.strip().split("\n"):
            if line and os.path.exists(line):
                inst = _check_java_path(os.path.dirname(os.path.dirname(line)))
                if inst:
                    found.append(inst)
    except Exception:
        pass
    return _sweep(found, _LINUX_PATTERNS)


def _find_java_windows() -> List[JavaInstallation]:
    found = []
    try:
        import winreg
        reg_paths = [(winreg.HKEY_LOCAL_MACHINE, key) for key in REGISTRY_KEYS]
        for hkey, subkey in reg_paths:
            try:
                key = winreg.OpenKey(hkey, subkey)
            except FileNotFoundError:
                continue
            i = 0
            while True:
                try:
                    name = winreg.EnumKey(key, i)
                    version_key = winreg.OpenKey(key, name)
                    java_home, _ = winreg.QueryValueEx(version_key, "JavaHome")
                    inst = _check_java_path(java_home)
                    if inst:
                        found.append(inst)
                    i += 1
                except OSError:
                    break
    except ImportError:
        pass
    return _sweep(found, _WINDOWS_PATTERNS)


def find_all_java_installations() -> List[JavaInstallation]:
    system = platform.system()
    current = get_current_java()
    current_path = current.path if current else None
    if system == "Darwin":
        discovered = _find_java_macos()
    elif system == "Linux":
        discovered = _find_java_linux()
    elif system == "Windows":
        discovered = _find_java_windows()
    else:
        discovered = []
    seen_paths = set()
    unique = []
    for inst in discovered:
        key = os.path.normpath(inst.path)
        if key in seen_paths:
            continue
        seen_paths.add(key)
        inst.is_current = (key == os.path.normpath(current_path)) if current_path else False
        unique.append(inst)
    if current and os.path.normpath(current.path) not in seen_paths:
        unique.append(current)
    return sorted(unique, key=lambda i: i.version, reverse=True)


def select_best_java(installations: List[JavaInstallation],
                     supported_versions: List[int]) -> Optional[JavaInstallation]:
    if not installations or not supported_versions:
        return None
    candidates = [i for i in installations if i.version in supported_versions and _is_valid_java_home(i.path)]
    if not candidates:
        return None
    return sorted(candidates, key=lambda i: i.version, reverse=True)[0]


# --- PySpark -----------------------------------------------------------------

def get_pyspark_info() -> Optional[PySparkInfo]:
    try:
        import importlib.metadata
        version = importlib.metadata.version("pyspark")
        parts = version.split(".")
        major_minor = f"{parts[0]}.{parts[1]}" if len(parts) >= 2 else version
        row = PYSPARK_JVM_ELIGIBILITY.get(major_minor)
        if row:
            return PySparkInfo(version=version, major_minor=major_minor, java_min=row["min"], java_max=row["max"],
                               java_recommended=row["recommended"], java_supported=row["supported"])
        return PySparkInfo(version=version, major_minor=major_minor, java_min=17, java_max=21,
                           java_recommended=17, java_supported=[17, 21])
    except Exception:
        return None


def get_pyspark_versions_for_java(java_version: int) -> List[str]:
    compatible = []
    for key, row in PYSPARK_JVM_ELIGIBILITY.items():
        if java_version in row["supported"]:
            compatible.append(key)
    return sorted(compatible, reverse=True)


def check_java_pyspark_compatibility(java_version: int, pyspark_major_minor: str) -> Tuple[bool, str]:
    row = PYSPARK_JVM_ELIGIBILITY.get(pyspark_major_minor)
    if not row:
        return (True, f"Unknown PySpark version {pyspark_major_minor}, assuming compatible")
    supported = row["supported"]
    if java_version in supported:
        return (True, f"Java {java_version} is compatible with PySpark {pyspark_major_minor}")
    versions = ", ".join(str(v) for v in supported)
    return (False, f"Java {java_version} is NOT compatible with PySpark {pyspark_major_minor}. "
                   f"Requires Java {versions}.")


def validate_java_for_spark() -> Tuple[bool, str]:
    """The checks in order, without the native module's extra check of a
    release line newer than every line of the table."""
    info = get_pyspark_info()
    if not info:
        return (False, "PySpark is not installed. Install it with: pip install pyspark")
    java = get_current_java()
    if not java:
        return (False, f"Java not found. PySpark {info.version} requires Java {info.java_supported}. "
                       "Run 'marl java search' to find installations.")
    ok, message = check_java_pyspark_compatibility(java.version, info.major_minor)
    if not ok:
        return (False, message + " Run 'marl java set' to select a compatible Java version.")
    return (True, f"Java {java.version} is compatible with PySpark {info.version}")


# --- the shell start-up file ---------------------------------------------------

def get_shell_config_file() -> Tuple[Optional[str], str]:
    if platform.system() == "Windows":
        profile = os.path.expandvars("$PROFILE")
        if profile and "$" not in profile:
            return (profile, "PowerShell")
        return (None, "unknown")
    shell = os.environ.get("SHELL", "")
    home = os.path.expanduser("~")
    if "zsh" in shell:
        return (os.path.join(home, ".zshrc"), "zsh")
    if "bash" in shell:
        bashrc = os.path.join(home, ".bashrc")
        if os.path.exists(bashrc):
            return (bashrc, "bash")
        return (os.path.join(home, ".bash_profile"), "bash")
    if "fish" in shell:
        return (os.path.join(home, ".config", "fish", "config.fish"), "fish")
    return (os.path.join(home, ".profile"), "sh")
