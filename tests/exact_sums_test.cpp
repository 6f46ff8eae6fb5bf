// Stored 8-bit samples summed exactly, and every step steeper than a glitch-free
// read-back takes found, wherever it falls among the vector lanes.
#include "internal/fold_internal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace keldran::echo;

// Bytes that step from one to the next by at most `step` as signed numbers.
std::string gentle_bytes(std::size_t size, int step, std::mt19937& random)
{
    std::uniform_int_distribution<int> move(-step, step);
    std::string bytes;
    int x = 0;
    for (std::size_t i = 0; i < size; ++i) {
        x = std::clamp(x + move(random), -128, 127);
        bytes.push_back(static_cast<char>(static_cast<std::int8_t>(x)));
    }
    return bytes;
}

class ExactSums : public testing::TestWithParam<bool> {};

TEST_P(ExactSums, AddEveryByteAndFindEachSteepStep)
{
    const bool is_signed = GetParam();
    std::mt19937 random(7);
    for (const std::size_t rows : {1U, 3U}) {
        for (const std::size_t size : {0U, 1U, 15U, 16U, 17U, 33U, 100U}) {
            std::string bytes = gentle_bytes(rows * size + 1, 20, random);
            if (!is_signed) {
                for (char& b : bytes) {
                    b = static_cast<char>(static_cast<std::uint8_t>(b) ^ 0x80U);
                }
            }
            std::vector<std::int16_t> sums(size, 3);
            std::vector<int> expected(size, 3);
            for (std::size_t j = 0; j < rows * size; ++j) {
                const auto u = static_cast<std::uint8_t>(bytes[j]);
                expected[j % size] += is_signed ? static_cast<std::int8_t>(u) : u - 128;
            }
            EXPECT_FALSE(add_stored(sums, bytes, rows, is_signed, 20)) << size;
            EXPECT_EQ(std::vector<int>(sums.begin(), sums.end()), expected)
                << rows << " x " << size;
            take_back_stored(sums, bytes, rows, is_signed);
            EXPECT_EQ(sums, std::vector<std::int16_t>(size, 3));
            // A step of 21 from byte j to the next, the last to the byte past the rows included.
            for (std::size_t j = 0; j < rows * size; ++j) {
                std::string steep = bytes;
                const auto at = static_cast<std::uint8_t>(steep[j]);
                steep[j + 1] = static_cast<char>(at < 128 ? at + 21 : at - 21);
                EXPECT_TRUE(add_stored(sums, steep, rows, is_signed, 20)) << size << " at " << j;
                take_back_stored(sums, steep, rows, is_signed);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SignedAndNot, ExactSums, testing::Bool());

// Every step whose values, made in single precision, differ by more than the spike limit
// counts as steep in stored units, even where the limit falls on a whole number of them.
TEST(ExactSums, CallEveryStepBeyondTheLimitSteep)
{
    for (const float gain : {0.0100983996F, 0.01F, -0.004F, 0.0078125F}) {
        for (const float units : {132.0F, 40.0F, 1.0F}) {
            const stored_scale scale{.is_signed = true, .gain = gain, .offset = 0.001F};
            const float limit = units * std::abs(gain);
            const int most = stored_limit(limit, scale);
            for (int a = -128; a < 128; ++a) {
                for (int b = -128; b < 128; ++b) {
                    const float va = gain * static_cast<float>(a) + scale.offset;
                    const float vb = gain * static_cast<float>(b) + scale.offset;
                    if (std::abs(va - vb) > limit) {
                        ASSERT_GT(std::abs(a - b), most)
                            << gain << " " << units << " " << a << " " << b;
                    }
                }
            }
        }
    }
}

// A run that starts inside the period and wraps past its end counts each place as
// often as it holds it: here places 3 and 0 twice and 1 and 2 once.
TEST(ExactSums, ScaleEachPlaceByTheSamplesItHolds)
{
    exact_sums exact{.sum = {4, -2, 6, 10},
                     .from = 3,
                     .to = 9,
                     .scale = {.is_signed = false, .gain = 0.5F, .offset = 1}};
    std::vector<float> into(4, 100);
    flush_exact(exact, 2, into);
    // 2 * (0.5 * (sum + 128 * count) + count)
    EXPECT_EQ(into,
              (std::vector<float>{100 + 4 + 260, 100 - 2 + 130, 100 + 6 + 130, 100 + 10 + 260}));
    EXPECT_EQ(exact.sum, (std::vector<std::int16_t>(4, 0)));
    EXPECT_EQ(exact.from, 9);
}

}  // namespace
