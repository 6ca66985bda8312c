// Device discovery, contexts and the device queries.
#include "call.hpp"
#include "children.hpp"
#include "fork.hpp"
#include "ops.hpp"
#include "world.hpp"

#include <infiniband/verbs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <new>

using namespace vsim;

namespace {

// libibverbs turns fork protection on by itself when the environment asks
// for it, the first time devices are listed.
void fork_init_from_environment()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if ((std::getenv("RDMAV_FORK_SAFE") || std::getenv("IBV_FORK_SAFE")) && fork_init() != 0) {
            std::fprintf(stderr, "libibverbs: Warning: fork()-safety requested but init failed\n");
        }
    });
}

}  // namespace

VSIM_API ibv_device **ibv_get_device_list(int *num_devices)
{
    Call call(Fn::ibv_get_device_list);
    fork_init_from_environment();
    if (call.faulted()) {
        if (num_devices) {
            *num_devices = 0;
        }
        return call.fault_null<ibv_device *>();
    }
    const std::vector<Device *> devs = device_snapshot();
    auto **list = static_cast<ibv_device **>(std::calloc(devs.size() + 1, sizeof(ibv_device *)));
    if (!list) {
        return call.null<ibv_device *>(ENOMEM);
    }
    for (std::size_t i = 0; i < devs.size(); ++i) {
        list[i] = &devs[i]->ibdev;
    }
    if (num_devices) {
        *num_devices = static_cast<int>(devs.size());
    }
    if (auto *l = call.log()) {
        std::string names = "[";
        for (std::size_t i = 0; i < devs.size(); ++i) {
            if (i) {
                names += ',';
            }
            names += LogEntry::quote(devs[i]->cfg.name.c_str());
        }
        l->raw("ret", names + "]");
    }
    return list;
}

VSIM_API void ibv_free_device_list(ibv_device **list)
{
    Call call(Fn::ibv_free_device_list);
    std::free(list);
}

VSIM_API const char *ibv_get_device_name(ibv_device *device)
{
    Call call(Fn::ibv_get_device_name);
    if (call.faulted()) {
        return call.fault_null<const char>();
    }
    if (!device) {
        return call.null<const char>(EINVAL);
    }
    if (auto *l = call.log()) {
        l->s("ret", device->name);
    }
    return device->name;
}

VSIM_API __be64 ibv_get_device_guid(ibv_device *device)
{
    Call call(Fn::ibv_get_device_guid);
    if (auto *l = call.log()) {
        l->s("device", device ? device->name : nullptr);
    }
    if (call.faulted()) {
        return static_cast<__be64>(call.fault_rc());
    }
    if (!device) {
        errno = EINVAL;
        return 0;
    }
    return to_device(device)->cfg.dattr.node_guid;
}

VSIM_API ibv_context *ibv_open_device(ibv_device *device)
{
    Call call(Fn::ibv_open_device);
    if (auto *l = call.log()) {
        l->s("device", device ? device->name : nullptr);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_context>();
    }
    if (!device) {
        return call.null<ibv_context>(EINVAL);
    }
    Device *dev = to_device(device);
    {
        // Only devices of the current set can be opened.
        bool present = false;
        for (Device *d : device_snapshot()) {
            present |= d == dev;
        }
        if (!present) {
            return call.null<ibv_context>(ENODEV);
        }
    }
    auto *c = new (std::nothrow) Context;
    if (!c) {
        return call.null<ibv_context>(ENOMEM);
    }
    if (!c->async.ok()) {
        const int err = errno;
        delete c;
        return call.null<ibv_context>(err);
    }
    c->dev = dev;
    c->id = world().next_ctx_id.fetch_add(1);
    verbs_context &v = c->vctx;
    std::memset(static_cast<void *>(&v), 0, sizeof v);
    v.sz = sizeof(verbs_context);
    v.create_qp_ex = op_create_qp_ex;
    v.create_cq_ex = op_create_cq_ex;
    v.query_port = op_query_port_ex;
    v.query_device_ex = op_query_device_ex;
    ibv_context &ic = v.context;
    ic.device = device;
    ic.ops.poll_cq = op_poll_cq;
    ic.ops.req_notify_cq = op_req_notify_cq;
    ic.ops.post_recv = op_post_recv;
    ic.ops.post_send = op_post_send;
    ic.cmd_fd = -1;
    ic.async_fd = c->async.fd();
    ic.num_comp_vectors = dev->cfg.num_comp_vectors;
    pthread_mutex_init(&ic.mutex, nullptr);
    ic.abi_compat = __VERBS_ABI_IS_EXTENDED;
    {
        std::lock_guard lock(world().obj_mtx);
        world().contexts.push_back(c);
    }
    live_add(Kind::Context, 1);
    if (auto *l = call.log()) {
        l->u("ret", c->id).i("async_fd", ic.async_fd);
    }
    return &ic;
}

VSIM_API int ibv_close_device(ibv_context *context)
{
    Call call(Fn::ibv_close_device);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context) {
        return call.neg1(EINVAL);
    }
    Context *c = to_ctx(context);
    // Closing the device file makes the kernel release everything still
    // open on it; programs (perftest among them) rely on that at exit.
    if (release_children(c) != 0) {
        return call.neg1(EBUSY);
    }
    {
        std::lock_guard lock(world().obj_mtx);
        auto &v = world().contexts;
        v.erase(std::remove(v.begin(), v.end(), c), v.end());
    }
    pthread_mutex_destroy(&context->mutex);
    delete c;
    live_add(Kind::Context, -1);
    return call.rc(0);
}

VSIM_API int ibv_query_device(ibv_context *context, ibv_device_attr *attr)
{
    Call call(Fn::ibv_query_device);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !attr) {
        return call.rc(EINVAL);
    }
    *attr = to_ctx(context)->dev->cfg.dattr;
    return call.rc(0);
}

namespace vsim {

// The extended device query: the classic attributes, and zero for every
// extended feature, as the EFA provider reports them (EFA has no ODP, TSO,
// RSS, packet pacing, tag matching or device memory, and no completion
// timestamps).
int op_query_device_ex(ibv_context *context, const ibv_query_device_ex_input *input,
                       ibv_device_attr_ex *attr, size_t attr_size)
{
    Call call(Fn::query_device_ex);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context)).u("attr_size", attr_size);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !attr || (input && input->comp_mask) || attr_size < sizeof(ibv_device_attr)) {
        return call.rc(EINVAL);
    }
    const DeviceConfig &cfg = to_ctx(context)->dev->cfg;
    ibv_device_attr_ex out{};
    out.orig_attr = cfg.dattr;
    out.device_cap_flags_ex = static_cast<unsigned int>(cfg.dattr.device_cap_flags);
    out.phys_port_cnt_ex = cfg.dattr.phys_port_cnt;
    std::memset(static_cast<void *>(attr), 0, attr_size);
    std::memcpy(static_cast<void *>(attr), &out, attr_size < sizeof out ? attr_size : sizeof out);
    return call.rc(0);
}

int query_port_common(Context *c, uint8_t port, ibv_port_attr *out)
{
    if (port < 1 || port > c->dev->cfg.dattr.phys_port_cnt) {
        return EINVAL;
    }
    *out = c->dev->cfg.pattr;
    return 0;
}

int op_query_port_ex(ibv_context *context, uint8_t port, ibv_port_attr *attr, size_t len)
{
    Call call(Fn::query_port_ex);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context)).u("port", port).u("len", len);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !attr) {
        return call.rc(EINVAL);
    }
    ibv_port_attr tmp;
    const int rc = query_port_common(to_ctx(context), port, &tmp);
    if (rc) {
        return call.rc(rc);
    }
    std::memset(attr, 0, len);
    std::memcpy(attr, &tmp, len < sizeof tmp ? len : sizeof tmp);
    return call.rc(0);
}

}  // namespace vsim

// The header turns ibv_query_port into a macro over an inline helper; the
// parentheses keep it from expanding so the library function gets defined.
VSIM_API int(ibv_query_port)(ibv_context *context, uint8_t port_num,
                             _compat_ibv_port_attr *port_attr)
{
    Call call(Fn::ibv_query_port);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context)).u("port", port_num);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !port_attr) {
        return call.rc(EINVAL);
    }
    ibv_port_attr tmp;
    const int rc = query_port_common(to_ctx(context), port_num, &tmp);
    if (rc) {
        return call.rc(rc);
    }
    std::memcpy(static_cast<void *>(port_attr), &tmp, sizeof tmp);
    return call.rc(0);
}

VSIM_API int ibv_query_gid(ibv_context *context, uint8_t port_num, int index, ibv_gid *gid)
{
    Call call(Fn::ibv_query_gid);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context)).u("port", port_num).i("index", index);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !gid) {
        return call.neg1(EINVAL);
    }
    const DeviceConfig &cfg = to_ctx(context)->dev->cfg;
    if (port_num < 1 || port_num > cfg.dattr.phys_port_cnt || index < 0 ||
        index >= cfg.pattr.gid_tbl_len) {
        return call.neg1(EINVAL);
    }
    *gid = cfg.gid;
    return call.rc(0);
}

VSIM_API int vsim_efa_query_device(ibv_context *context, efadv_device_attr *attr, uint32_t inlen)
{
    Call call(Fn::efadv_query_device);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context)).u("inlen", inlen);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!context || !attr) {
        return call.rc(EINVAL);
    }
    const DeviceConfig &cfg = to_ctx(context)->dev->cfg;
    if (!cfg.efa) {
        return call.rc(EOPNOTSUPP);
    }
    efadv_device_attr out = cfg.eattr;
    out.comp_mask = 0;
    std::memcpy(attr, &out, inlen < sizeof out ? inlen : sizeof out);
    if (inlen > sizeof out) {
        std::memset(reinterpret_cast<char *>(attr) + sizeof out, 0, inlen - sizeof out);
    }
    return call.rc(0);
}
