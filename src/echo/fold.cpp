#include "fold.h"

#include "spectrum.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>

namespace keldran::echo {

namespace {

// The capture's rate may differ from the nominal one by this fraction.
constexpr double rate_tolerance = 0.02;
// Periods of the capture must agree at least this well (normalised correlation).
constexpr double repeat_threshold = 0.7;
// Whole samples per bit of the averaged period, at least and at most.
constexpr std::int32_t min_rate = 2;
constexpr std::int32_t max_rate = 64;
// A period that differs from a whole number of samples by less than this is taken as whole.
constexpr double whole_period_tolerance = 0.05;
// Converter output dropped while its filter fills, in capture samples.
constexpr double converter_fill = 64.0;
constexpr std::size_t max_groups = 4;
// Samples the converter hands back per call.
constexpr std::size_t converted_chunk = std::size_t{1} << 16;
// Groups whose timing agrees to this fraction of a sample are summed as they stand.
constexpr double aligned_tolerance = 0.01;
constexpr int alignment_rounds = 3;

// Sum of a[j] b[j]. Eight independent float lanes let the compiler vectorise the
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

// Normalised correlation of x with itself `lag` samples later, over `window` samples.
double repeat_match(std::span<const float> x, std::size_t lag, std::size_t window)
{
    const auto first = x.first(window);
    const auto later = x.subspan(lag, window);
    const double energy = dot(first, first) * dot(later, later);
    return energy > 0 ? dot(first, later) / std::sqrt(energy) : 0.0;
}

struct lag_match {
    std::size_t lag = 0;
    double match = -1;
};

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

// The period, to a fraction of a sample, from the capture's first two periods.
// Returns 0 and the best match found when the capture does not repeat.
std::pair<double, lag_match> find_period(std::span<const float> x, double nominal_period)
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

std::size_t period_size(const fold_state& state)
{
    return static_cast<std::size_t>(state.length) * static_cast<std::size_t>(state.rate);
}

// Adds one whole period to the newest group, opening or merging groups as needed.
void add_period(fold_state& state, std::span<const float> period)
{
    if (state.groups.empty() || state.groups.back().periods == state.group_size) {
        if (state.groups.size() == max_groups) {
            // Halve the number of groups by summing neighbours; each then holds twice the periods.
            for (std::size_t g = 0; g < max_groups / 2; ++g) {
                period_group merged = std::move(state.groups[2 * g]);
                const period_group& next = state.groups[2 * g + 1];
                std::transform(merged.sum.begin(), merged.sum.end(), next.sum.begin(),
                               merged.sum.begin(), std::plus<>());
                merged.periods += next.periods;
                state.groups[g] = std::move(merged);
            }
            state.groups.resize(max_groups / 2);
            state.group_size *= 2;
        }
        if (state.groups.empty() || state.groups.back().periods == state.group_size) {
            state.groups.push_back({std::vector<float>(period.size(), 0.0F), 0, state.periods});
        }
    }
    period_group& group = state.groups.back();
    // Scaled to unit power, so that neither sums of large samples overflow a float
    // nor those of tiny ones lose their digits.
    const float scale = state.scale;
    std::transform(group.sum.begin(), group.sum.end(), period.begin(), group.sum.begin(),
                   [scale](float sum, float x) { return sum + x * scale; });
    ++group.periods;
    ++state.periods;
}

// Adds samples at the whole rate to the periods; whole periods go straight from the input.
void add_samples(fold_state& state, std::span<const float> samples)
{
    const std::size_t size = period_size(state);
    while (!samples.empty()) {
        if (state.position == 0 && samples.size() >= size) {
            add_period(state, samples.first(size));
            samples = samples.subspan(size);
            continue;
        }
        const std::size_t take = std::min(size - state.position, samples.size());
        std::copy_n(samples.begin(), take,
                    state.pending.begin() + static_cast<std::ptrdiff_t>(state.position));
        state.position += take;
        samples = samples.subspan(take);
        if (state.position == size) {
            add_period(state, state.pending);
            state.position = 0;
        }
    }
}

std::string convert_and_add(fold_state& state, std::span<const float> samples)
{
    if (!state.converter) {
        add_samples(state, samples);
        return "";
    }
    // The converter may take all the input yet hold back output that does not fit
    // the buffer: it is called again, with what input is left, until it gives
    // less than a buffer full.
    for (;;) {
        const resample_step step =
            resample(state.converter.get(), samples, state.converted, state.ratio);
        if (step.error != 0) {
            return std::string("the resampler failed: ") + src_strerror(step.error);
        }
        samples = samples.subspan(step.used);
        auto made = std::span<const float>(state.converted).first(step.made);
        const auto dropped =
            std::min<std::int64_t>(state.skip, static_cast<std::int64_t>(made.size()));
        state.skip -= dropped;
        add_samples(state, made.subspan(static_cast<std::size_t>(dropped)));
        if ((samples.empty() && step.made < state.converted.size())
            || (step.used == 0 && step.made == 0)) {
            return "";
        }
    }
}

std::string percent(double fraction)
{
    constexpr double hundred = 100.0;
    return std::to_string(static_cast<int>(std::lround(std::max(fraction, 0.0) * hundred))) + " %";
}

std::string rate_text(double samples_per_bit)
{
    constexpr int digits = 6;
    constexpr std::size_t room = 32;
    std::array<char, room> text{};
    const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), samples_per_bit,
                                         std::chars_format::general, digits);
    return ec == std::errc{} ? std::string(text.data(), end) : std::string("?");
}

// Finds the period in the acquired samples, chooses the whole rate and the
// conversion to it, and sends the acquired samples on.
std::string lock_on(fold_state& state)
{
    const double nominal_period = state.nominal * static_cast<double>(state.length);
    const auto [period, best] = find_period(state.acquired, nominal_period);
    const std::string best_rate =
        rate_text(static_cast<double>(best.lag) / static_cast<double>(state.length));
    if (period == 0.0 && best.match >= repeat_threshold) {
        // It repeats, but at the edge of the lags searched: the rate lies beyond them.
        return "the capture repeats at a rate more than 2 % from " + rate_text(state.nominal)
               + " samples per bit (its best match lies at the edge searched, " + best_rate
               + " samples per bit); give --samples-per-bit nearer the capture's rate";
    }
    if (period == 0.0) {
        return "the capture does not repeat every " + std::to_string(state.length)
               + " bits at about " + rate_text(state.nominal)
               + " samples per bit, so it does not hold this pattern at this rate (its best "
                 "match, at "
               + best_rate + " samples per bit, agrees " + percent(best.match) + ")";
    }
    state.period = period;
    const double power =
        dot(state.acquired, state.acquired) / static_cast<double>(state.acquired.size());
    state.scale = power > 0 ? static_cast<float>(1 / std::sqrt(power)) : 1.0F;
    const double found = period / static_cast<double>(state.length);
    state.rate = std::clamp(static_cast<std::int32_t>(std::lround(found)), min_rate, max_rate);
    const auto size = static_cast<double>(period_size(state));
    state.pending.assign(period_size(state), 0.0F);
    if (std::abs(period - size) > whole_period_tolerance) {
        state.ratio = size / period;
        state.converter = make_resampler(SRC_SINC_FASTEST);
        if (!state.converter) {
            return "the resampler could not be set up";
        }
        state.converted.resize(converted_chunk);
        state.skip =
            static_cast<std::int64_t>(std::ceil(converter_fill * std::max(state.ratio, 1.0)));
        state.skip_total = state.skip;
    }
    state.acquiring = false;
    std::vector<float> acquired = std::move(state.acquired);
    state.acquired = {};
    return convert_and_add(state, acquired);
}

// Applies `turn` to every bin of a periodic signal's spectrum, given the bin's
// angular frequency in radians per sample; the Nyquist bin of an even size, which
// has no sign to turn by, is dropped.
template <typename Turn>
std::vector<double> through_spectrum(const std::vector<double>& signal, const fft_plans& plans,
                                     Turn turn)
{
    const std::size_t n = signal.size();
    std::vector<kiss_fft_cpx> in(n);
    std::vector<kiss_fft_cpx> out(n);
    for (std::size_t j = 0; j < n; ++j) {
        in[j] = {static_cast<float>(signal[j]), 0.0F};
    }
    forward_fft(plans, in, out);
    for (std::size_t k = 0; k < n; ++k) {
        const double w = 2 * std::numbers::pi * signed_bin(k, n) / static_cast<double>(n);
        const std::complex<double> turned = turn(std::complex<double>(out[k].r, out[k].i), w);
        out[k] = {static_cast<float>(turned.real()), static_cast<float>(turned.imag())};
    }
    if (n % 2 == 0) {
        out[n / 2] = {0.0F, 0.0F};
    }
    inverse_fft(plans, out, in);
    std::vector<double> result(n);
    for (std::size_t j = 0; j < n; ++j) {
        result[j] = in[j].r / static_cast<double>(n);
    }
    return result;
}

// Moves a periodic signal `shift` samples earlier (later when negative).
void advance(std::vector<double>& signal, double shift, const fft_plans& plans)
{
    signal = through_spectrum(signal, plans, [shift](std::complex<double> v, double w) {
        return v * std::polar(1.0, w * shift);
    });
}

// The derivative of a periodic signal, per sample.
std::vector<double> slope_of(const std::vector<double>& signal, const fft_plans& plans)
{
    return through_spectrum(signal, plans, [](std::complex<double> v, double w) {
        return v * std::complex<double>(0.0, w);
    });
}

// How many samples each group's average lags `mean`, to first order
// (x(t - e) ~ x(t) - e x'(t)), with the slope taken by central differences:
// close enough to tell whether the groups keep time, and no copy of any group.
std::vector<double> first_look_lags(const std::vector<period_group>& found,
                                    const std::vector<double>& mean)
{
    const std::size_t n = mean.size();
    std::vector<double> lags(found.size(), 0.0);
    double norm = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const double slope = (mean[j + 1 == n ? 0 : j + 1] - mean[j == 0 ? n - 1 : j - 1]) / 2;
        norm += slope * slope;
        for (std::size_t g = 0; g < found.size(); ++g) {
            const double x = found[g].sum[j] / static_cast<double>(found[g].periods);
            lags[g] -= (x - mean[j]) * slope;
        }
    }
    for (double& lag : lags) {
        lag = norm > 0 ? lag / norm : 0.0;
    }
    return lags;
}

// How many samples each group lags the mean, to first order, with the slope exact.
std::vector<double> group_lags(const std::vector<std::vector<double>>& groups,
                               const std::vector<double>& mean, const std::vector<double>& slope)
{
    const double norm = std::inner_product(slope.begin(), slope.end(), slope.begin(), 0.0);
    std::vector<double> lags(groups.size(), 0.0);
    for (std::size_t g = 0; g < groups.size() && norm > 0; ++g) {
        for (std::size_t j = 0; j < mean.size(); ++j) {
            lags[g] -= (groups[g][j] - mean[j]) * slope[j];
        }
        lags[g] /= norm;
    }
    return lags;
}

std::vector<double> mean_of(const std::vector<std::vector<double>>& groups,
                            const std::vector<double>& weights)
{
    std::vector<double> mean(groups.front().size(), 0.0);
    const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (std::size_t j = 0; j < mean.size(); ++j) {
            mean[j] += groups[g][j] * weights[g] / total;
        }
    }
    return mean;
}

// Brings each group's average onto the mean of all by shifting it through its
// spectrum, a few rounds. Returns the mean and each group's total shift.
std::pair<std::vector<double>, std::vector<double>>
shift_groups(const std::vector<period_group>& found)
{
    std::vector<std::vector<double>> groups;
    std::vector<double> weights;
    for (const period_group& group : found) {
        std::vector<double> average(group.sum.size());
        std::transform(group.sum.begin(), group.sum.end(), average.begin(), [&](float s) {
            return static_cast<double>(s) / static_cast<double>(group.periods);
        });
        groups.push_back(std::move(average));
        weights.push_back(static_cast<double>(group.periods));
    }
    std::vector<double> mean = mean_of(groups, weights);
    std::vector<double> shifts(groups.size(), 0.0);
    const fft_plans plans = plan_fft(mean.size());
    for (int round = 0; round < alignment_rounds; ++round) {
        const std::vector<double> step = group_lags(groups, mean, slope_of(mean, plans));
        for (std::size_t g = 0; g < groups.size(); ++g) {
            advance(groups[g], step[g], plans);
            shifts[g] += step[g];
        }
        mean = mean_of(groups, weights);
        if (std::all_of(step.begin(), step.end(),
                        [](double lag) { return std::abs(lag) <= aligned_tolerance; })) {
            break;
        }
    }
    return {mean, shifts};
}

// Least-squares slope of the groups' shifts against their centres, in samples per period.
double drift_of(const std::vector<period_group>& found, const std::vector<double>& shifts)
{
    double total = 0;
    double mc = 0;
    double ms = 0;
    for (std::size_t g = 0; g < found.size(); ++g) {
        const auto w = static_cast<double>(found[g].periods);
        total += w;
        mc += w * (static_cast<double>(found[g].first) + w / 2);
        ms += w * shifts[g];
    }
    mc /= total;
    ms /= total;
    double sxy = 0;
    double sxx = 0;
    for (std::size_t g = 0; g < found.size(); ++g) {
        const auto w = static_cast<double>(found[g].periods);
        const double c = static_cast<double>(found[g].first) + w / 2 - mc;
        sxy += w * c * (shifts[g] - ms);
        sxx += w * c * c;
    }
    return sxx > 0 ? sxy / sxx : 0.0;
}

// The average of all periods, with each group first aligned to the others when
// a rate slightly off a whole number of samples, or drifting across the
// capture, has left them apart. Returns it with the drift in samples per period.
std::pair<std::vector<double>, double> align_groups(const std::vector<period_group>& found)
{
    const std::size_t n = found.front().sum.size();
    std::vector<double> mean(n, 0.0);
    double total = 0;
    for (const period_group& group : found) {
        total += static_cast<double>(group.periods);
    }
    for (const period_group& group : found) {
        for (std::size_t j = 0; j < n; ++j) {
            mean[j] += group.sum[j] / total;
        }
    }
    if (found.size() < 2) {
        return {mean, 0.0};
    }
    // Most captures keep time, and their groups are summed as they stand.
    const std::vector<double> lags = first_look_lags(found, mean);
    if (std::all_of(lags.begin(), lags.end(),
                    [](double lag) { return std::abs(lag) <= aligned_tolerance; })) {
        return {mean, drift_of(found, lags)};
    }
    auto [aligned, shifts] = shift_groups(found);
    return {std::move(aligned), drift_of(found, shifts)};
}

// Samples read before the period is looked for: two periods at the widest rate
// allowed, and the samples the parabola through the best lag looks past them.
std::size_t acquisition_size(const fold_state& state)
{
    constexpr std::size_t parabola_room = 4;
    return static_cast<std::size_t>(std::ceil(2 * state.nominal * static_cast<double>(state.length)
                                              * (1 + rate_tolerance)))
           + parabola_room;
}

}  // namespace

fold_state fold_begin(std::int64_t length, double samples_per_bit)
{
    fold_state state;
    state.length = length;
    state.nominal = samples_per_bit;
    state.acquired.reserve(acquisition_size(state));
    return state;
}

std::string fold_feed(fold_state& state, std::span<const float> samples)
{
    state.samples += static_cast<std::int64_t>(samples.size());
    if (!state.acquiring) {
        return convert_and_add(state, samples);
    }
    const std::size_t needed = acquisition_size(state);
    const std::size_t take = std::min(samples.size(), needed - state.acquired.size());
    state.acquired.insert(state.acquired.end(), samples.begin(),
                          samples.begin() + static_cast<std::ptrdiff_t>(take));
    if (state.acquired.size() < needed) {
        return "";
    }
    std::string error = lock_on(state);
    return error.empty() ? convert_and_add(state, samples.subspan(take)) : error;
}

fold_result fold_end(fold_state& state)
{
    fold_result result;
    const double nominal_period = state.nominal * static_cast<double>(state.length);
    if (state.acquiring) {
        // A short capture: find its period from what there is, if it holds two.
        if (static_cast<double>(state.acquired.size())
            < 2 * nominal_period * (1 - rate_tolerance)) {
            result.error =
                "the capture holds " + std::to_string(state.samples)
                + " samples, fewer than two whole periods of the pattern ("
                + std::to_string(static_cast<std::int64_t>(std::ceil(2 * nominal_period)))
                + " samples at " + rate_text(state.nominal) + " samples per bit)";
            return result;
        }
        result.error = lock_on(state);
        if (!result.error.empty()) {
            return result;
        }
    }
    if (state.periods < 2) {
        // A converted capture also loses the samples the converter's filter starts on.
        const double start =
            static_cast<double>(state.converter ? state.skip_total : 0) / state.ratio;
        const auto two_periods = static_cast<std::int64_t>(std::ceil(2 * state.period));
        const auto needed = static_cast<std::int64_t>(std::ceil(2 * state.period + start));
        const std::string rate = rate_text(state.period / static_cast<double>(state.length));
        if (needed > two_periods) {
            result.error = "the capture holds " + std::to_string(state.samples)
                           + " samples; measuring it at " + rate + " samples per bit takes "
                           + std::to_string(needed) + ": two whole periods of the pattern ("
                           + std::to_string(two_periods) + ") and "
                           + std::to_string(needed - two_periods)
                           + " more while the conversion to whole samples per bit starts";
        } else {
            result.error = "the capture holds " + std::to_string(state.samples)
                           + " samples, fewer than two whole periods of the pattern ("
                           + std::to_string(two_periods) + " samples at " + rate
                           + " samples per bit)";
        }
        return result;
    }
    auto [mean, drift] = align_groups(state.groups);
    result.period = std::move(mean);
    result.rate = state.rate;
    result.periods = state.periods;
    const auto size = static_cast<double>(period_size(state));
    result.samples_per_bit = (size + drift) / state.ratio / static_cast<double>(state.length);
    return result;
}

}  // namespace keldran::echo
