#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/AudioHardware.h"
#include "Audio/Platform/Virtual/DevicesFile.h"
#include "Foundation/MainQueue.h"

namespace qv {

// In-process audio devices built from a VirtualSetup. Device ids start at 100 in setup order
// and are never reused. Listener blocks are always posted to the main queue.
//
// Nothing moves by itself: a VirtualTimeDriver (virtual time, calling thread) or a
// RealTimeDriver (its own thread) runs the I/O cycles. Output streams render `periodFrames()`
// frames per cycle at their device's rate; input streams deliver their device's signal in
// buffers of `framesPerBuffer` frames. Every output device plays (silence without a running
// stream), several streams on one device are summed, and what it plays can be recorded.
//
// Threads: everything except the driver side runs on the main thread, under a mutex that only
// the main side takes. The driver never locks, waits, allocates or frees: it works from an
// immutable table of devices and running streams that the main thread publishes after each
// change and the driver takes with an atomic exchange at the start of each call; replaced
// tables return to the main thread and are freed there. Grids, scratch buffers and recordings
// are written by the driver only and survive the swaps.
//
// The stopping rule: once AudioStream::stop(), the stream's destructor, removeDevice() or
// breakStreams() returns, the stream's callbacks have finished and are not called again (until
// a later start()). The driver marks itself inside a stream before it checks that the stream
// still runs; stopping clears the running mark and then waits, spinning, only while the driver
// is inside that very stream's callbacks. So the main thread may wait a moment for one callback,
// the driver never waits for the main thread. Callbacks must not call back into this object.
class VirtualAudioHardware final : public AudioHardware {
  public:
    VirtualAudioHardware(MainQueue& queue, const VirtualSetup& setup);
    ~VirtualAudioHardware() override;
    VirtualAudioHardware(const VirtualAudioHardware&) = delete;
    VirtualAudioHardware& operator=(const VirtualAudioHardware&) = delete;

    std::optional<std::vector<DeviceID>> deviceIDs() const override;
    std::optional<std::vector<std::uint32_t>> streamConfiguration(
        DeviceID device, Direction direction) const override;
    std::optional<std::string> deviceUID(DeviceID device) const override;
    std::optional<std::string> deviceName(DeviceID device) const override;
    std::optional<Transport> transport(DeviceID device) const override;
    std::optional<double> nominalSampleRate(DeviceID device) const override;
    std::optional<std::size_t> availableSampleRateCount(DeviceID device) const override;
    std::optional<std::vector<RateRange>> availableSampleRates(DeviceID device) const override;
    // Fails with unsupportedRate for a rate outside every available range. A change notifies
    // the device's open streams (configuration change) and its nominalSampleRate listeners.
    AudioResult setNominalSampleRate(DeviceID device, double rate) override;
    std::optional<bool> isAlive(DeviceID device) const override;
    std::optional<bool> isRunningSomewhere(DeviceID device) const override;

    ListenerID addDeviceListListener(std::function<void()> block) override;
    ListenerID addPropertyListener(DeviceID device, DeviceProperty property,
                                   std::function<void()> block) override;
    void removeListener(ListenerID id) override;

    // Null with deviceNotFound for an unknown device, with wrongDirection for a device without
    // that direction. Streams start at once (never in the background).
    std::unique_ptr<AudioStream> openOutputStream(DeviceID device, OutputRenderCallback render,
                                                  StreamEvents events, AudioError* error) override;
    std::unique_ptr<AudioStream> openInputStream(DeviceID device, std::uint32_t framesPerBuffer,
                                                 InputCaptureCallback capture, StreamEvents events,
                                                 AudioError* error) override;

    // A stream of generated audio that belongs to no device (application capture): `source`
    // renders frames [start, start + frames) of one channel; buffers of `framesPerBuffer` frames
    // arrive through `capture` on the driver's cycle at `rate`. Null for bad arguments.
    using SignalSource = std::function<void(int channel, std::int64_t startFrame, int frames,
                                            double rate, float* out)>;
    std::unique_ptr<AudioStream> openSignalStream(double rate, int channels, int framesPerBuffer,
                                                  SignalSource source,
                                                  InputCaptureCallback capture);

    // Devices appearing and disappearing. addDevice returns the new id, or kNoDevice for a
    // device without input or output, with 0 channels, or with a uid already present.
    // Removing a device notifies device-list and alive listeners; its open streams get their
    // configuration change callback and stop delivering.
    DeviceID addDevice(const VirtualDeviceSpec& spec);
    bool removeDevice(DeviceID device);
    // Every stream of the device stops as if its connection broke (the device stays); each
    // gets its configuration change callback.
    bool breakStreams(DeviceID device);
    std::optional<DeviceID> deviceForUID(const std::string& uid) const;
    // Another client starting or stopping I/O on the device; notifies its listeners.
    void setRunningSomewhere(DeviceID device, bool isRunning);

    // I/O procedures run on the driver's cycle with the device's period.
    std::optional<IOProcID> createIOProc(
        DeviceID device, IOProc proc, AudioError* error,
        std::function<void(AudioResult failure)> onStartFailure = {}) override;
    AudioResult startIOProc(DeviceID device, IOProcID id) override;
    void stopIOProc(DeviceID device, IOProcID id) override;
    void destroyIOProc(DeviceID device, IOProcID id) override;
    void failIOProcCreate(DeviceID device, AudioError error);
    void failIOProcStart(DeviceID device, AudioError error);
    std::size_t ioProcCount() const;

    bool canCapture() const override;
    // The time of the boundary the driver runs (see runCycle).
    double audioClockNow() const override;
    // None in virtual time; the real-time driver sets what real threads see.
    double schedulingJitter() const override;
    void setSchedulingJitter(double seconds);
    AudioResult bindResult(DeviceID device, Direction direction) const override;

    // Failure injection, until clearFailures().
    void setCaptureAvailable(bool isAvailable);
    void failBind(DeviceID device, AudioError error);
    void failRead(DeviceID device, DeviceProperty property);
    void failDeviceListRead();
    void failSetRate(DeviceID device, AudioError error);
    void failStreamStart(DeviceID device, AudioError error);
    void clearFailures();

    // Frames rendered per output cycle (default 128).
    int periodFrames() const;
    void setPeriodFrames(int frames);

    // Records what every output device plays from now on: exactly
    // round(seconds × rate × (1 + clockPpm / 1e6)) frames per device, preallocated (silence
    // where nothing played yet).
    void enableRecording(Seconds seconds);
    // Planar, the device's output channel count; empty for an unknown device.
    std::vector<std::vector<float>> recording(DeviceID device) const;
    // How many frames of the recording were played so far.
    std::size_t recordedFrames(DeviceID device) const;
    // Writes DIR/<uid>.wav (32-bit float, device rate and channels) for every output device.
    bool writeRecordings(const std::string& dir, std::string* error) const;

    // Driver side (VirtualTimeDriver, RealTimeDriver; any one thread). Each output device and
    // each running input stream has a grid of period boundaries at integer frame counts of its
    // device's rate. `now` is the driver's clock in seconds.
    //
    // Starts the grid of every device and stream that has none at `now`, and starts again at
    // `now` every grid whose next boundary is more than `maxLate` seconds behind it.
    void scheduleCycles(Seconds now, Seconds maxLate);
    // Drops every grid; the next scheduleCycles starts them all. Any thread (one atomic).
    void restartCycles();
    // The earliest scheduled boundary, if any.
    std::optional<Seconds> nextCycleTime() const;
    // Runs every boundary due at or before `time`: input streams deliver first (in stream id
    // order), then output devices render (in id order, each summing its streams in id order).
    // None of these three allocates, frees, locks or waits.
    void runCycle(Seconds time);

  private:
    struct Core;  // shared with open streams, so a stream may outlive this object
    class Stream;

    std::shared_ptr<Core> core_;
    struct IOProcEntry;
    std::map<IOProcID, std::unique_ptr<IOProcEntry>> ioProcs_;  // main thread
    IOProcID nextIOProcID_ = 1;
};

}  // namespace qv
