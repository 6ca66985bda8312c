// The fields of every value record, each written once next to the others.
// A record's table lists its fields in declaration order: the plain
// read-only records get their attributes from it (readonly_members), and the
// same table sorted by name is the state every record pickles (by_name).
// Adding a field to a struct means adding it here; the pickle checksums in
// pickle_table.hpp then have to follow the new field list.
#pragma once

#include "completions.hpp"
#include "objects.hpp"
#include "pickle.hpp"
#include "qp.hpp"
#include "records.hpp"
#include "work_request.hpp"

#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace vantor::record_fields {

using pickling::Field;
using pickling::Kind;

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

constexpr Field with_doc(Field field, const char *doc)
{
    field.doc = doc;
    return field;
}

// Inside a table, Self names the record's struct. An integer field's kind
// follows the member's declared width; an object field names what it holds.
#define VANTOR_INT(member)                                                                         \
    Field { #member, integer_kind<decltype(Self::member)>(), offsetof(Self, member) }
// A field of a member struct of the record (`part.member`), named `member`.
#define VANTOR_INT_IN(part, member)                                                                \
    Field { #member, integer_kind<decltype(Self::part.member)>(), offsetof(Self, part.member) }
#define VANTOR_OBJ(member, kind)                                                                   \
    Field { #member, Kind::kind, offsetof(Self, member) }

struct Gid {
    using Self = GidObject;
    static constexpr Field fields[] = {VANTOR_OBJ(raw, Bytes)};
};

struct Device {
    using Self = DeviceObject;
    static constexpr Field fields[] = {VANTOR_OBJ(name, Str), VANTOR_INT(guid)};
};

struct DeviceAttr {
    using Self = DeviceAttrObject;
    static constexpr Field fields[] = {
        VANTOR_OBJ(fw_ver, Str), VANTOR_INT(node_guid),     VANTOR_INT(sys_image_guid),
        VANTOR_INT(max_mr_size), VANTOR_INT(vendor_id),     VANTOR_INT(vendor_part_id),
        VANTOR_INT(hw_ver),      VANTOR_INT(max_qp),        VANTOR_INT(max_qp_wr),
        VANTOR_INT(max_sge),     VANTOR_INT(max_cq),        VANTOR_INT(max_cqe),
        VANTOR_INT(max_mr),      VANTOR_INT(max_pd),        VANTOR_INT(max_ah),
        VANTOR_INT(max_pkeys),   VANTOR_INT(phys_port_cnt),
    };
};

struct EfaDeviceAttr {
    using Self = EfaDeviceAttrObject;
    static constexpr Field fields[] = {
        VANTOR_INT(max_sq_wr),     VANTOR_INT(max_rq_wr),       VANTOR_INT(max_sq_sge),
        VANTOR_INT(max_rq_sge),    VANTOR_INT(inline_buf_size), VANTOR_INT(device_caps),
        VANTOR_INT(max_rdma_size),
    };
};

struct PortAttr {
    using Self = PortAttrObject;
    static constexpr Field fields[] = {
        VANTOR_INT(state),          VANTOR_INT(max_mtu),
        VANTOR_INT(active_mtu),     VANTOR_INT(gid_tbl_len),
        VANTOR_INT(port_cap_flags), VANTOR_INT(max_msg_sz),
        VANTOR_INT(pkey_tbl_len),   VANTOR_INT(lid),
        VANTOR_INT(active_width),   VANTOR_INT(active_speed),
        VANTOR_INT(link_layer),
    };
};

struct MRAttr {
    using Self = MRAttrObject;
    static constexpr Field fields[] = {
        VANTOR_INT(ic_id_validity),
        VANTOR_INT(recv_ic_id),
        VANTOR_INT(rdma_read_ic_id),
        VANTOR_INT(rdma_recv_ic_id),
    };
};

struct AHAttr {
    using Self = AHAttrObject;
    static constexpr Field fields[] = {
        VANTOR_OBJ(dgid, Bytes), VANTOR_INT(flow_label),    VANTOR_INT(sgid_index),
        VANTOR_INT(hop_limit),   VANTOR_INT(traffic_class), VANTOR_INT(is_global),
        VANTOR_INT(port_num),
    };
};

struct _CQBase {
    using Self = CQBaseObject;
    static constexpr Field fields[] = {
        VANTOR_OBJ(context, Context),
        VANTOR_OBJ(channel, CompChannel),
        VANTOR_INT(_unacked),
    };
};

struct CQAttr {
    using Self = CQAttrObject;
    static constexpr Field fields[] = {
        with_doc(VANTOR_INT(buffer_addr),
                 "CQAttr.buffer_addr: int\n\nAddress of the queue's completion ring."),
        with_doc(VANTOR_INT(entry_size),
                 "CQAttr.entry_size: int\n\nSize of one ring entry in bytes."),
        with_doc(VANTOR_INT(num_entries),
                 "CQAttr.num_entries: int\n\nNumber of entries in the ring."),
        with_doc(VANTOR_INT(doorbell_addr),
                 "CQAttr.doorbell_addr: int\n\nAddress of the queue's doorbell register."),
    };
};

struct WC {
    using Self = WCObject;
    static constexpr Field fields[] = {
        VANTOR_INT_IN(fields, wr_id),    VANTOR_INT_IN(fields, status),
        VANTOR_INT_IN(fields, opcode),   VANTOR_INT_IN(fields, vendor_err),
        VANTOR_INT_IN(fields, byte_len), VANTOR_INT_IN(fields, imm_data),
        VANTOR_INT_IN(fields, qp_num),   VANTOR_INT_IN(fields, src_qp),
        VANTOR_INT_IN(fields, wc_flags), VANTOR_OBJ(sgid, Any),
        VANTOR_INT(unsolicited),
    };
};

struct QPCap {
    using Self = QPCapObject;
    static constexpr Field fields[] = {
        VANTOR_INT(max_send_wr),  VANTOR_INT(max_recv_wr),     VANTOR_INT(max_send_sge),
        VANTOR_INT(max_recv_sge), VANTOR_INT(max_inline_data),
    };
};

struct WQAttr {
    using Self = WQAttrObject;
    static constexpr Field fields[] = {
        VANTOR_INT(buffer_addr),   VANTOR_INT(entry_size), VANTOR_INT(num_entries),
        VANTOR_INT(doorbell_addr), VANTOR_INT(max_batch),
    };
};

struct SGE {
    using Self = SGEObject;
    static constexpr Field fields[] = {
        VANTOR_INT(addr),
        VANTOR_INT(length),
        VANTOR_INT(lkey),
        VANTOR_OBJ(owner, Any),
    };
};

struct SendWR {
    using Self = SendWRObject;
    static constexpr Field fields[] = {
        VANTOR_INT(wr_id),       VANTOR_OBJ(sg_list, List), VANTOR_INT(opcode),
        VANTOR_INT(send_flags),  VANTOR_INT(remote_addr),   VANTOR_INT(rkey),
        VANTOR_INT(imm_data),    VANTOR_OBJ(ah, Any),       VANTOR_INT(remote_qpn),
        VANTOR_INT(remote_qkey),
    };
};

struct RecvWR {
    using Self = RecvWRObject;
    static constexpr Field fields[] = {VANTOR_INT(wr_id), VANTOR_OBJ(sg_list, List)};
};

#undef VANTOR_INT
#undef VANTOR_INT_IN
#undef VANTOR_OBJ

constexpr int member_type(Kind kind)
{
    switch (kind) {
    case Kind::Int32:
        return T_INT;
    case Kind::UInt8:
        return T_UBYTE;
    case Kind::UInt16:
        return T_USHORT;
    case Kind::UInt32:
        return T_UINT;
    case Kind::UInt64:
        return T_ULONGLONG;
    default:
        return T_OBJECT;
    }
}

// The read-only attribute table of a record, terminated as Python expects.
template <size_t N>
constexpr std::array<PyMemberDef, N + 1> readonly_members(const Field (&fields)[N])
{
    std::array<PyMemberDef, N + 1> members{};
    for (size_t i = 0; i < N; ++i) {
        members[i] = {fields[i].name, member_type(fields[i].kind),
                      static_cast<Py_ssize_t>(fields[i].offset), READONLY, fields[i].doc};
    }
    return members;
}

// The pickled state's order: field names sorted bytewise.
template <size_t N>
constexpr std::array<Field, N> by_name(const Field (&fields)[N])
{
    std::array<Field, N> sorted{};
    std::copy(std::begin(fields), std::end(fields), sorted.begin());
    std::sort(sorted.begin(), sorted.end(), [](const Field &a, const Field &b) {
        return std::string_view(a.name) < std::string_view(b.name);
    });
    return sorted;
}

}  // namespace vantor::record_fields
