#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Audio/Platform/Virtual/WavFile.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct Run {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the program to completion, capturing both streams.
Run runProgram(const std::string& arguments, const fs::path& dir) {
    const auto outFile = dir / "stdout.txt";
    const auto errFile = dir / "stderr.txt";
    const std::string command = std::string(QUORVANTA_BINARY) + " " + arguments + " >" +
                                outFile.string() + " 2>" + errFile.string() + " </dev/null";
    const int status = std::system(command.c_str());
    auto slurp = [](const fs::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(outFile), slurp(errFile)};
}

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quorvanta-program-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return dir / name;
    }
    fs::path devicesFile() {
        return write("devices.json", R"({
          "devices": [
            { "uid": "usb-mic", "name": "USB Mic", "transport": "usb ", "sampleRate": 44100,
              "availableRates": [[44100, 44100], [48000, 48000]],
              "input": { "channels": 1, "signal": { "sine": { "frequency": 1000, "level": -6 } } } },
            { "uid": "speakers", "name": "Speakers", "transport": "bltn", "output": { "channels": 2 } },
            { "uid": "hifi", "name": "HiFi", "transport": "usb ", "sampleRate": 44100,
              "output": { "channels": 6 } }
          ],
          "apps": [ { "bundleId": "org.example.Player", "name": "Player",
                      "signal": { "noise": { "level": -20, "seed": 7 } } } ]
        })");
    }

    fs::path dir;
};

TEST_F(ProgramTest, RenderWritesOneWavPerOutputDeviceOfExactLength) {
    const auto devices = devicesFile();
    auto run = runProgram(
        "--render 2 --out " + (dir / "out").string() + " --devices " + devices.string(), dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("🔊 Auto-assigned Speakers to Bus 1\n"), std::string::npos);
    EXPECT_NE(run.out.find("▶️ Engine auto-started\n"), std::string::npos);

    std::string error;
    auto speakers = readWav((dir / "out" / "speakers.wav").string(), &error);
    ASSERT_TRUE(speakers) << error;
    EXPECT_EQ(speakers->sampleRate, 48000.0);
    ASSERT_EQ(speakers->channels.size(), 2u);
    EXPECT_EQ(speakers->channels[0].size(), 96000u);

    auto hifi = readWav((dir / "out" / "hifi.wav").string(), &error);
    ASSERT_TRUE(hifi) << error;
    EXPECT_EQ(hifi->sampleRate, 44100.0);
    ASSERT_EQ(hifi->channels.size(), 6u);
    EXPECT_EQ(hifi->channels[5].size(), 88200u);
    for (float s : hifi->channels[0]) {
        ASSERT_EQ(s, 0.0f);  // unbound device
    }
    EXPECT_FALSE(fs::exists(dir / "out" / "usb-mic.wav"));
}

TEST_F(ProgramTest, RenderModeSuspendsAnIdleEcoMixerInVirtualTime) {
    const auto devices = devicesFile();
    auto eco = runProgram("--devices " + devices.string() + " --power-mode eco --render 75 --out " +
                              (dir / "eco").string(),
                          dir);
    ASSERT_EQ(eco.exitCode, 0) << eco.err;
    EXPECT_NE(eco.out.find("💤 ECO idle - engines stopped, IOProc audio monitor active\n"),
              std::string::npos);
    std::string error;
    auto speakers = readWav((dir / "eco" / "speakers.wav").string(), &error);
    ASSERT_TRUE(speakers) << error;
    EXPECT_EQ(speakers->channels[0].size(), 75u * 48000u);

    auto alwaysOn =
        runProgram("--devices " + devices.string() + " --power-mode alwaysOn --render 75 --out " +
                       (dir / "on").string(),
                   dir);
    ASSERT_EQ(alwaysOn.exitCode, 0) << alwaysOn.err;
    EXPECT_EQ(alwaysOn.out.find("💤"), std::string::npos);
    EXPECT_NE(alwaysOn.err.find("⚡ Power mode: alwaysOn"), std::string::npos);
}

TEST_F(ProgramTest, APresetSavedAfterARenderRendersTheSameAudioAgain) {
    const auto devices = devicesFile();
    const auto preset = write("show.json", R"({
      "createdAt" : "2025-03-01T18:04:05Z", "id" : "6F1C3A52-8E7D-4B0A-9C11-2D3E4F5A6B7C",
      "name" : "Show", "outputBuses" : [
        { "id" : 1, "name" : "Main", "faderLevel" : -3, "isMuted" : false, "eqType" : "3-Band",
          "eqLowGain" : 0, "eqMidGain" : 0, "eqHighGain" : 0, "eqEnabled" : false,
          "delayMs" : 20, "outputDeviceUID" : "speakers" } ],
      "inputChannels" : [
        { "id" : "11111111-2222-3333-4444-555555555555", "name" : "Music", "inputGain" : 0,
          "faderLevel" : -6, "faderEnabled" : true, "panEnabled" : true, "pan" : 0.5,
          "isMuted" : false, "isSolo" : false, "eqType" : "3-Band", "eqLowGain" : 0,
          "eqMidGain" : 0, "eqHighGain" : 0, "eqEnabled" : false, "busAssignments" : [1],
          "sourceType" : "appAudio", "sourceAppBundleId" : "org.example.Player" },
        { "id" : "11111111-2222-3333-4444-555555555556", "name" : "Mic", "inputGain" : 0,
          "faderLevel" : 0, "pan" : 0, "isMuted" : false, "isSolo" : false,
          "eqType" : "2-Band", "eqLowGain" : 3, "eqMidGain" : 0, "eqHighGain" : -3,
          "eqEnabled" : true, "busAssignments" : [1], "sourceType" : "microphone",
          "sourceDeviceUID" : "usb-mic" } ] })");
    const auto saved = dir / "saved.json";
    auto first = runProgram("--devices " + devices.string() + " --preset " + preset.string() +
                                " --save-preset " + saved.string() + " --render 1 --out " +
                                (dir / "a").string(),
                            dir);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    auto second = runProgram("--devices " + devices.string() + " --preset " + saved.string() +
                                 " --render 1 --out " + (dir / "b").string(),
                             dir);
    ASSERT_EQ(second.exitCode, 0) << second.err;
    std::string error;
    auto a = readWav((dir / "a" / "speakers.wav").string(), &error);
    auto b = readWav((dir / "b" / "speakers.wav").string(), &error);
    ASSERT_TRUE(a && b) << error;
    EXPECT_EQ(a->channels, b->channels);
    float peak = 0;
    for (float x : a->channels[1])
        peak = std::max(peak, std::fabs(x));
    EXPECT_GT(peak, 0.1f);  // the channels really play

    // A broken preset is refused before anything starts.
    const auto broken = write("broken.json", "{ \"name\" : ");
    auto refused = runProgram("--devices " + devices.string() + " --preset " + broken.string() +
                                  " --render 1 --out " + (dir / "c").string(),
                              dir);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("Could not decode preset"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir / "c" / "speakers.wav"));
}

TEST_F(ProgramTest, ListDevicesPrintsOneLinePerDevice) {
    auto run = runProgram("--list-devices --devices " + devicesFile().string(), dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "output\t101\tspeakers\tSpeakers\tBuilt-in\t48000 Hz\t2 ch\n"
              "output\t102\thifi\tHiFi\tUSB\t44100 Hz\t6 ch\n"
              "input\t100\tusb-mic\tUSB Mic\tUSB\t44100 Hz\t1 ch\n");
}

TEST_F(ProgramTest, ExitCodesForUsageAndFileProblems) {
    struct Case {
        std::string arguments;
        int exitCode;
        std::string message;
    };
    const auto broken = write("broken.json", "{ \"devices\": [ { \"name\": \"X\" } ] }");
    const Case cases[] = {
        {"--version", 0, ""},
        {"--bogus", 2, "unknown option '--bogus'"},
        {"--render 2 --out x", 2, "--render needs --devices FILE"},
        {"--list-devices --devices " + (dir / "missing.json").string(), 1, "missing.json"},
        {"--list-devices --devices " + broken.string(), 1, "uid"},
    };
    for (const auto& c : cases) {
        auto run = runProgram(c.arguments, dir);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
    }
    EXPECT_EQ(runProgram("--version", dir).out, "Quorvanta 1.2.042\n");
}

TEST_F(ProgramTest, HeadlessStartsAndStopsCleanlyOnSigterm) {
    const auto devices = devicesFile();
    const auto outFile = dir / "headless.txt";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Keep the user's stored settings out of the test.
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        std::freopen(outFile.c_str(), "w", stdout);
        ::execl(QUORVANTA_BINARY, QUORVANTA_BINARY, "--headless", "--devices", devices.c_str(),
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    // Wait until start-up has finished, then ask it to stop.
    std::string text;
    for (int i = 0; i < 200 && text.find("👂 Device list listener installed") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::ifstream in(outFile);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(outFile);
    text.assign(std::istreambuf_iterator<char>(in), {});
    for (const char* line :
         {"🔊 Found 2 output devices", "🎤 Found 1 input devices",
          "🔊 Auto-assigned Speakers to Bus 1", "▶️ Engine auto-started",
          "▶️ Multi-Output Engine started", "👂 Device list listener installed (UI-only)",
          "⏹ Multi-Output Engine stopped"}) {
        EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace qv
