"""The type stubs of the native core match the built module, and the package's
own Python type-checks against them."""

from __future__ import annotations

import os
import subprocess
import sys
from importlib.util import find_spec
from pathlib import Path

import pytest

from conftest import ROOT

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


def _env() -> dict[str, str]:
    import vantor

    package_parent = str(Path(vantor.__file__).resolve().parent.parent)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")])
    # An installed package is found through site-packages, which mypy
    # refuses on MYPYPATH; a source tree has to be named.
    if Path(package_parent).name != "site-packages":
        env["MYPYPATH"] = package_parent
    return env


def test_stubtest_is_clean() -> None:
    args = ["--allowlist", str(ALLOWLIST)] if ALLOWLIST.exists() else []
    result = subprocess.run(
        [sys.executable, "-c", STUBTEST, *args],
        capture_output=True,
        text=True,
        env=_env(),
        cwd=ROOT,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


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
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", *relax, *map(str, targets)],
        capture_output=True,
        text=True,
        env=_env(),
        cwd=ROOT,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
