// Loss counters: the bulk paths of parse() count what byte-by-byte stepping
// counts.  (What each kind of damage counts is in tests/cases/loss.txt.)
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
