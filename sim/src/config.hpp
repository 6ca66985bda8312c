// The simulated devices: their names, addresses, limits and capabilities.
// A Device never goes away once made, so contexts opened on a device that a
// later reconfiguration dropped keep working.
#pragma once

#include "efadv.hpp"

#include <infiniband/verbs.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vsim {

struct DeviceConfig {
    std::string name;
    bool efa = true;
    ibv_device_attr dattr{};
    efadv_device_attr eattr{};
    ibv_port_attr pattr{};
    int num_comp_vectors = 4;
    ibv_gid gid{};
    bool own_gid = false;  // set by the program, not derived
};

// Defaults of the simulated EFA device. GID and GUIDs follow from the name
// and the host's, so a device is the same device in every process of a
// host and another one on every other host; `taken` lists the GIDs already
// in the set, which this one must not repeat.
DeviceConfig default_device(const std::string &name, bool efa, const std::string &host,
                            const std::vector<ibv_gid> &taken = {});
// Derives the addresses (GID, GUIDs) as default_device does.
void derive_addresses(DeviceConfig &c, const std::string &host, const std::vector<ibv_gid> &taken);

// Sets one numeric field by name ("device.max_qp", "efa.device_caps",
// "port.max_msg_sz", "num_comp_vectors"); false when the name is unknown or
// the value does not fit.
bool set_field(DeviceConfig &cfg, const std::string &key, uint64_t value);
bool get_field(const DeviceConfig &cfg, const std::string &key, uint64_t &value);
std::vector<std::string> field_names();

struct Device {
    ibv_device ibdev{};  // first: the public handle is its address
    DeviceConfig cfg;
    unsigned serial = 0;  // position in creation order, for logs
    // Resources in use on this device, checked against its limits.
    std::atomic<int> n_pd{0}, n_mr{0}, n_cq{0}, n_qp{0}, n_ah{0};
    std::mutex ahn_mtx;
    unsigned ahn_cursor = 0;
    std::vector<bool> ahn_used = std::vector<bool>(1024, false);  // by local AH number
};

inline Device *to_device(ibv_device *d) { return reinterpret_cast<Device *>(d); }

}  // namespace vsim
