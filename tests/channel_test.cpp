// The simulated read-back against the channel model summed term by term.
#include "channel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace keldran::echo;

struct model_case {
    std::string poly;
    pulse_shape pulse;
    double pw50;
    double samples_per_bit;
    double start;
    double hts;
    double nlts;
};

// y(t) = sum over k of b_k h(t - k - d_k), with the transitions of 300 bits either side.
double model_sample(const model_case& c, const std::vector<std::int32_t>& bits, double t)
{
    const auto length = static_cast<long>(bits.size());
    const auto level = [&](long k) {
        return bits[static_cast<std::size_t>(((k % length) + length) % length)] != 0 ? 1 : -1;
    };
    constexpr long reach = 300;
    double sum = 0;
    const auto centre = static_cast<long>(std::floor(t));
    for (long k = centre - reach; k <= centre + reach; ++k) {
        const int b = (level(k) - level(k - 1)) / 2;
        const double d = c.hts * b - (level(k - 2) != level(k - 1) ? c.nlts : 0.0);
        sum += b * transition_response(c.pulse, c.pw50, t - static_cast<double>(k) - d);
    }
    return sum;
}

class Simulation : public testing::TestWithParam<model_case> {};

TEST_P(Simulation, FollowsTheChannelModelSampleBySample)
{
    const model_case& c = GetParam();
    const polynomial poly = *parse_polynomial(c.poly).poly;
    const channel_model model{c.pw50, c.pulse, c.hts, c.nlts};
    const capture_plan plan{c.samples_per_bit, 2, c.start, std::nullopt, 1};
    std::vector<float> samples;
    const echo_error error = simulate_capture(poly, model, plan, [&](std::span<const float> chunk) {
        samples.insert(samples.end(), chunk.begin(), chunk.end());
        return true;
    });
    ASSERT_EQ(error_text(error), "");
    const auto expected = static_cast<std::size_t>(std::llround(
        2 * static_cast<double>(keldran::sequence_length(poly.order)) * c.samples_per_bit));
    ASSERT_EQ(samples.size(), expected);
    const std::vector<std::int32_t> bits = pattern_bits(poly);
    for (std::size_t j = 0; j < samples.size(); j += 7) {
        const double t = c.start + static_cast<double>(j) / c.samples_per_bit;
        ASSERT_NEAR(samples[j], model_sample(c, bits, t), 1e-4) << "sample " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Simulation,
    testing::Values(model_case{"x^7 + x^3 + 1", pulse_shape::lorentzian, 2.5, 8, 0, 0.1, 0.2},
                    model_case{"x^5 + x^2 + 1", pulse_shape::gaussian, 1.5, 5.3, 17.25, 0.15, 0},
                    model_case{"x^6 + x^1 + 1", pulse_shape::lorentzian, 3, 0.1, -4.5, 0, 0.3}));

TEST(Simulation, AddsNoiseAtTheRequestedRatioRepeatablyForOneSeed)
{
    const polynomial poly = *parse_polynomial("x^7 + x^3 + 1").poly;
    const auto run = [&](std::optional<double> snr, std::uint64_t seed) {
        std::vector<float> samples;
        simulate_capture(poly, {}, {8, 4, 0, snr, seed}, [&](std::span<const float> chunk) {
            samples.insert(samples.end(), chunk.begin(), chunk.end());
            return true;
        });
        return samples;
    };
    const std::vector<float> clean = run(std::nullopt, 1);
    const std::vector<float> noisy = run(20.0, 1);
    double signal = 0;
    double noise = 0;
    for (std::size_t j = 0; j < clean.size(); ++j) {
        signal += static_cast<double>(clean[j]) * clean[j];
        noise += (noisy[j] - clean[j]) * static_cast<double>(noisy[j] - clean[j]);
    }
    EXPECT_NEAR(10 * std::log10(signal / noise), 20.0, 0.3);
    EXPECT_EQ(run(20.0, 1), noisy);
    EXPECT_NE(run(20.0, 2), noisy);
}

}  // namespace
