// Frame builders and a seeded generator of mixed headset streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <ostream>
#include <vector>

#include "quillmore/parser.hpp"

namespace quillmore {

// GoogleTest prints a Status by its name.
inline void PrintTo(Status status, std::ostream* os) { *os << statusName(status); }

}  // namespace quillmore

namespace quillmore::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// b[from, to), clamped to b.
inline Bytes slice(const Bytes& b, std::size_t from, std::size_t to = SIZE_MAX) {
    to = to < b.size() ? to : b.size();
    return from < to ? Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to))
                     : Bytes{};
}

inline std::uint8_t complementedSum(const Bytes& payload) {
    unsigned sum = 0;
    for (std::uint8_t b : payload) sum += b;
    return static_cast<std::uint8_t>(~sum);
}

// AA AA 20, 32 payload bytes (zero-padded), checksum.
inline Bytes standardFrame(Bytes payload) {
    payload.resize(32);
    return cat({{0xAA, 0xAA, 0x20}, payload, {complementedSum(payload)}});
}

// AA AA 04, 00 00 high low, checksum.
inline Bytes rawFrame(std::uint8_t high, std::uint8_t low) {
    const Bytes q{0x00, 0x00, high, low};
    return cat({{0xAA, 0xAA, 0x04}, q, {complementedSum(q)}});
}

// AA AA 07 and eight bytes; x, y, z are the low bytes at 2, 4, 6.
inline Bytes gyroFrame(std::uint8_t x, std::uint8_t y, std::uint8_t z) {
    return {0xAA, 0xAA, 0x07, 0x00, 0x00, x, 0x00, y, 0x00, z, 0x00};
}

// AA BB 0C and 13 bytes: rr1..rr3 big-endian, checksum (12 + sum of 0..8).
inline Bytes hrvFrame(unsigned rr1, unsigned rr2, unsigned rr3) {
    Bytes h{static_cast<std::uint8_t>(rr1 >> 8), static_cast<std::uint8_t>(rr1), static_cast<std::uint8_t>(rr2 >> 8),
            static_cast<std::uint8_t>(rr2), static_cast<std::uint8_t>(rr3 >> 8), static_cast<std::uint8_t>(rr3),
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    unsigned sum = 12;
    for (int i = 0; i < 9; ++i) sum += h[i];
    h[9] = static_cast<std::uint8_t>(sum);
    return cat({{0xAA, 0xBB, 0x0C}, h});
}

// A pseudo-random stream of every kind of frame, damaged frames, noise and
// extended frames (some longer than the payload buffer).  Deterministic for
// a seed: mt19937's sequence is fixed by the standard, and only its raw
// output is used.
class StreamGenerator {
public:
    explicit StreamGenerator(std::uint32_t seed) : rng_(seed) {}

    Bytes generate(std::size_t minLength) {
        Bytes out;
        while (out.size() < minLength) piece(out);
        return out;
    }

    unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(rng_()); }

private:
    // A byte biased towards the values that mean something to the machine.
    std::uint8_t interestingByte() {
        static constexpr std::uint8_t kSpecial[] = {0xAA, 0xBB, 0x20, 0x04, 0x07, 0x0C, 0x06,
                                                    0x02, 0x83, 0x18, 0x05, 0x08, 0xFF, 0x00};
        return below(3) == 0 ? kSpecial[below(sizeof kSpecial)] : byte();
    }

    Bytes standardPayload() {
        Bytes p;
        if (below(2) == 0) {
            p = {0x02, byte(), 0x83, 0x18};
            for (int i = 0; i < 24; ++i) p.push_back(byte());
            p.insert(p.end(), {0x04, byte(), 0x05, byte()});
        } else {
            for (int i = 0; i < 32; ++i) p.push_back(interestingByte());
        }
        return p;
    }

    // Extended rows, ended by whatever frame comes next.  Inner AA bytes are
    // kept (they exercise state 8); some frames outgrow the 1024-byte buffer.
    void extendedFrame(Bytes& out) {
        out.push_back(0x06);
        const unsigned length = below(20) == 0 ? 1000 + below(60) : below(24);
        for (unsigned i = 0; i < length; ++i) {
            std::uint8_t b = interestingByte();
            if (b == 0xAA && below(4) != 0) b = 0x55;
            out.push_back(b);
        }
    }

    void piece(Bytes& out) {
        switch (below(12)) {
        case 0:
        case 1: {
            Bytes f = standardFrame(standardPayload());
            if (below(5) == 0) f.back() ^= static_cast<std::uint8_t>(1 + below(255));  // bad checksum
            out.insert(out.end(), f.begin(), f.end());
            if (below(2) == 0) extendedFrame(out);
            break;
        }
        case 2:
        case 3: {
            Bytes f = rawFrame(byte(), byte());
            if (below(5) == 0) f.back() ^= 0x01;
            out.insert(out.end(), f.begin(), f.end());
            break;
        }
        case 4: {
            const Bytes f = gyroFrame(byte(), byte(), byte());
            out.insert(out.end(), f.begin(), f.end());
            break;
        }
        case 5: {
            Bytes f = hrvFrame(below(65536), below(65536), below(65536));
            if (below(5) == 0) f[12] ^= 0x10;
            out.insert(out.end(), f.begin(), f.end());
            break;
        }
        case 6: {  // a frame cut short by the next one
            Bytes f = standardFrame(standardPayload());
            f.resize(3 + below(33));
            out.insert(out.end(), f.begin(), f.end());
            break;
        }
        default: {  // noise
            const unsigned n = 1 + below(12);
            for (unsigned i = 0; i < n; ++i) out.push_back(interestingByte());
            break;
        }
        }
    }

    std::mt19937 rng_;
};

}  // namespace quillmore::testing
