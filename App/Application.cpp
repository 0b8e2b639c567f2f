#include "App/Application.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "App/CommandLine.h"
#include "Audio/DeviceCatalog.h"
#include "Audio/MultiOutputEngine.h"
#include "Audio/Platform/Pulse/PulseAudioHardware.h"
#include "Audio/Platform/Pulse/PulseCaptureService.h"
#include "Audio/Platform/Virtual/DevicesFile.h"
#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualCaptureService.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/Log.h"
#include "Foundation/Qt/QtMainQueue.h"
#include "Foundation/Qt/QtSettingsStore.h"
#include "Foundation/Version.h"
#include "Foundation/VirtualMainQueue.h"
#include "Models/PresetManager.h"

namespace qv {
namespace {

constexpr int kExitFileProblem = 1;
constexpr int kExitUsage = 2;

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}

// Loads the devices file, or the built-in set when none is given. Prints the reason and
// returns nothing when the file is refused.
std::optional<VirtualSetup> loadSetup(const CommandLineOptions& options) {
    if (!options.devicesFile) {
        return builtinVirtualSetup();
    }
    std::string error;
    auto setup = loadDevicesFile(*options.devicesFile, &error);
    if (!setup) {
        std::cerr << "quorvanta: " << error << "\n";
    }
    return setup;
}

// The devices the mixer plays on: the sound server's, or virtual ones (a devices file, or the
// built-in set when no server answers).
struct Backend {
    std::unique_ptr<PulseAudioHardware> pulse;
    std::unique_ptr<PulseCaptureService> pulseCapture;
    std::unique_ptr<VirtualAudioHardware> virtualHardware;
    std::unique_ptr<VirtualCaptureService> virtualCapture;

    AudioHardware& hardware() {
        return pulse ? static_cast<AudioHardware&>(*pulse) : *virtualHardware;
    }
    CaptureService& capture() {
        return pulseCapture ? static_cast<CaptureService&>(*pulseCapture) : *virtualCapture;
    }
};

// Without a devices file the sound server is used when one answers. False (reason printed)
// when the devices file is refused.
bool openBackend(const CommandLineOptions& options, MainQueue& queue, Backend* backend) {
    if (!options.devicesFile) {
        std::string error;
        backend->pulse = PulseAudioHardware::connect(queue, &error);
        if (backend->pulse) {
            backend->pulseCapture = std::make_unique<PulseCaptureService>(queue);
            return true;
        }
        Log::line("⚠️ No sound server reachable - using built-in virtual devices");
    }
    auto setup = loadSetup(options);
    if (!setup) {
        return false;
    }
    backend->virtualHardware = std::make_unique<VirtualAudioHardware>(queue, *setup);
    backend->virtualCapture =
        std::make_unique<VirtualCaptureService>(queue, *setup, *backend->virtualHardware);
    return true;
}

// Panels for a program without windows: every request is cancelled.
class NoFilePanels final : public FilePanels {
  public:
    void showSavePanel(const SavePanelRequest&,
                       std::function<void(std::optional<std::string>)> done) override {
        done(std::nullopt);
    }
    void showOpenPanel(const OpenPanelRequest&,
                       std::function<void(std::optional<std::string>)> done) override {
        done(std::nullopt);
    }
};

// Reads the preset named by --preset before anything starts. Prints the reason and returns
// false when the file cannot be read or decoded.
bool readPresetOption(const CommandLineOptions& options, std::optional<MixerPreset>* preset) {
    if (!options.presetFile) {
        return true;
    }
    MemorySettingsStore scratch;  // --preset does not change the remembered preset
    NoFilePanels panels;
    LogCapture quiet;
    PresetManager manager(scratch, panels, "");
    *preset = manager.loadPreset(*options.presetFile);
    if (!*preset) {
        const auto lines = quiet.lines();
        std::cerr << "quorvanta: "
                  << (lines.empty() ? "cannot load " + *options.presetFile : lines.back()) << "\n";
        return false;
    }
    return true;
}

// Captures the mixer and saves it where --save-preset says. Prints the reason on failure.
bool savePresetOption(const CommandLineOptions& options, MultiOutputEngine& engine,
                      SettingsStore& settings) {
    if (!options.savePresetFile) {
        return true;
    }
    NoFilePanels panels;
    PresetManager manager(settings, panels, "");
    const std::string name = std::filesystem::path(*options.savePresetFile).stem().string();
    if (!manager.savePreset(engine.createPreset(name), *options.savePresetFile)) {
        std::cerr << "quorvanta: could not save " << *options.savePresetFile << "\n";
        return false;
    }
    return true;
}

std::string rateText(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f Hz", rate);
    return text;
}

// The mixer on virtual devices in virtual time, with settings kept in memory: for listing
// devices and for render mode.
struct OfflineMixer {
    explicit OfflineMixer(const VirtualSetup& setup)
        : hardware(queue, setup),
          capture(queue, setup, hardware),
          engine(MultiOutputEngine::create({queue, settings, hardware, capture})) {}
    ~OfflineMixer() { engine.reset(); }

    VirtualMainQueue queue;
    MemorySettingsStore settings;
    VirtualAudioHardware hardware;
    VirtualCaptureService capture;
    std::shared_ptr<MultiOutputEngine> engine;
};

void printDevice(const char* direction, DeviceID id, const std::string& uid,
                 const std::string& name, const std::string& transport, double rate, int channels) {
    std::cout << direction << '\t' << id << '\t' << uid << '\t' << name << '\t' << transport << '\t'
              << rateText(rate) << '\t' << channels << " ch\n";
}

int listDevices(const CommandLineOptions& options) {
    VirtualMainQueue queue;
    Backend backend;
    if (!openBackend(options, queue, &backend)) {
        return kExitFileProblem;
    }
    const DeviceCatalog catalog(backend.hardware(), queue);
    for (const auto& d : catalog.getOutputDevices()) {
        printDevice("output", d.id, d.uid, d.name, d.transportType, d.sampleRate, d.channelCount);
    }
    for (const auto& d : catalog.getInputDevices()) {
        printDevice("input", d.deviceID, d.id, d.name, d.transportType, d.sampleRate,
                    d.channelCount);
    }
    return 0;
}

int render(const CommandLineOptions& options) {
    auto setup = loadSetup(options);
    if (!setup) {
        return kExitFileProblem;
    }
    std::error_code ec;
    std::filesystem::create_directories(*options.outDir, ec);
    if (ec || !std::filesystem::is_directory(*options.outDir)) {
        std::cerr << "quorvanta: cannot create output folder " << *options.outDir << "\n";
        return kExitFileProblem;
    }
    std::optional<MixerPreset> preset;
    if (!readPresetOption(options, &preset)) {
        return kExitFileProblem;
    }
    OfflineMixer mixer(*setup);
    auto& queue = mixer.queue;
    auto& hardware = mixer.hardware;
    mixer.engine->setUIVisible(false);
    queue.runUntilIdle();
    if (preset) {
        mixer.engine->applyPreset(*preset);
        queue.runUntilIdle();  // the channels' sources are restored
    }
    mixer.engine->powerMode = options.powerMode.value_or(PowerMode::eco);
    queue.runUntilIdle();

    const double seconds = *options.renderSeconds;
    hardware.enableRecording(seconds);
    VirtualTimeDriver driver(hardware, queue);
    driver.run(seconds);

    if (!savePresetOption(options, *mixer.engine, mixer.settings)) {
        return kExitFileProblem;
    }
    std::string error;
    if (!hardware.writeRecordings(*options.outDir, &error)) {
        std::cerr << "quorvanta: " << error << "\n";
        return kExitFileProblem;
    }
    return 0;
}

bool hasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

int runLive(int argc, char** argv, const CommandLineOptions& options) {
    if (!options.headless) {
        if (!hasDisplay()) {
            Log::line("ℹ️ No display (DISPLAY and WAYLAND_DISPLAY unset) - running headless");
        } else {
            Log::line("ℹ️ Mixer window not available in this build - running headless");
        }
    }
    std::optional<MixerPreset> preset;
    if (!readPresetOption(options, &preset)) {
        return kExitFileProblem;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Quorvanta");
    QCoreApplication::setApplicationName("Quorvanta");

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::cerr << "quorvanta: cannot install signal handlers\n";
        return kExitFileProblem;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char byte;
        [[maybe_unused]] auto n = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    QtMainQueue queue;
    QtSettingsStore settings;
    Backend backend;
    if (!openBackend(options, queue, &backend)) {
        return kExitFileProblem;
    }
    // Virtual devices run on a clock of their own; the server's streams run by themselves.
    std::unique_ptr<RealTimeDriver> driver;
    if (backend.virtualHardware) {
        driver = std::make_unique<RealTimeDriver>(*backend.virtualHardware);
        driver->start();
    }

    int code = 0;
    std::weak_ptr<MultiOutputEngine> weakEngine;
    auto startedUp = [&] {
        auto engine = weakEngine.lock();
        if (!engine) {
            return;
        }
        if (preset) {
            engine->applyPreset(*preset);
        }
        if (options.powerMode) {
            engine->powerMode = *options.powerMode;
        }
        // After the sources restored by the preset.
        queue.post([&] {
            if (auto engine = weakEngine.lock();
                engine && !savePresetOption(options, *engine, settings)) {
                code = kExitFileProblem;
                QCoreApplication::exit(kExitFileProblem);
            }
        });
    };
    auto engine = MultiOutputEngine::create(
        {queue, settings, backend.hardware(), backend.capture()}, startedUp);
    weakEngine = engine;
    Subscription periodSubscription;
    if (backend.pulse) {
        // Server streams are buffered for two of the engine's periods.
        backend.pulse->setPeriodFrames(static_cast<int>(engine->bufferSize.get()));
        periodSubscription = engine->bufferSize.observe([&backend](const std::uint32_t& frames) {
            backend.pulse->setPeriodFrames(static_cast<int>(frames));
        });
    }
    // No mixer view is on screen without a window.
    engine->setUIVisible(false);

    const int exitCode = QCoreApplication::exec();
    code = code != 0 ? code : exitCode;
    engine->stop();
    periodSubscription = Subscription();
    engine.reset();
    if (driver) {
        driver->stop();
    }
    return code;
}

}  // namespace

int runQuorvanta(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto parsed = parseCommandLine(arguments);
    if (!parsed.options) {
        std::cerr << "quorvanta: " << parsed.error << "\n\n" << usageText();
        return kExitUsage;
    }
    const CommandLineOptions& options = *parsed.options;
    if (options.showHelp) {
        std::cout << usageText();
        return 0;
    }
    if (options.showVersion) {
        std::cout << "Quorvanta " << kQuorvantaVersion << "\n";
        return 0;
    }
    if (options.screenshotFile) {
        std::cerr << "quorvanta: --screenshot needs the mixer window, which this build does not "
                     "have yet\n";
        return kExitFileProblem;
    }
    if (options.listDevices) {
        return listDevices(options);
    }
    if (options.renderSeconds) {
        return render(options);
    }
    return runLive(argc, argv, options);
}

}  // namespace qv
