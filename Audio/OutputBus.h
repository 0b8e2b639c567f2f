#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Audio/MixerTypes.h"
#include "Audio/Platform/AudioGraph.h"
#include "Audio/Platform/DelayNode.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/MixerNode.h"
#include "Foundation/Observable.h"

namespace qv {

// One output bus: a device, its own graph, fader, mute, equaliser and delay.
class OutputBus : public ObservableObject {
  public:
    OutputBus(int busId, std::string busName) : id(busId), name(this, std::move(busName)) {}
    OutputBus(const OutputBus&) = delete;
    OutputBus& operator=(const OutputBus&) = delete;

    const int id;
    Published<std::string> name;
    Published<float> faderLevel{this, 0.0f};  // dB
    Published<bool> isMuted{this, false};
    Published<float> meterLevel{this, -60.0f};
    Published<float> peakLevel{this, -60.0f};
    Published<EQType> eqType{this, EQType::bands3};
    Published<float> eqLowGain{this, 0.0f};
    Published<float> eqMidGain{this, 0.0f};
    Published<float> eqHighGain{this, 0.0f};
    Published<std::vector<float>> eqBands{this, std::vector<float>(11, 0.0f)};
    Published<bool> eqEnabled{this, false};
    Published<float> delayMs{this, 0.0f};
    Published<std::optional<AudioOutputDevice>> outputDevice{this, std::nullopt};

    // The bus graph, filled while the bus is bound to a device (main thread).
    std::shared_ptr<AudioGraph> outputEngine;
    std::shared_ptr<MixerNode> mixerNode;
    std::shared_ptr<EQNode> eqNode;
    std::shared_ptr<DelayNode> delayNode;
};

}  // namespace qv
