#pragma once

#include <optional>
#include <string>
#include <thread>

namespace qv {

// Real-time scheduling for the threads that render or capture audio.
//
// Each such thread asks once, when it starts and before its first audio callback, for
// first-in first-out scheduling (SCHED_FIFO) at a modest priority. The priority stays within
// the process's RLIMIT_RTPRIO: a soft limit below it is raised as far as the hard limit allows,
// and the priority is lowered to the limit when the limit is lower still; a privileged process
// (CAP_SYS_NICE) gets it whatever the limit. When the system refuses, the thread runs on at the
// priority it had. Children forked by a promoted thread start at normal priority.
//
// Asking never logs and takes no lock: the outcome of the first request in the process is kept,
// and the main side writes it to the log once with logRealtimeOutcome(), so no audio thread
// ever logs.

// The priority asked for: above every normally scheduled thread, below the sound server's own
// threads (PulseAudio takes 5 by default; its documentation recommends staying below JACK's 9
// and 10), so the server that feeds the devices always runs first.
inline constexpr int kAudioThreadPriority = 4;

// The calling thread asks for real-time scheduling; whether it was granted. `what` names the
// thread (for the system's thread lists, at most 15 characters kept).
bool promoteToRealtime(const char* what);
// The same for another thread of this process, asked by the thread that started it.
bool promoteToRealtime(std::thread& thread, const char* what);

// What the first request of the process found.
struct RealtimeOutcome {
    bool isGranted = false;
    int priority = 0;         // granted, or asked for
    long limit = 0;           // RLIMIT_RTPRIO's soft limit after any raise (-1: unlimited)
    int error = 0;            // errno of the refusal
    std::string description;  // the log line
};
// Nothing before any thread has asked.
std::optional<RealtimeOutcome> realtimeOutcome();

// Main thread: writes the first request's outcome to the log, once per process: "✅ Real-time
// scheduling for audio threads", or "⚠️ Real-time scheduling not granted (why) - audio threads
// run at normal priority". Does nothing before any thread has asked, or once it has logged.
// Cheap enough to call on every tick of a main-queue timer.
void logRealtimeOutcome();

}  // namespace qv
