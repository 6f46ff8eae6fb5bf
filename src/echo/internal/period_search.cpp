// Finding a capture's period from its first two periods: the lag at which it
// best matches itself, then a parabola through the match for the fraction.
#include "fold_internal.h"

#include "spectrum.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>

namespace keldran::echo {

namespace {

// Normalised correlation of x with itself `lag` samples later, over `window` samples.
double repeat_match(std::span<const float> x, std::size_t lag, std::size_t window)
{
    const auto first = x.first(window);
    const auto later = x.subspan(lag, window);
    const double energy = dot(first, first) * dot(later, later);
    return energy > 0 ? dot(first, later) / std::sqrt(energy) : 0.0;
}

// The best whole lag in [lo, hi], tried one by one.
lag_match best_lag_directly(std::span<const float> x, std::size_t lo, std::size_t hi,
                            std::size_t window)
{
    lag_match best;
    for (std::size_t lag = lo; lag <= hi; ++lag) {
        const double match = repeat_match(x, lag, window);
        if (match > best.match) {
            best = {lag, match};
        }
    }
    return best;
}

// The best whole lag in [lo, hi], all lags at once through one cross-correlation.
lag_match best_lag_by_fft(std::span<const float> x, std::size_t lo, std::size_t hi,
                          std::size_t window)
{
    const std::size_t size =
        static_cast<std::size_t>(kiss_fft_next_fast_size(static_cast<int>(window + hi + 1)));
    const fft_plans plans = plan_fft(size);
    std::vector<kiss_fft_cpx> a(size, kiss_fft_cpx{0, 0});
    std::vector<kiss_fft_cpx> b(size, kiss_fft_cpx{0, 0});
    for (std::size_t j = 0; j < std::min(size, x.size()); ++j) {
        b[j].r = x[j];
        a[j].r = j < window ? x[j] : 0.0F;
    }
    std::vector<kiss_fft_cpx> fa(size);
    std::vector<kiss_fft_cpx> fb(size);
    forward_fft(plans, a, fa);
    forward_fft(plans, b, fb);
    for (std::size_t k = 0; k < size; ++k) {
        const std::complex<float> product = std::conj(std::complex<float>(fa[k].r, fa[k].i))
                                            * std::complex<float>(fb[k].r, fb[k].i);
        fa[k] = {product.real(), product.imag()};
    }
    inverse_fft(plans, fa, fb);
    // Energy of x over each window start, from running sums of squares.
    std::vector<double> squares(x.size() + 1, 0.0);
    for (std::size_t j = 0; j < x.size(); ++j) {
        squares[j + 1] = squares[j] + static_cast<double>(x[j]) * x[j];
    }
    const double head = squares[window];
    lag_match best;
    for (std::size_t lag = lo; lag <= hi; ++lag) {
        const double energy = head * (squares[lag + window] - squares[lag]);
        const double match =
            energy > 0 ? fb[lag].r / static_cast<double>(size) / std::sqrt(energy) : 0.0;
        if (match > best.match) {
            best = {lag, match};
        }
    }
    return best;
}

}  // namespace

// Eight independent float lanes let the compiler vectorise the
// loop; the products are taken in double, so that samples of any size a float
// holds neither overflow nor vanish when squared.
double dot(std::span<const float> a, std::span<const float> b)
{
    constexpr std::size_t lanes = 8;
    std::array<double, lanes> partial{};
    std::size_t j = 0;
    for (; j + lanes <= a.size(); j += lanes) {
        for (std::size_t i = 0; i < lanes; ++i) {
            partial[i] += static_cast<double>(a[j + i]) * static_cast<double>(b[j + i]);
        }
    }
    double sum = 0;
    for (const double p : partial) {
        sum += p;
    }
    for (; j < a.size(); ++j) {
        sum += static_cast<double>(a[j]) * b[j];
    }
    return sum;
}

period_search find_period(std::span<const float> x, double nominal_period)
{
    const auto lo = static_cast<std::size_t>(std::ceil(nominal_period * (1 - rate_tolerance)));
    const auto widest = static_cast<std::size_t>(nominal_period * (1 + rate_tolerance));
    // Two whole periods leave room for lags up to half the capture; the window
    // leaves one sample more for the parabola below.
    const std::size_t hi = std::min(widest, x.size() / 2);
    const std::size_t window = x.size() - hi - 1;
    const auto nominal = static_cast<std::size_t>(std::llround(nominal_period));
    // Most captures are at their nominal rate: try the lags around it first.
    const std::size_t near_lo = std::max(lo, nominal - 2);
    const std::size_t near_hi = std::min(hi, nominal + 2);
    lag_match best = best_lag_directly(x, near_lo, near_hi, window);
    const auto on_edge = [&](const lag_match& m, std::size_t from, std::size_t to) {
        return (m.lag == from && from > lo) || (m.lag == to && to < hi) || m.lag == lo
               || m.lag == widest;
    };
    if (best.match < repeat_threshold || on_edge(best, near_lo, near_hi)) {
        best = best_lag_by_fft(x, lo, hi, window);
    }
    if (best.match < repeat_threshold || best.lag == lo || best.lag == widest) {
        return {0.0, best};
    }
    // The peak of a parabola through the match at the best lag and its neighbours.
    const double before = repeat_match(x, best.lag - 1, window);
    const double after = repeat_match(x, best.lag + 1, window);
    const double curvature = before - 2 * best.match + after;
    constexpr double half = 0.5;
    const double offset = curvature < 0 ? half * (before - after) / curvature : 0.0;
    return {static_cast<double>(best.lag) + std::clamp(offset, -half, half), best};
}

}  // namespace keldran::echo
