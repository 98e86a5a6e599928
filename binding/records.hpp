// The record classes QuillmoreData and QuillmoreExtendData at the Python
// surface.
//
// Python equivalent:
//
//     class QuillmoreExtendData:
//         ap = 0; battery = 0; version = 0.0; gnaw = 0; temperature = 0.0; heart = 0
//
//     class QuillmoreData:
//         signal = 0; attention = 0; meditation = 0; delta = 0; theta = 0
//         lowAlpha = 0; highAlpha = 0; lowBeta = 0; highBeta = 0
//         lowGamma = 0; highGamma = 0
//
// A decoder builds a record by looking the class up by name in the module
// namespace (so a host may rebind it), calling it with no arguments and
// assigning every field in declaration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "quillmore/records.hpp"

namespace quillmore::py {

enum class RecordKind { Data, ExtendData };

// Makes a record class the way a class statement without bases would.
// Returns a new reference.
PyObject* makeRecordClass(RecordKind kind);

// The class that the name resolves to now (a new reference), or NULL with
// NameError.  A lookup can run host code (a colliding key's __eq__).
PyObject* recordClass(RecordKind kind);

// Whether building a record and dropping it can be skipped: the name still
// resolves to the class found last, which is the module's own and whose
// construction runs no host code.  Runs no host code itself.
bool recordIsInert(RecordKind kind);

// New records, filled in declaration order.  NULL with an exception set.
PyObject* buildRecord(PyObject* cls, const QuillmoreData& data);
PyObject* buildRecord(PyObject* cls, const QuillmoreExtendData& data);

}  // namespace quillmore::py
