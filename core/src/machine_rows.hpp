// The frame machine, stated once: one row per state, saying what the row
// does with a byte.  step(), the host-mirror queries, the loss counting at
// the end of the input and the constants of parse()'s bulk paths all read
// this table; nothing else encodes the machine.
//
// A row either hunts (it looks at the byte and moves on by its transitions)
// or collects (it stores the byte at the offset first; a fixed-length row
// completes its frame on its last byte, the extended row looks at the byte
// after storing it).  A transition's `next` of 0 leaves the state alone,
// which is not the same as assigning the value it has (a host that mirrors
// the state lazily tells them apart); an `offset` of -1 leaves the offset
// alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillmore/parser.hpp"

namespace quillmore::machine {

constexpr int kStateCount = 11;

constexpr int s(State state) { return static_cast<int>(state); }

// Frames a row can complete.
enum class Frame : std::uint8_t { None, Standard, Raw, Gyro, Hrv, Extended };

// What a transition does beyond assigning state and offset.
enum class Action : std::uint8_t {
    None,
    StartExtended,    // buffer[0] := the byte (06); collection goes on at offset 1
    DeliverExtended,  // AA AA ended the extended frame: decode it
    AbandonExtended,  // AA BB ended it: dropped undecoded (counted)
};

// What a parser left inside a row has lost when the input ends there.
enum class AtEnd : std::uint8_t { Nothing, SkippedByte, FrameCutShort };

struct Transition {
    int byte = -1;          // -1: any other byte
    int next = 0;           // 0: the state stays as it is
    std::int8_t offset = -1;
    Action action = Action::None;
    std::uint8_t skipped = 0;  // bytes this transition throws away (loss)
};

struct Row {
    Transition on[3] = {};
    Transition otherwise = {};
    // Offset 0 at every byte, before the byte is looked at.
    bool resetsOffset = false;
    // Collecting rows store the byte at the offset before anything else.
    bool stores = false;
    // Fixed-length rows: bytes collected when the frame completes (0: the
    // extended row, bounded by the buffer only).
    std::int64_t frameBytes = 0;
    Frame completes = Frame::None;
    int afterFrame = 0;     // state once the frame is complete
    bool checksum = false;  // the last byte is the checksum of the ones before
    AtEnd atEnd = AtEnd::Nothing;
};

constexpr std::uint8_t kSync = 0xAA;
constexpr std::uint8_t kHrvSync = 0xBB;
constexpr std::uint8_t kStandardLength = 0x20;
constexpr std::uint8_t kRawLength = 0x04;
constexpr std::uint8_t kGyroLength = 0x07;
constexpr std::uint8_t kHrvLength = 0x0C;
constexpr std::uint8_t kExtendedStart = 0x06;

constexpr Transition to(int byte, State next, std::int8_t offset = -1, Action action = Action::None) {
    return {byte, s(next), offset, action, 0};
}
constexpr Transition stay(std::uint8_t skipped = 0) { return {-1, 0, -1, Action::None, skipped}; }
constexpr Transition otherwiseTo(State next, std::uint8_t skipped) { return {-1, s(next), -1, Action::None, skipped}; }

constexpr Row hunt(Transition a, Transition b, Transition c, Transition otherwise, AtEnd atEnd) {
    Row row;
    row.on[0] = a;
    row.on[1] = b;
    row.on[2] = c;
    row.otherwise = otherwise;
    row.atEnd = atEnd;
    return row;
}

constexpr Row collect(std::int64_t bytes, Frame frame, State after, bool checksum) {
    Row row;
    row.stores = true;
    row.frameBytes = bytes;
    row.completes = frame;
    row.afterFrame = s(after);
    row.checksum = checksum;
    row.atEnd = AtEnd::FrameCutShort;
    return row;
}

constexpr Row collectExtended() {
    Row row;
    row.stores = true;
    row.on[0] = to(kSync, State::ExtendedSync);  // looked at after the store
    row.otherwise = stay();
    row.atEnd = AtEnd::FrameCutShort;
    return row;
}

constexpr Row hrvLength() {
    Row row = hunt(to(kHrvLength, State::CollectHrv), {}, {}, stay(1), AtEnd::FrameCutShort);
    row.resetsOffset = true;
    return row;
}

constexpr Transition kNone = {};

// Index 0 is not a state: every byte there is a no-op, as in any value
// outside 1..11.
constexpr Row kRows[kStateCount + 1] = {
    /* not a state */ Row{},
    /*  1 HuntSync */
    hunt(to(kSync, State::AfterSync), kNone, kNone, stay(1), AtEnd::Nothing),
    /*  2 AfterSync */
    hunt(to(kSync, State::LengthByte), to(kHrvSync, State::HrvLength), kNone, otherwiseTo(State::HuntSync, 2),
         AtEnd::SkippedByte),
    /*  3 LengthByte */
    hunt(to(kStandardLength, State::CollectStandard, 0), to(kRawLength, State::CollectRaw, 0),
         to(kGyroLength, State::CollectGyro, 0), otherwiseTo(State::HuntSync, 3), AtEnd::FrameCutShort),
    /*  4 CollectStandard: 32 payload bytes and the checksum */
    collect(33, Frame::Standard, State::AfterStandard, true),
    /*  5 AfterStandard */
    hunt(to(kExtendedStart, State::CollectExtended, 1, Action::StartExtended), to(kSync, State::AfterSync), kNone,
         stay(1), AtEnd::Nothing),
    /*  6 CollectRaw: 4 payload bytes and the checksum */
    collect(5, Frame::Raw, State::HuntSync, true),
    /*  7 CollectExtended */
    collectExtended(),
    /*  8 ExtendedSync: the byte after an inner AA is dropped */
    hunt(to(kSync, State::LengthByte, -1, Action::DeliverExtended),
         to(kHrvSync, State::HrvLength, -1, Action::AbandonExtended), kNone, otherwiseTo(State::CollectExtended, 0),
         AtEnd::FrameCutShort),
    /*  9 CollectGyro: eight bytes although the length byte says seven */
    collect(8, Frame::Gyro, State::HuntSync, false),
    /* 10 HrvLength */
    hrvLength(),
    /* 11 CollectHrv: the frame's checksum is inside it */
    collect(13, Frame::Hrv, State::HuntSync, false),
};

constexpr bool isState(int state) { return state >= 1 && state <= kStateCount; }

// The row of `state`; the no-op row for a value that is not a state.
constexpr const Row& rowOf(int state) { return kRows[isState(state) ? state : 0]; }

// The transition that `row` takes on `byte`.
constexpr const Transition& transition(const Row& row, std::uint8_t byte) {
    for (const Transition& t : row.on) {
        if (t.byte == byte) return t;
    }
    return row.otherwise;
}

// The length byte that opens the frame that `state` collects.
constexpr int lengthByteOf(State state) {
    for (const Transition& t : kRows[s(State::LengthByte)].on) {
        if (t.next == s(state)) return t.byte;
    }
    return -1;
}

constexpr std::int64_t frameBytes(State state) { return kRows[s(state)].frameBytes; }

// A completed frame decoded from `buffer` (the decoders may read cells past
// the frame) and handed to the listener with the frame.
Status deliverStandard(QuillmoreListener& listener, PayloadView buffer, FrameView frame);
Status deliverExtended(QuillmoreListener& listener, PayloadView buffer, FrameView frame);
Status deliverHrv(QuillmoreListener& listener, PayloadView buffer, FrameView frame);

}  // namespace quillmore::machine
