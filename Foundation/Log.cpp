#include "Foundation/Log.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace qv {
namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

Log::Sink& currentSink() {
    static Log::Sink sink;
    return sink;
}

void write(Log::Channel channel, std::string_view text) {
    std::lock_guard lock(sinkMutex());
    if (auto& sink = currentSink()) {
        sink(channel, text);
        return;
    }
    if (channel == Log::Channel::standard) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "quorvanta[%d]: %.*s\n", static_cast<int>(getpid()),
                     static_cast<int>(text.size()), text.data());
    }
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace

void Log::line(std::string_view text) {
    write(Channel::standard, text);
}

void Log::system(std::string_view text) {
    write(Channel::system, text);
}

void Log::systemf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    write(Channel::system, text);
}

Log::Sink Log::setSink(Sink sink) {
    std::lock_guard lock(sinkMutex());
    auto previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

std::string doubleDescription(double value) {
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        return formatString("%.1f", value);
    }
    std::string text = formatString("%.15g", value);
    return text;
}

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return text;
}

struct LogCapture::Impl {
    mutable std::mutex mutex;
    std::vector<std::string> standard;
    std::vector<std::string> system;
};

LogCapture::LogCapture() : impl_(new Impl) {
    Impl* impl = impl_;
    previous_ = Log::setSink([impl](Log::Channel channel, std::string_view text) {
        std::lock_guard lock(impl->mutex);
        (channel == Log::Channel::standard ? impl->standard : impl->system).emplace_back(text);
    });
}

LogCapture::~LogCapture() {
    Log::setSink(std::move(previous_));
    delete impl_;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->standard;
}

std::vector<std::string> LogCapture::systemLines() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->system;
}

bool LogCapture::contains(std::string_view text) const {
    return count(text) > 0;
}

bool LogCapture::containsSystem(std::string_view text) const {
    std::lock_guard lock(impl_->mutex);
    return std::find(impl_->system.begin(), impl_->system.end(), text) != impl_->system.end();
}

int LogCapture::count(std::string_view text) const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int>(std::count(impl_->standard.begin(), impl_->standard.end(), text));
}

void LogCapture::clear() {
    std::lock_guard lock(impl_->mutex);
    impl_->standard.clear();
    impl_->system.clear();
}

}  // namespace qv
