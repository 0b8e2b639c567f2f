// Prints a libFuzzer dictionary for the preset reader: every key the writer puts into a preset
// with all optional fields present, then literals worth trying. Taking the keys from the
// writer keeps the dictionary in step with the format.
#include <iostream>
#include <set>
#include <string>

#include "Models/PresetFormat.h"

int main() {
    using namespace qv;
    MixerPreset preset;
    preset.name = "Studio";
    InputChannelPreset channel;
    channel.panEnabled = true;
    channel.eqBands = std::vector<float>(11, 0.0f);
    channel.busAssignments = {1, 2};
    channel.sourceDeviceUID = "usb-mic";
    channel.sourceAppBundleId = "org.example.Player";
    channel.gainEnabled = true;
    channel.faderEnabled = true;
    preset.inputChannels.push_back(channel);
    OutputBusPreset bus;
    bus.eqBands = std::vector<float>(11, 0.0f);
    bus.outputDeviceUID = "speakers";
    preset.outputBuses.push_back(bus);

    const auto encoded = encodePreset(preset);
    if (!encoded.text) {
        std::cerr << "PresetDictionary: " << encoded.error << "\n";
        return 1;
    }
    // Every member is written as "key" : value.
    std::set<std::string> keys;
    const std::string& text = *encoded.text;
    for (std::size_t at = text.find("\" :"); at != std::string::npos;
         at = text.find("\" :", at + 1)) {
        const std::size_t open = text.rfind('"', at - 1);
        keys.insert(text.substr(open + 1, at - open - 1));
    }
    for (const auto& key : keys) {
        std::cout << "\"\\\"" << key << "\\\"\"\n";
    }
    const char* literals[] = {"true",
                              "false",
                              "null",
                              "\\\"2-Band\\\"",
                              "\\\"3-Band\\\"",
                              "\\\"11-Band\\\"",
                              "\\\"none\\\"",
                              "\\\"microphone\\\"",
                              "\\\"systemAudio\\\"",
                              "\\\"appAudio\\\"",
                              "\\\"2025-03-01T18:04:05Z\\\"",
                              "\\\"0F8E9A4C-2B1D-4E5F-9A3B-7C6D5E4F3A2B\\\"",
                              "\\\\/",
                              "\\\\u00",
                              "\\\\ud83c\\\\udfa7",
                              "1e-45",
                              "3.4028235e+38",
                              "-0",
                              "9223372036854775807",
                              "-9223372036854775808",
                              "{}",
                              "[]",
                              ":",
                              ","};
    for (const char* literal : literals) {
        std::cout << "\"" << literal << "\"\n";
    }
    return 0;
}
