#include "measure.h"

#include "internal/correlate.h"
#include "internal/fit_internal.h"
#include "plot.h"
#include "summary.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

namespace keldran::echo {

namespace {

// Bits each side of the main response over which the transition response is
// extracted and every echo is modelled: at most this, and at most a quarter of
// the period, so that no echo inside the segment comes round into it again
// from the other side.
constexpr std::int64_t max_segment_bits = 40;
// Bits in the shortest period whose correlation can tell this pattern from another.
constexpr std::int64_t shortest_checked_period = 31;
// Bits in the shortest period whose partial erasure can be told from its shifts: order 9's.
constexpr std::int64_t shortest_erasure_period = 511;
// Cycles per bit below which the slope of a step 1.5 bit cells wide or wider holds nearly all it
// has.
constexpr double slope_band = 1.0;

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
    echoes = located_echoes(poly);
    const auto at = [&](effect which) {
        return place_of(echoes.at(static_cast<std::size_t>(which)).location, length);
    };
    return {at(effect::hts), at(effect::nlts), at(effect::second_adjacent),
            at(effect::interaction)};
}

// What the head's asymmetry adds to the correlation at sample s: the
// correlation as read less the one with the asymmetry undone.
double asymmetry_part(const correlation& corr, const std::vector<double>& as_read, std::int64_t s)
{
    if (as_read.empty()) {
        return 0.0;
    }
    const auto n = static_cast<std::int64_t>(as_read.size());
    const double read = as_read[static_cast<std::size_t>((((corr.origin + s) % n) + n) % n)];
    return (corr.inverted ? -read : read) - sample(corr, s);
}

// The fitted parts of the HTS and NLTS echoes where more than one cause made them.
void fill_parts(plot_echo& panel, const correlation& corr, const kernels& k,
                const echo_offsets& offsets, const shift_estimate& fit,
                const std::vector<double>& as_read, const std::vector<std::int64_t>& window)
{
    const part_set self = only(part_of(panel.figures.which));
    const bool erased = panel.figures.which == effect::nlts && panel.figures.partial_erasure;
    const bool asymmetric =
        panel.figures.which == effect::hts && panel.figures.read_asymmetry && !as_read.empty();
    if (!erased && !asymmetric) {
        return;
    }
    shift_estimate unerased = fit;
    unerased.erasure = 0;
    const std::vector<term> shift_terms = model_terms(k, corr.classes, offsets, unerased);
    plot_part shift{echo_part::shift, {}};
    plot_part other{erased ? echo_part::erasure : echo_part::asymmetry, {}};
    for (std::size_t i = 0; i < window.size(); ++i) {
        shift.values.push_back(evaluate(shift_terms, corr, window[i], self));
        other.values.push_back(erased ? panel.model[i] - shift.values.back()
                                      : asymmetry_part(corr, as_read, window[i]));
    }
    if (asymmetric) {
        for (std::size_t i = 0; i < window.size(); ++i) {
            panel.measured[i] += other.values[i];
            panel.model[i] += other.values[i];
        }
    }
    panel.parts = {std::move(shift), std::move(other)};
}

void fill_plot(plot_data& plot, const measurement& m, const correlation& corr, const kernels& k,
               const std::vector<term>& terms, const echo_offsets& offsets,
               const shift_estimate& fit, const std::vector<double>& as_read)
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
        panel.figures = echo;
        const part_set self = only(part_of(which));
        const std::vector<std::int64_t> window = echo_window(corr, offsets, which);
        for (const std::int64_t s : window) {
            panel.t.push_back(static_cast<double>(s) / rate - main_centre);
            panel.measured.push_back(sample(corr, s) - evaluate(terms, corr, s, all_parts & ~self)
                                     + phase_mean(means, corr, s));
            panel.model.push_back(evaluate(terms, corr, s, self));
        }
        fill_parts(panel, corr, k, offsets, fit, as_read, window);
    }
}

// What the period's correlation is read with besides itself.
struct reading {
    head_reading head;  // the head's asymmetry, in the period's units, undone before correlating
    recording_medium medium = recording_medium::longitudinal;
    std::vector<double> as_read;  // with an asymmetry: the correlation before it was undone
};

// The correlation of the period with the pattern, the head's asymmetry undone
// and, for a step's read-back, its slope taken, placed on its main response;
// an error when the capture does not hold this pattern.
echo_error correlate_period(const polynomial& poly, std::span<const double> period,
                            std::int32_t rate, std::optional<recording_medium> medium,
                            correlation& corr, reading& read)
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
    // Whether the capture holds this pattern is judged on the correlation as
    // read: a step's bump, like a pulse's dipulse, holds its energy near the main response.
    find_main(corr);
    // In a period of 15 bits or fewer any response fills most of it, so there the
    // share says nothing about the pattern.
    const double share = main_share(corr);
    if (corr.length >= shortest_checked_period && share < share_needed(corr)) {
        return {
            .code = echo_errc::pattern_not_found, .share = share, .text = polynomial_text(poly)};
    }
    // Back as read: the asymmetry is estimated against the period's own squares.
    if (corr.inverted) {
        std::transform(corr.values.begin(), corr.values.end(), corr.values.begin(),
                       std::negate<>());
        corr.inverted = false;
    }
    read.medium = medium ? *medium : find_medium(corr.values, rate);
    std::vector<double> linear;
    read.head = undo_asymmetry(period, corr, bits, poly.order, read.medium, linear);
    if (read.head.undone) {
        read.as_read = std::move(corr.values);
        corr.values = correlate(bits, poly.order, linear, rate);
    }
    if (read.medium == recording_medium::perpendicular) {
        take_slope(corr.values, rate);
        // The slope lifts the noise with its frequency, far above the pulse's band:
        // what lies beyond the band is taken off.
        band_limit(corr.values, nullptr, rate, slope_band);
    }
    find_main(corr);
    return {};
}

// The height of an isolated transition's read-back in the period's units: the
// pulse's peak (the asymmetry is measured on a longitudinal medium only).
double transition_height(const kernels& k)
{
    return *std::max_element(k.shape.begin(), k.shape.end());
}

// The head's asymmetry as the model states it, on a separable HTS echo that
// was given its shift.
void report_asymmetry(measurement& m, const kernels& k, const correlation& corr,
                      const reading& read)
{
    echo_result& hts = m.echoes.at(static_cast<std::size_t>(effect::hts));
    if (!hts.shift) {
        return;
    }
    if (!read.head.measured) {
        m.asymmetry_unmeasured = true;
        return;
    }
    // Upside down, the head's x + A x^2 reads as -x - A x^2.
    const double scale = transition_height(k) * (corr.inverted ? -1 : 1);
    const fitted_value asymmetry{read.head.asymmetry * scale + 0.0,
                                 read.head.uncertainty * std::abs(scale)};
    // Drift or noise can leave the estimate too loose to say anything of the head.
    if (asymmetry.uncertainty > max_asymmetry_uncertainty) {
        m.asymmetry_unmeasured = true;
        m.asymmetry_uncertain = true;
        return;
    }
    hts.read_asymmetry = asymmetry;
}

// Correlates the period, reads its medium and places the echoes in it; m.error
// when the period does not hold the pattern.
echo_offsets start_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                          std::optional<recording_medium> medium, measurement& m, correlation& corr,
                          reading& read)
{
    m.error = correlate_period(poly, period, rate, medium, corr, read);
    m.medium = read.medium;
    m.medium_found = !medium;
    return m.error ? echo_offsets{} : place_echoes(poly, m.echoes, corr.length);
}

// Judges which echoes stand clear of the main response and of each other by how
// far a first response reaches, taken before any echo is known; returns the
// holes the extracted response needs where the separable echoes echo again.
std::vector<hole> separate(const correlation& corr, const echo_offsets& offsets,
                           const plan_set& plans, std::array<echo_result, effect_count>& echoes)
{
    const shift_estimate none;
    const kernels first = make_kernels(
        make_response(extract_response(corr, {}, none, {}, plans.extract), corr.rate, plans),
        corr.classes, none);
    const reach_set reach = reaches(corr, first, model_terms(first, corr.classes, offsets, none));
    decide_separable(echoes, offsets, reach, static_cast<double>(corr.length));
    return echo_holes(echoes, offsets, reach, corr.segment);
}

// Measures the period, and gathers the plot's data into `plot` when it is given.
measurement fit_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                       std::optional<recording_medium> medium, plot_data* plot)
{
    measurement m;
    correlation corr;
    reading read;
    const echo_offsets offsets = start_period(poly, period, rate, medium, m, corr, read);
    if (m.error) {
        return m;
    }
    shift_estimate fit;
    const plan_set plans = make_plans(static_cast<std::size_t>(segment_samples(corr)), corr.rate);
    const std::vector<hole> holes = separate(corr, offsets, plans, m.echoes);
    fit.fit_hts = is_separable(echo_of(m, effect::hts));
    fit.fit_nlts = is_separable(echo_of(m, effect::nlts));
    // A perpendicular medium's model holds no partial erasure; below order 9 the
    // erasure's echoes crowd the shifts' until either passes for the other.
    const bool erasable = fit.fit_nlts && m.medium == recording_medium::longitudinal;
    fit.fit_erasure = erasable && corr.length >= shortest_erasure_period;
    m.erasure_unmeasured = erasable && !fit.fit_erasure;
    fit.fit_second = is_separable(echo_of(m, effect::second_adjacent));
    fit.fit_interaction = is_separable(echo_of(m, effect::interaction));
    const kernels k =
        fit_rounds_of(corr, offsets, fit, holes, shift_samples(corr, m.echoes, offsets), plans);
    size_inseparable(corr, k, offsets, m.echoes, fit);
    const std::vector<term> terms = model_terms(k, corr.classes, offsets, fit);
    report_fit(m, corr, offsets, terms, fit);
    report_asymmetry(m, k, corr, read);
    m.pw50 = half_height_width(k.shape, corr.rate);
    if (plot != nullptr) {
        plot->title = polynomial_text(poly);
        fill_plot(*plot, m, corr, k, terms, offsets, fit, read.as_read);
    }
    return m;
}

}  // namespace

std::array<echo_result, effect_count> located_echoes(const polynomial& poly)
{
    const echo_set locations = pattern_echoes(poly);
    const std::array<double, effect_count> located{
        locations.hts, locations.nlts, locations.second_adjacent, locations.interaction};
    std::array<echo_result, effect_count> echoes{};
    for (const effect which : all_effects) {
        const auto e = static_cast<std::size_t>(which);
        echoes.at(e).which = which;
        echoes.at(e).location = located.at(e);
    }
    return echoes;
}

bool is_separable(const echo_result& echo)
{
    return echo.verdict == separation::separable;
}

const echo_result& echo_of(const measurement& m, effect which)
{
    return m.echoes.at(static_cast<std::size_t>(which));
}

measurement measure_period(const polynomial& poly, std::span<const double> period,
                           std::int32_t rate, std::optional<recording_medium> medium)
{
    return fit_period(poly, period, rate, medium, nullptr);
}

measurement judge_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                         std::optional<recording_medium> medium)
{
    measurement m;
    correlation corr;
    reading read;
    const echo_offsets offsets = start_period(poly, period, rate, medium, m, corr, read);
    if (!m.error) {
        separate(corr, offsets,
                 make_plans(static_cast<std::size_t>(segment_samples(corr)), corr.rate), m.echoes);
    }
    return m;
}

plot_data plot_period(const polynomial& poly, std::span<const double> period, std::int32_t rate,
                      std::optional<recording_medium> medium)
{
    plot_data plot;
    fit_period(poly, period, rate, medium, &plot);
    return plot;
}

}  // namespace keldran::echo
