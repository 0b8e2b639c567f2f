#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <random>
#include <vector>

#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/MixerNode.h"

namespace qv {
namespace {

constexpr int kFrames = 128;

// Stereo noise in, stereo out: one render block.
struct Block {
    Block() : in{std::vector<float>(kFrames), std::vector<float>(kFrames)} {
        std::mt19937 random(1);
        std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
        for (auto& channel : in) {
            for (float& v : channel) {
                v = sample(random);
            }
        }
    }
    std::vector<float> in[2];
    std::vector<float> out[2] = {std::vector<float>(kFrames), std::vector<float>(kFrames)};
    const float* inputs[2] = {in[0].data(), in[1].data()};
    float* outputs[2] = {out[0].data(), out[1].data()};
};

// Renders one block an iteration; `change` (if any) runs first, so that every block renders
// with a ramp or crossfade in flight.
void renderLoop(benchmark::State& state, AudioNode& node, double bandChannelSamples,
                void (*change)(AudioNode&, bool) = nullptr) {
    Block block;
    bool flip = false;
    for (auto _ : state) {
        if (change) {
            change(node, flip = !flip);
        }
        node.render(block.inputs, block.outputs, kFrames);
        benchmark::DoNotOptimize(block.out[0].data());
        benchmark::ClobberMemory();
    }
    if (bandChannelSamples > 0) {
        // Time per band per channel sample.
        state.counters["per_band_sample"] =
            benchmark::Counter(bandChannelSamples, benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
    }
}

// The 11-band layout with every band boosted or cut (`sign` flips each band's gain).
std::array<EQFilterParameters, EQNode::kBandCount> elevenBands(float sign = 1.0f) {
    const float hz[] = {32, 64, 125, 250, 500, 1000, 2000, 4000, 8000, 16000, 20000};
    std::array<EQFilterParameters, EQNode::kBandCount> bands{};
    for (std::size_t i = 0; i < bands.size(); ++i) {
        bands[i] = {EQFilterType::parametric, hz[i], 1.0f, sign * (i % 2 ? 6.0f : -4.0f), false};
    }
    return bands;
}

void BM_EQNodeElevenActiveBands(benchmark::State& state) {
    EQNode node;
    node.setBands(elevenBands());
    renderLoop(state, node, double(EQNode::kBandCount) * kFrames * 2);
}
BENCHMARK(BM_EQNodeElevenActiveBands);

// Per 128-frame block of an EQ crossfade: `change` starts one, then the three blocks that lie
// wholly in it (the first of which sets it up) are timed, and a fourth finishes it untimed.
// Designing a new set on the main thread is not counted.
void crossfadeLoop(benchmark::State& state, EQNode& node, void (*change)(EQNode&, bool)) {
    Block block;
    bool flip = false;
    for (auto _ : state) {
        change(node, flip = !flip);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) {
            node.render(block.inputs, block.outputs, kFrames);
            benchmark::DoNotOptimize(block.out[0].data());
            benchmark::ClobberMemory();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count() / 3.0);
        node.render(block.inputs, block.outputs, kFrames);
    }
}

// The 11 bands to the dry input and back.
void BM_EQNodeBypassCrossfade(benchmark::State& state) {
    EQNode node;
    node.setBands(elevenBands());
    crossfadeLoop(state, node, [](EQNode& n, bool flip) { n.setBypass(flip); });
}
BENCHMARK(BM_EQNodeBypassCrossfade)->UseManualTime();

// One 11-band layout to another (every gain inverted).
void BM_EQNodeLayoutCrossfade(benchmark::State& state) {
    EQNode node;
    node.setBands(elevenBands());
    crossfadeLoop(state, node, [](EQNode& n, bool flip) {
        static const auto inverted = elevenBands(-1.0f);
        static const auto original = elevenBands();
        n.setBands(flip ? inverted : original);
    });
}
BENCHMARK(BM_EQNodeLayoutCrossfade)->UseManualTime();

void BM_EQNodeNoActiveBand(benchmark::State& state) {
    EQNode node;
    for (int i = 0; i < node.bandCount(); ++i) {
        node.setBand(i, {EQFilterType::parametric, 1000.0f, 1.0f, 0.0f, false});
    }
    renderLoop(state, node, 0);
}
BENCHMARK(BM_EQNodeNoActiveBand);

void BM_DelayNode(benchmark::State& state) {
    DelayNode node;
    node.setDelayTime(0.25);
    node.setFeedback(30.0f);
    node.setWetDryMix(50.0f);
    renderLoop(state, node, 0);
}
BENCHMARK(BM_DelayNode);

// The delay moved every block: a crossfade between two taps is always in flight.
void BM_DelayNodeCrossfade(benchmark::State& state) {
    DelayNode node;
    node.setDelayTime(0.25);
    node.setFeedback(30.0f);
    node.setWetDryMix(50.0f);
    renderLoop(state, node, 0, [](AudioNode& n, bool flip) {
        static_cast<DelayNode&>(n).setDelayTime(flip ? 0.26 : 0.25);
    });
}
BENCHMARK(BM_DelayNodeCrossfade);

void BM_MixerNode(benchmark::State& state) {
    MixerNode node;
    node.setOutputVolume(0.5f);
    renderLoop(state, node, 0);
}
BENCHMARK(BM_MixerNode);

// The volume moved every block: always ramping.
void BM_MixerNodeRamp(benchmark::State& state) {
    MixerNode node;
    renderLoop(state, node, 0, [](AudioNode& n, bool flip) {
        static_cast<MixerNode&>(n).setOutputVolume(flip ? 0.5f : 1.0f);
    });
}
BENCHMARK(BM_MixerNodeRamp);

}  // namespace
}  // namespace qv
