// The clock's inference rule; see loss_clock.hpp.
#include "quillmore/loss_clock.hpp"

#include <algorithm>

namespace quillmore {

void LossClock::damage(std::uint64_t rawFailures, bool other) {
    if (!ticked_ || (rawFailures == 0 && !other)) return;
    damaged_ = true;
    mark_.rawFailures += rawFailures;  // seen samples, for the gap's count either way
    if (gaveUp_) return;
    holding_ = true;
    mark_.pastOtherDamage = mark_.pastOtherDamage || other;
}

void LossClock::linkDown(std::uint64_t samples) {
    if (ticked_) linkSamples_ += samples;
}

std::uint64_t LossClock::standardFrame(std::uint64_t rawDecoded, std::uint64_t bytePosition) {
    std::uint64_t lost = 0;
    if (ticked_ && rawDecoded >= lastTick_) {
        const std::uint64_t decoded = rawDecoded - lastTick_;
        const std::uint64_t seen = decoded + mark_.rawFailures;
        const std::uint64_t bySamples = (seen + kSamplesPerStandardFrame - 1) / kSamplesPerStandardFrame;
        std::uint64_t periods = std::max<std::uint64_t>(1, bySamples);
        if (damaged_) {
            const std::uint64_t bytes = bytePosition >= lastTickByte_ ? bytePosition - lastTickByte_ : 0;
            periods = std::max(periods, (bytes + kBytesPerPeriod / 2) / kBytesPerPeriod);
        } else if (decoded != 0 && decoded < kSamplesPerStandardFrame) {
            ++irregular_;  // a cadence restart, or a cut the bytes cannot show
            periods = 0;
        }
        lost = periods * kSamplesPerStandardFrame > decoded ? periods * kSamplesPerStandardFrame - decoded : 0;
        certain_ += std::min(lost, mark_.rawFailures + linkSamples_);
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
    damaged_ = false;
    linkSamples_ = 0;
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
