// The frame state machine.  step() runs the row table (machine_rows.hpp) one
// byte at a time, and is the machine's definition; parse() runs the same
// machine over a whole buffer and takes the common cases in bulk, with its
// constants taken from the table:
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

#include "machine_rows.hpp"
#include "quillmore/host/mirror.hpp"
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

using machine::kRows;
using machine::s;
using machine::kSync;
using machine::kHrvSync;
using machine::kStandardLength;
using machine::kRawLength;
using machine::kGyroLength;
using machine::kHrvLength;
using machine::kExtendedStart;

// Bytes collected after the length byte, and the states the frames leave.
constexpr std::int64_t kStandardBytes = machine::frameBytes(State::CollectStandard);
constexpr std::int64_t kRawBytes = machine::frameBytes(State::CollectRaw);
constexpr std::int64_t kGyroBytes = machine::frameBytes(State::CollectGyro);
constexpr std::int64_t kHrvBytes = machine::frameBytes(State::CollectHrv);
constexpr int kAfterStandard = kRows[s(State::CollectStandard)].afterFrame;
constexpr int kAfterRaw = kRows[s(State::CollectRaw)].afterFrame;
constexpr int kAfterGyro = kRows[s(State::CollectGyro)].afterFrame;
constexpr int kAfterHrv = kRows[s(State::CollectHrv)].afterFrame;

// parse() spells out the common rows for speed; these are the facts of the
// table that it relies on.
constexpr bool bulkPathAgrees() {
    using machine::transition;
    const auto& hunt = kRows[s(State::HuntSync)];
    const auto& afterSync = kRows[s(State::AfterSync)];
    const auto& length = kRows[s(State::LengthByte)];
    const auto& afterStandard = kRows[s(State::AfterStandard)];
    const auto& hrvLength = kRows[s(State::HrvLength)];
    const auto& extended = kRows[s(State::CollectExtended)];
    return transition(hunt, kSync).next == s(State::AfterSync) && transition(hunt, 0).next == 0 &&
           transition(hunt, 0).skipped == 1 && transition(afterSync, kSync).next == s(State::LengthByte) &&
           transition(afterSync, kHrvSync).next == s(State::HrvLength) && transition(afterSync, 0).skipped == 2 &&
           transition(afterSync, 0).next == s(State::HuntSync) && transition(length, 0).skipped == 3 &&
           transition(length, 0).next == s(State::HuntSync) && transition(length, kStandardLength).offset == 0 &&
           transition(length, kRawLength).offset == 0 && transition(length, kGyroLength).offset == 0 &&
           machine::lengthByteOf(State::CollectStandard) == kStandardLength &&
           machine::lengthByteOf(State::CollectRaw) == kRawLength &&
           machine::lengthByteOf(State::CollectGyro) == kGyroLength && hrvLength.resetsOffset &&
           transition(hrvLength, kHrvLength).next == s(State::CollectHrv) && transition(hrvLength, 0).skipped == 1 &&
           transition(afterStandard, 0).skipped == 1 && extended.stores && extended.frameBytes == 0 &&
           transition(extended, kSync).next == s(State::ExtendedSync) && transition(extended, 0).next == 0 &&
           kRows[s(State::CollectRaw)].checksum && kRows[s(State::CollectStandard)].checksum &&
           kRows[s(State::CollectStandard)].completes == machine::Frame::Standard;
}
static_assert(bulkPathAgrees(), "parse() and the row table disagree");

// Bytes a header that turned out not to be one throws away.
constexpr std::uint64_t kSkippedAfterSync = kRows[s(State::AfterSync)].otherwise.skipped;
constexpr std::uint64_t kSkippedLength = kRows[s(State::LengthByte)].otherwise.skipped;

// Bytes that the collecting state `state` takes in all; 0 for other states.
// The table's values, as a switch: parse() asks it per frame, and a switch
// over four constants compiles to a few compares where a lookup in the
// table of rows would not.
constexpr std::int64_t frameBytes(int state) {
    switch (state) {
    case s(State::CollectStandard): return kStandardBytes;
    case s(State::CollectRaw): return kRawBytes;
    case s(State::CollectGyro): return kGyroBytes;
    case s(State::CollectHrv): return kHrvBytes;
    default: return 0;
    }
}
constexpr bool frameBytesAgree() {
    for (int state = 0; state <= machine::kStateCount + 1; ++state) {
        if (frameBytes(state) != machine::rowOf(state).frameBytes) return false;
    }
    return true;
}
static_assert(frameBytesAgree(), "frameBytes() and the row table disagree");

// Sync, sync, length byte: the header of a raw-sample frame.
constexpr std::int64_t kHeaderBytes = 3;
constexpr std::uint8_t kRawHeader[kHeaderBytes] = {kSync, kSync, kRawLength};

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

// ---------------------------------------------------------------- delivery

Status machine::deliverStandard(QuillmoreListener& listener, PayloadView buffer, FrameView frame) {
    QuillmoreData record;
    const Status decoded = decodeStandardPayload(buffer, record);
    if (decoded != Status::Ok) return decoded;
    return listener.eeg_callback(record, frame) ? Status::Ok : Status::CallbackFailed;
}

Status machine::deliverExtended(QuillmoreListener& listener, PayloadView buffer, FrameView frame) {
    QuillmoreExtendData record;
    const Status decoded = decodeExtendedPayload(buffer, record);
    if (decoded != Status::Ok) return decoded;
    return listener.extend_eeg_callback(record, frame) ? Status::Ok : Status::CallbackFailed;
}

Status machine::deliverHrv(QuillmoreListener& listener, PayloadView buffer, FrameView frame) {
    RrValues rr;
    bool accepted = false;
    const Status decoded = decodeHrvPayload(buffer, rr, accepted);
    if (decoded != Status::Ok || !accepted) return decoded;
    return listener.rr_callback(rr.rr1, rr.rr2, rr.rr3, frame) ? Status::Ok : Status::CallbackFailed;
}

// ---------------------------------------------------------------- parser

QuillmoreParser::QuillmoreParser(QuillmoreListener& listener)
    : QuillmoreParser(listener, nullptr, 0) {
    ownPayload_ = std::make_unique<std::uint8_t[]>(kPayloadSize);  // zeroed
    payload_ = ownPayload_.get();
    payloadSize_ = kPayloadSize;
}

QuillmoreParser::QuillmoreParser(QuillmoreListener& listener, std::uint8_t* payload, std::size_t size)
    : listener_(&listener), payload_(payload), payloadSize_(size) {}

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
    state_ = kAfterStandard;
    if (!complementedSumMatches(payload_, kStandardBytes - 1, checkSum)) {
        if (loss_) ++loss_->standardChecksumFailures;
        return Status::Ok;
    }
    if (hooks_) return hooks_->standardFrame(*this, frame());
    return machine::deliverStandard(*listener_, {payload_, payloadSize_}, frame());
}

Status QuillmoreParser::completeRaw(std::uint8_t checkSum) {
    state_ = kAfterRaw;
    if (!complementedSumMatches(payload_, kRawBytes - 1, checkSum)) {
        if (loss_) ++loss_->rawChecksumFailures;
        return Status::Ok;
    }
    return listener_->raw_callback(decodeRawSample(payload_), frame()) ? Status::Ok : Status::CallbackFailed;
}

Status QuillmoreParser::completeGyro() {
    state_ = kAfterGyro;
    const GyroValues g = decodeGyro(payload_);
    return listener_->gyro_callback(g.x, g.y, g.z, frame()) ? Status::Ok : Status::CallbackFailed;
}

Status QuillmoreParser::completeHrv() {
    // Not verified here: the HRV payload carries its own checksum.
    state_ = kAfterHrv;
    if (loss_) countHrvFrame(PayloadView{payload_, payloadSize_}, *loss_);
    if (hooks_) return hooks_->hrvFrame(*this, frame());
    return machine::deliverHrv(*listener_, {payload_, payloadSize_}, frame());
}

// AA AA ended an extended frame.  As with every other frame, the state has
// moved on (to the length byte) before the delivery, so a listener that
// feeds the parser goes on from where the frame left it.
Status QuillmoreParser::completeExtended() {
    if (hooks_) return hooks_->extendedFrame(*this, frame());
    return machine::deliverExtended(*listener_, {payload_, payloadSize_}, frame());
}

// Completes the frame of the current collecting state; `lastByte` is its
// final byte.
Status QuillmoreParser::completeFrame(std::uint8_t lastByte) {
    switch (machine::rowOf(state_).completes) {
    case machine::Frame::Standard: return completeStandard(lastByte);
    case machine::Frame::Raw: return completeRaw(lastByte);
    case machine::Frame::Gyro: return completeGyro();
    case machine::Frame::Hrv: return completeHrv();
    case machine::Frame::Extended: return completeExtended();
    case machine::Frame::None: break;
    }
    return Status::Ok;
}

// One byte through the row of the current state.
Status QuillmoreParser::step(std::uint8_t b) {
    const machine::Row& row = machine::rowOf(state_);
    if (row.stores) {
        if (row.frameBytes == 0 && byteOffset_ >= static_cast<std::int64_t>(payloadSize_)) {
            // The extended frame would run past the buffer: drop it and
            // hunt again, starting with this very byte.
            const machine::Transition& hunt = machine::transition(kRows[s(State::HuntSync)], b);
            state_ = hunt.next != 0 ? hunt.next : s(State::HuntSync);
            byteOffset_ = 0;
            if (loss_) {
                ++loss_->extendedDropped;
                loss_->bytesSkipped += hunt.skipped;
            }
            return Status::Ok;
        }
        const Status stored = collect(b);
        if (stored != Status::Ok) return stored;
        if (row.frameBytes != 0) return byteOffset_ >= row.frameBytes ? completeFrame(b) : Status::Ok;
    }
    if (row.resetsOffset) byteOffset_ = 0;
    const machine::Transition& t = machine::transition(row, b);
    if (loss_ && t.skipped != 0) loss_->bytesSkipped += t.skipped;
    if (t.offset >= 0) byteOffset_ = t.offset;
    if (t.next != 0) state_ = t.next;
    switch (t.action) {
    case machine::Action::None: break;
    case machine::Action::StartExtended:
        if (payloadSize_ == 0) return Status::IndexOutOfRange;
        payload_[0] = b;
        break;
    case machine::Action::DeliverExtended: return completeExtended();
    case machine::Action::AbandonExtended:
        if (loss_) ++loss_->extendedAbandoned;
        break;
    }
    return Status::Ok;
}

// parse() starts on a cache line of its own: its loop is short enough that
// where a link happens to place it moved the per-frame cost by up to 15%
// between two binaries of the same object code.
#if defined(__GNUC__) || defined(__clang__)
#define QUILLMORE_CACHE_LINE_ALIGNED __attribute__((aligned(64)))
#else
#define QUILLMORE_CACHE_LINE_ALIGNED
#endif

QUILLMORE_CACHE_LINE_ALIGNED ParseResult QuillmoreParser::parse(const std::uint8_t* data, std::size_t size) {
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
    // members when the checksum fails.  `bytes` holds the frame's five bytes
    // as the buffer does: the input itself when the frame was copied whole,
    // which spares the check a wait for the copy.
    auto completeRawFrame = [&](const std::uint8_t* bytes) {
        state = kAfterRaw;
        if (!complementedSumMatches(bytes, kRawBytes - 1, bytes[kRawBytes - 1])) {
            if (loss) ++loss->rawChecksumFailures;
            return Status::Ok;
        }
        const int sample = decodeRawSample(bytes);
        const FrameView frame{buf, static_cast<std::size_t>(kRawBytes)};
        return handOver([&] { return listener_->raw_callback(sample, frame) ? Status::Ok : Status::CallbackFailed; });
    };

    // Whether a whole raw-sample frame, header and all, starts at q.
    auto rawFrameAt = [&](const std::uint8_t* q) {
        return end - q >= kHeaderBytes + kRawBytes && std::memcmp(q, kRawHeader, kHeaderBytes) == 0;
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
            // Whole raw-sample frames, AA AA 04 and five bytes, are most of
            // what a recording holds, back to back: one test of a header
            // instead of a pass through states 2 and 3, and the next frame
            // taken here while the machine stays in this state.
            if (rawFrameAt(p)) {
                do {
                    p += kHeaderBytes;
                    if (!wholeFrameAt(kRawBytes)) {
                        state = s(State::CollectRaw);
                        offset = 0;
                        break;
                    }
                    takeWholeFrame(kRawBytes);
                    const Status completed = completeRawFrame(p - kRawBytes);
                    if (completed != Status::Ok) return finish(completed);
                } while (state == s(State::HuntSync) && rawFrameAt(p));
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
                if (loss && b != kHrvSync) loss->bytesSkipped += kSkippedAfterSync;  // AA and this byte
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
                    completed = completeRawFrame(p - kRawBytes);
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
                if (loss) loss->bytesSkipped += kSkippedLength;  // AA AA and this byte
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
                                             ? completeRawFrame(buf)
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
            p = findEither(p, end, kExtendedStart, kSync);
            if (loss) loss->bytesSkipped += static_cast<std::uint64_t>(p - from);
            if (p == end) return finish(Status::Ok);
            const std::uint8_t b = *p++;
            const Status stepped = handOver([&] { return step(b); });
            if (stepped != Status::Ok) return finish(stepped);
            break;
        }

        case s(State::CollectExtended): {
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
                if (sync != limit) state = s(State::ExtendedSync);
                break;
            }
            const std::uint8_t b = *p++;
            const Status stepped = handOver([&] { return step(b); });
            if (stepped != Status::Ok) return finish(stepped);
            break;
        }

        case s(State::ExtendedSync): {
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

// ---------------------------------------------------------------- host mirror

namespace host {

bool isMachineState(int state) { return machine::isState(state); }

Assignments assignmentsOf(const QuillmoreParser& parser, std::uint8_t b) {
    const machine::Row& row = machine::rowOf(parser.state());
    const std::int64_t offset = parser.byteOffset();
    if (row.stores) {
        // The byte that completes a frame also moves the state on; a full
        // buffer drops the extended frame and resets both.
        if (row.frameBytes != 0) return {offset >= row.frameBytes - 1, true};
        if (offset >= static_cast<std::int64_t>(payloadSize(parser))) return {true, true};
        return {machine::transition(row, b).next != 0, true};
    }
    const machine::Transition& t = machine::transition(row, b);
    return {t.next != 0, row.resetsOffset || t.offset >= 0};
}

bool resetsOffsetFirst(const QuillmoreParser& parser) { return machine::rowOf(parser.state()).resetsOffset; }

bool storesNextByte(const QuillmoreParser& parser) {
    const machine::Row& row = machine::rowOf(parser.state());
    return row.stores && (row.frameBytes != 0 || parser.byteOffset() < static_cast<std::int64_t>(payloadSize(parser)));
}

bool examinesAfterStore(const QuillmoreParser& parser) {
    const machine::Row& row = machine::rowOf(parser.state());
    if (!storesNextByte(parser)) return false;
    if (row.frameBytes == 0) return true;  // the extended row looks for AA
    return row.checksum && parser.byteOffset() >= row.frameBytes - 1;
}

Status storeBeforeExamining(QuillmoreParser& parser, std::uint8_t byte) {
    const machine::Row& row = machine::rowOf(parser.state());
    const Status stored = Access::collect(parser, byte);
    if (stored != Status::Ok) return stored;
    if (row.frameBytes != 0 && parser.byteOffset() >= row.frameBytes) setState(parser, row.afterFrame);
    return Status::Ok;
}

namespace {
// The frame as the buffer holds it now: the bytes up to the offset.
FrameView frameAsIs(const QuillmoreParser& parser) {
    const auto size = static_cast<std::int64_t>(payloadSize(parser));
    const std::int64_t offset = parser.byteOffset();
    return {payload(parser), static_cast<std::size_t>(offset < 0 ? 0 : offset > size ? size : offset)};
}
}  // namespace

Status decodeStandardFrame(QuillmoreParser& parser) {
    return machine::deliverStandard(Access::listener(parser), payloadView(parser), frameAsIs(parser));
}
Status decodeExtendedFrame(QuillmoreParser& parser) {
    return machine::deliverExtended(Access::listener(parser), payloadView(parser), frameAsIs(parser));
}
Status decodeHrvFrame(QuillmoreParser& parser) { return machine::deliverHrv(Access::listener(parser), payloadView(parser), frameAsIs(parser)); }

}  // namespace host

}  // namespace quillmore
