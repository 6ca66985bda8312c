// Per-call bookkeeping shared by every entry point: call counters, the
// armed faults and the call log. Counting is a plain increment in the
// calling thread's own block; faults and the log cost one relaxed atomic
// load each when unused, so the data path pays next to nothing for them.
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

// One thread's call counts. Only the owning thread writes them (a load and
// a store, no locked instruction, no cache line shared with other callers);
// readers add up every thread's block. Atomic so that reading while
// another thread counts is well defined.
struct alignas(64) CountBlock {
    std::atomic<uint64_t> n[kFnCount];
    CountBlock *next;  // in the list of live blocks
};

// This thread's block; null until its first call. Initial-exec: a single
// load relative to the thread pointer instead of a __tls_get_addr call per
// count; it takes 8 bytes of the static TLS space that glibc keeps for
// libraries loaded with dlopen.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local CountBlock *t_counts;
CountBlock *register_thread_counts();

// Set while the simulator runs its own entry points on the application's
// behalf (closing a context releases what it still owns through them): those
// calls are not the application's, so they are neither counted nor logged,
// failed or paused.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local bool t_internal;

inline void count_call(Fn fn)
{
    CountBlock *b = t_counts;
    if (!b) [[unlikely]] {
        b = register_thread_counts();
    }
    std::atomic<uint64_t> &c = b->n[static_cast<std::size_t>(fn)];
    c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Calls of `fn` since the last reset, by every thread (exited ones included).
uint64_t call_count(Fn fn);

extern std::atomic<uint32_t> g_faults_armed;
extern std::atomic<bool> g_log_on;

std::optional<Fault> take_fault(Fn fn);
void arm_fault(Fn fn, int count, int skip, int err, long long rc, bool has_rc);
void clear_faults();
int pending_fault(Fn fn);
// While `fn` is paused its calls wait, at entry (before doing anything,
// holding nothing of the simulator's) or at exit (after their work, with
// whatever they leave held), until it is resumed or `limit_ms` passes
// (negative: no limit): a test's way to keep a thread inside a call.
// clear_faults leaves pauses alone; resume_all ends them.
enum class PauseAt : uint8_t { none, entry, exit };
void set_paused(Fn fn, PauseAt at, int limit_ms);
void resume_all();
bool pauses_at_exit(Fn fn);
void wait_at_exit(Fn fn);
int paused_calls(Fn fn);

// A fault of `fn`, when one is armed for it (which consumes it).
inline std::optional<Fault> consume_fault(Fn fn)
{
    if (g_faults_armed.load(std::memory_order_relaxed) == 0) [[likely]] {
        return std::nullopt;
    }
    return take_fault(fn);
}

inline bool logging() { return g_log_on.load(std::memory_order_relaxed); }

// Whether a call may need more than its count: a fault is armed somewhere
// or the log is on.
inline bool instrumented()
{
    return g_faults_armed.load(std::memory_order_relaxed) != 0 || logging();
}

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
