#include "fold.h"

#include "internal/fold_internal.h"
#include "internal/resample.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace keldran::echo {

struct period_folder {
    std::int64_t length = 0;      // bits in a period of the pattern
    double nominal = 0;           // samples per bit the caller gave
    std::int32_t rate = 0;        // whole samples per bit of the averaged period
    double period = 0;            // samples per period found in the capture
    double ratio = 1;             // output samples per capture sample
    double step = 0;              // samples per period folded: `period`, or its whole size
    std::size_t width = 0;        // samples added per period: its own and the margin round it
    float scale = 1;              // brings the capture's samples to unit power
    bool acquiring = true;        // still reading the first two periods
    std::vector<float> acquired;  // the capture's first two periods
    std::int64_t started = 0;     // periods begun: the one in progress starts at started * step
    std::size_t lead_in = 0;      // samples of a period's window before its start
    std::int64_t first = 0;       // the window's first sample, counted from where the fold began
    std::int64_t stream = 0;      // samples the fold has been given
    std::vector<float> window;    // the one in progress, from `first`, when a chunk split it
    std::size_t filled = 0;       // samples of it held in `window`
    std::size_t tail = 0;         // of the last period's window, what the capture held
    // The first period's window begins `lead_in` samples before the capture, and the
    // last one's may end after it: there the other periods stand in for them.
    std::vector<period_group> groups;
    std::int64_t group_size = 1;   // periods per group
    std::int64_t periods = 0;      // whole periods so far
    std::int64_t samples = 0;      // capture samples read
    double drift = 0;              // samples per period, of groups that were merged in step
    despiker cleaner;              // glitches out before anything else
    exact_sums exact;              // samples stored in 8 bits, summed exactly for the newest group
    char held_byte = 0;            // the stored byte of the sample the cleaner holds back,
    bool held_byte_known = false;  // when that sample came stored
    std::vector<float> values;     // stored samples made values, a block at a time
    // Places [bytes_from, bytes_to) of the period in progress, which `window` holds
    // only as the stored bytes in `window_bytes`, not yet made values.
    std::vector<char> window_bytes;
    std::size_t bytes_from = 0;
    std::size_t bytes_to = 0;
    stored_scale bytes_scale;
};

namespace {

// Whole samples per bit of the averaged period, at least and at most.
constexpr std::int32_t min_rate = 2;
constexpr std::int32_t max_rate = 64;
// A period that differs from a whole number of samples by less than this is taken as whole.
constexpr double whole_period_tolerance = 0.05;
// A period folded at the capture's own rate carries this many samples round it, half
// before and half after, so that the conversion of the average to whole samples per
// bit sees past both ends of the period it keeps: twice the reach of the converter's
// filter, with room to spare.
constexpr std::size_t conversion_margin = 128;
constexpr std::size_t max_groups = 4;
// Stored samples the cleaner must judge are made values this many at a time.
constexpr std::size_t value_block = std::size_t{1} << 12;

std::size_t period_size(const period_folder& folder)
{
    return static_cast<std::size_t>(folder.length) * static_cast<std::size_t>(folder.rate);
}

// Samples carried past a period folded at the capture's own rate: the filter of a
// conversion that takes fewer samples out than in reaches further.
std::size_t margin_of(const period_folder& folder)
{
    return static_cast<std::size_t>(
        std::ceil(static_cast<double>(conversion_margin) / std::min(folder.ratio, 1.0)));
}

bool folds_whole(const period_folder& folder)
{
    return folder.width == period_size(folder);
}

// The first sample of period `k`'s window: `lead_in` before the sample nearest its
// start. Each period starts at its exact place, so that a fraction of a sample left
// over by one is carried to the next, not summed.
std::int64_t first_sample(const period_folder& folder, std::int64_t k)
{
    return std::llround(static_cast<double>(k) * folder.step)
           - static_cast<std::int64_t>(folder.lead_in);
}

// The exact sums scaled into the newest group's, and begun again where the fold stands.
void flush_stored(period_folder& folder)
{
    if (folder.exact.to > folder.exact.from) {
        flush_exact(folder.exact, folder.scale, folder.groups.back().sum);
    }
    folder.exact.from = folder.exact.to = folder.stream;
}

// Makes room for one more period in the newest group, opening or merging groups as needed.
void open_group(period_folder& folder)
{
    if (!folder.groups.empty() && folder.groups.back().periods < folder.group_size) {
        return;
    }
    if (folder.groups.size() == max_groups) {
        // Halve the number of groups by summing neighbours; each then holds twice the periods.
        for (std::size_t g = 0; g < max_groups / 2; ++g) {
            period_group merged = std::move(folder.groups[2 * g]);
            absorb(merged, folder.groups[2 * g + 1]);
            folder.groups[g] = std::move(merged);
        }
        folder.groups.resize(max_groups / 2);
        folder.group_size *= 2;
    }
    if (folder.groups.empty() || folder.groups.back().periods == folder.group_size) {
        folder.groups.push_back({std::vector<float>(folder.width, 0.0F), 0, folder.periods});
    }
}

// Opens the period whose first sample comes next. The exact sums are the newest
// group's, so they go into it before another group opens.
void begin_period(period_folder& folder)
{
    if (folder.groups.empty() || folder.groups.back().periods == folder.group_size) {
        flush_stored(folder);
    }
    open_group(folder);
}

// Adds `samples` to the newest group's sums from its index `at` on, scaled to unit
// power, so that neither sums of large samples overflow a float nor those of tiny ones
// lose their digits.
void add_scaled(period_folder& folder, std::span<const float> samples, std::size_t at)
{
    const float scale = folder.scale;
    const auto sum = folder.groups.back().sum.begin() + static_cast<std::ptrdiff_t>(at);
    std::transform(samples.begin(), samples.end(), sum, sum,
                   [scale](float x, float total) { return total + x * scale; });
}

// Counts the period whose last sample, of `size`, was just added, and moves on to the next.
void end_period(period_folder& folder, std::size_t size)
{
    period_group& group = folder.groups.back();
    // In samples of the converted period, which the leads are undone in.
    add_lead(group.leads,
             (static_cast<double>(folder.first + static_cast<std::int64_t>(folder.lead_in))
              - static_cast<double>(folder.started) * folder.step)
                 * folder.ratio);
    ++group.periods;
    ++folder.periods;
    folder.tail = size;
    ++folder.started;
    folder.first = first_sample(folder, folder.started);
}

// Adds the window of one whole period (`width` samples, fewer only at the capture's
// end) to the newest group and moves on to the next period.
void add_period(period_folder& folder, std::span<const float> window)
{
    begin_period(folder);
    add_scaled(folder, window, 0);
    end_period(folder, window.size());
}

// Makes the places of the period in progress that `window` holds as stored bytes values.
void window_values(period_folder& folder)
{
    if (folder.bytes_to > folder.bytes_from) {
        stored_values({.bytes = folder.window_bytes, .scale = folder.bytes_scale},
                      folder.bytes_from,
                      std::span(folder.window)
                          .subspan(folder.bytes_from, folder.bytes_to - folder.bytes_from));
    }
    folder.bytes_from = folder.bytes_to = 0;
}

// Keeps the last of the samples a call added, those of the period still in progress, in
// `window`: a capture that ends inside a period leaves it out of the average, taking them
// back, since that period's samples came later than the others' at their places.
void keep_in_window(period_folder& folder, std::span<const float> added)
{
    const std::size_t kept = std::min(folder.filled, added.size());
    // The period's places before them, where held as bytes, become values.
    if (kept < folder.filled) {
        window_values(folder);
    }
    folder.bytes_from = folder.bytes_to = 0;
    std::copy(added.end() - static_cast<std::ptrdiff_t>(kept), added.end(),
              folder.window.begin() + static_cast<std::ptrdiff_t>(folder.filled - kept));
}

// As keep_in_window, for the stored samples before `end` in `stored`, of which the call
// added `added`: they are kept as bytes, made values only where the capture ends in them.
void keep_bytes_in_window(period_folder& folder, const stored_samples& stored, std::size_t end,
                          std::size_t added)
{
    const std::size_t kept = std::min(folder.filled, added);
    const std::size_t at = folder.filled - kept;
    if (kept < folder.filled && (folder.bytes_to != at || folder.bytes_to == folder.bytes_from)) {
        window_values(folder);
        folder.bytes_from = at;
    } else if (kept == folder.filled) {
        folder.bytes_from = 0;
    }
    std::copy_n(stored.bytes.begin() + static_cast<std::ptrdiff_t>(end - kept), kept,
                folder.window_bytes.begin() + static_cast<std::ptrdiff_t>(at));
    folder.bytes_to = folder.filled;
    folder.bytes_scale = stored.scale;
}

// Adds samples of periods folded whole straight to the newest group's sums, a period
// that chunks split in parts: `filled` counts the samples of the one in progress.
void add_whole(period_folder& folder, std::span<const float> samples)
{
    if (samples.empty()) {
        return;
    }
    const std::span<const float> added = samples;
    // The exact sums hold one unbroken run of the fold.
    flush_stored(folder);
    while (!samples.empty()) {
        if (folder.filled == 0) {
            begin_period(folder);
        }
        const std::size_t take = std::min(folder.width - folder.filled, samples.size());
        add_scaled(folder, samples.first(take), folder.filled);
        samples = samples.subspan(take);
        folder.filled += take;
        folder.stream += static_cast<std::int64_t>(take);
        if (folder.filled == folder.width) {
            folder.filled = 0;
            end_period(folder, folder.width);
        }
    }
    folder.exact.from = folder.exact.to = folder.stream;
    keep_in_window(folder, added);
}

// Adds samples to the periods folded at the capture's own rate, whose windows overlap:
// a window the chunk holds whole goes straight from it, one split between chunks is
// gathered in the folder first.
void add_windows(period_folder& folder, std::span<const float> samples)
{
    const std::int64_t base = folder.stream;
    folder.stream += static_cast<std::int64_t>(samples.size());
    const auto end = static_cast<std::size_t>(folder.stream - base);
    for (;;) {
        if (folder.filled == 0) {
            const auto begin = static_cast<std::size_t>(folder.first - base);
            if (begin >= end) {
                return;
            }
            if (begin + folder.width > end) {
                std::copy(samples.begin() + static_cast<std::ptrdiff_t>(begin), samples.end(),
                          folder.window.begin());
                folder.filled = end - begin;
                return;
            }
            add_period(folder, samples.subspan(begin, folder.width));
            continue;
        }
        // The window goes on from the chunk's first sample.
        const auto at = static_cast<std::size_t>(folder.first - base) + folder.filled;
        const std::size_t take = std::min(folder.width - folder.filled, end - at);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), take,
                    folder.window.begin() + static_cast<std::ptrdiff_t>(folder.filled));
        folder.filled += take;
        if (folder.filled < folder.width) {
            return;
        }
        const std::int64_t was = folder.first;
        add_period(folder, folder.window);
        // The next window overlaps this one's margin; it stays gathered only where
        // it began before this chunk.
        const auto moved = static_cast<std::size_t>(folder.first - was);
        folder.filled = folder.first < base ? folder.width - moved : 0;
        std::copy(folder.window.begin() + static_cast<std::ptrdiff_t>(moved), folder.window.end(),
                  folder.window.begin());
    }
}

void add_samples(period_folder& folder, std::span<const float> samples)
{
    if (folds_whole(folder)) {
        add_whole(folder, samples);
    } else {
        add_windows(folder, samples);
    }
}

// Adds the stored samples [from, from + count) of `stored`, whose bytes hold one more,
// to the exact sums, period by period, the whole periods that the group and the sums
// have room for together. Returns how many it added before a piece that steps further
// than `limit` from one sample to the next, which a glitch-free read-back never does:
// that piece is left for the cleaner to judge.
std::size_t add_whole_stored(period_folder& folder, const stored_samples& stored, std::size_t from,
                             std::size_t count, std::uint8_t limit)
{
    exact_sums& exact = folder.exact;
    const std::size_t width = folder.width;
    if (exact.sum.size() != width) {
        exact.sum.assign(width, 0);
    }
    exact.scale = stored.scale;
    const auto most = exact_periods * static_cast<std::int64_t>(width);
    std::size_t done = 0;
    while (done < count) {
        if (folder.filled == 0) {
            begin_period(folder);
        }
        const std::size_t left = count - done;
        std::size_t length = std::min(width - folder.filled, left);
        if (exact.to - exact.from + static_cast<std::int64_t>(length) > most) {
            flush_stored(folder);
        }
        std::size_t rows = 1;
        if (folder.filled == 0) {
            const auto group_room =
                static_cast<std::size_t>(folder.group_size - folder.groups.back().periods);
            const auto sums_room = static_cast<std::size_t>(most - (exact.to - exact.from)) / width;
            rows = std::max<std::size_t>(1, std::min({left / width, group_room, sums_room}));
        }
        const std::span<std::int16_t> sums = std::span(exact.sum).subspan(folder.filled, length);
        const std::span<const char> bytes = stored.bytes.subspan(from + done, rows * length + 1);
        if (add_stored(sums, bytes, rows, stored.scale.is_signed, limit)) {
            take_back_stored(sums, bytes, rows, stored.scale.is_signed);
            break;
        }
        done += rows * length;
        folder.stream += static_cast<std::int64_t>(rows * length);
        exact.to = folder.stream;
        folder.filled += length;
        if (folder.filled == width) {
            folder.filled = 0;
            for (std::size_t r = 0; r < rows; ++r) {
                end_period(folder, width);
            }
        }
    }
    keep_bytes_in_window(folder, stored, from + done, done);
    return done;
}

// Sums `stored` exactly, as far as its glitches can be judged as stored: first the
// sample the cleaner holds back, then all of `stored` but its last, which it holds
// back in turn. Returns where the samples left for the cleaner begin, the cleaner then
// holding the one before them.
std::size_t sum_stored(period_folder& folder, const stored_samples& stored)
{
    despiker& cleaner = folder.cleaner;
    float value = 0;
    stored_values(stored, 0, std::span(&value, 1));
    if (cleaner.limit > 0 && is_spike(cleaner.before, cleaner.pending, value, cleaner.limit)) {
        return 0;
    }
    const std::uint8_t limit = stored_limit(cleaner.limit, stored.scale);
    const std::array<char, 2> held{folder.held_byte, stored.bytes.front()};
    if (add_whole_stored(folder, {.bytes = held, .scale = stored.scale}, 0, 1, limit) == 0) {
        return 0;
    }
    const std::size_t done = add_whole_stored(folder, stored, 0, stored.bytes.size() - 1, limit);
    if (done > 0) {
        stored_values(stored, done - 1, std::span(&cleaner.before, 1));
    } else {
        cleaner.before = cleaner.pending;
    }
    stored_values(stored, done, std::span(&cleaner.pending, 1));
    folder.held_byte = stored.bytes[done];
    return done + 1;
}

// The sums of a group folded at the capture's own rate brought to whole samples per
// bit: `size` samples of the conversion, from `skip` input samples in, where its
// filter no longer sees the start.
echo_error convert_group(period_group& group, double ratio, std::size_t size, std::size_t skip)
{
    const resampled converted = resample_all(group.sum, ratio, SRC_SINC_FASTEST);
    if (converted.error != 0) {
        return {.code = echo_errc::converter_failed, .text = src_strerror(converted.error)};
    }
    const auto from = static_cast<std::size_t>(std::ceil(static_cast<double>(skip) * ratio));
    if (converted.samples.size() < from + size) {
        return {.code = echo_errc::converter_failed};
    }
    group.sum.assign(converted.samples.begin() + static_cast<std::ptrdiff_t>(from),
                     converted.samples.begin() + static_cast<std::ptrdiff_t>(from + size));
    return {};
}

// Indices [from, to) of group `g`, where one of its periods held no samples, made
// whole: scaled up to its number of periods, or taken from the other groups where
// that period was its only one.
void complete_range(period_folder& folder, std::size_t g, std::size_t from, std::size_t to)
{
    period_group& group = folder.groups[g];
    const std::int64_t held = group.periods - 1;
    std::int64_t others = 0;
    for (std::size_t h = 0; h < folder.groups.size(); ++h) {
        others += h == g ? 0 : folder.groups[h].periods;
    }
    for (std::size_t j = from; j < to; ++j) {
        double value = 0;
        if (held > 0) {
            value = group.sum[j] / static_cast<double>(held);
        } else {
            for (std::size_t h = 0; h < folder.groups.size(); ++h) {
                value += h == g ? 0.0 : folder.groups[h].sum[j] / static_cast<double>(others);
            }
        }
        group.sum[j] = static_cast<float>(value * static_cast<double>(group.periods));
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

// Chooses the whole rate for the period found, and whether the capture is folded
// at that rate or at its own, with the average converted afterwards.
void choose_rate(period_folder& folder, double period)
{
    folder.period = period;
    const double power =
        dot(folder.acquired, folder.acquired) / static_cast<double>(folder.acquired.size());
    folder.scale = power > 0 ? static_cast<float>(1 / std::sqrt(power)) : 1.0F;
    const double found = period / static_cast<double>(folder.length);
    folder.rate = std::clamp(static_cast<std::int32_t>(std::lround(found)), min_rate, max_rate);
    const auto size = static_cast<double>(period_size(folder));
    if (std::abs(period - size) <= whole_period_tolerance) {
        folder.step = size;
        folder.width = period_size(folder);
    } else {
        folder.step = period;
        folder.ratio = size / period;
        folder.width = static_cast<std::size_t>(std::ceil(period)) + margin_of(folder);
        folder.lead_in = margin_of(folder) / 2;
    }
    // The first window's lead-in, before the capture, is held as zeros.
    folder.window.assign(folder.width, 0.0F);
    if (folds_whole(folder)) {
        folder.window_bytes.assign(folder.width, 0);
    }
    folder.first = -static_cast<std::int64_t>(folder.lead_in);
    folder.filled = folder.lead_in;
}

// Finds the period in the acquired samples, chooses the whole rate, and sends the
// acquired samples on; `ended` when the capture holds no more.
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
    choose_rate(folder, search.period);
    folder.acquiring = false;
    std::vector<float> acquired = std::move(folder.acquired);
    folder.acquired = {};
    add_samples(folder, acquired);
    return {};
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

// Why a capture that ended before two whole periods of `period` samples is too short.
echo_error too_short(const period_folder& folder, double period)
{
    return {.code = echo_errc::fewer_than_two_periods,
            .count = folder.samples,
            .needed = static_cast<std::int64_t>(std::ceil(2 * period)),
            .rate = period / static_cast<double>(folder.length)};
}

// Takes the glitches out of `samples` and sends them on to be folded.
void clean_and_add(period_folder& folder, std::span<const float> samples)
{
    const despiked cleaned = despike(folder.cleaner, samples);
    add_samples(folder, cleaned.first);
    add_samples(folder, cleaned.rest);
}

// At the capture's end, a period folded at the capture's own rate counts when the
// capture holds it, though not all of the margin after it. A capture of whole periods
// whose length was rounded to whole samples may lack the last sample of its last
// period: the other periods stand in for it, as they do for the margin.
void add_last_period(period_folder& folder)
{
    const auto own =
        static_cast<std::size_t>(first_sample(folder, folder.started + 1) - folder.first);
    if (!folds_whole(folder) && folder.filled + 1 >= folder.lead_in + own
        && folder.filled < folder.width) {
        add_period(folder, std::span<const float>(folder.window).first(folder.filled));
    }
}

// A capture that ends inside a period folded whole has left that period's first samples
// in the newest group's sums: they are taken out again, as `window` holds them.
void settle_last_period(period_folder& folder)
{
    flush_stored(folder);
    if (folder.filled == 0) {
        return;
    }
    period_group& group = folder.groups.back();
    if (group.periods == 0) {
        folder.groups.pop_back();
        return;
    }
    window_values(folder);
    const float scale = folder.scale;
    std::transform(group.sum.begin(),
                   group.sum.begin() + static_cast<std::ptrdiff_t>(folder.filled),
                   folder.window.begin(), group.sum.begin(),
                   [scale](float sum, float x) { return sum - x * scale; });
}

// Brings the groups folded at the capture's own rate to whole samples per bit. Groups
// that keep time are converted as one: the conversion is the costly part.
echo_error convert_groups(period_folder& folder)
{
    complete_range(folder, 0, 0, folder.lead_in);
    complete_range(folder, folder.groups.size() - 1, folder.tail, folder.width);
    // Every group holds its own periods from the lead-in on, the last of them at
    // least all but one sample of its own.
    const std::size_t own_to = folder.lead_in + static_cast<std::size_t>(folder.period) - 1;
    if (std::optional<merged_groups> merged =
            merge_in_step(folder.groups, folder.ratio, folder.lead_in, own_to)) {
        folder.drift = merged->drift;
        folder.groups = {std::move(merged->group)};
    }
    for (period_group& group : folder.groups) {
        if (echo_error error =
                convert_group(group, folder.ratio, period_size(folder), folder.lead_in)) {
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

namespace {

echo_error feed_values(period_folder& folder, std::span<const float> samples)
{
    folder.samples += static_cast<std::int64_t>(samples.size());
    if (!folder.acquiring) {
        clean_and_add(folder, samples);
        return {};
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
    clean_and_add(folder, samples.subspan(take));
    return {};
}

}  // namespace

echo_error folder_feed(period_folder& folder, std::span<const float> samples)
{
    // The sample held back is a value now, unless none came.
    folder.held_byte_known = folder.held_byte_known && samples.empty();
    return feed_values(folder, samples);
}

echo_error folder_feed_stored(period_folder& folder, const stored_samples& stored)
{
    const std::span<const char> bytes = stored.bytes;
    if (bytes.empty()) {
        return {};
    }
    std::size_t from = 0;
    if (!folder.acquiring && folds_whole(folder) && folder.cleaner.holding
        && folder.held_byte_known) {
        from = sum_stored(folder, stored);
        folder.samples += static_cast<std::int64_t>(from);
    }
    folder.values.resize(value_block);
    for (std::size_t at = from; at < bytes.size(); at += value_block) {
        const std::span<float> values =
            std::span(folder.values).first(std::min(value_block, bytes.size() - at));
        stored_values(stored, at, values);
        if (echo_error error = feed_values(folder, values)) {
            return error;
        }
    }
    folder.held_byte = bytes.back();
    folder.held_byte_known = true;
    return {};
}

fold_result folder_finish(period_folder& folder)
{
    fold_result result;
    const double nominal_period = folder.nominal * static_cast<double>(folder.length);
    if (folder.acquiring) {
        // A short capture: find its period from what there is, if it holds two.
        if (static_cast<double>(folder.acquired.size())
            < 2 * nominal_period * (1 - rate_tolerance)) {
            result.error = too_short(folder, nominal_period);
            return result;
        }
        result.error = lock_on(folder, true);
        // A capture a little short of two periods at the rate given cannot show
        // whether it repeats: that it is short is what it shows.
        if (result.error.code == echo_errc::does_not_repeat
            && static_cast<double>(folder.samples) < 2 * nominal_period) {
            result.error = too_short(folder, nominal_period);
        }
        if (result.error) {
            return result;
        }
    }
    add_samples(folder, despike_end(folder.cleaner));
    add_last_period(folder);
    if (folder.periods < 2) {
        result.error = too_short(folder, folder.period);
        return result;
    }
    if (folds_whole(folder)) {
        settle_last_period(folder);
    }
    if (!folds_whole(folder)) {
        result.error = convert_groups(folder);
        if (result.error) {
            return result;
        }
    }
    auto [mean, drift] = align_groups(folder.groups);
    drift += folder.drift;
    result.period = std::move(mean);
    result.rate = folder.rate;
    result.periods = folder.periods;
    result.set_aside = folder.cleaner.set_aside;
    const auto size = static_cast<double>(period_size(folder));
    result.samples_per_bit = (size + drift) / folder.ratio / static_cast<double>(folder.length);
    return result;
}

}  // namespace keldran::echo
