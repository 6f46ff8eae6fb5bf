// Ranking the polynomials of an order: the echoes choose calls separable are the
// ones measure tells apart in a capture, and an echo without its own combination is absent.
#include "choose.h"
#include "model_capture.h"
#include "summary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace keldran::echo;

struct pulse_case {
    const char* name;
    std::int32_t order;
    double pw50;
    bool gaussian;
    bool perpendicular;
    std::size_t stride;  // every polynomial, or every second or third in the ranking
    bool mixed = true;   // some echoes are separable and some not
};

class ChooseAt : public testing::TestWithParam<pulse_case> {};

// Every polynomial of the order, measured from the model's own transcription at a
// rate that is not whole, with shifts and noise: each echo's verdict is choose's.
TEST_P(ChooseAt, EveryVerdictIsWhatMeasureSaysOfACapture)
{
    const pulse_case& p = GetParam();
    choice_request request{.order = p.order, .model = {}, .window = std::nullopt};
    request.model.pw50 = p.pw50;
    request.model.pulse = p.gaussian ? pulse_shape::gaussian : pulse_shape::lorentzian;
    request.model.medium =
        p.perpendicular ? recording_medium::perpendicular : recording_medium::longitudinal;
    const choice chosen = choose_polynomials(request);
    ASSERT_FALSE(chosen.ranked.empty());
    std::size_t separable = 0;
    std::size_t apart = 0;
    for (std::size_t i = 0; i < chosen.ranked.size(); i += p.stride) {
        const ranked_polynomial& r = chosen.ranked[i];
        // Echoes called separable are, with shifts up to the judged ones; the
        // others are not, with shifts as large.
        const auto measured = [&](double hts) {
            keldran_tests::capture_case c{.poly = polynomial_text(r.poly),
                                          .pw50 = p.pw50,
                                          .gaussian = p.gaussian,
                                          .samples_per_bit = 9.3,
                                          .hts = hts,
                                          .nlts = judged_shift,
                                          .start = 0.3,
                                          .polarity = 1,
                                          .periods = 3,
                                          .snr_db = 0};
            c.perpendicular = p.perpendicular;
            return keldran_tests::measure_whole(c).result;
        };
        const measurement within = measured(judged_shift / 2);
        const measurement at_limit = measured(judged_shift);
        for (const effect which : all_effects) {
            const auto e = static_cast<std::size_t>(which);
            const bool said = is_separable(r.echoes.at(e));
            const measurement& m = said ? within : at_limit;
            ASSERT_FALSE(m.error) << polynomial_text(r.poly);
            EXPECT_EQ(is_separable(m.echoes.at(e)), said)
                << polynomial_text(r.poly) << ", " << effect_key(which) << " "
                << static_cast<int>(m.echoes.at(e).verdict);
            separable += said ? 1 : 0;
            apart += 1;
        }
    }
    // Where both verdicts arise, the agreement says something of each.
    EXPECT_GT(separable, 0U);
    EXPECT_EQ(separable < apart, p.mixed);
}

INSTANTIATE_TEST_SUITE_P(
    Pulses, ChooseAt,
    testing::Values(pulse_case{"OrderSevenLorentzian", 7, 2.5, false, false, 1},
                    pulse_case{"OrderSevenWideGaussian", 7, 4.0, true, false, 1},
                    pulse_case{"OrderSevenNarrowestGaussian", 7, 0.5, true, false, 3, false},
                    pulse_case{"OrderSevenPerpendicular", 7, 2.5, false, true, 3}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Choose, LeavesOrderThreesSecondAdjacentEchoOutAsAbsent)
{
    const choice chosen = choose_polynomials({.order = 3, .model = {}, .window = std::nullopt});
    ASSERT_EQ(chosen.ranked.size(), 2U);
    for (const ranked_polynomial& r : chosen.ranked) {
        const bool rule_itself = polynomial_text(r.poly) == "x^3 + x^2 + 1";
        EXPECT_EQ(r.absent, (std::array<bool, effect_count>{false, false, rule_itself, false}));
        // The main response and the echoes present, two at a time.
        EXPECT_EQ(r.distances.size(), rule_itself ? 6U : 10U);
    }
}

}  // namespace
