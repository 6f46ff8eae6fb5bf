// The channel model's prediction of the correlation, term by term: a
// transition's level change gives the main response, and the products of
// neighbouring levels that HTS and NLTS bring land at their echo locations.
#include "fit_internal.h"

#include <algorithm>
#include <array>

namespace keldran::echo {

namespace {

// Whether `parts` takes in terms of `owner`, and counts them at all.
bool counts(part_set parts, const term& t)
{
    return (parts & only(t.owner)) != 0 && t.weight != 0;
}

}  // namespace

part_set only(part which)
{
    return 1U << static_cast<unsigned>(which);
}

part part_of(effect which)
{
    constexpr std::array<part, effect_count> parts{part::hts, part::nlts, part::second_adjacent,
                                                   part::interaction};
    return parts.at(static_cast<std::size_t>(which));
}

std::int64_t offset_of(const echo_offsets& offsets, effect which)
{
    const std::array<std::int64_t, effect_count> all{offsets.hts, offsets.nlts, offsets.second,
                                                     offsets.interaction};
    return all.at(static_cast<std::size_t>(which));
}

// The correlation the channel model predicts, term by term. A transition's
// level change (a_k - a_(k-1)) / 2 gives the main response; the products of
// neighbouring levels that HTS and NLTS bring are the pattern itself shifted,
// so each lands at its echo location.
std::vector<term> model_terms(const kernels& k, const echo_offsets& offsets,
                              const shift_estimate& fit)
{
    constexpr double half = 0.5;
    constexpr double quarter = 0.25;
    return {
        {&k.a0, 0, half, part::main_response},
        {&k.a0, 1, -half, part::main_response},
        {&k.da, 0, quarter, part::main_response},
        {&k.da, 1, -quarter, part::main_response},
        {&k.da, 2, quarter, part::main_response},
        {&k.b0, offsets.hts, half, part::hts},
        {&k.db, offsets.hts, quarter, part::hts},
        {&k.db, offsets.hts + 1, quarter, part::hts},
        {&k.da_echo, offsets.nlts, -quarter, part::nlts},
        {&k.db, offsets.interaction, -quarter, part::interaction},
        {&k.shape, offsets.second, fit.second[0], part::second_adjacent},
        {&k.slope, offsets.second, fit.second[1], part::second_adjacent},
        {&k.shape, offsets.interaction, fit.interaction[0], part::interaction},
        {&k.slope, offsets.interaction, fit.interaction[1], part::interaction},
        {&k.shape, offsets.hts, fit.hts_rough[0], part::hts},
        {&k.slope, offsets.hts, fit.hts_rough[1], part::hts},
        {&k.shape, offsets.nlts, fit.nlts_rough[0], part::nlts},
        {&k.slope, offsets.nlts, fit.nlts_rough[1], part::nlts},
    };
}

// The terms' value s samples from the main response's transition, over the
// parts selected by `parts` (a bit per owner).
double evaluate(const std::vector<term>& terms, const correlation& corr, std::int64_t s,
                part_set parts)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    const std::int64_t half_segment = corr.segment * corr.rate;
    double value = 0;
    for (const term& t : terms) {
        if (!counts(parts, t)) {
            continue;
        }
        const std::int64_t i = wrap(s - t.offset * corr.rate, n) + half_segment;
        if (i >= 0 && i < static_cast<std::int64_t>(t.kernel->size())) {
            value += t.weight * (*t.kernel)[static_cast<std::size_t>(i)];
        }
    }
    return value;
}

// The per-phase mean the terms add over one period, which the correlation lacks.
std::vector<double> phase_means(const std::vector<term>& terms, const correlation& corr,
                                part_set parts)
{
    std::vector<double> means(static_cast<std::size_t>(corr.rate), 0.0);
    for (const term& t : terms) {
        if (!counts(parts, t)) {
            continue;
        }
        auto phase = static_cast<std::size_t>(corr.origin % corr.rate);
        for (const double v : *t.kernel) {
            means[phase] += t.weight * v / static_cast<double>(corr.length);
            phase = phase + 1 == means.size() ? 0 : phase + 1;
        }
    }
    return means;
}

double phase_mean(const std::vector<double>& means, const correlation& corr, std::int64_t s)
{
    return means[static_cast<std::size_t>((((corr.origin + s) % corr.rate) + corr.rate)
                                          % corr.rate)];
}

// The terms over one whole period, less their per-phase means, as the correlation is.
std::vector<double> render(const std::vector<term>& terms, const correlation& corr, part_set parts)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    std::vector<double> model(corr.values.size(), 0.0);
    for (const term& t : terms) {
        if (!counts(parts, t)) {
            continue;
        }
        const auto size = static_cast<std::int64_t>(t.kernel->size());
        // Kernels longer than the period wrap onto it as the correlation does.
        std::int64_t at = (((corr.origin + (t.offset - corr.segment) * corr.rate) % n) + n) % n;
        for (std::int64_t i = 0; i < size; ++i) {
            model[static_cast<std::size_t>(at)] +=
                t.weight * (*t.kernel)[static_cast<std::size_t>(i)];
            at = at + 1 == n ? 0 : at + 1;
        }
    }
    const std::vector<double> means = phase_means(terms, corr, parts);
    for (std::int64_t j = 0; j < n; ++j) {
        model[static_cast<std::size_t>(j)] -= means[static_cast<std::size_t>(j % corr.rate)];
    }
    return model;
}

double peak_to_peak(const std::vector<term>& terms, const correlation& corr, part_set parts,
                    const std::vector<std::int64_t>& at)
{
    double lo = 0;
    double hi = 0;
    for (const std::int64_t s : at) {
        const double v = evaluate(terms, corr, s, parts);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    return hi - lo;
}

std::vector<std::int64_t> window_samples(const correlation& corr, std::int64_t from,
                                         std::int64_t to)
{
    std::vector<std::int64_t> s;
    for (std::int64_t i = (from - window_bits) * corr.rate; i < (to + window_bits) * corr.rate;
         ++i) {
        s.push_back(i);
    }
    return s;
}

std::vector<std::int64_t> echo_window(const correlation& corr, const echo_offsets& offsets,
                                      effect which)
{
    // The HTS echo spans two bits: its own and the one after.
    const std::int64_t at = offset_of(offsets, which);
    return window_samples(corr, at, which == effect::hts ? at + 1 : at);
}

}  // namespace keldran::echo
