// What a stream lost on its way, counted by the frame machine.
//
// The headset's serial link drops and garbles bytes; the machine then sees
// frames whose checksum fails, bytes that belong to no frame, and frames
// that cannot be finished.  None of this stops decoding or is reported
// through the listener.  A host that wants to know attaches a LossCounters
// to its parser (QuillmoreParser::setLossCounters); the parser then adds to
// it as it goes.  Without one (the default) the machine only tests a null
// pointer at the few places below.
//
// A clean recording counts 0 everywhere.  Each counter counts exactly:
#pragma once

#include <cstdint>

#include "quillmore/decoders.hpp"

namespace quillmore {

class QuillmoreParser;

struct LossCounters {
    // Standard frames (AA AA 20) whose 33rd byte was not the complement of
    // the low eight bits of their 32 payload bytes' sum.  They deliver
    // nothing; an extended frame after one is still decoded.
    std::uint64_t standardChecksumFailures = 0;
    // Raw-sample frames (AA AA 04) whose checksum failed, by the same rule
    // over their four payload bytes.  Each is one raw sample lost.
    std::uint64_t rawChecksumFailures = 0;
    // Heart-rate-variability frames (AA BB 0C) whose own checksum, (12 + sum
    // of payload bytes 0..8) & 0xFF against byte 9, failed.
    std::uint64_t hrvChecksumFailures = 0;
    // Bytes that the machine threw away while hunting for a frame: bytes
    // other than AA where a frame's first sync byte was due (state 1, and
    // state 5 apart from the 06 that starts an extended frame), bytes other
    // than 0C while waiting for a heart-rate-variability length byte
    // (state 10), and every byte of a header that turned out not to be one
    // (AA then neither AA nor BB: 2 bytes; AA AA then an unknown length
    // byte: 3 bytes).  Bytes of frames that were taken but failed their
    // checksum are not counted here, nor are the bytes of dropped,
    // abandoned or cut-short frames.
    std::uint64_t bytesSkipped = 0;
    // Extended frames dropped because they ran past the end of the payload
    // buffer without their closing AA AA (the headset's are 11 bytes; such
    // a frame is stray bytes after a standard frame).
    std::uint64_t extendedDropped = 0;
    // Extended frames abandoned undecoded because AA BB (a heart-rate-
    // variability header) ended them instead of AA AA.
    std::uint64_t extendedAbandoned = 0;
    // Frames begun but not finished when the input ended: the parser was,
    // at the end, past a frame's sync pair (states 3, 4, 6, 7, 8, 9, 10 and
    // 11).  Counted by countEndOfInput() only, which the host calls once
    // when its input has ended; the parser cannot tell the end of the input
    // from a pause in it.
    std::uint64_t framesCutShort = 0;

    // Every counter above added up: 0 means nothing was seen lost.
    std::uint64_t total() const {
        return standardChecksumFailures + rawChecksumFailures + hrvChecksumFailures + bytesSkipped +
               extendedDropped + extendedAbandoned + framesCutShort;
    }
};

// For a host whose input has ended: adds 1 to `loss.framesCutShort` when
// `parser` stopped inside a frame (see framesCutShort), or 1 to
// `loss.bytesSkipped` when it stopped on a lone AA (state 2), which never
// became a header.  Call it once per input.
void countEndOfInput(const QuillmoreParser& parser, LossCounters& loss);

// The frame machine's hook for a completed heart-rate-variability frame:
// adds 1 to `loss.hrvChecksumFailures` when the frame's own checksum fails.
// `payload` is the parser's buffer as the frame left it.
void countHrvFrame(PayloadView payload, LossCounters& loss);

}  // namespace quillmore
