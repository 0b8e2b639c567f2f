#pragma once

#include <optional>
#include <string>

#include "Audio/EQSettings.h"
#include "Audio/MixerTypes.h"
#include "Foundation/Observable.h"

namespace qv {

// One output bus: the device it plays on and its fader, mute, equaliser and delay. Its graph
// lives in the engine, keyed by `id`.
class OutputBus : public ObservableObject, public EQSettings {
  public:
    OutputBus(int busId, std::string busName)
        : EQSettings(this), id(busId), name(this, std::move(busName)) {}
    OutputBus(const OutputBus&) = delete;
    OutputBus& operator=(const OutputBus&) = delete;

    const int id;
    Published<std::string> name;
    Published<float> faderLevel{this, 0.0f};  // dB
    Published<bool> isMuted{this, false};
    Published<float> meterLevel{this, -60.0f};  // dB
    Published<float> peakLevel{this, -60.0f};   // dB
    Published<float> delayMs{this, 0.0f};
    Published<std::optional<AudioOutputDevice>> outputDevice{this, std::nullopt};
};

}  // namespace qv
