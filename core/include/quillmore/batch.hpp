// The batch path: a recording decoded into arrays instead of callbacks.
//
// A recording is mostly raw-sample frames, 512 a second, 8 bytes each.
// BatchDecoder takes runs of them straight from the input, several frames
// per step (SSE2 where the target has it, a portable loop elsewhere), and
// hands everything else to the frame machine, whose deliveries it appends to
// growable arrays.  Each row carries `sample`, the count of raw samples
// decoded before it, and `time`, its place on the loss-aware clock
// (loss_clock.hpp) in seconds.  Losses are counted as loss.hpp says.
//
// Rows leave the decoder only once their time is final: what was decoded
// after a damage waits for the next standard frame, which tells how many
// samples the damage cost (LossClock::holding()).  So feeding a recording in
// any chunks, then calling finish(), yields the same rows as feeding it
// whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "quillmore/frame_damage.hpp"
#include "quillmore/loss.hpp"
#include "quillmore/loss_clock.hpp"
#include "quillmore/parser.hpp"

namespace quillmore {

// One row per frame.  Field names are the records' names, in the records'
// order, so that the rows' layout reads as a NumPy dtype with increasing
// offsets (which .npy files need).
struct EegRow {
    std::int64_t sample;
    double time;
    std::uint8_t signal, attention, meditation;
    std::uint32_t delta, theta, lowAlpha, highAlpha, lowBeta, highBeta, lowGamma, highGamma;
};

struct ExtendRow {
    std::int64_t sample;
    double time;
    std::uint8_t ap, battery;
    double version;
    std::uint8_t gnaw;
    double temperature;  // NaN unless temperatureStatus is Measured
    std::int8_t temperatureStatus;
    std::uint8_t heart;
    // The frame is not one the headset sends (see extendedLooksDamaged).
    std::uint8_t damaged;
};

struct GyroRow {
    std::int64_t sample;
    double time;
    std::int16_t x, y, z;
    std::uint8_t damaged;  // see gyroLooksDamaged
};

struct RrRow {
    std::int64_t sample;
    double time;
    std::uint16_t rr1, rr2, rr3;
};

// A growable array of trivially copyable values whose new cells are not
// initialised: the raw run decoder writes straight into them.
template <typename T>
class GrowableArray {
public:
    std::size_t size() const { return size_; }
    const T* data() const { return data_.get(); }
    T* data() { return data_.get(); }
    void clear() { size_ = 0; }

    // Room for `n` more values after size(); returns where they go.
    T* reserveMore(std::size_t n) {
        if (capacity_ - size_ < n) {
            std::size_t grown = capacity_ < 1024 ? 1024 : capacity_ * 2;
            if (grown - size_ < n) grown = size_ + n;
            std::unique_ptr<T[]> more(new T[grown]);
            if (size_ != 0) std::memcpy(more.get(), data_.get(), size_ * sizeof(T));
            data_ = std::move(more);
            capacity_ = grown;
        }
        return data_.get() + size_;
    }
    // Takes `n` values written at reserveMore()'s pointer.
    void commit(std::size_t n) { size_ += n; }
    void push(const T& value) {
        *reserveMore(1) = value;
        ++size_;
    }
    // Hands the values over to the caller (size() of them, in a block of at
    // least that many) and leaves the array empty.
    std::unique_ptr<T[]> release() {
        size_ = 0;
        capacity_ = 0;
        return std::move(data_);
    }
    void append(const T* values, std::size_t n) {
        if (n == 0) return;
        std::memcpy(reserveMore(n), values, n * sizeof(T));
        size_ += n;
    }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Where the clock puts raw samples: from raw sample `firstSample` (counted
// from the start of the recording) on, sample i sits at i + missingBefore.
struct ClockStep {
    std::uint64_t firstSample;
    std::uint64_t missingBefore;
};

// What a decoder released: every array in stream order.  raw[k] is sample
// firstRawSample + k of the recording; its clock position comes from the
// last step whose firstSample is at most that (fillRawTimes).
struct Batch {
    GrowableArray<std::int16_t> raw;
    std::uint64_t firstRawSample = 0;
    std::vector<ClockStep> steps;
    std::vector<EegRow> eeg;
    std::vector<ExtendRow> extend;
    std::vector<GyroRow> gyro;
    std::vector<RrRow> rr;

    void clear() {
        raw.clear();
        steps.clear();
        eeg.clear();
        extend.clear();
        gyro.clear();
        rr.clear();
    }
};

// Seconds on the loss-aware clock of each of `batch.raw`, into `out`
// (batch.raw.size() values).
void fillRawTimes(const Batch& batch, double* out);
// The same for `count` samples from recording sample `firstSample` on,
// placed by `steps` (the first of which covers firstSample).
void fillRawTimes(std::uint64_t firstSample, const ClockStep* steps, std::size_t stepCount, std::size_t count,
                  double* out);

// Decodes the longest run of whole, valid raw-sample frames at the start of
// `data` into `out` (room for size / 8 samples); returns how many frames it
// took.  Frames are AA AA 04, four payload bytes, the complement of their
// sum; the sample is payload bytes 2 and 3, big-endian two's complement.
std::size_t decodeRawRun(const std::uint8_t* data, std::size_t size, std::int16_t* out);

class BatchDecoder {
public:
    // Rows decoded after a damage wait for the next standard frame to learn
    // their place, for at most `maxHeldSamples` decoded raw samples
    // (loss_clock.hpp): a live host wants them soon, a file can wait longer.
    explicit BatchDecoder(std::uint64_t maxHeldSamples = kMaxHeldSamples);
    ~BatchDecoder();
    BatchDecoder(const BatchDecoder&) = delete;
    BatchDecoder& operator=(const BatchDecoder&) = delete;

    // Decodes `size` more bytes and appends what became final to `out`
    // (out.firstRawSample and the first step are set when `out` is empty).
    // The machine's one failure, an extended frame past the buffer, is
    // counted and dropped, so decoding never stops.
    void feed(const std::uint8_t* data, std::size_t size, Batch& out);

    // The input has ended: counts a frame cut short and releases what was
    // held; nothing is inferred after the last standard frame.
    void finish(Batch& out);

    // The link to the headset was down for `seconds` between the bytes fed
    // so far and the next (a port that went away and came back): the clock
    // counts the gap as the bytes the headset sent meanwhile, and places
    // the samples it infers lost there.  Negative, infinite or NaN seconds
    // count as none.
    void linkGap(double seconds);
    std::uint64_t linkGaps() const { return linkGaps_; }

    const LossCounters& loss() const { return loss_; }
    // Raw samples the clock inferred as lost; of them, those the evidence
    // requires; gaps between standard frames taken as cadence restarts, and
    // the samples they fell short of a period (loss_clock.hpp).
    std::uint64_t rawMissing() const { return clock_.missing(); }
    std::uint64_t rawMissingMin() const { return clock_.certain(); }
    std::uint64_t irregularIntervals() const { return clock_.irregular(); }
    std::uint64_t irregularShortfall() const { return clock_.shortfall(); }
    // Clock position (in samples) up to which rows have been released.
    std::uint64_t released() const;
    // Clock position after the last raw sample decoded, as far as the clock
    // knows yet (a loss being held is not in it): where the input fed so far
    // ends, for a host that dates its reads.
    std::uint64_t position() const { return rawDecoded_ + clock_.missing(); }

private:
    class Listener;
    friend class Listener;

    // Looks at the loss counters after the machine or the run decoder ran,
    // `delivered` when a frame was taken.  Inline: it runs several times a
    // frame and almost always finds nothing new.  The counters only grow, so
    // an unchanged total means no new loss.
    void noteDamage(bool delivered = false) {
        const std::uint64_t total = loss_.total();
        if (total != lossSeen_) {
            lossSeen_ = total;
            noteNewLoss();
        }
        if (delivered) {
            ++deliveries_;
            if (otherSinceDelivery_ || skipRun_ != 0) endDamageRun();
        }
    }
    void noteNewLoss();
    void endDamageRun();
    void damage(std::uint64_t rawFailures, bool other);
    void markHeld();
    void tickAfterFailure(bool extendedWhole);
    std::uint64_t accountedBytes() const;
    void standardFrame(const QuillmoreData& record);
    void extendedFrame(const QuillmoreExtendData& record, bool damaged);
    void rawSample(std::int16_t sample);
    void gyroFrame(const GyroRow& row);
    void hrvFrame(const RrRow& row);
    template <typename Row>
    void addRow(Row row, std::vector<Row>& out, std::vector<Row>& held, std::vector<GapMark>& marks);
    void releaseHeld();
    void limitHold();
    void stepIfNeeded(Batch& to, std::uint64_t firstSample, std::uint64_t missing);
    // The raw array that the next sample goes to, with its step noted.
    GrowableArray<std::int16_t>& rawTarget();

    std::uint64_t maxHeld_;
    std::unique_ptr<Listener> listener_;
    QuillmoreParser parser_;
    LossCounters loss_;
    std::uint64_t lossSeen_ = 0;  // loss_.total() when noteNewLoss() last ran
    std::uint64_t rawFailuresSeen_ = 0;  // loss_ as last looked at
    std::uint64_t otherLossSeen_ = 0;
    std::uint64_t standardFailuresSeen_ = 0;
    bool otherSinceDelivery_ = false;  // other loss since the last frame delivered
    std::uint64_t deliveries_ = 0;  // frames delivered by the machine or the run decoder
    // The last standard frame that failed its checksum, where it ended.
    struct FailedStandard {
        bool pending;
        std::uint64_t deliveries, rawDecoded, bytes;
    } failedStandard_{false, 0, 0, 0};
    LossClock clock_;
    std::uint64_t rawDecoded_ = 0;
    // Frames taken, for the bytes the stream has shown (accountedBytes()).
    std::uint64_t standardFrames_ = 0, hrvFrames_ = 0, gyroFrames_ = 0, extendedBytes_ = 0;
    // Link gaps, and the bytes the headset sent during them.
    std::uint64_t linkGaps_ = 0, linkBytes_ = 0;
    // Skipped bytes: as last looked at, since the last frame delivered, and
    // those in runs short enough to be fragments of frames.
    std::uint64_t skippedSeen_ = 0, skipRun_ = 0, fragmentBytes_ = 0;
    std::uint64_t heldFrom_ = 0;  // clock position where holding began
    std::uint64_t failuresAtLastStandard_ = 0;
    int lastSignal_ = -1;  // of the last standard frame decoded, -1 before the first
    // Held back until the next standard frame: the rows and samples, and
    // where in the gap each stands.
    Batch held_;
    struct HeldStep {
        std::uint64_t firstSample;
        GapMark mark;
    };
    std::vector<HeldStep> heldSteps_;
    std::vector<GapMark> heldMarks_[4];  // eeg (unused: standard frames end a gap), extend, gyro, rr
    Batch* out_ = nullptr;
};

}  // namespace quillmore
