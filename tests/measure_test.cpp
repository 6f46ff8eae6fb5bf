// Measuring captures made by a plain transcription of the channel model, kept
// apart from the program's own simulation: the fitted HTS and NLTS shifts
// must come back within a hundredth of a bit cell of the truth.
#include "internal/fit_internal.h"
#include "measure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace keldran::echo;

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
    double drift = 0;         // relative change of the bit period from first to last sample
    double snr_db = 0;        // 0: no noise
    double tolerance = 0.01;  // on each shift, in bit cells
};

// Transitions summed each side of a sample; the tails beyond change no sample by 1e-4.
constexpr long reach = 200;

double response(const capture_case& c, double t)
{
    if (c.gaussian) {
        return std::exp(-4 * std::numbers::ln2 * t * t / (c.pw50 * c.pw50));
    }
    const double x = 2 * t / c.pw50;
    return 1 / (1 + x * x);
}

// y(t) = sum over k of b_k h(t - k - d_k), each sample summed directly.
std::vector<float> capture(const capture_case& c)
{
    const std::vector<std::int32_t> bits = pattern_bits(*parse_polynomial(c.poly).poly);
    const auto length = static_cast<long>(bits.size());
    const auto level = [&](long k) {
        return bits[static_cast<std::size_t>(((k % length) + length) % length)] != 0 ? 1 : -1;
    };
    const auto count =
        static_cast<long>(std::lround(c.periods * static_cast<double>(length) * c.samples_per_bit));
    std::vector<float> y(static_cast<std::size_t>(count));
    std::mt19937_64 random(7);
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

measurement measure(const capture_case& c)
{
    const polynomial poly = *parse_polynomial(c.poly).poly;
    const std::vector<float> samples = capture(c);
    // Handed over as the little-endian float32 bytes a file would hold.
    std::span<const char> bytes(reinterpret_cast<const char*>(samples.data()),  // NOLINT
                                samples.size() * sizeof(float));
    const capture_measurement got =
        measure_capture(poly, capture_format::f32, c.samples_per_bit, [&](std::span<char> buffer) {
            const std::size_t size = std::min(buffer.size(), bytes.size());
            std::copy_n(bytes.begin(), size, buffer.begin());
            bytes = bytes.subspan(size);
            return byte_read{size, false, {}};
        });
    EXPECT_EQ(error_text(got.error), "");
    return got.result;
}

class Accuracy : public testing::TestWithParam<capture_case> {};

TEST_P(Accuracy, FitsBothShiftsWithinTolerance)
{
    const capture_case& c = GetParam();
    const measurement m = measure(c);
    ASSERT_FALSE(m.error);
    ASSERT_TRUE(echo_of(m, effect::hts).shift.has_value());
    ASSERT_TRUE(echo_of(m, effect::nlts).shift.has_value());
    EXPECT_NEAR(*echo_of(m, effect::hts).shift, c.hts, c.tolerance);
    EXPECT_NEAR(*echo_of(m, effect::nlts).shift, c.nlts, c.tolerance);
}

// Orders 7 to 12, both pulse shapes, PW50 1.5 to 3, 4 to 16 samples per bit,
// starts anywhere, either polarity; the polynomials keep their echoes at least
// 8 bits from each other and from the main response.
INSTANTIATE_TEST_SUITE_P(
    NoiseFree, Accuracy,
    testing::Values(capture_case{"x^7 + x^3 + 1", 1.5, false, 4, 0.15, 0.3, 13.2, 1},
                    capture_case{"x^7 + x^3 + 1", 3, true, 16, 0.0, 0.3, 101.9, -1},
                    capture_case{"x^8 + x^4 + x^3 + x^2 + 1", 3, false, 8, 0.15, 0.0, 7.7, -1},
                    capture_case{"x^9 + x^4 + 1", 2, true, 5, 0.1, 0.2, 300.05, 1},
                    capture_case{"x^10 + x^3 + 1", 2.5, false, 12, 0.15, 0.3, 88.5, 1},
                    capture_case{"x^11 + x^2 + 1", 1.5, true, 4, 0.15, 0.3, 1500.3, -1},
                    capture_case{"x^12 + x^6 + x^4 + x^1 + 1", 3, false, 6, 0.05, 0.25, 2.25, 1}));

// A rate that is no whole number of samples per bit, a bit period drifting by
// 0.02 % across the capture, and 20 dB of noise over 8 periods.
INSTANTIATE_TEST_SUITE_P(
    Imperfect, Accuracy,
    testing::Values(
        capture_case{"x^7 + x^3 + 1", 2, false, 6.37, 0.1, 0.2, 5.5, 1, 6, 0, 0, 0.015},
        capture_case{"x^9 + x^4 + 1", 2.5, true, 7.81, 0.15, 0.3, 77.3, -1, 3, 0, 0, 0.015},
        capture_case{"x^8 + x^4 + x^3 + x^2 + 1", 2, false, 8, 0.1, 0.3, 0.4, 1, 6, 2e-4, 0, 0.015},
        capture_case{"x^7 + x^3 + 1", 2, false, 8, 0.1, 0.2, 40.0, -1, 8, 0, 20, 0.02}));

TEST(Measurement, WithNoEffectEverySizeIsSmallAndBothShiftsNearZero)
{
    const measurement m = measure({"x^9 + x^4 + 1", 3, false, 8, 0, 0, 51.3, -1});
    ASSERT_FALSE(m.error);
    for (const echo_result& echo : m.echoes) {
        EXPECT_LT(echo.size, 0.01) << static_cast<int>(echo.which);
    }
    EXPECT_NEAR(*echo_of(m, effect::hts).shift, 0.0, 0.005);
    EXPECT_NEAR(*echo_of(m, effect::nlts).shift, 0.0, 0.005);
}

TEST(Measurement, ReportsKeldransLocationsAndTheEffectsInItsOrder)
{
    const measurement m = measure({"x^7 + x^3 + 1", 2, false, 8, 0, 0.2, 0, 1});
    ASSERT_FALSE(m.error);
    EXPECT_EQ(m.echoes[0].which, effect::hts);
    EXPECT_EQ(m.echoes[1].which, effect::nlts);
    EXPECT_EQ(m.echoes[2].which, effect::second_adjacent);
    EXPECT_EQ(m.echoes[3].which, effect::interaction);
    EXPECT_EQ(m.echoes[0].location, -30.5);
    EXPECT_EQ(m.echoes[1].location, 25.5);
    EXPECT_EQ(m.echoes[2].location, 45.5);
    EXPECT_EQ(m.echoes[3].location, -60.5);
    EXPECT_GT(m.echoes[1].size, 0.05);
    EXPECT_FALSE(m.echoes[2].shift.has_value());
    EXPECT_FALSE(m.echoes[3].shift.has_value());
}

TEST(Measurement, AnEchoNextToTheMainResponseIsNotSeparableAndHasNoShift)
{
    // x^7 + x^1 + 1 puts its HTS echo 7 bits from the main response's centre,
    // within the reach of a response three bit cells wide.
    const measurement m = measure({"x^7 + x^1 + 1", 3, false, 8, 0.1, 0.2, 3, 1});
    ASSERT_FALSE(m.error);
    EXPECT_EQ(echo_of(m, effect::hts).verdict, separation::near_main_response);
    EXPECT_FALSE(echo_of(m, effect::hts).shift.has_value());
}

// A capture holds the pattern when its main response holds half the
// correlation's energy near it, at every order that is checked.
TEST(Pattern, NeedsHalfTheEnergyNearTheMainResponse)
{
    for (const std::int64_t length : {31, 127, 511, 4095}) {
        correlation corr;
        corr.length = length;
        EXPECT_DOUBLE_EQ(share_needed(corr), 0.5) << length;
    }
}

}  // namespace
