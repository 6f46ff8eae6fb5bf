// Averaging a capture's periods: the period found, and every whole period kept.
#include "channel.h"
#include "fold.h"
#include "internal/fold_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace keldran::echo;

std::vector<float> simulated(double samples_per_bit, double periods)
{
    const polynomial poly = *parse_polynomial("x^7 + x^3 + 1").poly;
    std::vector<float> samples;
    simulate_capture(poly, {}, {samples_per_bit, periods, 3.3, std::nullopt, 1},
                     [&](std::span<const float> chunk) {
                         samples.insert(samples.end(), chunk.begin(), chunk.end());
                         return true;
                     });
    return samples;
}

// The average, or in its error the first reason the capture cannot be measured.
fold_result fold_in_chunks(const std::vector<float>& samples, double samples_per_bit,
                           std::size_t chunk)
{
    const folder_handle folder = folder_create(keldran::sequence_length(7), samples_per_bit);
    for (std::size_t at = 0; at < samples.size(); at += chunk) {
        const std::size_t size = std::min(chunk, samples.size() - at);
        echo_error error = folder_feed(*folder, std::span(samples).subspan(at, size));
        if (error) {
            fold_result failed;
            failed.error = std::move(error);
            return failed;
        }
    }
    return folder_finish(*folder);
}

class Rates : public testing::TestWithParam<double> {};

// Every whole period is kept, at any rate and whatever the chunks, and the rate of a
// capture without noise comes back to far beyond the digits printed.
TEST_P(Rates, KeepEveryWholePeriodAndFindTheRate)
{
    const double rate = GetParam();
    const std::vector<float> samples = simulated(rate, 40);
    for (const std::size_t chunk : {std::size_t{1000}, samples.size()}) {
        const fold_result folded = fold_in_chunks(samples, rate, chunk);
        ASSERT_FALSE(folded.error) << error_text(folded.error);
        EXPECT_EQ(folded.periods, 40);
        EXPECT_NEAR(folded.samples_per_bit, rate, 3e-8 * rate);
        EXPECT_EQ(folded.period.size(), 127U * static_cast<std::size_t>(folded.rate));
    }
}

INSTANTIATE_TEST_SUITE_P(WholeAndNot, Rates, testing::Values(8.0, 4.5, 7.3, 16.3, 16.37));

// A glitch anywhere, in the first periods the rate is found from or at a
// chunk's edge, is set aside once, and the average is the one the clean
// capture gives, whatever the chunks.
TEST(Fold, SetsEachGlitchAsideOnceWhateverTheChunks)
{
    const std::vector<float> clean = simulated(8, 6);
    std::vector<float> glitched = clean;
    const std::vector<std::size_t> at{5, 2030, 2032, 4000, 6000};
    for (const std::size_t j : at) {
        glitched[j] = 50.0F;
    }
    const fold_result reference = fold_in_chunks(clean, 8, clean.size());
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{1000}, glitched.size()}) {
        const fold_result folded = fold_in_chunks(glitched, 8, chunk);
        ASSERT_FALSE(folded.error) << error_text(folded.error);
        EXPECT_EQ(folded.set_aside, static_cast<std::int64_t>(at.size())) << chunk;
        ASSERT_EQ(folded.period.size(), reference.period.size());
        for (std::size_t j = 0; j < folded.period.size(); ++j) {
            ASSERT_NEAR(folded.period[j], reference.period[j], 0.01) << chunk << " " << j;
        }
    }
}

// A capture cut inside a period at a rate just off a whole one: the period cut short is
// left out, as its samples came later than the others' at their places, and would read
// as drift.
TEST(Fold, LeavesOutThePeriodTheCaptureEndsIn)
{
    constexpr double rate = 8.0003;
    const fold_result whole = fold_in_chunks(simulated(rate, 40), rate, 1000);
    const fold_result cut = fold_in_chunks(simulated(rate, 40.95), rate, 1000);
    ASSERT_FALSE(cut.error) << error_text(cut.error);
    EXPECT_EQ(cut.periods, 40);
    EXPECT_NEAR(cut.samples_per_bit, rate, 3e-8 * rate);
    ASSERT_EQ(cut.period.size(), whole.period.size());
    for (std::size_t j = 0; j < whole.period.size(); ++j) {
        ASSERT_NEAR(cut.period[j], whole.period[j], 1e-5) << j;
    }
}

// The capture stored in 8 bits at `gain` and `offset`, signed or not, and its values.
struct stored_capture {
    std::string bytes;
    std::vector<float> values;
    stored_scale scale;
};

stored_capture stored_from(const std::vector<float>& samples, stored_scale scale)
{
    stored_capture out;
    out.scale = scale;
    for (const float x : samples) {
        const long stored = std::lround((x - scale.offset) / scale.gain);
        out.bytes.push_back(static_cast<char>(
            std::clamp(stored, scale.is_signed ? -128L : 0L, scale.is_signed ? 127L : 255L)));
    }
    out.values.resize(out.bytes.size());
    stored_values({.bytes = out.bytes, .scale = scale}, 0, out.values);
    return out;
}

// The capture's stored bytes folded in chunks of `chunk`.
fold_result fold_stored_in_chunks(const stored_capture& capture, double samples_per_bit,
                                  std::size_t chunk)
{
    const folder_handle folder = folder_create(keldran::sequence_length(7), samples_per_bit);
    for (std::size_t at = 0; at < capture.bytes.size(); at += chunk) {
        const std::string_view bytes = std::string_view(capture.bytes).substr(at, chunk);
        if (echo_error error =
                folder_feed_stored(*folder, {.bytes = bytes, .scale = capture.scale})) {
            fold_result failed;
            failed.error = std::move(error);
            return failed;
        }
    }
    return folder_finish(*folder);
}

// Stored samples fold as their values do: summed exactly where they are clean, by
// their values where a glitch must be judged, with a chunk's edge anywhere, and a
// last period the capture cuts short counted where it holds samples.
TEST(Fold, SumsStoredSamplesAsTheirValues)
{
    const std::vector<stored_scale> scales{{true, 0.05F, 0.3F}, {false, -0.05F, 0.4F}};
    // Glitches at the ends of chunks of 1000 and between them, the last in the period
    // the capture ends in or before it, to the largest value stored.
    for (const std::size_t last : {4500U, 5500U}) {
        for (const stored_scale& scale : scales) {
            std::vector<float> samples = simulated(8, 5.6);
            for (const std::size_t j : {std::size_t{2999}, std::size_t{4000}, last}) {
                samples[j] = scale.gain > 0 ? 30.0F : -30.0F;
            }
            const stored_capture capture = stored_from(samples, scale);
            for (const std::size_t chunk :
                 {std::size_t{1}, std::size_t{1000}, capture.bytes.size()}) {
                const fold_result reference = fold_in_chunks(capture.values, 8, chunk);
                const fold_result folded = fold_stored_in_chunks(capture, 8, chunk);
                ASSERT_FALSE(folded.error) << error_text(folded.error);
                EXPECT_EQ(folded.periods, 5);
                EXPECT_EQ(reference.set_aside, 3) << chunk;
                EXPECT_EQ(folded.set_aside, 3) << chunk;
                ASSERT_EQ(folded.period.size(), reference.period.size());
                for (std::size_t j = 0; j < folded.period.size(); ++j) {
                    ASSERT_NEAR(folded.period[j], reference.period[j], 1e-5)
                        << last << " " << chunk << " at " << j;
                }
            }
        }
    }
}

// Past 1280 periods a group holds more than 16-bit sums of full-scale bytes can:
// they go into the group's sums before they would overflow.
TEST(Fold, SumsFullScaleStoredSamplesOverManyPeriods)
{
    // One period of the simulation, over and over: a capture without noise.
    const std::vector<float> two = simulated(2, 2);
    std::vector<float> samples;
    for (int k = 0; k < 1400; ++k) {
        samples.insert(samples.end(), two.begin() + static_cast<std::ptrdiff_t>(two.size() / 2),
                       two.end());
    }
    float peak = 0;
    for (const float x : samples) {
        peak = std::max(peak, std::abs(x));
    }
    const stored_capture capture = stored_from(samples, {true, peak / 127, 0});
    const fold_result reference = fold_in_chunks(capture.values, 2, 4096);
    const fold_result folded = fold_stored_in_chunks(capture, 2, 4096);
    ASSERT_FALSE(folded.error) << error_text(folded.error);
    EXPECT_EQ(folded.periods, 1400);
    ASSERT_EQ(folded.period.size(), reference.period.size());
    for (std::size_t j = 0; j < folded.period.size(); ++j) {
        ASSERT_NEAR(folded.period[j], reference.period[j], 1e-5) << j;
    }
}

// The spike limit comes from every phase of a bit, whatever the rate: here one
// phase in three reads 0 and the others +-1, so a limit from that phase alone would be 0.
TEST(Fold, JudgesSpikesByEveryPhaseOfABit)
{
    constexpr std::size_t rate = 3;
    std::vector<float> samples(25066);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % rate == 0 ? 0.0F : (i / rate) % 2 == 0 ? 1.0F : -1.0F;
    }
    EXPECT_FLOAT_EQ(spike_limit(samples), 1.5F);
}

// Volts, raw counts or anything a float holds: the average is the same.
TEST(Fold, AveragesCapturesOfAnySizeAlike)
{
    const std::vector<float> samples = simulated(8, 4);
    const fold_result plain = fold_in_chunks(samples, 8, 4096);
    for (const float factor : {1e30F, 1e-30F}) {
        std::vector<float> scaled = samples;
        for (float& x : scaled) {
            x *= factor;
        }
        const fold_result folded = fold_in_chunks(scaled, 8, 4096);
        ASSERT_FALSE(folded.error) << error_text(folded.error);
        ASSERT_EQ(folded.period.size(), plain.period.size());
        for (std::size_t j = 0; j < plain.period.size(); ++j) {
            ASSERT_NEAR(folded.period[j], plain.period[j], 1e-5) << factor << " at " << j;
        }
    }
}

TEST(Fold, SaysHowManySamplesTwoPeriodsTakeWhenTheCaptureIsShort)
{
    const fold_result folded = fold_in_chunks(simulated(8, 1.5), 8, 4096);
    EXPECT_EQ(error_text(folded.error),
              "the capture holds 1524 samples, fewer than two whole periods of the "
              "pattern (2032 samples at 8 samples per bit)");
}

// Folded at the capture's own rate, two whole periods are all a capture needs at any rate.
TEST(Fold, AveragesTwoWholePeriodsAtAnyRate)
{
    for (const double rate : {6.3, 7.813, 16.3}) {
        const fold_result folded = fold_in_chunks(simulated(rate, 2), rate, 4096);
        ASSERT_FALSE(folded.error) << rate << ": " << error_text(folded.error);
        EXPECT_EQ(folded.periods, 2) << rate;
    }
}

// Just short of two periods, the capture cannot show that it repeats: it is called short.
TEST(Fold, CallsACaptureJustShortOfTwoPeriodsShort)
{
    const fold_result folded = fold_in_chunks(simulated(7.813, 1.98), 7.813, 4096);
    EXPECT_EQ(error_text(folded.error),
              "the capture holds 1965 samples, fewer than two whole periods of the "
              "pattern (1985 samples at 7.813 samples per bit)");
}

TEST(Fold, SaysWhenTheRateLiesBeyondTheTolerance)
{
    const fold_result folded = fold_in_chunks(simulated(8.2, 4), 8, 4096);
    EXPECT_EQ(error_text(folded.error),
              "the capture repeats at a rate more than 2 % from 8 samples per bit "
              "(its best match lies at the edge searched, 8.15748 samples per "
              "bit)");
}

}  // namespace
