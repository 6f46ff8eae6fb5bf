// Synchronous averaging of a captured read-back: finds the pattern's exact
// period in the capture, brings it to a whole number of samples per bit cell,
// and averages every whole period into one, reading the capture as a stream
// in memory that does not grow with its length.
#ifndef KELDRAN_ECHO_FOLD_H
#define KELDRAN_ECHO_FOLD_H

#include "resample.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace keldran::echo {

// A run of consecutive whole periods summed sample by sample.
struct period_group {
    std::vector<float> sum;
    std::int64_t periods = 0;
    std::int64_t first = 0;  // index of its first period in the capture
};

// Where the averaging of one capture stands. Made by fold_begin.
struct fold_state {
    std::int64_t length = 0;       // bits in a period of the pattern
    double nominal = 0;            // samples per bit the user gave
    std::int32_t rate = 0;         // whole samples per bit of the averaged period
    double period = 0;             // samples per period found in the capture
    double ratio = 1;              // output samples per capture sample
    float scale = 1;               // brings the capture's samples to unit power
    bool acquiring = true;         // still reading the first two periods
    std::vector<float> acquired;   // the capture's first two periods
    resampler converter;           // empty when the capture's rate is already whole
    std::vector<float> converted;  // the converter's output for one input chunk
    std::int64_t skip = 0;         // converter output still to drop while its filter fills
    std::int64_t skip_total = 0;   // all the converter output dropped so
    std::vector<float> pending;    // the period in progress
    std::size_t position = 0;      // samples of it so far
    std::vector<period_group> groups;
    std::int64_t group_size = 1;  // periods per group
    std::int64_t periods = 0;     // whole periods so far
    std::int64_t samples = 0;     // capture samples read
};

// The average period and what was found on the way.
struct fold_result {
    std::vector<double> period;  // rate * length samples, starting anywhere in the pattern
    std::int32_t rate = 0;       // samples per bit of `period`
    double samples_per_bit = 0;  // as found in the capture
    std::int64_t periods = 0;    // whole periods averaged
    std::string error;           // when not empty, the capture cannot be measured
};

// Starts averaging a capture of the pattern of `length` bits taken at about
// `samples_per_bit` (> 0) samples per bit.
fold_state fold_begin(std::int64_t length, double samples_per_bit);

// Takes the next samples of the capture. Returns an empty string or the reason
// the capture cannot be measured.
std::string fold_feed(fold_state& state, std::span<const float> samples);

// Ends the capture and averages what it held.
fold_result fold_end(fold_state& state);

}  // namespace keldran::echo

#endif
