// Human-readable texts for completion statuses and async event types, as
// libibverbs prints them.
#include "call.hpp"

using namespace vsim;

namespace {

const char *const kWcStatus[] = {
    "success",
    "local length error",
    "local QP operation error",
    "local EE context operation error",
    "local protection error",
    "Work Request Flushed Error",
    "memory management operation error",
    "bad response error",
    "local access error",
    "remote invalid request error",
    "remote access error",
    "remote operation error",
    "transport retry counter exceeded",
    "RNR retry counter exceeded",
    "local RDD violation error",
    "remote invalid RD request",
    "aborted error",
    "invalid EE context number",
    "invalid EE context state",
    "fatal error",
    "response timeout error",
    "general error",
    "TM error",
    "TM software rendezvous",
};

const char *const kEventType[] = {
    "CQ error",
    "local work queue catastrophic error",
    "invalid request local work queue error",
    "local access violation work queue error",
    "communication established",
    "send queue drained",
    "path migrated",
    "path migration request error",
    "local catastrophic error",
    "port active",
    "port error",
    "LID change",
    "P_Key change",
    "SM change",
    "SRQ catastrophic error",
    "SRQ limit reached",
    "last WQE reached",
    "client reregistration",
    "GID table change",
    "WQ fatal",
};

template <std::size_t N>
const char *lookup(const char *const (&table)[N], int v)
{
    return (v < 0 || static_cast<std::size_t>(v) >= N) ? "unknown" : table[v];
}

}  // namespace

VSIM_API const char *ibv_wc_status_str(ibv_wc_status status)
{
    Call call(Fn::ibv_wc_status_str);
    if (auto *l = call.log()) {
        l->i("status", status);
    }
    if (call.faulted()) {
        return call.fault_null<const char>();
    }
    return lookup(kWcStatus, status);
}

VSIM_API const char *ibv_event_type_str(ibv_event_type event)
{
    Call call(Fn::ibv_event_type_str);
    if (auto *l = call.log()) {
        l->i("event", event);
    }
    if (call.faulted()) {
        return call.fault_null<const char>();
    }
    return lookup(kEventType, event);
}
