// Choosing a polynomial: every maximal polynomial of an order, ranked by how far
// apart its main response and its four echoes fall, with the verdict measure
// would give each echo at a given pulse.
#ifndef KELDRAN_ECHO_CHOOSE_H
#define KELDRAN_ECHO_CHOOSE_H

#include "channel.h"
#include "measure.h"
#include "polynomial.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace keldran::echo {

// Samples per bit of the model read-back each polynomial's echoes are judged on.
inline constexpr std::int32_t judged_samples_per_bit = 8;
// HTS and NLTS of the model read-back, in bit cells. Shifts widen the main
// response measure extracts, so an echo near its reach is judged as a capture
// with shifts of this size would leave it.
inline constexpr double judged_shift = 0.1;

struct choice_request {
    std::int32_t order = 0;  // 3 to 12
    channel_model model;     // its pulse, PW50 and medium; its write effects are not used
    // Bits: only polynomials whose HTS and NLTS echoes lie within this of the main response.
    std::optional<double> window;
};

struct ranked_polynomial {
    polynomial poly;
    std::array<echo_result, effect_count> echoes;  // keldran's locations, measure's verdicts
    // The effect's combination of the sequence is the feedback rule itself: it
    // has no echo of its own, and is left out of the distances.
    std::array<bool, effect_count> absent{};
    // Bit cells between every two of the main response (at 0) and the echoes
    // present, round the period, smallest first.
    std::vector<double> distances;
};

struct choice {
    std::vector<ranked_polynomial> ranked;  // within the window, best first
    std::size_t maximal = 0;                // maximal polynomials of the order
};

// Ranks the order's maximal polynomials: the larger smallest distance first, ties
// by the next smallest, then keldran's order. Each echo's verdict is measure's
// reach rule on the model's noise-free read-back.
choice choose_polynomials(const choice_request& request);

// The smallest of a ranked polynomial's distances.
double smallest_distance(const ranked_polynomial& ranked);

}  // namespace keldran::echo

#endif
