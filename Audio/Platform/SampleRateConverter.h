#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Audio/Platform/AudioFormat.h"
#include "Audio/Platform/AudioPCMBuffer.h"

struct soxr;

namespace qv {

// Streams non-interleaved float32 audio from one rate to another with the same channel count,
// using libsoxr at very high quality (28-bit, linear phase).
//
// The output stream is time-aligned with the input: output frame n is the input at
// n / outputRate seconds. libsoxr filters in blocks, so output comes in bursts and lags the input
// by delayFrames(); at 44.1 → 48 kHz in 128-frame chunks the first ~6 calls return 0 frames and
// then about 810 frames arrive at once. The stream is never ended by convert(), so converting in
// chunks of any size gives the same frames as converting in one piece.
//
// Threads: made on the main thread when a capture starts; after that only one capture thread
// calls convert(), finish(), delayFrames() and reset(). libsoxr allocates inside convert() only
// while its buffers grow to the sizes it is used with.
class SampleRateConverter {
  public:
    // Null with a reason in `error` (when given) for a rate that is not a positive finite Hz
    // value, no channels, interleaved formats, or different channel counts.
    static std::unique_ptr<SampleRateConverter> create(const AudioFormat& from,
                                                       const AudioFormat& to, std::string* error);
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;

    AudioFormat inputFormat() const { return from_; }
    AudioFormat outputFormat() const { return to_; }

    // Takes all input.frameLength() frames and writes the frames that are ready, up to
    // output.frameCapacity(), setting output.frameLength(). Frames that do not fit stay inside
    // and come out first on the next call. Both buffers need this converter's channel count and
    // a non-interleaved layout; the rates in their formats are not looked at.
    bool convert(const AudioPCMBuffer& input, AudioPCMBuffer& output, std::string* error);

    // The same on channel planes: all `frames` input frames in, at most `capacity` frames out
    // (the rest stays inside). Returns the frames written, or -1 when libsoxr fails. Capture
    // threads use it with planes they allocated beforehand; it allocates nothing itself.
    long convert(const float* const* input, std::size_t frames, float* const* output,
                 std::size_t capacity);

    // Like convert(), but `input` ends the stream: the frames held back by the filter come out
    // too. For one-off conversions; reset() before streaming again.
    bool finish(const AudioPCMBuffer& input, AudioPCMBuffer& output, std::string* error);

    // Output frames owed for the input taken so far but not yet written (fractional).
    double delayFrames() const;

    // Drops all held frames and history; the next frame in starts a new stream.
    void reset();

  private:
    struct Deleter {
        void operator()(soxr* s) const;
    };

    SampleRateConverter(const AudioFormat& from, const AudioFormat& to, soxr* resampler);
    bool checkBuffers(const AudioPCMBuffer& input, const AudioPCMBuffer& output,
                      std::string* error) const;

    AudioFormat from_;
    AudioFormat to_;
    std::unique_ptr<soxr, Deleter> soxr_;
    // Per-channel plane pointers handed to libsoxr; sized once so convert() does not allocate.
    std::vector<const void*> inputPlanes_;
    std::vector<void*> outputPlanes_;
};

}  // namespace qv
