"""The simulator's extra libibverbs/libefa entry points: those that programs
written against the full rdma-core libraries (pyverbs, librdmacm) link to.
They must exist under the real library's symbol versions, answer like the
EFA provider where an EFA program calls them, and fail cleanly otherwise."""

from __future__ import annotations

import ctypes
import errno
import os

import pytest

c_void_p = ctypes.c_void_p


class GidEntry(ctypes.Structure):
    _fields_ = [
        ("gid", ctypes.c_ubyte * 16),
        ("gid_index", ctypes.c_uint32),
        ("port_num", ctypes.c_uint32),
        ("gid_type", ctypes.c_uint32),
        ("ndev_ifindex", ctypes.c_uint32),
    ]


@pytest.fixture
def libs(sim):
    verbs = ctypes.CDLL(os.path.join(sim.lib_dir(), "libibverbs.so.1"), use_errno=True)
    efa = ctypes.CDLL(os.path.join(sim.lib_dir(), "libefa.so.1"), use_errno=True)
    return verbs, efa


@pytest.fixture
def verbs(libs):
    return libs[0]


@pytest.fixture
def context(verbs):
    verbs.ibv_get_device_list.restype = ctypes.POINTER(c_void_p)
    verbs.ibv_get_device_list.argtypes = [ctypes.POINTER(ctypes.c_int)]
    verbs.ibv_open_device.restype = c_void_p
    verbs.ibv_open_device.argtypes = [c_void_p]
    verbs.ibv_free_device_list.argtypes = [ctypes.POINTER(c_void_p)]
    verbs.ibv_close_device.argtypes = [c_void_p]
    count = ctypes.c_int()
    devices = verbs.ibv_get_device_list(ctypes.byref(count))
    assert count.value >= 1
    ctx = verbs.ibv_open_device(devices[0])
    verbs.ibv_free_device_list(devices)
    assert ctx
    yield ctx
    assert verbs.ibv_close_device(ctx) == 0


VERSIONED = [
    ("libibverbs", "ibv_reg_mr", "IBVERBS_1.1"),
    ("libibverbs", "ibv_query_pkey", "IBVERBS_1.1"),
    ("libibverbs", "ibv_get_pkey_index", "IBVERBS_1.5"),
    ("libibverbs", "ibv_query_gid_type", "IBVERBS_PRIVATE_34"),
    ("libibverbs", "_ibv_query_gid_ex", "IBVERBS_1.11"),
    ("libibverbs", "_ibv_query_gid_table", "IBVERBS_1.11"),
    ("libibverbs", "ibv_query_qp_data_in_order", "IBVERBS_1.14"),
    ("libibverbs", "ibv_get_device_index", "IBVERBS_1.9"),
    ("libibverbs", "ibv_fork_init", "IBVERBS_1.1"),
    ("libibverbs", "ibv_is_fork_initialized", "IBVERBS_1.13"),
    ("libibverbs", "ibv_dontfork_range", "IBVERBS_1.1"),
    ("libibverbs", "ibv_dofork_range", "IBVERBS_1.1"),
    ("libibverbs", "ibv_resolve_eth_l2_from_gid", "IBVERBS_1.1"),
    ("libibverbs", "ibv_create_srq", "IBVERBS_1.1"),
    ("libibverbs", "ibv_import_dm", "IBVERBS_1.13"),
    ("libibverbs", "ibv_unimport_pd", "IBVERBS_1.10"),
    ("libibverbs", "ibv_get_sysfs_path", "IBVERBS_1.0"),
    ("libibverbs", "ibv_read_sysfs_file", "IBVERBS_1.0"),
    ("libibverbs", "ibv_copy_qp_attr_from_kern", "IBVERBS_1.0"),
    ("libibverbs", "ibv_copy_ah_attr_from_kern", "IBVERBS_1.1"),
    ("libefa", "efadv_create_driver_qp", "EFA_1.0"),
]


@pytest.mark.parametrize(("lib", "name", "version"), VERSIONED)
def test_bound_to_the_real_library_version(libs, lib, name, version):
    dlvsym = ctypes.CDLL(None).dlvsym
    dlvsym.restype = c_void_p
    dlvsym.argtypes = [c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    handle = libs[0 if lib == "libibverbs" else 1]._handle
    assert dlvsym(handle, name.encode(), version.encode())
    # The implementation behind the name stays private.
    with pytest.raises(AttributeError):
        getattr(libs[0 if lib == "libibverbs" else 1], "sim_extra_" + name)


def test_reg_mr_registers_with_the_address_as_iova(sim, verbs, context):
    verbs.ibv_alloc_pd.restype = c_void_p
    verbs.ibv_alloc_pd.argtypes = [c_void_p]
    verbs.ibv_reg_mr.restype = c_void_p
    verbs.ibv_reg_mr.argtypes = [c_void_p, c_void_p, ctypes.c_size_t, ctypes.c_int]
    verbs.ibv_dereg_mr.argtypes = [c_void_p]
    verbs.ibv_dealloc_pd.argtypes = [c_void_p]
    pd = verbs.ibv_alloc_pd(context)
    buf = ctypes.create_string_buffer(4096)
    addr = ctypes.addressof(buf)
    with sim.recording() as log:
        mr = verbs.ibv_reg_mr(pd, addr, 4096, 1)
    assert mr
    call = log.calls("ibv_reg_mr_iova2")[0]
    assert int(call["addr"], 16) == addr and int(call["iova"], 16) == addr
    assert call["length"] == 4096
    assert verbs.ibv_dereg_mr(mr) == 0
    # Unmapped memory is refused like any registration.
    assert not verbs.ibv_reg_mr(pd, 0x1000, 4096, 1)
    assert ctypes.get_errno() == errno.EFAULT
    assert verbs.ibv_dealloc_pd(pd) == 0


@pytest.mark.parametrize(
    ("port", "index", "ok"), [(1, 0, True), (1, 1, False), (1, -1, False), (2, 0, False)]
)
def test_query_pkey_has_the_default_key_only(verbs, context, port, index, ok):
    pkey = ctypes.c_uint16(0)
    rc = verbs.ibv_query_pkey(c_void_p(context), ctypes.c_uint8(port), index, ctypes.byref(pkey))
    if ok:
        assert (rc, pkey.value) == (0, 0xFFFF)
    else:
        assert (rc, ctypes.get_errno(), pkey.value) == (-1, errno.EINVAL, 0)


@pytest.mark.parametrize(("pkey", "expected"), [(0xFFFF, 0), (0x7FFF, -1)])
def test_get_pkey_index(verbs, context, pkey, expected):
    be = int.from_bytes(pkey.to_bytes(2, "big"), "little")
    assert (
        verbs.ibv_get_pkey_index(c_void_p(context), ctypes.c_uint8(1), ctypes.c_uint16(be))
        == expected
    )


def test_gid_queries_agree_with_query_gid(sim, verbs, context):
    gid = sim.device_gid(0)
    entry = GidEntry()
    assert (
        verbs._ibv_query_gid_ex(
            c_void_p(context), 1, 0, ctypes.byref(entry), 0, ctypes.sizeof(entry)
        )
        == 0
    )
    assert bytes(entry.gid) == gid
    assert (entry.gid_index, entry.port_num, entry.gid_type) == (0, 1, 0)

    table = (GidEntry * 4)()
    verbs._ibv_query_gid_table.restype = ctypes.c_ssize_t
    n = verbs._ibv_query_gid_table(
        c_void_p(context), table, ctypes.c_size_t(4), 0, ctypes.c_size_t(ctypes.sizeof(GidEntry))
    )
    assert n == 1 and bytes(table[0].gid) == gid
    # No room for the table.
    assert (
        verbs._ibv_query_gid_table(
            c_void_p(context),
            table,
            ctypes.c_size_t(0),
            0,
            ctypes.c_size_t(ctypes.sizeof(GidEntry)),
        )
        == -errno.EINVAL
    )

    gid_type = ctypes.c_int(-1)
    assert (
        verbs.ibv_query_gid_type(c_void_p(context), ctypes.c_uint8(1), 0, ctypes.byref(gid_type))
        == 0
    )
    assert gid_type.value == 0


@pytest.mark.parametrize(
    ("port", "index", "flags", "size"),
    [(1, 1, 0, 32), (2, 0, 0, 32), (1, 0, 1, 32), (1, 0, 0, 16)],
)
def test_query_gid_ex_refusals(verbs, context, port, index, flags, size):
    entry = GidEntry()
    rc = verbs._ibv_query_gid_ex(
        c_void_p(context), port, index, ctypes.byref(entry), flags, ctypes.c_size_t(size)
    )
    assert rc == errno.EINVAL


def test_answers_of_an_efa_device(verbs):
    assert verbs.ibv_query_qp_data_in_order(None, 2, 0) == 0  # SRD may reorder
    assert verbs.ibv_is_fork_initialized() == 0  # IBV_FORK_DISABLED
    assert verbs.ibv_get_device_index(None) == -1
    verbs.ibv_get_sysfs_path.restype = ctypes.c_char_p
    assert verbs.ibv_get_sysfs_path() == b"/sys"


@pytest.mark.parametrize(
    "call",
    [
        lambda v: v.ibv_modify_srq(None, None, 0),
        lambda v: v.ibv_query_srq(None, None),
        lambda v: v.ibv_destroy_srq(None),
        lambda v: v.ibv_resize_cq(None, 16),
        lambda v: v.ibv_attach_mcast(None, None, 0),
        lambda v: v.ibv_detach_mcast(None, None, 0),
        lambda v: v.ibv_set_ece(None, None),
        lambda v: v.ibv_query_ece(None, None),
    ],
)
def test_unsupported_calls_return_eopnotsupp(verbs, call):
    assert call(verbs) == errno.EOPNOTSUPP


@pytest.mark.parametrize(
    ("lib", "name", "args"),
    [
        (0, "ibv_create_srq", (None, None)),
        (0, "ibv_create_ah_from_wc", (None, None, None, 1)),
        (0, "ibv_import_device", (3,)),
        (0, "ibv_import_pd", (None, 1)),
        (0, "ibv_import_mr", (None, 1)),
        (0, "ibv_import_dm", (None, 1)),
    ],
)
def test_unsupported_constructors_return_null_with_eopnotsupp(libs, lib, name, args):
    fn = getattr(libs[lib], name)
    fn.restype = c_void_p
    ctypes.set_errno(0)
    assert fn(*args) is None
    assert ctypes.get_errno() == errno.EOPNOTSUPP


def test_unsupported_with_minus_one(verbs):
    ctypes.set_errno(0)
    assert verbs.ibv_read_sysfs_file(b"/sys", b"x", ctypes.create_string_buffer(8), 8) == -1
    assert ctypes.get_errno() == errno.EOPNOTSUPP
    verbs.ibv_rereg_mr.argtypes = [
        c_void_p,
        ctypes.c_int,
        c_void_p,
        c_void_p,
        ctypes.c_size_t,
        ctypes.c_int,
    ]
    assert verbs.ibv_rereg_mr(None, 0, None, None, 0, 0) == -1  # IBV_REREG_MR_ERR_INPUT
    assert ctypes.get_errno() == errno.EOPNOTSUPP
