"""Conveniences over the native core.

Peers
    EFA is connectionless: a send names its destination by address handle,
    queue-pair number and qkey. :class:`PeerAddress` is what one side tells
    the other out of band (GID, QPN, qkey), with a compact versioned byte
    encoding; :meth:`PeerAddress.connect` turns a received address into a
    :class:`Peer`, the ``dest=`` object of ``SendWR``::

        data = PeerAddress.of(qp).encode()         # 28 bytes: send them over TCP, ...
        peer = PeerAddress.decode(data).connect(pd)
        qp.post_send(SendWR(1, [mr.sge(n)], send_flags=SendFlags.SIGNALED, dest=peer))
        qp.post_send(peer.write_request(2, mr, remote))  # all of mr to remote.addr

Memory
    :func:`reg_buffer` registers memory straight from a Python object: any
    contiguous buffer (``bytearray``, ``memoryview``, ``mmap``, NumPy arrays),
    ``__cuda_array_interface__`` producers (CuPy, Numba, PyTorch CUDA
    tensors), ``__array_interface__`` and DLPack producers. The returned
    ``MR`` keeps the object alive for as long as the registration lives.

This module does not import the native core itself: it only calls methods of
the objects handed to it, so importing it never loads libibverbs.
"""

from __future__ import annotations

import ctypes
import operator
import re
import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

from vantor.enums import AccessFlags

if TYPE_CHECKING:
    from typing_extensions import Self

    from vantor._vantor import AH, MR, PD, QP, Gid, SendWR

__all__ = [
    "DEFAULT_ACCESS",
    "BufferInfo",
    "Peer",
    "PeerAddress",
    "PeerAddressError",
    "RemoteRegion",
    "describe_buffer",
    "format_gid",
    "reg_buffer",
]

_U32_MAX = 2**32 - 1


def _u32(name: str, value: Any) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 <= number <= _U32_MAX:
        raise ValueError(f"{name} must be between 0 and 2**32 - 1 (got {number})")
    return number


def _gid_bytes(gid: Any) -> bytes:
    if isinstance(gid, str):
        raise TypeError("gid must be 16 bytes or a Gid, not str")
    try:
        raw = bytes(gid)
    except TypeError:
        raise TypeError(f"gid must be 16 bytes or a Gid, not {type(gid).__name__}") from None
    if len(raw) != 16:
        raise ValueError(f"gid must be exactly 16 bytes (got {len(raw)})")
    return raw


def _format_gid(raw: bytes) -> str:
    return ":".join(raw[i : i + 2].hex() for i in range(0, 16, 2))


# --- peer addresses ------------------------------------------------------------


class PeerAddressError(ValueError):
    """Raised by :meth:`PeerAddress.decode` for data that is not a peer address
    this version of vantor can read."""


# Layout, big-endian: magic "VA", version, flags (0), GID (16 bytes), QPN, qkey.
_MAGIC = b"VA"
_VERSION = 1
_V1 = struct.Struct(">2sBB16sII")


@dataclass(frozen=True, init=False, repr=False)
class PeerAddress:
    """Where a peer queue pair can be reached: device GID, QP number and qkey.

    This is what two processes exchange before they talk (over TCP, a shared
    file, a job launcher's key-value store ...). :meth:`encode` gives 28 bytes
    (:meth:`hex` a 56-character string) that :meth:`decode` (:meth:`fromhex`)
    reads back on any host; :meth:`connect` creates the address handle and
    returns the :class:`Peer` to use as ``SendWR(dest=...)``.
    """

    gid: bytes
    qp_num: int
    qkey: int

    #: Length of the encoding written by this version.
    ENCODED_SIZE = _V1.size
    #: Version of the encoding written by this version (the only one it reads).
    VERSION = _VERSION

    def __init__(self, gid: bytes | bytearray | memoryview | Gid, qp_num: int, qkey: int):
        object.__setattr__(self, "gid", _gid_bytes(gid))
        object.__setattr__(self, "qp_num", _u32("qp_num", qp_num))
        object.__setattr__(self, "qkey", _u32("qkey", qkey))

    def __repr__(self) -> str:
        return (
            f"PeerAddress(gid={_format_gid(self.gid)}, qp_num={self.qp_num}, qkey=0x{self.qkey:x})"
        )

    @classmethod
    def of(cls, qp: QP, *, qkey: int | None = None, port_num: int = 1, gid_index: int = 0) -> Self:
        """The address of a local queue pair, to hand to its peers.

        The GID is queried from the queue pair's device (``port_num``,
        ``gid_index``) and the qkey from the queue pair itself unless given,
        so call it once the queue pair is past INIT (after ``prepare``).
        """
        gid = qp.pd.context.query_gid(port_num, gid_index)
        if qkey is None:
            attrs, _cap = qp.query()
            qkey = attrs["qkey"]
        return cls(gid, qp.qp_num, qkey)

    def encode(self) -> bytes:
        """The compact, versioned byte form (28 bytes)."""
        return _V1.pack(_MAGIC, _VERSION, 0, self.gid, self.qp_num, self.qkey)

    def hex(self) -> str:
        """The encoding as lowercase hexadecimal, for text channels."""
        return self.encode().hex()

    @classmethod
    def decode(cls, data: bytes | bytearray | memoryview) -> Self:
        """Read an address written by :meth:`encode`.

        Raises :class:`PeerAddressError` (a ``ValueError``) for data that is
        truncated, not a peer address, or written in a version this vantor
        cannot read, and ``TypeError`` for anything but a bytes-like object.
        """
        if isinstance(data, str):
            raise TypeError("decode() takes bytes; use PeerAddress.fromhex() for text")
        try:
            raw = bytes(memoryview(data))
        except TypeError:
            raise TypeError(
                f"decode() takes a bytes-like object, not {type(data).__name__}"
            ) from None
        if len(raw) < 3:
            raise PeerAddressError(
                f"peer address too short: {len(raw)} bytes (a version {_VERSION} address "
                f"has {_V1.size})"
            )
        if raw[:2] != _MAGIC:
            raise PeerAddressError(
                f"not a vantor peer address (starts with {raw[:2]!r}, expected {_MAGIC!r})"
            )
        version = raw[2]
        if version != _VERSION:
            raise PeerAddressError(
                f"unsupported peer address version {version}: this vantor reads "
                f"version {_VERSION}; upgrade vantor on this host"
            )
        if len(raw) != _V1.size:
            raise PeerAddressError(
                f"peer address version {_VERSION} must be {_V1.size} bytes, got {len(raw)}"
            )
        _magic, _version, flags, gid, qp_num, qkey = _V1.unpack(raw)
        if flags:
            raise PeerAddressError(
                f"peer address has unknown flags 0x{flags:02x}; it was written by a newer vantor"
            )
        return cls(gid, qp_num, qkey)

    @classmethod
    def fromhex(cls, text: str) -> Self:
        """Read the text form written by :meth:`hex`."""
        try:
            raw = bytes.fromhex(text)
        except ValueError:
            raise PeerAddressError(f"peer address is not hexadecimal text: {text!r}") from None
        return cls.decode(raw)

    def connect(self, pd: PD, *, sgid_index: int = 0, port_num: int = 1) -> Peer:
        """Create an address handle for this address on ``pd``; return the :class:`Peer`.

        The peer owns that address handle: :meth:`Peer.close` (or leaving a
        ``with`` block) destroys it.
        """
        ah = pd.create_ah(self.gid, sgid_index, port_num)
        peer = Peer(ah, self.qp_num, self.qkey, address=self)
        peer._owns_ah = True
        return peer


class RemoteRegion(Protocol):
    """Memory of the peer's: its address and the rkey it was registered with."""

    @property
    def addr(self) -> int: ...

    @property
    def rkey(self) -> int: ...


class Peer:
    """A destination for ``SendWR(dest=peer)``: address handle, QP number, qkey.

    Build one from a received :class:`PeerAddress` (:meth:`PeerAddress.connect`
    or :meth:`from_address`), or directly from an existing address handle.
    Several peers may share one address handle (one per remote device, one
    peer per remote queue pair): a peer destroys only an address handle it
    created itself.
    """

    __slots__ = ("ah", "qp_num", "qkey", "address", "_owns_ah")

    ah: AH
    qp_num: int
    qkey: int
    address: PeerAddress | None

    def __init__(
        self,
        ah: AH,
        qp_num: int,
        qkey: int,
        *,
        address: PeerAddress | None = None,
    ):
        if ah is None:
            raise TypeError("a Peer needs an address handle (ah), not None")
        self.ah = ah
        self.qp_num = _u32("qp_num", qp_num)
        self.qkey = _u32("qkey", qkey)
        self.address = address
        self._owns_ah = False

    @staticmethod
    def encode_address(gid: bytes | bytearray | memoryview | Gid, qp_num: int, qkey: int) -> bytes:
        """Shorthand for ``PeerAddress(gid, qp_num, qkey).encode()``."""
        return PeerAddress(gid, qp_num, qkey).encode()

    @classmethod
    def from_address(
        cls,
        pd: PD,
        address: PeerAddress | bytes | bytearray | memoryview,
        *,
        sgid_index: int = 0,
        port_num: int = 1,
    ) -> Peer:
        """Decode ``address`` (unless it already is a :class:`PeerAddress`) and connect it."""
        if not isinstance(address, PeerAddress):
            address = PeerAddress.decode(address)
        return address.connect(pd, sgid_index=sgid_index, port_num=port_num)

    def write_request(
        self,
        wr_id: int,
        source: MR,
        target: RemoteRegion,
        *,
        offset: int = 0,
        imm_data: int | None = None,
    ) -> SendWR:
        """A ``SendWR`` that RDMA-writes all of ``source`` to this peer's memory.

        It lands at ``target.addr + offset`` under ``target.rkey`` (``target``:
        the remote region's ``MR``, a :class:`vantor.bootstrap.RankInfo`, any
        object with ``addr`` and ``rkey``). With ``imm_data`` it is a write
        with immediate, which consumes a receive at the peer. The request is
        signaled: its completion comes to the send queue's CQ.
        """
        from vantor._vantor import SendWR
        from vantor.enums import SendFlags, WROpcode

        return SendWR(
            wr_id,
            [source.sge()],
            opcode=WROpcode.RDMA_WRITE if imm_data is None else WROpcode.RDMA_WRITE_WITH_IMM,
            send_flags=SendFlags.SIGNALED,
            remote_addr=target.addr + offset,
            rkey=target.rkey,
            imm_data=0 if imm_data is None else imm_data,
            dest=self,
        )

    def close(self) -> None:
        """Destroy the address handle if this peer created it; otherwise do nothing."""
        if self._owns_ah:
            self.ah.close()

    def __enter__(self) -> Peer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        where = f"gid={_format_gid(self.address.gid)}, " if self.address is not None else ""
        return f"Peer({where}qp_num={self.qp_num}, qkey=0x{self.qkey:x})"


# --- memory registration ------------------------------------------------------------

#: Access of :func:`reg_buffer` when none is given: local write, remote write
#: and remote read.
DEFAULT_ACCESS = int(AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE | AccessFlags.REMOTE_READ)
_WRITE_ACCESS = int(AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE)


@dataclass(frozen=True)
class BufferInfo:
    """Where an object's memory lies, as :func:`describe_buffer` found it."""

    #: Start address of the memory (host or device virtual address).
    addr: int
    #: Size in bytes.
    nbytes: int
    #: True when the producer says the memory must not be written.
    readonly: bool
    #: "cpu", "cuda", "cuda_host", "cuda_managed", "rocm" or "rocm_host".
    device: str
    #: The protocol the memory was found through: "buffer",
    #: "cuda_array_interface", "array_interface" or "dlpack".
    source: str
    #: What must stay alive for the memory to stay valid (for the buffer
    #: protocol a memoryview holding the export, which also stops a
    #: bytearray from being resized or an mmap from being closed).
    owner: Any


class _PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]
_release_buffer.restype = None
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_pointer.restype = ctypes.c_void_p

# PyBUF_FULL_RO: any layout, read-only allowed; contiguity is checked before.
_PYBUF_FULL_RO = 0x11C


def _buffer_address(view: memoryview) -> int:
    # ctypes' from_buffer() refuses read-only memory, so ask for the
    # Py_buffer directly; `view` keeps the export alive afterwards.
    info = _PyBuffer()
    _get_buffer(view, ctypes.byref(info), _PYBUF_FULL_RO)
    try:
        return int(info.buf or 0)
    finally:
        _release_buffer(ctypes.byref(info))


def _product(values: Sequence[int]) -> int:
    result = 1
    for v in values:
        result *= v
    return result


def _is_contiguous(shape: Sequence[int], strides: Sequence[int], itemsize: int) -> bool:
    """Whether byte strides describe one dense block, in C or Fortran order."""
    if len(shape) != len(strides):
        return False
    if 0 in shape:
        return True

    def dense(order: Sequence[int]) -> bool:
        expected = itemsize
        for i in order:
            if shape[i] != 1 and strides[i] != expected:
                return False
            expected *= shape[i]
        return True

    dims = range(len(shape))
    return dense(list(reversed(dims))) or dense(list(dims))


def _itemsize_of_typestr(typestr: Any, protocol: str) -> int:
    # "<f4", "|u1", "<M8[s]": byte order, kind, then the item size in bytes.
    match = re.match(r"[<>|=][a-zA-Z](\d+)", typestr) if isinstance(typestr, str) else None
    if match is None:
        raise ValueError(f"{protocol}: bad typestr {typestr!r}")
    return int(match.group(1))


def _from_array_interface(
    obj: Any, iface: Mapping[str, Any], protocol: str, device: str
) -> BufferInfo:
    try:
        shape = tuple(int(d) for d in iface["shape"])
        data = iface["data"]
    except (KeyError, TypeError, ValueError) as exc:
        raise ValueError(f"{protocol}: malformed interface ({exc})") from None
    if iface.get("mask") is not None:
        raise ValueError(f"{protocol}: masked arrays cannot be registered")
    if not isinstance(data, tuple) or len(data) != 2:
        raise ValueError(f"{protocol}: 'data' must be a (pointer, read_only) tuple")
    ptr, readonly = data
    itemsize = _itemsize_of_typestr(iface.get("typestr"), protocol)
    strides = iface.get("strides")
    if strides is not None and not _is_contiguous(shape, tuple(strides), itemsize):
        raise ValueError(
            f"cannot register a non-contiguous array ({protocol} strides {tuple(strides)}); "
            "make a contiguous copy first"
        )
    return BufferInfo(
        addr=int(ptr or 0),
        nbytes=itemsize * _product(shape),
        readonly=bool(readonly),
        device=device,
        source=protocol,
        owner=obj,
    )


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", _DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", _DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


# DLPack device types whose data pointer is a virtual address of this process.
_DLPACK_DEVICES = {
    1: "cpu",
    2: "cuda",
    3: "cuda_host",
    10: "rocm",
    11: "rocm_host",
    13: "cuda_managed",
}


def _from_dlpack(obj: Any) -> BufferInfo:
    capsule = obj.__dlpack__()
    # The capsule is not consumed (not renamed to "used_dltensor"): its own
    # destructor frees the tensor once the MR lets go of it.
    ptr = _capsule_pointer(capsule, b"dltensor")
    tensor = _DLTensor.from_address(ptr)
    kind = tensor.device.device_type
    if kind not in _DLPACK_DEVICES:
        raise ValueError(
            f"cannot register memory of DLPack device type {kind}: only host, CUDA and "
            "ROCm memory has an address the NIC can use"
        )
    bits = tensor.dtype.bits * tensor.dtype.lanes
    if bits % 8:
        raise ValueError(f"cannot register a DLPack tensor of {bits}-bit elements")
    itemsize = bits // 8
    ndim = tensor.ndim
    shape = tuple(int(tensor.shape[i]) for i in range(ndim))
    if tensor.strides:
        strides = tuple(int(tensor.strides[i]) * itemsize for i in range(ndim))
        if not _is_contiguous(shape, strides, itemsize):
            raise ValueError(
                "cannot register a non-contiguous DLPack tensor; make a contiguous copy first"
            )
    return BufferInfo(
        addr=int(tensor.data or 0) + int(tensor.byte_offset),
        nbytes=itemsize * _product(shape),
        readonly=False,
        device=_DLPACK_DEVICES[kind],
        source="dlpack",
        owner=(obj, capsule),
    )


def describe_buffer(obj: Any) -> BufferInfo:
    """Find the memory behind ``obj``: address, size, writability, device.

    Tried in this order: ``__cuda_array_interface__`` (device memory), the
    buffer protocol, ``__array_interface__``, then ``__dlpack__``. Only
    contiguous memory is accepted (``ValueError`` otherwise); an object
    offering none of these raises ``TypeError``. Nothing is imported: NumPy,
    CuPy or PyTorch objects are used through these protocols alone.
    """
    cuda = getattr(obj, "__cuda_array_interface__", None)
    if cuda is not None:
        return _from_array_interface(obj, cuda, "__cuda_array_interface__", "cuda")
    buffer_error: Exception | None = None
    try:
        view = memoryview(obj)
    except (TypeError, ValueError, BufferError) as exc:
        buffer_error = exc
    else:
        if not view.contiguous:
            view.release()
            raise ValueError(
                "cannot register a non-contiguous buffer; make a contiguous copy first"
            )
        return BufferInfo(
            addr=_buffer_address(view),
            nbytes=view.nbytes,
            readonly=view.readonly,
            device="cpu",
            source="buffer",
            owner=view,
        )
    host = getattr(obj, "__array_interface__", None)
    if host is not None:
        return _from_array_interface(obj, host, "__array_interface__", "cpu")
    if hasattr(obj, "__dlpack__"):
        return _from_dlpack(obj)
    if isinstance(buffer_error, TypeError):
        raise TypeError(
            f"cannot register an object of type {type(obj).__name__!r}: it offers neither the buffer protocol "
            "nor __cuda_array_interface__, __array_interface__ or __dlpack__"
        ) from None
    raise TypeError(
        f"cannot register an object of type {type(obj).__name__!r}: {buffer_error}"
    ) from buffer_error


def reg_buffer(
    pd: PD,
    obj: Any,
    access: int = DEFAULT_ACCESS,
    *,
    dmabuf_fd: int | None = None,
    dmabuf_offset: int = 0,
) -> MR:
    """Register the memory of ``obj`` with ``pd`` and return the ``MR``.

    ``obj`` is anything :func:`describe_buffer` understands: a ``bytearray``,
    ``memoryview`` (slice one to register part of a buffer), ``mmap``, NumPy
    array, a CUDA array or tensor. The ``MR`` keeps the memory's owner alive
    until it is closed (``MR.owner``); for the buffer protocol that owner is a
    memoryview whose export stops a ``bytearray`` from being resized and an
    ``mmap`` from being closed while the NIC may write into them.

    Device memory is registered by its virtual address (``PD.reg_mr``), which
    needs the GPU peer-memory driver (nvidia_peermem). With ``dmabuf_fd`` the
    dma-buf path is used instead (``PD.reg_dmabuf_mr``): ``dmabuf_fd`` is a
    dma-buf exported for the memory (for CUDA, ``cuMemGetHandleForAddressRange``)
    and ``dmabuf_offset`` the memory's offset inside it. The region's I/O
    address is then ``dmabuf_offset`` itself, which is also ``MR.addr``, so
    ``MR.sge()`` and remote addresses (``MR.addr + k``) work as for host memory.

    For device memory handed over with a stream (``__cuda_array_interface__``
    version 3), registering does not touch the data; synchronize that stream
    before posting work that reads or writes the memory.

    Memory that its producer marks read-only (``bytes``, a read-only NumPy
    array or memoryview) is refused for ``LOCAL_WRITE``/``REMOTE_WRITE``
    access with ``ValueError``; register it with ``AccessFlags.REMOTE_READ``
    (or 0) to send from it or let peers read it.
    """
    try:
        access = operator.index(access)
    except TypeError:
        raise TypeError(f"access must be an integer, not {type(access).__name__}") from None
    info = describe_buffer(obj)
    if info.nbytes == 0:
        _unpin(info)
        raise ValueError("cannot register an empty buffer")
    if info.readonly and access & _WRITE_ACCESS:
        _unpin(info)
        raise ValueError(
            "cannot register read-only memory for LOCAL_WRITE or REMOTE_WRITE access; "
            "pass access=AccessFlags.REMOTE_READ (or 0) to send from it or let peers read it"
        )
    try:
        if dmabuf_fd is None:
            mr = pd.reg_mr(info.addr, info.nbytes, access)
        else:
            mr = pd.reg_dmabuf_mr(dmabuf_offset, info.nbytes, dmabuf_offset, dmabuf_fd, access)
    except BaseException:
        _unpin(info)
        raise
    return mr._keepalive(info.owner)


def _unpin(info: BufferInfo) -> None:
    # The traceback of a failed registration would otherwise keep the export
    # (and with it a bytearray's size or an mmap) pinned.
    if isinstance(info.owner, memoryview):
        info.owner.release()


def format_gid(gid: bytes | bytearray | memoryview | Gid) -> str:
    """The full colon form of a GID, as ``repr(Gid)`` shows it
    (``fe80:0000:0000:0000:0a1b:2c00:0000:015e``)."""
    return _format_gid(_gid_bytes(gid))
