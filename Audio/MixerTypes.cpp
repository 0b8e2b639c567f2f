#include "Audio/MixerTypes.h"

namespace qv {

std::string eqTypeText(EQType type) {
    switch (type) {
        case EQType::bands2:
            return "2-Band";
        case EQType::bands3:
            return "3-Band";
        case EQType::bands11:
            return "11-Band";
    }
    return "3-Band";
}

std::optional<EQType> eqTypeFromText(const std::string& text) {
    for (EQType type : kAllEQTypes) {
        if (eqTypeText(type) == text) {
            return type;
        }
    }
    return std::nullopt;
}

std::string sourceTypeText(InputSourceType type) {
    switch (type) {
        case InputSourceType::none:
            return "none";
        case InputSourceType::microphone:
            return "microphone";
        case InputSourceType::systemAudio:
            return "systemAudio";
        case InputSourceType::appAudio:
            return "appAudio";
    }
    return "none";
}

InputSourceType sourceTypeFromText(const std::string& text) {
    for (auto type :
         {InputSourceType::microphone, InputSourceType::systemAudio, InputSourceType::appAudio}) {
        if (sourceTypeText(type) == text) {
            return type;
        }
    }
    return InputSourceType::none;
}

std::optional<PowerMode> powerModeFromInt(int value) {
    switch (value) {
        case 0:
            return PowerMode::alwaysOn;
        case 1:
            return PowerMode::eco;
        case 2:
            return PowerMode::ecoSleep;
        default:
            return std::nullopt;
    }
}

std::optional<PowerMode> powerModeFromName(const std::string& name) {
    for (int i = 0; i < 3; ++i) {
        auto mode = *powerModeFromInt(i);
        if (powerModeName(mode) == name) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string powerModeName(PowerMode mode) {
    switch (mode) {
        case PowerMode::alwaysOn:
            return "alwaysOn";
        case PowerMode::eco:
            return "eco";
        case PowerMode::ecoSleep:
            return "ecoSleep";
    }
    return "eco";
}

std::string powerModeHelpText(PowerMode mode) {
    switch (mode) {
        case PowerMode::alwaysOn:
            return "Always On: Engines always running (best performance)";
        case PowerMode::eco:
            return "ECO: Auto-sleep after 60s, auto-wake on audio";
        case PowerMode::ecoSleep:
            return "ECO Sleep: Auto-sleep after 60s, allows system sleep (manual wake)";
    }
    return {};
}

}  // namespace qv
