#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Audio/Platform/Virtual/VirtualDriver.h"

namespace qv {
namespace {

VirtualDeviceSpec outputSpec(const std::string& uid, double rate, std::uint32_t channels = 2) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = uid;
    spec.sampleRate = rate;
    spec.output = VirtualOutputSpec{channels};
    return spec;
}

VirtualDeviceSpec inputSpec(const std::string& uid, double rate, Signal signal,
                            std::uint32_t channels = 1) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = uid;
    spec.sampleRate = rate;
    spec.input = VirtualInputSpec{channels, std::move(signal)};
    return spec;
}

// One render or capture call as the driver made it.
struct Call {
    Seconds time;
    int frames;
    double rate;
};

class VirtualTimeDriverTest : public ::testing::Test {
  protected:
    VirtualMainQueue queue;

    void makeHardware(std::vector<VirtualDeviceSpec> devices) {
        hardware = std::make_unique<VirtualAudioHardware>(queue, VirtualSetup{devices, {}, true});
        driver = std::make_unique<VirtualTimeDriver>(*hardware, queue);
    }

    // An output stream that plays `value` on every channel and logs its calls.
    std::unique_ptr<AudioStream> play(DeviceID device, float value, std::vector<Call>* calls,
                                      std::vector<char>* order = nullptr) {
        auto stream = hardware->openOutputStream(
            device,
            [=, this](float* const* channels, int count, int frames, double rate) {
                for (int c = 0; c < count; ++c) {
                    std::fill_n(channels[c], frames, value * float(c + 1));
                }
                if (calls) {
                    calls->push_back({queue.now(), frames, rate});
                }
                if (order) {
                    order->push_back('o');
                }
            },
            {}, nullptr);
        EXPECT_EQ(stream->start(), AudioResult{});
        return stream;
    }

    std::unique_ptr<VirtualAudioHardware> hardware;
    std::unique_ptr<VirtualTimeDriver> driver;
};

TEST_F(VirtualTimeDriverTest, RendersPeriodsAtEachDevicesRateWithoutDrift) {
    makeHardware({outputSpec("a", 48000.0), outputSpec("b", 44100.0)});
    std::vector<Call> a, b;
    auto streamA = play(100, 0.1f, &a);
    auto streamB = play(101, 0.1f, &b);
    driver->run(1.0);

    EXPECT_EQ(queue.now(), 1.0);
    ASSERT_EQ(a.size(), 375u);  // 48000 / 128
    ASSERT_EQ(b.size(), 345u);  // ceil(44100 / 128)
    for (std::size_t k = 0; k < b.size(); ++k) {
        EXPECT_EQ(b[k].time, double(k * 128) / 44100.0) << k;
        EXPECT_EQ(b[k].frames, 128);
        EXPECT_EQ(b[k].rate, 44100.0);
    }
    EXPECT_EQ(a.back().time, 374.0 * 128 / 48000.0);

    hardware->setPeriodFrames(480);
    a.clear();
    driver->runFor(0.1);
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(a[0].frames, 480);
}

TEST_F(VirtualTimeDriverTest, InputHearsTheSignalFromWhenItStarted) {
    const Signal sine = Signal::sine(1000.0, -6.0);
    makeHardware({inputSpec("mic", 48000.0, sine, 2)});
    std::vector<Call> calls;
    std::vector<std::vector<float>> heard(2);
    std::unique_ptr<AudioStream> stream;
    queue.postAfter(0.25, [&] {
        stream = hardware->openInputStream(
            100, 480,
            [&](const float* const* channels, int count, int frames, double rate) {
                calls.push_back({queue.now(), frames, rate});
                for (int c = 0; c < count; ++c) {
                    heard[std::size_t(c)].insert(heard[std::size_t(c)].end(), channels[c],
                                                 channels[c] + frames);
                }
            },
            {}, nullptr);
        ASSERT_EQ(stream->start(), AudioResult{});
    });
    driver->run(1.0);

    // Buffers at 0.26, 0.27, ... up to but not including 1.0.
    ASSERT_EQ(calls.size(), 74u);
    EXPECT_EQ(calls[0].time, 12480.0 / 48000.0);
    EXPECT_EQ(calls[0].frames, 480);
    EXPECT_EQ(calls[0].rate, 48000.0);
    std::vector<float> expected(heard[0].size());
    sine.render(0, 12000, int(expected.size()), 48000.0, expected.data());
    EXPECT_EQ(heard[0], expected);
    EXPECT_EQ(heard[1], expected);

    // Stopped streams deliver nothing; a restart picks up the signal at the new time.
    // Started again between two frames (72000.48), it hears from the next frame on.
    stream->stop();
    driver->runFor(0.50001);
    EXPECT_EQ(calls.size(), 74u);
    ASSERT_EQ(stream->start(), AudioResult{});
    heard[0].clear();
    driver->runFor(0.1);
    ASSERT_EQ(calls.size(), 83u);
    EXPECT_EQ(calls[74].time, 72481.0 / 48000.0);
    expected.resize(heard[0].size());
    sine.render(0, 72001, int(expected.size()), 48000.0, expected.data());
    EXPECT_EQ(heard[0], expected);
}

TEST_F(VirtualTimeDriverTest, InputsDeliverBeforeOutputsRenderAtTheSameInstant) {
    makeHardware({inputSpec("mic", 48000.0, Signal::silence()), outputSpec("out", 48000.0)});
    std::vector<char> order;
    auto output = play(101, 0.0f, nullptr, &order);
    auto input = hardware->openInputStream(
        100, 256, [&](const float* const*, int, int, double) { order.push_back('i'); }, {},
        nullptr);
    ASSERT_TRUE(input->start().ok());
    driver->run(256.0 * 4 / 48000.0);
    // Outputs at 0, 128, 256, 384, 512, 640, 768, 896; inputs at 256, 512, 768.
    EXPECT_EQ(std::string(order.begin(), order.end()), "ooiooiooioo");
}

TEST_F(VirtualTimeDriverTest, MainQueueTasksRunAtTheirTimesBetweenCycles) {
    makeHardware({outputSpec("out", 48000.0)});
    std::vector<Call> calls;
    auto output = play(100, 0.0f, &calls);
    std::vector<std::pair<Seconds, std::size_t>> seen;
    queue.postAfter(0.01, [&] { seen.emplace_back(queue.now(), calls.size()); });
    queue.postAfter(128.0 / 48000.0, [&] { seen.emplace_back(queue.now(), calls.size()); });
    driver->run(0.02);
    ASSERT_EQ(seen.size(), 2u);
    // A task due exactly at a boundary runs before that cycle.
    EXPECT_EQ(seen[0], std::make_pair(128.0 / 48000.0, std::size_t(1)));
    EXPECT_EQ(seen[1], std::make_pair(0.01, std::size_t(4)));
}

TEST_F(VirtualTimeDriverTest, RecordsWhatEachOutputDevicePlayed) {
    makeHardware({outputSpec("speakers", 48000.0), outputSpec("dac", 44100.0, 4),
                  outputSpec("idle", 48000.0, 1)});
    hardware->enableRecording(0.1);
    auto first = play(100, 0.25f, nullptr);
    auto second = play(100, 0.125f, nullptr);
    auto dac = play(101, 0.5f, nullptr);
    driver->run(0.5);

    const auto speakers = hardware->recording(100);
    ASSERT_EQ(speakers.size(), 2u);
    EXPECT_EQ(speakers[0], std::vector<float>(4800, 0.375f));  // both streams, summed
    EXPECT_EQ(speakers[1], std::vector<float>(4800, 0.75f));
    const auto dacTake = hardware->recording(101);
    ASSERT_EQ(dacTake.size(), 4u);
    EXPECT_EQ(dacTake[3], std::vector<float>(4410, 2.0f));
    EXPECT_EQ(hardware->recording(102),
              std::vector<std::vector<float>>(1, std::vector<float>(4800)));

    std::string pattern = (std::filesystem::temp_directory_path() / "qv-takes-XXXXXX").string();
    const std::filesystem::path dir = mkdtemp(pattern.data());
    std::string error;
    ASSERT_TRUE(hardware->writeRecordings(dir.string(), &error)) << error;
    auto file = readWav((dir / "dac.wav").string(), &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->sampleRate, 44100.0);
    EXPECT_EQ(file->channels, dacTake);
    EXPECT_TRUE(readWav((dir / "idle.wav").string(), &error));
    EXPECT_TRUE(readWav((dir / "speakers.wav").string(), &error));
    std::filesystem::remove_all(dir);
}

TEST_F(VirtualTimeDriverTest, RunForContinuesTheGridsAcrossCalls) {
    makeHardware({outputSpec("a", 44100.0)});
    std::vector<Call> calls;
    auto stream = play(100, 0.0f, &calls);
    driver->runFor(0.3);
    driver->runFor(0.7);
    ASSERT_EQ(calls.size(), 345u);
    EXPECT_EQ(calls.back().time, 344.0 * 128 / 44100.0);

    // Time moved elsewhere: the grid starts again at the current time instead of catching up.
    queue.advance(1.0);
    calls.clear();
    driver->runFor(0.01);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].time, 2.0);
}

TEST_F(VirtualTimeDriverTest, RateChangeRestartsTheDeviceGridAtTheNewRate) {
    VirtualDeviceSpec spec = outputSpec("dac", 48000.0);
    spec.availableRates = {{44100, 44100}, {48000, 48000}};
    makeHardware({spec});
    std::vector<Call> calls;
    auto stream = play(100, 0.0f, &calls);
    queue.postAfter(
        0.5, [&] { EXPECT_EQ(hardware->setNominalSampleRate(100, 44100.0), AudioResult{}); });
    driver->run(1.0);

    std::size_t at48 = 0;
    for (const auto& call : calls) {
        at48 += call.rate == 48000.0;
    }
    EXPECT_EQ(at48, 188u);                 // boundaries below 0.5 s
    EXPECT_EQ(calls.size() - at48, 173u);  // from frame 22050 at 44.1 kHz
    EXPECT_EQ(calls[at48].time, 0.5);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// A device whose clock is off runs its periods at its own pace in virtual time, records as many
// frames as its clock made, and makes its signal in its own samples.
TEST_F(VirtualTimeDriverTest, ADeviceClockThatIsOffRunsAtItsOwnPace) {
    const Signal sine = Signal::sine(1000.0, -6.0);
    auto fast = outputSpec("fast", 48000.0);
    fast.clockPpm = 100;
    auto slow = outputSpec("slow", 48000.0);
    slow.clockPpm = -250;
    auto mic = inputSpec("mic", 48000.0, sine);
    mic.clockPpm = 200;
    makeHardware({fast, slow, mic});
    hardware->enableRecording(100.0);
    std::vector<Call> fastCalls, slowCalls, micCalls;
    std::vector<float> heard;
    auto a = play(100, 0.5f, &fastCalls);
    auto b = play(101, 0.5f, &slowCalls);
    auto input = hardware->openInputStream(
        102, 480,
        [&](const float* const* channels, int, int frames, double rate) {
            micCalls.push_back({queue.now(), frames, rate});
            heard.insert(heard.end(), channels[0], channels[0] + frames);
        },
        {}, nullptr);
    ASSERT_TRUE(input->start().ok());
    driver->run(100.0);

    // Periods every 128 / (48000 × (1 + ppm / 1e6)) seconds, at the nominal rate.
    ASSERT_GT(fastCalls.size(), 1000u);
    EXPECT_NEAR(fastCalls[1000].time, 1000 * 128 / (48000.0 * 1.0001), 1e-9);
    EXPECT_EQ(fastCalls[1000].rate, 48000.0);
    EXPECT_NEAR(slowCalls[1000].time, 1000 * 128 / (48000.0 * 0.99975), 1e-9);
    // 100 s × 48009.6 frames per second: 10002 buffers, the last due at 100 s itself.
    EXPECT_EQ(micCalls.size(), 10001u);
    EXPECT_EQ(hardware->recording(100)[0].size(), 4800480u);
    EXPECT_EQ(hardware->recording(101)[0].size(), 4798800u);
    EXPECT_EQ(hardware->recording(100)[0].back(), 0.5f) << "played to the end";
    // The sine is 1 kHz in the device's samples (1000.2 Hz in virtual time).
    std::vector<float> expected(heard.size());
    sine.render(0, 0, static_cast<int>(expected.size()), 48000.0, expected.data());
    EXPECT_EQ(heard, expected);
}

}  // namespace
}  // namespace qv
