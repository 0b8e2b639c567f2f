// What connection threads tell the main thread arrives once, in order, and never for a stream
// that was closed meanwhile: first through the pipe itself, with threads standing in for
// connection threads (a stream that moves cannot be had from the server: ours refuse to be
// moved), then through the device layer on a private server.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <thread>

#include "Audio/Platform/Pulse/PulseAudioHardware.h"
#include "Audio/Platform/Pulse/PulseEvents.h"
#include "Foundation/VirtualMainQueue.h"
#include "tests/Support/PulseServer.h"

namespace qv {
namespace {

using namespace qv::testing;
using namespace std::chrono_literals;
using Kind = PulseEventKind;

// What a receiver heard: the kind and the code of each event, and the opening it came from.
struct Heard {
    Kind kind;
    std::int32_t code = 0;
    std::uint32_t opening = 0;
    bool operator==(const Heard&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Heard& h) {
    return out << "{kind " << static_cast<int>(h.kind) << ", code " << h.code << ", opening "
               << h.opening << "}";
}

struct Sent {
    Kind kind;
    std::int32_t code = 0;
};

// A stream's stand-in: a port and what arrived for it.
class Receiver : public PulseEventReceiver {
  public:
    void received(const PulseEvent& event) override {
        heard.push_back({event.kind, event.code, event.opening});
        if (onEvent) {
            onEvent(event);
        }
    }

    PulseEventPort port;
    std::vector<Heard> heard;
    std::function<void(const PulseEvent&)> onEvent;
};

class PulseEventPipeTest : public ::testing::Test {
  protected:
    std::shared_ptr<Receiver> make() { return std::make_shared<Receiver>(); }
    std::uint32_t open(const std::shared_ptr<Receiver>& r) { return pipe->open(r->port, r); }
    // Sends `events` from a thread of its own, as a connection thread would, and waits for it.
    static void sendFromThread(PulseEventPort& port, const std::vector<Sent>& events) {
        std::thread([&] {
            for (const auto& e : events) {
                port.send(e.kind, e.code);
            }
        }).join();
    }
    static std::vector<Heard> expected(const std::vector<Sent>& events, std::uint32_t opening) {
        std::vector<Heard> out;
        for (const auto& e : events) {
            out.push_back({e.kind, e.code, opening});
        }
        return out;
    }
    // One tick of the main side's timer.
    void tick() { queue.advance(PulseEventPipe::kInterval); }

    VirtualMainQueue queue;
    std::shared_ptr<PulseEventPipe> pipe = std::make_shared<PulseEventPipe>(queue);
};

TEST_F(PulseEventPipeTest, EventsArriveOnceAndInOrderAlsoWhenTheQueueIsFull) {
    const std::vector<Sent> life = {
        {Kind::opened}, {Kind::moved}, {Kind::suspended}, {Kind::moved}, {Kind::failed}};
    const std::vector<Sent> failedOpening = {{Kind::openFailed, 5}};
    const std::vector<Sent> serverGone = {{Kind::opened}, {Kind::suspended}, {Kind::serverGone, 6}};
    struct Case {
        const char* name;
        std::size_t queuedBefore;  // events another stream queued first
        std::vector<Sent> sent;
        std::vector<Sent> arrived;  // when not all of `sent`, in that order
    };
    const Case cases[] = {
        {"room in the queue", 0, life, {}},
        {"room in the queue, an opening that fails", 0, failedOpening, {}},
        {"room in the queue, the server goes", 0, serverGone, {}},
        // Kept back, and delivered after the other stream's earlier events.
        {"the queue is full",
         PulseEventPipe::kCapacity,
         {{Kind::opened}, {Kind::moved}, {Kind::suspended}, {Kind::failed}},
         {}},
        {"the queue is full, an opening that fails", PulseEventPipe::kCapacity, failedOpening, {}},
        {"the queue is full, the server goes", PulseEventPipe::kCapacity, serverGone, {}},
        {"the queue fills up on the way", PulseEventPipe::kCapacity - 2, life, {}},
        // A kind sent again while it waits arrives once, in the place of its last sending.
        {"the queue is full, a stream moves twice",
         PulseEventPipe::kCapacity,
         {{Kind::moved}, {Kind::suspended}, {Kind::moved}, {Kind::failed}},
         {{Kind::suspended}, {Kind::moved}, {Kind::failed}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto other = make();
        auto stream = make();
        const auto otherOpening = open(other);
        const auto opening = open(stream);
        sendFromThread(other->port, std::vector<Sent>(c.queuedBefore, {Kind::moved}));
        sendFromThread(stream->port, c.sent);
        tick();
        const auto& arrived = c.arrived.empty() ? c.sent : c.arrived;
        EXPECT_EQ(stream->heard, expected(arrived, opening));
        EXPECT_EQ(other->heard,
                  expected(std::vector<Sent>(c.queuedBefore, {Kind::moved}), otherOpening));
        // Later events queue again once the kept ones are out, after them.
        sendFromThread(stream->port, {{Kind::moved, 9}});
        tick();
        tick();
        EXPECT_EQ(stream->heard.size(), arrived.size() + 1);
        EXPECT_EQ(stream->heard.back(), (Heard{Kind::moved, 9, opening}));
        stream->port.close();
        other->port.close();
    }
}

TEST_F(PulseEventPipeTest, NothingArrivesForAClosedOpening) {
    struct Case {
        const char* name;
        bool isQueueFull;  // the events wait as flags instead of in the queue
    };
    for (const Case c : {Case{"room in the queue", false}, Case{"the queue is full", true}}) {
        SCOPED_TRACE(c.name);
        auto filler = make();
        open(filler);
        if (c.isQueueFull) {
            sendFromThread(filler->port,
                           std::vector<Sent>(PulseEventPipe::kCapacity, {Kind::moved}));
        }
        auto stream = make();
        open(stream);
        sendFromThread(stream->port, {{Kind::moved}, {Kind::failed}});
        // Stopped on the main thread before the timer ran: the thread had stopped, so the port
        // is closed.
        stream->port.close();
        tick();
        tick();
        EXPECT_TRUE(stream->heard.empty());

        // Opened again: only what the new opening sends arrives.
        const auto reopened = open(stream);
        sendFromThread(stream->port, {{Kind::suspended}});
        tick();
        tick();
        EXPECT_EQ(stream->heard, (std::vector<Heard>{{Kind::suspended, 0, reopened}}));

        // A receiver that closes its port on an event hears nothing more of that opening, even
        // of events sent before it closed.
        stream->heard.clear();
        const auto last = open(stream);
        stream->onEvent = [&](const PulseEvent& e) {
            if (e.kind == Kind::moved) {
                stream->port.close();
            }
        };
        if (c.isQueueFull) {
            sendFromThread(filler->port,
                           std::vector<Sent>(PulseEventPipe::kCapacity, {Kind::moved}));
        }
        sendFromThread(stream->port,
                       {{Kind::opened}, {Kind::moved}, {Kind::suspended}, {Kind::failed}});
        tick();
        tick();
        EXPECT_EQ(stream->heard,
                  (std::vector<Heard>{{Kind::opened, 0, last}, {Kind::moved, 0, last}}));
        stream->onEvent = nullptr;
        filler->port.close();
    }
}

TEST_F(PulseEventPipeTest, TheTimerRunsWhileAPortIsOpenAndAGoneReceiverHearsNothing) {
    EXPECT_FALSE(pipe->isWatching());
    auto stream = make();
    open(stream);
    EXPECT_TRUE(pipe->isWatching());
    sendFromThread(stream->port, {{Kind::moved}});
    std::weak_ptr<Receiver> weak = stream;
    stream.reset();  // dropped before the timer ran (its thread had stopped)
    EXPECT_TRUE(weak.expired());
    tick();
    EXPECT_FALSE(pipe->isWatching());

    auto other = make();
    open(other);
    tick();
    EXPECT_TRUE(pipe->isWatching());
    other->port.close();
    tick();
    EXPECT_FALSE(pipe->isWatching());
    EXPECT_EQ(queue.pendingCount(), 0u);
}

// The device layer's streams on a private server: what a suspension and a failure tell the
// owner, and that a stopped stream hears nothing of what happened before it stopped.
class PulseStreamEventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PULSE_SERVER", server.address().c_str(), 1);
        std::string error;
        hardware = PulseAudioHardware::connect(queue, &error);
        ASSERT_TRUE(hardware) << error;
    }
    void TearDown() override {
        hardware.reset();
        ::unsetenv("PULSE_SERVER");
    }
    DeviceID idOf(const std::string& uid) {
        for (auto id : hardware->deviceIDs().value_or(std::vector<DeviceID>{})) {
            if (hardware->deviceUID(id) == uid) {
                return id;
            }
        }
        return kNoDevice;
    }
    template <typename Done>
    bool pumpUntil(std::chrono::milliseconds timeout, Done done) {
        return testing::pumpUntil(queue, timeout, done);
    }
    void pumpFor(std::chrono::milliseconds duration) {
        pumpUntil(duration, [] { return false; });
    }

    // An output that renders silence; its owner writes down what it is told, on which thread.
    struct Output {
        std::unique_ptr<AudioStream> stream;
        std::atomic<std::int64_t> frames{0};
        std::vector<std::string> told;
        bool offMain = false;
    };
    void open(Output& output, const std::string& sink) {
        const auto main = std::this_thread::get_id();
        StreamEvents events;
        events.onConfigurationChange = [&output, main] {
            output.offMain = output.offMain || std::this_thread::get_id() != main;
            output.told.push_back("change");
        };
        events.onStartFailure = [&output, main](AudioResult failure) {
            output.offMain = output.offMain || std::this_thread::get_id() != main;
            output.told.push_back("start failure " + failure.description());
        };
        output.stream = hardware->openOutputStream(
            idOf(sink),
            [&output](float* const* channels, int count, int frames, double) {
                for (int c = 0; c < count; ++c) {
                    std::fill_n(channels[c], frames, 0.0f);
                }
                output.frames += frames;
            },
            std::move(events), nullptr);
        ASSERT_TRUE(output.stream);
        ASSERT_EQ(output.stream->start(), AudioResult{});
    }

    PulseServer server{{{"busA", "Bus A", 48000}, {"busB", "Bus B", 48000}}};
    VirtualMainQueue queue;
    std::unique_ptr<PulseAudioHardware> hardware;
};

TEST_F(PulseStreamEventsTest, ASuspensionAndAFailureAreToldOnceAndAStoppedStreamHearsNothing) {
    Output told, stopped, elsewhere;
    open(told, "busA");
    open(stopped, "busA");
    open(elsewhere, "busB");
    ASSERT_TRUE(pumpUntil(10s, [&] {
        return told.frames > 4800 && stopped.frames > 4800 && elsewhere.frames > 4800;
    }));

    // The sink is suspended while the main queue does not run; one of its streams is stopped
    // before it does. PulseAudio tells the streams of a suspended sink; PipeWire keeps a sink
    // that streams play into running and tells nothing.
    const std::vector<std::string> suspension =
        onPipeWire() ? std::vector<std::string>{} : std::vector<std::string>{"change"};
    ASSERT_EQ(server.pactl({"suspend-sink", "busA", "1"}).exitCode, 0);
    std::this_thread::sleep_for(300ms);
    stopped.stream->stop();
    pumpFor(300ms);
    EXPECT_EQ(told.told, suspension);
    EXPECT_TRUE(stopped.told.empty());
    EXPECT_TRUE(told.stream->isRunning());  // a suspended stream still runs
    // Waking up is no change.
    ASSERT_EQ(server.pactl({"suspend-sink", "busA", "0"}).exitCode, 0);
    const auto resumed = told.frames.load();
    ASSERT_TRUE(pumpUntil(10s, [&] { return told.frames > resumed + 4800; }));
    EXPECT_EQ(told.told, suspension);

    // The sink goes away: the stream is killed, which the owner hears once.
    auto gone = suspension;
    gone.push_back("change");
    ASSERT_TRUE(server.unloadModule(server.moduleOfSink("busA").value_or(-1)));
    ASSERT_TRUE(pumpUntil(5s, [&] { return told.told.size() >= gone.size(); }));
    pumpFor(300ms);
    EXPECT_EQ(told.told, gone);
    EXPECT_FALSE(told.stream->isRunning());
    EXPECT_FALSE(told.offMain);
    EXPECT_TRUE(stopped.told.empty());
    EXPECT_TRUE(elsewhere.told.empty());
    EXPECT_TRUE(elsewhere.stream->isRunning());
}

}  // namespace
}  // namespace qv
