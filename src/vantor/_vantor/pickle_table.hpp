// Which records pickle, with which fields and checksums, and which classes
// refuse. The checksums identify each class's field list and are part of the
// pickle format: never change them.
#pragma once

#include "completions.hpp"
#include "module_types.hpp"
#include "objects.hpp"
#include "pickle.hpp"
#include "qp.hpp"
#include "records.hpp"
#include "work_request.hpp"

#include <cstddef>
#include <iterator>
#include <type_traits>

namespace vantor::pickling {

template <typename T>
constexpr Kind integer_kind()
{
    if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int>) {
        return Kind::Int32;
    } else if constexpr (std::is_same_v<T, uint8_t>) {
        return Kind::UInt8;
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return Kind::UInt16;
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return Kind::UInt32;
    } else {
        static_assert(std::is_same_v<T, uint64_t>, "unsupported field width");
        return Kind::UInt64;
    }
}

// An integer field: its kind follows the member's declared width.
#define VANTOR_INT(Struct, member) \
    Field{#member, integer_kind<decltype(Struct::member)>(), offsetof(Struct, member)}
#define VANTOR_OBJ(Struct, member, kind) Field{#member, Kind::kind, offsetof(Struct, member)}

inline constexpr Field kGidFields[] = {VANTOR_OBJ(GidObject, raw, Bytes)};

inline constexpr Field kDeviceFields[] = {
    VANTOR_INT(DeviceObject, guid),
    VANTOR_OBJ(DeviceObject, name, Str),
};

inline constexpr Field kDeviceAttrFields[] = {
    VANTOR_OBJ(DeviceAttrObject, fw_ver, Str),
    VANTOR_INT(DeviceAttrObject, hw_ver),
    VANTOR_INT(DeviceAttrObject, max_ah),
    VANTOR_INT(DeviceAttrObject, max_cq),
    VANTOR_INT(DeviceAttrObject, max_cqe),
    VANTOR_INT(DeviceAttrObject, max_mr),
    VANTOR_INT(DeviceAttrObject, max_mr_size),
    VANTOR_INT(DeviceAttrObject, max_pd),
    VANTOR_INT(DeviceAttrObject, max_pkeys),
    VANTOR_INT(DeviceAttrObject, max_qp),
    VANTOR_INT(DeviceAttrObject, max_qp_wr),
    VANTOR_INT(DeviceAttrObject, max_sge),
    VANTOR_INT(DeviceAttrObject, node_guid),
    VANTOR_INT(DeviceAttrObject, phys_port_cnt),
    VANTOR_INT(DeviceAttrObject, sys_image_guid),
    VANTOR_INT(DeviceAttrObject, vendor_id),
    VANTOR_INT(DeviceAttrObject, vendor_part_id),
};

inline constexpr Field kEfaDeviceAttrFields[] = {
    VANTOR_INT(EfaDeviceAttrObject, device_caps),
    VANTOR_INT(EfaDeviceAttrObject, inline_buf_size),
    VANTOR_INT(EfaDeviceAttrObject, max_rdma_size),
    VANTOR_INT(EfaDeviceAttrObject, max_rq_sge),
    VANTOR_INT(EfaDeviceAttrObject, max_rq_wr),
    VANTOR_INT(EfaDeviceAttrObject, max_sq_sge),
    VANTOR_INT(EfaDeviceAttrObject, max_sq_wr),
};

inline constexpr Field kPortAttrFields[] = {
    VANTOR_INT(PortAttrObject, active_mtu),
    VANTOR_INT(PortAttrObject, active_speed),
    VANTOR_INT(PortAttrObject, active_width),
    VANTOR_INT(PortAttrObject, gid_tbl_len),
    VANTOR_INT(PortAttrObject, lid),
    VANTOR_INT(PortAttrObject, link_layer),
    VANTOR_INT(PortAttrObject, max_msg_sz),
    VANTOR_INT(PortAttrObject, max_mtu),
    VANTOR_INT(PortAttrObject, pkey_tbl_len),
    VANTOR_INT(PortAttrObject, port_cap_flags),
    VANTOR_INT(PortAttrObject, state),
};

inline constexpr Field kMRAttrFields[] = {
    VANTOR_INT(MRAttrObject, ic_id_validity),
    VANTOR_INT(MRAttrObject, rdma_read_ic_id),
    VANTOR_INT(MRAttrObject, rdma_recv_ic_id),
    VANTOR_INT(MRAttrObject, recv_ic_id),
};

inline constexpr Field kAHAttrFields[] = {
    VANTOR_OBJ(AHAttrObject, dgid, Bytes),
    VANTOR_INT(AHAttrObject, flow_label),
    VANTOR_INT(AHAttrObject, hop_limit),
    VANTOR_INT(AHAttrObject, is_global),
    VANTOR_INT(AHAttrObject, port_num),
    VANTOR_INT(AHAttrObject, sgid_index),
    VANTOR_INT(AHAttrObject, traffic_class),
};

inline constexpr Field kCQBaseFields[] = {
    VANTOR_INT(CQBaseObject, _unacked),
    VANTOR_OBJ(CQBaseObject, channel, CompChannel),
    VANTOR_OBJ(CQBaseObject, context, Context),
};

inline constexpr Field kCQAttrFields[] = {
    VANTOR_INT(CQAttrObject, buffer_addr),
    VANTOR_INT(CQAttrObject, doorbell_addr),
    VANTOR_INT(CQAttrObject, entry_size),
    VANTOR_INT(CQAttrObject, num_entries),
};

inline constexpr Field kWCFields[] = {
    VANTOR_INT(WCObject, byte_len),
    VANTOR_INT(WCObject, imm_data),
    VANTOR_INT(WCObject, opcode),
    VANTOR_INT(WCObject, qp_num),
    VANTOR_OBJ(WCObject, sgid, Any),
    VANTOR_INT(WCObject, src_qp),
    VANTOR_INT(WCObject, status),
    VANTOR_INT(WCObject, unsolicited),
    VANTOR_INT(WCObject, vendor_err),
    VANTOR_INT(WCObject, wc_flags),
    VANTOR_INT(WCObject, wr_id),
};

inline constexpr Field kQPCapFields[] = {
    VANTOR_INT(QPCapObject, max_inline_data),
    VANTOR_INT(QPCapObject, max_recv_sge),
    VANTOR_INT(QPCapObject, max_recv_wr),
    VANTOR_INT(QPCapObject, max_send_sge),
    VANTOR_INT(QPCapObject, max_send_wr),
};

inline constexpr Field kWQAttrFields[] = {
    VANTOR_INT(WQAttrObject, buffer_addr),
    VANTOR_INT(WQAttrObject, doorbell_addr),
    VANTOR_INT(WQAttrObject, entry_size),
    VANTOR_INT(WQAttrObject, max_batch),
    VANTOR_INT(WQAttrObject, num_entries),
};

inline constexpr Field kSGEFields[] = {
    VANTOR_INT(SGEObject, addr),
    VANTOR_INT(SGEObject, length),
    VANTOR_INT(SGEObject, lkey),
    VANTOR_OBJ(SGEObject, owner, Any),
};

inline constexpr Field kSendWRFields[] = {
    VANTOR_OBJ(SendWRObject, ah, Any),
    VANTOR_INT(SendWRObject, imm_data),
    VANTOR_INT(SendWRObject, opcode),
    VANTOR_INT(SendWRObject, remote_addr),
    VANTOR_INT(SendWRObject, remote_qkey),
    VANTOR_INT(SendWRObject, remote_qpn),
    VANTOR_INT(SendWRObject, rkey),
    VANTOR_INT(SendWRObject, send_flags),
    VANTOR_OBJ(SendWRObject, sg_list, List),
    VANTOR_INT(SendWRObject, wr_id),
};

inline constexpr Field kRecvWRFields[] = {
    VANTOR_OBJ(RecvWRObject, sg_list, List),
    VANTOR_INT(RecvWRObject, wr_id),
};

#undef VANTOR_INT
#undef VANTOR_OBJ

#define VANTOR_RECORD(name, fields, a, b, c) \
    Record{#name, &types::name, {a, b, c}, fields, std::size(fields)}

inline constexpr Record kRecords[] = {
    VANTOR_RECORD(Gid, kGidFields, 0xd7439be, 0xce15802, 0xbdd166a),
    VANTOR_RECORD(Device, kDeviceFields, 0xb3e44a, 0x59d7ea4, 0x13a36f5),
    VANTOR_RECORD(DeviceAttr, kDeviceAttrFields, 0x852cc6a, 0xda4b224, 0x7e89f58),
    VANTOR_RECORD(EfaDeviceAttr, kEfaDeviceAttrFields, 0x247b434, 0x72206ae, 0x6f47129),
    VANTOR_RECORD(PortAttr, kPortAttrFields, 0x461c2ae, 0x8ff0da4, 0xc3f35a6),
    VANTOR_RECORD(MRAttr, kMRAttrFields, 0x998af09, 0xf9b586, 0xdcfa448),
    VANTOR_RECORD(AHAttr, kAHAttrFields, 0x5e7f9b7, 0xb792b1c, 0x6da867f),
    VANTOR_RECORD(_CQBase, kCQBaseFields, 0x23313a3, 0x367ed42, 0x9f58b73),
    VANTOR_RECORD(CQAttr, kCQAttrFields, 0x3ef4dc5, 0xcf2c477, 0x6e69141),
    VANTOR_RECORD(WC, kWCFields, 0x4180b13, 0x4e5b945, 0x1ac9cd6),
    VANTOR_RECORD(QPCap, kQPCapFields, 0xf462d78, 0x1e10eeb, 0xa3de3b1),
    VANTOR_RECORD(WQAttr, kWQAttrFields, 0xfaa3225, 0xf17bb9c, 0x6fe4336),
    VANTOR_RECORD(SGE, kSGEFields, 0xe625cd1, 0xeb12b9e, 0x6a5deb),
    VANTOR_RECORD(SendWR, kSendWRFields, 0xd5e7d62, 0x3fb60e9, 0x2ca7207),
    VANTOR_RECORD(RecvWR, kRecvWRFields, 0x716ec8f, 0x2ed0f3, 0xab7de9f),
};

#undef VANTOR_RECORD

inline constexpr Refusal kRefusals[] = {
    {&types::Context, "no default __reduce__ due to non-trivial __cinit__"},
    {&types::AsyncEvent, "self._ev cannot be converted to a Python object for pickling"},
    {&types::PD, "self._pd cannot be converted to a Python object for pickling"},
    {&types::MR, "self._mr cannot be converted to a Python object for pickling"},
    {&types::CompChannel, "self._chan cannot be converted to a Python object for pickling"},
    {&types::CQ, "self._cq cannot be converted to a Python object for pickling"},
    {&types::CQEx, "self._cqx,self._ecq cannot be converted to a Python object for pickling"},
    {&types::QP, "self._qp,self._qpx cannot be converted to a Python object for pickling"},
    {&types::AH, "self._ah cannot be converted to a Python object for pickling"},
};

}  // namespace vantor::pickling
