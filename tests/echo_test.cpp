#include "engine.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using keldran::center_position;
using keldran::echo_locations;
using keldran::find_ones_window;
using keldran::rotate_xor;
using keldran::sequence_length;

std::vector<std::int32_t> sequence_for(const std::vector<std::int32_t>& taps)
{
    const auto order = static_cast<std::int32_t>(taps.size());
    std::vector<std::int32_t> seq(static_cast<std::size_t>(sequence_length(order)));
    keldran::fill_sequence(seq.data(), taps.data(), order);
    return seq;
}

const std::vector<std::int32_t> order3_x_plus_1{1, 1, 1, 0, 0, 1, 0};

TEST(RotateXor, ShiftsCyclicallyAndCombinesWithOther)
{
    std::vector<std::int32_t> work(7);
    rotate_xor(work.data(), order3_x_plus_1.data(), order3_x_plus_1.data(), 1, 3);
    EXPECT_EQ(work, (std::vector<std::int32_t>{0, 0, 1, 0, 1, 1, 1}));
}

TEST(RotateXor, InPlaceUsesTheSourceAsItStoodBeforeTheCall)
{
    std::vector<std::int32_t> work{0, 0, 1, 0, 1, 1, 1};
    rotate_xor(work.data(), work.data(), order3_x_plus_1.data(), 1, 3);
    EXPECT_EQ(work, (std::vector<std::int32_t>{1, 0, 1, 1, 1, 0, 0}));

    std::vector<std::int32_t> hts{0, 0, 1, 0, 1, 1, 1};
    rotate_xor(hts.data(), hts.data(), order3_x_plus_1.data(), 2, 3);
    EXPECT_EQ(hts, (std::vector<std::int32_t>{0, 1, 0, 1, 1, 1, 0}));
}

TEST(FindOnesWindow, ReturnsTheFirstRunOfOrderOnes)
{
    const std::vector<std::int32_t> w{0, 1, 1, 0, 1, 1, 1};
    EXPECT_EQ(find_ones_window(w.data(), 3), 4);
    const std::vector<std::int32_t> w2{0, 1, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(find_ones_window(w2.data(), 4), 5);
}

TEST(FindOnesWindow, YieldsZeroWhenTheRunOnlyExistsAcrossTheWrap)
{
    const std::vector<std::int32_t> w{1, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(find_ones_window(w.data(), 3), 0);
    const std::vector<std::int32_t> zeros(7, 0);
    EXPECT_EQ(find_ones_window(zeros.data(), 3), 0);
}

TEST(CenterPosition, KeepsTheMiddlePositionAndWrapsTheOneAfterIt)
{
    EXPECT_EQ(center_position(3, 7), 3);
    EXPECT_EQ(center_position(4, 7), -3);
    EXPECT_EQ(center_position(0, 7), 0);
    EXPECT_EQ(center_position(7, 15), 7);
    EXPECT_EQ(center_position(8, 15), -7);
    EXPECT_EQ(center_position(4094, 4095), -1);
}

struct echo_example {
    std::vector<std::int32_t> taps;
    keldran::echo_set expected;
};

class EchoLocations : public testing::TestWithParam<echo_example> {};

TEST_P(EchoLocations, MatchWorkedExample)
{
    const echo_example& example = GetParam();
    const std::vector<std::int32_t> seq = sequence_for(example.taps);
    std::vector<std::int32_t> work(seq.size());
    const keldran::echo_set echoes =
        echo_locations(seq.data(), work.data(), static_cast<std::int32_t>(example.taps.size()));
    EXPECT_EQ(echoes.hts, example.expected.hts);
    EXPECT_EQ(echoes.nlts, example.expected.nlts);
    EXPECT_EQ(echoes.second_adjacent, example.expected.second_adjacent);
    EXPECT_EQ(echoes.interaction, example.expected.interaction);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, EchoLocations,
    testing::Values(echo_example{{1, 1, 0}, {-2.5, 3.5, -1.5, 2.5}},
                    // Echo 3 of x^3 + x^2 + 1 is all zeros: the empty search gives 0 + 2.
                    echo_example{{1, 0, 1}, {2.5, -2.5, 2.5, -1.5}},
                    echo_example{{1, 1, 0, 0}, {-3.5, 6.5, 4.5, -6.5}},
                    echo_example{{1, 0, 0, 1}, {3.5, -5.5, 6.5, 7.5}},
                    echo_example{{1, 1, 0, 1, 1}, {-12.5, -8.5, -3.5, 6.5}},
                    echo_example{{1, 1, 0, 1, 1, 1, 1, 1, 1}, {-107.5, -245.5, -7.5, -214.5}}));

TEST(EchoLocations, LeaveTheInteractionCombinationInWork)
{
    std::vector<std::int32_t> work(7);
    echo_locations(order3_x_plus_1.data(), work.data(), 3);
    EXPECT_EQ(work, (std::vector<std::int32_t>{0, 1, 1, 1, 0, 0, 1}));
}

}  // namespace

namespace {

// Random 0/1 buffers with a run of ones planted where the packed search is
// most likely to slip: at the start, at the last start, across word edges.
reference::elements varied_buffer(std::mt19937& random, std::int32_t order, std::size_t run_start,
                                  std::size_t run)
{
    reference::elements w(static_cast<std::size_t>(sequence_length(order)));
    for (std::int32_t& e : w) {
        e = static_cast<std::int32_t>(random() % 2);
    }
    for (std::size_t i = run_start; i < run_start + run && i < w.size(); ++i) {
        w[i] = 1;
    }
    return w;
}

std::vector<std::size_t> interesting_starts(std::int32_t order)
{
    const auto length = static_cast<std::size_t>(sequence_length(order));
    const auto n = static_cast<std::size_t>(order);
    std::vector<std::size_t> starts{0, 1, length - n, length - n - 1};
    for (std::size_t edge = 32; edge < length; edge += 32) {
        starts.push_back(edge - n);
        starts.push_back(edge - n + 1);
        starts.push_back(edge - 1);
        starts.push_back(edge);
    }
    return starts;
}

class EchoOperations : public testing::TestWithParam<std::int32_t> {};

TEST_P(EchoOperations, FindOnesWindowMatchesTheDirectScan)
{
    const std::int32_t order = GetParam();
    std::mt19937 random(static_cast<std::uint32_t>(order));
    for (const std::size_t start : interesting_starts(order)) {
        for (const std::size_t run :
             {static_cast<std::size_t>(order) - 1, static_cast<std::size_t>(order)}) {
            reference::elements w = varied_buffer(random, order, start, run);
            if (random() % 2 == 0) {
                // Mostly zeros, so that the planted run is often the only one.
                for (std::size_t i = 0; i < w.size(); ++i) {
                    w[i] = (i >= start && i < start + run) ? 1 : 0;
                }
            }
            ASSERT_EQ(find_ones_window(w.data(), order), reference::find_ones_window(w, order))
                << "start " << start << " run " << run;
        }
    }
}

TEST_P(EchoOperations, RotateXorMatchesTheDirectFormulaInPlaceAndApart)
{
    const std::int32_t order = GetParam();
    std::mt19937 random(static_cast<std::uint32_t>(order) + 100);
    for (const std::int32_t shift : {1, 2}) {
        const reference::elements src = varied_buffer(random, order, 0, 0);
        const reference::elements other = varied_buffer(random, order, 0, 0);
        const reference::elements expected = reference::rotate_xor(src, other, shift);

        reference::elements apart(src.size(), -1);
        rotate_xor(apart.data(), src.data(), other.data(), shift, order);
        EXPECT_EQ(apart, expected) << "shift " << shift;

        reference::elements in_place = src;
        rotate_xor(in_place.data(), in_place.data(), other.data(), shift, order);
        EXPECT_EQ(in_place, expected) << "shift " << shift << " in place";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, EchoOperations, testing::Range(3, 13));

}  // namespace
