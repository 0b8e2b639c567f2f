#pragma once

// Second-order filter sections for the equaliser: the audio EQ cookbook designs and the
// stereo cascade the render thread runs.

namespace qv {

// Transfer function (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
struct BiquadCoefficients {
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
};

// Peaking filter: `gainDb` at `frequency` Hz; `octaves` between the half-gain (in dB) points.
BiquadCoefficients peakingBiquad(double frequency, double octaves, double gainDb,
                                 double sampleRate);
// Shelves: `gainDb` below (low) or above (high) the shelf, half of it at `frequency` Hz.
// `slope` is the cookbook's S: 1 is the steepest shelf whose gain stays monotonic.
BiquadCoefficients lowShelfBiquad(double frequency, double slope, double gainDb, double sampleRate);
BiquadCoefficients highShelfBiquad(double frequency, double slope, double gainDb,
                                   double sampleRate);

// One section of the stereo cascade, each coefficient repeated for the left and right
// channel so that one vector operation serves both.
struct alignas(16) BiquadStage {
    double b0[2];
    double b1[2];
    double b2[2];
    double a1[2];
    double a2[2];
};

BiquadStage makeBiquadStage(const BiquadCoefficients& coefficients);

// Direct form I history of one section, per channel: the last two inputs and outputs.
struct alignas(16) BiquadStageState {
    double x1[2] = {0.0, 0.0};
    double x2[2] = {0.0, 0.0};
    double y1[2] = {0.0, 0.0};
    double y2[2] = {0.0, 0.0};
};

// Render thread. Runs `frames` frames of both channels through `count` sections in order.
// The input may be the output (in place). Never allocates.
void processBiquadCascade(const BiquadStage* stages, BiquadStageState* states, int count,
                          const float* const* inputs, float* const* outputs, int frames);

// Render thread. Zeroes history too small to be heard, so silence never decays into
// subnormal numbers (which are slow on most CPUs).
void flushTinyHistory(BiquadStageState* states, int count);

}  // namespace qv
