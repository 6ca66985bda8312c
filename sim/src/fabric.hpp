// The fabric between queue pairs: routes a request to the QP addressed by
// (GID, QPN), applies the device's delivery rules and reports the outcome
// back to the sender. A QP of this process is served synchronously inside
// ibv_wr_complete; a QP of another process is reached through the Remote
// interface below, which the transport between processes implements.
#pragma once

#include "objects.hpp"

#include <atomic>
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

// The way to the queue pairs of other processes. The transport between
// processes implements it and installs itself (set_remote) when the process
// joins its host; the fabric, the CQs and the completion channels reach it
// only through this interface.
class Remote {
public:
    virtual ~Remote() = default;
    // Carries a checked request whose QP number belongs to another process;
    // false when no process serves it (the caller answers as for an unknown
    // QP). Exactly one sender completion results, now or later. The caller
    // holds the world lock shared.
    virtual bool submit(const Transfer &t) = 0;
    // The outcome of a request of another process, back to its sender (RDMA
    // read data in `data`); nothing for a datagram.
    virtual void respond(const RemoteReq &r, uint8_t status, uint8_t vendor,
                         const unsigned char *data, uint64_t len) = 0;
    // Takes the requests of `qp` still waiting for an outcome from another
    // process (their receivers are told to forget them). World lock
    // exclusive.
    virtual void take_from(Qp *qp, std::deque<Transfer> &out) = 0;
    // Serves what other processes sent, without waiting; for threads that
    // poll a CQ.
    virtual void progress() = 0;
    // Blocks until `fd` is readable, serving other processes meanwhile.
    // False with errno set when poll() fails.
    virtual bool wait(int fd) = 0;
};

void set_remote(Remote *r);  // null: this process reaches no other
Remote *remote();

// Set by the remote side while some other process is connected: pollers
// then drive its progress (one relaxed load on the empty-poll path).
extern std::atomic<bool> g_remote_active;
inline bool remote_active() { return g_remote_active.load(std::memory_order_relaxed); }

// Moves other processes' traffic for a thread that polls a CQ.
void fabric_progress();
// Blocks until `fd` is readable (serving other processes meanwhile); false
// with errno set when poll() fails.
bool fabric_wait(int fd);

// Sender side: one request to its destination, in this process or another.
// The caller holds the world lock shared.
void fabric_submit(const Transfer &t);

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

// The same for a request of another process. For an RDMA read, `read`
// points at the remote memory to return (valid while the world lock is
// held). When the outcome is deferred, `r` was moved into a copy that `dst`
// keeps until a receive is posted.
struct ReadSpan {
    const unsigned char *p = nullptr;
    uint64_t len = 0;
};
Outcome accept_remote(Qp *dst, RemoteReq &r, ReadSpan &read);

// The local QP a request for (gid, qpn) goes to, or null. Caller holds the
// world lock shared.
Qp *route_local(const ibv_gid &gid, uint32_t qpn);

// The sender's payload of a checked request (SEND/WRITE), copied to `out`
// (w.len bytes).
void gather_payload(const Transfer &t, unsigned char *out);

// Scatters the data an RDMA read brought back into the request's local
// entries; false when one of them is no longer writable.
bool scatter_read(const Transfer &t, const unsigned char *data, uint64_t len);
// The same for the `len` bytes at offset `off` of the read's data: only the
// entries they land in are looked up. Caller holds the world lock shared.
bool scatter_read_at(const Transfer &t, uint64_t off, const unsigned char *data, uint64_t len);

// Copies bytes [off, off + len) of a request's payload out of its local
// entries; false when one of them is no longer registered. Caller holds the
// world lock shared.
bool gather_payload_at(const Transfer &t, uint64_t off, unsigned char *out, uint64_t len);

// Target side: the memory an RDMA read of [addr, addr + len) under `rkey`
// reads, or null when the key (of `pd`) no longer allows it. Caller holds
// the world lock shared.
const unsigned char *remote_read_span(Pd *pd, uint32_t rkey, uint64_t addr, uint64_t len);

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
