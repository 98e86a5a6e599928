// The loss-aware clock of a recording.
//
// The stream carries no timestamps.  Its clock is the raw samples, 512 a
// second, but counting decoded samples alone runs slow by every sample that
// was lost, and does not move at all in a stream without raw frames.  The
// headset sends one standard frame per 512 raw samples, so the standard
// frames are the clock's ticks, and the raw samples decoded between two of
// them tell how many were lost:
//
//   Between two consecutive decoded standard frames (checksum held) with d
//   raw samples decoded between them, ceil(d / 512) periods passed, at least
//   one: the fewest that can hold d samples.  512 x periods - d samples
//   were lost there.  Lost standard frames thus show as gaps of more than
//   512 samples; a gap of 600 is two periods with 424 samples lost.
//
// Nothing is inferred before the first decoded standard frame or after the
// last one: there is no tick to measure from.  A headset that sent more than
// 512 samples between two standard frames would make the clock count an
// extra period there; the headset does not.
//
// Where in a gap the lost samples go: at the first damage seen in that gap
// (a failed checksum, skipped bytes, a dropped frame; the LossCounters total
// changed), which is where the link broke; when the gap shows no damage
// (frames vanished cleanly), at its end, just before the standard frame that
// closed it.  Everything decoded from that point to the closing standard
// frame is thus not final until that frame arrives (or the input ends);
// holding() says so.
//
// A position on the clock counts raw-sample periods (1/512 s): the decoded
// samples before it plus the samples inferred lost before it.
#pragma once

#include <cstdint>

namespace quillmore {

inline constexpr std::uint64_t kSamplesPerStandardFrame = 512;
inline constexpr double kSamplesPerSecond = 512.0;

class LossClock {
public:
    // Samples inferred lost so far, up to the last standard frame: what is
    // added to the count of decoded samples for everything decoded from the
    // last placement point on.
    std::uint64_t missing() const { return missing_; }

    // Whether what is decoded now must wait for the next standard frame to
    // learn its place: a damage was seen since the last one.
    bool holding() const { return damaged_; }

    // A loss was seen.  Before the first standard frame there is nothing to
    // measure a gap from, so it changes nothing then.
    void damage() {
        if (ticked_) damaged_ = true;
    }

    // A standard frame (checksum held) after `rawDecoded` raw samples in all.
    // Returns the samples inferred lost in the gap it closes (0 for the
    // first); missing() includes them from now on.
    std::uint64_t standardFrame(std::uint64_t rawDecoded);

    // The input has ended: what was held is final where it stands, as
    // nothing is inferred after the last standard frame.
    void settle() { damaged_ = false; }

private:
    std::uint64_t missing_ = 0;
    std::uint64_t lastTick_ = 0;  // raw samples decoded before the last standard frame
    bool ticked_ = false;
    bool damaged_ = false;
};

}  // namespace quillmore
