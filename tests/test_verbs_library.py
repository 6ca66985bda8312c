"""Device calls that C programs make and vantor itself does not: closing a
device with objects still open, the extended device query, fork protection
and libefa's legacy SRD creation call. The C side runs as a small program
(tests/native/verbs_extras.c) linked against the simulator, so the inline
verbs paths are exercised exactly as a program reaches them."""

from __future__ import annotations

import ctypes
import errno
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import ROOT, run_python

c_void_p = ctypes.c_void_p
IBV_QPT_DRIVER = 0xFF
IBV_QPT_UD = 4
IBV_QPT_RC = 2
EFADV_QP_DRIVER_TYPE_SRD = 0


@pytest.fixture(scope="module")
def extras(tmp_path_factory) -> Path:
    """tests/native/verbs_extras.c built against the simulator's libraries."""
    import vantor.sim as sim

    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    libs = sim.lib_dir()
    out = tmp_path_factory.mktemp("verbs-extras") / "verbs_extras"
    subprocess.run(
        [cc, "-std=gnu11", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'sim' / 'include'}",
         "-o", str(out), str(ROOT / "tests" / "native" / "verbs_extras.c"),
         os.path.join(libs, "libibverbs.so.1"), os.path.join(libs, "libefa.so.1"),
         f"-Wl,-rpath,{libs}"],
        check=True,
    )  # fmt: skip
    return out


def run_extras(binary: Path, mode: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "VANTOR_SIM_HOST"}
    proc = subprocess.run([str(binary), mode], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    fields: dict[str, str] = {}
    for line in proc.stdout.splitlines():
        words = line.split()
        for key, value in zip(words[::2], words[1::2]):
            fields[key] = value
    return fields


# --- ibv_close_device ---------------------------------------------------------------


def test_close_device_releases_everything_still_open(extras):
    """As the kernel does when the device file closes: QP, AH, MR, CQ,
    channel and PD go with the context, even a QP whose async event was
    never acknowledged, and none of it shows as a call of the program."""
    out = run_extras(extras, "close")
    assert out["close_rc"] == "0"
    kinds = ("context", "pd", "mr", "cq", "qp", "ah", "channel")
    assert {k: out[f"live_{k}"] for k in kinds} == dict.fromkeys(kinds, "0")
    assert out["destroy_calls"] == "0"
    assert out["fault_pending"] == "1"  # the armed fault is left for the program


@pytest.fixture
def verbs(sim):
    lib = ctypes.CDLL(os.path.join(sim.lib_dir(), "libibverbs.so.1"), use_errno=True)
    for name, res, args in [
        ("ibv_get_device_list", ctypes.POINTER(c_void_p), [ctypes.POINTER(ctypes.c_int)]),
        ("ibv_free_device_list", None, [ctypes.POINTER(c_void_p)]),
        ("ibv_open_device", c_void_p, [c_void_p]),
        ("ibv_close_device", ctypes.c_int, [c_void_p]),
        ("ibv_alloc_pd", c_void_p, [c_void_p]),
        ("ibv_create_cq", c_void_p, [c_void_p, ctypes.c_int, c_void_p, c_void_p, ctypes.c_int]),
        ("ibv_destroy_cq", ctypes.c_int, [c_void_p]),
        ("ibv_dealloc_pd", ctypes.c_int, [c_void_p]),
        ("ibv_destroy_qp", ctypes.c_int, [c_void_p]),
        ("ibv_create_comp_channel", c_void_p, [c_void_p]),
        ("ibv_reg_mr", c_void_p, [c_void_p, c_void_p, ctypes.c_size_t, ctypes.c_int]),
    ]:
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = res, args
    return lib


@pytest.fixture
def efa(sim):
    lib = ctypes.CDLL(os.path.join(sim.lib_dir(), "libefa.so.1"), use_errno=True)
    lib.efadv_create_driver_qp.restype = c_void_p
    lib.efadv_create_driver_qp.argtypes = [c_void_p, c_void_p, ctypes.c_uint32]
    return lib


def open_context(verbs) -> int:
    count = ctypes.c_int()
    devices = verbs.ibv_get_device_list(ctypes.byref(count))
    ctx = verbs.ibv_open_device(devices[0])
    verbs.ibv_free_device_list(devices)
    assert ctx
    return int(ctx)


CHILDREN = {
    "nothing": [],
    "pd": ["pd"],
    "pd and mr": ["pd", "mr"],
    "cq on a channel": ["channel", "cq"],
    "qp and its cq": ["pd", "cq", "qp"],
    "everything": ["pd", "mr", "channel", "cq", "qp"],
}


@pytest.mark.parametrize("children", CHILDREN.values(), ids=CHILDREN.keys())
def test_close_device_with_children_succeeds(sim, verbs, efa, children):
    before = sim.live_objects()
    ctx = open_context(verbs)
    made: dict[str, int] = {}
    buf = ctypes.create_string_buffer(4096)
    for kind in children:
        if kind == "pd":
            made[kind] = verbs.ibv_alloc_pd(ctx)
        elif kind == "mr":
            made[kind] = verbs.ibv_reg_mr(made["pd"], ctypes.addressof(buf), 4096, 1)
        elif kind == "channel":
            made[kind] = verbs.ibv_create_comp_channel(ctx)
        elif kind == "cq":
            made[kind] = verbs.ibv_create_cq(ctx, 8, None, made.get("channel"), 0)
        elif kind == "qp":
            attr = driver_attr(
                made["cq"],
                max_send_wr=1,
                max_recv_wr=1,
                max_send_sge=1,
                max_recv_sge=1,
                max_inline_data=0,
            )
            made[kind] = efa.efadv_create_driver_qp(
                made["pd"], ctypes.byref(attr), EFADV_QP_DRIVER_TYPE_SRD
            )
        assert made[kind], kind
    qp_num = QP.from_address(made["qp"]).qp_num if "qp" in made else None
    with sim.recording() as log:
        assert verbs.ibv_close_device(ctx) == 0
    assert log.fns() == ["ibv_close_device"]
    assert sim.live_objects() == before
    if qp_num is not None:
        assert sim.qp_state(qp_num) is None


def test_close_device_fault_still_fails_and_keeps_the_children(sim, verbs):
    ctx = open_context(verbs)
    pd = verbs.ibv_alloc_pd(ctx)
    sim.fail("ibv_close_device", errno.EIO)
    ctypes.set_errno(0)
    assert verbs.ibv_close_device(ctx) == -1
    assert ctypes.get_errno() == errno.EIO
    assert sim.live_objects()["pd"] >= 1
    assert verbs.ibv_dealloc_pd(pd) == 0
    assert verbs.ibv_close_device(ctx) == 0


# --- ibv_query_device_ex -------------------------------------------------------------


def test_query_device_ex_reports_what_the_efa_provider_does(extras):
    out = run_extras(extras, "query")
    assert out["rc"] == "0"
    assert out["orig_attr_same"] == "1"
    assert out["phys_port_cnt_ex"] == out["phys_port_cnt"] == "1"
    assert out["device_cap_flags_ex"] == out["device_cap_flags"]
    # EFA has none of the extended features: no ODP, TSO, RSS, packet
    # pacing, tag matching, device memory or completion timestamps.
    for key in (
        "comp_mask",
        "completion_timestamp_mask",
        "hca_core_clock",
        "max_wq_type_rq",
        "raw_packet_caps",
        "max_dm_size",
        "xrc_odp_caps",
    ):
        assert out[key] == "0", key
    for caps in ("odp", "tso", "rss", "packet_pacing", "tm", "cq_mod", "pci_atomic"):
        assert out[f"{caps}_caps_zero"] == "1", caps
    assert out["short_rc"] == str(errno.EINVAL)


# --- fork protection -------------------------------------------------------------------

FORK_PRELUDE = """
    import ctypes, mmap, os, signal, vantor.sim as sim
    sim.activate()
    verbs = ctypes.CDLL(os.path.join(sim.lib_dir(), "libibverbs.so.1"))
    P = ctypes.c_void_p
    for name, res, args in [
        ("ibv_get_device_list", ctypes.POINTER(P), [P]), ("ibv_open_device", P, [P]),
        ("ibv_alloc_pd", P, [P]), ("ibv_reg_mr", P, [P, P, ctypes.c_size_t, ctypes.c_int]),
        ("ibv_dereg_mr", ctypes.c_int, [P])]:
        fn = getattr(verbs, name); fn.restype, fn.argtypes = res, args
    pd = verbs.ibv_alloc_pd(verbs.ibv_open_device(verbs.ibv_get_device_list(None)[0]))
    page = mmap.PAGESIZE
    area = mmap.mmap(-1, 2 * page)  # pages of their own: nothing else lives there
    addr = ctypes.addressof(ctypes.c_char.from_buffer(area))

    def child_reads(address):
        pid = os.fork()
        if pid == 0:
            # the default action, whoever (a sanitizer runtime) took the signal over
            signal.signal(signal.SIGSEGV, signal.SIG_DFL)
            ctypes.string_at(address, 1)
            os._exit(0)
        status = os.waitpid(pid, 0)[1]
        return "ok" if os.WIFEXITED(status) else signal.Signals(os.WTERMSIG(status)).name
"""


def test_fork_init_protects_registered_memory_from_children():
    code = (
        FORK_PRELUDE
        + """
    print(verbs.ibv_is_fork_initialized(), verbs.ibv_fork_init(), verbs.ibv_fork_init(),
          verbs.ibv_is_fork_initialized())
    mr = verbs.ibv_reg_mr(pd, addr, page, 1)
    print(child_reads(addr), child_reads(addr + page))
    verbs.ibv_dereg_mr(mr)
    print(child_reads(addr))
    """
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    status, registered = result.stdout.splitlines()[0], result.stdout.splitlines()[1:]
    assert status == "0 0 0 1"  # DISABLED, init twice, ENABLED
    # The registered page is not in the child; its neighbour and, once
    # deregistered, the page itself are.
    assert registered == ["SIGSEGV ok", "ok"]


def test_fork_init_after_registration_is_refused():
    code = (
        FORK_PRELUDE
        + """
    mr = verbs.ibv_reg_mr(pd, addr, page, 1)
    verbs.ibv_dereg_mr(mr)
    print(verbs.ibv_fork_init(), verbs.ibv_is_fork_initialized(), child_reads(addr))
    """
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(errno.EINVAL), "0", "ok"]


@pytest.mark.parametrize("variable", ["RDMAV_FORK_SAFE", "IBV_FORK_SAFE"])
def test_fork_safe_environment_turns_protection_on(variable):
    code = (
        FORK_PRELUDE
        + """
    mr = verbs.ibv_reg_mr(pd, addr, page, 1)
    print(verbs.ibv_is_fork_initialized(), child_reads(addr))
    """
    )
    result = run_python(code, env={variable: "1"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "SIGSEGV"]


# --- efadv_create_driver_qp ----------------------------------------------------------------


class QP(ctypes.Structure):  # the head of struct ibv_qp
    _fields_ = [
        ("context", c_void_p),
        ("qp_context", c_void_p),
        ("pd", c_void_p),
        ("send_cq", c_void_p),
        ("recv_cq", c_void_p),
        ("srq", c_void_p),
        ("handle", ctypes.c_uint32),
        ("qp_num", ctypes.c_uint32),
        ("state", ctypes.c_int),
        ("qp_type", ctypes.c_int),
    ]


def test_driver_qp_exchanges_data_as_an_srd_qp(extras):
    out = run_extras(extras, "driver_qp")
    assert out["qp_type"] == str(IBV_QPT_DRIVER)
    assert out["qp_ex"] == "0"  # no extended posting interface, like ibv_create_qp
    assert (out["send_status"], out["recv_status"], out["src_qp_ok"]) == ("0", "0", "1")
    # SRD: the payload starts at byte 0 of the receive buffer.
    assert out["byte_len"] == "25"
    assert out["payload_at_0"] == "1"


@pytest.fixture
def driver_setup(sim, verbs):
    ctx = open_context(verbs)
    pd = verbs.ibv_alloc_pd(ctx)
    cq = verbs.ibv_create_cq(ctx, 16, None, None, 0)
    yield pd, cq
    assert verbs.ibv_close_device(ctx) == 0


def driver_attr(cq: int, **changes: int) -> ctypes.Structure:
    from vantor.scenarios.native import QPInitAttrStruct  # loads the native core

    attr = QPInitAttrStruct(send_cq=cq, recv_cq=cq, qp_type=IBV_QPT_DRIVER)
    attr.max_send_wr, attr.max_recv_wr, attr.max_send_sge, attr.max_recv_sge = 16, 32, 1, 2
    attr.max_inline_data = 32
    for key, value in changes.items():
        setattr(attr, key, value)
    return attr


def test_driver_qp_creates_an_srd_qp(sim, verbs, efa, driver_setup):
    pd, cq = driver_setup
    attr = driver_attr(cq)
    with sim.recording() as log:
        qp = efa.efadv_create_driver_qp(pd, ctypes.byref(attr), EFADV_QP_DRIVER_TYPE_SRD)
    assert qp
    head = QP.from_address(qp)
    assert (head.qp_type, head.pd, head.send_cq) == (IBV_QPT_DRIVER, pd, cq)
    assert sim.qp_state(head.qp_num) == 0
    (entry,) = log.calls("efadv_create_driver_qp")
    assert (entry["driver_qp_type"], entry["qp_type"], entry["ret"]) == (0, 255, head.qp_num)
    assert (entry["max_send_wr"], entry["max_recv_wr"], entry["max_recv_sge"]) == (16, 32, 2)
    assert log.calls("efadv_create_qp_ex") == []
    assert (attr.max_send_wr, attr.max_recv_wr, attr.max_inline_data) == (16, 32, 32)
    assert verbs.ibv_destroy_qp(qp) == 0


@pytest.mark.parametrize(
    ("changes", "driver_type", "expected"),
    [
        ({"qp_type": IBV_QPT_UD}, EFADV_QP_DRIVER_TYPE_SRD, errno.EINVAL),
        ({"qp_type": IBV_QPT_RC}, EFADV_QP_DRIVER_TYPE_SRD, errno.EINVAL),
        ({}, 1, errno.EOPNOTSUPP),
        ({"max_send_wr": 1 << 20}, EFADV_QP_DRIVER_TYPE_SRD, errno.EINVAL),
        ({"max_inline_data": 4096}, EFADV_QP_DRIVER_TYPE_SRD, errno.EINVAL),
    ],
    ids=["ud", "rc", "unknown-driver-type", "too-deep", "too-much-inline"],
)
def test_driver_qp_refusals(sim, efa, driver_setup, changes, driver_type, expected):
    pd, cq = driver_setup
    attr = driver_attr(cq, **changes)
    before = sim.live_objects()["qp"]  # earlier tests may leave QPs to the collector
    ctypes.set_errno(0)
    assert efa.efadv_create_driver_qp(pd, ctypes.byref(attr), driver_type) is None
    assert ctypes.get_errno() == expected
    assert sim.live_objects()["qp"] == before


def test_driver_qp_on_another_provider_is_not_supported(sim, verbs, efa):
    sim.set_devices([sim.Device("mlx5_0", efa=False)])
    ctx = open_context(verbs)
    pd = verbs.ibv_alloc_pd(ctx)
    cq = verbs.ibv_create_cq(ctx, 16, None, None, 0)
    ctypes.set_errno(0)
    assert efa.efadv_create_driver_qp(pd, ctypes.byref(driver_attr(cq)), 0) is None
    assert ctypes.get_errno() == errno.EOPNOTSUPP
    assert verbs.ibv_close_device(ctx) == 0


def test_driver_qp_fault_injection(sim, efa, driver_setup):
    pd, cq = driver_setup
    sim.fail("efadv_create_driver_qp", errno.ENOMEM)
    ctypes.set_errno(0)
    assert efa.efadv_create_driver_qp(pd, ctypes.byref(driver_attr(cq)), 0) is None
    assert ctypes.get_errno() == errno.ENOMEM
    assert efa.efadv_create_driver_qp(pd, ctypes.byref(driver_attr(cq)), 0)
