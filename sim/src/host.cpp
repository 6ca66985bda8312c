#include "host.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vsim {

namespace {
constexpr std::size_t kMaxHostLen = 64;
std::mutex g_mtx;
std::string g_override;
}  // namespace

bool valid_host(const char *name)
{
    const std::size_t n = name ? std::strlen(name) : 0;
    if (n == 0 || n > kMaxHostLen) {
        return false;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const char c = name[k];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

std::string host_from_environment()
{
    const char *env = std::getenv("VANTOR_SIM_HOST");
    return env && *env ? std::string(env) : std::string(kDefaultHost);
}

std::string host_in_effect()
{
    {
        std::lock_guard lock(g_mtx);
        if (!g_override.empty()) {
            return g_override;
        }
    }
    return host_from_environment();
}

void host_override(const char *name)
{
    std::lock_guard lock(g_mtx);
    g_override = name ? name : "";
}

}  // namespace vsim
