"""Protection domains and memory regions."""

from __future__ import annotations

import ctypes
import errno
import os
import weakref

import pytest

from vantor import _vantor as v

LOCAL_WRITE, REMOTE_WRITE, REMOTE_READ = 1, 2, 4
ACCESS = LOCAL_WRITE | REMOTE_WRITE | REMOTE_READ


class Buffer:
    def __init__(self, size=4096):
        self.raw = ctypes.create_string_buffer(size)
        self.addr = ctypes.addressof(self.raw)
        self.size = size


@pytest.fixture
def buf():
    return Buffer()


@pytest.fixture
def memfd():
    fd = os.memfd_create("dmabuf")
    os.ftruncate(fd, 1 << 16)
    yield fd
    os.close(fd)


def test_alloc_pd(sim, ctx):
    pd = ctx.alloc_pd()
    assert type(pd) is v.PD and pd.context is ctx
    with pytest.raises(v.EfaError, match="1 open child"):
        ctx.close()


@pytest.mark.parametrize(
    "fn, operation, call",
    [
        ("ibv_alloc_pd", "ibv_alloc_pd", lambda ctx, pd, buf, fd: ctx.alloc_pd()),
        ("ibv_reg_mr_iova2", "ibv_reg_mr", lambda ctx, pd, buf, fd: pd.reg_mr(buf.addr, 64, 1)),
        (
            "ibv_reg_dmabuf_mr",
            "ibv_reg_dmabuf_mr",
            lambda ctx, pd, buf, fd: pd.reg_dmabuf_mr(0, 64, 0, fd, 1),
        ),
        (
            "efadv_query_mr",
            "efadv_query_mr",
            lambda ctx, pd, buf, fd: pd.reg_mr(buf.addr, 64, 1).query_efa(),
        ),
    ],
)
@pytest.mark.parametrize("err, expected", [(errno.ENOMEM, errno.ENOMEM), (0, errno.EIO)])
def test_native_failures(sim, ctx, pd, buf, memfd, fn, operation, call, err, expected):
    before = sim.live_objects()
    sim.fail(fn, err, rc=-1 if fn == "efadv_query_mr" and err == 0 else None)
    with pytest.raises(v.EfaError) as info:
        call(ctx, pd, buf, memfd)
    assert (info.value.operation, info.value.errno) == (operation, expected)
    assert sim.live_objects() == before  # nothing left behind


def test_reg_mr(sim, pd, buf):
    with sim.recording() as log:
        mr = pd.reg_mr(buf.addr, buf.size, ACCESS)
    (call,) = log.calls("ibv_reg_mr_iova2")
    # The I/O virtual address is the virtual address itself.
    assert call["addr"] == call["iova"] == hex(buf.addr)
    assert (call["length"], call["access"]) == (buf.size, hex(ACCESS))
    assert (mr.addr, mr.length, mr.handle) == (buf.addr, buf.size, call["ret"])
    assert (hex(mr.lkey), hex(mr.rkey)) == (call["lkey"], call["rkey"])
    assert (mr.pd, mr.owner, mr.closed) == (pd, None, False)
    assert (
        repr(mr)
        == f"MR(addr={buf.addr:#x}, length={buf.size}, lkey={mr.lkey:#x}, rkey={mr.rkey:#x})"
    )


def test_reg_mr_converts_with_int(pd, buf):
    class Addr:
        def __index__(self):
            return buf.addr

    mr = pd.reg_mr(access=LOCAL_WRITE, length=str(buf.size), addr=Addr())
    assert (mr.addr, mr.length) == (buf.addr, buf.size)


@pytest.mark.parametrize(
    "access, address, err",
    [(REMOTE_WRITE, "buffer", errno.EINVAL), (LOCAL_WRITE, 0, errno.EFAULT)],
    ids=["access-unchecked", "address-0-allowed"],
)
def test_reg_mr_refused_by_the_library(sim, pd, buf, access, address, err):
    addr = buf.addr if address == "buffer" else address
    with sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            pd.reg_mr(addr, 1, access)
    assert (info.value.operation, info.value.errno) == ("ibv_reg_mr", err)
    assert log.calls("ibv_reg_mr_iova2")[0]["access"] == hex(access)


ADDR = "addr must be between 0 and 2**64 - 1"
OFFSET = "offset must be between 0 and 2**64 - 1"
IOVA = "iova must be between 0 and 2**64 - 1"
LENGTH = "length must be between 1 and 2**64 - 1"
RANGE = "memory region address range exceeds 2**64"


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("reg_mr", (-1, 1), ADDR),
        ("reg_mr", (2**64, 1), ADDR),
        ("reg_mr", (-1, 0), ADDR),
        ("reg_mr", (0, 0), LENGTH),
        ("reg_mr", (0, 2**64), LENGTH),
        ("reg_mr", (2**64 - 1, 2), RANGE),
        ("reg_mr", (2**63, 2**63 + 1), RANGE),
        ("reg_dmabuf_mr", (-1, 0, -1), OFFSET),
        ("reg_dmabuf_mr", (2**64, 1, 0), OFFSET),
        ("reg_dmabuf_mr", (0, -5, 0), LENGTH),
        ("reg_dmabuf_mr", (0, 1, 2**64), IOVA),
    ],
)
def test_range_checks(sim, pd, method, args, message):
    extra = (1,) if method == "reg_mr" else (3, 1)
    with sim.recording() as log:
        with pytest.raises(ValueError) as info:
            getattr(pd, method)(*args, *extra)
    assert str(info.value) == message
    assert len(log) == 0


@pytest.mark.parametrize(
    "method, args",
    [
        ("reg_mr", (2**64 - 1, 1)),
        ("reg_mr", (0, 2**64 - 1)),
        ("reg_dmabuf_mr", (2**64 - 1, 2, 2**64 - 1)),  # no combined check
    ],
)
def test_ranges_up_to_2_64_reach_the_library(sim, pd, memfd, method, args):
    extra = (LOCAL_WRITE,) if method == "reg_mr" else (memfd, LOCAL_WRITE)
    with sim.recording() as log:
        with pytest.raises(v.EfaError):
            getattr(pd, method)(*args, *extra)
    (call,) = log.calls("ibv_reg_mr_iova2" if method == "reg_mr" else "ibv_reg_dmabuf_mr")
    first = call["addr"] if method == "reg_mr" else call["offset"]
    assert (int(str(first), 0), call["length"]) == args[:2]


@pytest.mark.parametrize(
    "method, args, exc, message",
    [
        ("reg_mr", (0, 1, "1"), TypeError, "an integer is required"),
        ("reg_mr", (0, 1, 2**31), OverflowError, "value too large to convert to int"),
        ("reg_mr", (0, 1), TypeError, "reg_mr() takes exactly 3 positional arguments (2 given)"),
        ("reg_mr", (0, "x", 1), ValueError, "invalid literal for int() with base 10: 'x'"),
        ("reg_dmabuf_mr", (0, 1, 0, "3", 1), TypeError, "an integer is required"),
        (
            "reg_dmabuf_mr",
            (0, 1, 0, -(2**31) - 1, 1),
            OverflowError,
            "value too large to convert to int",
        ),
    ],
)
def test_argument_errors(pd, method, args, exc, message):
    with pytest.raises(exc) as info:
        getattr(pd, method)(*args)
    assert str(info.value) == message


def test_order_of_checks(pd):
    pd.close()
    with pytest.raises(TypeError, match="an integer is required"):
        pd.reg_mr(-1, 0, None)  # access is parsed first
    with pytest.raises(v.EfaError, match="pd is closed"):
        pd.reg_mr("x", -1, 1)  # the closed check comes before int() and the ranges
    with pytest.raises(v.EfaError, match="pd is closed"):
        pd.reg_dmabuf_mr(-1, 0, -1, 3, 1)


def test_reg_dmabuf_mr(sim, pd, memfd):
    with sim.recording() as log:
        mr = pd.reg_dmabuf_mr(access=ACCESS, fd=memfd, iova=0x10000, length=8192, offset=4096)
    (call,) = log.calls("ibv_reg_dmabuf_mr")
    assert (call["offset"], call["length"], call["iova"]) == (4096, 8192, "0x10000")
    assert (call["fd"], call["access"], mr.length, mr.pd) == (memfd, hex(ACCESS), 8192, pd)
    with pytest.raises(v.EfaError) as info:
        pd.reg_dmabuf_mr(0, 4096, 0, 1000, LOCAL_WRITE)
    assert (info.value.operation, info.value.errno) == ("ibv_reg_dmabuf_mr", errno.EBADF)


def test_keepalive(pd, buf):
    mr = pd.reg_mr(buf.addr, buf.size, LOCAL_WRITE)
    assert mr._keepalive(buf) is mr and mr.owner is buf
    assert mr._keepalive(owner=None) is mr and mr.owner is None
    with pytest.raises(TypeError):
        mr._keepalive()


@pytest.mark.parametrize("end", ["close", "destruction"])
def test_owner_lives_exactly_as_long_as_the_registration(sim, pd, end):
    buf = Buffer()
    probe = weakref.ref(buf)
    mr = pd.reg_mr(buf.addr, buf.size, LOCAL_WRITE)._keepalive(buf)
    del buf
    assert probe() is not None
    sim.fail("ibv_dereg_mr", errno.EBUSY)
    with pytest.raises(v.EfaError):
        mr.close()
    assert probe() is not None and mr.owner is not None  # still registered
    if end == "close":
        mr.close()
        assert mr.owner is None and mr.pd is pd
    else:
        del mr
    assert probe() is None


def test_query_efa(sim, pd, buf):
    mr = pd.reg_mr(buf.addr, buf.size, LOCAL_WRITE)
    with sim.recording() as log:
        attr = mr.query_efa()
    assert log.calls("efadv_query_mr")[0]["inlen"] == 16
    assert repr(attr) == (
        f"MRAttr(ic_id_validity=0x7, recv_ic_id={attr.recv_ic_id}, "
        f"rdma_read_ic_id={attr.rdma_read_ic_id}, rdma_recv_ic_id={attr.rdma_recv_ic_id})"
    )


def test_closed_region(pd, buf):
    mr = pd.reg_mr(buf.addr, buf.size, LOCAL_WRITE)
    mr.close()
    assert mr.closed is True and repr(mr) == "MR(closed=True)"
    for name in ("addr", "length", "lkey", "rkey", "handle"):
        with pytest.raises(v.EfaError) as info:
            getattr(mr, name)
        assert (info.value.operation, info.value.errno) == ("memory region is closed", errno.EBADF)


def test_pd_close_refused_while_registered(ctx, buf):
    pd = ctx.alloc_pd()
    mr = pd.reg_mr(buf.addr, buf.size, LOCAL_WRITE)
    with pytest.raises(v.EfaError) as info:
        pd.close()
    assert (info.value.operation, info.value.errno) == ("ibv_dealloc_pd", errno.EBUSY)
    with pytest.raises(v.EfaError, match="1 open child"):
        ctx.close()  # still counted
    mr.close()
    pd.close()
    ctx.close()
