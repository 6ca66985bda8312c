"""Gid, Device and the attribute records: conversions, equality, reprs."""

from __future__ import annotations

import pytest

from vantor import _vantor as v

GID_BYTES = bytes.fromhex("fe80000000000000001122fffe334455")


def test_gid_fields_and_repr():
    raw = bytes(GID_BYTES)
    gid = v.Gid(raw=raw)
    assert gid.raw is raw and bytes(gid) is raw
    assert (gid.subnet_prefix, gid.interface_id) == (0xFE80000000000000, 0x001122FFFE334455)
    assert repr(gid) == "Gid('fe80:0000:0000:0000:0011:22ff:fe33:4455')"
    zero = v.Gid(bytes(16))
    assert (zero.subnet_prefix, zero.interface_id) == (0, 0)
    assert repr(zero) == "Gid('" + ":".join(["0000"] * 8) + "')"
    assert v.Gid(bytes(7) + b"\x01" + bytes(8)).subnet_prefix == 1  # big-endian


@pytest.mark.parametrize("other", [GID_BYTES, bytearray(GID_BYTES), v.Gid(GID_BYTES)])
def test_gid_equal(other):
    gid = v.Gid(GID_BYTES)
    assert gid == other and other == gid
    assert not (gid != other) and not (other != gid)


@pytest.mark.parametrize("other", [GID_BYTES[:15], GID_BYTES + b"\x00", GID_BYTES.hex(), None])
def test_gid_not_equal(other):
    gid = v.Gid(GID_BYTES)
    assert gid != other and not (gid == other)


def test_gid_unhashable_and_unordered():
    a = v.Gid(GID_BYTES)
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        a < v.Gid(GID_BYTES)  # noqa: B015


class _Bytes(bytes):
    pass


@pytest.mark.parametrize(
    "raw, exc, message",
    [
        (
            bytearray(16),
            TypeError,
            "Argument 'raw' has incorrect type (expected bytes, got bytearray)",
        ),
        (_Bytes(16), TypeError, "Argument 'raw' has incorrect type (expected bytes, got _Bytes)"),
        (None, TypeError, "object of type 'NoneType' has no len()"),
        (bytes(15), ValueError, "gid must be exactly 16 bytes"),
        (bytes(17), ValueError, "gid must be exactly 16 bytes"),
    ],
)
def test_gid_constructor_errors(raw, exc, message):
    with pytest.raises(exc) as info:
        v.Gid(raw)
    assert str(info.value) == message


def test_bare_gid():
    bare = v.Gid.__new__(v.Gid)
    assert bare.raw is None
    for name in ("subnet_prefix", "interface_id"):
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            getattr(bare, name)
    for convert in (repr, bytes):
        with pytest.raises(TypeError):
            convert(bare)
    assert bare == v.Gid.__new__(v.Gid) and bare != bytes(16)


def test_device_record():
    assert repr(v.Device("dev0", 255)) == "Device(name='dev0', guid=0xff)"
    assert repr(v.Device(name="d", guid=0)) == "Device(name='d', guid=0x0)"
    dev = v.Device(None, 2**64 - 1)
    assert (dev.name, dev.guid) == (None, 2**64 - 1)
    assert v.Device("d", 1) != v.Device("d", 1)  # compared by identity
    with pytest.raises(AttributeError):
        dev.guid = 1
    bare = v.Device.__new__(v.Device)
    assert (bare.name, bare.guid) == (None, 0)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("d", -1), OverflowError, "can't convert negative value to uint64_t"),
        (("d", 2**64), OverflowError, None),
        (("d", "1"), TypeError, "an integer is required"),
        ((1, 1), TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
        ((1, -1), OverflowError, "can't convert negative value to uint64_t"),  # guid first
        (("d",), TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_device_constructor_errors(args, exc, message):
    with pytest.raises(exc) as info:
        v.Device(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "cls, text",
    [
        (v.DeviceAttr, "DeviceAttr(fw_ver=None, max_qp=0, max_cqe=0, phys_port_cnt=0)"),
        (
            v.EfaDeviceAttr,
            (
                "EfaDeviceAttr(max_sq_wr=0, max_rq_wr=0, inline_buf_size=0, device_caps=0x0, "
                "max_rdma_size=0)"
            ),
        ),
        (v.PortAttr, "PortAttr(state=0, active_mtu=0, max_msg_sz=0)"),
        (
            v.MRAttr,
            "MRAttr(ic_id_validity=0x0, recv_ic_id=0, rdma_read_ic_id=0, rdma_recv_ic_id=0)",
        ),
    ],
)
def test_empty_attribute_records(cls, text):
    record = cls(1, 2, x=3)  # arguments are ignored
    assert repr(record) == text
    field = text[text.index("(") + 1 : text.index("=")]
    with pytest.raises(AttributeError):
        setattr(record, field, 1)
    assert record != cls()
