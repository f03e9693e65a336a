"""A typed host module using every public name of the three native modules.

Never run: tests/test_stubs.py type-checks a copy of it in strict mode. The
``assert_type`` lines fail when a name's type degrades to ``Any`` (stubs not
found) or drifts; each ``type: ignore[...]`` line is a misuse the stubs must
reject (strict mode reports an ignore that has nothing to ignore).
"""

from __future__ import annotations

import asyncio
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple, assert_type

from fastapi import APIRouter, FastAPI
from strix.compute import jvm_elig
from strix.compute.jvm_elig import (
    PYSPARK_JVM_ELIGIBILITY,
    PYSPARK_VERSIONS,
    JavaInstallation,
    PySparkInfo,
    check_java_pyspark_compatibility,
    detect_spark_cluster_version,
    find_all_java_installations,
    get_current_java,
    get_java_version,
    get_pyspark_info,
    get_pyspark_versions_for_java,
    get_shell_config_file,
    select_best_java,
    set_java_home_persistent,
    validate_java_for_spark,
)
from strix.contracts.graph.manifest import Manifest
from strix.contracts.graph.nodes import ManifestNode
from strix.plan_advisor import PlanAdvisor, QueryAnalysisResult
from strix.task.docs.api import profile


def plan(manifest: Manifest, nodes: List[ManifestNode]) -> List[str]:
    advisor = PlanAdvisor(manifest)
    result = advisor.analyze(nodes[0], user_compute_override=None, target_connection="warehouse")
    assert_type(result, QueryAnalysisResult)
    assert_type(result.source_connections, set[str])
    assert_type(result.source_refs, set[str])
    assert_type(result.strategy, str)
    assert_type(result.primary_connection, Optional[str])
    assert_type(result.reason, str)
    assert_type(result.user_override, Optional[str])
    flags: Tuple[bool, bool, bool] = (result.is_pushdown, result.is_federated, result.is_homogeneous)
    result.strategy = "federated"  # records are mutable
    result.is_pushdown = True  # type: ignore[misc]
    copy = QueryAnalysisResult(set(), set(), "pushdown", None, "reason")
    QueryAnalysisResult(set(), set(), "pushdown", None)  # type: ignore[call-arg]
    batch: Dict[str, QueryAnalysisResult] = advisor.analyze_batch(nodes)
    advisor.analyze_batch(tuple(nodes))  # type: ignore[arg-type]
    advisor.analyze(nodes[0], target_connection=5)  # type: ignore[arg-type]
    federated: List[ManifestNode] = advisor.get_federated_nodes(nodes)
    pushdown: List[ManifestNode] = advisor.get_pushdown_nodes(nodes)
    summary: str = advisor.get_execution_summary(nodes[0])
    return [summary, copy.reason, str(flags), str(len(batch) + len(federated) + len(pushdown))]


def java(home: str) -> Optional[str]:
    major, version_text, vendor = get_java_version(home + "/bin/java")
    assert_type(major, Optional[int])
    assert_type(vendor, Optional[str])
    current: Optional[JavaInstallation] = get_current_java()
    found: List[JavaInstallation] = find_all_java_installations()
    info = get_pyspark_info()
    if info is None:
        return version_text
    assert_type(info, PySparkInfo)
    assert_type(info.java_supported, List[int])
    span: Tuple[int, int, int] = (info.java_min, info.java_max, info.java_recommended)
    best = select_best_java(found, info.java_supported)
    message = "nothing to set"
    if best is not None:
        assert_type(best.is_current, bool)
        assert_type(best.version, int)
        ok, message = set_java_home_persistent(best.path)
        assert_type(ok, bool)
    lines: List[str] = get_pyspark_versions_for_java(17)
    valid, why = check_java_pyspark_compatibility(17, info.major_minor)
    still, reason = validate_java_for_spark()
    config_file, shell = get_shell_config_file()
    assert_type(config_file, Optional[str])
    cluster: Optional[str] = detect_spark_cluster_version("spark://127.0.0.1:7077", timeout=5)
    detect_spark_cluster_version(7077)  # type: ignore[arg-type]
    supported: List[int] = PYSPARK_JVM_ELIGIBILITY["3.5"]["supported"]
    newest: Tuple[str, str, str] = PYSPARK_VERSIONS[0]
    made = JavaInstallation("/opt/jdk", 17, "17.0.2", "Temurin")
    record = PySparkInfo(info.version, "3.5", 8, 17, 17, [8, 11, 17])
    facts = [current, made, record, lines, valid, why, still, reason, shell, span, supported, newest, message]
    return cluster or str(facts) or jvm_elig.__name__


async def serve(root: Path) -> Dict[str, Any]:
    profile.set_project_root(root)
    assert_type(profile.router, APIRouter)
    app = FastAPI()
    app.include_router(profile.router)
    tables: List[Dict[str, Any]] = await profile.list_profiled_tables()
    one: Dict[str, Any] = await profile.get_table_profile("raw", "orders", mode="full")
    alerts: List[Dict[str, Any]] = await profile.get_profile_alerts(source_name="raw", severity=None)
    stats: Dict[str, Any] = await profile.get_profile_stats()
    profile.get_profile_stats().keys()  # type: ignore[attr-defined]
    return {"tables": tables, "one": one, "alerts": alerts, "stats": stats}


def main() -> None:
    asyncio.run(serve(Path(".")))
