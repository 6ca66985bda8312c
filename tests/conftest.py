"""Shared test set-up: the whole session runs on the software EFA device.

The simulator's libraries are preloaded before anything imports
``vantor._vantor``; tests that need the real rdma-core libraries, or a broken
one, run in a subprocess (see ``run_python``).
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
import uuid
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# Processes of one machine reach each other through the simulated device
# unless they name different hosts: this run and every process it starts
# keep to a host of their own, so two runs side by side never meet.
os.environ["VANTOR_SIM_HOST"] = f"tests-{os.getpid()}-{uuid.uuid4().hex[:8]}"

try:
    import vantor.sim as _sim

    _sim.activate()
    SIM_AVAILABLE = True
except Exception as exc:  # the simulator is not built in this tree
    _sim = None
    SIM_AVAILABLE = False
    SIM_UNAVAILABLE_REASON = f"simulator unavailable: {exc}"


def run_python(code: str, env: dict[str, str] | None = None, timeout: float = 60.0):
    """Runs `code` in a fresh interpreter that finds the same vantor package."""
    import vantor

    package_parent = str(Path(vantor.__file__).resolve().parent.parent)
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [package_parent, *filter(None, [full_env.get("PYTHONPATH")])]
    )
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def sim():
    """The simulator's control API, reset after the test."""
    if not SIM_AVAILABLE:
        pytest.skip(SIM_UNAVAILABLE_REASON)
    # Objects of earlier tests still waiting for the collector would free
    # their native handles in the middle of this one.
    gc.collect()
    _sim.reset()
    yield _sim
    gc.collect()
    _sim.reset()


def _close_quietly(obj) -> None:
    import vantor._vantor as v

    try:
        obj.close()
    except v.EfaError:
        pass  # children still open: destruction frees it later


@pytest.fixture
def ctx(sim):
    """An open Context on the simulator's default EFA device ``efa_0``."""
    import gc

    import vantor._vantor as v

    gc.collect()  # earlier tests' garbage must not free objects during this one
    context = v.get_device_list()[0].open()
    yield context
    _close_quietly(context)


@pytest.fixture
def pd(ctx):
    """A protection domain of ``ctx``."""
    domain = ctx.alloc_pd()
    yield domain
    _close_quietly(domain)
