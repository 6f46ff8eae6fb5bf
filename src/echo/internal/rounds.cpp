// Rounds of fit and subtract: the response from the main response less the
// echoes, then the shifts by Gauss-Newton steps and the echoes of unknown
// cause by least squares, until the shifts settle.
#include "fit_internal.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace keldran::echo {

namespace {

constexpr int fit_rounds = 12;
constexpr int newton_steps = 4;
constexpr double derivative_step = 1e-4;
constexpr double converged = 1e-5;
constexpr double max_shift = 0.45;
constexpr double max_erasure = 0.9;

// Residuals of the model over the samples `at`, with the kernels as they stand.
std::vector<double> model_residuals(const correlation& corr, const kernels& k,
                                    const echo_offsets& offsets, const shift_estimate& fit,
                                    const std::vector<std::int64_t>& at)
{
    const std::vector<term> terms = model_terms(k, corr.classes, offsets, fit);
    const std::vector<double> means = phase_means(terms, corr, all_parts);
    const std::vector<term> near = terms_reaching(terms, corr, at);
    std::vector<double> r = evaluate_all(near, corr, at, all_parts);
    for (std::size_t i = 0; i < at.size(); ++i) {
        r[i] = sample(corr, at[i]) - r[i] + phase_mean(means, corr, at[i]);
    }
    return r;
}

// Residuals of the model over the samples `at`, with the echo kernels made
// anew for the shifts in `fit` and the main response's held as they are.
std::vector<double> residuals(const correlation& corr, const response& extracted, kernels& k,
                              const echo_offsets& offsets, const shift_estimate& fit,
                              const std::vector<std::int64_t>& at)
{
    echo_kernels(k, extracted, corr.classes, fit);
    return model_residuals(corr, k, offsets, fit, at);
}

// The fitted quantity q of `fit` (hts, nlts, erasure), and whether it is free.
double& fitted(shift_estimate& fit, std::size_t q)
{
    return q == 0 ? fit.hts : q == 1 ? fit.nlts : fit.erasure;
}

bool is_free(const shift_estimate& fit, std::size_t q)
{
    return q == 0 ? fit.fit_hts : q == 1 ? fit.fit_nlts : fit.fit_erasure;
}

using matrix = std::array<std::array<double, fitted_count>, fitted_count>;
using vector3 = std::array<double, fitted_count>;

// Solves a x = b for a symmetric positive definite a by Gauss-Jordan; false when singular.
bool solve(matrix a, vector3 b, vector3& x)
{
    for (std::size_t c = 0; c < fitted_count; ++c) {
        if (a.at(c).at(c) <= 0) {
            return false;
        }
        for (std::size_t r = 0; r < fitted_count; ++r) {
            if (r == c) {
                continue;
            }
            const double f = a.at(r).at(c) / a.at(c).at(c);
            for (std::size_t j = 0; j < fitted_count; ++j) {
                a.at(r).at(j) -= f * a.at(c).at(j);
            }
            b.at(r) -= f * b.at(c);
        }
    }
    for (std::size_t c = 0; c < fitted_count; ++c) {
        x.at(c) = b.at(c) / a.at(c).at(c);
    }
    return true;
}

// The normal matrix J'J and J'r of the free quantities; a fixed one has a unit
// row and column, so that it does not move.
std::pair<matrix, vector3> normal_equations(const correlation& corr, const response& extracted,
                                            kernels& k, const echo_offsets& offsets,
                                            const shift_estimate& fit,
                                            const std::vector<std::int64_t>& at)
{
    std::array<std::vector<double>, fitted_count> jacobian;
    const std::vector<double> r = residuals(corr, extracted, k, offsets, fit, at);
    for (std::size_t q = 0; q < fitted_count; ++q) {
        jacobian.at(q).assign(r.size(), 0.0);
        if (!is_free(fit, q)) {
            continue;
        }
        shift_estimate moved = fit;
        fitted(moved, q) += derivative_step;
        // Kernels of their own, so that those at the fit stand for the next quantity.
        kernels trial = k;
        const std::vector<double> rm = residuals(corr, extracted, trial, offsets, moved, at);
        for (std::size_t i = 0; i < r.size(); ++i) {
            jacobian.at(q)[i] = (rm[i] - r[i]) / derivative_step;
        }
    }
    matrix jj{};
    vector3 jr{};
    for (std::size_t p = 0; p < fitted_count; ++p) {
        for (std::size_t q = 0; q < fitted_count; ++q) {
            for (std::size_t i = 0; i < r.size(); ++i) {
                jj.at(p).at(q) += jacobian.at(p)[i] * jacobian.at(q)[i];
            }
        }
        for (std::size_t i = 0; i < r.size(); ++i) {
            jr.at(p) += jacobian.at(p)[i] * r[i];
        }
        if (!is_free(fit, p)) {
            jj.at(p).at(p) = 1.0;
        }
    }
    return {jj, jr};
}

// The bounds of the fitted quantity q: shifts either way, an erasure only up.
std::pair<double, double> bounds_of(std::size_t q)
{
    return q == 2 ? std::pair{0.0, max_erasure} : std::pair{-max_shift, max_shift};
}

// The Gauss-Newton step that takes `fit` to the least-squares point, where a
// quantity the step would take past its bound stops at it and the others are
// solved again for that: clamped alone, it would carry the others off. False
// when singular.
bool bounded_step(const matrix& jj, const vector3& jr, shift_estimate& fit)
{
    matrix a = jj;
    vector3 b = jr;
    vector3 minus_step{};
    std::array<bool, fitted_count> held{};
    // A solve may take another quantity past its bound: solved again, each is held in turn.
    for (std::size_t pass = 0; pass <= fitted_count; ++pass) {
        if (!solve(a, b, minus_step)) {
            return false;
        }
        bool more = false;
        for (std::size_t q = 0; q < fitted_count; ++q) {
            const auto [low, high] = bounds_of(q);
            const double value = fitted(fit, q);
            const double to = value - minus_step.at(q);
            if (is_free(fit, q) && !held.at(q) && (to < low || to > high)) {
                const double fixed = value - std::clamp(to, low, high);
                for (std::size_t r = 0; r < fitted_count; ++r) {
                    b.at(r) -= a.at(r).at(q) * fixed;
                    a.at(q).at(r) = a.at(r).at(q) = 0.0;
                }
                a.at(q).at(q) = 1.0;
                b.at(q) = fixed;
                held.at(q) = more = true;
            }
        }
        if (!more) {
            break;
        }
    }
    for (std::size_t q = 0; q < fitted_count; ++q) {
        const auto [low, high] = bounds_of(q);
        fitted(fit, q) = std::clamp(fitted(fit, q) - minus_step.at(q), low, high);
    }
    return true;
}

// Gauss-Newton steps on the free quantities, the transition response held fixed.
void fit_shifts(const correlation& corr, const response& extracted, kernels& k,
                const echo_offsets& offsets, shift_estimate& fit,
                const std::vector<std::int64_t>& at)
{
    for (int step = 0; step < newton_steps; ++step) {
        const auto [jj, jr] = normal_equations(corr, extracted, k, offsets, fit, at);
        shift_estimate before = fit;
        if (!bounded_step(jj, jr, fit)) {
            return;
        }
        double moved = 0;
        for (std::size_t q = 0; q < fitted_count; ++q) {
            moved += std::abs(fitted(fit, q) - fitted(before, q));
        }
        if (moved < converged) {
            return;
        }
    }
}

// The diagonal of the inverse normal matrix at the fit, for each free quantity.
void fit_spread(const correlation& corr, const response& extracted, kernels& k,
                const echo_offsets& offsets, shift_estimate& fit,
                const std::vector<std::int64_t>& at)
{
    const auto [jj, jr] = normal_equations(corr, extracted, k, offsets, fit, at);
    for (std::size_t q = 0; q < fitted_count; ++q) {
        vector3 unit{};
        unit.at(q) = 1.0;
        vector3 column{};
        // A fit that cannot tell its quantities apart gives no spread at all.
        fit.spread.at(q) = is_free(fit, q) && solve(jj, unit, column)
                               ? column.at(q)
                               : std::numeric_limits<double>::quiet_NaN();
    }
    echo_kernels(k, extracted, corr.classes, fit);
}

// Least-squares weights of h and its slope for an echo of unknown cause at `place`.
std::array<double, 2> fit_generic(const correlation& corr, const kernels& k,
                                  const std::vector<term>& rest, std::int64_t place)
{
    const std::vector<double> means = phase_means(rest, corr, all_parts);
    const std::vector<term> shape{{&k.shape, place, 1.0, part::main_response}};
    const std::vector<term> slope{{&k.slope, place, 1.0, part::main_response}};
    std::array<double, 3> bb{};
    std::array<double, 2> by{};
    const std::vector<std::int64_t> window = window_samples(corr, place, place + 1);
    const std::vector<term> near = terms_reaching(rest, corr, window);
    const std::vector<double> model = evaluate_all(near, corr, window, all_parts);
    const std::vector<double> shapes = evaluate_all(shape, corr, window, all_parts);
    const std::vector<double> slopes = evaluate_all(slope, corr, window, all_parts);
    for (std::size_t j = 0; j < window.size(); ++j) {
        const std::int64_t s = window[j];
        const double y = sample(corr, s) - model[j] + phase_mean(means, corr, s);
        const double u = shapes[j];
        const double v = slopes[j];
        bb[0] += u * u;
        bb[1] += u * v;
        bb[2] += v * v;
        by[0] += u * y;
        by[1] += v * y;
    }
    const double det = bb[0] * bb[2] - bb[1] * bb[1];
    if (det <= 0) {
        return {0.0, 0.0};
    }
    return {(bb[2] * by[0] - bb[1] * by[1]) / det, (bb[0] * by[1] - bb[1] * by[0]) / det};
}

// The echoes of unknown cause, fitted only where they stand clear.
void fit_unknown_causes(const correlation& corr, const kernels& k, const echo_offsets& offsets,
                        shift_estimate& fit)
{
    shift_estimate rest = fit;
    rest.second = {0.0, 0.0};
    if (fit.fit_second) {
        fit.second =
            fit_generic(corr, k, model_terms(k, corr.classes, offsets, rest), offsets.second);
    }
    rest = fit;
    rest.interaction = {0.0, 0.0};
    if (fit.fit_interaction) {
        fit.interaction =
            fit_generic(corr, k, model_terms(k, corr.classes, offsets, rest), offsets.interaction);
    }
}

// How well a round's model explains the echoes it fits: the sum of squared
// residuals over their windows, the kernels already made for the round's shifts.
double round_misfit(const correlation& corr, const kernels& k, const echo_offsets& offsets,
                    const shift_estimate& fit, const std::vector<std::int64_t>& window)
{
    const std::vector<double> r = model_residuals(corr, k, offsets, fit, window);
    return std::inner_product(r.begin(), r.end(), r.begin(), 0.0);
}

}  // namespace

// The samples the HTS and NLTS shifts are fitted over: their separable echoes.
std::vector<std::int64_t> shift_samples(const correlation& corr,
                                        const std::array<echo_result, effect_count>& echoes,
                                        const echo_offsets& offsets)
{
    std::vector<std::int64_t> samples;
    for (const effect which : {effect::hts, effect::nlts}) {
        if (is_separable(echoes.at(static_cast<std::size_t>(which)))) {
            const std::vector<std::int64_t> w = echo_window(corr, offsets, which);
            samples.insert(samples.end(), w.begin(), w.end());
        }
    }
    return samples;
}

// Rounds of fit and subtract: the response from the main response less the
// echoes, then the shifts and the echoes of unknown cause from that response,
// until the shifts settle. Returns the kernels at the final shifts.
kernels fit_rounds_of(const correlation& corr, const echo_offsets& offsets, shift_estimate& fit,
                      const std::vector<hole>& holes, const std::vector<std::int64_t>& shift_window,
                      const plan_set& plans)
{
    response extracted;
    kernels k;
    // Fit and subtract settles in a few rounds; where an echo stands close to the
    // main response it can instead wander off, so the round that explained the
    // echoes best is the one kept.
    shift_estimate best = fit;
    double best_misfit = std::numeric_limits<double>::infinity();
    std::vector<double> best_h;
    for (int round = 0; round < fit_rounds; ++round) {
        // Only the echoes the channel model explains are taken off: an echo of
        // unknown cause near the main response would otherwise trade its size
        // against the response's tail.
        shift_estimate modelled = fit;
        modelled.second = {0.0, 0.0};
        modelled.interaction = {0.0, 0.0};
        const std::vector<double> h = extract_response(
            corr,
            round == 0 ? std::vector<term>{} : model_terms(k, corr.classes, offsets, modelled), fit,
            holes, plans.extract);
        extracted = make_response(h, corr.rate, plans);
        const shift_estimate before = fit;
        // The main response's kernels follow the shifts a round late; by the
        // last round the shifts no longer move.
        k = make_kernels(extracted, corr.classes, fit);
        if (!shift_window.empty()) {
            fit_shifts(corr, extracted, k, offsets, fit, shift_window);
            echo_kernels(k, extracted, corr.classes, fit);
        }
        fit_unknown_causes(corr, k, offsets, fit);
        if (!shift_window.empty()) {
            const double misfit = round_misfit(corr, k, offsets, fit, shift_window);
            if (misfit < best_misfit) {
                best_misfit = misfit;
                best = fit;
                best_h = h;
            }
        }
        if (round >= 2
            && std::abs(fit.hts - before.hts) + std::abs(fit.nlts - before.nlts)
                       + std::abs(fit.erasure - before.erasure)
                   < converged) {
            break;
        }
    }
    if (!best_h.empty()) {
        fit = best;
        extracted = make_response(best_h, corr.rate, plans);
    }
    k = make_kernels(extracted, corr.classes, fit);
    if (!shift_window.empty()) {
        fit_spread(corr, extracted, k, offsets, fit, shift_window);
    }
    return k;
}

// An echo in the reach of another response gets no shift, only a rough size,
// fitted like the echoes of unknown cause: each alone, the others as fitted.
void size_inseparable(const correlation& corr, const kernels& k, const echo_offsets& offsets,
                      const std::array<echo_result, effect_count>& echoes, shift_estimate& fit)
{
    const shift_estimate fitted = fit;
    const std::vector<term> terms = model_terms(k, corr.classes, offsets, fitted);
    const std::array<std::array<double, 2>*, effect_count> weights{&fit.hts_rough, &fit.nlts_rough,
                                                                   &fit.second, &fit.interaction};
    for (const effect which : all_effects) {
        if (!is_separable(echoes.at(static_cast<std::size_t>(which)))) {
            *weights.at(static_cast<std::size_t>(which)) =
                fit_generic(corr, k, terms, offset_of(offsets, which));
        }
    }
}

}  // namespace keldran::echo
