#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Audio/Platform/AudioNode.h"
#include "Audio/Platform/AudioPCMBuffer.h"
#include "Foundation/SpscQueue.h"

namespace qv {

// Plays scheduled buffers in the order they were scheduled; silence when nothing is queued or
// while stopped. Buffers are scheduled from one thread at a time (a capture thread or the main
// thread) and handed to the render thread without locks; played buffers travel back to the
// scheduling side and are freed there, never on the render thread.
class PlayerNode final : public AudioNode {
  public:
    static constexpr std::size_t kQueueCapacity = 256;

    ~PlayerNode() override;

    // Appends a buffer (internal format, stereo or mono). Returns false and drops it when the
    // queue is full.
    bool scheduleBuffer(std::unique_ptr<AudioPCMBuffer> buffer);
    // Main thread.
    void play() { playing_.store(true, std::memory_order_release); }
    // Main thread: stops and forgets every queued buffer.
    void stop();
    bool isPlaying() const { return playing_.load(std::memory_order_acquire); }
    // Frames that must be queued before playback starts or resumes after running dry, so that
    // a producer with another period than the render thread never leaves gaps. 0 plays at once.
    // A player with a minimum that still runs dry (a producer or device more irregular than
    // expected) grows its own margin each time: kMarginStep frames at first, then twice what it
    // had, up to kLargestMargin.
    void setMinimumQueuedFrames(std::uint32_t frames) {
        minimumQueued_.store(frames, std::memory_order_relaxed);
    }
    std::uint32_t minimumQueuedFrames() const {
        return minimumQueued_.load(std::memory_order_relaxed);
    }
    static constexpr std::uint32_t kMarginStep = 256;
    static constexpr std::uint32_t kLargestMargin = 960;  // 20 ms at the internal rate
    // Such a player also keeps its delay from creeping up (a backlog after a stall): when for
    // kTrimWindow frames of playback the queue never held less than the minimum, the margin and
    // kTrimSlack frames more, it skips the excess once from the oldest audio.
    static constexpr std::uint32_t kTrimWindow = 96000;  // 2 s at the internal rate
    static constexpr std::uint32_t kTrimSlack = 256;
    // The margin added to the minimum so far (any thread).
    std::uint32_t addedMargin() const { return margin_.load(std::memory_order_relaxed); }
    // Frames scheduled and not yet played (any thread).
    std::uint64_t queuedFrames() const { return queuedFrames_.load(std::memory_order_acquire); }
    // Buffers scheduled and not yet played (approximate, any thread).
    std::size_t queuedBufferCount() const { return incoming_.sizeApprox(); }

    bool acceptsInputs() const override { return false; }
    // Render thread.
    void render(const float* const* inputs, float* const* outputs, int frames) override;

  private:
    struct Entry {
        AudioPCMBuffer* buffer = nullptr;
        std::uint64_t generation = 0;
    };
    void freePlayed();

    SpscQueue<Entry, kQueueCapacity> incoming_;
    SpscQueue<AudioPCMBuffer*, kQueueCapacity * 2> played_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::size_t> outstanding_{0};
    std::atomic<bool> playing_{false};
    std::atomic<std::uint32_t> minimumQueued_{0};
    std::atomic<std::uint32_t> margin_{0};  // written on the render thread
    std::atomic<std::uint64_t> queuedFrames_{0};

    // Render-thread state.
    Entry current_{};
    std::uint32_t position_ = 0;
    bool isPrimed_ = false;
    std::uint64_t lowestQueued_ = UINT64_MAX;  // over the current trim window
    std::uint32_t windowPlayed_ = 0;
    std::atomic<std::uint64_t> trimmedFrames_{0};

  public:
    // Frames skipped so far to keep the delay down (any thread).
    std::uint64_t trimmedFrames() const { return trimmedFrames_.load(std::memory_order_relaxed); }
};

}  // namespace qv
