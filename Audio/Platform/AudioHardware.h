#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/DeviceTypes.h"

namespace qv {

// Why the device layer refused or could not do something.
enum class AudioError : int {
    deviceNotFound = 1,     // no such device, or it has gone
    wrongDirection = 2,     // the device has no input (or no output) to open
    unsupportedRate = 3,    // the device cannot run at that rate
    serverUnreachable = 4,  // the sound server does not answer
    streamRefused = 5,      // the server or the device would not run the stream
    deviceBusy = 6,         // another program holds the device
    streamNotStarted = 7,   // the server took the stream but never ran it (nothing links it)
};

// The outcome of an operation of the device layer: success, or the error.
class [[nodiscard]] AudioResult {
  public:
    AudioResult() = default;
    AudioResult(AudioError error) : error_(error) {}  // NOLINT: an error is a result

    bool ok() const { return !error_; }
    // Only for a failure.
    AudioError error() const { return *error_; }
    // The number log lines give for the failure (0 for success).
    int code() const { return error_ ? static_cast<int>(*error_) : 0; }
    // A sentence for the log, in plain words ("the device is not available").
    std::string description() const;

    bool operator==(const AudioResult&) const = default;

  private:
    std::optional<AudioError> error_;
};
std::string describe(AudioError error);
std::ostream& operator<<(std::ostream& out, const AudioResult& result);

enum class Direction { input, output };

struct RateRange {
    double minimum = 0;
    double maximum = 0;
};

// Device properties that can be read (and fail), or watched.
enum class DeviceProperty {
    streamConfiguration,
    nominalSampleRate,
    availableRateCount,
    availableRates,
    uid,
    name,
    transport,
    alive,
    runningSomewhere,
};

// Output: fill `frames` frames of every channel (non-interleaved float32, at the device's rate).
// Called on the device's render thread: no allocation, no locks, no logging.
using OutputRenderCallback =
    std::function<void(float* const* channels, int channelCount, int frames, double sampleRate)>;
// Input: one buffer of captured audio (non-interleaved float32 at the device's rate), on the
// device's capture thread.
using InputCaptureCallback = std::function<void(const float* const* channels, int channelCount,
                                                int frames, double sampleRate)>;

// What a stream tells its owner besides audio.
struct StreamEvents {
    // The device configuration changed underneath the stream (device gone, rate changed,
    // stream broken or moved). May run on any thread.
    std::function<void()> onConfigurationChange;
    // A stream that start() accepted could not open after all. Main queue.
    std::function<void(AudioResult failure)> onStartFailure;
    // A stream that start() left opening in the background runs now. Main queue. A stream
    // that runs as soon as start() returns tells nothing more.
    std::function<void()> onStarted;
};

// A stream of one device. Created stopped.
class AudioStream {
  public:
    virtual ~AudioStream() = default;
    // Returns at once: success when the stream runs or is opening in the background (a later
    // failure arrives through onStartFailure), else why it cannot start.
    virtual AudioResult start() = 0;
    // After it returns the stream's callbacks are not called again.
    virtual void stop() = 0;
    // Running, or opening after a successful start().
    virtual bool isRunning() const = 0;
    // Still opening in the background after a successful start() (onStarted follows).
    virtual bool isOpening() const { return false; }
};

// The machine's audio devices. Every read can fail: it returns an empty optional and the
// caller takes its fallback. Main thread unless noted; no call waits for a sound server.
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    // Every device id, in the device layer's order.
    virtual std::optional<std::vector<DeviceID>> deviceIDs() const = 0;
    // The channel count of each stream buffer in the direction; an empty list when the device
    // has none there.
    virtual std::optional<std::vector<std::uint32_t>> streamConfiguration(
        DeviceID device, Direction direction) const = 0;
    // An empty text stands for an unset one.
    virtual std::optional<std::string> deviceUID(DeviceID device) const = 0;
    virtual std::optional<std::string> deviceName(DeviceID device) const = 0;
    virtual std::optional<Transport> transport(DeviceID device) const = 0;
    // Hz.
    virtual std::optional<double> nominalSampleRate(DeviceID device) const = 0;
    // How many rate ranges the device offers, then the ranges themselves.
    virtual std::optional<std::size_t> availableSampleRateCount(DeviceID device) const = 0;
    virtual std::optional<std::vector<RateRange>> availableSampleRates(DeviceID device) const = 0;
    virtual AudioResult setNominalSampleRate(DeviceID device, double rate) = 0;
    // The device exists and works.
    virtual std::optional<bool> isAlive(DeviceID device) const = 0;
    // Some other client runs a stream on the device.
    virtual std::optional<bool> isRunningSomewhere(DeviceID device) const = 0;

    // Listeners. `block` runs on the main queue after the change. Return 0 on failure.
    using ListenerID = std::uint64_t;
    // Devices appeared or went away.
    virtual ListenerID addDeviceListListener(std::function<void()> block) = 0;
    // One property of one device changed (nominalSampleRate, alive or runningSomewhere).
    virtual ListenerID addPropertyListener(DeviceID device, DeviceProperty property,
                                           std::function<void()> block) = 0;
    virtual void removeListener(ListenerID id) = 0;

    // Streams. The output stream asks `render` for audio at the device's rate; the input
    // stream delivers buffers of `framesPerBuffer` frames. Both return null (and set `error`)
    // when the device cannot be opened.
    virtual std::unique_ptr<AudioStream> openOutputStream(DeviceID device,
                                                          OutputRenderCallback render,
                                                          StreamEvents events,
                                                          AudioError* error) = 0;
    virtual std::unique_ptr<AudioStream> openInputStream(DeviceID device,
                                                         std::uint32_t framesPerBuffer,
                                                         InputCaptureCallback capture,
                                                         StreamEvents events,
                                                         AudioError* error) = 0;

    // I/O procedures: a callback on the device's I/O thread with its input, the samples of
    // every channel interleaved (float32). Must not allocate, lock or log.
    using IOProcID = std::uint64_t;
    using IOProc = std::function<void(const float* samples, std::size_t byteSize)>;
    // The procedure's id, or nothing and the error. A procedure that startIOProc accepted but
    // that could not open after all reports it through `onStartFailure` (main queue).
    virtual std::optional<IOProcID> createIOProc(
        DeviceID device, IOProc proc, AudioError* error,
        std::function<void(AudioResult failure)> onStartFailure = {}) = 0;
    virtual AudioResult startIOProc(DeviceID device, IOProcID id) = 0;
    // After it returns the procedure is not running and will not be called again.
    virtual void stopIOProc(DeviceID device, IOProcID id) = 0;
    virtual void destroyIOProc(DeviceID device, IOProcID id) = 0;

    // Whether graphs can capture at all.
    virtual bool canCapture() const { return true; }
    // Seconds on the clock this layer's audio threads share, so that when a capture delivered
    // and when a render asks can be told on one timeline. Any thread; never waits. By default
    // the steady clock.
    virtual double audioClockNow() const;
    // How late this layer's audio threads may run, at worst, now and then: the scheduling
    // jitter that hand-overs between its streams keep a margin for, seconds. By default that of
    // threads a desktop schedules.
    virtual double schedulingJitter() const { return 0.004; }
    // Whether a graph's input or output can be bound to the device: by default where it has
    // channels in that direction.
    virtual AudioResult bindResult(DeviceID device, Direction direction) const;
};

}  // namespace qv
