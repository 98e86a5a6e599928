// Change stamps: cheap tests of whether a type or a dict may have changed
// since a moment, for the caches that spare the parser re-reading what host
// code could have modified.  A cache may only ever miss for no reason, never
// hit after a change.
//
// A type's stamp is its version tag, which the interpreter renews whenever
// the type or one of its bases is modified.  Up to 3.12 a flag says whether
// the tag is valid; from 3.13 the flag is no longer set and a tag is valid
// when it is not 0 (then we ask for one when the type has none).
//
// A dict's stamp up to 3.11 is its version tag, renewed by every change.
// From 3.12 that field is deprecated, so from 3.12 on the dicts are watched
// instead: every change of a watched dict advances a counter, one for the
// module namespace and one for all other dicts, and the counter is the stamp.
// From 3.13 an object may keep its attributes inside itself (inline values)
// even after its dict was made, and an assignment through the object then
// reaches neither the dict's tag nor its watchers: such a dict has a stamp
// only once attachValuesToDict() moved the values into it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "module_globals.hpp"

namespace quillmore::py {

// The type's version tag, or 0 when it has none (nothing may be cached).
inline unsigned int typeStamp(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

#if PY_VERSION_HEX >= 0x030C0000
namespace stamps {

inline std::uint64_t& counterOf(PyObject* dict) { return g.dictChanges[dict == g.globals ? 0 : 1]; }

// Called before every change of a watched dict, and when it is freed (so a
// new dict at the same address cannot pass for it).
inline int noteChange(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    ++counterOf(dict);
    return 0;
}

}  // namespace stamps
#endif

// The stamp of `dict` now, to compare with dictUnchanged() later; 0 when
// changes cannot be followed.  Take it before host code can run again after
// reading from the dict.
inline std::uint64_t dictStamp(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    if (g.dictWatcher == -2) {
        g.dictWatcher = PyDict_AddWatcher(stamps::noteChange);
        if (g.dictWatcher < 0) {
            PyErr_Clear();
            g.dictWatcher = -1;
        }
    }
    if (g.dictWatcher < 0) return 0;
    if (PyDict_Watch(g.dictWatcher, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    return stamps::counterOf(dict);
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// Makes assignments through `object` reach its attribute dict, so that the
// dict's stamp follows them: from 3.13 an object with inline values keeps
// them inside itself until its dict is set, and setting the dict it already
// has moves them into it for good (the same dict object, so nothing else
// changes).  False, with no exception, when that cannot be done.
inline bool attachValuesToDict(PyObject* object) {
#if PY_VERSION_HEX >= 0x030D0000
    if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_INLINE_VALUES)) return true;
    // Through the type's __dict__ descriptor, as `obj.__dict__ = obj.__dict__`
    // does: PyObject_GenericSetDict would only store the pointer.
    PyObject* dict = PyObject_GenericGetDict(object, nullptr);
    const bool set = dict != nullptr && PyObject_SetAttr(object, g.nameDict, dict) == 0;
    Py_XDECREF(dict);
    if (!set) PyErr_Clear();
    return set;
#else
    (void)object;
    return true;
#endif
}

// The stamp of `object`'s attribute dict `dict`, as dictStamp();
// `attached` tells whether attachValuesToDict(object) succeeded.
inline std::uint64_t instanceDictStamp(PyObject* object, PyObject* dict, bool attached) {
#if PY_VERSION_HEX >= 0x030D0000
    if (!attached && PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_INLINE_VALUES)) return 0;
#else
    (void)object;
    (void)attached;
#endif
    return dictStamp(dict);
}

// Whether `dict`, stamped `stamp` by dictStamp(), cannot have changed since.
inline bool dictUnchanged(PyObject* dict, std::uint64_t stamp) {
#if PY_VERSION_HEX >= 0x030C0000
    return stamp != 0 && stamps::counterOf(dict) == stamp;
#else
    return stamp != 0 && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == stamp;
#endif
}

}  // namespace quillmore::py
