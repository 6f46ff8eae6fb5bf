// The Keysight (formerly Agilent) binary waveform file, little-endian: a file
// header ("AG" or "RG", two digits of version, the file's size, the number of
// waveforms), then for each waveform its header and, for each of its buffers,
// a data header and the buffer. Every header states its own size, so one that
// grew in a later version is skipped whole.
#include "decode_internal.h"

#include <array>

namespace keldran::echo {

namespace {

constexpr byte_order order = byte_order::little;

constexpr std::size_t file_header_size = 12;
constexpr std::size_t waveforms_at = 8;
// Offsets in a waveform header, the fields up to the segment index.
constexpr std::size_t buffers_at = 8;
constexpr std::size_t points_at = 12;
constexpr std::size_t x_increment_at = 32;
constexpr std::size_t y_units_at = 52;
constexpr std::size_t frame_at = 88;
constexpr std::size_t frame_width = 24;
constexpr std::size_t label_at = 112;
constexpr std::size_t label_width = 16;
constexpr std::size_t waveform_header_size = 140;
// Offsets in a data header.
constexpr std::size_t buffer_type_at = 4;
constexpr std::size_t bytes_per_point_at = 6;
constexpr std::size_t buffer_size_at = 8;
constexpr std::size_t data_header_size = 12;

// Buffer types: float32 samples (normal, maximum, minimum), 32-bit counts, digital bytes.
constexpr std::int16_t normal_float = 1;
constexpr std::int16_t minimum_float = 3;
constexpr std::int16_t counts = 5;
constexpr std::int16_t digital = 6;

// The file header: whether it is one, and how many waveforms follow.
header_step read_file_header(std::string_view bytes, capture_info& info)
{
    if (bytes.size() < file_header_size) {
        return {.wanted = file_header_size};
    }
    const bool cookie = bytes.starts_with("AG") || bytes.starts_with("RG");
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!cookie || !digit(bytes[2]) || !digit(bytes[3])) {
        return {.what = header_step::kind::failed,
                .error = {.code = echo_errc::not_this_format,
                          .text = std::string(format_title(capture_format::bin))}};
    }
    const std::int32_t waveforms = stored_i32(bytes, waveforms_at, order);
    if (waveforms < 1) {
        return damaged_header(capture_format::bin,
                              "it holds " + std::to_string(waveforms) + " waveforms");
    }
    info.format = capture_format::bin;
    info.version = std::string(bytes.substr(0, 4));
    info.channels = waveforms;
    return {.what = header_step::kind::skip_to,
            .offset = static_cast<std::int64_t>(file_header_size)};
}

std::string units_named(std::int32_t code)
{
    constexpr std::array<std::string_view, 7> names{"", "V", "s", "", "A", "dB", "Hz"};
    return code >= 0 && static_cast<std::size_t>(code) < names.size()
               ? std::string(names[static_cast<std::size_t>(code)])
               : std::string();
}

// How a buffer of `type` with `width` bytes a point is stored; nothing when it cannot be read.
std::optional<sample_type> buffer_samples(std::int16_t type, std::int16_t width)
{
    if (type >= normal_float && type <= minimum_float) {
        return width == 4 ? std::optional(sample_type::f32) : std::nullopt;
    }
    if (type == counts && width == 4) {
        return sample_type::i32;
    }
    if (type == digital && width == 1) {
        return sample_type::u8;
    }
    if (width == 1 || width == 2) {
        return width == 1 ? sample_type::i8 : sample_type::i16;
    }
    return std::nullopt;
}

void describe(std::string_view waveform, capture_info& info, std::int64_t chosen)
{
    info.channel = chosen;
    info.declared_samples = stored_i32(waveform, points_at, order);
    info.instrument = std::string(stored_text(waveform, frame_at, frame_width));
    info.label = std::string(stored_text(waveform, label_at, label_width));
    info.units = units_named(stored_i32(waveform, y_units_at, order));
    const double interval = stored_f64(waveform, x_increment_at, order);
    if (interval > 0) {
        info.sample_interval = interval;
    }
}

// The chosen waveform's first buffer, whose data header starts at `data`.
header_step chosen_buffer(std::string_view data, std::int64_t data_at, capture_info& info)
{
    const std::int32_t size = stored_i32(data, 0, order);
    const std::int16_t type = stored_i16(data, buffer_type_at, order);
    const std::int16_t width = stored_i16(data, bytes_per_point_at, order);
    const std::int32_t bytes = stored_i32(data, buffer_size_at, order);
    const std::optional<sample_type> stored = buffer_samples(type, width);
    if (!stored) {
        return {.what = header_step::kind::failed,
                .error = {.code = echo_errc::unsupported_samples,
                          .text = std::string(format_title(capture_format::bin)),
                          .detail = "buffer type " + std::to_string(type) + " of "
                                    + std::to_string(width) + " bytes a point"}};
    }
    if (size < static_cast<std::int32_t>(data_header_size) || bytes < 0) {
        return damaged_header(capture_format::bin,
                              "a data header gives a size below its own or a negative buffer");
    }
    constexpr std::int32_t bits_per_byte = 8;
    info.sample_bits = width * bits_per_byte;
    return {.what = header_step::kind::samples,
            .offset = data_at + size,
            .count = bytes / width,
            .plan = {.type = *stored, .order = order}};
}

}  // namespace

header_step read_bin_header(const header_view& head, const capture_layout& layout,
                            capture_info& info)
{
    if (head.at == 0) {
        return read_file_header(head.bytes, info);
    }
    const std::int64_t chosen = std::max<std::int64_t>(layout.channel, 1);
    if (chosen > info.channels) {
        return {
            .what = header_step::kind::failed,
            .error = {.code = echo_errc::no_such_channel, .count = info.channels, .value = chosen}};
    }
    if (head.bytes.size() < waveform_header_size) {
        return {.wanted = waveform_header_size};
    }
    const std::int32_t size = stored_i32(head.bytes, 0, order);
    const std::int32_t buffers = stored_i32(head.bytes, buffers_at, order);
    if (size < static_cast<std::int32_t>(waveform_header_size)
        || static_cast<std::size_t>(size) > longest_header || buffers < 1) {
        return damaged_header(capture_format::bin, "waveform " + std::to_string(head.waveform)
                                                       + "'s header gives size "
                                                       + std::to_string(size) + " and "
                                                       + std::to_string(buffers) + " buffers");
    }
    const auto data_at = static_cast<std::size_t>(size);
    if (head.bytes.size() < data_at + data_header_size) {
        return {.wanted = data_at + data_header_size};
    }
    const std::string_view data = head.bytes.substr(data_at);
    if (head.waveform == chosen) {
        describe(head.bytes, info, chosen);
        return chosen_buffer(data, head.at + size, info);
    }
    // A waveform before the chosen one: skip it, buffer by buffer.
    std::int64_t next = head.at + size;
    const std::int64_t first =
        std::int64_t{stored_i32(data, 0, order)} + stored_i32(data, buffer_size_at, order);
    if (buffers != 1 || first < static_cast<std::int64_t>(data_header_size)) {
        return damaged_header(capture_format::bin,
                              "waveform " + std::to_string(head.waveform)
                                  + " has more than one buffer or a damaged data header");
    }
    next += first;
    return {.what = header_step::kind::skip_to, .offset = next, .count = head.waveform + 1};
}

}  // namespace keldran::echo
