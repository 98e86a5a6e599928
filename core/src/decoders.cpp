// Payload decoders.  See decoders.hpp for the layouts.
#include "quillmore/decoders.hpp"

#include "quillmore/parser.hpp"  // Status

namespace quillmore {
namespace {

// Reads buffer cells by index.  The decoders read at most a few cells past
// the frame they decode; a buffer long enough for all of them is read
// directly, a shorter one (a host may hand us any buffer) with a bounds check
// that turns the first read past the end into IndexOutOfRange.
class CellReader {
public:
    CellReader(PayloadView payload, std::size_t maxRead)
        : data_(payload.data), size_(payload.size), checked_(payload.size <= maxRead) {}

    unsigned operator[](std::size_t index) {
        if (checked_ && index >= size_) {
            inRange_ = false;
            return 0;
        }
        return data_[index];
    }

    Status status() const { return inRange_ ? Status::Ok : Status::IndexOutOfRange; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    bool checked_;
    bool inRange_ = true;
};

// Big-endian 24-bit band power at cell i..i+2.
std::uint32_t readBand(CellReader& cell, std::size_t& i) {
    const std::uint32_t high = cell[i++];
    const std::uint32_t mid = cell[i++];
    const std::uint32_t low = cell[i++];
    return ((high << 16) | (mid << 8) | low) & 0xFFFFFFu;
}

// A byte holding two decimal digits, one per nibble; nibbles above 9 are
// taken as they are (0x1F reads 25).
unsigned nibbleDecimal(unsigned byte) { return (byte >> 4) * 10 + (byte & 0x0F); }

enum StandardRow : unsigned { kSignal = 0x02, kBandPowers = 0x83, kAttention = 0x04, kMeditation = 0x05 };
enum ExtendRow : unsigned { kAp = 0x06, kBattery = 0x07, kDevice = 0x08 };
constexpr unsigned kBandRowLength = 24;
constexpr unsigned kHrvChecksumSeed = 12;  // the frame's length byte, 0x0C

}  // namespace

Status decodeStandardPayload(PayloadView payload, QuillmoreData& out) {
    CellReader cell(payload, kStandardMaxRead);
    QuillmoreData record;
    std::size_t i = 0;
    while (i < kStandardPayloadLength) {
        const unsigned code = cell[i++];
        switch (code) {
        case kSignal:
            record.signal = cell[i++];
            break;
        case kBandPowers:
            // The length byte only gates the row: with any other length the
            // bytes after it are read as row codes again.
            if (cell[i++] == kBandRowLength) {
                record.delta = readBand(cell, i);
                record.theta = readBand(cell, i);
                record.lowAlpha = readBand(cell, i);
                record.highAlpha = readBand(cell, i);
                record.lowBeta = readBand(cell, i);
                record.highBeta = readBand(cell, i);
                record.lowGamma = readBand(cell, i);
                record.highGamma = readBand(cell, i);
            }
            break;
        case kAttention:
            record.attention = cell[i++];
            break;
        case kMeditation:
            record.meditation = cell[i++];
            break;
        default:
            break;  // unknown code: one byte consumed
        }
    }
    if (cell.status() != Status::Ok) return cell.status();
    out = record;
    return Status::Ok;
}

Status decodeExtendedPayload(PayloadView payload, QuillmoreExtendData& out) {
    CellReader cell(payload, kExtendedMaxRead);
    QuillmoreExtendData record;
    std::size_t i = 0;
    while (i < kExtendedScanLength) {
        const unsigned code = cell[i++];
        switch (code) {
        case kAp:
            record.ap = cell[i++];
            break;
        case kBattery:
            record.battery = cell[i++];
            break;
        case kDevice: {
            const unsigned mainVersion = nibbleDecimal(cell[i++]) * 100;
            record.gnaw = cell[i++];
            const unsigned secondaryVersion = nibbleDecimal(cell[i++]);
            record.version = (mainVersion + secondaryVersion) / 1000.0;
            const unsigned intTemp = cell[i++];
            const unsigned decTemp = cell[i++];
            if (intTemp == 255) {
                record.temperature = 0.0;
                record.temperatureStatus = TemperatureStatus::NoReading;
            } else {
                record.temperature = intTemp + decTemp / 10.0;
                record.temperatureStatus = TemperatureStatus::Measured;
            }
            record.heart = cell[i++];
            break;
        }
        default:
            break;
        }
    }
    if (cell.status() != Status::Ok) return cell.status();
    out = record;
    return Status::Ok;
}

Status decodeHrvPayload(PayloadView payload, RrValues& out, bool& accepted) {
    CellReader cell(payload, kHrvMaxRead);
    unsigned checkSum = kHrvChecksumSeed;
    for (std::size_t i = 0; i < 9; ++i) checkSum += cell[i];
    const unsigned crc = cell[9];
    if (cell.status() != Status::Ok) return cell.status();
    accepted = (checkSum & 0xFF) == crc;
    if (accepted) {
        out.rr1 = static_cast<int>((cell[0] << 8) | cell[1]);
        out.rr2 = static_cast<int>((cell[2] << 8) | cell[3]);
        out.rr3 = static_cast<int>((cell[4] << 8) | cell[5]);
    }
    return Status::Ok;
}

}  // namespace quillmore
