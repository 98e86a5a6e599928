// Test documents: worked examples of the stream kept as data (tests/cases).
//
//   ## title                  starts a case
//   # comment                 ignored
//   > AA AA 04 00*3 05        input bytes, hex; XX*N is N copies of XX
//   raw 5                     expected log lines, in order; the last one is
//   state 1 offset 5          the parser's state and offset after all input
//   @ state 6                 host set-up before the input: the state and
//   @ offset -1               the offset a host assigned
//   @ fail raw                the first delivery of a kind (eeg, extend,
//                             gyro, rr, raw) fails; the log shows "failed"
//                             after it, and the runner goes on with the
//                             bytes after the one at which the call stopped
//   @ payload 3 11 22         bytes a host put into the payload buffer, from
//                             the index given, before the input
//   @ pause raw               the first delivery of a kind pauses the
//                             parser; the log shows "paused" after it, and
//                             the runner resumes with the rest
//   loss bytes_skipped 3      after the log: the loss counters, nonzero
//                             ones only, in LossCounters' order, once the
//                             input has ended ("loss" alone: none)
//   row extend sample 0 ...   after the log: the rows the batch path makes
//                             (formatRows), by kind (eeg, extend, gyro, rr)
//                             and in stream order within a kind; only in a
//                             case without directives.  Without row lines
//                             the rows are not checked.
//
// The log is what LogListener writes for each delivery; the same text is
// produced by the Python tests, so its number formats follow Python's.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "quillmore/batch.hpp"
#include "quillmore/parser.hpp"

namespace quillmore::testing {

struct CaseDocument {
    std::string file;   // file name, without directory
    std::string title;
    int line = 0;       // line of the "## " title
    std::vector<std::uint8_t> input;
    std::vector<std::string> expected;
    // Directives.
    bool setState = false, setOffset = false;
    int state = 1;
    std::int64_t offset = 0;
    std::string failOn;   // empty: no callback fails
    std::string pauseOn;  // empty: no callback pauses
    struct PayloadBytes {
        std::size_t offset;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<PayloadBytes> payload;
    // The lines after the log: the loss line (when hasLoss) and the rows.
    bool hasLoss = false;
    std::string loss;
    std::vector<std::string> rows;

    // No directive at all: the case is the input alone.
    bool plain() const {
        return !setState && !setOffset && failOn.empty() && pauseOn.empty() && payload.empty();
    }
};

// GoogleTest names a case by its place and title.
inline void PrintTo(const CaseDocument& c, std::ostream* os) { *os << c.file << ":" << c.line << " " << c.title; }

// Reads one document file.  Malformed lines are appended to `errors` as
// "file:line: message" and the file's cases are still returned.
std::vector<CaseDocument> readCaseFile(const std::string& path, std::vector<std::string>& errors);
// All *.txt files of a directory, in name order.
std::vector<CaseDocument> readCaseDirectory(const std::string& dir, std::vector<std::string>& errors);

// A double as Python's repr prints it: shortest round-trip form, ".0"
// appended to integral values (1.234, 0.0, 36.5).
std::string pythonFloat(double value);

std::string formatRecord(const QuillmoreData& record);
std::string formatRecord(const QuillmoreExtendData& record);
std::string formatState(const QuillmoreParser& parser);
// "loss" and the nonzero counters, each as "name value".
std::string formatLoss(const LossCounters& loss);
// A batch's rows, eeg, extend, gyro and rr in turn: "row KIND sample N time
// T", extended rows with "temperature T temperature_status NAME damaged D",
// gyroscope rows with "damaged D".
std::vector<std::string> formatRows(const Batch& batch);

// Writes one log line per delivery.  Derived listeners may override a
// callback and still call the base to log it.
class LogListener : public QuillmoreListener {
public:
    LogListener() = default;
    // Fails the first delivery of `failOn` ("eeg", "extend", "gyro", "rr",
    // "raw"), after logging it; pauses `parser` at the first delivery of
    // `pauseOn`.
    explicit LogListener(std::string failOn, std::string pauseOn = {})
        : failOn_(std::move(failOn)), pauseOn_(std::move(pauseOn)) {}

    bool eeg_callback(const QuillmoreData& record, FrameView) override;
    bool extend_eeg_callback(const QuillmoreExtendData& record, FrameView) override;
    bool gyro_callback(int x, int y, int z, FrameView) override;
    bool rr_callback(int rr1, int rr2, int rr3, FrameView) override;
    bool raw_callback(int raw, FrameView) override;

    std::vector<std::string> lines;
    QuillmoreParser* parser = nullptr;  // the one to pause
    bool pausedNow = false;             // a delivery asked for a pause

private:
    bool logged(const char* kind, std::string line);
    std::string failOn_, pauseOn_;
};

// A fresh parser for `listener` set up as the document's directives say.
void setUp(QuillmoreParser& parser, const CaseDocument& c);

// The log plus the closing state line, as a document states it.
std::vector<std::string> finalLog(const LogListener& listener, const QuillmoreParser& parser);
// What a run of the parser must log: the document's log, and its loss line
// if it states one.
std::vector<std::string> expectedLog(const CaseDocument& c);

// Both vectors, numbered, for failure messages.
std::string describeLogs(const std::vector<std::string>& expected, const std::vector<std::string>& actual);

}  // namespace quillmore::testing
