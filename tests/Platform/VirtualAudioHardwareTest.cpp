#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv {
namespace {

constexpr AudioObjectID kSpeakers = 100;
constexpr AudioObjectID kHeadphones = 101;
constexpr AudioObjectID kSystem = 102;
constexpr AudioObjectID kTestTone = 103;

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

    std::unique_ptr<AudioStream> openOutput(AudioObjectID device, std::function<void()> onChange,
                                            OSStatus* status = nullptr) {
        return hardware.openOutputStream(
            device, [](float* const*, int, int, double) {}, std::move(onChange), status);
    }
    std::unique_ptr<AudioStream> openInput(AudioObjectID device, std::function<void()> onChange,
                                           OSStatus* status = nullptr) {
        return hardware.openInputStream(
            device, 256, [](const float* const*, int, int, double) {}, std::move(onChange), status);
    }
    // Counts deliveries of one property's listener.
    int* listen(AudioObjectID object, AudioProperty property) {
        counts_.push_back(std::make_unique<int>(0));
        int* count = counts_.back().get();
        EXPECT_NE(hardware.addPropertyListener(object, property, [count] { ++*count; }), 0u);
        return count;
    }

  private:
    std::vector<std::unique_ptr<int>> counts_;
};

TEST_F(VirtualAudioHardwareTest, ReportsTheDevicesOfItsSetup) {
    EXPECT_EQ(hardware.deviceIDs(),
              (std::vector<AudioObjectID>{kSpeakers, kHeadphones, kSystem, kTestTone}));
    EXPECT_EQ(hardware.deviceUID(kSpeakers), "builtin-speakers");
    EXPECT_EQ(hardware.deviceName(kSystem), "Quorvanta System");
    EXPECT_EQ(hardware.transportType(kHeadphones), fourCharCode("usb "));
    EXPECT_EQ(hardware.nominalSampleRate(kSpeakers), 48000.0);
    EXPECT_EQ(hardware.availableSampleRateCount(kSpeakers), 1u);
    const auto rates = hardware.availableSampleRates(kSpeakers);
    ASSERT_TRUE(rates && rates->size() == 1);
    EXPECT_EQ((*rates)[0].minimum, 48000.0);
    EXPECT_EQ((*rates)[0].maximum, 48000.0);
    EXPECT_EQ(hardware.isAlive(kTestTone), true);
    EXPECT_EQ(hardware.isRunningSomewhere(kTestTone), false);
    using List = std::vector<std::uint32_t>;
    EXPECT_EQ(hardware.streamConfiguration(kSpeakers, Scope::output), List{2});
    EXPECT_EQ(hardware.streamConfiguration(kSpeakers, Scope::input), List{});
    EXPECT_EQ(hardware.streamConfiguration(kSystem, Scope::input), List{2});
    EXPECT_EQ(hardware.streamConfiguration(kTestTone, Scope::output), List{});
    EXPECT_EQ(hardware.deviceForUID("builtin-test-tone"), kTestTone);

    const AudioObjectID unknown = 99;
    EXPECT_FALSE(hardware.deviceUID(unknown));
    EXPECT_FALSE(hardware.deviceName(unknown));
    EXPECT_FALSE(hardware.transportType(unknown));
    EXPECT_FALSE(hardware.nominalSampleRate(unknown));
    EXPECT_FALSE(hardware.availableSampleRates(unknown));
    EXPECT_FALSE(hardware.isAlive(unknown));
    EXPECT_FALSE(hardware.streamConfiguration(unknown, Scope::output));
    EXPECT_EQ(hardware.setNominalSampleRate(unknown, 48000.0), kAudioHardwareBadObjectError);
}

TEST_F(VirtualAudioHardwareTest, FailsOnlyTheInjectedRead) {
    struct Case {
        AudioObjectID object;
        AudioProperty property;
        std::function<bool()> reads;
    };
    const std::vector<Case> cases = {
        {kAudioObjectSystemObject, AudioProperty::deviceList,
         [&] { return hardware.deviceIDs().has_value(); }},
        {kSpeakers, AudioProperty::streamConfiguration,
         [&] { return hardware.streamConfiguration(kSpeakers, Scope::output).has_value(); }},
        {kSpeakers, AudioProperty::nominalSampleRate,
         [&] { return hardware.nominalSampleRate(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::availableRatesSize,
         [&] { return hardware.availableSampleRateCount(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::availableRates,
         [&] { return hardware.availableSampleRates(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::uid, [&] { return hardware.deviceUID(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::name,
         [&] { return hardware.deviceName(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::transport,
         [&] { return hardware.transportType(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::alive, [&] { return hardware.isAlive(kSpeakers).has_value(); }},
        {kSpeakers, AudioProperty::runningSomewhere,
         [&] { return hardware.isRunningSomewhere(kSpeakers).has_value(); }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        hardware.failRead(cases[i].object, cases[i].property);
        for (std::size_t j = 0; j < cases.size(); ++j) {
            EXPECT_EQ(cases[j].reads(), i != j) << j;
        }
        EXPECT_TRUE(hardware.deviceUID(kHeadphones));  // other devices are unaffected
        hardware.clearFailures();
    }
}

TEST_F(VirtualAudioHardwareTest, PostsListenerBlocksToTheMainQueue) {
    int* running = listen(kTestTone, AudioProperty::runningSomewhere);
    int* rate = listen(kTestTone, AudioProperty::nominalSampleRate);
    hardware.setRunningSomewhere(kTestTone, true);
    EXPECT_EQ(hardware.isRunningSomewhere(kTestTone), true);
    EXPECT_EQ(*running, 0);
    queue.runUntilIdle();
    EXPECT_EQ(*running, 1);
    EXPECT_EQ(*rate, 0);

    // A listener removed before its turn is not called.
    int late = 0;
    const auto id =
        hardware.addPropertyListener(kTestTone, AudioProperty::runningSomewhere, [&] { ++late; });
    hardware.setRunningSomewhere(kTestTone, false);
    hardware.removePropertyListener(id);
    queue.runUntilIdle();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(*running, 2);

    EXPECT_EQ(hardware.addPropertyListener(99, AudioProperty::alive, [] {}), 0u);
    EXPECT_EQ(hardware.addPropertyListener(kSpeakers, AudioProperty::deviceList, [] {}), 0u);
    EXPECT_EQ(hardware.addPropertyListener(kAudioObjectSystemObject, AudioProperty::name, [] {}),
              0u);
}

TEST_F(VirtualAudioHardwareTest, DevicesComeAndGoWithFreshIDs) {
    int* list = listen(kAudioObjectSystemObject, AudioProperty::deviceList);
    int* alive = listen(kSpeakers, AudioProperty::alive);
    int changes = 0;
    auto output = openOutput(kSpeakers, [&] { ++changes; });
    ASSERT_TRUE(output);
    ASSERT_EQ(output->start(), kAudioNoError);

    const AudioObjectID added = hardware.addDevice(outputSpec("usb-dac"));
    EXPECT_EQ(added, 104u);
    EXPECT_EQ(hardware.deviceUID(added), "usb-dac");
    EXPECT_EQ(hardware.addDevice(outputSpec("usb-dac")), kAudioObjectUnknown);  // uid taken
    VirtualDeviceSpec neither = outputSpec("nothing");
    neither.output.reset();
    EXPECT_EQ(hardware.addDevice(neither), kAudioObjectUnknown);

    EXPECT_TRUE(hardware.removeDevice(kSpeakers));
    EXPECT_FALSE(hardware.removeDevice(kSpeakers));
    EXPECT_EQ(changes, 1);  // open streams hear about it at once
    EXPECT_FALSE(output->isRunning());
    EXPECT_EQ(output->start(), kAudioHardwareBadObjectError);
    EXPECT_FALSE(hardware.deviceUID(kSpeakers));
    EXPECT_FALSE(hardware.isAlive(kSpeakers));

    EXPECT_TRUE(hardware.removeDevice(added));
    EXPECT_EQ(hardware.addDevice(outputSpec("usb-dac")), 105u);  // ids are never reused
    EXPECT_EQ(hardware.deviceIDs(),
              (std::vector<AudioObjectID>{kHeadphones, kSystem, kTestTone, 105}));
    EXPECT_EQ(*list, 0);
    queue.runUntilIdle();
    EXPECT_EQ(*list, 4);
    EXPECT_EQ(*alive, 1);
}

TEST_F(VirtualAudioHardwareTest, ChangesTheNominalRateOnlyWithinItsRanges) {
    VirtualDeviceSpec spec = outputSpec("dac");
    spec.input = VirtualInputSpec{1, Signal::silence()};
    spec.availableRates = {{44100, 44100}, {88200, 96000}};
    const AudioObjectID dac = hardware.addDevice(spec);
    int* rate = listen(dac, AudioProperty::nominalSampleRate);
    int changes = 0;
    auto output = openOutput(dac, [&] { ++changes; });
    auto input = openInput(dac, [&] { ++changes; });
    auto elsewhere = openOutput(kHeadphones, [&] { changes += 100; });

    EXPECT_EQ(hardware.setNominalSampleRate(dac, 48000.0), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(hardware.nominalSampleRate(dac), 48000.0);
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 90000.0), kAudioNoError);
    EXPECT_EQ(hardware.nominalSampleRate(dac), 90000.0);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 90000.0), kAudioNoError);  // no change
    EXPECT_EQ(changes, 2);

    hardware.failSetRate(dac, kAudioHardwareUnspecifiedError);
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 44100.0), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(hardware.nominalSampleRate(dac), 90000.0);
    hardware.clearFailures();
    EXPECT_EQ(hardware.setNominalSampleRate(dac, 44100.0), kAudioNoError);
    EXPECT_EQ(changes, 4);

    EXPECT_EQ(*rate, 0);
    queue.runUntilIdle();
    EXPECT_EQ(*rate, 2);
}

TEST_F(VirtualAudioHardwareTest, RefusesStreamsTheDeviceCannotCarry) {
    struct Case {
        const char* name;
        bool isOutput;
        AudioObjectID device;
        OSStatus status;
    };
    const std::vector<Case> cases = {
        {"output on unknown", true, 99, kAudioHardwareBadObjectError},
        {"input on unknown", false, 99, kAudioHardwareBadObjectError},
        {"output on input-only", true, kTestTone, kAudioHardwareIllegalOperationError},
        {"input on output-only", false, kSpeakers, kAudioHardwareIllegalOperationError},
        {"output", true, kSystem, kAudioNoError},
        {"input", false, kSystem, kAudioNoError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OSStatus status = -1;
        auto stream =
            c.isOutput ? openOutput(c.device, {}, &status) : openInput(c.device, {}, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(stream != nullptr, c.status == kAudioNoError);
    }
    OSStatus status = -1;
    EXPECT_FALSE(hardware.openInputStream(kSystem, 0, {}, {}, &status));
    EXPECT_EQ(status, kAudioHardwareIllegalOperationError);

    auto stream = openInput(kTestTone, {});
    hardware.failStreamStart(kTestTone, kAudioHardwareUnspecifiedError);
    EXPECT_EQ(stream->start(), kAudioHardwareUnspecifiedError);
    EXPECT_FALSE(stream->isRunning());
    hardware.clearFailures();
    EXPECT_EQ(stream->start(), kAudioNoError);
    EXPECT_TRUE(stream->isRunning());
    stream->stop();
    EXPECT_FALSE(stream->isRunning());
}

}  // namespace
}  // namespace qv
