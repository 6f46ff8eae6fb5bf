#include "fold.h"

#include "internal/fold_internal.h"
#include "internal/resample.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace keldran::echo {

struct period_folder {
    std::int64_t length = 0;       // bits in a period of the pattern
    double nominal = 0;            // samples per bit the caller gave
    std::int32_t rate = 0;         // whole samples per bit of the averaged period
    double period = 0;             // samples per period found in the capture
    double ratio = 1;              // output samples per capture sample
    float scale = 1;               // brings the capture's samples to unit power
    bool acquiring = true;         // still reading the first two periods
    std::vector<float> acquired;   // the capture's first two periods
    resampler converter;           // empty when the capture's rate is already whole
    std::vector<float> converted;  // the converter's output for one input chunk
    std::int64_t skip = 0;         // converter output still to drop while its filter fills
    std::int64_t skip_total = 0;   // all the converter output dropped so
    std::vector<float> pending;    // the period in progress
    std::size_t position = 0;      // samples of it so far
    std::vector<period_group> groups;
    std::int64_t group_size = 1;  // periods per group
    std::int64_t periods = 0;     // whole periods so far
    std::int64_t samples = 0;     // capture samples read
};

namespace {

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

std::size_t period_size(const period_folder& state)
{
    return static_cast<std::size_t>(state.length) * static_cast<std::size_t>(state.rate);
}

// Adds one whole period to the newest group, opening or merging groups as needed.
void add_period(period_folder& state, std::span<const float> period)
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
void add_samples(period_folder& state, std::span<const float> samples)
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

echo_error convert_and_add(period_folder& state, std::span<const float> samples)
{
    if (!state.converter) {
        add_samples(state, samples);
        return {};
    }
    // The converter may take all the input yet hold back output that does not fit
    // the buffer: it is called again, with what input is left, until it gives
    // less than a buffer full.
    for (;;) {
        const resample_step step =
            resample(state.converter.get(), samples, state.converted, state.ratio);
        if (step.error != 0) {
            return {.code = echo_errc::converter_failed, .text = src_strerror(step.error)};
        }
        samples = samples.subspan(step.used);
        auto made = std::span<const float>(state.converted).first(step.made);
        const auto dropped =
            std::min<std::int64_t>(state.skip, static_cast<std::int64_t>(made.size()));
        state.skip -= dropped;
        add_samples(state, made.subspan(static_cast<std::size_t>(dropped)));
        if ((samples.empty() && step.made < state.converted.size())
            || (step.used == 0 && step.made == 0)) {
            return {};
        }
    }
}

// Why a capture whose best match is `search` holds no period found.
echo_error not_repeating(const period_folder& state, const period_search& search)
{
    echo_error error{.code = echo_errc::does_not_repeat,
                     .count = state.length,
                     .rate = state.nominal,
                     .best_rate =
                         static_cast<double>(search.best.lag) / static_cast<double>(state.length),
                     .share = search.best.match};
    if (search.best.match >= repeat_threshold) {
        // It repeats, but at the edge of the lags searched: the rate lies beyond them.
        error.code = echo_errc::rate_beyond_search;
        error.share = rate_tolerance;
    }
    return error;
}

// Chooses the whole rate for the period found and the conversion to it.
echo_error choose_rate(period_folder& state, double period)
{
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
            return {.code = echo_errc::converter_failed};
        }
        state.converted.resize(converted_chunk);
        state.skip =
            static_cast<std::int64_t>(std::ceil(converter_fill * std::max(state.ratio, 1.0)));
        state.skip_total = state.skip;
    }
    return {};
}

// Finds the period in the acquired samples, chooses the whole rate and the
// conversion to it, and sends the acquired samples on.
echo_error lock_on(period_folder& state)
{
    const double nominal_period = state.nominal * static_cast<double>(state.length);
    const period_search search = find_period(state.acquired, nominal_period);
    if (search.period == 0.0) {
        return not_repeating(state, search);
    }
    if (echo_error error = choose_rate(state, search.period)) {
        return error;
    }
    state.acquiring = false;
    std::vector<float> acquired = std::move(state.acquired);
    state.acquired = {};
    return convert_and_add(state, acquired);
}

// Samples read before the period is looked for: two periods at the widest rate
// allowed, and the samples the parabola through the best lag looks past them.
std::size_t acquisition_size(const period_folder& state)
{
    constexpr std::size_t parabola_room = 4;
    return static_cast<std::size_t>(std::ceil(2 * state.nominal * static_cast<double>(state.length)
                                              * (1 + rate_tolerance)))
           + parabola_room;
}

// Why a capture that ended before two whole periods were folded is too short.
echo_error too_short(const period_folder& state)
{
    // A converted capture also loses the samples the converter's filter starts on.
    const double start = static_cast<double>(state.converter ? state.skip_total : 0) / state.ratio;
    const auto two_periods = static_cast<std::int64_t>(std::ceil(2 * state.period));
    const auto needed = static_cast<std::int64_t>(std::ceil(2 * state.period + start));
    const double rate = state.period / static_cast<double>(state.length);
    if (needed > two_periods) {
        return {.code = echo_errc::short_for_conversion,
                .count = state.samples,
                .needed = needed,
                .periods = two_periods,
                .rate = rate};
    }
    return {.code = echo_errc::fewer_than_two_periods,
            .count = state.samples,
            .needed = two_periods,
            .rate = rate};
}

}  // namespace

void period_folder_free::operator()(period_folder* folder) const
{
    delete folder;  // NOLINT(cppcoreguidelines-owning-memory): the handle owns it
}

folder_handle folder_create(std::int64_t length, double samples_per_bit)
{
    folder_handle state(new period_folder);
    state->length = length;
    state->nominal = samples_per_bit;
    state->acquired.reserve(acquisition_size(*state));
    return state;
}

echo_error folder_feed(period_folder& state, std::span<const float> samples)
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
        return {};
    }
    if (echo_error error = lock_on(state)) {
        return error;
    }
    return convert_and_add(state, samples.subspan(take));
}

fold_result folder_finish(period_folder& state)
{
    fold_result result;
    const double nominal_period = state.nominal * static_cast<double>(state.length);
    if (state.acquiring) {
        // A short capture: find its period from what there is, if it holds two.
        if (static_cast<double>(state.acquired.size())
            < 2 * nominal_period * (1 - rate_tolerance)) {
            result.error = {.code = echo_errc::fewer_than_two_periods,
                            .count = state.samples,
                            .needed = static_cast<std::int64_t>(std::ceil(2 * nominal_period)),
                            .rate = state.nominal};
            return result;
        }
        result.error = lock_on(state);
        if (result.error) {
            return result;
        }
    }
    if (state.periods < 2) {
        result.error = too_short(state);
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
