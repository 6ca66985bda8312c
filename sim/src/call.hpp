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
    explicit Call(Fn fn) : fault_(enter(fn))
    {
        if (logging()) [[unlikely]]
            log_ = std::make_unique<LogEntry>(fn);
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    ~Call()
    {
        if (log_) [[unlikely]] {
            const int saved = errno;
            log_->commit();
            errno = saved;
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
        if (log_)
            log_->b("fault", true);
        return null<T>(fault_->err);
    }
    int rc(int code)
    {
        if (log_)
            log_->i("ret", code);
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
    std::optional<Fault> fault_;
    std::unique_ptr<LogEntry> log_;  // only while the log is on
};

}  // namespace vsim
