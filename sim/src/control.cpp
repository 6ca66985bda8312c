// The vsim_* control interface (see sim/include/vsim.h).
#include "../include/vsim.h"

#include "call.hpp"
#include "fabric.hpp"
#include "ops.hpp"
#include "transport.hpp"
#include "world.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

using namespace vsim;

// Defined only by the full build (next to ibv_reg_dmabuf_mr).
extern "C" int vsim_optional_marker __attribute__((weak));

namespace {

constexpr int kDefaultDestroyTimeoutMs = 3000;

Device *device_at(int index)
{
    World &w = world();
    if (index < 0 || static_cast<std::size_t>(index) >= w.current.size()) {
        return nullptr;
    }
    return w.current[static_cast<std::size_t>(index)];
}

// Runs `f` on device `index` under the device lock: -ENODEV where there is
// no such device, -EINVAL where `f` refuses its arguments. A change (`writes`)
// means the devices are no longer the default set that a reset can skip.
template <class F>
int with_device(int index, bool writes, F f)
{
    ensure_default_devices();
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    Device *d = device_at(index);
    if (!d) {
        return -ENODEV;
    }
    if (!f(*d)) {
        return -EINVAL;
    }
    if (writes) {
        w.pristine = false;
    }
    return 0;
}

// Contexts an event for `device` / `async_fd` goes to (caller holds obj_mtx).
template <class F>
int for_contexts(const char *device, int async_fd, F f)
{
    int n = 0;
    for (Context *c : world().contexts) {
        if (async_fd >= 0 ? c->async.fd() == async_fd : (device && c->dev->cfg.name == device)) {
            f(c);
            ++n;
        }
    }
    return n ? 0 : -ENOENT;
}

}  // namespace

VSIM_API int vsim_has_optional_symbols(void) { return &vsim_optional_marker != nullptr; }

VSIM_API void vsim_clear_faults(void) { clear_faults(); }

VSIM_API void vsim_reset(void)
{
    resume_all();
    clear_faults();
    g_log_on.store(false);
    clear_log();
    reset_counts();
    fabric_release(false);
    world().destroy_timeout_ms.store(kDefaultDestroyTimeoutMs);
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    if (!w.pristine) {
        set_default_devices_locked();
    }
}

VSIM_API void vsim_clear_devices(void)
{
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    w.current.clear();
    w.configured = true;
    w.pristine = false;
}

VSIM_API int vsim_add_device(const char *name, int is_efa)
{
    if (!name || !*name || std::strlen(name) >= IBV_SYSFS_NAME_MAX) {
        return -EINVAL;
    }
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    if (!w.configured) {
        set_default_devices_locked();
    }
    for (Device *d : w.current) {
        if (d->cfg.name == name) {
            return -EEXIST;
        }
    }
    new_device_locked(name, is_efa != 0);
    return static_cast<int>(w.current.size()) - 1;
}

VSIM_API int vsim_device_count(void) { return static_cast<int>(device_snapshot().size()); }

VSIM_API int vsim_set_device_field(int index, const char *field, uint64_t value)
{
    return with_device(index, true,
                       [&](Device &d) { return field && set_field(d.cfg, field, value); });
}

VSIM_API int vsim_get_device_field(int index, const char *field, uint64_t *value)
{
    return with_device(
        index, false, [&](Device &d) { return field && value && get_field(d.cfg, field, *value); });
}

VSIM_API int vsim_set_device_gid(int index, const uint8_t gid[16])
{
    return with_device(index, true, [&](Device &d) {
        if (!gid) {
            return false;
        }
        std::memcpy(d.cfg.gid.raw, gid, 16);
        d.cfg.own_gid = true;
        return true;
    });
}

VSIM_API int vsim_get_device_gid(int index, uint8_t gid[16])
{
    return with_device(index, false, [&](Device &d) {
        if (!gid) {
            return false;
        }
        std::memcpy(gid, d.cfg.gid.raw, 16);
        return true;
    });
}

VSIM_API int vsim_set_device_fw_ver(int index, const char *fw_ver)
{
    return with_device(index, true, [&](Device &d) {
        if (!fw_ver || std::strlen(fw_ver) >= sizeof d.cfg.dattr.fw_ver) {
            return false;
        }
        std::strcpy(d.cfg.dattr.fw_ver, fw_ver);
        return true;
    });
}

VSIM_API const char *vsim_device_fields(void)
{
    static const std::string names = [] {
        std::string s;
        for (const std::string &n : field_names()) {
            s += n + "\n";
        }
        return s;
    }();
    return names.c_str();
}

VSIM_API int vsim_fail(const char *fn, int count, int skip, int err, long long rc, int has_rc)
{
    const int idx = fn_lookup(fn);
    if (idx < 0 || count < 0 || skip < 0) {
        return -EINVAL;
    }
    arm_fault(static_cast<Fn>(idx), count, skip, err, rc, has_rc != 0);
    return 0;
}

VSIM_API int vsim_fault_pending(const char *fn)
{
    const int idx = fn_lookup(fn);
    return idx < 0 ? -EINVAL : pending_fault(static_cast<Fn>(idx));
}

VSIM_API int vsim_pause(const char *fn, int at, int limit_ms)
{
    const int idx = fn_lookup(fn);
    if (idx < 0 || at < 0 || at > 2) {
        return -EINVAL;
    }
    set_paused(static_cast<Fn>(idx), static_cast<PauseAt>(at), limit_ms);
    return 0;
}

VSIM_API int vsim_paused(const char *fn)
{
    const int idx = fn_lookup(fn);
    return idx < 0 ? -EINVAL : paused_calls(static_cast<Fn>(idx));
}

VSIM_API long long vsim_call_count(const char *fn)
{
    const int idx = fn_lookup(fn);
    if (idx < 0) {
        return -EINVAL;
    }
    return static_cast<long long>(call_count(static_cast<Fn>(idx)));
}

VSIM_API void vsim_reset_counts(void) { reset_counts(); }

VSIM_API const char *vsim_function_names(void)
{
    static const std::string names = [] {
        std::string s;
        for (std::size_t i = 0; i < kFnCount; ++i) {
            s += std::string(fn_name(static_cast<Fn>(i))) + "\n";
        }
        return s;
    }();
    return names.c_str();
}

VSIM_API void vsim_log_enable(int on) { g_log_on.store(on != 0); }

VSIM_API char *vsim_log_take(void)
{
    const std::string s = take_log();
    char *out = static_cast<char *>(std::malloc(s.size() + 1));
    if (out) {
        std::memcpy(out, s.c_str(), s.size() + 1);
    }
    return out;
}

VSIM_API void vsim_free(void *p) { std::free(p); }

VSIM_API int vsim_post_qp_event(uint32_t qp_num, int event_type)
{
    std::shared_lock lock(world().mtx);
    auto it = world().qps.find(qp_num);
    if (it == world().qps.end()) {
        return -ENOENT;
    }
    qp_raise_async(it->second, static_cast<ibv_event_type>(event_type));
    return 0;
}

VSIM_API int vsim_post_cq_event(uint32_t cq_handle, int event_type)
{
    std::lock_guard lock(world().obj_mtx);
    auto it = world().cqs.find(cq_handle);
    if (it == world().cqs.end()) {
        return -ENOENT;
    }
    cq_raise_async(it->second, static_cast<ibv_event_type>(event_type));
    return 0;
}

VSIM_API int vsim_post_port_event(const char *device, int async_fd, int port, int event_type)
{
    std::lock_guard lock(world().obj_mtx);
    return for_contexts(device, async_fd, [&](Context *c) {
        ibv_async_event ev{};
        ev.element.port_num = port;
        ev.event_type = static_cast<ibv_event_type>(event_type);
        c->async.push(ev);
    });
}

VSIM_API int vsim_post_device_event(const char *device, int async_fd, int event_type)
{
    std::lock_guard lock(world().obj_mtx);
    return for_contexts(device, async_fd, [&](Context *c) {
        ibv_async_event ev{};
        ev.event_type = static_cast<ibv_event_type>(event_type);
        c->async.push(ev);
    });
}

VSIM_API void vsim_hold(int on) { fabric_hold(on != 0); }
VSIM_API int vsim_release(int reverse) { return fabric_release(reverse != 0); }
VSIM_API void vsim_reverse_next(int n) { fabric_reverse_next(n > 0 ? n : 0); }
VSIM_API int vsim_held(void) { return fabric_held(); }

VSIM_API void vsim_set_destroy_timeout_ms(int ms)
{
    world().destroy_timeout_ms.store(ms > 0 ? ms : 0);
}

VSIM_API int vsim_live(const char *kind)
{
    static const char *const names[] = {"context", "pd", "mr", "cq", "qp", "ah", "channel"};
    for (int k = 0; k < static_cast<int>(Kind::count_); ++k) {
        if (kind && std::strcmp(kind, names[k]) == 0) {
            return world().live[k].load();
        }
    }
    return -EINVAL;
}

VSIM_API int vsim_qp_state(uint32_t qp_num)
{
    std::shared_lock lock(world().mtx);
    auto it = world().qps.find(qp_num);
    return it == world().qps.end() ? -ENOENT : it->second->state.load();
}

VSIM_API int vsim_cq_handles(uint32_t *out, int cap)
{
    std::lock_guard lock(world().obj_mtx);
    std::vector<uint32_t> hs;
    for (const auto &e : world().cqs) {
        hs.push_back(e.first);
    }
    std::sort(hs.begin(), hs.end());
    for (int k = 0; out && k < cap && k < static_cast<int>(hs.size()); ++k) {
        out[k] = hs[static_cast<std::size_t>(k)];
    }
    return static_cast<int>(hs.size());
}

VSIM_API int vsim_set_host(const char *name) { return xproc_set_host(name); }

VSIM_API int vsim_get_host(char *buf, int cap)
{
    const std::string h = xproc_host();
    if (!buf || cap < 0 || h.size() + 1 > static_cast<std::size_t>(cap)) {
        return -ERANGE;
    }
    std::memcpy(buf, h.c_str(), h.size() + 1);
    return static_cast<int>(h.size());
}

VSIM_API int vsim_join(void) { return xproc_slot(); }
VSIM_API int vsim_slot(void) { return xproc_joined_slot(); }
VSIM_API int vsim_connections(void) { return xproc_connections(); }
