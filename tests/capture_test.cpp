// Captures give the same samples however they are cut into chunks, and a faulty
// one is named by its sample or line.
#include "capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace keldran::echo {
namespace {

using namespace std::string_view_literals;
using namespace std::string_literals;

struct decoded {
    std::vector<float> samples;
    std::string message;
    capture_info info;
};

// Decodes one chunk; as stored, 8-bit samples come back as bytes, made values here.
echo_error feed(capture_decoder& decoder, std::string_view bytes, bool as_stored,
                std::vector<float>& out)
{
    if (!as_stored) {
        return decoder_feed(decoder, bytes, out);
    }
    stored_samples stored;
    echo_error error = decoder_feed_stored(decoder, bytes, out, stored);
    std::vector<float> values(stored.bytes.size());
    stored_values(stored, 0, values);
    out.insert(out.end(), values.begin(), values.end());
    return error;
}

// Decodes `bytes` in chunks of `chunk` bytes (0: all at once), up to the first fault.
decoded decode_in_chunks(capture_layout layout, std::string_view bytes, std::size_t chunk,
                         bool as_stored = false)
{
    const decoder_handle decoder = decoder_create(layout);
    decoded result;
    const std::size_t step = chunk == 0 ? std::max(bytes.size(), std::size_t{1}) : chunk;
    for (std::size_t at = 0; at < bytes.size() && result.message.empty(); at += step) {
        result.message =
            error_text(feed(*decoder, bytes.substr(at, step), as_stored, result.samples));
    }
    if (result.message.empty()) {
        result.message = error_text(decoder_finish(*decoder, result.samples));
    }
    result.info = decoder_info(*decoder);
    return result;
}

// Chunk sizes that cut samples and lines in every place; 0 is the whole capture at once.
constexpr std::array<std::size_t, 5> chunk_sizes{1, 2, 3, 5, 0};

// Names a case and its chunk size, e.g. F32InChunksOf3.
template <typename Case>
std::string case_name(const testing::TestParamInfo<std::tuple<Case, std::size_t>>& info)
{
    const auto& [given, chunk] = info.param;
    return given.name + (chunk == 0 ? std::string("Whole") : "InChunksOf" + std::to_string(chunk));
}

struct sample_case {
    const char* name;
    capture_format format;
    std::string_view bytes;  // raw samples written out byte by byte
    std::vector<float> samples;
    byte_order order = byte_order::little;
};

const std::vector<sample_case> sample_cases{
    {"F32",
     capture_format::f32,
     "\x00\x00\x80\x3F\x00\x00\x20\xC0\x51\x06\x9E\x3F"sv,
     {1.0F, -2.5F, 1.2345678F}},
    {"I16",
     capture_format::i16,
     "\x01\x00\xFF\xFF\xFF\x7F\x00\x80\x02\x01"sv,
     {1.0F, -1.0F, 32767.0F, -32768.0F, 258.0F}},
    {"I16BigEndian",
     capture_format::i16,
     "\x00\x01\xFF\xFE\x80\x00"sv,
     {1.0F, -2.0F, -32768.0F},
     byte_order::big},
    {"I8", capture_format::i8, "\x01\xFF\x7F\x80"sv, {1.0F, -1.0F, 127.0F, -128.0F}},
    {"U8", capture_format::u8, "\x00\xFF\x80"sv, {0.0F, 255.0F, 128.0F}},
    {"F32BigEndian",
     capture_format::f32,
     "\x3F\x80\x00\x00\xC0\x20\x00\x00"sv,
     {1.0F, -2.5F},
     byte_order::big},
    {"F64",
     capture_format::f64,
     "\x00\x00\x00\x00\x00\x00\xF0\x3F\x00\x00\x00\x00\x00\x00\x04\xC0"sv,
     {1.0F, -2.5F}},
    {"F64BigEndian",
     capture_format::f64,
     "\xC0\x04\x00\x00\x00\x00\x00\x00"sv,
     {-2.5F},
     byte_order::big},
    {"CsvOneSamplePerLine",
     capture_format::csv,
     "0.5\n-0.25\n1e-3\n+2\n",
     {0.5F, -0.25F, 1e-3F, 2.0F}},
    {"CsvTimeValueAfterHeaderWithCrlf",
     capture_format::csv,
     "Time (s),Volts\r\nscope 2, channel B\r\n0, 0.5\r\n\r\n\t1e-6 ,\t-0.25 \r\n2e-6,3",
     {0.5F, -0.25F, 3.0F}},
    {"CsvAfterByteOrderMark",
     capture_format::csv,
     "\xEF\xBB\xBF"
     "0.5\n0.75\n",
     {0.5F, 0.75F}},
    {"CsvOfHeaderLinesOnly", capture_format::csv, "time,value\n\n", {}},
    {"CsvWithATrailingCommaOnEveryLine",
     capture_format::csv,
     "t,v,\n0,0.5,\n1,-1,\n",
     {0.5F, -1.0F}},
    {"CsvWithAValueTooSmallForADouble", capture_format::csv, "1\n1e-400\n", {1.0F, 0.0F}},
};

class CaptureSamples : public testing::TestWithParam<std::tuple<sample_case, std::size_t>> {};

TEST_P(CaptureSamples, AreTheSameWhereverTheChunksEnd)
{
    const auto& [given, chunk] = GetParam();
    const decoded result = decode_in_chunks({given.format, given.order}, given.bytes, chunk);
    EXPECT_EQ(result.message, "");
    EXPECT_EQ(result.samples, given.samples);
}

// Handed on as stored, 8-bit samples have the same values, and the capture says the same
// of itself; every other format comes as values still.
TEST_P(CaptureSamples, AreTheSameHandedOnAsStored)
{
    const auto& [given, chunk] = GetParam();
    const decoded result = decode_in_chunks({given.format, given.order}, given.bytes, chunk, true);
    EXPECT_EQ(result.message, "");
    EXPECT_EQ(result.samples, given.samples);
    EXPECT_EQ(result.info.samples, static_cast<std::int64_t>(given.samples.size()));
    if (!given.samples.empty()) {
        EXPECT_EQ(result.info.first, given.samples.front());
        EXPECT_EQ(result.info.last, given.samples.back());
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, CaptureSamples,
                         testing::Combine(testing::ValuesIn(sample_cases),
                                          testing::ValuesIn(chunk_sizes)),
                         case_name<sample_case>);

struct fault_case {
    const char* name;
    capture_format format;
    std::string_view bytes;
    const char* message;
};

const std::vector<fault_case> fault_cases{
    {"F32NaN", capture_format::f32, "\x00\x00\x80\x3F\x00\x00\x20\xC0\x00\x00\xC0\x7F"sv,
     "sample 3 is not a finite number"},
    {"F32Infinity", capture_format::f32, "\x00\x00\x80\x7F"sv, "sample 1 is not a finite number"},
    {"F64BeyondFloat", capture_format::f64,
     "\x00\x00\x80\x3F\x00\x00\x00\x00\x9C\x75\x00\x88\x3C\xE4\x37\x7E"sv,
     "sample 2 is not a finite number"},
    {"F64CutShort", capture_format::f64, "\x00\x00\x80\x3F\x00"sv,
     "the capture ends inside a sample (5 bytes left over)"},
    {"F32CutShort", capture_format::f32, "\x00\x00\x80\x3F\x00\x00"sv,
     "the capture ends inside a sample (2 bytes left over)"},
    {"I16CutShort", capture_format::i16, "\x01\x00\x02"sv,
     "the capture ends inside a sample (1 byte left over)"},
    {"CsvNaN", capture_format::csv, "time,value\n0,1\n1,nan\n",
     "line 3 is not a finite number: \"nan\""},
    {"CsvBeyondFloat", capture_format::csv, "1\n1e39\n", "line 2 is not a finite number: \"1e39\""},
    {"CsvText", capture_format::csv, "v\n1\n\n2, abc \n3\n", "line 4 is not a number: \"abc\""},
    {"CsvTwoSigns", capture_format::csv, "1\n+-2\n", "line 2 is not a number: \"+-2\""},
    {"CsvLongText", capture_format::csv, "1\nxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n",
     "line 2 is not a number: \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...\""},
    {"CsvLongWideText", capture_format::csv,
     "1\nxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\n",
     "line 2 is not a number: \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...\""},
    {"CsvTabSeparated", capture_format::csv, "1\n2\t3\n", "line 2 is not a number: \"2?3\""},
    {"CsvUnendedLastLine", capture_format::csv, "1\n2x", "line 2 is not a number: \"2x\""},
};

class CaptureFaults : public testing::TestWithParam<std::tuple<fault_case, std::size_t>> {};

TEST_P(CaptureFaults, AreNamedBySampleOrLineWhereverTheChunksEnd)
{
    const auto& [given, chunk] = GetParam();
    EXPECT_EQ(decode_in_chunks({given.format}, given.bytes, chunk).message, given.message);
}

INSTANTIATE_TEST_SUITE_P(Formats, CaptureFaults,
                         testing::Combine(testing::ValuesIn(fault_cases),
                                          testing::ValuesIn(chunk_sizes)),
                         case_name<fault_case>);

// A csv line may run to 65536 characters, however the chunks cut it; one more
// is not a capture's line, and holding it would take memory without end.
TEST(CaptureLines, RunToSixtyFourKibibytesAndNoFurther)
{
    constexpr std::size_t longest = 65536;
    const std::string longest_sample = std::string(longest - 1, '0') + "1\n";
    const decoded read = decode_in_chunks({capture_format::csv}, "2\n" + longest_sample, 4096);
    EXPECT_EQ(read.message, "");
    EXPECT_EQ(read.samples, (std::vector<float>{2.0F, 1.0F}));
    const std::string too_long = "2\n0" + longest_sample;
    EXPECT_EQ(decode_in_chunks({capture_format::csv}, too_long, 4096).message,
              "line 2 is not a number: \"0000000000000000000000000000000000000...\"");
}

TEST(CaptureFormat, IsNamedExactlyByTheFormatOption)
{
    EXPECT_EQ(format_named("f32"), capture_format::f32);
    EXPECT_EQ(format_named("i16"), capture_format::i16);
    EXPECT_EQ(format_named("csv"), capture_format::csv);
    EXPECT_EQ(format_named("i8"), capture_format::i8);
    EXPECT_EQ(format_named("u8"), capture_format::u8);
    EXPECT_EQ(format_named("f64"), capture_format::f64);
    EXPECT_EQ(format_named("CSV"), std::nullopt);
    EXPECT_EQ(format_named("wav"), std::nullopt);
}

TEST(CaptureFormat, FollowsTheLastExtensionOfTheFileName)
{
    EXPECT_EQ(format_of_path("runs/capture.f32"), capture_format::f32);
    EXPECT_EQ(format_of_path("a.b/capture.i16"), capture_format::i16);
    EXPECT_EQ(format_of_path("SCOPE01.CSV"), capture_format::csv);
    EXPECT_EQ(format_of_path("adc.U8"), capture_format::u8);
    EXPECT_EQ(format_of_path("adc.i8"), capture_format::i8);
    EXPECT_EQ(format_of_path("sim.f64"), capture_format::f64);
    EXPECT_EQ(format_of_path("capture.f32.gz"), std::nullopt);
    EXPECT_EQ(format_of_path("runs.csv/capture"), std::nullopt);
    EXPECT_EQ(format_of_path("capture"), std::nullopt);
}

struct detection_case {
    const char* name;
    std::string_view first;  // the capture's first bytes
    std::optional<capture_format> hint;
    std::string message;  // of the whole capture decoded: empty, or why it cannot be
    capture_format found = capture_format::csv;
};

// Oscilloscope files by their mark, whatever their name says; text as csv; raw
// samples only by name; anything else, named as what it is not.
const std::vector<detection_case> detection_cases{
    {"TextIsCsv", "0.5\n-0.5\n", std::nullopt, "", capture_format::csv},
    {"RawSamplesByName", "\x00\x00\x80\x3F"sv, capture_format::f32, "", capture_format::f32},
    {"MarkBeatsTheName", "AG10\x0c\x00\x00\x00\x00\x00\x00\x00"sv, capture_format::f32,
     "the Keysight binary waveform's header is damaged: it holds 0 waveforms", capture_format::bin},
    {"TraceNamedButText", "1\n2\n", capture_format::trc,
     "the capture is not a LeCroy trace (its first bytes do not read as one)"},
    {"NoMarkNoName", "\x01\x02\x03"sv, std::nullopt,
     "the capture's first bytes are of no format read here, and its name implies none"},
    {"PreambleWithoutItsCurve", ":WFMPRE:BYT_NR 1;BN_FMT RI\n", std::nullopt,
     "the capture is not a Tektronix save file (its first bytes do not read as one)",
     capture_format::isf},
};

class CaptureDetection : public testing::TestWithParam<detection_case> {};

TEST_P(CaptureDetection, FindsTheFormatFromTheContentWithTheNameAsAHint)
{
    const detection_case& c = GetParam();
    const decoder_handle decoder = decoder_create({.format = std::nullopt, .hint = c.hint});
    std::vector<float> samples;
    std::string message = error_text(decoder_feed(*decoder, c.first, samples));
    if (message.empty()) {
        message = error_text(decoder_finish(*decoder, samples));
    }
    EXPECT_EQ(message, c.message);
    if (c.message.empty() || c.found != capture_format::csv) {
        EXPECT_EQ(decoder_info(*decoder).format, c.found);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureDetection, testing::ValuesIn(detection_cases),
                         [](const testing::TestParamInfo<detection_case>& given) {
                             return std::string(given.param.name);
                         });

// Float32 samples 0.25, 0.251, ... as bytes in `order`, after the bits `first`.
std::string float_bytes(std::uint32_t first, byte_order order)
{
    constexpr int count = 64;
    constexpr float step = 0.001F;
    std::string bytes;
    for (int i = 0; i <= count; ++i) {
        const std::uint32_t bits =
            i == 0 ? first : std::bit_cast<std::uint32_t>(0.25F + step * static_cast<float>(i));
        for (int k = 0; k < 4; ++k) {
            const int shift = 8 * (order == byte_order::little ? k : 3 - k);
            bytes += static_cast<char>((bits >> shift) & 0xFFU);
        }
    }
    return bytes;
}

capture_signs little_endian_signs(std::string_view bytes)
{
    const decoder_handle decoder = decoder_create({capture_format::f32});
    std::vector<float> samples;
    decoder_feed(*decoder, bytes, samples);
    return decoder_signs(*decoder);
}

// The signs of a wrong format that the decoder passes on. 0x3E80807F is 0.2510 read
// in its own order and NaN read backwards.
TEST(CaptureSigns, TellAnOtherByteOrderOnlyWhenItsSamplesArePlausible)
{
    EXPECT_TRUE(little_endian_signs(float_bytes(0x3E80807FU, byte_order::big)).other_order_finite);
    // A lone NaN in a good capture is finite backwards too, but the rest would not be plausible.
    EXPECT_FALSE(
        little_endian_signs(float_bytes(0x7F80803EU, byte_order::little)).other_order_finite);
}

TEST(CaptureSigns, CountAHandfulOfDistinctValuesAmongManySamples)
{
    std::string levels;
    for (int i = 0; i < 1024; ++i) {
        levels += static_cast<char>(i % 3);
    }
    const decoder_handle decoder = decoder_create({capture_format::i8});
    std::vector<float> samples;
    decoder_feed(*decoder, levels, samples);
    EXPECT_EQ(decoder_signs(*decoder).distinct_values, 3);
    std::string noise;
    for (int i = 0; i < 1024; ++i) {
        noise += static_cast<char>((i * 37) % 101);
    }
    const decoder_handle varied = decoder_create({capture_format::i8});
    decoder_feed(*varied, noise, samples);
    EXPECT_EQ(decoder_signs(*varied).distinct_values, 0);
}

}  // namespace
}  // namespace keldran::echo
