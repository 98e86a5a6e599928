// An extension method has no frame of its own, so for a traceback entry we
// make what the interpreter would have had: a code object named after the
// method, whose first line is the line we report, and a frame over it in the
// module namespace.  The pending exception is set aside meanwhile, because
// creating those objects may itself fail.
#include "traceback.hpp"

#include <frameobject.h>

#include "module_globals.hpp"

namespace quillmore::py {

void addTraceback(const char* function, int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = PyCode_NewEmpty("QuillmoreParser", function, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr && g.globals != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, g.globals, nullptr);
    }
    if (frame == nullptr) {
        // Out of memory while reporting: keep the original exception, skip the entry.
        Py_XDECREF(code);
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    Py_DECREF(code);
}

}  // namespace quillmore::py
