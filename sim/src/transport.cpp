// The transport between processes (see transport.hpp): joining the host,
// connections, the wire format, the progress thread, and what happens when
// a peer process goes away.
#include "transport.hpp"

#include "ops.hpp"
#include "world.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <unordered_map>

namespace vsim {

std::atomic<bool> g_xproc_peers{false};

namespace {

constexpr uint32_t kMagic = 0x4d495356;  // "VSIM"
constexpr uint16_t kVersion = 1;
// The largest body a frame may announce: an RDMA transfer of up to 4 GiB.
constexpr uint64_t kMaxBody = (uint64_t{1} << 32) + 256;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kConnectTimeoutSec = 2;
constexpr std::size_t kMaxHostLen = 64;
constexpr uint64_t kHandOverNs = 1000000;  // see Transport::run

enum FrameType : uint8_t { kHello = 1, kReq = 2, kResp = 3, kCancel = 4 };

// Both ends run on one host with one build, so the records travel in the
// machine's own layout; the hello's magic and version guard the rest.
struct FrameHdr {
    uint64_t len;  // bytes of body that follow
    uint8_t type;
    uint8_t pad[7];
};
struct HelloWire {
    uint32_t magic;
    uint16_t version;
    uint16_t slot;
    uint32_t pid;
    uint32_t pad;
};
struct ReqWire {
    uint64_t id, raddr, len;
    uint32_t imm, rkey, rqkey, src_qpn, dst_qpn;
    uint8_t opcode, srd, rnr_wait, reply;
    uint8_t sgid[16], dgid[16];
};
struct RespWire {
    uint64_t id;
    uint8_t status, vendor;
    uint8_t pad[6];
};
struct CancelWire {
    uint32_t src_qpn;
    uint32_t pad;
};

// A connection with another process. Either side may have opened it; it
// carries requests and outcomes both ways.
struct Conn {
    uint64_t id = 0;
    int fd = -1;
    std::atomic<int> peer_slot{-1};   // known once the opener said hello
    std::atomic<bool> broken{false};  // a write failed: no further use
    // Output side: frames not yet taken by the socket.
    std::mutex mtx;
    std::deque<std::vector<unsigned char>> out;
    std::size_t out_off = 0;
    bool closed = false;
    bool armed = false;              // EPOLLOUT asked for: the progress side writes
    std::atomic<bool> dirty{false};  // holds frames nobody tried to write yet
    // Input side, only touched by the thread holding the io lock.
    std::vector<unsigned char> in;
    std::size_t in_len = 0;
    bool greeted = false;
};
using ConnPtr = std::shared_ptr<Conn>;

// A request sent to another process whose outcome has not come back.
struct Pending {
    Qp *src;
    uint32_t slot;
    uint64_t conn;
};

struct PeerSlot {
    ConnPtr conn;
    bool known = false;  // a process once answered on this slot
};

bool valid_host(const char *name)
{
    const std::size_t n = name ? std::strlen(name) : 0;
    if (n == 0 || n > kMaxHostLen)
        return false;
    for (std::size_t k = 0; k < n; ++k) {
        const char c = name[k];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return false;
    }
    return true;
}

socklen_t slot_address(const std::string &host, int slot, sockaddr_un &a)
{
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    // Abstract namespace: the leading NUL; the name is not NUL-terminated.
    const int n = std::snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "vantor-sim/%u/%s/%d",
                                static_cast<unsigned>(::geteuid()), host.c_str(), slot);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

std::vector<unsigned char> frame(uint8_t type, const void *rec, std::size_t rec_len,
                                 const unsigned char *data = nullptr, std::size_t data_len = 0)
{
    std::vector<unsigned char> f(sizeof(FrameHdr) + rec_len + data_len);
    FrameHdr h{};
    h.len = rec_len + data_len;
    h.type = type;
    std::memcpy(f.data(), &h, sizeof h);
    std::memcpy(f.data() + sizeof h, rec, rec_len);
    if (data_len)
        std::memcpy(f.data() + sizeof h + rec_len, data, data_len);
    return f;
}

class Transport {
public:
    std::string host;
    int slot = -1;
    int listen_fd = -1;
    int ep = -1;

    // Lock order: io_mtx, world().mtx, state_mtx, Conn::mtx.
    std::mutex io_mtx;     // reading and parsing input, tearing down
    std::mutex state_mtx;  // conns, peers, pending
    std::unordered_map<uint64_t, ConnPtr> conns;
    PeerSlot peers[kXprocSlots];
    std::map<uint64_t, Pending> pending;  // by request id, i.e. in submission order
    uint64_t next_conn = 1;               // 0 names the listening socket in epoll
    std::atomic<uint64_t> next_req{1};

    static Transport *start(const std::string &host);
    void run();
    void handle(const epoll_event *ev, int n);

    ConnPtr peer(int peer_slot, bool &known);
    ConnPtr find(uint64_t id);
    bool send(Conn &c, std::vector<unsigned char> &&f, bool defer = false);
    void flush_dirty();
    void forget_pending(uint64_t id, const Transfer &t);
    void respond(const RemoteReq &r, uint8_t status, uint8_t vendor,
                 const std::vector<unsigned char> &read_data, bool defer);

private:
    std::atomic<int> ndirty{0};
    // The progress thread sleeps in epoll_wait: a deferred frame would wait
    // for it until something else arrives, so none is deferred then.
    std::atomic<bool> blocked{false};

    void accept_all();
    void write_locked(Conn &c);
    bool read_in(const ConnPtr &c);
    bool on_frame(const ConnPtr &c, uint8_t type, const unsigned char *body, uint64_t len);
    bool on_request(const ConnPtr &c, const unsigned char *body, uint64_t len);
    void on_response(const ConnPtr &c, const unsigned char *body, uint64_t len);
    void on_cancel(const ConnPtr &c, const unsigned char *body, uint64_t len);
    void teardown(const ConnPtr &c);
    void drop_waiting(uint64_t conn, bool any_src, uint32_t src_qpn);
    void update_peers_flag_locked() { g_xproc_peers.store(!conns.empty()); }
};

std::mutex g_cfg_mtx;          // joining, the host override, fork
std::string g_host_override;   // from vsim_set_host
std::atomic<Transport *> g_tp{nullptr};
bool g_join_failed = false;    // stays local; retried after a fork

// Empty: the process keeps to itself.
std::string host_in_effect_locked()
{
    if (!g_host_override.empty())
        return g_host_override;
    const char *env = std::getenv("VANTOR_SIM_HOST");
    return env ? std::string(env) : std::string();
}

// fork(): the child gets copies of the sockets but not the progress thread,
// so it leaves the parent's slot to the parent and joins afresh when it
// needs to. The locks are taken around the fork so that no copy is taken
// while another thread is halfway through an update.
void before_fork()
{
    g_cfg_mtx.lock();
    Transport *tp = g_tp.load();
    if (tp)
        tp->io_mtx.lock();
    world().mtx.lock();
    if (tp)
        tp->state_mtx.lock();
}

void after_fork_parent()
{
    Transport *tp = g_tp.load();
    if (tp)
        tp->state_mtx.unlock();
    world().mtx.unlock();
    if (tp)
        tp->io_mtx.unlock();
    g_cfg_mtx.unlock();
}

void after_fork_child()
{
    Transport *tp = g_tp.load();
    if (tp) {
        tp->state_mtx.unlock();
        for (auto &e : tp->conns)
            ::close(e.second->fd);
        ::close(tp->listen_fd);
        ::close(tp->ep);
    }
    // The parent's QPs are the parent's: requests for them must reach it,
    // not these copies.
    world().qps.clear();
    // A read-write lock write-locked before the fork cannot be unlocked in
    // the child (it remembers the parent thread's id): start it afresh.
    new (&world().mtx) std::shared_mutex;
    if (tp)
        tp->io_mtx.unlock();
    // The old transport stays allocated: requests of inherited QPs may still
    // name its connections, which now lead nowhere.
    g_tp.store(nullptr);
    g_xproc_peers.store(false);
    g_join_failed = false;
    g_cfg_mtx.unlock();
}

Transport *Transport::start(const std::string &host)
{
    if (!valid_host(host.c_str())) {
        std::fprintf(stderr,
                     "vantor simulator: host name '%s' is not usable (1-64 of A-Z a-z 0-9 . _ -); "
                     "this process reaches no other process\n",
                     host.c_str());
        return nullptr;
    }
    auto *tp = new Transport;
    tp->host = host;
    int err = 0;
    for (int s = 0; s < kXprocSlots; ++s) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            err = errno;
            break;
        }
        sockaddr_un a;
        const socklen_t len = slot_address(host, s, a);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            tp->slot = s;
            tp->listen_fd = fd;
            break;
        }
        err = errno;
        ::close(fd);
        if (err != EADDRINUSE)
            break;
    }
    if (tp->slot < 0) {
        if (err == EADDRINUSE)
            std::fprintf(stderr,
                         "vantor simulator: all %d process slots of host '%s' are taken; "
                         "this process reaches no other process\n",
                         kXprocSlots, host.c_str());
        else
            std::fprintf(stderr,
                         "vantor simulator: cannot join host '%s' (%s); this process reaches no "
                         "other process\n",
                         host.c_str(), std::strerror(err));
        delete tp;
        return nullptr;
    }
    tp->ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    if (tp->ep < 0 || ::epoll_ctl(tp->ep, EPOLL_CTL_ADD, tp->listen_fd, &ev) < 0) {
        std::fprintf(stderr, "vantor simulator: epoll: %s\n", std::strerror(errno));
        ::close(tp->listen_fd);
        if (tp->ep >= 0)
            ::close(tp->ep);
        delete tp;
        return nullptr;
    }
    // The thread takes no signals: they stay with the application's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool started = true;
    try {
        std::thread([tp] { tp->run(); }).detach();
    } catch (const std::system_error &) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!started) {
        std::fprintf(stderr, "vantor simulator: cannot start the progress thread\n");
        ::close(tp->listen_fd);
        ::close(tp->ep);
        delete tp;
        return nullptr;
    }
    static std::once_flag atfork;
    std::call_once(atfork, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    return tp;
}

uint64_t now_ns()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// When a thread of the application last served the sockets from a CQ poll,
// and how many are blocked serving them (xproc_wait).
std::atomic<uint64_t> g_last_app_service{0};
std::atomic<int> g_app_waiters{0};

void Transport::run()
{
    epoll_event ev[64];
    for (;;) {
        flush_dirty();
        // While the application polls (or waits in ibv_get_cq_event), it
        // serves the sockets itself: waking this thread for every message
        // as well would only cost both of them (on a busy host, a lot). It
        // takes over again once that stops, after at most kHandOverNs.
        const uint64_t since = g_app_waiters.load() > 0
                                   ? 0
                                   : now_ns() - g_last_app_service.load(std::memory_order_relaxed);
        if (since < kHandOverNs) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(kHandOverNs - since));
            continue;
        }
        blocked.store(true);
        if (ndirty.load() > 0) {
            blocked.store(false);
            continue;
        }
        const int n = ::epoll_wait(ep, ev, 64, -1);
        blocked.store(false);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        std::lock_guard io(io_mtx);
        handle(ev, n);
        flush_dirty();
    }
}

void Transport::handle(const epoll_event *ev, int n)
{
    for (int k = 0; k < n; ++k) {
        if (ev[k].data.u64 == 0) {
            accept_all();
            continue;
        }
        ConnPtr c = find(ev[k].data.u64);
        if (!c)
            continue;  // torn down by an earlier event of this batch
        if (ev[k].events & EPOLLOUT) {
            std::lock_guard lock(c->mtx);
            if (!c->closed)
                write_locked(*c);
        }
        if ((ev[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) && !read_in(c))
            teardown(c);
    }
}

void Transport::accept_all()
{
    for (;;) {
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;  // EAGAIN, or out of descriptors: the peer will see no answer
        }
        // Anybody may connect to an abstract socket: serve only our own user.
        ucred cr{};
        socklen_t cl = sizeof cr;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &cl) < 0 || cr.uid != ::geteuid()) {
            ::close(fd);
            continue;
        }
        auto c = std::make_shared<Conn>();
        c->fd = fd;
        {
            std::lock_guard lock(state_mtx);
            c->id = next_conn++;
            conns.emplace(c->id, c);
            update_peers_flag_locked();
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = c->id;
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0)
            teardown(c);
    }
}

ConnPtr Transport::find(uint64_t id)
{
    std::lock_guard lock(state_mtx);
    auto it = conns.find(id);
    return it == conns.end() ? nullptr : it->second;
}

// The connection to the process on `peer_slot`, made on first use. Null
// when no process of ours answers there; `known` then tells whether one
// did before (it has gone away).
ConnPtr Transport::peer(int peer_slot, bool &known)
{
    std::lock_guard lock(state_mtx);
    PeerSlot &p = peers[peer_slot];
    if (p.conn && !p.conn->broken.load())
        return p.conn;
    known = p.known;
    // Replaced below; its teardown (on the hang-up) fails what it carried.
    p.conn.reset();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    // A peer that stopped accepting must not stall the sender for long.
    timeval tv{kConnectTimeoutSec, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un a;
    const socklen_t len = slot_address(host, peer_slot, a);
    ucred cr{};
    socklen_t cl = sizeof cr;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &cl) < 0 || cr.uid != ::geteuid() ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
        ::close(fd);
        return nullptr;
    }
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    c->peer_slot.store(peer_slot);
    c->greeted = true;  // the other side speaks no hello
    c->id = next_conn++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = c->id;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
        ::close(fd);
        return nullptr;
    }
    conns.emplace(c->id, c);
    p.conn = c;
    p.known = true;
    known = true;
    update_peers_flag_locked();
    HelloWire h{};
    h.magic = kMagic;
    h.version = kVersion;
    h.slot = static_cast<uint16_t>(slot);
    h.pid = static_cast<uint32_t>(::getpid());
    send(*c, frame(kHello, &h, sizeof h));
    return c;
}

// Queues a frame and writes out the queue, as much as the socket takes.
// A deferred frame waits for the next write on the connection or the next
// flush_dirty(), so that an outcome and the application's next request
// leave in one system call. False when the connection can carry nothing
// more.
bool Transport::send(Conn &c, std::vector<unsigned char> &&f, bool defer)
{
    std::lock_guard lock(c.mtx);
    if (c.closed || c.broken.load())
        return false;
    c.out.push_back(std::move(f));
    // Waiting for room (EPOLLOUT): whoever serves the sockets writes the
    // queue once the socket takes more. Marking it dirty would only keep
    // the progress thread from sleeping in epoll_wait, and so from ever
    // learning of that room.
    if (c.armed)
        return true;
    if (defer) {
        if (!c.dirty.exchange(true))
            ndirty.fetch_add(1);
        // Pairs with run(): either it sees this frame before it sleeps, or
        // this sees it asleep and writes the frame now.
        if (!blocked.load())
            return true;
    }
    write_locked(c);
    return !c.broken.load();
}

// Writes queued frames until the queue is empty or the socket full (then
// the progress thread continues when it has room). Caller holds c.mtx.
void Transport::write_locked(Conn &c)
{
    if (c.dirty.exchange(false))
        ndirty.fetch_sub(1);
    while (!c.out.empty()) {
        iovec iov[64];
        int n = 0;
        for (auto it = c.out.begin(); it != c.out.end() && n < 64; ++it, ++n) {
            const std::size_t off = n ? 0 : c.out_off;
            iov[n].iov_base = it->data() + off;
            iov[n].iov_len = it->size() - off;
        }
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<std::size_t>(n);
        ssize_t sent = ::sendmsg(c.fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN) {
                c.broken.store(true);  // the progress thread sees the hang-up and tears it down
                c.out.clear();
                c.out_off = 0;
                return;
            }
            break;
        }
        while (sent > 0) {
            const std::size_t left = c.out.front().size() - c.out_off;
            if (static_cast<std::size_t>(sent) < left) {
                c.out_off += static_cast<std::size_t>(sent);
                break;
            }
            sent -= static_cast<ssize_t>(left);
            c.out.pop_front();
            c.out_off = 0;
        }
    }
    const bool want = !c.out.empty();
    if (want != c.armed) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (want ? static_cast<uint32_t>(EPOLLOUT) : 0u);
        ev.data.u64 = c.id;
        ::epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        c.armed = want;
    }
}

// Writes out the deferred frames of every connection.
void Transport::flush_dirty()
{
    if (ndirty.load() == 0)
        return;
    std::vector<ConnPtr> todo;
    {
        std::lock_guard lock(state_mtx);
        for (auto &e : conns)
            if (e.second->dirty.load())
                todo.push_back(e.second);
    }
    for (const ConnPtr &c : todo) {
        std::lock_guard lock(c->mtx);
        if (c->closed || c->armed) {
            // Closed: nothing to write. Armed: EPOLLOUT brings the queue
            // out; the flag must go all the same, or run() never sleeps.
            if (c->dirty.exchange(false))
                ndirty.fetch_sub(1);
        } else {
            write_locked(*c);
        }
    }
}

// Reads what the socket holds and acts on every complete frame. False when
// the connection is over (end of stream, error, or a frame that makes no
// sense).
bool Transport::read_in(const ConnPtr &cp)
{
    Conn &c = *cp;
    for (;;) {
        // Room for more of the frame being received: a chunk, or as much
        // again as arrived, up to the frame's end (the buffer grows with
        // what actually comes, not with what a header announces).
        std::size_t want = kReadChunk;
        if (c.in_len >= sizeof(FrameHdr)) {
            FrameHdr h;
            std::memcpy(&h, c.in.data(), sizeof h);
            if (h.len > kMaxBody)
                return false;
            const std::size_t need = sizeof h + static_cast<std::size_t>(h.len);
            if (need > c.in_len + want)
                want = std::min(need - c.in_len, std::max(kReadChunk, c.in_len));
        }
        if (c.in.size() < c.in_len + want) {
            try {
                c.in.resize(c.in_len + want);
            } catch (const std::bad_alloc &) {
                return false;
            }
        }
        const ssize_t n = ::recv(c.fd, c.in.data() + c.in_len, c.in.size() - c.in_len, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN;
        }
        const bool drained = static_cast<std::size_t>(n) < c.in.size() - c.in_len;
        c.in_len += static_cast<std::size_t>(n);
        std::size_t pos = 0;
        while (c.in_len - pos >= sizeof(FrameHdr)) {
            FrameHdr h;
            std::memcpy(&h, c.in.data() + pos, sizeof h);
            if (h.len > kMaxBody)
                return false;
            if (c.in_len - pos - sizeof h < h.len)
                break;
            if (!on_frame(cp, h.type, c.in.data() + pos + sizeof h, h.len))
                return false;
            pos += sizeof h + static_cast<std::size_t>(h.len);
        }
        if (pos) {
            std::memmove(c.in.data(), c.in.data() + pos, c.in_len - pos);
            c.in_len -= pos;
        }
        // Give back what a large frame needed.
        if (c.in.size() > 4 * kReadChunk && c.in_len < kReadChunk) {
            c.in.resize(kReadChunk);
            c.in.shrink_to_fit();
        }
        if (drained)
            return true;  // a short read took all there was; epoll tells of more
    }
}

bool Transport::on_frame(const ConnPtr &c, uint8_t type, const unsigned char *body, uint64_t len)
{
    if (!c->greeted) {
        HelloWire h;
        if (type != kHello || len != sizeof h)
            return false;
        std::memcpy(&h, body, sizeof h);
        if (h.magic != kMagic || h.version != kVersion || h.slot >= kXprocSlots ||
            h.slot == slot)
            return false;
        c->greeted = true;
        c->peer_slot.store(h.slot);
        // Our requests for that process may take this connection too.
        std::lock_guard lock(state_mtx);
        PeerSlot &p = peers[h.slot];
        if (!p.conn || p.conn->broken.load())
            p.conn = c;
        p.known = true;
        return true;
    }
    switch (type) {
    case kReq:
        return on_request(c, body, len);
    case kResp:
        if (len < sizeof(RespWire))
            return false;
        on_response(c, body, len);
        return true;
    case kCancel:
        if (len != sizeof(CancelWire))
            return false;
        on_cancel(c, body, len);
        return true;
    default:
        return false;
    }
}

bool Transport::on_request(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    ReqWire w;
    if (len < sizeof w)
        return false;
    std::memcpy(&w, body, sizeof w);
    const uint64_t data_len = len - sizeof w;
    switch (w.opcode) {
    case IBV_WR_SEND:
    case IBV_WR_SEND_WITH_IMM:
    case IBV_WR_RDMA_WRITE:
    case IBV_WR_RDMA_WRITE_WITH_IMM:
        if (data_len != w.len)
            return false;
        break;
    case IBV_WR_RDMA_READ:
        if (data_len != 0)
            return false;
        break;
    default:
        return false;
    }
    RemoteReq r;
    r.conn = c->id;
    r.id = w.id;
    r.opcode = w.opcode;
    r.srd = w.srd != 0;
    r.rnr_wait = w.rnr_wait != 0;
    r.reply = w.reply != 0;
    r.imm = w.imm;
    r.rkey = w.rkey;
    r.rqkey = w.rqkey;
    r.src_qpn = w.src_qpn;
    r.dst_qpn = w.dst_qpn;
    r.raddr = w.raddr;
    r.len = w.len;
    std::memcpy(r.sgid.raw, w.sgid, 16);
    std::memcpy(r.dgid.raw, w.dgid, 16);
    r.data = body + sizeof w;
    r.data_len = data_len;

    std::vector<unsigned char> read_data;
    std::shared_lock world_lock(world().mtx);
    Qp *dst = route_local(r.dgid, r.dst_qpn);
    if (!dst) {
        if (gid_known(r.dgid))
            respond(r, IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn, read_data, true);
        else
            respond(r, IBV_WC_REM_OP_ERR, kEfaUnknownPeer, read_data, true);
        return true;
    }
    const Outcome o = accept_remote(dst, r, read_data);
    if (!o.deferred)
        respond(r, o.status, o.vendor, read_data, true);
    return true;
}

void Transport::on_response(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    RespWire w;
    std::memcpy(&w, body, sizeof w);
    const unsigned char *data = body + sizeof w;
    const uint64_t data_len = len - sizeof w;
    std::shared_lock world_lock(world().mtx);
    Transfer t{};
    {
        std::lock_guard lock(state_mtx);
        auto it = pending.find(w.id);
        // A request the sender gave up on (QP flushed or destroyed) is gone.
        if (it == pending.end() || it->second.conn != c->id)
            return;
        t.src = it->second.src;
        t.slot = it->second.slot;
        pending.erase(it);
    }
    uint8_t status = w.status, vendor = w.vendor;
    const SendWqe &req = t.src->sq[t.slot];
    if (status == IBV_WC_SUCCESS && req.opcode == IBV_WR_RDMA_READ &&
        (data_len != req.len || !scatter_read(t, data, data_len))) {
        status = IBV_WC_LOC_PROT_ERR;
        vendor = kEfaInvalidLkey;
    }
    t.src->deferred.fetch_sub(1);
    complete_send(t, status, vendor);
}

void Transport::on_cancel(const ConnPtr &c, const unsigned char *body, uint64_t)
{
    CancelWire w;
    std::memcpy(&w, body, sizeof w);
    std::shared_lock world_lock(world().mtx);
    drop_waiting(c->id, false, w.src_qpn);
}

// Forgets requests of connection `conn` parked at local QPs (all of them,
// or those of one sender QP). Caller holds the world lock.
void Transport::drop_waiting(uint64_t conn, bool any_src, uint32_t src_qpn)
{
    for (auto &entry : world().qps) {
        Qp *q = entry.second;
        std::lock_guard lock(q->rq_mtx);
        for (auto it = q->waiting.begin(); it != q->waiting.end();) {
            RemoteReq *r = it->remote;
            if (r && r->conn == conn && (any_src || r->src_qpn == src_qpn)) {
                delete r;
                it = q->waiting.erase(it);
                q->waiting_n.fetch_sub(1);
            } else {
                ++it;
            }
        }
    }
}

// The peer process is gone (or spoke nonsense). What it was to answer
// fails as a real device reports an unresponsive remote; what it sent and
// was delivered stays delivered; what of it still waited is dropped.
void Transport::teardown(const ConnPtr &c)
{
    {
        std::lock_guard lock(c->mtx);
        if (c->closed)
            return;
        c->closed = true;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
        ::close(c->fd);
        c->out.clear();
        if (c->dirty.exchange(false))
            ndirty.fetch_sub(1);
    }
    std::shared_lock world_lock(world().mtx);
    std::vector<Transfer> failed;
    {
        std::lock_guard lock(state_mtx);
        conns.erase(c->id);
        const int ps = c->peer_slot.load();
        if (ps >= 0 && peers[ps].conn == c)
            peers[ps].conn.reset();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->second.conn == c->id) {
                failed.push_back(Transfer{it->second.src, it->second.slot});
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        update_peers_flag_locked();
    }
    for (const Transfer &t : failed) {
        t.src->deferred.fetch_sub(1);
        complete_send(t, IBV_WC_RESP_TIMEOUT_ERR, kEfaUnresponsiveRemote);
    }
    drop_waiting(c->id, true, 0);
}

void Transport::respond(const RemoteReq &r, uint8_t status, uint8_t vendor,
                        const std::vector<unsigned char> &read_data, bool defer)
{
    if (!r.reply)
        return;
    ConnPtr c = find(r.conn);
    if (!c)
        return;  // the sender is gone
    RespWire w{};
    w.id = r.id;
    w.status = status;
    w.vendor = vendor;
    send(*c, frame(kResp, &w, sizeof w, read_data.data(), read_data.size()), defer);
}

// A request that could not go out: fails it unless the teardown of its
// connection already did.
void Transport::forget_pending(uint64_t id, const Transfer &t)
{
    {
        std::lock_guard lock(state_mtx);
        if (!pending.erase(id))
            return;
    }
    t.src->deferred.fetch_sub(1);
    complete_send(t, IBV_WC_RESP_TIMEOUT_ERR, kEfaUnresponsiveRemote);
}

Transport *transport() { return g_tp.load(std::memory_order_acquire); }

}  // namespace

int xproc_slot()
{
    if (Transport *tp = transport())
        return tp->slot;
    std::lock_guard lock(g_cfg_mtx);
    if (Transport *tp = g_tp.load())
        return tp->slot;
    if (g_join_failed)
        return 0;
    const std::string host = host_in_effect_locked();
    if (host.empty())
        return 0;  // no host named: nothing to join, no thread to run
    Transport *tp = Transport::start(host);
    if (!tp) {
        g_join_failed = true;
        return 0;
    }
    g_tp.store(tp, std::memory_order_release);
    return tp->slot;
}

int xproc_joined_slot()
{
    Transport *tp = transport();
    return tp ? tp->slot : -1;
}

int xproc_set_host(const char *name)
{
    if (name && !valid_host(name))
        return -EINVAL;
    std::lock_guard lock(g_cfg_mtx);
    const std::string before = g_host_override;
    g_host_override = name ? name : "";
    if (Transport *tp = g_tp.load()) {
        // Joined: only a request for the name in use can be granted.
        if (host_in_effect_locked() != tp->host) {
            g_host_override = before;
            return -EBUSY;
        }
        return 0;
    }
    g_join_failed = false;
    return 0;
}

std::string xproc_host()
{
    std::lock_guard lock(g_cfg_mtx);
    if (Transport *tp = g_tp.load())
        return tp->host;
    return host_in_effect_locked();
}

int xproc_connections()
{
    Transport *tp = transport();
    if (!tp)
        return 0;
    std::lock_guard lock(tp->state_mtx);
    return static_cast<int>(tp->conns.size());
}

bool xproc_submit(const Transfer &t)
{
    Transport *tp = transport();
    if (!tp)
        return false;
    const SendWqe &w = t.src->sq[t.slot];
    const int peer_slot = static_cast<int>(w.rqpn >> kQpnLocalBits);
    if (peer_slot == tp->slot || peer_slot >= kXprocSlots)
        return false;
    const bool srd = t.src->srd;
    bool known = false;
    ConnPtr c = tp->peer(peer_slot, known);
    if (!c) {
        if (!known)
            return false;  // nobody ever answered there: an unknown QP
        if (srd)
            complete_send(t, IBV_WC_RESP_TIMEOUT_ERR, kEfaUnresponsiveRemote);
        else
            complete_send(t, IBV_WC_SUCCESS, kEfaOk);  // datagram lost
        return true;
    }
    ReqWire r{};
    r.id = tp->next_req.fetch_add(1);
    r.raddr = w.raddr;
    r.len = w.len;
    r.imm = w.imm;
    r.rkey = w.rkey;
    r.rqkey = w.rqkey;
    r.src_qpn = t.src->qpx.qp_base.qp_num;
    r.dst_qpn = w.rqpn;
    r.opcode = static_cast<uint8_t>(w.opcode);
    r.srd = srd;
    r.rnr_wait = t.src->rnr_retry == 7;
    r.reply = srd;
    std::memcpy(r.sgid, t.src->gid.raw, 16);
    std::memcpy(r.dgid, w.dgid.raw, 16);
    std::vector<unsigned char> payload;
    if (w.opcode != IBV_WR_RDMA_READ)
        gather_payload(t, payload);
    std::vector<unsigned char> f = frame(kReq, &r, sizeof r, payload.data(), payload.size());
    if (!srd) {
        tp->send(*c, std::move(f));
        complete_send(t, IBV_WC_SUCCESS, kEfaOk);  // unreliable: done once sent
        return true;
    }
    {
        std::lock_guard lock(tp->state_mtx);
        tp->pending.emplace(r.id, Pending{t.src, t.slot, c->id});
    }
    t.src->deferred.fetch_add(1);
    if (!tp->send(*c, std::move(f)))
        tp->forget_pending(r.id, t);
    return true;
}

void xproc_respond(const RemoteReq &r, uint8_t status, uint8_t vendor,
                   const std::vector<unsigned char> &read_data)
{
    if (Transport *tp = transport())
        tp->respond(r, status, vendor, read_data, false);
}

void xproc_take_from(Qp *qp, std::deque<Transfer> &out)
{
    Transport *tp = transport();
    if (!tp)
        return;
    std::vector<uint64_t> told;
    std::lock_guard lock(tp->state_mtx);
    for (auto it = tp->pending.begin(); it != tp->pending.end();) {
        if (it->second.src != qp) {
            ++it;
            continue;
        }
        out.push_back(Transfer{qp, it->second.slot});
        const uint64_t conn = it->second.conn;
        it = tp->pending.erase(it);
        bool seen = false;
        for (uint64_t id : told)
            seen |= id == conn;
        if (seen)
            continue;
        told.push_back(conn);
        auto ci = tp->conns.find(conn);
        if (ci != tp->conns.end()) {
            CancelWire w{};
            w.src_qpn = qp->qpx.qp_base.qp_num;
            tp->send(*ci->second, frame(kCancel, &w, sizeof w));
        }
    }
}

void xproc_service()
{
    Transport *tp = transport();
    if (!tp)
        return;
    std::unique_lock io(tp->io_mtx, std::try_to_lock);
    if (!io.owns_lock())
        return;
    tp->flush_dirty();
    epoll_event ev[64];
    const int n = ::epoll_wait(tp->ep, ev, 64, 0);
    g_last_app_service.store(now_ns(), std::memory_order_relaxed);
    if (n > 0) {
        tp->handle(ev, n);
        return;
    }
    // What the poller waits for is another process's doing, and that
    // process may be waiting for this CPU.
    io.unlock();
    sched_yield();
}

}  // namespace vsim


namespace vsim {

bool xproc_wait(int fd)
{
    Transport *tp = transport();
    pollfd p[2] = {{fd, POLLIN, 0}, {tp ? tp->ep : -1, POLLIN, 0}};
    const nfds_t n = tp && xproc_peers() ? 2 : 1;
    if (n == 2) {
        g_app_waiters.fetch_add(1);
        tp->flush_dirty();  // nobody else may write them while this thread sleeps
    }
    int r;
    while ((r = ::poll(p, n, -1)) < 0 && errno == EINTR) {
    }
    const int err = errno;
    if (n == 2) {
        if (r > 0 && p[1].revents)
            xproc_service();
        g_app_waiters.fetch_sub(1);
    }
    errno = err;
    return r >= 0;
}

}  // namespace vsim
