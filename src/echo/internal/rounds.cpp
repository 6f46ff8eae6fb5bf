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

// Residuals of the model over the samples `at`, with the kernels as they stand.
std::vector<double> model_residuals(const correlation& corr, const kernels& k,
                                    const echo_offsets& offsets, const shift_estimate& fit,
                                    const std::vector<std::int64_t>& at)
{
    const std::vector<term> terms = model_terms(k, offsets, fit);
    const std::vector<double> means = phase_means(terms, corr, all_parts);
    std::vector<double> r(at.size());
    for (std::size_t i = 0; i < at.size(); ++i) {
        r[i] = sample(corr, at[i]) - evaluate(terms, corr, at[i], all_parts)
               + phase_mean(means, corr, at[i]);
    }
    return r;
}

// Residuals of the model over the samples `at`, with the echo kernels made
// anew for the shifts in `fit` and the main response's held as they are.
std::vector<double> residuals(const correlation& corr, const response& extracted, kernels& k,
                              const echo_offsets& offsets, const shift_estimate& fit,
                              const std::vector<std::int64_t>& at)
{
    echo_kernels(k, extracted, fit.hts, fit.nlts);
    return model_residuals(corr, k, offsets, fit, at);
}

// Gauss-Newton steps on the free shifts, the transition response held fixed.
void fit_shifts(const correlation& corr, const response& extracted, kernels& k,
                const echo_offsets& offsets, shift_estimate& fit,
                const std::vector<std::int64_t>& at)
{
    for (int step = 0; step < newton_steps; ++step) {
        std::array<std::vector<double>, 2> jacobian;
        const std::vector<double> r = residuals(corr, extracted, k, offsets, fit, at);
        for (std::size_t q = 0; q < 2; ++q) {
            const bool free = q == 0 ? fit.fit_hts : fit.fit_nlts;
            jacobian.at(q).assign(r.size(), 0.0);
            if (!free) {
                continue;
            }
            shift_estimate moved = fit;
            (q == 0 ? moved.hts : moved.nlts) += derivative_step;
            const std::vector<double> rm = residuals(corr, extracted, k, offsets, moved, at);
            for (std::size_t i = 0; i < r.size(); ++i) {
                jacobian.at(q)[i] = (rm[i] - r[i]) / derivative_step;
            }
        }
        // Solve (J'J) delta = -J'r for the two shifts; a fixed shift has a zero column.
        std::array<double, 3> jj{};
        std::array<double, 2> jr{};
        for (std::size_t i = 0; i < r.size(); ++i) {
            jj[0] += jacobian[0][i] * jacobian[0][i];
            jj[1] += jacobian[0][i] * jacobian[1][i];
            jj[2] += jacobian[1][i] * jacobian[1][i];
            jr[0] += jacobian[0][i] * r[i];
            jr[1] += jacobian[1][i] * r[i];
        }
        const double a = jj[0] > 0 ? jj[0] : 1.0;
        const double d = jj[2] > 0 ? jj[2] : 1.0;
        const double det = a * d - jj[1] * jj[1];
        if (det <= 0) {
            return;
        }
        const double step_h = -(d * jr[0] - jj[1] * jr[1]) / det;
        const double step_n = -(a * jr[1] - jj[1] * jr[0]) / det;
        fit.hts = std::clamp(fit.hts + step_h, -max_shift, max_shift);
        fit.nlts = std::clamp(fit.nlts + step_n, -max_shift, max_shift);
        if (std::abs(step_h) + std::abs(step_n) < converged) {
            return;
        }
    }
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
    for (const std::int64_t s : window_samples(corr, place, place + 1)) {
        const double y =
            sample(corr, s) - evaluate(rest, corr, s, all_parts) + phase_mean(means, corr, s);
        const double u = evaluate(shape, corr, s, all_parts);
        const double v = evaluate(slope, corr, s, all_parts);
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
        fit.second = fit_generic(corr, k, model_terms(k, offsets, rest), offsets.second);
    }
    rest = fit;
    rest.interaction = {0.0, 0.0};
    if (fit.fit_interaction) {
        fit.interaction = fit_generic(corr, k, model_terms(k, offsets, rest), offsets.interaction);
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
            corr, round == 0 ? std::vector<term>{} : model_terms(k, offsets, modelled), fit, holes,
            plans.extract);
        extracted = make_response(h, corr.rate, plans);
        const double before_h = fit.hts;
        const double before_n = fit.nlts;
        // The main response's kernels follow the shifts a round late; by the
        // last round the shifts no longer move.
        k = make_kernels(extracted, fit.hts, fit.nlts);
        if (!shift_window.empty()) {
            fit_shifts(corr, extracted, k, offsets, fit, shift_window);
            echo_kernels(k, extracted, fit.hts, fit.nlts);
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
            && std::abs(fit.hts - before_h) + std::abs(fit.nlts - before_n) < converged) {
            break;
        }
    }
    if (!best_h.empty()) {
        fit = best;
        extracted = make_response(best_h, corr.rate, plans);
    }
    return make_kernels(extracted, fit.hts, fit.nlts);
}

// An echo in the reach of another response gets no shift, only a rough size,
// fitted like the echoes of unknown cause: each alone, the others as fitted.
void size_inseparable(const correlation& corr, const kernels& k, const echo_offsets& offsets,
                      const std::array<echo_result, effect_count>& echoes, shift_estimate& fit)
{
    const shift_estimate fitted = fit;
    const std::vector<term> terms = model_terms(k, offsets, fitted);
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
