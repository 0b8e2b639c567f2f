#include "Models/PresetFormat.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

namespace qv {

namespace {

using Json = nlohmann::json;
using namespace std::chrono;

// Raised anywhere below a failed encode or decode; the message already names the key path.
struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string& path, std::string_view reason) {
    throw Failure{(path.empty() ? std::string("document") : path) + ": " + std::string(reason)};
}

std::string member(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string element(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

// The first and last moments that a four-digit year can hold.
constexpr sys_seconds kEarliestDate{sys_days{year{0} / January / 1}};
constexpr sys_seconds kLatestDate{sys_days{year{9999} / December / 31} + hours{23} + minutes{59} +
                                  seconds{59}};

void appendDigits(std::string& out, long long value, int width) {
    std::array<char, 8> digits{};
    for (int i = width - 1; i >= 0; --i) {
        digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits.data(), static_cast<std::size_t>(width));
}

// ---- Writing -------------------------------------------------------------------------------

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char lead = byte(i);
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0;  // no overlong forms
            if (lead == 0xED)
                high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

void appendString(std::string& out, std::string_view text, const std::string& path) {
    if (!isValidUtf8(text)) {
        fail(path, "text is not valid UTF-8");
    }
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out.push_back(hex[(c >> 4) & 0xf]);
                    out.push_back(hex[c & 0xf]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

// Readers take JSON numbers as doubles, and so does ours; a float text is good when the double
// it reads as rounds to the same float.
bool readsBackAs(std::string_view text, float value) {
    double read = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), read);
    return ec == std::errc{} && static_cast<float>(read) == value;
}

// Every floating-point value in the tree was a float, so printing it as one is exact.
void appendFloat(std::string& out, double value, const std::string& path) {
    auto f = static_cast<float>(value);
    if (!std::isfinite(f)) {
        fail(path, "NaN or infinite number cannot be written");
    }
    if (f == 0) {
        out += '0';  // also for negative zero, which JSON readers give back as 0
        return;
    }
    std::array<char, 48> buffer{};
    char* end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), f).ptr;
    // The shortest digits name the float exactly, but through a double they can land on the tie
    // between two floats and round to the other one (7.038531e-26 does); more digits settle it.
    for (int digits = 8; digits <= 17 && !readsBackAs({buffer.data(), end}, f); ++digits) {
        end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), f,
                            std::chars_format::general, digits)
                  .ptr;
    }
    out.append(buffer.data(), end);
}

void appendValue(std::string& out, const Json& value, int indent, const std::string& path) {
    auto newline = [&](int spaces) {
        out.push_back('\n');
        out.append(static_cast<std::size_t>(spaces), ' ');
    };
    switch (value.type()) {
        case Json::value_t::object: {
            if (value.empty()) {
                out += "{}";
                return;
            }
            // The object's map keeps its keys in ascending byte order.
            out.push_back('{');
            bool first = true;
            for (const auto& [key, child] : value.items()) {
                if (!first) {
                    out.push_back(',');
                }
                first = false;
                newline(indent + 2);
                appendString(out, key, path);
                out += " : ";
                appendValue(out, child, indent + 2, member(path, key));
            }
            newline(indent);
            out.push_back('}');
            return;
        }
        case Json::value_t::array: {
            if (value.empty()) {
                out += "[]";
                return;
            }
            out.push_back('[');
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (i > 0) {
                    out.push_back(',');
                }
                newline(indent + 2);
                appendValue(out, value[i], indent + 2, element(path, i));
            }
            newline(indent);
            out.push_back(']');
            return;
        }
        case Json::value_t::string:
            appendString(out, value.get_ref<const std::string&>(), path);
            return;
        case Json::value_t::boolean:
            out += value.get<bool>() ? "true" : "false";
            return;
        case Json::value_t::number_integer:
            out += std::to_string(value.get<std::int64_t>());
            return;
        case Json::value_t::number_float:
            appendFloat(out, value.get<double>(), path);
            return;
        default:
            // Nothing else is ever put into the tree.
            fail(path, "value of an unexpected kind");
    }
}

Json floats(const std::vector<float>& values) {
    Json array = Json::array();
    for (float v : values) {
        array.push_back(static_cast<double>(v));
    }
    return array;
}

template <typename T>
void putOptional(Json& object, const char* key, const std::optional<T>& value) {
    if (value) {
        object[key] = *value;
    }
}

void putOptional(Json& object, const char* key, const std::optional<std::vector<float>>& value) {
    if (value) {
        object[key] = floats(*value);
    }
}

void putEQ(Json& o, const EQPreset& eq) {
    o["eqType"] = eq.eqType;
    o["eqLowGain"] = static_cast<double>(eq.eqLowGain);
    o["eqMidGain"] = static_cast<double>(eq.eqMidGain);
    o["eqHighGain"] = static_cast<double>(eq.eqHighGain);
    putOptional(o, "eqBands", eq.eqBands);
    o["eqEnabled"] = eq.eqEnabled;
}

Json toJson(const InputChannelPreset& c) {
    Json o = Json::object();
    o["id"] = c.id.toString();
    o["name"] = c.name;
    o["inputGain"] = static_cast<double>(c.inputGain);
    o["faderLevel"] = static_cast<double>(c.faderLevel);
    putOptional(o, "panEnabled", c.panEnabled);
    o["pan"] = static_cast<double>(c.pan);
    o["isMuted"] = c.isMuted;
    o["isSolo"] = c.isSolo;
    putEQ(o, c);
    Json buses = Json::array();
    for (std::int64_t bus : c.busAssignments) {
        buses.push_back(bus);
    }
    o["busAssignments"] = std::move(buses);
    o["sourceType"] = c.sourceType;
    putOptional(o, "sourceDeviceUID", c.sourceDeviceUID);
    putOptional(o, "sourceAppBundleId", c.sourceAppBundleId);
    putOptional(o, "gainEnabled", c.gainEnabled);
    putOptional(o, "faderEnabled", c.faderEnabled);
    return o;
}

Json toJson(const OutputBusPreset& b) {
    Json o = Json::object();
    o["id"] = b.id;
    o["name"] = b.name;
    o["faderLevel"] = static_cast<double>(b.faderLevel);
    o["isMuted"] = b.isMuted;
    putEQ(o, b);
    o["delayMs"] = static_cast<double>(b.delayMs);
    putOptional(o, "outputDeviceUID", b.outputDeviceUID);
    return o;
}

Json toJson(const MixerPreset& p) {
    auto date = formatPresetDate(p.createdAt);
    if (!date) {
        fail("createdAt", "date outside the years 0000 to 9999");
    }
    Json o = Json::object();
    o["id"] = p.id.toString();
    o["name"] = p.name;
    o["createdAt"] = *date;
    o["inputChannels"] = Json::array();
    for (const auto& channel : p.inputChannels) {
        o["inputChannels"].push_back(toJson(channel));
    }
    o["outputBuses"] = Json::array();
    for (const auto& bus : p.outputBuses) {
        o["outputBuses"].push_back(toJson(bus));
    }
    return o;
}

// ---- Reading -------------------------------------------------------------------------------

// Values that round to infinity as a float are refused: 2^128 - 2^103 is the halfway point
// between the largest float and 2^128.
constexpr double kFloatOverflow = 0x1.ffffffp+127;

std::string asString(const Json& v, const std::string& path) {
    if (!v.is_string()) {
        fail(path, "expected a string");
    }
    return v.get<std::string>();
}

bool asBool(const Json& v, const std::string& path) {
    if (!v.is_boolean()) {
        fail(path, "expected true or false");
    }
    return v.get<bool>();
}

float asFloat(const Json& v, const std::string& path) {
    switch (v.type()) {
        case Json::value_t::number_integer:
            return static_cast<float>(v.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return static_cast<float>(v.get<std::uint64_t>());
        case Json::value_t::number_float: {
            auto d = v.get<double>();
            if (!(std::fabs(d) < kFloatOverflow)) {
                fail(path, "number does not fit in a 32-bit float");
            }
            return static_cast<float>(d);
        }
        default:
            fail(path, "expected a number");
    }
}

std::int64_t asInt(const Json& v, const std::string& path) {
    if (v.is_number_integer() && !v.is_number_unsigned()) {
        return v.get<std::int64_t>();
    }
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            fail(path, "whole number out of the 64-bit range");
        }
        return static_cast<std::int64_t>(u);
    }
    fail(path, "expected a whole number");
}

const Json& asArray(const Json& v, const std::string& path) {
    if (!v.is_array()) {
        fail(path, "expected an array");
    }
    return v;
}

std::vector<float> asFloats(const Json& v, const std::string& path) {
    std::vector<float> values;
    const Json& array = asArray(v, path);
    values.reserve(array.size());
    for (std::size_t i = 0; i < array.size(); ++i) {
        values.push_back(asFloat(array[i], element(path, i)));
    }
    return values;
}

class ObjectReader {
  public:
    ObjectReader(const Json& value, std::string path) : object_(value), path_(std::move(path)) {
        if (!value.is_object()) {
            fail(path_, "expected an object");
        }
    }

    std::string string(const char* key) const { return asString(required(key), at(key)); }
    bool boolean(const char* key) const { return asBool(required(key), at(key)); }
    float number(const char* key) const { return asFloat(required(key), at(key)); }
    std::int64_t integer(const char* key) const { return asInt(required(key), at(key)); }
    const Json& array(const char* key) const { return asArray(required(key), at(key)); }

    Uuid uuid(const char* key) const {
        auto uuid = Uuid::fromString(string(key));
        if (!uuid) {
            fail(at(key), "expected a UUID in the form 8-4-4-4-12");
        }
        return *uuid;
    }

    PresetTime date(const char* key) const {
        auto date = parsePresetDate(string(key));
        if (!date) {
            fail(at(key), "expected a UTC date such as 2025-03-01T18:04:05Z");
        }
        return *date;
    }

    std::optional<bool> optionalBool(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asBool(*v, at(key))) : std::nullopt;
    }

    std::optional<std::string> optionalString(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asString(*v, at(key))) : std::nullopt;
    }

    std::optional<std::vector<float>> optionalFloats(const char* key) const {
        const Json* v = optional(key);
        return v ? std::optional(asFloats(*v, at(key))) : std::nullopt;
    }

    std::string at(const char* key) const { return member(path_, key); }

  private:
    const Json& required(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end()) {
            fail(at(key), "required key is missing");
        }
        return *it;
    }

    // Missing and null both mean "no value".
    const Json* optional(const char* key) const {
        auto it = object_.find(key);
        return it == object_.end() || it->is_null() ? nullptr : &*it;
    }

    const Json& object_;
    std::string path_;
};

void readEQ(const ObjectReader& r, EQPreset& eq) {
    eq.eqType = r.string("eqType");
    eq.eqLowGain = r.number("eqLowGain");
    eq.eqMidGain = r.number("eqMidGain");
    eq.eqHighGain = r.number("eqHighGain");
    eq.eqBands = r.optionalFloats("eqBands");
    eq.eqEnabled = r.boolean("eqEnabled");
}

InputChannelPreset channelFrom(const Json& value, const std::string& path) {
    ObjectReader r(value, path);
    InputChannelPreset c;
    c.id = r.uuid("id");
    c.name = r.string("name");
    c.inputGain = r.number("inputGain");
    c.faderLevel = r.number("faderLevel");
    c.panEnabled = r.optionalBool("panEnabled");
    c.pan = r.number("pan");
    c.isMuted = r.boolean("isMuted");
    c.isSolo = r.boolean("isSolo");
    readEQ(r, c);
    const Json& buses = r.array("busAssignments");
    for (std::size_t i = 0; i < buses.size(); ++i) {
        c.busAssignments.insert(asInt(buses[i], element(r.at("busAssignments"), i)));
    }
    c.sourceType = r.string("sourceType");
    c.sourceDeviceUID = r.optionalString("sourceDeviceUID");
    c.sourceAppBundleId = r.optionalString("sourceAppBundleId");
    c.gainEnabled = r.optionalBool("gainEnabled");
    c.faderEnabled = r.optionalBool("faderEnabled");
    return c;
}

OutputBusPreset busFrom(const Json& value, const std::string& path) {
    ObjectReader r(value, path);
    OutputBusPreset b;
    b.id = r.integer("id");
    b.name = r.string("name");
    b.faderLevel = r.number("faderLevel");
    b.isMuted = r.boolean("isMuted");
    readEQ(r, b);
    b.delayMs = r.number("delayMs");
    b.outputDeviceUID = r.optionalString("outputDeviceUID");
    return b;
}

MixerPreset presetFrom(const Json& value) {
    ObjectReader r(value, "");
    MixerPreset p;
    p.id = r.uuid("id");
    p.name = r.string("name");
    p.createdAt = r.date("createdAt");
    const Json& channels = r.array("inputChannels");
    for (std::size_t i = 0; i < channels.size(); ++i) {
        p.inputChannels.push_back(channelFrom(channels[i], element("inputChannels", i)));
    }
    const Json& buses = r.array("outputBuses");
    for (std::size_t i = 0; i < buses.size(); ++i) {
        p.outputBuses.push_back(busFrom(buses[i], element("outputBuses", i)));
    }
    return p;
}

}  // namespace

EncodeResult encodePreset(const MixerPreset& preset) {
    try {
        std::string text;
        appendValue(text, toJson(preset), 0, "");
        return {std::move(text), {}};
    } catch (const Failure& failure) {
        return {std::nullopt, failure.message};
    }
}

DecodeResult decodePreset(std::string_view text) {
    Json document;
    try {
        document = Json::parse(text.data(), text.data() + text.size());
    } catch (const Json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " tag.
        std::string_view message = e.what();
        if (auto tagEnd = message.find("] ");
            !message.empty() && message.front() == '[' && tagEnd != std::string_view::npos) {
            message.remove_prefix(tagEnd + 2);
        }
        return {std::nullopt, "not valid JSON: " + std::string(message)};
    }
    try {
        return {presetFrom(document), {}};
    } catch (const Failure& failure) {
        return {std::nullopt, failure.message};
    }
}

std::optional<std::string> formatPresetDate(PresetTime time) {
    if (time < kEarliestDate || time > kLatestDate) {
        return std::nullopt;
    }
    auto day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss clock{time - day};
    std::string out;
    out.reserve(20);
    appendDigits(out, static_cast<int>(date.year()), 4);
    out += '-';
    appendDigits(out, static_cast<unsigned>(date.month()), 2);
    out += '-';
    appendDigits(out, static_cast<unsigned>(date.day()), 2);
    out += 'T';
    appendDigits(out, clock.hours().count(), 2);
    out += ':';
    appendDigits(out, clock.minutes().count(), 2);
    out += ':';
    appendDigits(out, clock.seconds().count(), 2);
    out += 'Z';
    return out;
}

std::optional<PresetTime> parsePresetDate(std::string_view text) {
    // Positions of the fixed characters in "YYYY-MM-DDTHH:MM:SSZ"; every other one is a digit.
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
            return std::nullopt;
        }
    }
    auto number = [&](std::size_t from, std::size_t count) {
        int value = 0;
        for (std::size_t i = from; i < from + count; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                        day{static_cast<unsigned>(number(8, 2))}};
    int h = number(11, 2), m = number(14, 2), s = number(17, 2);
    if (!date.ok() || h > 23 || m > 59 || s > 59) {
        return std::nullopt;
    }
    return sys_days{date} + hours{h} + minutes{m} + seconds{s};
}

}  // namespace qv
