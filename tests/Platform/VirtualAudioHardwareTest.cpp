#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv {
namespace {

constexpr DeviceID kSpeakers = 100;
constexpr DeviceID kHeadphones = 101;
constexpr DeviceID kSystem = 102;
constexpr DeviceID kTestTone = 103;

VirtualDeviceSpec outputSpec(const std::string& uid) {
    VirtualDeviceSpec spec;
    spec.uid = uid;
    spec.name = uid;
    spec.output = VirtualOutputSpec{2};
    return spec;
}

class VirtualAudioHardwareTest : public ::testing::Test {
  protected:
    VirtualMainQueue queue;
    VirtualAudioHardware hardware{queue, builtinVirtualSetup()};

    std::unique_ptr<AudioStream> openOutput(DeviceID device, std::function<void()> onChange,
                                            AudioError* error = nullptr) {
        return hardware.openOutputStream(
            device, [](float* const*, int, int, double) {}, {std::move(onChange), {}, {}}, error);
    }
    std::unique_ptr<AudioStream> openInput(DeviceID device, std::function<void()> onChange,
                                           AudioError* error = nullptr) {
        return hardware.openInputStream(
            device, 256, [](const float* const*, int, int, double) {},
            {std::move(onChange), {}, {}}, error);
    }
    // Counts deliveries of one property's listener.
    int* listen(DeviceID device, DeviceProperty property) {
        return count(hardware.addPropertyListener(device, property, counter()));
    }
    int* listenToDeviceList() { return count(hardware.addDeviceListListener(counter())); }

  private:
    std::function<void()> counter() {
        counts_.push_back(std::make_unique<int>(0));
        return [count = counts_.back().get()] { ++*count; };
    }
    int* count(AudioHardware::ListenerID id) {
        EXPECT_NE(id, 0u);
        return counts_.back().get();
    }

    std::vector<std::unique_ptr<int>> counts_;
};

TEST_F(VirtualAudioHardwareTest, ReportsTheDevicesOfItsSetup) {
    EXPECT_EQ(hardware.deviceIDs(),
              (std::vector<DeviceID>{kSpeakers, kHeadphones, kSystem, kTestTone}));
    EXPECT_EQ(hardware.deviceUID(kSpeakers), "builtin-speakers");
    EXPECT_EQ(hardware.deviceName(kSystem), "Quorvanta System");
    EXPECT_EQ(hardware.transport(kHeadphones), Transport::usb);
    EXPECT_EQ(hardware.nominalSampleRate(kSpeakers), 48000.0);
    EXPECT_EQ(hardware.availableSampleRateCount(kSpeakers), 1u);
    const auto rates = hardware.availableSampleRates(kSpeakers);
    ASSERT_TRUE(rates && rates->size() == 1);
    EXPECT_EQ((*rates)[0].minimum, 48000.0);
    EXPECT_EQ((*rates)[0].maximum, 48000.0);
    EXPECT_EQ(hardware.isAlive(kTestTone), true);
    EXPECT_EQ(hardware.isRunningSomewhere(kTestTone), false);
    using List = std::vector<std::uint32_t>;
    EXPECT_EQ(hardware.streamConfiguration(kSpeakers, Direction::output), List{2});
    EXPECT_EQ(hardware.streamConfiguration(kSpeakers, Direction::input), List{});
    EXPECT_EQ(hardware.streamConfiguration(kSystem, Direction::input), List{2});
    EXPECT_EQ(hardware.streamConfiguration(kTestTone, Direction::output), List{});
    EXPECT_EQ(hardware.deviceForUID("builtin-test-tone"), kTestTone);

    const DeviceID unknown = 99;
    EXPECT_FALSE(hardware.deviceUID(unknown));
    EXPECT_FALSE(hardware.deviceName(unknown));
    EXPECT_FALSE(hardware.transport(unknown));
    EXPECT_FALSE(hardware.nominalSampleRate(unknown));
    EXPECT_FALSE(hardware.availableSampleRates(unknown));
    EXPECT_FALSE(hardware.isAlive(unknown));
    EXPECT_FALSE(hardware.streamConfiguration(unknown, Direction::output));
    EXPECT_EQ(hardware.setNominalSampleRate(unknown, 48000.0), AudioError::deviceNotFound);
}

TEST_F(VirtualAudioHardwareTest, FailsOnlyTheInjectedRead) {
    struct Case {
        std::optional<DeviceProperty> property;  // none: the device list
        std::function<bool()> reads;
    };
    const std::vector<Case> cases = {
        {std::nullopt, [&] { return hardware.deviceIDs().has_value(); }},
        {DeviceProperty::streamConfiguration,
         [&] { return hardware.streamConfiguration(kSpeakers, Direction::output).has_value(); }},
        {DeviceProperty::nominalSampleRate,
         [&] { return hardware.nominalSampleRate(kSpeakers).has_value(); }},
        {DeviceProperty::availableRateCount,
         [&] { return hardware.availableSampleRateCount(kSpeakers).has_value(); }},
        {DeviceProperty::availableRates,
         [&] { return hardware.availableSampleRates(kSpeakers).has_value(); }},
        {DeviceProperty::uid, [&] { return hardware.deviceUID(kSpeakers).has_value(); }},
        {DeviceProperty::name, [&] { return hardware.deviceName(kSpeakers).has_value(); }},
        {DeviceProperty::transport, [&] { return hardware.transport(kSpeakers).has_value(); }},
        {DeviceProperty::alive, [&] { return hardware.isAlive(kSpeakers).has_value(); }},
        {DeviceProperty::runningSomewhere,
         [&] { return hardware.isRunningSomewhere(kSpeakers).has_value(); }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        if (cases[i].property) {
            hardware.failRead(kSpeakers, *cases[i].property);
        } else {
            hardware.failDeviceListRead();
        }
        for (std::size_t j = 0; j < cases.size(); ++j) {
            EXPECT_EQ(cases[j].reads(), i != j) << j;
        }
        EXPECT_TRUE(hardware.deviceUID(kHeadphones));  // other devices are unaffected
        hardware.clearFailures();
    }
}

TEST_F(VirtualAudioHardwareTest, PostsListenerBlocksToTheMainQueue) {
    int* running = listen(kTestTone, DeviceProperty::runningSomewhere);
    int* rate = listen(kTestTone, DeviceProperty::nominalSampleRate);
    hardware.setRunningSomewhere(kTestTone, true);
    EXPECT_EQ(hardware.isRunningSomewhere(kTestTone), true);
    EXPECT_EQ(*running, 0);
    queue.runUntilIdle();
    EXPECT_EQ(*running, 1);
    EXPECT_EQ(*rate, 0);

    // A listener removed before its turn is not called.
    int late = 0;
    const auto id =
        hardware.addPropertyListener(kTestTone, DeviceProperty::runningSomewhere, [&] { ++late; });
    hardware.setRunningSomewhere(kTestTone, false);
    hardware.removeListener(id);
    queue.runUntilIdle();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(*running, 2);

    EXPECT_EQ(hardware.addPropertyListener(99, DeviceProperty::alive, [] {}), 0u);
    EXPECT_EQ(hardware.addPropertyListener(kSpeakers, DeviceProperty::alive, {}), 0u);
    EXPECT_EQ(hardware.addDeviceListListener({}), 0u);
}

TEST_F(VirtualAudioHardwareTest, DevicesComeAndGoWithFreshIDs) {
    int* list = listenToDeviceList();
    int* alive = listen(kSpeakers, DeviceProperty::alive);
    int changes = 0;
    auto output = openOutput(kSpeakers, [&] { ++changes; });
    ASSERT_TRUE(output);
    ASSERT_EQ(output->start(), AudioResult{});

    const DeviceID added = hardware.addDevice(outputSpec("usb-dac"));
    EXPECT_EQ(added, 104u);
    EXPECT_EQ(hardware.deviceUID(added), "usb-dac");
    EXPECT_EQ(hardware.addDevice(outputSpec("usb-dac")), kNoDevice);  // uid taken
    VirtualDeviceSpec neither = outputSpec("nothing");
    neither.output.reset();
    EXPECT_EQ(hardware.addDevice(neither), kNoDevice);

    EXPECT_TRUE(hardware.removeDevice(kSpeakers));
    EXPECT_FALSE(hardware.removeDevice(kSpeakers));
    EXPECT_EQ(changes, 1);  // open streams hear about it at once
    EXPECT_FALSE(output->isRunning());
    EXPECT_EQ(output->start(), AudioError::deviceNotFound);
    EXPECT_FALSE(hardware.deviceUID(kSpeakers));
    EXPECT_FALSE(hardware.isAlive(kSpeakers));

    EXPECT_TRUE(hardware.removeDevice(added));
    EXPECT_EQ(hardware.addDevice(outputSpec("usb-dac")), 105u);  // ids are never reused
    EXPECT_EQ(hardware.deviceIDs(), (std::vector<DeviceID>{kHeadphones, kSystem, kTestTone, 105}));
    EXPECT_EQ(*list, 0);
    queue.runUntilIdle();
    EXPECT_EQ(*list, 4);
    EXPECT_EQ(*alive, 1);
}

TEST_F(VirtualAudioHardwareTest, ChangesTheNominalRateOnlyWithinItsRanges) {
    VirtualDeviceSpec spec = outputSpec("dac");
    spec.input = VirtualInputSpec{1, Signal::silence()};
    spec.availableRates = {{44100, 44100}, {88200, 96000}};
    const DeviceID dac = hardware.addDevice(spec);
    int* rate = listen(dac, DeviceProperty::nominalSampleRate);
    int changes = 0;
    auto output = openOutput(dac, [&] { ++changes; });
    auto input = openInput(dac, [&] { ++changes; });
    auto elsewhere = openOutput(kHeadphones, [&] { changes += 100; });

    EXPECT_EQ(hardware.setNominalSampleRate(dac, 48000.0), AudioError::unsupportedRate);
    EXPECT_EQ(hardware.nominalSampleRate(dac), 48000.0);
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 90000.0), AudioResult{});
    EXPECT_EQ(hardware.nominalSampleRate(dac), 90000.0);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 90000.0), AudioResult{});  // no change
    EXPECT_EQ(changes, 2);

    hardware.failSetRate(dac, AudioError::streamRefused);
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 44100.0), AudioError::streamRefused);
    EXPECT_EQ(hardware.nominalSampleRate(dac), 90000.0);
    hardware.clearFailures();
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 44100.0), AudioResult{});
    EXPECT_EQ(changes, 4);

    EXPECT_EQ(*rate, 0);
    queue.runUntilIdle();
    EXPECT_EQ(*rate, 2);
}

TEST_F(VirtualAudioHardwareTest, RefusesStreamsTheDeviceCannotCarry) {
    struct Case {
        const char* name;
        bool isOutput;
        DeviceID device;
        AudioResult result;
    };
    const std::vector<Case> cases = {
        {"output on unknown", true, 99, AudioError::deviceNotFound},
        {"input on unknown", false, 99, AudioError::deviceNotFound},
        {"output on input-only", true, kTestTone, AudioError::wrongDirection},
        {"input on output-only", false, kSpeakers, AudioError::wrongDirection},
        {"output", true, kSystem, AudioResult{}},
        {"input", false, kSystem, AudioResult{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AudioError error = AudioError::deviceBusy;
        auto stream =
            c.isOutput ? openOutput(c.device, {}, &error) : openInput(c.device, {}, &error);
        EXPECT_EQ(stream != nullptr, c.result.ok());
        if (!c.result.ok()) {
            EXPECT_EQ(error, c.result.error());
        }
    }
    AudioError error = AudioError::deviceBusy;
    EXPECT_FALSE(hardware.openInputStream(kSystem, 0, {}, {}, &error));
    EXPECT_EQ(error, AudioError::wrongDirection);

    auto stream = openInput(kTestTone, {});
    hardware.failStreamStart(kTestTone, AudioError::streamRefused);
    EXPECT_EQ(stream->start(), AudioError::streamRefused);
    EXPECT_FALSE(stream->isRunning());
    hardware.clearFailures();
    EXPECT_EQ(stream->start(), AudioResult{});
    EXPECT_TRUE(stream->isRunning());
    stream->stop();
    EXPECT_FALSE(stream->isRunning());
}

}  // namespace
}  // namespace qv
