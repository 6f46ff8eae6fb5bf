// Samples an oscilloscope stores in 8 bits, summed over the periods as the integers
// they are: exact, and sixteen to a vector register where a float takes four. A
// capture of a hundred million samples is then summed at about the speed it is read.
#include "fold_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace keldran::echo {

namespace {

// Flips an unsigned byte's top bit to make it the signed number it stands for, less 128.
constexpr std::uint8_t sign_bit = 0x80;
constexpr std::uint8_t largest_step = 0xFF;
constexpr double unsigned_bias = 128;

// The stored byte as a signed number: an unsigned one less 128.
int signed_of(char byte, bool is_signed)
{
    constexpr int byte_values = 256;
    const int bits = static_cast<std::uint8_t>(byte);
    if (!is_signed) {
        return bits - sign_bit;
    }
    return bits >= sign_bit ? bits - byte_values : bits;
}

// The samples [from, count) one by one: the end the vector loop leaves, or all of them.
bool add_one_by_one(std::span<std::int16_t> sums, std::span<const char> bytes, bool is_signed,
                    std::uint8_t limit, std::size_t from)
{
    bool steep = false;
    for (std::size_t i = from; i < sums.size(); ++i) {
        const int x = signed_of(bytes[i], is_signed);
        sums[i] = static_cast<std::int16_t>(sums[i] + x);
        steep = steep || std::abs(x - signed_of(bytes[i + 1], is_signed)) > limit;
    }
    return steep;
}

// Places [first, second) of the exact sums, each the sum of `count` samples, scaled into `into`.
void flush_places(exact_sums& exact, float scale, std::span<float> into,
                  std::pair<std::int64_t, std::int64_t> places, std::int64_t count)
{
    const double bias = exact.scale.is_signed ? 0 : unsigned_bias;
    const double gain = static_cast<double>(scale) * exact.scale.gain;
    const double constant = static_cast<double>(scale)
                            * (exact.scale.gain * bias + exact.scale.offset)
                            * static_cast<double>(count);
    for (auto j = static_cast<std::size_t>(places.first);
         j < static_cast<std::size_t>(places.second); ++j) {
        into[j] += static_cast<float>(gain * exact.sum[j] + constant);
        exact.sum[j] = 0;
    }
}

}  // namespace

std::uint8_t stored_limit(float limit, const stored_scale& scale)
{
    if (limit <= 0 || scale.gain == 0) {
        return largest_step;
    }
    const float steps = limit / std::abs(scale.gain);
    return steps >= static_cast<float>(largest_step) ? largest_step
                                                     : static_cast<std::uint8_t>(steps);
}

#if defined(__SSE2__)
// Sixteen samples at a time. A step is judged on the bytes in the order of the numbers
// they stand for, where the unsigned saturating differences both ways give its size.
bool add_stored(std::span<std::int16_t> sums, std::span<const char> bytes, bool is_signed,
                std::uint8_t limit)
{
    constexpr std::size_t lanes = 16;
    const __m128i to_signed = _mm_set1_epi8(static_cast<char>(is_signed ? 0 : sign_bit));
    const __m128i to_order = _mm_set1_epi8(static_cast<char>(is_signed ? sign_bit : 0));
    const __m128i flip = _mm_set1_epi8(static_cast<char>(sign_bit));
    const __m128i most = _mm_set1_epi8(static_cast<char>(limit));
    const __m128i zero = _mm_setzero_si128();
    __m128i beyond = zero;
    std::size_t i = 0;
    for (; i + lanes <= sums.size(); i += lanes) {
        __m128i x = zero;
        __m128i y = zero;
        std::memcpy(&x, bytes.data() + i, lanes);
        std::memcpy(&y, bytes.data() + i + 1, lanes);
        x = _mm_xor_si128(x, to_signed);
        const __m128i sign = _mm_cmpgt_epi8(zero, x);
        __m128i low = zero;
        __m128i high = zero;
        std::memcpy(&low, sums.data() + i, lanes);
        std::memcpy(&high, sums.data() + i + lanes / 2, lanes);
        low = _mm_add_epi16(low, _mm_unpacklo_epi8(x, sign));
        high = _mm_add_epi16(high, _mm_unpackhi_epi8(x, sign));
        std::memcpy(sums.data() + i, &low, lanes);
        std::memcpy(sums.data() + i + lanes / 2, &high, lanes);
        const __m128i ordered = _mm_xor_si128(x, flip);
        y = _mm_xor_si128(y, to_order);
        const __m128i step = _mm_or_si128(_mm_subs_epu8(ordered, y), _mm_subs_epu8(y, ordered));
        beyond = _mm_or_si128(beyond, _mm_subs_epu8(step, most));
    }
    constexpr int all_lanes = 0xFFFF;
    const bool steep = _mm_movemask_epi8(_mm_cmpeq_epi8(beyond, zero)) != all_lanes;
    return add_one_by_one(sums, bytes, is_signed, limit, i) || steep;
}
#else
bool add_stored(std::span<std::int16_t> sums, std::span<const char> bytes, bool is_signed,
                std::uint8_t limit)
{
    return add_one_by_one(sums, bytes, is_signed, limit, 0);
}
#endif

void take_back_stored(std::span<std::int16_t> sums, std::span<const char> bytes, bool is_signed)
{
    for (std::size_t i = 0; i < sums.size(); ++i) {
        sums[i] = static_cast<std::int16_t>(sums[i] - signed_of(bytes[i], is_signed));
    }
}

void flush_exact(exact_sums& exact, float scale, std::span<float> into)
{
    const auto width = static_cast<std::int64_t>(into.size());
    const std::int64_t length = exact.to - exact.from;
    if (length <= 0 || width == 0) {
        exact.from = exact.to;
        return;
    }
    // The run [from, to) holds each place of the period `whole` times, and once more
    // the `rest` places from where it began, which may wrap past the period's end.
    const std::int64_t whole = length / width;
    const std::int64_t rest = length % width;
    const std::int64_t start = exact.from % width;
    const std::int64_t wrapped = std::max<std::int64_t>(start + rest - width, 0);
    const std::int64_t end = std::min(start + rest, width);
    flush_places(exact, scale, into, {0, wrapped}, whole + 1);
    flush_places(exact, scale, into, {wrapped, start}, whole);
    flush_places(exact, scale, into, {start, end}, whole + 1);
    flush_places(exact, scale, into, {end, width}, whole);
    exact.from = exact.to;
}

}  // namespace keldran::echo
