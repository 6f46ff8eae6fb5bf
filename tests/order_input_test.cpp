#include "order_input.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using keldran::read_status;

std::string unread(std::istream& in)
{
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct read_case {
    std::string input;
    read_status status;
    std::int32_t value;
    std::string left_unread;
};

class ReadInteger : public testing::TestWithParam<read_case> {};

TEST_P(ReadInteger, FollowsDecimalConversionRules)
{
    const read_case& c = GetParam();
    std::istringstream in(c.input);
    const keldran::read_result r = keldran::read_integer(in);
    EXPECT_EQ(r.status, c.status);
    if (c.status == read_status::number) {
        EXPECT_EQ(r.value, c.value);
    }
    EXPECT_EQ(unread(in), c.left_unread);
}

constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();

INSTANTIATE_TEST_SUITE_P(Inputs, ReadInteger,
                         testing::Values(read_case{" \t\n\v\f\r 7\n", read_status::number, 7, "\n"},
                                         read_case{"-12x", read_status::number, -12, "x"},
                                         read_case{"+5", read_status::number, 5, ""},
                                         read_case{"7.5", read_status::number, 7, ".5"},
                                         read_case{"5abc", read_status::number, 5, "abc"},
                                         read_case{"0000000000000000000005 ", read_status::number,
                                                   5, " "},
                                         read_case{"2147483647", read_status::number, int_max, ""},
                                         read_case{"-2147483648", read_status::number, int_min, ""},
                                         read_case{"4294967299", read_status::number, int_max, ""},
                                         read_case{"2147483648", read_status::number, int_max, ""},
                                         read_case{"-4294967299", read_status::number, int_min, ""},
                                         read_case{"abc\n", read_status::not_a_number, 0, "abc\n"},
                                         read_case{"- 5", read_status::not_a_number, 0, " 5"},
                                         read_case{"+\n", read_status::not_a_number, 0, "\n"},
                                         read_case{"", read_status::end_of_input, 0, ""},
                                         read_case{" \n\n", read_status::end_of_input, 0, ""}));

TEST(ReadInteger, SaturatesANumberOfAMillionDigits)
{
    std::istringstream in("9" + std::string(1'000'000, '1') + "z");
    const keldran::read_result r = keldran::read_integer(in);
    EXPECT_EQ(r.status, read_status::number);
    EXPECT_EQ(r.value, int_max);
    EXPECT_EQ(unread(in), "z");
}

struct dialogue_case {
    std::string input;
    std::optional<std::int32_t> order;
    int prompts;
    std::string left_unread;
};

class AskOrder : public testing::TestWithParam<dialogue_case> {};

TEST_P(AskOrder, PromptsUntilAnOrderInRangeAndReadsNothingAfterIt)
{
    const dialogue_case& c = GetParam();
    std::istringstream in(c.input);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(keldran::ask_order(in, out, err), c.order);
    std::string prompts;
    for (int i = 0; i < c.prompts; ++i) {
        prompts += keldran::order_prompt;
    }
    EXPECT_EQ(err.str(), prompts);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(unread(in), c.left_unread);
}

INSTANTIATE_TEST_SUITE_P(Inputs, AskOrder,
                         testing::Values(dialogue_case{"2\n13\n7\n", 7, 3, "\n"},
                                         dialogue_case{"0 5\nmore", 5, 2, "\nmore"},
                                         dialogue_case{"7.5\n", 7, 1, ".5\n"},
                                         dialogue_case{"-3 +12", 12, 2, ""},
                                         dialogue_case{"4294967299\n3\n", 3, 2, "\n"},
                                         dialogue_case{"banana 4\n6\n", 6, 2, "\n"},
                                         dialogue_case{"-x 4\n+8\n", 8, 2, "\n"},
                                         dialogue_case{"", std::nullopt, 1, ""},
                                         dialogue_case{"2\n", std::nullopt, 2, ""},
                                         dialogue_case{"what", std::nullopt, 1, ""},
                                         dialogue_case{"13 x\n", std::nullopt, 3, ""}));

// Remembers how much had been prompted each time the output was flushed.
struct flush_log : std::stringbuf {
    const std::ostringstream* prompts = nullptr;
    std::vector<std::size_t> prompted_at_flush;

    int sync() override
    {
        prompted_at_flush.push_back(prompts->str().size());
        return 0;
    }
};

TEST(AskOrder, FlushesOutputBeforeEveryPrompt)
{
    std::istringstream in("2 3");
    std::ostringstream err;
    flush_log log;
    log.prompts = &err;
    std::ostream out(&log);
    EXPECT_EQ(keldran::ask_order(in, out, err), 3);
    const std::size_t prompt_size = std::string(keldran::order_prompt).size();
    EXPECT_EQ(log.prompted_at_flush, (std::vector<std::size_t>{0, prompt_size}));
}

}  // namespace
