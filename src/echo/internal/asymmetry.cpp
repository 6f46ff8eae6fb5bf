// The head's square-law asymmetry, read off the period and undone before it
// is measured. A head that reads x + A x^2 adds, through x^2, products of
// neighbouring transitions that land all over the correlation, where the
// linear channel leaves only noise; there the correlation is A times that of
// the squared read-back, to first order, and a few passes of estimate and
// undo take it to the exact A.
#include "fit_internal.h"

#include "correlate.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace keldran::echo {

namespace {

constexpr int asymmetry_passes = 3;
// Cycles per bit below which the squared read-back of a pulse 1.5 bit cells wide
// or wider holds nearly all it has.
constexpr double square_band = 1.0;
// A pass that moves A by less than this, relative to the correlation's peak, ends the estimate.
constexpr double settled = 1e-5;
constexpr int offset_steps = 4;
// Bits of the period clear of every response that the estimate needs: periods
// of 127 and 255 bits leave too few to tell A from the tails of the echoes.
constexpr std::int64_t min_quiet_bits = 128;
// Bits each side of every place the transitions land that their responses' tails
// still reach, at the level that would pass for an asymmetry of a few thousandths.
constexpr std::int64_t clear_bits = 12;
// Standard uncertainties an estimate must stand clear of zero by to be undone.
constexpr double significant = 3.0;

// x with x + a x^2 = y - offset, the root nearer y; a read-back beyond the
// parabola's turn (a glitch, say) goes to the turn.
double undo_square(double y, double a, double offset)
{
    if (a == 0) {
        return y - offset;
    }
    const double d = std::max(0.0, 1 + 4 * a * (y - offset));
    return (std::sqrt(d) - 1) / (2 * a);
}

// The period with x + a x^2 undone, its offset chosen so that its mean is
// zero, as a longitudinal read-back's is.
std::vector<double> undo(std::span<const double> period, double a)
{
    const auto n = static_cast<double>(period.size());
    const double mean = std::accumulate(period.begin(), period.end(), 0.0) / n;
    double offset = mean;
    std::vector<double> x(period.size());
    for (int step = 0; step < offset_steps; ++step) {
        double sum = 0;
        double slope = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            x[i] = undo_square(period[i], a, offset);
            sum += x[i];
            // A sample at the parabola's turn does not move with the offset.
            const double turn = 1 + 2 * a * x[i];
            slope += turn > 0 ? 1 / turn : 0.0;
        }
        offset += slope > 0 ? sum / slope : 0.0;
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = undo_square(period[i], a, offset);
    }
    return x;
}

// The estimate's own grid: the sample phases of each bit taken `step` at a time,
// `rate` of these runs per bit.
struct phase_grid {
    std::int64_t step = 1;
    std::int64_t rate = 1;
};

// Samples per bit the estimate needs at least: the squared read-back's band and
// its first alias stay apart.
constexpr std::int64_t estimate_rate = 4;

// The coarsest grid of at least `estimate_rate` runs of phases per bit that the
// period's own phases make evenly. Each phase of the correlation comes from that
// phase of the period alone, so on fewer phases the estimate costs as many times less.
phase_grid grid_for(std::int64_t rate)
{
    for (std::int64_t step = rate / estimate_rate; step > 1; --step) {
        if (rate % step == 0) {
            return {step, rate / step};
        }
    }
    return {1, rate};
}

// The mean of each run of the grid's phases of `values`, squared first if asked:
// run q of bit k at k * grid.rate + q. The mean, not one phase of each run, keeps
// all the samples' averaging of the noise; the runs lie well within a cycle of
// the band the estimate reads, which they pass nearly whole.
std::vector<double> run_means(std::span<const double> values, phase_grid grid, bool squared)
{
    const auto step = static_cast<std::size_t>(grid.step);
    std::vector<double> out(values.size() / step);
    for (std::size_t i = 0; i < out.size(); ++i) {
        double sum = 0;
        for (std::size_t j = i * step; j < (i + 1) * step; ++j) {
            sum += squared ? values[j] * values[j] : values[j];
        }
        out[i] = sum / static_cast<double>(step);
    }
    return out;
}

// Marks the samples, on the grid, of the correlation within `clear_bits` of a place
// the pattern's transitions land or within the segment from the main response at `main`.
std::vector<char> busy_samples(const correlation& corr, phase_grid grid, std::int64_t main)
{
    std::vector<char> busy(static_cast<std::size_t>(corr.length * grid.rate), 0);
    const std::int64_t rate = grid.rate;
    mark_round(busy, main - corr.segment * rate, main + (corr.segment + 1) * rate);
    for (const transition_class& group : corr.classes) {
        for (const auto* shifts : {&group.plain, &group.erased}) {
            for (const weight_at& w : *shifts) {
                mark_round(busy, main + (w.offset - clear_bits) * rate,
                           main + (w.offset + clear_bits + 1) * rate);
            }
        }
    }
    return busy;
}

// Sums over the quiet samples of the period's correlation l and its square's s:
// all that a least-squares step in A needs.
struct quiet_sums {
    double count = 0;
    double cross = 0;   // of (l - its mean)(s - its mean)
    double power = 0;   // of (s - its mean)^2
    double linear = 0;  // of (l - its mean)^2
};

// The sums of `linear` and `square` over the samples `busy` leaves, both band-limited
// first: the squared read-back of a pulse 1.5 bit cells wide or wider holds nearly
// all it has below one cycle per bit, and above there is only noise.
quiet_sums sum_quiet(std::vector<double> linear, std::vector<double> square,
                     const std::vector<char>& busy, std::int64_t rate)
{
    band_limit(linear, &square, rate, square_band);
    // A step's bump has an area, which the correlation's per-phase means spread
    // as a level over the whole period: a level says nothing of A. The levels are
    // taken off before the products are summed, which keeps their digits.
    quiet_sums sums;
    double level_l = 0;
    double level_s = 0;
    for (std::size_t j = 0; j < linear.size(); ++j) {
        if (busy[j] == 0) {
            sums.count += 1;
            level_l += linear[j];
            level_s += square[j];
        }
    }
    level_l /= sums.count;
    level_s /= sums.count;
    for (std::size_t j = 0; j < linear.size(); ++j) {
        if (busy[j] == 0) {
            const double l = linear[j] - level_l;
            const double s = square[j] - level_s;
            sums.cross += l * s;
            sums.power += s * s;
            sums.linear += l * l;
        }
    }
    return sums;
}

// One pass's least-squares step in A, from the sums over the quiet samples.
struct asymmetry_step {
    double step = 0;
    double uncertainty = 0;
    bool found = false;  // false: the square's correlation holds nothing to scale
};

asymmetry_step regress(const quiet_sums& sums, std::int64_t rate)
{
    if (sums.power <= 0) {
        return {};
    }
    const double step = sums.cross / sums.power;
    // What the step leaves of the linear correlation: never below zero but for rounding.
    const double left = std::max(0.0, sums.linear - step * sums.cross);
    // Band-limited, the quiet samples' noise is only this share of them independent.
    const double independent = std::min(1.0, 2 * square_band / static_cast<double>(rate));
    return {step, std::sqrt(left / sums.count / sums.power / independent), true};
}

}  // namespace

head_reading undo_asymmetry(std::span<const double> period, const correlation& corr,
                            std::span<const std::int32_t> bits, std::int32_t order,
                            recording_medium medium, std::vector<double>& undone)
{
    const auto main = std::max_element(corr.values.begin(), corr.values.end(),
                                       [](double a, double b) { return std::abs(a) < std::abs(b); })
                      - corr.values.begin();
    const phase_grid grid = grid_for(corr.rate);
    const std::vector<char> busy = busy_samples(corr, grid, main / grid.step);
    const auto quiet = std::count(busy.begin(), busy.end(), char{0});
    head_reading head;
    // On a perpendicular medium the squared step's echo has the slope's shape, as
    // a shift's has, and the estimate from elsewhere in the period does not stand
    // up to noise: there the asymmetry is not measured.
    if (medium == recording_medium::perpendicular || quiet < min_quiet_bits * grid.rate) {
        head.measured = false;
        return head;
    }
    const double peak = std::abs(corr.values[static_cast<std::size_t>(main)]);
    const auto rate = static_cast<std::int32_t>(grid.rate);
    std::span<const double> current = period;
    for (int pass = 0; pass < asymmetry_passes; ++pass) {
        // The first pass has the period's correlation already.
        const asymmetry_step found = regress(
            sum_quiet(pass == 0 ? run_means(corr.values, grid, false)
                                : correlate(bits, order, run_means(current, grid, false), rate),
                      correlate(bits, order, run_means(current, grid, true), rate), busy,
                      grid.rate),
            grid.rate);
        if (!found.found) {
            head.measured = pass > 0;
            break;
        }
        head.uncertainty = found.uncertainty;
        // A step within the noise would only wander.
        if (std::abs(found.step) * peak < settled
            || (pass > 0 && std::abs(found.step) < head.uncertainty)) {
            break;
        }
        head.asymmetry += found.step;
        // A first estimate within the noise is not undone, so there is nothing to refine.
        if (pass == 0 && std::abs(head.asymmetry) <= significant * head.uncertainty) {
            break;
        }
        undone = undo(period, head.asymmetry);
        current = undone;
    }
    // An estimate within the noise is given, but not undone: undoing it would only
    // move the shifts by as much.
    head.undone = std::abs(head.asymmetry) > significant * head.uncertainty;
    if (!head.undone) {
        undone.clear();
    }
    return head;
}

}  // namespace keldran::echo
