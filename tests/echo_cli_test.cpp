// keldran-echo under a shell: bad input, the pattern against keldran's report, measure end to end.
#include "shell_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using keldran_tests::process_result;
using keldran_tests::read_file;

using json = nlohmann::ordered_json;

const std::string echo_path = KELDRAN_ECHO_EXECUTABLE;
const std::string keldran_path = KELDRAN_EXECUTABLE;
// Shell functions the scripts use: measure7 measures an order-7 capture at 8 samples per bit;
// simulate7 makes one, noise-free, 4 periods, with known HTS and NLTS shifts. measure5 and
// simulate5 do the same for an order-5 pattern, whose period is too short to tell echoes apart.
const std::string prelude =
    "measure7() { \"$E\" measure --poly 'x^7 + x^3 + 1' --samples-per-bit 8 \"$@\"; }; "
    "simulate7() { \"$E\" simulate --poly 'x^7 + x^3 + 1' --samples-per-bit 8 --periods 4 "
    "--hts 0.05 --nlts 0.2 \"$@\"; }; "
    "measure5() { \"$E\" measure --poly 'x^5 + x^2 + 1' --samples-per-bit 8 \"$@\"; }; "
    "simulate5() { \"$E\" simulate --poly 'x^5 + x^2 + 1' --samples-per-bit 8 --hts 0.1 "
    "--nlts 0.2 \"$@\"; }; ";
const std::string poly7 = "x^7 + x^3 + 1";
constexpr double simulated_hts = 0.05;
constexpr double simulated_nlts = 0.2;
constexpr double shift_tolerance = 0.01;
constexpr double csv_tolerance = 1e-4;
constexpr double level_tolerance = 0.01;
constexpr std::size_t float_bytes = 4;

struct keldran_entry {
    std::string bits;                 // one period, the characters 0 and 1
    std::array<double, 4> locations;  // HTS, NLTS, second adjacent, interaction
};

// The sequence and echo locations keldran prints for poly in its report of that order.
keldran_entry keldran_report(const std::string& report, const std::string& poly)
{
    keldran_entry entry{};
    const auto block = report.find("Polynomial:\n  " + poly + "\n");
    if (block == std::string::npos) {
        ADD_FAILURE() << poly << " is not in keldran's report";
        return entry;
    }
    const auto echoes = report.find("Echo location", block);
    for (auto at = report.find("The sequence is :", block); at < echoes; ++at) {
        if (report[at] == '0' || report[at] == '1') {
            entry.bits += report[at];
        }
    }
    auto at = echoes;
    for (double& location : entry.locations) {
        at = report.find("= ", at) + 2;
        location = std::stod(report.substr(at));
    }
    return entry;
}

std::vector<std::string> keys_of(const json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items()) {
        keys.push_back(item.key());
    }
    return keys;
}

class EchoExecutable : public keldran_tests::folder_test {
protected:
    // Runs a script in which $E and $K name the two programs; stdout and stderr apart.
    [[nodiscard]] process_result shell(const std::string& script) const
    {
        return keldran_tests::run_in_folder(dir, "E='" + echo_path + "'; K='" + keldran_path + "'; "
                                                     + prelude + script);
    }

    // Runs a script that must succeed silently on stderr, and returns its stdout.
    [[nodiscard]] std::string output_of(const std::string& script) const
    {
        const process_result r = shell(script);
        EXPECT_EQ(r.status, 0) << script;
        EXPECT_EQ(r.err, "") << script;
        return r.out;
    }

    [[nodiscard]] keldran_entry keldran_says(int order, const std::string& poly) const
    {
        return keldran_report(output_of("echo " + std::to_string(order) + " | \"$K\" 2>/dev/null"),
                              poly);
    }

    [[nodiscard]] json measured(const std::string& capture_script) const
    {
        return json::parse(output_of(capture_script), nullptr, false);
    }
};

// Every test here starts from cap.f32, made by simulate7.
class Measure : public EchoExecutable {
protected:
    void SetUp() override
    {
        EchoExecutable::SetUp();
        ASSERT_EQ(output_of("simulate7 -o cap.f32"), "");
    }
};

struct bad_case {
    const char* name;
    const char* script;  // runs beside cap.f32
    int status;
    const char* message;
};

class BadInput : public Measure, public testing::WithParamInterface<bad_case> {};

TEST_P(BadInput, FailsWithOneLineOnStderrAndNothingOnStdout)
{
    const process_result r = shell(GetParam().script);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(r.err, GetParam().message);
    EXPECT_EQ(r.out, "");
}

const std::array bad_cases = {
    bad_case{"UnknownOption", "\"$E\" pattern --poly 'x^3 + x + 1' --bogus", 2,
             "keldran-echo: The following argument was not expected: --bogus\n"},
    bad_case{"MissingPoly", "\"$E\" pattern", 2, "keldran-echo: --poly is required\n"},
    bad_case{"UnreadablePoly", "\"$E\" pattern --poly 'x^7 + x^3 + 2'", 2,
             "keldran-echo: --poly: cannot read \"x^7 + x^3 + 2\" as a polynomial such as "
             "\"x^7 + x^3 + 1\"\n"},
    bad_case{"NotMaximal", "\"$E\" pattern --poly 'x^4 + x^2 + 1'", 2,
             "keldran-echo: --poly: x^4 + x^2 + 1 is not a maximal-length polynomial (keldran "
             "lists those of order 4)\n"},
    bad_case{"OrderTwo", "\"$E\" pattern --poly 'x^2 + x + 1'", 2,
             "keldran-echo: --poly: \"x^2 + x + 1\" is of order 2; the order must be 3 to 12\n"},
    bad_case{"OrderThirteen", "\"$E\" pattern --poly 'x^13 + x^4 + x^3 + x + 1'", 2,
             "keldran-echo: --poly: \"x^13 + x^4 + x^3 + x + 1\" is of order 13; the order must be "
             "3 to 12\n"},
    bad_case{"ZeroSamplesPerBit", "\"$E\" simulate --poly 'x^7 + x^3 + 1' --samples-per-bit 0", 2,
             "keldran-echo: --samples-per-bit: must be a number greater than 0 and at most 10000, "
             "not 0\n"},
    bad_case{"NegativeSamplesPerBit",
             "\"$E\" measure --poly 'x^7 + x^3 + 1' --samples-per-bit -2 c", 2,
             "keldran-echo: --samples-per-bit: must be a number greater than 0 and at most 10000, "
             "not -2\n"},
    bad_case{"SamplesPerBitAboveTenThousand",
             "\"$E\" measure --poly 'x^7 + x^3 + 1' --samples-per-bit 10001 cap.f32", 2,
             "keldran-echo: --samples-per-bit: must be a number greater than 0 and at most 10000, "
             "not 10001\n"},
    bad_case{"ShiftThatIsNotFinite", "simulate7 --nlts inf", 2,
             "keldran-echo: --nlts: must be a finite number, not inf\n"},
    bad_case{"StartThatIsNotANumber", "simulate7 --start later", 2,
             "keldran-echo: --start: must be a finite number, not later\n"},
    bad_case{"UnknownMedium", "simulate7 --medium vertical", 2,
             "keldran-echo: --medium: vertical not in {longitudinal,perpendicular}\n"},
    bad_case{"ErasureOfAWholeTransition", "simulate7 --partial-erasure 1", 2,
             "keldran-echo: --partial-erasure: must be a number at least 0 and less than 1, not "
             "1\n"},
    bad_case{"ErasureOnAPerpendicularMedium",
             "simulate7 --medium perpendicular --partial-erasure 0.1", 2,
             "keldran-echo: --partial-erasure: must be 0 with --medium perpendicular\n"},
    bad_case{"AsymmetryOfHalf", "simulate7 --asymmetry -0.5", 2,
             "keldran-echo: --asymmetry: must be a number greater than -0.5 and less than 0.5, "
             "not -0.5\n"},
    bad_case{"PatternPeriodsNotWhole", "\"$E\" pattern --poly 'x^3 + x + 1' --periods 2.5", 2,
             "keldran-echo: --periods: must be a whole number of at least 1, not 2.5\n"},
    bad_case{"PatternHeldBitsAsBits", "\"$E\" pattern --poly 'x^3 + x + 1' --samples-per-bit 2", 2,
             "keldran-echo: --samples-per-bit: the bits format writes one character a bit; give "
             "--format f32 or csv\n"},
    bad_case{"PatternHeldTooLong",
             "\"$E\" pattern --poly 'x^3 + x + 1' --format f32 --samples-per-bit 1001", 2,
             "keldran-echo: --samples-per-bit: must be a whole number from 1 to 1000, not 1001\n"},
    bad_case{"SeedBeyondSixtyFourBits", "simulate7 --seed 18446744073709551616", 2,
             "keldran-echo: --seed: must be a whole number from 0 to 18446744073709551615, not "
             "18446744073709551616\n"},
    bad_case{"NoCommand", "\"$E\"", 2, "keldran-echo: A subcommand is required\n"},
    bad_case{"UnknownCommand", "\"$E\" bogus --poly 'x^3 + x + 1'", 2,
             "keldran-echo: unknown command \"bogus\"; the commands are pattern, simulate, "
             "measure, info and choose\n"},
    bad_case{"ChooseBeyondOrderTwelve", "\"$E\" choose --order 13", 2,
             "keldran-echo: --order: must be a whole number from 3 to 12, not 13\n"},
    bad_case{"ChooseWithoutAnOrder", "\"$E\" choose --pw50 2", 2,
             "keldran-echo: --order is required\n"},
    bad_case{"ChooseInAnEmptyWindow", "\"$E\" choose --order 7 --window 0", 2,
             "keldran-echo: --window: must be a number greater than 0, not 0\n"},
    bad_case{"ChooseAPulseNarrowerThanItsReadBackHolds", "\"$E\" choose --order 7 --pw50 0.4", 2,
             "keldran-echo: --pw50: must be a number from 0.5 to 100, not 0.4\n"},
    bad_case{"ChooseNoPolynomial", "\"$E\" choose --order 7 --count 0", 2,
             "keldran-echo: --count: must be a whole number of at least 1, not 0\n"},
    bad_case{"StandardInputWithoutFormat", "measure7 - <cap.f32", 2,
             "keldran-echo: cannot tell the format of standard input from its content or its "
             "name; give --format i8, u8, i16, f32, f64, csv, trc, isf or bin\n"},
    bad_case{"MissingCapture", "measure7 no.f32", 1,
             "keldran-echo: cannot read no.f32: No such file or directory\n"},
    bad_case{"EmptyCapture", ": >e.f32; measure7 e.f32", 1,
             "keldran-echo: e.f32 holds no samples\n"},
    bad_case{"NanSample", "printf '\\0\\0\\200\\77\\0\\0\\300\\177' >n.f32; measure7 n.f32", 1,
             "keldran-echo: n.f32: sample 2 is not a finite number\n"},
    bad_case{"CsvLineNotANumber", "printf 'volts\\n1.0\\n2.0\\nabc\\n' >b.csv; measure7 b.csv", 1,
             "keldran-echo: b.csv: line 4 is not a number: \"abc\"\n"},
    bad_case{"CsvSampleNotFiniteBeforeATrailingComma",
             "printf 't,volts,\\n0,1.0,\\n1,nan,\\n' >n.csv; measure7 n.csv", 1,
             "keldran-echo: n.csv: line 3 is not a finite number: \"nan\"\n"},
    bad_case{"FewerThanTwoPeriods", "head -c 6096 cap.f32 >s.f32 && measure7 s.f32", 1,
             "keldran-echo: s.f32: the capture holds 1524 samples, fewer than two whole periods "
             "of the pattern (2032 samples at 8 samples per bit)\n"},
    bad_case{"AnotherPolynomialOfTheSameOrder",
             "\"$E\" measure --poly 'x^7 + x^1 + 1' --samples-per-bit 8 cap.f32", 1,
             "keldran-echo: cap.f32: the capture does not hold the pattern of x^7 + x^1 + 1: its "
             "correlation with the pattern has no main response (the strongest peak holds 32 % "
             "of the energy)\n"},
    bad_case{"WrongRate", "\"$E\" measure --poly 'x^7 + x^3 + 1' --samples-per-bit 5 cap.f32", 1,
             "keldran-echo: cap.f32: the capture does not repeat every 127 bits at about 5 "
             "samples per bit, so it does not hold this pattern at this rate (its best match, at "
             "4.90551 samples per bit, agrees 6 %)\n"},
    bad_case{"RateBeyondTheSearch",
             "\"$E\" measure --poly 'x^7 + x^3 + 1' --samples-per-bit 8.2 cap.f32", 1,
             "keldran-echo: cap.f32: the capture repeats at a rate more than 2 % from 8.2 samples "
             "per bit (its best match lies at the edge searched, 8.03937 samples per bit); give "
             "--samples-per-bit nearer the capture's rate\n"},
    bad_case{"PatternToAFullDevice", "\"$E\" pattern --poly 'x^3 + x + 1' -o /dev/full", 1,
             "keldran-echo: cannot write /dev/full: No space left on device\n"},
    bad_case{"PlotIntoAMissingFolder", "measure7 --plot nowhere/p.svg cap.f32", 1,
             "keldran-echo: cannot write nowhere/p.svg: No such file or directory\n"},
    bad_case{"StandardOutputFull", "measure7 --json cap.f32 >/dev/full", 1,
             "keldran-echo: cannot write standard output: No space left on device\n"},
};

INSTANTIATE_TEST_SUITE_P(EchoCli, BadInput, testing::ValuesIn(bad_cases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct poly_case {
    int order;
    const char* poly;
};

class PatternOf : public EchoExecutable, public testing::WithParamInterface<poly_case> {
protected:
    [[nodiscard]] std::string pattern(const std::string& options) const
    {
        return output_of("\"$E\" pattern --poly '" + std::string(GetParam().poly) + "' " + options);
    }
    [[nodiscard]] std::string keldran_bits() const
    {
        return keldran_says(GetParam().order, GetParam().poly).bits;
    }
};

TEST_P(PatternOf, BitsAreTheSequenceKeldranPrints)
{
    EXPECT_EQ(pattern("--format bits"), keldran_bits() + "\n");
}

TEST_P(PatternOf, ThreePeriodsRepeatTheSequenceOnALineEach)
{
    const std::string line = keldran_bits() + "\n";
    EXPECT_EQ(pattern("--periods 3"), line + line + line);
}

TEST_P(PatternOf, CsvHasOneBitPerLine)
{
    std::string expected;
    for (const char bit : keldran_bits()) {
        expected += std::string(1, bit) + "\n";
    }
    EXPECT_EQ(pattern("--format csv"), expected);
}

TEST_P(PatternOf, F32IsLittleEndianPlusOneForAOneAndMinusOneForAZero)
{
    std::string expected;
    for (const char bit : keldran_bits()) {
        expected += bit == '1' ? std::string("\x00\x00\x80\x3f", float_bytes)
                               : std::string("\x00\x00\x80\xbf", float_bytes);
    }
    EXPECT_EQ(pattern("--format f32"), expected);
}

// Held for three samples a bit, each bit of two periods comes three times over.
TEST_P(PatternOf, HoldsEachBitForTheSamplesAskedInCsvAndF32)
{
    std::string csv;
    std::string f32;
    for (const char bit : keldran_bits() + keldran_bits()) {
        for (int k = 0; k < 3; ++k) {
            csv += std::string(1, bit) + "\n";
            f32 += bit == '1' ? std::string("\x00\x00\x80\x3f", float_bytes)
                              : std::string("\x00\x00\x80\xbf", float_bytes);
        }
    }
    EXPECT_EQ(pattern("--format csv --periods 2 --samples-per-bit 3"), csv);
    EXPECT_EQ(pattern("--format f32 --periods 2 --samples-per-bit 3"), f32);
}

INSTANTIATE_TEST_SUITE_P(EchoCli, PatternOf,
                         testing::Values(poly_case{3, "x^3 + x^1 + 1"},
                                         poly_case{9, "x^9 + x^4 + 1"}));

// What a noise-free simulation of the order-7 pattern with a Gaussian pulse reads at a
// place in the pattern: `cells` bit cells after the start of the first `bits` in it.
struct reading_case {
    const char* name;
    const char* options;
    const char* bits;
    double cells;
    double reads;
};

class Reading : public EchoExecutable, public testing::WithParamInterface<reading_case> {};

TEST_P(Reading, IsWhatTheChannelModelGivesThere)
{
    const reading_case& c = GetParam();
    const std::string pattern = output_of("\"$E\" pattern --poly '" + poly7 + "'");
    const auto first = pattern.find(c.bits);
    ASSERT_NE(first, std::string::npos) << c.bits;
    constexpr double samples_per_bit = 8;
    std::istringstream csv(output_of("\"$E\" simulate --poly '" + poly7
                                     + "' --samples-per-bit 8 --periods 1 --pulse gaussian "
                                       "--format csv "
                                     + c.options));
    std::vector<double> samples;
    for (double y = 0; csv >> y;) {
        samples.push_back(y);
    }
    const auto at = static_cast<std::size_t>(
        std::lround((static_cast<double>(first) + c.cells) * samples_per_bit));
    ASSERT_LT(at, samples.size());
    EXPECT_NEAR(samples[at], c.reads, level_tolerance);
}

// A perpendicular medium reads the level of the middle of a long run; a longitudinal one,
// with pulses too narrow to overlap, each transition's own peak.
INSTANTIATE_TEST_SUITE_P(
    EchoCli, Reading,
    testing::Values(reading_case{"PerpendicularRunOfSevenOnes", "--medium perpendicular --pw50 2",
                                 "1111111", 3.5, 1},
                    reading_case{"PerpendicularRunOfSixZeros", "--medium perpendicular --pw50 2",
                                 "000000", 3, -1},
                    reading_case{"AsymmetricHeadOnAPerpendicularRun",
                                 "--medium perpendicular --pw50 2 --asymmetry 0.1", "1111111", 3.5,
                                 1.1},
                    reading_case{"AsymmetricHeadOnAFallingTransition", "--pw50 0.5 --asymmetry 0.2",
                                 "1110000", 3, -0.8},
                    reading_case{"ErasedTransitionBesideAnother",
                                 "--pw50 0.5 --partial-erasure 0.4", "00100", 2, 0.6}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(EchoExecutable, AcceptsXForXToTheOneAndMissingSpaces)
{
    EXPECT_EQ(output_of("\"$E\" pattern --poly 'x^3+x+1'"), "1110010\n");
}

TEST_F(Measure, JsonHasTheFieldsOfTheDocumentedExampleInOrder)
{
    const json result = measured("measure7 --json cap.f32");
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(keys_of(result),
              (std::vector<std::string>{"polynomial", "order", "length", "samples_per_bit",
                                        "bit_rate", "sample_rate", "periods", "snr_db", "medium",
                                        "pw50", "set_aside", "echoes"}));
    EXPECT_EQ(result["polynomial"], poly7);
    EXPECT_EQ(result["order"], 7);
    EXPECT_EQ(result["length"], 127);
    EXPECT_EQ(result["samples_per_bit"], 8.0);
    EXPECT_EQ(result["periods"], 4);
    EXPECT_TRUE(result["snr_db"].is_number());
    const std::array<std::string, 4> effects = {"hts", "nlts", "second_adjacent", "interaction"};
    ASSERT_EQ(result["echoes"].size(), effects.size());
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const json& echo = result["echoes"][i];
        std::vector<std::string> keys{
            "effect", "location",          "size",     "separable",
            "shift",  "shift_uncertainty", "shift_ps", "shift_ps_uncertainty"};
        // Order 7's period is too short for either to be measured.
        if (i == 0) {
            keys.insert(keys.end(), {"read_asymmetry", "read_asymmetry_uncertainty",
                                     "read_asymmetry_not_given_because"});
        }
        if (i == 1) {
            keys.insert(keys.end(), {"partial_erasure", "partial_erasure_uncertainty",
                                     "partial_erasure_not_given_because"});
        }
        EXPECT_EQ(keys_of(echo), keys);
        EXPECT_EQ(echo["effect"], effects.at(i));
        EXPECT_TRUE(echo["size"].is_number());
        EXPECT_EQ(echo["separable"], true);
    }
}

TEST_F(Measure, FindsTheSimulatedShiftsAtKeldransLocations)
{
    const json echoes = measured("measure7 --json cap.f32")["echoes"];
    const keldran_entry keldran = keldran_says(7, poly7);
    ASSERT_EQ(echoes.size(), keldran.locations.size());
    for (std::size_t i = 0; i < echoes.size(); ++i) {
        EXPECT_EQ(echoes[i]["location"], keldran.locations.at(i));
    }
    EXPECT_NEAR(echoes[0]["shift"].get<double>(), simulated_hts, shift_tolerance);
    EXPECT_NEAR(echoes[1]["shift"].get<double>(), simulated_nlts, shift_tolerance);
    EXPECT_TRUE(echoes[2]["shift"].is_null());
    EXPECT_TRUE(echoes[3]["shift"].is_null());
}

TEST_F(Measure, GivesTheSameFiguresForAnInvertedCapture)
{
    const json upright = measured("measure7 --json cap.f32");
    std::string bytes = read_file(dir / "cap.f32");
    for (std::size_t sign = float_bytes - 1; sign < bytes.size(); sign += float_bytes) {
        bytes[sign] = static_cast<char>(bytes[sign] ^ '\x80');  // the sign bit: exact negation
    }
    std::ofstream(dir / "inverted.f32", std::ios::binary) << bytes;
    EXPECT_EQ(measured("measure7 --json inverted.f32"), upright);
}

// The same samples written most significant byte first, read with --byte-order big.
TEST_F(Measure, ReadsABigEndianCaptureGivenItsByteOrder)
{
    const json little = measured("measure7 --json cap.f32");
    std::string bytes = read_file(dir / "cap.f32");
    for (std::size_t first = 0; first + float_bytes <= bytes.size(); first += float_bytes) {
        std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                     bytes.begin() + static_cast<std::ptrdiff_t>(first + float_bytes));
    }
    std::ofstream(dir / "big.f32", std::ios::binary) << bytes;
    EXPECT_EQ(measured("measure7 --json --byte-order big big.f32"), little);
    EXPECT_EQ(shell("measure7 --byte-order middle big.f32").err,
              "keldran-echo: --byte-order: middle not in {little,big}\n");
}

TEST_F(Measure, ReadsStandardInputGivenAFormat)
{
    const std::string from_file = output_of("measure7 cap.f32");
    EXPECT_EQ(output_of("measure7 --format f32 - <cap.f32"), from_file);
}

TEST_F(Measure, GivesTheSameFiguresForACsvCapture)
{
    const json f32 = measured("measure7 --json cap.f32").flatten();
    const json csv =
        measured("simulate7 --format csv -o cap.csv && measure7 --json cap.csv").flatten();
    ASSERT_EQ(keys_of(csv), keys_of(f32));
    for (const auto& item : f32.items()) {
        if (item.value().is_number()) {
            EXPECT_NEAR(csv[item.key()].get<double>(), item.value().get<double>(), csv_tolerance)
                << item.key();
        } else {
            EXPECT_EQ(csv[item.key()], item.value()) << item.key();
        }
    }
}

TEST_F(Measure, TableNamesTheFourEchoesAtKeldransLocations)
{
    const std::string table = output_of("measure7 cap.f32");
    EXPECT_EQ(table.rfind("Polynomial x^7 + x^3 + 1, 127 bits per period\n"
                          "Samples per bit found 8.000000, whole periods used 4, correlation SNR ",
                          0),
              0U);
    for (const char* line :
         {"\n\nEcho           Location    Size     Separable   Shift (bit cells)\n"
          "HTS               -30.5    ",
          "\nNLTS              +25.5    ", "\n2nd adjacent      +45.5    ",
          "\nInteraction       -60.5    "}) {
        EXPECT_NE(table.find(line), std::string::npos) << line;
    }
}

TEST_F(Measure, PlotIsAnSvgThatRendersToAPng)
{
    EXPECT_EQ(output_of("measure7 --plot p.svg cap.f32 >/dev/null"), "");
    const std::string svg = read_file(dir / "p.svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    for (const char* label : {">HTS<", ">NLTS<", ">2nd adjacent<", ">Interaction<"}) {
        EXPECT_NE(svg.find(label), std::string::npos) << label;
    }
    if (shell("command -v rsvg-convert").status != 0) {
        GTEST_SKIP() << "rsvg-convert is not installed";
    }
    EXPECT_EQ(output_of("rsvg-convert p.svg -o p.png"), "");
    EXPECT_EQ(read_file(dir / "p.png").rfind("\x89PNG\r\n", 0), 0U);
}

// The Windows programs' libm rounds the last digits of the figure differently.
#ifndef KELDRAN_WINDOWS_PROGRAMS
// The README's worked example: its two commands, as printed there, and what the second prints.
struct readme_example {
    std::string script;
    std::string table;
};

readme_example worked_example()
{
    std::istringstream readme(read_file(KELDRAN_README));
    readme_example example;
    bool in_output = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.starts_with("    $ keldran-echo ")) {
            example.script += "\"$E\"" + line.substr(std::string("    $ keldran-echo").size());
            while (example.script.ends_with("\\") && std::getline(readme, line)) {
                example.script.back() = ' ';
                example.script += line;
            }
            example.script += " && ";
            in_output = true;
        } else if (in_output && (line.starts_with("    ") || line.empty())) {
            example.table += line.substr(std::min<std::size_t>(4, line.size())) + "\n";
        } else if (in_output) {
            break;
        }
    }
    example.script += "true";
    // The blank line that ends the example is not part of what it prints.
    while (example.table.ends_with("\n\n")) {
        example.table.pop_back();
    }
    return example;
}

TEST_F(EchoExecutable, ReadmesWorkedExamplePrintsItsTableAndDrawsItsFigure)
{
    const readme_example example = worked_example();
    ASSERT_NE(example.script.find("--plot echoes.svg"), std::string::npos) << example.script;
    EXPECT_EQ(output_of(example.script), example.table);
    EXPECT_EQ(read_file(dir / "echoes.svg"), read_file(KELDRAN_EXAMPLE_FIGURE));
}
#endif

// The row of each echo in the table, from its title to the line's end.
std::vector<std::string> echo_rows(const std::string& table)
{
    std::vector<std::string> rows;
    for (const char* title : {"\nHTS ", "\nNLTS ", "\n2nd adjacent ", "\nInteraction "}) {
        const auto start = table.find(title);
        if (start == std::string::npos) {
            ADD_FAILURE() << "no row " << title << " in\n" << table;
            continue;
        }
        rows.push_back(table.substr(start + 1, table.find('\n', start + 1) - start - 1));
    }
    return rows;
}

TEST_F(EchoExecutable, OrderFiveCaptureGivesNoShiftAndSaysOrderSevenLeavesRoom)
{
    const std::string table = output_of("simulate5 -o o5.f32 && measure5 o5.f32");
    for (const std::string& row : echo_rows(table)) {
        EXPECT_TRUE(row.ends_with("   no          -")) << row;
    }
    const std::string reason = " echo lies within the reach of the main response in a period "
                               "this short (order 7 and up leave room): it cannot be told "
                               "apart, so its size is unreliable and no shift is given.\n";
    EXPECT_NE(table.find("\n\nThe HTS echo lies within the reach of the main response in a "
                         "period this short (order 7 and up leave room): it cannot be told "
                         "apart, so its size is unreliable and no shift is given.\n"),
              std::string::npos)
        << table;
    for (const char* title : {"NLTS", "2nd adjacent", "Interaction"}) {
        EXPECT_NE(table.find("\nThe " + std::string(title) + reason), std::string::npos) << title;
    }
}

TEST_F(EchoExecutable, JsonSaysWhyAnEchoIsNotSeparable)
{
    const json echoes = measured("simulate5 -o o5.f32 && measure5 --json o5.f32")["echoes"];
    ASSERT_EQ(echoes.size(), 4U);
    const std::array<std::vector<std::string>, 4> fitted{
        std::vector<std::string>{"read_asymmetry", "read_asymmetry_uncertainty"},
        std::vector<std::string>{"partial_erasure", "partial_erasure_uncertainty"},
        std::vector<std::string>{}, std::vector<std::string>{}};
    for (std::size_t i = 0; i < echoes.size(); ++i) {
        const json& echo = echoes[i];
        std::vector<std::string> keys{
            "effect", "location",          "size",     "separable",
            "shift",  "shift_uncertainty", "shift_ps", "shift_ps_uncertainty"};
        keys.insert(keys.end(), fitted.at(i).begin(), fitted.at(i).end());
        keys.emplace_back("not_separable_because");
        EXPECT_EQ(keys_of(echo), keys);
        EXPECT_EQ(echo["separable"], false);
        EXPECT_TRUE(echo["shift"].is_null());
        EXPECT_EQ(echo["not_separable_because"],
                  "it lies within the reach of the main response in a period this short (order 7 "
                  "and up leave room): it cannot be told apart");
    }
}

// The arguments, and the usage line their help must hold.
using help_case = std::pair<const char*, const char*>;

class Help : public EchoExecutable, public testing::WithParamInterface<help_case> {};

TEST_P(Help, ExitsZeroWithUsageOnStdout)
{
    EXPECT_NE(output_of("\"$E\" " + std::string(GetParam().first)).find(GetParam().second),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    EchoCli, Help,
    testing::Values(
        help_case{"--help", "keldran-echo: writes, simulates and measures the write "
                            "echoes of a maximal-length pattern\nUsage: keldran-echo "
                            "[OPTIONS] SUBCOMMAND\n"},
        help_case{"pattern --help", "\nUsage: keldran-echo pattern [OPTIONS]\n"},
        help_case{"simulate --help", "\nUsage: keldran-echo simulate [OPTIONS]\n"},
        help_case{"measure --help", "\nUsage: keldran-echo measure [OPTIONS] capture\n"},
        help_case{"choose --help", "Rank the polynomials of an order by how far apart their echoes "
                                   "fall\nUsage: keldran-echo choose [OPTIONS]\n"}));

// A perpendicular capture measured as such, the medium given rather than found:
// the table says so, and JSON gives the medium and both shifts.
TEST_F(EchoExecutable, MeasuresAsTheGivenMedium)
{
    const std::string make = "\"$E\" simulate --poly 'x^9 + x^4 + 1' --samples-per-bit 8 "
                             "--medium perpendicular --hts 0.05 --nlts 0.15 -o p.f32 && ";
    const std::string measure =
        "\"$E\" measure --poly 'x^9 + x^4 + 1' --samples-per-bit 8 --medium perpendicular p.f32";
    EXPECT_NE(output_of(make + measure).find("\nMedium perpendicular (as given), PW50 "),
              std::string::npos);
    const json result = measured(make + measure + " --json");
    EXPECT_EQ(result["medium"], "perpendicular");
    EXPECT_NEAR(result["pw50"].get<double>(), 2.5, 0.05);
    EXPECT_NEAR(result["echoes"][0]["shift"].get<double>(), 0.05, shift_tolerance);
    EXPECT_NEAR(result["echoes"][1]["shift"].get<double>(), 0.15, shift_tolerance);
}

// Every polynomial of keldran's report with its four locations, in its order.
std::vector<std::pair<std::string, std::array<double, 4>>>
keldran_polynomials(const std::string& report)
{
    std::vector<std::pair<std::string, std::array<double, 4>>> found;
    const std::string mark = "Polynomial:\n  ";
    for (auto at = report.find(mark); at != std::string::npos; at = report.find(mark, at + 1)) {
        const auto start = at + mark.size();
        const std::string poly = report.substr(start, report.find('\n', start) - start);
        found.emplace_back(poly, keldran_report(report, poly).locations);
    }
    return found;
}

// The smallest distance round the period between any two of 0 and the four locations.
double smallest_of(const std::array<double, 4>& locations, double length)
{
    std::vector<double> at{0};
    at.insert(at.end(), locations.begin(), locations.end());
    double smallest = length;
    for (std::size_t i = 0; i < at.size(); ++i) {
        for (std::size_t j = i + 1; j < at.size(); ++j) {
            const double d = std::fmod(std::abs(at[i] - at[j]), length);
            smallest = std::min({smallest, d, length - d});
        }
    }
    return smallest;
}

class ChooseOrder : public EchoExecutable, public testing::WithParamInterface<int> {};

// Ranked from keldran's own report: the same polynomials, and the first has the
// largest separation of them all (order 3's one absent echo aside, which only
// lowers that polynomial's figure here).
TEST_P(ChooseOrder, PutsFirstThePolynomialKeldranSeparatesMost)
{
    const int order = GetParam();
    const auto listed =
        keldran_polynomials(output_of("echo " + std::to_string(order) + " | \"$K\" 2>/dev/null"));
    const json chosen =
        json::parse(output_of("\"$E\" choose --json --order " + std::to_string(order)));
    const double length = std::pow(2.0, order) - 1;
    double largest = 0;
    std::vector<std::string> keldran_names;
    for (const auto& [poly, locations] : listed) {
        largest = std::max(largest, smallest_of(locations, length));
        keldran_names.push_back(poly);
    }
    std::vector<std::string> chosen_names;
    for (const json& item : chosen["polynomials"]) {
        chosen_names.push_back(item["polynomial"].get<std::string>());
    }
    ASSERT_EQ(chosen_names.size(), listed.size());
    EXPECT_TRUE(
        std::is_permutation(chosen_names.begin(), chosen_names.end(), keldran_names.begin()));
    EXPECT_EQ(chosen["polynomials"][0]["smallest_distance"].get<double>(), largest);
    // Each after the one before: a smaller smallest distance, or the same and then a
    // smaller next one, and so on.
    for (std::size_t i = 1; i < chosen["polynomials"].size(); ++i) {
        const auto before = chosen["polynomials"][i - 1]["distances"].get<std::vector<double>>();
        const auto after = chosen["polynomials"][i]["distances"].get<std::vector<double>>();
        EXPECT_FALSE(std::ranges::lexicographical_compare(before, after)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(EchoCli, ChooseOrder, testing::Values(3, 7, 9));

TEST_F(EchoExecutable, ChoosesInAWindowAndSaysWhichEchoesAreSeparable)
{
    EXPECT_EQ(
        output_of("\"$E\" choose --order 7 --window 20 --pw50 4"),
        "Order 7: 18 maximal polynomials, 2 with the HTS and NLTS echoes within 20 bits of the "
        "main response\n"
        "PW50 4 bit cells, lorentzian pulse, longitudinal medium\n"
        "Best first by the smallest distance, in bit cells, between any two of the main response "
        "and the echoes\n\n"
        "Rank  Polynomial                                 HTS     NLTS  2nd adj  Interact  "
        "Smallest  Separable\n"
        "   1  x^7 + x^5 + x^4 + x^3 + x^2 + x^1 + 1    -18.5     +7.5    +30.5    -36.5       "
        "7.5  HTS, 2nd adjacent, Interaction\n"
        "   2  x^7 + x^6 + x^5 + x^4 + x^3 + x^2 + 1    +18.5     -6.5    +52.5    +37.5       "
        "6.5  HTS, 2nd adjacent, Interaction\n\n"
        "Separable: the echoes measure tells apart from the main response and from each other at "
        "this pulse, with HTS and NLTS shifts of up to 0.1 bit cells; larger shifts widen the "
        "responses.\n");
    EXPECT_EQ(output_of("\"$E\" choose --order 7 --window 2"),
              "Order 7: 18 maximal polynomials, 0 with the HTS and NLTS echoes within 2 bits of "
              "the main response\nPW50 2.5 bit cells, lorentzian pulse, longitudinal medium\n\n"
              "No polynomial of order 7 has its HTS and NLTS echoes within 2 bits of the main "
              "response.\n");
}

TEST_F(EchoExecutable, SaysOrderThreesEchoWithoutACombinationIsAbsent)
{
    const std::string table = output_of("\"$E\" choose --order 3");
    EXPECT_NE(table.find("\n   1  x^3 + x^2 + 1     +2.5     -2.5     +2.5     -1.5       1.0  "
                         "none; 2nd adjacent absent\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\nNone: in a period this short no echo stands clear of the main "
                         "response (order 7 and up leave room).\nAbsent: that combination of the "
                         "sequence is the feedback rule itself, so the effect has no echo of its "
                         "own; it is left out of the distances.\n"),
              std::string::npos)
        << table;
    const json echo =
        json::parse(output_of("\"$E\" choose --order 3 --json"))["polynomials"][0]["echoes"][2];
    EXPECT_EQ(echo["absent"], true);
    EXPECT_EQ(echo["separable"], false);
}

// The top polynomial of order 9 at PW50 2.5, simulated at a rate that is not whole
// and measured: every echo choose called separable is.
TEST_F(EchoExecutable, MeasuresAsSeparableWhatChooseCallsSeparable)
{
    const json top =
        json::parse(output_of("\"$E\" choose --order 9 --pw50 2.5 --json"))["polynomials"][0];
    const std::string poly = top["polynomial"];
    const json result = measured("\"$E\" simulate --poly '" + poly
                                 + "' --samples-per-bit 9.3 --pw50 2.5 --hts 0.05 --nlts 0.1 "
                                   "--snr 35 -o c.f32 && \"$E\" measure --poly '"
                                 + poly + "' --samples-per-bit 9.3 --json c.f32");
    for (std::size_t e = 0; e < 4; ++e) {
        EXPECT_TRUE(top["echoes"][e]["separable"].get<bool>()) << e;
        EXPECT_EQ(result["echoes"][e]["separable"], top["echoes"][e]["separable"]) << e;
    }
}

TEST_F(EchoExecutable, PrintsItsVersion)
{
    EXPECT_EQ(output_of("\"$E\" --version"), "keldran-echo 1.0.0\n");
}

}  // namespace
