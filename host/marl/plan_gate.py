"""The plan of a manifest compared with a baseline's, judged by a policy.

Two manifests are analysed with the same target and their models and seeds
are matched by unique_id. Each difference is a change of one kind
(``CHANGE_KINDS``) and may be a finding:

- ``new_federation``: a model federated now that was not (it became federated,
  or it is new and federated);
- ``more_connections``: a model federated both times that now reads more
  connections;
- ``changed``: any other change of strategy or connections (became pushdown,
  runs on another connection, reads other connections). A change of the
  reason alone, a new pushdown model and a removed model are no finding.

``--fail-on new`` fails on the first kind, ``worse`` on the first two and
``changed`` on all three. A finding whose model an allow-list entry matches
is reported as allowed, with the entry's reason, and does not fail.

Before judging, what cannot be judged is refused (``GateRefusal``, exit
status 2): a current manifest without models while the baseline has some,
or one that lost more than half of the baseline's (a broken build step, not
a change of plan), unless the caller accepts it; and a target that names no
connection of any source (a typo turns every model reading a source
federated), unless the caller accepts a new connection.
"""

from __future__ import annotations

import fnmatch
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Sequence

from marl.plan_analysis import PlannedModel, summarise

CHANGE_KINDS = ("became_federated", "became_pushdown", "changed", "appeared", "disappeared")
FINDINGS = ("new_federation", "more_connections", "changed")
POLICIES = {
    "new": ("new_federation",),
    "worse": ("new_federation", "more_connections"),
    "changed": FINDINGS,
}

MAX_ALLOW_LIST_BYTES = 1 << 20
KNOWN_SHOWN = 20  # connections named when a target is unknown


class GateRefusal(Exception):
    """The plans cannot be judged; the message says why and what accepts it."""


# --- what cannot be judged -------------------------------------------------------

def source_connections(manifest) -> set:
    """Every connection a source of ``manifest`` is read from."""
    found = set()
    for source in manifest.sources.values():
        connection = source.resolved_connection()
        if connection:
            found.add(connection)
    return found


def check_target(target: Optional[str], connection_sets: Iterable[set]) -> None:
    """Refuse a target that no source is read from (``connection_sets``:
    the ``source_connections`` of each manifest)."""
    if not target:
        return  # no target: the advisor uses the default one
    known = set()
    for connections in connection_sets:
        known |= connections
    if target in known:
        return
    names = sorted(known)
    if names:
        shown = ", ".join(names[:KNOWN_SHOWN])
        if len(names) > KNOWN_SHOWN:
            shown += f" and {len(names) - KNOWN_SHOWN} more"
        listing = f"the sources are on {shown}"
    else:
        listing = "no source names a connection"
    raise GateRefusal(f"--target {target!r} names no connection of any source ({listing}); "
                      f"--allow-new-target accepts a new connection")


def check_shrink(baseline: Dict[str, PlannedModel], current: Dict[str, PlannedModel]) -> None:
    """Refuse a current plan that lost all, or more than half, of the
    baseline's models and seeds."""
    before = len(baseline)
    if not before:
        return
    if not current:
        raise GateRefusal(f"the current manifest has no models or seeds while the baseline has {before}; "
                          "is the build step broken? (--allow-shrink accepts it)")
    lost = sum(1 for uid in baseline if uid not in current)
    if 2 * lost > before:
        raise GateRefusal(f"the current manifest lost {lost} of the baseline's {before} models and seeds, "
                          "more than half; is the build step broken? (--allow-shrink accepts it)")


# --- the allow-list ------------------------------------------------------------------

@dataclass(frozen=True)
class AllowEntry:
    pattern: str
    reason: str
    line: int

    def as_json(self) -> dict:
        return {"pattern": self.pattern, "reason": self.reason}


@dataclass
class AllowList:
    """Models whose findings are accepted, each with a reason.

    One entry a line: a unique_id or a glob pattern (``*``, ``?``, ``[...]``),
    blanks, then the reason. Blank lines and lines starting with ``#`` are
    ignored."""

    entries: List[AllowEntry] = field(default_factory=list)
    origin: Optional[str] = None
    _exact: Dict[str, AllowEntry] = field(default_factory=dict, repr=False)
    _globs: List[AllowEntry] = field(default_factory=list, repr=False)

    def __post_init__(self) -> None:
        for entry in self.entries:
            if any(c in entry.pattern for c in "*?["):
                self._globs.append(entry)
            else:
                self._exact.setdefault(entry.pattern, entry)

    def match(self, unique_id: str) -> Optional[AllowEntry]:
        """The first entry (in file order) that matches ``unique_id``."""
        found = self._exact.get(unique_id)
        for entry in self._globs:
            if found is not None and entry.line > found.line:
                break
            if fnmatch.fnmatchcase(unique_id, entry.pattern):
                return entry
        return found


def parse_allow_list(text: str, origin: str) -> AllowList:
    entries = []
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        pattern, *rest = stripped.split(None, 1)
        reason = rest[0].strip() if rest else ""
        if not reason:
            raise GateRefusal(f"{origin}: line {number}: {pattern!r} has no reason; "
                              "write the pattern, blanks, then why it is accepted")
        if pattern.count("[") != pattern.count("]"):
            raise GateRefusal(f"{origin}: line {number}: {pattern!r} has an unclosed '['")
        entries.append(AllowEntry(pattern, reason, number))
    return AllowList(entries, origin)


def load_allow_list(path: str) -> AllowList:
    try:
        with open(path, "rb") as f:
            raw = f.read(MAX_ALLOW_LIST_BYTES + 1)
    except OSError as e:
        raise GateRefusal(f"{path}: cannot read the allow-list: {e.strerror or e}") from None
    if len(raw) > MAX_ALLOW_LIST_BYTES:
        raise GateRefusal(f"{path}: the allow-list is larger than {MAX_ALLOW_LIST_BYTES >> 20} MiB")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise GateRefusal(f"{path}: the allow-list is not UTF-8 text: {e}") from None
    return parse_allow_list(text, path)


# --- comparison and verdict --------------------------------------------------------

@dataclass
class Change:
    kind: str  # one of CHANGE_KINDS
    old: Optional[PlannedModel]
    new: Optional[PlannedModel]
    finding: Optional[str] = None  # one of FINDINGS, or None
    verdict: str = "pass"  # "fail", "allowed" or "pass"
    allowed_by: Optional[AllowEntry] = None

    @property
    def unique_id(self) -> str:
        return (self.new or self.old).unique_id

    def as_json(self) -> dict:
        return {
            "unique_id": self.unique_id,
            "change": self.kind,
            "finding": self.finding,
            "verdict": self.verdict,
            "allowed_by": self.allowed_by.as_json() if self.allowed_by else None,
            "old": self.old.as_json() if self.old else None,
            "new": self.new.as_json() if self.new else None,
        }


def finding_of(kind: str, old: Optional[PlannedModel], new: Optional[PlannedModel]) -> Optional[str]:
    if kind == "became_federated" or (kind == "appeared" and new.is_federated):
        return "new_federation"
    if kind in ("appeared", "disappeared"):
        return None
    if old.is_federated and new.is_federated and len(new.source_connections) > len(old.source_connections):
        return "more_connections"
    if (old.strategy, old.primary_connection, old.source_connections) != \
            (new.strategy, new.primary_connection, new.source_connections):
        return "changed"
    return None  # the reason alone changed


@dataclass
class Comparison:
    target_connection: Optional[str]
    fail_on: str
    changes: List[Change]  # by kind (CHANGE_KINDS order), then manifest order
    baseline_summary: Dict[str, object]
    current_summary: Dict[str, object]
    allow_list: Optional[AllowList] = None

    @property
    def failing(self) -> List[Change]:
        return [c for c in self.changes if c.verdict == "fail"]

    @property
    def allowed(self) -> List[Change]:
        return [c for c in self.changes if c.verdict == "allowed"]

    @property
    def passed(self) -> bool:
        return not any(c.verdict == "fail" for c in self.changes)

    @property
    def unused_entries(self) -> List[AllowEntry]:
        """Allow-list entries that matched no finding: candidates to remove."""
        if self.allow_list is None:
            return []
        used = {id(c.allowed_by) for c in self.changes if c.allowed_by is not None}
        return [e for e in self.allow_list.entries if id(e) not in used]

    @property
    def new_federation(self) -> List[str]:
        """Models federated now that were not, allowed or not."""
        return [c.unique_id for c in self.changes if c.finding == "new_federation"]

    def counts(self) -> Dict[str, int]:
        counts = dict.fromkeys(CHANGE_KINDS, 0)
        for change in self.changes:
            counts[change.kind] += 1
        return counts

    def of_kind(self, kind: str) -> List[Change]:
        return [c for c in self.changes if c.kind == kind]


def compare(baseline: Dict[str, PlannedModel], current: Dict[str, PlannedModel],
            target: Optional[str] = None, fail_on: str = "new",
            allow_list: Optional[AllowList] = None) -> Comparison:
    """What changed from ``baseline`` to ``current`` (both keyed by
    unique_id, in manifest order), each change judged by ``fail_on``."""
    by_kind: Dict[str, List[Change]] = {kind: [] for kind in CHANGE_KINDS}
    get = baseline.get
    for uid, new in current.items():
        old = get(uid)
        if old is None:
            by_kind["appeared"].append(Change("appeared", None, new))
        elif old.strategy != new.strategy:
            kind = {"federated": "became_federated", "pushdown": "became_pushdown"}.get(new.strategy, "changed")
            by_kind[kind].append(Change(kind, old, new))
        elif old.reason != new.reason or old.primary_connection != new.primary_connection \
                or old.source_connections != new.source_connections:
            by_kind["changed"].append(Change("changed", old, new))
    if len(baseline) != len(current) or by_kind["appeared"]:
        by_kind["disappeared"] = [Change("disappeared", old, None)
                                  for uid, old in baseline.items() if uid not in current]
    failing = POLICIES[fail_on]
    changes = [change for kind in CHANGE_KINDS for change in by_kind[kind]]
    for change in changes:
        change.finding = finding_of(change.kind, change.old, change.new)
        if change.finding in failing:
            entry = allow_list.match(change.unique_id) if allow_list else None
            change.verdict, change.allowed_by = ("allowed", entry) if entry else ("fail", None)
    return Comparison(target_connection=target, fail_on=fail_on, changes=changes,
                      baseline_summary=summarise(list(baseline.values()), target),
                      current_summary=summarise(list(current.values()), target),
                      allow_list=allow_list)


FINDING_TITLES = {
    "new_federation": "new federation",
    "more_connections": "federation across more connections",
    "changed": "changed strategy or connections",
}
PASS_TITLES = {
    "new": "no new federation",
    "worse": "no new or wider federation",
    "changed": "no change of strategy or connections",
}


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def bounded_ids(ids: Sequence[str], limit: int) -> str:
    """The first ``limit`` ids, then how many more."""
    shown = ", ".join(ids[:limit])
    if len(ids) > limit:
        shown += f" and {len(ids) - limit} more"
    return shown


def verdict_text(comparison: Comparison, limit: int = 10) -> str:
    """One bounded line: PASS or FAIL, what failed, what was allowed."""
    allowed = comparison.allowed
    allowed_note = f" ({_plural(len(allowed), 'model')} allowed by the allow-list)" if allowed else ""
    if comparison.passed:
        return f"PASS: {PASS_TITLES[comparison.fail_on]}{allowed_note}"
    parts = []
    left = limit
    for finding in FINDINGS:
        ids = [c.unique_id for c in comparison.failing if c.finding == finding]
        if ids:
            shown = bounded_ids(ids, max(left, 1))
            left = max(left - len(ids), 0)
            parts.append(f"{FINDING_TITLES[finding]} in {_plural(len(ids), 'model')}: {shown}")
    return "FAIL: " + "; ".join(parts) + allowed_note
