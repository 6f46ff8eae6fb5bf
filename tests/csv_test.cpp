// Text captures as oscilloscopes write them: header blocks, separators, quoted
// fields, a time column and the channels counted after it.
#include "internal/csv_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {
namespace {

struct read_result {
    std::vector<float> samples;
    capture_info info;
    capture_signs signs;
    echo_error error;
};

// Reads `text` line by line, as the decoder hands the lines over, up to the first fault.
read_result read(std::string_view text, const std::int64_t channel = 0)
{
    csv_reader reader = csv_create(channel);
    read_result result;
    std::int64_t number = 0;
    for (std::size_t start = 0; start < text.size() && !result.error;) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        result.error = csv_take_line(reader, text.substr(start, end - start), ++number,
                                     result.samples, result.info, result.signs);
        start = end + 1;
    }
    if (!result.error) {
        result.error = csv_finish(reader, result.samples, result.info, result.signs);
    }
    return result;
}

// Names a parameterised test by its case's name.
template <typename Case> std::string case_name(const testing::TestParamInfo<Case>& given)
{
    return given.param.name;
}

// What a capture's columns give.
struct columns_read {
    std::vector<float> samples;
    std::int64_t channels;
    std::int64_t channel;
    std::optional<double> interval;
};

struct column_case {
    const char* name;
    std::string_view text;
    std::int64_t channel;  // asked for
    columns_read expected;
};

const std::vector<column_case> column_cases{
    {"KeyValueHeaderBlock",
     "Model,MSO54\nRecord Length,3\nSample Interval,4e-11\n\nTIME,CH1\n-8e-11,0.5\n-4e-11,0.25\n"
     "\n0,-1\n",
     0,
     {{0.5F, 0.25F, -1.0F}, 1, 1, 4e-11}},
    {"SemicolonsWithDecimalCommas",
     "Zeit;Kanal A;Kanal B\n0,000;0,016;1,5\n0,001;-0,5;2\n",
     1,
     {{0.016F, -0.5F}, 2, 1, 0.001}},
    {"TabsWithDecimalCommas", "Time\tCH1\n0\t1,5\n1e-9\t2,5\n", 0, {{1.5F, 2.5F}, 1, 1, 1e-9}},
    {"QuotedFieldsWithCrLf",
     "\"TIME\",\"CH1\",\"CH2\"\r\n\"0.0E+00\",\"1.6E-02\",\"3\"\r\n\"1.0E-09\",\"-2.5E-01\","
     "\"4\"\r\n",
     1,
     {{0.016F, -0.25F}, 2, 1, 1e-9}},
    {"LastColumnByDefaultWithATrailingSeparator",
     "TIME,CH1,CH2,\n0,1,2,\n1e-9,3,4,\n",
     0,
     {{2.0F, 4.0F}, 2, 2, 1e-9}},
    {"SecondChannelAfterTheTimeColumn",
     "TIME,CH1,CH2\n0,1,2\n1e-9,3,4\n",
     2,
     {{2.0F, 4.0F}, 2, 2, 1e-9}},
    {"UnitsLineNamingTimeThatDoesNotStep",
     "TIME,CH1\ns,V\n0,1\n0,2\n",
     1,
     {{1.0F, 2.0F}, 1, 1, std::nullopt}},
    {"UnnamedFirstColumnSteppingEvenly",
     "0,5\n1,3\n2.1,1e-400\n",
     1,
     {{5.0F, 3.0F, 0.0F}, 1, 1, 1.05}},
    {"UnnamedFirstColumnSteppingUnevenly",
     "0,5\n1,3\n2.3,9\n",
     1,
     {{0.0F, 1.0F, 2.3F}, 2, 1, std::nullopt}},
    {"OneColumnIsTheSignalThoughItSteps", "1\n2\n3\n", 1, {{1.0F, 2.0F, 3.0F}, 1, 1, std::nullopt}},
};

class CsvColumns : public testing::TestWithParam<column_case> {};

TEST_P(CsvColumns, GiveTheChannelAskedForAndTheTimeStep)
{
    const column_case& given = GetParam();
    const columns_read& expected = given.expected;
    const read_result result = read(given.text, given.channel);
    EXPECT_EQ(error_text(result.error), "");
    EXPECT_EQ(result.samples, expected.samples);
    EXPECT_EQ(result.info.channels, expected.channels);
    EXPECT_EQ(result.info.channel, expected.channel);
    ASSERT_EQ(result.info.sample_interval.has_value(), expected.interval.has_value());
    if (expected.interval) {
        EXPECT_DOUBLE_EQ(*result.info.sample_interval, *expected.interval);
    }
    EXPECT_FALSE(result.signs.decimal_commas);
}

INSTANTIATE_TEST_SUITE_P(CsvReader, CsvColumns, testing::ValuesIn(column_cases),
                         case_name<column_case>);

struct fault_case {
    const char* name;
    std::string_view text;
    std::int64_t channel;
    echo_errc code;
    const char* message;
    std::vector<float> samples_before;
};

const std::vector<fault_case> fault_cases{
    {"ChannelBeyondTheColumns",
     "TIME,CH1,CH2\n0,1,2\n",
     3,
     echo_errc::no_such_channel,
     "there is no channel 3: the capture holds 2 channels",
     {}},
    {"TextAfterTheData",
     "Volts\n1\n2\nend\n",
     0,
     echo_errc::line_not_a_number,
     "line 4 is not a number: \"end\"",
     {1.0F, 2.0F}},
    {"NumberBeyondFloat",
     "1\n\n1e39\n",
     0,
     echo_errc::line_not_finite,
     "line 3 is not a finite number: \"1e39\"",
     {1.0F}},
    {"LineOfItsTimeAlone",
     "TIME,CH1\n0,1\n1\n",
     0,
     echo_errc::line_not_a_number,
     "line 3 is not a number: \"1\"",
     {1.0F}},
    {"LineShortOfTheChannel",
     "TIME,CH1,CH2\n0,1,2\n1,3\n",
     2,
     echo_errc::line_not_a_number,
     "line 3 is not a number: \"1,3\"",
     {2.0F}},
};

class CsvFaults : public testing::TestWithParam<fault_case> {};

TEST_P(CsvFaults, NameTheLineOrChannelAfterTheSamplesBeforeIt)
{
    const fault_case& given = GetParam();
    const read_result result = read(given.text, given.channel);
    EXPECT_EQ(result.error.code, given.code);
    EXPECT_EQ(error_text(result.error), given.message);
    EXPECT_EQ(result.samples, given.samples_before);
}

INSTANTIATE_TEST_SUITE_P(CsvReader, CsvFaults, testing::ValuesIn(fault_cases),
                         case_name<fault_case>);

TEST(CsvReader, SettlesOnTheFirstLinesAndThenTakesEachLineAsItComes)
{
    csv_reader reader = csv_create(0);
    std::vector<float> samples;
    capture_info info;
    capture_signs signs;
    ASSERT_FALSE(csv_take_line(reader, "Time,Volts", 1, samples, info, signs));
    for (std::int64_t i = 0; i <= csv_settling_lines; ++i) {
        const std::string line = std::to_string(i) + "e-9," + std::to_string(i % 7);
        ASSERT_FALSE(csv_take_line(reader, line, i + 2, samples, info, signs));
        EXPECT_EQ(reader.settled, i + 1 >= csv_settling_lines);
        EXPECT_EQ(std::ssize(samples), reader.settled ? i + 1 : 0);
    }
    ASSERT_TRUE(info.sample_interval.has_value());
    EXPECT_DOUBLE_EQ(*info.sample_interval, 1e-9);
    EXPECT_FALSE(csv_finish(reader, samples, info, signs));
    EXPECT_EQ(std::ssize(samples), csv_settling_lines + 1);
    EXPECT_EQ(samples.back(), static_cast<float>(csv_settling_lines % 7));
}

struct sign_case {
    const char* name;
    std::string_view text;
    bool decimal_commas;
};

class CsvDecimalCommas : public testing::TestWithParam<sign_case> {};

TEST_P(CsvDecimalCommas, AreSuspectedWhenNumbersLookCutAtThem)
{
    EXPECT_EQ(read(GetParam().text).signs.decimal_commas, GetParam().decimal_commas);
}

INSTANTIATE_TEST_SUITE_P(
    CsvReader, CsvDecimalCommas,
    testing::Values(sign_case{"LeadingZeroLeftOver", "0,016\n0,5\n0,25\n", true},
                    sign_case{"FieldCountChanging", "1\n0,5\n2\n0,25\n", true},
                    sign_case{"PointsAndEvenColumns", "0,0.016\n1,0.5\n2,10\n", false},
                    sign_case{"WholeNumbersAfterEachComma", "0,5\n-1,25\n0,125\n", true},
                    sign_case{"CountBeforeWholeNumbers", "0,5\n1,25\n2,125\n", false},
                    sign_case{"OneLineInTwenty",
                              "0,016\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n"
                              "0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n0,0.5\n"
                              "0,0.5\n0,0.5\n0,0.5\n0,0.5\n",
                              false}),
    case_name<sign_case>);

}  // namespace
}  // namespace keldran::echo
