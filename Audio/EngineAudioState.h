#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "Audio/Platform/AudioPCMBuffer.h"
#include "Foundation/MpscQueue.h"
#include "Foundation/Uuid.h"

namespace qv {

// A value measured on an audio thread, waiting to be applied on the main thread.
struct MeterMessage {
    enum class Kind : std::uint8_t { channelLevel, busLevel, audioActivity, monitorWake };
    Kind kind = Kind::channelLevel;
    Uuid channelId;
    int busId = 0;         // the device id for a monitor wake
    float level = -80.0f;  // dB
};

// What audio threads share with the engine: the solo flag, the wake threshold, and the
// hand-over of meter values and activity marks to the main thread. Capture streams and render
// blocks keep it alive, so it may outlive the engine. Every operation here may run on any
// thread and never blocks, allocates or frees.
class EngineAudioState {
  public:
    static constexpr std::size_t kMeterQueueCapacity = 4096;
    // A channel level above this counts as audio activity, dB.
    static constexpr float kActivityThreshold = -50.0f;

    std::atomic<bool> hasSoloActive{false};
    // The eco wake threshold for the idle monitor (dB) and whether the monitor has fired.
    std::atomic<float> ecoWakeThreshold{-60.0f};
    std::atomic<bool> idleMonitorTriggered{false};

    // Measuring: the level of channel 0 (RMS, dB) goes to the main thread, in order. A channel
    // level above kActivityThreshold also marks audio activity.
    void updateChannelMeter(const Uuid& channel, const AudioPCMBuffer& buffer);
    void updateChannelMeterDirect(const Uuid& channel, const float* samples, std::int64_t count);
    void updateBusMeterFromBuffer(int busId, const AudioPCMBuffer& buffer);
    void updateBusMeterDirect(int busId, const float* samples, std::int64_t count);
    void markAudioActivity();

    // A full queue drops the value and counts it.
    void post(const MeterMessage& message) {
        if (!queue_.push(message)) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Main thread.
    std::optional<MeterMessage> pop() { return queue_.pop(); }
    std::uint64_t droppedMeterValues() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    static_assert(std::atomic<bool>::is_always_lock_free);
    static_assert(std::atomic<float>::is_always_lock_free);
    MpscQueue<MeterMessage, kMeterQueueCapacity> queue_;
    std::atomic<std::uint64_t> dropped_{0};
};

// The level of `count` samples in dB: RMS, floored at 0.0001 (−80 dB). Nothing when there are
// no samples. Any thread; does not allocate.
std::optional<float> measureLevel(const float* samples, std::int64_t count);

}  // namespace qv
