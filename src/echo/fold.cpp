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
    despiker cleaner;             // glitches out before anything else
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

std::size_t period_size(const period_folder& folder)
{
    return static_cast<std::size_t>(folder.length) * static_cast<std::size_t>(folder.rate);
}

// Adds one whole period to the newest group, opening or merging groups as needed.
void add_period(period_folder& folder, std::span<const float> period)
{
    if (folder.groups.empty() || folder.groups.back().periods == folder.group_size) {
        if (folder.groups.size() == max_groups) {
            // Halve the number of groups by summing neighbours; each then holds twice the periods.
            for (std::size_t g = 0; g < max_groups / 2; ++g) {
                period_group merged = std::move(folder.groups[2 * g]);
                const period_group& next = folder.groups[2 * g + 1];
                std::transform(merged.sum.begin(), merged.sum.end(), next.sum.begin(),
                               merged.sum.begin(), std::plus<>());
                merged.periods += next.periods;
                folder.groups[g] = std::move(merged);
            }
            folder.groups.resize(max_groups / 2);
            folder.group_size *= 2;
        }
        if (folder.groups.empty() || folder.groups.back().periods == folder.group_size) {
            folder.groups.push_back({std::vector<float>(period.size(), 0.0F), 0, folder.periods});
        }
    }
    period_group& group = folder.groups.back();
    // Scaled to unit power, so that neither sums of large samples overflow a float
    // nor those of tiny ones lose their digits.
    const float scale = folder.scale;
    std::transform(group.sum.begin(), group.sum.end(), period.begin(), group.sum.begin(),
                   [scale](float sum, float x) { return sum + x * scale; });
    ++group.periods;
    ++folder.periods;
}

// Adds samples at the whole rate to the periods; whole periods go straight from the input.
void add_samples(period_folder& folder, std::span<const float> samples)
{
    const std::size_t size = period_size(folder);
    while (!samples.empty()) {
        if (folder.position == 0 && samples.size() >= size) {
            add_period(folder, samples.first(size));
            samples = samples.subspan(size);
            continue;
        }
        const std::size_t take = std::min(size - folder.position, samples.size());
        std::copy_n(samples.begin(), take,
                    folder.pending.begin() + static_cast<std::ptrdiff_t>(folder.position));
        folder.position += take;
        samples = samples.subspan(take);
        if (folder.position == size) {
            add_period(folder, folder.pending);
            folder.position = 0;
        }
    }
}

echo_error convert_and_add(period_folder& folder, std::span<const float> samples)
{
    if (!folder.converter) {
        add_samples(folder, samples);
        return {};
    }
    // The converter may take all the input yet hold back output that does not fit
    // the buffer: it is called again, with what input is left, until it gives
    // less than a buffer full.
    for (;;) {
        const resample_step step =
            resample(folder.converter.get(), samples, folder.converted, folder.ratio);
        if (step.error != 0) {
            return {.code = echo_errc::converter_failed, .text = src_strerror(step.error)};
        }
        samples = samples.subspan(step.used);
        auto made = std::span<const float>(folder.converted).first(step.made);
        const auto dropped =
            std::min<std::int64_t>(folder.skip, static_cast<std::int64_t>(made.size()));
        folder.skip -= dropped;
        add_samples(folder, made.subspan(static_cast<std::size_t>(dropped)));
        if ((samples.empty() && step.made < folder.converted.size())
            || (step.used == 0 && step.made == 0)) {
            return {};
        }
    }
}

// Why a capture whose best match is `search` holds no period found.
echo_error not_repeating(const period_folder& folder, const period_search& search)
{
    echo_error error{.code = echo_errc::does_not_repeat,
                     .count = folder.length,
                     .rate = folder.nominal,
                     .best_rate =
                         static_cast<double>(search.best.lag) / static_cast<double>(folder.length),
                     .share = search.best.match};
    if (search.best.match >= repeat_threshold) {
        // It repeats, but at the edge of the lags searched: the rate lies beyond them.
        error.code = echo_errc::rate_beyond_search;
        error.share = rate_tolerance;
    }
    return error;
}

// Chooses the whole rate for the period found and the conversion to it.
echo_error choose_rate(period_folder& folder, double period)
{
    folder.period = period;
    const double power =
        dot(folder.acquired, folder.acquired) / static_cast<double>(folder.acquired.size());
    folder.scale = power > 0 ? static_cast<float>(1 / std::sqrt(power)) : 1.0F;
    const double found = period / static_cast<double>(folder.length);
    folder.rate = std::clamp(static_cast<std::int32_t>(std::lround(found)), min_rate, max_rate);
    const auto size = static_cast<double>(period_size(folder));
    folder.pending.assign(period_size(folder), 0.0F);
    if (std::abs(period - size) > whole_period_tolerance) {
        folder.ratio = size / period;
        folder.converter = make_resampler(SRC_SINC_FASTEST);
        if (!folder.converter) {
            return {.code = echo_errc::converter_failed};
        }
        folder.converted.resize(converted_chunk);
        folder.skip =
            static_cast<std::int64_t>(std::ceil(converter_fill * std::max(folder.ratio, 1.0)));
        folder.skip_total = folder.skip;
    }
    return {};
}

// Finds the period in the acquired samples, chooses the whole rate and the
// conversion to it, and sends the acquired samples on; `ended` when the capture
// holds no more.
echo_error lock_on(period_folder& folder, bool ended)
{
    const double nominal_period = folder.nominal * static_cast<double>(folder.length);
    // Below two samples per bit a read-back need not be smooth from sample to sample.
    folder.cleaner.limit = folder.nominal >= min_rate ? spike_limit(folder.acquired) : 0.0F;
    std::vector<float> raw = std::move(folder.acquired);
    const despiked cleaned = despike(folder.cleaner, raw);
    if (cleaned.first.empty()) {
        folder.acquired.assign(cleaned.rest.begin(), cleaned.rest.end());
    } else {
        // Nothing was set aside, and, this being the stream's first chunk, the stream
        // is the samples as read less the one held back: they stay where they are.
        folder.acquired = std::move(raw);
        folder.acquired.pop_back();
    }
    // A capture of two periods exactly needs its every sample to find them.
    if (ended) {
        const std::span<const float> last = despike_end(folder.cleaner);
        folder.acquired.insert(folder.acquired.end(), last.begin(), last.end());
    }
    const period_search search = find_period(folder.acquired, nominal_period);
    if (search.period == 0.0) {
        return not_repeating(folder, search);
    }
    if (echo_error error = choose_rate(folder, search.period)) {
        return error;
    }
    folder.acquiring = false;
    std::vector<float> acquired = std::move(folder.acquired);
    folder.acquired = {};
    return convert_and_add(folder, acquired);
}

// Samples read before the period is looked for: two periods at the widest rate
// allowed, and the samples the parabola through the best lag looks past them.
std::size_t acquisition_size(const period_folder& folder)
{
    constexpr std::size_t parabola_room = 4;
    return static_cast<std::size_t>(std::ceil(
               2 * folder.nominal * static_cast<double>(folder.length) * (1 + rate_tolerance)))
           + parabola_room;
}

// Why a capture that ended before two whole periods were folded is too short.
echo_error too_short(const period_folder& folder)
{
    // A converted capture also loses the samples the converter's filter starts on.
    const double start =
        static_cast<double>(folder.converter ? folder.skip_total : 0) / folder.ratio;
    const auto two_periods = static_cast<std::int64_t>(std::ceil(2 * folder.period));
    const auto needed = static_cast<std::int64_t>(std::ceil(2 * folder.period + start));
    const double rate = folder.period / static_cast<double>(folder.length);
    if (needed > two_periods) {
        return {.code = echo_errc::short_for_conversion,
                .count = folder.samples,
                .needed = needed,
                .periods = two_periods,
                .rate = rate};
    }
    return {.code = echo_errc::fewer_than_two_periods,
            .count = folder.samples,
            .needed = two_periods,
            .rate = rate};
}

// Takes the glitches out of `samples` and sends them on to be folded.
echo_error clean_and_add(period_folder& folder, std::span<const float> samples)
{
    const despiked cleaned = despike(folder.cleaner, samples);
    for (const std::span<const float> part : {cleaned.first, cleaned.rest}) {
        if (echo_error error = part.empty() ? echo_error{} : convert_and_add(folder, part)) {
            return error;
        }
    }
    return {};
}

}  // namespace

void period_folder_free::operator()(period_folder* folder) const
{
    delete folder;  // NOLINT(cppcoreguidelines-owning-memory): the handle owns it
}

folder_handle folder_create(std::int64_t length, double samples_per_bit)
{
    folder_handle folder(new period_folder);
    folder->length = length;
    folder->nominal = samples_per_bit;
    folder->acquired.reserve(acquisition_size(*folder));
    return folder;
}

echo_error folder_feed(period_folder& folder, std::span<const float> samples)
{
    folder.samples += static_cast<std::int64_t>(samples.size());
    if (!folder.acquiring) {
        return clean_and_add(folder, samples);
    }
    const std::size_t needed = acquisition_size(folder);
    const std::size_t take = std::min(samples.size(), needed - folder.acquired.size());
    folder.acquired.insert(folder.acquired.end(), samples.begin(),
                           samples.begin() + static_cast<std::ptrdiff_t>(take));
    if (folder.acquired.size() < needed) {
        return {};
    }
    if (echo_error error = lock_on(folder, false)) {
        return error;
    }
    return clean_and_add(folder, samples.subspan(take));
}

fold_result folder_finish(period_folder& folder)
{
    fold_result result;
    const double nominal_period = folder.nominal * static_cast<double>(folder.length);
    if (folder.acquiring) {
        // A short capture: find its period from what there is, if it holds two.
        if (static_cast<double>(folder.acquired.size())
            < 2 * nominal_period * (1 - rate_tolerance)) {
            result.error = {.code = echo_errc::fewer_than_two_periods,
                            .count = folder.samples,
                            .needed = static_cast<std::int64_t>(std::ceil(2 * nominal_period)),
                            .rate = folder.nominal};
            return result;
        }
        result.error = lock_on(folder, true);
        if (result.error) {
            return result;
        }
    }
    result.error = convert_and_add(folder, despike_end(folder.cleaner));
    if (result.error) {
        return result;
    }
    if (folder.periods < 2) {
        result.error = too_short(folder);
        return result;
    }
    auto [mean, drift] = align_groups(folder.groups);
    result.period = std::move(mean);
    result.rate = folder.rate;
    result.periods = folder.periods;
    result.set_aside = folder.cleaner.set_aside;
    const auto size = static_cast<double>(period_size(folder));
    result.samples_per_bit = (size + drift) / folder.ratio / static_cast<double>(folder.length);
    return result;
}

}  // namespace keldran::echo
