// QuillmoreParser: an incremental decoder for the headset's serial stream.
//
// Feed it bytes in chunks split anywhere; it finds frames, checks their
// checksums and hands decoded values to a listener, synchronously, in
// stream order.  State, byte offset and payload buffer persist between
// calls, so a frame split across chunks decodes exactly as if it came whole.
//
// Frames on the wire:
//
//   standard   AA AA 20  32 payload bytes, checksum      36 bytes
//   raw sample AA AA 04  4 payload bytes, checksum        8 bytes
//   gyroscope  AA AA 07  8 bytes (no checksum)           11 bytes
//   HRV        AA BB 0C  13 bytes (checksum inside)      16 bytes
//   extended   06 ...    right after a standard frame, up to the next AA AA
//
// Names: a frame is named by its row above (standard, raw, gyro, hrv,
// extended: the machine's states, the decoders, the loss counters); what it
// delivers by its kind of record (eeg, raw, gyro, rr, extend: the
// callbacks, the records, the batch rows and every host's API).
//
// The machine, one row per state (b is the byte):
//
//   1  HuntSync         AA -> 2
//   2  AfterSync        AA -> 3, BB -> 10, else 1
//   3  LengthByte       20 -> 4, 04 -> 6, 07 -> 9 (offset 0), else 1
//   4  CollectStandard  collect; 33rd byte: state 5, checksum, decode
//   5  AfterStandard    06 -> 7 (buffer[0] = 06, offset 1), AA -> 2
//   6  CollectRaw       collect; 5th byte: state 1, checksum, deliver
//   7  CollectExtended    collect; AA -> 8.  Buffer full: drop frame, treat b as in 1
//   8  ExtendedSync       AA -> 3, decode extended frame; BB -> 10;
//                       else 7 (b is dropped)
//   9  CollectGyro      collect; 8th byte: state 1, deliver
//  10  HrvLength        offset 0; 0C -> 11 (everything else is skipped)
//  11  CollectHrv       collect; 13th byte: state 1, decode
//
// "Collect" stores b at buffer[offset] and advances the offset.  The length
// byte is never stored.  The machine itself is one table of these rows
// (src/machine_rows.hpp) that every part of the core reads.  A third AA in AA AA AA 20 is read as a (bad) length
// byte, so the frame that follows is missed; that is how the headset's own
// host software reads the stream and we keep it.
#pragma once

#include <memory>
#include <cstddef>
#include <cstdint>

#include "quillmore/decoders.hpp"
#include "quillmore/loss.hpp"
#include "quillmore/records.hpp"

namespace quillmore {

class QuillmoreParser;
namespace host {
struct Access;
class FrameHooks;
}  // namespace host

// Outcome of one step of work.  Anything but Ok stops a parse call at the
// byte where it happened.
enum class Status : std::uint8_t {
    Ok,
    CallbackFailed,   // a listener callback returned false
    IndexOutOfRange,  // a store or read fell outside the payload buffer
    Paused,           // a listener asked parse() to return (QuillmoreParser::pause)
};

// The enumerator's name ("Ok", "CallbackFailed", ...), for messages and test
// output.
const char* statusName(Status status);

// Machine states, as state() reports them.
enum class State : int {
    HuntSync = 1,
    AfterSync = 2,
    LengthByte = 3,
    CollectStandard = 4,
    AfterStandard = 5,
    CollectRaw = 6,
    CollectExtended = 7,
    ExtendedSync = 8,
    CollectGyro = 9,
    HrvLength = 10,
    CollectHrv = 11,
};

// Where decoded results go.  Every callback returns true to go on, or false
// to report a failure: the parse call then stops at the current byte and
// returns Status::CallbackFailed, with the parser left as it was at that
// moment (see ParseResult).  Callbacks may read the parser, pause it and
// feed it more bytes; the outer call goes on from wherever the parser is
// when the callback returns.
//
// Each delivery carries the frame it came from (FrameView: the bytes
// collected for it), for a listener that looks at more than the decoded
// values; most ignore it.
class QuillmoreListener {
public:
    virtual ~QuillmoreListener() = default;

    virtual bool eeg_callback(const QuillmoreData& /*record*/, FrameView /*frame*/) { return true; }
    virtual bool extend_eeg_callback(const QuillmoreExtendData& /*record*/, FrameView /*frame*/) { return true; }
    virtual bool gyro_callback(int /*x*/, int /*y*/, int /*z*/, FrameView /*frame*/) { return true; }
    virtual bool rr_callback(int /*rr1*/, int /*rr2*/, int /*rr3*/, FrameView /*frame*/) { return true; }
    virtual bool raw_callback(int /*raw*/, FrameView /*frame*/) { return true; }
};

// How a parse call ended.  `consumed` counts the bytes processed; after a
// failure it includes the byte at which the failure happened, and the bytes
// after it are untouched.  Status::Paused is not a failure: the call returned
// early at a listener's request, and the rest of the input may be fed later.
struct ParseResult {
    Status status = Status::Ok;
    std::size_t consumed = 0;

    bool ok() const { return status == Status::Ok; }
};

class QuillmoreParser {
public:
    static constexpr std::size_t kPayloadSize = 1024;

    // A parser collecting into a 1024-byte buffer of its own.
    explicit QuillmoreParser(QuillmoreListener& listener);
    // A parser collecting into a buffer that the caller owns and keeps alive
    // (several parsers may share one, as the headset's host software does).
    QuillmoreParser(QuillmoreListener& listener, std::uint8_t* payload, std::size_t size);

    QuillmoreParser(const QuillmoreParser&) = delete;
    QuillmoreParser& operator=(const QuillmoreParser&) = delete;

    // Runs the machine over `size` bytes.
    ParseResult parse(const std::uint8_t* data, std::size_t size);
    ParseResult parse(const char* data, std::size_t size) {
        return parse(reinterpret_cast<const std::uint8_t*>(data), size);
    }

    // Asks the running parse() to return once the listener call in progress
    // is over, with Status::Paused and `consumed` counting the bytes taken so
    // far; the bytes after them are untouched.  For a listener that has
    // learnt that the rest of the input moved or changed length, or that
    // simply wants to stop after a frame.  Affects the innermost parse() that
    // is running; outside a listener call it does nothing.
    void pause() { pauseRequested_ = true; }

    // Where the machine is: its state (a State's value), and the index of
    // the next store.
    int state() const { return state_; }
    std::int64_t byteOffset() const { return byteOffset_; }

    // Counters that the machine adds its losses to (see loss.hpp), or null
    // (the default) to count nothing.  The caller keeps them alive.  Attach
    // them between parse() calls: set from inside a listener call, they take
    // full effect from the next call on.
    void setLossCounters(LossCounters* loss) { loss_ = loss; }
    LossCounters* lossCounters() const { return loss_; }

private:
    friend struct host::Access;

    Status step(std::uint8_t byte);
    Status collect(std::uint8_t byte);
    Status completeStandard(std::uint8_t checkSum);
    Status completeRaw(std::uint8_t checkSum);
    Status completeGyro();
    Status completeHrv();
    Status completeExtended();
    Status completeFrame(std::uint8_t lastByte);
    // The bytes collected, 0..offset (offsets a host set outside the buffer
    // are clamped into it).
    FrameView frame() const {
        const std::int64_t size = static_cast<std::int64_t>(payloadSize_);
        const std::int64_t n = byteOffset_ < 0 ? 0 : byteOffset_ > size ? size : byteOffset_;
        return {payload_, static_cast<std::size_t>(n)};
    }

    QuillmoreListener* listener_;
    host::FrameHooks* hooks_ = nullptr;
    LossCounters* loss_ = nullptr;
    // A plain int: a host mirroring the machine may set any value, and one
    // outside 1..11 makes every byte a no-op.
    int state_ = static_cast<int>(State::HuntSync);
    // A host may set a negative offset, which counts from the buffer's end.
    std::int64_t byteOffset_ = 0;
    bool pauseRequested_ = false;
    std::uint8_t* payload_;
    std::size_t payloadSize_;
    // Only a parser made without a buffer of its own has one: a parser that
    // collects into its host's buffer stays small (the Python module makes
    // one per parse call, and callbacks may nest those calls deeply).
    std::unique_ptr<std::uint8_t[]> ownPayload_;
};

}  // namespace quillmore
