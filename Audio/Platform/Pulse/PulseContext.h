#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qv {

// One connection to the sound server with its own event thread (a threaded main loop). Every
// stream we open gets a connection of its own, so each bus renders on a thread of its own.
//
// Server callbacks run on the connection's thread with the loop's lock held. Code on other
// threads takes the lock (Lock) around every call into the connection; the lock is only ever
// held for one of our own callbacks, never for a server reply, so taking it does not wait for
// the server.
//
// A connection is made in two steps: create() makes it without touching the server, so that
// its owner can keep it and set its handlers first; start() begins connecting on the event
// thread and returns at once. Nothing else here waits, except connect() and waitFor(), which
// the startup of the device layer and tests use.
class PulseContext {
  public:
    // Event thread: the outcome of start(). `error` tells why it did not get ready: the
    // server's error code, or kNoAnswer (describe() words either).
    using ReadyHandler = std::function<void(bool isReady, int error)>;
    static constexpr int kNoAnswer = PA_ERR_TIMEOUT;
    // The words for an error a ready handler or the server reported.
    static std::string describe(int error);

    // A connection that has not begun to connect. Null and a reason when none can be made.
    // `role` names the connection in the server's client list.
    static std::unique_ptr<PulseContext> create(const std::string& role, std::string* error);
    // Begins connecting to the server named by PULSE_SERVER (or the default one) and starts the
    // event thread; returns at once. Never starts a server. `done` runs once on the event
    // thread: ready, or failed or not ready within `timeout`. False (and `done` never runs)
    // when connecting cannot even begin. Once per connection, before the event thread runs.
    bool start(std::chrono::milliseconds timeout, ReadyHandler done);
    // Creates, starts and waits until the connection is ready. Null and a reason when none
    // answers within `timeout`. Waits: only for startup and tests, never from a running main
    // loop.
    static std::unique_ptr<PulseContext> connect(const std::string& role,
                                                 std::chrono::milliseconds timeout,
                                                 std::string* error);
    // Stops the event thread first (see stopEvents).
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }

    // Holds the loop's lock (a no-op on the loop's own thread, which holds it already).
    class Lock {
      public:
        explicit Lock(const PulseContext& c);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* loop_;
        bool locked_;
    };

    // Called on the loop thread once when a ready connection fails or the server goes away
    // (a connection that never got ready tells its start() handler instead).
    void setFailureHandler(std::function<void()> handler);
    bool isReady() const;

    // Runs `expired` once on the event thread `timeout` from now unless cleared or replaced
    // first. Event thread, or lock held.
    void setDeadline(std::chrono::milliseconds timeout, std::function<void()> expired);
    void clearDeadline();

    // Wakes a thread waiting in waitFor(); loop thread, lock held.
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    // Waits (lock held, not on the loop thread) until `done` is true, the connection failed or
    // `timeout` passed. Counted in blockingWaits() unless a WaitsAllowed scope is open.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // How many times a thread has waited for a server outside a WaitsAllowed scope, since the
    // program started. The device layer's calls never add to it.
    static int blockingWaits();
    // While one lives, waits on this thread are expected (the startup before the main loop).
    class WaitsAllowed {
      public:
        WaitsAllowed();
        ~WaitsAllowed();
        WaitsAllowed(const WaitsAllowed&) = delete;
        WaitsAllowed& operator=(const WaitsAllowed&) = delete;
    };

    // Stops the event thread; no callback runs once it returns. Owners call it before they let
    // go of the connection, so that a late callback never finds their pointer to it empty. Not
    // on the loop thread.
    void stopEvents();

    // The text of the connection's last error.
    std::string lastError() const;

  private:
    PulseContext() = default;
    static void onState(pa_context* context, void* self);
    // Event thread: hands the outcome of start() over once.
    void finishStart(bool isReady, int error);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::function<void()> failureHandler_;
    ReadyHandler readyHandler_;
    pa_time_event* connectTimer_ = nullptr;
    pa_time_event* deadline_ = nullptr;
    std::function<void()> deadlineHandler_;
    bool failed_ = false;
    bool isBeginning_ = false;  // inside start()'s own call into the server
    bool isStopped_ = false;
};

// What the server tells about a client or stream's application.
struct PulseApplicationIdentity {
    std::string bundleIdentifier;  // application.id, else application.process.binary
    std::string name;              // application.name, else the binary
    std::int32_t processID = 0;    // application.process.id, 0 if unknown
};
PulseApplicationIdentity applicationIdentity(const pa_proplist* properties);

// Whether a client or stream with these properties belongs to this program.
bool isOwnApplication(const pa_proplist* properties);

// A property's text, or empty.
std::string propertyText(const pa_proplist* properties, const char* key);

}  // namespace qv
