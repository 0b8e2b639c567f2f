#include <gtest/gtest.h>

#include <cmath>

#include "Audio/ChannelFeed.h"
#include "EngineFixture.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

VirtualDeviceSpec microphone(std::string uid, double rate, std::uint32_t channels,
                             Signal signal = Signal::silence()) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = uid;
    spec.transport = Transport::usb;
    spec.sampleRate = rate;
    spec.input = VirtualInputSpec{channels, std::move(signal)};
    return spec;
}

class MicrophoneTest : public EngineTest {
  protected:
    void startWith(std::vector<VirtualDeviceSpec> inputs) {
        VirtualSetup setup;
        setup.devices.push_back(outputDevice("speakers", "Speakers"));
        setup.devices.push_back(outputDevice("headphones", "Headphones"));
        for (auto& spec : inputs) {
            setup.devices.push_back(std::move(spec));
        }
        start(setup);
        engine->powerMode = PowerMode::alwaysOn;
        channel = engine->addInputChannel();
    }
    AudioInputDevice input(const std::string& uid) {
        for (const auto& d : engine->availableInputDevices.get()) {
            if (d.id == uid)
                return d;
        }
        ADD_FAILURE() << "no input " << uid;
        return {};
    }
    std::shared_ptr<InputChannel> channel;
};

TEST_F(MicrophoneTest, PathDependsOnRateAndChannelCount) {
    struct Case {
        double rate;
        std::uint32_t channels;
        bool lowLatency;
    };
    const Case cases[] = {{48000, 2, true},
                          {48000.8, 2, true},
                          {44100, 2, false},
                          {48000, 1, false},
                          {48000, 4, false}};
    for (const Case& c : cases) {
        startWith({microphone("mic", c.rate, c.channels)});
        engine->setInputSource(channel, input("mic"));
        queue.runUntilIdle();
        const auto state = channelState(*channel);
        EXPECT_EQ(state.isLowLatency, c.lowLatency) << c.rate << " " << c.channels;
        EXPECT_TRUE(state.isCapturingMicrophone);
        EXPECT_EQ(channel->sourceType, InputSourceType::microphone);
        EXPECT_FALSE(channel->sourceError.get().has_value());
        ASSERT_EQ(state.buses.size(), 1u);
        EXPECT_EQ(state.hasConverter, !c.lowLatency);
        engine.reset();
    }
}

TEST_F(MicrophoneTest, LogsTheAnalysisOfTheChosenPath) {
    startWith({microphone("mic", 44100, 1)});
    log.clear();
    engine->setInputSource(channel, input("mic"));
    const std::string rule = [] {
        std::string r;
        for (int i = 0; i < 51; ++i)
            r += "═";
        return r;
    }();
    const std::vector<std::string> expected = {
        "ℹ️ mic does not support 48kHz (current: 44100.0Hz)",
        "🎤 Setting mic source: mic",
        "📊 Mic hardware format: 44100.0Hz, 1ch",
        rule,
        "📊 AUDIO PATH ANALYSIS:",
        "   Input:    44100Hz, 1ch",
        "   Internal: 48000Hz, 2ch",
        "   Buffer:   128 samples (2.7ms)",
        "   Convert:  YES - resampling needed",
        "   Path:     📦 Standard (Tap → PlayerNode)",
        rule,
        "🔄 Created persistent sample rate converter: 44100.0Hz → 48000.0Hz",
        "✅ Mic engine started: 44100.0Hz (Standard)",
    };
    auto lines = log.lines();
    auto first = std::find(lines.begin(), lines.end(), expected.front());
    ASSERT_NE(first, lines.end());
    EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(expected.size())),
              expected);
}

TEST_F(MicrophoneTest, EachFailureShowsItsReasonAndKeepsNoCaptureEngine) {
    struct Case {
        const char* label;
        std::function<void(VirtualAudioHardware&, DeviceID)> inject;
        std::string line;
        std::optional<std::string> sourceError;
    };
    const Case cases[] = {
        {"no unit", [](auto& hw, auto) { hw.setCaptureAvailable(false); },
         "❌ No AudioUnit on InputNode", "No audio unit"},
        {"busy", [](auto& hw, auto id) { hw.failBind(id, AudioError::deviceBusy); },
         "⚠️ Could not set input device: OSStatus 6", "Device busy"},
        {"no format", [](auto& hw, auto id) { hw.failRead(id, DeviceProperty::nominalSampleRate); },
         "❌ Could not get valid format for mic", "Invalid format"},
        {"no start", [](auto& hw, auto id) { hw.failStreamStart(id, AudioError::streamRefused); },
         "❌ Mic error: the sound server refused the stream", "Start failed"},
        {"healthy", [](auto&, auto) {}, "✅ Mic engine started: 48000.0Hz (Low-Latency)",
         std::nullopt},
    };
    for (const Case& c : cases) {
        startWith({microphone("mic", 48000, 2)});
        channel->sourceError = std::string("stale");
        const auto device = input("mic");
        c.inject(*hardware, device.deviceID);
        log.clear();
        engine->setInputSource(channel, device);
        EXPECT_EQ(channel->sourceError.get(), std::nullopt) << "cleared by the setter";
        queue.runUntilIdle();
        EXPECT_EQ(channel->sourceError.get(), c.sourceError) << c.label;
        if (!c.line.empty()) {
            EXPECT_TRUE(log.contains(c.line)) << c.label;
        }
        if (c.sourceError) {
            EXPECT_FALSE(channelState(*channel).isCapturingMicrophone) << c.label;
            EXPECT_EQ(channel->sourceType, InputSourceType::microphone) << c.label;
        }
        engine.reset();
    }
    EXPECT_TRUE(log.lines().size() > 0);
}

// How many frames after the microphone `out` plays it: the left and right channels of a
// noise signal are looked for at lags up to `longest`. `first` is the microphone's frame at the
// recording's start; nothing when the output is not the microphone within that lag.
std::optional<std::size_t> lagBehind(const std::vector<std::vector<float>>& out,
                                     const Signal& signal, std::int64_t first,
                                     std::size_t longest = 3 * 128 + 64) {
    const std::size_t frames = out[0].size();
    std::vector<float> left(frames), right(frames);
    signal.render(0, first, static_cast<int>(frames), 48000, left.data());
    signal.render(1, first, static_cast<int>(frames), 48000, right.data());
    for (std::size_t lag = 0; lag <= longest; ++lag) {
        bool same = true;
        // From a fifth of a second on: the hand-over watches the first deliveries, then fades in.
        for (std::size_t i = 9600; i + lag < frames - 2048 && same; ++i) {
            same = out[0][i + lag] == left[i] && out[1][i + lag] == right[i];
        }
        if (same) {
            return lag;
        }
    }
    return std::nullopt;
}

// The two paths at every period: frames per output cycle, which is also the capture buffer.
class MicrophonePathTest : public MicrophoneTest, public ::testing::WithParamInterface<int> {
  protected:
    void startAtPeriod(std::vector<VirtualDeviceSpec> inputs) {
        startWith(std::move(inputs));
        hardware->setPeriodFrames(GetParam());
        engine->bufferSize = static_cast<std::uint32_t>(GetParam());
    }
};

// The hand-over holds one capture buffer, one render request, the resampler's lookahead and a
// small margin: the smallest delay that runs without gaps.
TEST_P(MicrophonePathTest, LowLatencyPathIsBitExactAndAsLateAsItMustBe) {
    const Signal noise = Signal::noise(-12, 3);
    startAtPeriod({microphone("mic", 48000, 2, noise)});
    engine->setInputSource(channel, input("mic"));
    const auto first = static_cast<std::int64_t>(std::ceil(queue.now() * 48000));
    const auto out = render("speakers", 0.5);
    const auto period = static_cast<std::size_t>(GetParam());
    const auto lag = lagBehind(out, noise, first, 3 * period + 64);
    ASSERT_TRUE(lag) << "not found within three buffers";
    EXPECT_EQ(channelState(*channel).bus(1)->ratio, 1.0);
    RecordProperty("low_latency_lag_frames", static_cast<int>(*lag));
}

TEST_P(MicrophonePathTest, StandardPathResamplesAMonoMicWithoutGaps) {
    startAtPeriod({microphone("mic", 44100, 1, Signal::sine(1000, -6))});
    engine->setInputSource(channel, input("mic"));
    auto out = render("speakers", 1.0);
    for (int c = 0; c < 2; ++c) {
        const auto& x = out[static_cast<std::size_t>(c)];
        // Skip the start: the converter and the players fill up first.
        std::size_t start = 2400;
        while (start < x.size() && x[start] == 0.0f)
            ++start;
        start += 2400;
        ASSERT_LT(start, 24000u);
        EXPECT_NEAR(testing::frequency(x, 48000, start), 1000.0, 0.5);
        EXPECT_NEAR(testing::toDb(testing::rms(x, start) * std::sqrt(2.0)), -6.0, 0.1);
        // A 1 kHz sine at -6 dBFS moves at most 2π·1000/48000·0.501 ≈ 0.0656 per sample.
        EXPECT_LT(testing::maxJump(x, start), 0.067) << "gap or click on channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, MicrophonePathTest, ::testing::Values(64, 128, 441, 1024));

TEST_F(MicrophoneTest, TheTapPlaysOnlyOnAssignedBusesAndAMuteLeavesNoBacklog) {
    const Signal noise = Signal::noise(-12, 5);
    startWith({microphone("mic", 48000, 2, noise)});
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    channel->busAssignments = std::set<int>{1};
    engine->setInputSource(channel, input("mic"));
    ASSERT_TRUE(channelState(*channel).isLowLatency);
    auto speakers = render("speakers", 0.2);
    EXPECT_GT(testing::rms(speakers[0], 1000), 0.1);
    EXPECT_EQ(testing::peak(hardware->recording(idOf("headphones"))[0]), 0.0);

    // Muted, the channel fades out and stays silent; afterwards it is as late as before: no
    // backlog of what was said while muted.
    channel->isMuted = true;
    speakers = render("speakers", 0.3);
    EXPECT_EQ(testing::peak(speakers[0], ChannelBusInput::kRampFrames), 0.0);
    channel->isMuted = false;
    const auto first = static_cast<std::int64_t>(std::llround(queue.now() * 48000));
    const auto out = render("speakers", 0.3);
    // (Each render starts the device cycles afresh, which the hand-over sees as a late delivery
    // and answers with a little more delay; a backlog would be the 0.3 s of the mute.)
    EXPECT_TRUE(lagBehind(out, noise, first, 1024)) << "a backlog from the muted time";
}

TEST_F(MicrophoneTest, AMicThatComesBackUnderANewIdIsCapturedAgain) {
    startWith({microphone("mic", 48000, 2)});
    engine->setInputSource(channel, input("mic"));
    const auto oldId = idOf("mic");
    hardware->removeDevice(oldId);
    bool refreshed = false;
    engine->refreshAll([&] { refreshed = true; });
    queue.advance(1.0);
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(channel->sourceError.get(), std::optional<std::string>("Device lost"));
    EXPECT_EQ(channel->sourceType, InputSourceType::none);
    EXPECT_TRUE(log.contains("⚠️ Mic device not found: mic"));

    hardware->addDevice(microphone("mic", 48000, 2));
    queue.advance(1.0);
    EXPECT_TRUE(log.contains("🔄 Auto-recovering lost mic source for Input 1: mic"));
    EXPECT_EQ(channel->sourceType, InputSourceType::microphone);
    EXPECT_EQ(channel->sourceDeviceID, idOf("mic"));
    EXPECT_NE(idOf("mic"), oldId);
    EXPECT_TRUE(channelState(*channel).isCapturingMicrophone);
    EXPECT_FALSE(channel->sourceError.get().has_value());
}

// A microphone that stops delivering while it plays leaves its hand-overs dry: the log tells
// how many frames came out as silence, once.
TEST_F(MicrophoneTest, AHandOverThatRunsDryIsLoggedOnce) {
    startWith({microphone("mic", 48000, 2, Signal::sine(1000, -12))});
    engine->setInputSource(channel, input("mic"));
    render("speakers", 0.5);
    hardware->breakStreams(idOf("mic"));
    render("speakers", 0.5);
    queue.advance(2.0);
    int reports = 0;
    for (const auto& line : log.lines()) {
        reports += line.rfind("⚠️ Hand-over Input 1 → Bus 1: +", 0) == 0 &&
                   line.find(" underrun frames, +0 overrun frames") != std::string::npos;
    }
    EXPECT_EQ(reports, 1);
    EXPECT_GT(channelState(*channel).bus(1)->underrunFrames, 0u);
    EXPECT_EQ(channelState(*channel).bus(1)->dropouts, 1u);
}

TEST_F(MicrophoneTest, StoppingAndClearingTheSource) {
    startWith({microphone("mic", 48000, 2)});
    engine->setInputSource(channel, input("mic"));
    engine->stop();
    EXPECT_TRUE(log.contains("🛑 Stopped input capture for Input 1"));
    EXPECT_FALSE(channelState(*channel).isCapturingMicrophone);
    EXPECT_FALSE(channelState(*channel).isLowLatency);
    EXPECT_EQ(channel->sourceType, InputSourceType::none);
    EXPECT_EQ(channel->sourceDeviceUID, std::optional<std::string>("mic"));  // remembered
    engine->clearInputSource(channel);
    EXPECT_TRUE(log.contains("🚫 Cleared source for Input 1"));
    EXPECT_FALSE(channel->sourceDeviceUID.has_value());
    EXPECT_FALSE(channel->sourceDeviceID.has_value());
}

}  // namespace
}  // namespace qv
