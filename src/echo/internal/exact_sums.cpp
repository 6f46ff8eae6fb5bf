// Samples an oscilloscope stores in 8 bits, summed over the periods as the integers
// they are: exact, and 32 to a vector register where a float takes eight. A capture
// of a hundred million samples is then summed at about the speed it is read.
#include "fold_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

// The wide loop is built for x86 processors with GCC or Clang, and taken where the one
// it runs on has AVX2.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define KELDRAN_WIDE_SUMS
#include <immintrin.h>
#endif

namespace keldran::echo {

namespace {

// The top bit, which a byte's order and its number's sign differ by.
constexpr std::uint8_t sign_bit = 0x80;
constexpr std::uint8_t largest_step = 0xFF;
constexpr double unsigned_bias = sign_bit;

// The stored byte in the order of the numbers it stands for, 0 for the least.
std::uint8_t in_order(char byte, bool is_signed)
{
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(byte) ^ (is_signed ? sign_bit : 0));
}

// The stored byte as a signed number: an unsigned one less 128.
int signed_of(char byte, bool is_signed)
{
    return in_order(byte, is_signed) - sign_bit;
}

// The samples [from, sums.size()) in a loop the compiler vectorises: the end the wide
// loop leaves, or all of them on a processor without it.
bool add_one_by_one(std::span<std::int16_t> sums, std::span<const char> bytes, bool is_signed,
                    std::uint8_t limit, std::size_t from)
{
    // The step's size from the bytes in the order of the numbers they stand for.
    std::uint8_t beyond = 0;
    for (std::size_t i = from; i < sums.size(); ++i) {
        const std::uint8_t x = in_order(bytes[i], is_signed);
        const std::uint8_t y = in_order(bytes[i + 1], is_signed);
        sums[i] = static_cast<std::int16_t>(sums[i] + x - sign_bit);
        const auto step = static_cast<std::uint8_t>(std::max(x, y) - std::min(x, y));
        beyond |= static_cast<std::uint8_t>(step > limit ? 1 : 0);
    }
    return beyond != 0;
}

#if defined(KELDRAN_WIDE_SUMS)
// Sixteen 16-bit lanes, added as the compiler's own vector type.
using wide_words = std::int16_t __attribute__((vector_size(32)));

__attribute__((target("avx2"))) wide_words words_of(__m256i x)
{
    wide_words words{};
    std::memcpy(&words, &x, sizeof words);
    return words;
}

// Thirty-two samples of every row at a time, summed in registers before their sums are
// touched: the sums of a long period lie beyond the nearest cache. A step is judged on
// the bytes in the order of the numbers they stand for, where the unsigned saturating
// differences both ways give its size.
__attribute__((target("avx2"))) bool add_wide(std::span<std::int16_t> sums,
                                              std::span<const char> bytes, std::size_t rows,
                                              bool is_signed, std::uint8_t limit)
{
    constexpr std::size_t lanes = 32;
    constexpr std::size_t half = lanes / 2;
    const __m256i to_order = _mm256_set1_epi8(static_cast<char>(is_signed ? sign_bit : 0));
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(sign_bit));
    const __m256i most = _mm256_set1_epi8(static_cast<char>(limit));
    const __m256i zero = _mm256_setzero_si256();
    __m256i beyond = zero;
    std::size_t i = 0;
    for (; i + lanes <= sums.size(); i += lanes) {
        wide_words low{};
        wide_words high{};
        for (std::size_t r = 0; r < rows; ++r) {
            const char* row = bytes.data() + r * sums.size();
            __m256i x = zero;
            __m256i y = zero;
            std::memcpy(&x, row + i, lanes);
            std::memcpy(&y, row + i + 1, lanes);
            x = _mm256_xor_si256(x, to_order);
            y = _mm256_xor_si256(y, to_order);
            const __m256i step = _mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x));
            beyond = _mm256_or_si256(beyond, _mm256_subs_epu8(step, most));
            // In the order of the numbers, less 128: the signed numbers.
            const __m256i value = _mm256_xor_si256(x, flip);
            low += words_of(_mm256_cvtepi8_epi16(_mm256_castsi256_si128(value)));
            high += words_of(_mm256_cvtepi8_epi16(_mm256_extracti128_si256(value, 1)));
        }
        wide_words sum{};
        std::memcpy(&sum, sums.data() + i, lanes);
        sum += low;
        std::memcpy(sums.data() + i, &sum, lanes);
        std::memcpy(&sum, sums.data() + i + half, lanes);
        sum += high;
        std::memcpy(sums.data() + i + half, &sum, lanes);
    }
    bool steep = _mm256_testz_si256(beyond, beyond) == 0;
    for (std::size_t r = 0; r < rows; ++r) {
        steep = add_one_by_one(sums, bytes.subspan(r * sums.size()), is_signed, limit, i) || steep;
    }
    return steep;
}
#endif

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
    if (limit <= 0) {
        return largest_step;
    }
    // Values are made and told apart in single precision: a step of n stored units may
    // differ in value from n * gain by a few roundings of the largest value. Steps are
    // counted steep from a unit short of that margin on, so that none the values would
    // call a spike is missed.
    constexpr double roundings = 4;
    constexpr double byte_values = 256;
    const double gain = std::abs(static_cast<double>(scale.gain));
    const double slack = roundings * std::numeric_limits<float>::epsilon()
                         * (std::abs(static_cast<double>(scale.offset)) + byte_values * gain
                            + static_cast<double>(limit));
    const double reach = static_cast<double>(limit) - slack;
    if (gain * byte_values <= reach) {
        return largest_step;
    }
    if (reach <= 0) {
        return 0;
    }
    return static_cast<std::uint8_t>(
        std::clamp(std::floor(reach / gain) - 1, 0.0, static_cast<double>(largest_step - 1)));
}

bool add_stored(std::span<std::int16_t> sums, std::span<const char> bytes, std::size_t rows,
                bool is_signed, std::uint8_t limit)
{
#if defined(KELDRAN_WIDE_SUMS)
    if (__builtin_cpu_supports("avx2")) {
        return add_wide(sums, bytes, rows, is_signed, limit);
    }
#endif
    bool steep = false;
    for (std::size_t r = 0; r < rows; ++r) {
        steep = add_one_by_one(sums, bytes.subspan(r * sums.size()), is_signed, limit, 0) || steep;
    }
    return steep;
}

void take_back_stored(std::span<std::int16_t> sums, std::span<const char> bytes, std::size_t rows,
                      bool is_signed)
{
    for (std::size_t j = 0; j < rows * sums.size(); ++j) {
        const std::size_t i = j % sums.size();
        sums[i] = static_cast<std::int16_t>(sums[i] - signed_of(bytes[j], is_signed));
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
