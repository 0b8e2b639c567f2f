#include "Models/PresetManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Foundation/Log.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

const char* const kLastPresetPathKey = "lastPresetPath";

std::string baseName(const std::string& path) {
    return fs::path(path).stem().string();
}

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`, so an interrupted save never destroys the file that was there.
bool writeWhole(const std::string& path, const std::string& bytes, std::string* error) {
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    auto failure = [&](const std::string& what) {
        *error = what + ": " + std::strerror(errno);
        return false;
    };
    if (fd < 0) {
        return failure("cannot create a file in " + folder.string());
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int saved = errno;
            ::close(fd);
            ::unlink(pattern.c_str());
            errno = saved;
            return failure("cannot write " + path);
        }
        written += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, 0644);
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        errno = saved;
        return failure("cannot write " + path);
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        errno = saved;
        return failure("cannot replace " + path);
    }
    return true;
}

}  // namespace

PresetManager::PresetManager(SettingsStore& settings, FilePanels& panels, std::string presetsFolder)
    : settings_(settings), panels_(panels), presetsFolder_(std::move(presetsFolder)) {}

void PresetManager::quickSave(const MixerPreset& preset) {
    auto last = settings_.stringValue(kLastPresetPathKey);
    std::error_code ec;
    if (last && fs::is_regular_file(*last, ec)) {
        savePreset(preset, *last);
    } else {
        savePresetWithDialog(preset);
    }
}

void PresetManager::savePresetWithDialog(const MixerPreset& preset) {
    SavePanelRequest request;
    request.title = "Save Mixer Preset";
    request.nameFieldLabel = "Preset Name:";
    request.initialName = preset.name.empty() ? "MyPreset" : preset.name;
    std::error_code ec;
    fs::create_directories(presetsFolder_, ec);  // the panel can still choose another folder
    request.directory = presetsFolder_;
    panels_.showSavePanel(request, [this, preset](std::optional<std::string> path) {
        if (path) {
            savePreset(preset, *path);
        }
    });
}

void PresetManager::loadPresetWithDialog(
    std::function<void(std::optional<MixerPreset>)> completion) {
    OpenPanelRequest request;
    request.title = "Load Mixer Preset";
    std::error_code ec;
    if (fs::is_directory(presetsFolder_, ec)) {
        request.directory = presetsFolder_;
    }
    panels_.showOpenPanel(request, [this, completion](std::optional<std::string> path) {
        completion(path ? loadPreset(*path) : std::nullopt);
    });
}

bool PresetManager::savePreset(MixerPreset preset, const std::string& path) {
    const std::string name = baseName(path);
    preset.name = name;
    auto encoded = encodePreset(preset);
    std::string error = encoded.error;
    if (!encoded.text || !writeWhole(path, *encoded.text, &error)) {
        Log::line("❌ Could not save preset: " + error);
        return false;
    }
    currentPresetName = name;
    settings_.setValue(kLastPresetPathKey, SettingValue{fs::absolute(path).string()});
    Log::line("✅ Preset saved: " + path);
    return true;
}

std::optional<MixerPreset> PresetManager::loadPreset(const std::string& path) {
    std::error_code ec;
    std::ifstream in(path, std::ios::binary);
    if (!fs::is_regular_file(path, ec) || !in) {
        Log::line("❌ Could not read preset file: " + path);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();  // an empty file gives an empty text, which the decoder refuses
    auto decoded = decodePreset(text.str());
    if (!decoded.preset) {
        Log::line("❌ Could not decode preset: " + decoded.error);
        return std::nullopt;
    }
    MixerPreset preset = std::move(*decoded.preset);
    preset.name = baseName(path);
    currentPresetName = preset.name;
    settings_.setValue(kLastPresetPathKey, SettingValue{fs::absolute(path).string()});
    Log::line("✅ Preset loaded: " + preset.name);
    return preset;
}

}  // namespace qv
