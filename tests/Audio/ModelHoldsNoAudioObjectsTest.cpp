// What a view sees of the model: the channel and bus headers bring no audio-graph type with
// them. Should one of them come in, the definitions below clash with it and this file no
// longer compiles.
#include <gtest/gtest.h>

#include "Audio/InputChannel.h"
#include "Audio/OutputBus.h"

namespace qv {

struct AudioGraph {};
struct AudioNode {};
struct PlayerNode {};
struct SourceNode {};
struct EQNode {};
struct MixerNode {};
struct DelayNode {};
struct AudioPCMBuffer {};
struct AudioRingBuffer {};
struct SampleRateConverter {};
struct AudioStream {};
struct CaptureStream {};

namespace {

TEST(ModelHoldsNoAudioObjects, ChannelsAndBusesAreSettingsOnly) {
    InputChannel channel("Input 1");
    OutputBus bus(1, "Bus 1");
    channel.eqEnabled = true;
    bus.eqEnabled = true;
    EXPECT_TRUE(channel.eqEnabled.get() && bus.eqEnabled.get());
    EXPECT_EQ(channel.linearGain(), 1.0f);
}

}  // namespace
}  // namespace qv
