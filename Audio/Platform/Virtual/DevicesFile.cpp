#include "Audio/Platform/Virtual/DevicesFile.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

namespace qv {
namespace {

using nlohmann::json;

// Thrown inside the parser only; parseDevicesJson turns it into the error text.
struct Refusal {
    std::string message;
};

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
    throw Refusal{where.empty() ? what : where + ": " + what};
}

std::string inQuotes(const std::string& key) {
    return "\"" + key + "\"";
}

const json* member(const json& object, const std::string& key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string text(const json& object, const std::string& key, const std::string& where) {
    const json* value = member(object, key);
    if (!value) {
        refuse(where, "missing " + inQuotes(key));
    }
    if (!value->is_string()) {
        refuse(where, inQuotes(key) + " must be text");
    }
    return value->get<std::string>();
}

double number(const json& object, const std::string& key, const std::string& name,
              const std::string& where) {
    const json* value = member(object, key);
    if (!value) {
        refuse(where, "missing " + inQuotes(name));
    }
    if (!value->is_number()) {
        refuse(where, inQuotes(name) + " must be a number");
    }
    return value->get<double>();
}

Signal parseSignal(const json& value, const std::string& name, const std::string& where,
                   const std::filesystem::path& baseDir) {
    if (!value.is_object() || value.size() != 1) {
        refuse(where, inQuotes(name) +
                          " must be an object with one of \"sine\", \"noise\", \"file\", "
                          "\"silence\"");
    }
    const std::string kind = value.begin().key();
    const json& body = value.begin().value();
    const std::string key = name + "." + kind;
    if (kind == "silence") {
        if (!body.is_boolean()) {
            refuse(where, inQuotes(key) + " must be true or false");
        }
        return Signal::silence();
    }
    if (kind == "sine" || kind == "noise") {
        if (!body.is_object()) {
            refuse(where, inQuotes(key) + " must be an object");
        }
        const double level = number(body, "level", key + ".level", where);
        if (kind == "sine") {
            return Signal::sine(number(body, "frequency", key + ".frequency", where), level);
        }
        std::uint64_t seed = 0;
        if (const json* s = member(body, "seed")) {
            if (!s->is_number_unsigned()) {
                refuse(where, inQuotes(key + ".seed") + " must be a whole number of at least 0");
            }
            seed = s->get<std::uint64_t>();
        }
        return Signal::noise(level, seed);
    }
    if (kind == "file") {
        if (!body.is_string()) {
            refuse(where, inQuotes(key) + " must be text");
        }
        const std::filesystem::path path = baseDir / body.get<std::string>();
        std::string error;
        auto wav = readWav(path.lexically_normal().string(), &error);
        if (!wav) {
            refuse(where, inQuotes(key) + ": " + error);
        }
        return Signal::file(std::move(*wav));
    }
    refuse(where, inQuotes(name) + " has unknown kind " + inQuotes(kind));
}

std::uint32_t channels(const json& direction, const std::string& name, const std::string& where) {
    const json* value = member(direction, "channels");
    if (!value) {
        return 2;
    }
    if (!value->is_number_unsigned() || value->get<std::uint64_t>() < 1 ||
        value->get<std::uint64_t>() > 1024) {
        refuse(where, inQuotes(name + ".channels") + " must be a whole number from 1 to 1024");
    }
    return value->get<std::uint32_t>();
}

const json& directionObject(const json& device, const std::string& name, const std::string& where) {
    const json& value = device.at(name);
    if (!value.is_object()) {
        refuse(where, inQuotes(name) + " must be an object");
    }
    return value;
}

VirtualDeviceSpec parseDevice(const json& value, std::size_t index,
                              const std::filesystem::path& baseDir) {
    std::string where = "devices[" + std::to_string(index) + "]";
    if (!value.is_object()) {
        refuse(where, "must be an object");
    }
    VirtualDeviceSpec spec;
    spec.uid = text(value, "uid", where);
    if (spec.uid.empty()) {
        refuse(where, "\"uid\" must not be empty");
    }
    where += " (" + inQuotes(spec.uid) + ")";
    spec.name = text(value, "name", where);
    if (member(value, "transport")) {
        const auto transport = transportFromCode(text(value, "transport", where));
        if (!transport) {
            refuse(where, "\"transport\" must be exactly 4 characters");
        }
        spec.transport = *transport;
    }
    if (member(value, "sampleRate")) {
        spec.sampleRate = number(value, "sampleRate", "sampleRate", where);
        if (!(spec.sampleRate > 0)) {
            refuse(where, "\"sampleRate\" must be above 0");
        }
    }
    if (member(value, "clockPpm")) {
        spec.clockPpm = number(value, "clockPpm", "clockPpm", where);
        if (!(std::fabs(spec.clockPpm) <= 10000)) {
            refuse(where, "\"clockPpm\" must be from -10000 to 10000");
        }
    }
    if (const json* rates = member(value, "availableRates")) {
        const auto isRange = [](const json& r) {
            return r.is_array() && r.size() == 2 && r[0].is_number() && r[1].is_number() &&
                   r[0].get<double>() > 0 && r[0].get<double>() <= r[1].get<double>();
        };
        if (!rates->is_array() || rates->empty() ||
            !std::all_of(rates->begin(), rates->end(), isRange)) {
            refuse(where, "\"availableRates\" must be a list of [minimum, maximum] rate pairs");
        }
        for (const json& r : *rates) {
            spec.availableRates.push_back({r[0].get<double>(), r[1].get<double>()});
        }
    } else {
        spec.availableRates = {{spec.sampleRate, spec.sampleRate}};
    }
    if (member(value, "input")) {
        const json& input = directionObject(value, "input", where);
        VirtualInputSpec in{channels(input, "input", where), Signal::silence()};
        if (const json* signal = member(input, "signal")) {
            in.signal = parseSignal(*signal, "input.signal", where, baseDir);
        }
        spec.input = std::move(in);
    }
    if (member(value, "output")) {
        spec.output =
            VirtualOutputSpec{channels(directionObject(value, "output", where), "output", where)};
    }
    if (!spec.input && !spec.output) {
        refuse(where, "needs \"input\" or \"output\"");
    }
    return spec;
}

VirtualAppSpec parseApp(const json& value, std::size_t index,
                        const std::filesystem::path& baseDir) {
    std::string where = "apps[" + std::to_string(index) + "]";
    if (!value.is_object()) {
        refuse(where, "must be an object");
    }
    VirtualAppSpec app;
    app.bundleId = text(value, "bundleId", where);
    where += " (" + inQuotes(app.bundleId) + ")";
    app.name = text(value, "name", where);
    if (const json* signal = member(value, "signal")) {
        app.signal = parseSignal(*signal, "signal", where, baseDir);
    }
    return app;
}

VirtualSetup parseSetup(const json& root, const std::filesystem::path& baseDir) {
    if (!root.is_object()) {
        refuse("", "the top level must be an object");
    }
    const json* devices = member(root, "devices");
    if (!devices) {
        refuse("", "missing \"devices\"");
    }
    if (!devices->is_array()) {
        refuse("", "\"devices\" must be a list");
    }
    VirtualSetup setup;
    std::map<std::string, std::size_t> indexOfUID;
    for (std::size_t i = 0; i < devices->size(); ++i) {
        VirtualDeviceSpec spec = parseDevice((*devices)[i], i, baseDir);
        const auto [it, isNew] = indexOfUID.emplace(spec.uid, i);
        if (!isNew) {
            refuse("devices[" + std::to_string(i) + "]", "uid " + inQuotes(spec.uid) +
                                                             " repeats devices[" +
                                                             std::to_string(it->second) + "]");
        }
        setup.devices.push_back(std::move(spec));
    }
    if (const json* apps = member(root, "apps")) {
        if (!apps->is_array()) {
            refuse("", "\"apps\" must be a list");
        }
        for (std::size_t i = 0; i < apps->size(); ++i) {
            setup.apps.push_back(parseApp((*apps)[i], i, baseDir));
        }
    }
    if (const json* permission = member(root, "screenCapturePermission")) {
        if (!permission->is_boolean()) {
            refuse("", "\"screenCapturePermission\" must be true or false");
        }
        setup.screenCapturePermission = permission->get<bool>();
    }
    return setup;
}

}  // namespace

std::optional<VirtualSetup> parseDevicesJson(const std::string& text, const std::string& baseDir,
                                             std::string* error) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        // Drop the library's "[json.exception.parse_error.101] " prefix.
        std::string what = e.what();
        if (const auto end = what.find("] "); end != std::string::npos) {
            what.erase(0, end + 2);
        }
        if (error) {
            *error = "invalid JSON: " + what;
        }
        return std::nullopt;
    }
    try {
        return parseSetup(root, baseDir);
    } catch (const Refusal& refusal) {
        if (error) {
            *error = refusal.message;
        }
        return std::nullopt;
    }
}

std::optional<VirtualSetup> loadDevicesFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) {
            *error = path + ": cannot be opened";
        }
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::path baseDir = std::filesystem::path(path).parent_path();
    if (baseDir.empty()) {
        baseDir = ".";
    }
    std::string reason;
    auto setup = parseDevicesJson(text, baseDir.string(), &reason);
    if (!setup && error) {
        *error = path + ": " + reason;
    }
    return setup;
}

std::optional<Transport> transportFromCode(const std::string& code) {
    if (code.size() != 4) {
        return std::nullopt;
    }
    static const std::pair<const char*, Transport> known[] = {
        {"bltn", Transport::builtIn},       {"usb ", Transport::usb},
        {"blue", Transport::bluetooth},     {"blea", Transport::bluetoothLowEnergy},
        {"hdmi", Transport::hdmi},          {"dprt", Transport::displayPort},
        {"thun", Transport::thunderbolt},   {"1394", Transport::fireWire},
        {"virt", Transport::virtualDevice}, {"grup", Transport::aggregate},
    };
    for (const auto& [text, transport] : known) {
        if (code == text) {
            return transport;
        }
    }
    return Transport::other;
}

VirtualSetup builtinVirtualSetup() {
    const auto device = [](std::string uid, std::string name, Transport transport) {
        VirtualDeviceSpec spec;
        spec.uid = std::move(uid);
        spec.name = std::move(name);
        spec.transport = transport;
        return spec;
    };
    VirtualSetup setup;
    auto speakers = device("builtin-speakers", "Speakers", Transport::builtIn);
    speakers.output = VirtualOutputSpec{2};
    auto headphones = device("builtin-headphones", "Headphones", Transport::usb);
    headphones.output = VirtualOutputSpec{2};
    auto system = device("quorvanta-system", "Quorvanta System", Transport::virtualDevice);
    system.input = VirtualInputSpec{2, Signal::silence()};
    system.output = VirtualOutputSpec{2};
    auto tone = device("builtin-test-tone", "Test Tone", Transport::virtualDevice);
    tone.input = VirtualInputSpec{2, Signal::sine(440.0, -20.0)};
    setup.devices = {speakers, headphones, system, tone};
    setup.apps.push_back({"org.quorvanta.DemoTone", "Demo Tone", Signal::sine(220.0, -24.0)});
    return setup;
}

}  // namespace qv
