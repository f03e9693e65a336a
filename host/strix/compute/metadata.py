"""Project metadata store: data-profiling results of a project, kept in SQLite.

The database lives at ``<project root>/.marl/metadata.db``. A profile run is
one profiling pass over one table (its mode, row count and time) with one
column profile per column; alerts are recorded per run. Readers see the
latest run of each table.

Readers never create anything: a project without a database reads as empty.
``initialize()`` creates the database and its schema (and adds the columns an
older store lacks); the writer methods (``record_table_profile``,
``record_alerts``) initialize on first use. Every statement is parameterised.

Readers take what they can from a store written by hand or by another tool:
a table or column an older schema lacks reads as null, and a value that
cannot be read (text that is not UTF-8, a timestamp that is not one, JSON
text that is not JSON, an infinite number) becomes null for that field and
is logged once, naming its table, instead of failing the whole listing. A
database locked by a writer is waited for ``BUSY_TIMEOUT`` seconds, then
``StoreBusyError`` is raised; a file that is not a readable database raises
``StoreUnreadableError``.
"""

from __future__ import annotations

import contextlib
import json
import logging
import math
import sqlite3
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from collections.abc import Sequence
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

from strix_common.exceptions import StrixRuntimeError

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

# Seconds a reader or writer waits for another connection's lock.
BUSY_TIMEOUT = 1.0

_log = logging.getLogger(__name__)


class StoreBusyError(StrixRuntimeError):
    """The metadata store stayed locked by another connection for longer than
    ``BUSY_TIMEOUT``."""


class StoreUnreadableError(StrixRuntimeError):
    """The metadata store's file is not a database this store can read."""

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

# Columns of each table of the current schema, for reading older stores.
_COLUMNS: Dict[str, Tuple[str, ...]] = {
    "profile_runs": ("run_id", "source_name", "table_name", "profile_mode", "row_count", "profiled_at"),
    "column_profiles": ("run_id", "position", "column_name") + COLUMN_METRICS + JSON_FIELDS + ("duration_ms",),
    "profile_alerts": ("alert_id", "run_id") + ALERT_FIELDS,
}

# The latest run of every table.
_LATEST_RUNS = """
SELECT MAX(run_id) FROM {profile_runs} GROUP BY source_name, table_name
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


class _Undecodable(bytes):
    """Text of the database that is not valid UTF-8."""


def _decode_text(data: bytes) -> Any:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return _Undecodable(data)


_BYTES = frozenset((bytes, _Undecodable))


class _Unreadable(Exception):
    """A stored value that cannot be read; ``str()`` says why."""


def _text(value: Any) -> Any:
    """Text as stored; bytes (a BLOB, or text that is not UTF-8) only when
    they decode as UTF-8."""
    if isinstance(value, bytes):
        try:
            return bytes(value).decode("utf-8")
        except UnicodeDecodeError:
            raise _Unreadable("not UTF-8 text") from None
    return value


def _number(value: Any) -> Any:
    """Numbers as stored; infinity is no number a JSON reader accepts."""
    if isinstance(value, float) and not math.isfinite(value):
        raise _Unreadable(f"not a finite number ({value})")
    return _text(value)


def _timestamp(value: Any) -> Optional[datetime]:
    value = _text(value)
    if value is None or value == "":
        return None
    if not isinstance(value, str):
        raise _Unreadable(f"not an ISO 8601 timestamp ({type(value).__name__})")
    try:
        return datetime.fromisoformat(value)
    except ValueError:
        raise _Unreadable(f"not an ISO 8601 timestamp ({value[:40]!r})") from None


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def _finite_float(text: str) -> float:
    number = float(text)
    if not math.isfinite(number):
        raise ValueError(f"{text[:20]} is out of range")
    return number


def _json(value: Any) -> Any:
    """JSON text as stored, when it is JSON that a JSON writer can write back
    (no NaN or Infinity, no number out of a float's range)."""
    value = _text(value)
    if not value:
        return value
    if not isinstance(value, str):
        raise _Unreadable(f"not JSON text ({type(value).__name__})")
    try:
        json.loads(value, parse_constant=_reject_constant, parse_float=_finite_float)
    except (ValueError, RecursionError) as e:
        raise _Unreadable(f"not JSON ({str(e)[:60]})") from None
    return value


# Fields of a ColumnProfile in the order of its constructor.
_PROFILE_FIELDS = ("source_name", "table_name", "profile_mode", "row_count", "profiled_at", "column_name") \
    + COLUMN_METRICS + JSON_FIELDS + ("duration_ms",)

# How each read field is checked; fields not named here are text.
_READERS = {name: _number for name in COLUMN_METRICS + ("row_count", "duration_ms")}
_READERS.update({name: _json for name in JSON_FIELDS}, profiled_at=_timestamp)

# (database, table, field) already logged, so a bad value read at every
# request is reported once; bounded so a store full of them cannot grow it.
_reported: set = set()
_REPORT_LIMIT = 10_000


def _shown(name: Any) -> str:
    """A stored name for a log line, even when it is not UTF-8."""
    return bytes(name).decode("utf-8", "replace") if isinstance(name, bytes) else str(name)


def _json_text(value: Any) -> Optional[str]:
    """JSON fields are stored as text: strings as given, other values encoded."""
    if value is None or isinstance(value, str):
        return value
    return json.dumps(value)


class ProfiledTables(Sequence):
    """The rows of ``get_all_profiled_tables``, read while the store is open:
    all of them at the first iteration or item, only a count for ``len``,
    only the rows of a slice for a slice (a page of a listing)."""

    def __init__(self, store: "ProjectMetadataStore") -> None:
        self._store = store
        self._all: Optional[List[Tuple[Any, ...]]] = None
        self._count: Optional[int] = None

    def _rows(self) -> List[Tuple[Any, ...]]:
        if self._all is None:
            self._all = self._store._profiled_tables()
        return self._all

    def __len__(self) -> int:
        if self._all is not None:
            return len(self._all)
        if self._count is None:
            self._count = self._store._count_profiled_tables()
        return self._count

    def __getitem__(self, index):
        if isinstance(index, slice) and self._all is None and index.step in (None, 1):
            start, stop = index.start or 0, index.stop
            if start >= 0 and (stop is None or stop >= 0):
                limit = -1 if stop is None else max(stop - start, 0)
                return self._store._profiled_tables(limit, start)
        return self._rows()[index]

    def __iter__(self) -> Iterator[Tuple[Any, ...]]:
        return iter(self._rows())

    def __eq__(self, other: Any) -> bool:
        return list(self) == other if isinstance(other, (list, ProfiledTables)) else NotImplemented

    def __repr__(self) -> str:
        return f"ProfiledTables({self._rows()!r})"


class ProjectMetadataStore:
    """Profiling results of the project at ``project_root``."""

    def __init__(self, project_root: Union[str, Path]) -> None:
        root = Path(project_root)
        if not root.is_dir():
            # The message reaches API clients: it names the folder, not its path.
            raise FileNotFoundError(f"project root {root.name or str(root)!r} is not a directory")
        self.project_root = root
        self.db_path = root / DB_DIR / DB_NAME
        self._conn: Optional[sqlite3.Connection] = None
        self._tables: Optional[Dict[str, str]] = None
        if self.db_path.is_file():
            self._conn = self._connect()

    def _connect(self) -> sqlite3.Connection:
        conn = sqlite3.connect(self.db_path, timeout=BUSY_TIMEOUT)
        conn.text_factory = _decode_text
        return conn

    # --- life cycle -------------------------------------------------------

    def initialize(self) -> None:
        """Create the database and its schema when missing, and add the
        columns that a store written by an older version lacks."""
        if self._conn is None:
            self.db_path.parent.mkdir(parents=True, exist_ok=True)
            self._conn = self._connect()
        with self._guard(), self._conn:
            self._conn.executescript(_SCHEMA)
            for table, columns in _COLUMNS.items():
                present = {row[1] for row in self._conn.execute(f"PRAGMA table_info({table})")}
                for name in columns:
                    if name not in present:
                        self._conn.execute(f"ALTER TABLE {table} ADD COLUMN {name}")
        self._tables = None

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def __enter__(self) -> "ProjectMetadataStore":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @contextlib.contextmanager
    def _guard(self):
        """SQLite's errors as the store's: busy, or not a readable database."""
        try:
            yield
        except sqlite3.OperationalError as e:
            if e.sqlite_errorcode in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
                raise StoreBusyError(
                    f"the metadata store is locked by another process (waited {BUSY_TIMEOUT:g} s)") from e
            raise
        except sqlite3.DatabaseError as e:
            if e.sqlite_errorcode in (sqlite3.SQLITE_NOTADB, sqlite3.SQLITE_CORRUPT):
                raise StoreUnreadableError(f"the metadata store {DB_DIR}/{DB_NAME} cannot be read: {e}") from e
            raise

    def _sources(self) -> Dict[str, str]:
        """For each table of the schema that the database has, a query of
        its rows with every current column, null where an older store
        lacks it."""
        if self._tables is None:
            assert self._conn is not None
            present = {row[0] for row in self._conn.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
            self._tables = {}
            for table, columns in _COLUMNS.items():
                if table not in present:
                    continue
                have = {row[1] for row in self._conn.execute(f"PRAGMA table_info({table})")}
                select = ", ".join(name if name in have else f"NULL AS {name}" for name in columns)
                self._tables[table] = f"(SELECT {select} FROM {table})"
        return self._tables

    def _rows(self, sql: str, params: Tuple[Any, ...] = (), needs: Tuple[str, ...] = ()) -> List[tuple]:
        """Rows of ``sql``, whose ``{table}`` fields name the tables of
        ``needs``; none when the store or one of those tables is missing."""
        if self._conn is None:
            return []
        with self._guard():
            sources = self._sources()
            if any(table not in sources for table in needs):
                return []
            query = sql.format(**sources)
            # Text is decoded by SQLite itself (fast) unless some of it is not
            # UTF-8: then read again with the decoder that keeps such text.
            self._conn.text_factory = str
            try:
                return self._conn.execute(query, params).fetchall()
            except sqlite3.OperationalError as e:
                if not str(e).startswith("Could not decode"):
                    raise
            finally:
                self._conn.text_factory = _decode_text
            return self._conn.execute(query, params).fetchall()

    def _read(self, names: Tuple[str, ...], row: Tuple[Any, ...], what: str = "table") -> List[Any]:
        """The row's values checked by their field's reader; a value that
        cannot be read becomes None and is logged once, naming the table
        (the row's first two values)."""
        values = []
        for name, value in zip(names, row):
            try:
                values.append(_READERS.get(name, _text)(value))
            except _Unreadable as e:
                self._report(f"{what} {_shown(row[0])}.{_shown(row[1])}", name, str(e))
                values.append(None)
        return values

    def _report(self, where: str, field: str, why: str) -> None:
        key = (str(self.db_path), where, field)
        if key in _reported:
            return
        if len(_reported) < _REPORT_LIMIT:
            _reported.add(key)
        _log.warning("metadata store: %s of %s is unreadable (%s); read as null", field, where, why)

    # --- readers ----------------------------------------------------------

    def get_all_profiled_tables(self) -> "ProfiledTables":
        """(source, table, mode, profiled_at) of the latest run of each table,
        ordered by source and table: a sequence read from the store when it
        is first used (its length alone, or a slice of it, reads only that)."""
        return ProfiledTables(self)

    _PROFILED_TABLES = f"""
        SELECT source_name, table_name, profile_mode, profiled_at
        FROM {{profile_runs}} WHERE run_id IN ({_LATEST_RUNS})
        ORDER BY source_name, table_name
    """
    # One page of them: the page's run ids found on the index alone.
    _PROFILED_TABLES_PAGE = """
        SELECT source_name, table_name, profile_mode, profiled_at
        FROM {profile_runs} WHERE run_id IN (
            SELECT MAX(run_id) FROM {profile_runs} GROUP BY source_name, table_name
            ORDER BY source_name, table_name LIMIT ? OFFSET ?)
        ORDER BY source_name, table_name
    """

    def _profiled_tables(self, limit: int = -1, offset: int = 0) -> List[Tuple[Any, ...]]:
        if limit < 0 and offset == 0:
            rows = self._rows(self._PROFILED_TABLES, needs=("profile_runs",))
        else:
            rows = self._rows(self._PROFILED_TABLES_PAGE, (limit, offset), needs=("profile_runs",))
        names = ("source_name", "table_name", "profile_mode", "profiled_at")
        return [tuple(self._read(names, row)) for row in rows]

    def _count_profiled_tables(self) -> int:
        rows = self._rows("SELECT COUNT(*) FROM (SELECT 1 FROM {profile_runs} GROUP BY source_name, table_name)",
                          needs=("profile_runs",))
        return rows[0][0] if rows else 0

    def get_table_profile(
        self, source_name: str, table_name: str, mode: Optional[str] = None
    ) -> List[ColumnProfile]:
        """Column profiles of the table's latest run (of that mode, when given)."""
        metrics = ", ".join(f"c.{name}" for name in COLUMN_METRICS + JSON_FIELDS)
        rows = self._rows(
            f"""
            SELECT r.source_name, r.table_name, r.profile_mode, r.row_count, r.profiled_at,
                   c.column_name, {metrics}, c.duration_ms
            FROM {{column_profiles}} c JOIN {{profile_runs}} r ON r.run_id = c.run_id
            WHERE c.run_id = (
                SELECT MAX(run_id) FROM {{profile_runs}}
                WHERE source_name = ? AND table_name = ? AND (? IS NULL OR profile_mode = ?)
            )
            ORDER BY c.position
            """,
            (source_name, table_name, mode, mode),
            needs=("profile_runs", "column_profiles"),
        )
        return [ColumnProfile(*self._read(_PROFILE_FIELDS, row)) for row in rows]

    def get_profile_alerts(self, source_name: Optional[str] = None) -> List[dict]:
        """Alerts of the latest run of each table and alerts recorded without
        a run, of one source when given, in recording order."""
        rows = self._rows(
            f"""
            SELECT {", ".join(ALERT_FIELDS)} FROM {{profile_alerts}}
            WHERE (run_id IS NULL OR run_id IN ({_LATEST_RUNS}))
              AND (? IS NULL OR source_name = ?)
            ORDER BY alert_id
            """,
            (source_name, source_name),
            needs=("profile_alerts", "profile_runs"),
        )
        # Fields that were not recorded (or cannot be read) are left out, so
        # readers fall back to their own defaults (alert.get("severity", "info")).
        alerts = []
        for row in rows:
            # Alert fields are text: only bytes (a BLOB, text that is not UTF-8) need reading.
            values = row if _BYTES.isdisjoint(map(type, row)) else self._read(ALERT_FIELDS, row, "an alert of table")
            alerts.append({k: v for k, v in zip(ALERT_FIELDS, values) if v is not None} if None in values
                          else dict(zip(ALERT_FIELDS, values)))
        return alerts

    def get_profiled_sources(self) -> List[str]:
        """The names of the sources that have a profiled table, in order."""
        rows = self._rows("SELECT DISTINCT source_name FROM {profile_runs} ORDER BY source_name",
                          needs=("profile_runs",))
        names = []
        for (name,) in rows:
            try:
                names.append(_text(name))
            except _Unreadable:
                continue
        return names

    def has_table_profile(self, source_name: str, table_name: str) -> bool:
        return bool(self._rows("SELECT 1 FROM {profile_runs} WHERE source_name = ? AND table_name = ? LIMIT 1",
                               (source_name, table_name), needs=("profile_runs",)))

    def get_latest_row_counts(self) -> Dict[Tuple[str, str], Optional[int]]:
        """Row count of the latest run of each table, by (source, table); a
        count that cannot be read is None."""
        rows = self._rows(
            f"""
            SELECT source_name, table_name, row_count
            FROM {{profile_runs}} WHERE run_id IN ({_LATEST_RUNS})
            """,
            needs=("profile_runs",),
        )
        names = ("source_name", "table_name", "row_count")
        return {(source, table): count for source, table, count in (self._read(names, row) for row in rows)}

    def has_profiles(self) -> bool:
        return bool(self._rows("SELECT 1 FROM {profile_runs} LIMIT 1", needs=("profile_runs",)))

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
        with self._guard(), conn:
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
        with self._guard(), conn:
            self._insert_alerts(conn, alerts, run_id)

    @staticmethod
    def _insert_alerts(conn: sqlite3.Connection, alerts: Iterable[Mapping[str, Any]],
                       run_id: Optional[int]) -> None:
        sql = f"INSERT INTO profile_alerts (run_id, {', '.join(ALERT_FIELDS)}) VALUES (?{', ?' * len(ALERT_FIELDS)})"
        for alert in alerts:
            conn.execute(sql, (run_id, *(alert.get(name) for name in ALERT_FIELDS)))
