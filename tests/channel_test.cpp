// The simulated read-back against the channel model summed term by term, and against
// the transcription the measurement's tests capture with.
#include "channel.h"
#include "model_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
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
    recording_medium medium = recording_medium::longitudinal;
    double partial_erasure = 0;
    double asymmetry = 0;
};

constexpr long reach = 1000;

// The perpendicular transition response: the step whose slope is the pulse of this width.
double step(const model_case& c, double t)
{
    if (c.pulse == pulse_shape::gaussian) {
        return std::erf(2 * std::sqrt(std::numbers::ln2) * t / c.pw50);
    }
    return 2 / std::numbers::pi * std::atan(2 * t / c.pw50);
}

// y(t) = R(x), R(x) = x + A x^2, x = sum over k of b_k (1 - E n_k) h(t - k - d_k), with the
// transitions of `reach` bits either side. A step's tails fall too slowly to sum it so:
// instead cell k holds a_k between its two edges k + d_k and k + 1 + d_k+1, and the cells
// beyond the reach are taken at the field's mean.
double model_sample(const model_case& c, const std::vector<std::int32_t>& bits, double t)
{
    const auto length = static_cast<long>(bits.size());
    const auto level = [&](long k) {
        return bits[static_cast<std::size_t>(((k % length) + length) % length)] != 0 ? 1 : -1;
    };
    const auto polarity = [&](long k) { return (level(k) - level(k - 1)) / 2; };
    const auto shift = [&](long k) {
        return c.hts * polarity(k) - (level(k - 2) != level(k - 1) ? c.nlts : 0.0);
    };
    const auto centre = static_cast<long>(std::floor(t));
    double x = 0;
    if (c.medium == recording_medium::perpendicular) {
        const auto edge = [&](long k) { return static_cast<double>(k) + shift(k); };
        // The field's mean: each cell's level times its width.
        double mean = 0;
        for (long k = 0; k < length; ++k) {
            mean += level(k) * (edge(k + 1) - edge(k)) / static_cast<double>(length);
        }
        const long first = centre - reach;
        const long last = centre + reach;
        x = mean
            * (1
               - (step(c, t - static_cast<double>(first))
                  - step(c, t - static_cast<double>(last + 1)))
                     / 2);
        for (long k = first; k <= last; ++k) {
            x += level(k) * (step(c, t - edge(k)) - step(c, t - edge(k + 1))) / 2;
        }
    } else {
        for (long k = centre - reach; k <= centre + reach; ++k) {
            const bool beside = level(k - 2) != level(k - 1) || level(k) != level(k + 1);
            const double erased = beside ? 1 - c.partial_erasure : 1;
            x += polarity(k) * erased
                 * transition_response(c.pulse, c.pw50, t - static_cast<double>(k) - shift(k));
        }
    }
    return x + c.asymmetry * x * x;
}

// The same capture by the transcription the measurement's tests use.
std::vector<float> transcribed_capture(const model_case& c)
{
    keldran_tests::capture_case tc{
        c.poly,  c.pw50, c.pulse == pulse_shape::gaussian, c.samples_per_bit, c.hts, c.nlts,
        c.start, 1};
    tc.perpendicular = c.medium == recording_medium::perpendicular;
    tc.partial_erasure = c.partial_erasure;
    tc.asymmetry = c.asymmetry;
    return keldran_tests::capture(tc);
}

class Simulation : public testing::TestWithParam<model_case> {};

TEST_P(Simulation, FollowsTheChannelModelSampleBySample)
{
    const model_case& c = GetParam();
    const polynomial poly = *parse_polynomial(c.poly).poly;
    const channel_model model{c.pw50,   c.pulse,           c.hts,      c.nlts,
                              c.medium, c.partial_erasure, c.asymmetry};
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
    const std::vector<float> transcribed = transcribed_capture(c);
    ASSERT_EQ(transcribed.size(), expected);
    for (std::size_t j = 0; j < samples.size(); j += 7) {
        const double t = c.start + static_cast<double>(j) / c.samples_per_bit;
        ASSERT_NEAR(samples[j], model_sample(c, bits, t), 1e-4) << "sample " << j;
        ASSERT_NEAR(transcribed[j], samples[j], 1e-4) << "sample " << j;
    }
}

// The rates of 0.1 sample per bit are summed directly, the others synthesised from the spectrum.
constexpr auto perpendicular = recording_medium::perpendicular;
constexpr auto longitudinal = recording_medium::longitudinal;
INSTANTIATE_TEST_SUITE_P(
    Shapes, Simulation,
    testing::Values(model_case{"x^7 + x^3 + 1", pulse_shape::lorentzian, 2.5, 8, 0, 0.1, 0.2},
                    model_case{"x^5 + x^2 + 1", pulse_shape::gaussian, 1.5, 5.3, 17.25, 0.15, 0},
                    model_case{"x^6 + x^1 + 1", pulse_shape::lorentzian, 3, 0.1, -4.5, 0, 0.3},
                    model_case{"x^7 + x^3 + 1", pulse_shape::lorentzian, 2.5, 8, 3.3, 0.1, 0.2,
                               perpendicular},
                    model_case{"x^5 + x^2 + 1", pulse_shape::gaussian, 1.5, 5.3, 17.25, 0.15, 0.1,
                               perpendicular, 0, 0.2},
                    model_case{"x^8 + x^4 + x^3 + x^2 + 1", pulse_shape::lorentzian, 3, 0.1, -4.5,
                               0.1, 0.2, perpendicular, 0, -0.1},
                    model_case{"x^7 + x^3 + 1", pulse_shape::gaussian, 2, 3.7, 5.5, 0.05, 0.25,
                               longitudinal, 0.3, -0.3},
                    model_case{"x^8 + x^4 + x^3 + x^2 + 1", pulse_shape::lorentzian, 2, 0.1, 7.25,
                               0.1, 0.2, longitudinal, 0.5, 0.2}));

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
