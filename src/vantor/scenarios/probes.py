"""Scenario parts that must start in a fresh process (once-per-process
state, first queue-pair numbers): run as ``python -m vantor.scenarios probe
NAME``, they print their observations as one JSON line."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vantor.scenarios.harness import Env

PROBES: dict[str, Callable[[bool, str | None], dict[str, Any]]] = {}


def probe(
    name: str,
) -> Callable[
    [Callable[[bool, str | None], dict[str, Any]]], Callable[[bool, str | None], dict[str, Any]]
]:
    def register(
        fn: Callable[[bool, str | None], dict[str, Any]],
    ) -> Callable[[bool, str | None], dict[str, Any]]:
        PROBES[name] = fn
        return fn

    return register


def child_command(
    env_simulated: bool, device: str | None, *args: str
) -> tuple[list[str], dict[str, str]]:
    """The command line and environment of a child running this vantor."""
    import vantor

    cmd = [sys.executable, "-m", "vantor.scenarios", *args]
    if env_simulated:
        cmd.append("--sim")
    if device:
        cmd += ["--device", device]
    pkg_root = os.path.dirname(os.path.dirname(os.path.abspath(vantor.__file__)))
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [pkg_root, child_env.get("PYTHONPATH")]))
    return cmd, child_env


def in_child(env: Env, name: str) -> dict[str, Any]:
    cmd, child_env = child_command(env.simulated, env.device, "probe", name)
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120, env=child_env)
    if proc.returncode:
        return {
            "exception": (proc.stderr.strip().splitlines() or ["exit " + str(proc.returncode)])[-1]
        }
    obs: dict[str, Any] = json.loads(proc.stdout.strip().splitlines()[-1])
    return obs


def serve_probe(name: str, simulated: bool, device: str | None) -> int:
    from vantor.scenarios import native, processes  # noqa: F401 (registers the probes)

    print(json.dumps(PROBES[name](simulated, device)), flush=True)
    return 0
