"""vantor: a fast, exact Python interface to AWS EFA devices.

``import vantor`` is light: the native core ``vantor._vantor`` (which opens
libibverbs and libefa) loads on first use of one of its names, so that
``vantor.sim.activate()`` can switch the process onto the software EFA device
first.
"""

from __future__ import annotations

import importlib
from typing import Any

__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    if name.startswith("__"):
        raise AttributeError(name)
    if name in {"sim", "enums", "helpers", "cli", "completions", "aio", "bootstrap"}:
        return importlib.import_module(f"{__name__}.{name}")
    core = importlib.import_module(f"{__name__}._vantor")
    if name in core.__all__:
        return getattr(core, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"sim"})
