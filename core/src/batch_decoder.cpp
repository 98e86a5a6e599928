// BatchDecoder: runs of raw-sample frames in bulk, everything else through
// the frame machine, results into arrays on the loss-aware clock.
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

template <typename Row>
void releaseRows(std::vector<Row>& from, std::vector<Row>& to, std::uint64_t missing) {
    for (Row& row : from) {
        row.time = static_cast<double>(static_cast<std::uint64_t>(row.sample) + missing) / kSamplesPerSecond;
        to.push_back(row);
    }
    from.clear();
}

}  // namespace

// The machine's deliveries, decoded with the pure decoders and handed to the
// BatchDecoder.  Nothing it receives can fail.
class BatchDecoder::Listener : public QuillmoreListener {
public:
    explicit Listener(BatchDecoder& decoder) : decoder_(decoder) {}

    Status standardFrame(QuillmoreParser& parser) override {
        QuillmoreData record;
        if (decodeStandardPayload(parser.payloadView(), record) == Status::Ok) decoder_.standardFrame(record);
        return Status::Ok;
    }

    Status extendFrame(QuillmoreParser& parser) override {
        QuillmoreExtendData record;
        if (decodeExtendPayload(parser.payloadView(), record) == Status::Ok)
            decoder_.extendFrame(record, extendLooksDamaged(parser.payload(), parser.byteOffset()));
        return Status::Ok;
    }

    Status hrvFrame(QuillmoreParser& parser) override {
        RrValues rr;
        bool accepted = false;
        if (decodeHrvPayload(parser.payloadView(), rr, accepted) == Status::Ok && accepted) {
            RrRow row{};
            row.rr1 = static_cast<std::uint16_t>(rr.rr1);
            row.rr2 = static_cast<std::uint16_t>(rr.rr2);
            row.rr3 = static_cast<std::uint16_t>(rr.rr3);
            decoder_.rrFrame(row);
        }
        return Status::Ok;
    }

    bool raw_callback(int raw) override {
        decoder_.rawSample(static_cast<std::int16_t>(raw));
        return true;
    }

    bool gyro_callback(int x, int y, int z) override {
        GyroRow row{};
        row.x = static_cast<std::int16_t>(x);
        row.y = static_cast<std::int16_t>(y);
        row.z = static_cast<std::int16_t>(z);
        row.damaged = gyroLooksDamaged(decoder_.parser_.payload()) ? 1 : 0;
        decoder_.gyroFrame(row);
        return true;
    }

private:
    BatchDecoder& decoder_;
};

BatchDecoder::BatchDecoder() : listener_(std::make_unique<Listener>(*this)), parser_(*listener_) {
    parser_.setLossCounters(&loss_);
}

BatchDecoder::~BatchDecoder() = default;

std::uint64_t BatchDecoder::released() const {
    return clock_.holding() ? heldFrom_ : rawDecoded_ + clock_.missing();
}

// A loss counted since the last look is a damage at this point of the
// stream; the clock then holds what follows until the next standard frame.
void BatchDecoder::noteDamage() {
    const std::uint64_t total = loss_.total();
    if (total == lossSeen_) return;
    lossSeen_ = total;
    if (clock_.holding()) return;
    clock_.damage();
    if (clock_.holding()) {
        heldFrom_ = rawDecoded_ + clock_.missing();
        held_.firstRawSample = rawDecoded_;
    }
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

void BatchDecoder::releaseHeld(std::uint64_t missing) {
    Batch& out = *out_;
    if (held_.raw.size() != 0) {
        stepIfNeeded(out, held_.firstRawSample, missing);
        out.raw.append(held_.raw.data(), held_.raw.size());
    }
    releaseRows(held_.eeg, out.eeg, missing);
    releaseRows(held_.extend, out.extend, missing);
    releaseRows(held_.gyro, out.gyro, missing);
    releaseRows(held_.rr, out.rr, missing);
    held_.clear();
}

void BatchDecoder::standardFrame(const QuillmoreData& record) {
    noteDamage();
    clock_.standardFrame(rawDecoded_);
    const std::uint64_t missing = clock_.missing();
    releaseHeld(missing);
    failuresAtLastStandard_ = loss_.standardChecksumFailures;
    EegRow row{};
    row.sample = static_cast<std::int64_t>(rawDecoded_);
    row.time = timeAt(missing);
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

void BatchDecoder::extendFrame(const QuillmoreExtendData& record, bool damaged) {
    noteDamage();
    ExtendRow row{};
    row.sample = static_cast<std::int64_t>(rawDecoded_);
    row.time = timeAt(clock_.missing());
    row.version = record.version;
    switch (record.temperatureKind) {
    case TemperatureKind::Measured:
        row.temperature = record.temperature;
        row.temperatureStatus = static_cast<std::int8_t>(TemperatureStatus::Measured);
        break;
    case TemperatureKind::SensorUnavailable:
        row.temperature = std::numeric_limits<double>::quiet_NaN();
        row.temperatureStatus = static_cast<std::int8_t>(TemperatureStatus::NoReading);
        break;
    case TemperatureKind::Absent:
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
    target().extend.push_back(row);
}

void BatchDecoder::rawSample(std::int16_t sample) {
    noteDamage();
    Batch& to = target();
    if (&to == out_) stepIfNeeded(to, rawDecoded_, clock_.missing());
    to.raw.push(sample);
    ++rawDecoded_;
}

void BatchDecoder::gyroFrame(const GyroRow& decoded) {
    noteDamage();
    GyroRow row = decoded;
    row.sample = static_cast<std::int64_t>(rawDecoded_);
    row.time = timeAt(clock_.missing());
    target().gyro.push_back(row);
}

void BatchDecoder::rrFrame(const RrRow& decoded) {
    noteDamage();
    RrRow row = decoded;
    row.sample = static_cast<std::int64_t>(rawDecoded_);
    row.time = timeAt(clock_.missing());
    target().rr.push_back(row);
}

void BatchDecoder::feed(const std::uint8_t* data, std::size_t size, Batch& out) {
    out_ = &out;
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + size;
    while (p < end) {
        if (parser_.state() == static_cast<int>(State::HuntSync) && static_cast<std::size_t>(end - p) >= kRawFrame) {
            noteDamage();
            Batch& to = target();
            if (&to == out_) stepIfNeeded(to, rawDecoded_, clock_.missing());
            const std::size_t room = static_cast<std::size_t>(end - p) / kRawFrame;
            const std::size_t taken = decodeRawRun(p, static_cast<std::size_t>(end - p), to.raw.reserveMore(room));
            if (taken != 0) {
                to.raw.commit(taken);
                rawDecoded_ += taken;
                p += taken * kRawFrame;
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
    lossSeen_ = loss_.total();
    releaseHeld(clock_.missing());
    clock_.settle();
}

void fillRawTimes(const Batch& batch, double* out) {
    const std::size_t n = batch.raw.size();
    std::size_t step = 0;
    for (std::size_t k = 0; k < n;) {
        const std::uint64_t sample = batch.firstRawSample + k;
        while (step + 1 < batch.steps.size() && batch.steps[step + 1].firstSample <= sample) ++step;
        const std::uint64_t missing = batch.steps.empty() ? 0 : batch.steps[step].missingBefore;
        // Up to the next step, or the end.
        std::size_t stop = n;
        if (step + 1 < batch.steps.size()) stop = static_cast<std::size_t>(batch.steps[step + 1].firstSample - batch.firstRawSample);
        const double base = static_cast<double>(sample + missing);
        for (std::size_t j = k; j < stop; ++j) out[j] = (base + static_cast<double>(j - k)) / kSamplesPerSecond;
        k = stop;
    }
}

}  // namespace quillmore
