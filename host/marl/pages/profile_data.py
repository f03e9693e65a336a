"""Shaping of the profile API's JSON for the pages: formatting of metric
values, bar widths, and the histogram and top-value lists as chart bars.

The API passes histograms and top values through exactly as the profiler
stored them, so several common shapes are understood; anything else is shown
as its JSON text rather than guessed at.
"""

from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass
from numbers import Real
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

MISSING = "\u2014"  # em dash for a missing value
SEVERITIES = ("error", "warning", "info")

_LABEL_KEYS = ("bin", "label", "range", "bucket", "name", "key")
_COUNT_KEYS = ("count", "frequency", "freq", "n")
_VALUE_KEYS = ("value", "val", "label", "key", "name")
_LOWER_KEYS = ("start", "lower", "low", "from", "min")
_UPPER_KEYS = ("end", "upper", "high", "to", "max")
_DATE = re.compile(r"^\d{4}-\d{2}-\d{2}([ T]\d{2}:\d{2}(:\d{2}(\.\d+)?)?)?")


def is_number(value: Any) -> bool:
    return isinstance(value, Real) and not isinstance(value, bool)


def fmt(value: Any) -> str:
    """A metric value as a person reads it; None (JSON null) is a dash."""
    if value is None:
        return MISSING
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        if math.isnan(value) or math.isinf(value):
            return str(value)
        if value == int(value) and abs(value) < 1e15:
            return f"{int(value):,}"
        if abs(value) >= 1000:
            return f"{value:,.1f}"
        return f"{value:.4g}" if abs(value) < 1 else f"{value:,.2f}"
    if isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False, default=str)


def fmt_percent(value: Any) -> str:
    if not is_number(value):
        return fmt(value)
    if isinstance(value, int) and value >= 100:
        return f"{value}%"  # no float conversion: it may be too large for one
    if math.isnan(value) or math.isinf(value):
        return str(value)
    return f"{value:.1f}%" if value < 100 or value != int(value) else f"{int(value)}%"


def bar_width(percent: Any) -> Optional[float]:
    """Width in percent of a bar for a percentage metric; None for no bar."""
    if not is_number(percent) or percent != percent:  # NaN
        return None
    # Compared before any conversion: an integer too large for a float is 100.
    return 0.0 if percent <= 0 else 100.0 if percent >= 100 else float(percent)


def column_kind(column: Dict[str, Any]) -> str:
    """The kind of values a column holds, as far as its metrics tell (the
    API reports no type): "number", "date", "text" or "" when unknown."""
    if any(is_number(column.get(k)) for k in ("mean_value", "median_value", "stddev_value", "p25", "p50", "p75")):
        return "number"
    low, high = column.get("min_value"), column.get("max_value")
    if isinstance(low, str) and isinstance(high, str) and _DATE.match(low) and _DATE.match(high):
        return "date"
    if any(column.get(k) is not None for k in ("min_length", "max_length", "avg_length")):
        return "text"
    if is_number(low) or is_number(high):
        return "number"
    return ""


# --- charts --------------------------------------------------------------------


@dataclass
class Bar:
    label: str
    count: float
    share: float  # count relative to the largest count, 0..1


def _count(value: Any) -> Optional[float]:
    """A bar's count; None for what is no drawable number (an integer too
    large for a float included)."""
    if not is_number(value):
        return None
    try:
        count = float(value)
    except OverflowError:
        return None
    return count if math.isfinite(count) else None


def _first(mapping: Dict[str, Any], keys: Sequence[str]) -> Tuple[Optional[str], Any]:
    for key in keys:
        if key in mapping:
            return key, mapping[key]
    return None, None


def _label(value: Any) -> str:
    return value if isinstance(value, str) else fmt(value)


def _bars(pairs: Iterable[Tuple[str, Optional[float]]]) -> Optional[List[Bar]]:
    pairs = list(pairs)
    if not pairs or any(count is None for _, count in pairs):
        return None
    top = max((max(count, 0.0) for _, count in pairs), default=0.0)
    return [Bar(label, count, (max(count, 0.0) / top) if top > 0 else 0.0) for label, count in pairs]


def _dict_entry(entry: Dict[str, Any], label_keys: Sequence[str]) -> Optional[Tuple[str, Optional[float]]]:
    count_key, count = _first(entry, _COUNT_KEYS)
    if count_key is None:
        return None
    label_key, label = _first(entry, label_keys)
    if label_key is None:
        low_key, low = _first(entry, _LOWER_KEYS)
        high_key, high = _first(entry, _UPPER_KEYS)
        if low_key is None and high_key is None:
            return None
        label = f"{_label(low)}\u2013{_label(high)}" if low_key and high_key else _label(low if low_key else high)
    else:
        label = _label(label)
    return label, _count(count)


def _pairs(data: Any, label_keys: Sequence[str]) -> Optional[List[Tuple[str, Optional[float]]]]:
    if isinstance(data, list):
        out = []
        for entry in data:
            if isinstance(entry, dict):
                pair = _dict_entry(entry, label_keys)
                if pair is None:
                    return None
                out.append(pair)
            elif isinstance(entry, list) and len(entry) == 2:
                out.append((_label(entry[0]), _count(entry[1])))
            else:
                return None
        return out
    if isinstance(data, dict):
        # {"bins"/"edges": [...], "counts": [...]}: n counts between n + 1 edges, or n labels
        _, counts = _first(data, ("counts", "frequencies", "values"))
        _, edges = _first(data, ("edges", "bin_edges", "bins", "labels"))
        if isinstance(counts, list) and isinstance(edges, list):
            if len(edges) == len(counts) + 1:
                labels = [f"{_label(a)}\u2013{_label(b)}" for a, b in zip(edges, edges[1:])]
            elif len(edges) == len(counts):
                labels = [_label(e) for e in edges]
            else:
                return None
            return list(zip(labels, (_count(c) for c in counts)))
        # {label: count, ...}
        return [(str(k), _count(v)) for k, v in data.items()]
    return None


def histogram_bars(histogram: Any) -> Optional[List[Bar]]:
    """The histogram's buckets in their order; None when the shape is not
    understood (or a count is not a number)."""
    pairs = _pairs(histogram, _LABEL_KEYS)
    return None if pairs is None else _bars(pairs)


def top_value_bars(top_values: Any) -> Optional[List[Bar]]:
    """The most frequent values in the profiler's order; None when the shape
    is not understood."""
    pairs = _pairs(top_values, _VALUE_KEYS)
    return None if pairs is None else _bars(pairs)


# Most bars a page draws: a histogram of more bins is drawn re-binned, a
# longer list of top values cut short (the API keeps every one).
MAX_BARS = 100
# Longest label a page shows in full.
MAX_LABEL = 200


def _short(label: str) -> str:
    return label if len(label) <= MAX_LABEL else label[:MAX_LABEL - 1] + "\u2026"


def summarised(bars: Optional[List[Bar]], merge: bool, limit: int = MAX_BARS
               ) -> Tuple[Optional[List[Bar]], Optional[str]]:
    """At most ``limit`` bars for a page, and a note saying what was done
    when it had more: neighbouring bins merged (``merge``: a histogram), or
    the first ones kept (the profiler's most frequent values)."""
    if bars is None:
        return None, None
    if len(bars) <= limit:
        return [Bar(_short(b.label), b.count, b.share) for b in bars], None
    if not merge:
        kept = bars[:limit]
        top = max((max(b.count, 0.0) for b in kept), default=0.0)
        return ([Bar(_short(b.label), b.count, max(b.count, 0.0) / top if top > 0 else 0.0) for b in kept],
                f"the first {limit:,} of {len(bars):,} values; the API's response holds all of them")
    size = math.ceil(len(bars) / limit)
    groups = [bars[i:i + size] for i in range(0, len(bars), size)]
    pairs = [(_short(g[0].label if len(g) == 1 else f"{g[0].label} \u2026 {g[-1].label}"), sum(b.count for b in g))
             for g in groups]
    return (_bars(pairs), f"{len(bars):,} bins drawn as {len(groups):,} of up to {size:,} neighbouring bins "
                          "each; the API's response holds every bin")


# Longest JSON text a page shows of a value it does not draw.
MAX_RAW_JSON = 20_000


def raw_json(value: Any) -> str:
    text = json.dumps(value, ensure_ascii=False, indent=1)
    if len(text) > MAX_RAW_JSON:
        text = (text[:MAX_RAW_JSON] + f"\n\u2026 {len(text) - MAX_RAW_JSON:,} more characters, "
                "in the API's response")
    return text


# --- statistics and alerts ---------------------------------------------------------


def ordered_severities(by_severity: Any) -> List[Tuple[str, Any]]:
    """(severity, count) with error, warning, info first and any other
    severity after them in the API's order."""
    if not isinstance(by_severity, dict):
        return []
    known = [(s, by_severity[s]) for s in SEVERITIES if s in by_severity]
    return known + [(str(s), n) for s, n in by_severity.items() if s not in SEVERITIES]


def severity_class(severity: Any) -> str:
    return severity if severity in SEVERITIES else "other"
