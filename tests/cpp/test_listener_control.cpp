// What a listener can ask of the parser beyond results: pausing a parse call,
// and knowing in advance what a byte will assign.
#include <algorithm>

#include <gtest/gtest.h>

#include "case_documents.hpp"
#include "quillmore/host/mirror.hpp"
#include "quillmore/parser.hpp"
#include "test_support.hpp"

namespace quillmore::testing {
namespace {

// Pauses after every raw sample it is given.
struct PausingListener : QuillmoreListener {
    QuillmoreParser* parser = nullptr;
    std::vector<int> samples;
    bool raw_callback(int raw, FrameView) override {
        samples.push_back(raw);
        parser->pause();
        return true;
    }
};

TEST(Pause, ReturnsAfterTheDeliveryAndResumesWhereItStopped) {
    PausingListener listener;
    QuillmoreParser parser(listener);
    listener.parser = &parser;
    const Bytes stream = cat({rawFrame(0, 1), {0x00}, rawFrame(0, 2), rawFrame(0, 3)});

    std::size_t done = 0;
    std::vector<std::size_t> stops;
    while (done < stream.size()) {
        const ParseResult r = parser.parse(stream.data() + done, stream.size() - done);
        done += r.consumed;
        stops.push_back(done);
        if (r.status == Status::Ok) break;
        ASSERT_EQ(r.status, Status::Paused);
    }
    EXPECT_EQ(listener.samples, (std::vector<int>{1, 2, 3}));
    // Each pause lands right after the frame's checksum byte.
    EXPECT_EQ(stops, (std::vector<std::size_t>{8, 17, 25}));
    EXPECT_EQ(parser.state(), 1);
}

TEST(Pause, OutsideAParseCallChangesNothing) {
    QuillmoreListener quiet;
    QuillmoreParser parser(quiet);
    parser.pause();
    const Bytes frame = rawFrame(0, 1);
    const ParseResult r = parser.parse(frame.data(), frame.size());
    EXPECT_EQ(r.status, Status::Ok);
    EXPECT_EQ(r.consumed, frame.size());
}

// A listener that feeds the same parser from inside its callback.  On the
// outer call's first raw sample it may pause, then feeds `inner`; the
// inner call's own sample may pause and fail.
struct NestingListener : QuillmoreListener {
    QuillmoreParser* parser = nullptr;
    bool pauseBeforeFeeding = false;
    bool innerPausesAndFails = false;
    std::vector<int> samples;
    ParseResult innerResult;
    int depth = 0;

    bool raw_callback(int raw, FrameView) override {
        samples.push_back(raw);
        if (depth > 0) {
            if (!innerPausesAndFails) return true;
            parser->pause();
            return false;
        }
        if (samples.size() > 1) return true;
        if (pauseBeforeFeeding) parser->pause();
        const Bytes inner = rawFrame(0, 9);
        ++depth;
        innerResult = parser->parse(inner.data(), inner.size());
        --depth;
        return true;
    }
};

TEST(Pause, BelongsToTheParseCallWhoseListenerAskedForIt) {
    // Found by the fuzz target: the request was one flag for all nested
    // calls, so an inner call's leftover request paused the outer call, and
    // an inner call dropped the request that the outer listener had made.
    struct Case {
        const char* name;
        bool pauseBeforeFeeding;
        bool innerPausesAndFails;
        Status inner;
        Status outer;
        std::size_t consumed;
        std::vector<int> samples;
    };
    const Case table[] = {
        {"inner call fails with a pause pending", false, true, Status::CallbackFailed, Status::Ok, 16, {1, 9, 2}},
        {"outer listener pauses, then feeds", true, false, Status::Ok, Status::Paused, 8, {1, 9}},
        {"both", true, true, Status::CallbackFailed, Status::Paused, 8, {1, 9}},
    };
    const Bytes stream = cat({rawFrame(0, 1), rawFrame(0, 2)});
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        NestingListener listener;
        QuillmoreParser parser(listener);
        listener.parser = &parser;
        listener.pauseBeforeFeeding = c.pauseBeforeFeeding;
        listener.innerPausesAndFails = c.innerPausesAndFails;
        const ParseResult r = parser.parse(stream.data(), stream.size());
        EXPECT_EQ(listener.innerResult.status, c.inner);
        EXPECT_EQ(r.status, c.outer);
        EXPECT_EQ(r.consumed, c.consumed);
        EXPECT_EQ(listener.samples, c.samples);
    }
}

// assignmentsOf() must foresee every change that parseByte() makes; it also
// names assignments that keep the value (the length byte resets an offset
// that may already be 0), which the table below checks.
TEST(AssignmentsOf, ForeseesEveryChangeOfStateAndOffset) {
    QuillmoreListener quiet;
    StreamGenerator gen(7);
    const Bytes stream = gen.generate(200000);
    QuillmoreParser parser(quiet);
    for (std::uint8_t b : stream) {
        const int state = parser.state();
        const std::int64_t offset = parser.byteOffset();
        const host::Assignments predicted = host::assignmentsOf(parser, b);
        ASSERT_EQ(host::parseByte(parser, b), Status::Ok);
        if (parser.state() != state) {
            ASSERT_TRUE(predicted.state) << "state " << state << " byte " << int(b);
        }
        if (parser.byteOffset() != offset) {
            ASSERT_TRUE(predicted.offset) << "state " << state << " byte " << int(b);
        }
    }
}

// Where a row examines the byte after storing it (examinesAfterStore()),
// storeBeforeExamining() does what parseByte() does up to that point: the
// same store, offset and, on a frame's last byte, state; and it delivers
// nothing.  Only state 7's comparison with AA can move parseByte() further.
TEST(StoreBeforeExamining, IsParseByteShortOfTheComparison) {
    StreamGenerator gen(11);
    const Bytes stream = gen.generate(50000);
    QuillmoreListener quiet;
    QuillmoreParser parser(quiet);
    int checked = 0;
    for (std::uint8_t b : stream) {
        if (host::examinesAfterStore(parser)) {
            LogListener log;
            QuillmoreParser copy(log);
            Bytes buffer(host::payload(parser), host::payload(parser) + host::payloadSize(parser));
            host::setPayload(copy, buffer.data(), buffer.size());
            host::setState(copy, parser.state());
            host::setByteOffset(copy, parser.byteOffset());
            const bool extended = parser.state() == static_cast<int>(State::CollectExtended);
            ASSERT_EQ(host::storeBeforeExamining(copy, b), Status::Ok);
            ASSERT_EQ(host::parseByte(parser, b), Status::Ok);
            EXPECT_EQ(copy.byteOffset(), parser.byteOffset());
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), host::payload(parser)));
            EXPECT_EQ(copy.state(), extended && b == 0xAA ? static_cast<int>(State::CollectExtended) : parser.state());
            EXPECT_TRUE(log.lines.empty());
            ++checked;
        } else {
            ASSERT_EQ(host::parseByte(parser, b), Status::Ok);
        }
    }
    EXPECT_GT(checked, 1000);
}

TEST(AssignmentsOf, NamesAssignmentsThatKeepTheValue) {
    struct Row {
        int state;
        std::int64_t offset;
        std::uint8_t byte;
        bool state_assigned;
        bool offset_assigned;
    };
    const Row rows[] = {
        {1, 0, 0x00, false, false},  // hunting: nothing
        {1, 0, 0xAA, true, false},
        {2, 0, 0x55, true, false},   // back to 1: still an assignment
        {3, 0, 0x20, true, true},    // offset 0 again
        {3, 0, 0x21, true, false},
        {4, 5, 0x01, false, true},   // collecting
        {4, 32, 0x01, true, true},   // the 33rd byte completes the frame
        {5, 0, 0x00, false, false},
        {5, 0, 0x06, true, true},
        {7, 1024, 0x01, true, true},  // full buffer: the frame is dropped
        {8, 3, 0x22, true, false},
        {10, 0, 0x00, false, true},  // every byte here resets the offset
        {10, 0, 0x0C, true, true},
        {0, 0, 0xAA, false, false},  // not a state: nothing
    };
    QuillmoreListener quiet;
    QuillmoreParser parser(quiet);
    for (const Row& row : rows) {
        host::setState(parser, row.state);
        host::setByteOffset(parser, row.offset);
        const host::Assignments a = host::assignmentsOf(parser, row.byte);
        EXPECT_EQ(a.state, row.state_assigned) << "state " << row.state << " byte " << int(row.byte);
        EXPECT_EQ(a.offset, row.offset_assigned) << "state " << row.state << " byte " << int(row.byte);
    }
}

}  // namespace
}  // namespace quillmore::testing
