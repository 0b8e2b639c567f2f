#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Audio/Platform/Virtual/VirtualAudioHardware.h"
#include "Audio/Platform/Virtual/VirtualCaptureService.h"
#include "Audio/Platform/Virtual/VirtualDriver.h"
#include "Foundation/VirtualMainQueue.h"

namespace qv {
namespace {

struct Answer {
    std::optional<ShareableContent> content;
    std::string error;
};

std::optional<Answer> ask(VirtualCaptureService& service, VirtualMainQueue& queue) {
    std::optional<Answer> answer;
    service.getShareableContent([&](std::optional<ShareableContent> content, std::string error) {
        answer = Answer{std::move(content), std::move(error)};
    });
    EXPECT_FALSE(answer) << "delivered inline";
    queue.runUntilIdle();
    return answer;
}

TEST(VirtualCaptureService, OffersOneDisplayAndTheSetupsApplications) {
    VirtualMainQueue queue;
    VirtualSetup setup;
    setup.apps = {{"org.example.Player", "Player", Signal::silence()},
                  {"org.example.Radio", "Radio", Signal::noise(-30, 2)}};
    VirtualAudioHardware hardware(queue, setup);
    VirtualCaptureService service(queue, setup, hardware);

    auto answer = ask(service, queue);
    ASSERT_TRUE(answer && answer->content);
    EXPECT_EQ(answer->error, "");
    ASSERT_EQ(answer->content->displays.size(), 1u);
    EXPECT_EQ(answer->content->displays[0].displayID, 1u);
    const auto& apps = answer->content->applications;
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].bundleIdentifier, "org.example.Player");
    EXPECT_EQ(apps[0].applicationName, "Player");
    EXPECT_EQ(apps[0].processID, 1000);
    EXPECT_EQ(apps[1].bundleIdentifier, "org.example.Radio");
    EXPECT_EQ(apps[1].processID, 1001);

    service.setApplications({{"org.example.Other", "Other", Signal::silence()}});
    answer = ask(service, queue);
    ASSERT_TRUE(answer && answer->content);
    ASSERT_EQ(answer->content->applications.size(), 1u);
    EXPECT_EQ(answer->content->applications[0].applicationName, "Other");
    EXPECT_EQ(answer->content->applications[0].processID, 1000);
}

TEST(VirtualCaptureService, RefusesWithoutPermission) {
    VirtualMainQueue queue;
    VirtualSetup setup = builtinVirtualSetup();
    setup.screenCapturePermission = false;
    VirtualAudioHardware hardware(queue, setup);
    VirtualCaptureService service(queue, setup, hardware);

    auto answer = ask(service, queue);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->content);
    EXPECT_EQ(answer->error, "Screen capture permission denied");

    service.setPermission(true);
    answer = ask(service, queue);
    ASSERT_TRUE(answer && answer->content);
    ASSERT_EQ(answer->content->applications.size(), 1u);
    EXPECT_EQ(answer->content->applications[0].bundleIdentifier, "org.quorvanta.DemoTone");
}

// What a stream delivered: frames per channel, planar.
struct Captured {
    std::vector<std::vector<float>> channels{2};
    int buffers = 0;
    bool allAt48k = true;
};

Captured capture(VirtualCaptureService& service, VirtualAudioHardware& hardware,
                 VirtualMainQueue& queue, const CaptureFilter& filter) {
    Captured got;
    std::string error;
    auto stream = service.makeStream(filter, CaptureConfiguration{}, &error);
    EXPECT_TRUE(stream) << error;
    if (!stream) {
        return got;
    }
    EXPECT_TRUE(stream->addAudioOutput(
        [&](const CaptureSampleBuffer& b) {
            ++got.buffers;
            got.allAt48k &= b.sampleRate == 48000.0 && b.channelCount == 2;
            for (std::int64_t f = 0; f < b.frameCount; ++f) {
                for (std::uint32_t c = 0; c < 2; ++c) {
                    const auto index = b.isInterleaved
                                           ? static_cast<std::size_t>(f) * 2 + c
                                           : c * static_cast<std::size_t>(b.frameCount) +
                                                 static_cast<std::size_t>(f);
                    got.channels[c].push_back(b.data[index]);
                }
            }
        },
        &error));
    std::optional<std::optional<std::string>> started;
    stream->startCapture([&](std::optional<std::string> e) { started = e; });
    queue.runUntilIdle();
    EXPECT_TRUE(started && !*started);
    VirtualTimeDriver(hardware, queue).run(0.1);
    bool stopped = false;
    stream->stopCapture([&](std::optional<std::string>) { stopped = true; });
    queue.runUntilIdle();
    EXPECT_TRUE(stopped);
    const int before = got.buffers;
    VirtualTimeDriver(hardware, queue).runFor(0.05);
    EXPECT_EQ(got.buffers, before) << "delivered after stop";
    return got;
}

TEST(VirtualCaptureService, StreamsCarryOneApplicationOrTheSumOfAll) {
    VirtualMainQueue queue;
    VirtualSetup setup;
    setup.apps = {{"org.example.A", "A", Signal::sine(1000, -20)},
                  {"org.example.B", "B", Signal::sine(3000, -20)}};
    VirtualAudioHardware hardware(queue, setup);
    VirtualCaptureService service(queue, setup, hardware);

    std::vector<float> a(4800), b(4800);
    setup.apps[0].signal.render(0, 0, 4800, 48000, a.data());
    setup.apps[1].signal.render(0, 0, 4800, 48000, b.data());

    CaptureFilter one;
    one.includedApplication = "org.example.B";
    auto onlyB = capture(service, hardware, queue, one);
    EXPECT_TRUE(onlyB.allAt48k);
    EXPECT_EQ(onlyB.buffers, 4800 / 128);

    service.setDeliversInterleaved(true);
    CaptureFilter all;
    all.excludedApplications = {kOwnBundleIdentifier};
    auto both = capture(service, hardware, queue, all);
    ASSERT_GE(both.channels[1].size(), 4000u);
    ASSERT_GE(onlyB.channels[0].size(), 4000u);
    // The streams ran over different stretches of the program's clock; compare by time.
    EXPECT_NEAR(onlyB.channels[0][100], b[100], 1e-6);  // the first stream opened at time 0
    const std::size_t offset = 4800 + 2400;             // the second stream opened after 0.15 s
    for (std::size_t i = 0; i < 1000; i += 37) {
        const std::size_t t = (offset + i) % 4800;  // both sines repeat every 48 frames
        EXPECT_NEAR(both.channels[1][i], a[t] + b[t], 1e-5) << i;
    }

    setup.screenCapturePermission = false;
    service.setPermission(false);
    std::string error;
    EXPECT_FALSE(service.makeStream(one, CaptureConfiguration{}, &error));
    EXPECT_EQ(error, "Screen capture permission denied");
}

}  // namespace
}  // namespace qv
