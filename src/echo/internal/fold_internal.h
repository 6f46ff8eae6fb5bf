// The inside of the period folder: finding the period in the first two
// periods of a capture, and lining up groups of periods that drifted apart.
#ifndef KELDRAN_ECHO_FOLD_INTERNAL_H
#define KELDRAN_ECHO_FOLD_INTERNAL_H

#include "capture.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace keldran::echo {

// The capture's rate may differ from the nominal one by this fraction.
inline constexpr double rate_tolerance = 0.02;
// Periods of the capture must agree at least this well (normalised correlation).
inline constexpr double repeat_threshold = 0.7;

// Sum of a[j] b[j], the products in double (a and b of one size).
double dot(std::span<const float> a, std::span<const float> b);

struct lag_match {
    std::size_t lag = 0;
    double match = -1;
};

struct period_search {
    double period = 0;  // samples per period, to a fraction of a sample; 0 when not found
    lag_match best;     // the best whole lag tried, and how well it matched
};

// The period of `x`, the capture's first two periods and a few samples more,
// searched within rate_tolerance of `nominal_period` samples.
period_search find_period(std::span<const float> x, double nominal_period);

// Powers of a period's lead kept: enough for the spread's spectrum to a part in a
// billion at any frequency a sampled signal holds.
inline constexpr std::size_t lead_powers = 24;

// A run of consecutive whole periods summed sample by sample.
struct period_group {
    std::vector<float> sum;
    std::int64_t periods = 0;
    std::int64_t first = 0;  // index of its first period in the capture
    // Sums over its periods of the n-th power of each one's lead: how far, in samples
    // of `sum`, the sample it was summed from lies past its exact start (a period folded
    // at the capture's own rate starts at the nearest sample). All 0 past the zeroth
    // when every period starts on a sample.
    std::array<double, lead_powers> leads{};
};

// The groups summed into one before their conversion, and the drift in samples per
// period of the converted period.
struct merged_groups {
    period_group group;
    double drift = 0;
};

// The groups (at least one, of one size), summed at the capture's own rate with their
// leads in samples of the period converted by `ratio` (output samples per capture
// sample), summed into one when they keep time to a hundredth of a sample: their lags
// over the samples [from, to), those every group holds of its own periods, agree, or
// differ by what their leads say. Nothing when they must be aligned first.
std::optional<merged_groups> merge_in_step(const std::vector<period_group>& found, double ratio,
                                           std::size_t from, std::size_t to);

// Adds the periods summed in `from` (of the same size) to those of `into`, leads and all.
void absorb(period_group& into, const period_group& from);

// Adds the lead of one more period to `leads`.
void add_lead(std::array<double, lead_powers>& leads, double lead);

// The average of all periods of the groups `found` (at least one), each group first
// aligned to the others when a rate slightly off a whole number of samples,
// or drifting across the capture, has left them apart; with the drift in
// samples per period. Periods that started off a sample leave the average spread
// over their leads: it is undone, as far as the spread lets each frequency be told.
std::pair<std::vector<double>, double> align_groups(const std::vector<period_group>& found);

// Samples stored in 8 bits, of periods folded whole, summed exactly as integers for the
// newest group until they are scaled into its sums.
struct exact_sums {
    std::vector<std::int16_t> sum;  // one per sample of the period, each byte as signed
    std::int64_t from = 0;          // the fold's samples [from, to) are in `sum`
    std::int64_t to = 0;
    stored_scale scale;
};

// Periods' worth of samples the exact sums take before they are flushed: 16 bits hold
// the sum of 256 signed bytes.
inline constexpr std::int64_t exact_periods = 256;

// The stored units a step must exceed to count as steep, for a spike limit of `limit`
// (0: none) in values of `scale`: every step whose values differ by more than `limit`
// exceeds it; a step of 8 bits never exceeds the largest.
std::uint8_t stored_limit(float limit, const stored_scale& scale);

// Adds `rows` runs of `sums.size()` samples, one after another in `bytes` (which holds
// one more), to `sums`, and says whether any of them steps to the next by more than
// `limit` stored units.
bool add_stored(std::span<std::int16_t> sums, std::span<const char> bytes, std::size_t rows,
                bool is_signed, std::uint8_t limit);

// Takes back what add_stored added to `sums` from the same `bytes`.
void take_back_stored(std::span<std::int16_t> sums, std::span<const char> bytes, std::size_t rows,
                      bool is_signed);

// Adds the exact sums, whose period is `into.size()` samples and starts on the fold's
// sample 0, to `into` as values times `scale`, and empties them.
void flush_exact(exact_sums& exact, float scale, std::span<float> into);

// Single-sample spikes (glitches, clipped spikes) taken out of a stream: a
// sample standing out from both its neighbours, the same way, by more than
// `limit`, is replaced by their mean. The stream comes out one sample late.
struct despiker {
    float limit = 0;  // 0: nothing counts as a spike
    float before = 0;
    float pending = 0;
    float released = 0;    // the sample let go by the latest call
    bool holding = false;  // `pending` holds a sample
    std::int64_t set_aside = 0;
    std::vector<float> scratch;  // a chunk that held spikes, cleaned
};

// The cleaned stream a call lets go: `first` and then `rest`. A chunk with no spike
// goes on as read: `first` is the sample held back before it (on the stream's first
// call, the chunk's own first) and `rest` the chunk less its last. Otherwise
// `first` is empty and `rest` the whole, cleaned.
struct despiked {
    std::span<const float> first;
    std::span<const float> rest;
};

// Whether `x` stands out from both its neighbours, the same way, by more than `limit`.
bool is_spike(float before, float x, float after, float limit);

// How far a sample must stand out of a capture whose first stretch is `samples` to be a spike.
float spike_limit(std::span<const float> samples);

// Passes `in` through, cleaned, holding back its last sample. The result points into
// the despiker and, where the chunk holds no spike, into `in`: it is valid until the
// next call and while `in` lives.
despiked despike(despiker& cleaner, std::span<const float> in);

// Lets the sample held back go, at the end of the stream; empty when there is none.
std::span<const float> despike_end(despiker& cleaner);

}  // namespace keldran::echo

#endif
