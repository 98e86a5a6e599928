// Process-wide values of the QuillmoreParser module.
//
// The module serves one interpreter per process and is never unloaded, so
// everything it remembers lives in one struct, filled once by the exec step
// (module.cpp) and only read afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace quillmore::py {

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

    // Record field names, in declaration order.
    PyObject* dataFields[11] = {};
    PyObject* extendFields[6] = {};

    // Parameter names of the methods, in order.
    PyObject* initParams[6] = {};     // self, eeg_callback, extend_eeg_callback, gyro_callback, rr_callback, raw_callback
    PyObject* parseParams[2] = {};    // self, byteData
    PyObject* decoderParams[1] = {};  // self

    PyObject* moduleName = nullptr;  // "QuillmoreParser"

    // Numeric constants.
    PyObject* intZero = nullptr;
    PyObject* floatZero = nullptr;
    PyObject* byte0xFF = nullptr;
    PyObject* payloadSizeArgs = nullptr;  // (1024,)
};

extern ModuleGlobals g;

}  // namespace quillmore::py
