#include "mapping.hpp"

#include <cinttypes>
#include <cstdio>
#include <memory>

namespace vsim {

bool range_mapped(uint64_t addr, std::size_t len, bool write)
{
    using u128 = unsigned __int128;
    const u128 end = static_cast<u128>(addr) + len;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen("/proc/self/maps", "re"), std::fclose);
    if (!f) {
        return false;
    }
    u128 cursor = addr;
    char line[512];
    while (std::fgets(line, sizeof line, f.get())) {
        uint64_t s, e;
        char perms[8] = {};
        if (std::sscanf(line, "%" SCNx64 "-%" SCNx64 " %7s", &s, &e, perms) != 3) {
            continue;
        }
        if (e <= cursor) {
            continue;
        }
        if (s > cursor) {
            return false;  // a hole
        }
        if (perms[0] != 'r' || (write && perms[1] != 'w')) {
            return false;
        }
        cursor = e;
        if (cursor >= end) {
            return true;
        }
    }
    return false;
}

}  // namespace vsim
