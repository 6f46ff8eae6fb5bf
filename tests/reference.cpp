#include "reference.h"

#include <array>
#include <cstdio>

namespace reference {

namespace {

constexpr int values_per_line = 38;
constexpr std::size_t line_room = 128;

std::int32_t center_position(std::int32_t p, std::int32_t seq_len)
{
    return p > (seq_len - 1) / 2 ? p - seq_len : p;
}

double echo(const elements& work, std::int32_t order, std::int32_t offset)
{
    const std::int32_t p = find_ones_window(work, order) + offset;
    return center_position(p, sequence_length(order)) + 0.5;
}

void append(std::string& text, const char* format, auto... values)
{
    std::array<char, line_room> line{};
    // The reference renders with the printf formats themselves.
    std::snprintf(line.data(), line.size(), format, values...);  // NOLINT(*-vararg)
    text += line.data();
}

// First start k >= from whose window of `order` elements lies inside w and
// ANDs to 1, or -1.
std::int32_t first_window(const elements& w, std::int32_t order, std::size_t from)
{
    const auto n = static_cast<std::size_t>(order);
    for (std::size_t k = from; k + n <= w.size(); ++k) {
        std::int32_t all_ones = 1;
        for (std::size_t j = 0; j < n; ++j) {
            all_ones &= w[k + j];
        }
        if (all_ones == 1) {
            return static_cast<std::int32_t>(k);
        }
    }
    return -1;
}

}  // namespace

std::int32_t sequence_length(std::int32_t order)
{
    return (1 << order) - 1;
}

elements taps_for_code(std::int32_t tap_code, std::int32_t order)
{
    elements taps(static_cast<std::size_t>(order));
    for (std::int32_t j = 0; j < order; ++j) {
        taps[static_cast<std::size_t>(j)] = (tap_code >> j) & 1;
    }
    return taps;
}

elements fill_sequence(const elements& taps)
{
    const std::size_t order = taps.size();
    const auto length = static_cast<std::size_t>(sequence_length(static_cast<std::int32_t>(order)));
    elements seq(length, 0);
    for (std::size_t k = 0; k < order; ++k) {
        seq[k] = 1;
    }
    for (std::size_t k = 0; k + order < length; ++k) {
        std::int32_t feedback = 0;
        for (std::size_t j = 0; j < order; ++j) {
            feedback ^= seq[k + j] & taps[j];
        }
        seq[k + order] = feedback;
    }
    return seq;
}

std::int32_t is_maximal(const elements& seq, std::int32_t order)
{
    return first_window(seq, order, 1) < 0 ? 1 : 0;
}

elements rotate_xor(const elements& src, const elements& other, std::int32_t shift)
{
    const std::size_t length = src.size();
    elements dst(length);
    for (std::size_t i = 0; i < length; ++i) {
        dst[i] = src[(i + static_cast<std::size_t>(shift)) % length] ^ other[i];
    }
    return dst;
}

std::int32_t find_ones_window(const elements& w, std::int32_t order)
{
    const std::int32_t k = first_window(w, order, 0);
    return k < 0 ? 0 : k;
}

std::string report(std::int32_t order)
{
    const std::int32_t length = sequence_length(order);
    std::string text = "KELDRAN: pseudorandom sequence generator, by Vantrel, 1994\n";
    append(text, "Sequence length is : %d\n", length);
    for (std::int32_t tap_code = 1; tap_code < length; tap_code += 2) {
        const elements taps = taps_for_code(tap_code, order);
        const elements seq = fill_sequence(taps);
        if (is_maximal(seq, order) == 0) {
            continue;
        }
        append(text, "\nPolynomial:\n  x^%d + ", order);
        for (std::int32_t j = order - 1; j >= 1; --j) {
            if (taps[static_cast<std::size_t>(j)] != 0) {
                append(text, "x^%d + ", j);
            }
        }
        text += "1\n\nThe sequence is :\n";
        for (std::int32_t i = 0; i < length; ++i) {
            if (i % values_per_line == 0) {
                text += "\n";
            }
            append(text, "%d ", seq[static_cast<std::size_t>(i)]);
        }
        text += "\n\n";
        const elements hts = rotate_xor(seq, seq, 1);
        const elements nlts = rotate_xor(hts, seq, 1);
        const elements second = rotate_xor(rotate_xor(seq, seq, 1), seq, 2);
        const elements interaction = rotate_xor(seq, seq, 2);
        append(text, "Echo location for Initial Magnetization (HTS) = %.1f\n", echo(hts, order, 0));
        append(text, "Echo location for Adjacent Transition Interference (NLTS) = %.1f\n",
               echo(nlts, order, 1));
        append(text, "Echo location for 2nd Adjacent Transition Interference = %.1f\n",
               echo(second, order, 2));
        append(text, "Echo location for Interaction Interference = %.1f\n\n",
               echo(interaction, order, 1));
    }
    return text;
}

}  // namespace reference
