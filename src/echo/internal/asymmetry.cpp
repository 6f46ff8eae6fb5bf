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
// A pass that moves A by less than this, relative to the correlation's peak, ends the estimate.
constexpr double settled = 1e-5;
constexpr int offset_steps = 4;
// Bits of the period clear of every response that the estimate needs: periods
// of 127 and 255 bits leave too few to tell A from the tails of the echoes.
constexpr std::int64_t min_quiet_bits = 128;
// Bits each side of every place the transitions land that their responses' tails
// still reach, at the level that would pass for an asymmetry of a few thousandths.
constexpr std::int64_t clear_bits = 12;
// Cycles per bit below which the squared read-back of a pulse 1.5 bit cells wide
// or wider holds nearly all it has.
constexpr double square_band = 1.0;
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

// Samples of the correlation farther than `clear_bits` from every place the
// pattern's transitions land and than the segment from the main response.
std::vector<std::size_t> quiet_samples(const correlation& corr, std::int64_t main)
{
    const auto n = static_cast<std::int64_t>(corr.values.size());
    std::vector<bool> busy(corr.values.size(), false);
    const auto mark = [&](std::int64_t from, std::int64_t to) {
        for (std::int64_t s = from; s < to; ++s) {
            busy[static_cast<std::size_t>((((main + s) % n) + n) % n)] = true;
        }
    };
    mark(-corr.segment * corr.rate, (corr.segment + 1) * corr.rate);
    for (const transition_class& group : corr.classes) {
        for (const auto* shifts : {&group.plain, &group.erased}) {
            for (const weight_at& w : *shifts) {
                mark((w.offset - clear_bits) * corr.rate, (w.offset + clear_bits + 1) * corr.rate);
            }
        }
    }
    std::vector<std::size_t> quiet;
    for (std::size_t j = 0; j < busy.size(); ++j) {
        if (!busy[j]) {
            quiet.push_back(j);
        }
    }
    return quiet;
}

double mean_over(const std::vector<double>& v, const std::vector<std::size_t>& at)
{
    double sum = 0;
    for (const std::size_t j : at) {
        sum += v[j];
    }
    return sum / static_cast<double>(at.size());
}

}  // namespace

head_reading undo_asymmetry(std::vector<double>& period, const correlation& corr,
                            std::span<const std::int32_t> bits, std::int32_t order,
                            recording_medium medium)
{
    const auto main = std::max_element(corr.values.begin(), corr.values.end(),
                                       [](double a, double b) { return std::abs(a) < std::abs(b); })
                      - corr.values.begin();
    const std::vector<std::size_t> quiet = quiet_samples(corr, main);
    head_reading head;
    // On a perpendicular medium the squared step's echo has the slope's shape, as
    // a shift's has, and the estimate from elsewhere in the period does not stand
    // up to noise: there the asymmetry is not measured.
    if (medium == recording_medium::perpendicular
        || static_cast<std::int64_t>(quiet.size()) < min_quiet_bits * corr.rate) {
        head.measured = false;
        return head;
    }
    const std::vector<double> original = period;
    const double peak = std::abs(corr.values[static_cast<std::size_t>(main)]);
    const auto rate = static_cast<std::int32_t>(corr.rate);
    for (int pass = 0; pass < asymmetry_passes; ++pass) {
        std::vector<double> squared(period.size());
        std::transform(period.begin(), period.end(), squared.begin(),
                       [](double x) { return x * x; });
        std::vector<double> linear = pass == 0 ? corr.values : correlate(bits, order, period, rate);
        std::vector<double> square = correlate(bits, order, squared, rate);
        // Above the band of the squared read-back there is only noise.
        band_limit(linear, corr.rate, square_band);
        band_limit(square, corr.rate, square_band);
        // A step's bump has an area, which the correlation's per-phase means
        // spread as a level over the whole period: a level says nothing of A.
        const double level_linear = mean_over(linear, quiet);
        const double level_square = mean_over(square, quiet);
        double cross = 0;
        double power = 0;
        for (const std::size_t j : quiet) {
            cross += (linear[j] - level_linear) * (square[j] - level_square);
            power += (square[j] - level_square) * (square[j] - level_square);
        }
        if (power <= 0) {
            head.measured = pass > 0;
            break;
        }
        const double step = cross / power;
        double left = 0;
        for (const std::size_t j : quiet) {
            const double r = linear[j] - level_linear - step * (square[j] - level_square);
            left += r * r;
        }
        // Band-limited, the quiet samples' noise is only this share of them independent.
        const double independent = std::min(1.0, 2 * square_band / static_cast<double>(rate));
        head.uncertainty =
            std::sqrt(left / static_cast<double>(quiet.size()) / power / independent);
        // A step within the noise would only wander.
        if (std::abs(step) * peak < settled || (pass > 0 && std::abs(step) < head.uncertainty)) {
            break;
        }
        head.asymmetry += step;
        period = undo(original, head.asymmetry);
    }
    // An estimate within the noise is given, but not undone: undoing it would only
    // move the shifts by as much.
    head.undone = std::abs(head.asymmetry) > significant * head.uncertainty;
    if (!head.undone) {
        period = original;
    }
    return head;
}

}  // namespace keldran::echo
