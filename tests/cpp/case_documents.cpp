#include "case_documents.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "quillmore/host/mirror.hpp"

namespace quillmore::testing {
namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One input token: "XX" or "XX*N".  False when malformed.
bool appendToken(const std::string& token, std::vector<std::uint8_t>& out) {
    if (token.size() < 2) return false;
    const int hi = hexDigit(token[0]);
    const int lo = hexDigit(token[1]);
    if (hi < 0 || lo < 0) return false;
    std::size_t count = 1;
    if (token.size() > 2) {
        if (token[2] != '*' || token.size() == 3) return false;
        const char* first = token.data() + 3;
        const char* last = token.data() + token.size();
        const auto [end, ec] = std::from_chars(first, last, count);
        if (ec != std::errc() || end != last) return false;
    }
    out.insert(out.end(), count, static_cast<std::uint8_t>(hi * 16 + lo));
    return true;
}

}  // namespace

std::vector<CaseDocument> readCaseFile(const std::string& path, std::vector<std::string>& errors) {
    std::vector<CaseDocument> cases;
    std::ifstream in(path);
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (!in) {
        errors.push_back(path + ": cannot open");
        return cases;
    }
    auto fail = [&](int lineNo, const std::string& what) {
        errors.push_back(name + ":" + std::to_string(lineNo) + ": " + what);
    };
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.empty() || startsWith(line, "# ")) continue;
        if (startsWith(line, "## ")) {
            CaseDocument c;
            c.file = name;
            c.title = line.substr(3);
            c.line = lineNo;
            cases.push_back(std::move(c));
            continue;
        }
        if (cases.empty()) {
            fail(lineNo, "line before the first case");
            continue;
        }
        if (startsWith(line, "@ ")) {
            std::istringstream words(line.substr(2));
            std::string what, value;
            words >> what >> value;
            CaseDocument& c = cases.back();
            char* end = nullptr;
            const long long number = std::strtoll(value.c_str(), &end, 10);
            const bool isNumber = !value.empty() && *end == '\0';
            const bool isKind =
                value == "eeg" || value == "extend" || value == "gyro" || value == "rr" || value == "raw";
            std::vector<std::string> more;  // words after the value
            for (std::string word; words >> word;) more.push_back(word);
            const bool single = more.empty();
            if (what == "state" && isNumber && single) {
                c.setState = true;
                c.state = static_cast<int>(number);
            } else if (what == "offset" && isNumber && single) {
                c.setOffset = true;
                c.offset = number;
            } else if (what == "fail" && isKind && single) {
                c.failOn = value;
            } else if (what == "pause" && isKind && single) {
                c.pauseOn = value;
            } else if (what == "payload" && isNumber && number >= 0 && !more.empty()) {
                CaseDocument::PayloadBytes put{static_cast<std::size_t>(number), {}};
                bool ok = true;
                for (const std::string& token : more) ok = appendToken(token, put.bytes) && ok;
                if (ok && put.offset + put.bytes.size() <= QuillmoreParser::kPayloadSize) {
                    c.payload.push_back(std::move(put));
                } else {
                    fail(lineNo, "bad directive '" + line + "'");
                }
            } else {
                fail(lineNo, "bad directive '" + line + "'");
            }
        } else if (startsWith(line, "> ")) {
            std::istringstream tokens(line.substr(2));
            std::string token;
            while (tokens >> token) {
                if (!appendToken(token, cases.back().input)) fail(lineNo, "bad input token '" + token + "'");
            }
        } else if (line == "loss" || startsWith(line, "loss ")) {
            CaseDocument& c = cases.back();
            if (c.hasLoss) {
                fail(lineNo, "a second loss line");
            } else {
                c.hasLoss = true;
                c.loss = line;
            }
        } else if (startsWith(line, "row ")) {
            cases.back().rows.push_back(line);
        } else {
            cases.back().expected.push_back(line);
        }
    }
    for (const CaseDocument& c : cases) {
        if (c.expected.empty() || !startsWith(c.expected.back(), "state ")) {
            fail(c.line, "case '" + c.title + "' does not end with a state line");
        }
        if (!c.rows.empty() && !c.plain()) fail(c.line, "case '" + c.title + "' has rows and directives");
    }
    return cases;
}

std::vector<CaseDocument> readCaseDirectory(const std::string& dir, std::vector<std::string>& errors) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".txt") files.push_back(entry.path().filename().string());
    }
    if (ec) errors.push_back(dir + ": " + ec.message());
    std::sort(files.begin(), files.end());
    std::vector<CaseDocument> all;
    for (const std::string& file : files) {
        std::vector<CaseDocument> cases = readCaseFile(dir + "/" + file, errors);
        all.insert(all.end(), cases.begin(), cases.end());
    }
    return all;
}

std::string pythonFloat(double value) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";  // "n": inf and nan
    return text;
}

std::string formatRecord(const QuillmoreData& r) {
    std::ostringstream out;
    out << "eeg signal=" << r.signal << " attention=" << r.attention << " meditation=" << r.meditation
        << " delta=" << r.delta << " theta=" << r.theta << " lowAlpha=" << r.lowAlpha << " highAlpha=" << r.highAlpha
        << " lowBeta=" << r.lowBeta << " highBeta=" << r.highBeta << " lowGamma=" << r.lowGamma
        << " highGamma=" << r.highGamma;
    return out.str();
}

std::string formatRecord(const QuillmoreExtendData& r) {
    // A sensor that sent 255 has no reading, which the host sees as the
    // integer 0; a frame without the row leaves the float 0.0.
    const std::string temperature =
        r.temperatureStatus == TemperatureStatus::NoReading ? "0" : pythonFloat(r.temperature);
    std::ostringstream out;
    out << "extend ap=" << r.ap << " battery=" << r.battery << " version=" << pythonFloat(r.version)
        << " gnaw=" << r.gnaw << " temperature=" << temperature << " heart=" << r.heart;
    return out.str();
}

std::string formatState(const QuillmoreParser& parser) {
    return "state " + std::to_string(parser.state()) + " offset " + std::to_string(parser.byteOffset());
}

std::string formatLoss(const LossCounters& loss) {
    const std::pair<const char*, std::uint64_t> counters[] = {
        {"standard_checksum_failures", loss.standardChecksumFailures},
        {"raw_checksum_failures", loss.rawChecksumFailures},
        {"hrv_checksum_failures", loss.hrvChecksumFailures},
        {"bytes_skipped", loss.bytesSkipped},
        {"extended_dropped", loss.extendedDropped},
        {"extended_abandoned", loss.extendedAbandoned},
        {"frames_cut_short", loss.framesCutShort},
    };
    std::string line = "loss";
    for (const auto& [name, value] : counters) {
        if (value != 0) line += std::string(" ") + name + " " + std::to_string(value);
    }
    return line;
}

namespace {

template <typename Row>
std::string rowStart(const char* kind, const Row& row) {
    return std::string("row ") + kind + " sample " + std::to_string(row.sample) + " time " + pythonFloat(row.time);
}

}  // namespace

std::vector<std::string> formatRows(const Batch& batch) {
    static const char* const statusNames[] = {"measured", "no_reading", "no_row"};
    std::vector<std::string> rows;
    for (const EegRow& r : batch.eeg) rows.push_back(rowStart("eeg", r));
    for (const ExtendRow& r : batch.extend) {
        const bool known = r.temperatureStatus >= 0 && r.temperatureStatus <= 2;
        rows.push_back(rowStart("extend", r) + " temperature " + pythonFloat(r.temperature) + " temperature_status " +
                       (known ? statusNames[r.temperatureStatus] : std::to_string(r.temperatureStatus)) +
                       " damaged " + std::to_string(r.damaged));
    }
    for (const GyroRow& r : batch.gyro) rows.push_back(rowStart("gyro", r) + " damaged " + std::to_string(r.damaged));
    for (const RrRow& r : batch.rr) rows.push_back(rowStart("rr", r));
    return rows;
}

bool LogListener::logged(const char* kind, std::string line) {
    lines.push_back(std::move(line));
    if (pauseOn_ == kind) {
        pauseOn_.clear();
        pausedNow = true;
        if (parser != nullptr) parser->pause();
    }
    if (failOn_ != kind) return true;
    failOn_.clear();
    return false;
}

bool LogListener::eeg_callback(const QuillmoreData& record, FrameView) { return logged("eeg", formatRecord(record)); }

bool LogListener::extend_eeg_callback(const QuillmoreExtendData& record, FrameView) {
    return logged("extend", formatRecord(record));
}

bool LogListener::gyro_callback(int x, int y, int z, FrameView) {
    return logged("gyro", "gyro " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z));
}

bool LogListener::rr_callback(int rr1, int rr2, int rr3, FrameView) {
    return logged("rr", "rr " + std::to_string(rr1) + " " + std::to_string(rr2) + " " + std::to_string(rr3));
}

bool LogListener::raw_callback(int raw, FrameView) { return logged("raw", "raw " + std::to_string(raw)); }

void setUp(QuillmoreParser& parser, const CaseDocument& c) {
    if (c.setState) host::setState(parser, c.state);
    if (c.setOffset) host::setByteOffset(parser, c.offset);
    for (const CaseDocument::PayloadBytes& put : c.payload) {
        std::copy(put.bytes.begin(), put.bytes.end(), host::payload(parser) + put.offset);
    }
}

std::vector<std::string> finalLog(const LogListener& listener, const QuillmoreParser& parser) {
    std::vector<std::string> log = listener.lines;
    log.push_back(formatState(parser));
    return log;
}

std::vector<std::string> expectedLog(const CaseDocument& c) {
    std::vector<std::string> log = c.expected;
    if (c.hasLoss) log.push_back(c.loss);
    return log;
}

std::string describeLogs(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
    std::ostringstream out;
    out << "expected:\n";
    for (std::size_t i = 0; i < expected.size(); ++i) out << "  " << i << ": " << expected[i] << "\n";
    out << "actual:\n";
    for (std::size_t i = 0; i < actual.size(); ++i) out << "  " << i << ": " << actual[i] << "\n";
    return out.str();
}

}  // namespace quillmore::testing
