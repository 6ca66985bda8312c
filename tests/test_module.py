"""Import-time behaviour of the native core: loader, namespace, probes."""

from __future__ import annotations

import ctypes
import subprocess
import textwrap
import types
from pathlib import Path

import pytest

from conftest import run_python

PUBLIC_NAMES = [
    "EfaError", "CompletionError", "Gid", "DeviceAttr", "EfaDeviceAttr", "PortAttr", "WC",
    "CQAttr", "SGE", "SendWR", "RecvWR", "QPCap", "QPInitAttr", "AHAttr", "MRAttr", "WQAttr",
    "Device", "get_device_list", "get_efa_device_list", "Context", "AsyncEvent", "PD", "MR",
    "CompChannel", "CQ", "CQEx", "QP", "AH",
]  # fmt: skip

TYPE_ORDER = [
    "Gid", "DeviceAttr", "EfaDeviceAttr", "PortAttr", "WC", "CQAttr", "SGE", "SendWR", "RecvWR",
    "QPCap", "AHAttr", "Device", "Context", "AsyncEvent", "PD", "MRAttr", "MR", "CompChannel",
    "_CQBase", "CQ", "CQEx", "WQAttr", "QP", "AH",
]  # fmt: skip

LIBEFA_REQUIRED = [
    "efadv_query_device", "efadv_query_ah", "efadv_create_qp_ex", "efadv_create_cq",
    "efadv_cq_from_ibv_cq_ex",
]  # fmt: skip

PREFIX = "could not load {} - install rdma-core (libibverbs + the EFA provider libefa) ("


def system_libibverbs_exports(symbol: str) -> bool:
    out = subprocess.run(
        ["python3", "-c", f"import ctypes; print(hasattr(ctypes.CDLL('libibverbs.so.1'), '{symbol}'))"],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    return out.stdout.strip() == "True"


def test_import_against_system_rdma_core():
    result = run_python(
        """
        import json, vantor._vantor as m
        print(json.dumps({
            "linked": m._linked(),
            "dmabuf": m._has_dmabuf(),
            "all": m.__all__,
            "names": [n for n in vars(m) if not n.startswith("__")],
        }))
        """
    )
    assert result.returncode == 0, result.stderr
    import json

    found = json.loads(result.stdout)
    assert found["linked"] is True
    assert found["all"] == PUBLIC_NAMES
    assert found["dmabuf"] == system_libibverbs_exports("ibv_reg_dmabuf_mr")
    names = found["names"]
    assert names[: len(TYPE_ORDER)] == TYPE_ORDER
    assert names[len(TYPE_ORDER) : len(TYPE_ORDER) + 4] == [
        "os", "EfaError", "_linked", "_has_dmabuf",
    ]  # fmt: skip
    assert "_CQBase" not in found["all"] and "_linked" not in found["all"]


def test_links_only_libc():
    import vantor._vantor as m

    dynamic = subprocess.run(
        ["readelf", "-d", m.__file__], capture_output=True, text=True, check=True
    ).stdout
    needed = {line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}
    assert needed <= {"libc.so.6", "libdl.so.2", "libpthread.so.0", "ld-linux-x86-64.so.2"}


def build_stub_library(directory: Path, soname: str, symbols: list[str], needs: str = "") -> None:
    source = directory / f"{soname}.c"
    source.write_text("".join(f"void {name}(void) {{}}\n" for name in symbols))
    command = ["cc", "-shared", "-fPIC", f"-Wl,-soname,{soname}", "-o", str(directory / soname)]
    if needs:
        command += [f"-L{directory}", f"-l:{needs}"]
    subprocess.run([*command, str(source)], check=True)


@pytest.fixture
def stub_dir(tmp_path: Path) -> Path:
    return tmp_path


def import_with_library_path(directory: Path):
    return run_python(
        """
        try:
            import vantor._vantor
        except ImportError as exc:
            print(str(exc))
        else:
            print("imported")
        """,
        env={"LD_LIBRARY_PATH": str(directory)},
    )


def test_unloadable_libefa(stub_dir: Path):
    # A libefa.so.1 that is found first but cannot be loaded.
    (stub_dir / "libefa.so.1").write_text("not a shared object\n")
    result = import_with_library_path(stub_dir)
    message = result.stdout.strip()
    assert message.startswith(PREFIX.format("libefa.so.1")), result
    assert message.endswith(")") and "libefa.so.1" in message[len(PREFIX.format("")) :]


@pytest.mark.parametrize("missing", LIBEFA_REQUIRED)
def test_libefa_missing_required_symbol(stub_dir: Path, missing: str):
    present = [name for name in LIBEFA_REQUIRED if name != missing]
    build_stub_library(stub_dir, "libefa.so.1", present)
    result = import_with_library_path(stub_dir)
    assert result.stdout.strip() == f"libefa is missing required symbol {missing}"


def test_libefa_without_optional_entries(stub_dir: Path):
    # The system's libefa may predate the optional queries; a libefa with only
    # the required entries imports all the same.
    build_stub_library(stub_dir, "libefa.so.1", LIBEFA_REQUIRED)
    result = import_with_library_path(stub_dir)
    assert result.stdout.strip() == "imported"


def test_libibverbs_missing_required_symbol(stub_dir: Path):
    build_stub_library(stub_dir, "libibverbs.so.1", ["ibv_get_device_list"])
    result = import_with_library_path(stub_dir)
    assert result.stdout.strip() == "libibverbs is missing required symbol ibv_free_device_list"


def test_loader_failure_traceback_names_loader_steps(stub_dir: Path):
    build_stub_library(stub_dir, "libefa.so.1", LIBEFA_REQUIRED[:1])
    result = run_python(
        """
        import traceback
        try:
            import vantor._vantor
        except ImportError as exc:
            print("|".join(f.name for f in traceback.extract_tb(exc.__traceback__)))
        """,
        env={"LD_LIBRARY_PATH": str(stub_dir)},
    )
    frames = result.stdout.strip().split("|")
    assert frames[-3:] == [
        "init vantor._vantor", "vantor._vantor._load_libraries", "vantor._vantor._req_sym",
    ]  # fmt: skip


def test_failed_import_can_be_retried(stub_dir: Path):
    build_stub_library(stub_dir, "libefa.so.1", LIBEFA_REQUIRED[:2])
    result = run_python(
        f"""
        import os, sys
        try:
            import vantor._vantor
        except ImportError as exc:
            print(exc)
        os.remove({str(stub_dir / "libefa.so.1")!r})
        sys.modules.pop("vantor._vantor", None)
        try:
            import vantor._vantor
        except ImportError as exc:
            print(exc)
        """,
        env={"LD_LIBRARY_PATH": str(stub_dir)},
    )
    # The second attempt runs the loading sequence again; the libefa already
    # loaded by the first attempt is the one dlopen returns.
    lines = result.stdout.strip().splitlines()
    assert lines == [
        "libefa is missing required symbol efadv_create_qp_ex",
        "libefa is missing required symbol efadv_create_qp_ex",
    ]


def test_subinterpreter_import_refused():
    # Every kind of subinterpreter the running version makes: from 3.12 the
    # default kind has its own GIL (and checks extensions itself); the
    # legacy kind shares the main interpreter's.
    result = run_python(
        """
        import sys
        import vantor._vantor
        try:
            import _interpreters as interpreters
            kinds = {"isolated": "isolated", "legacy": "legacy"}
            create = interpreters.create
        except ImportError:
            import _xxsubinterpreters as interpreters
            if sys.version_info >= (3, 12):
                kinds = {"isolated": True, "legacy": False}
                create = lambda isolated: interpreters.create(isolated=isolated)
            else:
                kinds = {"legacy": None}
                create = lambda _: interpreters.create()
        attempt = (
            "try:\\n"
            "    import vantor._vantor\\n"
            "except ImportError as exc:\\n"
            "    print(KIND, exc, flush=True)\\n"
            "else:\\n"
            "    print(KIND, 'imported', flush=True)\\n"
        )
        for kind, config in kinds.items():
            interp = create(config)
            interpreters.run_string(interp, f"KIND = {kind!r}\\n" + attempt)
            interpreters.destroy(interp)
        """
    )
    assert result.returncode == 0, result.stderr
    outcomes = dict(line.split(" ", 1) for line in result.stdout.strip().splitlines())
    refusal = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert "legacy" in outcomes, result
    assert outcomes == dict.fromkeys(outcomes, refusal)


def test_reimport_returns_the_live_module():
    import sys

    import vantor._vantor as first

    saved = sys.modules.pop("vantor._vantor")
    try:
        import importlib

        again = importlib.import_module("vantor._vantor")
        assert again is first
        assert again.PD is first.PD
    finally:
        sys.modules["vantor._vantor"] = saved


def test_exec_on_another_module_object_refused():
    import vantor._vantor as live

    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(live)
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(types.ModuleType("vantor._vantor"), definition)
    assert str(info.value) == (
        "Module '_vantor' has already been imported. Re-initialisation is not supported."
    )
    assert live._linked() is True


def test_probes():
    import vantor._vantor as m

    assert m._linked() is True
    for probe, doc in [
        (m._linked, "_linked() -> bool\n\nReturn True if libibverbs and libefa were loaded at import."),
        (m._has_dmabuf, ("_has_dmabuf() -> bool\n\nReturn True if this libibverbs provides "
                        "``ibv_reg_dmabuf_mr`` (rdma-core >= 34).")),
    ]:  # fmt: skip
        assert probe.__doc__ == doc
        assert probe.__annotations__ == {"return": "bool"}
        assert probe.__module__ == "vantor._vantor"
        assert probe.__qualname__ == probe.__name__
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            probe(1)


def test_module_attributes():
    import vantor._vantor as m

    assert m.__name__ == "vantor._vantor"
    assert m.__package__ == "vantor"
    assert m.__file__ == m.__spec__.origin
    assert not hasattr(m, "__path__")
    assert "SRD" in m.__doc__ and "post_send" in m.__doc__
    import os

    assert m.os is os


def test_types_are_subclassable():
    import vantor._vantor as m

    for name in TYPE_ORDER:
        cls = getattr(m, name)
        assert cls.__module__ == "vantor._vantor"
        type(f"My{name}", (cls,), {})
    assert m.CQ.__base__ is m._CQBase and m.CQEx.__base__ is m._CQBase


def test_functions_bind_as_methods_and_check_self():
    import vantor._vantor as m

    init = m.EfaError.__init__
    assert init.__qualname__ == "EfaError.__init__"
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        init(5, "op", 1)
    pickled = textwrap.dedent(
        """
        import pickle, vantor._vantor as m
        assert pickle.loads(pickle.dumps(m._linked)) is m._linked
        """
    )
    assert run_python(pickled).returncode == 0
