#pragma once

#include <cstring>

namespace qv::sinc {

// Four floats in one vector register; loaded from any address.
using Lanes = float __attribute__((vector_size(16)));

inline Lanes lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
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
