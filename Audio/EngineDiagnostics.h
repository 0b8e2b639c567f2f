#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/DeviceTypes.h"
#include "Audio/Platform/EQNode.h"
#include "Foundation/MainQueue.h"
#include "Foundation/Uuid.h"

namespace qv {

// What an equaliser runs now.
struct EQDiagnostics {
    bool bypass = true;
    std::array<EQFilterParameters, EQNode::kBandCount> bands{};
};

// One bus's graph as it runs now.
struct BusDiagnostics {
    int busId = 0;
    bool hasGraph = false;
    bool isRunning = false;       // running, or its streams still opening
    DeviceID device = kNoDevice;  // what the graph's output is bound to
    float mixerVolume = 0.0f;     // linear
    double delaySeconds = 0.0;
    float delayWetDryMix = 0.0f;  // percent
    float delayFeedback = 0.0f;   // percent
    bool delayBypass = true;
    EQDiagnostics eq;
    bool isWatched = false;  // its configuration changes are observed
    bool isRecoveryPending = false;
    std::optional<std::string> awaitedDeviceUID;  // the device it waits to bind to again
};

// One channel's chain on one bus, and its hand-over from the capture.
struct ChannelBusDiagnostics {
    int busId = 0;
    bool isFlowing = false;            // audio passes (the hand-over is primed)
    double latencyFrames = 0;          // the hand-over's smoothed delay
    double settledLatencyFrames = 0;   // the delay it holds, once settled
    double ratio = 1.0;                // input frames per output frame
    std::uint64_t dropouts = 0;        // times it ran dry while flowing
    std::uint64_t underrunFrames = 0;  // frames read as silence
    std::uint64_t overrunFrames = 0;   // frames overwritten before they were read
    std::optional<EQDiagnostics> eq;
};

// What plays one channel.
struct ChannelDiagnostics {
    Uuid channelId;
    bool isLowLatency = false;
    bool hasConverter = false;
    bool isCapturingMicrophone = false;        // a capture graph runs for it
    bool hasAppCapture = false;                // a capture stream delivers to it
    bool isAppCaptureStarting = false;         // a capture stream is being started for it
    std::vector<ChannelBusDiagnostics> buses;  // in bus id order

    const ChannelBusDiagnostics* bus(int id) const {
        for (const auto& b : buses) {
            if (b.busId == id) {
                return &b;
            }
        }
        return nullptr;
    }
};

// A snapshot of what the engine runs, as plain values: for logs, statistics and tests.
struct EngineDiagnostics {
    int nextBusId = 0;
    bool hasMeterTimer = false;
    bool hasIdleCheckTimer = false;
    bool isDeviceListWatched = false;
    bool isDeviceListRefreshPending = false;
    Seconds lastAudioActivity = 0;
    std::optional<DeviceID> idleMonitorDevice;  // while the level monitor is installed
    std::vector<DeviceID> wakeListenerDevices;  // devices with a wake listener installed
    std::uint64_t droppedMeterValues = 0;
    std::vector<BusDiagnostics> buses;         // in bus id order
    std::vector<ChannelDiagnostics> channels;  // in channel order

    const BusDiagnostics* bus(int id) const {
        for (const auto& b : buses) {
            if (b.busId == id) {
                return &b;
            }
        }
        return nullptr;
    }
    const ChannelDiagnostics* channel(const Uuid& id) const {
        for (const auto& c : channels) {
            if (c.channelId == id) {
                return &c;
            }
        }
        return nullptr;
    }
};

}  // namespace qv
