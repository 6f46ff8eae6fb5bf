// Register output sequences and the maximality test.
//
// The sequence is generated packed and expanded into the caller's elements
// once. Squaring a polynomial over GF(2) spaces its terms, so
// s(k + w*n) = XOR of taps[j] * s(k + w*j) holds for every power of two w:
// once the first n groups of w bits are known, each further group is the XOR
// of earlier groups. The register is stepped bit by bit only for n bits; then
// groups of 2 and 4 bits, and of 1, 2, 4, ... bytes, each width seeding the
// next, reach the full period in a few dozen wide steps.
#include "engine.h"
#include "packed_bits.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

namespace keldran {

namespace {

using packed::byte_bits;

// Room for the longest sequence, rounded up to a whole byte.
constexpr std::size_t max_sequence_bytes = (std::size_t{1} << max_order) / byte_bits;
// Groups grow to this many bytes: n groups of twice the width would already be
// longer than the longest sequence.
constexpr std::size_t widest_group = 32;
constexpr auto group_levels = static_cast<std::size_t>(std::bit_width(widest_group));

using bit_string = std::array<std::uint8_t, max_sequence_bytes>;

constexpr std::size_t tap_mask_values = std::size_t{1} << max_order;

// parities[v] is the parity of v, for every value a tap mask can select.
constexpr std::array<std::uint8_t, tap_mask_values> parities = [] {
    std::array<std::uint8_t, tap_mask_values> table{};
    for (std::size_t v = 1; v != tap_mask_values; ++v) {
        table[v] = static_cast<std::uint8_t>(table[v >> 1] ^ (v & 1U));
    }
    return table;
}();

struct tap_list {
    std::array<std::size_t, max_order> index;
    std::size_t count;
    std::uint32_t mask;
};

tap_list list_taps(const std::int32_t* taps, std::int32_t order)
{
    tap_list list{};
    for (std::int32_t j = 0; j < order; ++j) {
        // An element takes part when its AND with the tap is 1.
        if ((taps[j] & 1) != 0) {
            list.index[list.count++] = static_cast<std::size_t>(j);
            list.mask |= std::uint32_t{1} << j;
        }
    }
    return list;
}

// How far each tap's group starts from the first group a step reads, in
// units of the level (bits for the seed, bytes after): worked out once per
// level rather than once per step.
using tap_offsets = std::array<std::size_t, max_order>;

tap_offsets offsets_of(const tap_list& taps, std::size_t width)
{
    tap_offsets offsets{};
    for (std::size_t t = 0; t < taps.count; ++t) {
        offsets[t] = taps.index[t] * width;
    }
    return offsets;
}

// The first n bytes, worked out in a pair of words: n bits of the all-ones
// start state, n more by stepping the register, then groups of 2 and 4 bits by
// the same doubling as the byte groups below. Groups never straddle a word.
using seed_words = std::array<std::uint64_t, 2>;
constexpr std::size_t seed_word_bits = 64;

template <std::size_t width> std::uint64_t seed_group(const seed_words& words, std::size_t position)
{
    constexpr std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    return (words[position / seed_word_bits] >> (position % seed_word_bits)) & mask;
}

// With n groups of `width` bits known, works out n more.
template <std::size_t width>
void extend_seed(seed_words& words, const tap_list& taps, std::size_t n)
{
    const tap_offsets offsets = offsets_of(taps, width);
    for (std::size_t m = n; m < 2 * n; ++m) {
        std::uint64_t group = 0;
        for (std::size_t t = 0; t < taps.count; ++t) {
            group ^= seed_group<width>(words, (m - n) * width + offsets[t]);
        }
        words[m * width / seed_word_bits] |= group << (m * width % seed_word_bits);
    }
}

void seed_bytes(bit_string& bits, const tap_list& taps, std::size_t n)
{
    // A zero state would never leave itself; the register starts with all ones.
    seed_words words{(std::uint64_t{1} << n) - 1, 0};
    std::uint32_t state = (std::uint32_t{1} << n) - 1;  // bit j holds s(k + j)
    for (std::size_t k = n; k < 2 * n; ++k) {
        const std::uint32_t next = parities[state & taps.mask];
        words[k / seed_word_bits] |= std::uint64_t{next} << (k % seed_word_bits);
        state = (state >> 1) | (next << (n - 1));
    }
    extend_seed<2>(words, taps, n);
    extend_seed<4>(words, taps, n);
    for (std::size_t b = 0; b < n; ++b) {
        bits[b] = static_cast<std::uint8_t>(seed_group<byte_bits>(words, b * byte_bits));
    }
}

// With groups 0 ... first-1 of `width` bytes known, fills groups first ... last-1.
// A width fixed at compile time makes each copy and XOR a few word moves.
template <std::size_t width>
void extend_groups(bit_string& bits, const tap_list& taps, std::size_t n, std::size_t first,
                   std::size_t last)
{
    constexpr std::size_t word_bytes = sizeof(std::uint64_t);
    constexpr std::size_t lane_bytes = width < word_bytes ? width : word_bytes;
    constexpr std::size_t lanes = width / lane_bytes;
    const tap_offsets offsets = offsets_of(taps, width);
    for (std::size_t m = first; m < last; ++m) {
        const std::uint8_t* window = bits.data() + (m - n) * width;
        std::array<std::uint64_t, lanes> group{};
        for (std::size_t t = 0; t < taps.count; ++t) {
            const std::uint8_t* earlier = window + offsets[t];
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                std::uint64_t value = 0;
                std::memcpy(&value, earlier + lane * lane_bytes, lane_bytes);
                group[lane] ^= value;
            }
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            std::memcpy(bits.data() + m * width + lane * lane_bytes, &group[lane], lane_bytes);
        }
    }
}

// Doubles the known prefix of n groups of `width` bytes, or at the widest
// width finishes the sequence; nothing to do once `needed` bytes are known.
template <std::size_t width>
void extend(bit_string& bits, const tap_list& taps, std::size_t n, std::size_t needed)
{
    if (n * width >= needed) {
        return;
    }
    const std::size_t last = width == widest_group ? (needed + width - 1) / width : 2 * n;
    extend_groups<width>(bits, taps, n, n, last);
}

// Runs the doublings, groups of 1, 2, 4, ... widest_group bytes in turn.
template <std::size_t... level>
void extend_levels(bit_string& bits, const tap_list& taps, std::size_t n, std::size_t needed,
                   std::index_sequence<level...> /*levels*/)
{
    (extend<std::size_t{1} << level>(bits, taps, n, needed), ...);
}

void generate_bits(bit_string& bits, const std::int32_t* taps, std::int32_t order)
{
    const tap_list list = list_taps(taps, order);
    const auto n = static_cast<std::size_t>(order);
    const std::size_t needed =
        (static_cast<std::size_t>(sequence_length(order)) + byte_bits - 1) / byte_bits;
    seed_bytes(bits, list, n);
    extend_levels(bits, list, n, needed, std::make_index_sequence<group_levels>{});
}

}  // namespace

void fill_sequence(std::int32_t* seq, const std::int32_t* taps, std::int32_t order)
{
    // Every byte that is read back is written first, so the string needs no clearing.
    bit_string bits;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    generate_bits(bits, taps, order);
    packed::expand_bits(seq, bits.data(), static_cast<std::size_t>(sequence_length(order)));
}

std::int32_t is_maximal(const std::int32_t* seq, std::int32_t order)
{
    // Window 0 is the start state itself; a later all-ones window means the
    // state came back before the full period. Windows never wrap.
    const std::int32_t return_of_start =
        packed::first_run_of_ones(seq, static_cast<std::size_t>(sequence_length(order)), order, 1);
    return return_of_start < 0 ? 1 : 0;
}

}  // namespace keldran
