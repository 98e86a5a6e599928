// Damage that the frames without a checksum show in their layout
// (src/frame_damage.cpp).  The batch path flags such rows, never drops them.
#pragma once

#include <cstdint>

namespace quillmore {

// Damage that an extended frame shows, with no checksum to tell: the
// headset sends exactly 06 ap 07 battery 08 and six bytes, ended by AA AA,
// with binary-coded-decimal version bytes and tenths of a degree 0..9.
// `collected` is the parser's offset when the frame ended (12 for the
// headset's frame: 11 bytes and the first AA).  A frame that follows a
// standard frame whose checksum failed is flagged by the decoder as well.
// A changed value that still fits the layout (battery 90 read as 91) cannot
// be seen.
bool extendedLooksDamaged(const std::uint8_t* frame, std::int64_t collected);

// Damage that a gyroscope frame shows: its eight bytes hold AA AA, the sync
// pair of a following frame, which means bytes of it were lost and the next
// frame's header was read as its body.  (Two adjacent bytes of 170 in a
// whole frame read the same; the headset's high bytes are 0.)
bool gyroLooksDamaged(const std::uint8_t* frame);

}  // namespace quillmore
