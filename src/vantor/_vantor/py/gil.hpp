// Releasing the GIL around the data path's native calls. Posting and polling
// never wait, so the release is there only to let other threads run during
// the call; when no other thread exists, the two hand-overs of the lock
// (several mutex and condition-variable operations each) would be the
// largest single cost of a small post or poll, for nobody's benefit.
//
// A thread that releases the lock for a short call and takes it straight
// back wins it again before a waiting thread has even woken up: the waiter
// finds it taken and goes back to sleep. The interpreter's own remedy, a
// waiter asking for the lock once it has seen no hand-over for a whole
// switch interval, never fires either, since every release and re-take
// counts as a hand-over. A thread posting or polling in a loop would so
// keep every other thread out for as long as it loops. Each thread
// therefore times its run of uncontested re-takes; past a bound it stops
// releasing the lock for a while, which lets the interpreter's switch
// work. A poll that finds nothing leaves the lock free long enough for a
// woken waiter to take it: its thread has nothing to do with it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vantor::py {

// Whether any thread other than the caller has a thread state, in this or
// another interpreter (they share the GIL). Read without the runtime's list
// lock, as the interpreter's own thread-iteration functions do: a thread
// state that a foreign thread is adding at this moment only means that
// thread waits for the current, non-blocking native call to end. The
// thread list is read from the state's own links (public fields in every
// supported version), sparing calls on the single-threaded path.
inline bool other_threads_exist()
{
    PyThreadState *self = PyThreadState_Get();
    if (self->next != nullptr || self->prev != nullptr) {
        return true;
    }
    PyInterpreterState *interp = self->interp;
    return PyInterpreterState_Next(interp) != nullptr || PyInterpreterState_Head() != interp;
}

// How a call went, for the decision to keep releasing the lock.
enum class Outcome {
    work,  // the call did something
    idle,  // it found nothing to do (an empty poll): its thread only spins
};

// One data-path call's hand-over (py/gil.cpp): whether the lock was
// released for it, and when the call started.
struct HandOver {
    PyThreadState *state = nullptr;  // the caller's, while the lock is released
    int64_t start_ns = 0;
};

// Releases the lock for a call, unless the caller has lately found that
// nobody takes it meanwhile: then it keeps the lock for a while, so that a
// thread that comes to want it gets it from the interpreter's own switch.
HandOver release_for_call();
// Takes the lock back after a released call (an idle caller first leaves
// it free a while); after a long run of uncontested re-takes, the caller
// stops releasing it for a while.
void take_back(const HandOver &hand_over, Outcome outcome);

// Runs `call`, a native call that does not wait, without the GIL whenever
// another thread could use the lock meanwhile. `call` must not touch Python
// objects; errno it needs is read inside it. `judge` tells from the call's
// result whether it was idle.
template <typename Call, typename Judge>
decltype(auto) without_gil(Call &&call, Judge &&judge)
{
    if (!other_threads_exist()) {
        return call();
    }
    struct Released {
        HandOver hand_over = release_for_call();
        Outcome outcome = Outcome::work;
        ~Released()
        {
            if (hand_over.state != nullptr) {
                take_back(hand_over, outcome);
            }
        }
    } released;
    auto result = call();
    released.outcome = judge(result);
    return result;
}

template <typename Call>
decltype(auto) without_gil(Call &&call)
{
    return without_gil(static_cast<Call &&>(call), [](const auto &) { return Outcome::work; });
}

}  // namespace vantor::py
