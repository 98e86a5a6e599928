// The payload buffer's owner.  See payload_buffer.hpp.
#include "payload_buffer.hpp"

#include "module_globals.hpp"

namespace quillmore::py {

void PayloadBuffer::release() {
    if (exported_) PyBuffer_Release(&view_);
    exported_ = false;
    usable_ = false;
    readOnly_ = false;
    Py_CLEAR(object_);
}

void PayloadBuffer::adopt(PyObject* object) {
    if (object == object_) {
        Py_DECREF(object);  // not the last reference: this owner holds one
        return;
    }
    release();
    object_ = object;
    if (PyByteArray_Check(object)) {
        usable_ = true;
        return;
    }
    if (!PyObject_CheckBuffer(object)) return;  // any use of it raises (raiseUnusable)
    const int contiguousBytes = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(object, &view_, contiguousBytes | PyBUF_WRITABLE) == 0) {
        exported_ = true;
    } else {
        PyErr_Clear();
        if (PyObject_GetBuffer(object, &view_, contiguousBytes) < 0) {
            PyErr_Clear();
            return;
        }
        exported_ = true;
        readOnly_ = true;
    }
    const bool bytes =
        view_.itemsize == 1 && (view_.format == nullptr || (view_.format[0] == 'B' && view_.format[1] == 0));
    // The machine stores into its buffer; a read-only one can serve only a
    // decoder called by hand, and every store into it fails.
    usable_ = bytes && !(readOnly_ && use_ == Use::Stores);
}

// Where the object itself refuses the operation (an int, bytes, read-only
// memory) the interpreter's own error is raised by trying it; a container
// that would accept it (a list) is refused, as the machine needs a buffer of
// bytes.
void PayloadBuffer::raiseUnusable(bool store) const {
    PyTypeObject* type = Py_TYPE(object_);
    const bool canStore = (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_ass_subscript != nullptr) ||
                          (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_ass_item != nullptr);
    const bool canRead = (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_subscript != nullptr) ||
                         (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_item != nullptr);
    if (store ? (!canStore || readOnly_) : !canRead) {
        PyObject* result = store ? (PyObject_SetItem(object_, g.intZero, g.intZero) == 0 ? Py_None : nullptr)
                                 : PyObject_GetItem(object_, g.intZero);
        if (result == nullptr) return;
        if (result != Py_None) Py_DECREF(result);
    }
    PyErr_Format(PyExc_TypeError, "the payload buffer must be a bytearray, not '%.200s'", type->tp_name);
}

}  // namespace quillmore::py
