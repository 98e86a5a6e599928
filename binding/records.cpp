// Record classes and record building.
#include "records.hpp"

#include "change_stamps.hpp"
#include "module_globals.hpp"

namespace quillmore::py {
namespace {

// Sets the fields in order; steals nothing.  False with an exception set.
bool assignFields(PyObject* record, PyObject* const* names, PyObject* const* values, int count) {
    for (int i = 0; i < count; ++i) {
        if (values[i] == nullptr) return false;
        if (PyObject_SetAttr(record, names[i], values[i]) < 0) return false;
    }
    return true;
}

// `cls` is held by the caller.  A value that could not be made fails the
// build with its MemoryError before the class is called.
PyObject* fillRecord(PyObject* cls, PyObject* const* names, PyObject** values, int count) {
    bool made = true;
    for (int i = 0; i < count; ++i) made = made && values[i] != nullptr;
    PyObject* record = made ? PyObject_CallNoArgs(cls) : nullptr;
    bool ok = record != nullptr && assignFields(record, names, values, count);
    for (int i = 0; i < count; ++i) Py_XDECREF(values[i]);
    if (!ok) {
        Py_XDECREF(record);
        return nullptr;
    }
    return record;
}

PyObject* temperatureValue(const QuillmoreExtendData& data) {
    switch (data.temperatureStatus) {
    case TemperatureStatus::Measured: return PyFloat_FromDouble(data.temperature);
    case TemperatureStatus::NoReading: return Py_NewRef(g.intZero);
    case TemperatureStatus::NoRow: break;
    }
    return Py_NewRef(g.floatZero);
}

}  // namespace

PyObject* makeRecordClass(RecordKind kind) {
    const bool isData = kind == RecordKind::Data;
    const char* name = isData ? "QuillmoreData" : "QuillmoreExtendData";
    PyObject* ns = PyDict_New();
    if (ns == nullptr) return nullptr;
    PyObject* qualname = PyUnicode_FromString(name);
    bool ok = qualname != nullptr && PyDict_SetItemString(ns, "__module__", g.moduleName) == 0 &&
              PyDict_SetItemString(ns, "__qualname__", qualname) == 0;
    if (isData) {
        for (PyObject* field : g.dataFields) ok = ok && PyDict_SetItem(ns, field, g.intZero) == 0;
    } else {
        // version and temperature default to the float 0.0, the rest to the int 0
        for (int i = 0; i < kExtendFieldCount; ++i) {
            const bool isFloat = i == kExtendVersionField || i == kExtendTemperatureField;
            PyObject* value = isFloat ? g.floatZero : g.intZero;
            ok = ok && PyDict_SetItem(ns, g.extendFields[i], value) == 0;
        }
    }
    PyObject* cls = ok ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O()O", qualname, ns) : nullptr;
    Py_XDECREF(qualname);
    Py_DECREF(ns);
    return cls;
}

PyObject* recordClass(RecordKind kind) {
    RecordClassCache& cache = g.recordClasses[static_cast<int>(kind)];
    if (cache.cls != nullptr && dictUnchanged(g.globals, cache.version)) return Py_NewRef(cache.cls);
    // Stamped before the lookup: a colliding key's __eq__ that changes the
    // namespace during it leaves the stamp stale, and the next record looks
    // the name up again.
    const std::uint64_t version = dictStamp(g.globals);
    PyObject* name = kind == RecordKind::Data ? g.nameDataClass : g.nameExtendDataClass;
    PyObject* cls = PyDict_GetItemWithError(g.globals, name);
    if (cls != nullptr) {
        Py_INCREF(cls);
        Py_XSETREF(cache.cls, Py_NewRef(cls));
        cache.version = version;
        return cls;
    }
    if (PyErr_Occurred()) return nullptr;
    // Builtins are not covered by the namespace's stamp: no caching.
    PyObject* builtins = PyEval_GetBuiltins();
    cls = builtins != nullptr ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (cls == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Py_XNewRef(cls);
}

bool recordIsInert(RecordKind kind) {
    const bool isData = kind == RecordKind::Data;
    const RecordClassCache& cache = g.recordClasses[static_cast<int>(kind)];
    PyObject* cls = cache.cls;
    if (cls == nullptr || !dictUnchanged(g.globals, cache.version)) return false;
    if (cls != (isData ? g.dataClass : g.extendDataClass) || Py_TYPE(cls) != &PyType_Type) return false;
    // A host may still have given the class an __init__, a __new__, a
    // finaliser or descriptors for the fields: then building a record runs
    // its code.  Checked again whenever the class changes (its version tag).
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    RecordClassVerdict& verdict = g.recordVerdicts[static_cast<int>(kind)];
    const unsigned int tag = typeStamp(type);
    if (tag != 0 && verdict.known && verdict.tag == tag) return verdict.inert;

    bool inert = type->tp_init == PyBaseObject_Type.tp_init && type->tp_new == PyBaseObject_Type.tp_new &&
                 type->tp_finalize == nullptr && type->tp_del == nullptr &&
                 type->tp_setattro == PyObject_GenericSetAttr;
    PyObject* const* fields = isData ? g.dataFields : g.extendFields;
    const int count = isData ? kDataFieldCount : kExtendFieldCount;
    for (int i = 0; inert && i < count; ++i) {
        PyObject* attr = _PyType_Lookup(type, fields[i]);
        inert = attr == nullptr || Py_TYPE(attr)->tp_descr_set == nullptr;
    }
    const unsigned int tagAfter = typeStamp(type);
    if (tagAfter != 0) verdict = {tagAfter, true, inert};
    return inert;
}

PyObject* buildRecord(PyObject* cls, const QuillmoreData& d) {
    PyObject* values[kDataFieldCount] = {
        PyLong_FromUnsignedLong(d.signal),   PyLong_FromUnsignedLong(d.attention), PyLong_FromUnsignedLong(d.meditation),
        PyLong_FromUnsignedLong(d.delta),    PyLong_FromUnsignedLong(d.theta),     PyLong_FromUnsignedLong(d.lowAlpha),
        PyLong_FromUnsignedLong(d.highAlpha), PyLong_FromUnsignedLong(d.lowBeta),  PyLong_FromUnsignedLong(d.highBeta),
        PyLong_FromUnsignedLong(d.lowGamma), PyLong_FromUnsignedLong(d.highGamma),
    };
    return fillRecord(cls, g.dataFields, values, kDataFieldCount);
}

PyObject* buildRecord(PyObject* cls, const QuillmoreExtendData& d) {
    PyObject* values[kExtendFieldCount] = {
        PyLong_FromUnsignedLong(d.ap), PyLong_FromUnsignedLong(d.battery), PyFloat_FromDouble(d.version),
        PyLong_FromUnsignedLong(d.gnaw), temperatureValue(d),              PyLong_FromUnsignedLong(d.heart),
    };
    return fillRecord(cls, g.extendFields, values, kExtendFieldCount);
}

}  // namespace quillmore::py
