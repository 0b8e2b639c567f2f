#include "Audio/MixerState.h"

namespace qv {

std::shared_ptr<InputChannel> MixerState::channel(const Uuid& id) const {
    for (const auto& c : inputChannels.get()) {
        if (c->id == id) {
            return c;
        }
    }
    return nullptr;
}

std::shared_ptr<OutputBus> MixerState::bus(int id) const {
    for (const auto& b : outputBusses.get()) {
        if (b->id == id) {
            return b;
        }
    }
    return nullptr;
}

}  // namespace qv
