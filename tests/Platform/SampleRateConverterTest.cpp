#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "Audio/Platform/SampleRateConverter.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

using Planes = std::vector<std::vector<float>>;

constexpr double kOut = 48000.0;

Planes noise(std::uint32_t channels, std::size_t frames) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
    Planes x(channels, std::vector<float>(frames));
    for (auto& plane : x) {
        for (float& v : plane) {
            v = sample(random);
        }
    }
    return x;
}

std::vector<float> sine(double hz, double amplitude, double rate, std::size_t frames) {
    std::vector<float> x(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        x[i] = static_cast<float>(amplitude *
                                  std::sin(2.0 * std::numbers::pi * hz * double(i) / rate));
    }
    return x;
}

std::unique_ptr<SampleRateConverter> makeConverter(double fromHz, std::uint32_t channels) {
    std::string error;
    auto converter = SampleRateConverter::create(AudioFormat::standard(fromHz, channels),
                                                 AudioFormat::standard(kOut, channels), &error);
    EXPECT_TRUE(converter) << error;
    return converter;
}

// Feeds `input` in `chunk`-frame buffers, giving each call `capacity` output frames, then keeps
// calling with empty input until nothing more comes out.
Planes stream(SampleRateConverter& converter, const Planes& input, std::size_t chunk,
              std::uint32_t capacity) {
    const auto channels = static_cast<std::uint32_t>(input.size());
    const AudioFormat inFormat = converter.inputFormat();
    AudioPCMBuffer out(converter.outputFormat(), capacity);
    Planes result(channels);
    const auto collect = [&] {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const float* p = out.floatChannelData()[c];
            result[c].insert(result[c].end(), p, p + out.frameLength());
        }
    };
    const std::size_t frames = input[0].size();
    for (std::size_t done = 0; done < frames; done += chunk) {
        const auto n = static_cast<std::uint32_t>(std::min(chunk, frames - done));
        AudioPCMBuffer in(inFormat, n);
        for (std::uint32_t c = 0; c < channels; ++c) {
            std::copy_n(input[c].begin() + static_cast<std::ptrdiff_t>(done), n,
                        in.floatChannelData()[c]);
        }
        in.setFrameLength(n);
        std::string error;
        EXPECT_TRUE(converter.convert(in, out, &error)) << error;
        collect();
    }
    AudioPCMBuffer empty(inFormat, 1);
    do {
        EXPECT_TRUE(converter.convert(empty, out, nullptr));
        collect();
    } while (out.frameLength() > 0);
    return result;
}

Planes onePiece(double fromHz, const Planes& input) {
    auto converter = makeConverter(fromHz, static_cast<std::uint32_t>(input.size()));
    const auto frames = static_cast<std::uint32_t>(input[0].size());
    return stream(*converter, input, frames, frames * 2);
}

TEST(SampleRateConverterTest, CreateRejectsUnusableFormats) {
    struct Case {
        const char* name;
        AudioFormat from;
        AudioFormat to;
    };
    const Case cases[] = {
        {"zero input rate", AudioFormat::standard(0, 2), AudioFormat::standard(kOut, 2)},
        {"negative output rate", AudioFormat::standard(44100, 2), AudioFormat::standard(-1, 2)},
        {"NaN rate", AudioFormat::standard(std::nan(""), 2), AudioFormat::standard(kOut, 2)},
        {"infinite rate", AudioFormat::standard(44100, 2), AudioFormat::standard(INFINITY, 2)},
        {"no channels", AudioFormat::standard(44100, 0), AudioFormat::standard(kOut, 0)},
        {"channel count changes", AudioFormat::standard(44100, 1), AudioFormat::standard(kOut, 2)},
        {"interleaved", AudioFormat{44100, 2, true}, AudioFormat::standard(kOut, 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(SampleRateConverter::create(c.from, c.to, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(SampleRateConverter::create(c.from, c.to, nullptr));
    }

    const auto from = AudioFormat::standard(44100, 6);
    const auto to = AudioFormat::standard(kOut, 6);
    auto ok = SampleRateConverter::create(from, to, nullptr);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->inputFormat(), from);
    EXPECT_EQ(ok->outputFormat(), to);
}

TEST(SampleRateConverterTest, ConvertRejectsBuffersOfTheWrongShape) {
    auto converter = makeConverter(44100, 2);
    struct Case {
        const char* name;
        AudioFormat in;
        AudioFormat out;
    };
    const Case cases[] = {
        {"mono input", AudioFormat::standard(44100, 1), AudioFormat::standard(kOut, 2)},
        {"mono output", AudioFormat::standard(44100, 2), AudioFormat::standard(kOut, 1)},
        {"interleaved input", AudioFormat{44100, 2, true}, AudioFormat::standard(kOut, 2)},
        {"interleaved output", AudioFormat::standard(44100, 2), AudioFormat{kOut, 2, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AudioPCMBuffer in(c.in, 128);
        in.setFrameLength(128);
        AudioPCMBuffer out(c.out, 256);
        std::string error;
        EXPECT_FALSE(converter->convert(in, out, &error));
        EXPECT_FALSE(error.empty());
    }
}

// The filter state and fractional phase carry over between calls: chunk size changes nothing.
TEST(SampleRateConverterTest, ChunkedStreamEqualsOnePiece) {
    const Planes input = noise(2, 44100);
    const Planes whole = onePiece(44100, input);
    // All but the frames still held by the filter have come out.
    EXPECT_GT(whole[0].size(), 48000u - 1000u);
    for (const std::size_t chunk : {128, 441, 1000}) {
        SCOPED_TRACE(chunk);
        auto converter = makeConverter(44100, 2);
        EXPECT_EQ(stream(*converter, input, chunk, 2048), whole);
    }
}

// Output buffers smaller than what is ready lose nothing: the rest comes out on later calls.
TEST(SampleRateConverterTest, SmallOutputBufferKeepsTheRest) {
    const Planes input = noise(2, 44100);
    const Planes whole = onePiece(44100, input);
    auto converter = makeConverter(44100, 2);
    const Planes trickled = stream(*converter, input, 441, 100);
    EXPECT_EQ(trickled, whole);
}

// delayFrames() counts exactly the frames owed: written + delay = frames in × 48000 / 44100.
TEST(SampleRateConverterTest, DelayAccountsForHeldBackFrames) {
    auto converter = makeConverter(44100, 1);
    EXPECT_EQ(converter->delayFrames(), 0.0);
    const std::vector<float> input = noise(1, 44100)[0];
    AudioPCMBuffer in(converter->inputFormat(), 128);
    AudioPCMBuffer out(converter->outputFormat(), 4096);
    std::size_t written = 0;
    for (std::size_t done = 0; done + 128 <= input.size(); done += 128) {
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(done), 128,
                    in.floatChannelData()[0]);
        in.setFrameLength(128);
        ASSERT_TRUE(converter->convert(in, out, nullptr));
        if (done == 0) {
            EXPECT_LT(out.frameLength(), 139u) << "the first call holds back the filter delay";
        }
        written += out.frameLength();
        const double owed = double(done + 128) * kOut / 44100.0;
        ASSERT_NEAR(double(written) + converter->delayFrames(), owed, 1e-6) << done;
    }
}

TEST(SampleRateConverterTest, ResetStartsAFreshStream) {
    const Planes first = noise(2, 5000);
    const Planes second = {sine(1000, 0.5, 44100, 20000), sine(300, 0.25, 44100, 20000)};
    auto converter = makeConverter(44100, 2);
    stream(*converter, first, 441, 2048);
    converter->reset();
    EXPECT_EQ(converter->delayFrames(), 0.0);
    EXPECT_EQ(stream(*converter, second, 441, 2048), onePiece(44100, second));
}

// finish() ends the stream, so every input frame comes out: frames × 48000 / rate, rounded.
TEST(SampleRateConverterTest, FinishReleasesTheWholeStream) {
    struct Case {
        double rate;
        std::uint32_t frames;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {44100, 441, 480}, {44100, 4410, 4800}, {96000, 256, 128}, {22050, 100, 218}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        auto converter = makeConverter(c.rate, 1);
        AudioPCMBuffer in(converter->inputFormat(), c.frames);
        const auto x = sine(1000, 0.5, c.rate, c.frames);
        std::copy(x.begin(), x.end(), in.floatChannelData()[0]);
        in.setFrameLength(c.frames);
        AudioPCMBuffer out(converter->outputFormat(), c.expected + 32);
        ASSERT_TRUE(converter->finish(in, out, nullptr));
        EXPECT_EQ(out.frameLength(), c.expected);
    }
}

// Amplitude and phase of a `hz` sinusoid fitted by least squares over whole cycles (where sine
// and cosine are orthogonal), and the signal-to-residual ratio in dB.
struct SineFit {
    double amplitude;
    double snrDb;
};

SineFit fitSine(const std::vector<float>& y, double hz, double rate, std::size_t from,
                std::size_t to) {
    const double w = 2.0 * std::numbers::pi * hz / rate;
    double s = 0, c = 0;
    for (std::size_t i = from; i < to; ++i) {
        s += double(y[i]) * std::sin(w * double(i));
        c += double(y[i]) * std::cos(w * double(i));
    }
    const double n = double(to - from);
    const double a = 2.0 * s / n;
    const double b = 2.0 * c / n;
    double residual = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double e = double(y[i]) - a * std::sin(w * double(i)) - b * std::cos(w * double(i));
        residual += e * e;
    }
    const double amplitude = std::hypot(a, b);
    return {amplitude, 10.0 * std::log10(amplitude * amplitude / 2.0 / (residual / n))};
}

const double kMinus6Dbfs = std::pow(10.0, -6.0 / 20.0);

TEST(SampleRateConverterTest, SineKeepsPitchAndLevel) {
    auto converter = makeConverter(44100, 1);
    const Planes out = stream(*converter, {sine(1000, kMinus6Dbfs, 44100, 2 * 44100)}, 128, 2048);
    // Skip the start-up transient; whole 48-frame cycles after it.
    const std::size_t from = 4800;
    const std::size_t to = from + (out[0].size() - from) / 48 * 48;
    ASSERT_GT(to, from + 48000);
    EXPECT_NEAR(testing::frequency(out[0], kOut, from, to), 1000.0, 0.05);
    EXPECT_NEAR(testing::toDb(testing::rms(out[0], from, to) * std::sqrt(2.0)), -6.0, 0.01);
}

TEST(SampleRateConverterTest, SineSnrAtLeast140Db) {
    for (const double rate : {44100.0, 96000.0, 32000.0}) {
        SCOPED_TRACE(rate);
        auto converter = makeConverter(rate, 1);
        const auto frames = static_cast<std::size_t>(rate);
        const Planes out = stream(*converter, {sine(1000, kMinus6Dbfs, rate, frames)}, 128, 2048);
        const std::size_t from = 4800;
        const std::size_t to = from + (out[0].size() - from) / 48 * 48;
        ASSERT_GT(to, from + 24000);
        const SineFit fit = fitSine(out[0], 1000, kOut, from, to);
        EXPECT_NEAR(testing::toDb(fit.amplitude), -6.0, 0.01);
        EXPECT_GE(fit.snrDb, 140.0);
        RecordProperty("snr_db_" + std::to_string(static_cast<int>(rate)),
                       std::to_string(fit.snrDb));
    }
}

}  // namespace
}  // namespace qv
