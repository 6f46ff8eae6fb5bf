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
};

// The noise is the same on every run.
inline constexpr std::uint64_t noise_seed = 7;

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

// y(t) = sum over k of b_k h(t - k - d_k), each sample summed directly.
inline std::vector<float> capture(const capture_case& c)
{
    const std::vector<std::int32_t> bits =
        keldran::echo::pattern_bits(*keldran::echo::parse_polynomial(c.poly).poly);
    const auto length = static_cast<long>(bits.size());
    const auto level = [&](long k) {
        return bits[static_cast<std::size_t>(((k % length) + length) % length)] != 0 ? 1 : -1;
    };
    const auto count =
        static_cast<long>(std::lround(c.periods * static_cast<double>(length) * c.samples_per_bit));
    std::vector<float> y(static_cast<std::size_t>(count));
    std::mt19937_64 random(noise_seed);
    std::normal_distribution<double> noise;
    double power = 0;
    for (long j = 0; j < count; ++j) {
        const double progress = static_cast<double>(j) / static_cast<double>(count);
        const double t =
            c.start + static_cast<double>(j) / c.samples_per_bit * (1 + c.drift * progress / 2);
        const auto centre = static_cast<long>(std::floor(t));
        double sum = 0;
        for (long k = centre - reach; k <= centre + reach; ++k) {
            const int b = (level(k) - level(k - 1)) / 2;
            if (b != 0) {
                const double shift = c.hts * b - (level(k - 2) != level(k - 1) ? c.nlts : 0.0);
                sum += b * response(c, t - static_cast<double>(k) - shift);
            }
        }
        y[static_cast<std::size_t>(j)] = static_cast<float>(c.polarity * sum);
        power += sum * sum / static_cast<double>(count);
    }
    if (c.snr_db > 0) {
        const double sigma = std::sqrt(power / std::pow(10.0, c.snr_db / 10));
        for (float& v : y) {
            v += static_cast<float>(sigma * noise(random));
        }
    }
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
        poly, keldran::echo::capture_format::f32, c.samples_per_bit, [&](std::span<char> buffer) {
            const std::size_t size = std::min(buffer.size(), bytes.size());
            std::copy_n(bytes.begin(), size, buffer.begin());
            bytes = bytes.subspan(size);
            return keldran::echo::byte_read{size, false, {}};
        });
}

}  // namespace keldran_tests

#endif
