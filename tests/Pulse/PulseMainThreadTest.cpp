// The main thread never waits for the sound server: every call of the device layer and of the
// capture service returns at once, also while the server hangs, what was asked for comes up once
// it answers again, and the main queue's tasks stay short while streams open and the server
// restarts.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "Audio/Platform/Pulse/PulseAudioHardware.h"
#include "Audio/Platform/Pulse/PulseCaptureService.h"
#include "Audio/Platform/Pulse/PulseContext.h"
#include "Foundation/Log.h"
#include "tests/Support/PulseServer.h"
#include "tests/Support/TimedMainQueue.h"

namespace qv {
namespace {

using namespace qv::testing;
using namespace std::chrono_literals;

// Longer than any of our calls takes on a loaded machine, far shorter than the 0.5 to 2 s a call
// that waited for the server would take.
constexpr double kBlockingBound = 0.1;  // seconds

template <typename Call>
double secondsTaken(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> appID(const std::string& bundleIdentifier) {
    return {"--property=application.id=" + bundleIdentifier};
}

// What one stream, procedure or capture delivered, counted on its own thread.
struct Counter {
    std::atomic<std::int64_t> frames{0};
    std::int64_t load() const { return frames.load(); }
};

// The start failures one stream reported, with the thread each arrived on.
struct Failures {
    std::vector<AudioResult> results;
    bool onOtherThread = false;
    std::function<void(AudioResult)> handler() {
        return [this, main = std::this_thread::get_id()](AudioResult failure) {
            onOtherThread = onOtherThread || std::this_thread::get_id() != main;
            results.push_back(failure);
        };
    }
};

// The device layer and the capture service of this process on a private server with four null
// sinks, one per bus.
class PulseMainThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PULSE_SERVER", server.address().c_str(), 1);
        waitsBefore = PulseContext::blockingWaits();
        std::string error;
        hardware = PulseAudioHardware::connect(queue, &error);
        ASSERT_TRUE(hardware) << error;
        // Only the startup waited, and it is allowed to.
        EXPECT_EQ(PulseContext::blockingWaits(), waitsBefore);
    }
    void TearDown() override {
        server.thaw();
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

    // An output that renders silence and counts its frames.
    std::unique_ptr<AudioStream> openOutput(const std::string& sink, Counter& counter,
                                            StreamEvents events = {}) {
        AudioError error = AudioError::deviceBusy;
        auto stream = hardware->openOutputStream(
            idOf(sink),
            [&counter](float* const* channels, int count, int frames, double) {
                for (int c = 0; c < count; ++c) {
                    std::fill_n(channels[c], frames, 0.0f);
                }
                counter.frames += frames;
            },
            std::move(events), &error);
        EXPECT_TRUE(stream) << "cannot open " << sink << ": " << AudioResult(error);
        return stream;
    }
    std::unique_ptr<AudioStream> openInput(const std::string& source, Counter& counter,
                                           StreamEvents events = {}) {
        AudioError error = AudioError::deviceBusy;
        auto stream = hardware->openInputStream(
            idOf(source), 128,
            [&counter](const float* const*, int, int frames, double) { counter.frames += frames; },
            std::move(events), &error);
        EXPECT_TRUE(stream) << "cannot open " << source << ": " << AudioResult(error);
        return stream;
    }
    std::optional<AudioHardware::IOProcID> createIOProc(
        const std::string& source, Counter& counter,
        std::function<void(AudioResult)> onFailure = {}) {
        AudioError error = AudioError::deviceBusy;
        auto id = hardware->createIOProc(
            idOf(source),
            [&counter](const float*, std::size_t bytes) {
                counter.frames += static_cast<std::int64_t>(bytes / (2 * sizeof(float)));
            },
            &error, std::move(onFailure));
        EXPECT_TRUE(id) << "cannot create a procedure on " << source << ": " << AudioResult(error);
        return id;
    }
    // A capture of the test player; the completion sets `started`.
    std::shared_ptr<CaptureStream> makeCapture(Counter& counter) {
        CaptureFilter filter;
        filter.display = {1};
        filter.includedApplication = "org.example.Player";
        std::string error;
        auto stream = captures->makeStream(filter, CaptureConfiguration{}, &error);
        EXPECT_TRUE(stream) << error;
        if (stream) {
            EXPECT_TRUE(stream->addAudioOutput(
                [&counter](const CaptureSampleBuffer& buffer) {
                    counter.frames += buffer.frameCount;
                },
                &error))
                << error;
        }
        return stream;
    }

    PulseServer server{{{"bus1", "Bus 1", 48000},
                        {"bus2", "Bus 2", 48000},
                        {"bus3", "Bus 3", 44100},
                        {"bus4", "Bus 4", 48000}}};
    TimedMainQueue queue;
    std::unique_ptr<PulseAudioHardware> hardware;
    std::unique_ptr<PulseCaptureService> captures = std::make_unique<PulseCaptureService>(queue);
    int waitsBefore = 0;
};

// A hung server takes only a few connections into its queue (six on Linux) and refuses the
// rest at once, so the test asks for things in rounds of at most five new connections.
TEST_F(PulseMainThreadTest, NoCallWaitsForAHungServerAndEverythingComesUpOnceItAnswers) {
    auto player = server.play(server.toneFile(1000, -12), "bus1", appID("org.example.Player"));
    // Running before the server hangs: one output to restart and one to drop while it does.
    Counter restartedFrames, droppedFrames;
    auto restarted = openOutput("bus3", restartedFrames);
    auto dropped = openOutput("bus4", droppedFrames);
    ASSERT_EQ(restarted->start(), AudioResult{});
    ASSERT_EQ(dropped->start(), AudioResult{});
    ASSERT_TRUE(pollUntil(
        10s, [&] { return restartedFrames.load() > 4800 && droppedFrames.load() > 4800; }));

    Failures failures;
    double longestCall = 0;
    double longestTask = 0;
    auto quick = [&](const std::string& what, auto&& call) {
        const double took = secondsTaken(call);
        longestCall = std::max(longestCall, took);
        EXPECT_LT(took, kBlockingBound) << what << " waited for the server";
    };
    // Asks while the server hangs, then checks that nothing came up meanwhile and that
    // everything does once it answers again.
    auto whileHung = [&](const char* round, auto ask, auto isNothingUp, auto isAllUp) {
        SCOPED_TRACE(round);
        server.freeze();
        ask();
        queue.resetTimes();
        pumpFor(400ms);
        longestTask = std::max(longestTask, queue.longestTask());
        EXPECT_LT(queue.longestTask(), kBlockingBound);
        EXPECT_TRUE(isNothingUp()) << "up although the server hangs";
        server.thaw();
        EXPECT_TRUE(pumpUntil(15s, isAllUp)) << server.log();
        EXPECT_TRUE(failures.results.empty());
        EXPECT_EQ(PulseContext::blockingWaits(), waitsBefore);
    };

    std::array<Counter, 4> busFrames;
    std::vector<std::unique_ptr<AudioStream>> buses;
    std::int64_t restartedAt = 0, droppedAt = 0;
    whileHung(
        "four buses start, one restarts and one is dropped",
        [&] {
            for (int i = 0; i < 4; ++i) {
                const std::string sink = "bus" + std::to_string(i + 1);
                quick("opening and starting an output on " + sink, [&] {
                    buses.push_back(openOutput(sink, busFrames[i], {{}, failures.handler(), {}}));
                    EXPECT_EQ(buses.back()->start(), AudioResult{});
                });
                EXPECT_TRUE(buses.back()->isRunning()) << "an opening stream counts as running";
            }
            quick("restarting an output", [&] {
                restarted->stop();
                EXPECT_EQ(restarted->start(), AudioResult{});
            });
            quick("dropping a running output", [&] { dropped.reset(); });
            restartedAt = restartedFrames.load();
            droppedAt = droppedFrames.load();
        },
        [&] {
            return std::all_of(busFrames.begin(), busFrames.end(),
                               [](const Counter& c) { return c.load() == 0; });
        },
        [&] {
            return std::all_of(busFrames.begin(), busFrames.end(),
                               [](const Counter& c) { return c.load() > 9600; }) &&
                   restartedFrames.load() > restartedAt + 9600;
        });
    for (const auto& bus : buses) {
        EXPECT_TRUE(bus->isRunning());
    }
    EXPECT_EQ(droppedFrames.load(), droppedAt);  // nothing renders once dropped

    Counter inputFrames, procFrames, captureFrames;
    std::unique_ptr<AudioStream> input;
    std::optional<AudioHardware::IOProcID> proc;
    const DeviceID procDevice = idOf("bus3.monitor");
    std::vector<std::optional<ShareableContent>> answers;
    std::shared_ptr<CaptureStream> capture;
    std::optional<std::optional<std::string>> captureStarted;
    whileHung(
        "an input, an I/O procedure, the shareable content and a capture start",
        [&] {
            quick("starting an input", [&] {
                input = openInput("bus2.monitor", inputFrames, {{}, failures.handler(), {}});
                EXPECT_EQ(input->start(), AudioResult{});
            });
            quick("starting an I/O procedure", [&] {
                proc = createIOProc("bus3.monitor", procFrames, failures.handler());
                EXPECT_EQ(hardware->startIOProc(procDevice, proc.value_or(0)), AudioResult{});
            });
            for (int i = 0; i < 2; ++i) {
                quick("asking for the shareable content", [&] {
                    captures->getShareableContent(
                        [&](std::optional<ShareableContent> content, std::string) {
                            answers.push_back(std::move(content));
                        });
                });
            }
            quick("starting a capture", [&] {
                capture = makeCapture(captureFrames);
                capture->startCapture(
                    [&](std::optional<std::string> error) { captureStarted = error; });
            });
        },
        [&] {
            return inputFrames.load() == 0 && procFrames.load() == 0 && answers.empty() &&
                   !captureStarted;
        },
        [&] {
            return inputFrames.load() > 9600 && procFrames.load() > 9600 && answers.size() == 2 &&
                   captureStarted && captureFrames.load() > 9600;
        });
    EXPECT_TRUE(input->isRunning());
    ASSERT_TRUE(captureStarted);
    EXPECT_EQ(*captureStarted, std::nullopt);
    for (const auto& answer : answers) {
        EXPECT_TRUE(answer && answer->displays.size() == 1);
    }

    Counter neverFrames;
    whileHung(
        "opening streams are stopped or dropped",
        [&] {
            quick("stopping and dropping opening streams", [&] {
                auto stopped = openOutput("bus4", neverFrames, {{}, failures.handler(), {}});
                EXPECT_EQ(stopped->start(), AudioResult{});
                stopped->stop();
                auto gone = openInput("bus4.monitor", neverFrames, {{}, failures.handler(), {}});
                EXPECT_EQ(gone->start(), AudioResult{});
            });
            quick("stopping and destroying an opening I/O procedure", [&] {
                const DeviceID device = idOf("bus4.monitor");
                auto other = createIOProc("bus4.monitor", neverFrames, failures.handler());
                EXPECT_EQ(hardware->startIOProc(device, other.value_or(0)), AudioResult{});
                hardware->stopIOProc(device, other.value_or(0));
                hardware->destroyIOProc(device, other.value_or(0));
            });
        },
        [] { return true; },
        [&] {
            // Long enough for what was let go to have opened, had it not been.
            pumpFor(500ms);
            return true;
        });
    EXPECT_EQ(neverFrames.load(), 0);

    std::cout << "longest call while the server hangs: " << longestCall * 1000
              << " ms, longest main-queue task: " << longestTask * 1000 << " ms\n";
    capture->stopCapture({});
    hardware->destroyIOProc(procDevice, proc.value_or(0));
}

// What a stream that start() accepted tells when its opening fails later.
TEST_F(PulseMainThreadTest, AnOpeningThatFailsLaterIsReportedOnceOnTheMainQueue) {
    struct Case {
        const char* cause;
        AudioError expected;
        std::function<void()> happen;  // after the streams are opened, before they start
        std::function<void()> end;
    };
    const Case cases[] = {
        {"the server hangs past the timeouts", AudioError::serverUnreachable,
         [&] { server.freeze(); }, [&] { server.thaw(); }},
        // The device table hears of it only when the main queue runs, after start().
        {"the device has gone meanwhile", AudioError::deviceNotFound,
         [&] { ASSERT_TRUE(server.unloadModule(server.moduleOfSink("late").value_or(-1))); },
         [] {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        ASSERT_TRUE(server.loadNullSink({"late", "Late", 48000}));
        ASSERT_TRUE(pumpUntil(5s, [&] { return idOf("late.monitor") != kNoDevice; }));
        const DeviceID monitor = idOf("late.monitor");
        Counter frames;
        Failures outputFailures, inputFailures, procFailures, neverFailures;
        auto output = openOutput("late", frames, {{}, outputFailures.handler(), {}});
        auto input = openInput("late.monitor", frames, {{}, inputFailures.handler(), {}});
        auto proc = createIOProc("late.monitor", frames, procFailures.handler());
        auto stopped = openOutput("late", frames, {{}, neverFailures.handler(), {}});
        auto dropped = openInput("late.monitor", frames, {{}, neverFailures.handler(), {}});
        ASSERT_TRUE(output && input && proc && stopped && dropped);

        c.happen();
        EXPECT_EQ(output->start(), AudioResult{});
        EXPECT_EQ(input->start(), AudioResult{});
        EXPECT_EQ(hardware->startIOProc(monitor, *proc), AudioResult{});
        EXPECT_EQ(stopped->start(), AudioResult{});
        EXPECT_EQ(dropped->start(), AudioResult{});
        stopped->stop();
        dropped.reset();
        EXPECT_TRUE(outputFailures.results.empty()) << "reported inside start()";

        ASSERT_TRUE(pumpUntil(8s, [&] {
            return !outputFailures.results.empty() && !inputFailures.results.empty() &&
                   !procFailures.results.empty();
        }));
        pumpFor(300ms);
        for (const Failures* f : {&outputFailures, &inputFailures, &procFailures}) {
            ASSERT_EQ(f->results.size(), 1u);
            EXPECT_EQ(f->results[0], AudioResult(c.expected)) << f->results[0];
            EXPECT_FALSE(f->onOtherThread);
        }
        EXPECT_FALSE(output->isRunning());
        EXPECT_FALSE(input->isRunning());
        EXPECT_TRUE(neverFailures.results.empty()) << "reported after stop()";
        c.end();
        hardware->destroyIOProc(monitor, *proc);
        if (auto module = server.moduleOfSink("late")) {
            // The owner may try again: once the server answers, the stream runs.
            const auto before = frames.load();
            EXPECT_EQ(output->start(), AudioResult{});
            EXPECT_TRUE(pumpUntil(10s, [&] { return frames.load() > before + 4800; }));
            output.reset();
            ASSERT_TRUE(server.unloadModule(*module));
        }
        ASSERT_TRUE(pumpUntil(5s, [&] { return idOf("late") == kNoDevice; }));
        EXPECT_EQ(PulseContext::blockingWaits(), waitsBefore);
    }
}

// A start that cannot even try says so at once, and nothing follows later.
TEST_F(PulseMainThreadTest, AStartThatCannotTryIsRefusedAtOnce) {
    struct Case {
        const char* cause;
        AudioError expected;
        std::function<void()> happen;
        std::function<bool()> settled;  // the device table has seen it
    };
    const Case cases[] = {
        {"the device is unknown", AudioError::deviceNotFound,
         [&] { ASSERT_TRUE(server.unloadModule(server.moduleOfSink("late").value_or(-1))); },
         [&] { return idOf("late") == kNoDevice; }},
        {"the server is not connected", AudioError::serverUnreachable, [&] { server.kill(); },
         [&] { return !hardware->isConnected(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        ASSERT_TRUE(server.loadNullSink({"late", "Late", 48000}));
        ASSERT_TRUE(pumpUntil(5s, [&] { return idOf("late.monitor") != kNoDevice; }));
        const DeviceID monitor = idOf("late.monitor");
        Counter frames;
        Failures failures;
        auto output = openOutput("late", frames, {{}, failures.handler(), {}});
        auto input = openInput("late.monitor", frames, {{}, failures.handler(), {}});
        auto proc = createIOProc("late.monitor", frames, failures.handler());
        ASSERT_TRUE(output && input && proc);

        c.happen();
        ASSERT_TRUE(pumpUntil(5s, c.settled));
        double longest = 0;
        longest =
            std::max(longest, secondsTaken([&] {
                         EXPECT_EQ(output->start(), AudioResult(c.expected));
                         EXPECT_EQ(input->start(), AudioResult(c.expected));
                         EXPECT_EQ(hardware->startIOProc(monitor, *proc), AudioResult(c.expected));
                     }));
        EXPECT_LT(longest, kBlockingBound);
        EXPECT_FALSE(output->isRunning());
        EXPECT_FALSE(input->isRunning());
        pumpFor(500ms);
        EXPECT_TRUE(failures.results.empty());
        EXPECT_EQ(frames.load(), 0);
        hardware->destroyIOProc(monitor, *proc);
    }
}

// The device table and a capture reconnect to a server that came back hung: their attempts
// time out in the background, and once it answers everything is back.
TEST_F(PulseMainThreadTest, ReconnectingToAHungServerRunsInTheBackground) {
    LogCapture log;
    auto player = server.play(server.toneFile(1000, -12), "bus1", appID("org.example.Player"));
    Counter inputFrames, captureFrames;
    auto input = openInput("bus2.monitor", inputFrames);
    ASSERT_EQ(input->start(), AudioResult{});
    auto capture = makeCapture(captureFrames);
    std::optional<std::optional<std::string>> captureStarted;
    capture->startCapture([&](std::optional<std::string> error) { captureStarted = error; });
    ASSERT_TRUE(
        pumpUntil(10s, [&] { return inputFrames.load() > 4800 && captureFrames.load() > 4800; }));

    server.kill();
    ASSERT_TRUE(pumpUntil(10s, [&] { return !hardware->isConnected(); }));
    EXPECT_TRUE(log.contains("⚠️ Sound server connection lost - reconnecting"));
    server.restart();
    player = server.play(server.toneFile(1000, -12), "bus1", appID("org.example.Player"));
    server.freeze();
    queue.resetTimes();
    // Attempts at 0.25, 0.5 and 1 s each give up after half a second.
    pumpFor(2500ms);
    EXPECT_LT(queue.longestTask(), kBlockingBound);
    EXPECT_FALSE(hardware->isConnected());
    EXPECT_FALSE(log.contains("✅ Sound server connection restored"));
    const auto inputAt = inputFrames.load();
    const auto captureAt = captureFrames.load();

    server.thaw();
    ASSERT_TRUE(pumpUntil(20s, [&] {
        return hardware->isConnected() && inputFrames.load() > inputAt + 4800 &&
               captureFrames.load() > captureAt + 4800;
    })) << server.log();
    EXPECT_TRUE(log.contains("✅ Sound server connection restored"));
    EXPECT_LT(queue.longestTask(), kBlockingBound);
    EXPECT_EQ(PulseContext::blockingWaits(), waitsBefore);
    capture->stopCapture({});
}

// Measures the longest main-queue task while four buses, an input and a capture start, and
// while the server is killed and started again under them; an owner restarts its outputs
// when they tell of a change, as the engine does.
TEST_F(PulseMainThreadTest, MainQueueTasksStayShortWhileStreamsStartAndTheServerRestarts) {
    auto player = server.play(server.toneFile(1000, -12), "bus1", appID("org.example.Player"));
    std::array<Counter, 4> busFrames;
    std::array<std::unique_ptr<AudioStream>, 4> buses;
    Counter inputFrames, captureFrames;
    std::unique_ptr<AudioStream> input;
    std::shared_ptr<CaptureStream> capture;
    std::optional<std::optional<std::string>> captureStarted;
    int lateFailures = 0;

    queue.resetTimes();
    queue.post([&] {
        for (std::size_t i = 0; i < buses.size(); ++i) {
            StreamEvents events;
            events.onConfigurationChange = [&, i] {
                queue.post([&, i] {
                    if (!buses[i]->isRunning()) {
                        (void)buses[i]->start();
                    }
                });
            };
            events.onStartFailure = [&](AudioResult) { ++lateFailures; };
            buses[i] = openOutput("bus" + std::to_string(i + 1), busFrames[i], std::move(events));
            EXPECT_EQ(buses[i]->start(), AudioResult{});
        }
        input = openInput("bus2.monitor", inputFrames);
        EXPECT_EQ(input->start(), AudioResult{});
        capture = makeCapture(captureFrames);
        capture->startCapture([&](std::optional<std::string> error) { captureStarted = error; });
    });
    auto progressed = [&](std::array<std::int64_t, 6> from) {
        for (std::size_t i = 0; i < busFrames.size(); ++i) {
            if (busFrames[i].load() < from[i] + 4800) {
                return false;
            }
        }
        return inputFrames.load() >= from[4] + 4800 && captureFrames.load() >= from[5] + 4800;
    };
    auto counts = [&] {
        return std::array<std::int64_t, 6>{busFrames[0].load(), busFrames[1].load(),
                                           busFrames[2].load(), busFrames[3].load(),
                                           inputFrames.load(),  captureFrames.load()};
    };
    ASSERT_TRUE(pumpUntil(15s, [&] { return progressed({}); })) << server.log();
    ASSERT_TRUE(captureStarted);
    EXPECT_EQ(*captureStarted, std::nullopt);
    const double startLongest = queue.longestTask();
    const std::size_t startTasks = queue.tasksRun();

    queue.resetTimes();
    server.kill();
    ASSERT_TRUE(pumpUntil(10s, [&] { return !hardware->isConnected(); }));
    pumpFor(500ms);  // a few attempts to reconnect fail meanwhile
    server.restart();
    player = server.play(server.toneFile(1000, -12), "bus1", appID("org.example.Player"));
    const auto before = counts();
    ASSERT_TRUE(pumpUntil(20s, [&] { return hardware->isConnected() && progressed(before); }))
        << server.log();
    const double restartLongest = queue.longestTask();
    const std::size_t restartTasks = queue.tasksRun();

    std::cout << "longest main-queue task while 4 buses, an input and a capture start: "
              << startLongest * 1000 << " ms (" << startTasks << " tasks)\n"
              << "longest main-queue task during a server kill and restart: "
              << restartLongest * 1000 << " ms (" << restartTasks << " tasks)\n";
    RecordProperty("longestTaskWhileStartingMs", std::to_string(startLongest * 1000));
    RecordProperty("longestTaskDuringRestartMs", std::to_string(restartLongest * 1000));
    RecordProperty("lateStartFailuresDuringRestart", lateFailures);
    EXPECT_LT(startLongest, kBlockingBound);
    EXPECT_LT(restartLongest, kBlockingBound);
    EXPECT_EQ(PulseContext::blockingWaits(), waitsBefore);
    capture->stopCapture({});
}

}  // namespace
}  // namespace qv
