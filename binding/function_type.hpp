// The method function type of the module.
//
// Python equivalent: the methods behave like functions defined in a class
// body.  They bind to instances on attribute access (descriptor), take the
// fast calling convention (vectorcall), and carry __name__, __qualname__,
// __module__, __doc__, __defaults__, __globals__ and a __code__ whose
// argument names give inspect.signature the real parameter lists.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arguments.hpp"

namespace quillmore::py {

// The body of a method.  It receives the bound arguments and returns a new
// reference to None, or NULL with an exception set and `*line` set to the
// statement that failed (for the method's traceback entry).
using MethodBody = PyObject* (*)(PyObject* const* bound, int* line);

struct MethodDef {
    Signature signature;
    const char* qualname;       // "QuillmoreParser.parse"
    const char* tracebackName;  // "QuillmoreParser.QuillmoreParser.parse"
    const char* source;         // a def statement with the parameter list, for __code__
    int line;                   // line of the definition
    MethodBody body;
};

// Readies the type; call once from the exec step.
int readyFunctionType();

// A new method object for `def`, with `defaults` (a tuple, or NULL for none)
// and the module namespace as its globals.
PyObject* newFunction(const MethodDef* def, PyObject* defaults, PyObject* globals);

}  // namespace quillmore::py
