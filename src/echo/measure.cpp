#include "measure.h"

#include "internal/correlate.h"
#include "internal/fit_internal.h"
#include "plot.h"
#include "summary.h"

#include <algorithm>
#include <cmath>

namespace keldran::echo {

namespace {

// Bits each side of the main response over which the transition response is
// extracted and every echo is modelled: at most this, and at most a quarter of
// the period, so that no echo inside the segment comes round into it again
// from the other side.
constexpr std::int64_t max_segment_bits = 40;
// Bits in the shortest period whose correlation can tell this pattern from another.
constexpr std::int64_t shortest_checked_period = 31;

std::int64_t place_of(double location, std::int64_t length)
{
    // Locations lie between bit cells; the product lands on the cell after.
    constexpr double half_bit = 0.5;
    const auto whole = static_cast<std::int64_t>(std::llround(location + half_bit));
    return wrap(whole, length);
}

// The echoes as keldran names and places them, and where each lands in the correlation.
echo_offsets place_echoes(const polynomial& poly, std::array<echo_result, effect_count>& echoes,
                          std::int64_t length)
{
    const echo_set locations = pattern_echoes(poly);
    const std::array<double, effect_count> located{
        locations.hts, locations.nlts, locations.second_adjacent, locations.interaction};
    for (const effect which : all_effects) {
        const auto e = static_cast<std::size_t>(which);
        echoes.at(e).which = which;
        echoes.at(e).location = located.at(e);
    }
    return {place_of(locations.hts, length), place_of(locations.nlts, length),
            place_of(locations.second_adjacent, length), place_of(locations.interaction, length)};
}

void fill_plot(plot_data& plot, const measurement& m, const correlation& corr,
               const std::vector<term>& terms, const echo_offsets& offsets)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    const auto rate = static_cast<double>(corr.rate);
    for (std::int64_t s = -n / 2; s < n - n / 2; ++s) {
        plot.t.push_back(static_cast<double>(s) / rate - main_centre);
        plot.correlation.push_back(sample(corr, s));
    }
    const std::vector<double> means = phase_means(terms, corr, all_parts);
    for (const effect which : all_effects) {
        const echo_result& echo = echo_of(m, which);
        plot_echo& panel = plot.echoes.at(static_cast<std::size_t>(which));
        panel.label = effect_title(which);
        panel.location = echo.location;
        panel.separable = is_separable(echo);
        const part_set self = only(part_of(which));
        for (const std::int64_t s : echo_window(corr, offsets, which)) {
            panel.t.push_back(static_cast<double>(s) / rate - main_centre);
            panel.measured.push_back(sample(corr, s) - evaluate(terms, corr, s, all_parts & ~self)
                                     + phase_mean(means, corr, s));
            panel.model.push_back(evaluate(terms, corr, s, self));
        }
    }
}

// The correlation of the period with the pattern, on its main response; an
// error when the capture does not hold this pattern.
echo_error correlate_period(const polynomial& poly, std::span<const double> period,
                            std::int32_t rate, correlation& corr)
{
    const std::vector<std::int32_t> bits = pattern_bits(poly);
    const auto length = static_cast<std::int64_t>(bits.size());
    constexpr std::int64_t quarter = 4;
    corr = {correlate(bits, poly.order, period, rate),
            length,
            rate,
            0,
            std::min(max_segment_bits, length / quarter),
            transition_classes(bits, poly.order)};
    find_main(corr);
    // In a period of 15 bits or fewer any response fills most of it, so there the
    // share says nothing about the pattern.
    const double share = main_share(corr);
    if (corr.length >= shortest_checked_period && share < share_needed(corr)) {
        return {
            .code = echo_errc::pattern_not_found, .share = share, .text = polynomial_text(poly)};
    }
    return {};
}

// Measures the period, and gathers the plot's data into `plot` when it is given.
measurement fit_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                       plot_data* plot)
{
    measurement m;
    correlation corr;
    m.error = correlate_period(poly, period, rate, corr);
    if (m.error) {
        return m;
    }
    const echo_offsets offsets = place_echoes(poly, m.echoes, corr.length);
    shift_estimate fit;
    const plan_set plans = make_plans(static_cast<std::size_t>(segment_samples(corr)), corr.rate);
    // The reaches come from a first response, taken before any echo is known.
    const kernels first = make_kernels(
        make_response(extract_response(corr, {}, fit, {}, plans.extract), corr.rate, plans),
        corr.classes, fit);
    const reach_set reach = reaches(corr, first, model_terms(first, corr.classes, offsets, fit));
    decide_separable(m.echoes, offsets, reach, static_cast<double>(corr.length));
    const std::vector<hole> holes = echo_holes(m.echoes, offsets, reach, corr.segment);
    fit.fit_hts = is_separable(echo_of(m, effect::hts));
    fit.fit_nlts = is_separable(echo_of(m, effect::nlts));
    fit.fit_second = is_separable(echo_of(m, effect::second_adjacent));
    fit.fit_interaction = is_separable(echo_of(m, effect::interaction));
    const kernels k =
        fit_rounds_of(corr, offsets, fit, holes, shift_samples(corr, m.echoes, offsets), plans);
    size_inseparable(corr, k, offsets, m.echoes, fit);
    const std::vector<term> terms = model_terms(k, corr.classes, offsets, fit);
    report_fit(m, corr, offsets, terms, fit);
    if (plot != nullptr) {
        plot->title = polynomial_text(poly);
        fill_plot(*plot, m, corr, terms, offsets);
    }
    return m;
}

}  // namespace

bool is_separable(const echo_result& echo)
{
    return echo.verdict == separation::separable;
}

const echo_result& echo_of(const measurement& m, effect which)
{
    return m.echoes.at(static_cast<std::size_t>(which));
}

measurement measure_period(const polynomial& poly, std::span<const double> period,
                           std::int32_t rate)
{
    return fit_period(poly, period, rate, nullptr);
}

plot_data plot_period(const polynomial& poly, std::span<const double> period, std::int32_t rate)
{
    plot_data plot;
    fit_period(poly, period, rate, &plot);
    return plot;
}

}  // namespace keldran::echo
