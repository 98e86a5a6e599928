// The payload decoders on buffers handed to them directly: what a buffer of
// a given size lets them read, and the values the stream documents cannot
// show (the temperature kind, results left alone on failure).
#include <algorithm>

#include <gtest/gtest.h>

#include "case_documents.hpp"
#include "quillmore/decoders.hpp"
#include "quillmore/host/mirror.hpp"
#include "quillmore/parser.hpp"
#include "test_support.hpp"

namespace quillmore::testing {
namespace {

Bytes buffer(Bytes prefix, std::size_t size) {
    prefix.resize(size);
    return prefix;
}

PayloadView view(const Bytes& b) { return {b.empty() ? nullptr : b.data(), b.size()}; }

// ------------------------------------------------------------ standard

struct StandardCase {
    const char* name;
    Bytes prefix;
    std::size_t size;
    Status status;
    const char* record;  // expected log line when Ok
};

Bytes withAt(std::size_t index, Bytes cells) {
    Bytes b(index + cells.size(), 0x00);
    std::copy(cells.begin(), cells.end(), b.begin() + static_cast<std::ptrdiff_t>(index));
    return b;
}

TEST(DecodeStandardPayload, ReadsOnlyWhatItsRowsReach) {
    // Rows are read to their end, so the last index read depends on where
    // the last row starts, not on the 32-byte payload.
    const StandardCase table[] = {
        {"rows inside 32 bytes", {0x02, 0x10, 0x04, 0x20, 0x05, 0x30}, 32, Status::Ok,
         "eeg signal=16 attention=32 meditation=48 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 highBeta=0 "
         "lowGamma=0 highGamma=0"},
        {"signal row at 31 in 32 cells", withAt(31, {0x02}), 32, Status::IndexOutOfRange, nullptr},
        {"signal row at 31 in 33 cells", withAt(31, {0x02, 0x7B}), 33, Status::Ok,
         "eeg signal=123 attention=0 meditation=0 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 highBeta=0 "
         "lowGamma=0 highGamma=0"},
        {"band row at 31 in 56 cells", withAt(31, {0x83, 0x18}), 56, Status::IndexOutOfRange, nullptr},
        {"band row at 31 in 57 cells", cat({withAt(31, {0x83, 0x18}), Bytes(21, 0x00), {0x01, 0x02, 0x03}}), 57,
         Status::Ok,
         "eeg signal=0 attention=0 meditation=0 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 highBeta=0 "
         "lowGamma=0 highGamma=66051"},
        {"short band row at 31 reads its length only", withAt(31, {0x83, 0x10}), 33, Status::Ok,
         "eeg signal=0 attention=0 meditation=0 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 highBeta=0 "
         "lowGamma=0 highGamma=0"},
        {"fewer than 32 cells", {0x02, 0x10}, 31, Status::IndexOutOfRange, nullptr},
        {"no cells", {}, 0, Status::IndexOutOfRange, nullptr},
    };
    for (const StandardCase& c : table) {
        SCOPED_TRACE(c.name);
        const Bytes b = buffer(c.prefix, c.size);
        QuillmoreData out;
        out.signal = 999;  // left alone on failure
        EXPECT_EQ(decodeStandardPayload(view(b), out), c.status);
        if (c.status == Status::Ok) {
            EXPECT_EQ(formatRecord(out), c.record);
        } else {
            EXPECT_EQ(out.signal, 999u);
        }
    }
}

// ------------------------------------------------------------ extended

const Bytes kExtendRows{0x06, 0x11, 0x07, 0x5A, 0x08, 0x12, 0x03, 0x34, 0x24, 0x05, 0x48, 0xAA};

TEST(DecodeExtendPayload, ScansTwelveCellsAndRowsToTheirEnd) {
    struct Case {
        const char* name;
        Bytes cells;
        std::size_t size;
        Status status;
    };
    const Case table[] = {
        {"twelve cells", kExtendRows, 12, Status::Ok},
        {"eleven cells", kExtendRows, 11, Status::IndexOutOfRange},
        {"row 08 at index 11 in 12 cells", withAt(11, {0x08}), 12, Status::IndexOutOfRange},
        {"row 08 at index 11 in 17 cells", withAt(11, {0x08}), 17, Status::IndexOutOfRange},
        {"row 08 at index 11 in 18 cells", withAt(11, {0x08}), 18, Status::Ok},
        {"no cells", {}, 0, Status::IndexOutOfRange},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        const Bytes b = buffer(c.cells, c.size);
        QuillmoreExtendData out;
        out.ap = 999;
        EXPECT_EQ(decodeExtendedPayload(view(b), out), c.status);
        if (c.status != Status::Ok) {
            EXPECT_EQ(out.ap, 999u);
        }
    }
}

TEST(DecodeExtendPayload, TemperatureStatuses) {
    struct Case {
        const char* name;
        Bytes cells;
        TemperatureStatus kind;
        double temperature;
    };
    const Case table[] = {
        {"no row 08", {0x06, 0x11, 0x07, 0x5A}, TemperatureStatus::NoRow, 0.0},
        {"no row at all", Bytes(12, 0x01), TemperatureStatus::NoRow, 0.0},
        {"reading", kExtendRows, TemperatureStatus::Measured, 36.5},
        {"reading of zero", {0x08, 0x12, 0x03, 0x34, 0x00, 0x00, 0x48}, TemperatureStatus::Measured, 0.0},
        {"integer part FF", {0x08, 0x12, 0x03, 0x34, 0xFF, 0x05, 0x48}, TemperatureStatus::NoReading, 0.0},
        {"FF then a reading", {0x08, 0x00, 0x00, 0x00, 0xFF, 0x05, 0x00, 0x08, 0x00, 0x00, 0x00, 0x24, 0x05, 0x00},
         TemperatureStatus::Measured, 36.5},
        {"a reading then FF", {0x08, 0x00, 0x00, 0x00, 0x24, 0x05, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFF, 0x05, 0x00},
         TemperatureStatus::NoReading, 0.0},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        const Bytes b = buffer(c.cells, 32);
        QuillmoreExtendData out;
        out.temperatureStatus = TemperatureStatus::Measured;
        out.temperature = 99.0;
        ASSERT_EQ(decodeExtendedPayload(view(b), out), Status::Ok);
        EXPECT_EQ(out.temperatureStatus, c.kind);
        EXPECT_DOUBLE_EQ(out.temperature, c.temperature);
    }
}

// ------------------------------------------------------------ HRV

TEST(DecodeHrvPayload, ChecksumAndBounds) {
    struct Case {
        const char* name;
        Bytes cells;
        std::size_t size;
        Status status;
        bool accepted;
        RrValues rr;
    };
    const Bytes example{0x03, 0x20, 0x03, 0x52, 0x03, 0x84, 0x00, 0x00, 0x00, 0x0B};
    const Case table[] = {
        {"accepted", example, 10, Status::Ok, true, {800, 850, 900}},
        {"cells 10 and up are not read", cat({example, {0xFF, 0xFF, 0xFF}}), 13, Status::Ok, true, {800, 850, 900}},
        {"wrong checksum", {0x03, 0x20, 0x03, 0x52, 0x03, 0x84, 0x00, 0x00, 0x00, 0x0C}, 10, Status::Ok, false, {}},
        {"seed only", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}, 10, Status::Ok, true, {0, 0, 0}},
        {"unsigned", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}, 10, Status::Ok, true,
         {65535, 65535, 65535}},
        {"nine cells", example, 9, Status::IndexOutOfRange, false, {}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        const Bytes b = buffer(c.cells, c.size);
        RrValues out{-1, -1, -1};
        bool accepted = false;
        EXPECT_EQ(decodeHrvPayload(view(b), out, accepted), c.status);
        if (c.status != Status::Ok) continue;
        EXPECT_EQ(accepted, c.accepted);
        const RrValues want = c.accepted ? c.rr : RrValues{-1, -1, -1};  // untouched when rejected
        EXPECT_EQ(out.rr1, want.rr1);
        EXPECT_EQ(out.rr2, want.rr2);
        EXPECT_EQ(out.rr3, want.rr3);
    }
}

// ------------------------------------------------------------ raw, gyro, checksum

TEST(DecodeRawSample, SixteenBitTwosComplementOfBytesTwoAndThree) {
    struct Case {
        std::uint8_t high, low;
        int raw;
    };
    const Case table[] = {{0x00, 0x00, 0},      {0x00, 0x80, 128},    {0x01, 0xFF, 511},   {0x7F, 0xFF, 32767},
                          {0x80, 0x00, -32768}, {0x80, 0x01, -32767}, {0xFF, 0xFE, -2},    {0xFF, 0xFF, -1}};
    for (const Case& c : table) {
        const std::uint8_t payload[4] = {0xFF, 0xFF, c.high, c.low};  // bytes 0 and 1 play no part
        EXPECT_EQ(decodeRawSample(payload), c.raw) << std::hex << int(c.high) << " " << int(c.low);
    }
}

TEST(DecodeGyro, LowBytesFoldedAbove180) {
    struct Case {
        std::uint8_t cells[7];
        GyroValues g;
    };
    const Case table[] = {
        {{0x00, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {52, 120, -8}},
        {{0xFF, 0x00, 0xB4, 0x00, 0xB5, 0x00, 0xFF}, {180, -1, -75}},
        {{0x00, 0xFF, 0x00, 0xFF, 0x01, 0xFF, 0xB3}, {0, 1, 179}},
    };
    for (const Case& c : table) {
        const GyroValues g = decodeGyro(c.cells);
        EXPECT_EQ(g.x, c.g.x);
        EXPECT_EQ(g.y, c.g.y);
        EXPECT_EQ(g.z, c.g.z);
    }
}

TEST(ComplementedSum, LowEightBitsOfTheSumComplemented) {
    struct Case {
        Bytes payload;
        std::uint8_t checkSum;
        bool matches;
    };
    const Case table[] = {
        {{0, 0, 0, 0}, 0xFF, true},         {{0, 0, 0, 0}, 0x00, false},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x03, true},  // sum 0x3FC
        {{0x00, 0x00, 0x00, 0x05}, 0x05, false},  // the plain sum is wrong
        {{0x00, 0x00, 0x00, 0x05}, 0xFA, true},
    };
    for (const Case& c : table) {
        EXPECT_EQ(complementedSumMatches(c.payload.data(), c.payload.size(), c.checkSum), c.matches);
    }
}

// ------------------------------------------------------------ records

TEST(Records, DefaultsAreWhatAFrameWithoutTheRowDelivers) {
    EXPECT_EQ(formatRecord(QuillmoreData{}),
              "eeg signal=0 attention=0 meditation=0 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 highBeta=0 "
              "lowGamma=0 highGamma=0");
    const QuillmoreExtendData ext{};
    EXPECT_EQ(ext.temperatureStatus, TemperatureStatus::NoRow);
    EXPECT_EQ(formatRecord(ext), "extend ap=0 battery=0 version=0.0 gnaw=0 temperature=0.0 heart=0");
}

// ------------------------------------------------------------ the parser's decoder entry points

class CountingListener : public LogListener {
public:
    bool eeg_callback(const QuillmoreData& r, FrameView frame) override { return LogListener::eeg_callback(r, frame) && ok; }
    bool ok = true;
};

TEST(ParserDecoders, DecodeTheBufferAsItIsAndLeaveStateAlone) {
    CountingListener log;
    QuillmoreParser parser(log);
    const Bytes rows = cat({{0x02, 0x2A}, Bytes(30, 0x00)});
    std::copy(rows.begin(), rows.end(), host::payload(parser));
    host::setState(parser, State::CollectExtended);
    host::setByteOffset(parser, 5);

    EXPECT_EQ(host::decodeStandardFrame(parser), Status::Ok);
    log.ok = false;
    EXPECT_EQ(host::decodeStandardFrame(parser), Status::CallbackFailed);
    EXPECT_EQ(host::decodeExtendedFrame(parser), Status::Ok);  // buffer[0] = 02: no row
    EXPECT_EQ(host::decodeHrvFrame(parser), Status::Ok);     // checksum fails: nothing delivered

    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "eeg signal=42 attention=0 meditation=0 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 "
                             "highBeta=0 lowGamma=0 highGamma=0",
                             "eeg signal=42 attention=0 meditation=0 delta=0 theta=0 lowAlpha=0 highAlpha=0 lowBeta=0 "
                             "highBeta=0 lowGamma=0 highGamma=0",
                             "extend ap=0 battery=0 version=0.0 gnaw=0 temperature=0.0 heart=0"}));
    EXPECT_EQ(formatState(parser), "state 7 offset 5");
}

TEST(ParserDecoders, ShortBufferFailsWithoutDelivering) {
    LogListener log;
    std::uint8_t cells[12] = {0x06, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08};
    QuillmoreParser parser(log, cells, sizeof cells);
    EXPECT_EQ(host::decodeExtendedFrame(parser), Status::IndexOutOfRange);
    EXPECT_EQ(host::decodeStandardFrame(parser), Status::IndexOutOfRange);
    EXPECT_EQ(host::decodeHrvFrame(parser), Status::Ok);
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace quillmore::testing
