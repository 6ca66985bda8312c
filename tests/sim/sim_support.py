"""Helpers and fixtures of the simulator's tests: paths, subprocesses, the
simulator activated in this process (reset around each test), and the C++
behaviour-case program. Test modules import the fixtures they use (there is
no conftest here, so the suite's own conftest stays the only one)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vantor.sim as sim

ROOT = Path(__file__).resolve().parents[2]
# Where the vantor under test lives: the source tree in development, the
# installed package in CI. Subprocesses must see the same one.
SRC = Path(sim.__file__).resolve().parents[1]

REAL_LIBIBVERBS = "/usr/lib/x86_64-linux-gnu/libibverbs.so.1"


def require_libs() -> None:
    """Skip unless both builds of the simulator are present."""
    for legacy in (False, True):
        for name in ("libibverbs.so.1", "libefa.so.1"):
            if not os.path.exists(os.path.join(sim.lib_dir(legacy), name)):
                pytest.skip("simulator not built: run scripts/dev-build", allow_module_level=True)


def run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    """Run ``code`` in a fresh interpreter that imports the vantor under test."""
    env = dict(os.environ, PYTHONPATH=str(SRC))
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env
    )


def case_names() -> list[str]:
    """Case names of sim/tests/cases.cpp, read from its table."""
    text = (ROOT / "sim/tests/cases.cpp").read_text()
    table = text[text.index("cases = {") :]
    return [line.split('"')[1] for line in table.splitlines() if line.strip().startswith('{"')]


@pytest.fixture(scope="session", name="active_sim")
def active_sim_fixture():
    """The simulator activated in this test process."""
    require_libs()
    sim.activate()
    return sim


@pytest.fixture(name="fresh")
def fresh_fixture(active_sim):
    """The simulator, reset before and after the test."""
    active_sim.reset()
    yield active_sim
    active_sim.reset()


@pytest.fixture(scope="session", name="cases_binary")
def cases_binary_fixture(tmp_path_factory) -> Path:
    """The C++ behaviour-case program, built against the simulator."""
    require_libs()
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("sim-cases") / "vsim_cases"
    libdir = sim.lib_dir()
    cmd = [
        compiler,
        "-O1",
        "-std=c++20",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-I",
        str(ROOT / "include"),
        "-I",
        str(ROOT / "sim/include"),
        *(str(p) for p in sorted((ROOT / "sim/tests").glob("case*.cpp"))),
        "-o",
        str(out),
        "-L",
        libdir,
        "-l:libefa.so.1",
        "-l:libibverbs.so.1",
        "-pthread",
        "-Wl,-rpath," + libdir,
    ]
    subprocess.run(cmd, check=True)
    return out
