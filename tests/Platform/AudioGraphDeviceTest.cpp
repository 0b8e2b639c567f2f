#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/SourceNode.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/VirtualMainQueue.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

VirtualSetup devices() {
    VirtualSetup setup;
    VirtualDeviceSpec mic;
    mic.uid = "mic";
    mic.name = "Mic";
    mic.sampleRate = 44100;
    mic.input = VirtualInputSpec{1, Signal::sine(1000, -6)};
    setup.devices.push_back(mic);
    VirtualDeviceSpec speakers;
    speakers.uid = "speakers";
    speakers.name = "Speakers";
    speakers.output = VirtualOutputSpec{2};
    setup.devices.push_back(speakers);
    return setup;
}

class GraphOnDevicesTest : public ::testing::Test {
  protected:
    VirtualMainQueue queue;
    VirtualAudioHardware hardware{queue, devices()};
    VirtualTimeDriver driver{hardware, queue};
    DeviceID mic = *hardware.deviceForUID("mic");
    DeviceID speakers = *hardware.deviceForUID("speakers");
};

TEST_F(GraphOnDevicesTest, InputTapReceivesDeviceBuffersInTheDeviceFormat) {
    AudioGraph graph(hardware);
    ASSERT_TRUE(graph.inputNode().setCurrentDevice(mic).ok());
    const AudioFormat format = graph.inputNode().inputFormat(0);
    EXPECT_EQ(format.sampleRate, 44100.0);
    EXPECT_EQ(format.channelCount, 1u);
    int buffers = 0;
    float peak = 0;
    bool rightShape = true;
    graph.inputNode().installTap(0, 256, format, [&](const AudioPCMBuffer& buffer, double) {
        ++buffers;
        rightShape &= buffer.frameLength() == 256 && buffer.format().channelCount == 1 &&
                      buffer.format().sampleRate == 44100.0;
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            peak = std::max(peak, std::fabs(buffer.floatChannelData()[0][i]));
        }
    });
    graph.prepare();
    ASSERT_TRUE(graph.start().ok());
    EXPECT_TRUE(graph.isRunning());
    driver.run(1.0);
    EXPECT_TRUE(rightShape);
    EXPECT_NEAR(buffers, 44100 / 256, 1);
    EXPECT_NEAR(peak, std::pow(10.0, -6.0 / 20.0), 0.01);

    graph.stop();
    const int before = buffers;
    driver.runFor(0.5);
    EXPECT_EQ(buffers, before);
}

// A tap does its work on the capture thread: numbers too small to be normal come out as zero
// there, as on the render thread.
TEST_F(GraphOnDevicesTest, InputTapComputesWithDenormalsFlushed) {
#if !(defined(__SSE__) || defined(__x86_64__))
    GTEST_SKIP() << "no denormal control on this CPU";
#endif
    AudioGraph graph(hardware);
    ASSERT_TRUE(graph.inputNode().setCurrentDevice(mic).ok());
    int buffers = 0;
    int denormal = 0;
    graph.inputNode().installTap(0, 256, graph.inputNode().inputFormat(0),
                                 [&](const AudioPCMBuffer&, double) {
                                     volatile float tiny = 1e-30f;
                                     const float product = tiny * 1e-10f;  // 1e-40 unflushed
                                     ++buffers;
                                     denormal += product != 0.0f ? 1 : 0;
                                 });
    ASSERT_TRUE(graph.start().ok());
    driver.run(0.1);
    EXPECT_GT(buffers, 0);
    EXPECT_EQ(denormal, 0);
}

TEST_F(GraphOnDevicesTest, OutputPlaysTheMainMixerAndStopKeepsTheWiring) {
    AudioGraph graph(hardware);
    graph.outputNode().setCurrentDevice(speakers);
    auto source = std::make_shared<SourceNode>([](float* const* out, int channels, int frames) {
        for (int c = 0; c < channels; ++c) {
            std::fill_n(out[c], frames, 0.25f);
        }
    });
    graph.attach(source);
    graph.connect(source, graph.mainMixerNode(), internalFormat());
    hardware.enableRecording(1.0);
    ASSERT_TRUE(graph.start().ok());
    driver.run(0.25);
    graph.stop();
    EXPECT_FALSE(graph.isRunning());
    driver.runFor(0.25);
    ASSERT_TRUE(graph.start().ok());
    driver.runFor(0.5);

    auto played = hardware.recording(speakers);
    ASSERT_EQ(played.size(), 2u);
    ASSERT_EQ(played[0].size(), 48000u);
    EXPECT_EQ(played[0][100], 0.25f);
    EXPECT_EQ(played[1][12000 - 1], 0.25f);
    EXPECT_EQ(played[0][18000], 0.0f);   // stopped
    EXPECT_EQ(played[0][30000], 0.25f);  // started again with the same nodes
}

TEST_F(GraphOnDevicesTest, ConfigurationChangeIsReportedWhenTheDeviceGoes) {
    AudioGraph graph(hardware);
    graph.outputNode().setCurrentDevice(speakers);
    ASSERT_TRUE(graph.start().ok());
    int changes = 0;
    auto token = graph.addConfigurationChangeObserver([&] { ++changes; });
    hardware.removeDevice(speakers);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(graph.isRunning());
    graph.removeConfigurationChangeObserver(token);

    AudioGraph orphan(hardware);
    orphan.outputNode().setCurrentDevice(speakers);
    EXPECT_EQ(orphan.start(), AudioError::deviceNotFound);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// A 48 kHz graph on a 44.1 kHz device: the tone keeps its pitch and level, without clicks.
TEST(GraphOnDevicesRate, OutputDeviceAtAnotherRateGetsAConvertedStream) {
    VirtualSetup setup;
    VirtualDeviceSpec hifi;
    hifi.uid = "hifi";
    hifi.name = "HiFi";
    hifi.sampleRate = 44100;
    hifi.output = VirtualOutputSpec{2};
    setup.devices.push_back(hifi);
    VirtualMainQueue queue;
    VirtualAudioHardware hardware(queue, setup);
    VirtualTimeDriver driver(hardware, queue);
    const auto device = *hardware.deviceForUID("hifi");

    AudioGraph graph(hardware);
    graph.outputNode().setCurrentDevice(device);
    double phase = 0;
    auto tone = std::make_shared<SourceNode>([&phase](float* const* out, int, int frames) {
        for (int i = 0; i < frames; ++i) {
            const float s = static_cast<float>(0.5 * std::sin(phase));
            out[0][i] = s;
            out[1][i] = s;
            phase += 2 * M_PI * 1000.0 / 48000.0;
        }
    });
    graph.attach(tone);
    graph.connect(tone, graph.mainMixerNode(), internalFormat());
    hardware.enableRecording(1.0);
    ASSERT_TRUE(graph.start().ok());
    driver.run(1.0);

    auto played = hardware.recording(device);
    ASSERT_EQ(played[0].size(), 44100u);
    const auto& left = played[0];
    EXPECT_NEAR(testing::frequency(left, 44100, 2205), 1000.0, 0.05);
    EXPECT_NEAR(testing::toDb(testing::peak(left, 2205)), testing::toDb(0.5), 0.05);
    // A 1 kHz sine at 0.5 moves at most 2π·1000/44100·0.5 ≈ 0.0712 per sample.
    EXPECT_LT(testing::maxJump(left, 64), 0.075);
    EXPECT_EQ(played[1], played[0]);
}

}  // namespace
}  // namespace qv
