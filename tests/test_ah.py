"""Address handles: the AHAttr record, PD.create_ah and AH."""

from __future__ import annotations

import errno

import pytest

from vantor import _vantor as v

GID = bytes.fromhex("fe800000000000000a0b0c0d0e0f1011")


class TestAHAttr:
    def test_defaults(self):
        attr = v.AHAttr()
        assert attr.dgid == bytes(16)
        assert (attr.sgid_index, attr.port_num, attr.hop_limit) == (0, 1, 1)
        assert (attr.traffic_class, attr.flow_label, attr.is_global) == (0, 0, 1)

    def test_positional_order_and_keywords(self):
        attr = v.AHAttr(GID, 1, 2, 3, 4, 5, 0)
        assert (attr.dgid, attr.sgid_index, attr.port_num, attr.hop_limit) == (GID, 1, 2, 3)
        assert (attr.traffic_class, attr.flow_label, attr.is_global) == (4, 5, 0)
        assert v.AHAttr(flow_label=2**32 - 1).flow_label == 2**32 - 1

    @pytest.mark.parametrize(
        "dgid",
        [v.Gid(GID), bytearray(GID), list(GID), memoryview(GID)],
        ids=["Gid", "bytearray", "list", "memoryview"],
    )
    def test_dgid_through_bytes_constructor(self, dgid):
        attr = v.AHAttr(dgid)
        assert type(attr.dgid) is bytes and attr.dgid == GID

    @pytest.mark.parametrize(
        "kwargs, exc, message",
        [
            ({"dgid": bytes(15)}, ValueError, "dgid must be 16 bytes"),
            ({"dgid": bytes(17)}, ValueError, "dgid must be 16 bytes"),
            ({"dgid": 3}, ValueError, "dgid must be 16 bytes"),
            ({"dgid": "x" * 16}, TypeError, None),
            ({"sgid_index": 256}, OverflowError, "value too large to convert to uint8_t"),
            ({"port_num": -1}, OverflowError, "can't convert negative value to uint8_t"),
            ({"hop_limit": "1"}, TypeError, "an integer is required"),
            ({"flow_label": 2**32}, OverflowError, "value too large to convert to uint32_t"),
            ({"flow_label": -1}, OverflowError, "can't convert negative value to uint32_t"),
            ({"is_global": None}, TypeError, "an integer is required"),
            ({"gid": GID}, TypeError, "__init__() got an unexpected keyword argument 'gid'"),
        ],
    )
    def test_constructor_errors(self, kwargs, exc, message):
        with pytest.raises(exc) as info:
            v.AHAttr(**kwargs)
        if message is not None:
            assert str(info.value) == message

    def test_failed_init_keeps_earlier_fields(self):
        attr = v.AHAttr()
        with pytest.raises(OverflowError):
            attr.__init__(GID, 5, 300)
        assert attr.dgid == GID and attr.sgid_index == 5 and attr.port_num == 1

    @pytest.mark.parametrize("field", ["sgid_index", "is_global"])
    def test_u8_assignment(self, field):
        attr = v.AHAttr()
        old = getattr(attr, field)
        setattr(attr, field, 255)
        assert getattr(attr, field) == 255
        setattr(attr, field, old)
        with pytest.raises(OverflowError, match="value too large to convert to uint8_t"):
            setattr(attr, field, 256)
        with pytest.raises(OverflowError, match="can't convert negative value to uint8_t"):
            setattr(attr, field, -1)
        for bad in ("1", b"1", None):
            with pytest.raises(TypeError, match="an integer is required"):
                setattr(attr, field, bad)
        assert getattr(attr, field) == old
        with pytest.raises(NotImplementedError, match="__del__"):
            delattr(attr, field)

    def test_flow_label_assignment(self):
        attr = v.AHAttr()
        attr.flow_label = 7.9  # int() conversion, as for any non-str number
        assert attr.flow_label == 7
        with pytest.raises(OverflowError, match="can't convert negative value to uint32_t"):
            attr.flow_label = -1
        assert attr.flow_label == 7

    def test_dgid_assignment(self):
        attr = v.AHAttr()
        attr.dgid = b"abc"  # no length check on assignment
        assert attr.dgid == b"abc"
        attr.dgid = None
        assert attr.dgid is None
        attr.dgid = GID
        del attr.dgid
        assert attr.dgid is None
        with pytest.raises(TypeError) as info:
            attr.dgid = bytearray(16)
        assert str(info.value) == "Expected bytes, got bytearray"
        with pytest.raises(TypeError) as info:
            attr.dgid = v.Gid(GID)
        assert str(info.value) == "Expected bytes, got vantor._vantor.Gid"

    def test_bare_instance(self):
        bare = v.AHAttr.__new__(v.AHAttr)
        assert bare.dgid is None
        assert (bare.sgid_index, bare.port_num, bare.hop_limit, bare.is_global) == (0, 0, 0, 0)


def attr_with_dgid(dgid):
    attr = v.AHAttr(GID)
    attr.dgid = dgid
    return attr


def native_record(call):
    return {k: val for k, val in call.items() if k not in ("fn", "ret", "pd")}


class TestCreateAH:
    def test_three_forms_fill_identical_records(self, sim, pd):
        with sim.recording() as log:
            ahs = [pd.create_ah(GID), pd.create_ah(v.Gid(GID)), pd.create_ah(v.AHAttr(GID))]
        calls = log.calls("ibv_create_ah")
        assert len(calls) == 3
        record = native_record(calls[0])
        assert record == native_record(calls[1]) == native_record(calls[2])
        assert record == {
            "dgid": GID.hex(),
            "flow_label": 0,
            "sgid_index": 0,
            "hop_limit": 1,
            "traffic_class": 0,
            "dlid": 0,
            "sl": 0,
            "src_path_bits": 0,
            "static_rate": 0,
            "is_global": 1,
            "port_num": 1,
        }
        assert all(type(ah) is v.AH and ah.pd is pd for ah in ahs)

    @pytest.mark.parametrize(
        "make", [lambda: GID, lambda: v.Gid(GID), lambda: bytearray(GID), lambda: list(GID)]
    )
    def test_sgid_index_and_port_for_built_attributes(self, sim, pd, make):
        with sim.recording() as log:
            with pytest.raises(v.EfaError):  # the device has one GID on port 1
                pd.create_ah(make(), sgid_index=2, port_num=3)
        (call,) = log.calls("ibv_create_ah")
        assert (call["sgid_index"], call["port_num"]) == (2, 3)

    def test_ahattr_is_used_as_it_is(self, sim, pd):
        attr = v.AHAttr(
            GID,
            sgid_index=5,
            port_num=1,
            hop_limit=9,
            traffic_class=3,
            flow_label=0xABCDE,
            is_global=0,
        )
        with sim.recording() as log:
            with pytest.raises(v.EfaError):  # sgid_index 5 does not exist
                pd.create_ah(attr, 2, 7)  # 2 and 7 are ignored for an AHAttr
        (call,) = log.calls("ibv_create_ah")
        assert (call["sgid_index"], call["port_num"], call["hop_limit"]) == (5, 1, 9)
        assert (call["traffic_class"], call["flow_label"], call["is_global"]) == (3, 0xABCDE, 0)

    def test_record_copied_at_the_call(self, pd):
        attr = v.AHAttr(GID)
        ah = pd.create_ah(attr)
        attr.dgid = None
        assert ah.ahn >= 0

    def test_ahn(self, sim, pd):
        a, b = pd.create_ah(GID), pd.create_ah(bytes(16))
        with sim.recording() as log:
            numbers = (a.ahn, b.ahn, a.ahn)
        assert numbers[0] != numbers[1] and numbers[0] == numbers[2]
        assert [c["inlen"] for c in log.calls("efadv_query_ah")] == [16, 16, 16]  # not cached
        assert [c["ret"] for c in log.calls("efadv_query_ah")] == [0, 0, 0]

    def test_ahn_failure(self, sim, pd):
        ah = pd.create_ah(GID)
        sim.fail("efadv_query_ah", errno.EINVAL)
        with pytest.raises(v.EfaError) as info:
            ah.ahn  # noqa: B018
        assert (info.value.operation, info.value.errno) == ("efadv_query_ah", errno.EINVAL)

    @pytest.mark.parametrize("err, expected", [(errno.ENOMEM, errno.ENOMEM), (0, errno.EIO)])
    def test_create_failure(self, sim, pd, err, expected):
        sim.fail("ibv_create_ah", err)
        with pytest.raises(v.EfaError) as info:
            pd.create_ah(GID)
        assert (info.value.operation, info.value.errno) == ("ibv_create_ah", expected)

    @pytest.mark.parametrize(
        "args, kwargs, exc, message",
        [
            ((GID[:15],), {}, ValueError, "dgid must be 16 bytes"),
            ((GID + b"\x00",), {}, ValueError, "dgid must be 16 bytes"),
            ((GID,), {"sgid_index": 256}, OverflowError, "value too large to convert to uint8_t"),
            (
                (v.Gid(GID),),
                {"sgid_index": 256},
                OverflowError,
                "value too large to convert to uint8_t",
            ),
            ((GID,), {"port_num": -1}, OverflowError, "can't convert negative value to uint8_t"),
            ((GID,), {"port_num": 2**31}, OverflowError, "value too large to convert to int"),
            ((GID,), {"sgid_index": "0"}, TypeError, "an integer is required"),
            (("x" * 16,), {}, TypeError, None),
            ((None,), {}, TypeError, None),
            ((), {}, TypeError, "create_ah() takes at least 1 positional argument (0 given)"),
            (
                (GID, 0, 1, 2),
                {},
                TypeError,
                "create_ah() takes at most 3 positional arguments (4 given)",
            ),
        ],
    )
    def test_argument_errors(self, sim, pd, args, kwargs, exc, message):
        with sim.recording() as log:
            with pytest.raises(exc) as info:
                pd.create_ah(*args, **kwargs)
        if message is not None:
            assert str(info.value) == message
        assert log.calls("ibv_create_ah") == []

    @pytest.mark.parametrize(
        "make, exc, message",
        [
            (lambda: v.AHAttr.__new__(v.AHAttr), TypeError, "expected bytes, NoneType found"),
            # A Gid made without its constructor names no device: no all-zero AH.
            (lambda: v.Gid.__new__(v.Gid), TypeError, "expected bytes, NoneType found"),
            # The attribute takes any length; the native record reads exactly 16.
            (lambda: attr_with_dgid(b""), ValueError, "dgid must be 16 bytes"),
            (lambda: attr_with_dgid(GID * 2), ValueError, "dgid must be 16 bytes"),
        ],
    )
    def test_unusable_destinations(self, sim, pd, make, exc, message):
        with sim.recording() as log:
            with pytest.raises(exc) as info:
                pd.create_ah(make())
        assert str(info.value) == message
        assert len(log) == 0

    def test_closed_pd(self, sim, pd):
        pd.close()
        with pytest.raises(v.EfaError) as info:
            pd.create_ah(b"short")  # closed check before building the attributes
        assert (info.value.operation, info.value.errno) == ("pd is closed", errno.EBADF)
        with pytest.raises(OverflowError):
            pd.create_ah(GID, 2**31)  # argument parsing before the closed check


class TestAH:
    def test_pd_refuses_close_while_an_ah_exists(self, ctx):
        pd = ctx.alloc_pd()
        ah = pd.create_ah(GID)
        with pytest.raises(v.EfaError) as info:
            pd.close()
        assert (info.value.operation, info.value.errno) == ("ibv_dealloc_pd", errno.EBUSY)
        with ah:
            pass
        pd.close()
        ctx.close()
