#include "engine.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

namespace {

using keldran::fill_sequence;
using keldran::is_maximal;
using keldran::sequence_length;

std::vector<std::int32_t> sequence_for(const std::vector<std::int32_t>& taps)
{
    const auto order = static_cast<std::int32_t>(taps.size());
    std::vector<std::int32_t> seq(static_cast<std::size_t>(sequence_length(order)), -1);
    fill_sequence(seq.data(), taps.data(), order);
    return seq;
}

struct worked_example {
    std::vector<std::int32_t> taps;
    std::vector<std::int32_t> sequence;
    std::int32_t maximal;
};

class FillSequence : public testing::TestWithParam<worked_example> {};

TEST_P(FillSequence, MatchesWorkedExample)
{
    const worked_example& example = GetParam();
    const std::vector<std::int32_t> seq = sequence_for(example.taps);
    EXPECT_EQ(seq, example.sequence);
    EXPECT_EQ(is_maximal(seq.data(), static_cast<std::int32_t>(example.taps.size())),
              example.maximal);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, FillSequence,
    testing::Values(worked_example{{1, 1, 0}, {1, 1, 1, 0, 0, 1, 0}, 1},
                    worked_example{{1, 0, 1}, {1, 1, 1, 0, 1, 0, 0}, 1},
                    worked_example{{1, 0, 0}, {1, 1, 1, 1, 1, 1, 1}, 0},
                    worked_example{{1, 1, 0, 0}, {1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1, 1, 0, 1, 0}, 1},
                    worked_example{
                        {1, 0, 0, 1}, {1, 1, 1, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 0, 0}, 1}));

TEST(IsMaximal, RejectsAllTapsOfOrderFourWhoseStartStateReturnsAfterFiveShifts)
{
    const std::vector<std::int32_t> seq = sequence_for({1, 1, 1, 1});
    EXPECT_EQ(std::vector<std::int32_t>(seq.begin() + 5, seq.begin() + 9),
              std::vector<std::int32_t>(4, 1));
    EXPECT_EQ(is_maximal(seq.data(), 4), 0);
}

TEST(IsMaximal, IgnoresWindowsThatWouldWrapPastTheEnd)
{
    // Ones at the end and the start form a run only across the wrap.
    std::vector<std::int32_t> seq{1, 1, 1, 0, 0, 1, 1};
    EXPECT_EQ(is_maximal(seq.data(), 3), 1);
}

class MaximalSequences : public testing::TestWithParam<std::int32_t> {};

// A maximal sequence holds 2^(n-1) ones and 2^(n-1) - 1 zeros, and fill_sequence
// writes exactly L elements.
TEST_P(MaximalSequences, HoldHalfOnesAndStayInsideTheirBuffer)
{
    const std::int32_t order = GetParam();
    const auto length = static_cast<std::size_t>(sequence_length(order));
    const std::int32_t guard = 7;
    std::vector<std::int32_t> taps(static_cast<std::size_t>(order));
    std::vector<std::int32_t> seq(length + 1, guard);
    int maximal_count = 0;
    for (std::int32_t code = 1; code < sequence_length(order); code += 2) {
        for (std::int32_t j = 0; j < order; ++j) {
            taps[static_cast<std::size_t>(j)] = (code >> j) & 1;
        }
        fill_sequence(seq.data(), taps.data(), order);
        ASSERT_EQ(seq[length], guard);
        if (is_maximal(seq.data(), order) == 1) {
            ++maximal_count;
            EXPECT_EQ(std::accumulate(seq.begin(), seq.begin() + static_cast<long>(length), 0),
                      1 << (order - 1));
        }
    }
    EXPECT_GT(maximal_count, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, MaximalSequences, testing::Range(3, 13));

}  // namespace

namespace {

class EveryTapCode : public testing::TestWithParam<std::int32_t> {};

// Exhaustive over every candidate the program tries, and over the even codes
// too, whose registers lack the constant term.
TEST_P(EveryTapCode, FillSequenceAndIsMaximalMatchTheDirectAlgorithms)
{
    const std::int32_t order = GetParam();
    const auto length = static_cast<std::size_t>(sequence_length(order));
    std::vector<std::int32_t> seq(length + 1);
    for (std::int32_t code = 0; code < sequence_length(order) + 1; ++code) {
        const reference::elements taps = reference::taps_for_code(code, order);
        const reference::elements expected = reference::fill_sequence(taps);
        seq[length] = 7;
        fill_sequence(seq.data(), taps.data(), order);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), seq.begin())) << "code " << code;
        ASSERT_EQ(seq[length], 7) << "code " << code;
        ASSERT_EQ(is_maximal(seq.data(), order), reference::is_maximal(expected, order))
            << "code " << code;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, EveryTapCode, testing::Range(3, 13));

// Buffers no register produces: random bits, and runs planted at the edges of
// the buffer and of machine words, one short of the order and exactly at it.
TEST(IsMaximal, MatchesTheDirectScanOnArbitraryBuffers)
{
    std::mt19937 random(12345);
    for (std::int32_t order = keldran::min_order; order <= keldran::max_order; ++order) {
        const auto length = static_cast<std::size_t>(sequence_length(order));
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<std::int32_t> seq(length);
            const std::uint32_t density = random() % 4;  // sparse to dense
            for (std::int32_t& e : seq) {
                e = (random() % 4) < density + 1 ? 1 : 0;
            }
            const std::size_t start = random() % (length - static_cast<std::size_t>(order) + 1);
            const std::size_t run = static_cast<std::size_t>(order) - (random() % 2);
            std::fill_n(seq.begin() + static_cast<long>(start), run, 1);
            ASSERT_EQ(is_maximal(seq.data(), order), reference::is_maximal(seq, order))
                << "order " << order << " trial " << trial;
        }
    }
}

}  // namespace
