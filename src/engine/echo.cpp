// Echo analysis: cyclic shift-and-XOR of a sequence and the search for its run of ones.
#include "engine.h"

#include <array>

namespace keldran {

namespace {

constexpr std::int32_t max_shift = 2;

// Fixed distance from the run of ones to the echo for each recipe.
constexpr std::int32_t hts_offset = 0;
constexpr std::int32_t nlts_offset = 1;
constexpr std::int32_t second_adjacent_offset = 2;
constexpr std::int32_t interaction_offset = 1;

// Transitions lie between bit cells, half a step after the position found.
constexpr double half_step = 0.5;

double echo_at(const std::int32_t* work, std::int32_t order, std::int32_t offset)
{
    const std::int32_t p = find_ones_window(work, order) + offset;
    return center_position(p, sequence_length(order)) + half_step;
}

}  // namespace

void rotate_xor(std::int32_t* dst, const std::int32_t* src, const std::int32_t* other,
                std::int32_t shift, std::int32_t order)
{
    const std::int32_t length = sequence_length(order);
    // dst may be src: keep the elements that wrap round before they are overwritten.
    std::array<std::int32_t, max_shift> head{};
    for (std::int32_t i = 0; i < shift; ++i) {
        head[static_cast<std::size_t>(i)] = src[i];
    }
    for (std::int32_t i = 0; i + shift < length; ++i) {
        dst[i] = src[i + shift] ^ other[i];
    }
    for (std::int32_t i = length - shift; i < length; ++i) {
        dst[i] = head[static_cast<std::size_t>(i - (length - shift))] ^ other[i];
    }
}

std::int32_t find_ones_window(const std::int32_t* w, std::int32_t order)
{
    const std::int32_t length = sequence_length(order);
    for (std::int32_t k = 0; k <= length - order; ++k) {
        std::int32_t all_ones = 1;
        for (std::int32_t j = 0; j < order; ++j) {
            all_ones &= w[k + j];
        }
        if (all_ones == 1) {
            return k;
        }
    }
    return 0;
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
