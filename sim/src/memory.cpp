// Protection domains and memory regions.
#include "call.hpp"
#include "children.hpp"
#include "fork.hpp"
#include "mapping.hpp"
#include "ops.hpp"
#include "world.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>

using namespace vsim;

namespace {

constexpr int kWriteAccess = IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE |
                             IBV_ACCESS_REMOTE_ATOMIC | IBV_ACCESS_MW_BIND;

// Access flags as the EFA provider checks them: 0 or an error code.
int check_access(const DeviceConfig &cfg, int access)
{
    if ((access & (IBV_ACCESS_REMOTE_WRITE | IBV_ACCESS_REMOTE_ATOMIC)) &&
        !(access & IBV_ACCESS_LOCAL_WRITE)) {
        return EINVAL;
    }
    int supported =
        static_cast<int>(IBV_ACCESS_LOCAL_WRITE) | static_cast<int>(IBV_ACCESS_OPTIONAL_RANGE);
    if (cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_RDMA_READ) {
        supported |= IBV_ACCESS_REMOTE_READ;
    }
    if (cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_RDMA_WRITE) {
        supported |= IBV_ACCESS_REMOTE_WRITE;
    }
    if (!cfg.efa) {
        supported |= IBV_ACCESS_REMOTE_READ | IBV_ACCESS_REMOTE_WRITE;
    }
    if (access & ~supported) {
        return EOPNOTSUPP;
    }
    return 0;
}

// Registers `mr` (filled except keys and handle): checks limits, assigns
// keys, makes it visible to the data path.
int finish_registration(Pd *pd, Mr *m, std::size_t length)
{
    Device *dev = pd->ctx->dev;
    if (dev->n_mr.fetch_add(1) >= dev->cfg.dattr.max_mr) {
        dev->n_mr.fetch_sub(1);
        return ENOMEM;
    }
    m->mr.context = pub(pd->ctx);
    m->mr.pd = &pd->pd;
    m->mr.length = length;
    m->mr.handle = world().next_handle.fetch_add(1);
    {
        std::unique_lock lock(world().mtx);
        m->mr.lkey = m->mr.rkey = mr_insert_locked(m);
    }
    pd->mrs.fetch_add(1);
    live_add(Kind::Mr, 1);
    adopt(pd->ctx, Kind::Mr, m);
    return 0;
}

void log_mr(LogEntry *l, const Mr *m)
{
    if (l) {
        l->u("ret", m->mr.handle).x("lkey", m->mr.lkey).x("rkey", m->mr.rkey);
    }
}

}  // namespace

VSIM_API ibv_pd *ibv_alloc_pd(ibv_context *context)
{
    Call call(Fn::ibv_alloc_pd);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
    }
    if (call.faulted()) {
        return call.fault_null<ibv_pd>();
    }
    if (!context) {
        return call.null<ibv_pd>(EINVAL);
    }
    Context *c = to_ctx(context);
    if (c->dev->n_pd.fetch_add(1) >= c->dev->cfg.dattr.max_pd) {
        c->dev->n_pd.fetch_sub(1);
        return call.null<ibv_pd>(ENOMEM);
    }
    auto *pd = new (std::nothrow) Pd;
    if (!pd) {
        c->dev->n_pd.fetch_sub(1);
        return call.null<ibv_pd>(ENOMEM);
    }
    pd->ctx = c;
    pd->pd.context = context;
    pd->pd.handle = world().next_handle.fetch_add(1);
    c->children.fetch_add(1);
    live_add(Kind::Pd, 1);
    adopt(c, Kind::Pd, pd);
    if (auto *l = call.log()) {
        l->u("ret", pd->pd.handle);
    }
    return &pd->pd;
}

VSIM_API int ibv_dealloc_pd(ibv_pd *p)
{
    Call call(Fn::ibv_dealloc_pd);
    if (auto *l = call.log()) {
        l->u("pd", p ? p->handle : 0);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!p) {
        return call.rc(EINVAL);
    }
    Pd *pd = to_pd(p);
    if (pd->mrs.load() || pd->qps.load() || pd->ahs.load()) {
        return call.rc(EBUSY);
    }
    pd->ctx->children.fetch_sub(1);
    pd->ctx->dev->n_pd.fetch_sub(1);
    disown(pd->ctx, Kind::Pd, pd);
    delete pd;
    live_add(Kind::Pd, -1);
    return call.rc(0);
}

VSIM_API ibv_mr *ibv_reg_mr_iova2(ibv_pd *p, void *addr, size_t length, uint64_t iova,
                                  unsigned int access)
{
    Call call(Fn::ibv_reg_mr_iova2);
    if (auto *l = call.log()) {
        l->u("pd", p ? p->handle : 0)
            .x("addr", reinterpret_cast<uintptr_t>(addr))
            .u("length", length)
            .x("iova", iova)
            .x("access", access);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_mr>();
    }
    if (!p) {
        return call.null<ibv_mr>(EINVAL);
    }
    Pd *pd = to_pd(p);
    const DeviceConfig &cfg = pd->ctx->dev->cfg;
    if (const int err = check_access(cfg, static_cast<int>(access))) {
        return call.null<ibv_mr>(err);
    }
    if (length == 0 || length > cfg.dattr.max_mr_size) {
        return call.null<ibv_mr>(EINVAL);
    }
    const auto a = reinterpret_cast<uintptr_t>(addr);
    if (a + length < a && a + length != 0) {
        return call.null<ibv_mr>(EINVAL);
    }
    if (!range_mapped(a, length, access & kWriteAccess)) {
        return call.null<ibv_mr>(EFAULT);
    }
    if (const int err = dontfork_range(addr, length)) {
        return call.null<ibv_mr>(err);
    }
    auto *m = new (std::nothrow) Mr;
    if (!m) {
        dofork_range(addr, length);
        return call.null<ibv_mr>(ENOMEM);
    }
    m->pd = pd;
    m->iova = iova;
    m->host = static_cast<unsigned char *>(addr);
    m->len = length;
    m->access = static_cast<int>(access);
    m->mr.addr = addr;
    if (const int err = finish_registration(pd, m, length)) {
        delete m;
        dofork_range(addr, length);
        return call.null<ibv_mr>(err);
    }
    log_mr(call.log(), m);
    return &m->mr;
}

namespace vsim {

ibv_mr *reg_dmabuf(ibv_pd *p, uint64_t offset, size_t length, uint64_t iova, int fd, int access)
{
    Call call(Fn::ibv_reg_dmabuf_mr);
    if (auto *l = call.log()) {
        l->u("pd", p ? p->handle : 0)
            .u("offset", offset)
            .u("length", length)
            .x("iova", iova)
            .i("fd", fd)
            .x("access", static_cast<unsigned>(access));
    }
    if (call.faulted()) {
        return call.fault_null<ibv_mr>();
    }
    if (!p) {
        return call.null<ibv_mr>(EINVAL);
    }
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
        return call.null<ibv_mr>(EBADF);
    }
    Pd *pd = to_pd(p);
    const DeviceConfig &cfg = pd->ctx->dev->cfg;
    if (const int err = check_access(cfg, access)) {
        return call.null<ibv_mr>(err);
    }
    if (length == 0 || length > cfg.dattr.max_mr_size) {
        return call.null<ibv_mr>(EINVAL);
    }
    struct stat st{};
    if (::fstat(fd, &st) < 0) {
        return call.null<ibv_mr>(EBADF);
    }
    // The buffer must lie inside the object, or touching it would fault.
    if (offset > static_cast<uint64_t>(st.st_size) ||
        length > static_cast<uint64_t>(st.st_size) - offset) {
        return call.null<ibv_mr>(EINVAL);
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    const uint64_t base = offset & ~static_cast<uint64_t>(page - 1);
    const std::size_t map_len = static_cast<std::size_t>(offset - base) + length;
    void *map =
        ::mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(base));
    if (map == MAP_FAILED) {
        return call.null<ibv_mr>(EINVAL);
    }
    auto *m = new (std::nothrow) Mr;
    if (!m) {
        ::munmap(map, map_len);
        return call.null<ibv_mr>(ENOMEM);
    }
    m->pd = pd;
    m->iova = iova;
    m->host = static_cast<unsigned char *>(map) + (offset - base);
    m->len = length;
    m->access = access;
    m->map_base = map;
    m->map_len = map_len;
    m->mr.addr = reinterpret_cast<void *>(static_cast<uintptr_t>(offset));
    if (const int err = finish_registration(pd, m, length)) {
        ::munmap(map, map_len);
        delete m;
        return call.null<ibv_mr>(err);
    }
    log_mr(call.log(), m);
    return &m->mr;
}

}  // namespace vsim

VSIM_API int ibv_dereg_mr(ibv_mr *mr)
{
    Call call(Fn::ibv_dereg_mr);
    if (auto *l = call.log()) {
        l->u("mr", mr ? mr->handle : 0);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!mr) {
        return call.rc(EINVAL);
    }
    Mr *m = to_mr(mr);
    {
        std::unique_lock lock(world().mtx);
        mr_erase_locked(m->mr.lkey);
    }
    if (m->map_base) {
        ::munmap(m->map_base, m->map_len);
    } else {
        dofork_range(m->host, m->len);
    }
    m->pd->mrs.fetch_sub(1);
    m->pd->ctx->dev->n_mr.fetch_sub(1);
    disown(m->pd->ctx, Kind::Mr, m);
    delete m;
    live_add(Kind::Mr, -1);
    return call.rc(0);
}

VSIM_API int vsim_efa_query_mr(ibv_mr *mr, efadv_mr_attr *attr, uint32_t inlen)
{
    Call call(Fn::efadv_query_mr);
    if (auto *l = call.log()) {
        l->u("mr", mr ? mr->handle : 0).u("inlen", inlen);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!mr || !attr) {
        return call.rc(EINVAL);
    }
    if (!to_mr(mr)->pd->ctx->dev->cfg.efa) {
        return call.rc(EOPNOTSUPP);
    }
    efadv_mr_attr out{};
    out.ic_id_validity = EFADV_MR_ATTR_VALIDITY_RECV_IC_ID |
                         EFADV_MR_ATTR_VALIDITY_RDMA_READ_IC_ID |
                         EFADV_MR_ATTR_VALIDITY_RDMA_RECV_IC_ID;
    out.recv_ic_id = 0;
    out.rdma_read_ic_id = 1;
    out.rdma_recv_ic_id = 2;
    std::memcpy(attr, &out, inlen < sizeof out ? inlen : sizeof out);
    return call.rc(0);
}
