// Glitches kept out of the average. A read-back at two samples per bit or more
// is smooth from sample to sample, so a sample that stands out from both
// neighbours by more than 1.5 times the signal's peak is no part of it; its
// neighbours' mean stands in for it.
#include "fold_internal.h"

#include <algorithm>
#include <cmath>

namespace keldran::echo {

namespace {

// The signal's peak is taken as this quantile of |x - median|, which a few
// glitches in a stretch cannot move.
constexpr double peak_quantile = 0.999;
// A spike stands out from both neighbours by this many times that peak.
constexpr float spike_factor = 1.5F;

}  // namespace

float spike_limit(std::span<const float> samples)
{
    if (samples.size() < 3) {
        return 0.0F;
    }
    std::vector<float> v(samples.begin(), samples.end());
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    const float median = *middle;
    std::transform(samples.begin(), samples.end(), v.begin(),
                   [median](float x) { return std::abs(x - median); });
    const auto at =
        v.begin() + static_cast<std::ptrdiff_t>(peak_quantile * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), at, v.end());
    return spike_factor * *at;
}

void despike(despiker& cleaner, std::span<const float> in, std::vector<float>& out)
{
    for (const float next : in) {
        if (!cleaner.holding) {
            cleaner.pending = next;
            cleaner.holding = true;
            continue;
        }
        float x = cleaner.pending;
        if (cleaner.started && cleaner.limit > 0) {
            const float left = x - cleaner.before;
            const float right = x - next;
            const bool same_way = (left > 0) == (right > 0);
            if (same_way && std::abs(left) > cleaner.limit && std::abs(right) > cleaner.limit) {
                x = (cleaner.before + next) / 2;
                ++cleaner.set_aside;
            }
        }
        out.push_back(x);
        cleaner.before = x;
        cleaner.started = true;
        cleaner.pending = next;
    }
}

void despike_end(despiker& cleaner, std::vector<float>& out)
{
    if (cleaner.holding) {
        out.push_back(cleaner.pending);
        cleaner.holding = false;
    }
}

}  // namespace keldran::echo
