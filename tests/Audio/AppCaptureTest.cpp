#include <gtest/gtest.h>

#include <cmath>

#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "EngineFixture.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

// Two applications playing different tones: A at 1 kHz, B at 3 kHz, both at -20 dBFS.
VirtualSetup twoApps() {
    VirtualSetup setup;
    setup.devices.push_back(outputDevice("speakers", "Speakers"));
    setup.apps = {{"org.example.A", "Alpha", Signal::sine(1000, -20)},
                  {"org.example.B", "Beta", Signal::sine(3000, -20)}};
    return setup;
}

class AppCaptureTest : public EngineTest {
  protected:
    void SetUp() override {
        start(twoApps());
        engine->powerMode = PowerMode::alwaysOn;
        channel = engine->addInputChannel();
    }
    RunningApplication app(const std::string& bundleId) {
        for (const auto& a : engine->capturableApps.get()) {
            if (a.bundleIdentifier == bundleId)
                return a;
        }
        return {bundleId, bundleId, 0};
    }
    // Renders and returns the tone amplitudes (dBFS peak) at 1 and 3 kHz on the speakers.
    std::pair<double, double> tones(double seconds = 0.5) {
        hardware->enableRecording(seconds);
        VirtualTimeDriver(*hardware, queue).run(seconds);
        const auto left = hardware->recording(idOf("speakers"))[0];
        const std::size_t from = left.size() / 2;
        return {testing::toDb(testing::toneAmplitude(left, 1000, 48000, from, left.size())),
                testing::toDb(testing::toneAmplitude(left, 3000, 48000, from, left.size()))};
    }
    std::shared_ptr<InputChannel> channel;
};

TEST_F(AppCaptureTest, AnApplicationSourceCarriesOnlyThatApplication) {
    engine->setInputSource(channel, app("org.example.B"));
    queue.runUntilIdle();
    EXPECT_TRUE(log.contains("🔊 Setting app source: Beta"));
    EXPECT_TRUE(log.contains("🔊 Capturing app: Beta"));
    EXPECT_TRUE(log.contains("✅ Screen capture started"));
    EXPECT_TRUE(channelState(*channel).hasAppCapture);
    EXPECT_EQ(channel->sourceType, InputSourceType::appAudio);
    auto [a, b] = tones();
    EXPECT_LT(a, -80.0);
    EXPECT_NEAR(b, -20.0, 0.1);
    EXPECT_GT(channel->meterLevel.get(), -60.0f);
}

TEST_F(AppCaptureTest, SystemAudioCarriesEveryApplication) {
    engine->setInputSourceSystemAudio(channel);
    queue.runUntilIdle();
    EXPECT_TRUE(log.contains("🔊 Capturing system audio"));
    auto [a, b] = tones();
    EXPECT_NEAR(a, -20.0, 0.1);
    EXPECT_NEAR(b, -20.0, 0.1);
}

TEST_F(AppCaptureTest, AnApplicationThatIsNotRunningGivesSystemAudio) {
    engine->setInputSource(channel, RunningApplication{"org.example.Gone", "Gone", 1});
    queue.runUntilIdle();
    EXPECT_TRUE(log.contains("🔊 Capturing system audio"));
    EXPECT_EQ(channel->sourceAppBundleId, std::optional<std::string>("org.example.Gone"));
    auto [a, b] = tones();
    EXPECT_NEAR(a, -20.0, 0.1);
}

TEST_F(AppCaptureTest, InterleavedBuffersAtAnotherRateAreConverted) {
    capture->setDeliversInterleaved(true);
    capture->setDeliveryRate(44100);
    engine->setInputSource(channel, app("org.example.A"));
    queue.runUntilIdle();
    hardware->enableRecording(1.0);
    VirtualTimeDriver(*hardware, queue).run(1.0);
    const auto left = hardware->recording(idOf("speakers"))[0];
    const std::size_t from = 12000;
    EXPECT_NEAR(testing::frequency(left, 48000, from), 1000.0, 0.5);
    EXPECT_NEAR(testing::toDb(testing::peak(left, from)), -20.0, 0.1);
    EXPECT_LT(testing::maxJump(left, from), 0.0135);  // 2π·1000/48000·0.1, no gaps
}

TEST_F(AppCaptureTest, FailuresAreLoggedAndNothingIsKept) {
    struct Case {
        const char* label;
        std::function<void()> inject;
        std::string line;
    };
    const Case cases[] = {
        {"no permission", [&] { engine->hasScreenCapturePermission = false; },
         "❌ No screen capture permission"},
        {"content refused", [&] { capture->setPermission(false); },
         "❌ Screen capture error: Screen capture permission denied"},
        {"output refused", [&] { capture->failNextAddOutput("no audio output"); },
         "❌ Screen capture error: no audio output"},
        {"start refused", [&] { capture->failNextStart("the stream failed"); },
         "❌ Screen capture error: the stream failed"},
    };
    for (const Case& c : cases) {
        SetUp();
        c.inject();
        engine->setInputSourceSystemAudio(channel);
        queue.runUntilIdle();
        EXPECT_TRUE(log.contains(c.line)) << c.label;
        EXPECT_FALSE(channelState(*channel).hasAppCapture) << c.label;
        EXPECT_EQ(channel->sourceType, InputSourceType::systemAudio) << c.label;
        engine.reset();
    }
}

TEST_F(AppCaptureTest, StoppingEndsTheStreamAndASourceChangeDuringStartWins) {
    engine->setInputSourceSystemAudio(channel);
    queue.runUntilIdle();
    engine->clearInputSource(channel);
    EXPECT_FALSE(channelState(*channel).hasAppCapture);
    EXPECT_FALSE(channelState(*channel).isAppCaptureStarting);
    auto [a, b] = tones(0.2);
    EXPECT_LT(a, -80.0);

    // A second source chosen before the first stream has started: only the second plays.
    engine->setInputSource(channel, app("org.example.A"));
    engine->setInputSource(channel, app("org.example.B"));
    queue.runUntilIdle();
    EXPECT_EQ(log.count("✅ Screen capture started"), 2);
    auto [a2, b2] = tones(0.5);
    EXPECT_LT(a2, -80.0);
    EXPECT_NEAR(b2, -20.0, 0.1);
}

TEST_F(AppCaptureTest, TheApplicationListSkipsNamelessAndRepeatedEntriesAndIsSorted) {
    capture->setApplications({{"org.example.Zeta", "Zeta", Signal::silence()},
                              {"", "No Identifier", Signal::silence()},
                              {"org.example.Nameless", "", Signal::silence()},
                              {"org.example.Alpha", "Alpha", Signal::silence()},
                              {"org.example.Zeta", "Zeta Again", Signal::silence()}});
    log.clear();
    engine->refreshAll();
    queue.advance(1.0);
    std::vector<std::string> names;
    for (const auto& a : engine->capturableApps.get())
        names.push_back(a.applicationName);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Zeta"}));
    EXPECT_TRUE(log.contains("✅ Screen capture permission granted, 2 apps"));

    capture->setPermission(false);
    engine->refreshAll();
    queue.advance(1.0);
    EXPECT_FALSE(engine->hasScreenCapturePermission.get());
    EXPECT_TRUE(log.contains("❌ No screen capture permission: Screen capture permission denied"));
}

TEST_F(AppCaptureTest, AnApplicationThatComesBackIsCapturedAgain) {
    engine->setInputSource(channel, app("org.example.B"));
    queue.runUntilIdle();
    capture->setApplications({twoApps().apps[0]});
    engine->refreshAll();
    queue.advance(1.0);
    EXPECT_TRUE(log.contains("⚠️ App not found: org.example.B"));
    EXPECT_EQ(channel->sourceError.get(), std::optional<std::string>("App not running"));
    EXPECT_EQ(channel->sourceType, InputSourceType::none);

    // As soon as the application plays again it is captured again.
    capture->setApplications(twoApps().apps);
    queue.advance(0.5);
    EXPECT_TRUE(log.contains("🔄 Auto-recovering lost app source for Input 1: org.example.B"));
    EXPECT_EQ(channel->sourceType, InputSourceType::appAudio);
    EXPECT_EQ(channel->sourceError.get(), std::nullopt);
    EXPECT_TRUE(channelState(*channel).hasAppCapture);
    auto [a, b] = tones();
    EXPECT_NEAR(b, -20.0, 0.1);
}

// A preset names an application that is not playing yet: the channel shows it, keeps it in a
// preset saved meanwhile, and captures it as soon as it plays.
TEST_F(AppCaptureTest, APresetsApplicationThatStartsLaterIsCapturedWhenItPlays) {
    capture->setApplications({twoApps().apps[0]});
    engine->refreshAll();
    queue.advance(1.0);
    auto preset = engine->createPreset("Later");
    ASSERT_FALSE(preset.inputChannels.empty());
    preset.inputChannels[0].sourceType = "appAudio";
    preset.inputChannels[0].sourceAppBundleId = "org.example.B";
    engine->applyPreset(preset);
    queue.advance(0.5);
    auto later = engine->inputChannels.get().at(0);
    EXPECT_EQ(later->sourceType, InputSourceType::none);
    EXPECT_EQ(later->sourceError.get(), std::optional<std::string>("App not running"));
    const auto saved = engine->createPreset("Again");
    EXPECT_EQ(saved.inputChannels.at(0).sourceType, "appAudio");
    EXPECT_EQ(saved.inputChannels.at(0).sourceAppBundleId,
              std::optional<std::string>("org.example.B"));

    capture->setApplications(twoApps().apps);
    queue.advance(0.5);
    EXPECT_EQ(later->sourceType, InputSourceType::appAudio);
    EXPECT_EQ(later->sourceError.get(), std::nullopt);
    EXPECT_TRUE(channelState(*later).hasAppCapture);
}

}  // namespace
}  // namespace qv
