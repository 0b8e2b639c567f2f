#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Audio/Platform/AudioHardware.h"
#include "Foundation/MainQueue.h"

namespace qv {

// The sound server's sinks and sources as audio devices. Every sink is an output device and
// every source (monitors included) an input device.
//
// A control connection watches the server and keeps a table of its objects, which the main
// thread reads; reads never wait for the server. Ids are handed out from 100 up, unique across
// sinks and sources, and stay the same while the server object lives; an object that comes
// back after it went away gets a new id. Listener blocks always run on the main queue.
//
// Every stream has a connection and an event thread of its own: an output stream renders in
// its thread's write callback, an input stream delivers its buffers there. Input streams and
// I/O procedures that lose their source (unplugged, server restart) open again by themselves
// when a source of the same name comes back.
//
// When the server goes away the table keeps the last known devices (alive reads fail until the
// server answers again), the connection is tried again with back-off, and once it is back the
// device-list listeners and the configuration-change callback of every output stream fire.
//
// Threads: every call is made on the main thread, and none waits for the server. Connecting,
// reconnecting and opening streams run on the connections' own threads; their outcomes come
// back on the main queue. A stream's start() returns at once (the stream is then opening and
// counts as running); an opening that fails later reaches the stream's onStartFailure on the
// main queue, and the stream is stopped. Stopping or dropping a stream takes its connection's
// lock for at most one of our own callbacks; once it returns, no callback of the stream (render,
// capture, configuration change, start failure) runs again.
//
// A stream's connection thread is also its render or capture thread, so it never allocates,
// locks, logs or posts a closure on the stream's account. It asks for real-time scheduling once
// connected, before the stream is created and so before any audio callback (the outcome is
// logged once, on the main thread); it runs our part of every write and read callback with
// denormals flushed to zero, marked as a real-time scope. What becomes of a stream (its opening
// failed, it was moved or suspended, it broke, the server went) travels to the main thread as a
// small event through a queue allocated once (PulseEvents.h); a main-queue timer, every 10 ms
// while a stream is open, turns the events into the stream's callbacks. A configuration change
// or a late start failure therefore arrives up to one tick after the fact, and never for a
// stream that was stopped meanwhile.
class PulseAudioHardware final : public AudioHardware {
  public:
    // Connects to the server named by PULSE_SERVER (or the default one). Never starts a server.
    // Null and a reason when none answers within `timeoutSeconds` (connecting, then listing the
    // devices, may each take that long). The only call of the device layer that waits for the
    // server: it runs once at startup to decide whether there is a server at all, and must not
    // be called from a running main loop.
    static std::unique_ptr<PulseAudioHardware> connect(MainQueue& queue, std::string* error,
                                                       double timeoutSeconds = 2.0);
    ~PulseAudioHardware() override;
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

    std::optional<std::vector<DeviceID>> deviceIDs() const override;
    std::optional<std::vector<std::uint32_t>> streamConfiguration(
        DeviceID device, Direction direction) const override;
    std::optional<std::string> deviceUID(DeviceID device) const override;
    std::optional<std::string> deviceName(DeviceID device) const override;
    std::optional<Transport> transport(DeviceID device) const override;
    std::optional<double> nominalSampleRate(DeviceID device) const override;
    // Clients cannot retune a device: one range at the current rate.
    std::optional<std::size_t> availableSampleRateCount(DeviceID device) const override;
    std::optional<std::vector<RateRange>> availableSampleRates(DeviceID device) const override;
    AudioResult setNominalSampleRate(DeviceID device, double rate) override;
    std::optional<bool> isAlive(DeviceID device) const override;
    // Some client other than this program has an uncorked stream on the device.
    std::optional<bool> isRunningSomewhere(DeviceID device) const override;

    ListenerID addDeviceListListener(std::function<void()> block) override;
    ListenerID addPropertyListener(DeviceID device, DeviceProperty property,
                                   std::function<void()> block) override;
    void removeListener(ListenerID id) override;

    // Float32 playback stream on the sink at its own rate and channel count, buffered for about
    // 20 ms. The configuration change fires when the sink disappears, the stream is moved,
    // killed or suspended, or the server goes away or comes back.
    std::unique_ptr<AudioStream> openOutputStream(DeviceID device, OutputRenderCallback render,
                                                  StreamEvents events, AudioError* error) override;
    // Float32 record stream on the source at its own rate and channel count.
    std::unique_ptr<AudioStream> openInputStream(DeviceID device, std::uint32_t framesPerBuffer,
                                                 InputCaptureCallback capture, StreamEvents events,
                                                 AudioError* error) override;

    // I/O procedures are record streams delivering one period at a time.
    std::optional<IOProcID> createIOProc(
        DeviceID device, IOProc proc, AudioError* error,
        std::function<void(AudioResult failure)> onStartFailure = {}) override;
    AudioResult startIOProc(DeviceID device, IOProcID id) override;
    void stopIOProc(DeviceID device, IOProcID id) override;
    void destroyIOProc(DeviceID device, IOProcID id) override;

    // The period of streams started from now on, in frames at the device's rate (default 128).
    void setPeriodFrames(int frames);
    int periodFrames() const;
    // Whether the control connection currently reaches the server.
    bool isConnected() const;

    struct Core;  // shared with open streams, so a stream may outlive this object

  private:
    explicit PulseAudioHardware(std::shared_ptr<Core> core);

    std::shared_ptr<Core> core_;
    struct IOProcEntry;
    std::map<IOProcID, std::unique_ptr<IOProcEntry>> ioProcs_;  // main thread
    IOProcID nextIOProcID_ = 1;
};

}  // namespace qv
