// A plain transcription of the channel model, kept apart from the program's own
// simulation, and its capture measured through the library's entry point: the
// harness of measure_test and of the accuracy grid under bench/.
#ifndef KELDRAN_TESTS_MODEL_CAPTURE_H
#define KELDRAN_TESTS_MODEL_CAPTURE_H

#include "measure.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace keldran_tests {

using keldran::echo::capture_measurement;

// A shift must come back within this many bit cells of the truth, unless said.
inline constexpr double shift_tolerance = 0.01;

// The noise is the same on every run.
inline constexpr std::uint64_t noise_seed = 7;

struct capture_case {
    std::string poly;
    double pw50;
    bool gaussian;
    double samples_per_bit;
    double hts;
    double nlts;
    double start;
    double polarity;
    double periods = 2;
    double drift = 0;   // relative change of the bit period from first to last sample
    double snr_db = 0;  // 0: no noise
    double tolerance = shift_tolerance;  // on each shift, in bit cells
    bool perpendicular = false;          // a transition reads as a step from -1 to +1
    double partial_erasure = 0;          // a transition beside another reads 1 - E as large
    double asymmetry = 0;                // the head reads x + A x^2 of the field x
    long glitch_every = 0;               // 0: no glitch; else one in so many samples is replaced
    double glitch_size = 0;              // by this many times the signal's peak, signs alternating
    std::uint64_t seed = noise_seed;     // of the noise
};

// Transitions summed each side of a sample; the tails beyond change no sample by 1e-4.
inline constexpr long reach = 200;

inline double response(const capture_case& c, double t)
{
    if (c.gaussian) {
        return std::exp(-4 * std::numbers::ln2 * t * t / (c.pw50 * c.pw50));
    }
    const double x = 2 * t / c.pw50;
    return 1 / (1 + x * x);
}

// The perpendicular response: the step from -1 to +1 whose slope is the pulse.
inline double step(const capture_case& c, double t)
{
    if (c.gaussian) {
        return std::erf(2 * std::sqrt(std::numbers::ln2) * t / c.pw50);
    }
    return 2 / std::numbers::pi * std::atan(2 * t / c.pw50);
}

// The written levels a_k = +-1, wrapping around the period, and their transitions.
struct written_pattern {
    std::vector<std::int32_t> bits;

    [[nodiscard]] int level(long k) const
    {
        const auto length = static_cast<long>(bits.size());
        return bits[static_cast<std::size_t>(((k % length) + length) % length)] != 0 ? 1 : -1;
    }
    [[nodiscard]] int polarity(long k) const { return (level(k) - level(k - 1)) / 2; }
    [[nodiscard]] double shift(const capture_case& c, long k) const
    {
        return c.hts * polarity(k) - (level(k - 2) != level(k - 1) ? c.nlts : 0.0);
    }
    [[nodiscard]] double erasure(const capture_case& c, long k) const
    {
        const bool beside = level(k - 2) != level(k - 1) || level(k) != level(k + 1);
        return beside ? 1 - c.partial_erasure : 1;
    }
    // Where the transition before cell k lies; an edge without one cancels between
    // the cells either side whatever its shift.
    [[nodiscard]] double edge(const capture_case& c, long k) const
    {
        return static_cast<double>(k) + shift(c, k);
    }
    // The perpendicular field's mean: each cell's level times its width.
    [[nodiscard]] double mean(const capture_case& c) const
    {
        const auto length = static_cast<long>(bits.size());
        double sum = 0;
        for (long k = 0; k < length; ++k) {
            sum += level(k) * (edge(c, k + 1) - edge(c, k));
        }
        return sum / static_cast<double>(length);
    }
};

// sum over k of b_k (1 - E n_k) h(t - k - d_k), over the transitions within reach.
inline double pulse_field(const capture_case& c, const written_pattern& w, double t)
{
    const auto centre = static_cast<long>(std::floor(t));
    double sum = 0;
    for (long k = centre - reach; k <= centre + reach; ++k) {
        if (w.polarity(k) != 0) {
            sum += w.polarity(k) * w.erasure(c, k)
                   * response(c, t - static_cast<double>(k) - w.shift(c, k));
        }
    }
    return sum;
}

// Cells summed each side of a sample of the perpendicular medium; the cells beyond,
// taken at the field's mean, change no sample by 1e-5.
inline constexpr long step_reach = 1000;

// The same sum of steps. Their tails fall as slowly as 1/t, so it is summed as cells
// instead: cell k holds a_k between its edges k + d_k and k + 1 + d_k+1, and the cells
// beyond the reach are taken at the field's mean.
inline double step_field(const capture_case& c, const written_pattern& w, double mean, double t)
{
    const auto first = static_cast<long>(std::floor(t)) - step_reach;
    const auto last = static_cast<long>(std::floor(t)) + step_reach;
    const double beyond =
        1
        - (step(c, t - static_cast<double>(first)) - step(c, t - static_cast<double>(last + 1)))
              / 2;
    double sum = mean * beyond;
    double before = step(c, t - w.edge(c, first));
    for (long k = first; k <= last; ++k) {
        const double after = step(c, t - w.edge(c, k + 1));
        sum += w.level(k) * (before - after) / 2;
        before = after;
    }
    return sum;
}

// Every glitch_every-th sample from the middle of the first stretch becomes a
// glitch of glitch_size times the peak, up and down in turn.
inline void add_glitches(const capture_case& c, double peak, std::vector<float>& y)
{
    if (c.glitch_every <= 0) {
        return;
    }
    double sign = 1;
    for (auto j = static_cast<std::size_t>(c.glitch_every / 2); j < y.size();
         j += static_cast<std::size_t>(c.glitch_every)) {
        y[j] = static_cast<float>(sign * c.glitch_size * peak);
        sign = -sign;
    }
}

// y(t) = polarity R(x(t)) + noise, R(x) = x + A x^2, x = sum over k of b_k (1 - E n_k)
// h(t - k - d_k), each sample summed directly; then the glitches.
inline std::vector<float> capture(const capture_case& c)
{
    const written_pattern w{
        keldran::echo::pattern_bits(*keldran::echo::parse_polynomial(c.poly).poly)};
    const auto length = static_cast<long>(w.bits.size());
    const auto count =
        static_cast<long>(std::lround(c.periods * static_cast<double>(length) * c.samples_per_bit));
    std::vector<float> y(static_cast<std::size_t>(count));
    std::mt19937_64 random(c.seed);
    std::normal_distribution<double> noise;
    const double mean = w.mean(c);
    double power = 0;
    double peak = 0;
    for (long j = 0; j < count; ++j) {
        const double progress = static_cast<double>(j) / static_cast<double>(count);
        const double t =
            c.start + static_cast<double>(j) / c.samples_per_bit * (1 + c.drift * progress / 2);
        const double x = c.perpendicular ? step_field(c, w, mean, t) : pulse_field(c, w, t);
        const double read = c.polarity * (x + c.asymmetry * x * x);
        y[static_cast<std::size_t>(j)] = static_cast<float>(read);
        power += read * read / static_cast<double>(count);
        peak = std::max(peak, std::abs(read));
    }
    if (c.snr_db > 0) {
        const double sigma = std::sqrt(power / std::pow(10.0, c.snr_db / 10));
        for (float& v : y) {
            v += static_cast<float>(sigma * noise(random));
        }
    }
    add_glitches(c, peak, y);
    return y;
}

inline capture_measurement measure_whole(const capture_case& c)
{
    const keldran::echo::polynomial poly = *keldran::echo::parse_polynomial(c.poly).poly;
    const std::vector<float> samples = capture(c);
    // Handed over as the little-endian float32 bytes a file would hold.
    std::span<const char> bytes(reinterpret_cast<const char*>(samples.data()),  // NOLINT
                                samples.size() * sizeof(float));
    return keldran::echo::measure_capture(
        poly, {keldran::echo::capture_format::f32}, {.samples_per_bit = c.samples_per_bit},
        [&](std::span<char> buffer) {
            const std::size_t size = std::min(buffer.size(), bytes.size());
            std::copy_n(bytes.begin(), size, buffer.begin());
            bytes = bytes.subspan(size);
            return keldran::echo::byte_read{size, false, {}};
        });
}

}  // namespace keldran_tests

#endif
