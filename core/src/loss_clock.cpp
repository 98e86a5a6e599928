// The clock's inference rule; see loss_clock.hpp.
#include "quillmore/loss_clock.hpp"

#include <algorithm>

namespace quillmore {

void LossClock::damage(std::uint64_t rawFailures, bool other) {
    if (rawFailures == 0 && !other) return;
    damaged_ = true;
    failures_ += rawFailures;
    mark_.placed += rawFailures;  // for the gap's count either way
    if (gaveUp_) return;
    holding_ = true;
}

void LossClock::otherDamage() {
    if (!gaveUp_) mark_.others += 1;
}

void LossClock::fragment(std::uint64_t bytes) {
    const std::uint64_t samples = (bytes + 4) / 8;
    hidden_ += samples;
    mark_.placed += samples;
}

void LossClock::linkDown(std::uint64_t samples) {
    linkSamples_ += samples;
    if (!gaveUp_) mark_.others += samples;
}

std::uint64_t LossClock::standardFrame(std::uint64_t rawDecoded, std::uint64_t bytePosition, bool contactMade) {
    std::uint64_t lost = 0;
    if (ticked_ && rawDecoded >= lastTick_) {
        const std::uint64_t decoded = rawDecoded - lastTick_;
        const std::uint64_t seen = decoded + failures_;
        std::uint64_t periods = std::max<std::uint64_t>(1, (seen + kSamplesPerStandardFrame - 1) / kSamplesPerStandardFrame);
        if (!damaged_) {
            if (decoded != 0 && decoded < kSamplesPerStandardFrame) periods = 0;  // a restart, or a clean cut
        } else if (contactMade && seen + hidden_ + restartMargin() < kSamplesPerStandardFrame) {
            periods = 0;  // a restart, with damage in it
            lost = failures_ + hidden_;
        } else {
            const std::uint64_t bytes = bytePosition >= lastTickByte_ ? bytePosition - lastTickByte_ : 0;
            periods = std::max(periods, (bytes + kBytesPerPeriod / 2) / kBytesPerPeriod);
        }
        if (periods == 0) {
            ++irregular_;
            shortfall_ += kSamplesPerStandardFrame - std::min(decoded + lost, kSamplesPerStandardFrame);
        } else
            lost = periods * kSamplesPerStandardFrame - std::min(decoded, periods * kSamplesPerStandardFrame);
        certain_ += std::min(lost, failures_ + linkSamples_);
    } else if (!ticked_) {
        // Before the first tick there is no period to measure: what the
        // evidence shows, and no more.
        lost = failures_ + hidden_ + linkSamples_;
        certain_ += failures_ + linkSamples_;
    }
    closeGap(lost);
    missing_ += lost;
    lastTick_ = rawDecoded;
    lastTickByte_ = bytePosition;
    ticked_ = true;
    gaveUp_ = false;
    return lost;
}

// How far short of a period the samples seen in a damaged gap must fall for
// a restart to be taken where contact was made: the estimate of the hidden
// samples errs by a fraction of a sample per damage.
std::uint64_t LossClock::restartMargin() const { return 4 + (failures_ + hidden_) / 8; }

void LossClock::closeGap(std::uint64_t lost) {
    gapStart_ = missing_;
    gapLost_ = lost;
    gapPlaced_ = mark_.placed;
    gapOthers_ = mark_.others;
    holding_ = false;
    damaged_ = false;
    failures_ = hidden_ = linkSamples_ = 0;
    mark_ = GapMark{};
}

std::uint64_t LossClock::offsetOf(GapMark mark) const {
    // What could be placed before the item, as far as the gap's count goes;
    // of the rest, the share of the other damages before it.
    const std::uint64_t placed = std::min(mark.placed, gapLost_);
    const std::uint64_t rest = gapLost_ - std::min(gapPlaced_, gapLost_);
    if (gapOthers_ == 0 || rest == 0) return gapStart_ + placed;
    // rest < 2^32 in any real gap; the product is kept in range regardless.
    const std::uint64_t others = std::min(mark.others, gapOthers_);
    const long double share = static_cast<long double>(rest) * others / gapOthers_;
    return gapStart_ + placed + static_cast<std::uint64_t>(share + 0.5L);
}

void LossClock::giveUp() {
    // Held items are placed as if a gap of no loss had closed; the gap's
    // own count goes on for its standard frame.
    gapStart_ = missing_;
    gapLost_ = 0;
    gapPlaced_ = mark_.placed;
    gapOthers_ = mark_.others;
    holding_ = false;
    gaveUp_ = true;
}

void LossClock::settle() {
    // Held items are placed as if a gap of no loss had closed.
    closeGap(0);
}

}  // namespace quillmore
