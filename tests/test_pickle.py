"""Pickle format of the value records, and refusal for resources."""

from __future__ import annotations

import copy
import pickle

import pytest

import vantor._vantor as m

GID = bytes(range(0xF0, 0x100))

# class name -> (written checksum, accepted checksums, state fields, a sample state)
RECORDS = {
    "Gid": (0xD7439BE, (0xD7439BE, 0xCE15802, 0xBDD166A), ["raw"], (GID,)),
    "Device": (0xB3E44A, (0xB3E44A, 0x59D7EA4, 0x13A36F5), ["guid", "name"], (0x1122, "efa_0")),
    "DeviceAttr": (
        0x852CC6A, (0x852CC6A, 0xDA4B224, 0x7E89F58),
        ["fw_ver", "hw_ver", "max_ah", "max_cq", "max_cqe", "max_mr", "max_mr_size", "max_pd",
         "max_pkeys", "max_qp", "max_qp_wr", "max_sge", "node_guid", "phys_port_cnt",
         "sys_image_guid", "vendor_id", "vendor_part_id"],
        ("1.2.3", 1, 2, 3, 4, 5, 2**40, 7, 1, 9, 10, 2, 0x0102030405060708, 1, 0x1112, 0x1D0F, 0xEFA1),
    ),
    "EfaDeviceAttr": (
        0x247B434, (0x247B434, 0x72206AE, 0x6F47129),
        ["device_caps", "inline_buf_size", "max_rdma_size", "max_rq_sge", "max_rq_wr",
         "max_sq_sge", "max_sq_wr"],
        (31, 32, 2**30, 3, 32768, 2, 4096),
    ),
    "PortAttr": (
        0x461C2AE, (0x461C2AE, 0x8FF0DA4, 0xC3F35A6),
        ["active_mtu", "active_speed", "active_width", "gid_tbl_len", "lid", "link_layer",
         "max_msg_sz", "max_mtu", "pkey_tbl_len", "port_cap_flags", "state"],
        (5, 32, 2, 1, 0, 0, 8928, 5, 1, 0, 4),
    ),
    "MRAttr": (
        0x998AF09, (0x998AF09, 0xF9B586, 0xDCFA448),
        ["ic_id_validity", "rdma_read_ic_id", "rdma_recv_ic_id", "recv_ic_id"], (7, 1, 2, 3),
    ),
    "AHAttr": (
        0x5E7F9B7, (0x5E7F9B7, 0xB792B1C, 0x6DA867F),
        ["dgid", "flow_label", "hop_limit", "is_global", "port_num", "sgid_index",
         "traffic_class"],
        (GID, 0, 255, 1, 1, 0, 0),
    ),
    "CQAttr": (
        0x3EF4DC5, (0x3EF4DC5, 0xCF2C477, 0x6E69141),
        ["buffer_addr", "doorbell_addr", "entry_size", "num_entries"], (0x1000, 0x2000, 32, 64),
    ),
    "WC": (
        0x4180B13, (0x4180B13, 0x4E5B945, 0x1AC9CD6),
        ["byte_len", "imm_data", "opcode", "qp_num", "sgid", "src_qp", "status", "unsolicited",
         "vendor_err", "wc_flags", "wr_id"],
        (64, 0xDEADBEEF, 128, 3, None, 4, 0, 0, 0, 2, 2**64 - 1),
    ),
    "QPCap": (
        0xF462D78, (0xF462D78, 0x1E10EEB, 0xA3DE3B1),
        ["max_inline_data", "max_recv_sge", "max_recv_wr", "max_send_sge", "max_send_wr"],
        (1, 2, 3, 4, 5),
    ),
    "WQAttr": (
        0xFAA3225, (0xFAA3225, 0xF17BB9C, 0x6FE4336),
        ["buffer_addr", "doorbell_addr", "entry_size", "max_batch", "num_entries"],
        (0x1000, 0x2000, 64, 16, 256),
    ),
    "SGE": (0xE625CD1, (0xE625CD1, 0xEB12B9E, 0x6A5DEB), ["addr", "length", "lkey", "owner"],
            (0x7000, 64, 0x55, None)),
    "SendWR": (
        0xD5E7D62, (0xD5E7D62, 0x3FB60E9, 0x2CA7207),
        ["ah", "imm_data", "opcode", "remote_addr", "remote_qkey", "remote_qpn", "rkey",
         "send_flags", "sg_list", "wr_id"],
        (None, 7, 2, 0, 0x11111111, 3, 0, 2, None, 9),
    ),
    "RecvWR": (0x716EC8F, (0x716EC8F, 0x2ED0F3, 0xAB7DE9F), ["sg_list", "wr_id"], (None, 5)),
    "_CQBase": (0x23313A3, (0x23313A3, 0x367ED42, 0x9F58B73), ["_unacked", "channel", "context"],
                (0, None, None)),
}  # fmt: skip

REFUSALS = {
    "Context": "no default __reduce__ due to non-trivial __cinit__",
    "AsyncEvent": "self._ev cannot be converted to a Python object for pickling",
    "PD": "self._pd cannot be converted to a Python object for pickling",
    "MR": "self._mr cannot be converted to a Python object for pickling",
    "CompChannel": "self._chan cannot be converted to a Python object for pickling",
    "CQ": "self._cq cannot be converted to a Python object for pickling",
    "CQEx": "self._cqx,self._ecq cannot be converted to a Python object for pickling",
    "QP": "self._qp,self._qpx cannot be converted to a Python object for pickling",
    "AH": "self._ah cannot be converted to a Python object for pickling",
}


def build(name: str, checksum: int | None = None, state=None):
    written, _, _, sample = RECORDS[name]
    cls = getattr(m, name)
    return getattr(m, f"_unpickle_{name}")(
        cls, written if checksum is None else checksum, sample if state is None else state
    )


@pytest.mark.parametrize("name", list(RECORDS))
def test_reconstructors_are_module_names_outside_all(name):
    assert hasattr(m, f"_unpickle_{name}")
    assert f"_unpickle_{name}" not in m.__all__


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", [n for n in RECORDS if n != "_CQBase"])
def test_round_trip(name, protocol):
    obj = build(name)
    again = pickle.loads(pickle.dumps(obj, protocol))
    assert type(again) is type(obj) and again is not obj
    assert again.__reduce__() == obj.__reduce__()


# Records whose attributes are exactly their pickled fields, read-only.
READ_ONLY = ["DeviceAttr", "EfaDeviceAttr", "PortAttr", "MRAttr", "CQAttr", "QPCap", "WQAttr"]
WIDEST_FIRST = [2**64 - 1, 2**32 - 1, 2**31 - 1, 2**16 - 1, 2**8 - 1]


def largest_accepted(name: str, index: int) -> int:
    """The largest value the state takes for integer field `index`."""
    sample = list(RECORDS[name][3])
    for value in WIDEST_FIRST:
        sample[index] = value
        try:
            build(name, state=tuple(sample))
        except OverflowError:
            continue
        return value
    raise AssertionError(f"{name} field {index} takes no width")


@pytest.mark.parametrize("name", READ_ONLY)
def test_read_only_attributes_are_the_pickled_fields(name):
    _, _, fields, sample = RECORDS[name]
    obj = build(name)
    assert {field: getattr(obj, field) for field in fields} == dict(zip(fields, sample))
    for index, field in enumerate(fields):
        if not isinstance(sample[index], int):
            continue
        extreme = list(sample)
        extreme[index] = largest_accepted(name, index)
        assert getattr(build(name, state=tuple(extreme)), field) == extreme[index], field
        with pytest.raises(AttributeError):
            setattr(obj, field, sample[index])


@pytest.mark.parametrize("name", list(RECORDS))
def test_reduce_form(name):
    written, _, fields, sample = RECORDS[name]
    obj = build(name)
    reduced = obj.__reduce__()
    assert reduced[0] is getattr(m, f"_unpickle_{name}")
    object_items = [v for v in sample if not isinstance(v, int)]
    if any(v is not None for v in object_items):
        assert reduced[1] == (type(obj), written, None)
        assert reduced[2] == sample
    else:
        assert reduced == (reduced[0], (type(obj), written, sample))


@pytest.mark.parametrize("name", list(RECORDS))
@pytest.mark.parametrize("which", [0, 1, 2])
def test_every_accepted_checksum(name, which):
    _, accepted, _, sample = RECORDS[name]
    obj = build(name, checksum=accepted[which])
    assert obj.__reduce__()[1][1] == accepted[0]


@pytest.mark.parametrize("name", list(RECORDS))
def test_wrong_checksum(name):
    _, accepted, fields, _ = RECORDS[name]
    with pytest.raises(pickle.PickleError) as info:
        build(name, checksum=0x1234)
    assert str(info.value) == (
        "Incompatible checksums (0x1234 vs (0x{:x}, 0x{:x}, 0x{:x}) = ({}))".format(
            *accepted, ", ".join(fields)
        )
    )


def test_qpcap_third_checksum_sets_fields_in_name_order():
    cap = m._unpickle_QPCap(m.QPCap, 0xA3DE3B1, (1, 2, 3, 4, 5))
    assert (cap.max_inline_data, cap.max_recv_sge, cap.max_recv_wr, cap.max_send_sge,
            cap.max_send_wr) == (1, 2, 3, 4, 5)  # fmt: skip


@pytest.mark.parametrize(
    "name, index, value, exc, message",
    [
        ("QPCap", 0, -1, OverflowError, "can't convert negative value to uint32_t"),
        ("QPCap", 0, 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("AHAttr", 2, 256, OverflowError, "value too large to convert to uint8_t"),
        ("AHAttr", 0, "x" * 16, TypeError, "Expected bytes, got str"),
        ("DeviceAttr", 0, b"1.0", TypeError, "Expected str, got bytes"),
        ("RecvWR", 0, (), TypeError, "Expected list, got tuple"),
        ("WC", 0, "1", TypeError, "an integer is required"),
        ("_CQBase", 2, 5, TypeError, "Cannot convert int to vantor._vantor.Context"),
        ("_CQBase", 1, 5, TypeError, "Cannot convert int to vantor._vantor.CompChannel"),
    ],
)
def test_bad_state_items(name, index, value, exc, message):
    state = list(RECORDS[name][3])
    state[index] = value
    with pytest.raises(exc) as info:
        build(name, state=tuple(state))
    assert str(info.value) == message


def test_state_must_be_tuple_or_none():
    with pytest.raises(TypeError):
        m._unpickle_QPCap(m.QPCap, 0xF462D78, [1, 2, 3, 4, 5])
    bare = m._unpickle_QPCap(m.QPCap, 0xF462D78, None)
    assert bare.max_send_wr == 0


def test_class_must_be_the_record_or_subclass():
    with pytest.raises(TypeError):
        m._unpickle_QPCap(m.WQAttr, 0xF462D78, None)


def test_subclass_instance_attribute_travels():
    class MyAttr(m.DeviceAttr):
        pass

    globals()["MyAttr"] = MyAttr
    MyAttr.__qualname__ = "MyAttr"
    obj = m._unpickle_DeviceAttr(MyAttr, 0x852CC6A, RECORDS["DeviceAttr"][3])
    obj.note = "kept"
    reduced = obj.__reduce__()
    assert reduced[2][-1] == {"note": "kept"}
    again = pickle.loads(pickle.dumps(obj))
    assert type(again) is MyAttr and again.note == "kept" and again.fw_ver == "1.2.3"


def test_dict_item_for_class_without_dict():
    state = (*RECORDS["QPCap"][3], {"x": 1})
    with pytest.raises(AttributeError):
        m._unpickle_QPCap(m.QPCap, 0xF462D78, state)
    # A falsy extra item is ignored.
    m._unpickle_QPCap(m.QPCap, 0xF462D78, (*RECORDS["QPCap"][3], {}))


def test_setstate_applies_state():
    cap = build("QPCap")
    assert cap.__setstate__((9, 8, 7, 6, 5)) is None
    assert cap.max_inline_data == 9 and cap.max_send_wr == 5
    with pytest.raises(TypeError):
        cap.__setstate__([1, 2, 3, 4, 5])


@pytest.mark.parametrize("name, message", list(REFUSALS.items()))
def test_resources_refuse(name, message):
    obj = getattr(m, name)()
    for attempt in (lambda: pickle.dumps(obj), lambda: copy.copy(obj),
                    obj.__reduce__, lambda: obj.__setstate__(())):  # fmt: skip
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == message


# Protocol-2 pickles of the sample states: the format must never drift.
GOLDEN = {
    "Gid": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f4769640a71006376616e746f722e5f76"
        "616e746f720a4769640a71014abe39740d4e877102527103635f636f646563730a656e636f64650a71045820"
        "000000c3b0c3b1c3b2c3b3c3b4c3b5c3b6c3b7c3b8c3b9c3bac3bbc3bcc3bdc3bec3bf710558060000006c61"
        "74696e317106867107527108857109622e"
    ),
    "Device": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f4465766963650a71006376616e746f72"
        "2e5f76616e746f720a4465766963650a71014a4ae4b3004e8771025271034d221158050000006566615f3071"
        "04867105622e"
    ),
    "DeviceAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f446576696365417474720a7100637661"
        "6e746f722e5f76616e746f720a446576696365417474720a71014a6acc52084e877102527103285805000000"
        "312e322e3371044b014b024b034b044b058a060000000000014b074b014b094b0a4b028a0808070605040302"
        "014b014d12114d0f1d4da1ef747105622e"
    ),
    "EfaDeviceAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f456661446576696365417474720a7100"
        "6376616e746f722e5f76616e746f720a456661446576696365417474720a71014a34b44702284b1f4b204a00"
        "0000404b034d00804b024d00107471028771035271042e"
    ),
    "PortAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f506f7274417474720a71006376616e74"
        "6f722e5f76616e746f720a506f7274417474720a71014aaec26104284b054b204b024b014b004b004de0224b"
        "054b014b004b047471028771035271042e"
    ),
    "MRAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f4d52417474720a71006376616e746f72"
        "2e5f76616e746f720a4d52417474720a71014a09af9809284b074b014b024b037471028771035271042e"
    ),
    "AHAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f4148417474720a71006376616e746f72"
        "2e5f76616e746f720a4148417474720a71014ab7f9e7054e87710252710328635f636f646563730a656e636f"
        "64650a71045820000000c3b0c3b1c3b2c3b3c3b4c3b5c3b6c3b7c3b8c3b9c3bac3bbc3bcc3bdc3bec3bf7105"
        "58060000006c6174696e3171068671075271084b004bff4b014b014b004b00747109622e"
    ),
    "CQAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f4351417474720a71006376616e746f72"
        "2e5f76616e746f720a4351417474720a71014ac54def03284d00104d00204b204b407471028771035271042e"
    ),
    "WC": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f57430a71006376616e746f722e5f7661"
        "6e746f720a57430a71014a130b1804284b408a05efbeadde004b804b034e4b044b004b004b004b028a09ffff"
        "ffffffffffff007471028771035271042e"
    ),
    "QPCap": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f51504361700a71006376616e746f722e"
        "5f76616e746f720a51504361700a71014a782d460f284b014b024b034b044b057471028771035271042e"
    ),
    "WQAttr": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f5751417474720a71006376616e746f72"
        "2e5f76616e746f720a5751417474720a71014a2532aa0f284d00104d00204b404b104d000174710287710352"
        "71042e"
    ),
    "SGE": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f5347450a71006376616e746f722e5f76"
        "616e746f720a5347450a71014ad15c620e284d00704b404b554e7471028771035271042e"
    ),
    "SendWR": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f53656e6457520a71006376616e746f72"
        "2e5f76616e746f720a53656e6457520a71014a627d5e0d284e4b074b024b004a111111114b034b004b024e4b"
        "097471028771035271042e"
    ),
    "RecvWR": bytes.fromhex(
        "80026376616e746f722e5f76616e746f720a5f756e7069636b6c655f5265637657520a71006376616e746f72"
        "2e5f76616e746f720a5265637657520a71014a8fec16074e4b058671028771035271042e"
    ),
}


@pytest.mark.parametrize("name", list(GOLDEN))
def test_golden_pickles(name):
    assert pickle.dumps(build(name), 2) == GOLDEN[name]
    loaded = pickle.loads(GOLDEN[name])
    assert loaded.__reduce__() == build(name).__reduce__()


def test_wc_sgid_selects_two_step_form():
    state = list(RECORDS["WC"][3])
    state[4] = GID
    wc = build("WC", state=tuple(state))
    reduced = wc.__reduce__()
    assert reduced[1][2] is None and reduced[2][4] == GID
    assert pickle.loads(pickle.dumps(wc)).sgid == GID


def test_cqbase_round_trip_keeps_context_link(sim):
    ctx = m.get_device_list()[0].open()
    try:
        base = m._unpickle__CQBase(m._CQBase, 0x23313A3, (3, None, ctx))
        assert base.context is ctx
        reduced = base.__reduce__()
        assert reduced[1] == (m._CQBase, 0x23313A3, None) and reduced[2] == (3, None, ctx)
    finally:
        del base
        ctx.close()


def test_entries_owning_resources_refuse(sim):
    ctx = m.get_device_list()[0].open()
    pd = ctx.alloc_pd()
    buf = bytearray(64)
    import ctypes

    addr = ctypes.addressof((ctypes.c_char * 64).from_buffer(buf))
    mr = pd.reg_mr(addr, 64, 1)
    gid = ctx.query_gid()
    ah = pd.create_ah(gid)
    try:
        sge = m.SGE(mr, 64)
        for obj, message in [
            (sge, REFUSALS["MR"]),
            (m.RecvWR(sg_list=[sge]), REFUSALS["MR"]),
            (m.SendWR(ah=ah, remote_qpn=1, remote_qkey=1), REFUSALS["AH"]),
        ]:
            with pytest.raises(TypeError) as info:
                pickle.dumps(obj)
            assert str(info.value) == message
        assert pickle.loads(pickle.dumps(m.SGE(addr, 64, mr.lkey))).lkey == mr.lkey
    finally:
        del sge
        ah.close()
        mr.close()
        pd.close()
        ctx.close()
