"""What a user gets from the source tree: the sdist, its metadata, and the
build's message on a machine without rdma-core's headers."""

from __future__ import annotations

import email
import os
import re
import shutil
import subprocess
import sys
import tarfile
from collections.abc import Iterator
from pathlib import Path

import pytest

from conftest import ROOT

SUPPORTED_MINORS = range(9, 14)  # CPython 3.9 .. 3.13
SOURCE_SUFFIXES = {".cpp", ".hpp", ".h", ".c", ".map", ".txt", ".cmake", ".py", ".pyi", ".typed"}


def _tool_path() -> str:
    """PATH with the running interpreter's scripts first (cmake and ninja
    may be installed there rather than on the system)."""
    return os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])


_built: dict[str, Path | str] = {}


def _build_sdist(out: Path) -> Path | str:
    """The sdist's path, or why it could not be made."""
    try:
        result = _run_sdist_build(out)
    except subprocess.TimeoutExpired as exc:
        return str(exc)
    if result.returncode != 0:
        return result.stderr
    return out / result.stdout.strip().splitlines()[-1]


def _run_sdist_build(out: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [
            sys.executable,
            "-c",
            (
                "import sys; from scikit_build_core.build import build_sdist; "
                "print(build_sdist(sys.argv[1]))"
            ),
            str(out),
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
        env={**os.environ, "PATH": _tool_path()},
        timeout=1800,  # against a hang only: the build walks the whole checkout
    )


@pytest.fixture(scope="module")
def sdist(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tarfile.TarFile]:
    pytest.importorskip("scikit_build_core", reason="building the sdist needs scikit-build-core")
    # Made once for the module, a failure included (pytest would otherwise
    # build again for every test).
    if "sdist" not in _built:
        _built["sdist"] = _build_sdist(tmp_path_factory.mktemp("sdist"))
    built = _built["sdist"]
    if isinstance(built, str):
        pytest.fail(f"the sdist build failed:\n{built}")
    archive = tarfile.open(built)
    yield archive
    archive.close()


def _members(archive: tarfile.TarFile) -> set[str]:
    # Every member sits under the "vantor-<version>/" folder.
    return {m.name.split("/", 1)[1] for m in archive.getmembers() if "/" in m.name}


def _sources_under(folder: str) -> set[str]:
    found = set()
    for path in (ROOT / folder).rglob("*"):
        relative = path.relative_to(ROOT)
        if "__pycache__" in relative.parts or "_sim" in relative.parts:
            continue
        if path.is_file() and (path.suffix in SOURCE_SUFFIXES or path.name == "CMakeLists.txt"):
            found.add(relative.as_posix())
    return found


@pytest.mark.parametrize("folder", ["sim", "src/vantor", "cmake"])
def test_sdist_carries_every_source_the_build_needs(sdist, folder):
    sources = _sources_under(folder)
    assert sources, folder
    assert sources - _members(sdist) == set()


def test_sdist_carries_the_top_level_files(sdist):
    assert {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "PKG-INFO"} <= _members(
        sdist
    )


def test_sdist_carries_no_build_output(sdist):
    built = re.compile(
        r"(^|/)(build|\.venv[^/]*|__pycache__|_sim|dist|wheelhouse)(/|$)|\.so(\.\d+)*$"
    )
    assert sorted(name for name in _members(sdist) if built.search(name)) == []


def test_sdist_metadata_declares_versions_typing_and_licence(sdist):
    top = sdist.getnames()[0].split("/", 1)[0]
    raw = sdist.extractfile(f"{top}/PKG-INFO")
    assert raw is not None
    info = email.message_from_bytes(raw.read())
    classifiers = info.get_all("Classifier")
    minors = {
        int(c.rsplit(".", 1)[1])
        for c in classifiers
        if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    }
    assert minors == set(SUPPORTED_MINORS)
    assert info["Requires-Python"] == f">=3.{min(SUPPORTED_MINORS)}"
    assert "Typing :: Typed" in classifiers
    assert info["License-Expression"] == "Apache-2.0"
    assert info.get_all("License-File") == ["LICENSE"]
    licence = sdist.extractfile(f"{top}/LICENSE")
    assert licence is not None
    text = " ".join(licence.read().decode().split())
    assert text.startswith("Apache License Version 2.0, January 2004")
    assert "py.typed" in {Path(name).name for name in _members(sdist)}


@pytest.mark.parametrize("source", [".", "sim"], ids=["project", "simulator-alone"])
def test_configure_without_verbs_header_says_what_to_install(source, tmp_path):
    env = {**os.environ, "PATH": _tool_path()}
    cmake = shutil.which("cmake", path=env["PATH"])
    if cmake is None:
        pytest.skip("cmake is not installed")
    # Searches are confined to an empty root, as on a machine without
    # rdma-core's development package.
    empty_root = tmp_path / "root"
    empty_root.mkdir()
    result = subprocess.run(
        [
            cmake,
            "-S",
            str(ROOT / source),
            "-B",
            str(tmp_path / "build"),
            f"-DCMAKE_FIND_ROOT_PATH={empty_root}",
            "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY",
        ],
        capture_output=True,
        text=True,
        env=env,
        timeout=1800,  # against a hang only
    )
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert "infiniband/verbs.h was not found" in message
    assert "libibverbs-dev on Debian and Ubuntu" in message
    assert "rdma-core-devel on RPM distributions" in message
    assert "VERBS_INCLUDE_DIR" not in message
