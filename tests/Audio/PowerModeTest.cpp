#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::outputDevice;

VirtualDeviceSpec input(std::string uid, std::string name, Signal signal, double rate = 48000,
                        std::uint32_t channels = 2) {
    VirtualDeviceSpec spec;
    spec.uid = std::move(uid);
    spec.name = std::move(name);
    spec.sampleRate = rate;
    spec.input = VirtualInputSpec{channels, std::move(signal)};
    return spec;
}

// A 375 Hz sine repeats every 128 frames, so every monitor buffer has the same RMS level.
Signal steadyTone(double rmsDb) {
    return Signal::sine(375, rmsDb + 10 * std::log10(2.0));
}

class PowerModeTest : public EngineTest {
  protected:
    void startWith(Signal loopback, Signal mic = Signal::silence()) {
        VirtualSetup setup;
        setup.devices.push_back(outputDevice("speakers", "Speakers"));
        setup.devices.push_back(input("loop", "Quorvanta System", std::move(loopback)));
        setup.devices.push_back(input("mic", "USB Mic", std::move(mic), 44100, 1));
        start(setup);
        channel = engine->addInputChannel();
    }
    AudioInputDevice device(const std::string& uid) {
        for (const auto& d : engine->availableInputDevices.get()) {
            if (d.id == uid)
                return d;
        }
        return {};
    }
    void run(double seconds) { VirtualTimeDriver(*hardware, queue).runFor(seconds); }
    // A minute and more without audio.
    void idle() {
        queue.advance(70.0);
        ASSERT_TRUE(engine->isIdleSuspended.get());
    }
    std::optional<DeviceID> monitorDevice() { return engine->diagnostics().idleMonitorDevice; }
    int wakeListeners(DeviceID device) {
        const auto devices = engine->diagnostics().wakeListenerDevices;
        return static_cast<int>(std::count(devices.begin(), devices.end(), device));
    }

    std::shared_ptr<InputChannel> channel;
};

TEST_F(PowerModeTest, AlwaysOnNeverSuspends) {
    startWith(Signal::silence());
    engine->powerMode = PowerMode::alwaysOn;
    run(200);
    EXPECT_FALSE(engine->isIdleSuspended.get());
    EXPECT_FALSE(engine->diagnostics().hasIdleCheckTimer);
}

TEST_F(PowerModeTest, AChannelAboveMinus50KeepsEcoAwakeAndBelowItSuspendsAfterAMinute) {
    struct Case {
        double micRms;
        bool suspends;
    };
    for (const Case& c : {Case{-45, false}, Case{-55, true}}) {
        startWith(Signal::silence(), Signal::sine(1000, c.micRms + 10 * std::log10(2.0)));
        engine->setInputSource(channel, device("mic"));
        const double started = queue.now();
        std::optional<double> suspendedAt;
        auto watch = engine->isIdleSuspended.observeDidSet([&](const bool& now) {
            if (now && !suspendedAt)
                suspendedAt = queue.now();
        });
        run(90);
        EXPECT_EQ(suspendedAt.has_value(), c.suspends) << c.micRms;
        if (suspendedAt) {
            EXPECT_GE(*suspendedAt - started, 60.0);
            EXPECT_LE(*suspendedAt - started, 70.0);
            EXPECT_TRUE(log.contains("💤 ECO idle - engines stopped, IOProc audio monitor active"));
            EXPECT_EQ(engine->outputBusses.get()[0]->meterLevel.get(), -60.0f);
            EXPECT_FALSE(busState(1).isRunning);
            EXPECT_EQ(channel->sourceType, InputSourceType::microphone);  // remembered
        }
        watch.reset();
        engine.reset();
    }
}

// What still plays when the engine suspends (a tone too quiet to count as activity) fades out
// over 10 ms before the buses stop, and a resume fades it in again.
TEST_F(PowerModeTest, SuspendFadesTheBusesOutAndResumeFadesThemIn) {
    startWith(Signal::silence(), Signal::sine(1000, -52));
    engine->setInputSource(channel, device("mic"));
    std::optional<double> suspendedAt;
    auto watch = engine->isIdleSuspended.observeDidSet([&](const bool& now) {
        if (now && !suspendedAt)
            suspendedAt = queue.now();
    });
    run(55.0);
    hardware->enableRecording(20.0);
    const double recordingFrom = queue.now();
    run(20.0);
    ASSERT_TRUE(suspendedAt);
    const auto out = hardware->recording(idOf("speakers"))[0];
    const auto at = static_cast<std::size_t>((*suspendedAt - recordingFrom) * 48000);
    const double tone = std::pow(10.0, -52 / 20.0);
    auto peakOf = [&](std::size_t from, std::size_t to) {
        double p = 0;
        for (std::size_t i = from; i < to; ++i)
            p = std::max(p, std::fabs(static_cast<double>(out[i])));
        return p;
    };
    EXPECT_NEAR(peakOf(at - 960, at), tone, tone * 0.02) << "full level up to the suspension";
    // Down in even steps over 10 ms, then silence for good once the buses stop.
    double previous = tone * 1.02;
    for (std::size_t k = 0; k < 5; ++k) {
        const double p = peakOf(at + 96 * k, at + 96 * (k + 1));
        EXPECT_LT(p, previous) << "window " << k;
        EXPECT_GT(p, tone * (0.8 - 0.2 * static_cast<double>(k)) - tone * 0.05) << "window " << k;
        previous = p;
    }
    EXPECT_EQ(peakOf(at + 480, out.size()), 0.0);
    EXPECT_FALSE(busState(1).isRunning);

    engine->resumeFromIdle();
    queue.runUntilIdle();
    hardware->enableRecording(1.0);
    run(1.0);
    const auto back = hardware->recording(idOf("speakers"))[0];
    std::size_t first = 0;
    while (first < back.size() && back[first] == 0.0f)
        ++first;
    ASSERT_LT(first + 2000, back.size()) << "plays again";
    auto peakBack = [&](std::size_t from, std::size_t to) {
        double p = 0;
        for (std::size_t i = from; i < to; ++i)
            p = std::max(p, std::fabs(static_cast<double>(back[i])));
        return p;
    };
    EXPECT_LT(peakBack(first, first + 96), tone * 0.25);
    EXPECT_LT(peakBack(first + 96, first + 192), peakBack(first + 384, first + 480));
    EXPECT_NEAR(peakBack(first + 960, first + 1920), tone, tone * 0.02);
    watch.reset();
}

TEST_F(PowerModeTest, TheMonitorWakesOnlyStrictlyAboveTheThreshold) {
    startWith(steadyTone(-59.0));
    idle();
    ASSERT_TRUE(monitorDevice());
    EXPECT_TRUE(log.containsSystem("✅ Idle monitor IOProc started successfully on device " +
                                   std::to_string(idOf("loop")) + " (Quorvanta System)"));
    run(0.1);
    EXPECT_FALSE(engine->isIdleSuspended.get());
    bool detected = false;
    for (const auto& line : log.systemLines()) {
        detected |=
            line.rfind("🎤 IOProc AUDIO DETECTED: dB=-59.0 (threshold -60) on device", 0) == 0;
    }
    EXPECT_TRUE(detected);
    run(1.0);
    EXPECT_TRUE(log.contains("✅ Resumed from idle suspend"));
    EXPECT_TRUE(engine->isRunning.get());

    // A level below the threshold does not wake.
    startWith(steadyTone(-59.0));
    engine->ecoWakeThreshold = -58.0f;
    idle();
    run(0.5);
    EXPECT_TRUE(engine->isIdleSuspended.get());
}

TEST_F(PowerModeTest, MonitorAndListenersWatchDifferentDevices) {
    startWith(Signal::silence());
    auto loopChannel = engine->addInputChannel();
    engine->setInputSource(channel, device("mic"));
    engine->setInputSource(loopChannel, device("loop"));
    idle();
    EXPECT_EQ(monitorDevice(), idOf("loop"));  // a channel's own loopback first
    EXPECT_EQ(wakeListeners(idOf("loop")), 0);
    EXPECT_EQ(wakeListeners(idOf("mic")), 1);
    EXPECT_TRUE(log.contains("👂 Wake listener installed on device " + std::to_string(idOf("mic"))));
    EXPECT_TRUE(log.containsSystem("👂 Excluded device " + std::to_string(idOf("loop")) +
                                   " from wake listeners (used by IOProc monitor)"));

    // eco → ecoSleep while suspended: the monitor stops, the listeners stay.
    engine->powerMode = PowerMode::ecoSleep;
    EXPECT_TRUE(engine->isIdleSuspended.get());
    EXPECT_FALSE(monitorDevice());
    EXPECT_EQ(hardware->ioProcCount(), 0u);
    EXPECT_EQ(wakeListeners(idOf("mic")), 1);
}

TEST_F(PowerModeTest, ListenerNotificationsAreDebouncedIntoOneWake) {
    startWith(Signal::silence());
    engine->powerMode = PowerMode::ecoSleep;
    engine->setInputSource(channel, device("mic"));
    idle();
    const auto mic = idOf("mic");
    hardware->setRunningSomewhere(mic, true);
    queue.advance(0.2);
    hardware->setRunningSomewhere(mic, true);
    const double second = queue.now();
    queue.advanceTo(second + 0.49);
    EXPECT_TRUE(engine->isIdleSuspended.get());
    queue.advanceTo(second + 0.5);
    EXPECT_EQ(log.count("🔔 Wake: audio detected on device " + std::to_string(mic)), 1);
    EXPECT_FALSE(engine->isIdleSuspended.get());

    // After the resume the microphone captures again.
    queue.advance(1.0);
    EXPECT_EQ(channel->sourceType, InputSourceType::microphone);
    EXPECT_TRUE(channelState(*channel).isCapturingMicrophone);
}

TEST_F(PowerModeTest, ADeviceThatStoppedIsIgnored) {
    startWith(Signal::silence());
    engine->powerMode = PowerMode::ecoSleep;
    engine->setInputSource(channel, device("mic"));
    idle();
    hardware->setRunningSomewhere(idOf("mic"), false);
    queue.advance(1.0);
    EXPECT_TRUE(log.contains("👂 Wake listener: device " + std::to_string(idOf("mic")) +
                             " stopped - ignoring"));
    EXPECT_TRUE(engine->isIdleSuspended.get());
}

TEST_F(PowerModeTest, SwitchingToAlwaysOnResumesAtOnce) {
    startWith(Signal::silence());
    engine->setInputSourceSystemAudio(channel);
    queue.runUntilIdle();
    idle();
    engine->powerMode = PowerMode::alwaysOn;
    EXPECT_FALSE(engine->isIdleSuspended.get());
    EXPECT_EQ(hardware->ioProcCount(), 0u);
    queue.advance(1.0);
    EXPECT_TRUE(log.contains("✅ Resumed from idle suspend"));
    EXPECT_TRUE(channelState(*channel).hasAppCapture);
    EXPECT_FALSE(engine->diagnostics().hasIdleCheckTimer);
}

TEST_F(PowerModeTest, MonitorFailuresLeaveTheListenersInCharge) {
    struct Case {
        bool failCreate;
        std::string line;
    };
    for (const Case& c : {Case{true, "❌ Failed to create idle monitor IOProc: 6"},
                          Case{false, "❌ Failed to start idle monitor IOProc: 5"}}) {
        startWith(Signal::silence());
        if (c.failCreate) {
            hardware->failIOProcCreate(idOf("loop"), AudioError::deviceBusy);
        } else {
            hardware->failIOProcStart(idOf("loop"), AudioError::streamRefused);
        }
        engine->setInputSource(channel, device("mic"));
        idle();
        EXPECT_TRUE(log.containsSystem(c.line));
        EXPECT_FALSE(monitorDevice());
        EXPECT_EQ(hardware->ioProcCount(), 0u);
        EXPECT_EQ(engine->diagnostics().wakeListenerDevices.size(), 1u);
        engine.reset();
    }

    VirtualSetup noLoopback;
    noLoopback.devices.push_back(outputDevice("speakers", "Speakers"));
    start(noLoopback);
    idle();
    EXPECT_TRUE(log.containsSystem("⚠️ No virtual device found for idle monitor"));
    EXPECT_TRUE(engine->isIdleSuspended.get());
}

}  // namespace
}  // namespace qv
