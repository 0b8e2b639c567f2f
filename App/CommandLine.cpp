#include "App/CommandLine.h"

#include <cmath>
#include <cstdlib>

namespace qv {

std::string usageText() {
    return "Usage: quorvanta [options]\n"
           "\n"
           "  (no options)            desktop app: main window and tray icon\n"
           "  --headless              the mixer without any window; stops on SIGINT/SIGTERM\n"
           "  --devices FILE          use the virtual devices described in FILE\n"
           "  --preset FILE           apply this preset at start-up\n"
           "  --save-preset FILE      capture the mixer after start-up and save it to FILE\n"
           "  --power-mode MODE       alwaysOn | eco | ecoSleep (default eco)\n"
           "  --render SECONDS --out DIR\n"
           "                          with --devices: render SECONDS of audio in virtual time\n"
           "                          and write DIR/<device uid>.wav for every output device\n"
           "  --list-devices          print the output and input devices, then exit\n"
           "  --screenshot FILE       render the main window to FILE (PNG) and exit\n"
           "  --version               print the version\n"
           "  --help                  print this help\n";
}

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLineOptions o;
    auto fail = [](std::string message) { return CommandLineResult{std::nullopt, message}; };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        auto value = [&](std::string& out) -> bool {
            if (i + 1 >= arguments.size() || arguments[i + 1].rfind("--", 0) == 0) {
                return false;
            }
            out = arguments[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            o.showHelp = true;
        } else if (arg == "--version") {
            o.showVersion = true;
        } else if (arg == "--headless") {
            o.headless = true;
        } else if (arg == "--list-devices") {
            o.listDevices = true;
        } else if (arg == "--devices" || arg == "--preset" || arg == "--save-preset" ||
                   arg == "--out" || arg == "--screenshot") {
            if (!value(v) || v.empty()) {
                return fail(arg + " needs a file or folder");
            }
            if (arg == "--devices")
                o.devicesFile = v;
            if (arg == "--preset")
                o.presetFile = v;
            if (arg == "--save-preset")
                o.savePresetFile = v;
            if (arg == "--out")
                o.outDir = v;
            if (arg == "--screenshot")
                o.screenshotFile = v;
        } else if (arg == "--power-mode") {
            if (!value(v)) {
                return fail("--power-mode needs one of alwaysOn, eco, ecoSleep");
            }
            o.powerMode = powerModeFromName(v);
            if (!o.powerMode) {
                return fail("unknown power mode '" + v + "' (use alwaysOn, eco or ecoSleep)");
            }
        } else if (arg == "--render") {
            if (!value(v)) {
                return fail("--render needs a number of seconds");
            }
            char* end = nullptr;
            double seconds = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
                seconds > 24 * 3600) {
                return fail("--render needs a positive number of seconds, not '" + v + "'");
            }
            o.renderSeconds = seconds;
        } else {
            return fail("unknown option '" + arg + "'");
        }
    }
    if (o.renderSeconds && !o.outDir) {
        return fail("--render needs --out DIR");
    }
    if (o.outDir && !o.renderSeconds) {
        return fail("--out is only used with --render");
    }
    if (o.renderSeconds && !o.devicesFile) {
        return fail("--render needs --devices FILE");
    }
    return {o, {}};
}

}  // namespace qv
