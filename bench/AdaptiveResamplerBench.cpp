#include <benchmark/benchmark.h>
#include <soxr.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

#include "Audio/Platform/AdaptiveResampler.h"

// The hand-over's resampler against libsoxr's variable-rate mode, both stereo, 128 frames out
// per call at a ratio 500 ppm off, the worst a hand-over is expected to see for long. "snr_dB"
// is a 1 kHz sine's level over the error after the run (a fitted sine taken away), so cost and
// quality are read side by side.

namespace qv {
namespace {

constexpr int kBlock = 128;
constexpr double kRatio = 1.0 + 500e-6;  // input frames per output frame
constexpr double kTone = 1000.0 / 48000.0;

// Next `count` frames of the input sine, both channels, from one stored period (48 frames), so
// that the benchmark times the resampling and not the sine.
struct Tone {
    std::vector<float> period;
    std::size_t at = 0;
    Tone() : period(48) {
        for (std::size_t n = 0; n < period.size(); ++n) {
            period[n] = static_cast<float>(
                0.5 * std::sin(2 * std::numbers::pi * kTone * static_cast<double>(n)));
        }
    }
    void fill(float* left, float* right, int count) {
        for (int i = 0; i < count; ++i, at = (at + 1) % period.size()) {
            left[i] = right[i] = period[at];
        }
    }
};

// A 1 kHz sine's level above what is left after fitting a sine of the output frequency, dB.
double snrDb(const std::vector<float>& out) {
    const double w = 2 * std::numbers::pi * kTone * kRatio;
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double s = std::sin(w * static_cast<double>(n)),
                     c = std::cos(w * static_cast<double>(n));
        ss += s * s, sc += s * c, cc += c * c, ys += out[n] * s, yc += out[n] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double signal = 0, error = 0;
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double fit =
            a * std::sin(w * static_cast<double>(n)) + b * std::cos(w * static_cast<double>(n));
        signal += fit * fit;
        error += (out[n] - fit) * (out[n] - fit);
    }
    return 10 * std::log10(signal / error);
}

// Runs `block` (about 128 frames through, writing up to 256 outputs to the two pointers and
// returning how many) for the benchmark, then two more seconds whose left channel is judged.
void measure(benchmark::State& state, const std::function<int(float*, float*)>& block) {
    std::vector<float> left(2 * kBlock), right(2 * kBlock);
    for (int i = 0; i < 40; ++i) {
        block(left.data(), right.data());  // past the start-up transient
    }
    for (auto _ : state) {
        block(left.data(), right.data());
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    }
    std::vector<float> judged;
    for (int i = 0; i < 750; ++i) {
        const int made = block(left.data(), right.data());
        judged.insert(judged.end(), left.begin(), left.begin() + made);
    }
    state.counters["snr_dB"] = snrDb(judged);
    state.SetItemsProcessed(state.iterations() * kBlock);
}

void BM_AdaptiveResampler500ppm(benchmark::State& state) {
    AdaptiveResampler resampler(kBlock);
    resampler.setRatio(kRatio);
    Tone tone;
    measure(state, [&](float* left, float* right) {
        const int needed = resampler.inputNeeded(kBlock);
        tone.fill(resampler.inputLeft(), resampler.inputRight(), needed);
        resampler.commitInput(needed);
        resampler.pull(left, right, kBlock);
        return kBlock;
    });
}
BENCHMARK(BM_AdaptiveResampler500ppm);

// libsoxr at its default (high) quality in variable-rate mode, 128 input frames per call.
void BM_SoxrVariableRate500ppm(benchmark::State& state) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
    soxr_t soxr = soxr_create(1.02, 1.0, 2, &error, &io, &quality, nullptr);
    if (error || !soxr || soxr_set_io_ratio(soxr, kRatio, 0)) {
        state.SkipWithError("no variable-rate resampler");
        soxr_delete(soxr);
        return;
    }
    Tone tone;
    std::vector<float> inLeft(kBlock), inRight(kBlock);
    measure(state, [&](float* left, float* right) {
        tone.fill(inLeft.data(), inRight.data(), kBlock);
        const float* in[2] = {inLeft.data(), inRight.data()};
        float* out[2] = {left, right};
        std::size_t used = 0, made = 0;
        soxr_process(soxr, in, kBlock, &used, out, 2 * kBlock, &made);
        return static_cast<int>(made);
    });
    soxr_delete(soxr);
}
BENCHMARK(BM_SoxrVariableRate500ppm);

}  // namespace
}  // namespace qv
