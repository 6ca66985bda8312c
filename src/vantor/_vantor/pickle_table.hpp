// Which records pickle, with which checksums, and which classes refuse. The
// fields come from record_fields.hpp. The checksums identify each class's
// field list and are part of the pickle format: never change them.
#pragma once

#include "module_types.hpp"
#include "pickle.hpp"
#include "record_fields.hpp"

#include <iterator>

namespace vantor::pickling {

// A record's pickled state: its field table in name order.
template <const auto &fields>
inline constexpr auto kState = record_fields::by_name(fields);

#define VANTOR_RECORD(name, a, b, c)                                                               \
    Record                                                                                         \
    {                                                                                              \
        #name, &types::name, {a, b, c}, kState<record_fields::name::fields>.data(),                \
            std::size(record_fields::name::fields)                                                 \
    }

inline constexpr Record kRecords[] = {
    VANTOR_RECORD(Gid, 0xd7439be, 0xce15802, 0xbdd166a),
    VANTOR_RECORD(Device, 0xb3e44a, 0x59d7ea4, 0x13a36f5),
    VANTOR_RECORD(DeviceAttr, 0x852cc6a, 0xda4b224, 0x7e89f58),
    VANTOR_RECORD(EfaDeviceAttr, 0x247b434, 0x72206ae, 0x6f47129),
    VANTOR_RECORD(PortAttr, 0x461c2ae, 0x8ff0da4, 0xc3f35a6),
    VANTOR_RECORD(MRAttr, 0x998af09, 0xf9b586, 0xdcfa448),
    VANTOR_RECORD(AHAttr, 0x5e7f9b7, 0xb792b1c, 0x6da867f),
    VANTOR_RECORD(_CQBase, 0x23313a3, 0x367ed42, 0x9f58b73),
    VANTOR_RECORD(CQAttr, 0x3ef4dc5, 0xcf2c477, 0x6e69141),
    VANTOR_RECORD(WC, 0x4180b13, 0x4e5b945, 0x1ac9cd6),
    VANTOR_RECORD(QPCap, 0xf462d78, 0x1e10eeb, 0xa3de3b1),
    VANTOR_RECORD(WQAttr, 0xfaa3225, 0xf17bb9c, 0x6fe4336),
    VANTOR_RECORD(SGE, 0xe625cd1, 0xeb12b9e, 0x6a5deb),
    VANTOR_RECORD(SendWR, 0xd5e7d62, 0x3fb60e9, 0x2ca7207),
    VANTOR_RECORD(RecvWR, 0x716ec8f, 0x2ed0f3, 0xab7de9f),
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
