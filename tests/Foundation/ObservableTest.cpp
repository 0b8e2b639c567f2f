#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Foundation/Observable.h"

namespace qv {
namespace {

struct Model : ObservableObject {
    Published<float> level{this, -60.0f};
    Published<std::string> name{this, "a"};
};

TEST(Published, ObserversAreToldBeforeTheNewValueIsVisible) {
    Model model;
    std::vector<std::string> seen;
    auto objectSub = model.objectWillChange.subscribe(
        [&] { seen.push_back("object sees " + std::to_string(model.level.get())); });
    auto fieldSub = model.level.observe([&](const float& next) {
        seen.push_back("field sees " + std::to_string(model.level.get()) + " -> " +
                       std::to_string(next));
    });
    auto didSub = model.level.observeDidSet(
        [&](const float& now) { seen.push_back("did " + std::to_string(now)); });
    model.level = -6.0f;
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "object sees " + std::to_string(-60.0f));
    EXPECT_EQ(seen[1], "field sees " + std::to_string(-60.0f) + " -> " + std::to_string(-6.0f));
    EXPECT_EQ(seen[2], "did " + std::to_string(-6.0f));
}

TEST(Published, SubscriptionEndsWithItsToken) {
    Model model;
    int calls = 0;
    {
        auto sub = model.name.observe([&](const std::string&) { ++calls; });
        model.name = "b";
    }
    model.name = "c";
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(model.name.get(), "c");
}

TEST(Published, ObserverMayUnsubscribeWhileBeingNotified) {
    Model model;
    int calls = 0;
    Subscription sub;
    sub = model.level.observe([&](const float&) {
        ++calls;
        sub.reset();
    });
    model.level = 1.0f;
    model.level = 2.0f;
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace qv
