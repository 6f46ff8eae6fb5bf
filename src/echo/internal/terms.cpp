// The channel model's prediction of the correlation, term by term: a
// transition's level change gives the main response, and the products of
// neighbouring levels that HTS and NLTS bring land at their echo locations.
#include "fit_internal.h"

#include <algorithm>
#include <array>
#include <utility>

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

namespace {

// What a shift of the pattern `offset` bits late belongs to: the main response
// near zero, an echo within a bit of its location, else nothing reported.
part owner_of(std::int64_t offset, const echo_offsets& offsets)
{
    if (offset >= main_before && offset <= main_after) {
        return part::main_response;
    }
    for (const effect which :
         {effect::hts, effect::nlts, effect::interaction, effect::second_adjacent}) {
        const std::int64_t at = offset_of(offsets, which);
        const std::int64_t last = which == effect::hts ? at + 1 : at;
        if (offset >= at - 1 && offset <= last) {
            return part_of(which);
        }
    }
    return part::other;
}

}  // namespace

// The correlation the channel model predicts, term by term: each class's
// transitions, as shifts of the pattern, each shift with the response moved by
// the class's shift; less, for partial erasure, E times those with a close
// neighbour; and the echoes of unknown cause as weights of the response and its slope.
std::vector<term> model_terms(const kernels& k, const class_set& classes,
                              const echo_offsets& offsets, const shift_estimate& fit)
{
    std::vector<term> terms;
    for (std::size_t i = 0; i < class_count; ++i) {
        const auto add = [&](const std::vector<weight_at>& shifts, double scale) {
            for (const weight_at& w : shifts) {
                const part owner = owner_of(w.offset, offsets);
                const std::vector<double>& kernel =
                    owner == part::main_response ? k.whole.at(i) : k.near.at(i);
                terms.push_back({&kernel, w.offset, scale * w.weight, owner});
            }
        };
        add(classes.at(i).plain, 1.0);
        if (fit.erasure != 0) {
            add(classes.at(i).erased, -fit.erasure);
        }
    }
    const std::array<term, 8> unknown{{
        {&k.shape, offsets.second, fit.second[0], part::second_adjacent},
        {&k.slope, offsets.second, fit.second[1], part::second_adjacent},
        {&k.shape, offsets.interaction, fit.interaction[0], part::interaction},
        {&k.slope, offsets.interaction, fit.interaction[1], part::interaction},
        {&k.shape, offsets.hts, fit.hts_rough[0], part::hts},
        {&k.slope, offsets.hts, fit.hts_rough[1], part::hts},
        {&k.shape, offsets.nlts, fit.nlts_rough[0], part::nlts},
        {&k.slope, offsets.nlts, fit.nlts_rough[1], part::nlts},
    }};
    terms.insert(terms.end(), unknown.begin(), unknown.end());
    return terms;
}

std::vector<double> evaluate_all(const std::vector<term>& terms, const correlation& corr,
                                 std::span<const std::int64_t> at, part_set parts)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    const std::int64_t half_segment = corr.segment * corr.rate;
    // wrap() gives [-(n / 2), n - n / 2).
    const std::int64_t lowest = -(n / 2);
    const std::int64_t beyond = n - n / 2;
    std::vector<double> values(at.size(), 0.0);
    for (const term& t : terms) {
        if (!counts(parts, t)) {
            continue;
        }
        const auto size = static_cast<std::int64_t>(t.kernel->size());
        const std::int64_t start = t.offset * corr.rate;
        std::int64_t w = 0;
        for (std::size_t j = 0; j < at.size(); ++j) {
            // Along a run of consecutive samples the place in the period steps by one.
            if (j > 0 && at[j] == at[j - 1] + 1) {
                w = w + 1 == beyond ? lowest : w + 1;
            } else {
                w = wrap(at[j] - start, n);
            }
            const std::int64_t i = w + half_segment;
            if (i >= 0 && i < size) {
                values[j] += t.weight * (*t.kernel)[static_cast<std::size_t>(i)];
            }
        }
    }
    return values;
}

double evaluate(const std::vector<term>& terms, const correlation& corr, std::int64_t s,
                part_set parts)
{
    return evaluate_all(terms, corr, std::span(&s, 1), parts).front();
}

std::vector<term> terms_reaching(const std::vector<term>& terms, const correlation& corr,
                                 std::span<const std::int64_t> at)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    const std::int64_t half_segment = corr.segment * corr.rate;
    // The samples as runs of consecutive ones, [first, first + length).
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    for (const std::int64_t s : at) {
        if (!runs.empty() && runs.back().first + runs.back().second == s) {
            ++runs.back().second;
        } else {
            runs.emplace_back(s, 1);
        }
    }
    std::vector<term> near;
    for (const term& t : terms) {
        const auto size = static_cast<std::int64_t>(t.kernel->size());
        const std::int64_t start =
            t.offset * corr.rate - half_segment;  // the kernel's first sample
        const bool reaches = std::any_of(runs.begin(), runs.end(), [&](const auto& run) {
            // Where the run starts, counted round the period from the kernel's start.
            const std::int64_t from = (((run.first - start) % n) + n) % n;
            return size >= n || run.second >= n || from < size || from + run.second > n;
        });
        if (reaches) {
            near.push_back(t);
        }
    }
    return near;
}

// The per-phase mean the terms add over one period, which the correlation lacks.
std::vector<double> phase_means(const std::vector<term>& terms, const correlation& corr,
                                part_set parts)
{
    // A term's offset is whole bits, which leave its phases where they are: the
    // terms of one kernel add their weights, and each kernel is summed once.
    std::vector<std::pair<const std::vector<double>*, double>> weights;
    for (const term& t : terms) {
        if (!counts(parts, t)) {
            continue;
        }
        const auto same = std::find_if(weights.begin(), weights.end(),
                                       [&t](const auto& w) { return w.first == t.kernel; });
        if (same == weights.end()) {
            weights.emplace_back(t.kernel, t.weight);
        } else {
            same->second += t.weight;
        }
    }
    std::vector<double> means(static_cast<std::size_t>(corr.rate), 0.0);
    const auto start = static_cast<std::size_t>(corr.origin % corr.rate);
    for (const auto& [kernel, weight] : weights) {
        const double scale = weight / static_cast<double>(corr.length);
        std::size_t phase = start;
        for (const double v : *kernel) {
            means[phase] += scale * v;
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
    for (const double v : evaluate_all(terms, corr, at, parts)) {
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
