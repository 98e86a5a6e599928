// Record classes and record building.
#include "records.hpp"

#include "change_stamps.hpp"
#include "module_globals.hpp"

namespace quillmore::py {
namespace {

// The class found for each kind, with the namespace version it was found at.
struct LookupCache {
    PyObject* cls = nullptr;  // borrowed: valid while the namespace is unchanged
    std::uint64_t version = 0;
};
LookupCache dataCache;
LookupCache extendCache;

// Sets the fields in order; steals nothing.  False with an exception set.
bool assignFields(PyObject* record, PyObject* const* names, PyObject* const* values, int count) {
    for (int i = 0; i < count; ++i) {
        if (values[i] == nullptr) return false;
        if (PyObject_SetAttr(record, names[i], values[i]) < 0) return false;
    }
    return true;
}

PyObject* fillRecord(PyObject* cls, PyObject* const* names, PyObject** values, int count) {
    Py_INCREF(cls);  // the call may rebind the name that held it
    PyObject* record = PyObject_CallNoArgs(cls);
    Py_DECREF(cls);
    bool ok = record != nullptr && assignFields(record, names, values, count);
    for (int i = 0; i < count; ++i) Py_XDECREF(values[i]);
    if (!ok) {
        Py_XDECREF(record);
        return nullptr;
    }
    return record;
}

PyObject* temperatureValue(const QuillmoreExtendData& data) {
    switch (data.temperatureKind) {
    case TemperatureKind::Measured: return PyFloat_FromDouble(data.temperature);
    case TemperatureKind::SensorUnavailable: return Py_NewRef(g.intZero);
    case TemperatureKind::Absent: break;
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
        for (int i = 0; i < 6; ++i) {
            PyObject* value = (i == 2 || i == 4) ? g.floatZero : g.intZero;
            ok = ok && PyDict_SetItem(ns, g.extendFields[i], value) == 0;
        }
    }
    PyObject* cls = ok ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O()O", qualname, ns) : nullptr;
    Py_XDECREF(qualname);
    Py_DECREF(ns);
    return cls;
}

PyObject* recordClass(RecordKind kind) {
    LookupCache& cache = kind == RecordKind::Data ? dataCache : extendCache;
    if (cache.cls != nullptr && dictUnchanged(g.globals, cache.version)) return cache.cls;
    const std::uint64_t version = dictStamp(g.globals);
    PyObject* name = kind == RecordKind::Data ? g.nameDataClass : g.nameExtendDataClass;
    PyObject* cls = PyDict_GetItemWithError(g.globals, name);
    if (cls == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        cls = builtins != nullptr ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (cls == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            cache.cls = nullptr;
            return nullptr;
        }
        return cls;  // builtins are not covered by the namespace version: no caching
    }
    if (cls == nullptr) return nullptr;
    cache.cls = cls;
    cache.version = version;
    return cls;
}

bool recordIsInert(RecordKind kind, PyObject* cls) {
    const bool isData = kind == RecordKind::Data;
    if (cls != (isData ? g.dataClass : g.extendDataClass) || Py_TYPE(cls) != &PyType_Type) return false;
    // A host may still have given the class an __init__, a __new__, a
    // finaliser or descriptors for the fields: then building a record runs
    // its code.  Checked again whenever the class changes (its version tag).
    struct Verdict {
        unsigned int tag = 0;
        bool known = false;
        bool inert = false;
    };
    static Verdict verdicts[2];
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Verdict& verdict = verdicts[isData ? 0 : 1];
    const unsigned int tag = typeStamp(type);
    if (tag != 0 && verdict.known && verdict.tag == tag) return verdict.inert;

    bool inert = type->tp_init == PyBaseObject_Type.tp_init && type->tp_new == PyBaseObject_Type.tp_new &&
                 type->tp_finalize == nullptr && type->tp_del == nullptr &&
                 type->tp_setattro == PyObject_GenericSetAttr;
    PyObject* const* fields = isData ? g.dataFields : g.extendFields;
    for (int i = 0; inert && i < (isData ? 11 : 6); ++i) {
        PyObject* attr = _PyType_Lookup(type, fields[i]);
        inert = attr == nullptr || Py_TYPE(attr)->tp_descr_set == nullptr;
    }
    const unsigned int tagAfter = typeStamp(type);
    if (tagAfter != 0) verdict = {tagAfter, true, inert};
    return inert;
}

PyObject* buildRecord(PyObject* cls, const QuillmoreData& d) {
    PyObject* values[11] = {
        PyLong_FromUnsignedLong(d.signal),   PyLong_FromUnsignedLong(d.attention), PyLong_FromUnsignedLong(d.meditation),
        PyLong_FromUnsignedLong(d.delta),    PyLong_FromUnsignedLong(d.theta),     PyLong_FromUnsignedLong(d.lowAlpha),
        PyLong_FromUnsignedLong(d.highAlpha), PyLong_FromUnsignedLong(d.lowBeta),  PyLong_FromUnsignedLong(d.highBeta),
        PyLong_FromUnsignedLong(d.lowGamma), PyLong_FromUnsignedLong(d.highGamma),
    };
    return fillRecord(cls, g.dataFields, values, 11);
}

PyObject* buildRecord(PyObject* cls, const QuillmoreExtendData& d) {
    PyObject* values[6] = {
        PyLong_FromUnsignedLong(d.ap), PyLong_FromUnsignedLong(d.battery), PyFloat_FromDouble(d.version),
        PyLong_FromUnsignedLong(d.gnaw), temperatureValue(d),              PyLong_FromUnsignedLong(d.heart),
    };
    return fillRecord(cls, g.extendFields, values, 6);
}

}  // namespace quillmore::py
