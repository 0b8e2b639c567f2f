#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace qv::testing {

// Measurements on rendered audio, for tests.

inline double rms(const std::vector<float>& x, std::size_t from = 0, std::size_t to = 0) {
    if (to == 0 || to > x.size())
        to = x.size();
    double sum = 0;
    for (std::size_t i = from; i < to; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

inline double peak(const std::vector<float>& x, std::size_t from = 0, std::size_t to = 0) {
    if (to == 0 || to > x.size())
        to = x.size();
    double p = 0;
    for (std::size_t i = from; i < to; ++i)
        p = std::max(p, std::fabs(static_cast<double>(x[i])));
    return p;
}

inline double toDb(double linear) {
    return 20.0 * std::log10(std::max(linear, 1e-12));
}

// Frequency from the rising zero crossings between `from` and `to`, with sub-sample timing.
inline double frequency(const std::vector<float>& x, double rate, std::size_t from = 0,
                        std::size_t to = 0) {
    if (to == 0 || to > x.size())
        to = x.size();
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / (last - first) : 0.0;
}

// Largest difference between neighbouring samples.
inline double maxJump(const std::vector<float>& x, std::size_t from = 0, std::size_t to = 0) {
    if (to == 0 || to > x.size())
        to = x.size();
    double jump = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
        jump = std::max(jump, std::fabs(static_cast<double>(x[i]) - x[i - 1]));
    }
    return jump;
}

}  // namespace qv::testing

namespace qv::testing {

// Amplitude of the `frequency` component of x[from, to) (a single-bin DFT).
inline double toneAmplitude(const std::vector<float>& x, double frequency, double rate,
                            std::size_t from, std::size_t to) {
    double re = 0, im = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double phase = 2 * M_PI * frequency * static_cast<double>(i) / rate;
        re += x[i] * std::cos(phase);
        im -= x[i] * std::sin(phase);
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(to - from);
}

}  // namespace qv::testing
