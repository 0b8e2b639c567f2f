#pragma once

#include <optional>
#include <set>
#include <string>

#include "Audio/EQSettings.h"
#include "Audio/MixerTypes.h"
#include "Foundation/Observable.h"
#include "Foundation/Uuid.h"

namespace qv {

// One input channel strip: its settings and what it shows. Published fields are written on the
// main thread; the numbers and flags among them are atomics, so capture and render threads
// read them without locks. What plays the channel lives in the engine, keyed by `id`.
class InputChannel : public ObservableObject, public EQSettings {
  public:
    explicit InputChannel(std::string channelName)
        : EQSettings(this), name(this, std::move(channelName)) {}
    InputChannel(const InputChannel&) = delete;
    InputChannel& operator=(const InputChannel&) = delete;

    const Uuid id = Uuid::random();
    Published<std::string> name;
    Published<bool> gainEnabled{this, false};
    Published<float> inputGain{this, 0.0f};  // dB
    Published<bool> faderEnabled{this, false};
    Published<float> faderLevel{this, 0.0f};  // dB
    Published<bool> panEnabled{this, false};
    Published<float> pan{this, 0.0f};  // -1 left … +1 right
    Published<bool> isMuted{this, false};
    Published<bool> isSolo{this, false};
    Published<float> meterLevel{this, -60.0f};  // dB
    Published<float> peakLevel{this, -60.0f};   // dB
    // The buses this channel feeds; a new channel feeds bus 1.
    Published<std::set<int>> busAssignments{this, std::set<int>{1}};

    // The source bound now (none while stopped), and what describes it for a later restore.
    InputSourceType sourceType = InputSourceType::none;
    std::optional<DeviceID> sourceDeviceID;
    std::optional<std::string> sourceDeviceUID;
    std::optional<std::string> sourceAppBundleId;
    // What is wrong with the source, for the strip ("Device lost"); none while it is healthy.
    Published<std::optional<std::string>> sourceError{this, std::nullopt};

    // Linear gain from the input gain and the fader, each only when enabled. Any thread.
    float linearGain() const;
};

}  // namespace qv
