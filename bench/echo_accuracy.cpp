// The accuracy grids of the README, on captures made by the plain transcription
// of the channel model that measure_test also uses (apart from `simulate`):
// for each grid, how many shifts were given and the largest error of any.
#include "model_capture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <random>
#include <string>

namespace {

using keldran_tests::capture_case;
using namespace keldran::echo;

// Polynomials of orders 7 to 12 whose echoes lie 8 bits or more apart.
const std::array<std::string, 6> polynomials{"x^7 + x^3 + 1",  "x^8 + x^4 + x^3 + x^2 + 1",
                                             "x^9 + x^4 + 1",  "x^10 + x^3 + 1",
                                             "x^11 + x^2 + 1", "x^12 + x^6 + x^4 + x^1 + 1"};
constexpr std::array<double, 2> pw50s{1.5, 3.0};

struct effects {
    double hts;
    double nlts;
};
// HTS alone, NLTS alone, both, and neither.
constexpr std::array<effects, 4> every_effect{{{0.15, 0.0}, {0.0, 0.3}, {0.15, 0.3}, {0.0, 0.0}}};

constexpr std::uint64_t seed = 2026;
constexpr double latest_start = 4000.0;  // bit cells into the pattern
constexpr double fractional_periods = 3;
constexpr double drifting_rate = 8;
constexpr double drifting_periods = 6;
constexpr double drift = 2e-4;
constexpr int shift_digits = 4;

// Random starts and polarities, the same on every run.
struct placement {
    std::mt19937_64 random{seed};
    std::uniform_real_distribution<double> start{0.0, latest_start};

    capture_case place(capture_case c)
    {
        c.start = start(random);
        c.polarity = random() % 2 == 0 ? 1.0 : -1.0;
        return c;
    }
};

struct grid_figures {
    int cases = 0;
    int shifts = 0;          // shifts given (two a case at most)
    double worst_shift = 0;  // largest error of a shift given
    double worst_quiet = 0;  // with no effect: the largest size of any echo
    int failed = 0;          // captures that could not be measured
};

void take(grid_figures& g, const capture_case& c)
{
    ++g.cases;
    const capture_measurement got = keldran_tests::measure_whole(c);
    if (got.error) {
        ++g.failed;
        std::cout << "  not measured: " << c.poly << " at " << c.samples_per_bit << ": "
                  << error_text(got.error) << "\n";
        return;
    }
    for (const effect which : {effect::hts, effect::nlts}) {
        const std::optional<double> shift = echo_of(got.result, which).shift;
        if (shift) {
            ++g.shifts;
            const double truth = which == effect::hts ? c.hts : c.nlts;
            g.worst_shift = std::max(g.worst_shift, std::abs(*shift - truth));
        }
    }
    if (c.hts == 0 && c.nlts == 0) {
        for (const echo_result& echo : got.result.echoes) {
            g.worst_quiet = std::max(g.worst_quiet, echo.size);
        }
    }
}

void print(const std::string& title, const grid_figures& g)
{
    std::cout << std::fixed << std::setprecision(shift_digits) << title << ": " << g.cases
              << " cases, " << g.shifts << " shifts given, largest shift error " << g.worst_shift
              << " bit cell, largest size with no effect " << g.worst_quiet << ", " << g.failed
              << " not measured\n";
}

// Every polynomial in [first, last), PW50, pulse and effect, at each rate.
template <typename Rates, typename Effects>
grid_figures grid(placement& where, std::size_t first, std::size_t last, const Rates& rates,
                  const Effects& effect_set, double periods, double drift_across)
{
    grid_figures g;
    for (std::size_t p = first; p < last; ++p) {
        for (const double pw50 : pw50s) {
            for (const bool gaussian : {false, true}) {
                for (const double rate : rates) {
                    for (const effects& e : effect_set) {
                        take(g, where.place({polynomials.at(p), pw50, gaussian, rate, e.hts, e.nlts,
                                             0, 1, periods, drift_across}));
                    }
                }
            }
        }
    }
    return g;
}

}  // namespace

int main()
{
    placement where;
    constexpr std::array<double, 2> whole_rates{4.0, 16.0};
    constexpr std::array<double, 2> fractional_rates{6.37, 9.3};
    constexpr std::array<double, 1> drifting_rates{drifting_rate};
    constexpr std::array<effects, 2> both_or_neither{every_effect[2], every_effect[3]};
    const grid_figures whole = grid(where, 0, polynomials.size(), whole_rates, every_effect, 2, 0);
    print("orders 7 to 12, PW50 1.5 and 3, both pulses, 4 and 16 samples per bit", whole);
    const grid_figures fractional =
        grid(where, 0, 3, fractional_rates, every_effect, fractional_periods, 0);
    print("6.37 and 9.3 samples per bit, orders 7 to 9", fractional);
    const grid_figures drifting =
        grid(where, 0, 4, drifting_rates, both_or_neither, drifting_periods, drift);
    print("the bit period drifting 0.02 % across the capture, orders 7 to 10", drifting);
    return whole.failed + fractional.failed + drifting.failed == 0 ? 0 : 1;
}
