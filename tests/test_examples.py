"""The scripts under examples/ run on the software EFA device."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import uuid

import pytest

from conftest import ROOT, python_env, run_command, run_python

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


def _launcher_env() -> dict[str, str]:
    # a simulated host of this run's own: the ranks meet there and nowhere else
    return python_env({"VANTOR_SIM_HOST": f"ring-{uuid.uuid4().hex[:12]}"})


def _expect_ring(result: subprocess.CompletedProcess[str], size: int) -> None:
    assert result.returncode == 0, result.stdout + result.stderr
    for rank in range(size):
        src = (rank - 1) % size
        line = f"rank {rank}/{size}: immediate {src}, inbox: 'greetings from rank {src}'"
        assert line in result.stdout, result.stdout


def test_rank_ring_under_torchrun() -> None:
    pytest.importorskip("torch.distributed", reason="torch is not installed")
    result = subprocess.run(
        [sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc-per-node", "2",
         str(EXAMPLES / "rank_ring.py"), "--sim"],
        capture_output=True, text=True, env=_launcher_env(), timeout=300,
    )  # fmt: skip
    _expect_ring(result, 2)


def test_rank_ring_under_mpirun() -> None:
    pytest.importorskip("mpi4py", reason="mpi4py is not installed")
    mpirun = shutil.which("mpirun")
    if mpirun is None:
        pytest.skip("mpirun is not installed")
    root = ["--allow-run-as-root"] if os.getuid() == 0 else []
    result = subprocess.run(
        [mpirun, *root, "--oversubscribe", "-n", "3", "-x", "PYTHONPATH", "-x", "VANTOR_SIM_HOST",
         sys.executable, str(EXAMPLES / "rank_ring.py"), "--launcher", "mpi", "--sim"],
        capture_output=True, text=True, env=_launcher_env(), timeout=300,
    )  # fmt: skip
    _expect_ring(result, 3)
