#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"

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

void renderLoop(benchmark::State& state, AudioNode& node, double bandChannelSamples) {
    Block block;
    for (auto _ : state) {
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

// The 11-band layout with every band boosted or cut.
void BM_EQNodeElevenActiveBands(benchmark::State& state) {
    const float hz[] = {32, 64, 125, 250, 500, 1000, 2000, 4000, 8000, 16000, 20000};
    EQNode node;
    for (int i = 0; i < node.bandCount(); ++i) {
        node.setBand(i, {EQFilterType::parametric, hz[i], 1.0f, i % 2 ? 6.0f : -4.0f, false});
    }
    renderLoop(state, node, double(EQNode::kBandCount) * kFrames * 2);
}
BENCHMARK(BM_EQNodeElevenActiveBands);

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

}  // namespace
}  // namespace qv
