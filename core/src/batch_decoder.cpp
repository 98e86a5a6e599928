// BatchDecoder: runs of raw-sample frames in bulk, everything else through
// the frame machine, results into arrays on the loss-aware clock.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "quillmore/batch.hpp"
#include "quillmore/decoders.hpp"

namespace quillmore {
namespace {

constexpr std::size_t kRawFrame = 8;

// The start of the next AA AA 04 at or after p, or end when there is none
// with its three bytes inside [p, end).
const std::uint8_t* nextRawHeader(const std::uint8_t* p, const std::uint8_t* end) {
    while (end - p >= 3) {
        const void* hit = std::memchr(p, 0xAA, static_cast<std::size_t>(end - p - 2));
        if (!hit) return end;
        p = static_cast<const std::uint8_t*>(hit);
        if (p[1] == 0xAA && p[2] == 0x04) return p;
        ++p;
    }
    return end;
}

// A row with every byte 0, padding included, so that arrays of rows (and
// the files written from them) hold no leftover memory.
template <typename Row>
Row blankRow() {
    Row row;
    std::memset(&row, 0, sizeof row);
    return row;
}

double secondsAt(std::uint64_t position) { return static_cast<double>(position) / kSamplesPerSecond; }

}  // namespace

// The machine's deliveries, with the frames they came from, handed to the
// BatchDecoder.  Nothing it receives can fail.
class BatchDecoder::Listener : public QuillmoreListener {
public:
    explicit Listener(BatchDecoder& decoder) : decoder_(decoder) {}

    bool eeg_callback(const QuillmoreData& record, FrameView) override {
        decoder_.standardFrame(record);
        return true;
    }

    bool extend_eeg_callback(const QuillmoreExtendData& record, FrameView frame) override {
        decoder_.extendedBytes_ += frame.size;
        decoder_.extendedFrame(record, extendedLooksDamaged(frame.data, static_cast<std::int64_t>(frame.size)));
        return true;
    }

    bool rr_callback(int rr1, int rr2, int rr3, FrameView) override {
        ++decoder_.hrvFrames_;
        auto row = blankRow<RrRow>();
        row.rr1 = static_cast<std::uint16_t>(rr1);
        row.rr2 = static_cast<std::uint16_t>(rr2);
        row.rr3 = static_cast<std::uint16_t>(rr3);
        decoder_.hrvFrame(row);
        return true;
    }

    bool raw_callback(int raw, FrameView) override {
        decoder_.rawSample(static_cast<std::int16_t>(raw));
        return true;
    }

    bool gyro_callback(int x, int y, int z, FrameView frame) override {
        auto row = blankRow<GyroRow>();
        row.x = static_cast<std::int16_t>(x);
        row.y = static_cast<std::int16_t>(y);
        row.z = static_cast<std::int16_t>(z);
        row.damaged = gyroLooksDamaged(frame.data) ? 1 : 0;
        ++decoder_.gyroFrames_;
        decoder_.gyroFrame(row);
        return true;
    }

private:
    BatchDecoder& decoder_;
};

BatchDecoder::BatchDecoder(std::uint64_t maxHeldSamples)
    : maxHeld_(maxHeldSamples), listener_(std::make_unique<Listener>(*this)), parser_(*listener_) {
    parser_.setLossCounters(&loss_);
}

BatchDecoder::~BatchDecoder() = default;

std::uint64_t BatchDecoder::released() const {
    return clock_.holding() ? heldFrom_ : rawDecoded_ + clock_.missing();
}

// The stream's bytes so far as its frames and losses account for them: the
// frames taken (an extended frame by the bytes it collected), the frames
// that failed their checksum, the bytes skipped.  Unlike a position in the
// input it does not depend on how the input was cut into feeds, so the clock
// counts the same periods however a recording arrives.
std::uint64_t BatchDecoder::accountedBytes() const {
    return 8 * (rawDecoded_ + loss_.rawChecksumFailures) + 36 * (standardFrames_ + loss_.standardChecksumFailures) +
           16 * (hrvFrames_ + loss_.hrvChecksumFailures) + 11 * gyroFrames_ + extendedBytes_ + fragmentBytes_ +
           linkBytes_;
}

// Losses counted since the last look are a damage at this point of the
// stream; the clock then holds what follows until the next standard frame.
// Bytes skipped between two frames delivered make one run; at a delivery
// the run ends (endDamageRun()), and counts as fragments of frames when
// short (the clock's rule).  The machine counts a skipped byte as it passes,
// so at a delivery the run holds exactly the bytes skipped before that
// frame, however the input was cut.
void BatchDecoder::noteNewLoss() {
    skipRun_ += loss_.bytesSkipped - skippedSeen_;
    skippedSeen_ = loss_.bytesSkipped;
    const std::uint64_t rawFailures = loss_.rawChecksumFailures;
    const std::uint64_t other = loss_.total() - rawFailures;
    if (rawFailures != rawFailuresSeen_ || other != otherLossSeen_) {
        const std::uint64_t newFailures = rawFailures - rawFailuresSeen_;
        const bool newOther = other != otherLossSeen_;
        rawFailuresSeen_ = rawFailures;
        otherLossSeen_ = other;
        otherSinceDelivery_ = otherSinceDelivery_ || newOther;
        damage(newFailures, newOther);
    }
    // A standard frame whose checksum failed: where it ended, unless its
    // header was a raw frame's changed on the way (tickAfterFailure()).
    if (standardFailuresSeen_ != loss_.standardChecksumFailures) {
        standardFailuresSeen_ = loss_.standardChecksumFailures;
        failedStandard_ = {true, deliveries_, rawDecoded_, accountedBytes()};
    }
}

// A frame was delivered after other loss or skipped bytes: the damage
// before it ends here.
void BatchDecoder::endDamageRun() {
    if (otherSinceDelivery_) {
        clock_.otherDamage();
        otherSinceDelivery_ = false;
        markHeld();
    }
    if (skipRun_ != 0) {
        if (skipRun_ <= kMaxFragment) {
            fragmentBytes_ += skipRun_;
            clock_.fragment(skipRun_);
            markHeld();
        }
        skipRun_ = 0;
    }
}

void BatchDecoder::linkGap(double seconds) {
    noteDamage();
    ++linkGaps_;
    // A period (512 raw frames, a standard and an extended frame) is one
    // second.  Beyond a year the count stops growing: no clock reading
    // needs more, and the conversion stays defined.
    constexpr double kMaxSeconds = 365.0 * 24 * 3600;
    if (seconds > 0) {
        const double capped = std::min(seconds, kMaxSeconds);
        linkBytes_ += static_cast<std::uint64_t>(std::llround(capped * static_cast<double>(kBytesPerPeriod)));
        clock_.linkDown(static_cast<std::uint64_t>(capped * kSamplesPerSecond));
    }
    damage(0, true);
    otherSinceDelivery_ = true;
}

void BatchDecoder::damage(std::uint64_t rawFailures, bool other) {
    const bool wasHolding = clock_.holding();
    clock_.damage(rawFailures, other);
    if (!clock_.holding()) return;
    if (!wasHolding) {
        heldFrom_ = rawDecoded_ + clock_.missing();
        held_.firstRawSample = rawDecoded_;
    }
    markHeld();
}

// Samples held from here on stand at the clock's new mark.
void BatchDecoder::markHeld() {
    if (!clock_.holding()) return;
    if (!heldSteps_.empty() && heldSteps_.back().firstSample == rawDecoded_) heldSteps_.pop_back();
    heldSteps_.push_back({rawDecoded_, clock_.mark()});
}

// Raw samples about to be appended to `to` from recording sample
// `firstSample` on, at clock offset `missing`: starts `to`'s numbering when
// it holds no sample yet, and notes a new step when the offset changed.
void BatchDecoder::stepIfNeeded(Batch& to, std::uint64_t firstSample, std::uint64_t missing) {
    if (to.raw.size() == 0) {
        to.firstRawSample = firstSample;
        to.steps.clear();
    }
    if (to.steps.empty() || to.steps.back().missingBefore != missing) to.steps.push_back({firstSample, missing});
}

GrowableArray<std::int16_t>& BatchDecoder::rawTarget() {
    if (clock_.holding()) return held_.raw;
    stepIfNeeded(*out_, rawDecoded_, clock_.missing());
    return out_->raw;
}

// Places what was held by the gap the clock closed last.
void BatchDecoder::releaseHeld() {
    Batch& out = *out_;
    const std::size_t held = held_.raw.size();
    for (std::size_t k = 0; k < heldSteps_.size(); ++k) {
        const std::uint64_t from = heldSteps_[k].firstSample;
        const std::uint64_t to = k + 1 < heldSteps_.size() ? heldSteps_[k + 1].firstSample : held_.firstRawSample + held;
        if (to <= from) continue;
        stepIfNeeded(out, from, clock_.offsetOf(heldSteps_[k].mark));
        out.raw.append(held_.raw.data() + (from - held_.firstRawSample), static_cast<std::size_t>(to - from));
    }
    heldSteps_.clear();
    auto release = [&](auto& rows, auto& outRows, std::vector<GapMark>& marks) {
        for (std::size_t k = 0; k < rows.size(); ++k) {
            auto row = rows[k];
            row.time = secondsAt(static_cast<std::uint64_t>(row.sample) + clock_.offsetOf(marks[k]));
            outRows.push_back(row);
        }
        marks.clear();
    };
    release(held_.extend, out.extend, heldMarks_[1]);
    release(held_.gyro, out.gyro, heldMarks_[2]);
    release(held_.rr, out.rr, heldMarks_[3]);
    held_.clear();
}

// A hold that has lasted maxHeld_ decoded samples ends where it is.
void BatchDecoder::limitHold() {
    if (!clock_.holding() || rawDecoded_ - held_.firstRawSample < maxHeld_) return;
    clock_.giveUp();
    releaseHeld();
}

template <typename Row>
void BatchDecoder::addRow(Row row, std::vector<Row>& out, std::vector<Row>& held, std::vector<GapMark>& marks) {
    row.sample = static_cast<std::int64_t>(rawDecoded_);
    if (clock_.holding()) {
        row.time = 0.0;  // placed on release
        held.push_back(row);
        marks.push_back(clock_.mark());
    } else {
        row.time = secondsAt(rawDecoded_ + clock_.missing());
        out.push_back(row);
    }
}

void BatchDecoder::standardFrame(const QuillmoreData& record) {
    noteDamage(true);
    ++standardFrames_;
    // Before the first standard frame decoded, contact may have been made.
    const bool contactMade = (lastSignal_ < 0 || lastSignal_ >= kNoContact) && record.signal < kNoContact;
    lastSignal_ = record.signal;
    clock_.standardFrame(rawDecoded_, accountedBytes(), contactMade);
    releaseHeld();
    failuresAtLastStandard_ = loss_.standardChecksumFailures;
    auto row = blankRow<EegRow>();
    row.sample = static_cast<std::int64_t>(rawDecoded_);
    row.time = secondsAt(rawDecoded_ + clock_.missing());
    row.delta = record.delta;
    row.theta = record.theta;
    row.lowAlpha = record.lowAlpha;
    row.highAlpha = record.highAlpha;
    row.lowBeta = record.lowBeta;
    row.highBeta = record.highBeta;
    row.lowGamma = record.lowGamma;
    row.highGamma = record.highGamma;
    row.signal = static_cast<std::uint8_t>(record.signal);
    row.attention = static_cast<std::uint8_t>(record.attention);
    row.meditation = static_cast<std::uint8_t>(record.meditation);
    out_->eeg.push_back(row);
}

// A standard frame whose checksum failed still stood where a period ended,
// if it was one: an extended frame of the headset's form right after it
// says so (a raw frame's header changed into a standard frame's is followed
// by more raw frames, or by noise).  The clock then ticks there, without
// the frame's values.
void BatchDecoder::tickAfterFailure(bool extendedWhole) {
    if (extendedWhole && failedStandard_.pending && failedStandard_.deliveries + 1 == deliveries_ &&
        failedStandard_.rawDecoded == rawDecoded_) {
        clock_.standardFrame(failedStandard_.rawDecoded, failedStandard_.bytes);
        releaseHeld();
    }
    failedStandard_.pending = false;
}

void BatchDecoder::extendedFrame(const QuillmoreExtendData& record, bool damaged) {
    noteDamage(true);
    tickAfterFailure(!damaged);
    auto row = blankRow<ExtendRow>();
    row.version = record.version;
    switch (record.temperatureStatus) {
    case TemperatureStatus::Measured:
        row.temperature = record.temperature;
        row.temperatureStatus = static_cast<std::int8_t>(TemperatureStatus::Measured);
        break;
    case TemperatureStatus::NoReading:
        row.temperature = std::numeric_limits<double>::quiet_NaN();
        row.temperatureStatus = static_cast<std::int8_t>(TemperatureStatus::NoReading);
        break;
    case TemperatureStatus::NoRow:
        row.temperature = std::numeric_limits<double>::quiet_NaN();
        row.temperatureStatus = static_cast<std::int8_t>(TemperatureStatus::NoRow);
        break;
    }
    row.ap = static_cast<std::uint8_t>(record.ap);
    row.battery = static_cast<std::uint8_t>(record.battery);
    row.gnaw = static_cast<std::uint8_t>(record.gnaw);
    row.heart = static_cast<std::uint8_t>(record.heart);
    // An extended frame follows the last standard frame the machine
    // completed; when that one failed its checksum, the bytes around it
    // were damaged too.
    const bool afterFailedStandard = loss_.standardChecksumFailures != failuresAtLastStandard_;
    row.damaged = damaged || afterFailedStandard ? 1 : 0;
    addRow(row, out_->extend, held_.extend, heldMarks_[1]);
}

void BatchDecoder::rawSample(std::int16_t sample) {
    noteDamage(true);
    rawTarget().push(sample);
    ++rawDecoded_;
    limitHold();
}

void BatchDecoder::gyroFrame(const GyroRow& row) {
    noteDamage(true);
    addRow(row, out_->gyro, held_.gyro, heldMarks_[2]);
}

void BatchDecoder::hrvFrame(const RrRow& row) {
    noteDamage(true);
    addRow(row, out_->rr, held_.rr, heldMarks_[3]);
}

void BatchDecoder::feed(const std::uint8_t* data, std::size_t size, Batch& out) {
    out_ = &out;
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + size;
    while (p < end) {
        if (parser_.state() == static_cast<int>(State::HuntSync) && static_cast<std::size_t>(end - p) >= kRawFrame) {
            noteDamage();
            GrowableArray<std::int16_t>& to = rawTarget();
            const std::size_t room = static_cast<std::size_t>(end - p) / kRawFrame;
            const std::size_t taken = decodeRawRun(p, static_cast<std::size_t>(end - p), to.reserveMore(room));
            if (taken != 0) {
                noteDamage(true);
                to.commit(taken);
                rawDecoded_ += taken;
                p += taken * kRawFrame;
                limitHold();
                continue;
            }
        }
        // Up to the next raw-sample header: the machine takes the frames in
        // between, and the run decoder the frames from there on once the
        // machine is hunting again.
        const std::uint8_t* const next = nextRawHeader(p + 1, end);
        parser_.parse(p, static_cast<std::size_t>(next - p));
        p = next;
        noteDamage();
    }
}

void BatchDecoder::finish(Batch& out) {
    out_ = &out;
    countEndOfInput(parser_, loss_);
    rawFailuresSeen_ = loss_.rawChecksumFailures;
    otherLossSeen_ = loss_.total() - rawFailuresSeen_;
    clock_.settle();
    releaseHeld();
}

void fillRawTimes(const Batch& batch, double* out) {
    fillRawTimes(batch.firstRawSample, batch.steps.data(), batch.steps.size(), batch.raw.size(), out);
}

void fillRawTimes(std::uint64_t firstSample, const ClockStep* steps, std::size_t stepCount, std::size_t n,
                  double* out) {
    std::size_t step = 0;
    for (std::size_t k = 0; k < n;) {
        const std::uint64_t sample = firstSample + k;
        while (step + 1 < stepCount && steps[step + 1].firstSample <= sample) ++step;
        const std::uint64_t missing = stepCount == 0 ? 0 : steps[step].missingBefore;
        // Up to the next step, or the end.
        std::size_t stop = n;
        if (step + 1 < stepCount) stop = std::min(n, static_cast<std::size_t>(steps[step + 1].firstSample - firstSample));
        // Clock positions are whole numbers below 2^53, so base + i is exact
        // and the scaling by a power of two too.  The index runs in 32-bit
        // blocks, whose conversion to double the compiler vectorises.
        const double base = static_cast<double>(sample + missing);  // position of out[k]
        const std::size_t start = k;
        constexpr double kSecondsPerSample = 1.0 / kSamplesPerSecond;
        while (k < stop) {
            const std::size_t block = std::min<std::size_t>(stop - k, std::size_t{1} << 30);
            double* const o = out + k;
            const double first = base + static_cast<double>(k - start);
            for (std::int32_t i = 0; i < static_cast<std::int32_t>(block); ++i)
                o[i] = (first + static_cast<double>(i)) * kSecondsPerSample;
            k += block;
        }
    }
}

}  // namespace quillmore
