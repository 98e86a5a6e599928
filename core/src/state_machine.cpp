// The frame state machine.  parseByte() (step()) is the machine's definition,
// one byte at a time; parse() runs the same machine over a whole buffer and
// takes the common cases in bulk:
//   - hunting states search for their byte with memchr;
//   - states 1, 2 and 3 run inline, and a whole raw-sample frame in state 1
//     is recognised by its three header bytes at once;
//   - when the length byte arrives with the whole frame behind it, the frame
//     goes into the buffer in one fixed-length copy and is completed at once,
//     leaving state and offset as byte-by-byte collection would;
//   - a frame split across calls is topped up with one copy.
// Anything unusual (a host-set offset, a short buffer, input that overlaps
// the buffer, the rare states 5 and 8) goes through step(), so both paths
// agree byte for byte.
#include <algorithm>
#include <cstring>

#include "quillmore/parser.hpp"

// Vector search where the target has it: SSE2 on every x86-64 (GCC and
// Clang say __SSE2__, MSVC _M_X64), NEON on every AArch64.
#if defined(__SSE2__) || defined(_M_X64)
#define QUILLMORE_SSE2 1
#include <emmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#elif defined(__aarch64__) || defined(_M_ARM64)
#define QUILLMORE_NEON 1
#include <arm_neon.h>
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

// Sync, sync, length byte: the header of a raw-sample frame.
constexpr std::int64_t kHeaderBytes = 3;
constexpr std::uint8_t kRawHeader[kHeaderBytes] = {kSync, kSync, kRawLength};

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

#if defined(QUILLMORE_SSE2)
// Index of the lowest set bit of a non-zero mask.
inline unsigned lowestSetBit(unsigned mask) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctz(mask));
#elif defined(_MSC_VER)
    unsigned long index = 0;
    _BitScanForward(&index, mask);
    return static_cast<unsigned>(index);
#else
    unsigned index = 0;
    for (; (mask & 1u) == 0; mask >>= 1) ++index;
    return index;
#endif
}
#endif

// First byte equal to a or b, or end.
const std::uint8_t* findEither(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t a, std::uint8_t b) {
#if defined(QUILLMORE_SSE2)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)));
        if (mask != 0) return p + lowestSetBit(static_cast<unsigned>(mask));
        p += 16;
    }
#elif defined(QUILLMORE_NEON)
    // NEON has no byte mask; a block with a hit is left to the loop below.
    const uint8x16_t va = vdupq_n_u8(a);
    const uint8x16_t vb = vdupq_n_u8(b);
    while (end - p >= 16) {
        const uint8x16_t x = vld1q_u8(p);
        if (vmaxvq_u8(vorrq_u8(vceqq_u8(x, va), vceqq_u8(x, vb))) != 0) break;
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

// Whether [p, end) and the `size` bytes at `buf` share no byte.  Compared as
// addresses: the two ranges normally lie in different objects.
bool disjoint(const std::uint8_t* p, const std::uint8_t* end, const std::uint8_t* buf, std::size_t size) {
    const auto first = reinterpret_cast<std::uintptr_t>(p);
    const auto last = reinterpret_cast<std::uintptr_t>(end);
    const auto bufFirst = reinterpret_cast<std::uintptr_t>(buf);
    return last <= bufFirst || bufFirst + size <= first;
}

}  // namespace

const char* statusName(Status status) {
    switch (status) {
    case Status::Ok: return "Ok";
    case Status::CallbackFailed: return "CallbackFailed";
    case Status::IndexOutOfRange: return "IndexOutOfRange";
    case Status::Paused: return "Paused";
    }
    return "unknown status";
}

// ---------------------------------------------------------------- listener

Status QuillmoreListener::standardFrame(QuillmoreParser& parser) { return parser.parsePackagePayload(); }
Status QuillmoreListener::extendFrame(QuillmoreParser& parser) { return parser.parseExtendPackagePayload(); }
Status QuillmoreListener::hrvFrame(QuillmoreParser& parser) { return parser.parseHRVPackagePayload(); }

// ---------------------------------------------------------------- parser

QuillmoreParser::QuillmoreParser(QuillmoreListener& listener)
    : QuillmoreParser(listener, nullptr, 0) {
    ownPayload_ = std::make_unique<std::uint8_t[]>(kPayloadSize);  // zeroed
    setPayload(ownPayload_.get(), kPayloadSize);
}

QuillmoreParser::QuillmoreParser(QuillmoreListener& listener, std::uint8_t* payload, std::size_t size)
    : listener_(&listener), payload_(payload), payloadSize_(size) {}

QuillmoreParser::Assignments QuillmoreParser::assignmentsOf(std::uint8_t b) const {
    switch (state_) {
    case s(State::HuntSync): return {b == kSync, false};
    case s(State::AfterSync): return {true, false};
    case s(State::LengthByte): return {true, b == kStandardLength || b == kRawLength || b == kGyroLength};
    case s(State::CollectStandard):
    case s(State::CollectRaw):
    case s(State::CollectGyro):
    case s(State::CollectHrv):
        // The byte that completes the frame also moves the state on.
        return {byteOffset_ >= frameBytes(state_) - 1, true};
    case s(State::AfterStandard): return {b == kExtendStart || b == kSync, b == kExtendStart};
    case s(State::CollectExtend):
        if (byteOffset_ >= static_cast<std::int64_t>(payloadSize_)) return {true, true};  // frame dropped
        return {b == kSync, true};
    case s(State::ExtendSync): return {true, false};
    case s(State::HrvLength): return {b == kHrvLength, true};
    default: return {false, false};
    }
}

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

bool QuillmoreParser::examinesAfterStore() const {
    switch (state_) {
    case s(State::CollectExtend): return storesNextByte();
    case s(State::CollectStandard): return byteOffset_ >= kStandardBytes - 1;
    case s(State::CollectRaw): return byteOffset_ >= kRawBytes - 1;
    default: return false;
    }
}

Status QuillmoreParser::storeBeforeExamining(std::uint8_t byte) {
    const Status stored = collect(byte);
    if (stored != Status::Ok) return stored;
    if (state_ == s(State::CollectStandard) && byteOffset_ >= kStandardBytes) state_ = s(State::AfterStandard);
    if (state_ == s(State::CollectRaw) && byteOffset_ >= kRawBytes) state_ = s(State::HuntSync);
    return Status::Ok;
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
    if (!complementedSumMatches(payload_, kStandardBytes - 1, checkSum)) {
        if (loss_) ++loss_->standardChecksumFailures;
        return Status::Ok;
    }
    return listener_->standardFrame(*this);
}

Status QuillmoreParser::completeRaw(std::uint8_t checkSum) {
    state_ = s(State::HuntSync);
    if (!complementedSumMatches(payload_, kRawBytes - 1, checkSum)) {
        if (loss_) ++loss_->rawChecksumFailures;
        return Status::Ok;
    }
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
    if (loss_) countHrvFrame(payloadView(), *loss_);
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
        else if (loss_) ++loss_->bytesSkipped;
        return Status::Ok;

    case s(State::AfterSync):
        state_ = b == kSync ? s(State::LengthByte) : b == kHrvSync ? s(State::HrvLength) : s(State::HuntSync);
        if (loss_ && state_ == s(State::HuntSync)) loss_->bytesSkipped += 2;  // AA and this byte
        return Status::Ok;

    case s(State::LengthByte):
        switch (b) {
        case kStandardLength: state_ = s(State::CollectStandard); byteOffset_ = 0; break;
        case kRawLength: state_ = s(State::CollectRaw); byteOffset_ = 0; break;
        case kGyroLength: state_ = s(State::CollectGyro); byteOffset_ = 0; break;
        default:
            state_ = s(State::HuntSync);
            if (loss_) loss_->bytesSkipped += 3;  // AA AA and this byte
            break;
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
        } else if (loss_) {
            ++loss_->bytesSkipped;
        }
        return Status::Ok;

    case s(State::CollectExtend): {
        if (byteOffset_ >= static_cast<std::int64_t>(payloadSize_)) {
            // The frame would run past the buffer: drop it and hunt again,
            // starting with this very byte.
            state_ = b == kSync ? s(State::AfterSync) : s(State::HuntSync);
            byteOffset_ = 0;
            if (loss_) {
                ++loss_->extendedDropped;
                if (b != kSync) ++loss_->bytesSkipped;  // this byte, hunted over as in state 1
            }
            return Status::Ok;
        }
        const Status stored = collect(b);
        if (stored != Status::Ok) return stored;
        if (b == kSync) state_ = s(State::ExtendSync);
        return Status::Ok;
    }

    case s(State::ExtendSync):
        if (b == kSync) {
            // AA AA: the sync bytes of the next frame end the extended one,
            // and its length byte comes next.  As with every other frame,
            // the state moves on before the delivery, so a listener that
            // feeds the parser goes on from where the frame left it.
            state_ = s(State::LengthByte);
            return listener_->extendFrame(*this);
        } else if (b == kHrvSync) {
            state_ = s(State::HrvLength);  // abandoned without decoding
            if (loss_) ++loss_->extendedAbandoned;
        } else {
            state_ = s(State::CollectExtend);  // the byte after an inner AA is dropped
        }
        return Status::Ok;

    case s(State::HrvLength):
        byteOffset_ = 0;
        if (b == kHrvLength) state_ = s(State::CollectHrv);
        else if (loss_) ++loss_->bytesSkipped;
        return Status::Ok;

    default:
        return Status::Ok;  // not a state of the machine: every byte is a no-op
    }
}

ParseResult QuillmoreParser::parse(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* const end = data + size;
    const std::uint8_t* p = data;
    // A pause belongs to the parse() call whose listener asked for it.  This
    // call may run inside a listener call of an enclosing one (a listener
    // feeding the parser): that call's request is kept aside and handed back
    // on return, and a request of this call's own that a failure overtook
    // ends with it.
    const bool enclosingPause = pauseRequested_;
    pauseRequested_ = false;

    // Working copies of the members.  A store into the buffer could, as far
    // as the compiler knows, change any member, so working on the members
    // themselves would reload them after every stored byte.  A listener may
    // change the parser in any way (or parse more bytes itself), so the
    // copies are written back before every listener call or step() and
    // reloaded after it.  parse() itself never changes payload_ or its size.
    int state = 0;
    std::int64_t offset = 0;
    std::uint8_t* buf = nullptr;
    std::size_t bufSize = 0;
    // Counters attached while this call runs count from the next call on.
    LossCounters* const loss = loss_;
    // The rest of the input lies outside the buffer, so copying a run of it
    // at once stores the same bytes as storing them one by one.
    bool separate = false;

    auto load = [&] {
        state = state_;
        offset = byteOffset_;
        buf = payload_;
        bufSize = payloadSize_;
        separate = disjoint(p, end, buf, bufSize);
    };
    auto save = [&] {
        state_ = state;
        byteOffset_ = offset;
    };
    // Runs `work`, which acts on the parser itself (its members, listener).
    auto handOver = [&](auto&& work) {
        save();
        pauseRequested_ = false;
        const Status status = work();
        load();
        if (status == Status::Ok && pauseRequested_) {
            pauseRequested_ = false;
            return Status::Paused;
        }
        return status;
    };
    auto finish = [&](Status status) {
        save();
        pauseRequested_ = enclosingPause;
        return ParseResult{status, static_cast<std::size_t>(p - data)};
    };
    // Whether a whole frame of `bytes` bytes is at hand and may go into the
    // buffer in one copy: the offset is 0 here (the length byte just set it).
    auto wholeFrameAt = [&](std::int64_t bytes) {
        return separate && end - p >= bytes && static_cast<std::int64_t>(bufSize) >= bytes;
    };
    // Copies the whole frame at p to the start of the buffer, as collecting
    // it byte by byte would; the constant length makes it a few moves.
    auto takeWholeFrame = [&](std::int64_t bytes) {
        std::memcpy(buf, p, static_cast<std::size_t>(bytes));
        p += bytes;
        offset = bytes;
    };
    // completeRaw() on the working copies: raw-sample frames are most of a
    // recording, and this spares them a call and a round trip through the
    // members when the checksum fails.
    auto completeRawFrame = [&] {
        state = s(State::HuntSync);
        if (!complementedSumMatches(buf, kRawBytes - 1, p[-1])) {
            if (loss) ++loss->rawChecksumFailures;
            return Status::Ok;
        }
        const int sample = decodeRawSample(buf);
        return handOver([&] { return listener_->raw_callback(sample) ? Status::Ok : Status::CallbackFailed; });
    };

    load();
    while (p < end) {
        switch (state) {
        // States 1 -> 2 -> 3 run on into each other: in a clean stream every
        // frame starts with them.
        case s(State::HuntSync):
            if (*p != kSync) {
                const std::uint8_t* const from = p;
                p = find(p + 1, end, kSync);
                if (loss) loss->bytesSkipped += static_cast<std::uint64_t>(p - from);
                if (p == end) return finish(Status::Ok);
            }
            // A whole raw-sample frame, AA AA 04 and its five bytes, is most
            // of what a recording holds: one test of its header instead of a
            // pass through states 2 and 3.
            if (end - p >= kHeaderBytes + kRawBytes && std::memcmp(p, kRawHeader, kHeaderBytes) == 0) {
                p += kHeaderBytes;
                if (wholeFrameAt(kRawBytes)) {
                    takeWholeFrame(kRawBytes);
                    const Status completed = completeRawFrame();
                    if (completed != Status::Ok) return finish(completed);
                } else {
                    state = s(State::CollectRaw);
                    offset = 0;
                }
                break;
            }
            ++p;
            state = s(State::AfterSync);
            if (p == end) return finish(Status::Ok);
            [[fallthrough]];

        case s(State::AfterSync): {
            const std::uint8_t b = *p++;
            if (b != kSync) {
                state = b == kHrvSync ? s(State::HrvLength) : s(State::HuntSync);
                if (loss && b != kHrvSync) loss->bytesSkipped += 2;  // AA and this byte
                break;
            }
            state = s(State::LengthByte);
            if (p == end) return finish(Status::Ok);
            [[fallthrough]];
        }

        case s(State::LengthByte): {
            // The length byte picks the frame and resets the offset.  When
            // the whole frame is at hand it is copied at once and completed
            // here; otherwise the collecting state takes it from the next
            // byte on.
            const std::uint8_t b = *p++;
            Status completed = Status::Ok;
            switch (b) {
            case kRawLength:
                state = s(State::CollectRaw);
                offset = 0;
                if (wholeFrameAt(kRawBytes)) {
                    takeWholeFrame(kRawBytes);
                    completed = completeRawFrame();
                }
                break;
            case kStandardLength:
                state = s(State::CollectStandard);
                offset = 0;
                if (wholeFrameAt(kStandardBytes)) {
                    takeWholeFrame(kStandardBytes);
                    completed = handOver([&] { return completeStandard(p[-1]); });
                }
                break;
            case kGyroLength:
                state = s(State::CollectGyro);
                offset = 0;
                if (wholeFrameAt(kGyroBytes)) {
                    takeWholeFrame(kGyroBytes);
                    completed = handOver([&] { return completeGyro(); });
                }
                break;
            default:
                state = s(State::HuntSync);
                if (loss) loss->bytesSkipped += 3;  // AA AA and this byte
                break;
            }
            if (completed != Status::Ok) return finish(completed);
            break;
        }

        case s(State::HrvLength): {
            // Everything up to the length byte 0C is skipped; each byte in
            // this state resets the offset.
            offset = 0;
            const std::uint8_t* const from = p;
            p = find(p, end, kHrvLength);
            if (loss) loss->bytesSkipped += static_cast<std::uint64_t>(p - from);
            if (p == end) return finish(Status::Ok);
            ++p;
            state = s(State::CollectHrv);
            if (wholeFrameAt(kHrvBytes)) {
                takeWholeFrame(kHrvBytes);
                const Status completed = handOver([&] { return completeHrv(); });
                if (completed != Status::Ok) return finish(completed);
            }
            break;
        }

        case s(State::CollectStandard):
        case s(State::CollectRaw):
        case s(State::CollectGyro):
        case s(State::CollectHrv): {
            // A frame begun in an earlier call (or after a host set the
            // offset): copy what is missing, or what there is.
            const std::int64_t total = frameBytes(state);
            if (separate && offset >= 0 && offset < total && total <= static_cast<std::int64_t>(bufSize)) {
                const auto want = static_cast<std::size_t>(total - offset);
                const std::size_t n = std::min(want, static_cast<std::size_t>(end - p));
                copyBytes(buf + offset, p, n);
                offset += static_cast<std::int64_t>(n);
                p += n;
                if (n < want) return finish(Status::Ok);
                const Status completed = state == s(State::CollectRaw)
                                             ? completeRawFrame()
                                             : handOver([&] { return completeFrame(p[-1]); });
                if (completed != Status::Ok) return finish(completed);
                break;
            }
            // A negative or too large offset, a short buffer or input inside
            // the buffer: byte by byte.
            const std::uint8_t b = *p++;
            const Status stepped = handOver([&] { return step(b); });
            if (stepped != Status::Ok) return finish(stepped);
            break;
        }

        case s(State::AfterStandard): {
            const std::uint8_t* const from = p;
            p = findEither(p, end, kExtendStart, kSync);
            if (loss) loss->bytesSkipped += static_cast<std::uint64_t>(p - from);
            if (p == end) return finish(Status::Ok);
            const std::uint8_t b = *p++;
            const Status stepped = handOver([&] { return step(b); });
            if (stepped != Status::Ok) return finish(stepped);
            break;
        }

        case s(State::CollectExtend): {
            if (separate && offset >= 0 && offset < static_cast<std::int64_t>(bufSize)) {
                // Collect up to and including the next AA, as far as the
                // buffer has room.
                const std::size_t room = bufSize - static_cast<std::size_t>(offset);
                const std::uint8_t* limit = p + std::min(room, static_cast<std::size_t>(end - p));
                const std::uint8_t* sync = find(p, limit, kSync);
                const std::uint8_t* stop = sync == limit ? limit : sync + 1;
                const auto n = static_cast<std::size_t>(stop - p);
                std::memcpy(buf + offset, p, n);
                offset += static_cast<std::int64_t>(n);
                p = stop;
                if (sync != limit) state = s(State::ExtendSync);
                break;
            }
            const std::uint8_t b = *p++;
            const Status stepped = handOver([&] { return step(b); });
            if (stepped != Status::Ok) return finish(stepped);
            break;
        }

        case s(State::ExtendSync): {
            const std::uint8_t b = *p++;
            const Status stepped = handOver([&] { return step(b); });
            if (stepped != Status::Ok) return finish(stepped);
            break;
        }

        default:
            // Not a state of the machine: every byte is a no-op.
            p = end;
            return finish(Status::Ok);
        }
    }
    return finish(Status::Ok);
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
