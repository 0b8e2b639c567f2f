#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

#include "Models/PresetFormat.h"

namespace qv {
namespace {

using namespace std::chrono;
using Json = nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Uuid uuid(const char* text) {
    return *Uuid::fromString(text);
}

// One channel with every optional field set, one without any, and two buses likewise.
MixerPreset samplePreset() {
    MixerPreset p;
    p.id = uuid("0F8E9A4C-2B1D-4E5F-9A3B-7C6D5E4F3A2B");
    p.name = "Studio";
    p.createdAt = sys_days{2025y / March / 1} + 18h + 4min + 5s;

    InputChannelPreset mic;
    mic.id = uuid("8C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E4F");
    mic.name = "Mic 1";
    mic.inputGain = 1.5f;
    mic.faderLevel = -6;
    mic.panEnabled = true;
    mic.pan = -0.25f;
    mic.isSolo = true;
    mic.eqType = "11-Band";
    mic.eqLowGain = 0.1f;
    mic.eqHighGain = -3;
    mic.eqBands = std::vector<float>{2, -1.5f, 0};
    mic.eqEnabled = true;
    mic.busAssignments = {2, 1};
    mic.sourceType = "microphone";
    mic.sourceDeviceUID = "usb-0d8c/mic";
    mic.sourceAppBundleId = "org.example.Player";
    mic.gainEnabled = true;
    mic.faderEnabled = false;
    p.inputChannels.push_back(mic);

    InputChannelPreset empty;
    empty.id = uuid("11111111-2222-4333-8444-555555555555");
    empty.name = "Channel 2";
    p.inputChannels.push_back(empty);

    OutputBusPreset phones;
    phones.id = 1;
    phones.name = "Phones";
    phones.faderLevel = -12.5f;
    phones.isMuted = true;
    phones.eqType = "2-Band";
    phones.eqBands = std::vector<float>{};
    phones.delayMs = 20;
    phones.outputDeviceUID = "alsa_output.usb";
    p.outputBuses.push_back(phones);

    OutputBusPreset stream;
    stream.id = 2;
    stream.name = "Stream";
    p.outputBuses.push_back(stream);
    return p;
}

const char* const kSampleText = R"({
  "createdAt" : "2025-03-01T18:04:05Z",
  "id" : "0F8E9A4C-2B1D-4E5F-9A3B-7C6D5E4F3A2B",
  "inputChannels" : [
    {
      "busAssignments" : [
        1,
        2
      ],
      "eqBands" : [
        2,
        -1.5,
        0
      ],
      "eqEnabled" : true,
      "eqHighGain" : -3,
      "eqLowGain" : 0.1,
      "eqMidGain" : 0,
      "eqType" : "11-Band",
      "faderEnabled" : false,
      "faderLevel" : -6,
      "gainEnabled" : true,
      "id" : "8C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E4F",
      "inputGain" : 1.5,
      "isMuted" : false,
      "isSolo" : true,
      "name" : "Mic 1",
      "pan" : -0.25,
      "panEnabled" : true,
      "sourceAppBundleId" : "org.example.Player",
      "sourceDeviceUID" : "usb-0d8c\/mic",
      "sourceType" : "microphone"
    },
    {
      "busAssignments" : [],
      "eqEnabled" : false,
      "eqHighGain" : 0,
      "eqLowGain" : 0,
      "eqMidGain" : 0,
      "eqType" : "3-Band",
      "faderLevel" : 0,
      "id" : "11111111-2222-4333-8444-555555555555",
      "inputGain" : 0,
      "isMuted" : false,
      "isSolo" : false,
      "name" : "Channel 2",
      "pan" : 0,
      "sourceType" : "none"
    }
  ],
  "name" : "Studio",
  "outputBuses" : [
    {
      "delayMs" : 20,
      "eqBands" : [],
      "eqEnabled" : false,
      "eqHighGain" : 0,
      "eqLowGain" : 0,
      "eqMidGain" : 0,
      "eqType" : "2-Band",
      "faderLevel" : -12.5,
      "id" : 1,
      "isMuted" : true,
      "name" : "Phones",
      "outputDeviceUID" : "alsa_output.usb"
    },
    {
      "delayMs" : 0,
      "eqEnabled" : false,
      "eqHighGain" : 0,
      "eqLowGain" : 0,
      "eqMidGain" : 0,
      "eqType" : "3-Band",
      "faderLevel" : 0,
      "id" : 2,
      "isMuted" : false,
      "name" : "Stream"
    }
  ]
})";

std::string encoded(const MixerPreset& preset) {
    auto result = encodePreset(preset);
    EXPECT_TRUE(result.text) << result.error;
    return result.text.value_or("");
}

// The sample document with one value replaced by raw JSON text (or, for an empty pointer, the
// whole document), so that number forms such as 1e3 reach the decoder as written.
std::string withValue(const std::string& pointer, const std::string& raw) {
    if (pointer.empty()) {
        return raw;
    }
    Json doc = Json::parse(kSampleText);
    doc[Json::json_pointer(pointer)] = "@@";
    std::string text = doc.dump();
    text.replace(text.find("\"@@\""), 4, raw);
    return text;
}

std::string without(const std::string& pointer) {
    Json doc = Json::parse(kSampleText);
    Json::json_pointer ptr(pointer);
    doc[ptr.parent_pointer()].erase(ptr.back());
    return doc.dump();
}

// ---- Writing -----------------------------------------------------------------------------------

// The second channel has no source device or application and the second bus no device: those
// keys are left out, never written as null.
TEST(PresetWriting, LayoutIsSortedIndentedAndOmitsAbsentOptionals) {
    EXPECT_EQ(encoded(samplePreset()), kSampleText);
}

TEST(PresetWriting, EmptyArraysAndEmptyStrings) {
    MixerPreset p;
    p.id = uuid("0f8e9a4c-2b1d-4e5f-9a3b-7c6d5e4f3a2b");
    p.createdAt = sys_days{1970y / January / 1};
    EXPECT_EQ(encoded(p), R"({
  "createdAt" : "1970-01-01T00:00:00Z",
  "id" : "0F8E9A4C-2B1D-4E5F-9A3B-7C6D5E4F3A2B",
  "inputChannels" : [],
  "name" : "",
  "outputBuses" : []
})");
}

TEST(PresetWriting, WritingTwiceAndReadingBackAreStable) {
    MixerPreset p = samplePreset();
    std::string first = encoded(p);
    EXPECT_EQ(encoded(p), first);
    auto back = decodePreset(first);
    ASSERT_TRUE(back.preset) << back.error;
    EXPECT_EQ(*back.preset, p);
    EXPECT_EQ(encoded(*back.preset), first);
}

TEST(PresetWriting, FloatsAreTheShortestTextThatReadsBack) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {-6.0f, "-6"},
        {0.0f, "0"},
        {-0.0f, "0"},
        {0.1f, "0.1"},
        {-12.5f, "-12.5"},
        {1e-7f, "1e-07"},
        {16777216.0f, "16777216"},
        {123456.79f, "123456.79"},
        {std::numeric_limits<float>::max(), "3.4028235e+38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        // Read as a double, 7.038531e-26 lies exactly between this float and the next one up.
        {-7.038531e-26f, "-7.0385307e-26"},
    };
    for (const auto& c : cases) {
        MixerPreset p = samplePreset();
        p.outputBuses[0].delayMs = c.value;
        std::string text = encoded(p);
        EXPECT_THAT(text, HasSubstr("\"delayMs\" : " + std::string(c.text) + ",\n")) << c.text;
        auto back = decodePreset(text);
        ASSERT_TRUE(back.preset) << back.error;
        EXPECT_EQ(back.preset->outputBuses[0].delayMs, c.value) << c.text;
    }
}

// Every 65521st bit pattern over the whole float range comes back bit for bit.
TEST(PresetWriting, FloatsReadBackExactlyAcrossTheRange) {
    MixerPreset p = samplePreset();
    auto& bands = p.inputChannels[0].eqBands.emplace();
    for (std::uint64_t bits = 1; bits < 0x1'0000'0000; bits += 65521) {
        auto value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        if (std::isfinite(value)) {
            bands.push_back(value);
        }
    }
    auto back = decodePreset(encoded(p));
    ASSERT_TRUE(back.preset) << back.error;
    const auto& read = *back.preset->inputChannels[0].eqBands;
    ASSERT_EQ(read.size(), bands.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(read[i]), std::bit_cast<std::uint32_t>(bands[i]))
            << bands[i];
    }
}

TEST(PresetWriting, ValuesJsonCannotHoldFailTheWholeWrite) {
    struct Case {
        const char* path;
        std::function<void(MixerPreset&)> spoil;
    };
    const Case cases[] = {
        {"inputChannels[0].inputGain", [](MixerPreset& p) { p.inputChannels[0].inputGain = kNaN; }},
        {"inputChannels[1].pan", [](MixerPreset& p) { p.inputChannels[1].pan = -kInf; }},
        {"inputChannels[0].eqBands[2]",
         [](MixerPreset& p) { (*p.inputChannels[0].eqBands)[2] = kInf; }},
        {"outputBuses[1].delayMs", [](MixerPreset& p) { p.outputBuses[1].delayMs = kNaN; }},
        {"name", [](MixerPreset& p) { p.name = "bad \xff byte"; }},
        {"inputChannels[0].sourceAppBundleId",
         [](MixerPreset& p) { p.inputChannels[0].sourceAppBundleId = "\xed\xa0\x80"; }},
        {"outputBuses[0].outputDeviceUID",
         [](MixerPreset& p) { p.outputBuses[0].outputDeviceUID = "over\xc0\xaflong"; }},
        {"createdAt", [](MixerPreset& p) { p.createdAt = sys_days{year{10000} / January / 1}; }},
        {"createdAt", [](MixerPreset& p) { p.createdAt = sys_days{year{-1} / December / 31}; }},
    };
    for (const auto& c : cases) {
        MixerPreset p = samplePreset();
        c.spoil(p);
        auto result = encodePreset(p);
        EXPECT_FALSE(result.text) << c.path;
        EXPECT_THAT(result.error, StartsWith(std::string(c.path) + ": "));
    }
}

TEST(PresetWriting, StringsEscapeSlashQuotesAndControlsOnly) {
    MixerPreset p = samplePreset();
    p.name = "a/b \"q\" \\ \n\t\x01\x1f\x7f caf\xc3\xa9 \xf0\x9f\x8e\xa7";
    std::string text = encoded(p);
    EXPECT_THAT(text, HasSubstr(R"("name" : "a\/b \"q\" \\ \n\t\u0001\u001f)"
                                "\x7f caf\xc3\xa9 \xf0\x9f\x8e\xa7\""));
    auto back = decodePreset(text);
    ASSERT_TRUE(back.preset) << back.error;
    EXPECT_EQ(back.preset->name, p.name);
}

TEST(PresetWriting, BusIdsAtTheLimitsOfInt64) {
    MixerPreset p = samplePreset();
    p.outputBuses[0].id = std::numeric_limits<std::int64_t>::min();
    p.outputBuses[1].id = std::numeric_limits<std::int64_t>::max();
    p.inputChannels[0].busAssignments = {p.outputBuses[0].id, p.outputBuses[1].id};
    auto back = decodePreset(encoded(p));
    ASSERT_TRUE(back.preset) << back.error;
    EXPECT_EQ(*back.preset, p);
}

// ---- Reading -----------------------------------------------------------------------------------

const char* const kOptionalKeys[] = {
    "/inputChannels/0/panEnabled",      "/inputChannels/0/eqBands",
    "/inputChannels/0/sourceDeviceUID", "/inputChannels/0/sourceAppBundleId",
    "/inputChannels/0/gainEnabled",     "/inputChannels/0/faderEnabled",
    "/outputBuses/0/eqBands",           "/outputBuses/0/outputDeviceUID",
};

TEST(PresetReading, SampleDocumentReadsAsTheSamplePreset) {
    auto result = decodePreset(kSampleText);
    ASSERT_TRUE(result.preset) << result.error;
    EXPECT_EQ(*result.preset, samplePreset());
}

TEST(PresetReading, MissingAndNullOptionalKeysBothGiveNoValue) {
    Json missing = Json::parse(kSampleText);
    Json null = missing;
    for (const char* key : kOptionalKeys) {
        Json::json_pointer ptr(key);
        missing[ptr.parent_pointer()].erase(ptr.back());
        null[ptr] = nullptr;
    }
    auto fromMissing = decodePreset(missing.dump());
    auto fromNull = decodePreset(null.dump());
    ASSERT_TRUE(fromMissing.preset) << fromMissing.error;
    ASSERT_TRUE(fromNull.preset) << fromNull.error;
    EXPECT_EQ(*fromMissing.preset, *fromNull.preset);

    const auto& channel = fromMissing.preset->inputChannels[0];
    EXPECT_FALSE(channel.panEnabled || channel.eqBands || channel.sourceDeviceUID ||
                 channel.sourceAppBundleId || channel.gainEnabled || channel.faderEnabled);
    const auto& bus = fromMissing.preset->outputBuses[0];
    EXPECT_FALSE(bus.eqBands || bus.outputDeviceUID);
}

// Each key of the root, a channel and a bus that is not optional is required: leaving it out or
// setting it to null rejects the document and names the key.
TEST(PresetReading, EveryOtherKeyIsRequired) {
    Json doc = Json::parse(kSampleText);
    auto isOptional = [](const std::string& pointer) {
        return std::find(std::begin(kOptionalKeys), std::end(kOptionalKeys), pointer) !=
               std::end(kOptionalKeys);
    };
    const std::pair<std::string, std::string> objects[] = {
        {"", ""}, {"/inputChannels/0", "inputChannels[0]."}, {"/outputBuses/0", "outputBuses[0]."}};
    for (const auto& [objectPointer, pathPrefix] : objects) {
        for (const auto& [key, value] : doc[Json::json_pointer(objectPointer)].items()) {
            std::string pointer = objectPointer + "/" + key;
            if (isOptional(pointer)) {
                continue;
            }
            auto missing = decodePreset(without(pointer));
            EXPECT_FALSE(missing.preset) << pointer;
            EXPECT_EQ(missing.error, pathPrefix + key + ": required key is missing");
            auto null = decodePreset(withValue(pointer, "null"));
            EXPECT_FALSE(null.preset) << pointer;
            EXPECT_THAT(null.error, StartsWith(pathPrefix + key + ": expected"));
        }
    }
}

TEST(PresetReading, ValuesOfTheWrongKindAreRejected) {
    struct Case {
        const char* pointer;
        const char* raw;
        const char* error;
    };
    const Case cases[] = {
        {"/inputChannels/1/busAssignments", "[1.5]",
         "inputChannels[1].busAssignments[0]: expected a whole number"},
        {"/inputChannels/0/busAssignments/1", "1e3",
         "inputChannels[0].busAssignments[1]: expected a whole number"},
        {"/outputBuses/0/id", "2.0", "outputBuses[0].id: expected a whole number"},
        {"/outputBuses/0/id", "\"1\"", "outputBuses[0].id: expected a whole number"},
        {"/outputBuses/0/id", "9223372036854775808",
         "outputBuses[0].id: whole number out of the 64-bit range"},
        {"/outputBuses/0/id", "-9223372036854775809", "outputBuses[0].id: expected a whole number"},
        {"/inputChannels/0/pan", "\"0\"", "inputChannels[0].pan: expected a number"},
        {"/inputChannels/0/pan", "1e39",
         "inputChannels[0].pan: number does not fit in a 32-bit float"},
        // Halfway between the largest float and 2^128, which rounds to infinity.
        {"/inputChannels/0/pan", "3.4028235677973366e+38",
         "inputChannels[0].pan: number does not fit in a 32-bit float"},
        {"/inputChannels/0/eqBands/1", "null", "inputChannels[0].eqBands[1]: expected a number"},
        {"/outputBuses/0/eqBands", "{}", "outputBuses[0].eqBands: expected an array"},
        {"/inputChannels/0/isMuted", "1", "inputChannels[0].isMuted: expected true or false"},
        {"/inputChannels/0/gainEnabled", "\"yes\"",
         "inputChannels[0].gainEnabled: expected true or false"},
        {"/outputBuses/1/outputDeviceUID", "7",
         "outputBuses[1].outputDeviceUID: expected a string"},
        {"/name", "[]", "name: expected a string"},
        {"/id", "\"0F8E9A4C2B1D4E5F9A3B7C6D5E4F3A2B\"",
         "id: expected a UUID in the form 8-4-4-4-12"},
        {"/inputChannels/0/id", "\"0F8E9A4C-2B1D-4E5F-9A3B-7C6D5E4F3A2G\"",
         "inputChannels[0].id: expected a UUID in the form 8-4-4-4-12"},
        {"/createdAt", "\"2025-03-01T18:04:05.123Z\"",
         "createdAt: expected a UTC date such as 2025-03-01T18:04:05Z"},
        {"/inputChannels", "{}", "inputChannels: expected an array"},
        {"/outputBuses/1", "[]", "outputBuses[1]: expected an object"},
        {"", "[]", "document: expected an object"},
    };
    for (const auto& c : cases) {
        auto result = decodePreset(withValue(c.pointer, c.raw));
        EXPECT_FALSE(result.preset) << c.pointer << " = " << c.raw;
        EXPECT_EQ(result.error, c.error);
    }
}

TEST(PresetReading, FloatFieldsTakeAnyJsonNumber) {
    struct Case {
        const char* raw;
        float value;
    };
    const Case cases[] = {
        {"3", 3.0f},
        {"-0", 0.0f},
        {"-2.5e1", -25.0f},
        {"1E-3", 0.001f},
        {"3.4028235e+38", std::numeric_limits<float>::max()},
        {"-3.4028235677973362e+38", -std::numeric_limits<float>::max()},
        {"1e-50", 0.0f},
        {"18446744073709551615", 18446744073709551615.0f},
    };
    for (const auto& c : cases) {
        auto result = decodePreset(withValue("/outputBuses/0/faderLevel", c.raw));
        ASSERT_TRUE(result.preset) << c.raw << ": " << result.error;
        EXPECT_EQ(result.preset->outputBuses[0].faderLevel, c.value) << c.raw;
    }
}

TEST(PresetReading, OnlyTheExactUtcDateFormIsAccepted) {
    const char* const rejected[] = {
        "2025-03-01T18:04:05.123Z",  // fractional seconds
        "2025-03-01T18:04:05.Z",
        "2025-03-01T18:04:05+01:00",  // offsets, even zero ones
        "2025-03-01T18:04:05+00:00",
        "2025-03-01T18:04:05",  // no zone
        "2025-03-01",
        "2025-03-01T18:04Z",
        "2025-03-01 18:04:05Z",
        "2025-03-01t18:04:05z",
        "2025-13-01T18:04:05Z",  // invalid dates and times
        "2025-00-10T18:04:05Z",
        "2025-02-29T18:04:05Z",
        "2025-04-31T18:04:05Z",
        "2025-03-00T18:04:05Z",
        "2025-03-01T24:00:00Z",
        "2025-03-01T18:60:05Z",
        "2025-03-01T18:04:60Z",
        "+2025-03-01T18:04:05Z",
        "25-03-01T18:04:05Z",
        "2025-3-1T18:04:05Z",
        "2025-03-01T18:04:0 Z",
        "2025-03-01T18:04:05ZZ",
        "",
    };
    for (const char* text : rejected) {
        EXPECT_FALSE(parsePresetDate(text)) << text;
    }

    struct Case {
        const char* text;
        std::int64_t secondsSinceEpoch;
    };
    const Case accepted[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2025-03-01T18:04:05Z", 1740852245},
        {"2024-02-29T23:59:59Z", 1709251199},
        {"1969-12-31T23:59:59Z", -1},
        {"0000-01-01T00:00:00Z", -62167219200},
        {"9999-12-31T23:59:59Z", 253402300799},
    };
    for (const auto& c : accepted) {
        auto time = parsePresetDate(c.text);
        ASSERT_TRUE(time) << c.text;
        EXPECT_EQ(time->time_since_epoch().count(), c.secondsSinceEpoch) << c.text;
        EXPECT_EQ(formatPresetDate(*time), c.text);
    }
}

TEST(PresetReading, NoTruncatedDocumentIsAccepted) {
    std::string text = kSampleText;
    for (std::size_t length = 0; length < text.size(); ++length) {
        auto result = decodePreset(std::string_view(text).substr(0, length));
        ASSERT_FALSE(result.preset) << length;
        ASSERT_THAT(result.error, StartsWith("not valid JSON: ")) << length;
    }
}

TEST(PresetReading, UnknownKeysAreIgnored) {
    Json doc = Json::parse(kSampleText);
    doc["version"] = 2;
    doc["extra"] = {{"nested", Json::array({1, {{"x", nullptr}}})}};
    doc["inputChannels"][0]["color"] = "red";
    doc["outputBuses"][1]["linked"] = true;
    auto result = decodePreset(doc.dump());
    ASSERT_TRUE(result.preset) << result.error;
    EXPECT_EQ(*result.preset, samplePreset());
}

TEST(PresetReading, UnknownLayoutAndSourceTextsAreKept) {
    Json doc = Json::parse(kSampleText);
    doc["inputChannels"][0]["eqType"] = "4-Band";
    doc["inputChannels"][0]["sourceType"] = "midi";
    doc["outputBuses"][0]["eqType"] = "";
    auto result = decodePreset(doc.dump());
    ASSERT_TRUE(result.preset) << result.error;
    EXPECT_EQ(result.preset->inputChannels[0].eqType, "4-Band");
    EXPECT_EQ(result.preset->inputChannels[0].sourceType, "midi");
    EXPECT_EQ(result.preset->outputBuses[0].eqType, "");
    EXPECT_THAT(encoded(*result.preset), HasSubstr("\"sourceType\" : \"midi\""));
}

TEST(PresetReading, BusAssignmentsAreASet) {
    auto result = decodePreset(withValue("/inputChannels/0/busAssignments", "[3, 1, 3, -2, 1]"));
    ASSERT_TRUE(result.preset) << result.error;
    EXPECT_EQ(result.preset->inputChannels[0].busAssignments, (std::set<std::int64_t>{-2, 1, 3}));
    EXPECT_THAT(encoded(*result.preset),
                HasSubstr("\"busAssignments\" : [\n        -2,\n        1,\n        3\n      ]"));
}

TEST(PresetReading, LowerCaseUuidsAreReadAndWrittenUpperCase) {
    auto result =
        decodePreset(withValue("/inputChannels/0/id", "\"8c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f\""));
    ASSERT_TRUE(result.preset) << result.error;
    EXPECT_EQ(*result.preset, samplePreset());
}

}  // namespace
}  // namespace qv
