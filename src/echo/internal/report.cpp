// The figures read off the fitted model: each echo's size against the main
// response, the shifts where the model explains their echoes, and the noise.
#include "fit_internal.h"

#include <algorithm>
#include <cmath>

namespace keldran::echo {

namespace {

constexpr double decibels_per_decade = 10.0;
constexpr double max_snr_db = 200.0;
constexpr double noise_margin = 3.0;
// Echoes smaller than this share of the main response are judged against it.
constexpr double smallest_judged_echo = 0.02;

// The main response's peak over the spread of what the model leaves unexplained.
double snr_of(double main_peak, double noise)
{
    if (noise <= 0) {
        return max_snr_db;
    }
    return std::min(max_snr_db, decibels_per_decade * std::log10(main_peak * main_peak / noise));
}

// The share of an HTS or NLTS echo the fitted model leaves unexplained, beyond
// what noise would: the root mean square of the residual over its window, less
// a margin for the noise, over the peak-to-peak size of the echo as measured
// (the correlation less every other part of the model).
double misfit_of(const correlation& corr, const std::vector<term>& terms,
                 const std::vector<std::int64_t>& window, part_set part, double noise,
                 double main_size)
{
    const std::vector<double> means = phase_means(terms, corr, all_parts);
    double sum = 0;
    double lo = 0;
    double hi = 0;
    const std::vector<double> rest = evaluate_all(terms, corr, window, all_parts & ~part);
    const std::vector<double> own = evaluate_all(terms, corr, window, part);
    for (std::size_t j = 0; j < window.size(); ++j) {
        const std::int64_t s = window[j];
        const double others = rest[j] - phase_mean(means, corr, s);
        const double echo = sample(corr, s) - others;
        const double r = echo - own[j];
        sum += r * r;
        lo = std::min(lo, echo);
        hi = std::max(hi, echo);
    }
    const double rms = std::sqrt(sum / static_cast<double>(window.size()));
    const double beyond_noise = rms - noise_margin * std::sqrt(noise);
    // An echo too small to see is judged against the smallest size worth a shift.
    const double size = std::max(hi - lo, smallest_judged_echo * main_size);
    return size > 0 && beyond_noise > 0 ? beyond_noise / size : 0.0;
}

// The mean square of what the model leaves unexplained away from the main
// response and the echoes, where only noise should be; over the whole period
// when the period holds no such place.
double noise_power(const correlation& corr, const std::vector<term>& terms,
                   const echo_offsets& offsets)
{
    const std::vector<double> model = render(terms, corr, all_parts);
    const auto n = static_cast<std::int64_t>(model.size());
    std::vector<char> busy(model.size(), 0);
    const auto mark = [&](std::int64_t from, std::int64_t to) {
        mark_round(busy, corr.origin + from, corr.origin + to);
    };
    mark(-corr.segment * corr.rate, corr.segment * corr.rate);
    for (const std::int64_t at : {offsets.hts, offsets.nlts, offsets.second, offsets.interaction}) {
        mark((at - window_bits) * corr.rate, (at + window_bits + 2) * corr.rate);
    }
    double quiet = 0;
    double all = 0;
    std::int64_t count = 0;
    for (std::size_t j = 0; j < model.size(); ++j) {
        const double r2 = (corr.values[j] - model[j]) * (corr.values[j] - model[j]);
        all += r2;
        if (busy[j] == 0) {
            quiet += r2;
            ++count;
        }
    }
    return count > 0 ? quiet / static_cast<double>(count) : all / static_cast<double>(n);
}

}  // namespace

void report_fit(measurement& m, const correlation& corr, const echo_offsets& offsets,
                const std::vector<term>& terms, const shift_estimate& fit)
{
    std::vector<std::int64_t> main_window;
    for (std::int64_t s = -corr.segment * corr.rate; s < corr.segment * corr.rate; ++s) {
        main_window.push_back(s);
    }
    const part_set main = only(part::main_response);
    const double main_size = peak_to_peak(terms, corr, main, main_window);
    const double noise = noise_power(corr, terms, offsets);
    for (echo_result& echo : m.echoes) {
        const std::vector<std::int64_t> window = echo_window(corr, offsets, echo.which);
        const part_set self = only(part_of(echo.which));
        const double size = peak_to_peak(terms, corr, self, window);
        echo.size = main_size > 0 ? size / main_size : 0.0;
        const bool shifted = echo.which == effect::hts || echo.which == effect::nlts;
        if (shifted && is_separable(echo)) {
            const std::size_t q = echo.which == effect::hts ? 0 : 1;
            judge_fit(echo, misfit_of(corr, terms, window, self, noise, main_size),
                      q == 0 ? fit.hts : fit.nlts);
            if (echo.shift && std::isfinite(fit.spread.at(q))) {
                echo.shift_uncertainty = std::sqrt(noise * fit.spread.at(q));
            }
            if (echo.shift && q == 1 && fit.fit_erasure && std::isfinite(fit.spread.at(2))) {
                echo.partial_erasure =
                    fitted_value{fit.erasure, std::sqrt(noise * fit.spread.at(2))};
            }
        }
    }
    double main_peak = 0;
    for (const double v : evaluate_all(terms, corr, main_window, main)) {
        main_peak = std::max(main_peak, std::abs(v));
    }
    m.snr_db = snr_of(main_peak, noise);
}

}  // namespace keldran::echo
