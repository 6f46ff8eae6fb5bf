// The table and JSON as people and programs read them: every figure in its
// number of decimals, and every reason an echo is not separable in words.
#include "summary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace keldran::echo;

echo_result echo(effect which, double location, double size, separation verdict)
{
    echo_result e;
    e.which = which;
    e.location = location;
    e.size = size;
    e.verdict = verdict;
    return e;
}

// x^7 + x^3 + 1 with one echo of each kind of verdict.
measurement example()
{
    measurement m;
    m.snr_db = 61.66;
    m.pw50 = 2.49764;
    m.echoes = {echo(effect::hts, -30.5, 0.063412, separation::separable),
                echo(effect::nlts, 25.5, 0.08671, separation::misfit),
                echo(effect::second_adjacent, 45.5, 0.00013, separation::near_echo),
                echo(effect::interaction, -60.5, 0.0066, separation::near_main_response)};
    m.echoes[0].shift = 0.0502468;
    m.echoes[0].shift_uncertainty = 0.000123;
    m.echoes[1].misfit = 0.237;
    m.echoes[2].near = effect::interaction;
    return m;
}

// The same with the NLTS echo fitted, with partial erasure, and the head's asymmetry.
measurement fitted_example()
{
    measurement m = example();
    m.medium = recording_medium::perpendicular;
    m.medium_found = false;
    m.echoes[1].verdict = separation::separable;
    m.echoes[1].shift = 0.20012;
    m.echoes[1].shift_uncertainty = 0.00031;
    m.echoes[1].partial_erasure = fitted_value{0.10004, 0.00082};
    m.echoes[0].read_asymmetry = fitted_value{-0.1494, 0.0021};
    return m;
}

fold_result folded()
{
    fold_result f;
    f.samples_per_bit = 7.9999996;
    f.periods = 8;
    f.set_aside = 3;
    return f;
}

const polynomial seven = *parse_polynomial("x^7 + x^3 + 1").poly;

TEST(Summary, TableGivesFourDecimalsAndSaysWhyEachEchoIsNotSeparable)
{
    EXPECT_EQ(summary_table(seven, folded(), example()),
              "Polynomial x^7 + x^3 + 1, 127 bits per period\n"
              "Samples per bit found 8.000000, whole periods used 8, correlation SNR 61.7 dB\n"
              "Medium longitudinal (found in the capture), PW50 2.498 bit cells\n"
              "Samples set aside as glitches 3\n\n"
              "Echo           Location    Size     Separable   Shift (bit cells)\n"
              "HTS               -30.5    0.0634   yes         +0.0502 +/- 0.0001\n"
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

// At 1.25 Gbit/s a bit cell lasts 800 ps.
TEST(Summary, GivenABitRateTableAndJsonGiveTheRatesAndEveryShiftInPicoseconds)
{
    const capture_rates rates{.samples_per_bit = 8, .bit_rate = 1.25e9, .sample_rate = 1e10};
    const std::string table = summary_table(seven, folded(), example(), rates);
    EXPECT_NE(table.find("Bit rate 1.25e+09 bits/s, sample rate 1e+10 samples/s\n"
                         "Samples set aside as glitches 3\n\n"
                         "Echo           Location    Size     Separable   Shift (bit cells)   "
                         "Shift (ps)\n"
                         "HTS               -30.5    0.0634   yes         +0.0502 +/- 0.0001  "
                         "+40.2 +/- 0.1\n"
                         "NLTS              +25.5    0.0867   no          -                   -\n"),
              std::string::npos)
        << table;
    const std::string json = summary_json(seven, folded(), example(), rates);
    EXPECT_NE(json.find("\"samples_per_bit\":8.0,\"bit_rate\":1250000000.0,"
                        "\"sample_rate\":10000000000.0,"),
              std::string::npos);
    EXPECT_NE(json.find("\"shift\":0.0502,\"shift_uncertainty\":0.0001,\"shift_ps\":40.2,"
                        "\"shift_ps_uncertainty\":0.1,"),
              std::string::npos)
        << json;
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
              "\"samples_per_bit\":8.0,\"bit_rate\":null,\"sample_rate\":null,\"periods\":8,"
              "\"snr_db\":61.7,"
              "\"medium\":\"longitudinal\",\"pw50\":2.498,\"set_aside\":3,\"echoes\":["
              "{\"effect\":\"hts\",\"location\":-30.5,\"size\":0.0634,\"separable\":true,"
              "\"shift\":0.0502,\"shift_uncertainty\":0.0001,\"shift_ps\":null,"
              "\"shift_ps_uncertainty\":null,\"read_asymmetry\":null,"
              "\"read_asymmetry_uncertainty\":null},"
              "{\"effect\":\"nlts\",\"location\":25.5,\"size\":0.0867,\"separable\":false,"
              "\"shift\":null,\"shift_uncertainty\":null,\"shift_ps\":null,"
              "\"shift_ps_uncertainty\":null,\"partial_erasure\":null,"
              "\"partial_erasure_uncertainty\":null,\"not_separable_because\":\"it does not follow "
              "the channel model: "
              "the fit leaves 24 % of it unexplained\"},"
              "{\"effect\":\"second_adjacent\",\"location\":45.5,\"size\":0.0001,"
              "\"separable\":false,\"shift\":null,\"shift_uncertainty\":null,\"shift_ps\":null,"
              "\"shift_ps_uncertainty\":null,"
              "\"not_separable_because\":\"it lies within the reach of the Interaction echo: it "
              "cannot be told apart\"},"
              "{\"effect\":\"interaction\",\"location\":-60.5,\"size\":0.0066,\"separable\":false,"
              "\"shift\":null,\"shift_uncertainty\":null,\"shift_ps\":null,"
              "\"shift_ps_uncertainty\":null,"
              "\"not_separable_because\":\"it lies within the reach of the main response: it "
              "cannot be told apart\"}]}\n");
}

TEST(Summary, TableAndJsonGiveErasureAndAsymmetryWithTheirUncertainties)
{
    const std::string table = summary_table(seven, folded(), fitted_example());
    EXPECT_NE(table.find("Medium perpendicular (as given), PW50 2.498 bit cells\n"),
              std::string::npos);
    EXPECT_NE(table.find("NLTS              +25.5    0.0867   yes         +0.2001 +/- 0.0003\n"),
              std::string::npos);
    EXPECT_NE(table.find("\n\nPartial erasure  +0.1000 +/- 0.0008 (from the NLTS echo)\n"
                         "Read asymmetry   -0.1494 +/- 0.0021 (from the HTS echo)\n"),
              std::string::npos);
    measurement unmeasured = example();
    unmeasured.asymmetry_unmeasured = true;
    unmeasured.erasure_unmeasured = true;
    EXPECT_NE(summary_table(seven, folded(), unmeasured)
                  .find("\n\nPartial erasure is not given: below order 9 it cannot be told from "
                        "the shifts, so partial erasure would move the NLTS shift.\n"),
              std::string::npos);
    EXPECT_NE(summary_json(seven, folded(), unmeasured)
                  .find("\"partial_erasure_not_given_because\":\"below order 9 it cannot be "
                        "told from the shifts, so partial erasure would move the NLTS shift\""),
              std::string::npos);
    EXPECT_NE(summary_table(seven, folded(), unmeasured)
                  .find("\nThe head's asymmetry is not given: too little of its echo lies clear "
                        "of the others, so an asymmetric head would move the shifts.\n"),
              std::string::npos);
    EXPECT_NE(summary_json(seven, folded(), unmeasured)
                  .find("\"read_asymmetry_not_given_because\":\"too little of its echo lies "
                        "clear of the others, so an asymmetric head would move the shifts\""),
              std::string::npos);
    unmeasured.asymmetry_uncertain = true;
    EXPECT_NE(summary_table(seven, folded(), unmeasured)
                  .find("\nThe head's asymmetry is not given: the capture leaves it uncertain by "
                        "more than 0.02, so an asymmetric head may move the shifts.\n"),
              std::string::npos);
    unmeasured.asymmetry_uncertain = false;
    unmeasured.medium = recording_medium::perpendicular;
    EXPECT_NE(summary_table(seven, folded(), unmeasured)
                  .find("\nThe head's asymmetry is not given: on a perpendicular medium its echo "
                        "takes the HTS echo's shape, so an asymmetric head moves the HTS "
                        "shift.\n"),
              std::string::npos);
    const std::string json = summary_json(seven, folded(), fitted_example());
    EXPECT_NE(json.find("\"medium\":\"perpendicular\""), std::string::npos);
    EXPECT_NE(json.find("\"read_asymmetry\":-0.1494,\"read_asymmetry_uncertainty\":0.0021"),
              std::string::npos);
    EXPECT_NE(json.find("\"shift\":0.2001,\"shift_uncertainty\":0.0003,\"shift_ps\":null,"
                        "\"shift_ps_uncertainty\":null,\"partial_erasure\":0.1,"
                        "\"partial_erasure_uncertainty\":0.0008"),
              std::string::npos);
}

}  // namespace
