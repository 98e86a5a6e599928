// Traceback entries for the module's methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmore::py {

// Adds an entry for `function` (e.g. "QuillmoreParser.QuillmoreParser.parse")
// at `line` of the file "QuillmoreParser" to the exception being raised, as
// the interpreter does for each frame that an exception leaves.
void addTraceback(const char* function, int line);

}  // namespace quillmore::py
