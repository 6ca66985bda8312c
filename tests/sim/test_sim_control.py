"""vantor.sim: device configuration, fault injection, call log, counters,
events and activation, exercised with direct ctypes calls of the verbs
entry points."""

from __future__ import annotations

import ctypes
import errno
import json
import os
import select
import textwrap

import pytest
from sim_support import (  # noqa: F401 (fixtures)
    REAL_LIBIBVERBS,
    active_sim_fixture,
    fresh_fixture,
    run_python,
)

c = ctypes


class IbvGid(c.Structure):
    _fields_ = [("raw", c.c_uint8 * 16)]


@pytest.fixture
def verbs(fresh):
    lib = c.CDLL("libibverbs.so.1", use_errno=True)
    lib.ibv_get_device_list.restype = c.POINTER(c.c_void_p)
    lib.ibv_get_device_list.argtypes = [c.POINTER(c.c_int)]
    lib.ibv_free_device_list.argtypes = [c.POINTER(c.c_void_p)]
    lib.ibv_get_device_name.restype = c.c_char_p
    lib.ibv_get_device_name.argtypes = [c.c_void_p]
    lib.ibv_open_device.restype = c.c_void_p
    lib.ibv_open_device.argtypes = [c.c_void_p]
    lib.ibv_close_device.argtypes = [c.c_void_p]
    lib.ibv_alloc_pd.restype = c.c_void_p
    lib.ibv_alloc_pd.argtypes = [c.c_void_p]
    lib.ibv_dealloc_pd.argtypes = [c.c_void_p]
    lib.ibv_reg_mr_iova2.restype = c.c_void_p
    lib.ibv_reg_mr_iova2.argtypes = [c.c_void_p, c.c_void_p, c.c_size_t, c.c_uint64, c.c_uint]
    lib.ibv_dereg_mr.argtypes = [c.c_void_p]
    lib.ibv_query_gid.argtypes = [c.c_void_p, c.c_uint8, c.c_int, c.POINTER(IbvGid)]
    lib.ibv_get_async_event.argtypes = [c.c_void_p, c.c_void_p]
    lib.ibv_ack_async_event.argtypes = [c.c_void_p]
    lib.ibv_wc_status_str.restype = c.c_char_p
    lib.ibv_event_type_str.restype = c.c_char_p
    return lib


def device_names(verbs):
    n = c.c_int(-1)
    lst = verbs.ibv_get_device_list(c.byref(n))
    assert lst, os.strerror(c.get_errno())
    names = [verbs.ibv_get_device_name(lst[i]).decode() for i in range(n.value)]
    assert lst[n.value] is None
    verbs.ibv_free_device_list(lst)
    return names


def open_ctx(verbs, name="efa_0"):
    n = c.c_int()
    lst = verbs.ibv_get_device_list(c.byref(n))
    try:
        for i in range(n.value):
            if verbs.ibv_get_device_name(lst[i]).decode() == name:
                return verbs.ibv_open_device(lst[i])
    finally:
        verbs.ibv_free_device_list(lst)
    raise AssertionError(name)


def test_default_and_configured_device_sets(verbs, fresh):
    assert device_names(verbs) == ["efa_0"]
    fresh.set_devices([])
    assert device_names(verbs) == []
    fresh.set_devices(["rdmap16s27", fresh.Device("mlx5_0", efa=False, port_attr={"lid": 7})])
    assert device_names(verbs) == ["rdmap16s27", "mlx5_0"]
    assert fresh.device_field(1, "port.lid") == 7
    assert fresh.device_gid(0) != fresh.device_gid(1)
    assert fresh.device_gid(0)[:2] == b"\xfe\x80"
    fresh.reset()
    assert device_names(verbs) == ["efa_0"]


@pytest.mark.parametrize(
    "dev",
    [
        {"device_attr": {"no_such_field": 1}},
        {"port_attr": {"lid": 1 << 16}},
        {"efa_attr": {"max_sq_wr": -1}},
        {"gid": b"short"},
        {"fw_ver": "x" * 64},
    ],
)
def test_bad_device_configuration_is_refused(fresh, dev):
    with pytest.raises(ValueError):
        fresh.set_devices([fresh.Device("efa_0", **dev)])


def test_device_configuration_reaches_queries(verbs, fresh):
    gid = bytes(range(16))
    fresh.set_devices([fresh.Device("efa_0", gid=gid, fw_ver="1.2.3", num_comp_vectors=2)])
    ctx = open_ctx(verbs)
    out = IbvGid()
    assert verbs.ibv_query_gid(ctx, 1, 0, c.byref(out)) == 0
    assert bytes(out.raw) == gid
    assert verbs.ibv_close_device(ctx) == 0


def test_fault_returns_null_with_errno_and_counts(verbs, fresh):
    fresh.fail("ibv_get_device_list", errno.ENOMEM, skip=1, count=2)
    assert fresh.fault_pending("ibv_get_device_list") == 2
    assert device_names(verbs) == ["efa_0"]  # skipped
    for _ in range(2):
        assert not verbs.ibv_get_device_list(None)
        assert c.get_errno() == errno.ENOMEM
    assert device_names(verbs) == ["efa_0"]
    assert fresh.call_count("ibv_get_device_list") == 4
    assert fresh.fault_pending("ibv_get_device_list") == 0


@pytest.mark.parametrize(
    "fn, err, rc, expect_ret",
    [
        ("ibv_dealloc_pd", errno.EBUSY, None, errno.EBUSY),  # code-returning: rc = errno
        ("ibv_dealloc_pd", 0, -1, -1),  # errno 0 with an explicit rc
        ("ibv_close_device", errno.EIO, None, -1),  # -1 with errno
    ],
)
def test_fault_return_conventions(verbs, fresh, fn, err, rc, expect_ret):
    ctx = open_ctx(verbs)
    pd = verbs.ibv_alloc_pd(ctx)
    fresh.fail(fn, err, rc=rc)
    c.set_errno(123)
    target = pd if fn == "ibv_dealloc_pd" else ctx
    assert getattr(verbs, fn)(target) == expect_ret
    assert c.get_errno() == err
    assert verbs.ibv_dealloc_pd(pd) == 0
    assert verbs.ibv_close_device(ctx) == 0


def test_fault_names_are_checked(fresh):
    names = fresh.function_names()
    for fn in (
        "ibv_get_device_list",
        "efadv_query_qp_wqs",
        "poll_cq",
        "wr_complete",
        "start_poll",
        "create_qp_ex",
        "ibv_qp_to_qp_ex",
        "wr_set_sge_list",
    ):
        assert fn in names
    with pytest.raises(ValueError):
        fresh.fail("ibv_no_such_call", errno.EIO)
    with pytest.raises(ValueError):
        fresh.call_count("ibv_no_such_call")


def test_recording_captures_arguments_and_results(verbs, fresh):
    live = fresh.live_objects()  # earlier tests may leave objects they could not free
    device_names(verbs)  # before the block: not recorded
    buf = c.create_string_buffer(4096)
    with fresh.recording() as log:
        ctx = open_ctx(verbs)
        pd = verbs.ibv_alloc_pd(ctx)
        mr = verbs.ibv_reg_mr_iova2(pd, c.addressof(buf), 4096, 0x5000, 7)
        assert log.fns()[:4] == [
            "ibv_get_device_list",
            "ibv_get_device_name",
            "ibv_open_device",
            "ibv_free_device_list",
        ]
        assert verbs.ibv_dereg_mr(mr) == 0
        fresh.fail("ibv_alloc_pd", errno.EAGAIN)
        assert not verbs.ibv_alloc_pd(ctx)
    device_names(verbs)  # after the block: not recorded
    assert log[0]["ret"] == ["efa_0"]
    opened = log.calls("ibv_open_device")[0]
    assert opened["device"] == "efa_0"
    reg = log.calls("ibv_reg_mr_iova2")[0]
    assert reg["addr"] == hex(c.addressof(buf))
    assert (reg["length"], reg["iova"], reg["access"]) == (4096, "0x5000", "0x7")
    assert reg["pd"] == log.calls("ibv_alloc_pd")[0]["ret"]
    assert log.calls("ibv_dereg_mr")[0] == {"fn": "ibv_dereg_mr", "mr": reg["ret"], "ret": 0}
    failed = log.calls("ibv_alloc_pd")[1]
    assert failed["fault"] is True and failed["errno"] == errno.EAGAIN and failed["ret"] is None
    assert "ibv_get_device_list" not in log.fns()[5:]
    assert verbs.ibv_dealloc_pd(pd) == 0
    assert verbs.ibv_close_device(ctx) == 0
    assert fresh.live_objects() == live


def test_async_event_wakes_select(verbs, fresh):
    with fresh.recording() as log:
        ctx = open_ctx(verbs)
    fd = log.calls("ibv_open_device")[0]["async_fd"]
    assert select.select([fd], [], [], 0)[0] == []
    fresh.post_port_event(10, 1, async_fd=fd)
    assert select.select([fd], [], [], 1)[0] == [fd]
    ev = (c.c_uint8 * 16)()
    assert verbs.ibv_get_async_event(ctx, ev) == 0
    assert int.from_bytes(bytes(ev[8:12]), "little") == 10  # IBV_EVENT_PORT_ERR
    assert int.from_bytes(bytes(ev[0:4]), "little") == 1  # element.port_num
    verbs.ibv_ack_async_event(ev)
    assert select.select([fd], [], [], 0)[0] == []
    with pytest.raises(OSError):
        fresh.post_port_event(device="nonexistent")
    with pytest.raises(ValueError):
        fresh.post_device_event()
    assert verbs.ibv_close_device(ctx) == 0


def test_strings_match_real_libibverbs(verbs):
    if not os.path.exists(REAL_LIBIBVERBS):
        pytest.skip("no system libibverbs")
    proc = run_python(
        textwrap.dedent(f"""
        import ctypes, json
        lib = ctypes.CDLL({REAL_LIBIBVERBS!r})
        lib.ibv_wc_status_str.restype = ctypes.c_char_p
        lib.ibv_event_type_str.restype = ctypes.c_char_p
        print(json.dumps([[lib.ibv_wc_status_str(i).decode() for i in range(-3, 40)],
                          [lib.ibv_event_type_str(i).decode() for i in range(-3, 40)]]))
    """)
    )
    assert proc.returncode == 0, proc.stderr
    real_wc, real_ev = json.loads(proc.stdout)
    assert [verbs.ibv_wc_status_str(i).decode() for i in range(-3, 40)] == real_wc
    assert [verbs.ibv_event_type_str(i).decode() for i in range(-3, 40)] == real_ev


def test_lib_dir_layout(active_sim):
    assert active_sim.lib_dir().endswith(os.path.join("vantor", "_sim"))
    assert active_sim.lib_dir(True) == os.path.join(active_sim.lib_dir(), "legacy")
    assert active_sim.is_active()
    active_sim.activate()  # again, same build: nothing happens
    with pytest.raises(RuntimeError, match="legacy"):
        active_sim.activate(legacy=True)


PROBE = """
import ctypes, vantor.sim as sim
sim.activate(legacy={legacy})
verbs = ctypes.CDLL("libibverbs.so.1")  # found by soname
efa = ctypes.CDLL("libefa.so.1")
print(hasattr(verbs, "vsim_reset"), hasattr(verbs, "ibv_reg_dmabuf_mr"),
      [hasattr(efa, n) for n in ("efadv_query_mr", "efadv_query_cq", "efadv_query_qp_wqs",
                                 "efadv_create_cq")])
"""


@pytest.mark.parametrize(
    "legacy, expect",
    [
        (False, "True True [True, True, True, True]"),
        (True, "True False [False, False, False, True]"),
    ],
)
def test_activate_makes_sonames_resolve_to_the_simulator(active_sim, legacy, expect):
    proc = run_python(PROBE.format(legacy=legacy))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expect


@pytest.mark.parametrize(
    "setup, message",
    [
        ("import sys; sys.modules['vantor._vantor'] = object()", "before vantor._vantor"),
        (f"import ctypes; ctypes.CDLL({REAL_LIBIBVERBS!r})", "another libibverbs"),
    ],
)
def test_activate_refuses_a_process_already_using_verbs(active_sim, setup, message):
    if "CDLL" in setup and not os.path.exists(REAL_LIBIBVERBS):
        pytest.skip("no system libibverbs")
    proc = run_python(setup + "\nimport vantor.sim as sim\nsim.activate()")
    assert proc.returncode != 0
    assert "RuntimeError" in proc.stderr and message in proc.stderr
