#include "Audio/Platform/Biquad.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace qv {
namespace {

// One value for the left and the right channel; maps onto one SSE2 / NEON register.
typedef double Pair __attribute__((vector_size(16)));

Pair load(const double (&value)[2]) {
    Pair pair;
    std::memcpy(&pair, value, sizeof pair);
    return pair;
}

void store(double (&value)[2], Pair pair) {
    std::memcpy(value, &pair, sizeof pair);
}

BiquadCoefficients normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

// Cookbook shelf terms: A (square root of the linear gain), cos w0 and 2 sqrt(A) alpha.
struct ShelfTerms {
    double a;
    double cosw;
    double twoSqrtAAlpha;
};

ShelfTerms shelfTerms(double frequency, double slope, double gainDb, double sampleRate) {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * std::numbers::pi * frequency / sampleRate;
    const double alpha = std::sin(w0) / 2.0 * std::sqrt((a + 1.0 / a) * (1.0 / slope - 1.0) + 2.0);
    return {a, std::cos(w0), 2.0 * std::sqrt(a) * alpha};
}

}  // namespace

BiquadCoefficients peakingBiquad(double frequency, double octaves, double gainDb,
                                 double sampleRate) {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * std::numbers::pi * frequency / sampleRate;
    const double cosw = std::cos(w0);
    const double sinw = std::sin(w0);
    const double alpha = sinw * std::sinh(std::numbers::ln2 / 2.0 * octaves * w0 / sinw);
    return normalised(1.0 + alpha * a, -2.0 * cosw, 1.0 - alpha * a, 1.0 + alpha / a, -2.0 * cosw,
                      1.0 - alpha / a);
}

BiquadCoefficients lowShelfBiquad(double frequency, double slope, double gainDb,
                                  double sampleRate) {
    const auto [a, c, s] = shelfTerms(frequency, slope, gainDb, sampleRate);
    return normalised(a * ((a + 1.0) - (a - 1.0) * c + s), 2.0 * a * ((a - 1.0) - (a + 1.0) * c),
                      a * ((a + 1.0) - (a - 1.0) * c - s), (a + 1.0) + (a - 1.0) * c + s,
                      -2.0 * ((a - 1.0) + (a + 1.0) * c), (a + 1.0) + (a - 1.0) * c - s);
}

BiquadCoefficients highShelfBiquad(double frequency, double slope, double gainDb,
                                   double sampleRate) {
    const auto [a, c, s] = shelfTerms(frequency, slope, gainDb, sampleRate);
    return normalised(a * ((a + 1.0) + (a - 1.0) * c + s), -2.0 * a * ((a - 1.0) + (a + 1.0) * c),
                      a * ((a + 1.0) + (a - 1.0) * c - s), (a + 1.0) - (a - 1.0) * c + s,
                      2.0 * ((a - 1.0) - (a + 1.0) * c), (a + 1.0) - (a - 1.0) * c - s);
}

BiquadStage makeBiquadStage(const BiquadCoefficients& c) {
    return {{c.b0, c.b0}, {c.b1, c.b1}, {c.b2, c.b2}, {c.a1, c.a1}, {c.a2, c.a2}};
}

void processBiquadCascade(const BiquadStage* stages, BiquadStageState* states, int count,
                          const float* const* inputs, float* const* outputs, int frames) {
    const float* inLeft = inputs[0];
    const float* inRight = inputs[1];
    float* outLeft = outputs[0];
    float* outRight = outputs[1];
    // Two frames at a time through every section: each section's history is loaded and
    // stored once per pair, and the out-of-order core overlaps the sections' recursions
    // (section k works on a pair while section k+1 still finishes the previous one).
    int n = 0;
    for (; n + 1 < frames; n += 2) {
        Pair xa = {inLeft[n], inRight[n]};
        Pair xb = {inLeft[n + 1], inRight[n + 1]};
        for (int k = 0; k < count; ++k) {
            const BiquadStage& c = stages[k];
            BiquadStageState& s = states[k];
            const Pair b0 = load(c.b0), b1 = load(c.b1), b2 = load(c.b2);
            const Pair a1 = load(c.a1), a2 = load(c.a2);
            const Pair x1 = load(s.x1), x2 = load(s.x2), y1 = load(s.y1), y2 = load(s.y2);
            // Older terms first, so the chains through the input and the previous output are
            // one multiply-add each.
            const Pair ya = (b1 * x1 + b2 * x2 - a2 * y2) + b0 * xa - a1 * y1;
            const Pair yb = (b2 * x1 - a2 * y1 + b1 * xa) + b0 * xb - a1 * ya;
            store(s.x2, xa);
            store(s.x1, xb);
            store(s.y2, ya);
            store(s.y1, yb);
            xa = ya;
            xb = yb;
        }
        outLeft[n] = static_cast<float>(xa[0]);
        outRight[n] = static_cast<float>(xa[1]);
        outLeft[n + 1] = static_cast<float>(xb[0]);
        outRight[n + 1] = static_cast<float>(xb[1]);
    }
    if (n < frames) {
        Pair x = {inLeft[n], inRight[n]};
        for (int k = 0; k < count; ++k) {
            const BiquadStage& c = stages[k];
            BiquadStageState& s = states[k];
            const Pair x1 = load(s.x1), x2 = load(s.x2), y1 = load(s.y1), y2 = load(s.y2);
            const Pair y = (load(c.b1) * x1 + load(c.b2) * x2 - load(c.a2) * y2) + load(c.b0) * x -
                           load(c.a1) * y1;
            store(s.x2, x1);
            store(s.x1, x);
            store(s.y2, y1);
            store(s.y1, y);
            x = y;
        }
        outLeft[n] = static_cast<float>(x[0]);
        outRight[n] = static_cast<float>(x[1]);
    }
}

void flushTinyHistory(BiquadStageState* states, int count) {
    // -400 dB: far below anything a float output can carry audibly.
    constexpr double kTiny = 1e-20;
    for (int k = 0; k < count; ++k) {
        BiquadStageState& s = states[k];
        for (int c = 0; c < 2; ++c) {
            if (std::fabs(s.y1[c]) + std::fabs(s.y2[c]) + std::fabs(s.x1[c]) + std::fabs(s.x2[c]) <
                kTiny) {
                s.x1[c] = s.x2[c] = s.y1[c] = s.y2[c] = 0.0;
            }
        }
    }
}

}  // namespace qv
