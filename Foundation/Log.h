#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The diagnostic log. `Log::line` writes one event per line to standard output; `Log::system`
// writes to the separate system-log channel (the printf-style lines). Both may be called from
// the main and capture threads, never from a render or I/O thread.
class Log {
  public:
    enum class Channel { standard, system };
    using Sink = std::function<void(Channel, std::string_view)>;

    static void line(std::string_view text);
    static void system(std::string_view text);
    // printf-style formatting for system-log lines.
    static void systemf(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Replaces where lines go; an empty sink restores stdout / stderr. Returns the previous sink.
    static Sink setSink(Sink sink);
};

// A double the way log lines show it: 44100.0, 47999.5.
std::string doubleDescription(double value);

// printf into a std::string.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Collects every line written while it exists (tests assert exact messages).
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;        // standard channel
    std::vector<std::string> systemLines() const;  // system channel
    bool contains(std::string_view text) const;    // exact line on the standard channel
    bool containsSystem(std::string_view text) const;
    int count(std::string_view text) const;
    void clear();

  private:
    struct Impl;
    Impl* impl_;
    Log::Sink previous_;
};

}  // namespace qv
