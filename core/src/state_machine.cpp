// The frame state machine.  parseByte() is the machine's definition, one byte
// at a time; parse() runs the same machine but takes the common cases in
// bulk: hunting states search for their byte with memchr, collecting states
// copy the known count of bytes at once.  Anything unusual (a host-set
// offset, a short buffer, input that overlaps the buffer) goes through
// parseByte(), so both paths agree byte for byte.
#include <algorithm>
#include <cstring>

#include "quillmore/parser.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmore {
namespace {

constexpr std::uint8_t kSync = 0xAA;
constexpr std::uint8_t kHrvSync = 0xBB;
constexpr std::uint8_t kStandardLength = 0x20;
constexpr std::uint8_t kRawLength = 0x04;
constexpr std::uint8_t kGyroLength = 0x07;
constexpr std::uint8_t kHrvLength = 0x0C;
constexpr std::uint8_t kExtendStart = 0x06;

// Bytes collected after the length byte.  A gyroscope frame carries eight
// although its length byte says seven.
constexpr std::int64_t kStandardBytes = 33;  // 32 payload + checksum
constexpr std::int64_t kRawBytes = 5;        // 4 payload + checksum
constexpr std::int64_t kGyroBytes = 8;
constexpr std::int64_t kHrvBytes = 13;

constexpr int s(State state) { return static_cast<int>(state); }

// Bytes that the collecting state `state` takes in all; 0 for other states.
constexpr std::int64_t frameBytes(int state) {
    switch (state) {
    case s(State::CollectStandard): return kStandardBytes;
    case s(State::CollectRaw): return kRawBytes;
    case s(State::CollectGyro): return kGyroBytes;
    case s(State::CollectHrv): return kHrvBytes;
    default: return 0;
    }
}

const std::uint8_t* find(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t value) {
    const void* hit = std::memchr(p, value, static_cast<std::size_t>(end - p));
    return hit ? static_cast<const std::uint8_t*>(hit) : end;
}

// First byte equal to a or b, or end.
const std::uint8_t* findEither(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t a, std::uint8_t b) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)));
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (*p == a || *p == b) return p;
    }
    return end;
}

// Frames are short; a plain loop beats a call to memcpy for them.
inline void copyBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
    if (n > 64) {
        std::memcpy(dst, src, n);
        return;
    }
    for (std::size_t k = 0; k < n; ++k) dst[k] = src[k];
}

}  // namespace

// ---------------------------------------------------------------- listener

Status QuillmoreListener::standardFrame(QuillmoreParser& parser) { return parser.parsePackagePayload(); }
Status QuillmoreListener::extendFrame(QuillmoreParser& parser) { return parser.parseExtendPackagePayload(); }
Status QuillmoreListener::hrvFrame(QuillmoreParser& parser) { return parser.parseHRVPackagePayload(); }

// ---------------------------------------------------------------- parser

QuillmoreParser::QuillmoreParser(QuillmoreListener& listener)
    : QuillmoreParser(listener, nullptr, 0) {
    setPayload(ownPayload_.data(), ownPayload_.size());
}

QuillmoreParser::QuillmoreParser(QuillmoreListener& listener, std::uint8_t* payload, std::size_t size)
    : listener_(&listener), payload_(payload), payloadSize_(size) {}

bool QuillmoreParser::storesNextByte() const {
    switch (state_) {
    case s(State::CollectStandard):
    case s(State::CollectRaw):
    case s(State::CollectGyro):
    case s(State::CollectHrv):
        return true;
    case s(State::CollectExtend):
        // A full buffer drops the extended frame instead of storing.
        return byteOffset_ < static_cast<std::int64_t>(payloadSize_);
    default:
        return false;
    }
}

bool QuillmoreParser::overlapsPayload(const std::uint8_t* data, std::size_t size) const {
    return data < payload_ + payloadSize_ && payload_ < data + size;
}

// Stores `byte` at the offset and advances it.  A negative offset counts
// from the end of the buffer; any index outside the buffer fails and leaves
// everything as it was.
Status QuillmoreParser::collect(std::uint8_t byte) {
    const auto size = static_cast<std::int64_t>(payloadSize_);
    const std::int64_t index = byteOffset_ < 0 ? byteOffset_ + size : byteOffset_;
    if (index < 0 || index >= size) return Status::IndexOutOfRange;
    payload_[index] = byte;
    ++byteOffset_;
    return Status::Ok;
}

Status QuillmoreParser::completeStandard(std::uint8_t checkSum) {
    // The state moves on first: an extended frame may follow a standard
    // frame whose checksum failed, and a failing decoder leaves state 5.
    state_ = s(State::AfterStandard);
    if (!complementedSumMatches(payload_, kStandardBytes - 1, checkSum)) return Status::Ok;
    return listener_->standardFrame(*this);
}

Status QuillmoreParser::completeRaw(std::uint8_t checkSum) {
    state_ = s(State::HuntSync);
    if (!complementedSumMatches(payload_, kRawBytes - 1, checkSum)) return Status::Ok;
    return listener_->raw_callback(decodeRawSample(payload_)) ? Status::Ok : Status::CallbackFailed;
}

Status QuillmoreParser::completeGyro() {
    state_ = s(State::HuntSync);
    const GyroValues g = decodeGyro(payload_);
    return listener_->gyro_callback(g.x, g.y, g.z) ? Status::Ok : Status::CallbackFailed;
}

Status QuillmoreParser::completeHrv() {
    // Not verified here: the HRV payload carries its own checksum.
    state_ = s(State::HuntSync);
    return listener_->hrvFrame(*this);
}

// Completes the frame of the current collecting state; `lastByte` is its
// final byte.
Status QuillmoreParser::completeFrame(std::uint8_t lastByte) {
    switch (state_) {
    case s(State::CollectStandard): return completeStandard(lastByte);
    case s(State::CollectRaw): return completeRaw(lastByte);
    case s(State::CollectGyro): return completeGyro();
    default: return completeHrv();
    }
}

Status QuillmoreParser::parseByte(std::uint8_t byte) { return step(byte); }

Status QuillmoreParser::step(std::uint8_t b) {
    switch (state_) {
    case s(State::HuntSync):
        if (b == kSync) state_ = s(State::AfterSync);
        return Status::Ok;

    case s(State::AfterSync):
        state_ = b == kSync ? s(State::LengthByte) : b == kHrvSync ? s(State::HrvLength) : s(State::HuntSync);
        return Status::Ok;

    case s(State::LengthByte):
        switch (b) {
        case kStandardLength: state_ = s(State::CollectStandard); byteOffset_ = 0; break;
        case kRawLength: state_ = s(State::CollectRaw); byteOffset_ = 0; break;
        case kGyroLength: state_ = s(State::CollectGyro); byteOffset_ = 0; break;
        default: state_ = s(State::HuntSync); break;
        }
        return Status::Ok;

    case s(State::CollectStandard):
    case s(State::CollectRaw):
    case s(State::CollectGyro):
    case s(State::CollectHrv): {
        const Status stored = collect(b);
        if (stored != Status::Ok) return stored;
        if (byteOffset_ >= frameBytes(state_)) return completeFrame(b);
        return Status::Ok;
    }

    case s(State::AfterStandard):
        if (b == kExtendStart) {
            state_ = s(State::CollectExtend);
            byteOffset_ = 1;
            if (payloadSize_ == 0) return Status::IndexOutOfRange;
            payload_[0] = kExtendStart;
        } else if (b == kSync) {
            state_ = s(State::AfterSync);
        }
        return Status::Ok;

    case s(State::CollectExtend): {
        if (byteOffset_ >= static_cast<std::int64_t>(payloadSize_)) {
            // The frame would run past the buffer: drop it and hunt again,
            // starting with this very byte.
            state_ = b == kSync ? s(State::AfterSync) : s(State::HuntSync);
            byteOffset_ = 0;
            return Status::Ok;
        }
        const Status stored = collect(b);
        if (stored != Status::Ok) return stored;
        if (b == kSync) state_ = s(State::ExtendSync);
        return Status::Ok;
    }

    case s(State::ExtendSync):
        if (b == kSync) {
            // AA AA: the sync bytes of the next frame end the extended one.
            // The decoder runs in state 8; the length byte comes next.
            const Status decoded = listener_->extendFrame(*this);
            if (decoded != Status::Ok) return decoded;
            state_ = s(State::LengthByte);
        } else if (b == kHrvSync) {
            state_ = s(State::HrvLength);  // abandoned without decoding
        } else {
            state_ = s(State::CollectExtend);  // the byte after an inner AA is dropped
        }
        return Status::Ok;

    case s(State::HrvLength):
        byteOffset_ = 0;
        if (b == kHrvLength) state_ = s(State::CollectHrv);
        return Status::Ok;

    default:
        return Status::Ok;  // not a state of the machine: every byte is a no-op
    }
}

ParseResult QuillmoreParser::parse(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* const end = data + size;
    const std::uint8_t* p = data;
    auto stopped = [&](Status status) { return ParseResult{status, static_cast<std::size_t>(p - data)}; };

    while (p < end) {
        switch (state_) {
        case s(State::HuntSync):
            if (*p != kSync) {
                p = find(p + 1, end, kSync);
                if (p == end) return stopped(Status::Ok);
            }
            ++p;
            state_ = s(State::AfterSync);
            break;

        case s(State::CollectStandard):
        case s(State::CollectRaw):
        case s(State::CollectGyro):
        case s(State::CollectHrv): {
            const std::int64_t total = frameBytes(state_);
            if (byteOffset_ >= 0 && byteOffset_ < total && total <= static_cast<std::int64_t>(payloadSize_) &&
                !overlapsPayload(p, static_cast<std::size_t>(end - p))) {
                const auto want = static_cast<std::size_t>(total - byteOffset_);
                const std::size_t n = std::min(want, static_cast<std::size_t>(end - p));
                copyBytes(payload_ + byteOffset_, p, n);
                byteOffset_ += static_cast<std::int64_t>(n);
                p += n;
                if (n < want) return stopped(Status::Ok);
                const Status completed = completeFrame(p[-1]);
                if (completed != Status::Ok) return stopped(completed);
                break;
            }
            const Status stepped = step(*p++);
            if (stepped != Status::Ok) return stopped(stepped);
            break;
        }

        case s(State::AfterStandard): {
            p = findEither(p, end, kExtendStart, kSync);
            if (p == end) return stopped(Status::Ok);
            const Status stepped = step(*p++);
            if (stepped != Status::Ok) return stopped(stepped);
            break;
        }

        case s(State::CollectExtend): {
            if (byteOffset_ >= 0 && byteOffset_ < static_cast<std::int64_t>(payloadSize_) &&
                !overlapsPayload(p, static_cast<std::size_t>(end - p))) {
                // Collect up to and including the next AA, as far as the
                // buffer has room.
                const std::size_t room = payloadSize_ - static_cast<std::size_t>(byteOffset_);
                const std::uint8_t* limit = p + std::min(room, static_cast<std::size_t>(end - p));
                const std::uint8_t* sync = find(p, limit, kSync);
                const std::uint8_t* stop = sync == limit ? limit : sync + 1;
                const auto n = static_cast<std::size_t>(stop - p);
                std::memcpy(payload_ + byteOffset_, p, n);
                byteOffset_ += static_cast<std::int64_t>(n);
                p = stop;
                if (sync != limit) state_ = s(State::ExtendSync);
                break;
            }
            const Status stepped = step(*p++);
            if (stepped != Status::Ok) return stopped(stepped);
            break;
        }

        case s(State::HrvLength):
            // Everything up to the length byte 0C is skipped; each byte in
            // this state resets the offset.
            byteOffset_ = 0;
            p = find(p, end, kHrvLength);
            if (p == end) return stopped(Status::Ok);
            ++p;
            state_ = s(State::CollectHrv);
            break;

        case s(State::AfterSync):
        case s(State::LengthByte):
        case s(State::ExtendSync): {
            const Status stepped = step(*p++);
            if (stepped != Status::Ok) return stopped(stepped);
            break;
        }

        default:
            return ParseResult{Status::Ok, size};
        }
    }
    return stopped(Status::Ok);
}

// ---------------------------------------------------------------- decoders

Status QuillmoreParser::parsePackagePayload() {
    QuillmoreData record;
    const Status decoded = decodeStandardPayload(payloadView(), record);
    if (decoded != Status::Ok) return decoded;
    return listener_->eeg_callback(record) ? Status::Ok : Status::CallbackFailed;
}

Status QuillmoreParser::parseExtendPackagePayload() {
    QuillmoreExtendData record;
    const Status decoded = decodeExtendPayload(payloadView(), record);
    if (decoded != Status::Ok) return decoded;
    return listener_->extend_eeg_callback(record) ? Status::Ok : Status::CallbackFailed;
}

Status QuillmoreParser::parseHRVPackagePayload() {
    RrValues rr;
    bool accepted = false;
    const Status decoded = decodeHrvPayload(payloadView(), rr, accepted);
    if (decoded != Status::Ok || !accepted) return decoded;
    return listener_->rr_callback(rr.rr1, rr.rr2, rr.rr3) ? Status::Ok : Status::CallbackFailed;
}

}  // namespace quillmore
