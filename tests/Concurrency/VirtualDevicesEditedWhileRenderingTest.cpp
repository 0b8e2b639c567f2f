#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/RealtimeScope.h"
#include "tests/Support/RealtimeAllocations.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr DeviceID kSpeakers = 100;
constexpr DeviceID kHeadphones = 101;
constexpr DeviceID kSystem = 102;
constexpr DeviceID kTestTone = 103;

bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + 5s;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// What one stream's callbacks saw. The test sets `isOver` once stop(), the stream's
// destructor or the device's removal has returned: a call that still sees it came too late.
struct Probe {
    std::atomic<long> calls{0};
    std::atomic<long> frames{0};
    std::atomic<long> lateCalls{0};
    std::atomic<bool> isInside{false};
    std::atomic<bool> isOver{false};
    std::atomic<double> lastRate{0};
    std::atomic<int> lastFrames{0};
    Clock::duration dwell{};  // time spent inside each call, so that stops land mid-call

    void called(int n, double rate) {
        isInside = true;
        lateCalls += isOver.load() ? 1 : 0;
        frames += n;
        lastRate = rate;
        lastFrames = n;
        const auto until = Clock::now() + dwell;
        while (Clock::now() < until) {
        }
        ++calls;
        isInside = false;
    }
    OutputRenderCallback render() {
        return [this](float* const* channels, int count, int n, double rate) {
            for (int c = 0; c < count; ++c) {
                std::fill_n(channels[c], n, 0.25f);
            }
            called(n, rate);
        };
    }
    InputCaptureCallback capture() {
        return [this](const float* const*, int, int n, double rate) { called(n, rate); };
    }
};

VirtualDeviceSpec hotSpec() {
    VirtualDeviceSpec spec;
    spec.uid = "hot";
    spec.name = "Hot-plugged";
    spec.availableRates = {{44100, 44100}, {48000, 48000}};
    spec.input = VirtualInputSpec{2, Signal::noise(-20, 1)};
    spec.output = VirtualOutputSpec{2};
    return spec;
}

// The real-time driver renders one output and captures one input all along while the main
// thread reads properties, adds and removes listeners, hot-plugs a device and changes its
// rate, changes the period, restarts the grids, and opens, starts, stops and closes streams
// of every kind. What the steady streams deliver keeps to the clock, a stopped or closed
// stream is never called again, listeners are posted for every change, and no cycle
// allocates or frees.
TEST(ConcurrencyVirtualDevices, MainThreadReadsAndEditsWhileTheDriverRenders) {
    VirtualMainQueue queue;
    VirtualAudioHardware hardware(queue, builtinVirtualSetup());
    hardware.setPeriodFrames(64);
    Probe steady;
    Probe tone;
    auto output = hardware.openOutputStream(kSpeakers, steady.render(), {}, nullptr);
    auto input = hardware.openInputStream(kTestTone, 128, tone.capture(), {}, nullptr);
    ASSERT_TRUE(output->start().ok());
    ASSERT_TRUE(input->start().ok());

    int deviceListCalls = 0;
    hardware.addDeviceListListener([&] { ++deviceListCalls; });
    RealTimeDriver driver(hardware);
    testing::RealtimeAllocations::reset();
    const auto begin = Clock::now();
    driver.start();
    ASSERT_TRUE(waitFor([&] { return steady.calls > 0 && tone.calls > 0; }));

    int hotPlugs = 0;
    int hotRateCalls = 0;
    int restarts = 0;
    int systemRunningCalls = 0;
    int systemRunningChanges = 0;
    long lateCalls = 0;
    long steadyFramesBefore = 0;
    // A stopped stream stays open for one round, so that a late call has time to show.
    std::unique_ptr<AudioStream> stopped;
    std::unique_ptr<Probe> stoppedProbe;
    for (int round = 0; round < 120; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(hardware.nominalSampleRate(kSpeakers), 48000.0);
        EXPECT_EQ(hardware.isAlive(kHeadphones), true);
        EXPECT_EQ(hardware.isRunningSomewhere(kTestTone), true);
        EXPECT_EQ(hardware.streamConfiguration(kSystem, Direction::input),
                  std::vector<std::uint32_t>{2});
        EXPECT_EQ(hardware.deviceName(kSpeakers), "Speakers");
        EXPECT_EQ(hardware.deviceIDs()->size(), 4u);
        const auto listener = hardware.addPropertyListener(
            kSystem, DeviceProperty::runningSomewhere, [&] { ++systemRunningCalls; });
        ASSERT_NE(listener, 0u);

        // A fresh stream of one of three kinds; its probe is freed with it, so a call after
        // the stream closed would also touch freed memory.
        auto probe = std::make_unique<Probe>();
        probe->dwell = 150us;
        std::unique_ptr<AudioStream> stream;
        switch (round % 3) {
            case 0:
                stream = hardware.openOutputStream(kHeadphones, probe->render(), {}, nullptr);
                break;
            case 1:
                stream = hardware.openInputStream(kSystem, 32, probe->capture(), {}, nullptr);
                break;
            case 2:
                stream = hardware.openSignalStream(
                    44100.0, 2, 64,
                    [](int, std::int64_t, int frames, double, float* out) {
                        std::fill_n(out, frames, 0.5f);
                    },
                    probe->capture());
                break;
        }
        ASSERT_TRUE(stream);
        ASSERT_TRUE(stream->start().ok());
        ASSERT_TRUE(waitFor([&] { return probe->calls > 0; }));
        // Stops and closes land at varying points of the period, often inside a call.
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 29)));
        if (stopped) {
            lateCalls += stoppedProbe->lateCalls;
            stopped.reset();
            stoppedProbe.reset();
        }
        if (round % 3 == 1) {
            systemRunningChanges += round % 2 == 0 ? 2 : 1;  // started, and maybe stopped
        }
        if (round % 2 == 0) {
            stream->stop();
            EXPECT_FALSE(probe->isInside);
            probe->isOver = true;
            stopped = std::move(stream);
            stoppedProbe = std::move(probe);
        } else {
            stream.reset();
            EXPECT_FALSE(probe->isInside);
            probe->isOver = true;
            lateCalls += probe->lateCalls;
        }
        queue.runUntilIdle();
        hardware.removeListener(listener);

        if (round % 20 == 10) {
            // Hot-plug: a device with running streams changes rate and goes away.
            const DeviceID hot = hardware.addDevice(hotSpec());
            ASSERT_NE(hot, kNoDevice);
            hardware.addPropertyListener(hot, DeviceProperty::nominalSampleRate,
                                         [&] { ++hotRateCalls; });
            Probe hotOutput;
            Probe hotInput;
            auto hotOut = hardware.openOutputStream(hot, hotOutput.render(), {}, nullptr);
            auto hotIn = hardware.openInputStream(hot, 100, hotInput.capture(), {}, nullptr);
            ASSERT_TRUE(hotOut->start().ok());
            ASSERT_TRUE(hotIn->start().ok());
            EXPECT_TRUE(waitFor([&] { return hotOutput.lastRate == 48000.0; }));
            ASSERT_TRUE(hardware.setNominalSampleRate(hot, 44100.0).ok());
            EXPECT_EQ(hardware.nominalSampleRate(hot), 44100.0);
            EXPECT_TRUE(waitFor(
                [&] { return hotOutput.lastRate == 44100.0 && hotInput.lastRate == 44100.0; }));
            const int period = round % 40 == 10 ? 128 : 64;
            hardware.setPeriodFrames(period);
            EXPECT_TRUE(waitFor([&] { return steady.lastFrames == period; }));
            hardware.removeDevice(hot);
            hotOutput.isOver = true;
            hotInput.isOver = true;
            EXPECT_FALSE(hotOut->isRunning());
            std::this_thread::sleep_for(2ms);  // a late call would land here
            lateCalls += hotOutput.lateCalls + hotInput.lateCalls;
            EXPECT_EQ(hotInput.lastFrames, 100);
            ++hotPlugs;

            // The steady output kept rendering through all of it.
            EXPECT_GT(steady.frames, steadyFramesBefore);
            steadyFramesBefore = steady.frames;
        }
        if (round % 30 == 29) {
            hardware.restartCycles();
            ++restarts;
        }
        queue.runUntilIdle();
    }
    stopped.reset();
    driver.stop();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    queue.runUntilIdle();

    EXPECT_EQ(lateCalls, 0);
    EXPECT_EQ(testing::RealtimeAllocations::allocations.load(), 0);
    EXPECT_EQ(testing::RealtimeAllocations::releases.load(), 0);
    EXPECT_EQ(hotRateCalls, hotPlugs);
    EXPECT_EQ(deviceListCalls, 2 * hotPlugs);
    EXPECT_EQ(systemRunningCalls, systemRunningChanges);
    // Never ahead of the clock (a restart may render the current period again); behind it
    // only when the machine stalls the thread.
    for (const Probe* probe : {&steady, &tone}) {
        EXPECT_LE(probe->frames, elapsed * 48000.0 + (restarts + 1) * 128);
        EXPECT_GT(probe->frames, elapsed * 48000.0 * 0.25);
        EXPECT_EQ(probe->lastRate, 48000.0);
    }
    EXPECT_EQ(tone.lastFrames, 128);
}

// A render callback that holds the driver does not hold the main thread: reads, listeners,
// hot-plug, rate changes and other streams go on, and a stream stopped meanwhile is skipped by
// the cycle under way. Only stopping that very stream waits, and only until its callback has
// returned.
TEST(ConcurrencyVirtualDevices, OnlyStoppingTheStreamInsideWaitsForIt) {
    VirtualMainQueue queue;
    VirtualAudioHardware hardware(queue, builtinVirtualSetup());
    std::atomic<bool> isInside{false};
    std::atomic<bool> isReleased{false};
    std::atomic<bool> hasReturned{false};
    std::atomic<bool> timedOut{false};
    std::atomic<int> calls{0};
    auto held = hardware.openOutputStream(
        kSpeakers,
        [&](float* const*, int, int, double) {
            if (calls++ > 0) {
                return;
            }
            isInside = true;
            const auto deadline = Clock::now() + 5s;
            while (!isReleased) {
                if (Clock::now() > deadline) {
                    timedOut = true;
                    break;
                }
                std::this_thread::yield();
            }
            hasReturned = true;
        },
        {}, nullptr);
    // Rendered after the held stream in the same cycle.
    std::atomic<int> laterCalls{0};
    auto later = hardware.openOutputStream(
        kSpeakers, [&](float* const*, int, int, double) { ++laterCalls; }, {}, nullptr);
    ASSERT_TRUE(held->start().ok());
    ASSERT_TRUE(later->start().ok());
    RealTimeDriver driver(hardware);
    driver.start();
    ASSERT_TRUE(waitFor([&] { return isInside.load(); }));

    EXPECT_EQ(hardware.nominalSampleRate(kSpeakers), 48000.0);
    EXPECT_EQ(hardware.isAlive(kSpeakers), true);
    const auto listener = hardware.addPropertyListener(kSpeakers, DeviceProperty::alive, [] {});
    hardware.removeListener(listener);
    const DeviceID hot = hardware.addDevice(hotSpec());
    EXPECT_TRUE(hardware.setNominalSampleRate(hot, 44100.0).ok());
    auto other = hardware.openOutputStream(
        kHeadphones, [](float* const*, int, int, double) {}, {}, nullptr);
    ASSERT_TRUE(other->start().ok());
    other->stop();
    other.reset();
    hardware.setPeriodFrames(256);
    EXPECT_TRUE(hardware.removeDevice(hot));
    later->stop();
    EXPECT_FALSE(hasReturned) << "the main thread waited for the render";

    // Stopping the held stream returns only once its callback has.
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        isReleased = true;
    });
    held->stop();
    EXPECT_TRUE(hasReturned);
    const int callsAtStop = calls;
    releaser.join();
    std::this_thread::sleep_for(5ms);  // a late call would land here
    driver.stop();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(calls, callsAtStop);
    EXPECT_EQ(laterCalls, 0);
}

}  // namespace
}  // namespace qv
