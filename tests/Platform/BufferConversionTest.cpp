#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "Audio/Platform/BufferConversion.h"
#include "Audio/Platform/SampleRateConverter.h"
#include "tests/Support/SignalAnalysis.h"

namespace qv {
namespace {

std::vector<float> plane(const AudioPCMBuffer& b, std::uint32_t channel) {
    const float* p = b.floatChannelData()[channel];
    return {p, p + b.frameLength()};
}

// A 1 kHz sine per channel, channel c at amplitude 0.1 × (c + 1), so mixed-up channels show.
std::unique_ptr<AudioPCMBuffer> tones(double rate, std::uint32_t channels, std::uint32_t capacity,
                                      std::uint32_t frames, std::uint32_t startFrame = 0) {
    auto b = std::make_unique<AudioPCMBuffer>(AudioFormat::standard(rate, channels), capacity);
    for (std::uint32_t c = 0; c < channels; ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = double(startFrame + i) / rate;
            b->floatChannelData()[c][i] =
                static_cast<float>(0.1 * (c + 1) * std::sin(2.0 * std::numbers::pi * 1000.0 * t));
        }
    }
    b->setFrameLength(frames);
    return b;
}

TEST(BufferConversionTest, ConvertedCapacityIsRatioTimesFramesPlus32) {
    struct Case {
        double rate;
        std::uint32_t frames;
        std::uint32_t capacity;
    };
    const Case cases[] = {
        {44100, 441, 512},                     // 480 exactly, no rounding down to 479
        {44100, 128, 171},                     // 139.3
        {48000, 128, 160},                     // same rate
        {96000, 256, 160},                     // halved
        {22050, 100, 249},                     // 217.7
        {44100, 44100, 48032},                 // one second
        {8000, 0, 32},         {0.0, 128, 0},  // no usable rate
        {-44100, 128, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(convertedCapacity(c.rate, c.frames), c.capacity) << c.rate << " Hz, " << c.frames;
    }
}

TEST(BufferConversionTest, CopyBufferIsDeepAndKeepsShape) {
    auto source = tones(44100, 3, 256, 200);
    auto copy = copyBuffer(*source);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->format(), source->format());
    EXPECT_EQ(copy->frameCapacity(), 256u);
    EXPECT_EQ(copy->frameLength(), 200u);
    for (std::uint32_t c = 0; c < 3; ++c) {
        EXPECT_EQ(plane(*copy, c), plane(*source, c)) << c;
    }
    source->floatChannelData()[1][10] = 0.9f;
    EXPECT_NE(copy->floatChannelData()[1][10], 0.9f);

    AudioPCMBuffer interleaved(AudioFormat{48000, 2, true}, 64);
    interleaved.setFrameLength(64);
    EXPECT_FALSE(copyBuffer(interleaved));
}

// Without a converter of its own, each call is a whole stream: every frame comes out.
TEST(BufferConversionTest, ConvertBufferPicksCopyDuplicateOrResample) {
    struct Case {
        const char* name;
        double rate;
        std::uint32_t srcChannels;
        bool resampled;
        std::uint32_t outChannels;
        bool duplicated;  // both output channels carry source channel 0
    };
    const Case cases[] = {
        {"48 kHz stereo", 48000.0, 2, false, 2, false},
        {"0.8 Hz high still matches", 48000.8, 2, false, 2, false},
        {"0.8 Hz low still matches", 47999.2, 2, false, 2, false},
        {"1 Hz off resamples", 48001.0, 2, true, 2, false},
        {"48 kHz mono", 48000.0, 1, false, 2, true},
        {"44.1 kHz mono", 44100.0, 1, true, 2, true},
        {"44.1 kHz stereo", 44100.0, 2, true, 2, false},
        {"44.1 kHz 6 channels stay 6", 44100.0, 6, true, 6, false},
        {"48 kHz 6 channels stay 6", 48000.0, 6, true, 6, false},
    };
    const AudioFormat target = internalFormat();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t frames = static_cast<std::uint32_t>(std::lround(c.rate / 10));
        const auto source = tones(c.rate, c.srcChannels, frames + 7, frames);
        const auto out = convertBuffer(*source, c.rate, target, nullptr);
        ASSERT_TRUE(out);
        EXPECT_FALSE(out->format().interleaved);
        EXPECT_EQ(out->format().channelCount, c.outChannels);
        EXPECT_EQ(out->format().sampleRate, 48000.0);
        if (!c.resampled) {
            EXPECT_EQ(out->frameCapacity(), source->frameCapacity());
            EXPECT_EQ(out->frameLength(), frames);
            for (std::uint32_t ch = 0; ch < c.outChannels; ++ch) {
                EXPECT_EQ(plane(*out, ch), plane(*source, c.duplicated ? 0 : ch)) << ch;
            }
            continue;
        }
        EXPECT_EQ(out->frameCapacity(), convertedCapacity(c.rate, frames));
        EXPECT_EQ(out->frameLength(), 4800u);
        for (std::uint32_t ch = 0; ch < c.outChannels; ++ch) {
            const std::uint32_t from = c.duplicated ? 0 : ch;
            // 20 to 80 ms only: the edges ring where the stream starts and ends.
            EXPECT_NEAR(testing::rms(plane(*out, ch), 960, 3840),
                        testing::rms(plane(*source, from), std::lround(c.rate * 0.02),
                                     std::lround(c.rate * 0.08)),
                        1e-4)
                << ch;
        }
        if (c.duplicated) {
            EXPECT_EQ(plane(*out, 0), plane(*out, 1));
        }
    }
}

TEST(BufferConversionTest, NothingForEmptyOrUnsupportedBuffers) {
    struct Case {
        const char* name;
        AudioFormat source;
        std::uint32_t frames;
        double rate;
        AudioFormat target;
    };
    const Case cases[] = {
        {"0 frames, copy", AudioFormat::standard(48000, 2), 0, 48000, internalFormat()},
        {"0 frames, mono", AudioFormat::standard(48000, 1), 0, 48000, internalFormat()},
        {"0 frames, resample", AudioFormat::standard(44100, 2), 0, 44100, internalFormat()},
        {"interleaved source", AudioFormat{48000, 2, true}, 64, 48000, internalFormat()},
        {"interleaved target", AudioFormat::standard(48000, 2), 64, 48000,
         AudioFormat{48000, 2, true}},
        {"unusable rate", AudioFormat::standard(48000, 2), 64, 0.0, internalFormat()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AudioPCMBuffer source(c.source, 64);
        source.setFrameLength(c.frames);
        EXPECT_FALSE(convertBuffer(source, c.rate, c.target, nullptr));
    }
}

// A converter passed in carries the stream across buffers, exactly as if used directly.
TEST(BufferConversionTest, GivenConverterStreamsAcrossBuffers) {
    for (const std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        const auto in = AudioFormat::standard(44100, channels);
        const auto out = AudioFormat::standard(48000, channels);
        auto viaBuffers = SampleRateConverter::create(in, out, nullptr);
        auto direct = SampleRateConverter::create(in, out, nullptr);
        ASSERT_TRUE(viaBuffers && direct);

        // Per output channel: what convertBuffer gave, and the direct converter's channel that
        // belongs there (channel 0 in both for mono).
        std::vector<float> streamed[2], expected[2];
        AudioPCMBuffer directOut(out, 4096);
        for (std::uint32_t block = 0; block < 40; ++block) {
            const auto source = tones(44100, channels, 441, 441, block * 441);
            const auto converted =
                convertBuffer(*source, 44100, internalFormat(), viaBuffers.get());
            ASSERT_TRUE(converted);
            EXPECT_EQ(converted->format(), internalFormat());
            EXPECT_EQ(converted->frameCapacity(), 512u);
            ASSERT_TRUE(direct->convert(*source, directOut, nullptr));
            for (std::uint32_t c = 0; c < 2; ++c) {
                const auto got = plane(*converted, c);
                const auto want = plane(directOut, channels == 1 ? 0 : c);
                streamed[c].insert(streamed[c].end(), got.begin(), got.end());
                expected[c].insert(expected[c].end(), want.begin(), want.end());
            }
        }
        // Bursts larger than the 512-frame buffers wait in the converter for the next call.
        ASSERT_GT(streamed[0].size(), 40u * 480u - 1000u);
        ASSERT_LE(streamed[0].size(), expected[0].size());
        for (std::uint32_t c = 0; c < 2; ++c) {
            expected[c].resize(streamed[c].size());
            EXPECT_EQ(streamed[c], expected[c]) << c;
        }
    }
}

TEST(BufferConversionTest, NothingWhenTheGivenConverterDoesNotFit) {
    auto stereo = SampleRateConverter::create(AudioFormat::standard(44100, 2),
                                              AudioFormat::standard(48000, 2), nullptr);
    ASSERT_TRUE(stereo);
    const auto mono = tones(44100, 1, 441, 441);
    EXPECT_FALSE(convertBuffer(*mono, 44100, internalFormat(), stereo.get()));
}

}  // namespace
}  // namespace qv
