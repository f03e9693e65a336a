"""find_all_java_installations over N fake Java homes vs N bare spawns of
the same launchers in a pure-Python loop.

Discovery is dominated by the `java -version` process it starts per
candidate; this measures what the module adds on top (globbing, path tests,
banner parsing, records, de-duplication, sorting).

The fake homes live under $HOME/.sdkman/candidates/java of a scratch HOME,
with no java on the PATH and no JAVA_HOME. The module's `platform` is
rebound to answer "Darwin", so discovery takes its macOS branch, whose other
sources do not exist on Linux: the machine's own JDKs under /usr/lib/jvm
stay out of the measurement, and both sides start the same N launchers.

Run:  PYTHONPATH=host .venv/bin/python bench/bench_java_discovery.py [--homes 50] [--repeat 21]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types

BANNERS = [
    'openjdk version "17.0.9" 2023-10-17\nOpenJDK Runtime Environment Temurin-17.0.9+9 (build 17.0.9+9)\n',
    'openjdk version "21.0.1" 2023-10-17 LTS\nOpenJDK Runtime Environment Corretto-21.0.1.12.1 (build 21.0.1+12-LTS)\n',
    'openjdk version "11.0.21" 2023-10-17 LTS\nOpenJDK Runtime Environment Zulu11.68+17-CA (build 11.0.21+9-LTS)\n',
    'openjdk version "1.8.0_392"\nOpenJDK Runtime Environment (Temurin)(build 1.8.0_392-b08)\n',
    'java version "21.0.1" 2023-10-17 LTS\nJava(TM) SE Runtime Environment (build 21.0.1+12-LTS-29)\n',
]


def make_homes(root, count):
    candidates = os.path.join(root, "home", ".sdkman", "candidates", "java")
    homes = []
    for i in range(count):
        home = os.path.join(candidates, f"jdk-{i:03d}")
        os.makedirs(os.path.join(home, "bin"))
        launcher = os.path.join(home, "bin", "java")
        with open(launcher, "w") as f:
            banner = BANNERS[i % len(BANNERS)].replace("\n", "\\n")
            f.write(f"#!/bin/sh\nprintf '{banner}' >&2\n")
        os.chmod(launcher, 0o755)
        homes.append(home)
    return os.path.join(root, "home"), homes


def cpu_seconds():
    """CPU time of this process and its finished children, user and system.

    Unlike wall time it does not count waiting for a CPU, so it stays steady
    when other work loads the machine."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def bare_spawns(launchers):
    for launcher in launchers:
        subprocess.run([launcher, "-version"], capture_output=True, text=True, timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--homes", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=21)
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="marl-bench-java-")
    try:
        home, homes = make_homes(root, args.homes)
        empty_bin = os.path.join(root, "empty-bin")
        os.mkdir(empty_bin)
        os.environ.update(HOME=home, PATH=empty_bin)
        os.environ.pop("JAVA_HOME", None)

        from strix.compute import jvm_elig

        jvm_elig.platform = types.SimpleNamespace(system=lambda: "Darwin")
        launchers = [os.path.join(h, "bin", "java") for h in homes]

        found = jvm_elig.find_all_java_installations()
        assert sorted(i.path for i in found) == homes, "discovery did not find exactly the fake homes"

        def native_run():
            jvm_elig.find_all_java_installations()

        def bare_run():
            bare_spawns(launchers)

        times = {native_run: [], bare_run: []}
        cpu = {native_run: 0.0, bare_run: 0.0}
        for round_ in range(args.repeat):
            # interleaved, alternating which side goes first, so drift and
            # warm-up hit both sides alike
            order = (native_run, bare_run) if round_ % 2 == 0 else (bare_run, native_run)
            for run in order:
                cpu_start = cpu_seconds()
                start = time.perf_counter()
                run()
                times[run].append(time.perf_counter() - start)
                cpu[run] += cpu_seconds() - cpu_start
        native_times, bare_times = times[native_run], times[bare_run]
        cpu_ratio = cpu[native_run] / cpu[bare_run]

        # The module's own work, without processes: every launcher "prints"
        # a canned banner at once.
        canned = subprocess.CompletedProcess([], 0, "", BANNERS[0])
        jvm_elig.subprocess = types.SimpleNamespace(run=lambda argv, **kwargs: canned)
        start = time.perf_counter()
        for _ in range(args.repeat):
            jvm_elig.find_all_java_installations()
        own_work = (time.perf_counter() - start) / args.repeat
        jvm_elig.subprocess = subprocess
    finally:
        shutil.rmtree(root, ignore_errors=True)

    native, bare = statistics.median(native_times), statistics.median(bare_times)
    # Each round's two runs are adjacent in time; the median of their ratios
    # is less sensitive to load from other processes than a ratio of totals.
    paired = statistics.median(n / b for n, b in zip(native_times, bare_times))
    print(f"find_all_java_installations over {args.homes} fake Java homes ({args.repeat} rounds, medians)")
    print(f"  {args.homes} bare spawns, pure Python : {bare * 1000:8.1f} ms  (best {min(bare_times) * 1000:.1f})")
    print(f"  find_all_java_installations   : {native * 1000:8.1f} ms  (best {min(native_times) * 1000:.1f})")
    print(f"  ratio, paired rounds          : {paired:8.3f}   (target <= 1.05)")
    print(f"  ratio of CPU time, all rounds : {cpu_ratio:8.3f}")
    print(f"  module's own work, no spawns  : {own_work * 1000:8.2f} ms  ({own_work / bare:.1%} of the bare spawns)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
