// The C interface: a thin layer over the core's QuillmoreParser.  A
// quillmore_parser is a listener that forwards each delivery to the C
// callbacks, together with the core parser that it listens to.  Everything
// about frames lives in the core; this file only translates records,
// return values and statuses.
#include "quillmore/quillmore.h"

#include <new>

#include "quillmore/parser.hpp"

#ifndef QUILLMORE_VERSION_STRING
#error "QUILLMORE_VERSION_STRING must be defined by the build"
#endif

namespace {

using quillmore::QuillmoreData;
using quillmore::QuillmoreExtendData;
using quillmore::Status;
using quillmore::TemperatureStatus;

// The C interface's codes are its own (see quillmore.h), not the enum's values.
int temperatureStatusCode(TemperatureStatus status) {
    switch (status) {
    case TemperatureStatus::Measured: return QUILLMORE_TEMPERATURE_MEASURED;
    case TemperatureStatus::NoReading: return QUILLMORE_TEMPERATURE_NO_READING;
    case TemperatureStatus::NoRow: break;
    }
    return QUILLMORE_TEMPERATURE_NO_ROW;
}

int statusCode(Status status) {
    switch (status) {
    case Status::Ok: return QUILLMORE_OK;
    case Status::IndexOutOfRange: return QUILLMORE_INDEX_OUT_OF_RANGE;
    // A callback's stop is a pause (see CListener); the listener never
    // reports a failure.
    case Status::Paused:
    case Status::CallbackFailed: break;
    }
    return QUILLMORE_CALLBACK_STOPPED;
}

// Forwards the core's deliveries to the C callbacks.  A callback's non-zero
// return asks the core to pause: parse() returns once the frame is complete,
// with the machine moved on as if nothing had happened, so the caller may
// feed the rest whenever it likes.
class CListener final : public quillmore::QuillmoreListener {
public:
    CListener(const quillmore_settings* settings, void* user) : user_(user) {
        if (settings != nullptr) settings_ = *settings;
    }

    void attach(quillmore::QuillmoreParser& parser) { parser_ = &parser; }

    bool eeg_callback(const QuillmoreData& r, quillmore::FrameView) override {
        if (settings_.on_eeg == nullptr) return true;
        const quillmore_eeg record = {r.signal,    r.attention, r.meditation, r.delta,    r.theta,    r.lowAlpha,
                                      r.highAlpha, r.lowBeta,   r.highBeta,   r.lowGamma, r.highGamma};
        return goOn(settings_.on_eeg(user_, &record));
    }

    bool extend_eeg_callback(const QuillmoreExtendData& r, quillmore::FrameView) override {
        if (settings_.on_extend == nullptr) return true;
        const quillmore_extend record = {r.ap,          r.battery, r.version, r.gnaw,
                                         r.temperature, r.heart,   temperatureStatusCode(r.temperatureStatus)};
        return goOn(settings_.on_extend(user_, &record));
    }

    bool raw_callback(int raw, quillmore::FrameView) override { return settings_.on_raw == nullptr || goOn(settings_.on_raw(user_, raw)); }

    bool gyro_callback(int x, int y, int z, quillmore::FrameView) override {
        return settings_.on_gyro == nullptr || goOn(settings_.on_gyro(user_, x, y, z));
    }

    bool rr_callback(int rr1, int rr2, int rr3, quillmore::FrameView) override {
        return settings_.on_rr == nullptr || goOn(settings_.on_rr(user_, rr1, rr2, rr3));
    }

private:
    bool goOn(int callbackResult) {
        if (callbackResult != 0) parser_->pause();
        return true;
    }

    quillmore_settings settings_ = {nullptr, nullptr, nullptr, nullptr, nullptr};
    void* user_;
    quillmore::QuillmoreParser* parser_ = nullptr;
};

}  // namespace

// The opaque parser.  The listener is declared first: the core parser holds
// a reference to it.
struct quillmore_parser {
    quillmore_parser(const quillmore_settings* settings, void* user) : listener(settings, user), parser(listener) {
        listener.attach(parser);
    }

    CListener listener;
    quillmore::QuillmoreParser parser;
};

extern "C" {

quillmore_parser* quillmore_parser_new(const quillmore_settings* settings, void* user) {
    return new (std::nothrow) quillmore_parser(settings, user);
}

void quillmore_parser_free(quillmore_parser* parser) { delete parser; }

int quillmore_parse(quillmore_parser* parser, const unsigned char* data, size_t size, size_t* consumed) {
    if (consumed != nullptr) *consumed = 0;
    if (parser == nullptr || (data == nullptr && size != 0)) return QUILLMORE_INVALID_ARGUMENT;
    if (size == 0) return QUILLMORE_OK;
    const quillmore::ParseResult result = parser->parser.parse(data, size);
    if (consumed != nullptr) *consumed = result.consumed;
    return statusCode(result.status);
}

const char* quillmore_status_name(int status) {
    switch (status) {
    case QUILLMORE_OK: return "QUILLMORE_OK";
    case QUILLMORE_CALLBACK_STOPPED: return "QUILLMORE_CALLBACK_STOPPED";
    case QUILLMORE_INDEX_OUT_OF_RANGE: return "QUILLMORE_INDEX_OUT_OF_RANGE";
    case QUILLMORE_INVALID_ARGUMENT: return "QUILLMORE_INVALID_ARGUMENT";
    default: return "unknown status";
    }
}

const char* quillmore_version(void) { return QUILLMORE_VERSION_STRING; }

}  // extern "C"
