#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Audio/Platform/CaptureService.h"
#include "Foundation/MainQueue.h"

namespace qv {

class PulseContext;
class PulseEventPipe;

// Capture of application and system audio from the sound server.
//
// The shareable content is one display (id 1) and the applications that have playback streams
// right now, this program left out; an application may appear once per stream. An application's
// identity comes from its stream's properties, else from its client's: the bundle identifier is
// application.id or else the process binary, the name application.name or else the binary.
//
// A capture stream has a connection and an event thread of its own; it connects in the
// background, and startCapture's completion runs once it listens. It records each matching
// playback stream on its sink's monitor, limited to that one stream, and mixes them into
// interleaved float buffers of 128 frames at the configured rate and channel count (48 kHz
// stereo by default), delivered on that thread. Streams that start later are taken in, streams
// that end are dropped, and a stream that moves to another sink is followed there. This
// program's own playback is never captured. When the server goes away the capture reconnects by
// itself in the background, waiting a little longer each time (0.25 s doubling up to 4 s), and
// picks up the matching streams again. A stream may be stopped or dropped from any thread but its
// own event thread (so not from inside its sample handler); it is started on the main thread.
//
// The event thread asks for real-time scheduling once connected. It never posts to the main
// queue: whether the capture listens, could not connect or lost its connection travels as a
// small event through a queue allocated once, which a main-queue timer empties every 10 ms
// while a capture runs (PulseEvents.h).
class PulseCaptureService final : public CaptureService {
  public:
    explicit PulseCaptureService(MainQueue& queue);
    ~PulseCaptureService() override;
    PulseCaptureService(const PulseCaptureService&) = delete;
    PulseCaptureService& operator=(const PulseCaptureService&) = delete;

    // Connects in the background on first use and again after the server went away, and
    // answers on the main queue once the server did (the reason when none answers).
    void getShareableContent(ContentCompletion completion) override;
    // Null and a reason only for a configuration the server cannot record.
    std::shared_ptr<CaptureStream> makeStream(const CaptureFilter& filter,
                                              const CaptureConfiguration& configuration,
                                              std::string* error) override;
    // Follows clients and playback streams on the control connection (made now when there is
    // none, and again by the next content request after the server went away); a burst of
    // changes is told once, 100 ms after its first.
    void watchApplications(std::function<void()> changed) override;

  private:
    struct ContentQuery;
    struct Watch;
    bool connectControl(std::string* reason);
    void subscribe();
    // Control thread: a client or playback stream came or went.
    void applicationsChanged();
    void controlConnected(bool isReady, const std::string& reason);
    void ask(std::unique_ptr<ContentQuery> query);
    void dropControl();
    void finish(ContentQuery* query);

    MainQueue& queue_;
    std::shared_ptr<PulseEventPipe> events_;  // shared with the capture streams
    std::unique_ptr<PulseContext> control_;
    // Touched with the control connection's lock held: queries waiting for the server's lists,
    // and those waiting for the connection itself.
    std::vector<std::unique_ptr<ContentQuery>> queries_;
    std::vector<std::unique_ptr<ContentQuery>> waiting_;
    bool isConnecting_ = false;
    std::shared_ptr<Watch> watch_;  // main thread; its flag on the control thread too
};

}  // namespace qv
