"""Type information for the package: the native core's public names are
reachable as ``vantor.X`` (loaded on first use)."""

from vantor import enums as enums, helpers as helpers, sim as sim
from vantor._vantor import *  # noqa: F403 (the names of the core's __all__)
from vantor._vantor import __all__ as __all__

__version__: str
