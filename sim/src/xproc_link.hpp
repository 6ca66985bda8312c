// The transport between processes, inside: connections (xproc_conn.cpp),
// the request protocol (xproc_protocol.cpp), who moves the traffic
// (xproc_progress.cpp) and what a fork does to it (xproc_fork.cpp).
#pragma once

#include "fabric.hpp"
#include "transport.hpp"
#include "xproc_ring.hpp"
#include "xproc_wire.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vsim {

// Writes a frame's body straight into its destination (the ring, or a
// queued copy when the ring has no room).
struct Filler {
    void (*fn)(const void *ctx, unsigned char *out) = nullptr;
    const void *ctx = nullptr;
    std::size_t len = 0;
};

// The data of a large RDMA read, still to be copied out of this process's
// memory. It goes out in pieces as the ring makes room, the key checked
// again for every piece (the memory may be deregistered meanwhile, which
// ends the read with the error a device gives for a bad key), so that the
// read is not copied twice and the initiator places it as it comes.
struct ReadStream {
    uint64_t id = 0;   // the initiator's request
    Pd *pd = nullptr;  // of the target QP: the key must still belong to it
    uint32_t rkey = 0;
    uint64_t raddr = 0, len = 0, off = 0;
    uint8_t status = 0, vendor = 0;  // of the outcome sent after the data
};

// A large RDMA write still in this process's memory: its pieces go out as
// the ring makes room (the local entries looked up again for each), then
// the request without data. A flushed QP takes its streams back.
struct WriteStream {
    Transfer t;
    wire::Req req;
    uint64_t off = 0;
};

// An output frame the ring had no room for: its bytes, or data still in
// this process's memory.
struct OutFrame {
    std::vector<unsigned char> bytes;
    std::unique_ptr<ReadStream> stream;
    std::unique_ptr<WriteStream> wstream;
};

// What the pieces of a large write from another process came to so far.
struct WriteIn {
    uint64_t placed = 0;
    uint8_t status = 0, vendor = 0;  // the first piece that failed
    uint32_t src_qpn = 0;
};

// A connection with another process. Either side may have opened it; it
// carries requests and outcomes both ways.
struct Conn {
    uint64_t id = 0;
    int fd = -1;
    std::atomic<int> peer_slot{-1};   // known once the opener said hello
    std::atomic<bool> broken{false};  // the peer is gone: no further use
    Segment seg;                      // mapped once both sides know it

    // Output side (mtx): frames the ring had no room for.
    std::mutex mtx;
    std::deque<OutFrame> out;
    std::size_t out_off = 0;
    bool closed = false;
    std::atomic<bool> dirty{false};  // `out` holds frames

    // Input side, only touched by the thread holding the io lock.
    std::vector<unsigned char> in;  // a frame larger than the ring, collected
    std::size_t in_len = 0;
    std::size_t in_need = 0;
    bool greeted = false;  // the opener's hello (and segment) arrived
    unsigned char hello[sizeof(wire::Hello)];
    std::size_t hello_len = 0;
    int hello_fd = -1;  // the segment, until the hello is whole

    ~Conn();

    void wake();  // one byte on the socket: the peer sleeps or waits for room
};
using ConnPtr = std::shared_ptr<Conn>;

// A request sent to another process whose outcome has not come back.
struct Pending {
    Qp *src;
    uint32_t slot;
    uint64_t conn;
    uint64_t streamed = 0;  // bytes of a read's data put in place so far
    bool lost = false;      // a piece found its local memory gone
};

struct PeerSlot {
    ConnPtr conn;
    bool known = false;  // a process once answered on this slot
};

class Transport final : public Remote {
public:
    std::string host;
    int slot = -1;
    int listen_fd = -1;
    int ep = -1;

    // Lock order: io_mtx, world().mtx, state_mtx, Conn::mtx.
    std::mutex io_mtx;     // reading input, tearing down
    std::mutex state_mtx;  // conns, peers, pending
    std::unordered_map<uint64_t, ConnPtr> conns;
    PeerSlot peers[kXprocSlots];
    std::map<uint64_t, Pending> pending;  // by request id, i.e. in submission order
    uint64_t next_conn = 1;               // 0 names the listening socket in epoll
    std::atomic<uint64_t> next_req{1};
    std::atomic<uint64_t> conns_gen{0};  // bumped whenever `conns` changes

    static Transport *start(const std::string &host);

    // Remote
    bool submit(const Transfer &t) override;
    void respond(const RemoteReq &r, uint8_t status, uint8_t vendor, const unsigned char *data,
                 uint64_t len) override;
    void take_from(Qp *qp, std::deque<Transfer> &out) override;
    void progress() override;
    bool wait(int fd) override;

    // Connections (xproc_conn.cpp).
    ConnPtr peer(int peer_slot, bool &known);
    ConnPtr find(uint64_t id);
    bool send(Conn &c, uint8_t type, const void *rec, std::size_t rec_len, Filler data = {});
    void flush_dirty();
    // Writes what `c` queued as far as the ring has room. Whoever drains a
    // socket's wake-up bytes calls it: one of them may have been the
    // reader's "room again" for this queue, and if nobody acts on it the
    // queue waits for a wake-up that already came.
    void flush(Conn &c);
    // Sends a read's data out of this process's memory, then its outcome.
    // Caller holds the world lock shared.
    bool stream_read(Conn &c, const RemoteReq &r, Pd *pd);
    // Sends a write's data in pieces, then the request. Caller holds the
    // world lock shared.
    bool stream_write(Conn &c, const Transfer &t, const wire::Req &req);
    bool queue_stream(Conn &c, OutFrame f);
    void enqueue_locked(Conn &c, OutFrame f, bool world_held);
    void accept_all();
    bool read_socket(const ConnPtr &c);
    bool read_ring(const ConnPtr &c, bool &got);
    void add_conn_locked(const ConnPtr &c);
    void drop_conn_locked(const ConnPtr &c);

    // Protocol (xproc_protocol.cpp).
    bool on_frame(const ConnPtr &c, uint8_t type, const unsigned char *body, uint64_t len);
    void teardown(const ConnPtr &c);

    // Progress (xproc_progress.cpp).
    void run();
    // Stays on the rings without sleeping while frames keep coming.
    void linger();
    // Serves every connection; true when anything arrived. Caller holds
    // io_mtx.
    bool serve_locked(bool poll_sockets);
    // Asks every peer to wake this process for its next bytes; false when
    // some arrived meanwhile.
    bool arm_locked();
    // serve_locked(), then, while a thread sleeps waiting for bytes, arms
    // the rings again: the wake-up a peer sent for that thread may have
    // been taken by this one, and the sleeper must hear of the next bytes.
    bool serve_rearm_locked(bool poll_sockets);
    std::atomic<int> sleepers{0};  // threads blocked until a peer wakes them

    std::atomic<int> ndirty{0};

private:
    bool on_request(const ConnPtr &c, const unsigned char *body, uint64_t len);
    bool on_response(const ConnPtr &c, const unsigned char *body, uint64_t len);
    bool on_cancel(const ConnPtr &c, const unsigned char *body, uint64_t len);
    bool on_read_data(const ConnPtr &c, const unsigned char *body, uint64_t len);
    bool on_write_data(const ConnPtr &c, const unsigned char *body, uint64_t len);
    // Applies the device's rules to a request for a QP of this process.
    // Caller holds the world lock shared.
    Outcome deliver(RemoteReq &r, ReadSpan &read, Qp *&dst);

    // Writes from other processes whose pieces are arriving, by connection
    // and request id (io lock).
    std::map<std::pair<uint64_t, uint64_t>, WriteIn> writes_in_;
    void drop_waiting(uint64_t conn, bool any_src, uint32_t src_qpn);
    void forget_writes_in(uint64_t conn, bool any_src, uint32_t src_qpn);
    void forget_pending(uint64_t id, const Transfer &t);
    void handle_events(int timeout_ms);

    // The progress thread's: until when it sleeps between requests.
    uint64_t no_linger_until_ = 0;

    // Read by the serving thread only (io lock).
    std::vector<ConnPtr> snap_;
    uint64_t snap_gen_ = ~uint64_t{0};
    friend void refresh_snapshot(Transport &tp);
};

// The process's transport, null before it joined its host (or in a child
// after fork, until it joins again).
Transport *transport();

// Configuration shared by joining and the fork hooks (xproc_fork.cpp).
extern std::mutex g_cfg_mtx;
extern std::atomic<Transport *> g_tp;
extern bool g_join_failed;
void install_fork_hooks();

}  // namespace vsim
