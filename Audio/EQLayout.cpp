#include "Audio/EQLayout.h"

#include <array>

namespace qv {
namespace {

constexpr float kElevenBandFrequencies[11] = {32,   64,   125,  250,   500,  1000,
                                              2000, 4000, 8000, 16000, 20000};

}  // namespace

void shapeEQ(EQNode& node, const EQSettings& settings) {
    std::array<EQFilterParameters, EQNode::kBandCount> bands;
    for (int i = 0; i < node.bandCount(); ++i) {
        bands[static_cast<std::size_t>(i)] = node.band(i);
        bands[static_cast<std::size_t>(i)].bypass = true;
    }
    auto set = [&](int index, EQFilterType type, float frequency, float bandwidth, float gain) {
        bands[static_cast<std::size_t>(index)] =
            EQFilterParameters{type, frequency, bandwidth, gain, false};
    };
    switch (settings.eqType.get()) {
        case EQType::bands11: {
            const auto& gains = settings.eqBands.get();
            for (int i = 0; i < 11; ++i) {
                if (i >= node.bandCount() || i >= static_cast<int>(gains.size())) {
                    break;
                }
                set(i, EQFilterType::parametric, kElevenBandFrequencies[i], 1.0f,
                    gains[static_cast<std::size_t>(i)]);
            }
            break;
        }
        case EQType::bands3:
            if (node.bandCount() < 3) {
                break;
            }
            set(0, EQFilterType::lowShelf, 80.0f, 1.0f, settings.eqLowGain.get());
            set(1, EQFilterType::parametric, 1000.0f, 1.5f, settings.eqMidGain.get());
            set(2, EQFilterType::highShelf, 8000.0f, 1.0f, settings.eqHighGain.get());
            break;
        case EQType::bands2:
            if (node.bandCount() < 2) {
                break;
            }
            set(0, EQFilterType::lowShelf, 80.0f, 1.0f, settings.eqLowGain.get());
            set(1, EQFilterType::highShelf, 8000.0f, 1.0f, settings.eqHighGain.get());
            break;
    }
    node.setBypass(!settings.eqEnabled.get());
    node.setBands(bands);
}

}  // namespace qv
