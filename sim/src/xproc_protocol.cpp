// The request protocol between processes: a sender's request goes out as
// one frame (with its payload), the receiver applies the device's delivery
// rules to it and answers with the outcome (with the data of a read);
// cancellations and a peer's end fail or drop what is outstanding.
#include "xproc_link.hpp"

#include "world.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <cstring>
#include <shared_mutex>

namespace vsim {

namespace {

// Reads up to this size answer with their data in one frame; larger ones
// send it in pieces ahead of the outcome (Transport::stream_read). Writes
// above it send their data in pieces ahead of the request.
constexpr uint64_t kStreamAbove = uint64_t{1} << 20;

// The record a frame's body starts with, and how many bytes follow it;
// false when the body is too short to hold one.
template <class Record>
bool take_record(const unsigned char *body, uint64_t len, Record &rec, uint64_t &rest)
{
    if (len < sizeof rec) {
        return false;
    }
    std::memcpy(&rec, body, sizeof rec);
    rest = len - sizeof rec;
    return true;
}

}  // namespace

bool Transport::on_frame(const ConnPtr &c, uint8_t type, const unsigned char *body, uint64_t len)
{
    switch (type) {
    case wire::kReq:
        return on_request(c, body, len);
    case wire::kResp:
        return on_response(c, body, len);
    case wire::kCancel:
        return on_cancel(c, body, len);
    case wire::kReadData:
        return on_read_data(c, body, len);
    case wire::kWriteData:
        return on_write_data(c, body, len);
    case wire::kSkip:
        return true;
    default:
        return false;
    }
}

namespace {

// The request a frame carries, its payload in place; false when it makes
// no sense. A streamed write's request comes without its data (that came
// in pieces before it).
bool parse_request(uint64_t conn, const unsigned char *body, uint64_t len, wire::Req &w,
                   RemoteReq &r)
{
    uint64_t data_len;
    if (!take_record(body, len, w, data_len)) {
        return false;
    }
    switch (w.opcode) {
    case IBV_WR_SEND:
    case IBV_WR_SEND_WITH_IMM:
    case IBV_WR_RDMA_WRITE:
    case IBV_WR_RDMA_WRITE_WITH_IMM: {
        const bool streamed = (w.flags & wire::kStreamed) && w.opcode != IBV_WR_SEND &&
                              w.opcode != IBV_WR_SEND_WITH_IMM;
        if (data_len != (streamed ? 0 : w.len)) {
            return false;
        }
        break;
    }
    case IBV_WR_RDMA_READ:
        if (data_len != 0) {
            return false;
        }
        break;
    default:
        return false;
    }
    r.conn = conn;
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
    return true;
}

}  // namespace

Outcome Transport::deliver(RemoteReq &r, ReadSpan &read, Qp *&dst)
{
    dst = route_local(r.dgid, r.dst_qpn);
    if (!dst) {
        if (gid_known(r.dgid)) {
            return {IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn, false};
        }
        return {IBV_WC_REM_OP_ERR, kEfaUnknownPeer, false};
    }
    return accept_remote(dst, r, read);
}

bool Transport::on_request(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    wire::Req w;
    RemoteReq r;
    if (!parse_request(c->id, body, len, w, r)) {
        return false;
    }
    // Held until the outcome is written: read data is answered straight
    // from the target's memory.
    std::shared_lock world_lock(world().mtx);
    if (w.flags & wire::kStreamed) {
        // The pieces are in place, or one of them said why not.
        WriteIn in;
        if (auto it = writes_in_.find({c->id, w.id}); it != writes_in_.end()) {
            in = it->second;
            writes_in_.erase(it);
        }
        if (w.flags & wire::kLocalFault) {
            respond(r, IBV_WC_LOC_PROT_ERR, kEfaInvalidLkey, nullptr, 0);
            return true;
        }
        if (in.status != IBV_WC_SUCCESS) {
            respond(r, in.status, in.vendor, nullptr, 0);
            return true;
        }
        if (in.placed != w.len) {
            respond(r, IBV_WC_REM_ACCESS_ERR, kEfaRemoteBadAddress, nullptr, 0);
            return true;
        }
    }
    ReadSpan read;
    Qp *dst = nullptr;
    const Outcome o = deliver(r, read, dst);
    if (o.deferred) {
        return true;
    }
    if (o.status == IBV_WC_SUCCESS && r.opcode == IBV_WR_RDMA_READ && r.reply &&
        read.len > kStreamAbove) {
        if (ConnPtr out = find(r.conn); out && stream_read(*out, r, dst->pd)) {
            return true;
        }
    }
    respond(r, o.status, o.vendor, read.p, read.len);
    return true;
}

bool Transport::on_write_data(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    wire::Req w;
    RemoteReq r;
    if (!parse_request(c->id, body, len, w, r) || w.opcode != IBV_WR_RDMA_WRITE) {
        return false;
    }
    r.reply = false;
    // A piece is a plain write under the device's rules; the first that
    // fails decides the request's outcome.
    std::shared_lock world_lock(world().mtx);
    ReadSpan read;
    Qp *dst = nullptr;
    const Outcome o = deliver(r, read, dst);
    WriteIn &in = writes_in_[{c->id, w.id}];
    in.src_qpn = w.src_qpn;
    if (o.status == IBV_WC_SUCCESS) {
        in.placed += w.len;
    } else if (in.status == IBV_WC_SUCCESS) {
        in.status = o.status;
        in.vendor = o.vendor;
    }
    return true;
}

bool Transport::on_read_data(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    wire::ReadData d;
    uint64_t n;
    if (!take_record(body, len, d, n)) {
        return false;
    }
    std::shared_lock world_lock(world().mtx);
    // Held while the piece is put in place: a request taken back meanwhile
    // (its QP flushed) would free its slot for another.
    std::lock_guard lock(state_mtx);
    auto it = pending.find(d.id);
    if (it == pending.end() || it->second.conn != c->id) {
        return true;  // given up on
    }
    Pending &p = it->second;
    const Transfer t{p.src, p.slot};
    const SendWqe &req = t.src->sq[t.slot];
    if (req.opcode != IBV_WR_RDMA_READ || d.off != p.streamed || n > req.len - d.off) {
        return false;
    }
    if (!p.lost && !scatter_read_at(t, d.off, body + sizeof d, n)) {
        p.lost = true;
    }
    p.streamed += n;
    return true;
}

bool Transport::on_response(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    wire::Resp w;
    uint64_t data_len;
    if (!take_record(body, len, w, data_len)) {
        return false;
    }
    const unsigned char *data = body + sizeof w;
    std::shared_lock world_lock(world().mtx);
    Transfer t{};
    uint64_t streamed = 0;
    bool lost = false;
    {
        std::lock_guard lock(state_mtx);
        auto it = pending.find(w.id);
        // A request the sender gave up on (QP flushed or destroyed) is gone.
        if (it == pending.end() || it->second.conn != c->id) {
            return true;
        }
        t.src = it->second.src;
        t.slot = it->second.slot;
        streamed = it->second.streamed;
        lost = it->second.lost;
        pending.erase(it);
    }
    uint8_t status = w.status, vendor = w.vendor;
    const SendWqe &req = t.src->sq[t.slot];
    if (status == IBV_WC_SUCCESS && req.opcode == IBV_WR_RDMA_READ) {
        // The data came with the outcome, or in pieces before it.
        const bool placed = streamed ? !lost && streamed == req.len && data_len == 0
                                     : data_len == req.len && scatter_read(t, data, data_len);
        if (!placed) {
            status = IBV_WC_LOC_PROT_ERR;
            vendor = kEfaInvalidLkey;
        }
    }
    t.src->deferred.fetch_sub(1);
    complete_send(t, status, vendor);
    return true;
}

bool Transport::on_cancel(const ConnPtr &c, const unsigned char *body, uint64_t len)
{
    wire::Cancel w;
    uint64_t rest;
    if (!take_record(body, len, w, rest) || rest != 0) {
        return false;
    }
    std::shared_lock world_lock(world().mtx);
    drop_waiting(c->id, false, w.src_qpn);
    forget_writes_in(c->id, false, w.src_qpn);
    return true;
}

// Forgets the pieces of writes of connection `conn` whose requests will
// not come (all of them, or those of one sender QP). Caller holds the io
// lock.
void Transport::forget_writes_in(uint64_t conn, bool any_src, uint32_t src_qpn)
{
    for (auto it = writes_in_.lower_bound({conn, 0});
         it != writes_in_.end() && it->first.first == conn;) {
        if (any_src || it->second.src_qpn == src_qpn) {
            it = writes_in_.erase(it);
        } else {
            ++it;
        }
    }
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
// Caller holds the io lock.
void Transport::teardown(const ConnPtr &c)
{
    {
        std::lock_guard lock(c->mtx);
        if (c->closed) {
            return;
        }
        c->closed = true;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
        ::close(c->fd);
        c->out.clear();
        if (c->dirty.exchange(false)) {
            ndirty.fetch_sub(1);
        }
    }
    std::shared_lock world_lock(world().mtx);
    std::vector<Transfer> failed;
    {
        std::lock_guard lock(state_mtx);
        drop_conn_locked(c);
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->second.conn == c->id) {
                failed.push_back(Transfer{it->second.src, it->second.slot});
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const Transfer &t : failed) {
        t.src->deferred.fetch_sub(1);
        complete_send(t, IBV_WC_RESP_TIMEOUT_ERR, kEfaUnresponsiveRemote);
    }
    drop_waiting(c->id, true, 0);
    forget_writes_in(c->id, true, 0);
}

void Transport::respond(const RemoteReq &r, uint8_t status, uint8_t vendor,
                        const unsigned char *data, uint64_t len)
{
    if (!r.reply) {
        return;
    }
    ConnPtr c = find(r.conn);
    if (!c) {
        return;  // the sender is gone
    }
    wire::Resp w{};
    w.id = r.id;
    w.status = status;
    w.vendor = vendor;
    const ReadSpan span{data, len};
    Filler f;
    if (len) {
        f.fn = [](const void *src, unsigned char *out) {
            const auto *s = static_cast<const ReadSpan *>(src);
            std::memcpy(out, s->p, s->len);
        };
        f.ctx = &span;
        f.len = len;
    }
    send(*c, wire::kResp, &w, sizeof w, f);
}

// A request that could not go out: fails it unless the teardown of its
// connection already did.
void Transport::forget_pending(uint64_t id, const Transfer &t)
{
    {
        std::lock_guard lock(state_mtx);
        if (!pending.erase(id)) {
            return;
        }
    }
    t.src->deferred.fetch_sub(1);
    complete_send(t, IBV_WC_RESP_TIMEOUT_ERR, kEfaUnresponsiveRemote);
}

bool Transport::submit(const Transfer &t)
{
    const SendWqe &w = t.src->sq[t.slot];
    const int peer_slot = static_cast<int>(w.rqpn >> kQpnLocalBits);
    if (peer_slot == slot || peer_slot >= kXprocSlots) {
        return false;
    }
    const bool srd = t.src->srd;
    bool known = false;
    ConnPtr c = peer(peer_slot, known);
    if (!c) {
        if (!known) {
            return false;  // nobody ever answered there: an unknown QP
        }
        if (srd) {
            complete_send(t, IBV_WC_RESP_TIMEOUT_ERR, kEfaUnresponsiveRemote);
        } else {
            complete_send(t, IBV_WC_SUCCESS, kEfaOk);  // datagram lost
        }
        return true;
    }
    wire::Req r{};
    r.id = next_req.fetch_add(1);
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
    Filler f;
    if (w.opcode != IBV_WR_RDMA_READ && w.len) {
        f.fn = [](const void *tr, unsigned char *out) {
            gather_payload(*static_cast<const Transfer *>(tr), out);
        };
        f.ctx = &t;
        f.len = w.len;
    }
    if (!srd) {
        send(*c, wire::kReq, &r, sizeof r, f);
        complete_send(t, IBV_WC_SUCCESS, kEfaOk);  // unreliable: done once sent
        return true;
    }
    {
        std::lock_guard lock(state_mtx);
        pending.emplace(r.id, Pending{t.src, t.slot, c->id});
    }
    t.src->deferred.fetch_add(1);
    // A large write goes in pieces as the ring makes room, rather than
    // copied whole into a queue first.
    const bool stream = (w.opcode == IBV_WR_RDMA_WRITE || w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM) &&
                        !w.inl && w.len > kStreamAbove;
    if (stream) {
        r.flags = wire::kStreamed;
    }
    if (!(stream ? stream_write(*c, t, r) : send(*c, wire::kReq, &r, sizeof r, f))) {
        forget_pending(r.id, t);
    }
    return true;
}

void Transport::take_from(Qp *qp, std::deque<Transfer> &out)
{
    std::vector<uint64_t> told;
    std::lock_guard lock(state_mtx);
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->second.src != qp) {
            ++it;
            continue;
        }
        out.push_back(Transfer{qp, it->second.slot});
        const uint64_t conn = it->second.conn;
        it = pending.erase(it);
        bool seen = false;
        for (uint64_t id : told) {
            seen |= id == conn;
        }
        if (seen) {
            continue;
        }
        told.push_back(conn);
        auto ci = conns.find(conn);
        if (ci != conns.end()) {
            // Its writes still on their way stop here: their slots are
            // about to be freed.
            {
                Conn &oc = *ci->second;
                std::lock_guard out_lock(oc.mtx);
                std::erase_if(oc.out, [qp](const OutFrame &f) {
                    return f.wstream && f.wstream->t.src == qp;
                });
            }
            wire::Cancel w{};
            w.src_qpn = qp->qpx.qp_base.qp_num;
            send(*ci->second, wire::kCancel, &w, sizeof w);
        }
    }
}

}  // namespace vsim
