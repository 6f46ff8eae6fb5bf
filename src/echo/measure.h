// The measurement proper: the correlation of one averaged period with the
// pattern, the transition response extracted from its main response, and the
// size of each echo, with the HTS and NLTS shifts fitted by the channel model;
// and the whole of it for a capture read from a byte source.
#ifndef KELDRAN_ECHO_MEASURE_H
#define KELDRAN_ECHO_MEASURE_H

#include "capture.h"
#include "errors.h"
#include "fold.h"
#include "medium.h"
#include "polynomial.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace keldran::echo {

// The four write effects, in keldran's order.
enum class effect : std::uint8_t { hts, nlts, second_adjacent, interaction };
inline constexpr std::size_t effect_count = 4;
inline constexpr std::array<effect, effect_count> all_effects{
    effect::hts, effect::nlts, effect::second_adjacent, effect::interaction};

// Whether an echo can be measured apart, and if not, why.
enum class separation : std::uint8_t {
    separable,
    short_period,        // the period leaves no room beside the main response (below order 7)
    near_main_response,  // within the reach of the main response
    near_echo,           // within the reach of another echo (`near`)
    misfit,              // the fitted model leaves `misfit` of it unexplained
};

// The largest standard uncertainty of the head's asymmetry that is given.
inline constexpr double max_asymmetry_uncertainty = 0.02;

// A fitted figure and its standard uncertainty from the capture's noise.
struct fitted_value {
    double value = 0;
    double uncertainty = 0;
};

struct echo_result {
    effect which = effect::hts;
    double location = 0;  // keldran's location for the polynomial
    double size = 0;      // peak-to-peak of the echo over that of the main response
    separation verdict = separation::separable;
    effect near = effect::hts;    // near_echo: the echo it lies within the reach of
    double misfit = 0;            // misfit: the share of it left unexplained
    std::optional<double> shift;  // HTS and NLTS, when separable: the shift in bit cells
    std::optional<double> shift_uncertainty;      // with the shift
    std::optional<fitted_value> partial_erasure;  // NLTS, separable, longitudinal: E
    std::optional<fitted_value> read_asymmetry;   // HTS, separable: A
};

bool is_separable(const echo_result& echo);

// The four echoes, named and at keldran's locations for the polynomial, nothing measured.
std::array<echo_result, effect_count> located_echoes(const polynomial& poly);

struct measurement {
    std::array<echo_result, effect_count> echoes;  // in keldran's order
    double snr_db = 0;                             // main response peak over the residual's spread
    recording_medium medium = recording_medium::longitudinal;  // as found, or as given
    bool medium_found = true;                                  // found in the capture, not given
    double pw50 = 0;  // width at half height of the pulse (perpendicular: the step's slope), bits
    // The HTS echo was fitted, but the head's asymmetry is not given: too little
    // of its echo lies clear of the others, a perpendicular medium, or too
    // uncertain to be worth giving (when `asymmetry_uncertain`).
    bool asymmetry_unmeasured = false;
    bool asymmetry_uncertain = false;
    // The NLTS echo was fitted on a longitudinal medium, but in a period too short
    // to tell partial erasure from the shifts: it is not given.
    bool erasure_unmeasured = false;
    echo_error error;  // when set, the pattern was not found
};

const echo_result& echo_of(const measurement& m, effect which);

// Measures one averaged period of a capture of `poly`'s pattern taken at
// `rate` whole samples per bit; the period may start anywhere in the pattern
// and may be inverted. The medium is found from the period unless given.
measurement measure_period(const polynomial& poly, std::span<const double> period,
                           std::int32_t rate, std::optional<recording_medium> medium = {});

// The verdict measure_period would give each echo of the period by how far the
// main response and an echo reach, before any fit (so never `misfit`), with
// keldran's locations; no sizes or shifts. The error when the pattern is not found.
measurement judge_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                         std::optional<recording_medium> medium = {});

// What one read of a byte source gave: bytes written into the buffer (0 at
// the end), or a failure.
struct byte_read {
    std::size_t size = 0;
    bool failed = false;
    std::string reason;  // when failed: why, as the system says it
};
using byte_source = std::function<byte_read(std::span<char>)>;

// How a capture's samples per bit are fixed: given alone, or from a bit rate and
// the sample rate the capture states or that is given.
struct rate_request {
    std::optional<double> samples_per_bit = std::nullopt;
    std::optional<double> bit_rate = std::nullopt;     // bits per second
    std::optional<double> sample_rate = std::nullopt;  // samples per second
};

// The rates a capture was measured at.
struct capture_rates {
    double samples_per_bit = 0;         // nominal: where the search for the period starts
    std::optional<double> bit_rate;     // as given
    std::optional<double> sample_rate;  // as given or as the capture states it
};

// The most samples per bit a capture is measured at: two periods must fit in memory.
inline constexpr double most_samples_per_bit = 10000;

// Relative difference between a given sample rate and the capture's own beyond
// which the two disagree.
inline constexpr double sample_rate_agreement = 1e-3;

// Whether a request can fix the rate at all: one way, and a sample rate only with a bit rate.
echo_error check_rate_request(const rate_request& request);

// The rates for `request`, with the sample rate the capture states (1 / `interval`,
// when it states one); the error says what is missing or what disagrees.
echo_error fix_rates(const rate_request& request, std::optional<double> interval,
                     capture_rates& rates);

struct capture_measurement {
    fold_result folded;   // the averaged period and what the folding found
    measurement result;   // the echoes, when no error
    capture_info info;    // what the capture said of itself
    capture_signs signs;  // signs of a wrong format, for a capture that could not be measured
    capture_rates rates;
    echo_error error;  // why the capture could not be measured
};

// Reads a whole capture laid out as `layout` from `source`, decodes it, folds it
// at the rate `request` fixes and measures the averaged period.
capture_measurement measure_capture(const polynomial& poly, const capture_layout& layout,
                                    const rate_request& request, const byte_source& source,
                                    std::optional<recording_medium> medium = {});

}  // namespace keldran::echo

#endif
