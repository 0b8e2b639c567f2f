#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

#include "Audio/Platform/AudioPCMBuffer.h"
#include "Audio/Platform/SampleRateConverter.h"

namespace qv {
namespace {

constexpr double kSourceRate = 44100.0;
constexpr std::uint32_t kChunk = 128;  // frames per capture callback

// Stereo 44.1 → 48 kHz in capture-sized chunks. "realtime" is seconds of audio converted per
// wall-clock second, shown as k/s: 1.3k/s is 1300× realtime.
void BM_ConverterStereo44100To48000(benchmark::State& state) {
    auto converter = SampleRateConverter::create(AudioFormat::standard(kSourceRate, 2),
                                                 AudioFormat::standard(48000.0, 2), nullptr);
    if (!converter) {
        state.SkipWithError("no converter");
        return;
    }
    AudioPCMBuffer in(converter->inputFormat(), kChunk);
    for (std::uint32_t c = 0; c < 2; ++c) {
        for (std::uint32_t i = 0; i < kChunk; ++i) {
            in.floatChannelData()[c][i] =
                static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * (c + 1) * i / kChunk));
        }
    }
    in.setFrameLength(kChunk);
    // Bursts of about 815 frames come out every sixth call or so.
    AudioPCMBuffer out(converter->outputFormat(), 2048);
    for (auto _ : state) {
        converter->convert(in, out, nullptr);
        benchmark::DoNotOptimize(out.floatChannelData()[0]);
        benchmark::ClobberMemory();
    }
    state.counters["realtime"] =
        benchmark::Counter(kChunk / kSourceRate, benchmark::Counter::kIsIterationInvariantRate);
    state.SetItemsProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_ConverterStereo44100To48000)->UseRealTime();

}  // namespace
}  // namespace qv
