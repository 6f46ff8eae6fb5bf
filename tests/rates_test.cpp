// The rate is fixed one way only: samples per bit, or a bit rate with the sample
// rate the capture states or that is given; anything else says what is wrong.
#include "measure.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace keldran::echo {
namespace {

struct rate_case {
    const char* name;
    rate_request request;
    std::optional<double> interval;  // the capture's own, in seconds
    echo_errc code;
    double samples_per_bit = 0;  // when fixed
};

const std::vector<rate_case> rate_cases{
    {"SamplesPerBitAlone", {.samples_per_bit = 7.3}, 1e-10, echo_errc::none, 7.3},
    {"BitRateWithTheCapturesSampleRate", {.bit_rate = 1.25e9}, 1e-10, echo_errc::none, 8},
    {"BitRateWithAGivenSampleRate",
     {.bit_rate = 1.25e9, .sample_rate = 1.6e10},
     std::nullopt,
     echo_errc::none,
     12.8},
    {"SampleRateThatAgreesWithinATenthOfAPerMille",
     {.bit_rate = 1e9, .sample_rate = 1.00009e10},
     1e-10,
     echo_errc::none,
     10.0009},
    {"Nothing", {}, 1e-10, echo_errc::rate_not_given},
    {"BothWays", {.samples_per_bit = 8, .bit_rate = 1e9}, 1e-10, echo_errc::rate_given_twice},
    {"SampleRateWithoutBitRate",
     {.samples_per_bit = 8, .sample_rate = 1e10},
     std::nullopt,
     echo_errc::sample_rate_alone},
    {"BitRateWithNoSampleRateAnywhere",
     {.bit_rate = 1e9},
     std::nullopt,
     echo_errc::sample_rate_unknown},
    {"SampleRateThatDisagrees",
     {.bit_rate = 1e9, .sample_rate = 1.002e10},
     1e-10,
     echo_errc::sample_rate_disagrees},
    {"RatesBeyondTenThousandSamplesPerBit", {.bit_rate = 1e3}, 1e-10, echo_errc::rate_out_of_range},
};

class Rates : public testing::TestWithParam<rate_case> {};

TEST_P(Rates, AreFixedOneWayOrSayWhatIsWrong)
{
    const rate_case& c = GetParam();
    capture_rates rates;
    const echo_error error = fix_rates(c.request, c.interval, rates);
    EXPECT_EQ(error.code, c.code);
    if (c.code == echo_errc::none) {
        EXPECT_NEAR(rates.samples_per_bit, c.samples_per_bit, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, Rates, testing::ValuesIn(rate_cases),
                         [](const testing::TestParamInfo<rate_case>& given) {
                             return std::string(given.param.name);
                         });

TEST(Rates, SayWhatDisagreesInTheirOwnWords)
{
    capture_rates rates;
    EXPECT_EQ(error_text(fix_rates({.bit_rate = 1e9, .sample_rate = 2e10}, 1e-10, rates)),
              "the sample rate given, 2e+10 samples per second, disagrees with the capture's "
              "own, 1e+10");
    EXPECT_EQ(error_text(fix_rates({.bit_rate = 1}, 1e-10, rates)),
              "the rates make 1e+10 samples per bit; it must be greater than 0 and at most 10000");
}

}  // namespace
}  // namespace keldran::echo
