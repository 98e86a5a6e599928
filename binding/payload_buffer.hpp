// The payload buffer as the core sees it during one method call.
//
// The instance's `_QuillmoreParser__payload` is normally a bytearray, used
// in place: the machine stores into its storage and the decoders read it.
// A host may resize it, replace it or put any other object there at any
// moment it runs code, so a PayloadBuffer owns a strong reference to the
// object it was given (adopt), hands out its storage only as it is at that
// moment (storage, called again after every point where host code ran), and
// lets go of it at the end (release, or the destructor).  Any other buffer of
// unsigned bytes is held exported while it is adopted (its storage cannot
// move then); a read-only one serves the decoders only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace quillmore::py {

class PayloadBuffer {
public:
    // What the call does with the buffer: the machine stores into it, a
    // decoder called by hand only reads it.
    enum class Use { Stores, Reads };

    struct Storage {
        std::uint8_t* data = nullptr;
        std::size_t size = 0;
    };

    explicit PayloadBuffer(Use use) : use_(use) {}
    ~PayloadBuffer() { release(); }
    PayloadBuffer(const PayloadBuffer&) = delete;
    PayloadBuffer& operator=(const PayloadBuffer&) = delete;

    // Takes over `object` (a new reference) as the buffer.  Dropping the one
    // held before may run host code: call storage() afterwards.
    void adopt(PyObject* object);
    void release();

    // The storage the core may use now, or none when the object is not a
    // buffer of bytes that serves this call.  Runs no host code.
    Storage storage() const {
        if (!usable_) return {};
        if (PyByteArray_Check(object_)) {
            return {reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(object_)),
                    static_cast<std::size_t>(PyByteArray_GET_SIZE(object_))};
        }
        return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

    // Whether the object serves this call; if not, every store (or read)
    // fails with raiseUnusable().
    bool usable() const { return usable_; }
    // The interpreter's own error for a store (or read) that the object
    // refuses, or a TypeError naming its type.
    void raiseUnusable(bool store) const;

    PyObject* object() const { return object_; }

private:
    Use use_;
    PyObject* object_ = nullptr;
    Py_buffer view_{};
    bool exported_ = false;
    bool usable_ = false;
    bool readOnly_ = false;
};

}  // namespace quillmore::py
