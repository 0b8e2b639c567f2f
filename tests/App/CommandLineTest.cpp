#include <gtest/gtest.h>

#include "App/CommandLine.h"

namespace qv {
namespace {

TEST(CommandLine, AcceptsTheDocumentedOptions) {
    auto r = parseCommandLine({"--headless", "--devices", "d.json", "--power-mode", "ecoSleep",
                               "--preset", "p.json", "--save-preset", "s.json"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_TRUE(r.options->headless);
    EXPECT_EQ(r.options->devicesFile, "d.json");
    EXPECT_EQ(r.options->powerMode, PowerMode::ecoSleep);
    EXPECT_EQ(r.options->presetFile, "p.json");
    EXPECT_EQ(r.options->savePresetFile, "s.json");

    auto render = parseCommandLine({"--devices", "d.json", "--render", "2.5", "--out", "o"});
    ASSERT_TRUE(render.options) << render.error;
    EXPECT_EQ(render.options->renderSeconds, 2.5);
    EXPECT_EQ(render.options->outDir, "o");
}

TEST(CommandLine, RefusesUsageErrorsWithAReason) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--devices"}, "--devices needs a file or folder"},
        {{"--devices", "--headless"}, "--devices needs a file or folder"},
        {{"--power-mode", "turbo"}, "unknown power mode 'turbo' (use alwaysOn, eco or ecoSleep)"},
        {{"--devices", "d", "--render", "abc", "--out", "o"},
         "--render needs a positive number of seconds, not 'abc'"},
        {{"--devices", "d", "--render", "-1", "--out", "o"},
         "--render needs a positive number of seconds, not '-1'"},
        {{"--devices", "d", "--render", "2"}, "--render needs --out DIR"},
        {{"--render", "2", "--out", "o"}, "--render needs --devices FILE"},
        {{"--out", "o"}, "--out is only used with --render"},
    };
    for (const auto& [args, message] : cases) {
        auto r = parseCommandLine(args);
        EXPECT_FALSE(r.options) << message;
        EXPECT_EQ(r.error, message);
    }
}

}  // namespace
}  // namespace qv
