// The measurement proper: the correlation of one averaged period with the
// pattern, the transition response extracted from its main response, and the
// size of each echo, with the HTS and NLTS shifts fitted by the channel model.
#ifndef KELDRAN_ECHO_FIT_H
#define KELDRAN_ECHO_FIT_H

#include "plot.h"
#include "polynomial.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace keldran::echo {

// The four effects as people read them, in keldran's order.
inline constexpr std::array<const char*, 4> effect_titles{"HTS", "NLTS", "2nd adjacent",
                                                          "Interaction"};

struct echo_result {
    std::string effect;      // "hts", "nlts", "second_adjacent", "interaction"
    double location = 0;     // keldran's location for the polynomial
    double size = 0;         // peak-to-peak of the echo over that of the main response
    bool separable = false;  // false: within the reach of the main response or another echo
    std::string reach;       // when not separable for its place: what it lies within the reach of
    double misfit = 0;       // when not separable for its fit: the share of it left unexplained
    std::optional<double> shift;  // HTS and NLTS, when separable: the shift in bit cells
};

struct measurement {
    std::array<echo_result, 4> echoes;  // in keldran's order
    double snr_db = 0;                  // main response peak over the residual's spread
    plot_data plot;                     // only when asked for
    std::string error;                  // when not empty, the pattern was not found
};

// Measures one averaged period of a capture of `poly`'s pattern taken at
// `rate` whole samples per bit; the period may start anywhere in the pattern
// and may be inverted. The plot's data is gathered only `with_plot`.
measurement measure_period(const polynomial& poly, std::span<const double> period,
                           std::int32_t rate, bool with_plot = false);

}  // namespace keldran::echo

#endif
