// The table and JSON as people and programs read them: every figure in its
// number of decimals, and every reason an echo is not separable in words.
#include "summary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace keldran::echo;

// x^7 + x^3 + 1 with one echo of each kind of verdict.
measurement example()
{
    measurement m;
    m.snr_db = 61.66;
    m.echoes = {
        echo_result{effect::hts, -30.5, 0.063412, separation::separable, effect::hts, 0, 0.0502468},
        echo_result{effect::nlts, 25.5, 0.08671, separation::misfit, effect::hts, 0.237,
                    std::nullopt},
        echo_result{effect::second_adjacent, 45.5, 0.00013, separation::near_echo,
                    effect::interaction, 0, std::nullopt},
        echo_result{effect::interaction, -60.5, 0.0066, separation::near_main_response, effect::hts,
                    0, std::nullopt}};
    return m;
}

fold_result folded()
{
    fold_result f;
    f.samples_per_bit = 7.9999996;
    f.periods = 8;
    return f;
}

const polynomial seven = *parse_polynomial("x^7 + x^3 + 1").poly;

TEST(Summary, TableGivesFourDecimalsAndSaysWhyEachEchoIsNotSeparable)
{
    EXPECT_EQ(summary_table(seven, folded(), example()),
              "Polynomial x^7 + x^3 + 1, 127 bits per period\n"
              "Samples per bit found 8.000000, whole periods used 8, correlation SNR 61.7 dB\n\n"
              "Echo           Location    Size     Separable   Shift (bit cells)\n"
              "HTS               -30.5    0.0634   yes         +0.0502\n"
              "NLTS              +25.5    0.0867   no          -\n"
              "2nd adjacent      +45.5    0.0001   no          -\n"
              "Interaction       -60.5    0.0066   no          -\n\n"
              "The NLTS echo does not follow the channel model: the fit leaves 24 % of it "
              "unexplained, so its size is unreliable and no shift is given.\n"
              "The 2nd adjacent echo lies within the reach of the Interaction echo: it cannot be "
              "told apart, so its size is unreliable and no shift is given.\n"
              "The Interaction echo lies within the reach of the main response: it cannot be told "
              "apart, so its size is unreliable and no shift is given.\n");
}

TEST(Summary, TableSaysAPeriodBelowOrderSevenLeavesNoRoom)
{
    measurement m = example();
    m.echoes[0].verdict = separation::short_period;
    EXPECT_NE(summary_table(seven, folded(), m)
                  .find("The HTS echo lies within the reach of the main response in a period this "
                        "short (order 7 and up leave room): it cannot be told apart"),
              std::string::npos);
}

TEST(Summary, JsonRoundsEachFigureAndNamesTheEffects)
{
    EXPECT_EQ(summary_json(seven, folded(), example()),
              "{\"polynomial\":\"x^7 + x^3 + 1\",\"order\":7,\"length\":127,"
              "\"samples_per_bit\":8.0,\"periods\":8,\"snr_db\":61.7,\"echoes\":["
              "{\"effect\":\"hts\",\"location\":-30.5,\"size\":0.0634,\"separable\":true,"
              "\"shift\":0.0502},"
              "{\"effect\":\"nlts\",\"location\":25.5,\"size\":0.0867,\"separable\":false,"
              "\"shift\":null,\"not_separable_because\":\"it does not follow the channel model: "
              "the fit leaves 24 % of it unexplained\"},"
              "{\"effect\":\"second_adjacent\",\"location\":45.5,\"size\":0.0001,"
              "\"separable\":false,\"shift\":null,\"not_separable_because\":\"it lies within the "
              "reach of the Interaction echo: it cannot be told apart\"},"
              "{\"effect\":\"interaction\",\"location\":-60.5,\"size\":0.0066,\"separable\":false,"
              "\"shift\":null,\"not_separable_because\":\"it lies within the reach of the main "
              "response: it cannot be told apart\"}]}\n");
}

}  // namespace
