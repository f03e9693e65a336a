"""The docs server at the size of a large project: `marl docs serve` (uvicorn,
SQLite) over a store of N profiled tables with one alert each.

Prints, for the pages and the endpoints they read, the status, the size of
the response and the time it took, then how long a request that does not
read the store (/docs) waits while /alerts pages are being served.

Run from the repository root:

    PYTHONPATH=host .venv/bin/python bench/bench_docs_server.py [--tables 100000]
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "host"), str(ROOT / "tests")]
os.environ.setdefault("MARL_PYTHON", sys.executable)

import httpx  # noqa: E402
from serverkit import marl_docs_serve  # noqa: E402

from strix.compute.metadata import ProjectMetadataStore  # noqa: E402

PATHS = ["/", "/alerts", "/alerts?severity=error&page=30", "/api/profile/tables", "/api/profile/alerts",
         "/api/profile/stats"]


def fill(root: Path, tables: int) -> None:
    with ProjectMetadataStore(root) as store:
        store.initialize()
    with sqlite3.connect(root / ".marl" / "metadata.db") as conn:
        conn.executemany(
            "INSERT INTO profile_runs (source_name, table_name, profile_mode, row_count, profiled_at)"
            " VALUES (?, ?, 'full', ?, '2024-06-01T12:00:00')",
            [(f"src{i % 20}", f"table_{i:06d}", i) for i in range(tables)])
        conn.executemany(
            "INSERT INTO profile_alerts (run_id, source_name, table_name, type, severity, message)"
            " VALUES (?, ?, ?, 'high_null_rate', ?, ?)",
            [(i + 1, f"src{i % 20}", f"table_{i:06d}", ("info", "warning", "error")[i % 3], f"alert {i}")
             for i in range(tables)])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", type=int, default=100_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        fill(root, args.tables)
        with marl_docs_serve(root, timeout=60) as http:
            http.timeout = 300
            print(f"{args.tables:,} tables, {args.tables:,} alerts")
            for path in PATHS:
                start = time.monotonic()
                r = http.get(path)
                print(f"  GET {path:34} {r.status_code}  {len(r.content) / 1e6:6.2f} MB  "
                      f"{time.monotonic() - start:5.2f} s")

            loaded = threading.Event()

            def load_alerts() -> None:
                with httpx.Client(base_url=http.base_url, timeout=300) as client:
                    for _ in range(3):
                        client.get("/alerts")
                loaded.set()

            loader = threading.Thread(target=load_alerts)
            loader.start()
            waits = []
            while not loaded.is_set():
                start = time.monotonic()
                http.get("/docs")
                waits.append(time.monotonic() - start)
                time.sleep(0.05)
            loader.join()
            print(f"  GET /docs while /alerts is served three times: {len(waits)} requests, "
                  f"median {statistics.median(waits) * 1000:.0f} ms, max {max(waits) * 1000:.0f} ms")


if __name__ == "__main__":
    main()
