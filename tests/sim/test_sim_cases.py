"""The device's behaviour, driven from C++ through the inline verbs paths
(ibv_wr_*, ibv_start_poll, ibv_post_recv, ...) exactly as the extension
reaches them. Each case runs in its own process."""

import subprocess

import pytest
from sim_support import case_names, cases_binary_fixture  # noqa: F401 (fixture)


@pytest.mark.parametrize("case", case_names())
def test_case(cases_binary, case):
    proc = subprocess.run([str(cases_binary), case], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip().endswith("ok")
