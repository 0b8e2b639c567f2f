#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Audio/Platform/Virtual/VirtualDriver.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

constexpr DeviceID kSpeakers = 100;
constexpr DeviceID kTestTone = 103;

bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ConcurrencyVirtualRealTimeDriver, StreamsComeAndGoWhileTheDriverRuns) {
    VirtualMainQueue queue;
    VirtualAudioHardware hardware(queue, builtinVirtualSetup());
    hardware.setPeriodFrames(32);
    RealTimeDriver driver(hardware);
    driver.start();

    VirtualDeviceSpec hot;
    hot.uid = "hot";
    hot.name = "Hot-plugged";
    hot.availableRates = {{44100, 48000}};
    hot.input = VirtualInputSpec{2, Signal::noise(-20, 1)};
    hot.output = VirtualOutputSpec{2};

    std::atomic<int> renders{0};
    std::atomic<int> captures{0};
    std::atomic<int> callsAfterStop{0};
    for (int round = 0; round < 40; ++round) {
        std::atomic<bool> isStopped{false};
        auto render = [&](float* const* channels, int count, int frames, double) {
            callsAfterStop += isStopped.load();
            for (int c = 0; c < count; ++c) {
                channels[c][frames - 1] = 0.5f;
            }
            ++renders;
        };
        auto capture = [&](const float* const*, int, int, double) {
            callsAfterStop += isStopped.load();
            ++captures;
        };
        auto output = hardware.openOutputStream(kSpeakers + round % 3, render, {}, nullptr);
        auto input = hardware.openInputStream(kTestTone, 64, capture, {}, nullptr);
        ASSERT_EQ(output->start(), AudioResult{});
        ASSERT_EQ(input->start(), AudioResult{});
        if (round == 0) {
            ASSERT_TRUE(waitFor([&] { return renders > 0 && captures > 0; }));
        }
        if (round % 8 == 0) {
            // Hot-plug: a device with running streams changes rate and disappears.
            const DeviceID id = hardware.addDevice(hot);
            auto hotOutput = hardware.openOutputStream(id, render, {}, nullptr);
            auto hotInput = hardware.openInputStream(id, 100, capture, {}, nullptr);
            ASSERT_TRUE(hotOutput->start().ok());
            ASSERT_TRUE(hotInput->start().ok());
            std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(hardware.setNominalSampleRate(id, 44100.0).ok());
            hardware.setPeriodFrames(round % 16 ? 32 : 64);
            std::this_thread::sleep_for(1ms);
            hardware.removeDevice(id);
        }
        std::this_thread::sleep_for(2ms);
        output->stop();
        input->stop();
        isStopped = true;
        std::this_thread::sleep_for(1ms);  // a late callback would land here
    }
    driver.stop();
    EXPECT_EQ(callsAfterStop, 0);
    EXPECT_GT(renders, 0);
    EXPECT_GT(captures, 0);
}

TEST(ConcurrencyVirtualRealTimeDriver, KeepsToTheSteadyClockAndStopsCleanly) {
    VirtualMainQueue queue;
    VirtualAudioHardware hardware(queue, builtinVirtualSetup());
    std::atomic<int> renders{0};
    auto output = hardware.openOutputStream(
        kSpeakers, [&](float* const*, int, int, double) { ++renders; }, {}, nullptr);
    ASSERT_EQ(output->start(), AudioResult{});

    RealTimeDriver driver(hardware);
    const auto start = std::chrono::steady_clock::now();
    driver.start();
    ASSERT_TRUE(waitFor([&] { return renders >= 40; }));
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed.count(), 39 * 128 / 48000.0);  // never ahead of real time
    driver.stop();
    EXPECT_FALSE(driver.isRunning());
    const int stoppedAt = renders;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(renders, stoppedAt);
}

}  // namespace
}  // namespace qv
