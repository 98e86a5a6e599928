// Synthetic headset streams for benchmarks and other tools that need a lot
// of realistic input.  Everything is built from a fixed seed, so a stream is
// the same on every run and on every machine: the generator draws raw 32-bit
// words from std::mt19937 (whose output the standard fixes) and does its own
// scaling instead of using the library's distributions (whose output it
// does not).  Only the EEG waveform goes through std::sin, whose last bit may
// differ between C libraries; that changes sample values, never the framing
// or the frame counts.
//
// Three streams:
//   recordingStream      what the headset sends: per second 512 raw-sample
//                        frames, one standard frame followed by an extended
//                        frame, and now and then a gyroscope and an HRV frame
//   randomStream         uniformly random bytes
//   standardFrameStream  back-to-back standard frames, all checksums valid
//
// The frame builders are public too, for code that wants to assemble its own
// streams.  Each generator can report how many frames of each kind a correct
// decoder delivers from the stream it built.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace quillmore::streams {

inline constexpr std::uint32_t kDefaultSeed = 0x51C0FFEEu;
inline constexpr std::size_t kSamplesPerSecond = 512;

// Deliveries that a correct decoder makes from a stream: one per frame
// whose checksum (if it has one) holds.
struct FrameCounts {
    std::size_t raw = 0;
    std::size_t standard = 0;
    std::size_t extended = 0;
    std::size_t gyro = 0;
    std::size_t hrv = 0;

    std::size_t total() const { return raw + standard + extended + gyro + hrv; }
};

inline bool operator==(const FrameCounts& a, const FrameCounts& b) {
    return a.raw == b.raw && a.standard == b.standard && a.extended == b.extended && a.gyro == b.gyro &&
           a.hrv == b.hrv;
}
inline bool operator!=(const FrameCounts& a, const FrameCounts& b) { return !(a == b); }

// Values of one standard frame.
struct StandardValues {
    std::uint8_t signal = 0;
    std::uint32_t bands[8] = {};  // 24-bit band powers, delta first
    std::uint8_t attention = 0;
    std::uint8_t meditation = 0;
};

// Values of one extended frame.  None of them may be 0xAA: inside an
// extended frame that byte reads as the start of the next frame's sync pair.
struct ExtendedValues {
    std::uint8_t ap = 0;
    std::uint8_t battery = 0;
    std::uint8_t mainVersion = 0x01;       // two decimal digits, one per nibble
    std::uint8_t gnaw = 0;
    std::uint8_t secondaryVersion = 0x00;  // same
    std::uint8_t intTemp = 0;
    std::uint8_t decTemp = 0;
    std::uint8_t heart = 0;
};

// ------------------------------------------------------------ frame builders

inline constexpr std::uint8_t kSync = 0xAA;

// AA AA 04 80 02 hi lo checksum; `sample` as 16-bit two's complement.
inline void appendRawFrame(std::vector<std::uint8_t>& out, std::int16_t sample) {
    const auto word = static_cast<std::uint16_t>(sample);
    const std::uint8_t payload[4] = {0x80, 0x02, static_cast<std::uint8_t>(word >> 8),
                                     static_cast<std::uint8_t>(word & 0xFF)};
    unsigned sum = 0;
    for (std::uint8_t b : payload) sum += b;
    out.insert(out.end(), {kSync, kSync, 0x04});
    out.insert(out.end(), payload, payload + 4);
    out.push_back(static_cast<std::uint8_t>(~sum & 0xFF));
}

// AA AA 20, then 02 signal 83 18 <8 x 3 band bytes> 04 attention 05 meditation,
// then the checksum: 36 bytes.
inline void appendStandardFrame(std::vector<std::uint8_t>& out, const StandardValues& v) {
    std::uint8_t payload[32];
    std::size_t i = 0;
    payload[i++] = 0x02;
    payload[i++] = v.signal;
    payload[i++] = 0x83;
    payload[i++] = 0x18;
    for (std::uint32_t band : v.bands) {
        payload[i++] = static_cast<std::uint8_t>((band >> 16) & 0xFF);
        payload[i++] = static_cast<std::uint8_t>((band >> 8) & 0xFF);
        payload[i++] = static_cast<std::uint8_t>(band & 0xFF);
    }
    payload[i++] = 0x04;
    payload[i++] = v.attention;
    payload[i++] = 0x05;
    payload[i++] = v.meditation;
    unsigned sum = 0;
    for (std::uint8_t b : payload) sum += b;
    out.insert(out.end(), {kSync, kSync, 0x20});
    out.insert(out.end(), payload, payload + 32);
    out.push_back(static_cast<std::uint8_t>(~sum & 0xFF));
}

// 06 ap 07 battery 08 main gnaw secondary intTemp decTemp heart: 11 bytes.
// It must directly follow a standard frame, and it ends (and is decoded)
// only when the next frame's AA AA arrives.
inline void appendExtendedFrame(std::vector<std::uint8_t>& out, const ExtendedValues& v) {
    out.insert(out.end(), {0x06, v.ap, 0x07, v.battery, 0x08, v.mainVersion, v.gnaw, v.secondaryVersion,
                           v.intTemp, v.decTemp, v.heart});
}

// AA AA 07, then eight bytes: x, y, z are the low bytes at 2, 4 and 6.
inline void appendGyroFrame(std::vector<std::uint8_t>& out, const std::uint8_t (&body)[8]) {
    out.insert(out.end(), {kSync, kSync, 0x07});
    out.insert(out.end(), body, body + 8);
}

// AA BB 0C, then 13 bytes: rr1..rr3 big-endian at 0..5, `extra[0..2]` at
// 6..8, the checksum (12 + sum of 0..8) & 0xFF at 9, `extra[3..5]` at 10..12.
inline void appendHrvFrame(std::vector<std::uint8_t>& out, std::uint16_t rr1, std::uint16_t rr2, std::uint16_t rr3,
                           const std::uint8_t (&extra)[6]) {
    std::uint8_t body[13];
    const std::uint16_t rr[3] = {rr1, rr2, rr3};
    for (int k = 0; k < 3; ++k) {
        body[2 * k] = static_cast<std::uint8_t>(rr[k] >> 8);
        body[2 * k + 1] = static_cast<std::uint8_t>(rr[k] & 0xFF);
    }
    body[6] = extra[0];
    body[7] = extra[1];
    body[8] = extra[2];
    unsigned sum = 12;
    for (int k = 0; k < 9; ++k) sum += body[k];
    body[9] = static_cast<std::uint8_t>(sum & 0xFF);
    body[10] = extra[3];
    body[11] = extra[4];
    body[12] = extra[5];
    out.insert(out.end(), {kSync, 0xBB, 0x0C});
    out.insert(out.end(), body, body + 13);
}

// ------------------------------------------------------------ randomness

// Deterministic draws on top of mt19937's raw output.
class Rng {
public:
    explicit Rng(std::uint32_t seed) : engine_(seed) {}

    std::uint32_t word() { return static_cast<std::uint32_t>(engine_()); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(word() >> 24); }
    // lo..hi inclusive; the tiny modulo bias does not matter here.
    std::uint32_t between(std::uint32_t lo, std::uint32_t hi) { return lo + word() % (hi - lo + 1); }
    double unit() { return (word() >> 8) * (1.0 / 16777216.0); }  // [0, 1)
    // Roughly standard normal: the sum of four uniforms, rescaled.
    double gaussian() { return (unit() + unit() + unit() + unit() - 2.0) * 1.7320508075688772; }

private:
    std::mt19937 engine_;
};

// ------------------------------------------------------------ streams

namespace detail {

// A plausible EEG trace in raw units: a few rhythms with slowly wandering
// amplitudes, a drifting baseline, noise, and an eye blink now and then.
class EegWave {
public:
    explicit EegWave(Rng& rng) : rng_(rng) {}

    std::int16_t next() {
        const double t = static_cast<double>(n_++) / static_cast<double>(kSamplesPerSecond);
        constexpr double kTwoPi = 6.283185307179586;
        const double envelope = 1.0 + 0.4 * std::sin(kTwoPi * 0.07 * t);
        double v = 35.0 * std::sin(kTwoPi * 0.4 * t)                       // baseline drift
                   + 22.0 * std::sin(kTwoPi * 6.0 * t + 0.3)               // theta
                   + 40.0 * envelope * std::sin(kTwoPi * 10.2 * t + 1.1)   // alpha
                   + 12.0 * std::sin(kTwoPi * 21.0 * t + 2.0)              // beta
                   + 5.0 * std::sin(kTwoPi * 50.0 * t)                     // mains hum
                   + 15.0 * rng_.gaussian();
        if (blinkLeft_ == 0 && rng_.word() % (4 * kSamplesPerSecond) == 0) blinkLeft_ = 150;
        if (blinkLeft_ > 0) {
            const double phase = static_cast<double>(150 - blinkLeft_) / 150.0;
            v += 600.0 * std::sin(3.141592653589793 * phase);
            --blinkLeft_;
        }
        const double clamped = std::clamp(std::round(v), -32767.0, 32767.0);
        return static_cast<std::int16_t>(clamped);
    }

private:
    Rng& rng_;
    std::uint64_t n_ = 0;
    int blinkLeft_ = 0;
};

inline StandardValues plausibleStandard(Rng& rng) {
    StandardValues v;
    v.signal = rng.between(0, 19) == 0 ? static_cast<std::uint8_t>(rng.between(26, 200)) : 0;
    for (std::uint32_t& band : v.bands) band = rng.between(1000, 1500000);
    v.attention = static_cast<std::uint8_t>(rng.between(1, 100));
    v.meditation = static_cast<std::uint8_t>(rng.between(1, 100));
    return v;
}

inline ExtendedValues plausibleExtended(Rng& rng, std::uint8_t battery) {
    ExtendedValues v;
    v.ap = static_cast<std::uint8_t>(rng.between(0, 100));
    v.battery = battery;
    v.mainVersion = 0x01;
    v.gnaw = static_cast<std::uint8_t>(rng.between(0, 3));
    v.secondaryVersion = 0x27;
    v.intTemp = static_cast<std::uint8_t>(rng.between(33, 36));
    v.decTemp = static_cast<std::uint8_t>(rng.between(0, 9));
    v.heart = static_cast<std::uint8_t>(rng.between(58, 95));
    return v;
}

}  // namespace detail

// A recording of `seconds` seconds (1024 s is about 4.2 MB).  Per second:
// 512 raw-sample frames; after the 256th, a standard frame and its extended
// frame (ended by the next raw frame's sync bytes); every 2nd second a
// gyroscope frame before raw frame 64, every 3rd second an HRV frame before
// raw frame 384.  The stream ends with a raw frame, so every extended frame
// is closed.
inline std::vector<std::uint8_t> recordingStream(std::size_t seconds = 1024, FrameCounts* counts = nullptr,
                                                 std::uint32_t seed = kDefaultSeed) {
    constexpr std::size_t kStandardAfter = 256;
    constexpr std::size_t kGyroBefore = 64;
    constexpr std::size_t kHrvBefore = 384;

    Rng rng(seed);
    detail::EegWave wave(rng);
    std::vector<std::uint8_t> out;
    out.reserve(seconds * (kSamplesPerSecond * 8 + 36 + 11 + 16) + 16);
    FrameCounts c;
    for (std::size_t second = 0; second < seconds; ++second) {
        for (std::size_t k = 0; k < kSamplesPerSecond; ++k) {
            if (k == kGyroBefore && second % 2 == 0) {
                std::uint8_t body[8];
                for (std::uint8_t& b : body) b = rng.byte();
                appendGyroFrame(out, body);
                ++c.gyro;
            }
            if (k == kHrvBefore && second % 3 == 0) {
                std::uint8_t extra[6];
                for (std::uint8_t& b : extra) b = rng.byte();
                const std::uint32_t base = rng.between(650, 1050);
                appendHrvFrame(out, static_cast<std::uint16_t>(base), static_cast<std::uint16_t>(base + rng.between(0, 40)),
                               static_cast<std::uint16_t>(base - rng.between(0, 40)), extra);
                ++c.hrv;
            }
            appendRawFrame(out, wave.next());
            ++c.raw;
            if (k + 1 == kStandardAfter) {
                appendStandardFrame(out, detail::plausibleStandard(rng));
                ++c.standard;
                const auto battery = static_cast<std::uint8_t>(100 - std::min<std::size_t>(second / 60, 100));
                appendExtendedFrame(out, detail::plausibleExtended(rng, battery));
                ++c.extended;
            }
        }
    }
    if (counts) *counts = c;
    return out;
}

// `size` uniformly random bytes (default 4 MiB).
inline std::vector<std::uint8_t> randomStream(std::size_t size = std::size_t{4} << 20,
                                              std::uint32_t seed = kDefaultSeed) {
    Rng rng(seed);
    std::vector<std::uint8_t> out(size);
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        const std::uint32_t w = rng.word();
        out[i] = static_cast<std::uint8_t>(w);
        out[i + 1] = static_cast<std::uint8_t>(w >> 8);
        out[i + 2] = static_cast<std::uint8_t>(w >> 16);
        out[i + 3] = static_cast<std::uint8_t>(w >> 24);
    }
    for (; i < size; ++i) out[i] = rng.byte();
    return out;
}

// `frames` standard frames back to back (120000 frames are 4.32 MB), all
// with valid checksums and plausible values.
inline std::vector<std::uint8_t> standardFrameStream(std::size_t frames = 120000, FrameCounts* counts = nullptr,
                                                     std::uint32_t seed = kDefaultSeed) {
    Rng rng(seed);
    std::vector<std::uint8_t> out;
    out.reserve(frames * 36);
    for (std::size_t k = 0; k < frames; ++k) appendStandardFrame(out, detail::plausibleStandard(rng));
    if (counts) {
        *counts = FrameCounts{};
        counts->standard = frames;
    }
    return out;
}

}  // namespace quillmore::streams
