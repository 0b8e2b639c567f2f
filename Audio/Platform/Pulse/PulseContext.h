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
// threads takes the lock (Lock) around every call into the connection.
class PulseContext {
  public:
    // Connects to the server named by PULSE_SERVER (or the default one) and waits until the
    // connection is ready. Never starts a server. Null and a reason when none answers within
    // `timeout`. `role` names the connection in the server's client list.
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

    // Called on the loop thread once when the connection fails or the server goes away.
    void setFailureHandler(std::function<void()> handler);
    bool isReady() const;

    // Waits (lock held, not on the loop thread) until the operation is done; unrefs it.
    // False when the connection failed meanwhile or the operation was null.
    bool wait(pa_operation* operation);
    // Wakes a thread waiting in wait() or waitFor(); loop thread, lock held.
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    // Waits (lock held) until `done` is true, the connection failed or `timeout` passed.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Stops the event thread; no callback runs once it returns. Owners call it before they let
    // go of the connection, so that a late callback never finds their pointer to it empty. Not
    // on the loop thread.
    void stopEvents();

    // The text of the connection's last error.
    std::string lastError() const;

  private:
    PulseContext() = default;
    static void onState(pa_context* context, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::function<void()> failureHandler_;
    bool failed_ = false;
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
