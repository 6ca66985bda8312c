#include "gil.hpp"

#include <sched.h>

#include <ctime>

namespace vantor::py {
namespace {

// A run of uncontested re-takes this long shows that nobody wants the lock
// while the caller is in its calls, or that a waiter cannot win it: the
// caller then keeps the lock for a while.
constexpr int64_t kRun = 1'000'000;
// Calls further apart than this are not one run: the caller was away
// (waiting on something else, or running code of its own).
constexpr int64_t kGap = 100'000;
// How long an idle caller leaves the lock free before taking it back: the
// time a waiter needs to wake up and take it.
constexpr int64_t kYield = 30'000;
// How long the caller keeps the lock through its calls after a run: twice
// the interpreter's default switch interval, after which a waiting thread
// asks for the lock and gets it at the caller's next instruction.
constexpr int64_t kHold = 10'000'000;
// A re-take that took longer than this waited for another thread: the
// lock changed hands, and the run starts again.
constexpr int64_t kContended = 5'000;

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct ThreadRecord {
    int64_t run_start = 0;   // first call of the current uncontested run
    int64_t last_end = 0;    // when the caller last took the lock back
    int64_t hold_until = 0;  // the lock is kept through calls until then
};

thread_local ThreadRecord record;

}  // namespace

HandOver release_for_call()
{
    HandOver hand_over;
    hand_over.start_ns = now_ns();
    if (hand_over.start_ns >= record.hold_until) {
        hand_over.state = PyEval_SaveThread();
    }
    return hand_over;
}

void take_back(const HandOver &hand_over, Outcome outcome)
{
    ThreadRecord &r = record;
    const int64_t start = hand_over.start_ns;
    if (start - r.last_end > kGap) {
        r.run_start = start;
    }
    int64_t before = start;
    if (outcome == Outcome::idle) {
        // The caller has nothing to do: the lock stays free while a thread
        // woken by the release gets to it (on this CPU, when they share one).
        const int64_t until = start + kYield;
        do {
            sched_yield();
            before = now_ns();
        } while (before < until);
    }
    PyEval_RestoreThread(hand_over.state);
    const int64_t now = now_ns();
    r.last_end = now;
    if (now - before > kContended) {
        r.run_start = now;
    } else if (now - r.run_start >= kRun) {
        r.run_start = now;
        r.hold_until = now + kHold;
    }
}

}  // namespace vantor::py
