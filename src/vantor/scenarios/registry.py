"""The scenario table: each scenario is a function of an Env returning its
observations (a JSON-ready dict), registered under a dotted name."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # the harness imports the core, which must wait for activation
    from vantor.scenarios.harness import Env

Scenario = Callable[["Env"], dict[str, Any]]
SCENARIOS: dict[str, Scenario] = {}


def scenario(name: str) -> Callable[[Scenario], Scenario]:
    def register(fn: Scenario) -> Scenario:
        if name in SCENARIOS:
            raise ValueError(f"scenario {name!r} registered twice")
        SCENARIOS[name] = fn
        return fn

    return register
