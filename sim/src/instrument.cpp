#include "instrument.hpp"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

namespace vsim {

namespace {

struct FnInfo {
    const char *name;
    RetKind kind;
};

constexpr FnInfo kFns[] = {
#define X(name, kind) {#name, RetKind::kind},
#include "functions.def"
#undef X
};

struct FaultSpec {
    int count = 0;
    int skip = 0;
    int err = 0;
    long long rc = 0;
    bool has_rc = false;
};

std::mutex g_fault_mtx;
FaultSpec g_faults[kFnCount];

// Paused functions: their calls wait at entry or at exit until resumed
// (or until the pause's time limit). Each paused function holds one unit of
// g_faults_armed, so that its calls take the instrumented path that looks
// here.
struct PauseSpec {
    PauseAt at = PauseAt::none;
    std::chrono::milliseconds limit{-1};  // negative: until resumed
    int waiting = 0;
};
PauseSpec g_pauses[kFnCount];
uint32_t g_paused_fns = 0;
std::condition_variable g_resumed;

void wait_paused(std::unique_lock<std::mutex> &lock, Fn fn, PauseAt at)
{
    PauseSpec &p = g_pauses[static_cast<std::size_t>(fn)];
    if (p.at != at) {
        return;
    }
    ++p.waiting;
    auto resumed = [&p, at] { return p.at != at; };
    if (p.limit.count() < 0) {
        g_resumed.wait(lock, resumed);
    } else {
        g_resumed.wait_for(lock, p.limit, resumed);
    }
    --p.waiting;
}

std::mutex g_log_mtx;
std::string g_log;

long long default_rc(RetKind kind, int err)
{
    switch (kind) {
    case RetKind::Rc:
        return err;
    case RetKind::Neg:
        return -err;
    case RetKind::Neg1:
        return -1;
    default:
        return 0;
    }
}

}  // namespace

std::atomic<uint32_t> g_faults_armed{0};
std::atomic<bool> g_log_on{false};

const char *fn_name(Fn fn) { return kFns[static_cast<std::size_t>(fn)].name; }
RetKind fn_kind(Fn fn) { return kFns[static_cast<std::size_t>(fn)].kind; }

int fn_lookup(const char *name)
{
    if (!name) {
        return -1;
    }
    for (std::size_t i = 0; i < kFnCount; ++i) {
        if (std::strcmp(kFns[i].name, name) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::optional<Fault> take_fault(Fn fn)
{
    std::unique_lock lock(g_fault_mtx);
    wait_paused(lock, fn, PauseAt::entry);
    FaultSpec &f = g_faults[static_cast<std::size_t>(fn)];
    if (f.count <= 0) {
        return std::nullopt;
    }
    if (f.skip > 0) {
        --f.skip;
        return std::nullopt;
    }
    --f.count;
    g_faults_armed.fetch_sub(1, std::memory_order_relaxed);
    return Fault{f.err, f.has_rc ? f.rc : default_rc(fn_kind(fn), f.err)};
}

void arm_fault(Fn fn, int count, int skip, int err, long long rc, bool has_rc)
{
    std::lock_guard lock(g_fault_mtx);
    FaultSpec &f = g_faults[static_cast<std::size_t>(fn)];
    g_faults_armed.fetch_sub(static_cast<uint32_t>(f.count), std::memory_order_relaxed);
    f = FaultSpec{count > 0 ? count : 0, skip > 0 ? skip : 0, err, rc, has_rc};
    g_faults_armed.fetch_add(static_cast<uint32_t>(f.count), std::memory_order_relaxed);
}

void clear_faults()
{
    std::lock_guard lock(g_fault_mtx);
    for (auto &f : g_faults) {
        f = FaultSpec{};
    }
    g_faults_armed.store(g_paused_fns, std::memory_order_relaxed);
}

void set_paused(Fn fn, PauseAt at, int limit_ms)
{
    {
        std::lock_guard lock(g_fault_mtx);
        PauseSpec &p = g_pauses[static_cast<std::size_t>(fn)];
        const bool was = p.at != PauseAt::none, now = at != PauseAt::none;
        p.at = at;
        p.limit = std::chrono::milliseconds(limit_ms);
        if (now && !was) {
            ++g_paused_fns;
            g_faults_armed.fetch_add(1, std::memory_order_relaxed);
        } else if (was && !now) {
            --g_paused_fns;
            g_faults_armed.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    g_resumed.notify_all();
}

bool pauses_at_exit(Fn fn)
{
    std::lock_guard lock(g_fault_mtx);
    return g_pauses[static_cast<std::size_t>(fn)].at == PauseAt::exit;
}

void wait_at_exit(Fn fn)
{
    std::unique_lock lock(g_fault_mtx);
    wait_paused(lock, fn, PauseAt::exit);
}

void resume_all()
{
    for (std::size_t i = 0; i < kFnCount; ++i) {
        set_paused(static_cast<Fn>(i), PauseAt::none, -1);
    }
}

int paused_calls(Fn fn)
{
    std::lock_guard lock(g_fault_mtx);
    return g_pauses[static_cast<std::size_t>(fn)].waiting;
}

int pending_fault(Fn fn)
{
    std::lock_guard lock(g_fault_mtx);
    return g_faults[static_cast<std::size_t>(fn)].count;
}

LogEntry::LogEntry(Fn fn)
{
    buf_.reserve(160);
    buf_ = "{\"fn\":\"";
    buf_ += fn_name(fn);
    buf_ += '"';
}

LogEntry &LogEntry::key(const char *k)
{
    buf_ += ",\"";
    buf_ += k;
    buf_ += "\":";
    return *this;
}

LogEntry &LogEntry::i(const char *k, long long v)
{
    key(k);
    buf_ += std::to_string(v);
    return *this;
}

LogEntry &LogEntry::u(const char *k, unsigned long long v)
{
    key(k);
    buf_ += std::to_string(v);
    return *this;
}

LogEntry &LogEntry::x(const char *k, unsigned long long v)
{
    char tmp[24];
    std::snprintf(tmp, sizeof tmp, "\"0x%llx\"", v);
    key(k);
    buf_ += tmp;
    return *this;
}

std::string LogEntry::quote(const char *v)
{
    std::string out = "\"";
    for (const char *p = v; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char tmp[8];
            std::snprintf(tmp, sizeof tmp, "\\u%04x", c);
            out += tmp;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

LogEntry &LogEntry::s(const char *k, const char *v)
{
    key(k);
    buf_ += v ? quote(v) : std::string("null");
    return *this;
}

LogEntry &LogEntry::b(const char *k, bool v)
{
    key(k);
    buf_ += v ? "true" : "false";
    return *this;
}

LogEntry &LogEntry::null(const char *k)
{
    key(k);
    buf_ += "null";
    return *this;
}

LogEntry &LogEntry::hex_bytes(const char *k, const void *p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    key(k);
    buf_ += '"';
    const auto *b = static_cast<const unsigned char *>(p);
    for (std::size_t j = 0; j < n; ++j) {
        buf_ += digits[b[j] >> 4];
        buf_ += digits[b[j] & 15];
    }
    buf_ += '"';
    return *this;
}

LogEntry &LogEntry::raw(const char *k, const std::string &json)
{
    key(k);
    buf_ += json;
    return *this;
}

void LogEntry::commit()
{
    buf_ += "}\n";
    std::lock_guard lock(g_log_mtx);
    g_log += buf_;
}

std::string take_log()
{
    std::lock_guard lock(g_log_mtx);
    std::string out;
    out.swap(g_log);
    return out;
}

void clear_log()
{
    std::lock_guard lock(g_log_mtx);
    g_log.clear();
}

}  // namespace vsim
