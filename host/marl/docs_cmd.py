"""``marl docs``: serve the project's docs API and show sample responses.

``marl docs serve`` runs a FastAPI application that includes the profile API
router (``strix.task.docs.api.profile``, under /api/profile) with uvicorn,
together with the pages for people of ``marl.pages`` (profile browser at /,
plan graph of ``--manifest`` at /plan). It answers only requests addressed to
a loopback name or the address it serves on (``--allow-host`` adds names),
and the way it serves is ``marl.docs_server``'s.
``marl docs sample`` records sample profiling results into the project's
metadata store when it holds none yet and prints one response of each
profile endpoint, requested in-process through FastAPI's test client.
"""

from __future__ import annotations

import argparse
import errno
import json
import socket
import sys
import warnings
from datetime import datetime, timedelta
from pathlib import Path
from typing import Any, Dict, List, Optional

from marl import exit_status
from marl.cli import setup_hint

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8580
SAMPLE_COLUMNS_SHOWN = 2
# When the sample profiles say they were taken (table n, 7 n minutes later).
SAMPLE_PROFILED_AT = datetime(2024, 7, 1, 6, 0, 0)


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "docs",
        help="serve the docs API (profiling results)",
        description="Serve the project's docs API, or show sample responses of it.",
    )
    commands = parser.add_subparsers(dest="docs_command", metavar="SUBCOMMAND", required=True)

    serve = commands.add_parser(
        "serve",
        help="run the docs API server",
        description="Run the docs API (GET /api/profile/...) with uvicorn.",
    )
    _add_project_argument(serve)
    serve.add_argument("--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST})")
    serve.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"port to listen on (default {DEFAULT_PORT})")
    serve.add_argument("--manifest", metavar="MANIFEST.json", default=None,
                       help="manifest whose plan graph is shown at /plan")
    serve.add_argument("--target", metavar="CONNECTION", default=None,
                       help="connection the models are materialized into (for /plan)")
    serve.add_argument("--allow-host", metavar="NAME", action="append", default=[],
                       help="also answer requests whose Host is NAME (repeatable); by default only "
                            "the loopback names and the --host address are answered")
    serve.add_argument("--root-path", metavar="PREFIX", default="",
                       help="path prefix under which a proxy serves the application (for example /marl)")
    serve.set_defaults(func=run_serve)

    sample = commands.add_parser(
        "sample",
        help="seed sample profiles if none exist and print each endpoint's response",
        description=(
            "Record sample profiling results into the project's metadata store when it "
            "holds none, then print one response of each /api/profile endpoint. A store "
            "that holds other profiles is left alone (exit status 2) unless --force is given."
        ),
    )
    _add_project_argument(sample)
    sample.add_argument("--force", action="store_true",
                        help="record the sample profiles even into a store that holds other profiles")
    sample.set_defaults(func=run_sample)


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number (0 to 65535)")
    return port


def _add_project_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--project",
        metavar="DIR",
        default=".",
        help="project root; its metadata store is DIR/.marl/metadata.db (default: current directory)",
    )


def _usage_error(message: str) -> None:
    """Bad input: the message on stderr and exit status 2 (SystemExit with
    a text would exit 1, the status of a finding)."""
    print(message, file=sys.stderr)
    raise SystemExit(exit_status.USAGE)


def _project_root(args: argparse.Namespace, command: str) -> Path:
    root = Path(args.project).resolve()
    if not root.is_dir():
        _usage_error(f"marl docs {command}: error: project directory {args.project!r} not found")
    return root


def create_app(project_root: Path, manifest: Optional[Path] = None, target: Optional[str] = None,
               allowed_hosts: Optional[List[str]] = None):
    """A FastAPI application serving the profile API for ``project_root``,
    and the pages for people (profile browser at /, plan graph at /plan),
    answering the ``Host`` names of ``allowed_hosts`` (default: loopback)."""
    from fastapi import FastAPI

    from marl import docs_server, pages
    from marl.offline_docs import add_offline_docs, markdown_text
    from marl.profile_access import Limits
    from strix.task.docs.api import profile

    profile.set_project_root(project_root)
    # What the server shows names the project by its folder, never by its path.
    app = FastAPI(title="marl docs", docs_url=None, redoc_url=None, lifespan=docs_server.lifespan,
                  description=f"Docs API of the project {markdown_text(Path(project_root).name)}")
    app.state.limits = Limits.new()
    app.state.on_shutdown = []
    add_offline_docs(app)
    docs_server.add_profile_api(app, profile.router)
    docs_server.add_error_handlers(app)
    pages.install(app, project_root, manifest, target)
    # Outermost last: the Host check, HEAD as GET, JSON for API failures.
    app.add_middleware(docs_server.PathOnlyRedirects)
    app.add_middleware(docs_server.ApiInternalErrors)
    app.add_middleware(docs_server.HeadAsGet)
    app.add_middleware(docs_server.LocalHostsOnly,
                       allowed_hosts=allowed_hosts or docs_server.allowed_hosts(DEFAULT_HOST))
    return app


def _missing(command: str, e: ImportError) -> int:
    print(
        f"marl docs {command}: error: {e}; {setup_hint('[docs]')} "
        "(FastAPI, uvicorn and the native modules)",
        file=sys.stderr,
    )
    return exit_status.NOT_SET_UP


def run_serve(args: argparse.Namespace) -> int:
    root = _project_root(args, "serve")
    manifest = None
    if args.manifest is not None:
        manifest = Path(args.manifest).resolve()
        if not manifest.is_file():
            _usage_error(f"marl docs serve: error: manifest {args.manifest!r} not found")
    try:
        import uvicorn

        from marl.docs_server import allowed_hosts

        hosts = allowed_hosts(args.host, args.allow_host,
                              warn=lambda note: print(f"marl docs serve: warning: {note}", file=sys.stderr))
        from marl.profile_access import store_path_problem

        problem = store_path_problem(root)
        if problem:
            print(f"marl docs serve: warning: {problem}", file=sys.stderr)
        app = create_app(root, manifest, args.target, allowed_hosts=hosts)
    except ImportError as e:
        return _missing("serve", e)
    try:
        sock = bind_socket(args.host, args.port)
    except OSError as e:
        reason = "the address is in use (is another server running there? choose one with --port)" \
            if e.errno == errno.EADDRINUSE else (e.strerror or str(e))
        print(f"marl docs serve: error: cannot serve on {args.host}:{args.port}: {reason}", file=sys.stderr)
        return exit_status.CANNOT_SERVE
    port = sock.getsockname()[1]
    print(f"marl docs: serving {root} on http://{_url_host(args.host)}:{port}{args.root_path}/ "
          f"(profiles at /, plan graph at /plan, API at /api/profile; "
          f"Host names answered: {', '.join(hosts)})", file=sys.stderr)
    config = uvicorn.Config(app, host=args.host, port=port, root_path=args.root_path, log_level="info")
    with sock:
        uvicorn.Server(config).run(sockets=[sock])
    return 0


def bind_socket(host: str, port: int) -> socket.socket:
    """A listening socket on ``host``:``port``, bound before the server
    starts so an address in use is reported plainly (uvicorn would say it
    started first)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host.strip("[]"), port))
    except OSError:
        sock.close()
        raise
    sock.set_inheritable(True)
    return sock


def _url_host(host: str) -> str:
    return f"[{host.strip('[]')}]" if ":" in host else host


# --- sample data -------------------------------------------------------------

# (source, table, row count, [(column, kind)]) for the shop example's sources.
SAMPLE_TABLES = [
    ("raw", "orders", 120_000, [("order_id", "id"), ("customer_id", "id"), ("status", "category"),
                                ("amount", "number"), ("ordered_at", "date")]),
    ("raw", "customers", 8_400, [("customer_id", "id"), ("email", "text"), ("country", "category"),
                                 ("signup_date", "date")]),
    ("raw", "payments", 131_250, [("payment_id", "id"), ("order_id", "id"), ("method", "category"),
                                  ("amount", "number")]),
    ("lake", "events", 2_450_000, [("event_id", "id"), ("user_id", "id"), ("event_type", "category"),
                                   ("payload", "text")]),
    ("crm", "accounts", 1_120, [("account_id", "id"), ("name", "text"), ("industry", "category"),
                                ("annual_revenue", "number")]),
]

_CATEGORIES = {
    "status": ["completed", "shipped", "returned", "cancelled"],
    "country": ["DE", "US", "FR", "GB", "NL"],
    "method": ["card", "paypal", "invoice"],
    "event_type": ["page_view", "click", "add_to_cart", "purchase"],
    "industry": ["retail", "software", None, "logistics"],
}


def _sample_column(source: str, table: str, rows: int, name: str, kind: str, index: int) -> Dict[str, Any]:
    seed = sum(map(ord, f"{source}.{table}.{name}"))
    nulls = 0 if kind == "id" else (seed * 7) % max(rows // 10, 1)
    if table == "accounts" and name == "industry":
        nulls = rows // 4
    non_null = rows - nulls
    column: Dict[str, Any] = {
        "column_name": name,
        "null_count": nulls,
        "null_percent": round(100.0 * nulls / rows, 2),
        "duration_ms": 40 + seed % 200,
    }
    alerts: List[Dict[str, Any]] = []
    if kind == "id":
        distinct = non_null if index == 0 else non_null // (3 + seed % 13)
        column.update(distinct_count=distinct, distinct_percent=round(100.0 * distinct / rows, 2),
                      min_value=1, max_value=rows if index == 0 else distinct)
    elif kind == "number":
        mean = 50.0 + seed % 400
        column.update(
            distinct_count=non_null // 3, distinct_percent=round(100.0 / 3, 2),
            min_value=0.5, max_value=round(mean * 9, 2), mean_value=mean, median_value=round(mean * 0.8, 2),
            stddev_value=round(mean / 2, 2), p25=round(mean * 0.4, 2), p50=round(mean * 0.8, 2),
            p75=round(mean * 1.4, 2),
            histogram=[{"bin": f"{b * mean:.0f}-{(b + 1) * mean:.0f}", "count": non_null // (2 ** (b + 1))}
                       for b in range(5)],
        )
    elif kind == "category":
        values = _CATEGORIES[name]
        counts = [non_null // (2 ** (i + 1)) for i in range(len(values))]
        column.update(
            distinct_count=len([v for v in values if v is not None]),
            distinct_percent=round(100.0 * len(values) / rows, 4),
            min_length=2, max_length=max(len(v) for v in values if v),
            top_values=[{"value": v, "count": c} for v, c in zip(values, counts) if v is not None],
        )
    elif kind == "text":
        column.update(
            distinct_count=non_null - seed % 50, distinct_percent=round(100.0 * (non_null - seed % 50) / rows, 2),
            min_length=3, max_length=40 + seed % 60, avg_length=round(12.0 + seed % 20, 1),
        )
    else:  # date
        column.update(distinct_count=min(non_null, 900), distinct_percent=round(100.0 * min(non_null, 900) / rows, 2),
                      min_value="2021-01-01", max_value="2024-06-30")
    if column["null_percent"] >= 20:
        alerts.append({"type": "high_null_rate", "severity": "warning",
                       "message": f"{column['null_percent']}% of {name} is null"})
    if kind == "id" and index == 0:
        alerts.append({"type": "unique_key_candidate", "severity": "info",
                       "message": f"{name} is unique and never null"})
    if kind == "text" and table == "events":
        alerts.append({"type": "wide_text", "severity": "error",
                       "message": f"{name} values are up to {column['max_length']} characters long"})
    column["alerts"] = alerts or None
    return column


def seed_sample_profiles(store) -> int:
    """Record the sample profile runs into ``store``; returns the number of tables."""
    profiled_at = SAMPLE_PROFILED_AT
    for n, (source, table, rows, columns) in enumerate(SAMPLE_TABLES):
        column_profiles = [
            _sample_column(source, table, rows, name, kind, i) for i, (name, kind) in enumerate(columns)
        ]
        table_alerts = [
            {"source_name": source, "table_name": table, "column_name": column["column_name"], **alert}
            for column in column_profiles
            for alert in column["alerts"] or ()
        ]
        mode = "full" if rows < 200_000 else "sample"
        store.record_table_profile(source, table, mode, rows, column_profiles,
                                   profiled_at=profiled_at + timedelta(minutes=7 * n), alerts=table_alerts)
    return len(SAMPLE_TABLES)


def holds_only_samples(store) -> bool:
    """Whether every profile in ``store`` is one ``seed_sample_profiles`` wrote."""
    samples = {(source, table, SAMPLE_PROFILED_AT + timedelta(minutes=7 * n))
               for n, (source, table, *_) in enumerate(SAMPLE_TABLES)}
    return all((row[0], row[1], row[3]) in samples for row in store.get_all_profiled_tables())


def run_sample(args: argparse.Namespace) -> int:
    root = _project_root(args, "sample")
    try:
        with warnings.catch_warnings():
            # The test client's transport warns about its HTTP library on import.
            warnings.simplefilter("ignore")
            from fastapi.testclient import TestClient

        from strix.compute.metadata import ProjectMetadataStore

        app = create_app(root)
    except ImportError as e:
        return _missing("sample", e)

    with ProjectMetadataStore(root) as store:
        if not store.has_profiles():
            count = seed_sample_profiles(store)
            print(f"recorded sample profiles of {count} tables into {store.db_path}")
        elif holds_only_samples(store):
            print(f"metadata store {store.db_path} already holds profiles, the samples: left as they are")
        elif args.force:
            count = seed_sample_profiles(store)
            print(f"recorded sample profiles of {count} tables into {store.db_path} "
                  "beside the profiles it held (--force)")
        else:
            print(f"marl docs sample: error: the metadata store {store.db_path} already holds "
                  "profiles of this project; the sample's made-up profiles would show among them. "
                  "Give --force to record them anyway", file=sys.stderr)
            return exit_status.USAGE

    source, table = SAMPLE_TABLES[0][:2]
    paths = [
        "/api/profile/tables",
        f"/api/profile/tables/{source}/{table}",
        "/api/profile/alerts?severity=warning",
        "/api/profile/stats",
    ]
    with TestClient(app, base_url="http://127.0.0.1") as client:
        for path in paths:
            response = client.get(path)
            body = response.json()
            note = ""
            if isinstance(body, dict) and isinstance(body.get("columns"), list):
                total = len(body["columns"])
                if total > SAMPLE_COLUMNS_SHOWN:
                    body = dict(body, columns=body["columns"][:SAMPLE_COLUMNS_SHOWN])
                    note = f"  (first {SAMPLE_COLUMNS_SHOWN} of {total} columns shown)"
            print(f"\nGET {path} -> {response.status_code}{note}")
            print(json.dumps(body, indent=2))
    return 0
