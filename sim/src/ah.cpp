// Address handles.
#include "call.hpp"
#include "children.hpp"
#include "ops.hpp"
#include "transport.hpp"
#include "world.hpp"

#include <cstring>
#include <mutex>
#include <new>

using namespace vsim;

namespace {

// AH numbers carry this process's slot, so they are unique on the host.
bool take_ahn(Device *dev, uint16_t &out)
{
    const unsigned base = static_cast<unsigned>(xproc_slot()) << kAhnLocalBits;
    std::lock_guard lock(dev->ahn_mtx);
    for (unsigned n = 0; n < kAhnLocalCount; ++n) {
        const unsigned cand = (dev->ahn_cursor + n) % kAhnLocalCount;
        if (!dev->ahn_used[cand]) {
            dev->ahn_used[cand] = true;
            dev->ahn_cursor = cand + 1;
            out = static_cast<uint16_t>(base | cand);
            return true;
        }
    }
    return false;
}

}  // namespace

VSIM_API ibv_ah *ibv_create_ah(ibv_pd *p, ibv_ah_attr *attr)
{
    Call call(Fn::ibv_create_ah);
    if (auto *l = call.log()) {
        l->u("pd", p ? p->handle : 0);
        if (attr) {
            l->hex_bytes("dgid", attr->grh.dgid.raw, 16)
                .u("flow_label", attr->grh.flow_label)
                .u("sgid_index", attr->grh.sgid_index)
                .u("hop_limit", attr->grh.hop_limit)
                .u("traffic_class", attr->grh.traffic_class)
                .u("dlid", attr->dlid)
                .u("sl", attr->sl)
                .u("src_path_bits", attr->src_path_bits)
                .u("static_rate", attr->static_rate)
                .u("is_global", attr->is_global)
                .u("port_num", attr->port_num);
        }
    }
    if (call.faulted()) {
        return call.fault_null<ibv_ah>();
    }
    if (!p || !attr) {
        return call.null<ibv_ah>(EINVAL);
    }
    Pd *pd = to_pd(p);
    Device *dev = pd->ctx->dev;
    if (attr->port_num < 1 || attr->port_num > dev->cfg.dattr.phys_port_cnt ||
        attr->grh.sgid_index >= dev->cfg.pattr.gid_tbl_len) {
        return call.null<ibv_ah>(EINVAL);
    }
    if (dev->n_ah.fetch_add(1) >= dev->cfg.dattr.max_ah) {
        dev->n_ah.fetch_sub(1);
        return call.null<ibv_ah>(ENOMEM);
    }
    auto *a = new (std::nothrow) Ah;
    uint16_t ahn = 0;
    if (!a || !take_ahn(dev, ahn)) {
        delete a;
        dev->n_ah.fetch_sub(1);
        return call.null<ibv_ah>(ENOMEM);
    }
    a->pd = pd;
    a->dgid = attr->grh.dgid;
    a->ahn = ahn;
    a->ah.context = pub(pd->ctx);
    a->ah.pd = p;
    a->ah.handle = world().next_handle.fetch_add(1);
    {
        const GidKey k = gid_key(a->dgid);
        std::lock_guard lock(pd->ah_mtx);
        bool found = false;
        for (auto &e : pd->ah_gids) {
            if (e.first == k) {
                ++e.second;
                found = true;
            }
        }
        if (!found) {
            pd->ah_gids.emplace_back(k, 1);
        }
    }
    pd->ahs.fetch_add(1);
    live_add(Kind::Ah, 1);
    adopt(pd->ctx, Kind::Ah, a);
    if (auto *l = call.log()) {
        l->u("ret", ahn);
    }
    return &a->ah;
}

VSIM_API int ibv_destroy_ah(ibv_ah *ah)
{
    Call call(Fn::ibv_destroy_ah);
    if (auto *l = call.log()) {
        l->u("ah", ah ? to_ah(ah)->ahn : 0);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ah) {
        return call.rc(EINVAL);
    }
    Ah *a = to_ah(ah);
    Pd *pd = a->pd;
    {
        const GidKey k = gid_key(a->dgid);
        std::lock_guard lock(pd->ah_mtx);
        for (auto it = pd->ah_gids.begin(); it != pd->ah_gids.end(); ++it) {
            if (it->first == k) {
                if (--it->second == 0) {
                    pd->ah_gids.erase(it);
                }
                break;
            }
        }
    }
    Device *dev = pd->ctx->dev;
    {
        std::lock_guard lock(dev->ahn_mtx);
        dev->ahn_used[a->ahn & (kAhnLocalCount - 1)] = false;
    }
    dev->n_ah.fetch_sub(1);
    pd->ahs.fetch_sub(1);
    disown(pd->ctx, Kind::Ah, a);
    delete a;
    live_add(Kind::Ah, -1);
    return call.rc(0);
}

VSIM_API int vsim_efa_query_ah(ibv_ah *ah, efadv_ah_attr *attr, uint32_t inlen)
{
    Call call(Fn::efadv_query_ah);
    if (auto *l = call.log()) {
        l->u("ah", ah ? to_ah(ah)->ahn : 0).u("inlen", inlen);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ah || !attr) {
        return call.rc(EINVAL);
    }
    if (!to_ah(ah)->pd->ctx->dev->cfg.efa) {
        return call.rc(EOPNOTSUPP);
    }
    efadv_ah_attr out{};
    out.ahn = to_ah(ah)->ahn;
    std::memcpy(attr, &out, inlen < sizeof out ? inlen : sizeof out);
    return call.rc(0);
}
