#include <gtest/gtest.h>

#include <cmath>

#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "EngineFixture.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using testing::EngineTest;

std::unique_ptr<AudioPCMBuffer> sine(double frequency, float amplitude, std::uint32_t frames) {
    auto buffer = std::make_unique<AudioPCMBuffer>(internalFormat(), frames);
    buffer->setFrameLength(frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float s =
            amplitude * static_cast<float>(std::sin(2 * M_PI * frequency * i / 48000.0));
        buffer->floatChannelData()[0][i] = s;
        buffer->floatChannelData()[1][i] = s;
    }
    return buffer;
}

// One channel feeds two buses on two devices. Bus 1: fader -6 dB, high shelf -10 dB at 8 kHz,
// muted after 1.5 s. Bus 2: 100 ms delay. The channel plays 1 s of 1 kHz, then 1 s of 16 kHz.
TEST_F(EngineTest, EachBusShapesWhatItsDevicePlays) {
    start();
    auto bus1 = engine->outputBusses.get()[0];
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    auto channel = engine->addInputChannel();
    channel->busAssignments = std::set<int>{1, 2};

    bus1->faderLevel = -6.0f;
    engine->updateBusFader(bus1);
    bus1->eqEnabled = true;
    bus1->eqType = EQType::bands2;
    bus1->eqHighGain = -10.0f;
    engine->configureBusEQNode(*bus1->eqNode, *bus1);
    bus2->delayMs = 100.0f;
    engine->updateBusDelay(bus2);

    for (int b : {1, 2}) {
        auto& player = *channel->busPlayerNodes.at(b);
        ASSERT_TRUE(player.scheduleBuffer(sine(1000, 0.5f, 48000)));
        ASSERT_TRUE(player.scheduleBuffer(sine(16000, 0.5f, 48000)));
    }
    queue.postAfter(1.5, [&] {
        bus1->isMuted = true;
        engine->updateBusMute(bus1);
    });
    hardware->enableRecording(2.0);
    VirtualTimeDriver(*hardware, queue).run(2.0);

    const auto speakers = hardware->recording(idOf("speakers"))[0];
    const auto headphones = hardware->recording(idOf("headphones"))[0];
    ASSERT_EQ(speakers.size(), 96000u);

    // Bus 1: the fader, the shelf (barely at 1 kHz, fully at 16 kHz) and the mute.
    const double fader = std::pow(10.0, -6.0 / 20.0);
    const double lowLevel = testing::toDb(testing::peak(speakers, 4800, 48000));
    EXPECT_NEAR(lowLevel, testing::toDb(0.5 * fader), 0.5);
    const double highLevel = testing::toDb(testing::rms(speakers, 52800, 72000) * std::sqrt(2.0));
    EXPECT_NEAR(highLevel, testing::toDb(0.5 * fader) - 10.0, 0.5);
    // Muted: only the equaliser's last ringing, far below anything audible.
    EXPECT_LT(testing::peak(speakers, 72000 + 128, 96000), 1e-6);

    // Bus 2: the channel's signal, 4800 samples late, bit for bit.
    EXPECT_EQ(testing::peak(headphones, 0, 4800), 0.0);
    auto source = sine(1000, 0.5f, 48000);
    const float* expected = source->floatChannelData()[0];
    for (std::size_t i = 0; i < 43200; ++i) {
        ASSERT_EQ(headphones[i + 4800], expected[i]) << i;
    }
}

}  // namespace
}  // namespace qv
