#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "EngineFixture.h"
#include "tests/Support/ToneTracker.h"

namespace qv {
namespace {

using testing::EngineTest;

// Long runs in virtual time with devices whose clocks disagree, as real ones do: every hand-over
// follows its bus's clock, so each bus plays one continuous tone, with no sample dropped or
// repeated, at a delay that holds within a millisecond of where it settled. 20 virtual minutes
// in an optimised build; sanitized and debug builds run a shorter stretch.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
constexpr int kMinutes = 1;
#else
constexpr int kMinutes = 20;
#endif
constexpr double kSettle = 10.0;  // seconds before anything is measured
constexpr double kToneHz = 1000.0;
constexpr float kLevel = 0.25f;  // -12 dBFS peak

struct Clocked {
    std::string uid;
    double ppm;
};

// One tone to follow: an output device's channel that carries one source.
struct Listening {
    std::string device;
    int channel;
    double sourcePpm;  // the clock the tone was made on
    double devicePpm;
};

class ClockDomainTest : public EngineTest {
  protected:
    VirtualDeviceSpec microphone(const std::string& uid, double rate, std::uint32_t channels,
                                 double ppm) {
        VirtualDeviceSpec spec = testing::inputDevice(uid, uid, channels, rate);
        spec.clockPpm = ppm;
        spec.input->signal = Signal::sine(kToneHz, -12);
        return spec;
    }
    VirtualDeviceSpec speaker(const std::string& uid, double ppm) {
        VirtualDeviceSpec spec = testing::outputDevice(uid, uid);
        spec.clockPpm = ppm;
        return spec;
    }

    std::shared_ptr<OutputBus> bus(int index, const std::string& uid) {
        auto buses = engine->outputBusses.get();
        std::shared_ptr<OutputBus> b = index < static_cast<int>(buses.size())
                                           ? buses[static_cast<std::size_t>(index)]
                                           : engine->addOutputBus();
        for (const auto& d : engine->availableOutputDevices.get()) {
            if (d.uid == uid) {
                engine->assignDevice(d, b);
            }
        }
        return b;
    }
    // A channel on one bus, panned hard to one side.
    std::shared_ptr<InputChannel> channel(int busId, float pan) {
        auto c = engine->addInputChannel();
        c->busAssignments = std::set<int>{busId};
        c->panEnabled = true;
        c->pan = pan;
        return c;
    }
    void fromMicrophone(const std::shared_ptr<InputChannel>& c, const std::string& uid) {
        for (const auto& d : engine->availableInputDevices.get()) {
            if (d.id == uid) {
                engine->setInputSource(c, d);
            }
        }
    }
    void fromApplication(const std::shared_ptr<InputChannel>& c) {
        engine->setInputSource(c, engine->capturableApps.get()[0]);
        queue.runUntilIdle();
        ASSERT_TRUE(channelState(*c).hasAppCapture);
    }

    // Runs the minutes a minute at a time, following every listened tone.
    void runAndCheck(const std::vector<Listening>& listening) {
        engine->powerMode = PowerMode::alwaysOn;
        std::vector<testing::ToneTracker> trackers;
        for (const auto& l : listening) {
            const double cycles =
                kToneHz * (1 + l.sourcePpm * 1e-6) / (48000.0 * (1 + l.devicePpm * 1e-6));
            trackers.emplace_back(cycles, static_cast<std::int64_t>(kSettle * 48000));
        }
        VirtualTimeDriver driver(*hardware, queue);
        bool first = true;
        for (int minute = 0; minute < kMinutes; ++minute) {
            // A little more room than a minute: every period played is in the take.
            hardware->enableRecording(61.0);
            if (first) {
                driver.run(60.0);
                first = false;
            } else {
                driver.runFor(60.0);
            }
            for (std::size_t i = 0; i < listening.size(); ++i) {
                const DeviceID device = idOf(listening[i].device);
                const auto take = hardware->recording(device);
                const auto& plane = take[static_cast<std::size_t>(listening[i].channel)];
                trackers[i].feed(plane.data(), hardware->recordedFrames(device));
            }
        }
        const auto d = engine->diagnostics();
        for (std::size_t i = 0; i < listening.size(); ++i) {
            const auto& l = listening[i];
            const auto& t = trackers[i];
            const std::string which = l.device + (l.channel ? " right" : " left") + " (" +
                                      std::to_string(static_cast<int>(l.sourcePpm)) + " ppm → " +
                                      std::to_string(static_cast<int>(l.devicePpm)) + " ppm)";
            // A continuous tone: every sample where the two before it predict it, and no block
            // without it.
            EXPECT_LT(t.largestResidual(), 1e-4)
                << which << ", at " << static_cast<double>(t.largestResidualAt()) / 48000 << " s";
            EXPECT_GT(t.lowestAmplitude(0), kLevel * 0.99) << which;
            // The delay stays within ±1 ms of where it settled (the last minute's middle).
            const auto [low, high] = t.delayRange(0);
            const auto [lastLow, lastHigh] =
                t.delayRange(static_cast<std::int64_t>((kMinutes - 1) * 60.0 * 48000));
            const double settled = (lastLow + lastHigh) / 2;
            EXPECT_GT(low, settled - 48) << which;
            EXPECT_LT(high, settled + 48) << which;
            RecordProperty("delay_spread_frames " + which, std::to_string(high - low));
        }
        for (const auto& c : d.channels) {
            for (const auto& b : c.buses) {
                EXPECT_EQ(b.dropouts, 0u) << "bus " << b.busId;
                EXPECT_EQ(b.overrunFrames, 0u) << "bus " << b.busId;
            }
        }
    }
};

// A microphone 150 ppm fast and one 200 ppm slow, on both paths, each on a bus of its own side.
TEST_F(ClockDomainTest, MicrophonesOnBothPathsFollowTheirBusesClocks) {
    VirtualSetup setup;
    setup.devices = {microphone("fast48", 48000, 2, 150),
                     microphone("slow48", 48000, 2, -200),
                     microphone("fast44", 44100, 1, 150),
                     microphone("slow44", 44100, 1, -200),
                     speaker("one", 0),
                     speaker("two", 0)};
    start(setup);
    bus(0, "one");
    bus(1, "two");
    fromMicrophone(channel(1, -1), "fast48");
    fromMicrophone(channel(1, 1), "slow48");
    fromMicrophone(channel(2, -1), "fast44");
    fromMicrophone(channel(2, 1), "slow44");
    ASSERT_TRUE(channelState(*engine->inputChannels.get()[0]).isLowLatency);
    ASSERT_FALSE(channelState(*engine->inputChannels.get()[2]).isLowLatency);
    runAndCheck({{"one", 0, 150, 0}, {"one", 1, -200, 0}, {"two", 0, 150, 0}, {"two", 1, -200, 0}});
}

// One application on buses whose devices run 150 ppm slow, on time and 300 ppm fast; a
// microphone shares the fast bus. Then the same with every clock on time: the ratios stay at 1.
TEST_F(ClockDomainTest, AnApplicationFollowsEachOfItsBusesClocks) {
    for (const bool drifting : {true, false}) {
        const double slow = drifting ? -150 : 0;
        const double fast = drifting ? 300 : 0;
        const double mic = drifting ? -200 : 0;
        VirtualSetup setup;
        setup.devices = {microphone("mic", 44100, 1, mic), speaker("slow", slow),
                         speaker("even", 0), speaker("fast", fast)};
        setup.apps = {{"org.example.Player", "Player", Signal::sine(kToneHz, -12)}};
        start(setup);
        bus(0, "slow");
        bus(1, "even");
        bus(2, "fast");
        fromApplication(channel(1, -1));
        fromApplication(channel(2, -1));
        fromApplication(channel(3, -1));
        fromMicrophone(channel(3, 1), "mic");
        runAndCheck({{"slow", 0, 0, slow},
                     {"even", 0, 0, 0},
                     {"fast", 0, 0, fast},
                     {"fast", 1, mic, fast}});
        if (!drifting) {
            // The application's hand-overs copy frames; the converted microphone comes in
            // uneven bursts, which move the delay a little, so its ratio stays within a few ppm.
            const auto channels = engine->diagnostics().channels;
            for (std::size_t i = 0; i < channels.size(); ++i) {
                for (const auto& b : channels[i].buses) {
                    if (i < 3) {
                        EXPECT_EQ(b.ratio, 1.0) << "bus " << b.busId;
                    } else {
                        EXPECT_NEAR(b.ratio, 1.0, 5e-6) << "bus " << b.busId;
                    }
                }
            }
        }
        engine.reset();
        capture.reset();
        hardware.reset();
    }
}

}  // namespace
}  // namespace qv
