#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>

#include "Foundation/Log.h"
#include "Models/PresetManager.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Panels that answer with prepared paths and remember what they were asked.
class ScriptedPanels final : public FilePanels {
  public:
    std::deque<std::optional<std::string>> answers;
    std::vector<SavePanelRequest> saves;
    std::vector<OpenPanelRequest> opens;

    void showSavePanel(const SavePanelRequest& request,
                       std::function<void(std::optional<std::string>)> done) override {
        saves.push_back(request);
        done(next());
    }
    void showOpenPanel(const OpenPanelRequest& request,
                       std::function<void(std::optional<std::string>)> done) override {
        opens.push_back(request);
        done(next());
    }

  private:
    std::optional<std::string> next() {
        if (answers.empty())
            return std::nullopt;
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
};

class PresetManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("quorvanta-presets-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    static std::string slurp(const fs::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    MixerPreset preset(std::string name) {
        MixerPreset p;
        p.id = Uuid::random();
        p.name = std::move(name);
        return p;
    }

    fs::path dir;
    LogCapture log;
    MemorySettingsStore settings;
    ScriptedPanels panels;
    PresetManager manager{settings, panels,
                          (fs::temp_directory_path() / "qv-docs" / "Quorvanta Presets").string()};
};

TEST_F(PresetManagerTest, SavingNamesThePresetAfterTheFileAndRemembersIt) {
    const auto path = (dir / "Stream.json").string();
    ASSERT_TRUE(manager.savePreset(preset("Live Set"), path));
    EXPECT_EQ(manager.currentPresetName.get(), "Stream");
    EXPECT_EQ(settings.stringValue("lastPresetPath"), path);
    EXPECT_TRUE(log.contains("✅ Preset saved: " + path));
    auto decoded = decodePreset(slurp(path));
    ASSERT_TRUE(decoded.preset) << decoded.error;
    EXPECT_EQ(decoded.preset->name, "Stream");

    // Loading names the preset after its file too.
    fs::copy_file(path, dir / "Morning.json");
    auto loaded = manager.loadPreset((dir / "Morning.json").string());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->name, "Morning");
    EXPECT_EQ(manager.currentPresetName.get(), "Morning");
    EXPECT_TRUE(log.contains("✅ Preset loaded: Morning"));
}

TEST_F(PresetManagerTest, QuickSaveWritesTheLastFileOrAsksWhenItIsGone) {
    const auto path = (dir / "Show.json").string();
    manager.savePreset(preset("x"), path);
    panels.answers = {};
    manager.quickSave(preset("y"));
    EXPECT_TRUE(panels.saves.empty());
    fs::remove(path);
    panels.answers = {std::nullopt};
    manager.quickSave(preset(""));
    ASSERT_EQ(panels.saves.size(), 1u);
    EXPECT_EQ(panels.saves[0].initialName, "MyPreset");
    EXPECT_EQ(panels.saves[0].title, "Save Mixer Preset");
    EXPECT_EQ(panels.saves[0].nameFieldLabel, "Preset Name:");
    EXPECT_TRUE(fs::is_directory(panels.saves[0].directory));
    EXPECT_FALSE(fs::exists(path));  // cancelled
}

TEST_F(PresetManagerTest, AFailedSaveKeepsTheOldFileAndTheRememberedPath) {
    const auto path = (dir / "Keep.json").string();
    ASSERT_TRUE(manager.savePreset(preset("old"), path));
    const std::string before = slurp(path);
    if (::geteuid() != 0) {
        // A read-only folder: nothing can be created beside the file.
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(manager.savePreset(preset("new"), path));
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    }
    // A value JSON cannot hold fails the whole write.
    auto broken = preset("broken");
    OutputBusPreset bus;
    bus.faderLevel = std::numeric_limits<float>::quiet_NaN();
    broken.outputBuses.push_back(bus);
    settings.setValue("lastPresetPath", SettingValue{std::string("/remembered.json")});
    EXPECT_FALSE(manager.savePreset(broken, path));
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(settings.stringValue("lastPresetPath"), "/remembered.json");
    EXPECT_EQ(manager.currentPresetName.get(), "Keep");
    bool logged = false;
    for (const auto& line : log.lines())
        logged |= line.rfind("❌ Could not save preset: ", 0) == 0;
    EXPECT_TRUE(logged);
    // No temporary file is left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(PresetManagerTest, BadFilesAreRefusedAndChangeNothing) {
    const auto good = (dir / "Good.json").string();
    manager.savePreset(preset("g"), good);
    const std::string text = slurp(good);
    struct Case {
        const char* file;
        std::string content;
        const char* message;
    };
    std::string fractional = text;
    const auto at = fractional.find("Z\"");
    fractional.replace(at, 1, ".123Z");
    const Case cases[] = {
        {"Truncated.json", text.substr(0, text.size() / 2), "❌ Could not decode preset: "},
        {"Fraction.json", fractional, "❌ Could not decode preset: "},
        {"Empty.json", "", "❌ Could not decode preset: "},
    };
    for (const auto& c : cases) {
        std::ofstream(dir / c.file) << c.content;
        log.clear();
        EXPECT_FALSE(manager.loadPreset((dir / c.file).string())) << c.file;
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().back().rfind(c.message, 0), 0u) << c.file;
        EXPECT_EQ(manager.currentPresetName.get(), "Good");
        EXPECT_EQ(settings.stringValue("lastPresetPath"), good);
    }
    EXPECT_FALSE(manager.loadPreset((dir / "Missing.json").string()));
    EXPECT_TRUE(log.contains("❌ Could not read preset file: " + (dir / "Missing.json").string()));

    std::optional<std::optional<MixerPreset>> result;
    panels.answers = {std::nullopt};
    manager.loadPresetWithDialog([&](std::optional<MixerPreset> p) { result = p; });
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_EQ(panels.opens.back().title, "Load Mixer Preset");
}

}  // namespace
}  // namespace qv
