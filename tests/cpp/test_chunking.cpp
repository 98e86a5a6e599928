// The host reads the serial link in whatever pieces it gets.  A long mixed
// stream must decode the same however it is cut: whole, byte by byte, or in
// random chunks (empty and one-byte ones included).
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "case_documents.hpp"
#include "quillmore/host/mirror.hpp"
#include "test_support.hpp"

namespace quillmore::testing {
namespace {

struct Outcome {
    std::vector<std::string> log;  // deliveries and the closing state line
    Bytes payload;                 // the whole buffer: stale cells matter later
};

Outcome feed(const Bytes& stream, const std::vector<std::size_t>& chunkSizes) {
    LogListener log;
    QuillmoreParser parser(log);
    std::size_t at = 0;
    for (std::size_t size : chunkSizes) {
        const ParseResult r = parser.parse(stream.data() + at, size);
        if (!r.ok() || r.consumed != size) log.lines.push_back("stopped at " + std::to_string(at + r.consumed));
        at += size;
    }
    if (at != stream.size()) log.lines.push_back("chunks do not cover the stream");
    return {finalLog(log, parser), Bytes(host::payload(parser), host::payload(parser) + host::payloadSize(parser))};
}

Outcome feedBytewise(const Bytes& stream) {
    LogListener log;
    QuillmoreParser parser(log);
    for (std::uint8_t b : stream) {
        if (host::parseByte(parser, b) != Status::Ok) log.lines.push_back("parseByte failed");
    }
    return {finalLog(log, parser), Bytes(host::payload(parser), host::payload(parser) + host::payloadSize(parser))};
}

// Chunk sizes covering `total`: many empty and one-byte chunks, some the
// size of a frame, some long enough for the bulk paths.
std::vector<std::size_t> randomChunks(StreamGenerator& gen, std::size_t total) {
    std::vector<std::size_t> sizes;
    std::size_t left = total;
    while (left > 0) {
        std::size_t n;
        switch (gen.below(6)) {
        case 0: n = 0; break;
        case 1: n = 1; break;
        case 2: n = 2 + gen.below(7); break;
        case 3: n = 9 + gen.below(40); break;
        default: n = 50 + gen.below(2000); break;
        }
        n = std::min(n, left);
        sizes.push_back(n);
        left -= n;
    }
    sizes.push_back(0);
    return sizes;
}

void expectSame(const Outcome& want, const Outcome& got, const std::string& how) {
    ASSERT_EQ(want.log.size(), got.log.size()) << how;
    for (std::size_t i = 0; i < want.log.size(); ++i) ASSERT_EQ(want.log[i], got.log[i]) << how << ", line " << i;
    EXPECT_TRUE(want.payload == got.payload) << how << ": payload buffers differ";
}

TEST(Chunking, MixedStreamDecodesTheSameHoweverItIsCut) {
    for (std::uint32_t seed : {1u, 2u, 3u, 20240601u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        StreamGenerator gen(seed);
        const Bytes stream = gen.generate(60000);
        const Outcome whole = feed(stream, {stream.size()});

        // The stream must exercise every kind of delivery, or the
        // comparison below proves little.
        std::map<std::string, int> kinds;
        for (const std::string& line : whole.log) ++kinds[line.substr(0, line.find(' '))];
        for (const char* kind : {"eeg", "extend", "raw", "gyro", "rr"}) EXPECT_GE(kinds[kind], 20) << kind;

        expectSame(whole, feedBytewise(stream), "parseByte");
        std::vector<std::size_t> ones(stream.size(), 1);
        expectSame(whole, feed(stream, ones), "one byte per call");
        for (int round = 0; round < 20; ++round) {
            expectSame(whole, feed(stream, randomChunks(gen, stream.size())), "random chunks, round " + std::to_string(round));
        }
    }
}

// A listener that changes the parser from its callbacks: moves the state or
// offset, switches buffers, scribbles into the buffer, feeds more bytes, or
// fails.  What it does is drawn from its own seeded generator, so two runs
// that deliver the same things meddle the same way.
class MeddlingListener : public LogListener {
public:
    MeddlingListener() : rng_(77), other_(2048, 0x00), extra_(StreamGenerator(78).generate(4000)) {}

    bool eeg_callback(const QuillmoreData& r, FrameView frame) override { return LogListener::eeg_callback(r, frame) && meddle(); }
    bool extend_eeg_callback(const QuillmoreExtendData& r, FrameView frame) override {
        return LogListener::extend_eeg_callback(r, frame) && meddle();
    }
    bool gyro_callback(int x, int y, int z, FrameView frame) override { return LogListener::gyro_callback(x, y, z, frame) && meddle(); }
    bool rr_callback(int a, int b, int c, FrameView frame) override { return LogListener::rr_callback(a, b, c, frame) && meddle(); }
    bool raw_callback(int raw, FrameView frame) override { return LogListener::raw_callback(raw, frame) && meddle(); }

    QuillmoreParser* parser = nullptr;
    std::uint8_t* ownPayload = nullptr;

private:
    bool meddle() {
        if (depth_ > 0) return true;
        switch (rng_.below(12)) {
        case 0: host::setByteOffset(*parser, static_cast<std::int64_t>(rng_.below(46)) - 5); break;
        case 1: host::setState(*parser, 1 + static_cast<int>(rng_.below(11))); break;
        case 2:
            if (host::payload(*parser) == ownPayload) {
                host::setPayload(*parser, other_.data(), other_.size());
            } else {
                host::setPayload(*parser, ownPayload, QuillmoreParser::kPayloadSize);
            }
            break;
        case 3: host::payload(*parser)[rng_.below(64)] = rng_.byte(); break;
        case 4: {
            const std::size_t from = rng_.below(static_cast<unsigned>(extra_.size() - 64));
            ++depth_;
            const ParseResult r = parser->parse(extra_.data() + from, rng_.below(64));
            --depth_;
            if (!r.ok()) lines.push_back("inner parse stopped");
            break;
        }
        case 5: lines.push_back("fail"); return false;
        default: break;
        }
        return true;
    }

    StreamGenerator rng_;
    Bytes other_;
    Bytes extra_;
    int depth_ = 0;
};

TEST(Chunking, ListenersThatChangeTheParserSeeTheSameMachine) {
    // parse() may work on copies of the parser's state between deliveries,
    // but whatever a callback changes must hold from the very next byte, as
    // it does with parseByte().
    StreamGenerator gen(31);
    const Bytes stream = gen.generate(40000);

    auto run = [&](bool bytewise, std::uint32_t chunkSeed) {
        MeddlingListener log;
        QuillmoreParser parser(log);
        log.parser = &parser;
        log.ownPayload = host::payload(parser);
        if (bytewise) {
            for (std::uint8_t b : stream) host::parseByte(parser, b);
        } else {
            StreamGenerator chunks(chunkSeed);
            std::size_t at = 0;
            for (std::size_t size : randomChunks(chunks, stream.size())) {
                const std::size_t stop = at + size;
                while (at < stop) {  // after a failure the host goes on with the rest
                    at += parser.parse(stream.data() + at, stop - at).consumed;
                }
            }
        }
        return finalLog(log, parser);
    };

    const std::vector<std::string> want = run(true, 0);
    std::size_t fails = 0;
    for (const std::string& line : want) fails += line == "fail";
    EXPECT_GT(fails, 50u);
    for (std::uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
        const std::vector<std::string> got = run(false, seed);
        ASSERT_EQ(got.size(), want.size()) << "chunk seed " << seed;
        for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "chunk seed " << seed << ", line " << i;
    }
}

TEST(Chunking, StoresNextByteTellsWhichBytesAreStored) {
    // A host that must convert a value before the parser stores it relies on
    // storesNextByte(): checked against what each byte actually does.
    StreamGenerator gen(5);
    const Bytes stream = gen.generate(30000);
    LogListener log;
    QuillmoreParser parser(log);
    Bytes before(host::payloadSize(parser));
    int stores = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const std::uint8_t b = stream[i];
        const bool predicted = host::storesNextByte(parser);
        const int state = parser.state();
        const auto offset = static_cast<std::size_t>(parser.byteOffset());
        std::memcpy(before.data(), host::payload(parser), before.size());
        // Make a store of b visible even where the cell already holds b.
        if (offset < before.size()) host::payload(parser)[offset] = before[offset] = static_cast<std::uint8_t>(~b);
        ASSERT_EQ(host::parseByte(parser, b), Status::Ok);
        for (std::size_t k = 0; k < before.size(); ++k) {
            const bool changed = host::payload(parser)[k] != before[k];
            const bool expected = (predicted && k == offset) || (state == 5 && b == 0x06 && k == 0 && before[0] != 6);
            ASSERT_EQ(changed, expected) << "byte " << i << " in state " << state << ", cell " << k;
        }
        stores += predicted;
    }
    EXPECT_GT(stores, 10000);
}

}  // namespace
}  // namespace quillmore::testing
