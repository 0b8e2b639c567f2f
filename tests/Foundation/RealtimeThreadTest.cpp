// Real-time scheduling as the system grants or refuses it. Each case runs in a child process of
// its own, with RLIMIT_RTPRIO set for it and, when this process is privileged, as an unprivileged
// user, so that the limit is what decides; the first request of each child is its own.

#include <grp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include "Foundation/Log.h"
#include "Foundation/RealtimeThread.h"

namespace qv {
namespace {

constexpr int kSkipped = 77;

// Whether this process holds a capability (as /proc tells).
bool hasCapability(int capability) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("CapEff:")) {
            return (std::stoull(line.substr(7), nullptr, 16) >> capability & 1) != 0;
        }
    }
    return false;
}
constexpr int kSysNice = 23;  // CAP_SYS_NICE

// How a child is set up: RLIMIT_RTPRIO, and whether it keeps this process's privilege (the
// child of a privileged process otherwise runs as an unprivileged user, so the limit decides).
struct ChildSetup {
    rlim_t soft = 0;
    rlim_t hard = 0;
    bool isPrivileged = false;
};

// Runs `body` in a child set up so; what it found wrong (empty when nothing), or nothing when
// a child cannot be set up that way here.
std::optional<std::string> inChild(const ChildSetup& setup,
                                   const std::function<std::string()>& body) {
    if (setup.isPrivileged && !hasCapability(kSysNice)) {
        return std::nullopt;
    }
    int channel[2];
    if (::pipe(channel) != 0) {
        return "no pipe";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channel[0]);
        const rlimit limit{setup.soft, setup.hard};
        bool isSetUp = ::setrlimit(RLIMIT_RTPRIO, &limit) == 0;
        if (isSetUp && !setup.isPrivileged && ::geteuid() == 0) {
            isSetUp = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        }
        if (!isSetUp || (!setup.isPrivileged && hasCapability(kSysNice))) {
            ::_exit(kSkipped);
        }
        const std::string problems = body();
        [[maybe_unused]] auto written = ::write(channel[1], problems.data(), problems.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string problems;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        problems.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        problems += " (the child did not finish)";
    }
    return problems;
}

// The calling thread's policy (without the reset-on-fork flag) and priority.
std::pair<int, int> scheduling() {
    sched_param parameters{};
    ::sched_getparam(0, &parameters);
    return {::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, parameters.sched_priority};
}

std::string check(bool condition, const std::string& problem) {
    return condition ? "" : problem + "; ";
}

TEST(RealtimeThread, TheLimitDecidesThePriorityAndTheOutcomeIsLoggedOnce) {
    const std::string refused =
        "⚠️ Real-time scheduling not granted (Operation not permitted; RLIMIT_RTPRIO 0, "
        "priority " +
        std::to_string(kAudioThreadPriority) + " asked) - audio threads run at normal priority";
    const std::string granted = "✅ Real-time scheduling for audio threads";
    struct Case {
        const char* name;
        ChildSetup setup;
        bool isGranted;
        int priority;  // of the promoted thread
        long limit;    // the soft limit afterwards
        std::string line;
    };
    const Case cases[] = {
        {"no real-time priority allowed", {0, 0}, false, 0, 0, refused},
        {"the soft limit is raised to a hard limit below ours", {0, 2}, true, 2, 2, granted},
        {"the soft limit is raised only as far as we ask",
         {0, 50},
         true,
         kAudioThreadPriority,
         kAudioThreadPriority,
         granted},
        {"a soft limit that allows more is left alone",
         {30, 50},
         true,
         kAudioThreadPriority,
         30,
         granted},
        {"a privileged process needs no limit",
         {0, 0, true},
         true,
         kAudioThreadPriority,
         0,
         granted},
    };
    std::vector<std::string> skipped;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto problems = inChild(c.setup, [&c] {
            LogCapture log;
            logRealtimeOutcome();
            std::string p = check(log.lines().empty(), "logged before anything asked");
            const bool isGranted = promoteToRealtime("test thread");
            p += check(isGranted == c.isGranted, "granted " + std::to_string(isGranted));
            const auto [policy, priority] = scheduling();
            p += check(policy == (c.isGranted ? SCHED_FIFO : SCHED_OTHER),
                       "policy " + std::to_string(policy));
            p += check(priority == c.priority, "priority " + std::to_string(priority));
            rlimit limit{};
            ::getrlimit(RLIMIT_RTPRIO, &limit);
            p += check(static_cast<long>(limit.rlim_cur) == c.limit,
                       "soft limit " + std::to_string(limit.rlim_cur));
            // Asking again, and logging again, changes nothing.
            promoteToRealtime("test thread");
            logRealtimeOutcome();
            logRealtimeOutcome();
            p += check(log.lines() == std::vector<std::string>{c.line},
                       "logged " + std::to_string(log.lines().size()) +
                           " lines: " + (log.lines().empty() ? "" : log.lines()[0]));
            const auto outcome = realtimeOutcome();
            p += check(outcome && outcome->isGranted == c.isGranted, "the kept outcome differs");
            return p;
        });
        if (!problems) {
            skipped.push_back(c.name);
            continue;
        }
        EXPECT_EQ(*problems, "");
    }
    for (const auto& name : skipped) {
        std::cout << "not possible here: " << name << "\n";
    }
    if (skipped.size() == std::size(cases)) {
        GTEST_SKIP() << "no child could be set up";
    }
}

TEST(RealtimeThread, AThreadIsPromotedByTheThreadThatStartedIt) {
    auto promoted = [] {
        std::atomic<bool> isPromoted{false};
        std::pair<int, int> seen;
        std::thread worker([&] {
            while (!isPromoted.load()) {
                std::this_thread::yield();
            }
            seen = scheduling();
        });
        const bool isGranted = promoteToRealtime(worker, "worker");
        isPromoted = true;
        worker.join();
        std::string p = check(isGranted, "refused");
        p += check(seen == std::pair<int, int>{SCHED_FIFO, kAudioThreadPriority},
                   "the worker runs with policy " + std::to_string(seen.first) + " at " +
                       std::to_string(seen.second));
        p += check(scheduling().first == SCHED_OTHER, "the starting thread was promoted too");
        std::thread done;
        p += check(!promoteToRealtime(done, "none"), "a thread that does not run was promoted");
        return p;
    };
    auto problems = inChild({0, 10}, promoted);
    if (!problems) {
        problems = inChild({0, 0, true}, promoted);
    }
    if (!problems) {
        GTEST_SKIP() << "neither the limit nor a privilege allows real-time scheduling here";
    }
    EXPECT_EQ(*problems, "");
}

}  // namespace
}  // namespace qv
