// The batch path: the same deliveries as the frame machine's listener path,
// whatever the chunking, the bulk raw decoder equal to the one-frame rule,
// and the loss-aware clock on streams with known losses.  (The damage flags
// and the temperature's cases are in tests/cases/rows.txt.)
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmore/batch.hpp"
#include "quillmore/parser.hpp"
#include "test_support.hpp"

namespace quillmore::testing {
namespace {

// ------------------------------------------------------------ per kind text

struct KindLines {
    std::vector<std::string> raw, eeg, extend, gyro, rr;
    bool operator==(const KindLines& o) const {
        return raw == o.raw && eeg == o.eeg && extend == o.extend && gyro == o.gyro && rr == o.rr;
    }
};

std::string eegText(std::uint64_t sample, unsigned signal, unsigned attention, unsigned meditation,
                    const std::uint32_t (&bands)[8]) {
    std::string s = std::to_string(sample) + ": " + std::to_string(signal) + " " + std::to_string(attention) + " " +
                    std::to_string(meditation);
    for (std::uint32_t b : bands) s += " " + std::to_string(b);
    return s;
}

std::string extendText(std::uint64_t sample, unsigned ap, unsigned battery, double version, unsigned gnaw,
                       int status, double temperature, unsigned heart) {
    return std::to_string(sample) + ": " + std::to_string(ap) + " " + std::to_string(battery) + " " +
           std::to_string(version) + " " + std::to_string(gnaw) + " " + std::to_string(status) + " " +
           (status == 0 ? std::to_string(temperature) : "nan") + " " + std::to_string(heart);
}

// The listener path's deliveries, each with the raw samples before it.
class KindListener : public QuillmoreListener {
public:
    bool eeg_callback(const QuillmoreData& r, FrameView) override {
        const std::uint32_t bands[8] = {r.delta,   r.theta,    r.lowAlpha, r.highAlpha,
                                        r.lowBeta, r.highBeta, r.lowGamma, r.highGamma};
        lines.eeg.push_back(eegText(raws, r.signal, r.attention, r.meditation, bands));
        return true;
    }
    bool extend_eeg_callback(const QuillmoreExtendData& r, FrameView) override {
        const int status = static_cast<int>(r.temperatureStatus);
        lines.extend.push_back(extendText(raws, r.ap, r.battery, r.version, r.gnaw, status, r.temperature, r.heart));
        return true;
    }
    bool gyro_callback(int x, int y, int z, FrameView) override {
        lines.gyro.push_back(std::to_string(raws) + ": " + std::to_string(x) + " " + std::to_string(y) + " " +
                             std::to_string(z));
        return true;
    }
    bool rr_callback(int a, int b, int c, FrameView) override {
        lines.rr.push_back(std::to_string(raws) + ": " + std::to_string(a) + " " + std::to_string(b) + " " +
                           std::to_string(c));
        return true;
    }
    bool raw_callback(int raw, FrameView) override {
        lines.raw.push_back(std::to_string(raw));
        ++raws;
        return true;
    }

    KindLines lines;
    std::uint64_t raws = 0;
};

KindLines batchLines(const Batch& b) {
    KindLines l;
    for (std::size_t k = 0; k < b.raw.size(); ++k) l.raw.push_back(std::to_string(b.raw.data()[k]));
    for (const EegRow& r : b.eeg) {
        const std::uint32_t bands[8] = {r.delta,   r.theta,    r.lowAlpha, r.highAlpha,
                                        r.lowBeta, r.highBeta, r.lowGamma, r.highGamma};
        l.eeg.push_back(eegText(static_cast<std::uint64_t>(r.sample), r.signal, r.attention, r.meditation, bands));
    }
    for (const ExtendRow& r : b.extend)
        l.extend.push_back(extendText(static_cast<std::uint64_t>(r.sample), r.ap, r.battery, r.version, r.gnaw,
                                      r.temperatureStatus, r.temperature, r.heart));
    for (const GyroRow& r : b.gyro)
        l.gyro.push_back(std::to_string(r.sample) + ": " + std::to_string(r.x) + " " + std::to_string(r.y) + " " +
                         std::to_string(r.z));
    for (const RrRow& r : b.rr)
        l.rr.push_back(std::to_string(r.sample) + ": " + std::to_string(r.rr1) + " " + std::to_string(r.rr2) + " " +
                       std::to_string(r.rr3));
    return l;
}

// Everything a batch holds, times included, for comparing two batches.
struct Whole {
    KindLines lines;
    std::vector<double> rawTimes;
    std::vector<double> rowTimes[4];  // eeg, extend, gyro, rr
    bool operator==(const Whole& o) const {
        return lines == o.lines && rawTimes == o.rawTimes && rowTimes[0] == o.rowTimes[0] &&
               rowTimes[1] == o.rowTimes[1] && rowTimes[2] == o.rowTimes[2] && rowTimes[3] == o.rowTimes[3];
    }
};

// Appends `part` to `all` as one batch would hold it.
void appendBatch(Whole& all, const Batch& part) {
    const KindLines l = batchLines(part);
    auto add = [](std::vector<std::string>& to, const std::vector<std::string>& from) {
        to.insert(to.end(), from.begin(), from.end());
    };
    add(all.lines.raw, l.raw);
    add(all.lines.eeg, l.eeg);
    add(all.lines.extend, l.extend);
    add(all.lines.gyro, l.gyro);
    add(all.lines.rr, l.rr);
    std::vector<double> times(part.raw.size());
    fillRawTimes(part, times.data());
    all.rawTimes.insert(all.rawTimes.end(), times.begin(), times.end());
    for (const EegRow& r : part.eeg) all.rowTimes[0].push_back(r.time);
    for (const ExtendRow& r : part.extend) all.rowTimes[1].push_back(r.time);
    for (const GyroRow& r : part.gyro) all.rowTimes[2].push_back(r.time);
    for (const RrRow& r : part.rr) all.rowTimes[3].push_back(r.time);
}

Whole decodeInChunks(const Bytes& stream, std::size_t chunk, LossCounters* loss = nullptr) {
    BatchDecoder decoder;
    Whole all;
    Batch part;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        decoder.feed(stream.data() + at, std::min(chunk, stream.size() - at), part);
        appendBatch(all, part);
        part.clear();
    }
    decoder.finish(part);
    appendBatch(all, part);
    if (loss) *loss = decoder.loss();
    return all;
}

// ------------------------------------------------------------ raw runs

TEST(RawRuns, StopAtTheFirstFrameThatIsNotWholeAndValid) {
    const Bytes values[] = {{0x00, 0x00}, {0x7F, 0xFF}, {0x80, 0x00}, {0x80, 0x01}, {0xFF, 0xFF}, {0x12, 0x34}};
    for (std::size_t length = 0; length <= 40; ++length) {
        for (int damage = 0; damage < 4; ++damage) {
            Bytes stream;
            std::vector<std::int16_t> expected;
            for (std::size_t k = 0; k < length; ++k) {
                const Bytes& v = values[k % 6];
                stream = cat({stream, rawFrame(v[0], v[1])});
                expected.push_back(static_cast<std::int16_t>((v[0] << 8 | v[1]) - (v[0] >= 0x80 ? 0x10000 : 0)));
            }
            // Then a frame that ends the run: bad checksum, bad header, a
            // standard frame's header, or nothing but two stray bytes.
            const Bytes enders[] = {cat({slice(rawFrame(1, 2), 0, 7), {0x00}}), cat({{0xAA, 0xAB}, slice(rawFrame(1, 2), 2)}),
                                    standardFrame({}), {0xAA, 0xAA}};
            stream = cat({stream, enders[damage], rawFrame(9, 9)});
            std::vector<std::int16_t> out(stream.size() / 8 + 1, 0);
            const std::size_t taken = decodeRawRun(stream.data(), stream.size(), out.data());
            ASSERT_EQ(taken, length) << "length " << length << ", ender " << damage;
            out.resize(taken);
            EXPECT_EQ(out, expected) << "length " << length;
        }
    }
}

// ------------------------------------------------------------ same as the listener path

TEST(BatchDecoder, DeliversWhatTheListenerPathDelivers) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        StreamGenerator generator(seed);
        // Long runs of raw frames between the generator's pieces, so that
        // both the run decoder and the machine get work.
        Bytes stream;
        for (int piece = 0; piece < 60; ++piece) {
            stream = cat({stream, generator.generate(1)});
            const unsigned run = generator.below(40);
            for (unsigned k = 0; k < run; ++k) stream = cat({stream, rawFrame(generator.byte(), generator.byte())});
        }
        KindListener reference;
        QuillmoreParser parser(reference);
        LossCounters expectedLoss;
        parser.setLossCounters(&expectedLoss);
        parser.parse(stream.data(), stream.size());
        countEndOfInput(parser, expectedLoss);

        LossCounters loss;
        const Whole whole = decodeInChunks(stream, stream.size(), &loss);
        EXPECT_TRUE(whole.lines == reference.lines) << "seed " << seed;
        EXPECT_EQ(loss.total(), expectedLoss.total()) << "seed " << seed;
        EXPECT_EQ(loss.rawChecksumFailures, expectedLoss.rawChecksumFailures) << "seed " << seed;
        EXPECT_EQ(loss.bytesSkipped, expectedLoss.bytesSkipped) << "seed " << seed;
        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{1000}})
            EXPECT_TRUE(decodeInChunks(stream, chunk) == whole) << "seed " << seed << ", chunks of " << chunk;
    }
}

// ------------------------------------------------------------ the clock

// A recording as the headset sends it: per second 512 raw frames, after the
// 256th a standard and an extended frame.  `lose(second, k)` says how raw
// frame k of a second is lost: 0 kept, 1 sent with a bad checksum, 2 not
// sent at all, 3 a payload byte lost on the way.  `loseStandard(second)` likewise for the standard frame.
template <typename RawLoss, typename StandardLoss>
Bytes headsetRecording(int seconds, RawLoss lose, StandardLoss loseStandard, bool rawFrames = true) {
    Bytes out;
    const Bytes standard = standardFrame({0x02, 0x00, 0x04, 0x32, 0x05, 0x40});
    const Bytes extended = {0x06, 0x11, 0x07, 0x5A, 0x08, 0x12, 0x03, 0x34, 0x24, 0x05, 0x48};
    for (int second = 0; second < seconds; ++second) {
        for (int k = 0; k < 512; ++k) {
            if (rawFrames) {
                Bytes raw = rawFrame(static_cast<std::uint8_t>(second), static_cast<std::uint8_t>(k));
                const int how = lose(second, k);
                if (how == 1) raw.back() ^= 0x01;
                if (how == 3) raw.erase(raw.begin() + 4);
                if (how != 2) out = cat({out, raw});
            }
            if (k == 255) {
                Bytes s = standard;
                const int how = loseStandard(second);
                if (how == 1) s.back() ^= 0x01;
                if (how != 2) out = cat({out, s, extended});
            }
        }
    }
    if (!rawFrames) out = cat({out, rawFrame(0, 0)});  // closes the last extended frame
    return out;
}

struct ClockCase {
    const char* name;
    Bytes stream;
    std::uint64_t rawMissing, rawMissingMin, irregular;
    std::vector<double> standardTimes;
};

// `stream` with `n` bytes of noise (never AA, so no frame starts in it)
// inserted at `at`.
Bytes withNoise(Bytes stream, std::size_t at, std::size_t n) {
    Bytes noise;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 1103515245u + 12345u;
        const auto byte = static_cast<std::uint8_t>(state >> 24);
        noise.push_back(byte == 0xAA ? 0x55 : byte);
    }
    stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), noise.begin(), noise.end());
    return stream;
}

std::vector<double> halfSeconds(int from, int to, std::vector<int> skip = {}) {
    std::vector<double> t;
    for (int s = from; s < to; ++s)
        if (std::find(skip.begin(), skip.end(), s) == skip.end()) t.push_back(s + 0.5);
    return t;
}

TEST(LossClock, StandardFramesKeepTheirTimesAcrossLosses) {
    auto none = [](int, int) { return 0; };
    auto allStandard = [](int) { return 0; };
    const std::size_t second = 512 * 8 + 36 + 11;
    const std::vector<ClockCase> cases = {
        {"clean", headsetRecording(5, none, allStandard), 0, 0, 0, halfSeconds(0, 5)},
        {"40 raw frames with bad checksums in second 2",
         headsetRecording(5, [](int s, int k) { return s == 2 && k >= 100 && k < 140 ? 1 : 0; }, allStandard), 40,
         40, 0, halfSeconds(0, 5)},
        {"5000 bytes of noise in second 2", withNoise(headsetRecording(5, none, allStandard), 2 * second + 800, 5000),
         0, 0, 0, halfSeconds(0, 5)},
        {"a byte lost in raw frame 2:100 takes the next frame with it",
         headsetRecording(5, [](int s, int k) { return s == 2 && k == 100 ? 3 : 0; }, allStandard), 2, 1, 0,
         halfSeconds(0, 5)},
        // A cadence restart, or a clean cut: no damage shows, nothing is
        // inferred, and the standard frames after it come early.
        {"300 raw frames not sent in second 3",
         headsetRecording(6, [](int s, int k) { return s == 3 && k >= 300 ? 2 : 0; }, allStandard), 0, 0, 1,
         {0.5, 1.5, 2.5, 3.5, 3.5 + 300 / 512.0, 4.5 + 300 / 512.0}},
        {"standard frames 2 and 3 fail their checksum",
         headsetRecording(6, none, [](int s) { return s == 2 || s == 3 ? 1 : 0; }), 0, 0, 0, halfSeconds(0, 6, {2, 3})},
        {"standard frame 2 not sent and 100 raw frames lost around it",
         headsetRecording(5, [](int s, int k) { return s == 2 && k >= 200 && k < 300 ? 2 : 0; },
                          [](int s) { return s == 2 ? 2 : 0; }),
         100, 0, 0, halfSeconds(0, 5, {2})},
        {"no raw frames at all", headsetRecording(4, none, allStandard, false), 3 * 512, 0, 0, {0.0, 1.0, 2.0, 3.0}},
    };
    for (const ClockCase& c : cases) {
        BatchDecoder decoder;
        Batch batch;
        decoder.feed(c.stream.data(), c.stream.size(), batch);
        decoder.finish(batch);
        EXPECT_EQ(decoder.rawMissing(), c.rawMissing) << c.name;
        EXPECT_EQ(decoder.rawMissingMin(), c.rawMissingMin) << c.name;
        EXPECT_EQ(decoder.irregularIntervals(), c.irregular) << c.name;
        std::vector<double> times;
        for (const EegRow& r : batch.eeg) times.push_back(r.time);
        // Without raw frames the first standard frame is the clock's zero.
        EXPECT_EQ(times, c.standardTimes) << c.name;
    }
}

// With damage to show where samples went missing, every decoded raw sample
// keeps its true time.
TEST(LossClock, RawSamplesAfterDamageKeepTheirTimes) {
    // Two stretches of failed raw frames in one gap, one in another.
    auto lose = [](int s, int k) {
        return (s == 1 && k >= 10 && k < 30) || (s == 1 && k >= 100 && k < 103) || (s == 3 && k == 400) ? 1 : 0;
    };
    const Bytes stream = headsetRecording(5, lose, [](int) { return 0; });
    for (std::size_t chunk : {std::size_t{5}, std::size_t{333}, stream.size()}) {
        const Whole all = decodeInChunks(stream, chunk);
        std::vector<double> expected;
        for (int s = 0; s < 5; ++s)
            for (int k = 0; k < 512; ++k)
                if (!lose(s, k)) expected.push_back(s + k / 512.0);
        EXPECT_EQ(all.rawTimes, expected) << "chunks of " << chunk;
    }
}

// Samples lost without a checksum failure to show where (bytes skipped)
// go where that damage was seen.
TEST(LossClock, OtherDamagePlacesTheRestOfTheGap) {
    Bytes stream = headsetRecording(3, [](int s, int k) { return s == 1 && k >= 50 && k < 60 ? 2 : 0; },
                                    [](int) { return 0; });
    // Noise where the ten frames were.
    const std::size_t at = (512 + 50) * 8 + 36 + 11;
    stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), {0x01, 0x02, 0x03});
    const Whole all = decodeInChunks(stream, 100);
    std::vector<double> expected;
    for (int s = 0; s < 3; ++s)
        for (int k = 0; k < 512; ++k)
            if (!(s == 1 && k >= 50 && k < 60)) expected.push_back(s + k / 512.0);
    EXPECT_EQ(all.rawTimes, expected);
}

// Standard frames stop after a damage: a live host gets the samples after
// at most kMaxHeldSamples, and the times stay those of the last tick.
TEST(LossClock, AHoldEndsAfterFourSeconds) {
    Bytes stream = headsetRecording(2, [](int s, int k) { return s == 1 && k == 300 ? 1 : 0; }, [](int) { return 0; });
    for (int k = 0; k < 6 * 512; ++k) stream = cat({stream, rawFrame(0x10, static_cast<std::uint8_t>(k))});
    BatchDecoder decoder;
    Batch batch;
    decoder.feed(stream.data(), stream.size(), batch);
    // Released: everything up to where the hold gave up, and what followed.
    EXPECT_EQ(batch.raw.size(), 2 * 512 - 1 + 6 * 512);
    std::vector<double> times(batch.raw.size());
    fillRawTimes(batch, times.data());
    EXPECT_EQ(times.back(), (2 * 512 - 1 + 6 * 512 - 1) / 512.0);
    EXPECT_EQ(decoder.rawMissing(), 0u);
}

// A link that went away for 2.55 s (raw frames 3:100 to 5:379 and the
// standard frames of seconds 3, 4 and 5 never arrived): told of the gap,
// the clock counts every lost sample and puts them where the link broke.
TEST(LossClock, ALinkGapCountsItsTime) {
    auto gone = [](int s, int k) { return s * 512 + k >= 3 * 512 + 100 && s * 512 + k < 5 * 512 + 380; };
    const Bytes stream = headsetRecording(8, [&](int s, int k) { return gone(s, k) ? 2 : 0; },
                                          [](int s) { return s >= 3 && s <= 5 ? 2 : 0; });
    const std::size_t cut = (3 * 512 + 100) * 8 + 3 * (36 + 11);
    std::vector<double> expected;
    for (int s = 0; s < 8; ++s)
        for (int k = 0; k < 512; ++k)
            if (!gone(s, k)) expected.push_back(s + k / 512.0);
    for (bool told : {false, true}) {
        BatchDecoder decoder;
        Batch batch;
        decoder.feed(stream.data(), cut, batch);
        if (told) decoder.linkGap(1304 / 512.0);
        decoder.feed(stream.data() + cut, stream.size() - cut, batch);
        decoder.finish(batch);
        std::vector<double> times(batch.raw.size());
        fillRawTimes(batch, times.data());
        if (told) {
            EXPECT_EQ(decoder.rawMissing(), 1304u);
            EXPECT_EQ(decoder.rawMissingMin(), 1304u);  // the host's clock measured it
            EXPECT_EQ(times, expected);
            EXPECT_EQ(decoder.linkGaps(), 1u);
        } else {
            // The bytes alone show a fifth of it.
            EXPECT_EQ(decoder.rawMissing(), 280u);
        }
    }
}

TEST(LossClock, GapsInferPeriodsFromSamplesAndBytes) {
    const std::uint64_t period = kBytesPerPeriod;
    const struct {
        std::uint64_t decoded, failed;
        bool other;
        std::uint64_t fragment, bytes;
        bool contactMade;
        std::uint64_t lost, certain, irregular;
    } gaps[] = {
        {512, 0, false, 0, period, false, 0, 0, 0},
        {500, 0, false, 0, period, false, 0, 0, 1},   // no damage: a restart, nothing lost
        {1, 0, false, 0, 0, false, 0, 0, 1},
        {500, 0, true, 0, period, false, 12, 0, 0},   // damage: one period
        {1, 0, true, 0, 0, false, 511, 0, 0},
        {0, 0, false, 0, 47, false, 512, 0, 0},       // no raw frames: one period per standard frame
        {513, 0, false, 0, period + 8, false, 511, 0, 0},  // more than one period's samples
        {600, 0, false, 0, 2 * period, false, 424, 0, 0},
        {1024, 0, false, 0, 2 * period, false, 0, 0, 0},
        {1030, 0, false, 0, 3 * period, false, 506, 0, 0},
        {500, 12, false, 0, period, false, 12, 12, 0},   // failed frames count as seen, and certain
        {500, 30, false, 0, period, false, 524, 30, 0},  // ... and make a second period
        {300, 0, true, 0, 3 * period, false, 1236, 0, 0},  // garbled frames: their bytes rule
        {300, 0, true, 0, 3 * period / 2 - 10, false, 212, 0, 0},
        {300, 0, false, 0, 3 * period, false, 0, 0, 1},    // bytes count only where damage shows
        // Where contact was made, a damaged gap clearly short of a period
        // is a restart: it lost what the evidence shows.
        {300, 2, true, 16, period, true, 4, 2, 1},
        {300, 2, true, 16, period, false, 212, 2, 0},
        {506, 2, true, 0, period, true, 6, 2, 0},  // not clearly short
    };
    for (const auto& g : gaps) {
        LossClock clock;
        clock.standardFrame(1000, 5000);
        clock.damage(g.failed, g.other);
        clock.fragment(g.fragment);
        EXPECT_EQ(clock.standardFrame(1000 + g.decoded, 5000 + g.bytes, g.contactMade), g.lost)
            << g.decoded << " decoded, " << g.failed << " failed, " << g.bytes << " bytes";
        EXPECT_EQ(clock.missing(), g.lost);
        EXPECT_EQ(clock.certain(), g.certain);
        EXPECT_EQ(clock.irregular(), g.irregular);
        // An irregular gap fell short of a period by what it neither decoded nor lost.
        EXPECT_EQ(clock.shortfall(), g.irregular ? 512 - g.decoded - g.lost : 0);
    }
}

}  // namespace
}  // namespace quillmore::testing
