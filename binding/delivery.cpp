// Delivery of results to the host's callbacks: the callback values, the
// calls, the records, and the payload decoders that parse() reaches through
// the instance.  See parser_session.hpp for the protocol.
#include "parser_session.hpp"

#include <type_traits>

#include "module_globals.hpp"
#include "records.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"

namespace quillmore::py {
namespace {

const char* decoderTracebackName(Session::Decoder which) {
    switch (which) {
    case Session::Decoder::Standard: return "QuillmoreParser.QuillmoreParser.__parsePackagePayload";
    case Session::Decoder::Extend: return "QuillmoreParser.QuillmoreParser.__parseExtendPackagePayload";
    case Session::Decoder::Hrv: break;
    }
    return "QuillmoreParser.QuillmoreParser.__parseHRVPackagePayload";
}

// The line of a decoder's body, where it decodes and calls back.
int decoderBodyLine(Session::Decoder which) {
    switch (which) {
    case Session::Decoder::Standard: return lines::kStandardCallback;
    case Session::Decoder::Extend: return lines::kExtendCallback;
    case Session::Decoder::Hrv: break;
    }
    return lines::kHrvCallback;
}

// The int of a delivered value.  A recording repeats a few thousand values
// millions of times and the interpreter caches only up to 256, so each
// 16-bit value's int is made once and kept: a delivery then costs no
// allocation.  Ints are immutable; sharing them is invisible to the host.
PyObject* sampleInt(int value) {
    if (value < -32768 || value > 32767) return PyLong_FromLong(value);
    PyObject*& kept = g.sampleInts[value + 32768];
    if (kept == nullptr) kept = PyLong_FromLong(value);
    return Py_XNewRef(kept);
}

}  // namespace

PyObject* Session::callbackName(Slot slot) {
    switch (slot) {
    case kEeg: return g.nameEegCallback;
    case kExtend: return g.nameExtendCallback;
    case kGyro: return g.nameGyroCallback;
    case kRr: return g.nameRrCallback;
    case kRaw: case kSlots: break;
    }
    return g.nameRawCallback;
}

void Session::forgetCallbacks() {
    for (PyObject*& callback : callbacks_) Py_CLEAR(callback);
}

// ------------------------------------------------------------------ delivery

// The callback attribute's value when it is not cached (callbackValue()):
// read once per stretch without host code when attribute access is plain.
PyObject* Session::readCallback(Slot slot) {
    // The read may run host code (a descriptor, a colliding key's __eq__),
    // unless it is a plain lookup among string keys.
    const bool quiet = plain_ && dictKeysAreStrings();
    if (!quiet && !push()) return nullptr;
    bool own = false;
    PyObject* value = readAttribute(callbackName(slot), &own);
    if (quiet) {
        if (value != nullptr) callbacks_[slot] = Py_NewRef(value);
        return value;
    }
    if (value == nullptr) {
        revalidateAfterError();
        return nullptr;
    }
    if (!revalidate()) {
        Py_DECREF(value);
        return nullptr;
    }
    if (plain_ && callbacks_[slot] == nullptr) callbacks_[slot] = Py_NewRef(value);
    return value;
}

// Calls the callback when it is true, with the host seeing the parser as it
// is now, and takes back whatever the host left.  Takes over the references
// to the callback and the arguments: all of them are dropped (which may run
// finalisers) before revalidate(), so that the core goes on from what the
// host left once every one of them has run.
// Calls `callable` with `count` arguments at args[0..], args[-1] being a
// free slot that the callee may borrow (a bound method puts its instance
// there instead of copying the arguments).  A callable with a vectorcall
// slot is called through it, as the interpreter's own loops do: that spares
// a second lookup of the thread state on every delivery.  A C callable that
// fails without an exception gets the interpreter's SystemError.
namespace {

PyObject* call(PyObject* callable, PyObject** args, std::size_t count) {
    const vectorcallfunc direct = PyVectorcall_Function(callable);
    if (direct == nullptr) return PyObject_Vectorcall(callable, args, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    PyObject* result = direct(callable, args, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
    }
    return result;
}

}  // namespace

bool Session::callHost(PyObject* callback, PyObject** args, std::size_t count, int line) {
    auto dropAll = [&] {
        Py_DECREF(callback);
        for (std::size_t k = 0; k < count; ++k) Py_CLEAR(args[k]);
    };
    failLine_ = line;
    if (!push()) {
        dropAll();
        revalidateAfterError();
        return false;
    }
    // Functions and methods are always true; other objects may have a
    // __bool__ or __len__ to ask.
    const PyTypeObject* type = Py_TYPE(callback);
    const bool alwaysTrue = type == &PyFunction_Type || type == &PyMethod_Type || type == &PyCFunction_Type;
    const int truth = alwaysTrue ? 1 : PyObject_IsTrue(callback);
    bool ok = truth >= 0;
    if (truth > 0) {
        PyObject* result = call(callback, args, count);
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
    PyObject* callback = callbackValue(slot);
    if (callback == nullptr) {
        failLine_ = line;
        return false;
    }
    if (callback == Py_None) return drop(callback);
    // args[0] is the callee's free slot (see call()).
    PyObject* slots[4] = {nullptr, sampleInt(a), count > 1 ? sampleInt(b) : nullptr, count > 1 ? sampleInt(c) : nullptr};
    PyObject** const args = slots + 1;
    for (std::size_t k = 0; k < count; ++k) {
        if (args[k] == nullptr) {
            failLine_ = line;
            Py_DECREF(callback);
            for (PyObject* arg : slots) Py_XDECREF(arg);  // exact ints: no host code
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
    PyObject* slots[2] = {nullptr, object};  // slots[0]: the callee's (see call())
    return callHost(callback, slots + 1, 1, line);
}

bool Session::raw_callback(int raw, FrameView) { return deliverValues(kRaw, raw, 0, 0, 1, lines::kParseRaw); }

bool Session::gyro_callback(int x, int y, int z, FrameView) { return deliverValues(kGyro, x, y, z, 3, lines::kParseGyro); }

// ------------------------------------------------------------------ decoders

// Decodes the buffer with the core's decoder and delivers the result: the
// frame goes one way, from the machine through here to the host.
bool Session::runDecoder(Decoder which, bool fromParse) {
    const PayloadView payload = host::payloadView(parser_);
    Status status = Status::Ok;
    bool delivered = true;
    switch (which) {
    case Decoder::Standard: {
        QuillmoreData record;
        status = decodeStandardPayload(payload, record);
        if (status == Status::Ok) delivered = deliverRecord(kEeg, record, lines::kStandardCallback);
        break;
    }
    case Decoder::Extend: {
        QuillmoreExtendData record;
        status = decodeExtendedPayload(payload, record);
        if (status == Status::Ok) delivered = deliverRecord(kExtend, record, lines::kExtendCallback);
        break;
    }
    case Decoder::Hrv: {
        RrValues rr;
        bool accepted = false;
        status = decodeHrvPayload(payload, rr, accepted);
        if (status == Status::Ok && accepted) delivered = deliverValues(kRr, rr.rr1, rr.rr2, rr.rr3, 3, lines::kHrvCallback);
        break;
    }
    }
    if (status == Status::Ok && delivered) return true;
    if (status == Status::IndexOutOfRange) {
        if (payload_.usable()) {
            PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        } else {
            payload_.raiseUnusable(false);
        }
        failLine_ = decoderBodyLine(which);
    }
    if (fromParse) addTraceback(decoderTracebackName(which), failLine_);
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
        // The instance may shadow the method.  A lookup in a dict whose keys
        // are all exact strings runs no host code; any other one may (a
        // colliding key's __eq__), so it is done with the instance up to
        // date and followed by revalidate().
        const bool quiet = dictKeysAreStrings();
        if (!quiet && !push()) return Status::CallbackFailed;
        PyObject** dict = _PyObject_GetDictPtr(self_);
        PyObject* shadow = (dict != nullptr && *dict != nullptr) ? PyDict_GetItemWithError(*dict, name) : nullptr;
        if (shadow == nullptr && PyErr_Occurred()) return Status::CallbackFailed;
        if (!quiet && !revalidate()) return Status::CallbackFailed;
        if (shadow == nullptr) {
            if (runDecoder(which, true)) return Status::Ok;
            failLine_ = lines::kParseDecoder;
            return Status::CallbackFailed;
        }
    }
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

Status Session::standardFrame(QuillmoreParser&, FrameView) { return dispatchDecoder(Decoder::Standard); }
// The module's extended decoder runs with the parser still in state 8, and
// the state becomes 3 once it returns, whatever the decoder did to it.
Status Session::extendedFrame(QuillmoreParser& parser, FrameView) {
    host::setState(parser, State::ExtendedSync);
    const Status decoded = dispatchDecoder(Decoder::Extend);
    if (decoded == Status::Ok) host::setState(parser, State::LengthByte);
    return decoded;
}
Status Session::hrvFrame(QuillmoreParser&, FrameView) { return dispatchDecoder(Decoder::Hrv); }

}  // namespace quillmore::py
