// The loss-aware clock of a recording.
//
// The stream carries no timestamps.  Its clock is the raw samples, 512 a
// second, but counting decoded samples alone runs slow by every sample that
// was lost, and does not move at all in a stream without raw frames.  The
// headset sends one standard frame per 512 raw samples, so the standard
// frames are the clock's ticks (one whose checksum failed too: it still
// stood where a period ended), and what lies between two of them (a gap)
// tells how many samples were lost.  A loss is inferred only from evidence
// in the bytes:
//
//   Between two consecutive standard frames, with d
//   raw samples decoded and f raw frames failing their checksum between
//   them:
//
//   A gap without damage (no loss counted, no link gap) loses nothing.
//   With 512 samples it is the headset's one period; with fewer it is
//   irregular: headsets restart their cadence (when contact is made, for
//   one), and a cut made at frame boundaries looks the same, so the bytes
//   cannot tell the two apart and the clock infers no loss.  With more than
//   512 (a standard frame vanished) it spans ceil(d / 512) periods.  A
//   stream without raw frames counts one period per standard frame.
//
//   A gap with damage spans the largest of
//     1,
//     ceil((d + f) / 512)   the fewest periods that can hold the samples
//                           seen, and
//     round(B / 4143)       the periods its frame bytes fill: one period is
//                           512 raw frames of 8 bytes, a standard frame
//                           (36) and an extended frame (11);
//   512 x periods - d samples were lost there: an estimate, of which the f
//   failed frames (and the samples of a link gap, see linkGap()) are
//   certain.  Except where contact was just made (the standard frame before
//   reported no contact, signal 200, and this one some): the headset
//   restarts its cadence there, so when the samples seen, d + f + h with h
//   the fragments' bytes / 8 (about one raw frame each), fall clearly short
//   of 512, the gap is irregular and lost
//   f + h samples.  Clearly: by more than the estimate's error, a few
//   samples and one in eight of the damages.
//
//   B counts the bytes that were frames: the frames taken (an extended
//   frame at the bytes it collected) or failed, and the bytes skipped in
//   short runs, the fragments of a broken frame.  A long run of skipped
//   bytes (more than kMaxFragment) held no frame, or the machine would have
//   found its header in it: it is noise and adds no time.  The byte count
//   matters when the link garbles a long stretch (a frame with a lost byte
//   takes the next frame with it, and no count of samples shows that).
//   When the link drops whole buffers, bytes and samples vanish together
//   and the count of samples rules.
//
// Before the first decoded standard frame there is no period to measure
// from: the samples lost there are those the evidence shows (failed raw
// frames, the fragments' estimate, link gaps).  After the last one nothing
// is inferred.
//
// Where in a gap the lost samples go.  A raw-sample frame whose checksum
// failed is one sample lost exactly where it stood, and a fragment's
// estimate goes where the fragment stood (as far as the gap's count
// reaches).  The rest of the gap's lost samples is spread over its other
// damages (skipped bytes, a dropped frame, a link gap by its length: where
// the link broke) or, when the gap shows none (frames vanished cleanly),
// goes to its end, just before the standard frame that closes it.
// Everything decoded after a damage is thus not final until that standard
// frame arrives (or the input ends); holding() says so, and mark() tells
// where in the gap a held item stands.  A live host should not wait for
// ever, so a hold ends after kMaxHeldSamples decoded samples (4 s; a host
// reading a file may allow more, see BatchDecoder): what was
// held then stays where it stands, on the clock of the last standard frame,
// and so does the rest of that gap; the standard frame that closes it still
// gets its right time.
//
// A position on the clock counts raw-sample periods (1/512 s): the decoded
// samples before it plus the samples inferred lost before it.
#pragma once

#include <cstdint>

namespace quillmore {

inline constexpr std::uint64_t kSamplesPerStandardFrame = 512;
inline constexpr std::uint64_t kBytesPerPeriod = 512 * 8 + 36 + 11;
inline constexpr std::uint64_t kMaxHeldSamples = 4 * kSamplesPerStandardFrame;
inline constexpr double kSamplesPerSecond = 512.0;
// The longest run of skipped bytes taken for the fragments of broken
// frames: two standard frames' worth.
inline constexpr std::uint64_t kMaxFragment = 2 * 36;
// The signal value of a headset without contact.
inline constexpr int kNoContact = 200;

// Where in its gap an item was decoded: after how many of the gap's lost
// samples that can be placed (failed raw frames, and the samples estimated
// hidden in each fragment), and after what weight of the gap's other
// damages (1 each, a link gap its samples and 1).
struct GapMark {
    std::uint64_t placed = 0;
    std::uint64_t others = 0;
};

class LossClock {
public:
    // Samples inferred lost up to the last standard frame: what is added to
    // the count of decoded samples for everything decoded since then that
    // is not held.
    std::uint64_t missing() const { return missing_; }
    // Of missing(), the samples the evidence requires: raw frames that
    // failed their checksum and the samples of link gaps, as far as the
    // inference of each gap reaches.
    std::uint64_t certain() const { return certain_; }
    // Gaps taken as cadence restarts: without damage and with fewer than
    // 512 raw samples, or where contact was made (see above).
    std::uint64_t irregular() const { return irregular_; }
    // What those gaps fell short of a period, in samples: the samples cut,
    // if they were cuts and not restarts.
    std::uint64_t shortfall() const { return shortfall_; }

    // Whether what is decoded now must wait for the next standard frame to
    // learn its place: a damage was seen since the last one.
    bool holding() const { return holding_; }
    GapMark mark() const { return mark_; }

    // Damage seen: `rawFailures` raw-sample frames that failed their
    // checksum, and whether anything else was lost.
    void damage(std::uint64_t rawFailures, bool other);
    // Other damage was seen since the item before: the items from here on
    // stand past it.  Counted once between two items, however often the
    // host looked at its counters meanwhile.
    void otherDamage();
    // A run of `bytes` skipped bytes, at most kMaxFragment, ended: the
    // fragments of broken frames, about one raw frame per 8 bytes, hidden
    // there.
    void fragment(std::uint64_t bytes);
    // The link was down for `samples` sample periods, as the host's clock
    // measured.
    void linkDown(std::uint64_t samples);

    // A standard frame (checksum held) after `rawDecoded` raw samples in
    // all, at `bytePosition` in the stream (the bytes counted as B above),
    // `contactMade` when the frame before reported no contact and this one
    // some.  Returns the samples inferred lost in the gap it closes (0 for
    // the first); missing() includes them from now on, and offsetOf()
    // places the items held in that gap.
    std::uint64_t standardFrame(std::uint64_t rawDecoded, std::uint64_t bytePosition, bool contactMade = false);

    // Samples lost before an item held with `mark` in the gap that the last
    // standardFrame() closed.
    std::uint64_t offsetOf(GapMark mark) const;

    // The input has ended: what was held is final where it stands, as
    // nothing is inferred after the last standard frame.
    void settle();

    // The hold has lasted kMaxHeldSamples: what was held, and the rest of
    // the gap, stand where they are (offsetOf() then places them so).
    void giveUp();

private:
    std::uint64_t restartMargin() const;
    // What closing the current gap with `lost` samples leaves for offsetOf().
    void closeGap(std::uint64_t lost);

    std::uint64_t missing_ = 0;
    std::uint64_t certain_ = 0;
    std::uint64_t irregular_ = 0;
    std::uint64_t shortfall_ = 0;
    bool ticked_ = false;
    bool holding_ = false;
    bool gaveUp_ = false;  // no more holding until the next standard frame
    std::uint64_t lastTick_ = 0;  // raw samples decoded before the last standard frame
    std::uint64_t lastTickByte_ = 0;
    // The gap being read since the last standard frame.
    bool damaged_ = false;
    std::uint64_t failures_ = 0;     // raw frames that failed their checksum
    std::uint64_t hidden_ = 0;       // samples estimated in fragments
    std::uint64_t linkSamples_ = 0;  // of link gaps
    GapMark mark_;
    // The gap that the last standard frame closed.
    std::uint64_t gapStart_ = 0;  // missing() before it
    std::uint64_t gapLost_ = 0;
    std::uint64_t gapPlaced_ = 0;  // its failures and hidden samples
    std::uint64_t gapOthers_ = 0;  // the weight of its other damages
};

}  // namespace quillmore
