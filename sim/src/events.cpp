// Completion channels, channel events and asynchronous events.
#include "call.hpp"
#include "children.hpp"
#include "ops.hpp"
#include "fabric.hpp"
#include "world.hpp"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>

using namespace vsim;

namespace vsim {

void EventTally::report(bool comp)
{
    std::lock_guard lock(mtx);
    ++(comp ? comp_reported : async_reported);
}

void EventTally::ack(bool comp, uint32_t n)
{
    {
        std::lock_guard lock(mtx);
        (comp ? comp_acked : async_acked) += n;
    }
    cv.notify_all();
}

bool EventTally::wait_settled()
{
    std::unique_lock lock(mtx);
    const auto limit = std::chrono::milliseconds(world().destroy_timeout_ms.load());
    return cv.wait_for(lock, limit, [this] { return settled_locked(); });
}

namespace {

bool is_qp_event(ibv_event_type t)
{
    switch (t) {
    case IBV_EVENT_QP_FATAL:
    case IBV_EVENT_QP_REQ_ERR:
    case IBV_EVENT_QP_ACCESS_ERR:
    case IBV_EVENT_COMM_EST:
    case IBV_EVENT_SQ_DRAINED:
    case IBV_EVENT_PATH_MIG:
    case IBV_EVENT_PATH_MIG_ERR:
    case IBV_EVENT_QP_LAST_WQE_REACHED:
        return true;
    default:
        return false;
    }
}

}  // namespace

void cq_raise_async(Cq *cq, ibv_event_type type)
{
    ibv_async_event ev{};
    ev.element.cq = reinterpret_cast<ibv_cq *>(&cq->cqx);
    ev.event_type = type;
    cq->ctx->async.push(ev);
}

void qp_raise_async(Qp *qp, ibv_event_type type)
{
    ibv_async_event ev{};
    ev.element.qp = &qp->qpx.qp_base;
    ev.event_type = type;
    qp->ctx->async.push(ev);
}

// Drops queued async events naming `element` (a destroyed CQ or QP).
void drop_async_events(Context *c, void *element)
{
    c->async.remove_if([element](const ibv_async_event &ev) { return ev.element.cq == element; });
}

}  // namespace vsim

VSIM_API ibv_comp_channel *ibv_create_comp_channel(ibv_context *context)
{
    Call call(Fn::ibv_create_comp_channel);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
    }
    if (call.faulted()) {
        return call.fault_null<ibv_comp_channel>();
    }
    if (!context) {
        return call.null<ibv_comp_channel>(EINVAL);
    }
    auto *ch = new (std::nothrow) Channel;
    if (!ch) {
        return call.null<ibv_comp_channel>(ENOMEM);
    }
    if (!ch->events.ok()) {
        const int err = errno;
        delete ch;
        return call.null<ibv_comp_channel>(err);
    }
    ch->ctx = to_ctx(context);
    ch->ch.context = context;
    ch->ch.fd = ch->events.fd();
    ch->ch.refcnt = 0;
    ch->ctx->children.fetch_add(1);
    live_add(Kind::Channel, 1);
    adopt(ch->ctx, Kind::Channel, ch);
    if (auto *l = call.log()) {
        l->i("ret", ch->ch.fd);
    }
    return &ch->ch;
}

VSIM_API int ibv_destroy_comp_channel(ibv_comp_channel *channel)
{
    Call call(Fn::ibv_destroy_comp_channel);
    if (auto *l = call.log()) {
        l->i("channel", channel ? channel->fd : -1);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!channel) {
        return call.rc(EINVAL);
    }
    Channel *ch = to_chan(channel);
    if (ch->cqs.load() > 0) {
        return call.rc(EBUSY);
    }
    ch->ctx->children.fetch_sub(1);
    disown(ch->ctx, Kind::Channel, ch);
    delete ch;
    live_add(Kind::Channel, -1);
    return call.rc(0);
}

VSIM_API int ibv_get_cq_event(ibv_comp_channel *channel, ibv_cq **cq, void **cq_context)
{
    Call call(Fn::ibv_get_cq_event);
    if (auto *l = call.log()) {
        l->i("channel", channel ? channel->fd : -1);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!channel || !cq || !cq_context) {
        return call.neg1(EINVAL);
    }
    Cq *got = nullptr;
    const int fd = channel->fd;
    if (!to_chan(channel)->events.take(
            got, [](Cq *c) { c->tally.report(true); }, [fd] { return fabric_wait(fd); })) {
        return call.neg1(errno);
    }
    *cq = reinterpret_cast<ibv_cq *>(&got->cqx);
    *cq_context = got->cqx.cq_context;
    if (auto *l = call.log()) {
        l->u("cq", got->cqx.handle).i("ret", 0);
    }
    return 0;
}

VSIM_API void ibv_ack_cq_events(ibv_cq *cq, unsigned int nevents)
{
    Call call(Fn::ibv_ack_cq_events);
    if (auto *l = call.log()) {
        l->u("cq", cq ? cq->handle : 0).u("nevents", nevents);
    }
    if (!cq || call.faulted()) {
        return;
    }
    Cq *c = to_cq(cq);
    c->tally.ack(true, nevents);
    pthread_mutex_lock(&c->cqx.mutex);
    c->cqx.comp_events_completed += nevents;
    pthread_mutex_unlock(&c->cqx.mutex);
}

VSIM_API int ibv_get_async_event(ibv_context *context, ibv_async_event *event)
{
    Call call(Fn::ibv_get_async_event);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !event) {
        return call.neg1(EINVAL);
    }
    ibv_async_event ev{};
    const bool ok = to_ctx(context)->async.take(ev, [](const ibv_async_event &e) {
        if (e.event_type == IBV_EVENT_CQ_ERR) {
            to_cq(e.element.cq)->tally.report(false);
        } else if (is_qp_event(e.event_type)) {
            to_qp(e.element.qp)->tally.report(false);
        }
    });
    if (!ok) {
        return call.neg1(errno);
    }
    *event = ev;
    if (auto *l = call.log()) {
        l->i("event_type", ev.event_type).i("ret", 0);
    }
    return 0;
}

VSIM_API void ibv_ack_async_event(ibv_async_event *event)
{
    Call call(Fn::ibv_ack_async_event);
    if (auto *l = call.log()) {
        l->i("event_type", event ? event->event_type : -1);
    }
    if (!event || call.faulted()) {
        return;
    }
    if (event->event_type == IBV_EVENT_CQ_ERR && event->element.cq) {
        Cq *c = to_cq(event->element.cq);
        c->tally.ack(false, 1);
    } else if (is_qp_event(event->event_type) && event->element.qp) {
        to_qp(event->element.qp)->tally.ack(false, 1);
    }
}
