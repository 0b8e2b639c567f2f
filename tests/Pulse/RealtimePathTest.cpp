// The audio threads of the device layer and of the capture service run our code without
// allocating, releasing or locking, and with denormals flushed to zero: four buses render a
// sine, a microphone, a level monitor and an application capture run for several seconds while
// the captured stream moves to another sink, a bus's sink is suspended and the server restarts.
// Only our part of each callback is counted (RealtimeScope), never the client library's.

#include <gtest/gtest.h>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "Audio/Platform/Pulse/PulseAudioHardware.h"
#include "Audio/Platform/Pulse/PulseCaptureService.h"
#include "Foundation/Log.h"
#include "Foundation/RealtimeScope.h"
#include "Foundation/RealtimeThread.h"
#include "tests/Support/PulseServer.h"
#include "tests/Support/RealtimeAllocations.h"
#include "tests/Support/RealtimeLocks.h"
#include "tests/Support/TimedMainQueue.h"

namespace qv {
namespace {

using namespace qv::testing;
using namespace std::chrono_literals;

// Whether the calling thread flushes denormals to zero (and treats them as zero).
bool flushesDenormals() {
#if defined(__SSE__) || defined(__x86_64__)
    return (_mm_getcsr() & 0x8040) == 0x8040;
#else
    return true;
#endif
}

// A number for the calling thread that no other thread of the run gets (thread ids are reused
// once a thread ends).
std::uint64_t threadSerial() {
    static std::atomic<std::uint64_t> last{0};
    thread_local const std::uint64_t serial = ++last;
    return serial;
}

void resetCounters() {
    RealtimeAllocations::reset();
    RealtimeLocks::reset();
}

TEST(RealtimeCounters, SeeAllocationsReleasesAndLocksInsideAScopeOnly) {
    struct Case {
        const char* where;
        bool isScoped;
        long expected;
    };
    const Case cases[] = {
        {"outside any scope", false, 0},
        {"inside a scope", true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        std::mutex mutex;
        resetCounters();
        {
            std::optional<RealtimeScope> scope;
            if (c.isScoped) {
                scope.emplace();
            }
            // Through a volatile pointer, so the compiler cannot leave the pair out.
            static void* volatile block = nullptr;
            block = ::operator new(16);
            ::operator delete(block);
            std::lock_guard lock(mutex);
        }
        EXPECT_EQ(RealtimeAllocations::allocations.load(), c.expected);
        EXPECT_EQ(RealtimeAllocations::releases.load(), c.expected);
        EXPECT_EQ(RealtimeLocks::locks.load(), c.expected);
    }
}

// What one callback saw, counted on its own threads (one per opening of its stream).
struct Path {
    std::atomic<std::int64_t> frames{0};
    std::atomic<int> unscoped{0};   // calls outside a real-time scope, where one is expected
    std::atomic<int> denormals{0};  // calls that did not flush denormals
    std::atomic<int> changes{0};    // configuration changes (outputs)
    std::array<std::atomic<std::uint64_t>, 32> threads{};
    std::atomic<std::size_t> threadCount{0};
    std::int64_t load() const { return frames.load(); }

    void note(std::int64_t count, bool expectsScope) {
        if (expectsScope && !RealtimeScope::isActive()) {
            ++unscoped;
        }
        if (!flushesDenormals()) {
            ++denormals;
        }
        thread_local const Path* noted = nullptr;
        if (noted != this) {
            noted = this;
            const std::size_t i = threadCount.fetch_add(1);
            if (i < threads.size()) {
                threads[i] = threadSerial();
            }
        }
        frames += count;
    }
};

// A main queue that writes down every thread that posted to it.
class WatchedQueue final : public MainQueue {
  public:
    void post(std::function<void()> task) override {
        note();
        queue_.post(std::move(task));
    }
    TaskHandle postAfter(Seconds delay, std::function<void()> task) override {
        note();
        return queue_.postAfter(delay, std::move(task));
    }
    TaskHandle scheduleRepeating(Seconds interval, std::function<void()> tick) override {
        note();
        return queue_.scheduleRepeating(interval, std::move(tick));
    }
    Seconds now() const override { return queue_.now(); }
    void advance(Seconds dt) { queue_.advance(dt); }

    bool hasPosted(std::uint64_t thread) const {
        std::lock_guard lock(mutex_);
        return posters_.contains(thread);
    }

  private:
    void note() {
        std::lock_guard lock(mutex_);
        posters_.insert(threadSerial());
    }

    TimedMainQueue queue_;
    mutable std::mutex mutex_;
    std::set<std::uint64_t> posters_;
};

class RealtimePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PULSE_SERVER", server.address().c_str(), 1);
        std::string error;
        hardware = PulseAudioHardware::connect(queue, &error);
        ASSERT_TRUE(hardware) << error;
        captures = std::make_unique<PulseCaptureService>(queue);
    }
    void TearDown() override {
        captures.reset();
        hardware.reset();
        ::unsetenv("PULSE_SERVER");
    }

    template <typename Done>
    bool pumpUntil(std::chrono::milliseconds timeout, Done done) {
        return testing::pumpUntil(queue, timeout, done);
    }
    void pumpFor(std::chrono::milliseconds duration) {
        pumpUntil(duration, [] { return false; });
    }

    DeviceID idOf(const std::string& uid) {
        for (auto id : hardware->deviceIDs().value_or(std::vector<DeviceID>{})) {
            if (hardware->deviceUID(id) == uid) {
                return id;
            }
        }
        return kNoDevice;
    }

    // The index of the player's playback stream, once it plays.
    std::optional<std::string> playerStream() {
        std::optional<std::string> index;
        pollUntil(5s, [&] {
            const auto out = server.pactl({"list", "sink-inputs"}).out;
            const auto at = out.find("application.id = \"org.example.Player\"");
            const auto start = out.rfind("Sink Input #", at);
            if (at != std::string::npos && start != std::string::npos) {
                const auto digits = start + std::string("Sink Input #").size();
                index = out.substr(digits, out.find('\n', digits) - digits);
            }
            return index.has_value();
        });
        return index;
    }

    std::vector<std::string> player() { return {"--property=application.id=org.example.Player"}; }

    PulseServer server{{{"bus1", "Bus 1", 48000},
                        {"bus2", "Bus 2", 48000},
                        {"bus3", "Bus 3", 44100},
                        {"bus4", "Bus 4", 48000},
                        {"apps", "Applications", 48000},
                        {"other", "Other", 48000}}};
    LogCapture log;
    WatchedQueue queue;
    std::unique_ptr<PulseAudioHardware> hardware;
    std::unique_ptr<PulseCaptureService> captures;
};

TEST_F(RealtimePathTest, NoAllocationReleaseOrLockWhileStreamsMoveSuspendAndTheServerRestarts) {
    resetCounters();
    auto playing = server.play(server.toneFile(1000, -12), "apps", player());

    // Four buses, each rendering a sine of its own; an owner that starts a bus again when it
    // tells of a change and is not running, as the engine does.
    std::array<Path, 4> buses;
    std::array<std::unique_ptr<AudioStream>, 4> outputs;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        StreamEvents events;
        events.onConfigurationChange = [&, i] {
            ++buses[i].changes;
            queue.post([&, i] {
                if (!outputs[i]->isRunning()) {
                    (void)outputs[i]->start();
                }
            });
        };
        const double frequency = 440.0 * static_cast<double>(i + 1);
        auto phase = std::make_shared<double>(0.0);
        AudioError error = AudioError::deviceBusy;
        outputs[i] = hardware->openOutputStream(
            idOf("bus" + std::to_string(i + 1)),
            [&path = buses[i], frequency, phase](float* const* channels, int count, int frames,
                                                 double rate) {
                for (int f = 0; f < frames; ++f) {
                    const auto v = static_cast<float>(0.25 * std::sin(*phase));
                    *phase = std::fmod(*phase + 2 * M_PI * frequency / rate, 2 * M_PI);
                    for (int c = 0; c < count; ++c) {
                        channels[c][f] = v;
                    }
                }
                path.note(frames, true);
            },
            std::move(events), &error);
        ASSERT_TRUE(outputs[i]) << AudioResult(error);
        ASSERT_EQ(outputs[i]->start(), AudioResult{});
        // The test server takes only a few connections at once into its queue.
        pumpFor(100ms);
    }
    Path microphone, monitor, capture;
    auto input = hardware->openInputStream(
        idOf("bus1.monitor"), 128,
        [&microphone](const float* const*, int, int frames, double) {
            microphone.note(frames, false);
        },
        {}, nullptr);
    ASSERT_TRUE(input);
    ASSERT_EQ(input->start(), AudioResult{});
    pumpFor(100ms);
    const DeviceID monitored = idOf("bus2.monitor");
    auto proc = hardware->createIOProc(
        monitored,
        [&monitor](const float*, std::size_t bytes) {
            monitor.note(static_cast<std::int64_t>(bytes / (2 * sizeof(float))), true);
        },
        nullptr);
    ASSERT_TRUE(proc);
    ASSERT_EQ(hardware->startIOProc(monitored, *proc), AudioResult{});
    pumpFor(100ms);
    CaptureFilter filter;
    filter.includedApplication = "org.example.Player";
    std::string error;
    auto captured = captures->makeStream(filter, CaptureConfiguration{}, &error);
    ASSERT_TRUE(captured) << error;
    ASSERT_TRUE(captured->addAudioOutput(
        [&capture](const CaptureSampleBuffer& buffer) { capture.note(buffer.frameCount, false); },
        &error));
    captured->startCapture({});

    std::vector<Path*> paths{&buses[0],   &buses[1], &buses[2], &buses[3],
                             &microphone, &monitor,  &capture};
    auto counts = [&] {
        std::vector<std::int64_t> at;
        for (const Path* p : paths) {
            at.push_back(p->load());
        }
        return at;
    };
    // Every path delivered at least another 0.2 s since `from`.
    auto progressed = [&](const std::vector<std::int64_t>& from) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (paths[i]->load() < from[i] + 9600) {
                return false;
            }
        }
        return true;
    };
    auto describe = [&] {
        std::string text = "frames of the buses, the microphone, the monitor and the capture:";
        for (const Path* p : paths) {
            text += " " + std::to_string(p->load());
        }
        return text;
    };
    ASSERT_TRUE(pumpUntil(15s, [&] { return progressed(std::vector<std::int64_t>(7, 0)); }))
        << describe();
    pumpFor(1s);

    // The captured stream moves to another sink; the capture follows it.
    const auto stream = playerStream();
    ASSERT_TRUE(stream);
    ASSERT_EQ(server.pactl({"move-sink-input", *stream, "other"}).exitCode, 0);
    const auto beforeMove = capture.load();
    ASSERT_TRUE(pumpUntil(10s, [&] { return capture.load() > beforeMove + 48000; }));

    // A bus's sink is suspended, then resumed (PipeWire keeps a sink that is played into
    // running and tells its streams nothing).
    ASSERT_EQ(server.pactl({"suspend-sink", "bus4", "1"}).exitCode, 0);
    ASSERT_TRUE(onPipeWire() || pumpUntil(5s, [&] { return buses[3].changes.load() >= 1; }));
    pumpFor(500ms);
    ASSERT_EQ(server.pactl({"suspend-sink", "bus4", "0"}).exitCode, 0);
    const auto beforeResume = buses[3].load();
    ASSERT_TRUE(pumpUntil(10s, [&] { return buses[3].load() > beforeResume + 9600; }));

    // The server goes away and comes back; everything runs again.
    server.kill();
    ASSERT_TRUE(pumpUntil(10s, [&] { return !hardware->isConnected(); }));
    pumpFor(500ms);
    server.restart();
    playing = server.play(server.toneFile(1000, -12), "apps", player());
    const auto beforeRestart = counts();
    ASSERT_TRUE(pumpUntil(20s, [&] {
        return hardware->isConnected() && progressed(beforeRestart);
    })) << server.log();
    pumpFor(1s);

    for (auto& output : outputs) {
        output->stop();
    }
    input->stop();
    hardware->destroyIOProc(monitored, *proc);
    captured->stopCapture({});
    pumpFor(100ms);

    const long allocations = RealtimeAllocations::allocations.load();
    const long releases = RealtimeAllocations::releases.load();
    const long locks = RealtimeLocks::locks.load();
    const auto outcome = realtimeOutcome();
    std::int64_t frames = 0;
    for (const Path* p : paths) {
        frames += p->load();
    }
    std::cout << "frames through our audio callbacks: " << frames << "; inside them " << allocations
              << " allocations, " << releases << " releases, " << locks
              << " locks; real-time scheduling: "
              << (outcome ? outcome->description : std::string("never asked")) << "\n";
    RecordProperty("frames", std::to_string(frames));
    RecordProperty("realtime", outcome && outcome->isGranted ? "granted" : "not granted");
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(releases, 0);
    EXPECT_EQ(locks, 0);
    EXPECT_TRUE(outcome) << "no audio thread asked for real-time scheduling";
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE("path " + std::to_string(i));
        EXPECT_EQ(paths[i]->unscoped.load(), 0);
        EXPECT_EQ(paths[i]->denormals.load(), 0);
        // The threads that rendered or captured never posted to the main queue.
        const std::size_t threads =
            std::min(paths[i]->threadCount.load(), paths[i]->threads.size());
        EXPECT_GE(threads, 2u);  // a new one after the restart
        for (std::size_t t = 0; t < threads; ++t) {
            EXPECT_FALSE(queue.hasPosted(paths[i]->threads[t].load()));
        }
    }
    EXPECT_GE(buses[3].changes.load(), onPipeWire() ? 1 : 2);  // suspended, and the server went
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(buses[static_cast<std::size_t>(i)].changes.load(), 1);  // the server went
    }
}

}  // namespace
}  // namespace qv
