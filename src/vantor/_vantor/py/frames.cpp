#include "frames.hpp"

#include "ref.hpp"

#include <frameobject.h>

namespace vantor::py {

void add_traceback_frame(const char *function_name, const char *source_file, int line)
{
    if (!PyErr_Occurred()) {
        return;
    }
    Ref code;
    Ref frame;
    {
        // Decoding the names may run Python code, which must not see the
        // pending exception; a failure here leaves that exception as it was.
        SavedError pending;
        Ref globals = Ref::steal(PyDict_New());
        if (globals) {
            code = Ref::steal(
                reinterpret_cast<PyObject *>(PyCode_NewEmpty(source_file, function_name, line)));
        }
        if (code) {
            // An empty code object's frame reports the code's first line.
            frame = Ref::steal(reinterpret_cast<PyObject *>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                            globals.get(), nullptr)));
        }
        PyErr_Clear();
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
    }
}

}  // namespace vantor::py
