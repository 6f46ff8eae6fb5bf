// Direct, obviously correct transcriptions of the engine's algorithms and of
// the report's format, one element and one formatted print at a time. The
// tests hold the product's fast paths to these.
#ifndef KELDRAN_TESTS_REFERENCE_H
#define KELDRAN_TESTS_REFERENCE_H

#include <cstdint>
#include <string>
#include <vector>

namespace reference {

using elements = std::vector<std::int32_t>;

std::int32_t sequence_length(std::int32_t order);

// Tap vector of `order` elements whose bit j comes from bit j of tap_code.
elements taps_for_code(std::int32_t tap_code, std::int32_t order);

elements fill_sequence(const elements& taps);
std::int32_t is_maximal(const elements& seq, std::int32_t order);
elements rotate_xor(const elements& src, const elements& other, std::int32_t shift);
std::int32_t find_ones_window(const elements& w, std::int32_t order);

// The whole standard output for an order, rendered with printf formats.
std::string report(std::int32_t order);

}  // namespace reference

#endif
