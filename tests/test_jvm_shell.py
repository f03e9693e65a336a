"""Shell start-up file selection and the persistent JAVA_HOME block."""

import os
import shutil
import stat
import subprocess
import types

import pytest

jvm = pytest.importorskip("strix.compute.jvm_elig")

MARKER = "# MARL Java Configuration"
JDK17 = "/usr/lib/jvm/java-17-openjdk-amd64"
JDK21 = "/opt/java homes/jdk-21"

POSIX_LINES = 'export JAVA_HOME="{}"\nexport PATH="$JAVA_HOME/bin:$PATH"\n'
FISH_LINES = 'set -gx JAVA_HOME "{}"\nset -gx PATH "$JAVA_HOME/bin" $PATH\n'
PS_LINES = '$env:JAVA_HOME = "{}"\n$env:PATH = "$env:JAVA_HOME\\bin;$env:PATH"\n'


def block(lines, java_home):
    return f"\n{MARKER}\n" + lines.format(java_home)


def updated(path):
    return (True, f"Updated {path}. Run 'source {path}' or restart terminal.")


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A fresh HOME with SHELL unset; JAVA_HOME and PATH restored afterwards."""
    h = tmp_path / "home"
    h.mkdir()
    monkeypatch.setenv("HOME", str(h))
    # setenv before delenv, so that monkeypatch also removes a variable the
    # code under test creates.
    for name in ("SHELL", "PROFILE", "JAVA_HOME"):
        monkeypatch.setenv(name, "")
        monkeypatch.delenv(name)
    monkeypatch.setenv("PATH", os.environ.get("PATH", "/usr/bin:/bin"))
    return h


@pytest.fixture
def windows(monkeypatch):
    """The module believes it runs on Windows."""
    monkeypatch.setattr(jvm, "platform", types.SimpleNamespace(system=lambda: "Windows"))


def env_snapshot():
    return os.environ.get("JAVA_HOME"), os.environ.get("PATH")


# --- which file -------------------------------------------------------------


@pytest.mark.parametrize(
    "shell, bashrc, rel, name",
    [
        (None, False, ".profile", "sh"),
        ("/bin/dash", False, ".profile", "sh"),
        ("/usr/bin/zsh", False, ".zshrc", "zsh"),
        ("/opt/bash-and-zsh/bin/shell", True, ".zshrc", "zsh"),
        ("/bin/bash", True, ".bashrc", "bash"),
        ("/bin/bash", False, ".bash_profile", "bash"),
        ("/usr/bin/fish", False, ".config/fish/config.fish", "fish"),
    ],
)
def test_config_file_per_shell(home, monkeypatch, shell, bashrc, rel, name):
    if shell is not None:
        monkeypatch.setenv("SHELL", shell)
    if bashrc:
        (home / ".bashrc").write_text("")
    assert jvm.get_shell_config_file() == (os.path.join(str(home), *rel.split("/")), name)


@pytest.mark.parametrize(
    "profile, expected",
    [
        ("C:\\Users\\me\\Documents\\PowerShell\\profile.ps1", "PowerShell"),
        (None, "unknown"),
        ("", "unknown"),
        ("C:\\Users\\$me\\profile.ps1", "unknown"),
    ],
)
def test_config_file_on_windows(home, windows, monkeypatch, profile, expected):
    if profile is not None:
        monkeypatch.setenv("PROFILE", profile)
    monkeypatch.setenv("SHELL", "/bin/bash")  # ignored on Windows
    path = profile if expected == "PowerShell" else None
    assert jvm.get_shell_config_file() == (path, expected)


def test_windows_without_profile_changes_nothing(home, windows):
    before = env_snapshot()
    assert jvm.set_java_home_persistent(JDK17) == (
        False,
        "Could not determine shell config file for Windows",
    )
    assert env_snapshot() == before
    assert list(home.iterdir()) == []


def test_messages_add_the_config_file_as_plus_does(home, monkeypatch):
    """The outcome texts are "Updated " + path ...: a path that is no str
    fails as `+` fails (after the file was written), it is not formatted."""
    path = home / ".bashrc"
    monkeypatch.setattr(jvm, "get_shell_config_file", lambda: (path, "bash"))
    with pytest.raises(TypeError, match=r'can only concatenate str \(not "PosixPath"\) to str') as raised:
        jvm.set_java_home_persistent(JDK17)
    assert isinstance(raised.value.__context__, TypeError)  # "Updated " + path failed first
    assert "export JAVA_HOME=" in path.read_text()
    monkeypatch.setattr(jvm, "get_shell_config_file", lambda: (None, "bash"))
    monkeypatch.setattr(jvm, "platform", types.SimpleNamespace(system=lambda: 7))
    with pytest.raises(TypeError, match=r'not "int"'):
        jvm.set_java_home_persistent(JDK17)


# --- the block ----------------------------------------------------------------


def test_first_and_second_call_bash(home, monkeypatch):
    monkeypatch.setenv("SHELL", "/bin/bash")
    rc = home / ".bashrc"
    rc.write_text("alias ll='ls -l'\n")

    assert jvm.set_java_home_persistent(JDK17) == updated(rc)
    assert rc.read_text() == "alias ll='ls -l'\n" + block(POSIX_LINES, JDK17)

    assert jvm.set_java_home_persistent(JDK21) == updated(rc)
    assert rc.read_text() == "alias ll='ls -l'\n" + block(POSIX_LINES, JDK21)
    assert rc.read_text().count(MARKER) == 1


@pytest.mark.parametrize(
    "shell, rel, lines",
    [
        (None, ".profile", POSIX_LINES),
        ("/usr/bin/zsh", ".zshrc", POSIX_LINES),
        ("/usr/bin/fish", ".config/fish/config.fish", FISH_LINES),
    ],
)
def test_new_file_per_shell(home, monkeypatch, shell, rel, lines):
    if shell:
        monkeypatch.setenv("SHELL", shell)
    path = home.joinpath(*rel.split("/"))
    assert not path.parent.exists() or path.parent == home  # fish: directory is created
    assert jvm.set_java_home_persistent(JDK17) == updated(path)
    assert path.read_text() == block(lines, JDK17)
    # A new file gets the usual mode for a new file (0666 less the umask).
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask


def test_powershell_keeps_backslashes(home, windows, monkeypatch):
    profile = home / "Documents" / "PowerShell" / "Microsoft.PowerShell_profile.ps1"
    monkeypatch.setenv("PROFILE", str(profile))
    first = "C:\\Program Files\\Java\\jdk-11"
    second = "C:\\Program Files\\Java\\jdk-17"
    assert jvm.set_java_home_persistent(first) == updated(profile)
    assert jvm.set_java_home_persistent(second) == updated(profile)
    text = profile.read_text()
    assert text == block(PS_LINES, second)
    assert text.count("\\") == second.count("\\") + 1


def test_file_without_final_line_feed(home):
    prof = home / ".profile"
    prof.write_text("umask 022")
    assert jvm.set_java_home_persistent(JDK17)[0] is True
    assert prof.read_text() == "umask 022" + block(POSIX_LINES, JDK17)


def test_two_blocks_are_both_replaced(home):
    prof = home / ".profile"
    one = block(POSIX_LINES, "/old/one")
    two = block(POSIX_LINES, "/old/two")
    prof.write_text("a=1\n" + one + "b=2\n" + two)
    assert jvm.set_java_home_persistent(JDK17)[0] is True
    new = block(POSIX_LINES, JDK17)
    assert prof.read_text() == "a=1\n" + new + "b=2\n" + new


@pytest.mark.parametrize(
    "broken",
    [
        f"x=1\n{MARKER}\nexport JAVA_HOME=\"/old\"\n",  # one line after the marker
        f"x=1\n{MARKER}\n\nexport JAVA_HOME=\"/old\"\nexport PATH=x\n",  # empty line after it
        f"x=1\n{MARKER}\nexport JAVA_HOME=\"/old\"\nexport PATH=x",  # no final line feed
    ],
    ids=["one-line", "empty-line", "no-final-lf"],
)
def test_broken_block_written_back_unchanged(home, broken):
    prof = home / ".profile"
    prof.write_text(broken)
    assert jvm.set_java_home_persistent(JDK17) == updated(prof)
    assert prof.read_text() == broken
    assert os.environ["JAVA_HOME"] == JDK17


def test_crlf_file_is_read_with_universal_line_ends(home):
    prof = home / ".profile"
    prof.write_bytes(b"a=1\r\n" + block(POSIX_LINES, "/old").replace("\n", "\r\n").encode())
    assert jvm.set_java_home_persistent(JDK17)[0] is True
    assert prof.read_bytes() == ("a=1\n" + block(POSIX_LINES, JDK17)).encode()


# --- environment ----------------------------------------------------------------


def test_environment_after_success(home):
    old_path = os.environ["PATH"]
    assert jvm.set_java_home_persistent(JDK17)[0] is True
    assert os.environ["JAVA_HOME"] == JDK17
    assert os.environ["PATH"] == os.path.join(JDK17, "bin") + os.pathsep + old_path
    # Each call prepends again.
    assert jvm.set_java_home_persistent(JDK21)[0] is True
    assert os.environ["PATH"] == os.pathsep.join(
        [os.path.join(JDK21, "bin"), os.path.join(JDK17, "bin"), old_path]
    )


def test_environment_with_path_unset(home, monkeypatch):
    monkeypatch.delenv("PATH")
    assert jvm.set_java_home_persistent(JDK17)[0] is True
    assert os.environ["PATH"] == os.path.join(JDK17, "bin") + os.pathsep


@pytest.mark.parametrize("how", ["config-is-directory", "parent-is-file"])
def test_failed_write_leaves_environment(home, monkeypatch, how):
    monkeypatch.setenv("SHELL", "/usr/bin/fish")
    path = home / ".config" / "fish" / "config.fish"
    if how == "config-is-directory":
        path.mkdir(parents=True)
    else:
        (home / ".config").write_text("not a directory")
    before = env_snapshot()
    ok, message = jvm.set_java_home_persistent(JDK17)
    assert ok is False
    assert message.startswith(f"Failed to update {path}: [Errno ")
    assert env_snapshot() == before


class FailingOs(types.ModuleType):
    """The os module with one function replaced by a failing one."""

    def __init__(self, failing):
        super().__init__("os")
        self._failing = failing

    def __getattr__(self, name):
        if name == self._failing:
            def fail(*args, **kwargs):
                raise OSError(28, "No space left on device")
            return fail
        return getattr(os, name)


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_interrupted_write_keeps_old_file(home, monkeypatch, failing):
    prof = home / ".profile"
    original = "PS1='$ '\n" + block(POSIX_LINES, "/old")
    prof.write_text(original)
    monkeypatch.setattr(jvm, "os", FailingOs(failing))
    before = env_snapshot()
    assert jvm.set_java_home_persistent(JDK17) == (
        False,
        f"Failed to update {prof}: [Errno 28] No space left on device",
    )
    assert prof.read_text() == original
    assert sorted(p.name for p in home.iterdir()) == [".profile"]  # no temporary left
    assert env_snapshot() == before


# --- refused paths ----------------------------------------------------------------


UNSAFE = {
    "sh": ['"', "$", "`", "\\", "\n", "\r"],
    "fish": ['"', "$", "\\", "\n"],
    "PowerShell": ['"', "$", "`", "\n", "\u201c"],
}
# Characters that are literal inside double quotes of that shell.
SAFE = {"fish": "`", "PowerShell": "\\"}
NAMES = {'"': 'a double quote (")', "$": "a dollar sign ($)", "`": "a backtick (`)", "\\": "a backslash (\\)",
         "\n": "a line break (line feed)", "\r": "a line break (carriage return)",
         "\u201c": "a left double quotation mark (\u201c)"}


def select_shell(shell, home, monkeypatch):
    if shell == "PowerShell":
        monkeypatch.setattr(jvm, "platform", types.SimpleNamespace(system=lambda: "Windows"))
        path = home / "profile.ps1"
        monkeypatch.setenv("PROFILE", str(path))
        return path
    if shell == "fish":
        monkeypatch.setenv("SHELL", "/usr/bin/fish")
        return home / ".config" / "fish" / "config.fish"
    return home / ".profile"


@pytest.mark.parametrize("shell, char", [(s, c) for s, cs in UNSAFE.items() for c in cs])
@pytest.mark.parametrize("prefix", ["/opt/jdk", "/opt/\U0001f600-jdk"])
def test_unsafe_path_refused(home, monkeypatch, shell, char, prefix):
    path = select_shell(shell, home, monkeypatch)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("keep\n")
    before = env_snapshot()
    java_home = f"{prefix}{char}17"
    ok, message = jvm.set_java_home_persistent(java_home)
    assert ok is False
    assert message == (f"Refusing to write JAVA_HOME {java_home!r} to {path}: the path contains {NAMES[char]}, "
                       f"which a {shell} start-up file cannot hold literally inside double quotes. "
                       "Nothing was changed.")
    assert path.read_text() == "keep\n"
    assert env_snapshot() == before


@pytest.mark.parametrize("shell", sorted(SAFE))
def test_literal_characters_accepted(home, monkeypatch, shell):
    path = select_shell(shell, home, monkeypatch)
    java_home = f"/opt/jdk{SAFE[shell]}17 (it's ü)"
    assert jvm.set_java_home_persistent(java_home) == updated(path)
    assert f'"{java_home}"' in path.read_text()


# --- the file on disk ----------------------------------------------------------------


def test_symlinked_start_up_file(home, monkeypatch):
    monkeypatch.setenv("SHELL", "/usr/bin/zsh")
    dotfiles = home / "dotfiles"
    dotfiles.mkdir()
    target = dotfiles / "zshrc"
    target.write_text("setopt autocd\n")
    link = home / ".zshrc"
    link.symlink_to("dotfiles/zshrc")

    assert jvm.set_java_home_persistent(JDK17) == updated(link)
    assert jvm.set_java_home_persistent(JDK21) == updated(link)
    assert link.is_symlink() and os.readlink(link) == "dotfiles/zshrc"
    assert target.read_text() == "setopt autocd\n" + block(POSIX_LINES, JDK21)
    assert sorted(p.name for p in dotfiles.iterdir()) == ["zshrc"]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755])
def test_permission_bits_kept(home, mode):
    prof = home / ".profile"
    prof.write_text("x=1\n")
    prof.chmod(mode)
    assert jvm.set_java_home_persistent(JDK17)[0] is True
    assert stat.S_IMODE(prof.stat().st_mode) == mode
    assert prof.read_text() == "x=1\n" + block(POSIX_LINES, JDK17)


def test_argument_check(home):
    class S(str):
        pass

    with pytest.raises(TypeError, match=r"Argument 'java_home' has incorrect type \(expected str, got int\)"):
        jvm.set_java_home_persistent(17)
    with pytest.raises(TypeError, match="java_home"):
        jvm.set_java_home_persistent(S(JDK17))
    assert list(home.iterdir()) == []


# --- real shells -----------------------------------------------------------------

# Each shell sources the written file and prints JAVA_HOME, then PATH joined by ":".
REAL_SHELLS = {
    "sh": (None, ["sh", "-c", '. "$1"; printf "%s\\n%s\\n" "$JAVA_HOME" "$PATH"', "sh"]),
    "bash": ("/bin/bash", ["bash", "--norc", "--noprofile", "-c",
                           'source "$1"; printf "%s\\n%s\\n" "$JAVA_HOME" "$PATH"', "bash"]),
    "zsh": ("/usr/bin/zsh", ["zsh", "-f", "-c",
                             'source "$1"; printf "%s\\n%s\\n" "$JAVA_HOME" "$PATH"', "zsh"]),
    "fish": ("/usr/bin/fish", ["fish", "--no-config", "-c",
                               'source $argv[1]; printf "%s\\n" $JAVA_HOME; string join : $PATH']),
}


@pytest.mark.shells
@pytest.mark.parametrize("shell", sorted(REAL_SHELLS))
def test_real_shell_reads_the_block(home, monkeypatch, shell):
    shell_var, argv = REAL_SHELLS[shell]
    if shutil.which(argv[0]) is None:
        pytest.fail(f"{argv[0]} is not installed (scripts/setup.sh installs it)")
    if shell_var:
        monkeypatch.setenv("SHELL", shell_var)
    config, _ = jvm.get_shell_config_file()
    base_path = "/usr/local/bin:/usr/bin:/bin"
    env = {"HOME": str(home), "PATH": base_path, "LANG": "C.UTF-8"}

    for java_home in (JDK17, "/opt/Java's JDK (x86)/jdk-21 ü*!{a,b}~"):
        assert jvm.set_java_home_persistent(java_home) == updated(config)
        out = subprocess.run(argv + [config], env=env, capture_output=True, text=True,
                             timeout=30, check=True)
        assert out.stdout.splitlines() == [java_home, f"{java_home}/bin:{base_path}"]
    with open(config) as f:
        assert f.read().count(MARKER) == 1


def test_no_reference_leaks(home, monkeypatch, leak_check):
    monkeypatch.setenv("SHELL", "/usr/bin/fish")
    (home / ".config" / "fish" / "config.fish").mkdir(parents=True)  # every write fails

    def calls():
        jvm.get_shell_config_file()
        jvm.set_java_home_persistent("/opt/jdk$17")  # refused
        jvm.set_java_home_persistent(JDK17)  # fails to read the directory

    leak_check(calls, calls=500)
    monkeypatch.delenv("SHELL")

    def write():
        os.environ["PATH"] = "/usr/bin:/bin"  # each call prepends to PATH
        jvm.set_java_home_persistent(JDK17)  # rewrites ~/.profile

    leak_check(write, calls=200)


# --- marl java set ----------------------------------------------------------------

MARL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bin", "marl")


def marl(home, *args, shell="/bin/bash"):
    env = dict(os.environ, HOME=str(home), SHELL=shell)
    return subprocess.run([MARL, "java", "set", *args], env=env, capture_output=True, text=True,
                          timeout=120)


def fake_java_home(root):
    (root / "bin").mkdir(parents=True)
    java = root / "bin" / "java"
    java.write_text("#!/bin/sh\nexit 0\n")
    java.chmod(0o755)
    return root


def test_cli_set_path(home, tmp_path):
    jdk = fake_java_home(tmp_path / "jdk 17")
    out = marl(home, str(jdk))
    assert (out.returncode, out.stdout) == (0, updated(home / ".bash_profile")[1] + "\n")
    assert (home / ".bash_profile").read_text() == block(POSIX_LINES, str(jdk))


@pytest.mark.parametrize(
    "args, message",
    [
        (["/usr"], "is not a Java home directory"),
        (["{jdk}"], "the path contains a dollar sign ($)"),
        ([], "one of the arguments PATH --auto is required"),
    ],
)
def test_cli_set_refusals(home, tmp_path, args, message):
    jdk = fake_java_home(tmp_path / "jdk$HOME")
    out = marl(home, *[a.format(jdk=jdk) for a in args])
    assert out.returncode != 0 and message in out.stderr
    assert list(home.iterdir()) == []


def test_cli_set_auto(home):
    pytest.importorskip("pyspark")
    info = jvm.get_pyspark_info()
    best = jvm.select_best_java(jvm.find_all_java_installations(), list(info.java_supported))
    if best is None:
        pytest.skip(f"no installed Java suits PySpark {info.version}")
    out = marl(home, "--auto", shell="/usr/bin/fish")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(f"Selected Java {best.version} ")
    config = home / ".config" / "fish" / "config.fish"
    assert config.read_text() == block(FISH_LINES, best.path)
