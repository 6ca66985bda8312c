// Whether a range of this process's address space is mapped with the
// access a registration needs, read from /proc/self/maps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsim {

bool range_mapped(uint64_t addr, std::size_t len, bool write);

}  // namespace vsim
