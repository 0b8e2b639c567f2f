#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

// 1 s of 1 kHz, then 1 s of 16 kHz, at half scale.
WavData twoTones() {
    WavData wav;
    wav.sampleRate = 48000;
    std::vector<float> samples(96000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double frequency = i < 48000 ? 1000.0 : 16000.0;
        samples[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * frequency * double(i) / 48000));
    }
    wav.channels = {samples};
    return wav;
}

class BusRenderTest : public EngineTest, public ::testing::WithParamInterface<int> {};

// One channel (a 48 kHz stereo line input) feeds three buses on three devices. Bus 1: fader
// -6 dB, high shelf -10 dB at 8 kHz, muted after 1.5 s. Bus 2: 100 ms delay. Bus 3: nothing.
// At every period.
TEST_P(BusRenderTest, EachBusShapesWhatItsDevicePlays) {
    VirtualSetup setup;
    VirtualDeviceSpec line;
    line.uid = "line";
    line.name = "Line In";
    line.input = VirtualInputSpec{2, Signal::file(twoTones())};
    setup.devices = {line, outputDevice("speakers", "Speakers"),
                     outputDevice("headphones", "Headphones"), outputDevice("monitor", "Monitor")};
    start(setup);
    hardware->setPeriodFrames(GetParam());
    engine->bufferSize = static_cast<std::uint32_t>(GetParam());
    engine->powerMode = PowerMode::alwaysOn;
    auto bus1 = engine->outputBusses.get()[0];
    auto bus2 = engine->addOutputBus();
    auto bus3 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    engine->assignDevice(engine->availableOutputDevices.get()[2], bus3);
    auto channel = engine->addInputChannel();
    channel->busAssignments = std::set<int>{1, 2, 3};

    bus1->faderLevel = -6.0f;
    engine->updateBusFader(bus1);
    bus1->eqEnabled = true;
    bus1->eqType = EQType::bands2;
    bus1->eqHighGain = -10.0f;
    engine->updateBusEQ(bus1);
    bus2->delayMs = 100.0f;
    engine->updateBusDelay(bus2);
    engine->setInputSource(channel, engine->availableInputDevices.get()[0]);
    ASSERT_TRUE(channelState(*channel).isLowLatency);
    queue.postAfter(1.5, [&] {
        bus1->isMuted = true;
        engine->updateBusMute(bus1);
    });
    const auto speakers = render("speakers", 2.0)[0];
    const auto headphones = hardware->recording(idOf("headphones"))[0];
    const auto monitor = hardware->recording(idOf("monitor"))[0];
    ASSERT_EQ(speakers.size(), 96000u);

    // Bus 1: the fader, the shelf (barely at 1 kHz, fully at 16 kHz) and the mute.
    const double fader = std::pow(10.0, -6.0 / 20.0);
    const double lowLevel = testing::toDb(testing::peak(speakers, 4800, 48000));
    EXPECT_NEAR(lowLevel, testing::toDb(0.5 * fader), 0.5);
    const double highLevel = testing::toDb(testing::rms(speakers, 52800, 72000) * std::sqrt(2.0));
    EXPECT_NEAR(highLevel, testing::toDb(0.5 * fader) - 10.0, 0.5);
    // Muted from the first cycle after 1.5 s, faded out over 10 ms: then only the equaliser's
    // last ringing, far below anything audible.
    EXPECT_LT(testing::peak(speakers, 72000 + static_cast<std::size_t>(GetParam()) + 480, 96000),
              1e-6);

    // Bus 2: what bus 3 plays, 4800 samples later, bit for bit.
    EXPECT_NEAR(testing::toDb(testing::peak(monitor, 4800, 48000)), testing::toDb(0.5), 0.01);
    EXPECT_EQ(testing::peak(headphones, 0, 4800), 0.0);
    for (std::size_t i = 0; i + 4800 < headphones.size(); ++i) {
        ASSERT_EQ(headphones[i + 4800], monitor[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, BusRenderTest, ::testing::Values(64, 128, 441, 1024));

}  // namespace
}  // namespace qv
