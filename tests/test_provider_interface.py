"""libibverbs' provider interface in the software device. Programs such as
perftest link a provider library (libmlx5) directly, so every symbol the
system's providers import from libibverbs must resolve against the
simulator, under the same version. The set is read from the providers at
build time (sim/cmake/provider_exports.cmake); it is inert: a provider's
registration is accepted and ignored, the kernel commands fail with
EOPNOTSUPP and the fork-range calls succeed."""

from __future__ import annotations

import ctypes
import errno
import glob
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import ROOT, run_python

PROVIDERS = sorted(glob.glob("/usr/lib/*/libibverbs/*.so"))
SCRIPT = ROOT / "sim" / "cmake" / "provider_exports.cmake"
IMPORT = re.compile(r"\sUND\s+([A-Za-z_]\w*)@(IBVERBS_[\w.]+)")


def imports(lib: str) -> set[tuple[str, str]]:
    out = subprocess.run(
        ["readelf", "--dyn-syms", "--wide", lib], capture_output=True, text=True, check=True
    ).stdout
    return set(IMPORT.findall(out))


def need_providers() -> None:
    if not PROVIDERS or shutil.which("readelf") is None:
        pytest.skip("no provider libraries (ibverbs-providers) or no readelf")


@pytest.fixture
def verbs(sim):
    return ctypes.CDLL(os.path.join(sim.lib_dir(), "libibverbs.so.1"), use_errno=True)


def test_every_provider_import_is_exported_under_its_version(verbs):
    need_providers()
    dlvsym = ctypes.CDLL(None).dlvsym
    dlvsym.restype = ctypes.c_void_p
    dlvsym.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    wanted = set().union(*(imports(lib) for lib in PROVIDERS))
    assert ("verbs_register_driver_34", "IBVERBS_PRIVATE_34") in wanted or any(
        name.startswith("verbs_register_driver_") for name, _ in wanted
    )
    missing = [
        f"{name}@{version}"
        for name, version in sorted(wanted)
        if not dlvsym(verbs._handle, name.encode(), version.encode())
    ]
    assert missing == []


@pytest.mark.parametrize("lib", PROVIDERS or ["none"])
def test_provider_loads_against_the_simulator(lib):
    """Each provider loads with every symbol bound at once, and its
    constructor's registration is taken without effect: the device list is
    still the simulator's."""
    need_providers()
    code = f"""
        import ctypes, vantor.sim as sim
        sim.activate()
        ctypes.CDLL({lib!r}, mode=ctypes.RTLD_GLOBAL | 2)  # RTLD_NOW
        import vantor._vantor as v
        print([d.name for d in v.get_device_list()])
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['efa_0']"


@pytest.mark.parametrize(
    ("name", "args", "result", "err"),
    [
        ("ibv_cmd_alloc_pd", (None, None, None, 0, None, 0), errno.EOPNOTSUPP, errno.EOPNOTSUPP),
        ("ibv_cmd_create_qp_ex2", (None,) * 6, errno.EOPNOTSUPP, errno.EOPNOTSUPP),
        ("execute_ioctl", (None, None), errno.EOPNOTSUPP, errno.EOPNOTSUPP),
        ("_verbs_init_and_alloc_context", (None, 3, 64, 0, 0), 0, errno.EOPNOTSUPP),
        ("verbs_register_driver_34", (None,), None, 0),
        ("verbs_set_ops", (None, None), None, None),
    ],
)
def test_provider_calls_are_inert(verbs, name, args, result, err):
    need_providers()
    fn = getattr(verbs, name, None)
    if fn is None:
        pytest.skip(f"{name} is not imported by this rdma-core's providers")
    fn.restype = ctypes.c_long
    ctypes.set_errno(0)
    rc = fn(*args)
    if result is not None:
        assert rc == result
    if err is not None:
        assert ctypes.get_errno() == err


def test_fork_range_calls_succeed(verbs):
    buf = ctypes.create_string_buffer(8192)
    for name in ("ibv_dontfork_range", "ibv_dofork_range"):
        fn = getattr(verbs, name)
        fn.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        assert fn(ctypes.addressof(buf), 8192) == 0


def test_disassociate_flag_reads_off(verbs):
    need_providers()
    flag = ctypes.c_bool.in_dll(verbs, "verbs_allow_disassociate_destroy")
    assert flag.value is False


def generate(tmp_path: Path, providers: list[str], readelf: str = "readelf") -> Path:
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    listing = tmp_path / "providers.txt"
    listing.write_text("".join(p + "\n" for p in providers))
    out = tmp_path / "out"
    maps = "|".join(str(ROOT / "sim" / m) for m in ("libibverbs.map", "extra_exports.map"))
    subprocess.run(
        [
            cmake,
            f"-DOUT_DIR={out}",
            f"-DREADELF={shutil.which(readelf) or ''}",
            f"-DPROVIDER_LIST={listing}",
            f"-DMAPS={maps}",
            f"-DSOURCES={ROOT / 'sim' / 'src' / 'extra_exports.cpp'}",
            "-P",
            str(SCRIPT),
        ],
        check=True,
        capture_output=True,
    )
    return out


def test_generation_without_any_provider_declares_only_the_private_node(tmp_path):
    out = generate(tmp_path, [])
    assert (
        "VSIM_PROVIDER_FN("
        not in (out / "provider_exports.cpp").read_text().split("#define VSIM_PROVIDER_DATA")[1]
    )
    assert re.findall(r"^(\S+) \{ \};$", (out / "provider_exports.map").read_text(), re.M) == [
        "IBVERBS_PRIVATE_34"
    ]
    assert '"IBVERBS_PRIVATE_34"' in (out / "provider_abi.h").read_text()


def test_generation_follows_what_a_provider_imports(tmp_path):
    """A provider of another release (here: one built for this test, importing
    a private node and a call that this release lacks) gets its symbols."""
    need_providers()
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    # A stand-in libibverbs with the future release's versions, and a
    # provider linked against it.
    (tmp_path / "verbs.map").write_text(
        "IBVERBS_1.1 { global: ibv_dontfork_range; local: *; };\n"
        "IBVERBS_1.99 { global: ibv_future_call; } IBVERBS_1.1;\n"
        "IBVERBS_PRIVATE_99 { global: verbs_register_driver_99; ibv_cmd_future;"
        " ibv_query_gid_type; verbs_future_flag; };\n"
    )
    (tmp_path / "verbs.c").write_text(
        "int ibv_dontfork_range(void *b, unsigned long n) { return 0; }\n"
        "int ibv_future_call(void) { return 0; }\n"
        "void verbs_register_driver_99(const void *ops) {}\n"
        "int ibv_cmd_future(void) { return 0; }\n"
        "int ibv_query_gid_type(void) { return 0; }\n"
        "int verbs_future_flag;\n"
    )
    (tmp_path / "provider.c").write_text(
        "extern int ibv_dontfork_range(void *, unsigned long);\n"
        "extern int ibv_future_call(void); extern int ibv_cmd_future(void);\n"
        "extern int ibv_query_gid_type(void); extern int verbs_future_flag;\n"
        "extern void verbs_register_driver_99(const void *);\n"
        "__attribute__((constructor)) static void reg(void) { verbs_register_driver_99(0); }\n"
        "int use(void) { return ibv_dontfork_range(0, 0) + ibv_future_call() +"
        " ibv_cmd_future() + ibv_query_gid_type() + verbs_future_flag; }\n"
    )
    stand_in = tmp_path / "libibverbs.so.1"
    subprocess.run(
        [cc, "-shared", "-fPIC", "-o", stand_in, tmp_path / "verbs.c",
         f"-Wl,--version-script={tmp_path / 'verbs.map'}", "-Wl,-soname,libibverbs.so.1"],
        check=True,
    )  # fmt: skip
    provider = tmp_path / "libfuture-rdmav99.so"
    subprocess.run(
        [cc, "-shared", "-fPIC", "-o", provider, tmp_path / "provider.c", stand_in], check=True
    )
    out = generate(tmp_path, [str(provider)])
    cpp = (out / "provider_exports.cpp").read_text()
    assert 'VSIM_PROVIDER_FN(verbs_register_driver_99, "IBVERBS_PRIVATE_99", 0, 0);' in cpp
    assert 'VSIM_PROVIDER_FN(ibv_cmd_future, "IBVERBS_PRIVATE_99", EOPNOTSUPP, EOPNOTSUPP);' in cpp
    assert 'VSIM_PROVIDER_FN(ibv_future_call, "IBVERBS_1.99", 0, EOPNOTSUPP);' in cpp
    assert 'VSIM_PROVIDER_DATA(verbs_future_flag, "IBVERBS_PRIVATE_99");' in cpp
    # Defined by the simulator already: not generated again, but bound to
    # this release's private node.
    assert "(ibv_dontfork_range," not in cpp and "(ibv_query_gid_type," not in cpp
    nodes = re.findall(r"^(\S+) \{ \};$", (out / "provider_exports.map").read_text(), re.M)
    assert nodes == ["IBVERBS_1.99", "IBVERBS_PRIVATE_99"]
    assert '"IBVERBS_PRIVATE_99"' in (out / "provider_abi.h").read_text()
