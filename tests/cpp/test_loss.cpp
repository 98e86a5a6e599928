// Loss counters: each kind of damage is counted where it happens, exactly
// once, and the bulk paths of parse() count what byte-by-byte stepping
// counts.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmore/loss.hpp"
#include "quillmore/host/mirror.hpp"
#include "quillmore/parser.hpp"
#include "test_support.hpp"

namespace quillmore::testing {
namespace {

struct Counted {
    std::uint64_t standard = 0, raw = 0, hrv = 0, skipped = 0, dropped = 0, abandoned = 0, cutShort = 0;
};

Counted counted(const LossCounters& c) {
    return {c.standardChecksumFailures, c.rawChecksumFailures, c.hrvChecksumFailures, c.bytesSkipped,
            c.extendedDropped,          c.extendedAbandoned,   c.framesCutShort};
}

std::string show(const Counted& c) {
    return "standard " + std::to_string(c.standard) + ", raw " + std::to_string(c.raw) + ", hrv " +
           std::to_string(c.hrv) + ", skipped " + std::to_string(c.skipped) + ", dropped " +
           std::to_string(c.dropped) + ", abandoned " + std::to_string(c.abandoned) + ", cut short " +
           std::to_string(c.cutShort);
}

enum class Feeding { Whole, Bytewise, Threes };

// Feeds `stream` as `how` says, then ends the input.
LossCounters countLosses(const Bytes& stream, Feeding how) {
    QuillmoreListener quiet;
    QuillmoreParser parser(quiet);
    LossCounters loss;
    parser.setLossCounters(&loss);
    switch (how) {
    case Feeding::Whole:
        parser.parse(stream.data(), stream.size());
        break;
    case Feeding::Bytewise:
        for (std::uint8_t b : stream) host::parseByte(parser, b);
        break;
    case Feeding::Threes:
        for (std::size_t at = 0; at < stream.size(); at += 3)
            parser.parse(stream.data() + at, std::min<std::size_t>(3, stream.size() - at));
        break;
    }
    countEndOfInput(parser, loss);
    return loss;
}

Bytes badChecksum(Bytes frame) {
    if (!frame.empty()) frame.back() ^= 0x01;
    return frame;
}

Bytes badHrv() {
    Bytes f = hrvFrame(800, 850, 900);
    f[3 + 9] ^= 0x01;
    return f;
}

const Bytes kStandard = standardFrame({0x02, 0x00, 0x04, 0x32, 0x05, 0x40});
const Bytes kExtended = {0x06, 0x11, 0x07, 0x5A, 0x08, 0x12, 0x03, 0x34, 0x24, 0x05, 0x48};
const Bytes kRaw = rawFrame(0x01, 0x02);

struct LossCase {
    const char* name;
    Bytes stream;
    Counted expected;
};

Bytes longExtended(std::size_t extra) {
    Bytes b{0x06};
    b.resize(1 + extra, 0x11);
    return b;
}

const std::vector<LossCase>& lossCases() {
    static const std::vector<LossCase> cases = {
        {"a clean stream of every kind",
         cat({kRaw, kStandard, kExtended, kRaw, gyroFrame(1, 2, 3), hrvFrame(800, 850, 900), kRaw}),
         {}},
        {"raw checksum", cat({kRaw, badChecksum(kRaw), kRaw}), {0, 1}},
        {"standard checksum; its extended frame is still taken", cat({badChecksum(kStandard), kExtended, kRaw}),
         {1}},
        {"heart-rate-variability checksum", cat({kRaw, badHrv(), kRaw}), {0, 0, 1}},
        {"noise before a frame", cat({{0x01, 0x02, 0x03}, kRaw}), {0, 0, 0, 3}},
        {"AA then neither AA nor BB", cat({{0xAA, 0x01}, kRaw}), {0, 0, 0, 2}},
        {"AA AA then an unknown length byte", cat({{0xAA, 0xAA, 0x99}, kRaw}), {0, 0, 0, 3}},
        // The third AA is read as the length byte; the 20 and the frame's
        // bytes are then hunted over (none of them is AA).
        {"AA AA AA 20 loses the standard frame after it", cat({{0xAA}, kStandard, kRaw}),
         {0, 0, 0, 3 + 34}},
        {"stray bytes after a standard frame", cat({kStandard, {0x01, 0x02}, kRaw}), {0, 0, 0, 2}},
        {"bytes before an HRV length byte", cat({{0xAA, 0xBB, 0x01, 0x02}, slice(hrvFrame(1, 2, 3), 2), kRaw}),
         {0, 0, 0, 2}},
        // 06 and 1023 bytes fill the buffer; the 1025th byte drops the frame
        // and is hunted over with the 76 after it.
        {"extended frame past the buffer", cat({kStandard, longExtended(1100), kRaw}), {0, 0, 0, 77, 1}},
        {"extended frame ended by AA BB", cat({kStandard, {0x06, 0x11}, hrvFrame(1, 2, 3), kRaw}),
         {0, 0, 0, 0, 0, 1}},
        {"raw frame cut short by the end", cat({kRaw, slice(kRaw, 0, 5)}), {0, 0, 0, 0, 0, 0, 1}},
        {"HRV header at the end", cat({kRaw, {0xAA, 0xBB}}), {0, 0, 0, 0, 0, 0, 1}},
        {"extended frame open at the end", cat({kStandard, kExtended}), {0, 0, 0, 0, 0, 0, 1}},
        {"a lone AA at the end", cat({kRaw, {0xAA}}), {0, 0, 0, 1}},
    };
    return cases;
}

TEST(LossCounters, EachDamageCountedOnceWhateverTheFeeding) {
    for (const LossCase& c : lossCases()) {
        for (Feeding how : {Feeding::Whole, Feeding::Bytewise, Feeding::Threes}) {
            EXPECT_EQ(show(counted(countLosses(c.stream, how))), show(c.expected))
                << c.name << " (feeding " << static_cast<int>(how) << ")";
        }
    }
}

// The bulk paths of parse() (memchr hunting, whole-frame copies) must count
// what the byte-by-byte machine counts, on streams with every kind of damage.
TEST(LossCounters, BulkPathsCountAsSteppingDoes) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        StreamGenerator generator(seed);
        const Bytes stream = generator.generate(20000);
        const std::string whole = show(counted(countLosses(stream, Feeding::Whole)));
        EXPECT_EQ(whole, show(counted(countLosses(stream, Feeding::Bytewise)))) << "seed " << seed;
        EXPECT_EQ(whole, show(counted(countLosses(stream, Feeding::Threes)))) << "seed " << seed;
    }
}

}  // namespace
}  // namespace quillmore::testing
