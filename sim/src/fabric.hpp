// The fabric between queue pairs: routes a request to the QP addressed by
// (GID, QPN) and reports its outcome back to the sender. The in-process
// fabric delivers synchronously inside ibv_wr_complete; another transport
// (between processes) plugs in behind the same interface.
#pragma once

#include "objects.hpp"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace vsim {

// Result of a request for its sender. `deferred` means the receiver kept it
// (waiting for a receive buffer) and completes it later.
struct Outcome {
    uint8_t status = IBV_WC_SUCCESS;
    uint8_t vendor = 0;
    bool deferred = false;
};

// Bytes the device reserves at the start of every UD receive buffer (the
// size of a GRH).
constexpr uint64_t kUdGrhBytes = 40;

// EFA completion status numbers (vendor_err).
enum EfaStatus : uint8_t {
    kEfaOk = 0,
    kEfaFlushed = 1,
    kEfaInvalidLkey = 5,
    kEfaBadLength = 6,
    kEfaRemoteBadAddress = 7,
    kEfaRemoteBadDestQpn = 9,
    kEfaRemoteRnr = 10,
    kEfaRemoteBadLength = 11,
    kEfaRemoteBadStatus = 12,
    kEfaUnresponsiveRemote = 13,
    kEfaUnknownPeer = 14,
};

// A request that arrived from another process (see transport.hpp): the
// sender's description of it and its payload, kept until the receiver is
// done with it. The response goes back on connection `conn`.
struct RemoteReq {
    uint64_t conn = 0;  // transport connection it came on
    uint64_t id = 0;    // the sender's request id, echoed in the response
    int opcode = 0;
    bool srd = true;
    bool rnr_wait = false;  // the sender retries RNR forever (rnr_retry 7)
    bool reply = true;      // SRD: the sender waits for an outcome
    uint32_t imm = 0, rkey = 0, rqkey = 0, src_qpn = 0, dst_qpn = 0;
    uint64_t raddr = 0, len = 0;
    ibv_gid sgid{}, dgid{};
    // SEND/WRITE data: `data` points into the transport's input buffer
    // until keep() copies it into `payload`, as a request that waits must.
    const unsigned char *data = nullptr;
    uint64_t data_len = 0;
    std::vector<unsigned char> payload;

    void keep()
    {
        if (data_len && data != payload.data()) {
            payload.assign(data, data + data_len);
            data = payload.data();
        }
    }
};

class Fabric {
public:
    virtual ~Fabric() = default;
    // Carries a validated request to its destination. The caller holds the
    // world lock shared. Exactly one sender completion results, now or later.
    virtual void submit(const Transfer &t) = 0;
    // Takes out every request of `qp` the fabric still holds; the caller
    // completes or drops them.
    virtual void take_from(Qp *qp, std::deque<Transfer> &out) = 0;
};

Fabric &fabric();

// Delivery control used by tests: hold requests, release them in order or
// reversed, or reverse the next `n`.
void fabric_hold(bool on);
int fabric_release(bool reverse);
void fabric_reverse_next(int n);
int fabric_held();

// Sender side: checks a request against the sender's own memory and
// limits; false with the error completion to report when it cannot go out.
bool check_local(Qp *qp, SendWqe &w, Outcome &bad);

// Receiver side: applies a request to `dst`. Caller holds the world lock
// shared and no QP lock.
Outcome accept(Qp *dst, const Transfer &t);

// The same for a request of another process. RDMA read data lands in
// `read_data`. When the outcome is deferred, `r` was moved into a copy that
// `dst` keeps until a receive is posted.
Outcome accept_remote(Qp *dst, RemoteReq &r, std::vector<unsigned char> &read_data);

// The local QP a request for (gid, qpn) goes to, or null. Caller holds the
// world lock shared.
Qp *route_local(const ibv_gid &gid, uint32_t qpn);

// The sender's payload of a checked request, copied out (SEND/WRITE).
void gather_payload(const Transfer &t, std::vector<unsigned char> &out);

// Scatters the data an RDMA read brought back into the request's local
// entries; false when one of them is no longer writable.
bool scatter_read(const Transfer &t, const unsigned char *data, uint64_t len);

// Sender side: writes the send completion and frees the request's slot.
void complete_send(const Transfer &t, uint8_t status, uint8_t vendor);

// Gives a send slot back to its queue, from any thread.
void release_slot(Qp *qp, uint32_t slot);

// Hands received-but-waiting requests to newly posted receives.
void drain_waiting(Qp *dst);

// Removes requests of `qp` (as sender) from the fabric and from every
// peer; they complete as flushed, or vanish when `drop` is set. The caller
// holds the world lock exclusively.
void purge_sender_locked(Qp *qp, bool drop);
// Fails requests waiting at `qp` (as receiver) back to their senders. The
// caller holds the world lock exclusively.
void purge_receiver_locked(Qp *qp);

}  // namespace vsim
