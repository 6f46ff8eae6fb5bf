// The pattern's transitions grouped by how the channel moves them: rising or
// falling (HTS) and with a transition one cell before or not (NLTS). Each
// group, as a sequence over the period, is a sum of a few shifts of the
// pattern, since products of a maximal-length sequence's shifts are shifts of
// it again; each shift becomes one term of the model, placed where it lands.
#include "fit_internal.h"

#include "correlate.h"

#include <algorithm>
#include <cmath>

namespace keldran::echo {

namespace {

// Every weight is a sum of a few products of halves: rounding to this grid
// takes off what the transform's float arithmetic leaves.
constexpr double weight_grid = 1024.0;

std::int32_t level_at(std::span<const std::int32_t> bits, std::int64_t k)
{
    const auto length = static_cast<std::int64_t>(bits.size());
    return bits[static_cast<std::size_t>(((k % length) + length) % length)] != 0 ? 1 : -1;
}

// The value, to the weights' grid, that most of `v` share.
double most_shared(const std::vector<double>& v)
{
    std::vector<double> grid(v.size());
    std::transform(v.begin(), v.end(), grid.begin(),
                   [](double x) { return std::round(x * weight_grid) / weight_grid; });
    std::sort(grid.begin(), grid.end());
    double best = grid.front();
    std::size_t best_run = 0;
    for (auto run = grid.begin(); run != grid.end();) {
        const auto end = std::upper_bound(run, grid.end(), *run);
        if (static_cast<std::size_t>(end - run) > best_run) {
            best_run = static_cast<std::size_t>(end - run);
            best = *run;
        }
        run = end;
    }
    // The level itself, unrounded: the values off the grid are rounding's.
    double sum = 0;
    std::size_t count = 0;
    for (const double x : v) {
        if (std::round(x * weight_grid) / weight_grid == best) {
            sum += x;
            ++count;
        }
    }
    return sum / static_cast<double>(count);
}

// The sequence as a sum of shifts of the pattern: the weight of the pattern
// delayed by m bits, for every m that counts. The correlation with the pattern
// of the pattern delayed by m is 1 at m above a level common to every other
// lag, so each weight stands that far above the level that the sequence's
// shifts together, and any constant part of it, spread over every lag: the
// level most lags share, since the sum with the fewest shifts is the one wanted.
std::vector<weight_at> as_shifts(std::span<const std::int32_t> bits, std::int32_t order,
                                 const std::vector<double>& sequence)
{
    const std::vector<double> c = correlate(bits, order, sequence, 1);
    const double common = most_shared(c);
    std::vector<weight_at> shifts;
    for (std::size_t m = 0; m < c.size(); ++m) {
        const double w = std::round((c[m] - common) * weight_grid) / weight_grid;
        if (w != 0) {
            shifts.push_back(
                {wrap(static_cast<std::int64_t>(m), static_cast<std::int64_t>(c.size())), w});
        }
    }
    return shifts;
}

}  // namespace

class_set transition_classes(std::span<const std::int32_t> bits, std::int32_t order)
{
    const auto length = static_cast<std::int64_t>(bits.size());
    class_set classes;
    for (std::size_t i = 0; i < class_count; ++i) {
        transition_class& group = classes.at(i);
        group.polarity = i % 2 == 0 ? 1 : -1;
        group.after_transition = i >= 2;
        std::vector<double> plain(bits.size(), 0.0);
        std::vector<double> erased(bits.size(), 0.0);
        for (std::int64_t k = 0; k < length; ++k) {
            const std::int32_t b = (level_at(bits, k) - level_at(bits, k - 1)) / 2;
            const bool before = level_at(bits, k - 2) != level_at(bits, k - 1);
            const bool after = level_at(bits, k) != level_at(bits, k + 1);
            if (b != 0 && b == group.polarity && before == group.after_transition) {
                plain[static_cast<std::size_t>(k)] = b;
                erased[static_cast<std::size_t>(k)] = before || after ? b : 0;
            }
        }
        group.plain = as_shifts(bits, order, plain);
        group.erased = as_shifts(bits, order, erased);
    }
    return classes;
}

double class_delay(const transition_class& group, const shift_estimate& fit)
{
    return group.polarity * fit.hts - (group.after_transition ? fit.nlts : 0.0);
}

}  // namespace keldran::echo
