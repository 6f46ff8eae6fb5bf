// Rendering report text without formatted printing: each block is built
// directly in the caller's memory, ready to be written with others at once.
#include "report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace keldran {

namespace {

constexpr int echo_decimals = 1;

// Appends to a span, tracking the write position.
struct text_cursor {
    char* at;

    void put(std::string_view s) { at = std::copy(s.begin(), s.end(), at); }

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

// Values are 0 or 1, so each is one digit and a space: written directly, a
// line at a time, instead of formatted one by one. Each line's values are
// copied to a local first: the text may alias anything, a local cannot, and
// that lets the compiler write whole vectors of digits.
void put_sequence(text_cursor& text, const std::int32_t* seq, std::int32_t order)
{
    text.put("\nThe sequence is :\n");
    const auto length = static_cast<std::size_t>(sequence_length(order));
    std::array<std::int32_t, values_per_line> values{};
    std::array<char, 2 * values_per_line> digits{};
    for (std::size_t line = 0; line < length; line += values_per_line) {
        const std::size_t count = std::min(values_per_line, length - line);
        std::copy_n(seq + line, count, values.begin());
        for (std::size_t i = 0; i < values_per_line; ++i) {
            digits[2 * i] = static_cast<char>('0' + values[i]);
            digits[2 * i + 1] = ' ';
        }
        *text.at++ = '\n';
        text.put(std::string_view(digits.data(), 2 * count));
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

}  // namespace keldran
