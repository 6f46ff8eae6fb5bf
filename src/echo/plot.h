// The measurement as a picture: one period of the correlation with the main
// response and the four echo locations marked, and each echo enlarged with
// its fitted model over the measured points.
#ifndef KELDRAN_ECHO_PLOT_H
#define KELDRAN_ECHO_PLOT_H

#include "measure.h"
#include "medium.h"
#include "polynomial.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {

// One echo's panel. Times are in bit cells relative to the centre of the main
// response, so the echo's own location sits at t = location.
// A fitted part of an echo (its shift, partial erasure, the head's asymmetry),
// drawn apart over the fitted whole.
enum class echo_part : std::uint8_t { shift, erasure, asymmetry };

struct plot_part {
    echo_part which = echo_part::shift;
    std::vector<double> values;  // at the panel's times
};

struct plot_echo {
    std::string_view label;        // "HTS", "NLTS", "2nd adjacent", "Interaction"
    double location = 0.0;         // where the report places it
    bool separable = false;        // false: drawn, but marked as not separable
    std::vector<double> t;         // the window around the location
    std::vector<double> measured;  // the correlation there, less everything but this echo
    std::vector<double> model;     // the fitted echo at the same times
    std::vector<plot_part> parts;  // where the echo has more than one cause: each one
    echo_result figures;           // its size, shift and fitted figures, as measured
};

struct plot_data {
    std::string title;                // the polynomial, as keldran prints it
    std::vector<double> t;            // one whole period, in bit cells from the main centre
    std::vector<double> correlation;  // the correlation at those times (main response peak near 0)
    std::array<plot_echo, 4> echoes;  // in the report's order
};

// The figure's data for one averaged period of a capture of `poly`'s pattern at
// `rate` whole samples per bit, measured as measure_period measures it.
plot_data plot_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                      std::optional<recording_medium> medium = {});

// A self-contained SVG document of the whole figure.
std::string render_svg(const plot_data& data);

// The indices of `y` worth drawing, in order: every finite value when there are at
// most `max_points`, otherwise the lowest and highest finite value of each of
// max_points / 2 runs of consecutive points, so that no peak is lost.
std::vector<std::size_t> decimate_min_max(std::span<const double> y, std::size_t max_points);

}  // namespace keldran::echo

#endif
