#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Audio/Platform/Virtual/DevicesFile.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "qv-devices-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

void writeTone(const std::string& path, double rate) {
    std::string error;
    ASSERT_TRUE(writeWavFloat32(path, rate, {{0.5f, -0.5f, 0.25f}}, &error)) << error;
}

TEST(DevicesFile, ReadsEveryField) {
    TempDir dir;
    writeTone(dir.file("music.wav"), 44100.0);
    const std::string text = R"({
      "devices": [
        { "uid": "usb-mic", "name": "USB Mic", "transport": "usb ",
          "sampleRate": 44100, "availableRates": [[44100, 44100], [48000, 96000]],
          "input": { "channels": 1, "signal": { "sine": { "frequency": 1000, "level": -6 } } } },
        { "uid": "speakers", "name": "Speakers", "transport": "bltn", "clockPpm": -150.5,
          "output": { "channels": 2 } },
        { "uid": "loop", "name": "Quorvanta System", "transport": "virt",
          "input": { "channels": 2, "signal": { "file": "music.wav" } },
          "output": { "channels": 6 } }
      ],
      "apps": [
        { "bundleId": "org.example.Player", "name": "Player",
          "signal": { "noise": { "level": -20, "seed": 7 } } },
        { "bundleId": "org.example.Quiet", "name": "Quiet" }
      ],
      "screenCapturePermission": false
    })";
    std::string error;
    auto setup = parseDevicesJson(text, dir.path.string(), &error);
    ASSERT_TRUE(setup) << error;
    ASSERT_EQ(setup->devices.size(), 3u);

    const auto& mic = setup->devices[0];
    EXPECT_EQ(mic.uid, "usb-mic");
    EXPECT_EQ(mic.name, "USB Mic");
    EXPECT_EQ(mic.transport, Transport::usb);
    EXPECT_EQ(mic.sampleRate, 44100.0);
    EXPECT_EQ(mic.clockPpm, 0.0);
    EXPECT_EQ(setup->devices[1].clockPpm, -150.5);
    ASSERT_EQ(mic.availableRates.size(), 2u);
    EXPECT_EQ(mic.availableRates[1].minimum, 48000.0);
    EXPECT_EQ(mic.availableRates[1].maximum, 96000.0);
    ASSERT_TRUE(mic.input);
    EXPECT_FALSE(mic.output);
    EXPECT_EQ(mic.input->channels, 1u);
    const auto* sine = std::get_if<Signal::Sine>(&mic.input->signal.source);
    ASSERT_TRUE(sine);
    EXPECT_EQ(sine->frequency, 1000.0);
    EXPECT_EQ(sine->level, -6.0);

    const auto& speakers = setup->devices[1];
    EXPECT_EQ(speakers.transport, Transport::builtIn);
    EXPECT_FALSE(speakers.input);
    ASSERT_TRUE(speakers.output);
    EXPECT_EQ(speakers.output->channels, 2u);

    const auto& loop = setup->devices[2];
    ASSERT_TRUE(loop.input && loop.output);
    EXPECT_EQ(loop.output->channels, 6u);
    const auto* file = std::get_if<Signal::File>(&loop.input->signal.source);
    ASSERT_TRUE(file && file->wav);
    EXPECT_EQ(file->wav->sampleRate, 44100.0);
    EXPECT_EQ(file->wav->channels[0], (std::vector<float>{0.5f, -0.5f, 0.25f}));

    ASSERT_EQ(setup->apps.size(), 2u);
    EXPECT_EQ(setup->apps[0].bundleId, "org.example.Player");
    EXPECT_EQ(setup->apps[0].name, "Player");
    const auto* noise = std::get_if<Signal::Noise>(&setup->apps[0].signal.source);
    ASSERT_TRUE(noise);
    EXPECT_EQ(noise->level, -20.0);
    EXPECT_EQ(noise->seed, 7u);
    EXPECT_TRUE(std::holds_alternative<Signal::Silence>(setup->apps[1].signal.source));
    EXPECT_FALSE(setup->screenCapturePermission);
}

TEST(DevicesFile, FillsInDefaults) {
    std::string error;
    auto setup = parseDevicesJson(
        R"({"devices": [{"uid": "a", "name": "A", "sampleRate": 44100, "input": {}},
                        {"uid": "b", "name": "B", "output": {}}]})",
        ".", &error);
    ASSERT_TRUE(setup) << error;
    const auto& a = setup->devices[0];
    EXPECT_EQ(a.transport, Transport::virtualDevice);
    ASSERT_EQ(a.availableRates.size(), 1u);
    EXPECT_EQ(a.availableRates[0].minimum, 44100.0);
    EXPECT_EQ(a.availableRates[0].maximum, 44100.0);
    ASSERT_TRUE(a.input);
    EXPECT_EQ(a.input->channels, 2u);
    EXPECT_TRUE(std::holds_alternative<Signal::Silence>(a.input->signal.source));
    EXPECT_EQ(setup->devices[1].sampleRate, 48000.0);
    EXPECT_TRUE(setup->apps.empty());
    EXPECT_TRUE(setup->screenCapturePermission);
}

TEST(DevicesFile, RefusesBadFilesNamingTheProblem) {
    TempDir dir;
    const std::string ok = R"("uid": "a", "name": "A", "output": {})";
    struct Case {
        std::string json;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"devices": [)", "invalid JSON: "},
        {R"([])", "the top level must be an object"},
        {R"({})", "missing \"devices\""},
        {R"({"devices": {}})", "\"devices\" must be a list"},
        {R"({"devices": [7]})", "devices[0]: must be an object"},
        {R"({"devices": [{"name": "A", "output": {}}]})", "devices[0]: missing \"uid\""},
        {R"({"devices": [{"uid": 5, "name": "A", "output": {}}]})",
         "devices[0]: \"uid\" must be text"},
        {R"({"devices": [{"uid": "a", "output": {}}]})", "devices[0] (\"a\"): missing \"name\""},
        {R"({"devices": [{)" + ok + R"(, "transport": "usb"}]})",
         "devices[0] (\"a\"): \"transport\" must be exactly 4 characters"},
        {R"({"devices": [{)" + ok + R"(, "transport": 1}]})",
         "devices[0] (\"a\"): \"transport\" must be text"},
        {R"({"devices": [{)" + ok + R"(, "sampleRate": "fast"}]})",
         "devices[0] (\"a\"): \"sampleRate\" must be a number"},
        {R"({"devices": [{)" + ok + R"(, "sampleRate": 0}]})",
         "devices[0] (\"a\"): \"sampleRate\" must be above 0"},
        {R"({"devices": [{)" + ok + R"(, "clockPpm": "fast"}]})",
         "devices[0] (\"a\"): \"clockPpm\" must be a number"},
        {R"({"devices": [{)" + ok + R"(, "clockPpm": 20000}]})",
         "devices[0] (\"a\"): \"clockPpm\" must be from -10000 to 10000"},
        {R"({"devices": [{)" + ok + R"(, "availableRates": [[48000]]}]})",
         "devices[0] (\"a\"): \"availableRates\" must be a list of [minimum, maximum] rate pairs"},
        {R"({"devices": [{"uid": "a", "name": "A", "output": {"channels": 0}}]})",
         "devices[0] (\"a\"): \"output.channels\" must be a whole number from 1 to 1024"},
        {R"({"devices": [{"uid": "a", "name": "A", "input": {"channels": 1.5}}]})",
         "devices[0] (\"a\"): \"input.channels\" must be a whole number from 1 to 1024"},
        {R"({"devices": [{"uid": "a", "name": "A", "input": 2}]})",
         "devices[0] (\"a\"): \"input\" must be an object"},
        {R"({"devices": [{"uid": "a", "name": "A"}]})",
         "devices[0] (\"a\"): needs \"input\" or \"output\""},
        {R"({"devices": [{)" + ok + R"(}, {"uid": "b", "name": "B", "output": {}}, {)" + ok +
             R"(}]})",
         "devices[2]: uid \"a\" repeats devices[0]"},
        {R"({"devices": [{"uid": "a", "name": "A", "input": {"signal": {"square": {}}}}]})",
         "devices[0] (\"a\"): \"input.signal\" has unknown kind \"square\""},
        {R"({"devices": [{"uid": "a", "name": "A", "input": {"signal": {}}}]})",
         "devices[0] (\"a\"): \"input.signal\" must be an object with one of \"sine\", "
         "\"noise\", \"file\", \"silence\""},
        {R"({"devices": [{"uid": "a", "name": "A", "input": {"signal": {"sine": {"level": 0}}}}]})",
         "devices[0] (\"a\"): missing \"input.signal.sine.frequency\""},
        {R"({"devices": [{"uid": "a", "name": "A",
              "input": {"signal": {"noise": {"level": "loud"}}}}]})",
         "devices[0] (\"a\"): \"input.signal.noise.level\" must be a number"},
        {R"({"devices": [{"uid": "a", "name": "A",
              "input": {"signal": {"noise": {"level": 0, "seed": -1}}}}]})",
         "devices[0] (\"a\"): \"input.signal.noise.seed\" must be a whole number of at least 0"},
        {R"({"devices": [{"uid": "a", "name": "A", "input": {"signal": {"file": "gone.wav"}}}]})",
         "devices[0] (\"a\"): \"input.signal.file\": " + dir.file("gone.wav") +
             ": cannot be opened"},
        {R"({"devices": [], "apps": [{"name": "P"}]})", "apps[0]: missing \"bundleId\""},
        {R"({"devices": [], "apps": [{"bundleId": "p", "name": "P", "signal": {"file": 3}}]})",
         "apps[0] (\"p\"): \"signal.file\" must be text"},
        {R"({"devices": [], "screenCapturePermission": "yes"})",
         "\"screenCapturePermission\" must be true or false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        std::string error;
        EXPECT_FALSE(parseDevicesJson(c.json, dir.path.string(), &error));
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << error;
    }
}

TEST(DevicesFile, LoadsWavFilesFromTheDevicesFilesFolder) {
    TempDir dir;
    fs::create_directory(dir.path / "setup");
    writeTone(dir.file("setup/tone.wav"), 48000.0);
    const std::string path = dir.file("setup/devices.json");
    writeText(path, R"({"devices": [{"uid": "m", "name": "M",
                        "input": {"channels": 1, "signal": {"file": "tone.wav"}}}]})");
    std::string error;
    auto setup = loadDevicesFile(path, &error);
    ASSERT_TRUE(setup) << error;
    float out[4];
    setup->devices[0].input->signal.render(0, 0, 4, 48000.0, out);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{0.5f, -0.5f, 0.25f, 0.0f}));

    writeText(path, R"({"devices": [{"uid": "m"}]})");
    EXPECT_FALSE(loadDevicesFile(path, &error));
    EXPECT_EQ(error, path + ": devices[0] (\"m\"): missing \"name\"");

    EXPECT_FALSE(loadDevicesFile(dir.file("none.json"), &error));
    EXPECT_EQ(error, dir.file("none.json") + ": cannot be opened");
}

}  // namespace
}  // namespace qv
