// The bridge between a Python parser instance and the core's parser.
//
// A Python QuillmoreParser is an ordinary instance with a __dict__: its
// state, byte offset, payload buffer and callbacks are attributes that a host
// may read or assign at any moment it runs code (inside callbacks, in a
// callback's __bool__, in a generator that feeds parse, in the finaliser of
// a value the parser drops, in the __eq__ of a dict key, ...).  A session
// runs the core over one method call and keeps the two views in step:
//
//   push()        writes the core's state and offset back where they changed
//   revalidate()  reads state, offset and payload from the instance into the
//                 core, and the storage of the buffer and of the chunk
//
// Every place that may run host code is wrapped in push() ... revalidate(),
// so the host sees exactly what a byte-by-byte Python implementation would
// show, and the core goes on from whatever the host left.  Between those
// places no host code runs, so the core may take any number of bytes in bulk.
//
// The session's work is split by job:
//   instance_mirror.cpp  state and offset between instance and core, the
//                        re-validation point, the chunk's storage
//   payload_buffer.cpp   the owner of the buffer object (PayloadBuffer)
//   delivery.cpp         results to callbacks, records, the decoders
//   parser_methods.cpp   the method bodies and the conversion of elements
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "change_stamps.hpp"
#include "payload_buffer.hpp"
#include "quillmore/host/mirror.hpp"
#include "quillmore/parser.hpp"

namespace quillmore::py {

// One attribute that the machine assigns (state or offset), as the core got
// it from the instance.
struct MirroredAttribute {
    std::int64_t seen = 0;  // the value the core was given at the last full read
    bool own = false;       // the instance holds it itself, as an exact int
    bool assigned = false;  // the machine has assigned it since that read

    // Whether the instance must be written: the machine changed the value,
    // or assigned it while it was not the instance's own (the first
    // assignment makes it so, even with the same value).
    bool needsWrite(std::int64_t now) const { return now != seen || (assigned && !own); }
};

class Session final : public QuillmoreListener, public host::FrameHooks {
public:
    // What the session keeps in step: the machine (state, offset and
    // payload, for parse) or the payload alone (for a decoder called by hand,
    // which never touches state or offset).
    enum class Scope { Machine, Payload };

    // `self` is borrowed and kept alive by the session.
    Session(PyObject* self, Scope scope);
    ~Session() override;

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // ---- instance_mirror.cpp

    // Both run around every delivery; their common case (nothing changed,
    // nothing to write) is inline, the rest in instance_mirror.cpp.
    bool revalidate() {
        if (!stillInStep()) return readInstance();
        takeStorage();
        return true;
    }
    bool push() {
        if (scope_ == Scope::Payload ||
            (!state_.needsWrite(parser_.state()) && !offset_.needsWrite(parser_.byteOffset()))) {
            return true;
        }
        return writeAssignments();
    }
    // After host code failed: takes back what it left, keeping its exception.
    void revalidateAfterError();
    // Drops a reference, which may be the last one and run a finaliser.
    bool drop(PyObject* object) {
        if (Py_REFCNT(object) > 1) {
            Py_DECREF(object);
            return true;
        }
        return dropLast(object);
    }

    // Runs the machine over one byte, noting what it assigns while state or
    // offset are not yet the instance's own.
    Status feedByte(std::uint8_t byte);
    // Whether bytes must go one at a time for that: the first assignment of
    // state or offset makes it the instance's own, even with the same value.
    bool tracksAssignments() const { return !state_.own || !offset_.own; }
    // Watches a bytearray being parsed, whose storage host code may move.
    void watchInput(PyObject* array);
    // Whether host code moved or resized the bytearray being parsed since
    // the last call (and forgets it).
    bool takeInputMoved() {
        const bool moved = inputMoved_;
        inputMoved_ = false;
        return moved;
    }
    // Whether host code can run on attribute access (then parse goes byte
    // by byte, reading and writing the attributes around each).
    bool plain() const { return plain_; }

    QuillmoreParser& parser() { return parser_; }

    // Notes assignments that the session made itself on the machine's
    // behalf (a row that stopped half way, see parser_methods.cpp).
    void noteAssigned(bool state, bool offset) {
        state_.assigned = state_.assigned || state;
        offset_.assigned = offset_.assigned || offset;
    }
    // Whether the offset is one the core cannot hold (not an int, or beyond
    // 64 bits): every store with it fails.
    bool offsetForeign() const;
    // Raises the error for a store that the core could not make.
    void raiseStoreError();

    // ---- delivery.cpp

    // Line of the statement that failed, for the method's traceback entry.
    int failLine() const { return failLine_; }

    // Runs one of the module's own decoders on the buffer; false with an
    // exception set (and the decoder's traceback entry when `fromParse`).
    enum class Decoder { Standard, Extend, Hrv };
    bool runDecoder(Decoder which, bool fromParse);

    // QuillmoreListener: the machine hands over raw samples and gyroscope
    // values.  host::FrameHooks: and the payloads of the other frames, which
    // the session decodes through the instance's decoder methods.
    bool gyro_callback(int x, int y, int z, FrameView frame) override;
    bool raw_callback(int raw, FrameView frame) override;
    Status standardFrame(QuillmoreParser& parser, FrameView frame) override;
    Status extendedFrame(QuillmoreParser& parser, FrameView frame) override;
    Status hrvFrame(QuillmoreParser& parser, FrameView frame) override;

private:
    enum Slot { kEeg, kExtend, kGyro, kRr, kRaw, kSlots };

    // instance_mirror.cpp
    bool dropLast(PyObject* object);
    // The instance's own attribute dictionary, or NULL (borrowed).  The
    // slot is taken once: where the interpreter keeps it is fixed for the
    // object's life once its dict has been made (which taking it does).
    PyObject* instanceDict() const {
        PyObject** slot = dictSlot_ != nullptr ? dictSlot_ : _PyObject_GetDictPtr(self_);
        return slot != nullptr ? *slot : nullptr;
    }
    bool readInstance();
    bool writeAssignments();
    PyObject* readAttribute(PyObject* name, bool* own);
    // Whether nothing that revalidate() reads can have changed since it last
    // read it all: same instance dictionary, unmodified, and an unmodified
    // class.
    bool stillInStep() const {
        if (!plain_ || !synced_) return false;
        PyObject* dict = instanceDict();
        return dict != nullptr && dict == syncedDict_ && dictUnchanged(dict, syncedDictVersion_) &&
               typeStamp(Py_TYPE(self_)) == syncedTypeVersion_;
    }
    void noteInStep();
    bool abandonStep();
    void noteKeys();
    bool dictKeysAreStrings() const { return keysAreStrings_; }
    // The payload's storage for the core, taken last, and the chunk's checked.
    void takeStorage() {
        const PayloadBuffer::Storage storage = payload_.storage();
        host::setPayload(parser_, storage.data, storage.size);
        if (input_ != nullptr) checkInput();
    }
    void checkInput();

    // delivery.cpp
    static PyObject* callbackName(Slot slot);
    // The callback attribute's value (new reference); the cached one while
    // attribute access is plain and nothing changed (inline: every delivery
    // asks).
    PyObject* callbackValue(Slot slot) {
        if (plain_ && callbacks_[slot] != nullptr) return Py_NewRef(callbacks_[slot]);
        return readCallback(slot);
    }
    PyObject* readCallback(Slot slot);
    void forgetCallbacks();
    bool callHost(PyObject* callback, PyObject** args, std::size_t count, int line);
    bool deliverValues(Slot slot, int a, int b, int c, std::size_t count, int line);
    template <class Record>
    bool deliverRecord(Slot slot, const Record& record, int line);
    Status dispatchDecoder(Decoder which);

    PyObject* self_;
    Scope scope_;
    QuillmoreParser parser_;
    PayloadBuffer payload_;
    // Whether attribute access on the instance can run host code (a subclass
    // with descriptors or __getattribute__): then every read is wrapped too.
    bool plain_;
    // Whether assignments through the instance reach its dict's stamp (see
    // attachValuesToDict).
    bool valuesAttached_;
    PyObject** dictSlot_;  // where the instance keeps its dict, or NULL
    MirroredAttribute state_;
    MirroredAttribute offset_;
    PyObject* foreignOffset_ = nullptr;  // an offset the core cannot hold (float, huge int)
    // What the last full read saw, to skip re-reading when nothing changed.
    bool synced_ = false;
    PyObject* syncedDict_ = nullptr;  // identity only
    std::uint64_t syncedDictVersion_ = 0;
    unsigned int syncedTypeVersion_ = 0;
    // A bytearray input and where its storage was.
    PyObject* input_ = nullptr;
    const char* inputData_ = nullptr;
    Py_ssize_t inputSize_ = 0;
    bool inputMoved_ = false;
    PyObject* callbacks_[kSlots] = {};  // values read since host code last ran
    // Whether the instance dict's keys were all exact strings at the last
    // full read (see noteKeys).
    bool keysAreStrings_ = false;
    int failLine_ = 0;
};

}  // namespace quillmore::py
