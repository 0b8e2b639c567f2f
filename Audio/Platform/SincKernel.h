#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

namespace qv::sinc {

// Four floats in one vector register; loaded from any address.
using Lanes = float __attribute__((vector_size(16)));

inline Lanes lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Rows of a Kaiser-windowed sinc low-pass at `cutoff` cycles per sample (0.5: the Nyquist
// frequency), one per fraction of a sample from 0 to 1 in `phases` steps, each `taps` long and
// normalised to unity gain. Tap t of a row weighs the input (t - taps/2 + 1) samples from the
// base sample.
inline std::vector<float> windowedSincRows(int taps, int phases, double cutoff, double beta) {
    const auto besselI0 = [](double x) {
        double sum = 1.0;
        double term = 1.0;
        for (int k = 1; k < 32; ++k) {
            term *= (x / (2.0 * k)) * (x / (2.0 * k));
            sum += term;
        }
        return sum;
    };
    const double norm = besselI0(beta);
    std::vector<float> rows(static_cast<std::size_t>((phases + 1) * taps), 0.0f);
    std::vector<double> row(static_cast<std::size_t>(taps));
    for (int phase = 0; phase <= phases; ++phase) {
        const double frac = static_cast<double>(phase) / phases;
        double sum = 0;
        for (int t = 0; t < taps; ++t) {
            const double x = (t - taps / 2 + 1) - frac;
            const double sinc = x == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * x) / (M_PI * x);
            const double w = x / (taps / 2.0);
            const double window =
                std::fabs(w) >= 1 ? 0 : besselI0(beta * std::sqrt(1 - w * w)) / norm;
            row[static_cast<std::size_t>(t)] = sinc * window;
            sum += row[static_cast<std::size_t>(t)];
        }
        for (int t = 0; t < taps; ++t) {
            rows[static_cast<std::size_t>(phase * taps + t)] =
                static_cast<float>(row[static_cast<std::size_t>(t)] / sum);
        }
    }
    return rows;
}

// One stereo output of a windowed-sinc interpolator with a table of rows: the row for the
// exact fraction is `mix` of the way from `row0` to `row1`, and `left`/`right` point at the
// first of the `Taps` input samples it weighs. Four taps at a time, two sums per channel.
template <int Taps>
inline void interpolate(const float* row0, const float* row1, float mix, const float* left,
                        const float* right, float& outLeft, float& outRight) {
    static_assert(Taps % 8 == 0);
    const Lanes mixes = {mix, mix, mix, mix};
    Lanes left0 = {0, 0, 0, 0}, left1 = left0, right0 = left0, right1 = left0;
    for (int t = 0; t < Taps; t += 8) {
        const Lanes r0 = lanes(row0 + t), r1 = lanes(row0 + t + 4);
        const Lanes c0 = r0 + (lanes(row1 + t) - r0) * mixes;
        const Lanes c1 = r1 + (lanes(row1 + t + 4) - r1) * mixes;
        left0 += c0 * lanes(left + t);
        left1 += c1 * lanes(left + t + 4);
        right0 += c0 * lanes(right + t);
        right1 += c1 * lanes(right + t + 4);
    }
    const Lanes l = left0 + left1, r = right0 + right1;
    outLeft = (l[0] + l[2]) + (l[1] + l[3]);
    outRight = (r[0] + r[2]) + (r[1] + r[3]);
}

}  // namespace qv::sinc
