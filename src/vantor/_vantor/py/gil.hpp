// Releasing the GIL around the data path's native calls. Posting and polling
// never wait, so the release is there only to let other threads run during
// the call; when no other thread exists, the two hand-overs of the lock
// (several mutex and condition-variable operations each) would be the
// largest single cost of a small post or poll, for nobody's benefit.
#pragma once

#include <Python.h>

namespace vantor::py {

// Whether any thread other than the caller has a thread state, in this or
// another interpreter (they share the GIL). Read without the runtime's list
// lock, as the interpreter's own thread-iteration functions do: a thread
// state that a foreign thread is adding at this moment only means that
// thread waits for the current, non-blocking native call to end.
inline bool other_threads_exist()
{
    PyThreadState *self = PyThreadState_Get();
    PyInterpreterState *interp = PyThreadState_GetInterpreter(self);
    return PyThreadState_Next(self) != nullptr || PyInterpreterState_ThreadHead(interp) != self ||
           PyInterpreterState_Next(interp) != nullptr || PyInterpreterState_Head() != interp;
}

// Runs `call`, a native call that does not wait, without the GIL whenever
// another thread could use the lock meanwhile. `call` must not touch Python
// objects; errno it needs is read inside it.
template <typename Call>
decltype(auto) without_gil(Call &&call)
{
    if (!other_threads_exist()) {
        return call();
    }
    struct Released {
        PyThreadState *state = PyEval_SaveThread();
        ~Released() { PyEval_RestoreThread(state); }
    } released;
    return call();
}

}  // namespace vantor::py
