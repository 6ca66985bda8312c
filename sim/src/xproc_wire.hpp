// What two processes say to each other. Both ends run on one host with one
// build, so records travel in the machine's own layout; the hello's magic
// and version guard the rest.
//
// The socket carries one hello from the process that connected (with the
// shared segment attached), then single wake-up bytes. The rings carry
// frames: a header, a record, and for requests and read outcomes the data
// (a large read's data in pieces of its own before the outcome).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsim::wire {

constexpr uint32_t kMagic = 0x4d495356;  // "VSIM"
constexpr uint16_t kVersion = 3;
// The largest body a frame may announce: an RDMA transfer of up to 4 GiB.
constexpr uint64_t kMaxBody = (uint64_t{1} << 32) + 256;

// kSkip: no record; its body is the rest of the ring's lap, never
// written (the writer went back to the start of the ring).
// kWriteData: a piece of a large RDMA write, as a request of its own (a
// plain write of the piece) that gets no outcome; the request itself
// follows the pieces without data (Req::flags kStreamed).
enum FrameType : uint8_t {
    kReq = 2,
    kResp = 3,
    kCancel = 4,
    kReadData = 5,
    kSkip = 6,
    kWriteData = 7
};
enum ReqFlags : uint8_t { kStreamed = 1, kLocalFault = 2 };

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
    uint8_t opcode, srd, rnr_wait, reply, flags;
    uint8_t sgid[16], dgid[16];
};
struct Resp {
    uint64_t id;
    uint8_t status, vendor;
    uint8_t pad[6];
};
// A piece of a large read's data, ahead of its response (which then
// carries none): the target copies it out of its memory as the ring makes
// room, and the initiator puts it in place as it comes.
struct ReadData {
    uint64_t id, off;
};
struct Cancel {
    uint32_t src_qpn;
    uint32_t pad;
};

}  // namespace vsim::wire
