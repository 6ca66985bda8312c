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
# The qkey every test queue pair is prepared with.
QKEY = 0x11111111

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


def package_parent() -> str:
    """The folder holding the vantor package these tests import."""
    import vantor

    return str(Path(vantor.__file__).resolve().parent.parent)


def python_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    """This process's environment, with PYTHONPATH leading to the same vantor package."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([package_parent(), *filter(None, [env.get("PYTHONPATH")])])
    env.update(extra or {})
    return env


def run_python(code: str, env: dict[str, str] | None = None, timeout: float = 60.0):
    """Runs `code` in a fresh interpreter that finds the same vantor package."""
    return run_command(["-c", textwrap.dedent(code)], env=python_env(env), timeout=timeout)


def run_command(args: list[str], **kwargs) -> subprocess.CompletedProcess[str]:
    """Runs this interpreter with `args`, capturing text output."""
    kwargs.setdefault("env", python_env())
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, **kwargs)


def drop_while_handling(objects: list) -> None:
    """Drops the last references, held only by `objects`, while an exception
    is being handled: a failing native destroy must neither raise nor replace
    the exception in flight."""
    try:
        raise KeyError("pending")
    except KeyError as pending:
        objects.clear()
        gc.collect()
        assert sys.exc_info()[1] is pending


@pytest.fixture(autouse=True, scope="module")
def _long_lived_objects_frozen():
    """Moves what earlier modules left alive (imported libraries, caches) out
    of the collector's sight for the module: the many full collections the
    fixtures below make then walk only what the module made, not the whole
    heap of a long run. Garbage is collected first, so nothing unreachable
    is frozen; what becomes garbage while frozen (a cycle is not freed by
    reference count) is collected at the module's end."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()
    gc.collect()


@pytest.fixture
def settled(request):
    """Objects of earlier tests still waiting for the collector would free
    their native handles in the middle of this one: collect them before the
    simulator is reset, so their destroy calls never show up in this test's
    counters and call log."""
    if "sim" in request.fixturenames:
        gc.collect()


@pytest.fixture
def sim():
    """The simulator's control API, reset after the test."""
    if not SIM_AVAILABLE:
        pytest.skip(SIM_UNAVAILABLE_REASON)
    gc.collect()  # see `settled`
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


# A quick check of another interpreter (marker "matrix", `scripts/test-versions
# -m matrix tests`; CI runs the whole suite on each): loading, lifecycle,
# posting and polling, pickling and the command, the places where
# interpreter versions differ in what they offer.
MATRIX_MODULES = frozenset(
    {
        "test_module.py",
        "test_lifecycle.py",
        "test_end_to_end.py",
        "test_post.py",
        "test_poll.py",
        "test_pickle.py",
        "test_cli.py",
        "test_cli_remote.py",
    }
)
# The command's measurements are its heaviest tests and run the same code
# as the posting and polling modules: on the other interpreters the command
# is checked by its parsing, queries, JSON and entry points.
MATRIX_SKIPS = ("test_perf_", "test_server_", "test_client_")


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if item.path.name in MATRIX_MODULES and not item.name.startswith(MATRIX_SKIPS):
            item.add_marker(pytest.mark.matrix)


@pytest.fixture
def host() -> str:
    """A host name of the test's own, for the processes it starts on the simulator."""
    return f"mp-{os.getpid()}-{uuid.uuid4().hex[:10]}"


@pytest.fixture
def spawn(host):
    """Starts peer processes (peer_procs.Proc) on `host`; closes them after the test."""
    from peer_procs import Proc

    procs: list[Proc] = []

    def start(n: int = 1, **opts) -> list[Proc]:
        new = [Proc(host, **opts) for _ in range(n)]
        procs.extend(new)
        return new

    yield start
    for p in procs:
        p.close()
