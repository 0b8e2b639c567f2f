#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "Audio/ClockBridge.h"
#include "Audio/EngineAudioState.h"
#include "Audio/InputChannel.h"
#include "Foundation/RcuCell.h"

namespace qv {

class AudioHardware;

// Where a channel's audio goes, as capture and render threads see it: the buses it is assigned
// to and the hand-over ring of every bus it has a chain on. Republished whole by the main
// thread.
struct ChannelRoutes {
    std::vector<int> assignedBuses;                                       // sorted
    std::vector<std::pair<int, std::shared_ptr<AudioRingBuffer>>> rings;  // by bus id

    bool isAssigned(int busId) const;
};

// What capture and render threads use of one channel: its settings, its routes, the audio
// clock and the meter hand-over. Shared with the threads, so it lives as long as the last of
// them holds it. Nothing here waits, allocates or frees.
class ChannelFeed {
  public:
    ChannelFeed(std::shared_ptr<InputChannel> channel, std::shared_ptr<EngineAudioState> state,
                const AudioHardware& clock)
        : channel_(std::move(channel)), state_(std::move(state)), clock_(clock) {}

    const InputChannel& channel() const { return *channel_; }
    EngineAudioState& state() const { return *state_; }
    const RcuCell<ChannelRoutes>& routes() const { return routes_; }
    double now() const;
    // The scheduling jitter of the audio threads, seconds.
    double jitter() const;

    // Main thread: a capture that starts takes a session; ending it turns away whatever the
    // capture still delivers while it stops.
    std::uint64_t beginSession() { return session_.fetch_add(1) + 1; }
    void endSession() { session_.fetch_add(1); }

    // Capture thread: `count` frames at 48 kHz, stereo, as captured (no gain), into the
    // hand-over of every bus the channel has a chain on, assigned or not; the render side
    // decides what is heard. Dropped when the session is over, or while another capture of the
    // channel is still delivering (there is one writer per ring).
    void deliver(std::uint64_t session, const float* left, const float* right,
                 std::int64_t count) const;

  private:
    friend class ChannelRouting;
    std::shared_ptr<InputChannel> channel_;
    std::shared_ptr<EngineAudioState> state_;
    const AudioHardware& clock_;
    RcuCell<ChannelRoutes> routes_;
    std::atomic<std::uint64_t> session_{0};
    mutable std::atomic<bool> isDelivering_{false};
};

// One channel on one bus, as the bus's render thread plays it: the hand-over from the channel's
// capture, through a clock bridge to the bus's clock, then the channel's gain, fader, pan, mute,
// solo and assignment. Every change of those reaches the audio as a linear ramp of kRampFrames
// frames from where the gain is, so nothing steps, at any period size.
class ChannelBusInput {
  public:
    static constexpr int kRampFrames = 480;  // 10 ms at 48 kHz

    ChannelBusInput(std::shared_ptr<ChannelFeed> feed, int busId);
    ChannelBusInput(const ChannelBusInput&) = delete;
    ChannelBusInput& operator=(const ChannelBusInput&) = delete;

    int busId() const { return busId_; }
    const std::shared_ptr<AudioRingBuffer>& ring() const { return ring_; }
    const ClockBridge& bridge() const { return bridge_; }

    // Render thread: fills both planes (left, right) with `frames` frames.
    void render(float* left, float* right, int frames);

  private:
    struct Gains {
        float left = 0;
        float right = 0;
        bool operator==(const Gains&) const = default;
    };
    // What the channel's settings ask for on this bus now.
    Gains target() const;
    void applyGains(const Gains& wanted, float* left, float* right, int frames);

    std::shared_ptr<ChannelFeed> feed_;
    int busId_;
    std::shared_ptr<AudioRingBuffer> ring_;
    ClockBridge bridge_;

    // Render thread.
    Gains current_;
    Gains target_;
    Gains step_;
    int rampLeft_ = 0;
};

// The gain law: the input gain and the fader, each only when enabled, as one linear factor; and
// the constant-power pan law on top, when panning applies (enabled and more than 0.001 from the
// centre). A factor within 0.001 of unity without panning counts as exactly 1.
struct ChannelGains {
    float left;
    float right;
};
ChannelGains channelGains(const InputChannel& channel);

}  // namespace qv
