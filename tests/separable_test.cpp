// The rules that decide whether an echo can be measured apart, each on both
// sides of its limit.
#include "internal/fit_internal.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace keldran::echo;

std::array<echo_result, effect_count> four_echoes()
{
    std::array<echo_result, effect_count> echoes;
    for (const effect which : all_effects) {
        echoes.at(static_cast<std::size_t>(which)).which = which;
    }
    return echoes;
}

// The NLTS echo 10 bits after the main response's transition, 9.5 bits from its
// centre; the others far away from it and from each other.
const echo_offsets offsets{-40, 10, 50, -30};

separation nlts_verdict(double main_reach, double echo_reach, double length = 127)
{
    std::array<echo_result, effect_count> echoes = four_echoes();
    decide_separable(echoes, offsets, {main_reach, echo_reach}, length);
    return echoes[1].verdict;
}

TEST(Separable, AnEchoJustBeyondTheMainResponsesReachIsSeparable)
{
    EXPECT_EQ(nlts_verdict(5.0, 4.49), separation::separable);
    EXPECT_EQ(nlts_verdict(5.0, 4.51), separation::near_main_response);
}

TEST(Separable, TwoEchoesWhoseReachesOverlapAreNeither)
{
    // HTS at -40 (centre -39.5) and interaction at -30: 9.5 bits apart, the HTS
    // echo reaching half a bit further.
    std::array<echo_result, effect_count> echoes = four_echoes();
    decide_separable(echoes, offsets, {1.0, 4.49}, 127);
    EXPECT_EQ(echoes[0].verdict, separation::separable);
    echoes = four_echoes();
    decide_separable(echoes, offsets, {1.0, 4.51}, 127);
    EXPECT_EQ(echoes[0].verdict, separation::near_echo);
    EXPECT_EQ(echoes[0].near, effect::interaction);
    EXPECT_EQ(echoes[3].verdict, separation::near_echo);
    EXPECT_EQ(echoes[3].near, effect::hts);
}

TEST(Separable, OnlyPeriodsOfOrderSevenAndUpLeaveRoom)
{
    EXPECT_EQ(nlts_verdict(1.0, 1.0, 127), separation::separable);
    EXPECT_EQ(nlts_verdict(1.0, 1.0, 63), separation::short_period);
}

TEST(Separable, AnEchoInsideTheSegmentGetsAHoleOnlyWhereOneClearsTheMainResponse)
{
    // NLTS 3 bits from the main transition: every hole's flank would reach into
    // the main response. Interaction 30 bits on: a hole of 5 bits each side.
    std::array<echo_result, effect_count> echoes = four_echoes();
    const std::vector<hole> holes = echo_holes(echoes, {-40, 3, 50, 30}, {5.0, 1.0}, 40);
    EXPECT_EQ(echoes[1].verdict, separation::near_main_response);
    EXPECT_EQ(echoes[3].verdict, separation::separable);
    EXPECT_TRUE(std::any_of(holes.begin(), holes.end(),
                            [](const hole& h) { return h.from == 25 && h.to == 36; }));
    EXPECT_EQ(holes.size(), 3U);
}

TEST(Separable, AShiftIsWithheldWhenTheFitLeavesMoreThanATenthUnexplained)
{
    echo_result explained;
    judge_fit(explained, 0.099, 0.2);
    EXPECT_EQ(explained.verdict, separation::separable);
    EXPECT_EQ(explained.shift, 0.2);
    echo_result unexplained;
    judge_fit(unexplained, 0.101, 0.2);
    EXPECT_EQ(unexplained.verdict, separation::misfit);
    EXPECT_EQ(unexplained.misfit, 0.101);
    EXPECT_FALSE(unexplained.shift.has_value());
}

}  // namespace
