// Helpers shared by the engine's operations: moving 0/1 elements between
// std::int32_t buffers and packed machine words, and finding runs of ones in
// packed form. Internal to the engine.
#ifndef KELDRAN_PACKED_BITS_H
#define KELDRAN_PACKED_BITS_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace keldran::packed {

inline constexpr std::size_t byte_bits = 8;
inline constexpr std::size_t word_bits = 32;

// bit_values[i] == 1 << i; indexing a table instead of shifting lets the
// compiler turn whole-word loops into vector code.
inline constexpr std::array<std::uint32_t, word_bits> bit_values = [] {
    std::array<std::uint32_t, word_bits> values{};
    for (std::size_t i = 0; i < word_bits; ++i) {
        values[i] = std::uint32_t{1} << i;
    }
    return values;
}();

inline constexpr std::size_t byte_values = 256;
using byte_row = std::array<std::int32_t, byte_bits>;

// byte_elements[b] holds the eight 0/1 elements of byte b, least significant bit first.
inline constexpr std::array<byte_row, byte_values> byte_elements = [] {
    std::array<byte_row, byte_values> table{};
    for (std::size_t b = 0; b != byte_values; ++b) {
        for (std::size_t i = 0; i < byte_bits; ++i) {
            table[b][i] = static_cast<std::int32_t>((b >> i) & 1U);
        }
    }
    return table;
}();

// Packs `count` (at most word_bits) 0/1 elements into a word, element i at bit i.
inline std::uint32_t pack_word(const std::int32_t* elements, std::size_t count)
{
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // 0 - 1 is all ones: masking with it keeps the bit without a shift by i.
        word |= (0U - static_cast<std::uint32_t>(elements[i])) & bit_values[i];
    }
    return word;
}

// Writes the first `count` bits of `bytes` as 0/1 elements: bit i of byte b
// becomes element 8b + i. Nothing past elements[count - 1] is touched.
void expand_bits(std::int32_t* elements, const std::uint8_t* bytes, std::size_t count);

// Packs `count` elements into words, 32 to a word; bits past the last
// element are 0. words holds at least (count + word_bits - 1) / word_bits.
void pack_elements(std::uint32_t* words, const std::int32_t* elements, std::size_t count);

// First start k >= first_start with elements[k] ... elements[k+run-1] all
// ones and the window wholly inside the `count` elements; -1 when there is
// none. 1 <= run <= word_bits / 2 and first_start < word_bits / 2.
std::int32_t first_run_of_ones(const std::int32_t* elements, std::size_t count, std::int32_t run,
                               std::int32_t first_start);

// The same search over `count` bits already packed into words (bits past
// `count` must be 0).
std::int32_t first_run_in_words(const std::uint32_t* words, std::size_t count, std::int32_t run,
                                std::int32_t first_start);

}  // namespace keldran::packed

#endif
