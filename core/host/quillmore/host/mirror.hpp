// The host-mirror interface: what a host needs that keeps the machine's
// state in objects of its own and steps it element by element (the Python
// module), and what the fuzzer drives.  Not installed, and not for ordinary
// use: these setters accept any value (a state outside the machine, a
// negative offset, another buffer), and the frame hooks take the payload
// decoding away from the listener.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillmore/parser.hpp"

namespace quillmore::host {

// Replaces the decoding of standard, extended and heart-rate-variability
// frames: the machine hands the frame here instead of decoding it and
// calling the listener.  `frame` is the buffer as the frame left it.
class FrameHooks {
public:
    virtual ~FrameHooks() = default;
    virtual Status standardFrame(QuillmoreParser& parser, FrameView frame) = 0;
    virtual Status extendedFrame(QuillmoreParser& parser, FrameView frame) = 0;
    virtual Status hrvFrame(QuillmoreParser& parser, FrameView frame) = 0;
};

// What one byte would make the current row assign: the state and/or the
// offset (whatever the values; a host that mirrors them lazily needs to
// know of a first assignment that leaves the value as it was).  A store
// that fails assigns nothing.
struct Assignments {
    bool state = false;
    bool offset = false;
};

struct Access {
    static void setState(QuillmoreParser& p, int state) { p.state_ = state; }
    static void setByteOffset(QuillmoreParser& p, std::int64_t offset) { p.byteOffset_ = offset; }
    static void setPayload(QuillmoreParser& p, std::uint8_t* payload, std::size_t size) {
        p.payload_ = payload;
        p.payloadSize_ = size;
    }
    static std::uint8_t* payload(const QuillmoreParser& p) { return p.payload_; }
    static std::size_t payloadSize(const QuillmoreParser& p) { return p.payloadSize_; }
    static void setFrameHooks(QuillmoreParser& p, FrameHooks* hooks) { p.hooks_ = hooks; }
    static QuillmoreListener& listener(const QuillmoreParser& p) { return *p.listener_; }
    static Status step(QuillmoreParser& p, std::uint8_t byte) { return p.step(byte); }
    static Status collect(QuillmoreParser& p, std::uint8_t byte) { return p.collect(byte); }
};

inline void setState(QuillmoreParser& parser, int state) { Access::setState(parser, state); }
inline void setState(QuillmoreParser& parser, State state) { Access::setState(parser, static_cast<int>(state)); }
// Index of the next store.  Like a Python index, a negative offset counts
// from the end of the buffer.
inline void setByteOffset(QuillmoreParser& parser, std::int64_t offset) { Access::setByteOffset(parser, offset); }
// Collect into another buffer from now on (the caller keeps it alive).
inline void setPayload(QuillmoreParser& parser, std::uint8_t* payload, std::size_t size) {
    Access::setPayload(parser, payload, size);
}
inline std::uint8_t* payload(const QuillmoreParser& parser) { return Access::payload(parser); }
inline std::size_t payloadSize(const QuillmoreParser& parser) { return Access::payloadSize(parser); }
inline PayloadView payloadView(const QuillmoreParser& parser) { return {payload(parser), payloadSize(parser)}; }
inline void setFrameHooks(QuillmoreParser& parser, FrameHooks* hooks) { Access::setFrameHooks(parser, hooks); }

// Runs the machine's row over one byte: the machine's definition, which
// parse() follows in bulk.
inline Status parseByte(QuillmoreParser& parser, std::uint8_t byte) { return Access::step(parser, byte); }

// Whether `state` has a row (1..11); in any other value every byte is a
// no-op.
bool isMachineState(int state);

// The row's queries, from the parser as it is now.
Assignments assignmentsOf(const QuillmoreParser& parser, std::uint8_t byte);
// Whether the row sets the offset to 0 before it looks at the byte (10).
bool resetsOffsetFirst(const QuillmoreParser& parser);
// Whether the next byte would be stored into the payload buffer.
bool storesNextByte(const QuillmoreParser& parser);
// Whether the row, once it has stored the next byte, examines its value:
// state 7 compares it with AA, and the byte that completes a standard or
// raw-sample frame is its checksum.
bool examinesAfterStore(const QuillmoreParser& parser);
// What the row does with the next byte before it examines it: stores it,
// advances the offset and, on the byte that completes a frame, moves the
// state on.  For a host whose value could be stored but then not examined;
// the frame is not completed.
Status storeBeforeExamining(QuillmoreParser& parser, std::uint8_t byte);

// The payload decoders on whatever the parser's buffer holds now, delivering
// to its listener; none touches state or offset.
Status decodeStandardFrame(QuillmoreParser& parser);
Status decodeExtendedFrame(QuillmoreParser& parser);
Status decodeHrvFrame(QuillmoreParser& parser);

}  // namespace quillmore::host
