#include <gtest/gtest.h>

#include "Audio/DeviceCatalog.h"
#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::inputDevice;
using testing::outputDevice;

TEST_F(EngineTest, DeviceListsFollowDirectionsAndLeaveOutDefaultAggregates) {
    VirtualSetup setup;
    setup.devices.push_back(inputDevice("mic", "Mic"));
    setup.devices.push_back(outputDevice("spk", "Speakers"));
    auto both = outputDevice("loop", "Quorvanta System", Transport::virtualDevice);
    both.input = VirtualInputSpec{2, Signal::silence()};
    setup.devices.push_back(both);
    auto hidden = outputDevice("x", "My CADefaultDeviceAggregate-12", Transport::aggregate);
    hidden.input = VirtualInputSpec{2, Signal::silence()};
    setup.devices.push_back(hidden);
    setup.devices.push_back(outputDevice("CADefaultDeviceAggregate-1", "A", Transport::aggregate));
    setup.devices.push_back(outputDevice("com.apple.audio.aggregate.x", "B", Transport::aggregate));
    setup.devices.push_back(outputDevice("my-aggregate", "Studio Aggregate", Transport::aggregate));
    start(setup);

    std::vector<std::string> outputs, inputs;
    for (const auto& d : engine->availableOutputDevices.get())
        outputs.push_back(d.uid);
    for (const auto& d : engine->availableInputDevices.get())
        inputs.push_back(d.id);
    EXPECT_EQ(outputs, (std::vector<std::string>{"spk", "loop", "my-aggregate"}));
    EXPECT_EQ(inputs, (std::vector<std::string>{"mic", "loop"}));

    const auto& spk = engine->availableOutputDevices.get()[0];
    EXPECT_EQ(spk.name, "Speakers");
    EXPECT_EQ(spk.channelCount, 2);
    EXPECT_EQ(spk.transportType, "Built-in");
    EXPECT_EQ(spk.sampleRate, 48000.0);
    const auto& mic = engine->availableInputDevices.get()[0];
    EXPECT_EQ(mic.deviceID, idOf("mic"));
    EXPECT_EQ(mic.channelCount, 1);
    EXPECT_EQ(mic.sampleRate, 44100.0);
    EXPECT_EQ(engine->availableOutputDevices.get()[2].transportType, "Aggregate");
}

TEST_F(EngineTest, TransportCodesMapToNames) {
    const std::pair<const char*, const char*> table[] = {
        {"bltn", "Built-in"},    {"usb ", "USB"},      {"blue", "Bluetooth"},
        {"blea", "Bluetooth"},   {"hdmi", "HDMI"},     {"dprt", "DisplayPort"},
        {"thun", "Thunderbolt"}, {"1394", "FireWire"}, {"virt", "Virtual"},
        {"grup", "Aggregate"},   {"pci ", "Other"},
    };
    VirtualSetup setup;
    int n = 0;
    for (const auto& [code, name] : table) {
        std::string uid = "device-";
        uid += std::to_string(n++);
        auto spec = outputDevice(uid, name);
        spec.transport = *transportFromCode(code);
        setup.devices.push_back(spec);
    }
    VirtualAudioHardware devices(queue, setup);
    auto outputs = DeviceCatalog(devices, queue).getOutputDevices();
    ASSERT_EQ(outputs.size(), std::size(table));
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].transportType, table[i].second) << table[i].first;
    }
}

TEST_F(EngineTest, FailedPropertyReadsTakeTheirFallbacks) {
    build();
    const DeviceCatalog catalog(*hardware, queue);
    const auto spk = idOf("speakers");
    const auto phones = idOf("headphones");
    hardware->failRead(spk, DeviceProperty::name);
    hardware->failRead(spk, DeviceProperty::uid);
    hardware->failRead(spk, DeviceProperty::transport);
    hardware->failRead(spk, DeviceProperty::nominalSampleRate);
    hardware->failRead(phones, DeviceProperty::streamConfiguration);
    auto outputs = catalog.getOutputDevices();
    ASSERT_EQ(outputs.size(), 1u);  // headphones skipped, the scan goes on
    EXPECT_EQ(outputs[0].name, "Unknown Device");
    EXPECT_EQ(outputs[0].uid, "");
    EXPECT_EQ(outputs[0].transportType, "Other");
    EXPECT_EQ(outputs[0].sampleRate, 0.0);
    EXPECT_EQ(catalog.getInputDevices().size(), 1u);

    hardware->failDeviceListRead();
    EXPECT_TRUE(catalog.getOutputDevices().empty());
    EXPECT_TRUE(catalog.getInputDevices().empty());
}

TEST_F(EngineTest, AScanBindsTheFirstOutputOnlyToAnUnboundFirstBus) {
    start();
    auto bus = engine->outputBusses.get()[0];
    engine->unassignDevice(bus);
    engine->refreshAll();
    queue.advance(1.0);
    EXPECT_EQ(bus->outputDevice.get()->uid, "speakers");
    EXPECT_TRUE(busState(1).isRunning);

    engine->assignDevice(engine->availableOutputDevices.get()[1], bus);
    engine->refreshAll();
    queue.advance(1.0);
    EXPECT_EQ(bus->outputDevice.get()->uid, "headphones");
}

struct RateCase {
    const char* label;
    double rate;
    std::vector<RateRange> ranges;
    std::optional<DeviceProperty> failedRead;
    std::optional<AudioError> setFailure;
    double expectedRate;
    std::string expectedLine;
};

TEST_F(EngineTest, SetDeviceTo48kHzOutcomes) {
    const RateCase cases[] = {
        {"already", 48000, {}, std::nullopt, std::nullopt, 48000, "✅ Mic already at 48kHz"},
        {"nearly", 47999.5, {}, std::nullopt, std::nullopt, 47999.5, "✅ Mic already at 48kHz"},
        {"switch",
         44100,
         {{44100, 44100}, {48000, 48000}},
         std::nullopt,
         std::nullopt,
         48000,
         "✅ Set Mic from 44100.0Hz → 48kHz"},
        {"range",
         44100,
         {{8000, 96000}},
         std::nullopt,
         std::nullopt,
         48000,
         "✅ Set Mic from 44100.0Hz → 48kHz"},
        {"discrete",
         44100,
         {{44100, 44100}, {96000, 96000}},
         std::nullopt,
         std::nullopt,
         44100,
         "ℹ️ Mic does not support 48kHz (current: 44100.0Hz)"},
        {"no size",
         44100,
         {{48000, 48000}},
         DeviceProperty::availableRateCount,
         std::nullopt,
         44100,
         "⚠️ Cannot query available rates for Mic"},
        {"no ranges",
         44100,
         {{48000, 48000}},
         DeviceProperty::availableRates,
         std::nullopt,
         44100,
         "⚠️ Cannot read available rates for Mic"},
        {"set fails",
         44100,
         {{48000, 48000}},
         std::nullopt,
         AudioError::deviceBusy,
         44100,
         "⚠️ Failed to set Mic to 48kHz (error: 6)"},
    };
    for (const auto& c : cases) {
        VirtualSetup setup;
        auto ranges = c.ranges;
        if (!ranges.empty()) {
            ranges.insert(ranges.begin(), RateRange{c.rate, c.rate});
        }
        setup.devices.push_back(inputDevice("mic", "Mic", 2, c.rate, ranges));
        start(setup);
        const auto id = idOf("mic");
        if (c.failedRead)
            hardware->failRead(id, *c.failedRead);
        if (c.setFailure)
            hardware->failSetRate(id, *c.setFailure);
        log.clear();
        bool retuned = false;
        EXPECT_EQ(DeviceCatalog(*hardware, queue).setDeviceTo48kHz(id, &retuned), c.expectedRate)
            << c.label;
        EXPECT_EQ(retuned, c.expectedRate == 48000 && c.rate != 48000) << c.label;
        EXPECT_EQ(log.lines().front(), c.expectedLine) << c.label;
        EXPECT_EQ(hardware->nominalSampleRate(id), c.expectedRate == 48000 ? 48000 : c.rate)
            << c.label;
        engine.reset();
    }
}

// Choosing a microphone switches it to 48 kHz, and the lists then show the new rate.
TEST_F(EngineTest, AMicrophoneSwitchedTo48kHzShowsItsNewRate) {
    start();
    auto channel = engine->addInputChannel();
    engine->setInputSource(channel, engine->availableInputDevices.get()[0]);
    EXPECT_TRUE(log.contains("✅ Set USB Mic from 44100.0Hz → 48kHz"));
    EXPECT_EQ(engine->availableInputDevices.get()[0].sampleRate, 48000.0);
    EXPECT_EQ(channel->sourceDeviceID, idOf("usb-mic"));
}

TEST_F(EngineTest, DeviceListChangesAreDebouncedIntoOneRefresh) {
    start();
    EXPECT_TRUE(engine->diagnostics().isDeviceListWatched);
    EXPECT_EQ(log.count("👂 Device list listener installed (UI-only)"), 1);
    {
        DeviceCatalog second(*hardware, queue);
        second.installDeviceListListener([] {});
        second.installDeviceListListener([] {});
        EXPECT_EQ(log.count("👂 Device list listener installed (UI-only)"), 2);  // once each
    }
    log.clear();

    hardware->addDevice(outputDevice("dac", "DAC", Transport::usb));
    queue.advance(0.1);
    hardware->addDevice(inputDevice("mic2", "Mic 2"));
    queue.advance(0.1);
    hardware->removeDevice(idOf("dac"));
    const double third = queue.now();
    queue.advanceTo(third + 0.299);
    EXPECT_EQ(log.count("🔄 Device list refreshed (UI)"), 0);
    queue.advanceTo(third + 0.3);
    EXPECT_EQ(log.count("🔄 Device list refreshed (UI)"), 1);
    queue.advance(2.0);
    EXPECT_EQ(log.count("🔄 Device list refreshed (UI)"), 1);
    EXPECT_EQ(engine->availableInputDevices.get().size(), 2u);
    EXPECT_EQ(engine->availableOutputDevices.get().size(), 2u);
}

TEST_F(EngineTest, DeviceListRefreshRebindsABusWhoseDeviceCameBackUnderANewId) {
    start();
    auto bus = engine->outputBusses.get()[0];
    hardware->removeDevice(idOf("speakers"));
    hardware->addDevice(outputDevice("speakers", "Speakers"));
    queue.advance(1.0);
    EXPECT_EQ(bus->outputDevice.get()->id, idOf("speakers"));
    EXPECT_TRUE(busState(1).isRunning);
    EXPECT_EQ(busState(1).device, idOf("speakers"));
}

TEST_F(EngineTest, StoppingCancelsPendingDeviceWork) {
    start();
    ASSERT_TRUE(busState(1).isWatched);
    hardware->addDevice(outputDevice("dac", "DAC"));
    queue.runUntilIdle();
    ASSERT_TRUE(engine->diagnostics().isDeviceListRefreshPending);
    engine->stop();
    EXPECT_FALSE(busState(1).isWatched);
    EXPECT_FALSE(engine->diagnostics().isDeviceListRefreshPending);
    queue.advance(1.0);
    EXPECT_EQ(log.count("🔄 Device list refreshed (UI)"), 0);
}

}  // namespace
}  // namespace qv
