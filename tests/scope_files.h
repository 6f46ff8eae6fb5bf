// Oscilloscope files written from a signal in volts, laid out as the vendors
// describe them: a LeCroy trace (.trc, the WAVEDESC template LECROY_2_3), a
// Tektronix internal save file (.isf, the WFMPRE preamble and a CURVE block) and
// a Keysight / Agilent binary waveform (.bin). Every figure of more than one byte
// is put byte by byte in the file's stated order, whatever the host's.
#ifndef KELDRAN_TESTS_SCOPE_FILES_H
#define KELDRAN_TESTS_SCOPE_FILES_H

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace keldran_tests {

enum class endian : std::uint8_t { little, big };

// Puts `value` at `at` of `out`, its bytes in `order`.
template <typename T> void put_at(std::string& out, std::size_t at, T value, endian order)
{
    using bits_type = std::conditional_t<
        sizeof(T) == 1, std::uint8_t,
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    const auto bits = static_cast<std::uint64_t>(std::bit_cast<bits_type>(value));
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        const std::size_t byte = order == endian::little ? i : sizeof(T) - 1 - i;
        out[at + i] = static_cast<char>((bits >> (8 * byte)) & 0xFFU);
    }
}

template <typename T> void append(std::string& out, T value, endian order)
{
    out.resize(out.size() + sizeof(T));
    put_at(out, out.size() - sizeof(T), value, order);
}

// Puts `text` in the fixed field of `width` bytes at `at`, cut to leave a NUL at its end.
inline void put_text(std::string& out, std::size_t at, std::string_view text, std::size_t width)
{
    const std::string_view kept = text.substr(0, std::min(text.size(), width - 1));
    std::copy(kept.begin(), kept.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

// The volts between stored levels that put the signal's widest swing from `centre`
// at 90 % of the `levels` there are each side of the centre's level.
inline double fitting_step(std::span<const float> volts, double centre, double levels)
{
    double widest = 0;
    for (const float v : volts) {
        widest = std::max(widest, std::abs(static_cast<double>(v) - centre));
    }
    return widest / (0.9 * levels);
}

// The stored level nearest `level`, kept within [low, high].
inline std::int64_t stored_level(double level, std::int64_t low, std::int64_t high)
{
    return std::clamp(std::llround(level), static_cast<long long>(low),
                      static_cast<long long>(high));
}

// ---- LeCroy trace -------------------------------------------------------------------------

// Byte positions in the WAVEDESC block, as the template LECROY_2_3 gives them.
namespace wavedesc {
inline constexpr std::size_t size = 346;
inline constexpr std::size_t descriptor_name = 0, template_name = 16, comm_type = 32,
                             comm_order = 34, wave_descriptor = 36, user_text = 40,
                             trigtime_array = 48, wave_array_1 = 60, instrument_name = 76,
                             wave_array_count = 116, last_valid_pnt = 128, subarray_count = 144,
                             vertical_gain = 156, vertical_offset = 160, nominal_bits = 172,
                             nom_subarray_count = 174, horiz_interval = 176, horiz_offset = 180,
                             vertunit = 196, horunit = 244, trigger_time = 296, record_type = 316;
inline constexpr std::size_t name_width = 16, unit_width = 48;
inline constexpr std::int32_t trigtime_entry = 16;  // TRIGGER_TIME and TRIGGER_OFFSET, doubles
}  // namespace wavedesc

struct trace_options {
    int bits = 16;  // 8: COMM_TYPE byte; 16: word
    endian order = endian::little;
    double interval = 1e-10;    // HORIZ_INTERVAL, seconds
    std::int32_t segments = 1;  // more: a sequence, the signal cut into this many equal parts
    std::size_t user_text = 0;  // bytes of the USERTEXT block
    bool prefix = true;         // "#9" and the count of the bytes that follow, in 9 digits
    double offset = 0.05;       // VERTICAL_OFFSET: volts = gain * stored - offset
};

// The volts between a trace's stored levels for `volts`.
inline float trace_gain(std::span<const float> volts, const trace_options& o)
{
    const double levels = o.bits == 8 ? INT8_MAX : INT16_MAX;
    return static_cast<float>(fitting_step(volts, -static_cast<float>(o.offset), levels));
}

// The trace of `volts`: the descriptor, the user text, the trigger times of a sequence
// and the samples, after the "#9" prefix when asked.
inline std::string trace_file(std::span<const float> volts, const trace_options& o = {})
{
    namespace w = wavedesc;
    const endian order = o.order;
    const std::int32_t per_segment = static_cast<std::int32_t>(volts.size()) / o.segments;
    const std::int32_t count = per_segment * o.segments;
    const std::int32_t width = o.bits == 8 ? 1 : 2;
    const std::int32_t trigtimes = o.segments > 1 ? w::trigtime_entry * o.segments : 0;
    const float gain = trace_gain(volts, o);
    const auto offset = static_cast<float>(o.offset);
    const std::int64_t high = o.bits == 8 ? INT8_MAX : INT16_MAX;
    const std::int64_t low = o.bits == 8 ? INT8_MIN : INT16_MIN;

    std::string d(w::size, '\0');
    put_text(d, w::descriptor_name, "WAVEDESC", w::name_width);
    put_text(d, w::template_name, "LECROY_2_3", w::name_width);
    put_at(d, w::comm_type, static_cast<std::int16_t>(o.bits == 8 ? 0 : 1), order);
    put_at(d, w::comm_order, static_cast<std::int16_t>(order == endian::big ? 0 : 1), order);
    put_at(d, w::wave_descriptor, static_cast<std::int32_t>(w::size), order);
    put_at(d, w::user_text, static_cast<std::int32_t>(o.user_text), order);
    put_at(d, w::trigtime_array, trigtimes, order);
    put_at(d, w::wave_array_1, count * width, order);
    put_text(d, w::instrument_name, "LECROYWP7ZI", w::name_width);
    put_at(d, w::wave_array_count, count, order);
    put_at(d, w::last_valid_pnt, count - 1, order);
    put_at(d, w::subarray_count, o.segments, order);
    put_at(d, w::vertical_gain, gain, order);
    put_at(d, w::vertical_offset, offset, order);
    put_at(d, w::nominal_bits, static_cast<std::int16_t>(o.bits), order);
    put_at(d, w::nom_subarray_count, static_cast<std::int16_t>(o.segments), order);
    put_at(d, w::horiz_interval, static_cast<float>(o.interval), order);
    put_at(d, w::horiz_offset, -o.interval * per_segment / 2, order);
    put_text(d, w::vertunit, "V", w::unit_width);
    put_text(d, w::horunit, "S", w::unit_width);
    put_at(d, w::trigger_time, 12.5, order);  // seconds; minutes to the year are left at 0
    put_at(d, w::record_type, std::int16_t{0}, order);  // single_sweep, sequence or not

    std::string text(o.user_text, ' ');
    put_text(text, 0, "Written from a model capture.", o.user_text + 1);
    d += text;
    for (std::int32_t k = 0; k < (o.segments > 1 ? o.segments : 0); ++k) {
        append(d, static_cast<double>(k) * 1e-3, order);  // TRIGGER_TIME from the first
        append(d, -o.interval * per_segment / 2, order);  // TRIGGER_OFFSET
    }
    for (std::int32_t j = 0; j < count; ++j) {
        const double level =
            (static_cast<double>(volts[static_cast<std::size_t>(j)]) + offset) / gain;
        const std::int64_t stored = stored_level(level, low, high);
        if (width == 1) {
            d.push_back(static_cast<char>(static_cast<std::int8_t>(stored)));
        } else {
            append(d, static_cast<std::int16_t>(stored), order);
        }
    }
    if (!o.prefix) {
        return d;
    }
    constexpr std::size_t length_digits = 9;
    const std::string length = std::to_string(d.size());
    return "#9" + std::string(length_digits - length.size(), '0') + length + d;
}

// ---- Tektronix internal save file ---------------------------------------------------------

struct isf_options {
    int bytes = 2;                 // BYT_NR
    bool is_signed = true;         // BN_FMT RI, else RP
    endian order = endian::big;    // BYT_OR MSB, else LSB
    bool short_keywords = false;   // :WFMP:BYT_N ...;:CURV
    double xincr = 4e-11;          // seconds
    double yzero = 0;              // volts = (stored - YOFF) YMULT + YZERO
    std::optional<double> yoff{};  // levels; none: 0 for RI, the middle level for RP
    std::string encoding = "BIN";  // ENCDG: as save files give it, or BINARY
    bool line_feed = true;         // after the block
};

// A number as the instruments give one (NR3), with seven figures.
inline std::string nr3(double value)
{
    constexpr int figures_after_point = 6;
    std::ostringstream text;
    text << std::uppercase << std::scientific << std::setprecision(figures_after_point) << value;
    return text.str();
}

// A number as the file states it: `value` printed, then read back.
inline double as_stated(double value)
{
    return std::strtod(nr3(value).c_str(), nullptr);
}

// How a save file stores `volts`: the range of its levels, and YOFF and YMULT as stated.
struct isf_levels {
    std::int64_t low, high;
    double yoff, ymult;
};

inline isf_levels isf_scale(std::span<const float> volts, const isf_options& o)
{
    const int bits = 8 * o.bytes;
    const std::int64_t span = std::int64_t{1} << bits;
    const std::int64_t low = o.is_signed ? -span / 2 : 0;
    const std::int64_t high = low + span - 1;
    const double yoff =
        as_stated(o.yoff.value_or(o.is_signed ? 0.0 : static_cast<double>(span) / 2));
    const double levels =
        std::min(static_cast<double>(high) - yoff, yoff - static_cast<double>(low));
    return {low, high, yoff, as_stated(fitting_step(volts, as_stated(o.yzero), levels))};
}

// The preamble, in the order the save files give it, then the samples in a CURVE block.
inline std::string isf_file(std::span<const float> volts, const isf_options& o = {})
{
    const isf_levels s = isf_scale(volts, o);
    const double yzero = as_stated(o.yzero);
    const bool brief = o.short_keywords;
    const auto field = [&](const char* full, const char* cut, const std::string& value) {
        return std::string(brief ? cut : full) + " " + value + ";";
    };
    std::string file = brief ? ":WFMP:" : ":WFMPRE:";
    file += field("BYT_NR", "BYT_N", std::to_string(o.bytes));
    file += field("BIT_NR", "BIT_N", std::to_string(8 * o.bytes));
    file += field("ENCDG", "ENC", o.encoding);
    file += field("BN_FMT", "BN_F", o.is_signed ? "RI" : "RP");
    file += field("BYT_OR", "BYT_O", o.order == endian::big ? "MSB" : "LSB");
    file += field("NR_PT", "NR_P", std::to_string(volts.size()));
    file += field("WFID", "WFI",
                  "\"Ch1, DC coupling, 2.0E-1 V/div, 1.0E-8 s/div, " + std::to_string(volts.size())
                      + " points, Sample mode\"");
    file += field("PT_FMT", "PT_F", "Y");
    file += field("XINCR", "XIN", nr3(o.xincr));
    file += field("PT_OFF", "PT_O", "0");
    file += field("XZERO", "XZE", nr3(0));
    file += field("XUNIT", "XUN", "\"s\"");
    file += field("YMULT", "YMU", nr3(s.ymult));
    file += field("YZERO", "YZE", nr3(yzero));
    file += field("YOFF", "YOF", nr3(s.yoff));
    file += field("YUNIT", "YUN", "\"V\"");
    std::string data;
    for (const float v : volts) {
        const std::int64_t stored = stored_level((v - yzero) / s.ymult + s.yoff, s.low, s.high);
        if (o.bytes == 1) {
            data.push_back(static_cast<char>(static_cast<std::uint8_t>(stored & 0xFF)));
        } else {
            append(data, static_cast<std::uint16_t>(stored & 0xFFFF), o.order);
        }
    }
    const std::string length = std::to_string(data.size());
    file += (brief ? ":CURV #" : ":CURVE #") + std::to_string(length.size()) + length + data;
    return o.line_feed ? file + "\n" : file;
}

// ---- Keysight / Agilent binary waveform ---------------------------------------------------

// Byte positions in the waveform header, as the InfiniiVision and Infiniium guides give them.
namespace bin_layout {
inline constexpr std::int32_t file_header = 12, waveform_header = 140, data_header = 12;
inline constexpr std::size_t waveform_type = 4, buffers = 8, points = 12, x_display_range = 20,
                             x_increment = 32, x_origin = 40, x_units = 48, y_units = 52,
                             frame = 88, label = 112;
inline constexpr std::size_t frame_width = 24, label_width = 16;
inline constexpr std::int32_t normal = 1, logic = 6;  // waveform types
inline constexpr std::int32_t unknown_units = 0, volts = 1, seconds = 2;
}  // namespace bin_layout

enum class bin_buffer : std::int16_t { f32 = 1, u8 = 6 };  // normal float; digital bytes

struct bin_waveform {
    std::vector<float> volts;  // u8: each stored as the nearest byte value
    double x_increment = 1e-10;
    bin_buffer buffer = bin_buffer::f32;
    std::string label = "1";
};

// The cookie is "AG", or "RG" as other makers' oscilloscopes write it.
inline std::string bin_file(std::span<const bin_waveform> waveforms, std::string_view cookie = "AG")
{
    namespace b = bin_layout;
    constexpr endian order = endian::little;
    // The cookie and the version, two characters each, then the file's size and waveforms.
    std::string file = std::string(cookie.substr(0, 2)) + "10";
    file.resize(static_cast<std::size_t>(b::file_header), '\0');
    put_at(file, 8, static_cast<std::int32_t>(waveforms.size()), order);
    for (const bin_waveform& w : waveforms) {
        const bool digital = w.buffer == bin_buffer::u8;
        const auto points = static_cast<std::int32_t>(w.volts.size());
        const std::int16_t width = digital ? 1 : 4;
        std::string h(static_cast<std::size_t>(b::waveform_header), '\0');
        put_at(h, 0, b::waveform_header, order);
        put_at(h, b::waveform_type, digital ? b::logic : b::normal, order);
        put_at(h, b::buffers, std::int32_t{1}, order);
        put_at(h, b::points, points, order);
        put_at(h, b::x_display_range, static_cast<float>(w.x_increment * points), order);
        put_at(h, b::x_increment, w.x_increment, order);
        put_at(h, b::x_origin, -w.x_increment * points / 2, order);
        put_at(h, b::x_units, b::seconds, order);
        put_at(h, b::y_units, digital ? b::unknown_units : b::volts, order);
        put_text(h, b::frame, "DSOX3034A:MY12345678", b::frame_width);  // date and time blank
        put_text(h, b::label, w.label, b::label_width);
        file += h;
        append(file, b::data_header, order);
        append(file, static_cast<std::int16_t>(w.buffer), order);
        append(file, width, order);
        append(file, points * width, order);
        for (const float v : w.volts) {
            if (digital) {
                file.push_back(
                    static_cast<char>(static_cast<std::uint8_t>(stored_level(v, 0, UINT8_MAX))));
            } else {
                append(file, v, order);
            }
        }
    }
    put_at(file, 4, static_cast<std::int32_t>(file.size()), order);
    return file;
}

}  // namespace keldran_tests

#endif
