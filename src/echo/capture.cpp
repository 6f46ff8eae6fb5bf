// Captured read-backs, decoded a chunk at a time. Raw samples are read in the
// byte order the capture states whatever the host's, and text is parsed without
// the locale, so that one capture gives the same samples on every machine.
#include "capture.h"

#include "internal/text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

namespace keldran::echo {

struct capture_decoder {
    capture_format format = capture_format::f32;
    byte_order order = byte_order::little;
    std::string carry;         // bytes of a sample or line that the next chunk completes
    std::int64_t line = 0;     // csv: lines taken so far
    std::int64_t samples = 0;  // samples decoded so far
    bool in_header = true;     // csv: no number seen yet, so a line of text is a header
};

namespace {

// Characters a csv line may hold before it is taken for something else.
constexpr std::size_t longest_line = std::size_t{1} << 16;

constexpr std::size_t f32_width = 4;
constexpr std::size_t bits_per_byte = 8;
static_assert(sizeof(float) == f32_width && std::numeric_limits<float>::is_iec559,
              "f32 captures are copied straight into IEEE single-precision floats");

// Spreadsheet programs start a UTF-8 text file with this mark; it is not part of the first line.
constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";
constexpr std::string_view blanks = " \t\r";

struct named_format {
    std::string_view name;
    capture_format format;
};
constexpr std::array<named_format, 6> format_names{{{"i8", capture_format::i8},
                                                    {"u8", capture_format::u8},
                                                    {"i16", capture_format::i16},
                                                    {"f32", capture_format::f32},
                                                    {"f64", capture_format::f64},
                                                    {"csv", capture_format::csv}}};

// Bytes in one raw sample of `format`.
std::size_t sample_width(capture_format format)
{
    constexpr std::size_t i16_width = 2;
    constexpr std::size_t f64_width = 8;
    switch (format) {
    case capture_format::i16:
        return i16_width;
    case capture_format::f32:
        return f32_width;
    case capture_format::f64:
        return f64_width;
    default:
        return 1;
    }
}

unsigned byte_at(std::span<const char> bytes, std::size_t i)
{
    return static_cast<unsigned char>(bytes[i]);
}

// The sample's bytes as one unsigned number, assembled byte by byte in the
// capture's order so that it reads alike on any host.
std::uint64_t sample_bits(std::span<const char> bytes, std::size_t offset, std::size_t width,
                          byte_order order)
{
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < width; ++k) {
        const std::size_t at = order == byte_order::little ? k : width - 1 - k;
        bits |= std::uint64_t{byte_at(bytes, offset + at)} << (bits_per_byte * k);
    }
    return bits;
}

// A float64 as the nearest float32; one beyond float32's range is as infinite to it.
float narrowed(double x)
{
    constexpr double largest = std::numeric_limits<float>::max();
    if (std::abs(x) > largest) {
        constexpr float infinite = std::numeric_limits<float>::infinity();
        return x > 0 ? infinite : -infinite;
    }
    return static_cast<float>(x);
}

// One raw sample as its value (only relative sizes matter downstream, so integers
// are taken as they are, with no scale or offset).
float sample_at(const capture_decoder& decoder, std::span<const char> bytes, std::size_t offset)
{
    const std::size_t width = sample_width(decoder.format);
    const std::uint64_t bits = sample_bits(bytes, offset, width, decoder.order);
    switch (decoder.format) {
    case capture_format::i8:
        return static_cast<float>(static_cast<std::int8_t>(static_cast<std::uint8_t>(bits)));
    case capture_format::i16:
        return static_cast<float>(static_cast<std::int16_t>(static_cast<std::uint16_t>(bits)));
    case capture_format::f32:
        return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    case capture_format::f64:
        return narrowed(std::bit_cast<double>(bits));
    default:
        return static_cast<float>(bits);
    }
}

// Whether the float with these bits is infinite or NaN: its exponent bits all set.
bool not_finite(std::uint32_t bits)
{
    constexpr std::uint32_t exponent_bits = 0x7F800000U;
    return (bits & exponent_bits) == exponent_bits;
}

// Appends the whole samples in `bytes`, whose size is a multiple of the sample width,
// and says whether any is infinite or NaN (an integer sample never is). Where the
// host is little-endian, little-endian f32 samples are copied and checked in one
// pass, which the compiler vectorises: a large capture stays near the speed of reading it.
bool append_samples(const capture_decoder& decoder, std::span<const char> bytes,
                    std::vector<float>& out)
{
    const std::size_t width = sample_width(decoder.format);
    const std::size_t count = bytes.size() / width;
    const std::size_t first = out.size();
    out.resize(first + count);
    std::uint32_t bad = 0;
    if (decoder.format == capture_format::f32 && decoder.order == byte_order::little
        && std::endian::native == std::endian::little) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, bytes.data() + i * f32_width, f32_width);
            bad |= static_cast<std::uint32_t>(not_finite(bits));
            out[first + i] = std::bit_cast<float>(bits);
        }
        return bad != 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[first + i] = sample_at(decoder, bytes, i * width);
        bad |= static_cast<std::uint32_t>(not_finite(std::bit_cast<std::uint32_t>(out[first + i])));
    }
    return bad != 0;
}

// Counts the samples appended to `out` from `first_new` on, up to the first NaN or
// infinity, which the message names and which goes with all after it; `any_bad`
// says whether there is one.
echo_error count_finite(capture_decoder& decoder, std::vector<float>& out, std::size_t first_new,
                        bool any_bad)
{
    if (!any_bad) {
        decoder.samples += static_cast<std::int64_t>(out.size() - first_new);
        return {};
    }
    const auto begin = out.begin() + static_cast<std::ptrdiff_t>(first_new);
    const auto first_bad =
        std::find_if(begin, out.end(), [](float sample) { return !std::isfinite(sample); });
    decoder.samples += first_bad - begin;
    out.erase(first_bad, out.end());
    return {.code = echo_errc::sample_not_finite, .index = decoder.samples + 1};
}

// Raw samples: first completes the sample a previous chunk began, then takes every
// whole sample and keeps the rest for the next chunk.
echo_error decode_raw(capture_decoder& decoder, std::span<const char> bytes,
                      std::vector<float>& out)
{
    const std::size_t width = sample_width(decoder.format);
    const std::size_t first_new = out.size();
    if (!decoder.carry.empty()) {
        const auto head = bytes.first(std::min(width - decoder.carry.size(), bytes.size()));
        decoder.carry.append(head.begin(), head.end());
        bytes = bytes.subspan(head.size());
        if (decoder.carry.size() < width) {
            return {};
        }
        out.push_back(sample_at(decoder, decoder.carry, 0));
        decoder.carry.clear();
    }
    const bool carried_bad = out.size() > first_new && !std::isfinite(out.back());
    const std::size_t whole = bytes.size() - bytes.size() % width;
    const bool any_bad = append_samples(decoder, bytes.first(whole), out);
    const auto rest = bytes.subspan(whole);
    decoder.carry.assign(rest.begin(), rest.end());
    return count_finite(decoder, out, first_new, carried_bad || any_bad);
}

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The number that `text` holds whole: decimal or exponent form, with an optional sign.
// A magnitude beyond a double's range counts as infinite, one below it as zero.
std::optional<double> number_in(std::string_view text)
{
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (stop != end || (error != std::errc{} && error != std::errc::result_out_of_range)) {
        return std::nullopt;
    }
    if (error == std::errc{}) {
        return value;
    }
    // Out of range: a magnitude too small for a double is zero, one too large infinite.
    const std::size_t exponent = text.find_first_of("eE");
    const bool tiny = exponent != std::string_view::npos && exponent + 1 < text.size()
                      && text[exponent + 1] == '-';
    return tiny ? 0.0 : std::numeric_limits<double>::infinity();
}

// One csv line: blank lines are skipped, and so is every line before the first whose
// last column is a number; after that, each line's last column is one sample.
echo_error take_line(capture_decoder& decoder, std::string_view line, std::vector<float>& out)
{
    ++decoder.line;
    // No number runs this long, wherever the chunks that brought the line ended.
    if (line.size() > longest_line) {
        return {.code = echo_errc::line_not_a_number,
                .index = decoder.line,
                .text = std::string(line.substr(0, longest_line))};
    }
    if (decoder.line == 1 && line.starts_with(utf8_bom)) {
        line.remove_prefix(utf8_bom.size());
    }
    const std::string_view text = trimmed(line);
    if (text.empty()) {
        return {};
    }
    // Some oscilloscopes end every line with a comma: the sample is the last column
    // that holds anything.
    const std::string_view filled = trimmed(text.substr(0, text.find_last_not_of(", \t") + 1));
    const std::size_t comma = filled.rfind(',');
    const std::string_view column =
        comma == std::string_view::npos ? filled : trimmed(filled.substr(comma + 1));
    const std::optional<double> value = number_in(column);
    if (!value) {
        if (decoder.in_header) {
            return {};
        }
        return {.code = echo_errc::line_not_a_number,
                .index = decoder.line,
                .text = std::string(column)};
    }
    decoder.in_header = false;
    if (!std::isfinite(*value) || std::abs(*value) > std::numeric_limits<float>::max()) {
        return {
            .code = echo_errc::line_not_finite, .index = decoder.line, .text = std::string(column)};
    }
    out.push_back(static_cast<float>(*value));
    ++decoder.samples;
    return {};
}

// Ends the line that earlier chunks began with `rest`, the part of it in this chunk.
echo_error take_carried_line(capture_decoder& decoder, std::string_view rest,
                             std::vector<float>& out)
{
    decoder.carry += rest;
    echo_error message = take_line(decoder, decoder.carry, out);
    decoder.carry.clear();
    return message;
}

echo_error decode_csv(capture_decoder& decoder, std::span<const char> bytes,
                      std::vector<float>& out)
{
    const std::string_view text(bytes.data(), bytes.size());
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos;
         end = text.find('\n', start)) {
        const std::string_view line = text.substr(start, end - start);
        echo_error message = decoder.carry.empty() ? take_line(decoder, line, out)
                                                   : take_carried_line(decoder, line, out);
        if (message) {
            return message;
        }
        start = end + 1;
    }
    decoder.carry += text.substr(start);
    // No number runs this long: a capture without line ends is not a csv capture,
    // and holding it all would take memory without end.
    if (decoder.carry.size() > longest_line) {
        return {
            .code = echo_errc::line_not_a_number, .index = decoder.line + 1, .text = decoder.carry};
    }
    return {};
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return std::ranges::equal(a, b, {}, lower, lower);
}

}  // namespace

std::optional<capture_format> format_named(std::string_view name)
{
    for (const named_format& known : format_names) {
        if (known.name == name) {
            return known.format;
        }
    }
    return std::nullopt;
}

std::optional<capture_format> format_of_path(std::string_view path)
{
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view extension = path.substr(dot + 1);
    for (const named_format& known : format_names) {
        if (equal_ignoring_case(known.name, extension)) {
            return known.format;
        }
    }
    return std::nullopt;
}

std::optional<byte_order> byte_order_named(std::string_view name)
{
    if (name == "little" || name == "big") {
        return name == "little" ? byte_order::little : byte_order::big;
    }
    return std::nullopt;
}

void capture_decoder_free::operator()(capture_decoder* decoder) const
{
    delete decoder;  // NOLINT(cppcoreguidelines-owning-memory): the handle owns it
}

decoder_handle decoder_create(capture_layout layout)
{
    decoder_handle decoder(new capture_decoder);
    decoder->format = layout.format;
    decoder->order = layout.order;
    return decoder;
}

echo_error decoder_feed(capture_decoder& decoder, std::span<const char> bytes,
                        std::vector<float>& out)
{
    if (decoder.format == capture_format::csv) {
        return decode_csv(decoder, bytes, out);
    }
    return decode_raw(decoder, bytes, out);
}

echo_error decoder_finish(capture_decoder& decoder, std::vector<float>& out)
{
    if (decoder.carry.empty()) {
        return {};
    }
    if (decoder.format == capture_format::csv) {
        return take_carried_line(decoder, {}, out);
    }
    const auto left = static_cast<std::int64_t>(decoder.carry.size());
    decoder.carry.clear();
    return {.code = echo_errc::ends_inside_sample, .count = left};
}

std::int64_t decoder_samples(const capture_decoder& decoder)
{
    return decoder.samples;
}

}  // namespace keldran::echo
