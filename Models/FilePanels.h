#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qv {

// What the save panel shows: title, the label of the name field, the proposed file name and the
// folder it opens in. Only JSON files are offered.
struct SavePanelRequest {
    std::string title;
    std::string nameFieldLabel;
    std::string initialName;
    std::string directory;
};

struct OpenPanelRequest {
    std::string title;
    std::optional<std::string> directory;  // the panel's default folder when empty
};

// The file panels, shown without blocking. Each completion runs once on the main thread with
// the chosen absolute path, or nothing when the user cancelled. Main thread.
class FilePanels {
  public:
    virtual ~FilePanels() = default;
    virtual void showSavePanel(const SavePanelRequest& request,
                               std::function<void(std::optional<std::string> path)> done) = 0;
    virtual void showOpenPanel(const OpenPanelRequest& request,
                               std::function<void(std::optional<std::string> path)> done) = 0;
};

}  // namespace qv
