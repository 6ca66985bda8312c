#include "world.hpp"

#include "host.hpp"

#include <cstdio>
#include <cstring>

namespace vsim {

GidKey gid_key(const ibv_gid &g)
{
    GidKey k;
    std::memcpy(&k.hi, g.raw, 8);
    std::memcpy(&k.lo, g.raw + 8, 8);
    return k;
}

bool Pd::has_ah_for(const ibv_gid &g)
{
    const GidKey k = gid_key(g);
    std::lock_guard lock(ah_mtx);
    for (const auto &e : ah_gids) {
        if (e.first == k) {
            return true;
        }
    }
    return false;
}

Device *new_device_locked(const std::string &name, bool efa)
{
    World &w = world();
    auto d = std::make_unique<Device>();
    d->serial = static_cast<unsigned>(w.all_devices.size());
    std::vector<ibv_gid> taken;
    for (const Device *other : w.current) {
        taken.push_back(other->cfg.gid);
    }
    d->cfg = default_device(name, efa, host_in_effect(), taken);
    std::strncpy(d->ibdev.name, name.c_str(), sizeof d->ibdev.name - 1);
    std::snprintf(d->ibdev.dev_name, sizeof d->ibdev.dev_name, "uverbs%u",
                  static_cast<unsigned>(w.current.size()));
    std::snprintf(d->ibdev.dev_path, sizeof d->ibdev.dev_path, "/sys/class/infiniband_verbs/%s",
                  d->ibdev.dev_name);
    std::snprintf(d->ibdev.ibdev_path, sizeof d->ibdev.ibdev_path, "/sys/class/infiniband/%s",
                  d->ibdev.name);
    // EFA registers as an RDMA node of no InfiniBand type.
    d->ibdev.node_type = efa ? IBV_NODE_UNSPECIFIED : IBV_NODE_CA;
    d->ibdev.transport_type = efa ? IBV_TRANSPORT_UNSPECIFIED : IBV_TRANSPORT_IB;
    Device *raw = d.get();
    w.all_devices.push_back(std::move(d));
    w.current.push_back(raw);
    w.configured = true;
    w.pristine = false;
    return raw;
}

void rename_devices_for_host()
{
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    const std::string host = host_in_effect();
    std::vector<ibv_gid> taken;
    for (const auto &d : w.all_devices) {
        if (d->cfg.own_gid) {
            taken.push_back(d->cfg.gid);
        }
    }
    for (const auto &d : w.all_devices) {
        if (d->cfg.own_gid) {
            continue;
        }
        derive_addresses(d->cfg, host, taken);
        taken.push_back(d->cfg.gid);
    }
}

void set_default_devices_locked()
{
    World &w = world();
    w.current.clear();
    new_device_locked("efa_0", true);
    w.pristine = true;
}

void ensure_default_devices()
{
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    if (!w.configured) {
        set_default_devices_locked();
    }
}

std::vector<Device *> device_snapshot()
{
    ensure_default_devices();
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    return w.current;
}

bool gid_known(const ibv_gid &g)
{
    World &w = world();
    std::lock_guard lock(w.dev_mtx);
    for (const auto &d : w.all_devices) {
        if (std::memcmp(d->cfg.gid.raw, g.raw, 16) == 0) {
            return true;
        }
    }
    return false;
}

uint32_t mr_insert_locked(Mr *mr)
{
    World &w = world();
    uint32_t slot;
    if (!w.free_mr_slots.empty()) {
        slot = w.free_mr_slots.back();
        w.free_mr_slots.pop_back();
        w.mrs[slot] = mr;
    } else {
        slot = static_cast<uint32_t>(w.mrs.size());
        w.mrs.push_back(mr);
    }
    // Low byte varies so a stale key does not silently hit a reused slot.
    const uint32_t salt = (w.key_salt.fetch_add(0x3b) & 0xff) | 1;
    return ((slot + 1) << 8) | salt;
}

void mr_erase_locked(uint32_t key)
{
    World &w = world();
    const uint32_t slot = (key >> 8) - 1;
    if (slot < w.mrs.size()) {
        w.mrs[slot] = nullptr;
        w.free_mr_slots.push_back(slot);
    }
}

}  // namespace vsim
