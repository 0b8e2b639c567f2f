#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Audio/InputChannel.h"
#include "Audio/MixerTypes.h"
#include "Audio/OutputBus.h"
#include "Audio/Platform/CaptureService.h"
#include "Foundation/Observable.h"

namespace qv {

// The mixer's observable state: what views show and what the engine's parts share. Changed on
// the main thread only; every change is announced before it is visible.
class MixerState : public ObservableObject {
  public:
    MixerState() = default;
    MixerState(const MixerState&) = delete;
    MixerState& operator=(const MixerState&) = delete;

    Published<std::vector<std::shared_ptr<InputChannel>>> inputChannels{this, {}};
    Published<std::vector<std::shared_ptr<OutputBus>>> outputBusses{this, {}};
    Published<std::vector<AudioOutputDevice>> availableOutputDevices{this, {}};
    Published<std::vector<AudioInputDevice>> availableInputDevices{this, {}};
    Published<std::vector<RunningApplication>> capturableApps{this, {}};
    Published<bool> hasScreenCapturePermission{this, false};
    Published<bool> isRunning{this, false};
    Published<float> masterLevel{this, -60.0f};      // dB
    Published<std::uint32_t> bufferSize{this, 128};  // capture buffer, frames
    Published<PowerMode> powerMode{this, PowerMode::eco};
    Published<bool> isIdleSuspended{this, false};

    std::shared_ptr<InputChannel> channel(const Uuid& id) const;
    std::shared_ptr<OutputBus> bus(int id) const;
};

}  // namespace qv
