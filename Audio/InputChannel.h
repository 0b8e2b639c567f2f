#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Audio/MixerTypes.h"
#include "Audio/Platform/EQNode.h"
#include "Audio/Platform/PlayerNode.h"
#include "Audio/Platform/SourceNode.h"
#include "Foundation/Observable.h"
#include "Foundation/RcuCell.h"

namespace qv {

class AudioRingBuffer;
class SampleRateConverter;

// Where a channel's audio goes, as capture and render threads see it: the buses it is assigned
// to and its attached player chains. Published by the main thread after every change.
struct ChannelRoutes {
    struct Player {
        int busId = 0;
        std::shared_ptr<PlayerNode> node;
    };
    std::vector<int> assignedBuses;                                       // sorted
    std::vector<Player> players;                                          // in bus id order
    std::vector<std::pair<int, std::shared_ptr<AudioRingBuffer>>> rings;  // by bus id

    bool isAssigned(int busId) const {
        for (int id : assignedBuses) {
            if (id == busId) {
                return true;
            }
        }
        return false;
    }
};

// One input channel strip. Published fields are written on the main thread; the numbers and
// flags among them are atomics, so capture and render threads read them without locks.
class InputChannel : public ObservableObject {
  public:
    explicit InputChannel(std::string channelName) : name(this, std::move(channelName)) {
        assignmentsChanged_ =
            busAssignments.observeDidSet([this](const auto&) { publishRoutes(); });
        publishRoutes();
    }
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
    Published<EQType> eqType{this, EQType::bands3};
    Published<bool> eqEnabled{this, false};
    Published<float> eqLowGain{this, 0.0f};
    Published<float> eqMidGain{this, 0.0f};
    Published<float> eqHighGain{this, 0.0f};
    Published<std::vector<float>> eqBands{this, std::vector<float>(11, 0.0f)};
    Published<std::set<int>> busAssignments{this, std::set<int>{1}};

    InputSourceType sourceType = InputSourceType::none;
    std::optional<DeviceID> sourceDeviceID;
    std::optional<std::string> sourceDeviceUID;
    std::optional<std::string> sourceAppBundleId;
    Published<std::optional<std::string>> sourceError{this, std::nullopt};

    // Per-bus nodes, keyed by bus id (main thread).
    std::map<int, std::shared_ptr<PlayerNode>> busPlayerNodes;
    std::map<int, std::shared_ptr<SourceNode>> busSourceNodes;
    std::map<int, std::shared_ptr<EQNode>> busEQNodes;
    std::map<int, std::shared_ptr<AudioRingBuffer>> busRingBuffers;
    bool useLowLatencyPath = false;
    std::shared_ptr<SampleRateConverter> sampleRateConverter;

    Published<std::vector<std::shared_ptr<AUEffectSlot>>> auEffects{this, {}};

    // Linear gain from the input gain and the fader, each only when enabled. Any thread.
    float linearGain() const {
        float g = 1.0f;
        if (gainEnabled.get()) {
            g = std::pow(10.0f, inputGain.get() / 20.0f);
        }
        if (faderEnabled.get()) {
            g *= std::pow(10.0f, faderLevel.get() / 20.0f);
        }
        return g;
    }

    // Routes for audio threads; republished by the engine whenever busPlayerNodes or
    // busRingBuffers change and here whenever busAssignments does. Main thread.
    RcuCell<ChannelRoutes> routes;
    void publishRoutes() {
        auto next = std::make_unique<ChannelRoutes>();
        const auto& assigned = busAssignments.get();
        next->assignedBuses.assign(assigned.begin(), assigned.end());
        for (const auto& [busId, node] : busPlayerNodes) {
            next->players.push_back({busId, node});
        }
        for (const auto& [busId, ring] : busRingBuffers) {
            next->rings.emplace_back(busId, ring);
        }
        routes.publish(std::move(next));
    }

  private:
    Subscription assignmentsChanged_;
};

}  // namespace qv
