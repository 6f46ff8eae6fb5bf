// Sample-rate conversion of a stream through libsamplerate.
#ifndef KELDRAN_ECHO_RESAMPLE_H
#define KELDRAN_ECHO_RESAMPLE_H

#include <samplerate.h>

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace keldran::echo {

struct resampler_free {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};
using resampler = std::unique_ptr<SRC_STATE, resampler_free>;

// A one-channel converter of the given libsamplerate quality (SRC_SINC_...);
// empty when it cannot be made.
resampler make_resampler(int quality);

struct resample_step {
    std::size_t used = 0;  // samples of the input taken
    std::size_t made = 0;  // samples written to the output
    int error = 0;         // libsamplerate's error code, 0 when none
};

// Converts what it can of `in` into `out` at `ratio` output samples per input
// sample (1/256 to 256). The stream goes on: the next call continues it.
resample_step resample(SRC_STATE* state, std::span<const float> in, std::span<float> out,
                       double ratio);

struct resampled {
    std::vector<float> samples;  // output sample n lies at input sample n / ratio
    int error = 0;               // libsamplerate's error code, 0 when none
};

// Converts all of `in`, a stream on its own, at `ratio` (1/256 to 256) with the
// given quality; the first and last few output samples see the stream's edges.
resampled resample_all(std::span<const float> in, double ratio, int quality);

}  // namespace keldran::echo

#endif
