// Echo analysis: cyclic shift-and-XOR of a sequence and the search for its run of ones.
#include "engine.h"
#include "packed_bits.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace keldran {

namespace {

// Fixed distance from the run of ones to the echo for each recipe.
constexpr std::int32_t hts_offset = 0;
constexpr std::int32_t nlts_offset = 1;
constexpr std::int32_t second_adjacent_offset = 2;
constexpr std::int32_t interaction_offset = 1;

// Transitions lie between bit cells, half a step after the position found.
constexpr double half_step = 0.5;

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

double echo_at(const std::int32_t* work, std::int32_t order, std::int32_t offset)
{
    const std::int32_t p = find_ones_window(work, order) + offset;
    return center_position(p, sequence_length(order)) + half_step;
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
    echo_set echoes{};
    rotate_xor(work, seq, seq, 1, order);
    echoes.hts = echo_at(work, order, hts_offset);
    // NLTS builds on the HTS combination left in work.
    rotate_xor(work, work, seq, 1, order);
    echoes.nlts = echo_at(work, order, nlts_offset);
    rotate_xor(work, seq, seq, 1, order);
    rotate_xor(work, work, seq, 2, order);
    echoes.second_adjacent = echo_at(work, order, second_adjacent_offset);
    rotate_xor(work, seq, seq, 2, order);
    echoes.interaction = echo_at(work, order, interaction_offset);
    return echoes;
}

}  // namespace keldran
