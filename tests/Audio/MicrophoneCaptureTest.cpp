#include <gtest/gtest.h>

#include <cmath>

#include "Audio/AudioRingBuffer.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
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
        EXPECT_EQ(channel->useLowLatencyPath, c.lowLatency) << c.rate << " " << c.channels;
        EXPECT_EQ(engine->inputEngines.count(channel->id), 1u);
        EXPECT_EQ(channel->sourceType, InputSourceType::microphone);
        EXPECT_FALSE(channel->sourceError.get().has_value());
        if (c.lowLatency) {
            EXPECT_TRUE(channel->busPlayerNodes.empty());
            EXPECT_EQ(channel->busSourceNodes.size(), 1u);
            EXPECT_EQ(channel->sampleRateConverter, nullptr);
        } else {
            EXPECT_EQ(channel->busPlayerNodes.size(), 1u);
            EXPECT_NE(channel->sampleRateConverter, nullptr);
        }
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
            EXPECT_EQ(engine->inputEngines.count(channel->id), 0u) << c.label;
            EXPECT_EQ(channel->sourceType, InputSourceType::microphone) << c.label;
        }
        engine.reset();
    }
    EXPECT_TRUE(log.lines().size() > 0);
}

TEST_F(MicrophoneTest, LowLatencyPathIsBitExactAndAtMostOneBufferLate) {
    startWith({microphone("mic", 48000, 2, Signal::noise(-12, 3))});
    hardware->enableRecording(0.5);
    engine->setInputSource(channel, input("mic"));
    const double opened = queue.now();
    VirtualTimeDriver(*hardware, queue).run(0.5);
    auto out = hardware->recording(idOf("speakers"));

    // What the microphone played from the moment its stream opened.
    const auto first = static_cast<std::int64_t>(std::ceil(opened * 48000));
    std::vector<float> left(24000), right(24000);
    Signal::noise(-12, 3).render(0, first, 24000, 48000, left.data());
    Signal::noise(-12, 3).render(1, first, 24000, 48000, right.data());
    std::optional<std::size_t> lag;
    for (std::size_t l = 0; l <= 128 && !lag; ++l) {
        bool same = true;
        for (std::size_t i = 0; i < 2000 && same; ++i) {
            same = out[0][i + l + 1000] == left[i + 1000];
        }
        if (same)
            lag = l;
    }
    ASSERT_TRUE(lag) << "not found within one buffer";
    for (std::size_t i = 0; i + *lag < 24000 - 256; ++i) {
        ASSERT_EQ(out[0][i + *lag], left[i]) << i;
        ASSERT_EQ(out[1][i + *lag], right[i]) << i;
    }
    RecordProperty("low_latency_lag_frames", static_cast<int>(*lag));
}

TEST_F(MicrophoneTest, StandardPathResamplesAMonoMicWithoutGaps) {
    startWith({microphone("mic", 44100, 1, Signal::sine(1000, -6))});
    hardware->enableRecording(1.0);
    engine->setInputSource(channel, input("mic"));
    VirtualTimeDriver(*hardware, queue).run(1.0);
    auto out = hardware->recording(idOf("speakers"));
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

TEST_F(MicrophoneTest, TheTapFeedsOnlyAssignedBusesAndNothingWhileMuted) {
    startWith({microphone("mic", 48000, 2, Signal::sine(1000, -6))});
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[0], bus2);
    channel->busAssignments = std::set<int>{1};
    engine->setInputSource(channel, input("mic"));
    ASSERT_EQ(channel->busRingBuffers.size(), 2u);
    auto ring1 = channel->busRingBuffers.at(1);
    auto ring2 = channel->busRingBuffers.at(2);
    // Drive the capture only: nothing renders in between, so the rings keep what was written.
    engine->stop();
    engine->start();
    engine->setInputSource(channel, input("mic"));
    ring1 = channel->busRingBuffers.at(1);
    ring2 = channel->busRingBuffers.at(2);
    for (const auto& bus : engine->outputBusses.get())
        bus->outputEngine->stop();
    VirtualTimeDriver(*hardware, queue).run(0.05);
    EXPECT_GT(ring1->availableFrames(), 0);
    EXPECT_EQ(ring2->availableFrames(), 0);

    channel->isMuted = true;
    ring1->reset();
    VirtualTimeDriver(*hardware, queue).runFor(0.05);
    EXPECT_EQ(ring1->availableFrames(), 0);
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
    EXPECT_EQ(engine->inputEngines.count(channel->id), 1u);
    EXPECT_FALSE(channel->sourceError.get().has_value());
}

TEST_F(MicrophoneTest, StoppingAndClearingTheSource) {
    startWith({microphone("mic", 48000, 2)});
    engine->setInputSource(channel, input("mic"));
    engine->stopInputCapture(channel);
    EXPECT_TRUE(log.contains("🛑 Stopped input capture for Input 1"));
    EXPECT_EQ(engine->inputEngines.count(channel->id), 0u);
    EXPECT_EQ(channel->sourceType, InputSourceType::none);
    EXPECT_EQ(channel->sourceDeviceUID, std::optional<std::string>("mic"));  // remembered
    engine->clearInputSource(channel);
    EXPECT_TRUE(log.contains("🚫 Cleared source for Input 1"));
    EXPECT_FALSE(channel->sourceDeviceUID.has_value());
    EXPECT_FALSE(channel->sourceDeviceID.has_value());
}

}  // namespace
}  // namespace qv
