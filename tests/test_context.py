"""Context: queries, properties, child counting and closing."""

from __future__ import annotations

import errno

import pytest

import vantor.sim as vsim
from vantor import _vantor as v


def open_first() -> v.Context:
    return v.get_device_list()[0].open()


def test_query_device(sim, ctx):
    attr = ctx.query_device()
    assert type(attr) is v.DeviceAttr
    assert (attr.fw_ver, attr.vendor_id, attr.vendor_part_id) == ("0.0.0.0", 0x1D0F, 0xEFA1)
    assert (attr.max_pkeys, attr.max_sge, attr.max_ah) == (1, 2, 1024)
    # GUIDs exactly as the library stores them, not byte-swapped.
    assert attr.node_guid == sim.device_field(0, "device.node_guid")
    assert attr.sys_image_guid == sim.device_field(0, "device.sys_image_guid")
    assert repr(attr) == "DeviceAttr(fw_ver='0.0.0.0', max_qp=256, max_cqe=32768, phys_port_cnt=1)"


def test_query_device_full_widths(sim):
    wide = {"node_guid": 2**64 - 1, "vendor_id": 2**32 - 1, "max_pkeys": 65535}
    sim.set_devices([vsim.Device("d", fw_ver="", device_attr={**wide, "phys_port_cnt": 255})])
    with open_first() as ctx:
        attr = ctx.query_device()
    assert (attr.fw_ver, attr.node_guid, attr.vendor_id) == ("", 2**64 - 1, 2**32 - 1)
    assert (attr.max_pkeys, attr.phys_port_cnt) == (65535, 255)


def test_query_efa_device(sim, ctx):
    with sim.recording() as log:
        attr = ctx.query_efa_device()
        assert ctx.is_efa() is True
    assert [e["inlen"] for e in log.calls("efadv_query_device")] == [32, 32]
    assert (attr.max_sq_sge, attr.max_rq_sge) == (2, 3)
    assert repr(attr) == (
        "EfaDeviceAttr(max_sq_wr=4096, max_rq_wr=32768, inline_buf_size=32, "
        "device_caps=0x1f, max_rdma_size=1073741824)"
    )


def test_query_port(sim, ctx):
    with sim.recording() as log:
        attrs = [ctx.query_port(), ctx.query_port(1), ctx.query_port(port_num=1)]
    assert [e["port"] for e in log.calls("ibv_query_port")] == [1, 1, 1]
    attr = attrs[0]
    assert (attr.max_mtu, attr.gid_tbl_len, attr.pkey_tbl_len, attr.lid) == (5, 1, 1, 0)
    assert (attr.active_width, attr.active_speed, attr.link_layer) == (2, 32, 0)
    assert repr(attr) == "PortAttr(state=4, active_mtu=5, max_msg_sz=8928)"


def test_query_gid(sim):
    sim.set_devices([vsim.Device("a", gid=bytes(range(16))), "b"])
    a, b = v.get_device_list()
    with a.open() as ca, b.open() as cb:
        gid = ca.query_gid()
        assert type(gid) is v.Gid and gid.raw == bytes(range(16))
        assert ca.query_gid(index=0, port_num=1) == gid
        assert cb.query_gid().raw == sim.device_gid(1) != gid.raw


@pytest.mark.parametrize(
    "method, args, operation",
    [
        ("query_port", (0,), "ibv_query_port"),
        ("query_port", (2,), "ibv_query_port"),
        ("query_gid", (1, 1), "ibv_query_gid"),
        ("query_gid", (2, 0), "ibv_query_gid"),
    ],
)
def test_no_such_port_or_gid(ctx, method, args, operation):
    with pytest.raises(v.EfaError) as info:
        getattr(ctx, method)(*args)
    assert (info.value.operation, info.value.errno) == (operation, errno.EINVAL)


@pytest.mark.parametrize(
    "fn, method, errno_based",
    [
        ("ibv_query_device", "query_device", False),
        ("efadv_query_device", "query_efa_device", False),
        ("ibv_query_port", "query_port", False),
        ("ibv_query_gid", "query_gid", True),
    ],
)
def test_query_failures(sim, ctx, fn, method, errno_based):
    cases = [({"errno": errno.ENOMEM}, errno.ENOMEM), ({"errno": 0, "rc": -1}, errno.EIO)]
    if not errno_based:  # a returned code is the errno
        cases.append(({"errno": 0, "rc": -110}, 110))
    for fault, expected in cases:
        sim.fail(fn, **fault)
        with pytest.raises(v.EfaError) as info:
            getattr(ctx, method)()
        assert (info.value.operation, info.value.errno) == (fn, expected)
    getattr(ctx, method)()


@pytest.mark.parametrize(
    "method, args, exc, message",
    [
        (
            "query_port",
            (1, 2),
            TypeError,
            "query_port() takes at most 1 positional argument (2 given)",
        ),
        ("query_port", ("1",), TypeError, "an integer is required"),
        ("query_gid", (1, 2**31), OverflowError, "value too large to convert to int"),
        ("query_device", (1,), TypeError, "query_device() takes no arguments (1 given)"),
    ],
)
def test_arguments_checked_before_the_closed_check(ctx, method, args, exc, message):
    ctx.close()
    with pytest.raises(exc) as info:
        getattr(ctx, method)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["query_port", "query_gid"])
@pytest.mark.parametrize("port", [256, 257, -1])
def test_port_numbers_beyond_8_bits_are_refused(sim, ctx, method, port):
    # The library takes the port as 8 bits: 257 must not quietly become port 1.
    with sim.recording() as log:
        with pytest.raises(ValueError, match="port_num must be between 0 and 255"):
            getattr(ctx, method)(port)
    assert len(log) == 0


def test_other_provider(sim):
    sim.set_devices([vsim.Device("mlx5_0", efa=False)])
    with open_first() as ctx:
        assert ctx.is_efa() is False
        with pytest.raises(v.EfaError) as info:
            ctx.query_efa_device()
        assert (info.value.operation, info.value.errno) == ("efadv_query_device", errno.EOPNOTSUPP)


def test_failed_probe_answers_false(sim, ctx):
    sim.fail("efadv_query_device", errno.EIO)
    assert ctx.is_efa() is False


def test_properties(sim):
    sim.set_devices([vsim.Device("d", num_comp_vectors=7)])
    with open_first() as ctx:
        assert (ctx.num_comp_vectors, ctx.name) == (7, "d")
        assert ctx.async_fd >= 0
        with pytest.raises(AttributeError):
            ctx.name = "x"
    assert ctx.name == "d" and repr(ctx) == "Context(name='d')"
    for name in ("num_comp_vectors", "async_fd"):
        with pytest.raises(v.EfaError, match="context is closed"):
            getattr(ctx, name)


@pytest.mark.parametrize(
    "method", ["is_efa", "query_device", "query_efa_device", "query_port", "query_gid", "alloc_pd"]
)
def test_closed_context(sim, ctx, method):
    ctx.close()
    with sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            getattr(ctx, method)()
    assert (info.value.operation, info.value.errno) == ("context is closed", errno.EBADF)
    assert len(log) == 0


def test_children_refuse_close(ctx):
    pd1, pd2 = ctx.alloc_pd(), ctx.alloc_pd()
    with pytest.raises(v.EfaError) as info:
        ctx.close()
    assert (info.value.operation, info.value.errno) == ("ibv_close_device", errno.EBUSY)
    assert info.value.strerror == "cannot close context with 2 open child resource(s)"
    pd1.close()
    with pytest.raises(v.EfaError, match=r"with 1 open child resource\(s\)"):
        ctx.close()
    ctx.query_device()  # still open and usable
    pd2.close()
    ctx.close()


def test_with_block_and_open_child(ctx):
    with pytest.raises(v.EfaError, match=r"1 open child resource\(s\)"):
        with ctx:
            pd = ctx.alloc_pd()
    pd.close()
    ctx.close()


def test_annotations():
    annotations = {
        "is_efa": "bool",
        "query_device": "DeviceAttr",
        "query_gid": "Gid",
        "alloc_pd": "'PD'",
        "get_async_event": "'AsyncEvent'",
    }
    for name, text in annotations.items():
        assert getattr(v.Context, name).__annotations__ == {"return": text}
    assert v.Context.close.__annotations__ == {}
