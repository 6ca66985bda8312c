// Connections between processes: opening and accepting them, the hello
// that hands over the shared segment, frames in and out of the rings, and
// wake-ups.
#include "xproc_link.hpp"
#include "xproc_naming.hpp"

#include "world.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <shared_mutex>

namespace vsim {

Conn::~Conn()
{
    if (hello_fd >= 0) {
        ::close(hello_fd);
    }
}

void Conn::wake()
{
    if (closed) {
        return;
    }
    const char b = 0;
    for (;;) {
        if (::send(fd, &b, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) {
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        // EAGAIN: earlier wake-ups are still unread, which wakes the peer
        // as well. Anything else: it is gone (its hang-up tears this down).
        if (errno != EAGAIN) {
            broken.store(true);
        }
        return;
    }
}

void Transport::add_conn_locked(const ConnPtr &c)
{
    conns.emplace(c->id, c);
    conns_gen.fetch_add(1);
    g_remote_active.store(true);
}

void Transport::drop_conn_locked(const ConnPtr &c)
{
    conns.erase(c->id);
    conns_gen.fetch_add(1);
    const int ps = c->peer_slot.load();
    if (ps >= 0 && peers[ps].conn == c) {
        peers[ps].conn.reset();
    }
    g_remote_active.store(!conns.empty());
}

void Transport::accept_all()
{
    for (;;) {
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
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
            add_conn_locked(c);
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = c->id;
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
            teardown(c);
        }
    }
}

ConnPtr Transport::find(uint64_t id)
{
    std::lock_guard lock(state_mtx);
    auto it = conns.find(id);
    return it == conns.end() ? nullptr : it->second;
}

namespace {

bool send_hello(int fd, const wire::Hello &h, int seg_fd)
{
    iovec iov{const_cast<wire::Hello *>(&h), sizeof h};
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = cbuf;
    m.msg_controllen = sizeof cbuf;
    cmsghdr *cm = CMSG_FIRSTHDR(&m);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cm), &seg_fd, sizeof(int));
    ssize_t n;
    while ((n = ::sendmsg(fd, &m, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof h);
}

}  // namespace

// The connection to the process on `peer_slot`, made on first use. Null
// when no process of ours answers there; `known` then tells whether one
// did before (it has gone away).
ConnPtr Transport::peer(int peer_slot, bool &known)
{
    std::lock_guard lock(state_mtx);
    PeerSlot &p = peers[peer_slot];
    if (p.conn && !p.conn->broken.load()) {
        return p.conn;
    }
    known = p.known;
    // Replaced below; its teardown (on the hang-up) fails what it carried.
    p.conn.reset();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    sockaddr_un a;
    const socklen_t len = slot_address(host, peer_slot, a);
    ucred cr{};
    socklen_t cl = sizeof cr;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &cl) < 0 || cr.uid != ::geteuid()) {
        ::close(fd);
        return nullptr;
    }
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    wire::Hello h{};
    h.magic = wire::kMagic;
    h.version = wire::kVersion;
    h.slot = static_cast<uint16_t>(slot);
    h.pid = static_cast<uint32_t>(::getpid());
    h.ring_bytes = static_cast<uint32_t>(Segment::kRingBytes);
    if (!c->seg.create() || !send_hello(fd, h, c->seg.fd()) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
        ::close(fd);
        c->fd = -1;
        return nullptr;
    }
    c->seg.close_fd();  // the mapping stays
    c->peer_slot.store(peer_slot);
    c->greeted = true;  // the other side speaks no hello
    c->id = next_conn++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = c->id;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
        ::close(fd);
        c->fd = -1;
        return nullptr;
    }
    add_conn_locked(c);
    p.conn = c;
    p.known = true;
    known = true;
    return c;
}

namespace {

// A large read's data goes out in pieces of this size: the initiator
// copies one while the target writes the next. A write's likewise (smaller
// pieces cost more than they overlap).
constexpr uint64_t kReadPiece = uint64_t{1} << 20;
constexpr uint64_t kWritePiece = kReadPiece;

// Small frames stay in the first this many bytes of a ring while the
// reader keeps up, rather than going round all of it: fewer pages, each
// touched for the first time at the cost of a page fault, and fewer cache
// lines. Large ones go round: the lap they would skip is room the reader
// has not reached yet, which the writer would then wait for.
constexpr std::size_t kWarmBytes = std::size_t{64} << 10;
constexpr std::size_t kSmallFrame = kWarmBytes / 4;

// Before a small frame of `total` bytes: past the warm part of the ring,
// and with the start of the ring read already, goes back there, covering
// the rest of the lap with a skip frame.
bool rewind(Ring &r, std::size_t total)
{
    const std::size_t off = r.write_offset();
    const std::size_t rest = r.capacity() - off;
    if (total > kSmallFrame || off < kWarmBytes || rest < sizeof(wire::FrameHdr) ||
        r.room() < rest + total) {
        return false;
    }
    wire::FrameHdr h{};
    h.len = rest - sizeof h;
    h.type = wire::kSkip;
    std::memcpy(r.write_ptr(), &h, sizeof h);
    return r.commit(rest);
}

// Writes one frame of `rec_len` + `data_len` body bytes in place; the
// caller made sure of the room. `fill` writes the data, and may refuse
// (false): nothing is published then. Returns whether the reader asked to
// be woken.
template <class FillData>
bool write_frame(Ring &r, uint8_t type, const void *rec, std::size_t rec_len, std::size_t data_len,
                 FillData fill, bool *filled = nullptr)
{
    wire::FrameHdr h{};
    h.len = rec_len + data_len;
    h.type = type;
    const std::size_t total = sizeof h + rec_len + data_len;
    const bool woke = rewind(r, total);
    unsigned char *p = r.write_ptr();
    std::memcpy(p, &h, sizeof h);
    std::memcpy(p + sizeof h, rec, rec_len);
    const bool ok = fill(p + sizeof h + rec_len);
    if (filled) {
        *filled = ok;
    }
    return (ok && r.commit(total)) || woke;
}

// Room for `body` bytes of frame body, or else a wake-up asked for. A
// stream's writer is woken once half the ring is free, not at each frame
// the reader takes: waking it costs more than a piece's copy.
bool room_for(Ring &r, std::size_t body)
{
    const std::size_t need = sizeof(wire::FrameHdr) + body;
    return r.room() >= need || !r.wait_for_room(need, r.capacity() / 2);
}

// Sends as much of a read's data as the ring has room for, then its
// outcome; true when all is out. Caller holds the world lock shared (the
// key is looked up again for each piece) and c.mtx.
bool write_stream(Ring &r, ReadStream &s, bool &wake)
{
    while (s.off < s.len) {
        const uint64_t piece = std::min(s.len - s.off, kReadPiece);
        if (!room_for(r, sizeof(wire::ReadData) + piece)) {
            return false;
        }
        const unsigned char *src = remote_read_span(s.pd, s.rkey, s.raddr + s.off, piece);
        if (!src) {
            s.status = IBV_WC_REM_ACCESS_ERR;
            s.vendor = kEfaRemoteBadAddress;
            s.off = s.len;
            break;
        }
        const wire::ReadData d{s.id, s.off};
        wake |= write_frame(r, wire::kReadData, &d, sizeof d, piece, [&](unsigned char *out) {
            std::memcpy(out, src, piece);
            return true;
        });
        s.off += piece;
    }
    if (!room_for(r, sizeof(wire::Resp))) {
        return false;
    }
    wire::Resp w{};
    w.id = s.id;
    w.status = s.status;
    w.vendor = s.vendor;
    wake |= write_frame(r, wire::kResp, &w, sizeof w, 0, [](unsigned char *) { return true; });
    return true;
}

// Sends as much of a write's data as the ring has room for, each piece a
// plain write of its own, then the request; true when all is out. Caller
// holds the world lock shared (the local entries are looked up again for
// each piece) and c.mtx.
bool write_wstream(Ring &r, WriteStream &s, bool &wake)
{
    const uint64_t len = s.req.len;
    while (s.off < len && !(s.req.flags & wire::kLocalFault)) {
        const uint64_t piece = std::min(len - s.off, kWritePiece);
        if (!room_for(r, sizeof(wire::Req) + piece)) {
            return false;
        }
        wire::Req p = s.req;
        p.opcode = IBV_WR_RDMA_WRITE;
        p.raddr = s.req.raddr + s.off;
        p.len = piece;
        p.flags = 0;
        bool filled = false;
        wake |= write_frame(
            r, wire::kWriteData, &p, sizeof p, piece,
            [&](unsigned char *out) { return gather_payload_at(s.t, s.off, out, piece); }, &filled);
        if (!filled) {
            // Its memory was deregistered: the request says so, and the
            // target answers with the error this side reports.
            s.req.flags |= wire::kLocalFault;
            break;
        }
        s.off += piece;
    }
    if (!room_for(r, sizeof(wire::Req))) {
        return false;
    }
    wake |=
        write_frame(r, wire::kReq, &s.req, sizeof s.req, 0, [](unsigned char *) { return true; });
    return true;
}

// Writes queued frames into the ring as far as it has room; a stream's
// data only when the caller holds the world lock (`world_held`). Caller holds
// c.mtx; true when the queue is empty.
bool flush_locked(Conn &c, bool world_held)
{
    Ring &r = c.seg.out();
    bool wake = false;
    while (!c.out.empty()) {
        OutFrame &f = c.out.front();
        if (f.stream || f.wstream) {
            if (!world_held || !(f.stream ? write_stream(r, *f.stream, wake)
                                          : write_wstream(r, *f.wstream, wake))) {
                break;
            }
            c.out.pop_front();
            continue;
        }
        std::size_t room = r.room();
        if (room == 0) {
            if (r.wait_for_room(1)) {
                break;
            }
            continue;
        }
        if (c.out_off == 0) {
            wake |= rewind(r, f.bytes.size());
            room = r.room();
        }
        const std::size_t n = std::min(room, f.bytes.size() - c.out_off);
        std::memcpy(r.write_ptr(), f.bytes.data() + c.out_off, n);
        wake |= r.commit(n);
        c.out_off += n;
        if (c.out_off == f.bytes.size()) {
            c.out.pop_front();
            c.out_off = 0;
        }
    }
    if (wake) {
        c.wake();
    }
    return c.out.empty();
}

}  // namespace

// Writes a frame: straight into the ring when it fits behind what is
// queued, else into the queue. False when the connection can carry
// nothing more.
bool Transport::send(Conn &c, uint8_t type, const void *rec, std::size_t rec_len, Filler data)
{
    std::lock_guard lock(c.mtx);
    if (c.closed || c.broken.load()) {
        return false;
    }
    wire::FrameHdr h{};
    h.len = rec_len + data.len;
    h.type = type;
    const std::size_t total = sizeof h + rec_len + data.len;
    Ring &r = c.seg.out();
    if (c.out.empty() && c.seg.mapped() && r.room() >= total) {
        const bool wake = write_frame(r, type, rec, rec_len, data.len, [&](unsigned char *out) {
            if (data.len) {
                data.fn(data.ctx, out);
            }
            return true;
        });
        if (wake) {
            c.wake();
        }
        return true;
    }
    std::vector<unsigned char> f;
    try {
        f.resize(total);
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::memcpy(f.data(), &h, sizeof h);
    std::memcpy(f.data() + sizeof h, rec, rec_len);
    if (data.len) {
        data.fn(data.ctx, f.data() + sizeof h + rec_len);
    }
    enqueue_locked(c, OutFrame{std::move(f), nullptr, nullptr}, false);
    return true;
}

// Queues `f` behind what waits and writes out what fits; whatever stays
// marks the connection for the next flush. Caller holds c.mtx (and the
// world lock, when `world_held`).
void Transport::enqueue_locked(Conn &c, OutFrame f, bool world_held)
{
    c.out.push_back(std::move(f));
    if (!c.seg.mapped() || !flush_locked(c, world_held)) {
        if (!c.dirty.exchange(true)) {
            ndirty.fetch_add(1);
        }
    }
}

bool Transport::stream_read(Conn &c, const RemoteReq &r, Pd *pd)
{
    auto s = std::unique_ptr<ReadStream>(new (std::nothrow) ReadStream);
    if (!s) {
        return false;
    }
    s->id = r.id;
    s->pd = pd;
    s->rkey = r.rkey;
    s->raddr = r.raddr;
    s->len = r.len;
    return queue_stream(c, OutFrame{{}, std::move(s), nullptr});
}

bool Transport::stream_write(Conn &c, const Transfer &t, const wire::Req &req)
{
    auto s = std::unique_ptr<WriteStream>(new (std::nothrow) WriteStream{t, req, 0});
    if (!s) {
        return false;
    }
    return queue_stream(c, OutFrame{{}, nullptr, std::move(s)});
}

// Caller holds the world lock shared.
bool Transport::queue_stream(Conn &c, OutFrame f)
{
    std::lock_guard lock(c.mtx);
    if (c.closed || c.broken.load()) {
        return false;
    }
    enqueue_locked(c, std::move(f), true);
    return true;
}

// Writes out what the rings had no room for.
void Transport::flush_dirty()
{
    if (ndirty.load() == 0) {
        return;
    }
    std::vector<ConnPtr> todo;
    {
        std::lock_guard lock(state_mtx);
        for (auto &e : conns) {
            if (e.second->dirty.load()) {
                todo.push_back(e.second);
            }
        }
    }
    for (const ConnPtr &c : todo) {
        flush(*c);
    }
}

void Transport::flush(Conn &c)
{
    // Under the lock: a send() in flight marks its queue dirty only after
    // its own attempt, which may have asked for the wake-up just drained.
    // The world lock first (lock order), for a stream's data.
    std::shared_lock world_lock(world().mtx);
    std::lock_guard lock(c.mtx);
    if (!c.dirty.load()) {
        return;
    }
    if (c.closed || (c.seg.mapped() && flush_locked(c, true))) {
        if (c.dirty.exchange(false)) {
            ndirty.fetch_sub(1);
        }
    }
}

// Reads the socket: the hello with the segment, then wake-up bytes. False
// when the connection is over (end of stream, error, a bad hello).
bool Transport::read_socket(const ConnPtr &cp)
{
    Conn &c = *cp;
    while (!c.greeted) {
        iovec iov{c.hello + c.hello_len, sizeof c.hello - c.hello_len};
        alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = cbuf;
        m.msg_controllen = sizeof cbuf;
        const ssize_t n = ::recvmsg(c.fd, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            return errno == EINTR ? true : errno == EAGAIN;
        }
        for (cmsghdr *cm = CMSG_FIRSTHDR(&m); cm; cm = CMSG_NXTHDR(&m, cm)) {
            if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) {
                continue;
            }
            const std::size_t nfd = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t k = 0; k < nfd; ++k) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(cm) + k * sizeof(int), sizeof fd);
                if (c.hello_fd < 0) {
                    c.hello_fd = fd;
                } else {
                    ::close(fd);
                }
            }
        }
        c.hello_len += static_cast<std::size_t>(n);
        if (c.hello_len < sizeof c.hello) {
            continue;
        }
        wire::Hello h;
        std::memcpy(&h, c.hello, sizeof h);
        if (h.magic != wire::kMagic || h.version != wire::kVersion || h.slot >= kXprocSlots ||
            h.slot == slot || c.hello_fd < 0) {
            // Unread bytes would turn the close into a reset: a stranger
            // gets an orderly end.
            unsigned char junk[256];
            while (::recv(c.fd, junk, sizeof junk, MSG_DONTWAIT) > 0) {
            }
            return false;
        }
        const int fd = c.hello_fd;
        c.hello_fd = -1;
        if (!c.seg.map(fd, h.ring_bytes)) {
            return false;
        }
        c.seg.close_fd();
        c.greeted = true;
        c.peer_slot.store(h.slot);
        // Our requests for that process may take this connection too.
        std::lock_guard lock(state_mtx);
        PeerSlot &p = peers[h.slot];
        if (!p.conn || p.conn->broken.load()) {
            p.conn = cp;
        }
        p.known = true;
    }
    unsigned char buf[256];
    for (;;) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN;
        }
    }
}

// Acts on every whole frame in the ring. False when a frame makes no sense.
bool Transport::read_ring(const ConnPtr &cp, bool &got)
{
    Conn &c = *cp;
    if (!c.greeted) {
        return true;
    }
    Ring &r = c.seg.in();
    for (;;) {
        const std::size_t avail = r.available();
        if (avail == 0) {
            return true;
        }
        const unsigned char *p = r.read_ptr();
        if (c.in_need) {
            // Collecting a frame larger than the ring.
            const std::size_t n = std::min(avail, c.in_need - c.in_len);
            std::memcpy(c.in.data() + c.in_len, p, n);
            c.in_len += n;
            if (r.consume(n)) {
                c.wake();
            }
            got = true;
            if (c.in_len < c.in_need) {
                continue;
            }
            wire::FrameHdr h;
            std::memcpy(&h, c.in.data(), sizeof h);
            const bool ok = on_frame(cp, h.type, c.in.data() + sizeof h, h.len);
            c.in_len = c.in_need = 0;
            std::vector<unsigned char>().swap(c.in);
            if (!ok) {
                return false;
            }
            continue;
        }
        if (avail < sizeof(wire::FrameHdr)) {
            return true;  // the writer is halfway through a header
        }
        wire::FrameHdr h;
        std::memcpy(&h, p, sizeof h);
        if (h.len > wire::kMaxBody) {
            return false;
        }
        const std::size_t total = sizeof h + static_cast<std::size_t>(h.len);
        if (total <= avail) {
            got = true;
            // Read in place: the writer does not touch these bytes until
            // they are consumed.
            const bool ok = on_frame(cp, h.type, p + sizeof h, h.len);
            if (r.consume(total)) {
                c.wake();
            }
            if (!ok) {
                return false;
            }
            continue;
        }
        if (total <= r.capacity()) {
            return true;  // the rest follows
        }
        try {
            c.in.resize(total);
        } catch (const std::bad_alloc &) {
            return false;
        }
        c.in_need = total;
        c.in_len = 0;
    }
}

}  // namespace vsim
