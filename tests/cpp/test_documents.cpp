// Runs every worked example of tests/cases four ways: the whole input in one
// call, split into two chunks at every point, one byte per call, and through
// parseByte().  A frame split anywhere must decode as if it came whole.  A
// case without directives is also fed byte for byte in turn with another
// such case to a parser of its own, and its rows and losses are checked
// through the batch path, whole and split at every point.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "case_documents.hpp"
#include "quillmore/host/mirror.hpp"

namespace quillmore::testing {
namespace {

struct Loaded {
    std::vector<CaseDocument> cases;
    std::vector<std::string> errors;
};

const Loaded& loaded() {
    static const Loaded docs = [] {
        Loaded l;
        l.cases = readCaseDirectory(QUILLMORE_CASES_DIR, l.errors);
        return l;
    }();
    return docs;
}

// Feeds `input` in chunks ending at `cuts` (ascending, may repeat: an empty
// chunk) and then the rest.
// A failing callback (a "fail" directive) stops the call; the rest of the
// chunk is fed after it.
std::vector<std::string> runChunked(const CaseDocument& c, const std::vector<std::size_t>& cuts) {
    const std::vector<std::uint8_t>& input = c.input;
    LogListener log(c.failOn, c.pauseOn);
    QuillmoreParser parser(log);
    log.parser = &parser;
    LossCounters loss;
    parser.setLossCounters(&loss);
    setUp(parser, c);
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        while (from < to) {
            const ParseResult r = parser.parse(input.data() + from, to - from);
            from += r.consumed;
            if (r.status == Status::CallbackFailed) {
                log.lines.push_back("failed");
            } else if (r.status == Status::Paused) {
                log.lines.push_back("paused");
            } else if (!r.ok() || from != to) {
                log.lines.push_back("parse stopped after " + std::to_string(r.consumed));
                break;
            }
        }
        from = to;
    };
    for (std::size_t cut : cuts) feed(cut);
    feed(input.size());
    std::vector<std::string> lines = finalLog(log, parser);
    if (c.hasLoss) {
        countEndOfInput(parser, loss);
        lines.push_back(formatLoss(loss));
    }
    return lines;
}

// One byte per step: a pause has no call to end, so the runner notes it.
std::vector<std::string> runParseByte(const CaseDocument& c) {
    LogListener log(c.failOn, c.pauseOn);
    QuillmoreParser parser(log);
    LossCounters loss;
    parser.setLossCounters(&loss);
    setUp(parser, c);
    for (std::uint8_t b : c.input) {
        const Status status = host::parseByte(parser, b);
        if (status == Status::CallbackFailed) log.lines.push_back("failed");
        else if (status != Status::Ok) log.lines.push_back("parseByte failed");
        if (log.pausedNow) log.lines.push_back("paused");
        log.pausedNow = false;
    }
    std::vector<std::string> lines = finalLog(log, parser);
    if (c.hasLoss) {
        countEndOfInput(parser, loss);
        lines.push_back(formatLoss(loss));
    }
    return lines;
}

// The batch path over the input cut at `cuts`: the rows if the case states
// any, then the loss line if it states one.
std::vector<std::string> runBatch(const CaseDocument& c, const std::vector<std::size_t>& cuts) {
    BatchDecoder decoder;
    Batch out;
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        decoder.feed(c.input.data() + from, to - from, out);
        from = to;
    }
    decoder.feed(c.input.data() + from, c.input.size() - from, out);
    decoder.finish(out);
    std::vector<std::string> lines;
    if (!c.rows.empty()) lines = formatRows(out);
    if (c.hasLoss) lines.push_back(formatLoss(decoder.loss()));
    return lines;
}

std::vector<std::string> batchExpected(const CaseDocument& c) {
    std::vector<std::string> lines = c.rows;
    if (c.hasLoss) lines.push_back(c.loss);
    return lines;
}

class Document : public ::testing::TestWithParam<CaseDocument> {};

TEST_P(Document, Whole) {
    const CaseDocument& c = GetParam();
    const auto log = runChunked(c, {});
    EXPECT_EQ(log, expectedLog(c)) << c.file << ":" << c.line << " " << c.title << "\n" << describeLogs(c.expected, log);
}

TEST_P(Document, SplitInTwoAtEveryPoint) {
    const CaseDocument& c = GetParam();
    for (std::size_t split = 0; split <= c.input.size(); ++split) {
        const auto log = runChunked(c, {split});
        ASSERT_EQ(log, expectedLog(c)) << c.file << ":" << c.line << " " << c.title << ", split at byte " << split << "\n"
                                   << describeLogs(c.expected, log);
    }
}

TEST_P(Document, OneBytePerCall) {
    const CaseDocument& c = GetParam();
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < c.input.size(); ++i) cuts.push_back(i);
    const auto log = runChunked(c, cuts);
    EXPECT_EQ(log, expectedLog(c)) << c.file << ":" << c.line << " " << c.title << "\n" << describeLogs(c.expected, log);
}

TEST_P(Document, ParseByte) {
    const CaseDocument& c = GetParam();
    const auto log = runParseByte(c);
    EXPECT_EQ(log, expectedLog(c)) << c.file << ":" << c.line << " " << c.title << "\n" << describeLogs(c.expected, log);
}

TEST_P(Document, BatchWholeAndSplitAtEveryPoint) {
    const CaseDocument& c = GetParam();
    if (!c.plain() || (c.rows.empty() && !c.hasLoss)) return;
    const auto expected = batchExpected(c);
    for (std::size_t split = 0; split <= c.input.size(); ++split) {
        const auto got = runBatch(c, {split});
        ASSERT_EQ(got, expected) << c.file << ":" << c.line << " " << c.title << ", split at byte " << split << "\n"
                                 << describeLogs(expected, got);
    }
}

// Two parsers fed in turn, a byte each, decode what each would alone: one
// collects this case, the other the next case without directives.
TEST_P(Document, FedInTurnWithAnotherCase) {
    const CaseDocument& c = GetParam();
    const auto& all = loaded().cases;
    const auto self = std::find_if(all.begin(), all.end(),
                                   [&](const CaseDocument& d) { return d.file == c.file && d.line == c.line; });
    if (!c.plain() || self == all.end()) return;
    auto next = self;
    do {
        if (++next == all.end()) next = all.begin();
    } while (next != self && !next->plain());
    const CaseDocument& other = *next;
    LogListener logA, logB;
    QuillmoreParser a(logA), b(logB);
    for (std::size_t i = 0; i < std::max(c.input.size(), other.input.size()); ++i) {
        if (i < c.input.size()) {
            EXPECT_TRUE(a.parse(&c.input[i], 1).ok());
        }
        if (i < other.input.size()) {
            EXPECT_TRUE(b.parse(&other.input[i], 1).ok());
        }
    }
    EXPECT_EQ(finalLog(logA, a), c.expected) << c.file << ":" << c.line << " " << c.title;
    EXPECT_EQ(finalLog(logB, b), other.expected) << "beside it: " << other.file << ":" << other.line << " " << other.title;
}

std::string testName(const ::testing::TestParamInfo<CaseDocument>& info) {
    const CaseDocument& c = info.param;
    std::string name = c.file.substr(0, c.file.find('.')) + "_";
    for (char ch : c.title) {
        if (std::isalnum(static_cast<unsigned char>(ch))) {
            name += ch;
        } else if (name.back() != '_') {
            name += '_';
        }
    }
    while (name.back() == '_') name.pop_back();
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Document, ::testing::ValuesIn(loaded().cases), testName);

TEST(CaseDocumentFiles, LoadWithoutErrors) {
    std::string errors;
    for (const std::string& e : loaded().errors) errors += e + "\n";
    EXPECT_TRUE(loaded().errors.empty()) << errors;
    EXPECT_GE(loaded().cases.size(), 90u);
    std::set<std::string> names;
    for (const CaseDocument& c : loaded().cases) {
        EXPECT_TRUE(names.insert(testName({c, 0})).second) << "duplicate title: " << c.file << ": " << c.title;
    }
}

TEST(CaseDocumentFiles, ReaderFormat) {
    const std::string path = ::testing::TempDir() + "quillmore_reader_case.txt";
    {
        std::ofstream out(path);
        out << "# header comment\n\n## first\n> AA 0c*3\n> 00*0 ff\n# comment\nraw 1\nstate 1 offset 0\n"
               "## second\n> AA zz 0*2\nstate 2 offset 0  \n## third\n> 01\n"
               "## fourth\n@ payload 2 11 22*2\n@ pause rr\n@ payload 1023 01 02\n@ pause\nstate 1 offset 0\n"
               "loss bytes_skipped 1\nrow eeg sample 0 time 0.0\nloss\n";
    }
    std::vector<std::string> errors;
    const auto cases = readCaseFile(path, errors);
    std::remove(path.c_str());
    ASSERT_EQ(cases.size(), 4u);
    EXPECT_EQ(cases[0].title, "first");
    EXPECT_EQ(cases[0].input, (std::vector<std::uint8_t>{0xAA, 0x0C, 0x0C, 0x0C, 0xFF}));
    EXPECT_EQ(cases[0].expected, (std::vector<std::string>{"raw 1", "state 1 offset 0"}));
    EXPECT_EQ(cases[1].expected, (std::vector<std::string>{"state 2 offset 0"}));
    const CaseDocument& fourth = cases[3];
    ASSERT_EQ(fourth.payload.size(), 1u);
    EXPECT_EQ(fourth.payload[0].offset, 2u);
    EXPECT_EQ(fourth.payload[0].bytes, (std::vector<std::uint8_t>{0x11, 0x22, 0x22}));
    EXPECT_EQ(fourth.pauseOn, "rr");
    EXPECT_EQ(fourth.expected, (std::vector<std::string>{"state 1 offset 0"}));
    EXPECT_EQ(fourth.loss, "loss bytes_skipped 1");
    EXPECT_EQ(fourth.rows, (std::vector<std::string>{"row eeg sample 0 time 0.0"}));
    // "zz" and "0*2" are malformed tokens; "third" has no state line; the
    // fourth puts bytes past the buffer, pauses on no kind, has a second
    // loss line, and rows beside directives.
    EXPECT_EQ(errors.size(), 7u) << ::testing::PrintToString(errors);
}

TEST(CaseDocumentFiles, FloatsPrintLikePython) {
    const std::pair<double, const char*> table[] = {
        {0.0, "0.0"},     {1.234, "1.234"},   {36.5, "36.5"},     {0.105, "0.105"},
        {2.0, "2.0"},     {1.665, "1.665"},   {11.009, "11.009"}, {69 + 36 / 10.0, "72.6"},
        {1e16, "1e+16"},  {-0.0, "-0.0"},
    };
    for (const auto& [value, text] : table) EXPECT_EQ(pythonFloat(value), text);
}

}  // namespace
}  // namespace quillmore::testing
