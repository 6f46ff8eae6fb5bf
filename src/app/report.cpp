// Rendering report text without formatted printing: each block is built in
// one buffer and written with one call.
#include "report.h"

#include <array>
#include <charconv>
#include <string_view>

namespace keldran {

namespace {

constexpr int echo_decimals = 1;

// Appends to a span, tracking the write position.
struct text_cursor {
    char* at;

    void put(std::string_view s)
    {
        for (const char c : s) {
            *at++ = c;
        }
    }

    void put(std::int32_t value) { at = std::to_chars(at, at + sizeof "-2147483648", value).ptr; }

    // "%.1f" without the locale: a full stop and a hyphen-minus always.
    void put_fixed(double value)
    {
        constexpr std::size_t room = 32;
        at = std::to_chars(at, at + room, value, std::chars_format::fixed, echo_decimals).ptr;
    }
};

void put_polynomial(text_cursor& text, const std::int32_t* taps, std::int32_t order)
{
    text.put("\nPolynomial:\n  x^");
    text.put(order);
    text.put(" + ");
    // The x^1 term keeps its exponent so every term reads alike.
    for (std::int32_t j = order - 1; j >= 1; --j) {
        if (taps[j] != 0) {
            text.put("x^");
            text.put(j);
            text.put(" + ");
        }
    }
    text.put("1\n");
}

void put_sequence(text_cursor& text, const std::int32_t* seq, std::int32_t order)
{
    text.put("\nThe sequence is :\n");
    const std::int32_t length = sequence_length(order);
    for (std::int32_t i = 0; i < length; ++i) {
        if (static_cast<std::size_t>(i) % values_per_line == 0) {
            text.put("\n");
        }
        text.put(seq[i]);
        text.put(" ");
    }
    text.put("\n\n");
}

void put_echo(text_cursor& text, std::string_view label, double location, std::string_view end)
{
    text.put("Echo location for ");
    text.put(label);
    text.put(" = ");
    text.put_fixed(location);
    text.put(end);
}

}  // namespace

void write_length_line(std::ostream& out, std::int32_t seq_len)
{
    std::array<char, sizeof "Sequence length is : -2147483648\n"> line{};
    text_cursor text{line.data()};
    text.put("Sequence length is : ");
    text.put(seq_len);
    text.put("\n");
    out.write(line.data(), text.at - line.data());
}

std::size_t render_block(std::span<char> text, const std::int32_t* taps, const std::int32_t* seq,
                         std::int32_t order, const echo_set& echoes)
{
    text_cursor cursor{text.data()};
    put_polynomial(cursor, taps, order);
    put_sequence(cursor, seq, order);
    put_echo(cursor, "Initial Magnetization (HTS)", echoes.hts, "\n");
    put_echo(cursor, "Adjacent Transition Interference (NLTS)", echoes.nlts, "\n");
    put_echo(cursor, "2nd Adjacent Transition Interference", echoes.second_adjacent, "\n");
    put_echo(cursor, "Interaction Interference", echoes.interaction, "\n\n");
    return static_cast<std::size_t>(cursor.at - text.data());
}

void write_block(std::ostream& out, const std::int32_t* taps, const std::int32_t* seq,
                 std::int32_t order, const echo_set& echoes)
{
    std::array<char, max_block_bytes> text{};
    const std::size_t size = render_block(text, taps, seq, order, echoes);
    out.write(text.data(), static_cast<std::streamsize>(size));
}

}  // namespace keldran
