// Stored samples made values. Bytes are assembled in the order the capture
// states, whatever the host's, so that one file gives the same values on every
// machine; where the host's order is the file's, the common types go through
// plain loops the compiler vectorises, so that decoding keeps up with reading.
#include "decode_internal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace keldran::echo {

namespace {

constexpr std::size_t bits_per_byte = 8;

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559,
              "float32 samples are copied straight into IEEE single-precision floats");

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

// The stored sample with these bits, before its scale.
double stored_value(sample_type type, std::uint64_t bits)
{
    switch (type) {
    case sample_type::i8:
        return static_cast<std::int8_t>(static_cast<std::uint8_t>(bits));
    case sample_type::i16:
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(bits));
    case sample_type::i32:
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
    case sample_type::f32:
        return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    case sample_type::f64:
        return std::bit_cast<double>(bits);
    default:
        return static_cast<double>(bits);
    }
}

// Whether a value is of a size a read-back could take, in any units: zero, or
// well within float32's range.
bool plausible_size(float v)
{
    constexpr float smallest = 1e-20F;
    constexpr float largest = 1e20F;
    return v == 0 || (std::abs(v) > smallest && std::abs(v) < largest);
}

bool is_float(sample_type type)
{
    return type == sample_type::f32 || type == sample_type::f64;
}

// One stored sample at `offset` as its value.
float value_at(const sample_plan& plan, std::span<const char> bytes, std::size_t offset)
{
    const std::size_t width = sample_width(plan.type);
    const double stored = stored_value(plan.type, stored_bits(bytes, offset, width, plan.order));
    if (plan.gain == 1 && plan.offset == 0) {
        return narrowed(stored);
    }
    return narrowed(plan.gain * stored + plan.offset);
}

// Samples stored in the host's order, scaled in single precision: the loop the
// compiler vectorises. An integer sample and its scale are never infinite.
template <typename Stored>
void append_native(const sample_plan& plan, std::span<const char> bytes, float* out)
{
    const std::size_t count = bytes.size() / sizeof(Stored);
    const auto gain = static_cast<float>(plan.gain);
    const auto offset = static_cast<float>(plan.offset);
    for (std::size_t i = 0; i < count; ++i) {
        Stored stored{};
        std::memcpy(&stored, bytes.data() + i * sizeof(Stored), sizeof(Stored));
        out[i] = gain * static_cast<float>(stored) + offset;
    }
}

// Float32 samples in the host's order, copied and checked for NaN or infinity in one pass.
bool append_native_f32(std::span<const char> bytes, float* out)
{
    constexpr std::uint32_t exponent_bits = 0x7F800000U;
    const std::size_t count = bytes.size() / sizeof(float);
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, bytes.data() + i * sizeof(float), sizeof(float));
        bad |= static_cast<std::uint32_t>((bits & exponent_bits) == exponent_bits);
        out[i] = std::bit_cast<float>(bits);
    }
    return bad != 0;
}

bool host_order(const sample_plan& plan)
{
    return (plan.order == byte_order::little) == (std::endian::native == std::endian::little);
}

// Appends through the fast loops where they apply; false when they do not.
bool append_fast(const sample_plan& plan, std::span<const char> bytes, float* out, bool& any_bad)
{
    const bool plain = plan.gain == 1 && plan.offset == 0;
    if (!host_order(plan) && plan.type != sample_type::i8 && plan.type != sample_type::u8) {
        return false;
    }
    switch (plan.type) {
    case sample_type::i8:
        append_native<std::int8_t>(plan, bytes, out);
        return true;
    case sample_type::u8:
        append_native<std::uint8_t>(plan, bytes, out);
        return true;
    case sample_type::i16:
        append_native<std::int16_t>(plan, bytes, out);
        return true;
    case sample_type::u16:
        append_native<std::uint16_t>(plan, bytes, out);
        return true;
    case sample_type::f32:
        if (!plain) {
            return false;
        }
        any_bad = append_native_f32(bytes, out);
        return true;
    default:
        return false;
    }
}

}  // namespace

std::size_t sample_width(sample_type type)
{
    switch (type) {
    case sample_type::i8:
    case sample_type::u8:
        return 1;
    case sample_type::i16:
    case sample_type::u16:
        return 2;
    case sample_type::f64:
        return sizeof(double);
    default:
        return sizeof(float);
    }
}

std::uint64_t stored_bits(std::span<const char> bytes, std::size_t offset, std::size_t width,
                          byte_order order)
{
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < width; ++k) {
        const std::size_t at = order == byte_order::little ? k : width - 1 - k;
        bits |= std::uint64_t{static_cast<unsigned char>(bytes[offset + at])}
                << (bits_per_byte * k);
    }
    return bits;
}

std::int16_t stored_i16(std::string_view bytes, std::size_t offset, byte_order order)
{
    return static_cast<std::int16_t>(
        static_cast<std::uint16_t>(stored_bits(bytes, offset, sizeof(std::int16_t), order)));
}

std::int32_t stored_i32(std::string_view bytes, std::size_t offset, byte_order order)
{
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(stored_bits(bytes, offset, sizeof(std::int32_t), order)));
}

float stored_f32(std::string_view bytes, std::size_t offset, byte_order order)
{
    return std::bit_cast<float>(
        static_cast<std::uint32_t>(stored_bits(bytes, offset, sizeof(float), order)));
}

double stored_f64(std::string_view bytes, std::size_t offset, byte_order order)
{
    return std::bit_cast<double>(stored_bits(bytes, offset, sizeof(double), order));
}

std::string_view stored_text(std::string_view bytes, std::size_t offset, std::size_t width)
{
    std::string_view field = bytes.substr(offset, width);
    field = field.substr(0, field.find('\0'));
    const std::size_t last = field.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view{} : field.substr(0, last + 1);
}

bool append_values(const sample_plan& plan, std::span<const char> bytes, std::vector<float>& out)
{
    const std::size_t width = sample_width(plan.type);
    const std::size_t count = bytes.size() / width;
    const std::size_t first = out.size();
    out.resize(first + count);
    bool any_bad = false;
    if (append_fast(plan, bytes, out.data() + first, any_bad)) {
        return any_bad;
    }
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
        out[first + i] = value_at(plan, bytes, i * width);
        bad |= static_cast<std::uint32_t>(!std::isfinite(out[first + i]));
    }
    return bad != 0;
}

void stored_values(const stored_samples& samples, std::size_t from, std::span<float> out)
{
    const sample_plan plan{.type = samples.scale.is_signed ? sample_type::i8 : sample_type::u8,
                           .gain = samples.scale.gain,
                           .offset = samples.scale.offset};
    const std::span<const char> bytes = samples.bytes.subspan(from, out.size());
    if (samples.scale.is_signed) {
        append_native<std::int8_t>(plan, bytes, out.data());
    } else {
        append_native<std::uint8_t>(plan, bytes, out.data());
    }
}

bool scale_fits(const sample_plan& plan)
{
    if (!std::isfinite(plan.gain) || !std::isfinite(plan.offset)) {
        return false;
    }
    if (is_float(plan.type)) {
        return true;
    }
    const double largest_stored =
        std::ldexp(1.0, static_cast<int>(sample_width(plan.type) * bits_per_byte));
    return std::abs(plan.gain) * largest_stored + std::abs(plan.offset)
           < std::numeric_limits<float>::max();
}

bool finite_in_other_order(const sample_plan& plan, std::span<const char> bytes)
{
    if (!is_float(plan.type)) {
        return false;
    }
    const std::size_t width = sample_width(plan.type);
    sample_plan other = plan;
    other.order = plan.order == byte_order::little ? byte_order::big : byte_order::little;
    // A lone NaN in a good capture is finite in the other order too, by chance; what
    // tells a capture read in the wrong order is that its other samples are then
    // of implausible sizes, and plausible in the other order.
    constexpr std::size_t looked_at = 4096;
    std::size_t plausible = 0;
    std::size_t plausible_other = 0;
    bool first_bad_finite_other = false;
    bool seen_bad = false;
    for (std::size_t at = 0, n = 0; at + width <= bytes.size() && n < looked_at; at += width, ++n) {
        const float here = value_at(plan, bytes, at);
        const float there = value_at(other, bytes, at);
        if (!seen_bad && !std::isfinite(here)) {
            seen_bad = true;
            first_bad_finite_other = std::isfinite(there);
        }
        plausible += static_cast<std::size_t>(plausible_size(here));
        plausible_other += static_cast<std::size_t>(plausible_size(there));
    }
    return first_bad_finite_other && plausible_other > plausible;
}

namespace {

// Mean step from a sample to the next over mean distance from their mean: near 0 for a
// smooth signal, near 1 or more for noise.
double roughness(const sample_plan& plan, std::span<const char> bytes, std::size_t count)
{
    const std::size_t width = sample_width(plan.type);
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += value_at(plan, bytes, i * width);
    }
    const double mean = sum / static_cast<double>(count);
    double steps = 0;
    double spread = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = value_at(plan, bytes, i * width);
        spread += std::abs(x - mean);
        if (i + 1 < count) {
            steps += std::abs(value_at(plan, bytes, (i + 1) * width) - x);
        }
    }
    return spread > 0 ? steps / spread : 0.0;
}

}  // namespace

bool smoother_in_other_order(const sample_plan& plan, std::span<const char> bytes)
{
    constexpr std::size_t looked_at = 4096;
    // Read in the wrong order, the low byte's noise lands in the high byte.
    constexpr double far_smoother = 4;
    if (sample_width(plan.type) != 2) {
        return false;
    }
    const std::size_t count = std::min(looked_at, bytes.size() / 2);
    if (count < order_judging_samples) {
        return false;
    }
    sample_plan other = plan;
    other.order = plan.order == byte_order::little ? byte_order::big : byte_order::little;
    const double here = roughness(plan, bytes, count);
    const double there = roughness(other, bytes, count);
    return here > 0 && there * far_smoother < here;
}

}  // namespace keldran::echo
