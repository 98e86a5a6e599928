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
//
// The log is what LogListener writes for each delivery; the same text is
// produced by the Python tests, so its number formats follow Python's.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
    std::string failOn;  // empty: no callback fails
};

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

// Writes one log line per delivery.  Derived listeners may override a
// callback and still call the base to log it.
class LogListener : public QuillmoreListener {
public:
    LogListener() = default;
    // Fails the first delivery of `kind` ("eeg", "extend", "gyro", "rr",
    // "raw"), after logging it.
    explicit LogListener(std::string failOn) : failOn_(std::move(failOn)) {}

    bool eeg_callback(const QuillmoreData& record, FrameView) override;
    bool extend_eeg_callback(const QuillmoreExtendData& record, FrameView) override;
    bool gyro_callback(int x, int y, int z, FrameView) override;
    bool rr_callback(int rr1, int rr2, int rr3, FrameView) override;
    bool raw_callback(int raw, FrameView) override;

    std::vector<std::string> lines;

private:
    bool logged(const char* kind, std::string line);
    std::string failOn_;
};

// A fresh parser for `listener` set up as the document's directives say.
void setUp(QuillmoreParser& parser, const CaseDocument& c);

// The log plus the closing state line, as a document states it.
std::vector<std::string> finalLog(const LogListener& listener, const QuillmoreParser& parser);

// Both vectors, numbered, for failure messages.
std::string describeLogs(const std::vector<std::string>& expected, const std::vector<std::string>& actual);

}  // namespace quillmore::testing
