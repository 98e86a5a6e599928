// The bridge between a Python parser instance and the core's parser.
//
// A Python QuillmoreParser is an ordinary instance with a __dict__: its
// state, byte offset, payload buffer and callbacks are attributes that a host
// may read or assign at any moment it runs code (inside callbacks, in a
// callback's __bool__, in a generator that feeds parse, ...).  A session runs
// the core over one method call and keeps the two views in step:
//
//   revalidate()  reads state, offset and payload from the instance into the core
//   push()  writes the core's state and offset back where they changed
//
// Every place that may run host code is wrapped in push() ... revalidate(), so the
// host sees exactly what a byte-by-byte Python implementation would show, and
// the core goes on from whatever the host left.  Between those places no host
// code runs, so the core may take any number of bytes in bulk.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "quillmore/parser.hpp"

namespace quillmore::py {

class Session final : public QuillmoreListener {
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

    bool revalidate();
    bool push();
    void revalidateAfterError();
    // Whether host code moved or resized the bytearray being parsed since
    // the last call (and forgets it).
    bool takeInputMoved() {
        const bool moved = inputMoved_;
        inputMoved_ = false;
        return moved;
    }

    // Runs the machine over one byte, noting what it assigns while state or
    // offset are not yet the instance's own.
    Status feedByte(std::uint8_t byte);
    // Whether bytes must go one at a time for that: the first assignment of
    // state or offset makes it the instance's own, even with the same value.
    bool tracksAssignments() const { return !stateOwned_ || !offsetOwned_; }
    // Watches a bytearray being parsed, whose storage host code may move.
    void watchInput(PyObject* array);
    // Whether host code can run on attribute access (then parse goes byte
    // by byte, reading and writing the attributes around each).
    bool plain() const { return plain_; }

    QuillmoreParser& parser() { return parser_; }

    // Line of the statement that failed, for the method's traceback entry.
    int failLine() const { return failLine_; }

    // Converts one element of a non-buffer chunk into the byte the machine
    // sees: stored as a bytearray item assignment stores it where the next
    // byte is collected, otherwise compared as element & 0xFF.
    bool elementByte(PyObject* element, std::uint8_t* byte);

    // Raises the error for a store that the core could not make.
    void raiseStoreError();

    // Runs one of the module's own decoders on the buffer; false with an
    // exception set (and the decoder's traceback entry when `fromParse`).
    enum class Decoder { Standard, Extend, Hrv };
    bool runDecoder(Decoder which, bool fromParse);

    // QuillmoreListener
    bool eeg_callback(const QuillmoreData& record) override;
    bool extend_eeg_callback(const QuillmoreExtendData& record) override;
    bool gyro_callback(int x, int y, int z) override;
    bool rr_callback(int rr1, int rr2, int rr3) override;
    bool raw_callback(int raw) override;
    Status standardFrame(QuillmoreParser& parser) override;
    Status extendFrame(QuillmoreParser& parser) override;
    Status hrvFrame(QuillmoreParser& parser) override;

private:
    enum Slot { kEeg, kExtend, kGyro, kRr, kRaw, kSlots };

    PyObject* callbackValue(Slot slot);
public:
    bool drop(PyObject* object);
private:
    bool callHost(PyObject* callback, PyObject** args, std::size_t count, int line);
    bool deliverValues(Slot slot, int a, int b, int c, std::size_t count, int line);
    template <class Record>
    bool deliverRecord(Slot slot, const Record& record, int line);
    Status dispatchDecoder(Decoder which);
    void adoptPayload(PyObject* payload);
    void refreshPayload();
    void releasePayload();
    void raisePayloadError(bool store);
    void forgetCallbacks();
    void checkInput();
    PyObject* instanceDict() const;
    PyObject* readAttribute(PyObject* name, bool* own);
    bool stillInStep() const;
    bool abandonStep();
    void takeStorage();
    bool offsetForeign() const;
    void noteInStep();

    PyObject* self_;
    Scope scope_;
    QuillmoreParser parser_;
    // Whether attribute access on the instance can run host code (a subclass
    // with descriptors or __getattribute__): then every read is wrapped too.
    bool plain_;
    int pulledState_ = 0;
    std::int64_t pulledOffset_ = 0;
    bool stateOwned_ = false;   // the instance holds the state itself, as an int
    bool offsetOwned_ = false;
    bool stateAssigned_ = false;  // since the last full pull
    bool offsetAssigned_ = false;
    // What the last pull saw, to skip re-reading when nothing changed.
    bool synced_ = false;
    PyObject* syncedDict_ = nullptr;  // identity only
    std::uint64_t syncedDictVersion_ = 0;
    unsigned int syncedTypeVersion_ = 0;
    // A bytearray input and where its storage was.
    PyObject* input_ = nullptr;
    const char* inputData_ = nullptr;
    Py_ssize_t inputSize_ = 0;
    bool inputMoved_ = false;
    PyObject* foreignOffset_ = nullptr;  // an offset the core cannot hold (float, huge int)
    PyObject* payload_ = nullptr;
    Py_buffer payloadView_{};
    bool payloadExported_ = false;
    bool payloadUsable_ = false;
    bool payloadReadOnly_ = false;
    PyObject* callbacks_[kSlots] = {};  // values read since host code last ran
    // The instance dict's stamp at which each decoder was last found not
    // shadowed on the instance.
    std::uint64_t noShadowAt_[3] = {};
    int failLine_ = 0;
};

}  // namespace quillmore::py
