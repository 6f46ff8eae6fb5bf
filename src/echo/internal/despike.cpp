// Glitches kept out of the average. A read-back at two samples per bit or more
// is smooth from sample to sample, so a sample that stands out from both
// neighbours by more than 1.5 times the signal's peak is no part of it; its
// neighbours' mean stands in for it.
#include "fold_internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace keldran::echo {

namespace {

// The signal's peak is taken as this quantile of |x - median|, which a few
// glitches in a stretch cannot move.
constexpr double peak_quantile = 0.999;
// A spike stands out from both neighbours by this many times that peak.
constexpr float spike_factor = 1.5F;
// About this many samples of the first stretch are enough to find that peak,
// taken in runs this long: two bits at the highest whole rate.
constexpr std::size_t samples_judged = std::size_t{1} << 13;
constexpr std::size_t judged_run = 128;

}  // namespace

float spike_limit(std::span<const float> samples)
{
    if (samples.size() < 3) {
        return 0.0F;
    }
    // A few thousand samples are enough for a quantile. From a longer stretch they
    // are taken in runs of `judged_run`, spread over it, so that every phase of a
    // bit is among them whatever the rate.
    std::vector<float> v;
    if (samples.size() <= samples_judged) {
        v.assign(samples.begin(), samples.end());
    }
    const std::size_t runs = samples.size() / judged_run;
    const std::size_t taken = v.empty() ? samples_judged / judged_run : 0;
    for (std::size_t r = 0; r < taken; ++r) {
        const auto first = r * (runs / taken) * judged_run;
        v.insert(v.end(), samples.begin() + static_cast<std::ptrdiff_t>(first),
                 samples.begin() + static_cast<std::ptrdiff_t>(first + judged_run));
    }
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    const float median = *middle;
    std::transform(v.begin(), v.end(), v.begin(),
                   [median](float x) { return std::abs(x - median); });
    const auto at =
        v.begin() + static_cast<std::ptrdiff_t>(peak_quantile * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), at, v.end());
    return spike_factor * *at;
}

bool is_spike(float before, float x, float after, float limit)
{
    const float left = x - before;
    const float right = x - after;
    return (left > limit && right > limit) || (left < -limit && right < -limit);
}

namespace {

// Whether any step from one sample of `run` to the next exceeds `limit`, among the
// steps that end on an even sample. A spike makes two steps in a row that exceed it,
// one of them ending on an even sample, so these are enough; half the work of
// judging every sample, and nearly every chunk stops here.
bool steps_beyond(std::span<const float> run, float limit)
{
    // In blocks, so that the 32-bit count (four to a vector register) cannot overflow.
    constexpr std::size_t block = std::size_t{1} << 20;
    const std::size_t pairs = run.empty() ? 0 : (run.size() - 1) / 2;  // (1, 2), (3, 4), ...
    const float* odd = run.data() + 1;
    for (std::size_t first = 0; first < pairs; first += block) {
        const std::size_t last = std::min(pairs, first + block);
        std::int32_t count = 0;
        for (std::size_t m = first; m < last; ++m) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic): pairs lie inside run
            count += std::abs(odd[2 * m + 1] - odd[2 * m]) > limit ? 1 : 0;
        }
        if (count > 0) {
            return true;
        }
    }
    return false;
}

// Whether any sample of `run` that has both neighbours in it is a spike.
bool has_interior_spike(std::span<const float> run, float limit)
{
    if (!steps_beyond(run, limit)) {
        return false;
    }
    for (std::size_t i = 1; i + 1 < run.size(); ++i) {
        if (is_spike(run[i - 1], run[i], run[i + 1], limit)) {
            return true;
        }
    }
    return false;
}

// The held sample and all of `in` but its last, cleaned into the scratch buffer;
// returns how many were spikes. Each sample is judged against its left neighbour
// as cleaned, so the sample between two spikes one apart is not taken for a third.
std::int64_t clean_into_scratch(despiker& cleaner, std::span<const float> in)
{
    cleaner.scratch.resize(in.size());
    std::int64_t spikes = 0;
    float left = cleaner.before;
    float x = cleaner.pending;
    for (std::size_t j = 0; j < in.size(); ++j) {
        const float right = in[j];
        const bool spike = is_spike(left, x, right, cleaner.limit);
        spikes += spike ? 1 : 0;
        left = cleaner.scratch[j] = spike ? (left + right) / 2 : x;
        x = right;
    }
    return spikes;
}

}  // namespace

despiked despike(despiker& cleaner, std::span<const float> in)
{
    if (!cleaner.holding && !in.empty()) {
        // The stream's first sample has no neighbour before it: it is its own.
        cleaner.before = cleaner.pending = in.front();
        cleaner.holding = true;
        in = in.subspan(1);
    }
    if (in.empty()) {
        return {};
    }
    // With no spike among the samples as read there is none among them as cleaned,
    // and the chunk goes on as it is.
    const bool clean =
        cleaner.limit <= 0
        || (!is_spike(cleaner.before, cleaner.pending, in[0], cleaner.limit)
            && !(in.size() > 1 && is_spike(cleaner.pending, in[0], in[1], cleaner.limit))
            && !has_interior_spike(in, cleaner.limit));
    despiked out;
    if (clean) {
        cleaner.released = cleaner.pending;
        out = {std::span<const float>(&cleaner.released, 1), in.first(in.size() - 1)};
        cleaner.before = in.size() > 1 ? in[in.size() - 2] : cleaner.pending;
    } else {
        cleaner.set_aside += clean_into_scratch(cleaner, in);
        out = {{}, cleaner.scratch};
        cleaner.before = cleaner.scratch.back();
    }
    cleaner.pending = in.back();
    return out;
}

std::span<const float> despike_end(despiker& cleaner)
{
    if (!cleaner.holding) {
        return {};
    }
    cleaner.holding = false;
    cleaner.released = cleaner.pending;
    return {&cleaner.released, 1};
}

}  // namespace keldran::echo
