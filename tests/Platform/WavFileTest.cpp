#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Audio/Platform/Virtual/WavFile.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "qv-wav-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(path)) {
            result.push_back(entry.path().filename().string());
        }
        return result;
    }
};

using Bytes = std::vector<std::uint8_t>;

// WAV files assembled byte by byte, so the reader is checked against the format rather than
// against our own writer.
struct WavBuilder {
    Bytes bytes;

    WavBuilder& tag(const char* t) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(t[i]));
        }
        return *this;
    }
    WavBuilder& u16(std::uint16_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        return *this;
    }
    WavBuilder& u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        return u16(static_cast<std::uint16_t>(v >> 16));
    }
    WavBuilder& raw(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    WavBuilder& chunk(const char* id, const Bytes& body) {
        tag(id).u32(static_cast<std::uint32_t>(body.size())).raw(body);
        if (body.size() % 2) {
            bytes.push_back(0);
        }
        return *this;
    }
};

Bytes fmtBody(std::uint16_t format, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
              bool isExtensible = false) {
    WavBuilder b;
    const auto align = static_cast<std::uint16_t>(channels * bits / 8);
    b.u16(isExtensible ? 0xFFFE : format).u16(channels).u32(rate).u32(rate * align).u16(align);
    b.u16(bits);
    if (isExtensible) {
        b.u16(22).u16(bits).u32(0x3).u16(format);
        b.raw({0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    }
    return b.bytes;
}

Bytes riff(const Bytes& chunks) {
    WavBuilder b;
    b.tag("RIFF").u32(static_cast<std::uint32_t>(chunks.size() + 4)).tag("WAVE").raw(chunks);
    return b.bytes;
}

Bytes wavFile(const Bytes& fmt, const Bytes& data) {
    return riff(WavBuilder().chunk("fmt ", fmt).chunk("data", data).bytes);
}

Bytes floatBytes(float f) {
    std::uint32_t raw;
    std::memcpy(&raw, &f, sizeof raw);
    return WavBuilder().u32(raw).bytes;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST(WavFile, WritesFloatFilesThatReadBackExactly) {
    TempDir dir;
    const std::vector<std::vector<float>> channels = {
        {0.0f, 0.5f, -1.0f, 1.5f}, {-0.25f, 1e-7f, 0.75f, -2.0f}, {1.0f, 0.0f, 0.0f, -0.125f}};
    std::string error;
    ASSERT_TRUE(writeWavFloat32(dir.file("out.wav"), 44100.0, channels, &error)) << error;

    auto wav = readWav(dir.file("out.wav"), &error);
    ASSERT_TRUE(wav) << error;
    EXPECT_EQ(wav->sampleRate, 44100.0);
    EXPECT_EQ(wav->channels, channels);

    // Format 3 (IEEE float), 32 bits, in the file itself.
    std::ifstream in(dir.file("out.wav"), std::ios::binary);
    Bytes header(36);
    in.read(reinterpret_cast<char*>(header.data()), 36);
    EXPECT_EQ(header[20] | (header[21] << 8), 3);
    EXPECT_EQ(header[34] | (header[35] << 8), 32);
}

TEST(WavFile, ReadsIntegerAndFloatSamples) {
    struct Case {
        const char* name;
        std::uint16_t format;
        std::uint16_t bits;
        bool isExtensible;
        Bytes data;  // two frames of two channels, interleaved
        std::vector<std::vector<float>> expected;
    };
    const Bytes float4 = [] {
        Bytes b;
        for (float f : {0.25f, -0.5f, 1.0f, -0.125f}) {
            const Bytes one = floatBytes(f);
            b.insert(b.end(), one.begin(), one.end());
        }
        return b;
    }();
    const std::vector<Case> cases = {
        {"pcm16",
         1,
         16,
         false,
         {0xFF, 0x7F, 0x00, 0x80, 0x00, 0x40, 0x00, 0x00},
         {{32767.0f / 32768.0f, 0.5f}, {-1.0f, 0.0f}}},
        {"pcm24",
         1,
         24,
         false,
         {0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0, 0, 0},
         {{0.5f, -1.0f / 8388608.0f}, {-1.0f, 0.0f}}},
        {"pcm32",
         1,
         32,
         false,
         {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0xC0, 0, 0, 0, 0},
         {{0.5f, -0.5f}, {-1.0f, 0.0f}}},
        {"float32", 3, 32, false, float4, {{0.25f, 1.0f}, {-0.5f, -0.125f}}},
        {"extensible pcm24",
         1,
         24,
         true,
         {0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0, 0, 0},
         {{0.5f, -1.0f / 8388608.0f}, {-1.0f, 0.0f}}},
        {"extensible float32", 3, 32, true, float4, {{0.25f, 1.0f}, {-0.5f, -0.125f}}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(dir.file("in.wav"),
                   wavFile(fmtBody(c.format, 2, 22050, c.bits, c.isExtensible), c.data));
        std::string error;
        auto wav = readWav(dir.file("in.wav"), &error);
        ASSERT_TRUE(wav) << error;
        EXPECT_EQ(wav->sampleRate, 22050.0);
        EXPECT_EQ(wav->channels, c.expected);
    }
}

TEST(WavFile, SkipsOtherChunksAndTheirPadding) {
    TempDir dir;
    // An odd-sized chunk before 'fmt ', a chunk between 'fmt ' and 'data', a stray byte at the
    // end and a partial last frame.
    const Bytes chunks = WavBuilder()
                             .chunk("LIST", {1, 2, 3})
                             .chunk("fmt ", fmtBody(1, 1, 8000, 16))
                             .chunk("junk", {9, 9})
                             .chunk("data", {0x00, 0x40, 0x00, 0xC0, 0x7F})
                             .raw({0xAB})
                             .bytes;
    writeBytes(dir.file("in.wav"), riff(chunks));
    std::string error;
    auto wav = readWav(dir.file("in.wav"), &error);
    ASSERT_TRUE(wav) << error;
    EXPECT_EQ(wav->channels, (std::vector<std::vector<float>>{{0.5f, -0.5f}}));
}

TEST(WavFile, RefusesMalformedFilesWithTheReason) {
    const Bytes pcm16 = fmtBody(1, 2, 48000, 16);
    Bytes badGuid = fmtBody(3, 2, 48000, 32, true);
    badGuid.back() ^= 0xFF;
    Bytes badAlign = pcm16;
    badAlign[12] = 3;
    struct Case {
        const char* name;
        Bytes bytes;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"empty", {}, "not a WAV file"},
        {"other container", WavBuilder().tag("RIFX").u32(4).tag("WAVE").bytes, "not a WAV file"},
        {"not WAVE", WavBuilder().tag("RIFF").u32(4).tag("AVI ").bytes, "not a WAV file"},
        {"no fmt", riff(WavBuilder().chunk("data", {0, 0, 0, 0}).bytes), "no fmt chunk"},
        {"no data", riff(WavBuilder().chunk("fmt ", pcm16).bytes), "no data chunk"},
        {"short fmt", wavFile({1, 0, 2, 0}, {}), "fmt chunk is too short"},
        {"8-bit", wavFile(fmtBody(1, 1, 8000, 8), {0x80}), "unsupported sample format"},
        {"adpcm", wavFile(fmtBody(2, 1, 8000, 16), {0, 0}), "unsupported sample format"},
        {"float64", wavFile(fmtBody(3, 1, 8000, 64), Bytes(8)), "unsupported sample format"},
        {"no channels", wavFile(fmtBody(1, 0, 8000, 16), {}), "no channels"},
        {"rate 0", wavFile(fmtBody(1, 1, 0, 16), {}), "sample rate is 0"},
        {"block size", wavFile(badAlign, Bytes(8)), "block size 3 does not match"},
        {"extensible guid", wavFile(badGuid, Bytes(8)), "extensible fmt chunk is malformed"},
        {"data truncated",
         riff(WavBuilder().chunk("fmt ", pcm16).tag("data").u32(1000).raw({1, 2}).bytes),
         "data chunk is truncated"},
        {"chunk truncated", riff(WavBuilder().tag("LIST").u32(99).raw({1}).bytes),
         "chunk 'LIST' is truncated"},
    };
    TempDir dir;
    const std::string path = dir.file("bad.wav");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(path, c.bytes);
        std::string error;
        EXPECT_FALSE(readWav(path, &error));
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(readWav(dir.file("missing.wav"), &error));
    EXPECT_EQ(error, dir.file("missing.wav") + ": cannot be opened");
}

TEST(WavFile, SurvivesTruncatedAndCorruptedInput) {
    TempDir dir;
    const Bytes good = riff(WavBuilder()
                                .chunk("LIST", {1, 2, 3})
                                .chunk("fmt ", fmtBody(3, 2, 48000, 32, true))
                                .chunk("data", Bytes(16, 0x3F))
                                .bytes);
    const std::string path = dir.file("cut.wav");
    for (std::size_t size = 0; size < good.size(); ++size) {
        writeBytes(path, Bytes(good.begin(), good.begin() + static_cast<long>(size)));
        std::string error;
        EXPECT_FALSE(readWav(path, &error)) << size;
        EXPECT_FALSE(error.empty());
    }
    // Every byte after the RIFF header flipped in turn: either refused or read, never a crash.
    for (std::size_t i = 12; i < good.size(); ++i) {
        Bytes bad = good;
        bad[i] ^= 0xA5;
        writeBytes(path, bad);
        std::string error;
        if (auto wav = readWav(path, &error)) {
            for (const auto& plane : wav->channels) {
                EXPECT_EQ(plane.size(), wav->frameCount());
            }
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(WavFile, FailedWriteLeavesTheTargetUntouched) {
    TempDir dir;
    const std::string target = dir.file("take.wav");
    std::string error;
    ASSERT_TRUE(writeWavFloat32(target, 48000.0, {{0.5f, 0.5f}}, &error)) << error;

    EXPECT_FALSE(writeWavFloat32(target, 48000.0, {{0.1f, 0.2f}, {0.3f}}, &error));
    EXPECT_NE(error.find("channels differ in length"), std::string::npos) << error;
    EXPECT_FALSE(writeWavFloat32(target, 48000.0, {}, &error));

    const std::string unwritable = dir.file("missing-folder/take.wav");
    EXPECT_FALSE(writeWavFloat32(unwritable, 48000.0, {{0.1f}}, &error));
    EXPECT_EQ(error.rfind(unwritable + ": cannot be written", 0), 0u) << error;

    // Fails only when the temporary file is renamed over the target.
    fs::create_directory(dir.path / "folder");
    EXPECT_FALSE(writeWavFloat32(dir.file("folder"), 48000.0, {{0.1f}}, &error));
    EXPECT_EQ(error.rfind(dir.file("folder") + ": cannot be written", 0), 0u) << error;
    EXPECT_TRUE(fs::is_directory(dir.path / "folder"));
    fs::remove(dir.path / "folder");

    auto wav = readWav(target, &error);
    ASSERT_TRUE(wav) << error;
    EXPECT_EQ(wav->channels, (std::vector<std::vector<float>>{{0.5f, 0.5f}}));

    ASSERT_TRUE(writeWavFloat32(target, 48000.0, {{-0.25f}}, &error)) << error;
    EXPECT_EQ(readWav(target, &error)->channels, (std::vector<std::vector<float>>{{-0.25f}}));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"take.wav"});  // no temporary files left
}

}  // namespace
}  // namespace qv
