// The report text: banner, length line and one block per maximal polynomial.
#ifndef KELDRAN_REPORT_H
#define KELDRAN_REPORT_H

#include "engine.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>

namespace keldran {

inline constexpr const char* banner =
    "KELDRAN: pseudorandom sequence generator, by Vantrel, 1994\n";

// Sequence values stand this many to a line.
inline constexpr std::size_t values_per_line = 38;

// An upper bound on the bytes of one block of this order: the polynomial line
// with every term, two bytes per value plus a line end per line of values, and
// four echo lines with the longest label and value.
constexpr std::size_t block_bytes_bound(std::int32_t order)
{
    constexpr std::size_t headings = 64;   // "Polynomial:", "The sequence is :", blank lines
    constexpr std::size_t term_bytes = 8;  // "x^NN + "
    constexpr std::size_t echo_line_bytes = 96;
    constexpr std::size_t echo_lines = 4;
    const auto length = static_cast<std::size_t>(sequence_length(order));
    const std::size_t value_lines = (length + values_per_line - 1) / values_per_line;
    return headings + static_cast<std::size_t>(order + 1) * term_bytes + 2 * length + value_lines
           + echo_lines * echo_line_bytes;
}

inline constexpr std::size_t max_block_bytes = block_bytes_bound(max_order);

// Writes "Sequence length is : L" with its line end.
void write_length_line(std::ostream& out, std::int32_t seq_len);

// Renders the block of one maximal polynomial (polynomial line, sequence in
// lines of values_per_line, four echo lines) into text, which must hold at
// least max_block_bytes. Returns the number of bytes written.
std::size_t render_block(std::span<char> text, const std::int32_t* taps, const std::int32_t* seq,
                         std::int32_t order, const echo_set& echoes);

}  // namespace keldran

#endif
