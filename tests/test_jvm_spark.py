"""Spark cluster version detection, against fakes and against real Spark.

The real tests share one PySpark driver JVM and one standalone cluster
(master and worker started from the launcher shipped inside PySpark); both
are stopped when the module's tests are done.
"""

import importlib.metadata
import os
import signal
import subprocess
import sys
import threading
import time
import types

import pytest
from serverkit import free_port

jvm = pytest.importorskip("strix.compute.jvm_elig")

APP = "MARL-VersionDetect"


def fresh(error):
    """A new exception like `error` (re-raising one instance grows its traceback)."""
    return type(error)(*error.args)


def pool_threads():
    return {t for t in threading.enumerate() if t.name.startswith("ThreadPoolExecutor")}


def join_threads(threads, limit):
    deadline = time.monotonic() + limit
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "abandoned attempt still running"


# --- fakes: the function's own logic, no JVM ----------------------------------------


class FakeSpark:
    """A stand-in for pyspark.sql: records builder calls, session stops and threads."""

    def __init__(self, version="3.5.3", stop_error=None, build_error=None, version_error=None,
                 gate=None):
        self.calls = []
        self.stopped = 0
        self.threads = set()
        fake = self

        class Builder:
            def __getattr__(self, name):
                def step(*args):
                    fake.calls.append((name, *args))
                    return self
                return step

            def getOrCreate(self):
                fake.calls.append(("getOrCreate",))
                fake.threads.add(threading.current_thread())
                if gate is not None:
                    gate.wait(30)
                if build_error:
                    raise fresh(build_error)
                return Session()

        class Session:
            @property
            def version(self):
                if version_error:
                    raise fresh(version_error)
                return version

            def stop(self):
                fake.stopped += 1
                if stop_error:
                    raise fresh(stop_error)

        class SparkSession:
            pass

        SparkSession.builder = Builder()
        self.module = types.ModuleType("pyspark.sql")
        self.module.SparkSession = SparkSession


@pytest.fixture
def fake_spark(monkeypatch):
    def install(**kwargs):
        fake = FakeSpark(**kwargs)
        monkeypatch.setitem(sys.modules, "pyspark.sql", fake.module)
        return fake
    return install


def test_session_settings_and_worker_thread(fake_spark):
    fake = fake_spark()
    assert jvm.detect_spark_cluster_version("spark://db1:7077") == "3.5.3"
    assert fake.calls == [
        ("appName", APP),
        ("master", "spark://db1:7077"),
        ("config", "spark.ui.enabled", "false"),
        ("config", "spark.ui.showConsoleProgress", "false"),
        ("getOrCreate",),
    ]
    assert fake.stopped == 1
    assert threading.main_thread() not in fake.threads and len(fake.threads) == 1


@pytest.mark.parametrize(
    "kwargs, result, stopped",
    [
        ({"stop_error": RuntimeError("stop failed")}, "3.5.3", 1),
        ({"version_error": RuntimeError("no version")}, None, 1),
        ({"build_error": RuntimeError("no master")}, None, 0),
        ({"version": 353}, None, 1),  # not a str
        ({"version": None}, None, 1),
    ],
    ids=["stop-raises", "version-raises", "build-raises", "int-version", "none-version"],
)
def test_failures_give_none_and_session_is_stopped(fake_spark, kwargs, result, stopped):
    fake = fake_spark(**kwargs)
    assert jvm.detect_spark_cluster_version("local[1]", 5) == result
    assert fake.stopped == stopped


def test_time_out_returns_at_once_and_attempt_stops_its_session(fake_spark):
    gate = threading.Event()
    fake = fake_spark(gate=gate)
    before = pool_threads()
    start = time.monotonic()
    assert jvm.detect_spark_cluster_version("spark://slow:7077", 1.9) is None  # taken as 1 s
    elapsed = time.monotonic() - start
    assert 1.0 <= elapsed < 1.8
    abandoned = pool_threads() - before
    assert len(abandoned) == 1 and fake.stopped == 0
    gate.set()
    join_threads(abandoned, 10)
    assert fake.stopped == 1


def test_argument_checks():
    with pytest.raises(TypeError, match=r"Argument 'master_url' has incorrect type \(expected str, got bytes\)"):
        jvm.detect_spark_cluster_version(b"local[1]")
    with pytest.raises(TypeError, match=r"Argument 'timeout' has incorrect type \(expected int, got str\)"):
        jvm.detect_spark_cluster_version("local[1]", "30")


@pytest.fixture
def hidden_pyspark(monkeypatch):
    class Blocker:
        def find_spec(self, name, path=None, target=None):
            if name == "pyspark" or name.startswith("pyspark."):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    for name in list(sys.modules):
        if name == "pyspark" or name.startswith("pyspark."):
            monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(sys, "meta_path", [Blocker(), *sys.meta_path])


def test_pyspark_missing_returns_none_without_a_thread(hidden_pyspark, monkeypatch):
    started = []
    original = threading.Thread.start
    monkeypatch.setattr(threading.Thread, "start", lambda self: started.append(self) or original(self))
    start = time.monotonic()
    assert jvm.detect_spark_cluster_version("local[1]", 30) is None
    assert time.monotonic() - start < 0.5
    assert started == []


def test_no_reference_leaks(fake_spark, leak_check):
    fake = fake_spark(stop_error=RuntimeError("x"))

    def call():
        fake.calls.clear()  # the fake's own records
        fake.threads.clear()
        jvm.detect_spark_cluster_version("local[1]", 5)

    leak_check(call, calls=200)


def test_no_reference_leaks_without_pyspark(hidden_pyspark, leak_check):
    leak_check(lambda: jvm.detect_spark_cluster_version("local[1]", 5), calls=500)


# --- real Spark --------------------------------------------------------------------


def no_active_spark():
    from pyspark import SparkContext
    from pyspark.sql import SparkSession

    return SparkSession.getActiveSession() is None and SparkContext._active_spark_context is None


@pytest.fixture(scope="module")
def spark_driver():
    """The installed PySpark's version; stops the driver JVM afterwards."""
    pyspark = pytest.importorskip("pyspark")
    yield importlib.metadata.version("pyspark")
    from pyspark import SparkContext

    gateway = SparkContext._gateway
    if gateway is not None:
        proc = getattr(gateway, "proc", None)
        try:
            gateway.shutdown()
        finally:
            SparkContext._gateway = None
            SparkContext._jvm = None
            if proc is not None:
                proc.kill()
                proc.wait(30)
    del pyspark


def wait_for(predicate, limit, what):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.2)
    pytest.fail(f"timed out waiting for {what}")


@pytest.fixture(scope="module")
def cluster(spark_driver, tmp_path_factory):
    """A standalone master and one worker on 127.0.0.1: (master URL, master log)."""
    import pyspark

    spark_home = os.path.dirname(pyspark.__file__)
    spark_class = os.path.join(spark_home, "bin", "spark-class")
    logs = tmp_path_factory.mktemp("spark-cluster")
    env = dict(os.environ, SPARK_HOME=spark_home, SPARK_LOCAL_IP="127.0.0.1",
               SPARK_LOG_DIR=str(logs), SPARK_WORKER_DIR=str(logs / "work"))
    port = free_port()
    url = f"spark://127.0.0.1:{port}"
    master_log, worker_log = logs / "master.log", logs / "worker.log"
    procs = []

    def launch(log, *args):
        with open(log, "wb") as out:
            procs.append(subprocess.Popen([spark_class, *args], stdout=out, stderr=subprocess.STDOUT,
                                          stdin=subprocess.DEVNULL, env=env, start_new_session=True))

    try:
        launch(master_log, "org.apache.spark.deploy.master.Master", "--host", "127.0.0.1",
               "--port", str(port), "--webui-port", str(free_port()))
        wait_for(lambda: "Starting Spark master" in master_log.read_text(errors="replace")
                 and "I have been elected leader" in master_log.read_text(errors="replace"),
                 90, "the Spark master")
        launch(worker_log, "org.apache.spark.deploy.worker.Worker", "--host", "127.0.0.1",
               "--webui-port", str(free_port()), "--cores", "1", "--memory", "512m", url)
        wait_for(lambda: "Successfully registered with master" in worker_log.read_text(errors="replace"),
                 90, "the Spark worker")
        yield url, master_log
    finally:
        for p in reversed(procs):
            try:
                os.killpg(p.pid, signal.SIGTERM)
                p.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait(30)
            except ProcessLookupError:
                pass


def registrations(master_log):
    return master_log.read_text(errors="replace").count(f"Registering app {APP}")


@pytest.mark.spark
def test_local_master(spark_driver):
    assert jvm.detect_spark_cluster_version("local[1]", 180) == spark_driver
    assert no_active_spark()


@pytest.mark.spark
def test_standalone_cluster(cluster, spark_driver):
    url, master_log = cluster
    seen = registrations(master_log)
    assert jvm.detect_spark_cluster_version(url, 120) == spark_driver
    assert registrations(master_log) == seen + 1
    assert no_active_spark()


@pytest.mark.spark
def test_standalone_cluster_time_out(cluster, spark_driver):
    url, master_log = cluster
    seen = registrations(master_log)
    before = pool_threads()
    start = time.monotonic()
    assert jvm.detect_spark_cluster_version(url, 0) is None
    assert time.monotonic() - start < 1.0
    # The abandoned attempt still reaches the master, then stops its session.
    join_threads(pool_threads() - before, 120)
    assert registrations(master_log) == seen + 1
    assert no_active_spark()


@pytest.mark.spark
def test_unreachable_master(spark_driver):
    url = f"spark://127.0.0.1:{free_port()}"
    before = pool_threads()
    start = time.monotonic()
    assert jvm.detect_spark_cluster_version(url, 3) is None
    assert 3.0 <= time.monotonic() - start < 6.0
    # Spark gives up on the master after about a minute; the attempt then
    # leaves no session or context behind, and the next call works.
    join_threads(pool_threads() - before, 240)
    assert no_active_spark()
    assert jvm.detect_spark_cluster_version("local[1]", 120) == spark_driver
    assert no_active_spark()


# --- marl spark version ----------------------------------------------------------


@pytest.mark.spark
def test_cli_version(spark_driver, capsys):
    from marl import cli

    assert cli.main(["spark", "version", "local[1]", "--timeout", "120"]) == 0
    assert capsys.readouterr().out == spark_driver + "\n"
    assert no_active_spark()


@pytest.mark.spark
def test_cli_unreachable_master_exits_at_time_limit(spark_driver):
    marl = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bin", "marl")
    start = time.monotonic()
    out = subprocess.run([marl, "spark", "version", f"spark://127.0.0.1:{free_port()}", "--timeout", "2"],
                         capture_output=True, text=True, timeout=60)
    # The process does not wait for Spark to give up on the master.
    assert time.monotonic() - start < 30
    assert out.returncode == 1
    assert "marl spark version: no Spark version from spark://127.0.0.1:" in out.stderr
