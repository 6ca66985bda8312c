// The frame every entry point runs in: it counts the call, consumes an
// injected fault if one is armed, and writes the call-log entry (arguments
// added by the entry point, the result added on the way out).
#pragma once

#include "instrument.hpp"
#include "objects.hpp"

#include <cerrno>
#include <memory>
#include <optional>

#define VSIM_API extern "C" __attribute__((visibility("default")))

namespace vsim {

class Call {
public:
    // The frame stays small and inline while no fault is armed and the log
    // is off; the rest is out of line, so that the calls made once per
    // completion or request do not pay for it.
    explicit Call(Fn fn)
    {
        if (t_internal) [[unlikely]] {
            return;
        }
        count_call(fn);
        if (instrumented()) [[unlikely]] {
            instrument(fn);
        }
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    ~Call()
    {
        if (log_) [[unlikely]] {
            commit_log();
        }
        if (pause_at_exit_) [[unlikely]] {
            wait_at_exit(fn_);
        }
    }

    LogEntry *log() { return log_.get(); }
    bool faulted() const { return fault_.has_value(); }
    const Fault &fault() const { return *fault_; }

    // Results. Each records the outcome in the log entry.
    template <class T>
    T *null(int err)
    {
        if (log_) {
            log_->null("ret");
            log_->i("errno", err);
        }
        errno = err;
        return nullptr;
    }
    template <class T>
    T *fault_null()
    {
        if (log_) {
            log_->b("fault", true);
        }
        return null<T>(fault_->err);
    }
    int rc(int code)
    {
        if (log_) {
            log_->i("ret", code);
        }
        return code;
    }
    // A failure reported through errno with return value -1.
    int neg1(int err)
    {
        if (log_) {
            log_->i("ret", -1);
            log_->i("errno", err);
        }
        errno = err;
        return -1;
    }
    // Applies an injected fault to an int-returning call.
    long long fault_rc()
    {
        if (log_) {
            log_->b("fault", true);
            log_->i("ret", fault_->rc);
            log_->i("errno", fault_->err);
        }
        errno = fault_->err;
        return fault_->rc;
    }

private:
    [[gnu::cold, gnu::noinline]] void instrument(Fn fn)
    {
        fn_ = fn;
        fault_ = consume_fault(fn);
        pause_at_exit_ = pauses_at_exit(fn);
        if (logging()) {
            log_ = std::make_unique<LogEntry>(fn);
        }
    }
    [[gnu::cold, gnu::noinline]] void commit_log()
    {
        const int saved = errno;
        log_->commit();
        errno = saved;
    }

    std::optional<Fault> fault_;
    std::unique_ptr<LogEntry> log_;  // only while the log is on
    Fn fn_{};
    bool pause_at_exit_ = false;
};

// The frame of a call made while no fault is armed and the log is off: it
// counts the call and nothing more. The entry points that run once per
// request or completion are written against either frame (see hot_call),
// so that this common case compiles down to the work itself.
class QuietCall {
public:
    explicit QuietCall(Fn fn) { count_call(fn); }
    QuietCall(const QuietCall &) = delete;
    QuietCall &operator=(const QuietCall &) = delete;

    LogEntry *log() const { return nullptr; }
    bool faulted() const { return false; }
    Fault fault() const { return {}; }
    int rc(int code) const { return code; }
    long long fault_rc() const { return 0; }
};

template <Fn F, class Body>
[[gnu::noinline, gnu::cold]] auto instrumented_call(Body body)
{
    Call call(F);
    return body(call);
}

// Runs `body(frame)` in the frame that the instrumentation state calls for.
// The body captures by value: the common path then keeps the arguments in
// registers.
template <Fn F, class Body>
[[gnu::always_inline]] inline auto hot_call(Body body)
{
    if (!instrumented()) [[likely]] {
        QuietCall call(F);
        return body(call);
    }
    return instrumented_call<F>(body);
}

}  // namespace vsim
