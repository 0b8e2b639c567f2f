#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Foundation/Observable.h"
#include "Foundation/SettingsStore.h"
#include "Models/FilePanels.h"
#include "Models/PresetFormat.h"

namespace qv {

// Preset files: the save and open panels, reading and writing, the current preset's name and
// the remembered path of the last preset file ("lastPresetPath"). Main thread.
class PresetManager : public ObservableObject {
  public:
    // `presetsFolder` is the "Quorvanta Presets" folder inside the user's documents folder.
    PresetManager(SettingsStore& settings, FilePanels& panels, std::string presetsFolder);

    Published<std::string> currentPresetName{this, "Untitled"};

    // Saves into the last preset file when it still exists, otherwise asks where.
    void quickSave(const MixerPreset& preset);
    void savePresetWithDialog(const MixerPreset& preset);
    // The completion runs once: the loaded preset, or nothing (cancelled or unreadable).
    void loadPresetWithDialog(std::function<void(std::optional<MixerPreset>)> completion);

    // Writes the preset, named after the file, to `path` (replacing a file there only once the
    // new one is complete). Returns whether it was saved.
    bool savePreset(MixerPreset preset, const std::string& path);
    // Reads a preset file; its name becomes the file's base name.
    std::optional<MixerPreset> loadPreset(const std::string& path);

    const std::string& presetsFolder() const { return presetsFolder_; }

  private:
    SettingsStore& settings_;
    FilePanels& panels_;
    std::string presetsFolder_;
};

}  // namespace qv
