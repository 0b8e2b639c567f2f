// The test sound server itself: the program tests below rely on what it plays and records
// being exact, on its sinks coming and going, and on restarts reusing the socket.

#include <gtest/gtest.h>

#include <string>

#include "tests/Support/PulseServer.h"

namespace qv::testing {
namespace {

TEST(PulseServerTest, ToneFromPaplayComesBackFromTheMonitorOfItsSinkOnly) {
    PulseServer server({{"busA", "Bus A"}, {"busB", "Bus B"}});
    auto player = server.play(server.toneFile(1000, -6), "busA");
    auto a = server.record("busA.monitor");
    auto b = server.record("busB.monitor");

    auto section = awaitSteadyTone(a, 1000, 15s);
    ASSERT_TRUE(section) << server.log();
    for (const auto& plane : section->channels) {
        EXPECT_NEAR(toDb(toneAmplitude(plane, 1000, 48000, 0, plane.size())), -6.0, 0.1);
        EXPECT_NEAR(frequency(plane, 48000), 1000.0, 0.5);
    }
    // The other sink's monitor has recorded as long by now, and heard nothing.
    ASSERT_TRUE(pollUntil(5s, [&] { return b.frames() >= 48000; }));
    const auto silent = b.samples();
    EXPECT_EQ(peak(silent[0]), 0.0);
    EXPECT_EQ(peak(silent[1]), 0.0);
}

TEST(PulseServerTest, SinksComeAndGoAndARestartKeepsTheSocketAndTheFirstSinks) {
    PulseServer server({{"busA", "Bus A"}});
    const auto module = server.loadNullSink({"late", "Late Sink", 44100});
    ASSERT_TRUE(module);
    EXPECT_EQ(server.moduleOfSink("late"), module);
    auto sinks = server.pactl({"list", "sinks"}).out;
    EXPECT_NE(sinks.find("Description: Late Sink\n"), std::string::npos) << sinks;
    EXPECT_NE(sinks.find("Description: Bus A\n"), std::string::npos) << sinks;
    // PipeWire's null sinks carry floats, PulseAudio's 16-bit integers; the rate is the one asked.
    EXPECT_NE(sinks.find(onPipeWire() ? "float32le 2ch 44100Hz" : "s16le 2ch 44100Hz"),
              std::string::npos)
        << sinks;

    ASSERT_TRUE(server.unloadModule(*module));
    EXPECT_FALSE(server.moduleOfSink("late"));

    server.kill();
    EXPECT_NE(server.pactl({"info"}).exitCode, 0);
    server.restart();
    const auto info = server.pactl({"info"});
    ASSERT_EQ(info.exitCode, 0);
    EXPECT_NE(info.out.find("Server String: " + server.address()), std::string::npos) << info.out;
    EXPECT_TRUE(server.moduleOfSink("busA"));
    EXPECT_FALSE(server.moduleOfSink("late"));
}

}  // namespace
}  // namespace qv::testing
