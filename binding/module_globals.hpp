// Process-wide values of the QuillmoreParser module.
//
// The module serves one interpreter per process and is never unloaded, so
// everything it remembers lives here: the constants, filled once by the exec
// step (module.cpp) and only read afterwards, and the caches, each with the
// rule that invalidates it.  Nothing else in the binding is static but the
// constant tables that the interpreter's API takes (type and module specs).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace quillmore::py {

// Sizes and positions of the record fields and the buffer.
inline constexpr int kDataFieldCount = 11;
inline constexpr int kExtendFieldCount = 6;
inline constexpr int kExtendVersionField = 2;      // version: a float
inline constexpr int kExtendTemperatureField = 4;  // temperature: a float (or the int 0)
inline constexpr int kInitParamCount = 6;          // self and the five callbacks
inline constexpr long kPayloadBytes = 1024;        // bytearray(1024), the class's buffer

// The record class that a name resolved to, with the module namespace's
// stamp at the lookup.  Invalidated by any change of the namespace (the
// stamp no longer matches); holds a strong reference.
struct RecordClassCache {
    PyObject* cls = nullptr;
    std::uint64_t version = 0;
};

// Whether building a record of the module's own class runs no host code.
// Invalidated by any change of the class or its bases (its version tag).
struct RecordClassVerdict {
    unsigned int tag = 0;
    bool known = false;
    bool inert = false;
};

// Whether attribute access on instances of a type runs no host code.
// Invalidated by any change of that type or its bases (its version tag); one
// entry, for the type parsed last.
struct PlainAccessVerdict {
    PyTypeObject* type = nullptr;  // identity only
    unsigned int tag = 0;
    bool plain = false;
};

struct ModuleGlobals {
    // The interpreter that first created the module; -1 before that.
    std::int64_t interpreterId = -1;
    // The initialised module (strong) and its namespace, which is the
    // global namespace of every method.
    PyObject* module = nullptr;
    PyObject* globals = nullptr;

    // The classes as the exec step built them.
    PyObject* parserClass = nullptr;
    PyObject* extendDataClass = nullptr;
    PyObject* dataClass = nullptr;

    // The method objects as stored in the parser class; parse() calls the
    // core decoders directly while the instance still resolves to these.
    PyObject* methodInit = nullptr;
    PyObject* methodParse = nullptr;
    PyObject* methodStandard = nullptr;
    PyObject* methodExtend = nullptr;
    PyObject* methodHrv = nullptr;

    // Interned attribute names, as the instance shows them.
    PyObject* nameState = nullptr;          // _QuillmoreParser__state
    PyObject* nameByteOffset = nullptr;     // _QuillmoreParser__byteOffset
    PyObject* namePayload = nullptr;        // _QuillmoreParser__payload
    PyObject* nameEegCallback = nullptr;    // _QuillmoreParser__eeg_callback
    PyObject* nameExtendCallback = nullptr; // _QuillmoreParser__extend_eeg_callback
    PyObject* nameGyroCallback = nullptr;   // _QuillmoreParser__gyro_callback
    PyObject* nameRrCallback = nullptr;     // _QuillmoreParser__rr_callback
    PyObject* nameRawCallback = nullptr;    // _QuillmoreParser__raw_callback
    PyObject* nameStandardDecoder = nullptr;  // _QuillmoreParser__parsePackagePayload
    PyObject* nameExtendDecoder = nullptr;    // _QuillmoreParser__parseExtendPackagePayload
    PyObject* nameHrvDecoder = nullptr;       // _QuillmoreParser__parseHRVPackagePayload
    PyObject* nameDataClass = nullptr;        // QuillmoreData
    PyObject* nameExtendDataClass = nullptr;  // QuillmoreExtendData
    PyObject* nameDict = nullptr;             // __dict__

    // Record field names, in declaration order.
    PyObject* dataFields[kDataFieldCount] = {};
    PyObject* extendFields[kExtendFieldCount] = {};

    // Parameter names of the methods, in order.
    PyObject* initParams[kInitParamCount] = {};     // self, eeg_callback, extend_eeg_callback, gyro_callback, rr_callback, raw_callback
    PyObject* parseParams[2] = {};    // self, byteData
    PyObject* decoderParams[1] = {};  // self

    PyObject* moduleName = nullptr;  // "QuillmoreParser"

    // Numeric constants.
    PyObject* intZero = nullptr;
    PyObject* floatZero = nullptr;
    PyObject* byte0xFF = nullptr;
    PyObject* payloadSizeArgs = nullptr;  // (1024,)
    // The ints the callbacks receive, made on first use of each 16-bit
    // value and kept (see sampleInt in delivery.cpp).
    PyObject* sampleInts[1 << 16] = {};

    // The method function type (function_type.cpp), made once.
    PyTypeObject* functionType = nullptr;

    // Dict stamps from 3.12 on (change_stamps.hpp): the one watcher of the
    // process, -2 until first needed and -1 when the interpreter had none
    // left; and the changes seen, [0] of the module namespace and [1] of
    // every other watched dict, from 1 so that 0 can mean "no stamp".
    int dictWatcher = -2;
    std::uint64_t dictChanges[2] = {1, 1};

    // Caches (see their types above), indexed by RecordKind.
    RecordClassCache recordClasses[2];
    RecordClassVerdict recordVerdicts[2];
    PlainAccessVerdict plainAccess;
};

extern ModuleGlobals g;

}  // namespace quillmore::py
