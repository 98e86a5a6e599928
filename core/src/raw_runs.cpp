// Runs of raw-sample frames, decoded several frames per step.
//
// A raw-sample frame is 8 bytes: AA AA 04, payload q0 q1 q2 q3, checksum.
// It is whole and valid when its header matches and the checksum is the
// complement of the low eight bits of q0 + q1 + q2 + q3, that is when
// (q0 + q1 + q2 + q3 + checksum) & 0xFF == 0xFF.  The sample is q2 q3,
// big-endian two's complement.
//
// With SSE2, four 16-byte loads hold eight frames: one compare per load
// checks the headers, a sum of absolute differences against zero adds each
// frame's five checked bytes in its own 64-bit lane, and shifts, shuffles
// and one byte swap turn the eight samples into eight int16.  The first frame that
// is not whole and valid ends the run; the frames before it in its group
// are taken one by one, as is the run's tail.
#include <cstring>

#include "quillmore/batch.hpp"
#include "quillmore/decoders.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUILLMORE_RAW_RUNS_SSE2 1
#endif

namespace quillmore {
namespace {

constexpr std::size_t kFrame = 8;

// One frame, the portable way.
inline bool takeFrame(const std::uint8_t* p, std::int16_t& out) {
    if (p[0] != 0xAA || p[1] != 0xAA || p[2] != 0x04) return false;
    if (!complementedSumMatches(p + 3, 4, p[7])) return false;
    out = static_cast<std::int16_t>(decodeRawSample(p + 3));
    return true;
}

#if defined(QUILLMORE_RAW_RUNS_SSE2)
// Eight frames at p (64 bytes), or none: returns whether all eight were
// valid and, if so, stores their samples at out.
inline bool takeEight(const std::uint8_t* p, std::int16_t* out) {
    const __m128i header = _mm_setr_epi8(static_cast<char>(0xAA), static_cast<char>(0xAA), 0x04, 0, 0, 0, 0, 0,
                                         static_cast<char>(0xAA), static_cast<char>(0xAA), 0x04, 0, 0, 0, 0, 0);
    const __m128i checked = _mm_setr_epi8(0, 0, 0, -1, -1, -1, -1, -1, 0, 0, 0, -1, -1, -1, -1, -1);
    const __m128i lowByteFF = _mm_set_epi64x(0xFF, 0xFF);
    const __m128i zero = _mm_setzero_si128();

    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));

    const __m128i headers = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(v0, header), _mm_cmpeq_epi8(v1, header)),
                                          _mm_and_si128(_mm_cmpeq_epi8(v2, header), _mm_cmpeq_epi8(v3, header)));
    // Per 64-bit lane: the sum of bytes 3..7 of the frame, in its low 16 bits.
    auto sums = [&](__m128i v) { return _mm_sad_epu8(_mm_and_si128(v, checked), zero); };
    const __m128i sumsOk = _mm_and_si128(
        _mm_and_si128(_mm_cmpeq_epi8(sums(v0), lowByteFF), _mm_cmpeq_epi8(sums(v1), lowByteFF)),
        _mm_and_si128(_mm_cmpeq_epi8(sums(v2), lowByteFF), _mm_cmpeq_epi8(sums(v3), lowByteFF)));
    if ((_mm_movemask_epi8(headers) & 0x0707) != 0x0707 || (_mm_movemask_epi8(sumsOk) & 0x0101) != 0x0101)
        return false;

    // Bytes 5 and 6 of each lane to its low word, the two lanes' words to
    // the low dword; four such dwords make the eight samples, whose bytes
    // are then swapped into a big-endian reading.
    auto pair = [](__m128i v) {
        const __m128i t = _mm_shuffle_epi32(_mm_srli_epi64(v, 40), _MM_SHUFFLE(3, 1, 2, 0));
        return _mm_shufflelo_epi16(t, _MM_SHUFFLE(3, 1, 2, 0));
    };
    const __m128i words = _mm_unpacklo_epi64(_mm_unpacklo_epi32(pair(v0), pair(v1)),
                                             _mm_unpacklo_epi32(pair(v2), pair(v3)));
    const __m128i samples = _mm_or_si128(_mm_slli_epi16(words, 8), _mm_srli_epi16(words, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), samples);
    return true;
}
#endif

}  // namespace

std::size_t decodeRawRun(const std::uint8_t* data, std::size_t size, std::int16_t* out) {
    std::size_t taken = 0;
    const std::size_t frames = size / kFrame;
#if defined(QUILLMORE_RAW_RUNS_SSE2)
    while (frames - taken >= 8 && takeEight(data + taken * kFrame, out + taken)) taken += 8;
#endif
    while (taken < frames && takeFrame(data + taken * kFrame, out[taken])) ++taken;
    return taken;
}

}  // namespace quillmore
