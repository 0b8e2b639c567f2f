#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qv {

// A random (version 4) UUID, written upper-case 8-4-4-4-12.
class Uuid {
  public:
    static Uuid random();
    static std::optional<Uuid> fromString(const std::string& text);  // either letter case

    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    bool operator==(const Uuid&) const = default;
    bool operator<(const Uuid& o) const { return bytes_ < o.bytes_; }

  private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace qv

template <>
struct std::hash<qv::Uuid> {
    std::size_t operator()(const qv::Uuid& u) const noexcept {
        std::size_t h = 0;
        for (auto b : u.bytes()) {
            h = h * 131 + b;
        }
        return h;
    }
};
