"""Where hosts and their tools use the modules as the Python modules they
replace: several interpreters in one process (a legacy sub-interpreter that
goes away, an embedding host that restarts the interpreter), pickling and
copying of functions."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

JDK = "/opt/jdk-17"


def isolated_env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("SHELL", "JAVA_HOME", "PROFILE")}
    env.update(HOME=str(home), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return env


UPDATED = "(True, \"Updated {home}/.profile. Run 'source {home}/.profile' or restart terminal.\")"


def test_builtins_of_a_destroyed_sub_interpreter_are_not_used(tmp_path):
    # The sub-interpreter uses the module first; its builtins die with it.
    script = textwrap.dedent(f"""
        import _interpreters, sys
        i = _interpreters.create("legacy")
        _interpreters.run_string(i, "import sys; sys.path[:] = %r\\n"
            "import strix.compute.jvm_elig as j\\n"
            "print(j.set_java_home_persistent({JDK!r}))" % (sys.path,))
        _interpreters.destroy(i)
        import strix.compute.jvm_elig as jv
        print(jv.set_java_home_persistent({JDK!r}))
    """)
    env = isolated_env(tmp_path)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == [UPDATED.format(home=env["HOME"])] * 2


EMBEDDING_HOST = r"""
#include <Python.h>
#include <stdio.h>

int main(void) {
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        int rc = PyRun_SimpleString(
            "import os, sys\n"
            "sys.path[:0] = os.environ['EMBED_PATH'].split(os.pathsep)\n"
            "import strix.compute.jvm_elig as j, strix.plan_advisor, strix.task.docs.api.profile\n"
            "print(j.set_java_home_persistent(os.environ['EMBED_JDK']), flush=True)\n");
        if (Py_FinalizeEx() < 0 || rc != 0) return 1;
    }
    return 0;
}
"""


@pytest.mark.skipif(shutil.which("gcc") is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"),
                    reason="needs gcc and a shared libpython")
def test_embedding_host_that_restarts_the_interpreter(tmp_path):
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    source = tmp_path / "host.c"
    source.write_text(EMBEDDING_HOST)
    exe = tmp_path / "host"
    subprocess.run(["gcc", str(source), "-o", str(exe), f"-I{sysconfig.get_paths()['include']}",
                    f"-L{libdir}", f"-lpython{version}", f"-Wl,-rpath,{libdir}"], check=True)
    env = isolated_env(tmp_path)
    env.update(EMBED_PATH=env.pop("PYTHONPATH"), EMBED_JDK=JDK, PYTHONHOME=sys.base_prefix)
    proc = subprocess.run([str(exe)], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == [UPDATED.format(home=env["HOME"])] * 3


def test_functions_pickle_and_copy_by_reference():
    import copy
    import pickle
    from concurrent.futures import ProcessPoolExecutor

    import strix.compute.jvm_elig as jvm
    from strix import plan_advisor as pa
    from strix.task.docs.api import profile

    functions = [jvm.get_pyspark_versions_for_java, pa.PlanAdvisor.analyze, profile.get_table_profile]
    for fn in functions:
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(fn, protocol)) is fn
        assert copy.copy(fn) is fn
        assert copy.deepcopy({"cb": fn})["cb"] is fn
    router = copy.deepcopy(profile.router)
    assert [route.endpoint for route in router.routes] == [route.endpoint for route in profile.router.routes]
    with ProcessPoolExecutor(1) as pool:
        assert pool.submit(jvm.get_pyspark_versions_for_java, 17).result() == jvm.get_pyspark_versions_for_java(17)
