// The simulator's objects. Each one starts with the public verbs structure
// that the application holds a pointer to, so the pointer converts back to
// the object; nothing here has virtual functions.
#pragma once

#include "config.hpp"
#include "efadv.hpp"
#include "event_queue.hpp"
#include "lock.hpp"

#include <infiniband/verbs.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace vsim {

struct Cq;
struct Qp;

// Events handed out and acknowledged for one object; destroying the object
// waits until both sides agree, like libibverbs does.
struct EventTally {
    std::mutex mtx;
    std::condition_variable cv;
    uint32_t comp_reported = 0, comp_acked = 0;
    uint32_t async_reported = 0, async_acked = 0;

    void report(bool comp);
    void ack(bool comp, uint32_t n);
    bool settled_locked() const
    {
        return comp_reported == comp_acked && async_reported == async_acked;
    }
    // False when unacknowledged events remain after the configured timeout.
    bool wait_settled();
};

struct Context {
    verbs_context vctx;  // first; the application sees &vctx.context
    Device *dev = nullptr;
    uint32_t id = 0;
    EventQueue<ibv_async_event> async;
    std::atomic<int> children{0};  // PDs, CQs, channels
};

inline Context *to_ctx(ibv_context *c)
{
    return reinterpret_cast<Context *>(reinterpret_cast<char *>(c) -
                                       offsetof(verbs_context, context));
}
inline ibv_context *pub(Context *c) { return &c->vctx.context; }

struct GidKey {
    uint64_t hi, lo;
    bool operator==(const GidKey &) const = default;
};
GidKey gid_key(const ibv_gid &g);

struct Pd {
    ibv_pd pd;  // first
    Context *ctx = nullptr;
    std::atomic<int> mrs{0}, qps{0}, ahs{0};
    Lock ah_mtx;
    std::vector<std::pair<GidKey, int>> ah_gids;  // GID -> count of AHs
    bool has_ah_for(const ibv_gid &g);
};
inline Pd *to_pd(ibv_pd *p) { return reinterpret_cast<Pd *>(p); }

struct Mr {
    ibv_mr mr;  // first
    Pd *pd = nullptr;
    uint64_t iova = 0;
    unsigned char *host = nullptr;  // where iova maps to in this process
    std::size_t len = 0;
    int access = 0;
    void *map_base = nullptr;  // dma-buf mapping owned by the region
    std::size_t map_len = 0;
};
inline Mr *to_mr(ibv_mr *m) { return reinterpret_cast<Mr *>(m); }

struct Ah {
    ibv_ah ah;  // first
    Pd *pd = nullptr;
    ibv_gid dgid{};
    uint16_t ahn = 0;
};
inline Ah *to_ah(ibv_ah *a) { return reinterpret_cast<Ah *>(a); }

struct Channel {
    ibv_comp_channel ch;  // first
    Context *ctx = nullptr;
    EventQueue<Cq *> events;
    std::atomic<int> cqs{0};
};
inline Channel *to_chan(ibv_comp_channel *c) { return reinterpret_cast<Channel *>(c); }

// One 32-byte completion entry of a CQ ring.
struct Cqe {
    uint64_t wr_id;
    uint32_t byte_len;
    uint32_t imm;  // network order
    uint32_t qp_num;
    uint32_t src_qp;
    uint8_t status;
    uint8_t opcode;
    uint8_t wc_flags;
    uint8_t vendor_err;
    uint8_t flags;  // kCqeSgid, kCqeUnsolicited
    uint8_t reserved[3];
};
static_assert(sizeof(Cqe) == 32);
constexpr uint8_t kCqeSgid = 1;         // sender GID reportable
constexpr uint8_t kCqeUnsolicited = 2;  // write with immediate, no receive used

struct Cq {
    ibv_cq_ex cqx;  // first; also the ibv_cq
    efadv_cq ecq{};
    Context *ctx = nullptr;
    Channel *chan = nullptr;
    uint64_t wc_flags = 0;
    uint64_t efa_flags = 0;
    uint32_t num_entries = 0, mask = 0;
    Cqe *ring = nullptr;
    ibv_gid *sgids = nullptr;
    // The QP whose send-queue slot each entry holds (null for receive
    // completions): polling the entry gives the slot back to that QP.
    Qp **senders = nullptr;
    alignas(8) uint32_t doorbell = 0;

    Lock mtx;
    std::atomic<uintptr_t> owner{0};  // self_id() of the thread inside a poll batch
    uint64_t head = 0, tail = 0;      // consumer, producer
    uint64_t cur = 0;
    bool cur_valid = false;
    bool armed = false;
    bool overflowed = false;

    std::atomic<int> qps{0};
    EventTally tally;
};
inline Cq *to_cq(ibv_cq *c) { return reinterpret_cast<Cq *>(c); }
inline Cq *to_cq(ibv_cq_ex *c) { return reinterpret_cast<Cq *>(c); }
inline Cq *to_cq(efadv_cq *e)
{
    return reinterpret_cast<Cq *>(reinterpret_cast<char *>(e) - sizeof(ibv_cq_ex));
}
static_assert(sizeof(ibv_cq_ex) % alignof(efadv_cq) == 0);

// One send work request as built by the wr_* calls.
struct SendWqe {
    uint64_t wr_id;
    unsigned flags;
    int opcode;  // enum ibv_wr_opcode
    uint32_t imm;
    uint32_t rkey;
    uint64_t raddr;
    ibv_gid dgid;  // copied from the AH: the AH may go before delivery
    uint32_t ahn;
    uint32_t rqpn, rqkey;
    uint64_t len;  // payload length, known once the request is checked
    uint32_t nsge;
    bool inl;
    bool has_dest;
    int err;  // latched error of this request
    uint32_t inl_len;
    ibv_sge *sge;          // slot's entries (max_send_sge of them)
    unsigned char *idata;  // slot's inline buffer
};

struct RecvWqe {
    uint64_t wr_id;
    uint32_t nsge;
    ibv_sge *sge;
};

struct RemoteReq;

// A request on its way, handed to the fabric: the sender QP and the slot
// that holds the request stay reserved until the request completes. A
// request that came from another process has no local sender: `remote`
// carries it instead (and belongs to whoever holds the Transfer).
struct Transfer {
    Qp *src;
    uint32_t slot;
    RemoteReq *remote = nullptr;
};

struct Qp {
    ibv_qp_ex qpx;  // first; also the ibv_qp
    Pd *pd = nullptr;
    Context *ctx = nullptr;
    Cq *scq = nullptr, *rcq = nullptr;
    bool srd = true;
    bool extended = true;  // created with send_ops_flags
    uint64_t send_ops = 0;
    bool sig_all = false;
    bool unsolicited_write_recv = false;
    uint8_t sl = 0;
    ibv_qp_cap cap{};
    ibv_gid gid{};  // the local device's address

    std::atomic<int> state{IBV_QPS_RESET};
    uint32_t qkey = 0, sq_psn = 0;
    uint16_t pkey_index = 0;
    uint8_t port = 0;
    uint8_t rnr_retry = 0;

    // Send queue: the lock is held from wr_start to wr_complete/wr_abort.
    Lock sq_mtx;
    std::atomic<uintptr_t> sq_owner{0};  // self_id() of the thread holding sq_mtx
    std::vector<SendWqe> sq;
    std::vector<ibv_sge> sq_sges;
    std::vector<unsigned char> sq_inline;
    std::vector<uint32_t> batch;  // slots of the open batch, in order
    int batch_err = 0;
    bool in_batch = false;
    bool no_current = false;  // the last opcode call found the queue full
    // Free slots. The thread holding sq_mtx takes them from `free_slots`
    // and puts back the slots of requests it completes itself (the usual
    // case: delivery happens inside wr_complete) without another lock.
    // Slots freed by other threads (late deliveries, replies from other
    // processes, purges) wait in `returned` until the queue runs dry.
    std::vector<uint32_t> free_slots;  // guarded by sq_mtx
    Lock slot_mtx;                     // guards returned
    std::vector<uint32_t> returned;
    std::atomic<uint32_t> returned_n{0};  // returned.size(), read without the lock
    std::atomic<int> deferred{0};         // requests held by the fabric or a peer
    // Requests submitted whose completion has not been polled yet: the
    // provider frees a send-queue slot only when a poll of the send CQ
    // processes its completion, so this, not the free slots, bounds posting.
    std::atomic<uint32_t> sq_unpolled{0};

    // Receive queue.
    Lock rq_mtx;
    std::vector<RecvWqe> rq;
    std::vector<ibv_sge> rq_sges;
    uint32_t rq_head = 0, rq_count = 0;
    std::deque<Transfer> waiting;  // arrived before a receive was posted
    // Ring position `k` steps after the head (k <= rq.size()), without a
    // division on the data path.
    uint32_t rq_index(uint32_t k) const
    {
        const uint32_t i = rq_head + k, n = static_cast<uint32_t>(rq.size());
        return i >= n ? i - n : i;
    }
    std::atomic<int> waiting_n{0};

    EventTally tally;
};
inline Qp *to_qp(ibv_qp *q) { return reinterpret_cast<Qp *>(q); }
inline Qp *to_qp(ibv_qp_ex *q) { return reinterpret_cast<Qp *>(q); }

}  // namespace vsim
