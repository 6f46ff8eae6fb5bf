// One period of the correlation placed by its main response: where the
// transition response peaks, and whether the capture holds this pattern at all.
#include "fit_internal.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

namespace keldran::echo {

namespace {

// The main response must hold this share of the correlation's energy near it.
constexpr double pattern_share = 0.5;
constexpr std::int64_t pattern_window_bits = 16;

// Bits each side of the main response that main_share counts: a few, and at
// most an eighth of the period.
std::int64_t share_reach(const correlation& corr)
{
    constexpr std::int64_t eighth = 8;
    return std::min(pattern_window_bits, corr.length / eighth);
}

}  // namespace

// s moved by whole periods n into [-n/2, n/2).
std::int64_t wrap(std::int64_t s, std::int64_t n)
{
    if (s < -n || s >= 2 * n) {
        s %= n;
    }
    while (s < -(n / 2)) {
        s += n;
    }
    while (s >= n - n / 2) {
        s -= n;
    }
    return s;
}

void mark_round(std::vector<char>& busy, std::int64_t from, std::int64_t to)
{
    const auto n = static_cast<std::int64_t>(busy.size());
    const std::int64_t start = ((from % n) + n) % n;
    const std::int64_t end = start + std::clamp<std::int64_t>(to - from, 0, n);
    const auto at = [&](std::int64_t j) { return busy.begin() + static_cast<std::ptrdiff_t>(j); };
    std::fill(at(start), at(std::min(end, n)), char{1});
    std::fill(at(0), at(std::max<std::int64_t>(end - n, 0)), char{1});
}

double sample(const correlation& corr, std::int64_t s)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    return corr.values[static_cast<std::size_t>((((corr.origin + s) % n) + n) % n)];
}

std::int64_t segment_samples(const correlation& corr)
{
    return 2 * corr.segment * corr.rate;
}

// Finds the main response (where the transition response peaks) and turns an
// inverted capture upright.
void find_main(correlation& corr)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    double best = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double signature = corr.values[static_cast<std::size_t>(j)]
                                 - corr.values[static_cast<std::size_t>((j + corr.rate) % n)];
        if (std::abs(signature) > std::abs(best)) {
            best = signature;
            corr.origin = j;
        }
    }
    corr.inverted = best < 0;
    if (corr.inverted) {
        std::transform(corr.values.begin(), corr.values.end(), corr.values.begin(),
                       std::negate<>());
    }
}

// Share of the correlation's energy within a few bits of the main response.
double main_share(const correlation& corr)
{
    const std::int64_t reach = share_reach(corr) * corr.rate;
    double near = 0;
    for (std::int64_t s = -reach; s <= reach + corr.rate; ++s) {
        near += sample(corr, s) * sample(corr, s);
    }
    const double total =
        std::inner_product(corr.values.begin(), corr.values.end(), corr.values.begin(), 0.0);
    return total > 0 ? near / total : 0.0;
}

// The share main_share must reach: well above what a correlation spread evenly
// over the period, as a wrong pattern gives, puts near any point.
double share_needed(const correlation& corr)
{
    const std::int64_t reach = share_reach(corr);
    const double even = static_cast<double>(2 * reach + 1) / static_cast<double>(corr.length);
    return std::max(pattern_share, 2 * even);
}

}  // namespace keldran::echo
