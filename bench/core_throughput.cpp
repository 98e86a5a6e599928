// Throughput of the decoding core on three synthetic streams (streams.hpp):
// a realistic recording, random bytes and back-to-back standard frames.  The
// listener does nothing but count, so the figures are the core's own cost:
// framing, checksums, payload decoding and one virtual call per delivery.
//
// Before a stream is timed it is decoded once and the deliveries are checked
// against what the generator put in; a mismatch aborts the run, so a broken
// generator or decoder cannot show up as a fast but meaningless figure.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "quillmore/batch.hpp"
#include "quillmore/loss.hpp"
#include "quillmore/parser.hpp"
#include "streams.hpp"

namespace {

using quillmore::QuillmoreData;
using quillmore::QuillmoreExtendData;
using quillmore::QuillmoreListener;
using quillmore::QuillmoreParser;
using quillmore::streams::FrameCounts;

class CountingListener : public QuillmoreListener {
public:
    bool eeg_callback(const QuillmoreData&, quillmore::FrameView) override { return ++counts.standard, true; }
    bool extend_eeg_callback(const QuillmoreExtendData&, quillmore::FrameView) override { return ++counts.extended, true; }
    bool gyro_callback(int, int, int, quillmore::FrameView) override { return ++counts.gyro, true; }
    bool rr_callback(int, int, int, quillmore::FrameView) override { return ++counts.hrv, true; }
    bool raw_callback(int, quillmore::FrameView) override { return ++counts.raw, true; }

    FrameCounts counts;
};

constexpr std::size_t kSerialChunk = 64;

[[noreturn]] void fail(const char* stream, const char* what) {
    std::fprintf(stderr, "core_throughput: stream '%s': %s; refusing to time it\n", stream, what);
    std::abort();
}

void printCounts(const char* label, const FrameCounts& c) {
    std::fprintf(stderr, "  %-9s raw %zu, standard %zu, extended %zu, gyro %zu, hrv %zu\n", label, c.raw, c.standard,
                 c.extended, c.gyro, c.hrv);
}

// Decodes `bytes` once, whole or in `chunk`-byte pieces (0: whole).
FrameCounts decodeOnce(const char* name, const std::vector<std::uint8_t>& bytes, std::size_t chunk) {
    CountingListener listener;
    QuillmoreParser parser(listener);
    const std::size_t step = chunk == 0 ? bytes.size() : chunk;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        const std::size_t n = std::min(step, bytes.size() - at);
        const quillmore::ParseResult r = parser.parse(bytes.data() + at, n);
        if (!r.ok() || r.consumed != n) fail(name, "parse() stopped before the end of the input");
    }
    return listener.counts;
}

void checkDecodes(const char* name, const std::vector<std::uint8_t>& bytes, const FrameCounts& expected) {
    for (std::size_t chunk : {std::size_t{0}, kSerialChunk}) {
        const FrameCounts got = decodeOnce(name, bytes, chunk);
        if (got != expected) {
            std::fprintf(stderr, "core_throughput: stream '%s' (%s) decodes to the wrong frames\n", name,
                         chunk == 0 ? "whole" : "64-byte chunks");
            printCounts("expected", expected);
            printCounts("decoded", got);
            fail(name, "frame counts differ from what the generator wrote");
        }
    }
}

struct Stream {
    std::vector<std::uint8_t> bytes;
    FrameCounts counts;  // deliveries per full pass
};

const Stream& recording() {
    static const Stream stream = [] {
        Stream s;
        s.bytes = quillmore::streams::recordingStream(1024, &s.counts);
        if (s.counts.raw == 0 || s.counts.standard == 0 || s.counts.extended == 0 || s.counts.gyro == 0 ||
            s.counts.hrv == 0)
            fail("recording", "the generator wrote no frames of some kind");
        checkDecodes("recording", s.bytes, s.counts);
        return s;
    }();
    return stream;
}

const Stream& randomBytes() {
    static const Stream stream = [] {
        Stream s;
        s.bytes = quillmore::streams::randomStream();
        // What random bytes decode to is whatever it is; only check that the
        // whole stream goes through, whole and chunked alike.
        s.counts = decodeOnce("random", s.bytes, 0);
        if (decodeOnce("random", s.bytes, kSerialChunk) != s.counts)
            fail("random", "whole and chunked decoding disagree");
        return s;
    }();
    return stream;
}

const Stream& standardOnly() {
    static const Stream stream = [] {
        Stream s;
        s.bytes = quillmore::streams::standardFrameStream(120000, &s.counts);
        if (s.counts.standard == 0) fail("standard", "the generator wrote no frames");
        checkDecodes("standard", s.bytes, s.counts);
        return s;
    }();
    return stream;
}

// One timed pass = a fresh parser over the whole stream, fed in `chunk`-byte
// pieces (0: in one call).
void runStream(benchmark::State& state, const Stream& stream, std::size_t chunk) {
    const std::uint8_t* const data = stream.bytes.data();
    const std::size_t size = stream.bytes.size();
    const std::size_t step = chunk == 0 ? size : chunk;
    for (auto _ : state) {
        CountingListener listener;
        QuillmoreParser parser(listener);
        for (std::size_t at = 0; at < size; at += step) {
            const std::size_t n = step < size - at ? step : size - at;
            benchmark::DoNotOptimize(parser.parse(data + at, n));
        }
        std::size_t delivered = listener.counts.total();
        benchmark::DoNotOptimize(delivered);
    }
    const auto passes = static_cast<std::int64_t>(state.iterations());
    state.SetBytesProcessed(passes * static_cast<std::int64_t>(size));
    state.counters["stream_MB"] = static_cast<double>(size) / 1e6;
    if (stream.counts.total() != 0)
        state.counters["frames/s"] = benchmark::Counter(
            static_cast<double>(stream.counts.total()) * static_cast<double>(passes), benchmark::Counter::kIsRate);
}

// The per-frame path with loss counters attached: what counting costs.
void runWithLoss(benchmark::State& state, const Stream& stream) {
    for (auto _ : state) {
        CountingListener listener;
        QuillmoreParser parser(listener);
        quillmore::LossCounters loss;
        parser.setLossCounters(&loss);
        benchmark::DoNotOptimize(parser.parse(stream.bytes.data(), stream.bytes.size()));
        benchmark::DoNotOptimize(loss);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.bytes.size()));
}

// The batch path: a fresh decoder into arrays that keep their capacity from
// pass to pass, as a host that drains them after every chunk does.  Checked
// once against the generator's counts.
void runBatch(benchmark::State& state, const Stream& stream, std::size_t chunk) {
    const std::uint8_t* const data = stream.bytes.data();
    const std::size_t size = stream.bytes.size();
    const std::size_t step = chunk == 0 ? size : chunk;
    quillmore::Batch batch;
    {
        quillmore::BatchDecoder decoder;
        for (std::size_t at = 0; at < size; at += step) decoder.feed(data + at, std::min(step, size - at), batch);
        decoder.finish(batch);
        if (batch.raw.size() != stream.counts.raw || batch.eeg.size() != stream.counts.standard ||
            batch.extend.size() != stream.counts.extended || batch.gyro.size() != stream.counts.gyro ||
            batch.rr.size() != stream.counts.hrv)
            fail("recording", "the batch path decodes to the wrong frames");
    }
    for (auto _ : state) {
        batch.clear();
        quillmore::BatchDecoder decoder;
        for (std::size_t at = 0; at < size; at += step) decoder.feed(data + at, std::min(step, size - at), batch);
        decoder.finish(batch);
        benchmark::DoNotOptimize(batch.raw.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

void BM_Recording(benchmark::State& state) { runStream(state, recording(), 0); }
void BM_RecordingLossCounted(benchmark::State& state) { runWithLoss(state, recording()); }
void BM_RecordingBatch(benchmark::State& state) { runBatch(state, recording(), 0); }
void BM_RecordingBatchChunked64K(benchmark::State& state) { runBatch(state, recording(), 1 << 16); }
void BM_RecordingChunked64(benchmark::State& state) { runStream(state, recording(), kSerialChunk); }
void BM_RandomBytes(benchmark::State& state) { runStream(state, randomBytes(), 0); }
void BM_StandardFrames(benchmark::State& state) { runStream(state, standardOnly(), 0); }

BENCHMARK(BM_Recording)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordingLossCounted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordingBatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordingBatchChunked64K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordingChunked64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StandardFrames)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
