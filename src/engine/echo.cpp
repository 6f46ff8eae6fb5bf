// Echo analysis: cyclic shift-and-XOR of a sequence and the search for its run of ones.
#include "engine.h"
#include "packed_bits.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace keldran {

namespace {

// Transitions lie between bit cells, half a step after the position found.
constexpr double half_step = 0.5;

// Each echo XORs the sequence with copies of itself shifted by these steps
// (work[i] = s[i] ^ s[i + shift] ^ ...), then sits a fixed distance after
// the run of ones in the result.
struct echo_recipe {
    std::array<std::size_t, 2> shifts;
    std::size_t shift_count;
    std::int32_t offset;
};

constexpr std::array<echo_recipe, 4> recipes{{
    {{1, 0}, 1, 0},  // initial magnetization (HTS): s[i] ^ s[i+1]
    {{1, 2}, 2, 1},  // adjacent transition interference (NLTS): s[i] ^ s[i+1] ^ s[i+2]
    {{2, 3}, 2, 2},  // second adjacent transition interference: s[i] ^ s[i+2] ^ s[i+3]
    {{2, 0}, 1, 1},  // interaction interference: s[i] ^ s[i+2]
}};
constexpr std::size_t max_recipe_shift = 3;

using packed::word_bits;
constexpr std::size_t max_words = (std::size_t{1} << max_order) / word_bits;

// The sequence packed 32 bits to a word, its first bits repeated after its
// end: a word read up to max_recipe_shift bits further on then holds what a
// cyclic shift brings round. One spare word keeps those reads in bounds.
using cyclic_words = std::array<std::uint32_t, max_words + 1>;

cyclic_words pack_cyclic(const std::int32_t* seq, std::size_t length)
{
    cyclic_words words{};
    packed::pack_elements(words.data(), seq, length);
    for (std::size_t k = 0; k < max_recipe_shift; ++k) {
        const std::uint32_t bit = (words[0] >> k) & 1U;
        words[(length + k) / word_bits] |= bit << ((length + k) % word_bits);
    }
    return words;
}

// Word w of the sequence read `shift` bits further on.
std::uint32_t shifted_word(const cyclic_words& s, std::size_t w, std::size_t shift)
{
    return shift == 0 ? s[w] : (s[w] >> shift) | (s[w + 1] << (word_bits - shift));
}

double echo_of(const cyclic_words& s, std::size_t length, std::int32_t order,
               const echo_recipe& recipe)
{
    std::array<std::uint32_t, max_words> combined{};
    const std::size_t words = (length + word_bits - 1) / word_bits;
    for (std::size_t w = 0; w < words; ++w) {
        std::uint32_t word = s[w];
        for (std::size_t r = 0; r < recipe.shift_count; ++r) {
            word ^= shifted_word(s, w, recipe.shifts[r]);
        }
        combined[w] = word;
    }
    // Past the end stand the repeated bits, which no window may use.
    if (length % word_bits != 0) {
        combined[words - 1] &= (std::uint32_t{1} << (length % word_bits)) - 1;
    }
    // No run of ones at all reads as a run at 0, as find_ones_window has it.
    const std::int32_t start =
        std::max(packed::first_run_in_words(combined.data(), length, order, 0), 0);
    return center_position(start + recipe.offset, static_cast<std::int32_t>(length)) + half_step;
}

// A shift known at compile time gives the compiler a fixed distance between
// reads and writes, so it can use vector code even when dst is src.
template <std::size_t shift>
void rotate_xor_by(std::int32_t* dst, const std::int32_t* src, const std::int32_t* other,
                   std::size_t length)
{
    // dst may be src: keep the elements that wrap round before they are overwritten.
    std::array<std::int32_t, shift> head{};
    std::copy_n(src, shift, head.begin());
    // Reads run ahead of writes, so no element is read after it was
    // overwritten. Naming the in-place case lets the compiler see that too.
    if (dst == src) {
        for (std::size_t i = 0; i + shift < length; ++i) {
            dst[i] = dst[i + shift] ^ other[i];
        }
    } else {
        for (std::size_t i = 0; i + shift < length; ++i) {
            dst[i] = src[i + shift] ^ other[i];
        }
    }
    for (std::size_t i = length - shift; i < length; ++i) {
        dst[i] = head[i - (length - shift)] ^ other[i];
    }
}

}  // namespace

void rotate_xor(std::int32_t* dst, const std::int32_t* src, const std::int32_t* other,
                std::int32_t shift, std::int32_t order)
{
    const auto length = static_cast<std::size_t>(sequence_length(order));
    if (shift == 1) {
        rotate_xor_by<1>(dst, src, other, length);
    } else {
        rotate_xor_by<2>(dst, src, other, length);
    }
}

std::int32_t find_ones_window(const std::int32_t* w, std::int32_t order)
{
    // No run at all reads as a run at 0; callers accept that ambiguity.
    const std::int32_t start =
        packed::first_run_of_ones(w, static_cast<std::size_t>(sequence_length(order)), order, 0);
    return start < 0 ? 0 : start;
}

std::int32_t center_position(std::int32_t p, std::int32_t seq_len)
{
    return p > (seq_len - 1) / 2 ? p - seq_len : p;
}

echo_set echo_locations(const std::int32_t* seq, std::int32_t* work, std::int32_t order)
{
    // All four combinations are worked out on the packed sequence, a word at a
    // time; work is left holding the last one, the interaction combination.
    const auto length = static_cast<std::size_t>(sequence_length(order));
    const cyclic_words s = pack_cyclic(seq, length);
    const echo_set echoes{
        echo_of(s, length, order, recipes[0]), echo_of(s, length, order, recipes[1]),
        echo_of(s, length, order, recipes[2]), echo_of(s, length, order, recipes[3])};
    rotate_xor(work, seq, seq, 2, order);
    return echoes;
}

}  // namespace keldran
