#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "Audio/AudioRingBuffer.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "EngineFixture.h"
#include "Foundation/RealtimeScope.h"
#include "tests/Support/LiveMixer.h"

// Every allocation and release made inside a render cycle is counted.
namespace {
std::atomic<long> renderAllocations{0};
std::atomic<long> renderReleases{0};
}  // namespace

void* operator new(std::size_t size) {
    if (qv::RealtimeScope::isActive()) {
        renderAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
namespace {
void release(void* p) noexcept {
    if (p && qv::RealtimeScope::isActive()) {
        renderReleases.fetch_add(1, std::memory_order_relaxed);
    }
    std::free(p);
}
}  // namespace
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (qv::RealtimeScope::isActive()) {
        renderAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}

namespace qv {
namespace {

using testing::EngineTest;

// Two buses render 10 000 cycles each while the main thread keeps changing routing, solo,
// mute, pan and gain, a low-latency channel is fed through its ring buffers, a player-path
// channel through its player chains, and the meters run.
TEST_F(EngineTest, RenderCyclesNeitherAllocateNorFree) {
    start();
    engine->powerMode = PowerMode::alwaysOn;
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);

    auto fast = engine->addInputChannel();
    testing::useSourceChains(*engine, fast);
    auto standard = engine->addInputChannel();
    standard->busAssignments = std::set<int>{1, 2};

    AudioPCMBuffer block(internalFormat(), 128);
    block.setFrameLength(128);
    for (std::uint32_t i = 0; i < 128; ++i) {
        block.floatChannelData()[0][i] = block.floatChannelData()[1][i] = 0.25f;
    }
    // What the capture side would do once per 128 frames.
    auto feeder = queue.scheduleRepeating(128.0 / 48000.0, [&] {
        for (auto& [busId, ring] : fast->busRingBuffers) {
            ring->write(block.floatChannelData()[0], block.floatChannelData()[1], 128);
        }
        engine->scheduleToAssignedBuses(block, *standard, standard->linearGain());
        engine->updateChannelMeter(*standard, block);
    });
    int step = 0;
    auto changer = queue.scheduleRepeating(0.05, [&] {
        ++step;
        fast->isSolo = step % 7 == 0;
        engine->updateSoloState();
        standard->isMuted = step % 5 == 0;
        fast->panEnabled = true;
        fast->pan = static_cast<float>(step % 21 - 10) / 10.0f;
        standard->gainEnabled = step % 2 == 0;
        standard->inputGain = static_cast<float>(step % 13 - 6);
        fast->busAssignments = step % 3 == 0 ? std::set<int>{1} : std::set<int>{1, 2};
        bus2->faderLevel = -static_cast<float>(step % 10);
        engine->updateBusFader(bus2);
    });

    renderAllocations = 0;
    renderReleases = 0;
    VirtualTimeDriver(*hardware, queue).run(10000 * 128 / 48000.0);
    feeder.cancel();
    changer.cancel();
    EXPECT_EQ(renderAllocations.load(), 0);
    EXPECT_EQ(renderReleases.load(), 0);
    EXPECT_GT(step, 500);
    EXPECT_EQ(engine->droppedMeterValues(), 0u);
    EXPECT_GT(engine->outputBusses.get()[0]->peakLevel.get(), -20.0f);
}

}  // namespace
}  // namespace qv
