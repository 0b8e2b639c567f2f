#pragma once

#include <vector>

#include "Audio/MixerTypes.h"
#include "Foundation/Observable.h"

namespace qv {

// The equaliser settings a channel and a bus share: the layout, the switch and the gains in dB
// (low, mid and high for the 2- and 3-band layouts, one per band for the 11-band layout, lowest
// band first). Observable fields of the owner.
class EQSettings {
  public:
    explicit EQSettings(ObservableObject* owner)
        : eqType(owner, EQType::bands3),
          eqEnabled(owner, false),
          eqLowGain(owner, 0.0f),
          eqMidGain(owner, 0.0f),
          eqHighGain(owner, 0.0f),
          eqBands(owner, std::vector<float>(11, 0.0f)) {}
    EQSettings(const EQSettings&) = delete;
    EQSettings& operator=(const EQSettings&) = delete;

    Published<EQType> eqType;
    Published<bool> eqEnabled;
    Published<float> eqLowGain;
    Published<float> eqMidGain;
    Published<float> eqHighGain;
    Published<std::vector<float>> eqBands;
};

}  // namespace qv
