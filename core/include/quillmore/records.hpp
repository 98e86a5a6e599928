// Records that the payload decoders deliver to a host's callbacks.
//
// They are plain values: a decoder fills a fresh record per frame, hands it
// to the callback and keeps nothing.  Every field starts at the value that a
// frame without the matching data row delivers.
#pragma once

#include <cstdint>

namespace quillmore {

// One standard EEG frame (header 0xAA 0xAA 0x20).
struct QuillmoreData {
    std::uint32_t signal = 0;      // row 0x02, 0..255
    std::uint32_t attention = 0;   // row 0x04, 0..255
    std::uint32_t meditation = 0;  // row 0x05, 0..255
    // Row 0x83: eight big-endian 24-bit band powers, 0..16,777,215.
    std::uint32_t delta = 0;
    std::uint32_t theta = 0;
    std::uint32_t lowAlpha = 0;
    std::uint32_t highAlpha = 0;
    std::uint32_t lowBeta = 0;
    std::uint32_t highBeta = 0;
    std::uint32_t lowGamma = 0;
    // The eighth band of the row (the headset calls it middle gamma).
    std::uint32_t highGamma = 0;
};

// How an extended frame reported its temperature: a reading, a sensor that
// sent 255 for the integer part ("no reading", which the Python surface
// shows as the int 0), or a frame without row 0x08 at all (0.0).  The
// values are the ones the arrays and files carry (temperature_status).
enum class TemperatureStatus : std::int8_t {
    Measured = 0,   // temperature = intTemp + decTemp / 10.0
    NoReading = 1,  // intTemp was 255; temperature is 0
    NoRow = 2,      // no row 0x08; temperature is 0.0
};

// One extended frame (0x06 ... right after a standard frame).
struct QuillmoreExtendData {
    std::uint32_t ap = 0;       // row 0x06, 0..255
    std::uint32_t battery = 0;  // row 0x07, 0..255
    double version = 0.0;       // row 0x08: (main * 100 + secondary) / 1000.0, nibble-decimal bytes
    std::uint32_t gnaw = 0;     // row 0x08, 0..255
    double temperature = 0.0;   // row 0x08; see temperatureStatus
    std::uint32_t heart = 0;    // row 0x08, 0..255
    TemperatureStatus temperatureStatus = TemperatureStatus::NoRow;
};

// Values of a gyroscope frame: each -75..180.
struct GyroValues {
    int x = 0;
    int y = 0;
    int z = 0;
};

// RR intervals of a heart-rate-variability frame: each 0..65535, as sent.
struct RrValues {
    int rr1 = 0;
    int rr2 = 0;
    int rr3 = 0;
};

}  // namespace quillmore
