// Coverage-guided fuzz target for the decoding core.
//
// One input describes a whole session of a host with the parser: the stream
// bytes, how the host cuts them into parse() calls, and what the listener
// answers to each delivery (go on, report failure, pause, or meddle with the
// parser: move its state or offset, swap its payload buffer, scribble into
// it, feed it more bytes from inside a callback).  The session is played
// several ways and every way must tell the same story:
//
//   - parse() with the input's chunk boundaries, resuming after each stop
//     with the rest of the chunk, as a host does;
//   - parse() with the whole stream in one call (and the same resumption);
//   - parseByte(), one byte at a time: the machine's definition;
//   - a small model of the machine written out here from its rules, including
//     what a failed delivery leaves behind (only for sessions whose listener
//     does not meddle, since the model knows nothing of hosts);
//   - the batch path (batch_checks.cpp), in the input's chunks and whole,
//     against the machine's plain deliveries and loss counters.
//
// Compared are the log of deliveries, stops and pauses (with the stream
// position of each stop and pause), the final state and offset and every
// payload buffer.  Each
// delivery is also checked on its own: values in their ranges, the machine
// in the state it must be in while it calls back.  Any difference or
// violation aborts, so libFuzzer reports it.
//
// Input layout (missing bytes read as zero):
//
//   [0]  options
//          bits 0-2  payload buffer: the parser's own 1024 cells, or a heap
//                    buffer of 1024, 2048, 64, 40, 13, 5 or 0 cells
//          bit 3     the listener may meddle (action classes 4-7 below)
//          bit 4     the host sets state and offset before the first byte
//          bit 5     the input and the payload buffer share memory: the
//                    parser's own buffer holds the input from its first
//                    cell; a heap buffer starts [5] cells into the block
//                    whose start holds the input
//   [1]  C, the number of chunk-size bytes
//   [2]  A, the number of action bytes
//   [3]  initial state (bit 4): the value itself, 0..255
//   [4]  initial offset (bit 4): below 0xC0 it is value - 0x40; 0xFE and
//        0xFF are the least and greatest 64-bit values; the others count up
//        to the buffer's end: size - 56 + (value - 0xC0)
//   [5]  where a heap buffer starts in the shared block (bit 5)
//   C chunk-size bytes: v < 0xE0 is a chunk of v bytes, else (v - 0xDF) * 256;
//        used in turn, over and over (a whole round of empty chunks is
//        followed by one byte); none means one chunk
//   A action bytes: one per delivery, in order, except inside feeds three
//        deep; when they run out every delivery goes on.  By a >> 5:
//          0, 1  go on          2  report failure
//          3  pause; with bit 4 also report failure (the failure wins)
//          4  set state a & 15          5  set offset (a & 31) - 4
//          6  bit 4: swap the payload buffer (bit 3 picks the other one),
//             else invert cell a & 15
//          7  feed the parser the next (a & 31) bytes of the stream again,
//             from inside the callback
//        (4-7 only when bit 3 is set; otherwise they go on.)
//   the rest: the stream
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "batch_checks.hpp"
#include "quillmore/host/mirror.hpp"
#include "quillmore/parser.hpp"

namespace {

using quillmore::ParseResult;
using quillmore::QuillmoreData;
using quillmore::QuillmoreExtendData;
using quillmore::QuillmoreListener;
using quillmore::QuillmoreParser;
using quillmore::Status;
using quillmore::TemperatureStatus;
namespace host = quillmore::host;
using quillmore::FrameView;

[[noreturn]] void violation(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

#define CHECK(cond)                        \
    do {                                   \
        if (!(cond)) violation(#cond);     \
    } while (0)

// ------------------------------------------------------------------ the input

constexpr std::size_t kHeaderBytes = 6;
constexpr std::size_t kMaxSharedInput = 4096;
constexpr std::size_t kBufferSizes[8] = {1024, 1024, 2048, 64, 40, 13, 5, 0};

struct Session {
    bool ownBuffer = true;
    std::size_t bufferSize = 1024;
    bool meddle = false;
    bool hostStart = false;
    bool aliased = false;
    std::size_t aliasShift = 0;  // where a heap buffer starts in the block shared with the input
    int startState = 1;
    std::int64_t startOffset = 0;
    const std::uint8_t* chunks = nullptr;
    std::size_t chunkCount = 0;
    const std::uint8_t* actions = nullptr;
    std::size_t actionCount = 0;
    std::vector<std::uint8_t> stream;
};

Session readSession(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, data, size < kHeaderBytes ? size : kHeaderBytes);
    Session s;
    const unsigned options = header[0];
    s.ownBuffer = (options & 7) == 0;
    s.bufferSize = kBufferSizes[options & 7];
    s.meddle = (options & 0x08) != 0;
    s.hostStart = (options & 0x10) != 0;
    s.aliased = (options & 0x20) != 0;
    if (s.hostStart) {
        s.startState = header[3];
        const auto size64 = static_cast<std::int64_t>(s.bufferSize);
        switch (header[4]) {
        case 0xFE: s.startOffset = INT64_MIN; break;
        case 0xFF: s.startOffset = INT64_MAX; break;
        default: s.startOffset = header[4] < 0xC0 ? header[4] - 0x40 : size64 - 56 + (header[4] - 0xC0); break;
        }
    }
    std::size_t at = size < kHeaderBytes ? size : kHeaderBytes;
    auto take = [&](std::size_t wanted, std::size_t& count) {
        const std::uint8_t* p = data + at;
        count = wanted < size - at ? wanted : size - at;
        at += count;
        return p;
    };
    s.chunks = take(header[1], s.chunkCount);
    s.actions = take(header[2], s.actionCount);
    s.stream.assign(data + at, data + size);
    if (s.aliased) {
        // Fed from the parser's own buffer, the stream is what it holds.
        const std::size_t most = s.ownBuffer ? s.bufferSize : kMaxSharedInput;
        if (s.stream.size() > most) s.stream.resize(most);
        if (!s.ownBuffer) s.aliasShift = header[5];
    }
    return s;
}

// The cells of one block that holds the stream at its start and the payload
// buffer `shift` cells in, when they share memory.
std::size_t sharedBlockSize(const Session& s) {
    return std::max(s.stream.size(), s.aliasShift + s.bufferSize);
}

std::size_t chunkSize(std::uint8_t v) { return v < 0xE0 ? v : static_cast<std::size_t>(v - 0xDF) * 256; }

// ------------------------------------------------------------------ the log

// One delivery or one stop, with everything it carried.
struct Event {
    char kind = 0;  // e eeg, x extended, g gyro, r rr, w raw, S stop, I stop of an inner call, P pause
    std::int64_t v[12] = {};

    bool operator==(const Event& o) const { return kind == o.kind && std::memcmp(v, o.v, sizeof v) == 0; }
};

std::int64_t bitsOf(double d) {
    std::int64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

Event eegEvent(const QuillmoreData& r) {
    return {'e', {r.signal, r.attention, r.meditation, r.delta, r.theta, r.lowAlpha, r.highAlpha, r.lowBeta,
                  r.highBeta, r.lowGamma, r.highGamma, 0}};
}

Event extendEvent(const QuillmoreExtendData& r) {
    return {'x', {r.ap, r.battery, bitsOf(r.version), r.gnaw, bitsOf(r.temperature), r.heart,
                  static_cast<std::int64_t>(r.temperatureStatus)}};
}

struct Outcome {
    std::vector<Event> log;
    int state = 0;
    std::int64_t offset = 0;
    std::vector<std::vector<std::uint8_t>> buffers;  // every buffer the session may have used
};

void printEvent(const char* label, const Event& e) {
    std::fprintf(stderr, "  %s %c", label, e.kind ? e.kind : '-');
    for (std::int64_t x : e.v) std::fprintf(stderr, " %lld", static_cast<long long>(x));
    std::fprintf(stderr, "\n");
}

void expectSame(const Outcome& want, const Outcome& got, const char* how) {
    if (std::getenv("QUILLMORE_FUZZ_LOGS") != nullptr && !(want.log.size() == got.log.size() &&
                                                          std::equal(want.log.begin(), want.log.end(), got.log.begin()))) {
        for (const Event& e : want.log) printEvent("want", e);
        for (const Event& e : got.log) printEvent("got ", e);
    }
    const std::size_t n = want.log.size() < got.log.size() ? want.log.size() : got.log.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!(want.log[i] == got.log[i])) {
            std::fprintf(stderr, "%s: event %zu differs\n", how, i);
            printEvent("want", want.log[i]);
            printEvent("got ", got.log[i]);
            violation("same log");
        }
    }
    if (want.log.size() != got.log.size()) {
        std::fprintf(stderr, "%s: %zu events, want %zu\n", how, got.log.size(), want.log.size());
        printEvent("next", want.log.size() > n ? want.log[n] : got.log[n]);
        violation("same number of events");
    }
    if (want.state != got.state || want.offset != got.offset) {
        std::fprintf(stderr, "%s: state %d offset %lld, want state %d offset %lld\n", how, got.state,
                     static_cast<long long>(got.offset), want.state, static_cast<long long>(want.offset));
        violation("same final state and offset");
    }
    CHECK(want.buffers.size() == got.buffers.size());
    for (std::size_t i = 0; i < want.buffers.size(); ++i) {
        if (want.buffers[i] != got.buffers[i]) {
            std::fprintf(stderr, "%s: payload buffer %zu differs\n", how, i);
            violation("same payload buffers");
        }
    }
}

// ------------------------------------------------------------------ checks on each delivery

void checkRecord(const QuillmoreData& r) {
    CHECK(r.signal <= 255 && r.attention <= 255 && r.meditation <= 255);
    for (std::uint32_t band : {r.delta, r.theta, r.lowAlpha, r.highAlpha, r.lowBeta, r.highBeta, r.lowGamma,
                               r.highGamma}) {
        CHECK(band <= 0xFFFFFFu);
    }
}

void checkRecord(const QuillmoreExtendData& r) {
    CHECK(r.ap <= 255 && r.battery <= 255 && r.gnaw <= 255 && r.heart <= 255);
    // Two nibble-decimal bytes: at most (165 * 100 + 165) / 1000.
    CHECK(r.version >= 0.0 && r.version <= 16.665);
    switch (r.temperatureStatus) {
    case TemperatureStatus::NoRow:
    case TemperatureStatus::NoReading: CHECK(r.temperature == 0.0); break;
    case TemperatureStatus::Measured: CHECK(r.temperature >= 0.0 && r.temperature <= 254 + 25.5); break;
    default: violation("temperature kind");
    }
}

void checkGyroAxis(int v) { CHECK(v >= -75 && v <= 180); }

// ------------------------------------------------------------------ listener answers

enum class Answer { GoOn, Fail, Pause, PauseAndFail, Meddle };

// The action bytes, handed out one per outer delivery.
class ActionTape {
public:
    explicit ActionTape(const Session& s) : actions_(s.actions), count_(s.actionCount), meddle_(s.meddle) {}

    // The next action byte and what it asks for.
    Answer next(std::uint8_t& action) {
        if (used_ >= count_) return Answer::GoOn;
        action = actions_[used_++];
        switch (action >> 5) {
        case 2: return Answer::Fail;
        case 3: return action & 0x10 ? Answer::PauseAndFail : Answer::Pause;
        case 4:
        case 5:
        case 6:
        case 7: return meddle_ ? Answer::Meddle : Answer::GoOn;
        default: return Answer::GoOn;
        }
    }

private:
    const std::uint8_t* actions_;
    std::size_t count_;
    bool meddle_;
    std::size_t used_ = 0;
};

// ------------------------------------------------------------------ the core, played by a host

// The host: owns the buffers, logs deliveries, answers from the tape.
class Host : public QuillmoreListener {
public:
    // `bytewise`: the host feeds every byte through parseByte(), inside
    // callbacks too; otherwise through parse().
    Host(const Session& s, bool bytewise, std::size_t wholeChunk)
        : session_(s),
          tape_(s),
          bytewise_(bytewise),
          wholeChunk_(wholeChunk),
          other_{std::vector<std::uint8_t>(40), std::vector<std::uint8_t>(2048)} {
        // Heap blocks of the exact size, so that a stray access is caught.
        std::uint8_t* cells = nullptr;
        if (!s.ownBuffer) {
            const std::size_t blockSize = s.aliased ? sharedBlockSize(s) : s.bufferSize;
            block_.reset(new std::uint8_t[blockSize > 0 ? blockSize : 1]());
            if (s.bufferSize > 0) cells = block_.get() + s.aliasShift;
        }
        if (s.ownBuffer) {
            parser_.reset(new QuillmoreParser(*this));
        } else {
            parser_.reset(new QuillmoreParser(*this, cells, s.bufferSize));
        }
        startCells_ = host::payload(*parser_);
        if (s.aliased) {
            input_ = s.ownBuffer ? startCells_ : block_.get();
            if (!s.stream.empty()) std::memcpy(input_, s.stream.data(), s.stream.size());
        }
        if (s.hostStart) {
            host::setState(*parser_, s.startState);
            host::setByteOffset(*parser_, s.startOffset);
        }
        const auto size = static_cast<std::int64_t>(s.bufferSize);
        trackOffset_ = !s.meddle && s.startOffset >= -size && s.startOffset <= size;
    }

    Outcome play() {
        const std::vector<std::uint8_t>& stream = session_.stream;
        if (bytewise_) {
            for (std::size_t i = 0; i < stream.size(); ++i) {
                position_ = i;
                const std::uint8_t b = inputAt(i);
                const Foresight foresight = foresee(b);
                const Status st = host::parseByte(*parser_, b);
                if (st != Status::Ok) stop('S', st, i);
                checkForesight(foresight, b, st);
                checkOffset();
            }
        } else {
            std::size_t at = 0;
            std::size_t turn = 0;
            std::size_t emptyInARow = 0;
            while (at < stream.size()) {
                std::size_t n = wholeChunk_;
                if (n == 0) {
                    n = session_.chunkCount == 0 ? stream.size() : chunkSize(session_.chunks[turn++ % session_.chunkCount]);
                }
                // Empty calls are fine, but a list of nothing but zeros must end.
                emptyInARow = n == 0 ? emptyInARow + 1 : 0;
                if (emptyInARow > session_.chunkCount) n = 1;
                if (n > stream.size() - at) n = stream.size() - at;
                feedChunk(at, n);
                at += n;
            }
            // An empty call at the end changes nothing.
            const ParseResult r = parser_->parse(static_cast<const std::uint8_t*>(nullptr), 0);
            CHECK(r.ok() && r.consumed == 0);
        }
        Outcome out;
        out.log = std::move(log_);
        out.state = parser_->state();
        out.offset = parser_->byteOffset();
        out.buffers.emplace_back(startCells_, startCells_ + session_.bufferSize);
        for (const auto& o : other_) out.buffers.push_back(o);
        return out;
    }

    bool eeg_callback(const QuillmoreData& r, FrameView) override {
        checkRecord(r);
        CHECK(parser_->state() == 5);
        return deliver(eegEvent(r));
    }
    bool extend_eeg_callback(const QuillmoreExtendData& r, FrameView) override {
        checkRecord(r);
        CHECK(parser_->state() == 3);
        return deliver(extendEvent(r));
    }
    bool gyro_callback(int x, int y, int z, FrameView) override {
        checkGyroAxis(x);
        checkGyroAxis(y);
        checkGyroAxis(z);
        CHECK(parser_->state() == 1);
        return deliver({'g', {x, y, z}});
    }
    bool rr_callback(int rr1, int rr2, int rr3, FrameView) override {
        for (int rr : {rr1, rr2, rr3}) CHECK(rr >= 0 && rr <= 65535);
        CHECK(parser_->state() == 1);
        return deliver({'r', {rr1, rr2, rr3}});
    }
    bool raw_callback(int raw, FrameView) override {
        CHECK(raw >= -32768 && raw <= 32767);
        CHECK(parser_->state() == 1);
        return deliver({'w', {raw}});
    }

private:
    // The stream byte at i: from the input, or from the buffer cell that
    // holds it when the input lies in the buffer (read when its turn comes).
    std::uint8_t inputAt(std::size_t i) const { return session_.aliased ? input_[i] : session_.stream[i]; }

    // One chunk of the host's reads: parse() until it is used up, resuming
    // after every stop.  Each chunk is a heap block of its exact size, so a
    // read past its end is caught.
    void feedChunk(std::size_t at, std::size_t n) {
        std::unique_ptr<std::uint8_t[]> copy;
        const std::uint8_t* chunk;
        if (session_.aliased) {
            chunk = input_ + at;
        } else {
            copy.reset(new std::uint8_t[n > 0 ? n : 1]);
            if (n > 0) std::memcpy(copy.get(), session_.stream.data() + at, n);
            chunk = copy.get();
        }
        std::size_t done = 0;
        do {
            const ParseResult r = parser_->parse(chunk + done, n - done);
            CHECK(r.consumed <= n - done);
            if (r.status == Status::Ok) {
                CHECK(r.consumed == n - done);
            } else {
                // A stop includes the byte it happened at.
                CHECK(r.consumed >= 1);
                if (r.status == Status::Paused) {
                    pauseAt(at + done + r.consumed - 1);
                } else {
                    stop('S', r.status, at + done + r.consumed - 1);
                }
            }
            done += r.consumed;
            checkOffset();
        } while (done < n);
    }

    // What the parser says the next byte will do, and what it looks like
    // before the byte.
    struct Foresight {
        host::Assignments assigns;
        bool stores;
        int state;
        std::int64_t offset;
        std::size_t events;
        std::int64_t index;  // the cell the byte would go to, -1 if none
        std::uint8_t cell;
    };

    Foresight foresee(std::uint8_t b) const {
        Foresight f{host::assignmentsOf(*parser_, b), host::storesNextByte(*parser_), parser_->state(), parser_->byteOffset(),
                    log_.size(), -1, 0};
        const auto size = static_cast<std::int64_t>(host::payloadSize(*parser_));
        const std::int64_t index = f.offset < 0 ? f.offset + size : f.offset;
        if (index >= 0 && index < size) {
            f.index = index;
            f.cell = host::payload(*parser_)[index];
        }
        return f;
    }

    // assignmentsOf() names every change that parseByte() makes, and
    // storesNextByte() tells whether the byte lands in the buffer.  A
    // listener that meddles may change anything, so its deliveries end the
    // comparison.
    void checkForesight(const Foresight& f, std::uint8_t b, Status st) const {
        if (st != Status::Ok || (session_.meddle && log_.size() != f.events)) return;
        if (parser_->state() != f.state) CHECK(f.assigns.state);
        if (parser_->byteOffset() != f.offset) CHECK(f.assigns.offset);
        if (f.stores) {
            CHECK(f.index >= 0 && host::payload(*parser_)[f.index] == b);
        } else if (f.index >= 0 && !(f.state == 5 && b == 0x06 && f.index == 0)) {
            CHECK(host::payload(*parser_)[f.index] == f.cell);
        }
    }

    // Positions count from the start of the feed they happened in.
    void pauseAt(std::size_t position) {
        log_.push_back({'P', {static_cast<std::int64_t>(position), depth_}});
    }

    void stop(char kind, Status st, std::size_t position) {
        log_.push_back({kind, {static_cast<std::int64_t>(st), static_cast<std::int64_t>(position), depth_}});
    }

    // The offset never leaves the buffer, unless the host put it outside.
    void checkOffset() const {
        if (!trackOffset_) return;
        const auto size = static_cast<std::int64_t>(session_.bufferSize);
        const std::int64_t offset = parser_->byteOffset();
        // A zero-cell buffer: the extended frame's start sets offset 1 before its store fails.
        CHECK(offset >= -size && offset <= (size > 0 ? size : 1));
    }

    bool deliver(const Event& e) {
        log_.push_back(e);
        if (depth_ >= kMaxDepth) return true;
        std::uint8_t action = 0;
        switch (tape_.next(action)) {
        case Answer::GoOn: return true;
        case Answer::Fail: return false;
        case Answer::Pause:
            // parse() returns at once; one byte at a time there is nothing
            // to return from, so the position is logged here.
            parser_->pause();
            if (bytewise_) pauseAt(position_);
            return true;
        case Answer::PauseAndFail: parser_->pause(); return false;
        case Answer::Meddle: meddle(action); return true;
        }
        return true;
    }

    void meddle(std::uint8_t a) {
        switch (a >> 5) {
        case 4: host::setState(*parser_, a & 15); break;
        case 5: host::setByteOffset(*parser_, static_cast<std::int64_t>(a & 31) - 4); break;
        case 6:
            if (a & 0x10) {
                if (host::payload(*parser_) == startCells_) {
                    std::vector<std::uint8_t>& o = other_[(a >> 3) & 1];
                    host::setPayload(*parser_, o.data(), o.size());
                } else {
                    host::setPayload(*parser_, startCells_, session_.bufferSize);
                }
            } else if (static_cast<std::size_t>(a & 15) < host::payloadSize(*parser_)) {
                host::payload(*parser_)[a & 15] ^= 0xFF;
            }
            break;
        default: feedAgain(a & 31); break;
        }
    }

    // Feeds the next n bytes of the stream (from a cursor of its own) from
    // inside a callback; a stop ends the inner feed.
    void feedAgain(std::size_t n) {
        const std::vector<std::uint8_t>& stream = session_.stream;
        if (stream.empty()) return;
        std::vector<std::uint8_t> inner(n);
        for (std::size_t k = 0; k < n; ++k) inner[k] = stream[(innerCursor_ + k) % stream.size()];
        innerCursor_ += n;
        ++depth_;
        const std::size_t outerPosition = position_;
        if (bytewise_) {
            for (std::size_t k = 0; k < n; ++k) {
                position_ = k;
                const Status st = host::parseByte(*parser_, inner[k]);
                if (st != Status::Ok) {
                    stop('I', st, k);
                    break;
                }
            }
        } else {
            // Like the outer host: go on after a pause, give up at a stop.
            std::size_t done = 0;
            while (done < n) {
                const ParseResult r = parser_->parse(inner.data() + done, n - done);
                CHECK(r.consumed <= n - done);
                if (r.status == Status::Ok) CHECK(r.consumed == n - done);
                if (!r.ok()) CHECK(r.consumed >= 1);
                if (r.status == Status::Paused) {
                    pauseAt(done + r.consumed - 1);
                } else if (!r.ok()) {
                    stop('I', r.status, done + r.consumed - 1);
                    break;
                }
                done += r.consumed;
            }
        }
        position_ = outerPosition;
        --depth_;
    }

    const Session& session_;
    ActionTape tape_;
    bool bytewise_;
    std::size_t wholeChunk_;
    std::unique_ptr<std::uint8_t[]> block_;  // a heap buffer, and the input when they share memory
    std::uint8_t* input_ = nullptr;           // the input, when it lies in the buffer's memory
    std::vector<std::uint8_t> other_[2];
    std::unique_ptr<QuillmoreParser> parser_;
    std::uint8_t* startCells_ = nullptr;
    bool trackOffset_ = false;
    std::vector<Event> log_;
    static constexpr std::int64_t kMaxDepth = 3;
    std::int64_t depth_ = 0;  // feeds from inside callbacks now running
    std::size_t innerCursor_ = 0;
    std::size_t position_ = 0;  // of the byte being fed, one byte at a time
};

// ------------------------------------------------------------------ the model

// The frame machine as its rules state it, one byte at a time, with the
// payload decoders and what a failed delivery leaves behind.  Knows nothing
// of the core's code; used for sessions whose listener does not meddle.
class Model {
public:
    explicit Model(const Session& s)
        : s_(s),
          tape_(s),
          block_(s.aliased ? sharedBlockSize(s) : s.bufferSize),
          size_(static_cast<std::int64_t>(s.bufferSize)) {
        if (s.hostStart) {
            state_ = s.startState;
            offset_ = s.startOffset;
        }
        if (s.aliased) std::copy(s.stream.begin(), s.stream.end(), block_.begin());
    }

    // The three decoders on the given cells, as a host calling them
    // directly: a stop for a decoder that reads past the end.
    std::vector<Event> decodeDirectly(const std::vector<std::uint8_t>& cells) {
        block_ = cells;
        size_ = static_cast<std::int64_t>(cells.size());
        for (Status st : {decodeStandard(), decodeExtend(), decodeHrv()}) {
            if (st != Status::Ok) log_.push_back({'S', {static_cast<std::int64_t>(st)}});
        }
        return std::move(log_);
    }

    Outcome play() {
        for (std::size_t i = 0; i < s_.stream.size(); ++i) {
            position_ = i;
            const Status st = step(s_.aliased ? block_[i] : s_.stream[i]);
            if (st != Status::Ok) log_.push_back({'S', {static_cast<std::int64_t>(st), static_cast<std::int64_t>(i), 0}});
        }
        Outcome out;
        out.log = std::move(log_);
        out.state = state_;
        out.offset = offset_;
        out.buffers.emplace_back(cells(), cells() + size_);
        out.buffers.emplace_back(40);
        out.buffers.emplace_back(2048);
        return out;
    }

private:
    // Stores b at the offset (negative counts from the end) and advances it.
    bool collect(std::uint8_t b) {
        const std::int64_t index = offset_ < 0 ? offset_ + size_ : offset_;
        if (index < 0 || index >= size_) return false;
        cells()[static_cast<std::size_t>(index)] = b;
        ++offset_;
        return true;
    }

    Status step(std::uint8_t b) {
        switch (state_) {
        case 1:
            if (b == 0xAA) state_ = 2;
            return Status::Ok;
        case 2:
            state_ = b == 0xAA ? 3 : b == 0xBB ? 10 : 1;
            return Status::Ok;
        case 3:
            if (b == 0x20 || b == 0x04 || b == 0x07) {
                state_ = b == 0x20 ? 4 : b == 0x04 ? 6 : 9;
                offset_ = 0;
            } else {
                state_ = 1;
            }
            return Status::Ok;
        case 4:
        case 6:
        case 9:
        case 11: {
            if (!collect(b)) return Status::IndexOutOfRange;
            const std::int64_t total = state_ == 4 ? 33 : state_ == 6 ? 5 : state_ == 9 ? 8 : 13;
            if (offset_ < total) return Status::Ok;
            if (state_ == 4) {
                state_ = 5;
                return sumOf(32) == static_cast<std::uint8_t>(~b) ? decodeStandard() : Status::Ok;
            }
            if (state_ == 6) {
                state_ = 1;
                if (sumOf(4) != static_cast<std::uint8_t>(~b)) return Status::Ok;
                int raw = cells()[2] << 8 | cells()[3];
                if (raw > 32767) raw -= 65536;
                return answer({'w', {raw}});
            }
            state_ = 1;
            if (total == 8) return answer({'g', {axis(cells()[2]), axis(cells()[4]), axis(cells()[6])}});
            return decodeHrv();
        }
        case 5:
            if (b == 0x06) {
                state_ = 7;
                offset_ = 1;
                if (size_ == 0) return Status::IndexOutOfRange;
                cells()[0] = 0x06;
            } else if (b == 0xAA) {
                state_ = 2;
            }
            return Status::Ok;
        case 7:
            if (offset_ >= size_) {  // no room: the frame is dropped, b is hunted through
                state_ = b == 0xAA ? 2 : 1;
                offset_ = 0;
                return Status::Ok;
            }
            if (!collect(b)) return Status::IndexOutOfRange;
            if (b == 0xAA) state_ = 8;
            return Status::Ok;
        case 8:
            if (b == 0xAA) {
                state_ = 3;  // the next frame's length byte comes next
                return decodeExtend();
            } else {
                state_ = b == 0xBB ? 10 : 7;
            }
            return Status::Ok;
        case 10:
            offset_ = 0;
            if (b == 0x0C) state_ = 11;
            return Status::Ok;
        default:
            return Status::Ok;
        }
    }

    std::uint8_t sumOf(std::size_t n) const {
        unsigned sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += cells()[i];
        return static_cast<std::uint8_t>(sum);
    }

    static std::int64_t axis(std::uint8_t low) { return low > 180 ? 180 - low : low; }

    // A cell a decoder reads; past the buffer's end the decode fails.
    std::int64_t cell(std::size_t i) {
        if (i >= static_cast<std::size_t>(size_)) {
            outside_ = true;
            return 0;
        }
        return cells()[i];
    }

    Status decodeStandard() {
        outside_ = false;
        std::int64_t v[11] = {};  // signal, attention, meditation, eight bands
        std::size_t i = 0;
        while (i < 32) {
            const std::int64_t code = cell(i++);
            if (code == 0x02) {
                v[0] = cell(i++);
            } else if (code == 0x04) {
                v[1] = cell(i++);
            } else if (code == 0x05) {
                v[2] = cell(i++);
            } else if (code == 0x83 && cell(i++) == 24) {
                for (int band = 0; band < 8; ++band, i += 3) v[3 + band] = cell(i) << 16 | cell(i + 1) << 8 | cell(i + 2);
            }
        }
        if (outside_) return Status::IndexOutOfRange;
        Event e{'e', {}};
        std::copy(v, v + 11, e.v);
        return answer(e);
    }

    Status decodeExtend() {
        outside_ = false;
        std::int64_t ap = 0, battery = 0, gnaw = 0, heart = 0;
        double version = 0.0, temperature = 0.0;
        TemperatureStatus status = TemperatureStatus::NoRow;
        std::size_t i = 0;
        auto decimal = [](std::int64_t b) { return (b >> 4) * 10 + (b & 15); };
        while (i < 12) {
            const std::int64_t code = cell(i++);
            if (code == 0x06) {
                ap = cell(i++);
            } else if (code == 0x07) {
                battery = cell(i++);
            } else if (code == 0x08) {
                const std::int64_t mainVersion = decimal(cell(i++)) * 100;
                gnaw = cell(i++);
                version = static_cast<double>(mainVersion + decimal(cell(i++))) / 1000.0;
                const std::int64_t whole = cell(i++);
                const std::int64_t tenths = cell(i++);
                status = whole == 255 ? TemperatureStatus::NoReading : TemperatureStatus::Measured;
                temperature = whole == 255 ? 0.0 : static_cast<double>(whole) + static_cast<double>(tenths) / 10.0;
                heart = cell(i++);
            }
        }
        if (outside_) return Status::IndexOutOfRange;
        return answer({'x', {ap, battery, bitsOf(version), gnaw, bitsOf(temperature), heart,
                             static_cast<std::int64_t>(status)}});
    }

    Status decodeHrv() {
        outside_ = false;
        std::int64_t sum = 12;
        for (std::size_t i = 0; i < 9; ++i) sum += cell(i);
        const std::int64_t check = cell(9);
        if (outside_) return Status::IndexOutOfRange;
        if ((sum & 0xFF) != check) return Status::Ok;
        return answer({'r', {cell(0) << 8 | cell(1), cell(2) << 8 | cell(3), cell(4) << 8 | cell(5)}});
    }

    // A delivery: logged, then answered from the tape.  A pause returns
    // from parse() right after the byte that made the delivery.
    Status answer(const Event& e) {
        log_.push_back(e);
        std::uint8_t action = 0;
        switch (tape_.next(action)) {
        case Answer::Fail:
        case Answer::PauseAndFail: return Status::CallbackFailed;
        case Answer::Pause: log_.push_back({'P', {static_cast<std::int64_t>(position_), 0}}); return Status::Ok;
        default: return Status::Ok;
        }
    }

    const Session& s_;
    ActionTape tape_;
    // The payload buffer, within a block that also holds the input when
    // they share memory.
    std::uint8_t* cells() { return block_.data() + s_.aliasShift; }
    const std::uint8_t* cells() const { return block_.data() + s_.aliasShift; }

    std::vector<std::uint8_t> block_;
    std::int64_t size_;
    int state_ = 1;
    std::int64_t offset_ = 0;
    bool outside_ = false;
    std::size_t position_ = 0;
    std::vector<Event> log_;
};

// The core's decoders on a heap block of exactly the given cells.
std::vector<Event> decodeDirectly(const std::vector<std::uint8_t>& cells) {
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[cells.empty() ? 1 : cells.size()]);
    std::copy(cells.begin(), cells.end(), block.get());
    const quillmore::PayloadView view{cells.empty() ? nullptr : block.get(), cells.size()};
    std::vector<Event> log;
    auto stopped = [&](Status st) {
        if (st != Status::Ok) log.push_back({'S', {static_cast<std::int64_t>(st)}});
    };
    QuillmoreData data;
    Status st = quillmore::decodeStandardPayload(view, data);
    if (st == Status::Ok) {
        checkRecord(data);
        log.push_back(eegEvent(data));
    }
    QuillmoreExtendData extend;
    const Status extendStatus = quillmore::decodeExtendedPayload(view, extend);
    if (extendStatus == Status::Ok) {
        checkRecord(extend);
        log.push_back(extendEvent(extend));
    }
    quillmore::RrValues rr;
    bool accepted = false;
    const Status hrvStatus = quillmore::decodeHrvPayload(view, rr, accepted);
    if (hrvStatus == Status::Ok && accepted) log.push_back({'r', {rr.rr1, rr.rr2, rr.rr3}});
    // The model logs in the same order: records first, stops after.
    stopped(st);
    stopped(extendStatus);
    stopped(hrvStatus);
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Session session = readSession(data, size);

    // The decoders alone, on the first bytes of the stream as the buffer:
    // up to 60 cells, past the farthest cell any of them reads.
    const std::vector<std::uint8_t> cells(session.stream.begin(),
                                          session.stream.begin() + std::min<std::ptrdiff_t>(
                                                                       static_cast<std::ptrdiff_t>(session.stream.size()), 60));
    Session plain;
    plain.bufferSize = cells.size();
    const std::vector<Event> direct = decodeDirectly(cells);
    if (!(Model(plain).decodeDirectly(cells) == direct)) violation("decoders called directly agree with the model");

    const Outcome bytewise = Host(session, true, 0).play();
    if (!session.meddle) expectSame(Model(session).play(), bytewise, "parseByte against the model");
    expectSame(bytewise, Host(session, false, 0).play(), "parse in the input's chunks");
    if (session.chunkCount > 0 && !session.stream.empty()) {
        expectSame(bytewise, Host(session, false, session.stream.size()).play(), "parse in one call");
    }
    // The batch path on the same stream, cut by the same chunk sizes.
    quillmore::fuzzing::checkBatchPath(session.stream, session.chunks, session.chunkCount);
    return 0;
}
