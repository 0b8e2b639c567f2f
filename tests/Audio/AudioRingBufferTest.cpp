#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "Audio/AudioRingBuffer.h"

namespace qv {
namespace {

struct Frames {
    std::vector<float> left, right;
};

Frames ramp(std::int64_t count, float start) {
    Frames f{std::vector<float>(static_cast<std::size_t>(count)),
             std::vector<float>(static_cast<std::size_t>(count))};
    std::iota(f.left.begin(), f.left.end(), start);
    for (std::size_t i = 0; i < f.right.size(); ++i)
        f.right[i] = -f.left[i];
    return f;
}

std::int64_t write(AudioRingBuffer& ring, const Frames& f) {
    ring.write(f.left.data(), f.right.data(), static_cast<std::int64_t>(f.left.size()));
    return static_cast<std::int64_t>(f.left.size());
}

Frames read(AudioRingBuffer& ring, std::int64_t count, std::int64_t* got) {
    Frames f{std::vector<float>(static_cast<std::size_t>(count), 99.0f),
             std::vector<float>(static_cast<std::size_t>(count), 99.0f)};
    *got = ring.read(f.left.data(), f.right.data(), count);
    return f;
}

TEST(AudioRingBuffer, UnderrunFillsWithSilence) {
    AudioRingBuffer ring;
    std::int64_t got = -1;
    auto empty = read(ring, 512, &got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(empty.left, std::vector<float>(512, 0.0f));
    EXPECT_EQ(empty.right, std::vector<float>(512, 0.0f));

    write(ring, ramp(300, 1.0f));
    auto partly = read(ring, 512, &got);
    EXPECT_EQ(got, 300);
    for (std::size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(partly.left[i], static_cast<float>(i + 1));
        ASSERT_EQ(partly.right[i], -static_cast<float>(i + 1));
    }
    for (std::size_t i = 300; i < 512; ++i) {
        ASSERT_EQ(partly.left[i], 0.0f);
        ASSERT_EQ(partly.right[i], 0.0f);
    }
    read(ring, 16, &got);
    EXPECT_EQ(got, 0);

    ring.write(nullptr, nullptr, 0);
    EXPECT_EQ(ring.availableFrames(), 0);
}

TEST(AudioRingBuffer, AFullBufferIsFullAndAnOverrunKeepsTheNewestFramesInOrder) {
    struct Case {
        std::int64_t written;
        std::int64_t readable;
        std::uint64_t overrun;
    };
    for (const Case& c : {Case{16383, 16383, 0}, Case{16384, 16384, 0}, Case{16400, 16384, 16},
                          Case{40000, 16384, 40000 - 16384}}) {
        AudioRingBuffer ring;
        // In pieces, as a capture delivers them.
        for (std::int64_t at = 0; at < c.written; at += 1000) {
            write(ring, ramp(std::min<std::int64_t>(1000, c.written - at), static_cast<float>(at)));
        }
        EXPECT_EQ(ring.availableFrames(), c.readable) << c.written;
        std::int64_t got = -1;
        auto frames = read(ring, 20000, &got);
        EXPECT_EQ(got, c.readable) << c.written;
        const float first = static_cast<float>(c.written - c.readable);
        for (std::int64_t i = 0; i < got; ++i) {
            ASSERT_EQ(frames.left[static_cast<std::size_t>(i)], first + static_cast<float>(i))
                << c.written << " frame " << i;
        }
        EXPECT_EQ(ring.overrunFrames(), c.overrun) << c.written;
        EXPECT_EQ(ring.underrunFrames(), static_cast<std::uint64_t>(20000 - got)) << c.written;
    }
    // One write larger than the whole buffer keeps its own newest frames.
    AudioRingBuffer ring;
    write(ring, ramp(20000, 0.0f));
    std::int64_t got = -1;
    auto frames = read(ring, 16384, &got);
    EXPECT_EQ(got, 16384);
    EXPECT_EQ(frames.left.front(), 20000.0f - 16384.0f);
    EXPECT_EQ(frames.left.back(), 19999.0f);
    EXPECT_EQ(ring.largestWrite(), 20000);
}

TEST(AudioRingBuffer, SkipDropsFramesAndFillTellsWhenTheNewestArrived) {
    AudioRingBuffer ring;
    EXPECT_FALSE(ring.fill()) << "nothing delivered yet";
    ring.write(ramp(100, 0.0f).left.data(), ramp(100, 0.0f).right.data(), 100, 2.5);
    ASSERT_TRUE(ring.fill());
    EXPECT_EQ(ring.fill()->frames, 100);
    EXPECT_EQ(ring.fill()->deliveredAt, 2.5);
    EXPECT_EQ(ring.skip(60), 60);
    EXPECT_EQ(ring.skip(60), 40);
    write(ring, ramp(10, 7.0f));
    std::int64_t got = -1;
    auto frames = read(ring, 10, &got);
    EXPECT_EQ(got, 10);
    EXPECT_EQ(frames.left.front(), 7.0f);
    EXPECT_EQ(ring.underrunFrames(), 0u);
}

TEST(AudioRingBuffer, IndicesWrapAndResetEmpties) {
    AudioRingBuffer ring;
    std::int64_t got = 0;
    write(ring, ramp(16383, 0.0f));
    read(ring, 16383, &got);
    ASSERT_EQ(got, 16383);
    write(ring, ramp(10, 500.0f));
    auto wrapped = read(ring, 10, &got);
    EXPECT_EQ(got, 10);
    EXPECT_EQ(wrapped.left, ramp(10, 500.0f).left);

    write(ring, ramp(100, 1.0f));
    ring.reset();
    EXPECT_EQ(ring.availableFrames(), 0);
    read(ring, 100, &got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(ring.resets(), 1u);
    // Written after the reset: read as usual.
    write(ring, ramp(5, 3.0f));
    auto after = read(ring, 5, &got);
    EXPECT_EQ(got, 5);
    EXPECT_EQ(after.left, ramp(5, 3.0f).left);
}

}  // namespace
}  // namespace qv
