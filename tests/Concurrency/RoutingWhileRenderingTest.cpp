#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Audio/AudioRingBuffer.h"
#include "tests/Support/LiveMixer.h"

namespace qv {
namespace {

// The main thread changes gain, pan, mute, solo and assignments while two buses render on the
// real-time driver and a capture thread feeds both kinds of channel.
TEST(ConcurrencyRouting, SettingsChangeWhileBusesRenderAndCaptureWrites) {
    VirtualSetup setup;
    setup.devices = {testing::virtualOutput("a"), testing::virtualOutput("b")};
    testing::LiveMixer mixer(setup);
    auto& queue = mixer.queue;
    auto& engine = mixer.engine;
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);

    auto fast = engine->addInputChannel();
    testing::useSourceChains(*engine, fast);
    auto standard = engine->addInputChannel();
    std::vector<std::shared_ptr<AudioRingBuffer>> rings;
    for (auto& [busId, ring] : fast->busRingBuffers) {
        rings.push_back(ring);
    }

    std::atomic<bool> done{false};
    std::thread captureThread([&] {
        AudioPCMBuffer block(internalFormat(), 128);
        block.setFrameLength(128);
        std::fill_n(block.floatChannelData()[0], 128, 0.1f);
        std::fill_n(block.floatChannelData()[1], 128, 0.1f);
        while (!done.load()) {
            for (auto& ring : rings) {
                ring->write(block.floatChannelData()[0], block.floatChannelData()[1], 128);
            }
            engine->scheduleToAssignedBuses(block, *standard, standard->linearGain());
            engine->updateChannelMeterDirect(*standard, block.floatChannelData()[0], 128);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });

    for (int step = 0; step < 300; ++step) {
        fast->gainEnabled = step % 2 == 0;
        fast->inputGain = static_cast<float>(step % 12 - 6);
        fast->panEnabled = step % 3 != 0;
        fast->pan = static_cast<float>(step % 21 - 10) / 10.0f;
        standard->isMuted = step % 4 == 0;
        standard->isSolo = step % 9 == 0;
        engine->updateSoloState();
        standard->busAssignments = step % 2 ? std::set<int>{1} : std::set<int>{1, 2};
        fast->busAssignments = step % 5 ? std::set<int>{1, 2} : std::set<int>{2};
        if (step % 50 == 25) {
            // Rebuild bus 2 while everything runs.
            engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
        }
        queue.advance(0.002);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    done = true;
    captureThread.join();
    queue.advance(0.1);
    EXPECT_TRUE(engine->isRunning.get());
}

}  // namespace
}  // namespace qv
