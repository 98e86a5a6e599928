// The clock's inference rule; see loss_clock.hpp.
#include "quillmore/loss_clock.hpp"

#include <algorithm>

namespace quillmore {

void LossClock::damage(std::uint64_t rawFailures, bool other) {
    if (!ticked_ || (rawFailures == 0 && !other)) return;
    mark_.rawFailures += rawFailures;  // seen samples, for the gap's count either way
    if (gaveUp_) return;
    holding_ = true;
    mark_.pastOtherDamage = mark_.pastOtherDamage || other;
}

std::uint64_t LossClock::standardFrame(std::uint64_t rawDecoded, std::uint64_t bytePosition) {
    std::uint64_t lost = 0;
    if (ticked_ && rawDecoded >= lastTick_) {
        const std::uint64_t decoded = rawDecoded - lastTick_;
        const std::uint64_t seen = decoded + mark_.rawFailures;
        const std::uint64_t bytes = bytePosition >= lastTickByte_ ? bytePosition - lastTickByte_ : 0;
        const std::uint64_t bySamples = (seen + kSamplesPerStandardFrame - 1) / kSamplesPerStandardFrame;
        const std::uint64_t byBytes = (bytes + kBytesPerPeriod / 2) / kBytesPerPeriod;
        const std::uint64_t periods = std::max<std::uint64_t>({1, bySamples, byBytes});
        lost = periods * kSamplesPerStandardFrame - decoded;
    }
    lastTickByte_ = bytePosition;
    gapStart_ = missing_;
    gapLost_ = lost;
    gapRawFailures_ = mark_.rawFailures;
    missing_ += lost;
    lastTick_ = rawDecoded;
    ticked_ = true;
    holding_ = false;
    gaveUp_ = false;
    mark_ = GapMark{};
    return lost;
}

std::uint64_t LossClock::offsetOf(GapMark mark) const {
    // Each failed raw frame before the item, as far as the gap's count goes;
    // the rest of the gap's count once past another damage.
    const std::uint64_t placed = std::min(mark.rawFailures, gapLost_);
    const std::uint64_t rest = gapLost_ - std::min(gapRawFailures_, gapLost_);
    return gapStart_ + placed + (mark.pastOtherDamage ? rest : 0);
}

void LossClock::giveUp() {
    // Held items are placed as if a gap of no loss had closed; the gap's
    // count of failed frames stays for its standard frame.
    gapStart_ = missing_;
    gapLost_ = 0;
    gapRawFailures_ = mark_.rawFailures;
    holding_ = false;
    gaveUp_ = true;
}

void LossClock::settle() {
    // Held items are placed as if a gap of no loss had closed.
    gapStart_ = missing_;
    gapLost_ = 0;
    gapRawFailures_ = mark_.rawFailures;
    holding_ = false;
    mark_ = GapMark{};
}

}  // namespace quillmore
