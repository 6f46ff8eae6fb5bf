// Synchronous averaging of a captured read-back: finds the pattern's exact
// period in the capture, averages every whole period into one at the capture's
// own rate, and brings that average to a whole number of samples per bit cell,
// reading the capture as a stream in memory that does not grow with its length.
#ifndef KELDRAN_ECHO_FOLD_H
#define KELDRAN_ECHO_FOLD_H

#include "capture.h"
#include "errors.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace keldran::echo {

// Where the averaging of one capture stands.
struct period_folder;
struct period_folder_free {
    void operator()(period_folder* folder) const;
};
using folder_handle = std::unique_ptr<period_folder, period_folder_free>;

// The average period and what was found on the way.
struct fold_result {
    std::vector<double> period;  // rate * length samples, starting anywhere in the pattern
    std::int32_t rate = 0;       // samples per bit of `period`
    double samples_per_bit = 0;  // as found in the capture
    std::int64_t periods = 0;    // whole periods averaged
    std::int64_t set_aside =
        0;             // samples taken for glitches and replaced by their neighbours' mean
    echo_error error;  // when set, the capture cannot be measured
};

// A folder for a capture of the pattern of `length` bits taken at about
// `samples_per_bit` (> 0) samples per bit.
folder_handle folder_create(std::int64_t length, double samples_per_bit);

// Takes the next samples of the capture; an error says why it cannot be measured.
echo_error folder_feed(period_folder& folder, std::span<const float> samples);

// Takes the next samples as the capture stores them, 8 bits each: the same as
// folder_feed of their values, but summed as the integers they are where the fold allows.
echo_error folder_feed_stored(period_folder& folder, const stored_samples& stored);

// Ends the capture and averages what it held.
fold_result folder_finish(period_folder& folder);

}  // namespace keldran::echo

#endif
