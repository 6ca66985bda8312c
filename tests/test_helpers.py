"""vantor.helpers on the software EFA device: peer addresses and reg_buffer."""

from __future__ import annotations

import array
import ctypes
import gc
import mmap
import os
import struct
import weakref
from types import SimpleNamespace
from typing import Any

import pytest

from conftest import QKEY
from vantor.enums import AccessFlags, SendFlags
from vantor.helpers import (
    DEFAULT_ACCESS,
    Peer,
    PeerAddress,
    PeerAddressError,
    describe_buffer,
    format_gid,
    reg_buffer,
)

GID = bytes(range(0xF0, 0x100))


@pytest.fixture
def env(sim: Any) -> Any:
    import vantor._vantor as v

    ctx = v.get_efa_device_list()[0].open()
    pd = ctx.alloc_pd()
    cq = ctx.create_cq(256)
    qps = [pd.create_qp(v.QPInitAttr(cq, cq)).prepare(QKEY) for _ in range(2)]
    ns = SimpleNamespace(v=v, sim=sim, ctx=ctx, pd=pd, cq=cq, tx=qps[0], rx=qps[1], keep=[])
    yield ns
    for obj in [*ns.keep, *qps]:
        obj.close()
    cq.close()
    pd.close()
    ctx.close()


def address_of(obj: Any) -> int:
    """The address of a writable buffer, found independently of vantor."""
    if hasattr(obj, "ctypes"):  # numpy, whatever the memory order
        return int(obj.ctypes.data)
    return ctypes.addressof(ctypes.c_char.from_buffer(obj))


def poll_all(cq: Any, n: int) -> list[Any]:
    wcs = cq.poll(n)
    for wc in wcs:
        wc.raise_for_status()
    assert len(wcs) == n
    return wcs


# --- PeerAddress encoding ---------------------------------------------------------


def test_encoding_layout_is_fixed() -> None:
    # The encoding crosses hosts and vantor versions: its bytes are a contract.
    data = PeerAddress(GID, 0x01020304, 0xA0B0C0D0).encode()
    assert data == b"VA\x01\x00" + GID + b"\x01\x02\x03\x04\xa0\xb0\xc0\xd0"
    assert len(data) == PeerAddress.ENCODED_SIZE == 28


@pytest.mark.parametrize("qp_num, qkey", [(0, 0), (16, QKEY), (2**32 - 1, 2**32 - 1)])
def test_encoding_round_trips(qp_num: int, qkey: int) -> None:
    addr = PeerAddress(GID, qp_num, qkey)
    for decoded in (
        PeerAddress.decode(addr.encode()),
        PeerAddress.decode(bytearray(addr.encode())),
        PeerAddress.decode(memoryview(addr.encode())),
        PeerAddress.fromhex(addr.hex()),
    ):
        assert decoded == addr
        assert (decoded.gid, decoded.qp_num, decoded.qkey) == (GID, qp_num, qkey)


def _v1(**fields: Any) -> bytes:
    values = {"magic": b"VA", "version": 1, "flags": 0, "gid": GID, "qpn": 7, "qkey": 9}
    values.update(fields)
    return struct.pack(">2sBB16sII", *values.values())


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "too short: 0 bytes"),
        (b"VA", "too short: 2 bytes"),
        (_v1(magic=b"XY"), "not a vantor peer address"),
        (_v1(version=2), "unsupported peer address version 2"),
        (_v1(version=2) + b"more fields of a later version", "unsupported peer address version 2"),
        (_v1(version=0), "unsupported peer address version 0"),
        (_v1()[:-1], "must be 28 bytes, got 27"),
        (_v1() + b"\0", "must be 28 bytes, got 29"),
        (_v1(flags=1), "unknown flags 0x01"),
    ],
)
def test_decode_refuses_bad_data(data: bytes, message: str) -> None:
    with pytest.raises(PeerAddressError, match=message):
        PeerAddress.decode(data)


def test_decode_errors_are_value_errors() -> None:
    assert issubclass(PeerAddressError, ValueError)


@pytest.mark.parametrize("data", ["56410100", 12, None, [1, 2, 3]])
def test_decode_refuses_non_bytes(data: Any) -> None:
    with pytest.raises(TypeError):
        PeerAddress.decode(data)


@pytest.mark.parametrize("text", ["zz", "5641010", "not hex at all"])
def test_fromhex_refuses_bad_text(text: str) -> None:
    with pytest.raises(PeerAddressError):
        PeerAddress.fromhex(text)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((GID[:15], 1, 1), ValueError, "exactly 16 bytes"),
        ((GID + b"\0", 1, 1), ValueError, "exactly 16 bytes"),
        (("fe80::1", 1, 1), TypeError, "not str"),
        ((None, 1, 1), TypeError, "not NoneType"),
        ((GID, -1, 1), ValueError, "qp_num must be between 0 and 2\\*\\*32 - 1"),
        ((GID, 2**32, 1), ValueError, "qp_num must be between"),
        ((GID, 1, 2**32), ValueError, "qkey must be between"),
        ((GID, 1.0, 1), TypeError, "qp_num must be an integer"),
        ((GID, 1, "1"), TypeError, "qkey must be an integer"),
    ],
)
def test_address_validates_fields(args: tuple[Any, ...], exc: type, message: str) -> None:
    with pytest.raises(exc, match=message):
        PeerAddress(*args)


def test_address_repr_and_gid_text() -> None:
    addr = PeerAddress(bytes.fromhex("fe80000000000000001122fffe334455"), 17, 0x1234)
    text = "fe80:0000:0000:0000:0011:22ff:fe33:4455"
    assert repr(addr) == f"PeerAddress(gid={text}, qp_num=17, qkey=0x1234)"
    assert format_gid(addr.gid) == text


def test_address_is_immutable_and_hashable() -> None:
    addr = PeerAddress(GID, 1, 2)
    with pytest.raises(AttributeError):
        addr.qp_num = 3  # type: ignore[misc]
    assert {addr, PeerAddress(bytearray(GID), 1, 2)} == {addr}


# --- PeerAddress / Peer on the device -------------------------------------------------


def test_address_of_local_qp(env: Any) -> None:
    addr = PeerAddress.of(env.rx)
    gid = env.ctx.query_gid()
    assert addr.gid == gid.raw
    assert (addr.qp_num, addr.qkey) == (env.rx.qp_num, QKEY)
    assert PeerAddress.of(env.rx, qkey=5).qkey == 5


def test_connect_creates_the_address_handle(env: Any) -> None:
    addr = PeerAddress(env.ctx.query_gid(), env.rx.qp_num, QKEY)
    with env.sim.recording() as log:
        peer = Peer.from_address(env.pd, addr.encode(), sgid_index=0, port_num=1)
    (call,) = log.calls("ibv_create_ah")
    assert call["dgid"] == addr.gid.hex()
    assert (call["sgid_index"], call["port_num"]) == (0, 1)
    assert peer.address == addr
    assert (peer.qp_num, peer.qkey) == (env.rx.qp_num, QKEY)
    assert peer.ah.pd is env.pd
    peer.close()


def test_send_to_a_decoded_peer(env: Any) -> None:
    v = env.v
    wire = PeerAddress.of(env.rx).encode()  # what the receiver would publish
    src, dst = bytearray(b"hello, peer"), bytearray(32)
    mr_src, mr_dst = reg_buffer(env.pd, src), reg_buffer(env.pd, dst)
    env.keep += [mr_src, mr_dst]
    env.rx.post_recv(v.RecvWR(1, [mr_dst.sge()]))
    with PeerAddress.decode(wire).connect(env.pd) as peer, env.sim.recording() as log:
        env.tx.post_send(v.SendWR(2, [mr_src.sge()], send_flags=SendFlags.SIGNALED, dest=peer))
        (ud,) = log.calls("wr_set_ud_addr")
        assert ud["remote_qpn"] == env.rx.qp_num
        assert ud["remote_qkey"] == hex(QKEY)
        assert ud["ah"] == peer.ah.ahn
        poll_all(env.cq, 2)
    assert dst[: len(src)] == src


@pytest.mark.parametrize(
    "kwargs, fn, extra",
    [
        ({}, "wr_rdma_write", {}),
        ({"offset": 8}, "wr_rdma_write", {}),
        ({"imm_data": 0}, "wr_rdma_write_imm", {"imm_data": 0}),
        ({"imm_data": 0xABCD, "offset": 4}, "wr_rdma_write_imm", {"imm_data": 0xABCD}),
    ],
)
def test_write_request_reaches_the_provider(
    env: Any, kwargs: dict[str, Any], fn: str, extra: dict[str, int]
) -> None:
    src, dst = bytearray(b"written"), bytearray(32)
    mr_src, mr_dst = reg_buffer(env.pd, src), reg_buffer(env.pd, dst)
    env.keep += [mr_src, mr_dst]
    if "imm_data" in kwargs:
        env.rx.post_recv(env.v.RecvWR(1))  # a write with immediate consumes a receive
    with PeerAddress.of(env.rx).connect(env.pd) as peer, env.sim.recording() as log:
        wr = peer.write_request(7, mr_src, mr_dst, **kwargs)
        env.tx.post_send(wr)
        (call,) = log.calls(fn)
        at = mr_dst.addr + kwargs.get("offset", 0)
        assert call == {
            "fn": fn, "qp": env.tx.qp_num, "wr_id": 7, "wr_flags": "0x2",
            "rkey": hex(mr_dst.rkey), "remote_addr": hex(at), **extra,
        }  # fmt: skip
        (ud,) = log.calls("wr_set_ud_addr")
        assert (ud["ah"], ud["remote_qpn"]) == (peer.ah.ahn, env.rx.qp_num)
        (sges,) = log.calls("wr_set_sge_list")
        assert [(int(g["addr"], 16), g["length"]) for g in sges["sg_list"]] == [
            (mr_src.addr, len(src))
        ]
        poll_all(env.cq, 2 if "imm_data" in kwargs else 1)
    assert bytes(dst[at - mr_dst.addr :][: len(src)]) == bytes(src)


def test_peer_closes_only_its_own_address_handle(env: Any) -> None:
    shared = env.pd.create_ah(env.ctx.query_gid())
    env.keep.append(shared)
    with Peer(shared, 1, 2) as borrowed:
        assert borrowed.ah is shared
    assert shared.ahn >= 0  # still open
    owned = PeerAddress(env.ctx.query_gid(), 1, 2).connect(env.pd)
    owned.close()
    with pytest.raises(env.v.EfaError, match="address handle is closed"):
        owned.ah.ahn  # noqa: B018


def test_peer_validates() -> None:
    with pytest.raises(TypeError, match="needs an address handle"):
        Peer(None, 1, 2)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="qkey must be between"):
        Peer(object(), 1, -1)  # type: ignore[arg-type]
    assert Peer.encode_address(GID, 3, 4) == PeerAddress(GID, 3, 4).encode()
    assert repr(Peer(object(), 3, 0x10)) == "Peer(qp_num=3, qkey=0x10)"  # type: ignore[arg-type]


# --- reg_buffer -----------------------------------------------------------------------


def _numpy() -> Any:
    return pytest.importorskip("numpy")


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: bytearray(256), id="bytearray"),
        pytest.param(lambda: mmap.mmap(-1, 4096), id="mmap"),
        pytest.param(lambda: array.array("d", [0.0]) * 32, id="array"),
        pytest.param(lambda: (ctypes.c_uint8 * 100)(), id="ctypes"),
        pytest.param(lambda: _numpy().zeros((4, 8), dtype=_numpy().float32), id="numpy"),
        pytest.param(
            lambda: _numpy().zeros((4, 8), dtype=_numpy().int16, order="F"), id="numpy-fortran"
        ),
    ],
)
def test_reg_buffer_registers_the_objects_memory(env: Any, make: Any) -> None:
    obj = make()
    expected_addr = address_of(obj)
    nbytes = memoryview(obj).nbytes
    with env.sim.recording() as log:
        mr = reg_buffer(env.pd, obj)
    env.keep.append(mr)
    (call,) = log.calls("ibv_reg_mr_iova2")
    assert call["addr"] == call["iova"] == hex(expected_addr)
    assert call["length"] == nbytes
    assert call["access"] == hex(DEFAULT_ACCESS)
    assert (mr.addr, mr.length) == (expected_addr, nbytes)
    assert memoryview(mr.owner).obj is obj


def test_reg_buffer_of_a_slice_registers_the_slice(env: Any) -> None:
    buf = bytearray(100)
    mr = reg_buffer(env.pd, memoryview(buf)[10:30])
    env.keep.append(mr)
    assert (mr.addr, mr.length) == (address_of(buf) + 10, 20)


def test_data_lands_in_a_registered_numpy_array(env: Any) -> None:
    np = _numpy()
    src = np.arange(16, dtype=np.uint32)
    dst = np.zeros(16, dtype=np.uint32)
    mr_src = reg_buffer(env.pd, src, AccessFlags.REMOTE_READ)
    mr_dst = reg_buffer(env.pd, dst)
    env.keep += [mr_src, mr_dst]
    peer = PeerAddress.of(env.rx).connect(env.pd)
    env.tx.post_send(peer.write_request(1, mr_src, mr_dst))
    poll_all(env.cq, 1)
    assert (dst == src).all()
    peer.close()


@pytest.mark.parametrize(
    "access", [AccessFlags.LOCAL_WRITE, AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE]
)
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: b"\0" * 64, id="bytes"),
        pytest.param(lambda: memoryview(bytearray(64)).toreadonly(), id="readonly-view"),
        pytest.param(lambda: _readonly_numpy(), id="readonly-numpy"),
    ],
)
def test_reg_buffer_refuses_writes_to_read_only_memory(env: Any, make: Any, access: int) -> None:
    obj = make()
    with env.sim.recording() as log, pytest.raises(ValueError, match="read-only memory"):
        reg_buffer(env.pd, obj, access)
    assert log.calls("ibv_reg_mr_iova2") == []
    mr = reg_buffer(env.pd, obj, AccessFlags.REMOTE_READ)
    env.keep.append(mr)
    assert mr.length == 64


def _readonly_numpy() -> Any:
    arr = _numpy().zeros(64, dtype=_numpy().uint8)
    arr.flags.writeable = False
    return arr


def test_default_access_refuses_read_only_memory(env: Any) -> None:
    with pytest.raises(ValueError, match="REMOTE_READ"):
        reg_buffer(env.pd, b"abc")


@pytest.mark.parametrize(
    "obj, exc, message",
    [
        (bytearray(), ValueError, "empty buffer"),
        (12, TypeError, "object of type 'int'"),
        ("text", TypeError, "object of type 'str'"),
        (memoryview(bytearray(64))[::2], ValueError, "non-contiguous"),
    ],
)
def test_reg_buffer_refuses_unusable_objects(env: Any, obj: Any, exc: type, message: str) -> None:
    with env.sim.recording() as log, pytest.raises(exc, match=message):
        reg_buffer(env.pd, obj)
    assert log.calls("ibv_reg_mr_iova2") == []


def test_reg_buffer_refuses_strided_numpy(env: Any) -> None:
    np = _numpy()
    with pytest.raises(ValueError, match="non-contiguous"):
        reg_buffer(env.pd, np.zeros((8, 8))[:, 1])


def test_reg_buffer_checks_access_type(env: Any) -> None:
    with pytest.raises(TypeError, match="access must be an integer"):
        reg_buffer(env.pd, bytearray(8), "rw")  # type: ignore[arg-type]


def test_reg_buffer_passes_native_failures_through(env: Any) -> None:
    env.sim.fail("ibv_reg_mr_iova2", 14)
    with pytest.raises(env.v.EfaError) as info:
        reg_buffer(env.pd, bytearray(8))
    assert (info.value.operation, info.value.errno) == ("ibv_reg_mr", 14)


@pytest.mark.parametrize(
    "wrap", [lambda arr: arr, lambda arr: DLPackOnly(arr)], ids=["array", "dlpack"]
)
def test_mr_keeps_its_memory_alive_until_closed(env: Any, wrap: Any) -> None:
    np = _numpy()
    arr = np.zeros(1024, dtype=np.uint8)
    alive = weakref.ref(arr)
    mr = reg_buffer(env.pd, wrap(arr))
    del arr
    gc.collect()
    assert alive() is not None
    mr.close()
    gc.collect()
    assert alive() is None


def test_registered_bytearray_cannot_move(env: Any) -> None:
    # A resize could move the memory the NIC writes into.
    buf = bytearray(64)
    mr = reg_buffer(env.pd, buf)
    with pytest.raises(BufferError):
        buf.extend(b"x" * 4096)
    mr.close()
    buf.extend(b"x" * 4096)


def test_registered_mmap_cannot_be_unmapped(env: Any) -> None:
    mm = mmap.mmap(-1, 4096)
    mr = reg_buffer(env.pd, mm)
    with pytest.raises(BufferError):
        mm.close()
    mr.close()
    mm.close()


# --- device memory protocols ---------------------------------------------------------------


class CudaArray:
    """Exposes host memory through __cuda_array_interface__, as CuPy, Numba or
    a PyTorch CUDA tensor expose device memory."""

    def __init__(self, nbytes: int, **overrides: Any) -> None:
        self.memory = (ctypes.c_uint8 * nbytes)()
        self.ptr = ctypes.addressof(self.memory)
        self.iface = {
            "shape": (nbytes // 4,),
            "typestr": "<f4",
            "data": (self.ptr, False),
            "version": 3,
            "strides": None,
            "stream": 1,
        }
        self.iface.update(overrides)

    @property
    def __cuda_array_interface__(self) -> dict[str, Any]:
        return self.iface


def test_cuda_array_is_registered_by_device_address(env: Any) -> None:
    dev = CudaArray(4096)
    with env.sim.recording() as log:
        mr = reg_buffer(env.pd, dev)
    env.keep.append(mr)
    (call,) = log.calls("ibv_reg_mr_iova2")
    assert (call["addr"], call["length"]) == (hex(dev.ptr), 4096)
    assert mr.owner is dev
    info = describe_buffer(dev)
    assert (info.device, info.source, info.readonly) == ("cuda", "__cuda_array_interface__", False)


def test_cuda_interface_wins_over_the_buffer_protocol(env: Any) -> None:
    class Both(bytearray):
        __cuda_array_interface__ = CudaArray(64).iface

    info = describe_buffer(Both(16))
    assert (info.addr, info.nbytes, info.source) == (
        Both.__cuda_array_interface__["data"][0],
        64,
        "__cuda_array_interface__",
    )


@pytest.mark.parametrize(
    "overrides",
    [
        {"shape": (4, 256), "strides": (1024, 4)},
        {"shape": (4, 256), "strides": (4, 16)},  # Fortran order
        {"shape": (1, 1024), "strides": (999, 4)},  # stride of a length-1 axis is free
        {"shape": (512,), "typestr": "<f8"},
    ],
)
def test_cuda_array_contiguous_layouts(env: Any, overrides: dict[str, Any]) -> None:
    dev = CudaArray(4096, **overrides)
    assert describe_buffer(dev).nbytes == 4096


@pytest.mark.parametrize(
    "overrides, exc, message",
    [
        ({"data": (0, True)}, ValueError, "read-only memory"),
        ({"shape": (4, 256), "strides": (2048, 4)}, ValueError, "non-contiguous"),
        ({"shape": (512,), "strides": (8,)}, ValueError, "non-contiguous"),
        ({"mask": object()}, ValueError, "masked"),
        ({"typestr": "float"}, ValueError, "bad typestr"),
        ({"data": 12345}, ValueError, "pointer, read_only"),
    ],
)
def test_cuda_array_refusals(env: Any, overrides: dict[str, Any], exc: type, message: str) -> None:
    with env.sim.recording() as log, pytest.raises(exc, match=message):
        reg_buffer(env.pd, CudaArray(4096, **overrides))
    assert log.calls("ibv_reg_mr_iova2") == []


class DLPackOnly:
    """A producer offering nothing but DLPack (like a PyTorch tensor)."""

    def __init__(self, array: Any) -> None:
        self.array = array

    def __dlpack__(self, **kwargs: Any) -> Any:
        return self.array.__dlpack__(**kwargs)

    def __dlpack_device__(self) -> Any:
        return self.array.__dlpack_device__()


def test_dlpack_producer_is_registered(env: Any) -> None:
    np = _numpy()
    arr = np.arange(64, dtype=np.int32)
    mr = reg_buffer(env.pd, DLPackOnly(arr[8:]))
    assert (mr.addr, mr.length) == (arr.ctypes.data + 32, 56 * 4)
    info = describe_buffer(DLPackOnly(arr))
    assert (info.device, info.source) == ("cpu", "dlpack")
    mr.close()


def test_dlpack_strided_tensor_is_refused(env: Any) -> None:
    np = _numpy()
    with pytest.raises(ValueError, match="non-contiguous DLPack"):
        reg_buffer(env.pd, DLPackOnly(np.zeros((8, 8))[:, ::2]))


def test_array_interface_without_buffer_protocol(env: Any) -> None:
    np = _numpy()
    arr = np.zeros(4, dtype="datetime64[s]")  # no PEP 3118 format for this dtype
    mr = reg_buffer(env.pd, arr)
    env.keep.append(mr)
    assert (mr.addr, mr.length) == (arr.ctypes.data, 32)


# --- dma-buf ------------------------------------------------------------------------------


def test_dmabuf_registration_moves_data(env: Any) -> None:
    fd = os.memfd_create("vantor-test")  # the simulator treats a memfd as a dma-buf
    try:
        os.ftruncate(fd, 8192)
        mm = mmap.mmap(fd, 8192)
        view = memoryview(mm)[4096:]
        with env.sim.recording() as log:
            mr_dst = reg_buffer(env.pd, view, dmabuf_fd=fd, dmabuf_offset=4096)
        (call,) = log.calls("ibv_reg_dmabuf_mr")
        assert (call["offset"], call["length"], call["iova"], call["fd"]) == (
            4096,
            4096,
            hex(4096),
            fd,
        )
        assert log.calls("ibv_reg_mr_iova2") == []
        assert mr_dst.addr == 4096
        src = bytearray(b"through the dma-buf")
        mr_src = reg_buffer(env.pd, src)
        peer = PeerAddress.of(env.rx).connect(env.pd)
        env.tx.post_send(peer.write_request(1, mr_src, mr_dst, offset=100))
        poll_all(env.cq, 1)
        assert mm[4196 : 4196 + len(src)] == src
        for obj in (peer, mr_src, mr_dst):
            obj.close()
        del view
        mm.close()
    finally:
        os.close(fd)


@pytest.mark.parametrize("native_failure", [True, False], ids=["native-failure", "read-only"])
def test_failed_registration_leaves_the_buffer_free(env: Any, native_failure: bool) -> None:
    if native_failure:
        env.sim.fail("ibv_reg_mr_iova2", 14)
        mm = mmap.mmap(-1, 4096)
    else:
        mm = mmap.mmap(-1, 4096, prot=mmap.PROT_READ)
    with pytest.raises((env.v.EfaError, ValueError)) as info:
        reg_buffer(env.pd, mm)
    assert info.value is not None  # the traceback is still alive here
    mm.close()  # would raise BufferError if the failed attempt kept the export
