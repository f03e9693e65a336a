"""Project metadata store: data-profiling results of a project, kept in SQLite.

The database lives at ``<project root>/.marl/metadata.db``. A profile run is
one profiling pass over one table (its mode, row count and time) with one
column profile per column; alerts are recorded per run. Readers see the
latest run of each table.

Readers never create anything: a project without a database reads as empty.
``initialize()`` creates the database and its schema; the writer methods
(``record_table_profile``, ``record_alerts``) initialize on first use. Every
statement is parameterised.
"""

from __future__ import annotations

import json
import sqlite3
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any, Iterable, List, Mapping, Optional, Tuple, Union

DB_DIR = ".marl"
DB_NAME = "metadata.db"

# Per-column metrics in response order; the three JSON fields hold JSON text.
COLUMN_METRICS = (
    "null_count",
    "null_percent",
    "distinct_count",
    "distinct_percent",
    "min_value",
    "max_value",
    "mean_value",
    "median_value",
    "stddev_value",
    "p25",
    "p50",
    "p75",
    "min_length",
    "max_length",
    "avg_length",
)
JSON_FIELDS = ("histogram", "top_values", "alerts")

ALERT_FIELDS = ("source_name", "table_name", "column_name", "type", "severity", "message")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS profile_runs (
    run_id       INTEGER PRIMARY KEY AUTOINCREMENT,
    source_name  TEXT NOT NULL,
    table_name   TEXT NOT NULL,
    profile_mode TEXT NOT NULL,
    row_count    INTEGER,
    profiled_at  TEXT
);
CREATE INDEX IF NOT EXISTS profile_runs_table ON profile_runs (source_name, table_name, run_id);
CREATE TABLE IF NOT EXISTS column_profiles (
    run_id           INTEGER NOT NULL REFERENCES profile_runs (run_id),
    position         INTEGER NOT NULL,
    column_name      TEXT NOT NULL,
    null_count       INTEGER,
    null_percent     REAL,
    distinct_count   INTEGER,
    distinct_percent REAL,
    min_value,
    max_value,
    mean_value       REAL,
    median_value     REAL,
    stddev_value     REAL,
    p25              REAL,
    p50              REAL,
    p75              REAL,
    min_length       INTEGER,
    max_length       INTEGER,
    avg_length       REAL,
    histogram        TEXT,
    top_values       TEXT,
    alerts           TEXT,
    duration_ms      INTEGER,
    PRIMARY KEY (run_id, position)
);
CREATE TABLE IF NOT EXISTS profile_alerts (
    alert_id    INTEGER PRIMARY KEY AUTOINCREMENT,
    run_id      INTEGER REFERENCES profile_runs (run_id),
    source_name TEXT NOT NULL,
    table_name  TEXT NOT NULL,
    column_name TEXT,
    type        TEXT,
    severity    TEXT,
    message     TEXT
);
"""

# The latest run of every table.
_LATEST_RUNS = """
SELECT MAX(run_id) FROM profile_runs GROUP BY source_name, table_name
"""


@dataclass
class ColumnProfile:
    """One column of one profile run, with the run's table-level facts."""

    source_name: str
    table_name: str
    profile_mode: str
    row_count: Optional[int]
    profiled_at: Optional[datetime]
    column_name: str
    null_count: Optional[int] = None
    null_percent: Optional[float] = None
    distinct_count: Optional[int] = None
    distinct_percent: Optional[float] = None
    min_value: Any = None
    max_value: Any = None
    mean_value: Optional[float] = None
    median_value: Optional[float] = None
    stddev_value: Optional[float] = None
    p25: Optional[float] = None
    p50: Optional[float] = None
    p75: Optional[float] = None
    min_length: Optional[int] = None
    max_length: Optional[int] = None
    avg_length: Optional[float] = None
    histogram: Optional[str] = None
    top_values: Optional[str] = None
    alerts: Optional[str] = None
    duration_ms: Optional[int] = None


def _timestamp(text: Optional[str]) -> Optional[datetime]:
    return datetime.fromisoformat(text) if text else None


def _json_text(value: Any) -> Optional[str]:
    """JSON fields are stored as text: strings as given, other values encoded."""
    if value is None or isinstance(value, str):
        return value
    return json.dumps(value)


class ProjectMetadataStore:
    """Profiling results of the project at ``project_root``."""

    def __init__(self, project_root: Union[str, Path]) -> None:
        root = Path(project_root)
        if not root.is_dir():
            raise FileNotFoundError(f"project root {str(root)!r} is not a directory")
        self.project_root = root
        self.db_path = root / DB_DIR / DB_NAME
        self._conn: Optional[sqlite3.Connection] = None
        if self.db_path.is_file():
            self._conn = sqlite3.connect(self.db_path)

    # --- life cycle -------------------------------------------------------

    def initialize(self) -> None:
        """Create the database and its schema when missing."""
        if self._conn is None:
            self.db_path.parent.mkdir(parents=True, exist_ok=True)
            self._conn = sqlite3.connect(self.db_path)
        with self._conn:
            self._conn.executescript(_SCHEMA)

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def __enter__(self) -> "ProjectMetadataStore":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def _rows(self, sql: str, params: Tuple[Any, ...] = ()) -> List[tuple]:
        if self._conn is None:
            return []
        return self._conn.execute(sql, params).fetchall()

    # --- readers ----------------------------------------------------------

    def get_all_profiled_tables(self) -> List[Tuple[str, str, str, Optional[datetime]]]:
        """(source, table, mode, profiled_at) of the latest run of each table."""
        rows = self._rows(
            f"""
            SELECT source_name, table_name, profile_mode, profiled_at
            FROM profile_runs WHERE run_id IN ({_LATEST_RUNS})
            ORDER BY source_name, table_name
            """
        )
        return [(s, t, m, _timestamp(at)) for s, t, m, at in rows]

    def get_table_profile(
        self, source_name: str, table_name: str, mode: Optional[str] = None
    ) -> List[ColumnProfile]:
        """Column profiles of the table's latest run (of that mode, when given)."""
        metrics = ", ".join(f"c.{name}" for name in COLUMN_METRICS + JSON_FIELDS)
        rows = self._rows(
            f"""
            SELECT r.source_name, r.table_name, r.profile_mode, r.row_count, r.profiled_at,
                   c.column_name, {metrics}, c.duration_ms
            FROM column_profiles c JOIN profile_runs r ON r.run_id = c.run_id
            WHERE c.run_id = (
                SELECT MAX(run_id) FROM profile_runs
                WHERE source_name = ? AND table_name = ? AND (? IS NULL OR profile_mode = ?)
            )
            ORDER BY c.position
            """,
            (source_name, table_name, mode, mode),
        )
        profiles = []
        for row in rows:
            row = list(row)
            row[4] = _timestamp(row[4])
            profiles.append(ColumnProfile(*row))
        return profiles

    def get_profile_alerts(self, source_name: Optional[str] = None) -> List[dict]:
        """Alerts of the latest run of each table and alerts recorded without
        a run, of one source when given, in recording order."""
        rows = self._rows(
            f"""
            SELECT {", ".join(ALERT_FIELDS)} FROM profile_alerts
            WHERE (run_id IS NULL OR run_id IN ({_LATEST_RUNS}))
              AND (? IS NULL OR source_name = ?)
            ORDER BY alert_id
            """,
            (source_name, source_name),
        )
        # Fields that were not recorded are left out, so readers fall back
        # to their own defaults (alert.get("severity", "info")).
        return [{k: v for k, v in zip(ALERT_FIELDS, row) if v is not None} for row in rows]

    def has_profiles(self) -> bool:
        return bool(self._rows("SELECT 1 FROM profile_runs LIMIT 1"))

    # --- writers ----------------------------------------------------------

    def _writer(self) -> sqlite3.Connection:
        if self._conn is None:
            self.initialize()
        assert self._conn is not None
        return self._conn

    def record_table_profile(
        self,
        source_name: str,
        table_name: str,
        profile_mode: str,
        row_count: Optional[int],
        columns: Iterable[Mapping[str, Any]],
        profiled_at: Optional[datetime] = None,
        alerts: Iterable[Mapping[str, Any]] = (),
    ) -> int:
        """Record one profile run of a table and return its run id.

        Each column is a mapping with "column_name", any of the metric names
        and the JSON fields "histogram", "top_values", "alerts" (JSON text,
        or a value that is encoded). ``alerts`` are recorded with the run
        (see ``record_alerts``).
        """
        conn = self._writer()
        with conn:
            cur = conn.execute(
                "INSERT INTO profile_runs (source_name, table_name, profile_mode, row_count, profiled_at)"
                " VALUES (?, ?, ?, ?, ?)",
                (source_name, table_name, profile_mode, row_count,
                 profiled_at.isoformat() if profiled_at else None),
            )
            run_id = cur.lastrowid
            names = ("column_name",) + COLUMN_METRICS + JSON_FIELDS + ("duration_ms",)
            placeholders = ", ".join("?" for _ in range(len(names) + 2))
            sql = f"INSERT INTO column_profiles (run_id, position, {', '.join(names)}) VALUES ({placeholders})"
            for position, column in enumerate(columns):
                values = [column.get(name) for name in names]
                for i in range(len(names) - 4, len(names) - 1):
                    values[i] = _json_text(values[i])
                conn.execute(sql, (run_id, position, *values))
            self._insert_alerts(conn, alerts, run_id)
        return run_id

    def record_alerts(self, alerts: Iterable[Mapping[str, Any]], run_id: Optional[int] = None) -> None:
        """Record alerts: mappings with "source_name", "table_name" and
        optionally "column_name", "type", "severity", "message"."""
        conn = self._writer()
        with conn:
            self._insert_alerts(conn, alerts, run_id)

    @staticmethod
    def _insert_alerts(conn: sqlite3.Connection, alerts: Iterable[Mapping[str, Any]],
                       run_id: Optional[int]) -> None:
        sql = f"INSERT INTO profile_alerts (run_id, {', '.join(ALERT_FIELDS)}) VALUES (?{', ?' * len(ALERT_FIELDS)})"
        for alert in alerts:
            conn.execute(sql, (run_id, *(alert.get(name) for name in ALERT_FIELDS)))
