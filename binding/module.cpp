// Module initialisation of QuillmoreParser.
//
// Python equivalent of what an import leaves in the namespace (the lines are
// the ones that traceback entries of a failed initialisation report):
//
//  1  class QuillmoreParser: ...          # parser_methods.cpp
// 33  class QuillmoreExtendData: ...      # records.hpp
// 41  class QuillmoreData: ...
// 54  __test__ = {}
//
// Initialisation is multi-phase: the create step hands out the one module
// object of the process (the module serves a single interpreter and is never
// unloaded), the exec step fills it once.  Importing again after removing the
// module from sys.modules, or reloading it, yields that same module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "function_type.hpp"
#include "module_globals.hpp"
#include "parser_methods.hpp"
#include "records.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"

namespace quillmore::py {

ModuleGlobals g;

namespace {

// ------------------------------------------------------------------ create

// Copies spec.<attribute> to module.<entry>; a missing attribute is skipped.
bool copySpecAttribute(PyObject* spec, PyObject* module, const char* attribute, const char* entry, bool skipNone) {
    PyObject* value = PyObject_GetAttrString(spec, attribute);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    int stored = 0;
    if (!(skipNone && value == Py_None)) stored = PyObject_SetAttrString(module, entry, value);
    Py_DECREF(value);
    return stored == 0;
}

PyObject* createModule(PyObject* spec, PyModuleDef* /*def*/) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g.interpreterId == -1) {
        if (id == -1) return nullptr;
        g.interpreterId = id;
    } else if (id != g.interpreterId) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module != nullptr) {
        // The interpreter resets the state pointer of the module that this
        // step returns, and its exec step then allocates a new block of
        // m_size (0) bytes for it: free the block of the earlier import, or
        // every import again would leave one behind.
        PyMem_Free(PyModule_GetState(g.module));
        return Py_NewRef(g.module);
    }

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    if (!copySpecAttribute(spec, module, "loader", "__loader__", false) ||
        !copySpecAttribute(spec, module, "origin", "__file__", false) ||
        !copySpecAttribute(spec, module, "parent", "__package__", false) ||
        !copySpecAttribute(spec, module, "submodule_search_locations", "__path__", true)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// ------------------------------------------------------------------ exec

bool intern(PyObject** slot, const char* text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot != nullptr;
}

bool makeNames() {
    constexpr const char* dataFields[kDataFieldCount] = {"signal", "attention", "meditation", "delta", "theta", "lowAlpha",
                                               "highAlpha", "lowBeta", "highBeta", "lowGamma", "highGamma"};
    constexpr const char* extendFields[kExtendFieldCount] = {"ap", "battery", "version", "gnaw", "temperature", "heart"};
    constexpr const char* initParams[kInitParamCount] = {"self", "eeg_callback", "extend_eeg_callback", "gyro_callback",
                                              "rr_callback", "raw_callback"};
    bool ok = intern(&g.moduleName, "QuillmoreParser") && intern(&g.nameState, "_QuillmoreParser__state") &&
              intern(&g.nameByteOffset, "_QuillmoreParser__byteOffset") &&
              intern(&g.namePayload, "_QuillmoreParser__payload") &&
              intern(&g.nameEegCallback, "_QuillmoreParser__eeg_callback") &&
              intern(&g.nameExtendCallback, "_QuillmoreParser__extend_eeg_callback") &&
              intern(&g.nameGyroCallback, "_QuillmoreParser__gyro_callback") &&
              intern(&g.nameRrCallback, "_QuillmoreParser__rr_callback") &&
              intern(&g.nameRawCallback, "_QuillmoreParser__raw_callback") &&
              intern(&g.nameStandardDecoder, "_QuillmoreParser__parsePackagePayload") &&
              intern(&g.nameExtendDecoder, "_QuillmoreParser__parseExtendPackagePayload") &&
              intern(&g.nameHrvDecoder, "_QuillmoreParser__parseHRVPackagePayload") &&
              intern(&g.nameDataClass, "QuillmoreData") && intern(&g.nameExtendDataClass, "QuillmoreExtendData") &&
              intern(&g.nameDict, "__dict__");
    for (int i = 0; ok && i < kDataFieldCount; ++i) ok = intern(&g.dataFields[i], dataFields[i]);
    for (int i = 0; ok && i < kExtendFieldCount; ++i) ok = intern(&g.extendFields[i], extendFields[i]);
    for (int i = 0; ok && i < kInitParamCount; ++i) ok = intern(&g.initParams[i], initParams[i]);
    if (!ok) return false;
    g.parseParams[0] = g.initParams[0];
    g.decoderParams[0] = g.initParams[0];
    return intern(&g.parseParams[1], "byteData");
}

bool makeConstants() {
    g.intZero = PyLong_FromLong(0);
    g.floatZero = PyFloat_FromDouble(0.0);
    g.byte0xFF = PyLong_FromLong(0xFF);
    g.payloadSizeArgs = Py_BuildValue("(l)", kPayloadBytes);
    return g.intZero != nullptr && g.floatZero != nullptr && g.byte0xFF != nullptr && g.payloadSizeArgs != nullptr;
}

bool setItem(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    const int stored = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return stored == 0;
}

bool setItem(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int stored = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return stored == 0;
}

// The methods, and the parser class over them (entries in class-body order).
PyObject* makeParserClass() {
    PyObject* defaults = PyTuple_Pack(5, Py_None, Py_None, Py_None, Py_None, Py_None);
    if (defaults == nullptr) return nullptr;
    g.methodInit = newFunction(&kInitMethod, defaults, g.globals);
    Py_DECREF(defaults);
    g.methodParse = newFunction(&kParseMethod, nullptr, g.globals);
    g.methodStandard = newFunction(&kStandardMethod, nullptr, g.globals);
    g.methodExtend = newFunction(&kExtendMethod, nullptr, g.globals);
    g.methodHrv = newFunction(&kHrvMethod, nullptr, g.globals);
    if (g.methodInit == nullptr || g.methodParse == nullptr || g.methodStandard == nullptr ||
        g.methodExtend == nullptr || g.methodHrv == nullptr) {
        return nullptr;
    }
    PyObject* ns = PyDict_New();
    if (ns == nullptr) return nullptr;
    PyObject* qualname = PyUnicode_FromString("QuillmoreParser");
    const bool ok =
        qualname != nullptr && PyDict_SetItemString(ns, "__module__", g.moduleName) == 0 &&
        PyDict_SetItemString(ns, "__qualname__", qualname) == 0 && setItem(ns, g.nameState, PyLong_FromLong(1)) &&
        setItem(ns, "_QuillmoreParser__payloadLength", PyLong_FromLong(0)) &&
        setItem(ns, g.namePayload,
                PyObject_Call(reinterpret_cast<PyObject*>(&PyByteArray_Type), g.payloadSizeArgs, nullptr)) &&
        setItem(ns, g.nameByteOffset, PyLong_FromLong(0)) && PyDict_SetItemString(ns, "__init__", g.methodInit) == 0 &&
        PyDict_SetItemString(ns, "parse", g.methodParse) == 0 &&
        PyDict_SetItem(ns, g.nameStandardDecoder, g.methodStandard) == 0 &&
        PyDict_SetItem(ns, g.nameExtendDecoder, g.methodExtend) == 0 &&
        PyDict_SetItem(ns, g.nameHrvDecoder, g.methodHrv) == 0;
    PyObject* cls = ok ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O()O", qualname, ns) : nullptr;
    Py_XDECREF(qualname);
    Py_DECREF(ns);
    return cls;
}

// Stores a new class in the namespace and remembers it; false on failure.
bool storeClass(PyObject* module, const char* name, PyObject* cls, PyObject** remembered) {
    if (cls == nullptr) return false;
    *remembered = cls;  // the process keeps the module's own classes
    return PyModule_AddObjectRef(module, name, cls) == 0;
}

int execModule(PyObject* module) {
    if (g.module != nullptr) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'QuillmoreParser' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    g.globals = PyModule_GetDict(module);
    bool namesReady = false;
    int line = lines::kParserClass;

    PyObject* builtins = PyImport_ImportModule("builtins");
    bool ok = builtins != nullptr && PyModule_AddObjectRef(module, "__builtins__", builtins) == 0;
    Py_XDECREF(builtins);

    if (ok && (Py_Version & ~0xFFFFUL) != (PY_VERSION_HEX & ~0xFFFFUL)) {
        char message[200];
        PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, "QuillmoreParser", "does not match",
                      static_cast<int>((Py_Version >> 24) & 0xFF), static_cast<int>((Py_Version >> 16) & 0xFF));
        ok = PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
    }

    ok = ok && makeNames() && makeConstants();
    namesReady = ok;

    if (ok) {
        PyObject* modules = PyImport_GetModuleDict();
        const int present = PyDict_Contains(modules, g.moduleName);
        ok = present > 0 || (present == 0 && PyDict_SetItem(modules, g.moduleName, module) == 0);
    }
    ok = ok && readyFunctionType() == 0;
    ok = ok && storeClass(module, "QuillmoreParser", makeParserClass(), &g.parserClass);
    if (ok) line = lines::kExtendDataClass;
    ok = ok && storeClass(module, "QuillmoreExtendData", makeRecordClass(RecordKind::ExtendData), &g.extendDataClass);
    if (ok) line = lines::kDataClass;
    ok = ok && storeClass(module, "QuillmoreData", makeRecordClass(RecordKind::Data), &g.dataClass);
    if (ok) {
        line = lines::kTest;
        PyObject* test = PyDict_New();
        ok = test != nullptr && PyModule_AddObjectRef(module, "__test__", test) == 0;
        Py_XDECREF(test);
    }
    if (ok) return 0;

    if (namesReady) addTraceback("init QuillmoreParser", line);
    Py_CLEAR(g.module);
    g.globals = nullptr;
    return -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "QuillmoreParser",
    nullptr,  // no docstring
    0,        // no per-module state: what the module keeps is process-wide
    nullptr,  // no module-level functions
    moduleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmore::py

PyMODINIT_FUNC PyInit_QuillmoreParser(void) { return PyModuleDef_Init(&quillmore::py::moduleDef); }
