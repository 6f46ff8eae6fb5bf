// The accuracy grids of the README, on captures made by the plain transcription
// of the channel model that measure_test also uses (apart from `simulate`):
// for each grid, how many figures were given and the largest error of any.
#include "model_capture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

using keldran_tests::capture_case;
using namespace keldran::echo;

// Polynomials of orders 7 to 12 whose echoes lie 8 bits or more apart.
const std::array<std::string, 6> polynomials{"x^7 + x^3 + 1",  "x^8 + x^4 + x^3 + x^2 + 1",
                                             "x^9 + x^4 + 1",  "x^10 + x^3 + 1",
                                             "x^11 + x^2 + 1", "x^12 + x^6 + x^4 + x^1 + 1"};
constexpr std::array<double, 2> pw50s{1.5, 3.0};

struct effects {
    double hts = 0;
    double nlts = 0;
    double erasure = 0;
    double asymmetry = 0;
};
// HTS alone, NLTS alone, both, and neither.
const std::vector<effects> every_effect{{0.15, 0.0}, {0.0, 0.3}, {0.15, 0.3}, {0.0, 0.0}};
const std::vector<effects> erasures{{0, 0, 0.1}, {0, 0, 0.2}, {0, 0.3, 0.1}, {0, 0.3, 0.2}};
const std::vector<effects> asymmetries{
    {0.15, 0.3, 0, 0.15}, {0.15, 0.3, 0, -0.15}, {0, 0, 0, 0.15}, {0.15, 0, 0, -0.1}};

constexpr std::uint64_t seed = 2026;
constexpr double latest_start = 4000.0;  // bit cells into the pattern
constexpr double fractional_periods = 3;
constexpr double drifting_rate = 8;
constexpr double drifting_periods = 6;
constexpr double drift = 2e-4;
constexpr int digits = 4;
// Glitches: one sample in so many, so many times the signal's peak.
constexpr long glitch_every = 10000;
constexpr std::array<double, 3> glitch_sizes{5.0, 20.0, 100.0};
constexpr double glitch_periods = 4;
// The noise grid.
constexpr double noisy_snr_db = 20;
constexpr double noisy_periods = 8;
constexpr int noise_seeds = 20;

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
    int shifts = 0;                // shifts given (two a case at most)
    double worst_shift = 0;        // largest error of a shift given
    double worst_erasure = 0;      // largest error of E, where given
    double worst_asymmetry = 0;    // largest error of A, where given
    double worst_quiet = 0;        // with no effect: the largest size of any echo
    double worst_quiet_shift = 0;  // with no effect: the largest shift given
    double worst_pw50 = 0;         // largest relative error of PW50
    int wrong_medium = 0;          // captures whose medium was not found
    int failed = 0;                // captures that could not be measured
};

// A figure further than this from the truth is named.
constexpr double named_error = 0.01;

void compare(double& worst, const std::optional<fitted_value>& got, double truth, bool& off)
{
    if (got) {
        worst = std::max(worst, std::abs(got->value - truth));
        off = off || std::abs(got->value - truth) > named_error;
    }
}

void name_case(const capture_case& c, const measurement& m)
{
    std::cout << "  off: " << c.poly << ", PW50 " << c.pw50 << (c.gaussian ? " gaussian" : "")
              << ", " << c.samples_per_bit << " samples per bit, HTS " << c.hts << ", NLTS "
              << c.nlts << ", E " << c.partial_erasure << ", A " << c.asymmetry
              << (c.perpendicular ? ", perpendicular" : "") << ", start " << c.start
              << ", polarity " << c.polarity << ":";
    for (const effect which : {effect::hts, effect::nlts}) {
        const echo_result& e = echo_of(m, which);
        std::cout << " shift " << (e.shift ? *e.shift : NAN);
        if (e.partial_erasure) {
            std::cout << " E " << e.partial_erasure->value;
        }
        if (e.read_asymmetry) {
            std::cout << " A " << e.read_asymmetry->value;
        }
    }
    std::cout << " PW50 " << m.pw50 << "\n";
}

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
    const measurement& m = got.result;
    bool off = false;
    for (const effect which : {effect::hts, effect::nlts}) {
        const std::optional<double> shift = echo_of(m, which).shift;
        if (shift) {
            ++g.shifts;
            const double truth = which == effect::hts ? c.hts : c.nlts;
            g.worst_shift = std::max(g.worst_shift, std::abs(*shift - truth));
            off = off || std::abs(*shift - truth) > named_error;
        }
    }
    compare(g.worst_erasure, echo_of(m, effect::nlts).partial_erasure, c.partial_erasure, off);
    compare(g.worst_asymmetry, echo_of(m, effect::hts).read_asymmetry, c.asymmetry, off);
    if (c.hts == 0 && c.nlts == 0 && c.partial_erasure == 0 && c.asymmetry == 0) {
        for (const echo_result& echo : m.echoes) {
            g.worst_quiet = std::max(g.worst_quiet, echo.size);
            g.worst_quiet_shift = std::max(g.worst_quiet_shift, std::abs(echo.shift.value_or(0)));
        }
    }
    g.worst_pw50 = std::max(g.worst_pw50, std::abs(m.pw50 / c.pw50 - 1));
    const auto medium =
        c.perpendicular ? recording_medium::perpendicular : recording_medium::longitudinal;
    g.wrong_medium += m.medium == medium ? 0 : 1;
    if (off || std::abs(m.pw50 / c.pw50 - 1) > 2 * named_error) {
        name_case(c, m);
    }
}

void print(const std::string& title, const grid_figures& g)
{
    std::cout << std::fixed << std::setprecision(digits) << title << ": " << g.cases << " cases, "
              << g.shifts << " shifts given, largest shift error " << g.worst_shift << ", of E "
              << g.worst_erasure << ", of A " << g.worst_asymmetry
              << ", largest size with no effect " << g.worst_quiet << " and shift "
              << g.worst_quiet_shift << ", PW50 within " << 100 * g.worst_pw50
              << " %, medium missed " << g.wrong_medium << ", " << g.failed << " not measured\n";
}

struct grid_plan {
    std::size_t first = 0;  // polynomials [first, last)
    std::size_t last = polynomials.size();
    std::vector<double> rates;
    std::vector<effects> effect_set;
    double periods = 2;
    double drift = 0;
    bool perpendicular = false;
};

capture_case make_case(const std::string& poly, double pw50, bool gaussian, double rate,
                       const effects& e, const grid_plan& plan)
{
    capture_case c{poly, pw50, gaussian, rate, e.hts, e.nlts, 0, 1, plan.periods, plan.drift};
    c.perpendicular = plan.perpendicular;
    c.partial_erasure = e.erasure;
    c.asymmetry = e.asymmetry;
    return c;
}

// Every polynomial of the plan, PW50, pulse, rate and effect.
grid_figures grid(placement& where, const grid_plan& plan)
{
    grid_figures g;
    for (std::size_t p = plan.first; p < plan.last; ++p) {
        for (const double pw50 : pw50s) {
            for (const bool gaussian : {false, true}) {
                for (const double rate : plan.rates) {
                    for (const effects& e : plan.effect_set) {
                        take(g, where.place(
                                    make_case(polynomials.at(p), pw50, gaussian, rate, e, plan)));
                    }
                }
            }
        }
    }
    return g;
}

// The largest change of any figure that glitches make, against the clean capture.
double glitch_change(const capture_case& clean, double size)
{
    capture_case glitched = clean;
    glitched.glitch_every = glitch_every;
    glitched.glitch_size = size;
    const measurement a = keldran_tests::measure_whole(clean).result;
    const measurement b = keldran_tests::measure_whole(glitched).result;
    double worst = std::abs(a.pw50 - b.pw50);
    for (std::size_t i = 0; i < effect_count; ++i) {
        const echo_result& x = a.echoes.at(i);
        const echo_result& y = b.echoes.at(i);
        worst = std::max(worst, std::abs(x.size - y.size));
        if (x.shift.has_value() != y.shift.has_value()) {
            return INFINITY;
        }
        if (x.shift) {
            worst = std::max(worst, std::abs(*x.shift - *y.shift));
        }
        if (x.partial_erasure && y.partial_erasure) {
            worst = std::max(worst, std::abs(x.partial_erasure->value - y.partial_erasure->value));
        }
        if (x.read_asymmetry && y.read_asymmetry) {
            worst = std::max(worst, std::abs(x.read_asymmetry->value - y.read_asymmetry->value));
        }
    }
    return worst;
}

void glitch_grid(placement& where)
{
    double worst = 0;
    int cases = 0;
    for (const std::string& poly : polynomials) {
        for (const double size : glitch_sizes) {
            const capture_case c =
                where.place({poly, 2.5, false, 8, 0.1, 0.2, 0, 1, glitch_periods});
            worst = std::max(worst, glitch_change(c, size));
            ++cases;
        }
    }
    std::cout << "one sample in " << glitch_every << " replaced by 5, 20 or 100 times the peak, "
              << "orders 7 to 12: " << cases << " cases, largest change of any figure " << worst
              << "\n";
}

// Over many noise seeds: the spread of each shift's error against its mean reported uncertainty.
void noise_grid()
{
    for (const bool perpendicular : {false, true}) {
        std::array<std::vector<double>, 2> errors;
        std::array<double, 2> uncertainty{};
        for (int s = 0; s < noise_seeds; ++s) {
            capture_case c{polynomials.at(2), 2.5, false, 8, 0.1, 0.2, 17.25, 1, noisy_periods};
            c.snr_db = noisy_snr_db;
            c.perpendicular = perpendicular;
            c.seed = static_cast<std::uint64_t>(s + 1);
            const measurement m = keldran_tests::measure_whole(c).result;
            for (const effect which : {effect::hts, effect::nlts}) {
                const echo_result& e = echo_of(m, which);
                const auto i = static_cast<std::size_t>(which);
                if (e.shift && e.shift_uncertainty) {
                    errors.at(i).push_back(*e.shift - (i == 0 ? c.hts : c.nlts));
                    uncertainty.at(i) += *e.shift_uncertainty / noise_seeds;
                }
            }
        }
        for (std::size_t i = 0; i < 2; ++i) {
            double mean = 0;
            for (const double e : errors.at(i)) {
                mean += e / static_cast<double>(errors.at(i).size());
            }
            double spread = 0;
            for (const double e : errors.at(i)) {
                spread += (e - mean) * (e - mean) / static_cast<double>(errors.at(i).size());
            }
            std::cout << (perpendicular ? "perpendicular" : "longitudinal") << ", "
                      << (i == 0 ? "HTS" : "NLTS") << " at 20 dB over 8 periods, "
                      << errors.at(i).size() << " seeds: spread of the error " << std::sqrt(spread)
                      << ", mean uncertainty " << uncertainty.at(i) << ", ratio "
                      << std::sqrt(spread) / uncertainty.at(i) << "\n";
        }
    }
}

}  // namespace

int main()
{
    placement where;
    const std::vector<double> whole_rates{4.0, 16.0};
    const grid_figures whole = grid(where, {.rates = whole_rates, .effect_set = every_effect});
    print("orders 7 to 12, PW50 1.5 and 3, both pulses, 4 and 16 samples per bit", whole);
    const grid_figures fractional = grid(where, {.last = 3,
                                                 .rates = {6.37, 9.3},
                                                 .effect_set = every_effect,
                                                 .periods = fractional_periods});
    print("6.37 and 9.3 samples per bit, orders 7 to 9", fractional);
    const grid_figures drifting = grid(where, {.last = 4,
                                               .rates = {drifting_rate},
                                               .effect_set = {every_effect[2], every_effect[3]},
                                               .periods = drifting_periods,
                                               .drift = drift});
    print("the bit period drifting 0.02 % across the capture, orders 7 to 10", drifting);
    const grid_figures perpendicular =
        grid(where, {.rates = whole_rates, .effect_set = every_effect, .perpendicular = true});
    print("perpendicular, orders 7 to 12, PW50 1.5 and 3, both pulses, 4 and 16 samples per bit",
          perpendicular);
    // Partial erasure and the asymmetry are measured from order 9 up; below, the
    // shifts are those of a channel without them, and these grids say how far they move.
    const grid_figures erased = grid(
        where,
        {.first = 2, .rates = {4.0, 9.3}, .effect_set = erasures, .periods = fractional_periods});
    print("partial erasure 0.1 and 0.2, alone and with NLTS 0.3, orders 9 to 12, 4 and 9.3 "
          "samples per bit",
          erased);
    const grid_figures asymmetric = grid(where, {.first = 2,
                                                 .rates = {4.0, 9.3},
                                                 .effect_set = asymmetries,
                                                 .periods = fractional_periods});
    print("asymmetry up to 0.15 either way, with HTS 0.15 and NLTS 0.3, orders 9 to 12, 4 and "
          "9.3 samples per bit",
          asymmetric);
    const grid_figures short_erased = grid(
        where,
        {.last = 2, .rates = {4.0, 9.3}, .effect_set = erasures, .periods = fractional_periods});
    print("the same erasures, orders 7 and 8 (not measured there)", short_erased);
    const grid_figures short_asymmetric = grid(
        where,
        {.last = 2, .rates = {4.0, 9.3}, .effect_set = asymmetries, .periods = fractional_periods});
    print("the same asymmetries, orders 7 and 8 (not measured there)", short_asymmetric);
    glitch_grid(where);
    noise_grid();
    const int failed = whole.failed + fractional.failed + drifting.failed + perpendicular.failed
                       + erased.failed + asymmetric.failed + short_erased.failed
                       + short_asymmetric.failed;
    return failed == 0 ? 0 : 1;
}
