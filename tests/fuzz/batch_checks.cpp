// Fuzz checks of BatchDecoder; see batch_checks.hpp.
#include "batch_checks.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillmore/batch.hpp"
#include "quillmore/parser.hpp"

namespace quillmore::fuzzing {
namespace {

[[noreturn]] void differs(const char* what) {
    std::fprintf(stderr, "batch path: %s\n", what);
    std::abort();
}

struct Arrays {
    std::vector<std::int16_t> raw;
    std::vector<double> rawTime;
    std::vector<std::int64_t> rowSamples[4];
    std::vector<double> rowTimes[4];
    std::vector<std::uint32_t> values;  // a few values of each row, in order per kind
    std::vector<std::uint32_t> extendValues, gyroValues, rrValues;
};

bool sameTimes(const std::vector<double>& a, const std::vector<double>& b) {
    // Bit for bit: equal values, not merely values that compare equal.
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void append(Arrays& all, const Batch& part) {
    all.raw.insert(all.raw.end(), part.raw.data(), part.raw.data() + part.raw.size());
    std::vector<double> times(part.raw.size());
    fillRawTimes(part, times.data());
    // Strictly increasing within a part: the clock never runs backwards.
    for (std::size_t k = 1; k < times.size(); ++k)
        if (!(times[k] > times[k - 1])) differs("raw times do not increase");
    all.rawTime.insert(all.rawTime.end(), times.begin(), times.end());
    for (const EegRow& r : part.eeg) {
        all.rowSamples[0].push_back(r.sample);
        all.rowTimes[0].push_back(r.time);
        all.values.insert(all.values.end(), {r.signal, r.attention, r.meditation, r.delta, r.highGamma});
    }
    for (const ExtendRow& r : part.extend) {
        all.rowSamples[1].push_back(r.sample);
        all.rowTimes[1].push_back(r.time);
        all.extendValues.insert(all.extendValues.end(),
                                {r.ap, r.battery, r.gnaw, r.heart, static_cast<std::uint32_t>(r.temperatureStatus),
                                 r.damaged});
    }
    for (const GyroRow& r : part.gyro) {
        all.rowSamples[2].push_back(r.sample);
        all.rowTimes[2].push_back(r.time);
        all.gyroValues.insert(all.gyroValues.end(), {static_cast<std::uint32_t>(r.x), static_cast<std::uint32_t>(r.y),
                                                     static_cast<std::uint32_t>(r.z), r.damaged});
    }
    for (const RrRow& r : part.rr) {
        all.rowSamples[3].push_back(r.sample);
        all.rowTimes[3].push_back(r.time);
        all.rrValues.insert(all.rrValues.end(), {r.rr1, r.rr2, r.rr3});
    }
}

bool same(const Arrays& a, const Arrays& b) {
    for (int k = 0; k < 4; ++k)
        if (a.rowSamples[k] != b.rowSamples[k] || !sameTimes(a.rowTimes[k], b.rowTimes[k])) return false;
    return a.raw == b.raw && sameTimes(a.rawTime, b.rawTime) && a.values == b.values &&
           a.extendValues == b.extendValues && a.gyroValues == b.gyroValues && a.rrValues == b.rrValues;
}

bool sameLoss(const LossCounters& a, const LossCounters& b) {
    return a.standardChecksumFailures == b.standardChecksumFailures && a.rawChecksumFailures == b.rawChecksumFailures &&
           a.hrvChecksumFailures == b.hrvChecksumFailures && a.bytesSkipped == b.bytesSkipped &&
           a.extendedDropped == b.extendedDropped && a.extendedAbandoned == b.extendedAbandoned &&
           a.framesCutShort == b.framesCutShort;
}

// The frame machine's deliveries, as the batch path must hold them.
class Reference : public QuillmoreListener {
public:
    bool eeg_callback(const QuillmoreData& r, quillmore::FrameView) override {
        eeg.push_back(raws);
        values.insert(values.end(), {r.signal, r.attention, r.meditation, r.delta, r.highGamma});
        return true;
    }
    bool extend_eeg_callback(const QuillmoreExtendData& /*r*/, quillmore::FrameView) override { return extend.push_back(raws), true; }
    bool gyro_callback(int, int, int, quillmore::FrameView) override { return gyro.push_back(raws), true; }
    bool rr_callback(int a, int b, int c, quillmore::FrameView) override {
        rr.push_back(raws);
        rrValues.insert(rrValues.end(), {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b),
                                         static_cast<std::uint32_t>(c)});
        return true;
    }
    bool raw_callback(int raw, quillmore::FrameView) override {
        samples.push_back(static_cast<std::int16_t>(raw));
        ++raws;
        return true;
    }

    std::int64_t raws = 0;
    std::vector<std::int16_t> samples;
    std::vector<std::int64_t> eeg, extend, gyro, rr;
    std::vector<std::uint32_t> values, rrValues;
};

Arrays decode(const std::vector<std::uint8_t>& stream, const std::uint8_t* chunks, std::size_t chunkCount,
              LossCounters& loss) {
    BatchDecoder decoder;
    Arrays all;
    Batch part;
    std::size_t at = 0;
    std::size_t turn = 0;
    std::size_t empties = 0;  // empty chunks in a row
    while (at < stream.size()) {
        std::size_t n = stream.size() - at;
        if (chunkCount != 0) {
            const std::uint8_t v = chunks[turn++ % chunkCount];
            n = std::min<std::size_t>(n, v < 0xE0 ? v : (v - 0xDFu) * 256u);
            // As the host in fuzz_core.cpp does: a whole round of empty
            // chunks is followed by one byte.
            empties = n == 0 ? empties + 1 : 0;
            if (empties > chunkCount) {
                n = 1;
                empties = 0;
            }
        }
        decoder.feed(stream.data() + at, n, part);
        append(all, part);
        part.clear();
        at += n;
    }
    decoder.finish(part);
    append(all, part);
    loss = decoder.loss();
    return all;
}

}  // namespace

void checkBatchPath(const std::vector<std::uint8_t>& stream, const std::uint8_t* chunks, std::size_t chunkCount) {
    LossCounters chunkedLoss, wholeLoss;
    const Arrays chunked = decode(stream, chunks, chunkCount, chunkedLoss);
    const Arrays whole = decode(stream, nullptr, 0, wholeLoss);
    if (!same(chunked, whole)) differs("chunked and whole decoding differ");
    if (!sameLoss(chunkedLoss, wholeLoss)) differs("chunked and whole loss counters differ");

    Reference reference;
    QuillmoreParser parser(reference);
    LossCounters loss;
    parser.setLossCounters(&loss);
    parser.parse(stream.data(), stream.size());
    countEndOfInput(parser, loss);
    if (!sameLoss(loss, wholeLoss)) differs("loss counters differ from the frame machine's");
    if (reference.samples != whole.raw) differs("raw samples differ from the frame machine's");
    if (reference.eeg != whole.rowSamples[0] || reference.values != whole.values) differs("standard rows differ");
    if (reference.extend != whole.rowSamples[1]) differs("extended rows differ");
    if (reference.gyro != whole.rowSamples[2]) differs("gyroscope rows differ");
    if (reference.rr != whole.rowSamples[3] || reference.rrValues != whole.rrValues) differs("HRV rows differ");
    if (!whole.rawTime.empty() && whole.rawTime.front() < 0) differs("a negative time");
}

}  // namespace quillmore::fuzzing
