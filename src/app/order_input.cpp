// Reading the polynomial order: "%d" integers, taken one byte at a time.
#include "order_input.h"

#include "engine.h"

#include <limits>
#include <streambuf>
#include <string>

namespace keldran {

namespace {

using traits = std::char_traits<char>;

constexpr int decimal_base = 10;

bool is_c_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c)
{
    return c >= '0' && c <= '9';
}

// Reads the digits at the front of buf as a magnitude; a value past `limit`
// sticks at limit + 1, so any number of digits takes constant memory.
std::int64_t read_magnitude(std::streambuf& buf, std::int64_t limit)
{
    std::int64_t magnitude = 0;
    for (int c = buf.sgetc(); is_digit(c); c = buf.snextc()) {
        if (magnitude <= limit) {
            magnitude = magnitude * decimal_base + (c - '0');
        }
    }
    return magnitude;
}

}  // namespace

read_result read_integer(std::istream& in)
{
    std::streambuf& buf = *in.rdbuf();
    int c = buf.sgetc();
    while (is_c_space(c)) {
        c = buf.snextc();
    }
    if (traits::eq_int_type(c, traits::eof())) {
        return {read_status::end_of_input, 0};
    }
    const bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = buf.snextc();
    }
    if (!is_digit(c)) {
        return {read_status::not_a_number, 0};
    }
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    const std::int64_t magnitude = read_magnitude(buf, limit);
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return {read_status::number, std::numeric_limits<std::int32_t>::max()};
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return {read_status::number, std::numeric_limits<std::int32_t>::min()};
    }
    return {read_status::number, static_cast<std::int32_t>(value)};
}

bool discard_line(std::istream& in)
{
    std::streambuf& buf = *in.rdbuf();
    for (int c = buf.sbumpc(); !traits::eq_int_type(c, traits::eof()); c = buf.sbumpc()) {
        if (c == '\n') {
            return true;
        }
    }
    return false;
}

std::optional<std::int32_t> ask_order(std::istream& in, std::ostream& out, std::ostream& err)
{
    for (;;) {
        out.flush();
        err << order_prompt << std::flush;
        const read_result r = read_integer(in);
        if (r.status == read_status::end_of_input) {
            return std::nullopt;
        }
        if (r.status == read_status::not_a_number) {
            // The byte that stopped the number is still unread, so this always
            // consumes something and the loop cannot spin.
            if (!discard_line(in)) {
                return std::nullopt;
            }
            continue;
        }
        if (r.value >= min_order && r.value <= max_order) {
            return r.value;
        }
    }
}

}  // namespace keldran
