"""The benchmark command runs from start to end (tiny mode: the figures mean
nothing, only that every loop and the report work)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench" / "run"

SECTIONS = (
    "## Targets",
    "## 1. Message rate: SRD SEND, 64 B",
    "## 2. RDMA_WRITE rate and bandwidth",
    "## 3. Per-call costs",
    "## 4. Memory",
    "## 5. Threads: a poster and a poller",
    "## 6. Cross-process round trip",
    "## 7. Cross-process RDMA write",
    "## 8. perftest on the software device",
)
PERFTEST_TOOLS = ("ib_send_lat", "ib_send_bw", "ib_read_bw")


def env_finding_vantor() -> dict[str, str]:
    """The environment with this test's vantor package first on the path."""
    import vantor

    env = dict(os.environ)
    parent = str(Path(vantor.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([parent, *filter(None, [env.get("PYTHONPATH")])])
    return env


def run_bench(tmp_path: Path, *args: str, python: str = sys.executable) -> tuple[str, str]:
    if not BENCH.exists():
        pytest.skip("no bench/ in this tree")
    if shutil.which(os.environ.get("CXX", "c++")) is None:
        pytest.skip("no C++ compiler for the native loops")
    out = tmp_path / "results.md"
    proc = subprocess.run(
        [str(BENCH), "--python", python, "--output", str(out), "--build-dir", str(tmp_path), *args],
        capture_output=True,
        text=True,
        timeout=600,
        env=env_finding_vantor(),
    )
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    return out.read_text(), proc.stdout


def test_tiny_run_writes_every_section(tmp_path, sim):
    text, stdout = run_bench(tmp_path, "--mode", "tiny", "--no-pyverbs")
    for heading in SECTIONS:
        assert heading in text
    assert "pyverbs: not measured (left out (--no-pyverbs))." in text
    # Every row of the message-rate table has a figure for every column.
    rows = [line for line in text.splitlines() if line.startswith(("| 1 |", "| 8 |", "| 32 |"))]
    assert len(rows) == 3
    assert all("|  |" not in row and "nan" not in row and "inf" not in row for row in rows)
    targets = [line for line in text.splitlines() if line.startswith(("- met:", "- MISSED:"))]
    perftest = all(shutil.which(tool) for tool in PERFTEST_TOOLS)
    # The two pyverbs targets left out; perftest's three only where it is installed.
    assert len(targets) == 17 + (3 if perftest else 0)
    for overhead in ("batch 32 CQ at most +25 ns", "batch 1 CQEx at most +150 ns"):
        assert any(overhead in line for line in targets)
    assert sum("cross-process round trip" in line for line in targets) == 2
    assert sum("RDMA write between processes" in line for line in targets) == 2
    section8 = text.split("## 8. perftest on the software device", 1)[1]
    if perftest:
        assert sum(line.startswith("| ib_") for line in section8.splitlines()) == 3
        assert sum(tool in line for line in targets for tool in PERFTEST_TOOLS) == 3
    else:
        assert "Not measured: " in section8 and "not installed" in section8
    assert "Targets:" in stdout
    # The one-line digest closes the summary, in the file and on the terminal.
    digest = next(line for line in text.splitlines() if line.startswith("In short: "))
    assert digest in stdout
    for figure in ("+ns over C++ batch 32", "two threads", "round trip", "1 MiB write"):
        assert figure in digest
    assert ("ib_send_lat" in digest) == perftest


def test_memory_mode_reports_rss(tmp_path, sim):
    text, _ = run_bench(tmp_path, "--memory", "2000")
    assert "## 4. Memory: 2,000 messages" in text
    assert "## 1." not in text
    assert "growth" in text and "RSS flat over" in text


PYVERBS_PROBE = (
    "import vantor.sim as s; s.activate(); import vantor._vantor; "
    "import pyverbs.providers.efa.efadv, pyverbs.device"
)


def system_python_with_pyverbs() -> str:
    python = "/usr/bin/python3"
    if not os.access(python, os.X_OK):
        pytest.skip("no system Python")
    probe = subprocess.run(
        [python, "-c", PYVERBS_PROBE], capture_output=True, env=env_finding_vantor(), timeout=60
    )
    if probe.returncode != 0:
        pytest.skip("the system Python cannot load both vantor and pyverbs here")
    return python


def test_tiny_run_with_pyverbs(tmp_path, sim):
    python = system_python_with_pyverbs()
    text, _ = run_bench(tmp_path, "--mode", "tiny", python=python)
    assert "pyverbs CQ ns" in text and "pyverbs CQEx ns" in text
    assert "not measured" not in text
    targets = [line for line in text.splitlines() if line.startswith(("- met:", "- MISSED:"))]
    assert sum("pyverbs" in line for line in targets) == 2
