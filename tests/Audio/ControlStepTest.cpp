#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;

// Every control a user moves while a full-scale 1 kHz sine plays: the output never steps from
// one sample to the next by more than the sine's own largest step plus 1 % of full scale, and
// each change has settled 20 ms after it reached the audio. On each way into a bus, at each
// period.
enum class Source { lowLatencyMicrophone, convertedMicrophone, application };

std::string sourceName(Source s) {
    switch (s) {
        case Source::lowLatencyMicrophone:
            return "LowLatencyMic";
        case Source::convertedMicrophone:
            return "ConvertedMic";
        case Source::application:
            return "Application";
    }
    return "";
}

constexpr double kOmega = 2 * M_PI * 1000.0 / 48000.0;
constexpr double kSpacing = 0.15;  // seconds between changes

struct Change {
    const char* what;
    std::function<void()> apply;
};

class ControlStepTest : public EngineTest,
                        public ::testing::WithParamInterface<std::tuple<Source, int>> {
  protected:
    Source source() const { return std::get<0>(GetParam()); }
    int period() const { return std::get<1>(GetParam()); }

    void SetUp() override {
        VirtualSetup setup;
        setup.devices.push_back(testing::outputDevice("speakers", "Speakers"));
        setup.devices.push_back(testing::outputDevice("phones", "Phones"));
        VirtualDeviceSpec line = testing::inputDevice("line", "Line", 2, 48000);
        line.input->signal = Signal::sine(1000, 0);
        setup.devices.push_back(line);
        VirtualDeviceSpec usb = testing::inputDevice("usb", "USB", 1, 44100);
        usb.input->signal = Signal::sine(1000, 0);
        setup.devices.push_back(usb);
        setup.apps = {{"org.example.Tone", "Tone", Signal::sine(1000, 0)}};
        start(setup);
        hardware->setPeriodFrames(period());
        engine->bufferSize = static_cast<std::uint32_t>(period());
        engine->powerMode = PowerMode::alwaysOn;
        bus1 = engine->outputBusses.get()[0];
        bus2 = engine->addOutputBus();
        engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
        channel = engine->addInputChannel();
        channel->busAssignments = std::set<int>{1, 2};
        other = engine->addInputChannel();
        switch (source()) {
            case Source::lowLatencyMicrophone:
                engine->setInputSource(channel, engine->availableInputDevices.get()[0]);
                ASSERT_TRUE(channelState(*channel).isLowLatency);
                break;
            case Source::convertedMicrophone:
                engine->setInputSource(channel, engine->availableInputDevices.get()[1]);
                ASSERT_TRUE(channelState(*channel).hasConverter);
                break;
            case Source::application:
                engine->setInputSource(channel, engine->capturableApps.get()[0]);
                queue.runUntilIdle();
                ASSERT_TRUE(channelState(*channel).hasAppCapture);
                break;
        }
    }

    std::vector<Change> changes() {
        auto ch = channel;
        auto b = bus1;
        auto e = engine.get();
        auto o = other;
        return {
            {"channel fader to -40 dB", [=] { ch->faderEnabled = true, ch->faderLevel = -40.0f; }},
            {"channel fader back to 0 dB", [=] { ch->faderLevel = 0.0f; }},
            {"input gain to -12 dB", [=] { ch->gainEnabled = true, ch->inputGain = -12.0f; }},
            {"input gain to +6 dB", [=] { ch->inputGain = 6.0f; }},
            {"input gain off", [=] { ch->gainEnabled = false; }},
            {"pan hard left", [=] { ch->panEnabled = true, ch->pan = -1.0f; }},
            {"pan hard right", [=] { ch->pan = 1.0f; }},
            {"pan off", [=] { ch->panEnabled = false; }},
            {"channel mute", [=] { ch->isMuted = true; }},
            {"channel unmute", [=] { ch->isMuted = false; }},
            {"another channel soloed",
             [=] {
                 o->isSolo = true;
                 e->updateSoloState();
             }},
            {"solo released",
             [=] {
                 o->isSolo = false;
                 e->updateSoloState();
             }},
            {"bus 1 unassigned", [=] { ch->busAssignments = std::set<int>{2}; }},
            {"bus 1 assigned",
             [=] {
                 ch->busAssignments = std::set<int>{1, 2};
             }},
            {"bus fader to -40 dB",
             [=] {
                 b->faderLevel = -40.0f;
                 e->updateBusFader(b);
             }},
            {"bus fader back to 0 dB",
             [=] {
                 b->faderLevel = 0.0f;
                 e->updateBusFader(b);
             }},
            {"bus mute",
             [=] {
                 b->isMuted = true;
                 e->updateBusMute(b);
             }},
            {"bus unmute",
             [=] {
                 b->isMuted = false;
                 e->updateBusMute(b);
             }},
            {"bus delay 50.25 ms",
             [=] {
                 b->delayMs = 50.25f;
                 e->updateBusDelay(b);
             }},
            {"bus delay 7.3 ms",
             [=] {
                 b->delayMs = 7.3f;
                 e->updateBusDelay(b);
             }},
            {"bus delay off",
             [=] {
                 b->delayMs = 0.0f;
                 e->updateBusDelay(b);
             }},
            {"channel equaliser on, 3 bands, mid +6 dB",
             [=] {
                 ch->eqType = EQType::bands3;
                 ch->eqMidGain = 6.0f;
                 ch->eqEnabled = true;
                 e->updateChannelEQ(ch);
             }},
            {"channel equaliser to 11 bands",
             [=] {
                 ch->eqType = EQType::bands11;
                 auto bands = std::vector<float>(11, 0.0f);
                 bands[5] = -9.0f;
                 ch->eqBands = bands;
                 e->updateChannelEQ(ch);
             }},
            {"channel equaliser off",
             [=] {
                 ch->eqEnabled = false;
                 e->updateChannelEQ(ch);
             }},
            {"bus equaliser on, 2 bands",
             [=] {
                 b->eqType = EQType::bands2;
                 b->eqLowGain = 6.0f;
                 b->eqHighGain = -6.0f;
                 b->eqEnabled = true;
                 e->updateBusEQ(b);
             }},
            {"bus equaliser off",
             [=] {
                 b->eqEnabled = false;
                 e->updateBusEQ(b);
             }},
        };
    }

    std::shared_ptr<OutputBus> bus1, bus2;
    std::shared_ptr<InputChannel> channel, other;
};

double peakIn(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double p = 0;
    for (std::size_t i = from; i < std::min(to, x.size()); ++i) {
        p = std::max(p, std::fabs(static_cast<double>(x[i])));
    }
    return p;
}

TEST_P(ControlStepTest, NoControlStepsTheAudio) {
    const auto list = changes();
    const double first = 1.0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        queue.postAfter(first + kSpacing * static_cast<double>(i), list[i].apply);
    }
    const double seconds = first + kSpacing * static_cast<double>(list.size()) + 0.2;
    const auto out = render("speakers", seconds);
    const std::size_t settle =
        static_cast<std::size_t>(0.020 * 48000) + static_cast<std::size_t>(period());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto at =
            static_cast<std::size_t>((first + kSpacing * static_cast<double>(i)) * 48000);
        const std::size_t end = at + settle + 480;
        // The sine's own step at the louder of the levels before and after the change.
        const double before = peakIn(out[0], at - 2400, at);
        const double after = peakIn(out[0], end, end + 2400);
        const double afterRight = peakIn(out[1], end, end + 2400);
        const double allowed =
            kOmega * std::max({before, after, peakIn(out[1], at - 2400, at), afterRight}) + 0.01;
        for (int c = 0; c < 2; ++c) {
            const auto& x = out[static_cast<std::size_t>(c)];
            double step = 0;
            for (std::size_t k = at; k < end + 2400; ++k) {
                step = std::max(step, std::fabs(static_cast<double>(x[k]) - x[k - 1]));
            }
            EXPECT_LE(step, allowed) << list[i].what << ", channel " << c;
        }
        // Settled within 20 ms (and the period it waited for): the level after then holds.
        const double settledPeak = peakIn(out[0], at + settle, at + settle + 480);
        EXPECT_NEAR(settledPeak, after, 0.01 + 0.002 * after) << list[i].what << " still moving";
    }
    // The fader at -40 dB is -40 dB, muted is silent.
    const auto level = [&](std::size_t index) {
        const auto at =
            static_cast<std::size_t>((first + kSpacing * static_cast<double>(index)) * 48000);
        return peakIn(out[0], at + settle, at + 4800);
    };
    EXPECT_NEAR(level(0), 0.01, 0.0005);
    EXPECT_EQ(level(8), 0.0);
    EXPECT_EQ(level(12), 0.0);
}

INSTANTIATE_TEST_SUITE_P(SourcesAndPeriods, ControlStepTest,
                         ::testing::Combine(::testing::Values(Source::lowLatencyMicrophone,
                                                              Source::convertedMicrophone,
                                                              Source::application),
                                            ::testing::Values(64, 128, 441, 1024)),
                         [](const auto& info) {
                             return sourceName(std::get<0>(info.param)) +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace qv
