#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv {

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;  // 0 = success

inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr AudioObjectID kAudioObjectUnknown = 0;

// Status codes returned by the backends.
inline constexpr OSStatus kAudioNoError = 0;
inline constexpr OSStatus kAudioHardwareBadObjectError = 560947818;          // '!obj'
inline constexpr OSStatus kAudioHardwareUnspecifiedError = 2003329396;       // 'what'
inline constexpr OSStatus kAudioHardwareIllegalOperationError = 1852797029;  // 'nope'
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError = 560226676;    // '!dat'

// A four-character code such as 'usb ' as a 32-bit number (first character in the high byte).
constexpr std::uint32_t fourCharCode(const char (&s)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}
std::optional<std::uint32_t> fourCharCodeFromString(const std::string& text);  // exactly 4 chars
std::string fourCharCodeString(std::uint32_t code);

enum class Scope { global, input, output };

struct RateRange {
    double minimum = 0;
    double maximum = 0;
};

// Device properties the engine reads, watches or writes.
enum class AudioProperty {
    deviceList,           // 'dev#' on the system object
    streamConfiguration,  // 'slay' (input or output scope)
    nominalSampleRate,    // 'nsrt'
    availableRatesSize,   // size of 'nsr#'
    availableRates,       // 'nsr#'
    uid,                  // 'uid '
    name,                 // 'lnam'
    transport,            // 'tran'
    alive,                // 'livn'
    runningSomewhere,     // 'gone'
};

// A running audio stream of one device. Created stopped.
class AudioStream {
  public:
    virtual ~AudioStream() = default;
    // Returns kAudioNoError or a failure status.
    virtual OSStatus start() = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

// Output: fill `frames` frames of every channel (non-interleaved float32, at the device's rate).
// Called on the device's render thread: no allocation, no locks, no logging.
using OutputRenderCallback =
    std::function<void(float* const* channels, int channelCount, int frames, double sampleRate)>;
// Input: one buffer of captured audio (non-interleaved float32 at the device's rate), on the
// device's capture thread.
using InputCaptureCallback = std::function<void(const float* const* channels, int channelCount,
                                                int frames, double sampleRate)>;
// Called when the stream's device configuration changes underneath it (device gone, rate
// changed, stream broken). May run on any thread.
using ConfigurationChangeCallback = std::function<void()>;

// The machine's audio devices. Every read can fail: it returns an empty optional and the
// caller takes its fallback. Main thread unless noted.
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    // 'dev#': every device id, in the device layer's order.
    virtual std::optional<std::vector<AudioObjectID>> deviceIDs() const = 0;
    // 'slay': channel count of each stream buffer in the scope; an empty list is a size of 0.
    virtual std::optional<std::vector<std::uint32_t>> streamConfiguration(AudioObjectID device,
                                                                          Scope scope) const = 0;
    // 'uid ' and 'lnam'; an empty text stands for an empty reference.
    virtual std::optional<std::string> deviceUID(AudioObjectID device) const = 0;
    virtual std::optional<std::string> deviceName(AudioObjectID device) const = 0;
    // 'tran': the transport code, for example fourCharCode("usb ").
    virtual std::optional<std::uint32_t> transportType(AudioObjectID device) const = 0;
    // 'nsrt', Hz.
    virtual std::optional<double> nominalSampleRate(AudioObjectID device) const = 0;
    // Size of 'nsr#' in ranges, then the ranges themselves.
    virtual std::optional<std::size_t> availableSampleRateCount(AudioObjectID device) const = 0;
    virtual std::optional<std::vector<RateRange>> availableSampleRates(
        AudioObjectID device) const = 0;
    // Writes 'nsrt'.
    virtual OSStatus setNominalSampleRate(AudioObjectID device, double rate) = 0;
    // 'livn': the device exists and works.
    virtual std::optional<bool> isAlive(AudioObjectID device) const = 0;
    // 'gone': some client runs an I/O stream on the device.
    virtual std::optional<bool> isRunningSomewhere(AudioObjectID device) const = 0;

    // Property listeners. `block` runs on the main queue after the property changed.
    // `object` is kAudioObjectSystemObject for deviceList. Returns 0 on failure.
    using ListenerID = std::uint64_t;
    virtual ListenerID addPropertyListener(AudioObjectID object, AudioProperty property,
                                           std::function<void()> block) = 0;
    virtual void removePropertyListener(ListenerID id) = 0;

    // Streams. The output stream asks `render` for audio at the device's rate; the input
    // stream delivers buffers of `framesPerBuffer` frames. Both return null (and set `status`)
    // when the device cannot be opened.
    virtual std::unique_ptr<AudioStream> openOutputStream(AudioObjectID device,
                                                          OutputRenderCallback render,
                                                          ConfigurationChangeCallback onChange,
                                                          OSStatus* status) = 0;
    virtual std::unique_ptr<AudioStream> openInputStream(AudioObjectID device,
                                                         std::uint32_t framesPerBuffer,
                                                         InputCaptureCallback capture,
                                                         ConfigurationChangeCallback onChange,
                                                         OSStatus* status) = 0;

    // I/O procedures: a callback on the device's I/O thread with its first input buffer, the
    // samples of every input channel interleaved (float32). Must not allocate, lock or log.
    using IOProcID = std::uint64_t;
    using IOProc = std::function<void(const float* samples, std::size_t byteSize)>;
    // Returns the procedure's id, or nothing and a failure status.
    virtual std::optional<IOProcID> createIOProc(AudioObjectID device, IOProc proc,
                                                 OSStatus* status) = 0;
    virtual OSStatus startIOProc(AudioObjectID device, IOProcID id) = 0;
    // After it returns the procedure is not running and will not be called again.
    virtual void stopIOProc(AudioObjectID device, IOProcID id) = 0;
    virtual void destroyIOProc(AudioObjectID device, IOProcID id) = 0;

    // Whether graphs have an input unit to capture with at all.
    virtual bool hasInputUnit() const { return true; }
    // Binding a graph's input (Scope::input) or output to a device: kAudioNoError, or the
    // status that refuses it. By default a device can be bound where it has channels.
    virtual OSStatus bindStatus(AudioObjectID device, Scope scope) const;

    // A human-readable text for a status code.
    virtual std::string describeStatus(OSStatus status) const;
};

}  // namespace qv
