// The bridge between a Python parser instance and the core.  See
// parser_session.hpp for the protocol.
#include "parser_session.hpp"

#include <type_traits>

#include "change_stamps.hpp"
#include "module_globals.hpp"
#include "records.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"

namespace quillmore::py {
namespace {

constexpr int kFirstMachineState = static_cast<int>(State::HuntSync);
constexpr int kLastMachineState = static_cast<int>(State::CollectHrv);

PyObject* const* callbackNames[] = {&g.nameEegCallback, &g.nameExtendCallback, &g.nameGyroCallback,
                                    &g.nameRrCallback, &g.nameRawCallback};

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

const char* const decoderTracebackNames[] = {
    "QuillmoreParser.QuillmoreParser.__parsePackagePayload",
    "QuillmoreParser.QuillmoreParser.__parseExtendPackagePayload",
    "QuillmoreParser.QuillmoreParser.__parseHRVPackagePayload",
};

}  // namespace

// ------------------------------------------------------------------ lifetime

Session::Session(PyObject* self, Scope scope)
    : self_(Py_NewRef(self)), scope_(scope), parser_(*this, nullptr, 0), plain_(attributeAccessIsPlain(Py_TYPE(self))) {}

Session::~Session() {
    forgetCallbacks();
    releasePayload();
    Py_CLEAR(foreignOffset_);
    Py_CLEAR(input_);
    Py_DECREF(self_);
}

void Session::forgetCallbacks() {
    for (PyObject*& callback : callbacks_) Py_CLEAR(callback);
}

void Session::releasePayload() {
    if (payloadExported_) PyBuffer_Release(&payloadView_);
    payloadExported_ = false;
    payloadUsable_ = false;
    payloadReadOnly_ = false;
    Py_CLEAR(payload_);
    parser_.setPayload(nullptr, 0);
}

// A bytearray payload is used in place; its storage is looked up again
// whenever host code may have resized it.
void Session::refreshPayload() {
    if (payload_ != nullptr && PyByteArray_Check(payload_)) {
        parser_.setPayload(reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(payload_)),
                           static_cast<std::size_t>(PyByteArray_GET_SIZE(payload_)));
    }
}

// Takes the payload object (a new reference).  A bytearray is used in place,
// so a host may resize or replace it; any other buffer of bytes is held
// exported for the session: writable ones serve like a bytearray, read-only
// ones (bytes) only for reading.
void Session::adoptPayload(PyObject* payload) {
    if (payload == payload_) {
        Py_DECREF(payload);
        refreshPayload();
        return;
    }
    releasePayload();
    payload_ = payload;
    if (PyByteArray_Check(payload)) {
        refreshPayload();
        payloadUsable_ = true;
        return;
    }
    if (!PyObject_CheckBuffer(payload)) return;  // any use of it raises (raisePayloadError)
    const int contiguousBytes = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(payload, &payloadView_, contiguousBytes | PyBUF_WRITABLE) == 0) {
        payloadExported_ = true;
    } else {
        PyErr_Clear();
        if (PyObject_GetBuffer(payload, &payloadView_, contiguousBytes) < 0) {
            PyErr_Clear();
            return;
        }
        payloadExported_ = true;
        payloadReadOnly_ = true;
    }
    const bool bytes = payloadView_.itemsize == 1 &&
                       (payloadView_.format == nullptr || (payloadView_.format[0] == 'B' && payloadView_.format[1] == 0));
    if (!bytes) return;
    // The machine stores into its buffer; a read-only one can serve only a
    // decoder called by hand, and every store into it fails.
    if (payloadReadOnly_ && scope_ == Scope::Machine) return;
    parser_.setPayload(static_cast<std::uint8_t*>(payloadView_.buf), static_cast<std::size_t>(payloadView_.len));
    payloadUsable_ = true;
}

// ------------------------------------------------------------------ sync

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

// The instance's own attribute dictionary, or NULL (borrowed).
PyObject* Session::instanceDict() const {
    PyObject** slot = _PyObject_GetDictPtr(self_);
    return slot != nullptr ? *slot : nullptr;
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

// Whether nothing that revalidate() reads can have changed since it last
// read it all: same instance dictionary, unmodified, and an unmodified class.
bool Session::stillInStep() const {
    if (!plain_ || !synced_) return false;
    PyObject* dict = instanceDict();
    PyTypeObject* type = Py_TYPE(self_);
    return dict != nullptr && dict == syncedDict_ && dictUnchanged(dict, syncedDictVersion_) &&
           typeStamp(type) == syncedTypeVersion_;
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
    syncedDictVersion_ = instanceDictStamp(self_, dict);
    syncedTypeVersion_ = typeStamp(type);
    synced_ = syncedDictVersion_ != 0 && syncedTypeVersion_ != 0;
}

// THE place where the binding catches up with host code.
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
// When nothing that it reads can have changed (the stamps above), only the
// storage is taken again.  When state or offset is not the instance's own
// int afterwards, a bulk run of the core is paused so that bytes go one at a
// time until the machine's first assignment makes it so.
bool Session::revalidate() {
    if (stillInStep()) {
        takeStorage();
        return true;
    }
    forgetCallbacks();  // may run finalisers: before anything is read
    plain_ = attributeAccessIsPlain(Py_TYPE(self_));
    noteInStep();
    stateAssigned_ = false;
    offsetAssigned_ = false;
    bool own = false;
    if (scope_ == Scope::Machine) {
        PyObject* state = readAttribute(g.nameState, &stateOwned_);
        if (state == nullptr) return abandonStep();
        int machineState = 0;
        const bool stateOk = toState(state, &machineState);
        Py_DECREF(state);
        if (!stateOk) return abandonStep();

        PyObject* offset = readAttribute(g.nameByteOffset, &offsetOwned_);
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
            offsetOwned_ = false;
        } else {
            Py_DECREF(offset);
        }
        parser_.setState(machineState);
        parser_.setByteOffset(machineOffset);
        pulledState_ = machineState;
        pulledOffset_ = machineOffset;
    }
    PyObject* payload = readAttribute(g.namePayload, &own);
    if (payload == nullptr) return abandonStep();
    adoptPayload(payload);
    takeStorage();
    if (tracksAssignments()) parser_.pause();
    return true;
}

// A read that failed: the next revalidate() starts afresh.
bool Session::abandonStep() {
    synced_ = false;
    return false;
}

// The buffer's and the chunk's storage as they are now.  Runs no host code.
void Session::takeStorage() {
    refreshPayload();
    checkInput();
}

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
bool Session::offsetForeign() const { return foreignOffset_ != nullptr && parser_.byteOffset() == pulledOffset_; }

// Hands the instance the machine's state and offset where they changed (or
// where the machine assigned them while they were not the instance's own).
// An assignment drops the old value and looks the name up, both of which may
// run host code, so whatever was assigned is followed by revalidate().
bool Session::push() {
    if (scope_ == Scope::Payload) return true;
    bool assigned = false;
    if (parser_.state() != pulledState_ || (stateAssigned_ && !stateOwned_)) {
        synced_ = false;
        assigned = true;
        pulledState_ = parser_.state();
        stateOwned_ = true;
        if (!assignInt(self_, g.nameState, parser_.state())) return abandonStep();
    }
    if (parser_.byteOffset() != pulledOffset_ || (offsetAssigned_ && !offsetOwned_)) {
        synced_ = false;
        assigned = true;
        pulledOffset_ = parser_.byteOffset();
        offsetOwned_ = true;
        Py_CLEAR(foreignOffset_);
        if (!assignInt(self_, g.nameByteOffset, parser_.byteOffset())) return abandonStep();
    }
    return !assigned || revalidate();
}

Status Session::feedByte(std::uint8_t byte) {
    if (!tracksAssignments()) return parser_.parseByte(byte);
    const bool stateBefore = stateAssigned_;
    const bool offsetBefore = offsetAssigned_;
    const QuillmoreParser::Assignments assigns = parser_.assignmentsOf(byte);
    stateAssigned_ = stateAssigned_ || assigns.state;
    offsetAssigned_ = offsetAssigned_ || assigns.offset;
    const Status status = parser_.parseByte(byte);
    if (status == Status::IndexOutOfRange) {  // the failed store assigned nothing
        stateAssigned_ = stateBefore;
        offsetAssigned_ = offsetBefore;
    }
    if (status == Status::Ok && inputMoved_) {
        inputMoved_ = false;
        return Status::Paused;
    }
    return status;
}

// After host code failed: take back what the host left, keeping its
// exception (a failing pull would only hide it).
void Session::revalidateAfterError() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!revalidate()) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// ------------------------------------------------------------------ elements

namespace {

// The element as an item assignment into a bytearray stores it.
bool storedByteOf(PyObject* element, std::uint8_t* byte) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(element, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 0 || v > 255) {
        PyErr_SetString(PyExc_ValueError, "byte must be in range(0, 256)");
        return false;
    }
    *byte = static_cast<std::uint8_t>(v);
    return true;
}

// element & 0xFF, for any integer (negative and long ones too) or any
// object that supports the operation.
bool lowByteOf(PyObject* element, std::uint8_t* byte) {
    if (PyLong_Check(element)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(element, &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred())) {
            *byte = static_cast<std::uint8_t>(static_cast<unsigned long>(v) & 0xFF);
            return true;
        }
        PyErr_Clear();
    }
    PyObject* low = PyNumber_And(element, g.byte0xFF);
    if (low == nullptr) return false;
    const long v = PyLong_AsLong(low);
    Py_DECREF(low);
    if (v == -1 && PyErr_Occurred()) return false;
    *byte = static_cast<std::uint8_t>(static_cast<unsigned long>(v) & 0xFF);
    return true;
}

}  // namespace

// Each row examines, stores and compares the element in its own order, and
// only the row of the current state runs: a state outside the machine looks
// at no element; state 10 sets the offset to 0 before it examines one;
// the collecting states store it first (converting the index, then the
// value, as a bytearray item assignment does), and states 7 and the byte
// that completes a standard or raw-sample frame examine it after that.
bool Session::elementByte(PyObject* element, std::uint8_t* byte) {
    *byte = 0;
    const bool hostCode = !PyLong_Check(element);  // __index__ or __and__ of a host type
    if (hostCode && !push()) return false;
    const int state = parser_.state();
    if (state < kFirstMachineState || state > kLastMachineState) return true;  // no row: a no-op whatever the byte
    if (state == static_cast<int>(State::HrvLength)) {
        parser_.setByteOffset(0);
        offsetAssigned_ = true;
        if (hostCode && !push()) return false;
    }
    bool ok;
    if (!parser_.storesNextByte()) {
        ok = lowByteOf(element, byte);
    } else if (offsetForeign()) {
        raiseStoreError();  // the index is converted before the value, as bytearray does
        ok = false;
    } else {
        ok = storedByteOf(element, byte);
        std::uint8_t low = 0;
        if (ok && hostCode && parser_.examinesAfterStore() && !lowByteOf(element, &low)) {
            // Stored, but it cannot be compared: the row got as far as the
            // store (and, completing a frame, the change of state).
            ok = false;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            const int stateBefore = parser_.state();
            if (parser_.storeBeforeExamining(*byte) == Status::Ok) {
                offsetAssigned_ = true;
                stateAssigned_ = stateAssigned_ || parser_.state() != stateBefore;
                PyErr_Restore(type, value, traceback);
            } else {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
                raiseStoreError();
            }
        }
    }
    if (!hostCode) return ok;
    if (!ok) {
        revalidateAfterError();
        return false;
    }
    return revalidate();
}

// ------------------------------------------------------------------ errors

// For a payload that is not a buffer of bytes the machine can use.  Where
// the object itself refuses the operation (an int, bytes, read-only memory)
// the interpreter's own error is raised by trying it; a container that would
// accept it (a list) is refused, as the machine needs a buffer of bytes.
void Session::raisePayloadError(bool store) {
    PyTypeObject* type = Py_TYPE(payload_);
    const bool canStore = (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_ass_subscript != nullptr) ||
                          (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_ass_item != nullptr);
    const bool canRead = (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_subscript != nullptr) ||
                         (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_item != nullptr);
    if (store ? (!canStore || payloadReadOnly_) : !canRead) {
        PyObject* result = store ? (PyObject_SetItem(payload_, g.intZero, g.intZero) == 0 ? Py_None : nullptr)
                                 : PyObject_GetItem(payload_, g.intZero);
        if (result == nullptr) return;
        if (result != Py_None) Py_DECREF(result);
    }
    PyErr_Format(PyExc_TypeError, "the payload buffer must be a bytearray, not '%.200s'", type->tp_name);
}

void Session::raiseStoreError() {
    if (!payloadUsable_) {
        raisePayloadError(true);
        return;
    }
    if (offsetForeign()) {
        // Let the interpreter name the problem with the index (not an
        // integer, or too large for an index).
        PyObject* zero = PyLong_FromLong(0);
        if (zero != nullptr && payload_ != nullptr && PyObject_SetItem(payload_, foreignOffset_, zero) == 0) {
            PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        }
        Py_XDECREF(zero);
        return;
    }
    PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
}

// ------------------------------------------------------------------ delivery

// The callback attribute's value (new reference).  Read once per stretch
// without host code when attribute access is plain.
PyObject* Session::callbackValue(Slot slot) {
    if (plain_ && callbacks_[slot] != nullptr) return Py_NewRef(callbacks_[slot]);
    // The read may run host code (a descriptor, a colliding key's __eq__).
    if (!push()) return nullptr;
    bool own = false;
    PyObject* value = readAttribute(*callbackNames[slot], &own);
    if (value == nullptr) {
        revalidateAfterError();
        return nullptr;
    }
    if (!revalidate()) {
        Py_DECREF(value);
        return nullptr;
    }
    if (plain_ && synced_ && callbacks_[slot] == nullptr) callbacks_[slot] = Py_NewRef(value);
    return value;
}

// Drops a reference.  When it was the last one a finaliser may run, so the
// instance is brought up to date before and the core's view after.
bool Session::drop(PyObject* object) {
    if (Py_REFCNT(object) > 1) {
        Py_DECREF(object);
        return true;
    }
    if (!push()) {
        Py_DECREF(object);
        return false;
    }
    Py_DECREF(object);
    return revalidate();
}

// Calls the callback when it is true, with the host seeing the parser as it
// is now, and takes back whatever the host left.  Takes over the references
// to the callback and the arguments: all of them are dropped (which may run
// finalisers) before revalidate(), so that the core goes on from what the
// host left once every one of them has run.
bool Session::callHost(PyObject* callback, PyObject** args, std::size_t count, int line) {
    auto dropAll = [&] {
        Py_DECREF(callback);
        for (std::size_t k = 0; k < count; ++k) Py_CLEAR(args[k]);
    };
    failLine_ = line;
    if (callback == Py_None) {
        dropAll();
        return revalidate();
    }
    if (!push()) {
        dropAll();
        revalidateAfterError();
        return false;
    }
    const int truth = PyObject_IsTrue(callback);
    bool ok = truth >= 0;
    if (truth > 0) {
        PyObject* result = PyObject_Vectorcall(callback, args, count, nullptr);
        ok = result != nullptr;
        Py_XDECREF(result);
    }
    dropAll();
    if (!ok) {
        revalidateAfterError();
        return false;
    }
    return revalidate();
}

bool Session::deliverValues(Slot slot, int a, int b, int c, std::size_t count, int line) {
    failLine_ = line;
    PyObject* callback = callbackValue(slot);
    if (callback == nullptr) return false;
    if (callback == Py_None) return drop(callback);
    PyObject* args[3] = {PyLong_FromLong(a), count > 1 ? PyLong_FromLong(b) : nullptr,
                         count > 1 ? PyLong_FromLong(c) : nullptr};
    for (std::size_t k = 0; k < count; ++k) {
        if (args[k] == nullptr) {
            Py_DECREF(callback);
            for (PyObject* arg : args) Py_XDECREF(arg);  // exact ints: no host code
            return false;
        }
    }
    return callHost(callback, args, count, line);
}

template <class Record>
bool Session::deliverRecord(Slot slot, const Record& record, int line) {
    constexpr RecordKind kind = std::is_same_v<Record, QuillmoreData> ? RecordKind::Data : RecordKind::ExtendData;
    failLine_ = line;
    if (recordIsInert(kind)) {
        // The name still resolves to the module's own record class: building
        // a record that nobody receives has no effect, so skip it when no
        // callback is set.
        PyObject* callback = callbackValue(slot);
        if (callback == nullptr) return false;
        const bool none = callback == Py_None;
        if (!drop(callback)) return false;
        if (none) return true;
    }
    // The machine's assignments reach the instance before the record class
    // is looked up (a finaliser they run may rebind or delete it); the class
    // is held for the call, and building a record of a host's class may run
    // any code.
    if (!push()) return false;
    PyObject* cls = recordClass(kind);
    PyObject* object = cls != nullptr ? buildRecord(cls, record) : nullptr;
    Py_XDECREF(cls);
    if (object == nullptr) {
        revalidateAfterError();
        return false;
    }
    if (!revalidate()) {
        Py_DECREF(object);
        revalidateAfterError();
        return false;
    }
    PyObject* callback = callbackValue(slot);
    if (callback == nullptr) {
        Py_DECREF(object);
        revalidateAfterError();
        return false;
    }
    return callHost(callback, &object, 1, line);
}

bool Session::raw_callback(int raw) { return deliverValues(kRaw, raw, 0, 0, 1, lines::kParseRaw); }

bool Session::gyro_callback(int x, int y, int z) { return deliverValues(kGyro, x, y, z, 3, lines::kParseGyro); }

bool Session::rr_callback(int rr1, int rr2, int rr3) {
    return deliverValues(kRr, rr1, rr2, rr3, 3, lines::kHrvCallback);
}

bool Session::eeg_callback(const QuillmoreData& record) {
    return deliverRecord(kEeg, record, lines::kStandardCallback);
}

bool Session::extend_eeg_callback(const QuillmoreExtendData& record) {
    return deliverRecord(kExtend, record, lines::kExtendCallback);
}

// ------------------------------------------------------------------ decoders

bool Session::runDecoder(Decoder which, bool fromParse) {
    Status status = Status::Ok;
    switch (which) {
    case Decoder::Standard: status = parser_.parsePackagePayload(); break;
    case Decoder::Extend: status = parser_.parseExtendPackagePayload(); break;
    case Decoder::Hrv: status = parser_.parseHRVPackagePayload(); break;
    }
    if (status == Status::Ok) return true;
    if (status == Status::IndexOutOfRange) {
        if (payloadUsable_) {
            PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        } else {
            raisePayloadError(false);
        }
        failLine_ = lines::kStandard + 1 + 3 * static_cast<int>(which);
    }
    if (fromParse) addTraceback(decoderTracebackNames[static_cast<int>(which)], failLine_);
    return false;
}

// parse() reaches the decoders through the instance, like any method call,
// so an override in a subclass or on the instance is honoured.  The module's
// own decoder is run directly.
Status Session::dispatchDecoder(Decoder which) {
    PyObject* name = which == Decoder::Standard ? g.nameStandardDecoder
                     : which == Decoder::Extend ? g.nameExtendDecoder
                                                : g.nameHrvDecoder;
    PyObject* own = which == Decoder::Standard ? g.methodStandard
                    : which == Decoder::Extend ? g.methodExtend
                                               : g.methodHrv;
    failLine_ = lines::kParseDecoder;
    if (plain_ && _PyType_Lookup(Py_TYPE(self_), name) == own) {
        // The instance may shadow the method.  Looking that up may run a
        // colliding key's __eq__, so it is done with the instance up to date
        // and followed by revalidate(); while the instance is unchanged since
        // a lookup found nothing, it is not repeated.
        const int k = static_cast<int>(which);
        bool shadowed = !(stillInStep() && noShadowAt_[k] == syncedDictVersion_);
        if (shadowed) {
            if (!push()) return Status::CallbackFailed;
            PyObject** dict = _PyObject_GetDictPtr(self_);
            PyObject* shadow = (dict != nullptr && *dict != nullptr) ? PyDict_GetItemWithError(*dict, name) : nullptr;
            if (shadow == nullptr && PyErr_Occurred()) return Status::CallbackFailed;
            shadowed = shadow != nullptr;
            if (!revalidate()) return Status::CallbackFailed;
            if (!shadowed && stillInStep()) noShadowAt_[k] = syncedDictVersion_;
        }
        if (!shadowed) {
            if (runDecoder(which, true)) return Status::Ok;
            failLine_ = lines::kParseDecoder;
            return Status::CallbackFailed;
        }
    }
    failLine_ = lines::kParseDecoder;
    if (!push()) return Status::CallbackFailed;
    PyObject* method = PyObject_GetAttr(self_, name);
    PyObject* result = method != nullptr ? PyObject_CallNoArgs(method) : nullptr;
    Py_XDECREF(method);
    if (result == nullptr) {
        revalidateAfterError();
        return Status::CallbackFailed;
    }
    Py_DECREF(result);
    return revalidate() ? Status::Ok : Status::CallbackFailed;
}

Status Session::standardFrame(QuillmoreParser&) { return dispatchDecoder(Decoder::Standard); }
Status Session::extendFrame(QuillmoreParser&) { return dispatchDecoder(Decoder::Extend); }
Status Session::hrvFrame(QuillmoreParser&) { return dispatchDecoder(Decoder::Hrv); }

}  // namespace quillmore::py
