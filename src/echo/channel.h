// The read channel model: a pattern written as levels +1 / -1, each transition
// read back as an isolated transition response (a pulse on a longitudinal
// medium, a step on a perpendicular one), shifted by hard transition shift (HTS)
// and nonlinear transition shift (NLTS), shrunk by partial erasure when another
// transition stands beside it, read by a head with a square-law asymmetry, plus
// white noise.
#ifndef KELDRAN_ECHO_CHANNEL_H
#define KELDRAN_ECHO_CHANNEL_H

#include "errors.h"
#include "medium.h"
#include "polynomial.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace keldran::echo {

enum class pulse_shape { lorentzian, gaussian };

inline constexpr double default_pw50 = 2.5;
inline constexpr double default_samples_per_bit = 8.0;
inline constexpr double default_periods = 4.0;

struct channel_model {
    double pw50 = default_pw50;  // width of the transition response at half height, in bit cells
    pulse_shape pulse = pulse_shape::lorentzian;
    double hts = 0.0;   // a 0->1 transition comes this late, a 1->0 transition this early
    double nlts = 0.0;  // a transition comes this early when one stands just before it
    recording_medium medium = recording_medium::longitudinal;
    // 0 <= E < 1: a transition with another one cell before or after it reads
    // (1 - E) times as large. Longitudinal only: the perpendicular medium ignores it.
    double partial_erasure = 0.0;
    double asymmetry = 0.0;  // |A| < 0.5: the head reads x + A x^2 of the field x
};

// How the read-back is sampled.
struct capture_plan {
    double samples_per_bit = default_samples_per_bit;  // > 0, any real
    double periods = default_periods;                  // how many periods of the pattern to capture
    double start = 0.0;            // where in the pattern (bit cells) the first sample lies
    std::optional<double> snr_db;  // white Gaussian noise at this signal-to-noise ratio
    std::uint64_t seed = 1;        // of the noise
};

// The isolated transition response at t bit cells from the transition.
double transition_response(pulse_shape pulse, double pw50, double t);

// The perpendicular medium's transition response: a step from -1 to +1 whose
// slope is transition_response scaled to area 2.
double step_response(pulse_shape pulse, double pw50, double t);

// The shift of the transition at the boundary before cell k, in bit cells,
// positive meaning later: levels[k], levels[k-1], levels[k-2] decide it
// (indices wrap around the period).
double transition_shift(std::span<const std::int32_t> bits, std::int64_t k,
                        const channel_model& model);

// The factor 1 - E n[k] by which partial erasure scales the transition at the
// boundary before cell k: n[k] is 1 when another transition stands one cell
// before or after it (indices wrap around the period).
double erasure_factor(std::span<const std::int32_t> bits, std::int64_t k,
                      const channel_model& model);

// One period of the noise-free read-back, sampled `grid_per_bit` times per bit
// cell from time `start`: exact up to the response's spectrum beyond the grid's band.
std::vector<float> read_back_period(const polynomial& poly, const channel_model& model,
                                    std::int32_t grid_per_bit, double start);

// Receives successive samples of a simulated capture; false stops the simulation.
using sample_sink = std::function<bool(std::span<const float>)>;

// Simulates the capture `plan` describes and hands it to `sink` in chunks;
// an error says why it could not finish.
echo_error simulate_capture(const polynomial& poly, const channel_model& model,
                            const capture_plan& plan, const sample_sink& sink);

}  // namespace keldran::echo

#endif
