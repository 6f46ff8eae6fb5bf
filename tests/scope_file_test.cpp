// Oscilloscope files written from a model capture (scope_files.h), each read with
// its format found from its first bytes: the samples come back within half a
// stored step, the header's facts come back in the capture's info, and the shifts
// measured come back as from the same signal in float.
#include "measure.h"
#include "model_capture.h"
#include "scope_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace keldran::echo;
using namespace keldran_tests;

// Order 7, PW50 2.5, three periods at 7.3 samples per bit; its peak is about 1 V.
const capture_case model{"x^7 + x^3 + 1", 2.5, false, 7.3, 0.1, 0.2, 13.2, 1, 3};

const std::vector<float>& model_signal()
{
    static const std::vector<float> volts = capture(model);
    return volts;
}

// Bit cells a shift may lie from the float signal's: 16-bit and float files (16-bit
// quantising moved no shift by 1e-5) ...
constexpr double fine_shift = 1e-3;
// ... and 8-bit ones, whose step is 1 % of the peak: quantising four model captures at
// three vertical offsets moved a shift by at most 0.0017 cell; this leaves three times that.
constexpr double coarse_shift = 5e-3;
// Volts a sample may lie beyond half a step from the signal: the rounding of floats.
constexpr double float_slack = 1e-5;
// Bytes fed at a time: a prime, so that headers and samples are cut everywhere.
constexpr std::size_t chunk = 7;

struct file_case {
    std::string name;
    capture_format format;
    std::string file;  // written from the signal
    double step;       // volts between its stored levels; 0: floats stored whole
    double interval;   // seconds between samples, as the header states it
    double shift_bound;
    std::int64_t channel = 0;  // read, and the waveforms in the file; 0: the only one
};

file_case trace(std::string name, const trace_options& o)
{
    return {std::move(name),
            capture_format::trc,
            trace_file(model_signal(), o),
            trace_gain(model_signal(), o),
            static_cast<float>(o.interval),
            o.bits == 8 ? coarse_shift : fine_shift};
}

file_case isf(std::string name, const isf_options& o)
{
    return {std::move(name),
            capture_format::isf,
            isf_file(model_signal(), o),
            isf_scale(model_signal(), o).ymult,
            o.xincr,
            o.bytes == 1 ? coarse_shift : fine_shift};
}

// The signal in float32, alone or after a digital waveform of another length.
file_case bin(std::string name, std::string_view cookie, bool after_digital)
{
    constexpr double interval = 2.5e-11;
    std::vector<bin_waveform> waves;
    if (after_digital) {
        waves.push_back({std::vector<float>(1001, 1.0F), 1e-9, bin_buffer::u8, "D0"});
    }
    waves.push_back({model_signal(), interval, bin_buffer::f32, "1"});
    return {std::move(name), capture_format::bin, bin_file(waves, cookie), 0,
            interval,        fine_shift,          after_digital ? 2 : 0};
}

struct decoded {
    std::vector<float> samples;
    echo_error error;
    capture_info info;
};

// Decodes a file in chunks of `size`; `as_stored`, with 8-bit samples handed on as stored.
decoded decode(std::string_view bytes, const capture_layout& layout, bool as_stored = false,
               std::size_t size = chunk)
{
    const decoder_handle decoder = decoder_create(layout);
    decoded d;
    for (std::size_t at = 0; at < bytes.size() && !d.error; at += size) {
        stored_samples stored;
        d.error = as_stored
                      ? decoder_feed_stored(*decoder, bytes.substr(at, size), d.samples, stored)
                      : decoder_feed(*decoder, bytes.substr(at, size), d.samples);
        std::vector<float> values(stored.bytes.size());
        stored_values(stored, 0, values);
        d.samples.insert(d.samples.end(), values.begin(), values.end());
    }
    if (!d.error) {
        d.error = decoder_finish(*decoder, d.samples);
    }
    d.info = decoder_info(*decoder);
    return d;
}

// A layout that leaves the format to be found from the bytes.
capture_layout found(std::int64_t channel = 0, std::int64_t segment = 0)
{
    return {std::nullopt, byte_order::little, channel, segment, {}};
}

capture_measurement measure(std::string_view bytes, const capture_layout& layout,
                            const rate_request& rate)
{
    const polynomial poly = *parse_polynomial(model.poly).poly;
    return measure_capture(poly, layout, rate, [bytes](std::span<char> buffer) mutable {
        const std::size_t size = std::min(buffer.size(), bytes.size());
        std::copy_n(bytes.begin(), size, buffer.begin());
        bytes.remove_prefix(size);
        return byte_read{size, false, {}};
    });
}

const rate_request per_bit{model.samples_per_bit, {}, {}};

// The signal measured from its little-endian float32 bytes.
const capture_measurement& in_float()
{
    static const capture_measurement m = [] {
        std::string bytes;
        for (const float v : model_signal()) {
            append(bytes, v, endian::little);
        }
        return measure(bytes, {capture_format::f32, byte_order::little, 0, 0, {}}, per_bit);
    }();
    return m;
}

// The widest difference between `got` and `want`, in volts, and where it lies.
std::pair<double, std::size_t> widest_error(std::span<const float> got, std::span<const float> want)
{
    std::pair<double, std::size_t> widest{0, 0};
    for (std::size_t j = 0; j < std::min(got.size(), want.size()); ++j) {
        widest = std::max(widest, std::pair(std::abs(static_cast<double>(got[j]) - want[j]), j));
    }
    return widest;
}

void PrintTo(const file_case& c, std::ostream* out)
{
    *out << c.name;
}

class ScopeFiles : public testing::TestWithParam<file_case> {};

TEST_P(ScopeFiles, GiveBackEverySampleAndWhatTheirHeaderStates)
{
    const file_case& c = GetParam();
    const decoded d = decode(c.file, found(c.channel));
    // Handed on as stored, where they are 8-bit, the samples are the same, whether the
    // chunk that ends the header holds a few of them or many.
    for (const std::size_t size : {chunk, std::size_t{1000}}) {
        EXPECT_EQ(decode(c.file, found(c.channel), true, size).samples, d.samples) << size;
    }
    ASSERT_EQ(error_text(d.error), "");
    EXPECT_EQ(d.info.format, c.format);
    EXPECT_EQ(d.info.channels, std::max<std::int64_t>(c.channel, 1));
    EXPECT_EQ(d.info.channel, std::max<std::int64_t>(c.channel, 1));
    EXPECT_EQ(d.info.declared_samples, static_cast<std::int64_t>(model_signal().size()));
    ASSERT_TRUE(d.info.sample_interval.has_value());
    EXPECT_NEAR(*d.info.sample_interval / c.interval, 1, 1e-6);
    ASSERT_EQ(d.samples.size(), model_signal().size());
    const auto [widest, at] = widest_error(d.samples, model_signal());
    EXPECT_LE(widest, c.step / 2 + float_slack) << "at sample " << at;
}

// At samples per bit, and at a bit rate with the sample interval the file states.
TEST_P(ScopeFiles, MeasureTheShiftsOfTheSameSignalInFloatAtEitherRate)
{
    const file_case& c = GetParam();
    ASSERT_EQ(error_text(in_float().error), "");
    const rate_request by_bit_rate{{}, 1 / (c.interval * model.samples_per_bit), {}};
    for (const rate_request& rate : {per_bit, by_bit_rate}) {
        const capture_measurement m = measure(c.file, found(c.channel), rate);
        ASSERT_EQ(error_text(m.error), "") << (rate.bit_rate ? "by bit rate" : "per bit");
        for (const effect e : {effect::hts, effect::nlts}) {
            ASSERT_TRUE(echo_of(m.result, e).shift && echo_of(in_float().result, e).shift);
            EXPECT_NEAR(*echo_of(m.result, e).shift, *echo_of(in_float().result, e).shift,
                        c.shift_bound)
                << (e == effect::hts ? "HTS" : "NLTS") << (rate.bit_rate ? " by bit rate" : "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ScopeFiles,
    testing::Values(
        trace("Trc16LittleWithUserText", {.user_text = 64}),
        trace("Trc16BigWithoutPrefix", {.order = endian::big, .prefix = false, .offset = -0.2}),
        trace("Trc8Little", {.bits = 8, .interval = 2e-11}),
        trace("Trc8BigWithUserText", {.bits = 8, .order = endian::big, .user_text = 160}),
        isf("Isf2RiMsbLong", {.yoff = 300}),
        isf("Isf2RpLsbShort", {.is_signed = false,
                               .order = endian::little,
                               .short_keywords = true,
                               .yzero = 0.1,
                               .line_feed = false}),
        isf("Isf1RiLsbLongBinarySpelledOut",
            {.bytes = 1, .order = endian::little, .yoff = 20, .encoding = "BINARY"}),
        isf("Isf1RpMsbShort", {.bytes = 1,
                               .is_signed = false,
                               .short_keywords = true,
                               .xincr = 1e-9,
                               .yzero = -0.05}),
        bin("BinFloat", "AG", false), bin("BinSecondOfTwoUnderRg", "RG", true)),
    [](const testing::TestParamInfo<file_case>& named) { return named.param.name; });

// A sequence of three segments, one period each: any one is read, and none beyond.
TEST(ScopeFiles, ReadOneSegmentOfASequenceTraceAndCountTheSegments)
{
    constexpr std::int32_t segments = 3;
    const trace_options o{.segments = segments};
    const std::string file = trace_file(model_signal(), o);
    const std::size_t length = model_signal().size() / segments;
    const decoded second = decode(file, found(0, 2));
    ASSERT_EQ(error_text(second.error), "");
    EXPECT_EQ(second.info.segments, segments);
    EXPECT_EQ(second.info.segment, 2);
    ASSERT_EQ(second.samples.size(), length);
    const auto [widest, at] =
        widest_error(second.samples, std::span(model_signal()).subspan(length, length));
    EXPECT_LE(widest, trace_gain(model_signal(), o) / 2 + float_slack) << "at sample " << at;

    const decoded beyond = decode(file, found(0, segments + 1));
    EXPECT_EQ(beyond.error.code, echo_errc::no_such_segment) << error_text(beyond.error);
    const capture_measurement unchosen = measure(file, found(), per_bit);
    EXPECT_EQ(unchosen.error.code, echo_errc::segment_needed) << error_text(unchosen.error);
    EXPECT_EQ(unchosen.error.count, segments);
}

}  // namespace
