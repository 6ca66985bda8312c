// Per-call bookkeeping shared by every entry point: call counters, the
// armed faults and the call log. All three cost one relaxed atomic load each
// when unused, so the data path pays nothing for them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vsim {

enum class Fn : uint16_t {
#define X(name, kind) name,
#include "functions.def"
#undef X
    count_
};
constexpr std::size_t kFnCount = static_cast<std::size_t>(Fn::count_);

// How a call reports failure, which decides what an injected fault returns.
enum class RetKind : uint8_t {
    Ptr,    // NULL with errno
    Void,   // nothing; a send builder latches the error into its batch
    Value,  // a plain value: the fault's rc
    Neg1,   // -1 with errno
    Rc,     // a positive error code
    Neg,    // a negative error code
};

const char *fn_name(Fn fn);
RetKind fn_kind(Fn fn);
int fn_lookup(const char *name);  // -1 when unknown

struct Fault {
    int err;       // errno to set (may be 0)
    long long rc;  // value to return
};

struct alignas(64) Counter {
    std::atomic<uint64_t> n{0};
};

extern Counter g_counts[kFnCount];
extern std::atomic<uint32_t> g_faults_armed;
extern std::atomic<bool> g_log_on;

std::optional<Fault> take_fault(Fn fn);
void arm_fault(Fn fn, int count, int skip, int err, long long rc, bool has_rc);
void clear_faults();
int pending_fault(Fn fn);

// Counts the call and, when a fault is armed for it, consumes one.
inline std::optional<Fault> enter(Fn fn)
{
    g_counts[static_cast<std::size_t>(fn)].n.fetch_add(1, std::memory_order_relaxed);
    if (g_faults_armed.load(std::memory_order_relaxed) == 0) [[likely]]
        return std::nullopt;
    return take_fault(fn);
}

inline bool logging() { return g_log_on.load(std::memory_order_relaxed); }

// One call-log entry: a JSON object built field by field, appended to the
// log when committed.
class LogEntry {
public:
    explicit LogEntry(Fn fn);
    LogEntry(const LogEntry &) = delete;
    LogEntry &operator=(const LogEntry &) = delete;

    LogEntry &i(const char *key, long long v);
    LogEntry &u(const char *key, unsigned long long v);
    LogEntry &x(const char *key, unsigned long long v);  // hexadecimal string
    LogEntry &s(const char *key, const char *v);         // null gives null
    LogEntry &b(const char *key, bool v);
    LogEntry &null(const char *key);
    LogEntry &hex_bytes(const char *key, const void *p, std::size_t n);
    LogEntry &raw(const char *key, const std::string &json);  // already JSON
    void commit();

    static std::string quote(const char *v);

private:
    LogEntry &key(const char *k);
    std::string buf_;
};

std::string take_log();  // newline-separated JSON objects; empties the log
void clear_log();
void reset_counts();

}  // namespace vsim
