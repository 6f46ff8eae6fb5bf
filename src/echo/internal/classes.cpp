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

// The pattern's levels, +1 for a set bit and -1 for a clear one, from bit -2 to
// bit L: each transition is judged with the bits two before it and one after.
std::vector<std::int32_t> padded_levels(std::span<const std::int32_t> bits)
{
    const std::size_t length = bits.size();
    std::vector<std::int32_t> levels(length + 3);
    for (std::size_t j = 0; j < levels.size(); ++j) {
        levels[j] = bits[(j + length - 2) % length] != 0 ? 1 : -1;
    }
    return levels;
}

// x rounded to the weights' grid.
double on_grid(double x)
{
    // Half away from zero, by a conversion to an integer, which the processor does
    // in one instruction where std::round is a call: weights are a few units at most.
    const double scaled = x * weight_grid;
    const auto nearest = static_cast<std::int64_t>(scaled + (scaled < 0 ? -0.5 : 0.5));
    return static_cast<double>(nearest) / weight_grid;
}

// The value on the weights' grid that most of `grid` share. A value more than
// half share is the median, found without sorting; a sum of many shifts over a
// short period needs the count of every value.
double mode_of(std::vector<double> grid)
{
    const auto middle = grid.begin() + static_cast<std::ptrdiff_t>(grid.size() / 2);
    std::nth_element(grid.begin(), middle, grid.end());
    const double median = *middle;
    if (2 * static_cast<std::size_t>(std::count(grid.begin(), grid.end(), median)) > grid.size()) {
        return median;
    }
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
    return best;
}

// The value, to the weights' grid, that most of `v` share.
double most_shared(const std::vector<double>& v)
{
    std::vector<double> grid(v.size());
    std::transform(v.begin(), v.end(), grid.begin(), on_grid);
    const double best = mode_of(std::move(grid));
    // The level itself, unrounded: the values off the grid are rounding's.
    double sum = 0;
    std::size_t count = 0;
    for (const double x : v) {
        if (on_grid(x) == best) {
            sum += x;
            ++count;
        }
    }
    return sum / static_cast<double>(count);
}

// The sequence as a sum of shifts of the pattern, from its correlation c with
// the pattern: the weight of the pattern delayed by m bits, for every m that
// counts. The correlation with the pattern of the pattern delayed by m is 1 at
// m above a level common to every other lag, so each weight stands that far
// above the level that the sequence's shifts together, and any constant part of
// it, spread over every lag: the level most lags share, since the sum with the
// fewest shifts is the one wanted.
std::vector<weight_at> as_shifts(const std::vector<double>& c)
{
    const double common = most_shared(c);
    std::vector<weight_at> shifts;
    for (std::size_t m = 0; m < c.size(); ++m) {
        const double w = on_grid(c[m] - common);
        if (w != 0) {
            shifts.push_back(
                {wrap(static_cast<std::int64_t>(m), static_cast<std::int64_t>(c.size())), w});
        }
    }
    return shifts;
}

// The classes' plain and erased sequences, side by side: sequence q of bit k
// at k * sequences + q, so that one correlation takes them all as its phases.
constexpr std::size_t sequences = 2 * class_count;

std::vector<double> class_sequences(std::span<const std::int32_t> bits)
{
    std::vector<double> side_by_side(bits.size() * sequences, 0.0);
    const std::vector<std::int32_t> levels = padded_levels(bits);
    for (std::size_t k = 0; k < bits.size(); ++k) {
        // Bits k - 2, k - 1, k and k + 1.
        const std::int32_t two_before = levels[k];
        const std::int32_t one_before = levels[k + 1];
        const std::int32_t here = levels[k + 2];
        const std::int32_t next = levels[k + 3];
        const std::int32_t b = (here - one_before) / 2;
        if (b == 0) {
            continue;
        }
        const bool before = two_before != one_before;
        const bool after = here != next;
        // The class whose polarity and transition before this one's match.
        const std::size_t i = (b > 0 ? 0 : 1) + (before ? 2 : 0);
        const std::size_t at = k * sequences + 2 * i;
        side_by_side[at] = b;
        side_by_side[at + 1] = before || after ? b : 0;
    }
    return side_by_side;
}

}  // namespace

class_set transition_classes(std::span<const std::int32_t> bits, std::int32_t order)
{
    class_set classes;
    for (std::size_t i = 0; i < class_count; ++i) {
        classes.at(i).polarity = i % 2 == 0 ? 1 : -1;
        classes.at(i).after_transition = i >= 2;
    }
    const std::vector<double> side_by_side = class_sequences(bits);
    const std::vector<double> c =
        correlate(bits, order, side_by_side, static_cast<std::int32_t>(sequences));
    for (std::size_t i = 0; i < class_count; ++i) {
        for (const bool erased : {false, true}) {
            std::vector<double> one(bits.size());
            for (std::size_t m = 0; m < one.size(); ++m) {
                one[m] = c[m * sequences + 2 * i + (erased ? 1 : 0)];
            }
            (erased ? classes.at(i).erased : classes.at(i).plain) = as_shifts(one);
        }
    }
    return classes;
}

double class_delay(const transition_class& group, const shift_estimate& fit)
{
    return group.polarity * fit.hts - (group.after_transition ? fit.nlts : 0.0);
}

}  // namespace keldran::echo
