#include "Foundation/Uuid.h"

#include <random>

namespace qv {

Uuid Uuid::random() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    Uuid u;
    std::uint64_t a = engine();
    std::uint64_t b = engine();
    for (int i = 0; i < 8; ++i) {
        u.bytes_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (8 * i));
        u.bytes_[static_cast<std::size_t>(i + 8)] = static_cast<std::uint8_t>(b >> (8 * i));
    }
    u.bytes_[6] = static_cast<std::uint8_t>((u.bytes_[6] & 0x0f) | 0x40);
    u.bytes_[8] = static_cast<std::uint8_t>((u.bytes_[8] & 0x3f) | 0x80);
    return u;
}

std::optional<Uuid> Uuid::fromString(const std::string& text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Uuid u;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        u.bytes_[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return u;
}

std::string Uuid::toString() const {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            s.push_back('-');
        }
        s.push_back(digits[bytes_[i] >> 4]);
        s.push_back(digits[bytes_[i] & 0xf]);
    }
    return s;
}

}  // namespace qv
