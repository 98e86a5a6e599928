// The methods of the class QuillmoreParser.
//
// Python equivalent (its line numbers are the ones traceback entries report):
//
//  1  class QuillmoreParser:
//  2      __state = 1
//  3      __payloadLength = 0
//  4      __payload = bytearray(1024)       # class default; every parser gets its own
//  5      __byteOffset = 0
//  6
//  7      def __init__(self, eeg_callback=None, extend_eeg_callback=None,
//  8                   gyro_callback=None, rr_callback=None, raw_callback=None):
//  9          self.__raw_callback = raw_callback
// 10          self.__eeg_callback = eeg_callback
// 11          self.__extend_eeg_callback = extend_eeg_callback
// 12          self.__gyro_callback = gyro_callback
// 13          self.__rr_callback = rr_callback
// 14          if '_QuillmoreParser__payload' not in vars(self):
// 15              self.__payload = bytearray(1024)
// 16
// 17      def parse(self, byteData):
// 18          for byte in byteData:
// 19              ...                      # one step of the frame machine (core)
// 20              ...                      #   raw-sample frame: self.__raw_callback(raw)
// 21              ...                      #   gyroscope frame: self.__gyro_callback(x, y, z)
// 22              ...                      #   other frames: self.__parse...Payload()
// 23
// 24      def __parsePackagePayload(self):
// 25          ...                          # decode; self.__eeg_callback(QuillmoreData())
// 26
// 27      def __parseExtendPackagePayload(self):
// 28          ...                          # decode; self.__extend_eeg_callback(QuillmoreExtendData())
// 29
// 30      def __parseHRVPackagePayload(self):
// 31          ...                          # decode; self.__rr_callback(rr1, rr2, rr3)
//
// The machine and the decoders are the core's; a Session keeps the
// instance's attributes and the core in step while they run.
#include "parser_methods.hpp"

#include <memory>
#include <new>

#include "module_globals.hpp"
#include "parser_session.hpp"
#include "source_lines.hpp"

namespace quillmore::py {
namespace {

// Whether the instance's own __dict__ holds `name`.
int instanceHas(PyObject* self, PyObject* name) {
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (dict == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    const int has = PyDict_Contains(dict, name);
    Py_DECREF(dict);
    return has;
}

// Gives the instance a payload buffer of its own unless it has one.
bool ensurePayload(PyObject* self) {
    const int has = instanceHas(self, g.namePayload);
    if (has != 0) return has > 0;
    PyObject* payload = PyObject_Call(reinterpret_cast<PyObject*>(&PyByteArray_Type), g.payloadSizeArgs, nullptr);
    if (payload == nullptr) return false;
    const int stored = PyObject_SetAttr(self, g.namePayload, payload);
    Py_DECREF(payload);
    return stored == 0;
}

// A strong reference for the length of a scope.
struct Holder {
    explicit Holder(PyObject* object) : object(Py_NewRef(object)) {}
    ~Holder() { Py_DECREF(object); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    PyObject* object;
};

// Leaves the instance as the failure left it, keeping the exception.
PyObject* fail(Session& session, int* line, int failedAt) {
    *line = failedAt;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!session.push()) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

// Whether the machine may go on after `status`; otherwise raises its error
// (a store outside the buffer) or keeps the host's, and names the line.
bool statusOk(Session& session, Status status, int* line) {
    switch (status) {
    case Status::Ok:
    case Status::Paused:
        return true;
    case Status::IndexOutOfRange:
        session.raiseStoreError();
        *line = lines::kParseByte;
        return false;
    case Status::CallbackFailed:
        break;
    }
    *line = session.failLine();
    return false;
}

// ------------------------------------------------------------------ elements

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

// Each row examines, stores and compares the element in its own order, and
// only the row of the current state runs: a state outside the machine looks
// at no element; state 10 sets the offset to 0 before it examines one;
// the collecting states store it first (converting the index, then the
// value, as a bytearray item assignment does), and states 7 and the byte
// that completes a standard or raw-sample frame examine it after that.
bool elementByte(Session& session, PyObject* element, std::uint8_t* byte) {
    QuillmoreParser& parser = session.parser();
    *byte = 0;
    const bool hostCode = !PyLong_Check(element);  // __index__ or __and__ of a host type
    if (hostCode && !session.push()) return false;
    const int state = parser.state();
    if (!host::isMachineState(state)) return true;  // no row: a no-op whatever the byte
    if (host::resetsOffsetFirst(parser)) {
        host::setByteOffset(parser, 0);
        session.noteAssigned(false, true);
        if (hostCode && !session.push()) return false;
    }
    bool ok;
    if (!host::storesNextByte(parser)) {
        ok = lowByteOf(element, byte);
    } else if (session.offsetForeign()) {
        session.raiseStoreError();  // the index is converted before the value, as bytearray does
        ok = false;
    } else {
        ok = storedByteOf(element, byte);
        std::uint8_t low = 0;
        if (ok && hostCode && host::examinesAfterStore(parser) && !lowByteOf(element, &low)) {
            // Stored, but it cannot be compared: the row got as far as the
            // store (and, completing a frame, the change of state).
            ok = false;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            const int stateBefore = parser.state();
            if (host::storeBeforeExamining(parser, *byte) == Status::Ok) {
                session.noteAssigned(parser.state() != stateBefore, true);
                PyErr_Restore(type, value, traceback);
            } else {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
                session.raiseStoreError();
            }
        }
    }
    if (!hostCode) return ok;
    if (!ok) {
        session.revalidateAfterError();
        return false;
    }
    return session.revalidate();
}

// One element of a chunk that is not a byte buffer.  When attribute access
// on the instance can run host code, the attributes are read before and
// written after every byte, as a Python loop over the chunk would.
bool parseElement(Session& session, PyObject* element, int* line) {
    *line = lines::kParseByte;
    if (!session.plain() && !session.revalidate()) return false;
    std::uint8_t byte = 0;
    if (!elementByte(session, element, &byte)) return false;
    if (!statusOk(session, session.feedByte(byte), line)) return false;
    return session.plain() || session.push();
}

// Drops the reference to a parsed element, which may be the last one (the
// host may have dropped its own meanwhile) and run a finaliser.
bool dropElement(Session& session, PyObject* element, bool ok, int* line) {
    if (!ok) {
        Py_DECREF(element);
        session.revalidateAfterError();
        return false;
    }
    if (session.drop(element)) return true;
    *line = lines::kParseByte;
    return false;
}

// Lists and tuples are walked by index, re-reading the length at each step as
// their iterators do (a callback may append to the list being parsed).
bool parseSequence(Session& session, PyObject* sequence, int* line) {
    const bool list = PyList_CheckExact(sequence);
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence)); ++i) {
        PyObject* element = Py_NewRef(list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i));
        const bool ok = parseElement(session, element, line);
        if (!dropElement(session, element, ok, line)) return false;
    }
    return true;
}

// Any other iterable: one element at a time.  The iterator may be host code
// (a generator), so it sees the parser as it is at that byte.
bool parseIterable(Session& session, PyObject* iterable, int* line) {
    PyObject* iterator = PyObject_GetIter(iterable);
    if (iterator == nullptr) {
        *line = lines::kParseIterate;
        return false;
    }
    bool ok = true;
    while (ok) {
        if (!session.push()) {
            *line = lines::kParseIterate;
            ok = false;
            break;
        }
        PyObject* element = PyIter_Next(iterator);
        if (element == nullptr) {
            if (PyErr_Occurred()) {
                *line = lines::kParseIterate;
                ok = false;
            } else {
                ok = session.revalidate();
                if (!ok) *line = lines::kParseIterate;
            }
            break;
        }
        ok = session.revalidate();
        if (!ok) *line = lines::kParseIterate;
        ok = ok && parseElement(session, element, line);
        ok = dropElement(session, element, ok, line);
    }
    Py_DECREF(iterator);
    return ok;
}

// Runs the core over data[0..size) and says how it ended.  Until state and
// offset are the instance's own, bytes go one at a time (see feedByte).
bool runCore(Session& session, const std::uint8_t* data, std::size_t size, std::size_t* consumed, bool* paused,
             int* line) {
    ParseResult result;
    while (result.consumed < size && session.tracksAssignments() && result.status == Status::Ok) {
        result.status = session.feedByte(data[result.consumed++]);
        // Handing over the assignment may run host code that moves the
        // chunk: then the caller takes its storage again.
        if (result.status == Status::Ok && !session.push()) {
            *line = lines::kParseByte;
            return false;
        }
        if (result.status == Status::Ok && session.takeInputMoved()) result.status = Status::Paused;
    }
    if (result.status == Status::Ok) {
        const ParseResult rest = session.parser().parse(data + result.consumed, size - result.consumed);
        result = {rest.status, result.consumed + rest.consumed};
    }
    *consumed = result.consumed;
    *paused = result.status == Status::Paused;
    return statusOk(session, result.status, line);
}

// Buffers of unsigned bytes go to the core in one piece; it stops only where
// a delivery failed or a store fell outside the buffer.  The export keeps
// the buffer's storage in place.
bool parseBuffer(Session& session, const Py_buffer& view, int* line) {
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    std::size_t done = 0;
    bool paused = true;
    while (paused) {
        std::size_t consumed = 0;
        if (!runCore(session, data + done, size - done, &consumed, &paused, line)) return false;
        done += consumed;
    }
    return true;
}

// A bytearray is parsed in place without an export, so that host code may
// resize it as it could while a for loop walks it: whenever its storage
// moves, the core returns and goes on over the array as it is now.
bool parseByteArray(Session& session, PyObject* array, int* line) {
    std::size_t done = 0;
    bool paused = true;
    while (paused && static_cast<Py_ssize_t>(done) < PyByteArray_GET_SIZE(array)) {
        session.watchInput(array);
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(array));
        const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(array));
        std::size_t consumed = 0;
        if (!runCore(session, data + done, size - done, &consumed, &paused, line)) return false;
        done += consumed;
    }
    return true;
}

// A contiguous one-dimensional buffer of unsigned bytes, or false (with no
// error) for anything else, which is then walked element by element.
bool byteBuffer(PyObject* data, Py_buffer* view) {
    if (!PyObject_CheckBuffer(data)) return false;
    if (PyObject_GetBuffer(data, view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool bytes = view->itemsize == 1 && view->ndim == 1 &&
                       (view->format == nullptr || (view->format[0] == 'B' && view->format[1] == 0));
    if (!bytes) PyBuffer_Release(view);
    return bytes;
}

// ------------------------------------------------------------------ bodies

PyObject* initBody(PyObject* const* bound, int* line) {
    PyObject* self = bound[0];
    // Stored in this order, raw_callback first (lines 9 to 13 of the Python
    // equivalent); the numbers are the parameters' positions, self at 0.
    struct Store {
        int parameter;
        PyObject* name;
        int line;
    };
    const Store stores[] = {
        {5, g.nameRawCallback, lines::kInitRaw},       {1, g.nameEegCallback, lines::kInitEeg},
        {2, g.nameExtendCallback, lines::kInitExtend}, {3, g.nameGyroCallback, lines::kInitGyro},
        {4, g.nameRrCallback, lines::kInitRr},
    };
    for (const Store& store : stores) {
        if (PyObject_SetAttr(self, store.name, bound[store.parameter]) < 0) {
            *line = store.line;
            return nullptr;
        }
    }
    if (!ensurePayload(self)) {
        *line = lines::kInitPayload;
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* parseBody(PyObject* const* bound, int* line) {
    PyObject* self = bound[0];
    PyObject* data = bound[1];
    if (!ensurePayload(self)) {
        *line = lines::kParse;
        return nullptr;
    }
    // On the heap: callbacks may nest parse calls thousands deep, and each
    // level's C frame must stay small for the interpreter's recursion limit
    // to be reached before the end of the C stack.
    const std::unique_ptr<Session> owned(new (std::nothrow) Session(self, Session::Scope::Machine));
    if (owned == nullptr) {
        *line = lines::kParse;
        PyErr_NoMemory();
        return nullptr;
    }
    Session& session = *owned;
    if (!session.revalidate()) return fail(session, line, lines::kParseByte);

    // The chunk is held for the call: a callback may drop the host's references.
    const Holder chunk(data);
    bool ok;
    Py_buffer view;
    if (!session.plain()) {
        ok = parseIterable(session, data, line);
    } else if (PyByteArray_CheckExact(data)) {
        ok = parseByteArray(session, data, line);
    } else if (byteBuffer(data, &view)) {
        ok = parseBuffer(session, view, line);
        PyBuffer_Release(&view);
    } else if (PyList_CheckExact(data) || PyTuple_CheckExact(data)) {
        ok = parseSequence(session, data, line);
    } else {
        ok = parseIterable(session, data, line);
    }
    if (!ok) return fail(session, line, *line);
    if (!session.push()) return fail(session, line, lines::kParseByte);
    Py_RETURN_NONE;
}

PyObject* decoderBody(PyObject* self, Session::Decoder which, int* line) {
    Session session(self, Session::Scope::Payload);
    if (!session.revalidate()) return fail(session, line, *line + 1);
    if (!session.runDecoder(which, false)) return fail(session, line, session.failLine());
    Py_RETURN_NONE;
}

PyObject* standardBody(PyObject* const* bound, int* line) {
    return decoderBody(bound[0], Session::Decoder::Standard, line);
}
PyObject* extendBody(PyObject* const* bound, int* line) {
    return decoderBody(bound[0], Session::Decoder::Extend, line);
}
PyObject* hrvBody(PyObject* const* bound, int* line) { return decoderBody(bound[0], Session::Decoder::Hrv, line); }

}  // namespace

// ------------------------------------------------------------------ definitions

const MethodDef kInitMethod = {
    {"__init__", 6, g.initParams, true},
    "QuillmoreParser.__init__",
    "QuillmoreParser.QuillmoreParser.__init__",
    "def __init__(self, eeg_callback=None, extend_eeg_callback=None, gyro_callback=None, rr_callback=None, "
    "raw_callback=None): pass",
    lines::kInit,
    initBody,
};

const MethodDef kParseMethod = {
    {"parse", 2, g.parseParams, false},
    "QuillmoreParser.parse",
    "QuillmoreParser.QuillmoreParser.parse",
    "def parse(self, byteData): pass",
    lines::kParse,
    parseBody,
};

// The decoders take only `self`; their names, qualified names, traceback
// names and def statements all follow from the method name.
#define QUILLMORE_DECODER_METHOD(NAME, LINE, BODY)                                                     \
    {                                                                                                  \
        {#NAME, 1, g.decoderParams, false}, "QuillmoreParser." #NAME, "QuillmoreParser.QuillmoreParser." #NAME, \
            "def " #NAME "(self): pass", LINE, BODY                                                    \
    }

const MethodDef kStandardMethod = QUILLMORE_DECODER_METHOD(__parsePackagePayload, lines::kStandard, standardBody);
const MethodDef kExtendMethod = QUILLMORE_DECODER_METHOD(__parseExtendPackagePayload, lines::kExtend, extendBody);
const MethodDef kHrvMethod = QUILLMORE_DECODER_METHOD(__parseHRVPackagePayload, lines::kHrv, hrvBody);

#undef QUILLMORE_DECODER_METHOD

}  // namespace quillmore::py
