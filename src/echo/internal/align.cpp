// Lining up the groups of periods of a capture whose rate is slightly off a
// whole number of samples, or drifts: each group's average is shifted onto
// the mean of all through its spectrum, and the shifts give the drift.
#include "fold_internal.h"

#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <optional>

namespace keldran::echo {

namespace {

// Groups whose timing agrees to this fraction of a sample are summed as they stand.
constexpr double aligned_tolerance = 0.01;
constexpr int alignment_rounds = 3;

// A periodic signal through `gain`, a function of each bin's angular frequency in
// radians per sample; the Nyquist bin of an even size, which has no sign to turn
// by, is dropped.
template <typename Gain> void through_spectrum(std::vector<double>& signal, Gain gain)
{
    const std::size_t n = signal.size();
    filter_periodic(signal, nullptr, n, [n, &gain](double f, std::size_t k) {
        return 2 * k == n ? std::complex<double>(0.0, 0.0) : gain(2 * std::numbers::pi * f);
    });
}

// Moves a periodic signal `shift` samples earlier (later when negative).
void advance(std::vector<double>& signal, double shift)
{
    through_spectrum(signal, [shift](double w) { return std::polar(1.0, w * shift); });
}

// The derivative of a periodic signal, per sample.
std::vector<double> slope_of(std::vector<double> signal)
{
    through_spectrum(signal, [](double w) { return std::complex<double>(0.0, w); });
    return signal;
}

// The slope per sample at j of `mean`, round it at its ends, by fourth-order central
// differences: a slope off by a share of itself puts the lags off by as much, and
// the drift read from them.
double slope_at(const std::vector<double>& mean, std::size_t j)
{
    // f'(j) ~ (8 (f(j + 1) - f(j - 1)) - (f(j + 2) - f(j - 2))) / 12
    constexpr double near_weight = 8;
    constexpr double divisor = 12;
    const std::size_t n = mean.size();
    if (j >= 2 && j + 2 < n) {
        return (near_weight * (mean[j + 1] - mean[j - 1]) - (mean[j + 2] - mean[j - 2])) / divisor;
    }
    const auto round = [&](std::size_t k) { return mean[k % n]; };
    return (near_weight * (round(j + n + 1) - round(j + n - 1))
            - (round(j + n + 2) - round(j + n - 2)))
           / divisor;
}

// How many samples each group's average lags `mean`, to first order
// (x(t - e) ~ x(t) - e x'(t)), over the samples [from, to) (the whole period,
// round it, when they are all of it):
// close enough to tell whether the groups keep time, and no copy of any group.
std::vector<double> first_look_lags(const std::vector<period_group>& found,
                                    const std::vector<double>& mean, std::size_t from,
                                    std::size_t to)
{
    std::vector<double> lags(found.size(), 0.0);
    double norm = 0;
    std::vector<double> per_period(found.size());
    std::transform(found.begin(), found.end(), per_period.begin(),
                   [](const period_group& g) { return 1.0 / static_cast<double>(g.periods); });
    for (std::size_t j = from; j < to; ++j) {
        const double slope = slope_at(mean, j);
        norm += slope * slope;
        for (std::size_t g = 0; g < found.size(); ++g) {
            lags[g] -= (found[g].sum[j] * per_period[g] - mean[j]) * slope;
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
    for (int round = 0; round < alignment_rounds; ++round) {
        const std::vector<double> step = group_lags(groups, mean, slope_of(mean));
        for (std::size_t g = 0; g < groups.size(); ++g) {
            advance(groups[g], step[g]);
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

// How far, on average, a group's periods were summed from past their exact starts.
double mean_lead(const period_group& group)
{
    return group.leads[0] > 0 ? group.leads[1] / group.leads[0] : 0.0;
}

// Least-squares slope of the groups' shifts against their centres, in samples per period;
// the shift a group's mean lead accounts for is no drift.
double drift_of(const std::vector<period_group>& found, std::vector<double> shifts)
{
    for (std::size_t g = 0; g < found.size(); ++g) {
        shifts[g] += mean_lead(found[g]);
    }
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

// Sums over a group's periods of the powers of each one's lead from the group's mean.
std::array<double, lead_powers> spread_about_mean(const period_group& group)
{
    std::array<double, lead_powers> spread{};
    const double mean = mean_lead(group);
    // sum (e - m)^n = sum over i of C(n, i) (-m)^(n - i) sum e^i
    for (std::size_t n = 0; n < lead_powers; ++n) {
        double binomial = 1;
        for (std::size_t i = 0; i <= n; ++i) {
            spread[n] += binomial * std::pow(-mean, static_cast<double>(n - i)) * group.leads[i];
            binomial = binomial * static_cast<double>(n - i) / static_cast<double>(i + 1);
        }
    }
    return spread;
}

// Sums over all periods of the powers of each one's lead from its own group's mean,
// the spread that the groups' alignment leaves.
std::array<double, lead_powers> spread_about_groups(const std::vector<period_group>& found)
{
    std::array<double, lead_powers> spread{};
    for (const period_group& group : found) {
        const std::array<double, lead_powers> own = spread_about_mean(group);
        std::transform(spread.begin(), spread.end(), own.begin(), spread.begin(), std::plus<>());
    }
    return spread;
}

// The spread's spectrum, mean over periods of exp(i w e), as its series in w: the
// even powers give the real part and the odd ones the imaginary, each a polynomial
// in w^2 whose coefficients are the spread's sums of powers over n!, signed.
struct spread_series {
    std::array<double, lead_powers / 2> even{};
    std::array<double, lead_powers / 2> odd{};
};

spread_series series_of(const std::array<double, lead_powers>& spread)
{
    static_assert(lead_powers % 2 == 0);
    spread_series series;
    double factorial = 1;  // n!, over the number of periods
    for (std::size_t n = 0; n < lead_powers; ++n) {
        factorial *= n == 0 ? spread[0] : static_cast<double>(n);
        // (i w)^n = (-w^2)^(n / 2), times i w when n is odd.
        const double sign = (n / 2) % 2 == 0 ? 1.0 : -1.0;
        (n % 2 == 0 ? series.even : series.odd).at(n / 2) = sign * spread[n] / factorial;
    }
    return series;
}

// The spread's spectrum at `w` radians per sample.
std::complex<double> spread_spectrum(const spread_series& series, double w)
{
    const double w2 = w * w;
    double even = 0;
    double odd = 0;
    for (std::size_t m = series.even.size(); m-- > 0;) {
        even = even * w2 + series.even.at(m);
        odd = odd * w2 + series.odd.at(m);
    }
    return {even, w * odd};
}

// Undoes the spread of the average: each frequency divided by the spread's spectrum,
// by no less than `weakest_spread` in size, so that frequencies the spread all but
// cancels are not raised out of the noise.
void undo_spread(std::vector<double>& mean, const std::vector<period_group>& found)
{
    constexpr double weakest_spread = 0.5;
    const std::array<double, lead_powers> spread = spread_about_groups(found);
    if (spread[0] <= 0
        || std::all_of(spread.begin() + 1, spread.end(), [](double s) { return s == 0.0; })) {
        return;
    }
    const spread_series series = series_of(spread);
    through_spectrum(mean, [&series](double w) {
        const std::complex<double> h = spread_spectrum(series, w);
        return std::conj(h) * (1 / std::max(std::norm(h), weakest_spread * weakest_spread));
    });
}

}  // namespace

void absorb(period_group& into, const period_group& from)
{
    std::transform(into.sum.begin(), into.sum.end(), from.sum.begin(), into.sum.begin(),
                   std::plus<>());
    std::transform(into.leads.begin(), into.leads.end(), from.leads.begin(), into.leads.begin(),
                   std::plus<>());
    into.periods += from.periods;
}

void add_lead(std::array<double, lead_powers>& leads, double lead)
{
    double power = 1;
    for (double& sum : leads) {
        sum += power;
        power *= lead;
    }
}

namespace {

// The average of all the groups' periods, as they stand.
std::vector<double> mean_of_sums(const std::vector<period_group>& found)
{
    const std::size_t n = found.front().sum.size();
    std::vector<double> mean(n, 0.0);
    double total = 0;
    for (const period_group& group : found) {
        total += static_cast<double>(group.periods);
    }
    for (const period_group& group : found) {
        std::transform(group.sum.begin(), group.sum.end(), mean.begin(), mean.begin(),
                       [per_period = 1 / total](float x, double m) { return m + x * per_period; });
    }
    return mean;
}

// The groups' average and the drift, before the spread is undone.
std::pair<std::vector<double>, double> line_up(const std::vector<period_group>& found)
{
    std::vector<double> mean = mean_of_sums(found);
    if (found.size() < 2) {
        return {mean, 0.0};
    }
    // Most captures keep time, and their groups are summed as they stand.
    const std::vector<double> lags = first_look_lags(found, mean, 0, mean.size());
    if (std::all_of(lags.begin(), lags.end(),
                    [](double lag) { return std::abs(lag) <= aligned_tolerance; })) {
        return {mean, drift_of(found, lags)};
    }
    auto [aligned, shifts] = shift_groups(found);
    return {std::move(aligned), drift_of(found, shifts)};
}

}  // namespace

std::pair<std::vector<double>, double> align_groups(const std::vector<period_group>& found)
{
    auto [mean, drift] = line_up(found);
    undo_spread(mean, found);
    return {std::move(mean), drift};
}

std::optional<merged_groups> merge_in_step(const std::vector<period_group>& found, double ratio,
                                           std::size_t from, std::size_t to)
{
    std::vector<double> lags = first_look_lags(found, mean_of_sums(found), from, to);
    double leads = 0;
    double periods = 0;
    for (const period_group& group : found) {
        leads += group.leads[1];
        periods += group.leads[0];
    }
    bool as_they_stand = true;
    bool as_their_leads_say = periods > 0;
    for (std::size_t g = 0; g < found.size(); ++g) {
        as_they_stand = as_they_stand && std::abs(lags[g]) <= aligned_tolerance;
        // Lags are read at the capture's rate, leads in samples of the converted period.
        const double lead = (mean_lead(found[g]) - leads / std::max(periods, 1.0)) / ratio;
        as_their_leads_say = as_their_leads_say && found[g].leads[0] > 0
                             && std::abs(lags[g] + lead) <= aligned_tolerance;
    }
    if (!as_they_stand && !as_their_leads_say) {
        return std::nullopt;
    }
    merged_groups merged{.group = {.sum = std::vector<float>(found.front().sum.size(), 0.0F),
                                   .first = found.front().first}};
    for (const period_group& group : found) {
        absorb(merged.group, group);
    }
    // Groups in step stand where their lags put them, level with each other: only each
    // one's spread about its own mean lead blurs the sum. Groups apart by their leads
    // stand where their leads put them, as they were summed.
    if (as_they_stand) {
        merged.group.leads = spread_about_groups(found);
    }
    for (double& lag : lags) {
        lag *= ratio;
    }
    merged.drift = drift_of(found, lags);
    return merged;
}

}  // namespace keldran::echo
