// Payload decoders: turn the bytes that the frame machine collected into
// values.  They are pure functions of the payload buffer, so a host can run
// them on any buffer contents, and the machine and the Python module share
// them.
//
// Frame payloads, as the machine leaves them in the buffer (index 0 is the
// first byte after the length byte):
//
//   standard  [0..31] data rows, [32] checksum  (complemented sum of [0..31])
//   raw       [0..3]  payload,  [4] checksum    (complemented sum of [0..3]);
//                     the sample is [2] << 8 | [3], two's complement
//   gyroscope [0..7]  x, y, z are the low bytes [2], [4], [6]; no checksum
//   HRV       [0..12] rr1..rr3 big-endian at [0..5], [9] = (12 + sum [0..8]) & 0xFF
//   extended  [0] = 0x06, then data rows up to the 0xAA that ended the frame
//
// The standard and extended decoders walk data rows: a row code, then the
// bytes that the code announces.  An unknown code consumes one byte.  The
// scan bound (32 standard, 12 extended) is tested before each row code only,
// so a row that starts inside the bound is read to its end; those reads may
// reach cells beyond the current frame, which still hold earlier frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillmore/records.hpp"

namespace quillmore {

// How a step of work ended; defined with the parser (parser.hpp).  The
// decoders answer Ok, or IndexOutOfRange for a read past a short buffer.
enum class Status : std::uint8_t;

// A payload buffer that the caller owns.
struct PayloadView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// A frame as the machine delivers it: the bytes it collected, from the
// first one after the header (for an extended frame, 06 and everything up
// to the first AA of the pair that ended it).  Two words, so that it costs
// the raw-sample delivery nothing to carry.
struct FrameView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Fixed scan bounds and the highest index a decoder can read.
inline constexpr std::size_t kStandardPayloadLength = 32;
inline constexpr std::size_t kExtendedScanLength = 12;
inline constexpr std::size_t kStandardMaxRead = 56;  // 0x83 at 31, length at 32, bands 33..56
inline constexpr std::size_t kExtendedMaxRead = 17;    // 0x08 at 11, its six bytes at 12..17
inline constexpr std::size_t kHrvMaxRead = 9;

// Standard frame: rows 0x02 signal, 0x83 band powers (only when its length
// byte is 24), 0x04 attention, 0x05 meditation.  IndexOutOfRange when a row
// reaches past the end of a buffer shorter than 57 bytes.
Status decodeStandardPayload(PayloadView payload, QuillmoreData& out);

// Extended frame: rows 0x06 ap, 0x07 battery, 0x08 version/gnaw/temperature/heart.
Status decodeExtendedPayload(PayloadView payload, QuillmoreExtendData& out);

// Heart-rate-variability frame.  `accepted` tells whether the frame's own
// checksum held; `out` is filled only then.
Status decodeHrvPayload(PayloadView payload, RrValues& out, bool& accepted);

// The small per-frame helpers below are defined here, inline, because the
// frame machine runs them on every raw-sample frame (512 per second of
// recording) and a call into another translation unit costs more than their
// work.

// Checksum of standard and raw-sample frames: the complement of the low
// eight bits of the payload sum.  `payload` must hold `length` bytes.
inline bool complementedSumMatches(const std::uint8_t* payload, std::size_t length, std::uint8_t checkSum) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum += payload[i];
    return static_cast<std::uint8_t>(~sum) == checkSum;
}

// Raw sample from a raw-sample payload (needs 4 bytes): -32768..32767.
inline int decodeRawSample(const std::uint8_t* payload) {
    const int raw = (payload[2] << 8) | payload[3];
    return raw >= 0x8000 ? raw - 0x10000 : raw;
}

// Gyroscope values from a gyroscope payload (needs 7 bytes).  Only the low
// byte of each axis counts; values above 180 become 180 - value.
inline GyroValues decodeGyro(const std::uint8_t* payload) {
    // Each axis is sent as a high and a low byte, but only the low byte is
    // used: 181 -> -1, 255 -> -75.
    auto axis = [](unsigned low) { return low > 180 ? 180 - static_cast<int>(low) : static_cast<int>(low); };
    return {axis(payload[2]), axis(payload[4]), axis(payload[6])};
}

}  // namespace quillmore
