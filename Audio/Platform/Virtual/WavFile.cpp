#include "Audio/Platform/Virtual/WavFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

namespace qv {
namespace {

constexpr std::uint16_t kFormatPCM = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// The tail shared by every KSDATAFORMAT_SUBTYPE GUID; the first two bytes hold the format.
constexpr std::uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                             0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool fail(std::string* error, const std::string& text) {
    if (error) {
        *error = text;
    }
    return false;
}

std::uint16_t u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

float sampleAt(const std::uint8_t* p, std::uint16_t format, std::uint16_t bits) {
    if (format == kFormatFloat) {
        float value;
        const std::uint32_t raw = u32(p);
        std::memcpy(&value, &raw, sizeof value);
        return value;
    }
    switch (bits) {
        case 16:
            return static_cast<float>(static_cast<std::int16_t>(u16(p)) / 32768.0);
        case 24: {
            const std::uint32_t raw = (static_cast<std::uint32_t>(p[0]) << 8) |
                                      (static_cast<std::uint32_t>(p[1]) << 16) |
                                      (static_cast<std::uint32_t>(p[2]) << 24);
            return static_cast<float>(static_cast<std::int32_t>(raw) / 2147483648.0);
        }
        default:
            return static_cast<float>(static_cast<std::int32_t>(u32(p)) / 2147483648.0);
    }
}

struct Format {
    std::uint16_t format = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bits = 0;
};

// Checks the 'fmt ' chunk and resolves WAVE_FORMAT_EXTENSIBLE to its sub-format.
bool parseFormat(const std::uint8_t* p, std::size_t size, Format* out, std::string* reason) {
    if (size < 16) {
        return fail(reason, "fmt chunk is too short");
    }
    Format f{u16(p), u16(p + 2), u32(p + 4), u16(p + 12), u16(p + 14)};
    if (f.format == kFormatExtensible) {
        if (size < 40 || std::memcmp(p + 26, kSubFormatTail, sizeof kSubFormatTail) != 0) {
            return fail(reason, "extensible fmt chunk is malformed");
        }
        f.format = u16(p + 24);
    }
    const bool isSupported =
        (f.format == kFormatPCM && (f.bits == 16 || f.bits == 24 || f.bits == 32)) ||
        (f.format == kFormatFloat && f.bits == 32);
    if (!isSupported) {
        return fail(reason, "unsupported sample format (format " + std::to_string(f.format) + ", " +
                                std::to_string(f.bits) + " bits)");
    }
    if (f.channels == 0) {
        return fail(reason, "no channels");
    }
    if (f.sampleRate == 0) {
        return fail(reason, "sample rate is 0");
    }
    if (f.blockAlign != f.channels * (f.bits / 8)) {
        return fail(reason, "block size " + std::to_string(f.blockAlign) + " does not match " +
                                std::to_string(f.channels) + " channels of " +
                                std::to_string(f.bits) + " bits");
    }
    *out = f;
    return true;
}

bool parseWav(const std::vector<std::uint8_t>& bytes, WavData* out, std::string* reason) {
    const std::uint8_t* base = bytes.data();
    if (bytes.size() < 12 || std::memcmp(base, "RIFF", 4) != 0 ||
        std::memcmp(base + 8, "WAVE", 4) != 0) {
        return fail(reason, "not a WAV file (no RIFF/WAVE header)");
    }
    std::optional<Format> format;
    const std::uint8_t* data = nullptr;
    std::size_t dataSize = 0;
    std::size_t pos = 12;
    while (bytes.size() - pos >= 8) {
        const std::uint8_t* id = base + pos;
        const std::size_t size = u32(base + pos + 4);
        const std::size_t body = pos + 8;
        const bool isData = std::memcmp(id, "data", 4) == 0;
        if (size > bytes.size() - body) {
            return fail(reason, isData ? "data chunk is truncated"
                                       : "chunk '" + std::string(id, id + 4) + "' is truncated");
        }
        if (std::memcmp(id, "fmt ", 4) == 0) {
            Format f;
            if (!parseFormat(base + body, size, &f, reason)) {
                return false;
            }
            format = f;
        } else if (isData) {
            data = base + body;
            dataSize = size;
        }
        pos = body + size + (size & 1);
        if (pos > bytes.size()) {
            break;  // a missing pad byte after the last chunk
        }
    }
    if (!format) {
        return fail(reason, "no fmt chunk");
    }
    if (!data) {
        return fail(reason, "no data chunk");
    }
    const std::size_t frames = dataSize / format->blockAlign;
    const std::size_t bytesPerSample = format->bits / 8;
    out->sampleRate = format->sampleRate;
    out->channels.assign(format->channels, std::vector<float>(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        const std::uint8_t* frame = data + i * format->blockAlign;
        for (std::size_t c = 0; c < format->channels; ++c) {
            out->channels[c][i] =
                sampleAt(frame + c * bytesPerSample, format->format, format->bits);
        }
    }
    return true;
}

void put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xff));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        b.push_back(static_cast<std::uint8_t>((v >> shift) & 0xff));
    }
}

void putTag(std::vector<std::uint8_t>& b, const char* tag) {
    b.insert(b.end(), tag, tag + 4);
}

}  // namespace

std::optional<WavData> readWav(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(error, path + ": cannot be opened");
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) {
        fail(error, path + ": cannot be read");
        return std::nullopt;
    }
    WavData wav;
    std::string reason;
    if (!parseWav(bytes, &wav, &reason)) {
        fail(error, path + ": " + reason);
        return std::nullopt;
    }
    return wav;
}

bool writeWavFloat32(const std::string& path, double sampleRate,
                     const std::vector<std::vector<float>>& channels, std::string* error) {
    if (channels.empty() || channels.size() > 0xFFFF) {
        return fail(error,
                    path + ": cannot write " + std::to_string(channels.size()) + " channels");
    }
    const std::size_t frames = channels.front().size();
    for (const auto& plane : channels) {
        if (plane.size() != frames) {
            return fail(error, path + ": channels differ in length");
        }
    }
    if (!(sampleRate >= 1 && sampleRate <= std::numeric_limits<std::uint32_t>::max())) {
        return fail(error, path + ": invalid sample rate");
    }
    const std::size_t dataSize = frames * channels.size() * 4;
    if (dataSize > std::numeric_limits<std::uint32_t>::max() - 64) {
        return fail(error, path + ": too long for a WAV file");
    }
    const auto channelCount = static_cast<std::uint16_t>(channels.size());
    const auto rate = static_cast<std::uint32_t>(std::lround(sampleRate));

    // RIFF header, 'fmt ' with cbSize = 0 and a 'fact' chunk, as float WAV files carry them.
    std::vector<std::uint8_t> bytes;
    bytes.reserve(58 + dataSize);
    putTag(bytes, "RIFF");
    put32(bytes, static_cast<std::uint32_t>(50 + dataSize));
    putTag(bytes, "WAVE");
    putTag(bytes, "fmt ");
    put32(bytes, 18);
    put16(bytes, kFormatFloat);
    put16(bytes, channelCount);
    put32(bytes, rate);
    put32(bytes, rate * channelCount * 4u);
    put16(bytes, static_cast<std::uint16_t>(channelCount * 4));
    put16(bytes, 32);
    put16(bytes, 0);
    putTag(bytes, "fact");
    put32(bytes, 4);
    put32(bytes, static_cast<std::uint32_t>(frames));
    putTag(bytes, "data");
    put32(bytes, static_cast<std::uint32_t>(dataSize));
    for (std::size_t i = 0; i < frames; ++i) {
        for (const auto& plane : channels) {
            std::uint32_t raw;
            std::memcpy(&raw, &plane[i], sizeof raw);
            put32(bytes, raw);
        }
    }

    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return fail(error, path + ": cannot be written (" + std::strerror(errno) + ")");
    }
    std::size_t written = 0;
    errno = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    bool isOk = written == bytes.size();
    int code = isOk ? 0 : (errno != 0 ? errno : EIO);
    if (isOk && fchmod(fd, 0644) != 0) {
        isOk = false;
        code = errno;
    }
    if (::close(fd) != 0 && isOk) {
        isOk = false;
        code = errno;
    }
    if (isOk && std::rename(temp.c_str(), path.c_str()) != 0) {
        isOk = false;
        code = errno;
    }
    if (!isOk) {
        ::unlink(temp.c_str());
        return fail(error, path + ": cannot be written (" + std::strerror(code) + ")");
    }
    return true;
}

}  // namespace qv
