// The LeCroy trace: an optional "#9" and nine digits of length, then the
// WAVEDESC descriptor block, whose fields lie at fixed offsets in templates
// LECROY_2_3 and the older ones that share its layout, in the byte order the
// block itself states. The blocks after it have their lengths in it, so the
// samples are found without reading what comes between.
#include "decode_internal.h"

#include <algorithm>
#include <climits>

namespace keldran::echo {

namespace {

constexpr std::string_view block_name = "WAVEDESC";
constexpr std::string_view template_family = "LECROY_";

// Offsets in the WAVEDESC block.
constexpr std::size_t template_at = 16;
constexpr std::size_t name_width = 16;
constexpr std::size_t comm_type_at = 32;
constexpr std::size_t comm_order_at = 34;
constexpr std::size_t descriptor_length_at = 36;
constexpr std::size_t user_text_at = 40;
constexpr std::size_t res_desc1_at = 44;
constexpr std::size_t trigtime_at = 48;
constexpr std::size_t ris_time_at = 52;
constexpr std::size_t res_array1_at = 56;
constexpr std::size_t wave_array_1_at = 60;
constexpr std::size_t instrument_at = 76;
constexpr std::size_t wave_array_count_at = 116;
constexpr std::size_t subarray_count_at = 144;
constexpr std::size_t vertical_gain_at = 156;
constexpr std::size_t vertical_offset_at = 160;
constexpr std::size_t horiz_interval_at = 176;
constexpr std::size_t vertunit_at = 196;
constexpr std::size_t block_length = 346;

// The block begins within the first bytes: after the length prefix, if there is one.
constexpr std::size_t search_reach = 64;

// The length of what follows the descriptor, up to the first sample.
std::int64_t bytes_before_samples(std::string_view block, byte_order order)
{
    std::int64_t total = 0;
    for (const std::size_t at : {descriptor_length_at, user_text_at, res_desc1_at, trigtime_at,
                                 ris_time_at, res_array1_at}) {
        const std::int32_t length = stored_i32(block, at, order);
        if (length < 0) {
            return -1;
        }
        total += length;
    }
    return total;
}

void describe(std::string_view block, byte_order order, std::int32_t width, capture_info& info)
{
    info.format = capture_format::trc;
    info.version = std::string(stored_text(block, template_at, name_width));
    info.instrument = std::string(stored_text(block, instrument_at, name_width));
    info.sample_bits = width * CHAR_BIT;
    info.gain = stored_f32(block, vertical_gain_at, order);
    info.offset = -static_cast<double>(stored_f32(block, vertical_offset_at, order));
    info.units = std::string(stored_text(block, vertunit_at, name_width));
    const double interval = stored_f32(block, horiz_interval_at, order);
    if (interval > 0) {
        info.sample_interval = interval;
    }
}

// The samples of the chosen segment: where they start, and how many there are.
header_step chosen_segment(std::int64_t first, std::int64_t count, std::int32_t width,
                           const capture_layout& layout, capture_info& info)
{
    const std::int64_t segments = std::max<std::int64_t>(info.segments, 1);
    if (layout.segment == 0 && segments > 1) {
        return {.what = header_step::kind::failed,
                .error = {.code = echo_errc::segment_needed, .count = segments}};
    }
    if (layout.segment > segments) {
        return {.what = header_step::kind::failed,
                .error = {.code = echo_errc::no_such_segment,
                          .count = segments,
                          .value = layout.segment}};
    }
    const std::int64_t segment = std::max<std::int64_t>(layout.segment, 1);
    const std::int64_t each = count / segments;
    info.segment = segment;
    return {.what = header_step::kind::samples,
            .offset = first + (segment - 1) * each * width,
            .count = each};
}

}  // namespace

header_step read_trc_header(const header_view& head, const capture_layout& layout,
                            capture_info& info)
{
    const std::size_t start = head.bytes.substr(0, search_reach).find(block_name);
    if (start == std::string_view::npos) {
        return head.bytes.size() < search_reach
                   ? header_step{.wanted = search_reach}
                   : header_step{.what = header_step::kind::failed,
                                 .error = {.code = echo_errc::not_this_format,
                                           .text = std::string(format_title(capture_format::trc))}};
    }
    if (head.bytes.size() < start + block_length) {
        return {.wanted = start + block_length};
    }
    const std::string_view block = head.bytes.substr(start, block_length);
    if (!stored_text(block, template_at, name_width).starts_with(template_family)) {
        return damaged_header(capture_format::trc,
                              "its template is \""
                                  + std::string(stored_text(block, template_at, name_width))
                                  + "\", not one of LECROY_2_3's family");
    }
    // COMM_ORDER is 1 for the low byte first; read in that order, it reads as 1.
    const byte_order order = stored_i16(block, comm_order_at, byte_order::little) == 1
                                 ? byte_order::little
                                 : byte_order::big;
    const std::int16_t comm_type = stored_i16(block, comm_type_at, order);
    if (comm_type != 0 && comm_type != 1) {
        return damaged_header(capture_format::trc,
                              "COMM_TYPE is " + std::to_string(comm_type) + ", not 0 or 1");
    }
    const std::int32_t width = comm_type == 0 ? 1 : 2;
    const std::int64_t before = bytes_before_samples(block, order);
    const std::int32_t array_bytes = stored_i32(block, wave_array_1_at, order);
    const std::int32_t count = stored_i32(block, wave_array_count_at, order);
    if (before < 0 || array_bytes < 0 || count < 0) {
        return damaged_header(capture_format::trc, "a block length is negative");
    }
    if (stored_i32(block, descriptor_length_at, order) < static_cast<std::int32_t>(block_length)) {
        return damaged_header(capture_format::trc,
                              "WAVE_DESCRIPTOR is shorter than the descriptor block");
    }
    if (static_cast<std::int64_t>(count) * width > array_bytes) {
        return damaged_header(capture_format::trc,
                              "WAVE_ARRAY_COUNT (" + std::to_string(count)
                                  + ") holds more samples than WAVE_ARRAY_1 has bytes for ("
                                  + std::to_string(array_bytes) + ")");
    }
    describe(block, order, width, info);
    info.declared_samples = count;
    info.segments = std::max(stored_i32(block, subarray_count_at, order), 1);
    header_step step =
        chosen_segment(static_cast<std::int64_t>(start) + before, count, width, layout, info);
    step.plan = {.type = width == 1 ? sample_type::i8 : sample_type::i16,
                 .order = order,
                 .gain = info.gain,
                 .offset = info.offset};
    return step;
}

}  // namespace keldran::echo
