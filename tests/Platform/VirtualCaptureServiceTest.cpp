#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Audio/Platform/Virtual/VirtualCaptureService.h"
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
    VirtualCaptureService service(queue, setup);

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
    VirtualCaptureService service(queue, setup);

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

}  // namespace
}  // namespace qv
