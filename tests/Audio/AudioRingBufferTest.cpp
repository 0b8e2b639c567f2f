#include <gtest/gtest.h>

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

TEST(AudioRingBuffer, OverrunCountsPendingFramesModuloTheCapacity) {
    struct Case {
        std::int64_t written;
        std::int64_t readable;
    };
    for (const Case& c : {Case{16383, 16383}, Case{16384, 0}, Case{16400, 16}}) {
        AudioRingBuffer ring;
        write(ring, ramp(c.written, 0.0f));
        std::int64_t got = -1;
        auto frames = read(ring, 20000, &got);
        EXPECT_EQ(got, c.readable) << c.written;
        if (c.written == 16400) {
            // The last 16 written.
            for (std::size_t i = 0; i < 16; ++i) {
                EXPECT_EQ(frames.left[i], static_cast<float>(16384 + i));
            }
        }
    }
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
    read(ring, 100, &got);
    EXPECT_EQ(got, 0);
}

}  // namespace
}  // namespace qv
