#include "dialogue.h"
#include "engine.h"
#include "order3_report.h"
#include "reference.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string report_for(const std::string& input)
{
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(keldran::run_dialogue(in, out, err, keldran::heap_buffers()), keldran::exit_complete);
    return out.str();
}

TEST(Report, OrderThreeIsTheCompleteExpectedText)
{
    EXPECT_EQ(report_for("3\n"), keldran_tests::order3_report());
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool is_value_line(const std::string& line)
{
    return !line.empty() && (line[0] == '0' || line[0] == '1');
}

struct order_shape {
    std::int32_t order;
    int blocks;
    int value_lines_per_block;
};

class ReportShape : public testing::TestWithParam<order_shape> {};

// Every block holds L values in full lines of 38 (the last one shorter), each
// value followed by one space, and the blocks come in the expected number.
TEST_P(ReportShape, HasTheExpectedBlocksAndValueLines)
{
    const order_shape& shape = GetParam();
    const std::vector<std::string> lines = lines_of(report_for(std::to_string(shape.order)));
    const auto length = static_cast<std::size_t>(keldran::sequence_length(shape.order));
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[1], "Sequence length is : " + std::to_string(length));

    int blocks = 0;
    int value_lines = 0;
    std::size_t values_in_block = 0;
    for (const std::string& line : lines) {
        if (line == "Polynomial:") {
            ++blocks;
            values_in_block = 0;
        }
        if (!is_value_line(line)) {
            continue;
        }
        ++value_lines;
        ASSERT_EQ(line.size() % 2, 0U) << line;
        const std::size_t values = line.size() / 2;
        values_in_block += values;
        EXPECT_TRUE(values == keldran::values_per_line || values_in_block == length);
    }
    EXPECT_EQ(blocks, shape.blocks);
    EXPECT_EQ(value_lines, shape.blocks * shape.value_lines_per_block);
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, ReportShape,
                         testing::Values(order_shape{3, 2, 1}, order_shape{4, 2, 1},
                                         order_shape{5, 6, 1}, order_shape{6, 6, 2},
                                         order_shape{7, 18, 4}, order_shape{8, 16, 7},
                                         order_shape{9, 48, 14}, order_shape{10, 60, 27},
                                         order_shape{11, 176, 54}, order_shape{12, 144, 108}));

TEST(Report, OrderTwelveEndsEachSequenceWithALineOfTwentyNineValues)
{
    const std::vector<std::string> lines = lines_of(report_for("12\n"));
    int sequences = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        // A sequence's last line of values is followed by the empty line before the echoes.
        if (is_value_line(lines[i - 1]) && !is_value_line(lines[i])) {
            ++sequences;
            EXPECT_EQ(lines[i - 1].size(), 2U * 29U) << "line " << i;
        }
    }
    EXPECT_EQ(sequences, 144);
}

TEST(Report, OrderFiveListsItsPolynomialsInIncreasingTapCode)
{
    const std::vector<std::string> lines = lines_of(report_for("5\n"));
    std::vector<std::string> polynomials;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == "Polynomial:") {
            polynomials.push_back(lines[i + 1]);
        }
    }
    EXPECT_EQ(polynomials, (std::vector<std::string>{
                               "  x^5 + x^2 + 1", "  x^5 + x^3 + 1", "  x^5 + x^3 + x^2 + x^1 + 1",
                               "  x^5 + x^4 + x^2 + x^1 + 1", "  x^5 + x^4 + x^3 + x^1 + 1",
                               "  x^5 + x^4 + x^3 + x^2 + 1"}));
}

TEST(RenderBlock, LongestPossibleBlockFitsItsBound)
{
    // All taps set and the widest echo values: longer than any real block.
    const std::int32_t order = keldran::max_order;
    const std::vector<std::int32_t> taps(static_cast<std::size_t>(order), 1);
    const std::vector<std::int32_t> seq(static_cast<std::size_t>(keldran::sequence_length(order)),
                                        1);
    const keldran::echo_set echoes{-2047.5, -2047.5, -2047.5, -2047.5};
    std::vector<char> text(keldran::max_block_bytes + 1, '\0');
    const std::size_t size = keldran::render_block(text, taps.data(), seq.data(), order, echoes);
    EXPECT_LE(size, keldran::max_block_bytes);
    EXPECT_EQ(text[keldran::max_block_bytes], '\0');
}

}  // namespace

namespace {

class WholeReport : public testing::TestWithParam<std::int32_t> {};

TEST_P(WholeReport, MatchesTheStraightforwardRenderingByteForByte)
{
    const std::int32_t order = GetParam();
    EXPECT_EQ(report_for(std::to_string(order) + "\n"), reference::report(order));
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, WholeReport, testing::Range(3, 13));

}  // namespace
