"""The table-profile document written out in pure Python.

Shared by the benchmark's pure-Python endpoint and the differential tests of
the native one: the same reads of the same rows in the same order.
"""


def table_profile_document(source_name, table_name, profiles, json):
    """The response body for a table's profile rows (at least one); `json` is
    the module the endpoint imported, its `loads` looked up at each use."""
    first = profiles[0]
    return {
        "source_name": source_name,
        "table_name": table_name,
        "profile_mode": first.profile_mode,
        "row_count": first.row_count,
        "column_count": len(profiles),
        "profiled_at": first.profiled_at.isoformat() if first.profiled_at else None,
        "columns": [
            {
                "column_name": p.column_name,
                "null_count": p.null_count,
                "null_percent": p.null_percent,
                "distinct_count": p.distinct_count,
                "distinct_percent": p.distinct_percent,
                "min_value": p.min_value,
                "max_value": p.max_value,
                "mean_value": p.mean_value,
                "median_value": p.median_value,
                "stddev_value": p.stddev_value,
                "p25": p.p25,
                "p50": p.p50,
                "p75": p.p75,
                "min_length": p.min_length,
                "max_length": p.max_length,
                "avg_length": p.avg_length,
                "histogram": json.loads(p.histogram) if p.histogram else None,
                "top_values": json.loads(p.top_values) if p.top_values else None,
                "alerts": json.loads(p.alerts) if p.alerts else [],
                "duration_ms": p.duration_ms,
            }
            for p in profiles
        ],
    }
