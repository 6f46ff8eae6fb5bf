// Sequence engine: maximal-length LFSR sequences and their echo locations.
//
// Every operation works on caller-owned arrays of 0/1 values held one per
// std::int32_t, takes the polynomial order rather than a length, allocates
// nothing, prints nothing and keeps no state. The caller guarantees
// min_order <= order <= max_order; buffers hold sequence_length(order)
// elements unless stated otherwise.
#ifndef KELDRAN_ENGINE_H
#define KELDRAN_ENGINE_H

#include <cstdint>

namespace keldran {

inline constexpr std::int32_t min_order = 3;
inline constexpr std::int32_t max_order = 12;

// Period 2^order - 1 of a maximal-length sequence of this order.
constexpr std::int32_t sequence_length(std::int32_t order)
{
    return (std::int32_t{1} << order) - 1;
}

// The four echo locations of one sequence, each a centred shift plus one half.
struct echo_set {
    double hts;              // initial magnetization
    double nlts;             // adjacent transition interference
    double second_adjacent;  // second adjacent transition interference
    double interaction;      // interaction interference
};

// Writes the register output for the feedback polynomial
// x^order + taps[order-1] x^(order-1) + ... + taps[0] into all of seq,
// starting from the all-ones state. taps holds `order` elements.
void fill_sequence(std::int32_t* seq, const std::int32_t* taps, std::int32_t order);

// 1 when no window of `order` ones starts at 1 ... L - order in seq (the
// start state does not come back), else 0. With taps[0] = 1 this is exactly
// maximality. seq is as fill_sequence left it for the same order.
std::int32_t is_maximal(const std::int32_t* seq, std::int32_t order);

// dst[i] = src[(i + shift) mod L] XOR other[i] for all i; shift is 1 or 2.
// dst may be src (each element uses src as it stood before the call);
// other must not be dst.
void rotate_xor(std::int32_t* dst, const std::int32_t* src, const std::int32_t* other,
                std::int32_t shift, std::int32_t order);

// First start k in 0 ... L - order with w[k] ... w[k+order-1] all ones, or 0
// when there is none. Windows never wrap past the end of w.
std::int32_t find_ones_window(const std::int32_t* w, std::int32_t order);

// p - seq_len when p lies above (seq_len - 1) / 2, else p; seq_len is odd.
std::int32_t center_position(std::int32_t p, std::int32_t seq_len);

// The four echo locations of the maximal sequence seq, computed through
// work (overwritten; afterwards it holds seq[i] XOR seq[i+2]).
echo_set echo_locations(const std::int32_t* seq, std::int32_t* work, std::int32_t order);

}  // namespace keldran

#endif
