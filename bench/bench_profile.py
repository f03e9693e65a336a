"""Benchmark of the profile API's table-profile endpoint.

1. Awaiting ``get_table_profile`` on a 500-column table served by an
   in-memory store object: the native module against a straightforward
   pure-Python implementation of the same endpoint, side by side, plus the
   share of the pure-Python time spent in ``json.loads`` alone.
2. Requests per second of GET /api/profile/tables/{source}/{table} through
   uvicorn on loopback (SQLite store, same 500-column table), measured with
   an HTTP client loop over one keep-alive connection, for both
   implementations.

Run from the repository root:

    PYTHONPATH=host .venv/bin/python bench/bench_profile.py [--columns 500] [--http-seconds 5] [--no-http]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path
from typing import Any, Dict, List, Optional

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(HERE))

import strix.compute.metadata as metadata  # noqa: E402
from pure_profile import table_profile_document  # noqa: E402


# --- the pure-Python endpoint ------------------------------------------------------


class HTTPException(Exception):
    def __init__(self, status_code, detail):
        self.status_code = status_code
        self.detail = detail


_project_root = None
_store_initialized = False


def _get_store():
    global _store_initialized
    if _project_root is None:
        raise HTTPException(status_code=500, detail="Project root not configured")
    try:
        from strix.compute.metadata import ProjectMetadataStore

        store = ProjectMetadataStore(_project_root)
        if not _store_initialized:
            store.initialize()
            _store_initialized = True
        return store
    except Exception as e:
        raise HTTPException(status_code=500, detail=f"Could not open metadata store: {str(e)}")


async def get_table_profile(source_name: str, table_name: str, mode: Optional[str] = None) -> Dict[str, Any]:
    """Get profile results for a specific table."""
    import json

    store = _get_store()
    try:
        profiles = store.get_table_profile(source_name, table_name, mode)
        if not profiles:
            raise HTTPException(status_code=404, detail=f"No profile found for {source_name}.{table_name}")
        return table_profile_document(source_name, table_name, profiles, json)
    finally:
        store.close()


# --- data ------------------------------------------------------------------------


def sample_columns(count: int) -> List[Dict[str, Any]]:
    """Columns of a wide table: numeric ones with a histogram, categorical ones
    with top values, text ones with neither; one in five carries an alert."""
    columns = []
    for i in range(count):
        kind = i % 3
        c: Dict[str, Any] = {
            "column_name": f"col_{i:03d}",
            "null_count": i * 7 % 113,
            "null_percent": round((i * 7 % 113) / 10.0, 2),
            "distinct_count": 1000 - i,
            "distinct_percent": round((1000 - i) / 10.0, 2),
            "duration_ms": 20 + i % 50,
        }
        if kind == 0:
            c.update(min_value=0.0, max_value=1000.0 + i, mean_value=500.5, median_value=498.0,
                     stddev_value=288.7, p25=250.0, p50=498.0, p75=750.0)
            c["histogram"] = json.dumps([
                {"bucket_start": b * 100.0, "bucket_end": (b + 1) * 100.0, "count": 90 + (b * i) % 40}
                for b in range(10)
            ])
        elif kind == 1:
            c.update(min_length=3, max_length=12, avg_length=7.25)
            c["top_values"] = json.dumps([
                {"value": f"value_{i}_{k}", "count": 500 // (k + 1), "percent": round(50.0 / (k + 1), 3)}
                for k in range(10)
            ])
            c["histogram"] = ""
        else:
            c.update(min_length=0, max_length=255, avg_length=31.5, top_values="")
        if i % 5 == 0:
            c["alerts"] = json.dumps([{"type": "high_null_rate", "severity": "warning",
                                       "message": f"col_{i:03d} is {c['null_percent']}% null"}])
        elif i % 5 == 1:
            c["alerts"] = "[]"
        columns.append(c)
    return columns


class MemoryStore:
    """A store object whose table profile is a prepared list of records."""

    profiles: List[metadata.ColumnProfile] = []

    def __init__(self, project_root):
        self.project_root = project_root

    def initialize(self):
        pass

    def close(self):
        pass

    def get_table_profile(self, source_name, table_name, mode):
        return MemoryStore.profiles


def memory_profiles(count: int) -> List[metadata.ColumnProfile]:
    when = datetime(2024, 6, 1, 12, 0, 0)
    return [
        metadata.ColumnProfile(source_name="raw", table_name="wide", profile_mode="full", row_count=1_000_000,
                               profiled_at=when, **{k: c.get(k) for k in ("column_name",) + metadata.COLUMN_METRICS
                                                    + metadata.JSON_FIELDS + ("duration_ms",)})
        for c in sample_columns(count)
    ]


# --- 1. awaiting the endpoint ------------------------------------------------------


def time_awaits(fns, loops: int, repeats: int) -> List[float]:
    """Best time of one await of each function, in seconds of this process's
    CPU time (so that other work on the machine counts less); the functions
    take turns, so a slow spell of the machine hits them alike."""

    async def many(fn):
        for _ in range(loops):
            await fn("raw", "wide", None)

    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            t = time.process_time()
            asyncio.run(many(fn))
            best[i] = min(best[i], (time.process_time() - t) / loops)
    return best


def bench_await(columns: int, loops: int, repeats: int) -> None:
    global _project_root
    import strix.task.docs.api.profile as native

    MemoryStore.profiles = memory_profiles(columns)
    saved = metadata.ProjectMetadataStore
    metadata.ProjectMetadataStore = MemoryStore
    try:
        native.set_project_root(Path("."))
        _project_root = Path(".")
        pure_result = asyncio.run(get_table_profile("raw", "wide", None))
        native_result = asyncio.run(native.get_table_profile("raw", "wide", None))
        assert native_result == pure_result, "the two implementations disagree"

        texts = [t for p in MemoryStore.profiles for t in (p.histogram, p.top_values, p.alerts) if t]
        t_pure, t_native = time_awaits([get_table_profile, native.get_table_profile], loops, repeats)
        # The same native endpoint with every JSON field left to json.loads:
        # an equivalent default decoder that is not the original one turns
        # the native decoder off.
        standard = json._default_decoder
        json._default_decoder = json.JSONDecoder()
        try:
            (t_native_loads,) = time_awaits([native.get_table_profile], loops, repeats)
        finally:
            json._default_decoder = standard
        best_json = min(_time(lambda: [json.loads(t) for t in texts]) for _ in range(repeats * 3))
    finally:
        metadata.ProjectMetadataStore = saved

    print(f"await get_table_profile, {columns} columns ({len(texts)} JSON fields), in-memory store:")
    print(f"  pure Python  {t_pure * 1e3:8.3f} ms")
    print(f"  native       {t_native * 1e3:8.3f} ms   ({t_pure / t_native:.2f}x faster)")
    print(f"  native, JSON fields decoded by json.loads "
          f"{t_native_loads * 1e3:.3f} ms   ({t_pure / t_native_loads:.2f}x faster)")
    print(f"  json.loads of the JSON fields alone: {best_json * 1e3:.3f} ms "
          f"({100 * best_json / t_pure:.0f}% of the pure-Python time)")


def _time(fn) -> float:
    t = time.process_time()
    fn()
    return time.process_time() - t


# --- 2. through uvicorn ---------------------------------------------------------------


def serve(kind: str, project: str, port: int) -> None:
    """Child process: serve one implementation of the endpoint with uvicorn."""
    global _project_root
    import uvicorn
    from fastapi import APIRouter, FastAPI

    app = FastAPI()
    if kind == "native":
        import strix.task.docs.api.profile as native

        native.set_project_root(Path(project))
        app.include_router(native.router)
    else:
        _project_root = Path(project)
        router = APIRouter(prefix="/api/profile")
        router.get("/tables/{source_name}/{table_name}")(get_table_profile)
        app.include_router(router)
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def requests_per_second(kind: str, project: Path, columns: int, seconds: float) -> float:
    import httpx

    port = free_port()
    env = dict(os.environ, PYTHONPATH=str(ROOT / "host"))
    proc = subprocess.Popen([sys.executable, __file__, "--serve", kind, str(project), str(port)], env=env)
    try:
        url = f"http://127.0.0.1:{port}/api/profile/tables/raw/wide"
        with httpx.Client(timeout=10) as client:
            deadline = time.monotonic() + 30
            while True:
                try:
                    r = client.get(url)
                    break
                except httpx.TransportError:
                    if time.monotonic() > deadline or proc.poll() is not None:
                        raise RuntimeError(f"{kind} server did not start")
                    time.sleep(0.1)
            assert r.status_code == 200 and r.json()["column_count"] == columns
            for _ in range(20):  # warm up
                client.get(url)
            count, start = 0, time.perf_counter()
            while time.perf_counter() - start < seconds:
                r = client.get(url)
                r.raise_for_status()
                count += 1
            return count / (time.perf_counter() - start)
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def bench_http(columns: int, seconds: float) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        project = Path(tmp)
        with metadata.ProjectMetadataStore(project) as store:
            store.record_table_profile("raw", "wide", "full", 1_000_000, sample_columns(columns),
                                       profiled_at=datetime(2024, 6, 1, 12, 0, 0))
        size = len(json.dumps(asyncio.run(_native_response(project))))
        print(f"\nGET /api/profile/tables/raw/wide through uvicorn on 127.0.0.1 "
              f"({columns} columns, {size // 1024} KiB of JSON, SQLite store), "
              f"one keep-alive client for {seconds:g} s:")
        results = {kind: requests_per_second(kind, project, columns, seconds) for kind in ("pure", "native")}
    print(f"  pure Python  {results['pure']:8.1f} requests/s")
    print(f"  native       {results['native']:8.1f} requests/s   ({results['native'] / results['pure']:.2f}x)")


async def _native_response(project: Path):
    import strix.task.docs.api.profile as native

    native.set_project_root(project)
    return await native.get_table_profile("raw", "wide", None)


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        serve(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--columns", type=int, default=500)
    parser.add_argument("--loops", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--http-seconds", type=float, default=5.0)
    parser.add_argument("--no-http", action="store_true", help="skip the uvicorn measurement")
    args = parser.parse_args()
    bench_await(args.columns, args.loops, args.repeats)
    if not args.no_http:
        bench_http(args.columns, args.http_seconds)


if __name__ == "__main__":
    main()
