"""Rows: what the federated models pull through the compute layer per run,
and what each replication step copies and saves, from the row counts of the
project's own profiles.

A federated query reads every source it names through Spark, so a federated
model pulls, per run, the sum of the latest row counts of all its direct
sources; the part of it read from a connection other than the model's
``to_connection`` (where the advice runs it) crosses connections. A
pushdown model pulls nothing through Spark. A replication step copies the
rows of the sources it replicates once, and the models it makes pushdown no
longer pull their rows on every run.

A source without a profile has an unknown row count. It is never counted as
zero: every sum it enters is unknown (None), and the sources are named.

Everything here needs only the plan analysis (``marl.plan_analysis``) and a
mapping from source unique_id to its latest row count (None when the source
is not profiled); ``read_row_counts`` makes that mapping from the metadata
store the docs server reads.

The ``rows`` ranking of the advice (``RowsRanking``, used by
``marl.plan_advice.rank_steps``): steps ordered by rows no longer pulled per
run for each row copied, ties broken as the ``models`` ranking orders them
(models made pushdown per source replicated, then fewer sources, the
connection, the source ids). A step that copies nothing ranks before any
that copies rows. A step whose copy or saving is unknown ranks after every
step whose worth is known, so an unknown count never pushes ahead of a
known better step.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

RowCounts = Mapping[str, Optional[int]]  # source unique_id -> latest row count, None when unprofiled

RANKS = ("models", "rows")


# --- reading the store -----------------------------------------------------------

class RowCountsError(Exception):
    """The project's metadata store cannot be read."""


def store_table_of(source_id: str, definition) -> Optional[Tuple[str, str]]:
    """(source name, table name) under which the profiler records a source:
    its definition's ``source_name`` and ``name``, else the last two parts
    of an id of the form source.<package>.<source>.<table>."""
    if definition is not None and getattr(definition, "source_name", None) and getattr(definition, "name", None):
        return definition.source_name, definition.name
    parts = source_id.split(".")
    if len(parts) >= 4 and parts[0] == "source":
        return parts[2], ".".join(parts[3:])
    return None


def _row_count(value) -> Optional[int]:
    """A stored row count, or None when it is not a count of rows."""
    if isinstance(value, bool):
        return None
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    return value if isinstance(value, int) and value >= 0 else None


def store_row_counts(store) -> Dict[Tuple[str, str], Optional[int]]:
    """Row count of the latest profile run of every profiled table."""
    latest = getattr(store, "get_latest_row_counts", None)
    if latest is not None:
        return {table: _row_count(count) for table, count in latest().items()}
    # Any other store: through the operations the profile API uses.
    counts: Dict[Tuple[str, str], Optional[int]] = {}
    for row in store.get_all_profiled_tables():
        records = store.get_table_profile(row[0], row[1], None)
        counts[(row[0], row[1])] = _row_count(records[0].row_count) if records else None
    return counts


def read_row_counts(project_root, manifest, source_ids: Iterable[str]) -> Optional[Dict[str, Optional[int]]]:
    """The latest row count of each of ``source_ids`` (None when it has no
    profile) from the metadata store of ``project_root``; None when the
    store holds no profile at all. Raises RowCountsError when the store
    cannot be opened or read."""
    try:
        from strix.compute.metadata import ProjectMetadataStore

        with ProjectMetadataStore(Path(project_root)) as store:
            if not store.has_profiles():
                return None
            tables = store_row_counts(store)
    except ImportError as e:
        raise RowCountsError(f"the metadata store is not available ({e})") from e
    except Exception as e:
        # Named by its folder, never by its path (the docs server shows this).
        name = Path(project_root).resolve().name or str(project_root)
        raise RowCountsError(f"cannot read the metadata store of {name!r}: {type(e).__name__}: {e}") from e
    counts: Dict[str, Optional[int]] = {}
    for source_id in source_ids:
        table = store_table_of(source_id, manifest.sources.get(source_id))
        counts[source_id] = tables.get(table) if table is not None else None
    return counts


def referenced_sources(analysis) -> List[str]:
    """Every source a planned model reads, sorted."""
    return sorted({ref for node, result in analysis.planned if node.resource_type != "seed"
                   for ref in result.source_refs})


# --- sums that know what they do not know -------------------------------------------

def known_sum(counts: Iterable[Optional[int]]) -> Optional[int]:
    """The sum, or None when any term is unknown."""
    total = 0
    for count in counts:
        if count is None:
            return None
        total += count
    return total


@dataclass
class ModelRows:
    """Rows one model pulls through the compute layer per run."""

    unique_id: str
    pulled: Optional[int]  # sum of the latest row counts of all its sources; None when one is unknown
    crossing: Optional[int]  # the part read from a connection other than where it runs
    unprofiled: List[str]  # its sources without a row count, sorted

    def as_json(self) -> dict:
        return {"rows_pulled": self.pulled, "rows_crossing": self.crossing,
                "unprofiled_sources": self.unprofiled}



def model_rows(unique_id: str, source_refs: Iterable[str], to_connection: Optional[str],
               connection_of: Callable[[str], Optional[str]], counts: RowCounts) -> ModelRows:
    """Rows a federated model pulls per run when run on ``to_connection``:
    every source it reads, and the part on another connection (sources on
    no connection cross none: there is no connection to cross from)."""
    refs = sorted(source_refs)
    crossing = [ref for ref in refs if connection_of(ref) and connection_of(ref) != to_connection]
    return ModelRows(
        unique_id=unique_id,
        pulled=known_sum(counts.get(ref) for ref in refs),
        crossing=known_sum(counts.get(ref) for ref in crossing),
        unprofiled=[ref for ref in refs if counts.get(ref) is None],
    )


def pushdown_rows(unique_id: str) -> ModelRows:
    """A pushdown model or a seed pulls nothing through the compute layer."""
    return ModelRows(unique_id=unique_id, pulled=0, crossing=0, unprofiled=[])


@dataclass
class StepRows:
    copied: Optional[int]  # rows the step copies once
    saved: Optional[int]  # rows no longer pulled per run once its models run pushdown
    pulled_after: Optional[int]  # rows all models still federated pull per run after this step
    unprofiled: List[str] = field(default_factory=list)  # sources of the step or of its models without a count
    pulled_after_known: int = 0  # the known part of pulled_after: a lower bound when that is unknown

    def as_json(self) -> dict:
        return {"rows_copied": self.copied, "rows_saved": self.saved}


# --- the rows ranking ---------------------------------------------------------------

class RowTally:
    """What replicating a set of sources completes: models, the rows they
    pull that are known, and how many of them pull an unknown number."""

    __slots__ = ("models", "rows", "unknown")

    def __init__(self, models: int = 0, rows: int = 0, unknown: int = 0) -> None:
        self.models, self.rows, self.unknown = models, rows, unknown

    def __add__(self, other: "RowTally") -> "RowTally":
        return RowTally(self.models + other.models, self.rows + other.rows, self.unknown + other.unknown)

    def __repr__(self) -> str:
        return f"RowTally({self.models}, {self.rows}, {self.unknown})"


class RowsRanking:
    """The ``rows`` order of the replication steps, for
    ``marl.plan_advice.rank_steps``: ``measure`` tallies the models of a
    group (by their index in the advised models), ``worth`` gives the
    leading part of a candidate's sort key (smaller first)."""

    zero = RowTally()

    def __init__(self, pulled: Sequence[Optional[int]], counts: RowCounts) -> None:
        self._pulled = list(pulled)  # rows pulled per run by each advised model, by index
        self._counts = counts

    def measure(self, members: Iterable[int]) -> RowTally:
        models = rows = unknown = 0
        for index in members:
            models += 1
            pulled = self._pulled[index]
            if pulled is None:
                unknown += 1
            else:
                rows += pulled
        return RowTally(models, rows, unknown)

    def copied(self, sources: Iterable[str]) -> Optional[int]:
        return known_sum(self._counts.get(s) for s in sources)

    def worth(self, sources: Iterable[str], tally: RowTally) -> tuple:
        copied = self.copied(sources)
        if copied is None or tally.unknown:
            return (1, 0, 0, 0)  # unknown: after every known step
        if copied == 0:
            return (0, 0, -tally.rows, 0)  # copies nothing: first, most rows saved first
        # The float orders all but equal-looking ratios (its rounding never
        # reverses two); the fraction, compared only then, decides exactly.
        return (0, 1, -tally.rows / copied, -Fraction(tally.rows, copied))


# --- the advice with rows -------------------------------------------------------------

@dataclass
class AdviceRows:
    """Rows of an advice: per advised model, per step, and the totals."""

    models: Dict[str, ModelRows]  # federated models by unique_id
    steps: List[StepRows]
    pulled_now: Optional[int]
    unprofiled: List[str]  # every source of a federated model without a row count
    pulled_now_known: int = 0  # the known part of pulled_now

    def pulled_after(self, k: Optional[int]) -> Optional[int]:
        """Rows pulled per run once the first ``k`` steps are done (all
        steps when ``k`` is None)."""
        if k is not None and k < len(self.steps):
            return self.pulled_now if k <= 0 else self.steps[k - 1].pulled_after
        # After all steps every advised model runs pushdown: the advice
        # completes each (this needs no ranking of the steps).
        return 0

    def summary(self, top: Optional[int] = None) -> dict:
        return {"pulled_now": self.pulled_now, "pulled_after_top": self.pulled_after(top),
                "pulled_after_all": self.pulled_after(None)}

    def rows_note(self, model_id: str) -> Optional[str]:
        """One line on the rows a federated model pulls per run, for a
        person (the baseline's report, a Markdown summary); None for a
        model that is not federated."""
        rows = self.models.get(model_id)
        if rows is None:
            return None
        return describe_model_rows(rows)


def advised_model_rows(analysis, advised, counts: RowCounts) -> Dict[str, ModelRows]:
    """Rows of each advised model (``marl.plan_advice.ModelAdvice``) run on
    its ``to_connection``, by unique_id."""
    return {m.unique_id: model_rows(m.unique_id, analysis.result_of(m.unique_id).source_refs,
                                    m.to_connection, analysis.source_connection, counts)
            for m in advised}


def advice_rows(analysis, advised, steps, counts: RowCounts,
                models: Optional[Dict[str, ModelRows]] = None) -> AdviceRows:
    """Rows of the advised models (``marl.plan_advice.ModelAdvice``, each
    run on its ``to_connection``; ``models`` when already reckoned) and of
    the steps (``marl.plan_advice.Step``), with rows pulled per run after
    each step: the rows of the models still federated then."""
    if models is None:
        models = advised_model_rows(analysis, advised, counts)
    remaining = {uid: rows.pulled for uid, rows in models.items()}
    unknown_left = sum(1 for pulled in remaining.values() if pulled is None)
    total_known = sum(pulled for pulled in remaining.values() if pulled is not None)
    pulled_now = None if unknown_left else total_known
    step_rows = []
    for step in steps:
        saved = known_sum(models[uid].pulled for uid in step.unlocks)
        for uid in step.unlocks:
            pulled = remaining.pop(uid, None)
            if pulled is None:
                unknown_left -= 1
            else:
                total_known -= pulled
        unprofiled = sorted({s for s in step.replicate if counts.get(s) is None}
                            | {s for uid in step.unlocks for s in models[uid].unprofiled})
        step_rows.append(StepRows(copied=known_sum(counts.get(s) for s in step.replicate), saved=saved,
                                  pulled_after=None if unknown_left else total_known, unprofiled=unprofiled,
                                  pulled_after_known=total_known))
    unprofiled = sorted({s for rows in models.values() for s in rows.unprofiled})
    return AdviceRows(models=models, steps=step_rows, pulled_now=pulled_now, unprofiled=unprofiled,
                      pulled_now_known=sum(rows.pulled for rows in models.values() if rows.pulled is not None))


# --- for people -------------------------------------------------------------------

def fmt_rows(count: Optional[int], at_least: Optional[int] = None) -> str:
    """A row count for a person; an unknown one as "unknown", or as "at
    least" its known part when that is given and not zero."""
    if count is not None:
        return f"{count:,}"
    return f"at least {at_least:,}" if at_least else "unknown"


NAMES_SHOWN = 10  # unprofiled sources named in one line for a person (JSON lists them all)


def names(ids: Sequence[str], limit: int = NAMES_SHOWN) -> str:
    """The first ``limit`` ids, then how many more: a line stays bounded."""
    shown = ", ".join(ids[:limit])
    return shown + (f" and {len(ids) - limit} more" if len(ids) > limit else "")


def describe_model_rows(rows: ModelRows) -> str:
    text = f"pulls {fmt_rows(rows.pulled)} rows per run ({fmt_rows(rows.crossing)} crossing connections"
    if rows.unprofiled:
        text += f"; unprofiled: {names(rows.unprofiled)}"
    return text + ")"


def describe_step_rows(rows: StepRows) -> str:
    copied = "an unknown number of" if rows.copied is None else f"{rows.copied:,}"
    saved = "an unknown number of" if rows.saved is None else f"{rows.saved:,}"
    text = (f"copies {copied} rows once; {saved} rows no longer pulled per run; "
            f"{fmt_rows(rows.pulled_after, rows.pulled_after_known)} still pulled per run after it")
    if rows.unprofiled:
        text += f" (unprofiled: {names(rows.unprofiled)})"
    return text
