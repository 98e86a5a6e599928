// Damage that frames without a checksum show in their layout.
#include "quillmore/frame_damage.hpp"

namespace quillmore {
namespace {

constexpr std::uint8_t kSync = 0xAA;
// The headset's extended frame: 06 ap 07 battery 08 main gnaw secondary
// intTemp decTemp heart, then the AA that starts the next frame's sync pair.
constexpr std::int64_t kHeadsetExtendCollected = 12;

bool decimalDigits(std::uint8_t byte) { return (byte >> 4) <= 9 && (byte & 0x0F) <= 9; }

}  // namespace

bool extendedLooksDamaged(const std::uint8_t* frame, std::int64_t collected) {
    if (collected != kHeadsetExtendCollected) return true;
    if (frame[0] != 0x06 || frame[2] != 0x07 || frame[4] != 0x08) return true;
    if (!decimalDigits(frame[5]) || !decimalDigits(frame[7])) return true;
    const std::uint8_t intTemp = frame[8];
    const std::uint8_t decTemp = frame[9];
    return intTemp != 255 && decTemp > 9;
}

bool gyroLooksDamaged(const std::uint8_t* frame) {
    for (int i = 0; i + 1 < 8; ++i) {
        if (frame[i] == kSync && frame[i + 1] == kSync) return true;
    }
    return false;
}

}  // namespace quillmore
