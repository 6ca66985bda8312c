"""The type stubs of the native core match the built module, and the package's
own Python type-checks against them."""

from __future__ import annotations

from importlib.util import find_spec
from pathlib import Path

import pytest

from conftest import ROOT, package_parent, python_env, run_command

pytest.importorskip("mypy", reason="the stub checks need mypy (pip install 'vantor[test]')")

SRC = ROOT / "src"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")

# stubtest imports the module, so the software EFA device must come first.
STUBTEST = """
import sys
from importlib.util import find_spec
import vantor.sim
vantor.sim.activate()
from mypy import stubtest
sys.argv = ["stubtest", "vantor._vantor", *sys.argv[1:]]
sys.exit(stubtest.main())
"""


def _mypy(args: list[str], timeout: float) -> None:
    """Runs mypy's `args` in a fresh interpreter; its report is the failure message."""
    parent = package_parent()
    # An installed package is found through site-packages, which mypy
    # refuses on MYPYPATH; a source tree has to be named.
    extra = {} if Path(parent).name == "site-packages" else {"MYPYPATH": parent}
    result = run_command(args, env=python_env(extra), cwd=ROOT, timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_is_clean() -> None:
    args = ["--allowlist", str(ALLOWLIST)] if ALLOWLIST.exists() else []
    _mypy(["-c", STUBTEST, *args], timeout=300)


def test_stub_and_py_typed_ship_with_the_package() -> None:
    import vantor

    package = Path(vantor.__file__).parent
    assert (package / "_vantor.pyi").is_file()
    assert (package / "py.typed").is_file()


def test_package_python_type_checks_strictly() -> None:
    targets = [SRC / "vantor" / "helpers.py", SRC / "vantor" / "cli", SRC / "vantor" / "scenarios"]
    # demo.py is a script of its own, outside this check
    targets += sorted(p for p in (ROOT / "examples").glob("*.py") if p.name != "demo.py")
    # numpy and matplotlib are optional: without them their imports go unchecked
    optional = ("numpy", "matplotlib")
    relax = [] if all(find_spec(m) for m in optional) else ["--ignore-missing-imports"]
    _mypy(["-m", "mypy", "--strict", *relax, *map(str, targets)], timeout=600)
