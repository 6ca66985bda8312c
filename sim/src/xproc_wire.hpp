// What two processes say to each other. Both ends run on one host with one
// build, so records travel in the machine's own layout; the hello's magic
// and version guard the rest.
//
// The socket carries one hello from the process that connected (with the
// shared segment attached), then single wake-up bytes. The rings carry
// frames: a header, a record, and for requests and read outcomes the data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsim::wire {

constexpr uint32_t kMagic = 0x4d495356;  // "VSIM"
constexpr uint16_t kVersion = 2;
// The largest body a frame may announce: an RDMA transfer of up to 4 GiB.
constexpr uint64_t kMaxBody = (uint64_t{1} << 32) + 256;

enum FrameType : uint8_t { kReq = 2, kResp = 3, kCancel = 4 };

struct FrameHdr {
    uint64_t len;  // bytes of body that follow
    uint8_t type;
    uint8_t pad[7];
};
struct Hello {
    uint32_t magic;
    uint16_t version;
    uint16_t slot;
    uint32_t pid;
    uint32_t ring_bytes;  // capacity of each ring of the segment
};
struct Req {
    uint64_t id, raddr, len;
    uint32_t imm, rkey, rqkey, src_qpn, dst_qpn;
    uint8_t opcode, srd, rnr_wait, reply;
    uint8_t sgid[16], dgid[16];
};
struct Resp {
    uint64_t id;
    uint8_t status, vendor;
    uint8_t pad[6];
};
struct Cancel {
    uint32_t src_qpn;
    uint32_t pad;
};

}  // namespace vsim::wire
