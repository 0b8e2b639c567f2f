// Application and system audio capture from a private sound server, with real paplay players.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Audio/Platform/Pulse/PulseCaptureService.h"
#include "Audio/Platform/Pulse/PulseContext.h"
#include "Foundation/VirtualMainQueue.h"
#include "tests/Support/PulseServer.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using namespace qv::testing;
using namespace std::chrono_literals;

constexpr double kRate = 48000;
constexpr double kToneDb = -12;
const double kToneAmplitude = std::pow(10.0, kToneDb / 20.0);
// Stands for "not there": far below the tones, well above rounding and resampling noise.
constexpr double kAbsentDb = -70;

// Everything a capture stream delivered, gathered on its event thread.
class Collector {
  public:
    CaptureStream::SampleHandler handler() {
        return [this](const CaptureSampleBuffer& buffer) { add(buffer); };
    }

    std::size_t buffers() const {
        std::lock_guard lock(mutex_);
        return buffers_;
    }
    std::size_t frames() const {
        std::lock_guard lock(mutex_);
        return channels_[0].size();
    }
    // The buffers that were not 128 interleaved frames of 48 kHz stereo.
    std::size_t misshapen() const {
        std::lock_guard lock(mutex_);
        return misshapen_;
    }
    // The last `frames` frames of each channel (fewer when there are fewer).
    std::vector<std::vector<float>> tail(std::size_t frames) const {
        std::lock_guard lock(mutex_);
        std::vector<std::vector<float>> planes;
        for (const auto& channel : channels_) {
            const std::size_t from = channel.size() - std::min(frames, channel.size());
            planes.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(from), channel.end());
        }
        return planes;
    }

  private:
    void add(const CaptureSampleBuffer& buffer) {
        std::lock_guard lock(mutex_);
        ++buffers_;
        const bool isWellShaped = buffer.sampleRate == kRate && buffer.channelCount == 2 &&
                                  buffer.isInterleaved && buffer.frameCount == 128 &&
                                  buffer.byteLength == 128 * 2 * sizeof(float) && buffer.data;
        if (!isWellShaped) {
            ++misshapen_;
            return;
        }
        for (std::int64_t f = 0; f < buffer.frameCount; ++f) {
            channels_[0].push_back(buffer.data[2 * f]);
            channels_[1].push_back(buffer.data[2 * f + 1]);
        }
    }

    mutable std::mutex mutex_;
    std::size_t buffers_ = 0;
    std::size_t misshapen_ = 0;
    std::vector<float> channels_[2];
};

// A tone this process plays through a connection of its own, as the mixer's buses do.
class OwnTone {
  public:
    OwnTone(const std::string& sink, double frequency) : frequency_(frequency) {
        std::string error;
        context_ = PulseContext::connect("test tone", 5000ms, &error);
        if (!context_) {
            throw std::runtime_error(error);
        }
        PulseContext::Lock lock(*context_);
        const pa_sample_spec samples{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(kRate), 2};
        stream_ = pa_stream_new(context_->context(), "Own tone", &samples, nullptr);
        pa_stream_set_write_callback(stream_, &OwnTone::onWrite, this);
        pa_stream_connect_playback(stream_, sink.c_str(), nullptr, PA_STREAM_NOFLAGS, nullptr,
                                   nullptr);
    }
    ~OwnTone() {
        {
            PulseContext::Lock lock(*context_);
            pa_stream_set_write_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        context_.reset();
    }

  private:
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self) {
        auto* tone = static_cast<OwnTone*>(self);
        std::vector<float> samples(bytes / sizeof(float));
        for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
            const double phase = 2 * M_PI * tone->frequency_ * tone->frame_++ / kRate;
            samples[i] = samples[i + 1] = static_cast<float>(kToneAmplitude * std::sin(phase));
        }
        pa_stream_write(stream, samples.data(), samples.size() * sizeof(float), nullptr, 0,
                        PA_SEEK_RELATIVE);
    }

    double frequency_;
    std::uint64_t frame_ = 0;
    std::unique_ptr<PulseContext> context_;
    pa_stream* stream_ = nullptr;
};

// The name the server gives a program as its process binary (paplay may be a link to pacat).
std::string binaryName(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const fs::path candidate = fs::path(dirs.substr(start, end - start)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return fs::canonical(candidate).filename().string();
        }
        start = end + 1;
    }
    return program;
}

std::vector<std::string> appID(const std::string& bundleIdentifier) {
    return {"--property=application.id=" + bundleIdentifier};
}

// The service of this process on a private server with two null sinks at different rates.
class PulseCaptureServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PULSE_SERVER", server.address().c_str(), 1); }
    void TearDown() override { ::unsetenv("PULSE_SERVER"); }

    template <typename Done>
    bool pumpUntil(std::chrono::milliseconds timeout, Done done) {
        return testing::pumpUntil(queue, timeout, done);
    }
    void pumpFor(std::chrono::milliseconds duration) {
        pumpUntil(duration, [] { return false; });
    }

    struct ContentAnswer {
        std::optional<ShareableContent> content;
        std::string error;
    };
    // Asks for the shareable content and waits for the answer, which never comes inside the
    // call.
    ContentAnswer shareableContent() {
        std::optional<ContentAnswer> answer;
        service.getShareableContent(
            [&](std::optional<ShareableContent> content, std::string error) {
                answer = ContentAnswer{std::move(content), std::move(error)};
            });
        EXPECT_FALSE(answer) << "answered inside the call";
        EXPECT_TRUE(pumpUntil(10s, [&] { return answer.has_value(); }));
        return answer.value_or(ContentAnswer{std::nullopt, "no answer"});
    }

    struct Capture {
        // Declared first so that the stream, which delivers into it, goes first.
        std::shared_ptr<Collector> collector = std::make_shared<Collector>();
        std::shared_ptr<CaptureStream> stream;
    };
    // A started capture of one application, or of all but some.
    Capture startCapture(std::optional<std::string> included,
                         std::vector<std::string> excluded = {}) {
        CaptureFilter filter;
        filter.display = {1};
        filter.includedApplication = std::move(included);
        filter.excludedApplications = std::move(excluded);
        Capture capture;
        std::string error;
        capture.stream = service.makeStream(filter, CaptureConfiguration{}, &error);
        EXPECT_TRUE(capture.stream) << error;
        if (!capture.stream) {
            return capture;
        }
        EXPECT_TRUE(capture.stream->addAudioOutput(capture.collector->handler(), &error)) << error;
        std::optional<std::optional<std::string>> started;
        capture.stream->startCapture([&](std::optional<std::string> e) { started = e; });
        EXPECT_FALSE(started) << "completed inside the call";
        EXPECT_TRUE(pumpUntil(10s, [&] { return started.has_value(); }));
        EXPECT_EQ(started.value_or("no answer"), std::nullopt);
        return capture;
    }

    // Waits until the last half second of the capture holds every tone of `present` in each
    // 10 ms on both channels and none of `absent`, and returns it. Nothing after `timeout`.
    std::optional<std::vector<std::vector<float>>> awaitTones(const Collector& collector,
                                                              std::vector<double> present,
                                                              std::vector<double> absent,
                                                              std::chrono::milliseconds timeout) {
        constexpr std::size_t kWindow = 24000;
        constexpr std::size_t kBlock = 480;
        const double heard = std::pow(10.0, -40.0 / 20.0);
        std::optional<std::vector<std::vector<float>>> found;
        pumpUntil(timeout, [&] {
            auto planes = collector.tail(kWindow);
            if (planes[0].size() < kWindow) {
                return false;
            }
            for (const auto& plane : planes) {
                for (double tone : present) {
                    for (std::size_t at = 0; at < kWindow; at += kBlock) {
                        if (toneAmplitude(plane, tone, kRate, at, at + kBlock) < heard) {
                            return false;
                        }
                    }
                }
                for (double tone : absent) {
                    if (toDb(toneAmplitude(plane, tone, kRate, 0, kWindow)) > kAbsentDb) {
                        return false;
                    }
                }
            }
            found = std::move(planes);
            return true;
        });
        return found;
    }

    // Expects each tone at the level it was played at, within half a decibel.
    static void expectLevels(const std::vector<std::vector<float>>& planes,
                             std::vector<double> tones) {
        for (const auto& plane : planes) {
            for (double tone : tones) {
                EXPECT_NEAR(toDb(toneAmplitude(plane, tone, kRate, 0, plane.size())), kToneDb, 0.5)
                    << tone << " Hz";
            }
        }
    }

    fs::path tone(double frequency) const { return server.toneFile(frequency, kToneDb); }

    // The index of the only playback stream, once there is one.
    std::optional<int> onlySinkInput() {
        std::optional<int> index;
        pollUntil(5s, [&] {
            const auto out = server.pactl({"list", "short", "sink-inputs"}).out;
            if (!out.empty()) {
                index = std::stoi(out);
            }
            return index.has_value();
        });
        return index;
    }

    PulseServer server{{{"apps", "Applications", 48000}, {"other", "Other", 44100}}};
    VirtualMainQueue queue;
    PulseCaptureService service{queue};
};

TEST_F(PulseCaptureServiceTest, ShareableContentListsPlayingApplicationsButNotThisProgram) {
    auto named = server.play(tone(1000), "apps", appID("org.example.Player"));
    auto plain = server.play(tone(1500), "other");
    OwnTone own("apps", 700);
    const std::string binary = binaryName("paplay");

    auto listed = [&](const ShareableContent& content, const std::string& bundle, pid_t pid) {
        return std::any_of(content.applications.begin(), content.applications.end(),
                           [&](const RunningApplication& app) {
                               return app.bundleIdentifier == bundle &&
                                      app.applicationName == "paplay" && app.processID == pid;
                           });
    };
    ContentAnswer answer;
    ASSERT_TRUE(pollUntil(10s, [&] {
        answer = shareableContent();
        return answer.content && listed(*answer.content, "org.example.Player", named.pid()) &&
               listed(*answer.content, binary, plain.pid());
    })) << answer.error;
    ASSERT_EQ(answer.content->displays.size(), 1u);
    EXPECT_EQ(answer.content->displays[0].displayID, 1u);
    // The own tone plays, but this program is never offered.
    ASSERT_TRUE(pollUntil(5s, [&] {
        return server.pactl({"list", "sink-inputs"}).out.find(kOwnBundleIdentifier) !=
               std::string::npos;
    }));
    for (const auto& app : answer.content->applications) {
        EXPECT_NE(app.bundleIdentifier, kOwnBundleIdentifier);
        EXPECT_NE(app.processID, ::getpid());
    }
}

TEST_F(PulseCaptureServiceTest, AMissingServerIsReportedOnTheMainQueueAndTheServiceRecovers) {
    ASSERT_TRUE(shareableContent().content);

    server.kill();
    auto answer = shareableContent();
    EXPECT_FALSE(answer.content);
    EXPECT_FALSE(answer.error.empty());
    // A capture cannot start either, and says so later, never inside the call.
    std::string error;
    auto stream = service.makeStream({}, {}, &error);
    ASSERT_TRUE(stream) << error;
    std::optional<std::optional<std::string>> started;
    stream->startCapture([&](std::optional<std::string> e) { started = e; });
    EXPECT_FALSE(started);
    ASSERT_TRUE(pumpUntil(10s, [&] { return started.has_value(); }));
    EXPECT_TRUE(started->has_value());

    server.restart();
    answer = shareableContent();
    ASSERT_TRUE(answer.content) << answer.error;
    EXPECT_EQ(answer.content->displays.size(), 1u);
}

TEST_F(PulseCaptureServiceTest, OneApplicationIsCapturedAtItsLevelAcrossItsStreams) {
    // Nothing plays yet: the capture starts all the same and delivers nothing.
    auto capture = startCapture("org.example.Player");
    pumpFor(300ms);
    EXPECT_EQ(capture.collector->buffers(), 0u);

    auto first = server.play(tone(1000), "apps", appID("org.example.Player"));
    auto heard = awaitTones(*capture.collector, {1000}, {1500}, 15s);
    ASSERT_TRUE(heard) << server.log();
    expectLevels(*heard, {1000});

    // A second stream of the application, on a sink at another rate, joins the mix.
    auto second = server.play(tone(1500), "other", appID("org.example.Player"));
    heard = awaitTones(*capture.collector, {1000, 1500}, {}, 15s);
    ASSERT_TRUE(heard);
    expectLevels(*heard, {1000, 1500});

    // The first one ends; the second goes on alone.
    first.stop(SIGKILL);
    heard = awaitTones(*capture.collector, {1500}, {1000}, 15s);
    ASSERT_TRUE(heard);
    expectLevels(*heard, {1500});
    EXPECT_EQ(capture.collector->misshapen(), 0u);
}

TEST_F(PulseCaptureServiceTest, FiltersTakeTheirApplicationsAndNeverThisProgram) {
    auto player = server.play(tone(1000), "apps", appID("org.example.Player"));
    auto chat = server.play(tone(1500), "other", appID("org.example.Chat"));
    OwnTone own("apps", 700);
    // This program's tone does reach the sink.
    auto monitor = server.record("apps.monitor");
    ASSERT_TRUE(awaitSteadyTone(monitor, 700, 15s, 0.5));

    struct Case {
        std::optional<std::string> included;
        std::vector<std::string> excluded;
        std::vector<double> heard;
        std::vector<double> unheard;
    };
    const std::vector<Case> cases = {
        {"org.example.Player", {}, {1000}, {1500, 700}},
        {"org.example.Chat", {}, {1500}, {1000, 700}},
        {std::nullopt, {"org.example.Chat"}, {1000}, {1500, 700}},
        {std::nullopt, {}, {1000, 1500}, {700}},
        {std::nullopt, {"org.example.Player", "org.example.Chat"}, {}, {1000, 1500, 700}},
    };
    std::vector<Capture> captures;
    for (const auto& c : cases) {
        captures.push_back(startCapture(c.included, c.excluded));
    }
    // Asking for this program itself gets nothing at all.
    auto itself = startCapture(kOwnBundleIdentifier);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        if (cases[i].heard.empty()) {
            continue;
        }
        auto heard = awaitTones(*captures[i].collector, cases[i].heard, cases[i].unheard, 15s);
        ASSERT_TRUE(heard);
        expectLevels(*heard, cases[i].heard);
    }
    // The capture that excludes every player only ever heard silence, if anything.
    const auto quiet = captures.back().collector->tail(48000);
    EXPECT_LT(toDb(peak(quiet[0])), kAbsentDb);
    EXPECT_LT(toDb(peak(quiet[1])), kAbsentDb);
    EXPECT_EQ(itself.collector->buffers(), 0u);
}

TEST_F(PulseCaptureServiceTest, BuffersHaveTheConfiguredShapeAndImpossibleOnesAreRefused) {
    struct Refused {
        double rate;
        std::uint32_t channels;
    };
    for (const auto& c : {Refused{0, 2}, Refused{std::nan(""), 2}, Refused{48000, 0},
                          Refused{48000, 300}, Refused{1e9, 2}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        CaptureConfiguration configuration;
        configuration.sampleRate = c.rate;
        configuration.channelCount = c.channels;
        std::string error;
        EXPECT_FALSE(service.makeStream({}, configuration, &error));
        EXPECT_FALSE(error.empty());
    }

    auto player = server.play(tone(1000), "apps", appID("org.example.Player"));
    CaptureFilter filter;
    filter.includedApplication = "org.example.Player";
    CaptureConfiguration mono;
    mono.sampleRate = 44100;
    mono.channelCount = 1;
    std::atomic<int> fitting{0};
    std::atomic<int> misfitting{0};
    std::string error;
    auto stream = service.makeStream(filter, mono, &error);
    ASSERT_TRUE(stream) << error;
    ASSERT_TRUE(stream->addAudioOutput(
        [&](const CaptureSampleBuffer& b) {
            const bool fits = b.sampleRate == 44100 && b.channelCount == 1 && b.isInterleaved &&
                              b.frameCount == 128 && b.byteLength == 128 * sizeof(float);
            ++(fits ? fitting : misfitting);
        },
        &error));
    stream->startCapture({});
    ASSERT_TRUE(pumpUntil(15s, [&] { return fitting > 100; }));
    stream.reset();
    EXPECT_EQ(misfitting, 0);
}

TEST_F(PulseCaptureServiceTest, AStreamMovedToAnotherSinkIsFollowed) {
    auto player = server.play(tone(1000), "apps", appID("org.example.Player"));
    auto capture = startCapture("org.example.Player");
    ASSERT_TRUE(awaitTones(*capture.collector, {1000}, {}, 15s));

    const auto index = onlySinkInput();
    ASSERT_TRUE(index);
    const auto before = capture.collector->frames();
    ASSERT_EQ(server.pactl({"move-sink-input", std::to_string(*index), "other"}).exitCode, 0);
    ASSERT_TRUE(pumpUntil(10s, [&] { return capture.collector->frames() > before + 48000; }));
    auto heard = awaitTones(*capture.collector, {1000}, {}, 15s);
    ASSERT_TRUE(heard);
    expectLevels(*heard, {1000});
}

TEST_F(PulseCaptureServiceTest, AStreamThatDeliversNothingDoesNotHoldUpTheOthers) {
    auto player = server.play(tone(1000), "apps", appID("org.example.Player"));
    auto chat = server.play(tone(1500), "other", appID("org.example.Chat"));
    auto capture = startCapture(std::nullopt);
    ASSERT_TRUE(awaitTones(*capture.collector, {1000, 1500}, {}, 15s));

    // A suspended sink plays nothing, so its stream's recording stops. PipeWire does not
    // suspend a sink that is played into: there the player itself stops.
    const auto pause = [&](bool paused) {
        if (onPipeWire()) {
            return ::kill(chat.pid(), paused ? SIGSTOP : SIGCONT) == 0;
        }
        return server.pactl({"suspend-sink", "other", paused ? "1" : "0"}).exitCode == 0;
    };
    ASSERT_TRUE(pause(true));
    auto heard = awaitTones(*capture.collector, {1000}, {1500}, 15s);
    ASSERT_TRUE(heard);
    expectLevels(*heard, {1000});

    ASSERT_TRUE(pause(false));
    heard = awaitTones(*capture.collector, {1000, 1500}, {}, 15s);
    ASSERT_TRUE(heard);
    expectLevels(*heard, {1000, 1500});
}

// System audio from three players on two sinks at different rates and levels: for 20 s every
// tone is there in every 10 ms block, at its level.
TEST_F(PulseCaptureServiceTest, SystemAudioFromThreePlayersKeepsEveryToneInEveryBlock) {
    struct Player {
        double frequency, levelDb;
        const char* sink;
    };
    const Player players[] = {{1000, -12, "apps"}, {440, -18, "apps"}, {2500, -9, "other"}};
    std::vector<ChildProcess> playing;
    for (const auto& p : players) {
        playing.push_back(
            server.play(server.toneFile(p.frequency, p.levelDb, 120), p.sink,
                        appID("org.example.Tone" + std::to_string(static_cast<int>(p.frequency)))));
    }
    auto capture = startCapture(std::nullopt);
    ASSERT_TRUE(awaitTones(*capture.collector, {1000, 440, 2500}, {}, 15s));

    constexpr std::size_t kSpan = 20 * 48000;
    const std::size_t start = capture.collector->frames();
    ASSERT_TRUE(pumpUntil(40s, [&] { return capture.collector->frames() >= start + kSpan; }));
    const auto planes = capture.collector->tail(kSpan);
    constexpr std::size_t kBlock = 480;
    for (const auto& plane : planes) {
        for (const auto& p : players) {
            SCOPED_TRACE(std::to_string(p.frequency) + " Hz");
            EXPECT_NEAR(toDb(toneAmplitude(plane, p.frequency, kRate, 0, plane.size())), p.levelDb,
                        0.5);
            std::size_t weak = 0;
            std::size_t firstWeak = plane.size();
            for (std::size_t at = 0; at + kBlock <= plane.size(); at += kBlock) {
                const double db = toDb(toneAmplitude(plane, p.frequency, kRate, at, at + kBlock));
                // A 10 ms block also hears a little of the louder tones beside it (up to
                // about 1.3 dB here); a block that lost a third of its tone is 3.5 dB down.
                if (std::fabs(db - p.levelDb) > 3.0) {
                    ++weak;
                    firstWeak = std::min(firstWeak, at);
                }
            }
            EXPECT_EQ(weak, 0u) << "first at " << static_cast<double>(firstWeak) / kRate << " s";
        }
    }
}

TEST_F(PulseCaptureServiceTest, NothingIsDeliveredOnceStoppedOrDropped) {
    auto player = server.play(tone(1000), "apps", appID("org.example.Player"));
    for (const bool drops : {false, true}) {
        SCOPED_TRACE(drops ? "dropped" : "stopped");
        auto capture = startCapture("org.example.Player");
        ASSERT_TRUE(pumpUntil(15s, [&] { return capture.collector->buffers() > 100; }));
        std::atomic<bool> completed{false};
        // Stopped from a thread of its own, not the main queue's.
        std::thread([&] {
            if (drops) {
                capture.stream.reset();
            } else {
                capture.stream->stopCapture([&](std::optional<std::string> error) {
                    EXPECT_EQ(error, std::nullopt);
                    completed = true;
                });
            }
        }).join();
        const auto delivered = capture.collector->buffers();
        EXPECT_FALSE(completed);
        pumpFor(500ms);
        EXPECT_EQ(completed, !drops);
        EXPECT_EQ(capture.collector->buffers(), delivered);
    }
}

TEST_F(PulseCaptureServiceTest, CaptureComesBackAfterTheServerRestarts) {
    auto player = server.play(tone(1000), "apps", appID("org.example.Player"));
    auto capture = startCapture("org.example.Player");
    ASSERT_TRUE(awaitTones(*capture.collector, {1000}, {}, 15s));

    server.kill();
    pumpFor(1s);  // a few attempts to reconnect fail meanwhile
    const auto before = capture.collector->buffers();
    server.restart();
    player = server.play(tone(1500), "apps", appID("org.example.Player"));
    ASSERT_TRUE(pumpUntil(20s, [&] { return capture.collector->buffers() > before; }))
        << server.log();
    auto heard = awaitTones(*capture.collector, {1500}, {1000}, 15s);
    ASSERT_TRUE(heard);
    expectLevels(*heard, {1500});

    // Stopped while it waits to reconnect, it stays stopped when the server returns.
    server.kill();
    pumpFor(300ms);
    capture.stream->stopCapture({});
    const auto stopped = capture.collector->buffers();
    server.restart();
    player = server.play(tone(1000), "apps", appID("org.example.Player"));
    // Long enough for a reconnect and for the null sink to shorten its render period.
    pumpFor(4s);
    EXPECT_EQ(capture.collector->buffers(), stopped);
}

}  // namespace
}  // namespace qv
