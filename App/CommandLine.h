#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Audio/MixerTypes.h"

namespace qv {

// The parsed command line.
struct CommandLineOptions {
    bool showHelp = false;
    bool showVersion = false;
    bool headless = false;
    bool listDevices = false;
    std::optional<std::string> devicesFile;
    std::optional<std::string> presetFile;
    std::optional<std::string> savePresetFile;
    std::optional<PowerMode> powerMode;
    std::optional<double> renderSeconds;
    std::optional<std::string> outDir;
    std::optional<std::string> screenshotFile;
};

struct CommandLineResult {
    std::optional<CommandLineOptions> options;
    std::string error;  // a usage error when options is empty
};

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments);
std::string usageText();

}  // namespace qv
