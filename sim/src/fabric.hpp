// The fabric between queue pairs: routes a request to the QP addressed by
// (GID, QPN) and reports its outcome back to the sender. The in-process
// fabric delivers synchronously inside ibv_wr_complete; another transport
// (between processes) plugs in behind the same interface.
#pragma once

#include "objects.hpp"

#include <cstdint>
#include <deque>
#include <mutex>

namespace vsim {

// Result of a request for its sender. `deferred` means the receiver kept it
// (waiting for a receive buffer) and completes it later.
struct Outcome {
    uint8_t status = IBV_WC_SUCCESS;
    uint8_t vendor = 0;
    bool deferred = false;
};

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
    kEfaUnknownPeer = 14,
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

// Sender side: writes the send completion and frees the request's slot.
void complete_send(const Transfer &t, uint8_t status, uint8_t vendor);

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
