// Process-wide state of the software device: the configured devices, the
// tables that the data path looks objects up in, and live-object counts.
#pragma once

#include "objects.hpp"

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vsim {

enum class Kind { Context, Pd, Mr, Cq, Qp, Ah, Channel, count_ };

struct World {
    // Devices: every Device ever made lives here; `current` is the set that
    // ibv_get_device_list reports.
    std::mutex dev_mtx;
    std::vector<std::unique_ptr<Device>> all_devices;
    std::vector<Device *> current;
    bool configured = false;  // `current` holds a set (default or chosen)
    bool pristine = false;    // ... and it is the untouched default set

    // Objects that control calls address by number (guarded by obj_mtx).
    std::mutex obj_mtx;
    std::vector<Context *> contexts;
    std::unordered_map<uint32_t, Cq *> cqs;  // by handle

    // Lookup tables used while moving data. Readers (the data path) take
    // `mtx` shared; creating and destroying QPs and MRs take it exclusively.
    std::shared_mutex mtx;
    std::vector<Mr *> mrs;  // by key >> 8
    std::vector<uint32_t> free_mr_slots;
    std::unordered_map<uint32_t, Qp *> qps;  // by QP number

    std::atomic<uint32_t> next_qpn{0x10};
    std::atomic<uint32_t> next_handle{1};
    std::atomic<uint32_t> next_ctx_id{1};
    std::atomic<uint32_t> key_salt{0x5a};
    std::atomic<int> live[static_cast<int>(Kind::count_)]{};
    std::atomic<int> destroy_timeout_ms{3000};
};

// Inline: the data path looks memory regions up several times a message.
inline World &world()
{
    static World *const w = new World;  // never destroyed: objects may outlive exit
    return *w;
}

inline void live_add(Kind k, int d) { world().live[static_cast<int>(k)].fetch_add(d); }

// Device set management.
void ensure_default_devices();
void set_default_devices_locked();                             // caller holds dev_mtx
Device *new_device_locked(const std::string &name, bool efa);  // appended to current
std::vector<Device *> device_snapshot();
bool gid_known(const ibv_gid &g);
// The host name changed before the process joined it: the devices are
// another machine's now (GIDs and GUIDs follow from the host name).
void rename_devices_for_host();

// MR key table (caller holds world().mtx as stated).
uint32_t mr_insert_locked(Mr *mr);       // exclusive
void mr_erase_locked(uint32_t key);      // exclusive
inline Mr *mr_find_locked(uint32_t key)  // shared
{
    World &w = world();
    const uint32_t idx = key >> 8;
    if (idx == 0 || idx - 1 >= w.mrs.size()) {
        return nullptr;
    }
    Mr *m = w.mrs[idx - 1];
    return (m && m->mr.lkey == key) ? m : nullptr;
}

}  // namespace vsim
