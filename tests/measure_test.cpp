// Measuring captures made by a plain transcription of the channel model, kept
// apart from the program's own simulation: the fitted HTS and NLTS shifts
// must come back within a hundredth of a bit cell of the truth.
#include "internal/fit_internal.h"
#include "measure.h"
#include "model_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace keldran::echo;

using keldran_tests::capture_case;
using keldran_tests::shift_tolerance;

measurement measure(const capture_case& c)
{
    const capture_measurement got = keldran_tests::measure_whole(c);
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

// Three periods at 9.3 samples per bit start 0.3 and 0.4 of a sample off a sample,
// and the last one's margin lies beyond the capture: folded as they are, they would
// leave an echo of 0.035 where there is none.
TEST(Measure, FoldsPeriodsOffTheSamplesWithoutAnEchoOfTheirOwn)
{
    const measurement m = measure({"x^9 + x^4 + 1", 1.5, true, 9.3, 0, 0, 2865.7141, -1, 3});
    for (const echo_result& e : m.echoes) {
        EXPECT_LT(std::abs(e.size), 1e-4);
    }
    EXPECT_NEAR(m.pw50, 1.5, 1e-3);
}

// Captures beyond the textbook channel: the medium found, each shift, partial
// erasure and the head's asymmetry within tolerance, and PW50 within 2 %.
class Beyond : public testing::TestWithParam<capture_case> {};

TEST_P(Beyond, FindsTheMediumAndFitsEveryFigureWithinTolerance)
{
    const capture_case& c = GetParam();
    const measurement m = measure(c);
    ASSERT_FALSE(m.error);
    EXPECT_EQ(m.medium,
              c.perpendicular ? recording_medium::perpendicular : recording_medium::longitudinal);
    EXPECT_NEAR(m.pw50, c.pw50, 0.02 * c.pw50);
    const echo_result& hts = echo_of(m, effect::hts);
    const echo_result& nlts = echo_of(m, effect::nlts);
    ASSERT_TRUE(hts.shift && nlts.shift);
    EXPECT_NEAR(*hts.shift, c.hts, c.tolerance);
    EXPECT_NEAR(*nlts.shift, c.nlts, c.tolerance);
    // Periods of orders 7 and 8 are too short to tell the asymmetry from the
    // shifts, and on a perpendicular medium it is not measured.
    const bool room = parse_polynomial(c.poly).poly->order > 8 && !c.perpendicular;
    EXPECT_EQ(m.asymmetry_unmeasured, !room);
    ASSERT_EQ(hts.read_asymmetry.has_value(), room);
    if (room) {
        EXPECT_NEAR(hts.read_asymmetry->value, c.asymmetry, shift_tolerance);
    }
    // Nor is partial erasure, which a perpendicular medium's model does not hold.
    ASSERT_EQ(nlts.partial_erasure.has_value(), room);
    if (nlts.partial_erasure) {
        EXPECT_NEAR(nlts.partial_erasure->value, c.partial_erasure, shift_tolerance);
    }
}

capture_case beyond(capture_case c, bool perpendicular, double erasure, double asymmetry,
                    double tolerance = shift_tolerance)
{
    c.perpendicular = perpendicular;
    c.partial_erasure = erasure;
    c.asymmetry = asymmetry;
    c.tolerance = tolerance;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Media, Beyond,
    testing::Values(beyond({"x^7 + x^3 + 1", 1.5, false, 4, 0.15, 0.3, 13.2, -1}, true, 0, 0),
                    beyond({"x^10 + x^3 + 1", 3, true, 16, 0, 0, 88.5, 1}, true, 0, 0, 0.002),
                    beyond({"x^9 + x^4 + 1", 2, false, 6, 0, 0.3, 300.05, 1}, false, 0.2, 0),
                    beyond({"x^10 + x^3 + 1", 3, true, 8, 0, 0, 7.7, -1}, false, 0.1, 0, 0.005),
                    beyond({"x^11 + x^2 + 1", 2.5, true, 9.3, 0.15, 0.3, 1500.3, 1, 3}, false, 0,
                           -0.15),
                    beyond({"x^9 + x^4 + 1", 2.5, false, 8, 0.1, 0.2, 41.5, 1}, false, 0, 0.1),
                    // What this trinomial's squared read-back adds lies close to one
                    // cycle per bit, where an average over a bit would take it away.
                    beyond({"x^11 + x^2 + 1", 1.5, true, 4, 0, 0, 3726.4688, -1}, false, 0, 0.15),
                    // At 16 samples per bit the estimate works on runs of four phases.
                    beyond({"x^10 + x^3 + 1", 2, false, 16, 0.1, 0.2, 50.5, 1}, false, 0, 0.1)));

// Over noise seeds at 20 dB, each shift's error spreads as its reported
// standard uncertainty says, within a factor of two.
TEST(Uncertainty, MatchesTheSpreadOfTheShiftsOverNoiseSeeds)
{
    constexpr int seeds = 10;
    std::array<double, 2> square_error{};
    std::array<double, 2> uncertainty{};
    for (int s = 1; s <= seeds; ++s) {
        capture_case c{"x^9 + x^4 + 1", 2.5, false, 8, 0.1, 0.2, 17.25, 1, 8};
        c.snr_db = 20;
        c.seed = static_cast<std::uint64_t>(s);
        const measurement m = measure(c);
        for (const effect which : {effect::hts, effect::nlts}) {
            const echo_result& e = echo_of(m, which);
            ASSERT_TRUE(e.shift && e.shift_uncertainty);
            const auto i = static_cast<std::size_t>(which);
            const double error = *e.shift - (which == effect::hts ? c.hts : c.nlts);
            square_error.at(i) += error * error / seeds;
            uncertainty.at(i) += *e.shift_uncertainty / seeds;
        }
    }
    for (std::size_t i = 0; i < 2; ++i) {
        const double spread = std::sqrt(square_error.at(i));
        EXPECT_GT(spread, 0.5 * uncertainty.at(i)) << i;
        EXPECT_LT(spread, 2 * uncertainty.at(i)) << i;
    }
}

TEST(Glitches, AreSetAsideAndLeaveTheFiguresAsTheyWere)
{
    capture_case c{"x^9 + x^4 + 1", 2.5, false, 8, 0.1, 0.2, 13.3, 1, 4};
    const capture_measurement clean = keldran_tests::measure_whole(c);
    c.glitch_every = 10000;
    c.glitch_size = 100;
    const capture_measurement glitched = keldran_tests::measure_whole(c);
    ASSERT_FALSE(clean.error || glitched.error);
    // 16352 samples hold glitches at 5000 and 15000.
    EXPECT_EQ(clean.folded.set_aside, 0);
    EXPECT_EQ(glitched.folded.set_aside, 2);
    for (const effect which : {effect::hts, effect::nlts}) {
        EXPECT_NEAR(*echo_of(glitched.result, which).shift, *echo_of(clean.result, which).shift,
                    1e-4);
    }
}

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

// x^7 + x^6 + 1 puts its HTS echo just within the reach of the main response
// once NLTS widens it; read between the samples, the reach is the same at
// every rate, so the verdict is too (on whole samples, 4 and 6.3 called it separable).
TEST(Measurement, AnEchoNearTheReachGetsTheSameVerdictAtEveryRate)
{
    for (const double rate : {4.0, 6.3, 9.0, 16.0}) {
        const measurement m = measure({"x^7 + x^6 + 1", 2.5, false, rate, 0.05, 0.1, 0, 1});
        ASSERT_FALSE(m.error) << rate;
        EXPECT_FALSE(is_separable(echo_of(m, effect::hts))) << rate;
        EXPECT_TRUE(is_separable(echo_of(m, effect::nlts))) << rate;
    }
}

// The four classes of transitions together are every transition's level
// change (a_k - a_(k-1)) / 2: a half at the transition's own bit, less a half
// at the bit before, and nothing anywhere else, at every order.
class Classes : public testing::TestWithParam<const char*> {};

TEST_P(Classes, TogetherMakeEachTransitionsLevelChange)
{
    const polynomial poly = *parse_polynomial(GetParam()).poly;
    const class_set classes = transition_classes(pattern_bits(poly), poly.order);
    std::map<std::int64_t, double> sum;
    for (const transition_class& group : classes) {
        for (const weight_at& w : group.plain) {
            sum[w.offset] += w.weight;
        }
    }
    std::erase_if(sum, [](const auto& entry) { return entry.second == 0; });
    EXPECT_EQ(sum, (std::map<std::int64_t, double>{{0, 0.5}, {1, -0.5}}));
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, Classes,
                         testing::Values("x^3 + x^1 + 1", "x^4 + x^3 + 1", "x^5 + x^2 + 1",
                                         "x^6 + x^1 + 1", "x^7 + x^3 + 1",
                                         "x^8 + x^4 + x^3 + x^2 + 1", "x^9 + x^4 + 1",
                                         "x^10 + x^3 + 1", "x^11 + x^2 + 1",
                                         "x^12 + x^6 + x^4 + x^1 + 1"));

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
