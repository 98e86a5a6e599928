// Mirroring state and offset between the Python instance and the core, and
// the one place where the session catches up with host code (revalidate).
// See parser_session.hpp for the protocol.
#include "parser_session.hpp"

#include "change_stamps.hpp"
#include "module_globals.hpp"

namespace quillmore::py {
namespace {

constexpr int kFirstMachineState = static_cast<int>(State::HuntSync);
constexpr int kLastMachineState = static_cast<int>(State::CollectHrv);

// Attribute access on an instance of `type` runs no host code when the type
// uses the generic attribute protocol and none of the attributes that the
// parser reads is a descriptor on the class.  Cached by the type's version
// tag, which changes whenever the class or a base is modified.
bool attributeAccessIsPlain(PyTypeObject* type) {
    PlainAccessVerdict& cached = g.plainAccess;
    const unsigned int tag = typeStamp(type);
    if (tag != 0 && type == cached.type && tag == cached.tag) return cached.plain;

    bool plain = type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr;
    PyObject* names[] = {g.nameState, g.nameByteOffset, g.namePayload, g.nameEegCallback, g.nameExtendCallback,
                         g.nameGyroCallback, g.nameRrCallback, g.nameRawCallback};
    for (PyObject* name : names) {
        if (!plain) break;
        PyObject* attr = _PyType_Lookup(type, name);
        plain = attr == nullptr || Py_TYPE(attr)->tp_descr_get == nullptr;
    }
    const unsigned int tagAfter = typeStamp(type);
    if (tagAfter != 0) cached = {type, tagAfter, plain};
    return plain;
}

// The machine's state from the attribute: the first of 1..11 that it equals,
// or 0 (a value that makes every byte a no-op).
bool toState(PyObject* value, int* state) {
    if (PyLong_Check(value)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        *state = (!overflow && v >= kFirstMachineState && v <= kLastMachineState) ? static_cast<int>(v) : 0;
        return true;
    }
    for (int k = kFirstMachineState; k <= kLastMachineState; ++k) {
        PyObject* candidate = PyLong_FromLong(k);
        if (candidate == nullptr) return false;
        const int equal = PyObject_RichCompareBool(value, candidate, Py_EQ);
        Py_DECREF(candidate);
        if (equal < 0) return false;
        if (equal) {
            *state = k;
            return true;
        }
    }
    *state = 0;
    return true;
}

// Sentinels for an offset the core cannot hold (not an int, or an int beyond
// 64 bits): any store with it fails, and the session then raises the
// interpreter's own error for that index.  A huge positive int still lies
// past the end of every buffer, where an extended frame is dropped.
constexpr std::int64_t kForeignOffset = INT64_MIN;
constexpr std::int64_t kForeignPastEnd = INT64_MAX;

}  // namespace

// ------------------------------------------------------------------ lifetime

Session::Session(PyObject* self, Scope scope)
    : self_(Py_NewRef(self)),
      scope_(scope),
      parser_(*this, nullptr, 0),
      payload_(scope == Scope::Machine ? PayloadBuffer::Use::Stores : PayloadBuffer::Use::Reads),
      plain_(attributeAccessIsPlain(Py_TYPE(self))),
      valuesAttached_(plain_ && attachValuesToDict(self)),
      dictSlot_(_PyObject_GetDictPtr(self)) {
    host::setFrameHooks(parser_, this);
}

Session::~Session() {
    forgetCallbacks();
    payload_.release();
    Py_CLEAR(foreignOffset_);
    Py_CLEAR(input_);
    Py_DECREF(self_);
}

// ------------------------------------------------------------------ the instance

void Session::watchInput(PyObject* array) {
    Py_XSETREF(input_, Py_NewRef(array));
    inputData_ = PyByteArray_AS_STRING(array);
    inputSize_ = PyByteArray_GET_SIZE(array);
    inputMoved_ = false;
}

// The bytearray being parsed was resized by host code: the machine must not
// read its old storage, so the running parse() returns and is resumed over
// the array as it is now, like a for loop over a bytearray would go on.
void Session::checkInput() {
    if (input_ != nullptr &&
        (PyByteArray_AS_STRING(input_) != inputData_ || PyByteArray_GET_SIZE(input_) != inputSize_)) {
        parser_.pause();
        inputMoved_ = true;
    }
}

// Reads an attribute as Python would.  `own` tells whether the instance
// holds it itself as an int, so that writing back an unchanged value can be
// skipped: every other case is written at the next push once bytes were fed,
// as the first assignment by the machine would have made it the instance's.
PyObject* Session::readAttribute(PyObject* name, bool* own) {
    *own = !plain_;  // through descriptors: only changes are written
    if (plain_) {
        PyObject* dict = instanceDict();
        if (dict != nullptr) {
            PyObject* value = PyDict_GetItemWithError(dict, name);
            if (value != nullptr) {
                *own = PyLong_CheckExact(value);
                return Py_NewRef(value);
            }
            if (PyErr_Occurred()) return nullptr;
        }
        PyObject* inherited = _PyType_Lookup(Py_TYPE(self_), name);
        if (inherited != nullptr) return Py_NewRef(inherited);
    }
    return PyObject_GetAttr(self_, name);
}

// Stamps of what a full read is about to see.  Taken before the read: host
// code that runs during it (a comparison, a lookup, a finaliser) and changes
// the instance makes the next revalidate() read everything again.
void Session::noteInStep() {
    PyObject* dict = instanceDict();
    PyTypeObject* type = Py_TYPE(self_);
    synced_ = false;
    if (!plain_ || dict == nullptr) return;
    syncedDict_ = dict;
    syncedDictVersion_ = instanceDictStamp(self_, dict, valuesAttached_);
    syncedTypeVersion_ = typeStamp(type);
    synced_ = syncedDictVersion_ != 0 && syncedTypeVersion_ != 0;
}

// THE place where the binding catches up with host code (revalidate(),
// whose common case is inline in parser_session.hpp).
//
// Host code can run wherever the binding drops a reference (a finaliser),
// looks a key up in a dict (the __eq__ of a key whose hash collides),
// compares, converts or calls.  It may resize or replace the payload buffer
// or the chunk being parsed, change or delete state, offset, callbacks and
// the record classes.  So after every such point, and before the core
// touches memory again, this runs: it re-reads state, offset and payload
// from the instance (holding a strong reference to each object it keeps),
// and then, last, takes the buffer's storage and checks the chunk's, so
// that nothing can run between taking a pointer and the core's use of it.
//
// When nothing that it reads can have changed (stillInStep(), the stamps
// noteInStep() took), revalidate() only takes the storage again.  When state or offset is not the instance's own
// int afterwards, a bulk run of the core is paused so that bytes go one at a
// time until the machine's first assignment makes it so.
bool Session::readInstance() {
    forgetCallbacks();  // may run finalisers: before anything is read
    keysAreStrings_ = false;
    plain_ = attributeAccessIsPlain(Py_TYPE(self_));
    noteInStep();
    state_.assigned = false;
    offset_.assigned = false;
    bool own = false;
    if (scope_ == Scope::Machine) {
        PyObject* state = readAttribute(g.nameState, &state_.own);
        if (state == nullptr) return abandonStep();
        int machineState = 0;
        const bool stateOk = toState(state, &machineState);
        Py_DECREF(state);
        if (!stateOk) return abandonStep();

        PyObject* offset = readAttribute(g.nameByteOffset, &offset_.own);
        if (offset == nullptr) return abandonStep();
        Py_CLEAR(foreignOffset_);
        std::int64_t machineOffset = kForeignOffset;
        bool foreign = true;
        if (PyLong_Check(offset)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(offset, &overflow);
            if (v == -1 && PyErr_Occurred()) {
                Py_DECREF(offset);
                return abandonStep();
            }
            if (overflow > 0) {
                machineOffset = kForeignPastEnd;
            } else if (!overflow && v != kForeignOffset) {
                machineOffset = v;
                foreign = false;
            }
        }
        if (foreign) {
            foreignOffset_ = offset;
            offset_.own = false;
        } else {
            Py_DECREF(offset);
        }
        host::setState(parser_, machineState);
        host::setByteOffset(parser_, machineOffset);
        state_.seen = machineState;
        offset_.seen = machineOffset;
    }
    PyObject* payload = readAttribute(g.namePayload, &own);
    if (payload == nullptr) return abandonStep();
    payload_.adopt(payload);  // dropping the previous one may run a finaliser
    noteKeys();
    takeStorage();
    if (tracksAssignments()) parser_.pause();
    return true;
}

// Whether every key of the instance dict is an exact str, so that a lookup
// in it compares nothing with host code.  Noted at the end of each full read
// (after everything that may run host code), and true as long as no host
// code ran since: the next such point is followed by revalidate().
void Session::noteKeys() {
    keysAreStrings_ = false;
    PyObject* dict = instanceDict();
    if (!plain_ || dict == nullptr) return;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return;
    }
    keysAreStrings_ = true;
}

// A read that failed: the next revalidate() starts afresh.
bool Session::abandonStep() {
    synced_ = false;
    keysAreStrings_ = false;
    return false;
}

// The buffer's and the chunk's storage as they are now.  Runs no host code.
namespace {

// Assigns a new int to the instance attribute `name`.
bool assignInt(PyObject* self, PyObject* name, long long value) {
    PyObject* object = PyLong_FromLongLong(value);
    if (object == nullptr) return false;
    const int stored = PyObject_SetAttr(self, name, object);
    Py_DECREF(object);
    return stored == 0;
}

}  // namespace

// Whether the machine still holds the stand-in for a foreign offset: it may
// have set a real one since (a length byte does), before push() noted it.
bool Session::offsetForeign() const { return foreignOffset_ != nullptr && parser_.byteOffset() == offset_.seen; }

// Hands the instance the machine's state and offset where they changed (or
// where the machine assigned them while they were not the instance's own).
// An assignment drops the old value and looks the name up, both of which may
// run host code, so whatever was assigned is followed by revalidate().
bool Session::writeAssignments() {
    bool assigned = false;
    if (state_.needsWrite(parser_.state())) {
        synced_ = false;
        assigned = true;
        state_.seen = parser_.state();
        state_.own = true;
        if (!assignInt(self_, g.nameState, parser_.state())) return abandonStep();
    }
    if (offset_.needsWrite(parser_.byteOffset())) {
        synced_ = false;
        assigned = true;
        offset_.seen = parser_.byteOffset();
        offset_.own = true;
        Py_CLEAR(foreignOffset_);
        if (!assignInt(self_, g.nameByteOffset, parser_.byteOffset())) return abandonStep();
    }
    return !assigned || revalidate();
}

Status Session::feedByte(std::uint8_t byte) {
    if (!tracksAssignments()) return host::parseByte(parser_, byte);
    const MirroredAttribute stateBefore = state_;
    const MirroredAttribute offsetBefore = offset_;
    const host::Assignments assigns = host::assignmentsOf(parser_, byte);
    noteAssigned(assigns.state, assigns.offset);
    const Status status = host::parseByte(parser_, byte);
    if (status == Status::IndexOutOfRange) {  // the failed store assigned nothing
        state_.assigned = stateBefore.assigned;
        offset_.assigned = offsetBefore.assigned;
    }
    if (status == Status::Ok && inputMoved_) {
        inputMoved_ = false;
        return Status::Paused;
    }
    return status;
}

// After host code failed: hand the instance what the machine did up to the
// failure, take back what the host left, and keep the host's exception (a
// failing read would only hide it).
void Session::revalidateAfterError() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!push() || !revalidate()) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// ------------------------------------------------------------------ errors

void Session::raiseStoreError() {
    if (!payload_.usable()) {
        payload_.raiseUnusable(true);
        return;
    }
    if (offsetForeign()) {
        // Let the interpreter name the problem with the index (not an
        // integer, or too large for an index).
        PyObject* zero = PyLong_FromLong(0);
        PyObject* payload = payload_.object();
        if (zero != nullptr && payload != nullptr && PyObject_SetItem(payload, foreignOffset_, zero) == 0) {
            PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        }
        Py_XDECREF(zero);
        return;
    }
    PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
}

// ------------------------------------------------------------------ references

// Drops the last reference: a finaliser may run, so the instance is brought
// up to date before and the core's view after.
bool Session::dropLast(PyObject* object) {
    if (!push()) {
        Py_DECREF(object);
        return false;
    }
    Py_DECREF(object);
    return revalidate();
}

}  // namespace quillmore::py
