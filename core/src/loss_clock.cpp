// The clock's inference rule; see loss_clock.hpp.
#include "quillmore/loss_clock.hpp"

namespace quillmore {

std::uint64_t LossClock::standardFrame(std::uint64_t rawDecoded) {
    std::uint64_t lost = 0;
    if (ticked_ && rawDecoded >= lastTick_) {
        const std::uint64_t decoded = rawDecoded - lastTick_;
        std::uint64_t periods = (decoded + kSamplesPerStandardFrame - 1) / kSamplesPerStandardFrame;
        if (periods == 0) periods = 1;
        lost = periods * kSamplesPerStandardFrame - decoded;
    }
    missing_ += lost;
    lastTick_ = rawDecoded;
    ticked_ = true;
    damaged_ = false;
    return lost;
}

}  // namespace quillmore
