// Argument binding for the module's methods.
//
// Python equivalent of the contract, for a method def m(self, a=None, ...):
// positional arguments fill parameters left to right, keywords fill the rest
// by name, and misuse raises the TypeError that a function written in Python
// would raise for the same call, with the same text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmore::py {

struct Signature {
    const char* name;       // in messages: "__init__", "parse", ...
    Py_ssize_t count;       // parameters, self included
    PyObject* const* names; // interned parameter names, `count` of them
    bool optionalTail;      // __init__: every parameter after self defaults to None
};

// Binds a vectorcall argument list into `bound` (`count` borrowed references;
// absent optional parameters get None).  Returns false with a TypeError set.
bool bindArguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound);

}  // namespace quillmore::py
