// The frame machine's behaviour around its edges: failures that stop a parse
// call, host-set offsets outside the buffer, other payload buffers, input
// that aliases the buffer, and callbacks that feed the parser again.  (What
// a host-set state, offset or payload does to a stream, and parsers fed in
// turn, are in the test documents: tests/cases/host.txt and the runners.)
#include <cstring>

#include <gtest/gtest.h>

#include "case_documents.hpp"
#include "quillmore/host/mirror.hpp"
#include "test_support.hpp"

namespace quillmore::testing {
namespace {

using Log = std::vector<std::string>;

const Bytes kRaw5 = rawFrame(0x00, 0x05);

// A standard payload with every row: signal 51, attention 60, meditation 80.
Bytes fullPayload() {
    return {0x02, 0x33, 0x83, 0x18, 0x01, 0x02, 0x03, 0x00, 0x00, 0x10, 0x00, 0x12, 0x34, 0x01, 0x00, 0x00,
            0x00, 0x00, 0x00, 0x7F, 0x00, 0x01, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0x04, 0x3C, 0x05, 0x50};
}
const std::string kEeg =
    "eeg signal=51 attention=60 meditation=80 delta=66051 theta=16 lowAlpha=4660 highAlpha=65536 lowBeta=0 "
    "highBeta=8323073 lowGamma=65280 highGamma=16777215";
const std::string kExtAp17 = "extend ap=17 battery=0 version=0.0 gnaw=0 temperature=0.0 heart=0";

Log runParseByte(const Bytes& input, QuillmoreParser& parser, LogListener& log) {
    for (std::uint8_t b : input) {
        if (host::parseByte(parser, b) != Status::Ok) log.lines.push_back("failed");
    }
    return finalLog(log, parser);
}

Log runParse(const Bytes& input, QuillmoreParser& parser, LogListener& log) {
    const ParseResult r = parser.parse(input.data(), input.size());
    if (!r.ok()) log.lines.push_back("failed");
    return finalLog(log, parser);
}

Log run(bool bytewise, const Bytes& input, QuillmoreParser& parser, LogListener& log) {
    return bytewise ? runParseByte(input, parser, log) : runParse(input, parser, log);
}

// ------------------------------------------------------------ failures that stop a call

enum class Kind { Eeg, Extend, Gyro, Rr, Raw };

// Logs every delivery; the first delivery of kind `failOn` reports failure.
class FailOnceListener : public LogListener {
public:
    explicit FailOnceListener(Kind failOn) : failOn_(failOn) {}
    bool eeg_callback(const QuillmoreData& r, FrameView frame) override { return LogListener::eeg_callback(r, frame) && pass(Kind::Eeg); }
    bool extend_eeg_callback(const QuillmoreExtendData& r, FrameView frame) override {
        return LogListener::extend_eeg_callback(r, frame) && pass(Kind::Extend);
    }
    bool gyro_callback(int x, int y, int z, FrameView frame) override { return LogListener::gyro_callback(x, y, z, frame) && pass(Kind::Gyro); }
    bool rr_callback(int a, int b, int c, FrameView frame) override { return LogListener::rr_callback(a, b, c, frame) && pass(Kind::Rr); }
    bool raw_callback(int raw, FrameView frame) override { return LogListener::raw_callback(raw, frame) && pass(Kind::Raw); }

private:
    bool pass(Kind kind) {
        if (kind != failOn_ || failed_) return true;
        failed_ = true;
        return false;
    }
    Kind failOn_;
    bool failed_ = false;
};

struct FailureCase {
    const char* name;
    Kind failOn;
    Bytes stream;
    std::size_t failAt;     // index of the byte whose delivery fails
    std::size_t delivered;  // deliveries up to and including the failed one
    const char* stateThen;  // state and offset left by the failure
    Log log;                // everything delivered, the failed delivery included, after resuming
};

std::vector<FailureCase> failureCases() {
    const Bytes std1 = standardFrame(fullPayload());
    const Bytes gyro = gyroFrame(1, 2, 3);
    const Bytes hrv = hrvFrame(800, 850, 900);
    return {
        {"raw callback", Kind::Raw, cat({gyro, rawFrame(0, 7), kRaw5}), 18, 2, "state 1 offset 5",
         {"gyro 1 2 3", "raw 7", "raw 5"}},
        {"gyro callback", Kind::Gyro, cat({kRaw5, gyro, kRaw5}), 18, 2, "state 1 offset 8",
         {"raw 5", "gyro 1 2 3", "raw 5"}},
        // State 5 remains, so an extended frame may still follow.
        {"eeg callback", Kind::Eeg, cat({std1, {0x06, 0x11, 0xAA, 0xAA}, {0x04, 0x00, 0x00, 0x00, 0x05, 0xFA}}), 35, 1,
         "state 5 offset 33", {kEeg, kExtAp17, "raw 5"}},
        {"rr callback", Kind::Rr, cat({hrv, kRaw5}), 15, 1, "state 1 offset 13", {"rr 800 850 900", "raw 5"}},
        // State 3: the length byte of the next frame comes next, and the
        // extended frame is not delivered again.
        {"extended callback", Kind::Extend, cat({std1, {0x06, 0x11, 0xAA, 0xAA}, {0x04, 0x00, 0x00, 0x00, 0x05, 0xFA}}),
         39, 2, "state 3 offset 3", {kEeg, kExtAp17, "raw 5"}},
    };
}

TEST(CallbackFailure, StopsAtThatByteAndResumes) {
    for (const FailureCase& c : failureCases()) {
        SCOPED_TRACE(c.name);
        // One call with everything; then the rest of the input.
        FailOnceListener log(c.failOn);
        QuillmoreParser parser(log);
        const ParseResult first = parser.parse(c.stream.data(), c.stream.size());
        EXPECT_EQ(first.status, Status::CallbackFailed);
        EXPECT_EQ(first.consumed, c.failAt + 1);
        EXPECT_EQ(formatState(parser), c.stateThen);
        EXPECT_EQ(log.lines, Log(c.log.begin(), c.log.begin() + static_cast<std::ptrdiff_t>(c.delivered)));
        const ParseResult rest = parser.parse(c.stream.data() + first.consumed, c.stream.size() - first.consumed);
        EXPECT_TRUE(rest.ok());
        EXPECT_EQ(log.lines, c.log) << describeLogs(c.log, log.lines);

        // Byte by byte: the same byte fails, and going on gives the same log.
        FailOnceListener bytewise(c.failOn);
        QuillmoreParser again(bytewise);
        for (std::size_t i = 0; i < c.stream.size(); ++i) {
            const Status s = host::parseByte(again, c.stream[i]);
            EXPECT_EQ(s, i == c.failAt ? Status::CallbackFailed : Status::Ok) << "byte " << i;
            if (i == c.failAt) {
                EXPECT_EQ(formatState(again), c.stateThen);
            }
        }
        EXPECT_EQ(bytewise.lines, c.log);

        // The frame that fails arrives in a chunk of its own start.
        FailOnceListener split(c.failOn);
        QuillmoreParser third(split);
        const std::size_t cut = c.failAt - 2;
        ASSERT_TRUE(third.parse(c.stream.data(), cut).ok());
        const ParseResult r = third.parse(c.stream.data() + cut, c.stream.size() - cut);
        EXPECT_EQ(r.status, Status::CallbackFailed);
        EXPECT_EQ(r.consumed, c.failAt + 1 - cut);
    }
}

TEST(DecoderFailure, ShortBufferStopsTheCallInTheDecodersState) {
    // A standard frame whose band row at index 30 reaches index 55, in a
    // 40-byte buffer: the decoder fails on the checksum byte and state 5
    // remains.
    {
        Bytes payload(30, 0x00);
        payload.insert(payload.end(), {0x83, 0x18});
        const Bytes stream = cat({standardFrame(payload), {0x06, 0x11, 0xAA, 0xAA, 0x55}});
        LogListener log;
        std::uint8_t cells[40] = {};
        QuillmoreParser parser(log, cells, sizeof cells);
        const ParseResult r = parser.parse(stream.data(), stream.size());
        EXPECT_EQ(r.status, Status::IndexOutOfRange);
        EXPECT_EQ(r.consumed, 36u);
        EXPECT_EQ(formatState(parser), "state 5 offset 33");
        EXPECT_TRUE(parser.parse(stream.data() + r.consumed, stream.size() - r.consumed).ok());
        EXPECT_EQ(finalLog(log, parser), (Log{kExtAp17, "state 1 offset 3"}));
    }
    // An extended frame with row 08 at index 11 in a 13-byte buffer: the
    // decoder fails on the closing AA AA, in state 3 (the frame is over).
    {
        const Bytes stream{0x06, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x08, 0xAA, 0xAA, 0x20};
        LogListener log;
        std::uint8_t cells[13] = {};
        QuillmoreParser parser(log, cells, sizeof cells);
        host::setState(parser, State::AfterStandard);
        const ParseResult r = parser.parse(stream.data(), stream.size());
        EXPECT_EQ(r.status, Status::IndexOutOfRange);
        EXPECT_EQ(r.consumed, 14u);
        EXPECT_EQ(formatState(parser), "state 3 offset 13");
        EXPECT_TRUE(log.lines.empty());
    }
}

// ------------------------------------------------------------ state 5

// After a standard frame the machine skips to the first 06 (an extended
// frame) or AA (the next sync byte), whatever lies between; parse() looks for
// them a vector register at a time where the target has one, so every
// distance from the frame and every position within a block is tried, whole
// and byte by byte.
TEST(AfterStandard, SkipsAnyRunOfOtherBytes) {
    const Bytes std1 = standardFrame(fullPayload());
    for (std::size_t gap = 0; gap <= 50; ++gap) {
        Bytes noise;
        for (std::size_t i = 0; i < gap; ++i) {
            const auto b = static_cast<std::uint8_t>(i * 37 + 1);
            noise.push_back(b == 0x06 || b == 0xAA ? 0x55 : b);
        }
        const struct {
            Bytes stream;
            Log log;
        } cases[] = {
            {cat({std1, noise, {0x06, 0x11, 0xAA, 0xAA}, {0x04, 0x00, 0x00, 0x00, 0x05, 0xFA}}),
             {kEeg, kExtAp17, "raw 5", "state 1 offset 5"}},
            {cat({std1, noise, kRaw5}), {kEeg, "raw 5", "state 1 offset 5"}},
        };
        for (const auto& c : cases) {
            for (bool bytewise : {false, true}) {
                SCOPED_TRACE("gap " + std::to_string(gap) + (bytewise ? ", byte by byte" : ", whole"));
                LogListener log;
                QuillmoreParser parser(log);
                EXPECT_EQ(run(bytewise, c.stream, parser, log), c.log);
            }
        }
    }
}

// ------------------------------------------------------------ host-set state and offset

TEST(HostSetOffset, OutsideTheBufferFailsAndChangesNothing) {
    struct Case {
        State state;
        std::int64_t offset;
    };
    const Case table[] = {{State::CollectStandard, 1024}, {State::CollectRaw, 5000},  {State::CollectGyro, -1025},
                          {State::CollectHrv, 1024},      {State::CollectExtended, -1025}};
    const Bytes input{0x01, 0x02, 0x03};
    for (const Case& c : table) {
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(c.state)) + " " + std::to_string(c.offset));
            LogListener log;
            QuillmoreParser parser(log);
            host::setState(parser, c.state);
            host::setByteOffset(parser, c.offset);
            if (bytewise) {
                EXPECT_EQ(host::parseByte(parser, input[0]), Status::IndexOutOfRange);
            } else {
                const ParseResult r = parser.parse(input.data(), input.size());
                EXPECT_EQ(r.status, Status::IndexOutOfRange);
                EXPECT_EQ(r.consumed, 1u);
            }
            EXPECT_EQ(parser.state(), static_cast<int>(c.state));
            EXPECT_EQ(parser.byteOffset(), c.offset);
            // Stuck: the next byte fails the same way.
            EXPECT_EQ(host::parseByte(parser, input[1]), Status::IndexOutOfRange);
        }
    }
}

// ------------------------------------------------------------ other payload buffers

TEST(ExternalPayload, TheBufferLengthBoundsExtendedFrames) {
    for (std::size_t size : {std::size_t{64}, std::size_t{2048}}) {
        SCOPED_TRACE(size);
        std::vector<std::uint8_t> cells(size, 0);
        const Bytes head = cat({standardFrame(fullPayload()), {0x06}});
        // Exactly filling the buffer: decoded.
        {
            LogListener log;
            QuillmoreParser parser(log, cells.data(), cells.size());
            const Bytes stream = cat({head, Bytes(size - 2, 0x11), {0xAA, 0xAA}, slice(kRaw5, 2)});
            EXPECT_TRUE(parser.parse(stream.data(), stream.size()).ok());
            EXPECT_EQ(finalLog(log, parser),
                      (Log{kEeg, "extend ap=17 battery=0 version=0.0 gnaw=0 temperature=0.0 heart=0", "raw 5",
                           "state 1 offset 5"}));
            EXPECT_EQ(cells[size - 1], 0xAA);
        }
        // One byte more: dropped, and the AA that finds the buffer full
        // starts the next frame.
        {
            LogListener log;
            QuillmoreParser parser(log, cells.data(), cells.size());
            const Bytes stream = cat({head, Bytes(size - 1, 0x11), kRaw5});
            EXPECT_TRUE(parser.parse(stream.data(), stream.size()).ok());
            EXPECT_EQ(finalLog(log, parser), (Log{kEeg, "raw 5", "state 1 offset 5"}));
        }
    }
}

TEST(ExternalPayload, FramesLargerThanTheBufferFail) {
    std::uint8_t cells[4] = {};
    LogListener log;
    QuillmoreParser parser(log, cells, sizeof cells);
    const ParseResult r = parser.parse(kRaw5.data(), kRaw5.size());
    EXPECT_EQ(r.status, Status::IndexOutOfRange);
    EXPECT_EQ(r.consumed, kRaw5.size());
    EXPECT_EQ(formatState(parser), "state 6 offset 4");
    EXPECT_EQ(cells[3], 0x05);
}

// ------------------------------------------------------------ aliasing

TEST(Aliasing, InputInsideThePayloadBufferActsLikeParseByte) {
    // The host may hand the parser bytes that live in its own payload buffer.
    // Each byte must be read when its turn comes, after the stores of the
    // bytes before it, exactly as parseByte reading the cell would.
    StreamGenerator gen(11);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        const Bytes content = gen.generate(1100);
        const std::size_t from = gen.below(900);
        const std::size_t length = gen.below(static_cast<unsigned>(1024 - from));
        const int state = 1 + static_cast<int>(gen.below(11));
        const std::int64_t offset = gen.below(3) == 0 ? static_cast<std::int64_t>(from) + gen.below(40) : gen.below(60);

        LogListener logA, logB;
        QuillmoreParser a(logA), b(logB);
        for (QuillmoreParser* p : {&a, &b}) {
            std::memcpy(host::payload(*p), content.data(), 1024);
            host::setState(*p, state);
            host::setByteOffset(*p, offset);
        }
        const ParseResult r = a.parse(host::payload(a) + from, length);
        Status last = Status::Ok;
        std::size_t consumed = 0;
        while (consumed < length && last == Status::Ok) last = host::parseByte(b, host::payload(b)[from + consumed++]);
        EXPECT_EQ(r.status, last);
        EXPECT_EQ(r.consumed, consumed);
        EXPECT_EQ(finalLog(logA, a), finalLog(logB, b));
        EXPECT_EQ(std::memcmp(host::payload(a), host::payload(b), 1024), 0);
    }
}

// ------------------------------------------------------------ re-entrant callbacks

// On its first delivery of kind `on`, feeds `inner` to the same parser.
class FeedingListener : public LogListener {
public:
    FeedingListener(Kind on, Bytes inner) : on_(on), inner_(std::move(inner)) {}
    bool eeg_callback(const QuillmoreData& r, FrameView frame) override { return LogListener::eeg_callback(r, frame) && feed(Kind::Eeg); }
    bool extend_eeg_callback(const QuillmoreExtendData& r, FrameView frame) override {
        return LogListener::extend_eeg_callback(r, frame) && feed(Kind::Extend);
    }
    bool gyro_callback(int x, int y, int z, FrameView frame) override { return LogListener::gyro_callback(x, y, z, frame) && feed(Kind::Gyro); }
    bool rr_callback(int a, int b, int c, FrameView frame) override { return LogListener::rr_callback(a, b, c, frame) && feed(Kind::Rr); }
    bool raw_callback(int raw, FrameView frame) override { return LogListener::raw_callback(raw, frame) && feed(Kind::Raw); }

    QuillmoreParser* parser = nullptr;

private:
    bool feed(Kind kind) {
        if (kind != on_ || fed_) return true;
        fed_ = true;
        return parser->parse(inner_.data(), inner_.size()).ok();
    }
    Kind on_;
    Bytes inner_;
    bool fed_ = false;
};

TEST(Reentrancy, BytesFedFromACallbackComeRightAfterTheFrame) {
    // The machine is done with a raw, gyro, HRV or standard frame before it
    // calls back, so bytes fed from the callback act as if they followed the
    // frame in the stream, and the outer call goes on from there.
    struct Case {
        const char* name;
        Kind on;
        Bytes outer;
        std::size_t frameEnd;  // bytes up to the delivery
        Bytes inner;
    };
    const Bytes std1 = standardFrame(fullPayload());
    const Case table[] = {
        {"raw, inner opens a gyroscope frame", Kind::Raw, cat({kRaw5, {0x00, 0x02, 0x00, 0x03, 0x00}, kRaw5}), 8,
         {0xAA, 0xAA, 0x07, 0x00, 0x00, 0x01}},
        {"gyro, inner holds a whole frame", Kind::Gyro, cat({gyroFrame(1, 2, 3), kRaw5}), 11, rawFrame(0x12, 0x34)},
        {"eeg, inner opens an extended frame", Kind::Eeg, cat({std1, {0x07, 0x5A, 0xAA, 0xAA}, slice(kRaw5, 2)}),
         36, {0x06, 0x11}},
        {"eeg, inner feeds a standard frame into the callback again", Kind::Eeg, cat({std1, kRaw5}), 36, std1},
        {"rr, inner opens a standard frame", Kind::Rr, cat({hrvFrame(1, 2, 3), slice(fullPayload(), 5), {0xC1}}), 16,
         cat({{0xAA, 0xAA, 0x20}, slice(fullPayload(), 0, 5)})},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        LogListener flatLog;
        QuillmoreParser flat(flatLog);
        const Bytes joined = cat({slice(c.outer, 0, c.frameEnd), c.inner, slice(c.outer, c.frameEnd)});
        ASSERT_TRUE(flat.parse(joined.data(), joined.size()).ok());
        const Log want = finalLog(flatLog, flat);
        ASSERT_GE(want.size(), 3u);

        for (bool bytewise : {false, true}) {
            FeedingListener log(c.on, c.inner);
            QuillmoreParser parser(log);
            log.parser = &parser;
            const Log got = run(bytewise, c.outer, parser, log);
            EXPECT_EQ(got, want) << (bytewise ? "parseByte\n" : "parse\n") << describeLogs(want, got);
        }
    }
}

TEST(Reentrancy, ExtendedCallbackThatFeedsTheNextFrameLosesNothing) {
    // The extended frame is over when it is delivered (the AA AA that ended
    // it opens the next frame), so a callback that feeds the next frame's
    // length byte and body leaves the parser where the outer call's next
    // frame can follow.
    const Bytes outer = cat({standardFrame(fullPayload()), {0x06, 0x11, 0xAA, 0xAA}, kRaw5});
    for (bool bytewise : {false, true}) {
        FeedingListener log(Kind::Extend, {0x04, 0x00, 0x00, 0x00, 0x07, 0xF8});
        QuillmoreParser parser(log);
        log.parser = &parser;
        const Log got = run(bytewise, outer, parser, log);
        EXPECT_EQ(got, (Log{kEeg, kExtAp17, "raw 7", "raw 5", "state 1 offset 5"}));
    }
}

}  // namespace
}  // namespace quillmore::testing
