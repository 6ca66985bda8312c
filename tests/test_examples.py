"""The scripts under examples/ run on the software EFA device."""

from __future__ import annotations

import subprocess

import pytest

from conftest import ROOT, run_command, run_python

EXAMPLES = ROOT / "examples"


def run_example(name: str) -> subprocess.CompletedProcess[str]:
    code = f"import runpy, sys\nsys.argv = [{name!r}, '--sim']\nrunpy.run_path({str(EXAMPLES / name)!r}, run_name='__main__')"
    return run_python(code)


@pytest.mark.parametrize(
    "name, expected",
    [
        ("srd_send_recv.py", "received 14 bytes from QP"),
        ("srd_send_recv.py", "'hello over SRD'"),
        ("rdma_write.py", "read back:       b'written by RDMA"),
        ("register_numpy_gpu.py", "NumPy -> NumPy: [0. 1. 2. 3.] ... 1023.0 arrived"),
    ],
)
def test_example_runs(name: str, expected: str) -> None:
    if name == "register_numpy_gpu.py":
        pytest.importorskip("numpy")
    result = run_example(name)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout


def test_pytest_example_passes() -> None:
    args = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:randomly"]
    result = run_command(
        [*args, str(EXAMPLES / "test_with_simulator.py")], cwd=EXAMPLES, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "4 passed" in result.stdout
