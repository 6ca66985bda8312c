"""Fixed scenarios that hold the software EFA device to the hardware.

Each scenario drives the device through vantor (limits, refusals, error
completions and their statuses, data placement, completion fields, queue
depths) and records what it observed: return codes and errno names,
completion fields, where bytes landed. Nothing that varies between runs or
machines is recorded (addresses, keys, handles, QP numbers appear as what
they refer to), so the simulator and an EFA instance that behave alike give
equal JSON::

    python -m vantor.scenarios run --sim -o sim.json     # the software device
    python -m vantor.scenarios run -o efa.json           # the system's EFA device
    python -m vantor.scenarios compare sim.json efa.json # every disagreement

``reference.json`` next to this file is the simulator's run, checked by the
test suite; ``python -m vantor.scenarios regenerate`` rewrites it.
"""

from __future__ import annotations

import json
import traceback
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from vantor.scenarios.registry import SCENARIOS

REFERENCE = Path(__file__).with_name("reference.json")
FORMAT = 1


def _load_all() -> None:
    # Importing the modules registers their scenarios.
    from vantor.scenarios import (  # noqa: F401
        delivery,
        device,
        native,
        posting,
        processes,
        queue_pairs,
        resources,
    )


def names() -> list[str]:
    _load_all()
    return sorted(SCENARIOS)


def run(
    simulated: bool, device: str | None = None, only: Iterable[str] | None = None
) -> dict[str, Any]:
    """Run the scenarios (all, or those named or prefixed in ``only``); the
    report as a JSON-ready dict. The simulator must already be active when
    ``simulated`` is set; the caller imports nothing of the core before."""
    from vantor.scenarios.harness import Env

    _load_all()
    wanted = list(only or [])
    results: dict[str, Any] = {}
    for name in sorted(SCENARIOS):
        if wanted and not any(name == w or name.startswith(w + ".") for w in wanted):
            continue
        try:
            with Env(simulated, device) as env:
                results[name] = SCENARIOS[name](env)
        except Exception as exc:  # recorded: a scenario failing is an observation too
            results[name] = {"exception": f"{type(exc).__name__}: {exc}"}
            results[name]["where"] = traceback.extract_tb(exc.__traceback__)[-1].name
    return {"format": FORMAT, "environment": _environment(simulated, device), "scenarios": results}


def _environment(simulated: bool, device: str | None) -> dict[str, Any]:
    # Describes the run for whoever reads the file; never compared.
    import platform

    import vantor

    return {
        "simulated": simulated,
        "device": device,
        "vantor": getattr(vantor, "__version__", "?"),
        "machine": platform.machine(),
    }


def _flatten(value: Any, path: str, out: dict[str, Any]) -> None:
    if isinstance(value, dict):
        for k, item in value.items():
            _flatten(item, f"{path}.{k}" if path else str(k), out)
    elif isinstance(value, list):
        out[path] = json.dumps(value, sort_keys=True)
    else:
        out[path] = value


def compare(a: dict[str, Any], b: dict[str, Any]) -> list[str]:
    """One line per observation where the two reports disagree, grouped by
    scenario; empty when they agree."""
    sa, sb = a.get("scenarios", {}), b.get("scenarios", {})
    lines: list[str] = []
    for name in sorted(set(sa) | set(sb)):
        if name not in sa or name not in sb:
            lines.append(f"{name}: only in {'first' if name in sa else 'second'} report")
            continue
        fa: dict[str, Any] = {}
        fb: dict[str, Any] = {}
        _flatten(sa[name], "", fa)
        _flatten(sb[name], "", fb)
        for key in sorted(set(fa) | set(fb)):
            va, vb = fa.get(key, "<missing>"), fb.get(key, "<missing>")
            if va != vb:
                lines.append(f"{name}: {key}: {va} != {vb}")
    return lines


def dumps(report: dict[str, Any]) -> str:
    return json.dumps(report, indent=1, sort_keys=True) + "\n"
