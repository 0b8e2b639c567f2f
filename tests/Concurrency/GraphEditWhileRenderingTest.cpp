#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/MixerNode.h"
#include "Audio/Platform/PlayerNode.h"
#include "Audio/Platform/SourceNode.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv {
namespace {

// The main thread rewires a graph while a render thread pulls it and a capture thread feeds a
// player: every render must see a whole graph (finite, bounded output), and nothing may race.
TEST(ConcurrencyGraph, EditsWhileRenderingAndSchedulingStayConsistent) {
    VirtualMainQueue queue;
    VirtualAudioHardware hardware(queue, VirtualSetup{});
    AudioGraph graph(hardware);

    auto busMixer = std::make_shared<MixerNode>();
    graph.attach(busMixer);
    graph.connect(busMixer, graph.mainMixerNode(), internalFormat());

    auto fedPlayer = std::make_shared<PlayerNode>();
    graph.attach(fedPlayer);
    graph.connect(fedPlayer, *busMixer, internalFormat());
    fedPlayer->play();

    std::atomic<bool> done{false};
    std::atomic<bool> feeding{true};
    std::atomic<long> renders{0};
    std::atomic<bool> badSample{false};
    std::atomic<bool> steady{false};  // the last render held one value throughout
    std::atomic<float> last{0.0f};

    std::thread renderThread([&] {
        std::vector<float> left(256), right(256);
        float* channels[2] = {left.data(), right.data()};
        while (!done.load()) {
            graph.renderOutput(channels, 2, 256);
            for (int i = 0; i < 256; ++i) {
                // Sources give at most 1.0 each; at most 8 of them are ever attached.
                if (!(std::abs(left[static_cast<std::size_t>(i)]) <= 9.0f)) {
                    badSample = true;
                }
            }
            steady = std::all_of(left.begin(), left.end(), [&](float v) { return v == left[0]; });
            last = left[0];
            renders.fetch_add(1);
        }
    });

    std::thread captureThread([&] {
        while (feeding.load()) {
            auto buffer = std::make_unique<AudioPCMBuffer>(internalFormat(), 128);
            buffer->setFrameLength(128);
            std::fill_n(buffer->floatChannelData()[0], 128, 0.5f);
            std::fill_n(buffer->floatChannelData()[1], 128, 0.5f);
            fedPlayer->scheduleBuffer(std::move(buffer));
            std::this_thread::yield();
        }
    });

    std::mt19937 random(7);
    std::vector<std::shared_ptr<AudioNode>> chains;
    for (int step = 0; step < 1000; ++step) {
        if (chains.size() < 8 && random() % 2 == 0) {
            auto source = std::make_shared<SourceNode>([](float* const* out, int ch, int frames) {
                for (int c = 0; c < ch; ++c) {
                    std::fill_n(out[c], frames, 1.0f);
                }
            });
            auto eq = std::make_shared<EQNode>();
            graph.attach(source);
            graph.attach(eq);
            graph.connect(source, *eq, internalFormat());
            graph.connect(eq, *busMixer, internalFormat());
            chains.push_back(source);
            chains.push_back(eq);
        } else if (!chains.empty()) {
            graph.detach(chains.back());
            chains.pop_back();
        }
        if (step % 100 == 0) {
            fedPlayer->stop();
            fedPlayer->play();
            busMixer->setOutputVolume(step % 200 == 0 ? 0.5f : 1.0f);
        }
    }
    // At rest: two sources, the player silent, full volume. The render thread must pick up
    // exactly that graph.
    feeding = false;
    captureThread.join();
    fedPlayer->stop();
    for (const auto& node : chains) {
        graph.detach(node);
    }
    chains.clear();
    while (chains.size() < 2) {
        auto source = std::make_shared<SourceNode>([](float* const* out, int ch, int frames) {
            for (int c = 0; c < ch; ++c) {
                std::fill_n(out[c], frames, 1.0f);
            }
        });
        graph.attach(source);
        graph.connect(source, *busMixer, internalFormat());
        chains.push_back(source);
    }
    busMixer->setOutputVolume(1.0f);
    const long seen = renders.load();
    while (renders.load() < seen + 3) {
        std::this_thread::yield();
    }
    done = true;
    renderThread.join();
    EXPECT_FALSE(badSample.load());
    EXPECT_TRUE(steady.load());
    EXPECT_EQ(last.load(), 2.0f);
}

}  // namespace
}  // namespace qv
