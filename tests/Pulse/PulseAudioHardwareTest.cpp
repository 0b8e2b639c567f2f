#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "Audio/Platform/Pulse/PulseAudioHardware.h"
#include "Foundation/Log.h"
#include "Foundation/VirtualMainQueue.h"
#include "tests/Support/PulseServer.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using namespace qv::testing;
using namespace std::chrono_literals;

// The level of a 1 kHz tone in x[from, to), in dBFS: the median over 10 ms blocks, so that a
// short break on a busy machine does not read as a wrong level.
double toneLevelDb(const std::vector<float>& x, std::size_t from, std::size_t to) {
    std::vector<double> levels;
    for (std::size_t b = from; b + 480 <= to; b += 480) {
        levels.push_back(toDb(toneAmplitude(x, 1000, 48000, b, b + 480)));
    }
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    return levels[levels.size() / 2];
}

// The device layer of this process on a private server with two null sinks at different rates.
class PulseAudioHardwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PULSE_SERVER", server.address().c_str(), 1);
        std::string error;
        hardware = PulseAudioHardware::connect(queue, &error);
        ASSERT_TRUE(hardware) << error;
    }
    void TearDown() override {
        hardware.reset();
        ::unsetenv("PULSE_SERVER");
    }

    template <typename Done>
    bool pumpUntil(std::chrono::milliseconds timeout, Done done) {
        return testing::pumpUntil(queue, timeout, done);
    }

    std::optional<DeviceID> idOf(const std::string& uid) {
        for (auto id : hardware->deviceIDs().value_or(std::vector<DeviceID>{})) {
            if (hardware->deviceUID(id) == uid) {
                return id;
            }
        }
        return std::nullopt;
    }

    PulseServer server{{{"busA", "Bus A", 48000}, {"busB", "Bus B", 44100}}};
    LogCapture log;
    VirtualMainQueue queue;
    std::unique_ptr<PulseAudioHardware> hardware;
};

TEST_F(PulseAudioHardwareTest, SinksAreOutputsAndSourcesInputsWithTheServersProperties) {
    struct Expected {
        std::string uid;
        std::string name;
        double rate;
        Direction direction;
    };
    const Expected table[] = {
        {"busA", "Bus A", 48000, Direction::output},
        {"busB", "Bus B", 44100, Direction::output},
        {"busA.monitor", "Monitor of Bus A", 48000, Direction::input},
        {"busB.monitor", "Monitor of Bus B", 44100, Direction::input},
    };
    std::set<DeviceID> seen;
    for (const auto& e : table) {
        SCOPED_TRACE(e.uid);
        auto id = idOf(e.uid);
        ASSERT_TRUE(id);
        EXPECT_GE(*id, 100u);
        EXPECT_TRUE(seen.insert(*id).second);
        EXPECT_EQ(hardware->deviceName(*id), e.name);
        EXPECT_EQ(hardware->nominalSampleRate(*id), e.rate);
        EXPECT_EQ(hardware->transport(*id), Transport::virtualDevice);
        const Direction other =
            e.direction == Direction::output ? Direction::input : Direction::output;
        EXPECT_EQ(hardware->streamConfiguration(*id, e.direction), std::vector<std::uint32_t>{2});
        EXPECT_EQ(hardware->streamConfiguration(*id, other), std::vector<std::uint32_t>{});
        EXPECT_EQ(hardware->isAlive(*id), true);
        // A client cannot retune a device: the current rate is the only one.
        auto rates = hardware->availableSampleRates(*id);
        ASSERT_TRUE(rates && rates->size() == 1);
        EXPECT_EQ((*rates)[0].minimum, e.rate);
        EXPECT_EQ((*rates)[0].maximum, e.rate);
        EXPECT_EQ(hardware->setNominalSampleRate(*id, e.rate), AudioResult{});
    }
    EXPECT_EQ(hardware->setNominalSampleRate(*idOf("busB"), 48000), AudioError::unsupportedRate);
    EXPECT_FALSE(hardware->deviceUID(99999));
    EXPECT_FALSE(hardware->streamConfiguration(99999, Direction::output));
}

TEST_F(PulseAudioHardwareTest, ASinkThatComesBackGetsANewIdAndListenersHearEveryChange) {
    int listChanges = 0;
    hardware->addDeviceListListener([&] { ++listChanges; });
    auto module = server.loadNullSink({"extra", "Extra", 48000});
    ASSERT_TRUE(module);
    ASSERT_TRUE(pumpUntil(5s, [&] { return idOf("extra").has_value(); }));
    EXPECT_GE(listChanges, 1);
    const DeviceID first = *idOf("extra");
    int aliveChanges = 0;
    hardware->addPropertyListener(first, DeviceProperty::alive, [&] { ++aliveChanges; });

    ASSERT_TRUE(server.unloadModule(*module));
    ASSERT_TRUE(pumpUntil(5s, [&] { return aliveChanges > 0; }));
    EXPECT_EQ(hardware->isAlive(first), false);
    EXPECT_FALSE(idOf("extra"));

    ASSERT_TRUE(server.loadNullSink({"extra", "Extra", 48000}));
    ASSERT_TRUE(pumpUntil(5s, [&] { return idOf("extra").has_value(); }));
    EXPECT_NE(*idOf("extra"), first);
    EXPECT_EQ(hardware->isAlive(first), false);
}

TEST_F(PulseAudioHardwareTest, AnOutputStreamPlaysWhatItRendersAtTheSinksRate) {
    for (const std::string sink : {"busA", "busB"}) {
        SCOPED_TRACE(sink);
        const DeviceID id = *idOf(sink);
        const double rate = *hardware->nominalSampleRate(id);
        auto recorder = server.record(sink + ".monitor");
        std::atomic<std::int64_t> frame{0};
        std::atomic<bool> wrongRate{false};
        const double amplitude = std::pow(10.0, -6.0 / 20.0);
        AudioError error = AudioError::deviceBusy;
        auto stream = hardware->openOutputStream(
            id,
            [&](float* const* channels, int count, int frames, double streamRate) {
                if (streamRate != rate) {
                    wrongRate = true;
                }
                const std::int64_t start = frame.fetch_add(frames);
                for (int f = 0; f < frames; ++f) {
                    const auto v = static_cast<float>(
                        amplitude * std::sin(2 * M_PI * 1000 * double(start + f) / rate));
                    for (int c = 0; c < count; ++c) {
                        channels[c][f] = v;
                    }
                }
            },
            {}, &error);
        ASSERT_TRUE(stream);
        ASSERT_EQ(stream->start(), AudioResult{});
        EXPECT_TRUE(stream->isRunning());
        auto tone = awaitSteadyTone(recorder, 1000, 10s);
        ASSERT_TRUE(tone) << server.log();
        for (const auto& channel : tone->channels) {
            EXPECT_NEAR(toneLevelDb(channel, 0, channel.size()), -6.0, 0.2);
        }
        EXPECT_FALSE(wrongRate);
        stream->stop();
        EXPECT_FALSE(stream->isRunning());
        const auto after = frame.load();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(frame.load(), after);  // nothing renders after stop
    }
}

TEST_F(PulseAudioHardwareTest, InputStreamsDeliverWholeBuffersAndOtherClientsCountAsRunning) {
    const DeviceID monitor = *idOf("busA.monitor");
    const DeviceID sink = *idOf("busA");
    int runningChanges = 0;
    hardware->addPropertyListener(sink, DeviceProperty::runningSomewhere,
                                  [&] { ++runningChanges; });
    EXPECT_EQ(hardware->isRunningSomewhere(sink), false);

    std::mutex mutex;
    std::vector<float> left;
    std::atomic<bool> wrongShape{false};
    auto stream = hardware->openInputStream(
        monitor, 128,
        [&](const float* const* channels, int count, int frames, double rate) {
            if (frames != 128 || count != 2 || rate != 48000) {
                wrongShape = true;
            }
            std::lock_guard lock(mutex);
            left.insert(left.end(), channels[0], channels[0] + frames);
        },
        {}, nullptr);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->start(), AudioResult{});
    // Our own record stream does not make the monitor "running somewhere".
    pumpUntil(300ms, [] { return false; });
    EXPECT_EQ(hardware->isRunningSomewhere(monitor), false);

    auto player = server.play(server.toneFile(1000, -6), "busA");
    ASSERT_TRUE(pumpUntil(10s, [&] { return hardware->isRunningSomewhere(sink) == true; }));
    EXPECT_GE(runningChanges, 1);
    // PipeWire records silence from an idle sink's monitor; PulseAudio nothing until it plays.
    // Either way, two seconds after the player began the tone is there.
    const std::size_t playedFrom = [&] {
        std::lock_guard lock(mutex);
        return left.size();
    }();
    ASSERT_TRUE(pollUntil(10s, [&] {
        std::lock_guard lock(mutex);
        return left.size() > playedFrom + 48000 * 2;
    }));
    {
        std::lock_guard lock(mutex);
        const std::size_t end = left.size();
        EXPECT_NEAR(toneLevelDb(left, end - 24000, end), -6.0, 0.2);
    }
    EXPECT_FALSE(wrongShape);

    player.stop(SIGKILL);
    ASSERT_TRUE(pumpUntil(10s, [&] { return hardware->isRunningSomewhere(sink) == false; }));
}

TEST_F(PulseAudioHardwareTest, AServerRestartBringsDevicesAndInputStreamsBack) {
    const DeviceID oldSink = *idOf("busA");
    int listChanges = 0;
    hardware->addDeviceListListener([&] { ++listChanges; });
    std::atomic<int> outputChanges{0};
    auto output = hardware->openOutputStream(
        oldSink,
        [](float* const* channels, int count, int frames, double) {
            for (int c = 0; c < count; ++c) {
                std::fill_n(channels[c], frames, 0.0f);
            }
        },
        {[&] { ++outputChanges; }, {}, {}}, nullptr);
    ASSERT_EQ(output->start(), AudioResult{});
    std::atomic<std::int64_t> delivered{0};
    auto input = hardware->openInputStream(
        *idOf("busB.monitor"), 128,
        [&](const float* const*, int, int frames, double) { delivered += frames; }, {}, nullptr);
    ASSERT_EQ(input->start(), AudioResult{});
    ASSERT_TRUE(pollUntil(5s, [&] { return delivered.load() > 4800; }));

    server.kill();
    ASSERT_TRUE(pumpUntil(5s, [&] { return outputChanges.load() >= 1; }));
    EXPECT_FALSE(output->isRunning());
    EXPECT_FALSE(hardware->isAlive(oldSink).has_value());  // nobody can tell now
    EXPECT_EQ(hardware->deviceUID(oldSink), "busA");       // the last known devices stay
    EXPECT_TRUE(log.contains("⚠️ Sound server connection lost - reconnecting"));

    server.restart();
    ASSERT_TRUE(pumpUntil(15s, [&] { return hardware->isConnected(); }));
    EXPECT_TRUE(log.contains("✅ Sound server connection restored"));
    EXPECT_GE(listChanges, 1);
    EXPECT_GE(outputChanges.load(), 2);  // told again once the server is back
    EXPECT_EQ(hardware->isAlive(oldSink), false);
    ASSERT_TRUE(idOf("busA"));
    EXPECT_NE(*idOf("busA"), oldSink);

    const auto before = delivered.load();
    ASSERT_TRUE(pumpUntil(10s, [&] { return delivered.load() > before + 4800; }));
    EXPECT_TRUE(input->isRunning());
}

TEST(PulseAudioHardwareConnect, NoServerIsAnErrorNotAHang) {
    ::setenv("PULSE_SERVER", "unix:/nonexistent/quorvanta/native", 1);
    VirtualMainQueue queue;
    std::string error;
    auto hardware = PulseAudioHardware::connect(queue, &error);
    ::unsetenv("PULSE_SERVER");
    EXPECT_FALSE(hardware);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace qv
