#include "text.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace keldran::echo {

namespace {

constexpr std::size_t number_room = 64;
constexpr int short_digits = 6;
constexpr std::size_t quoted_limit = 40;
constexpr std::string_view ellipsis = "...";
constexpr unsigned utf8_continuation_mask = 0xC0U;
constexpr unsigned utf8_continuation_tag = 0x80U;
constexpr unsigned char first_printable = 0x20U;
constexpr unsigned char delete_char = 0x7FU;

}  // namespace

std::string formatted(double v, std::chars_format format, int precision)
{
    std::array<char, number_room> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), v, format, precision);
    if (error != std::errc{}) {
        return "?";
    }
    return {buffer.data(), end};
}

std::string short_number(double v)
{
    return formatted(v, std::chars_format::general, short_digits);
}

std::string percent_text(double fraction)
{
    constexpr double hundred = 100.0;
    return std::to_string(static_cast<int>(std::lround(std::max(fraction, 0.0) * hundred))) + " %";
}

std::string quoted(std::string_view text)
{
    std::string shown(text);
    if (shown.size() > quoted_limit) {
        std::size_t cut = quoted_limit - ellipsis.size();
        while (cut > 0
               && (static_cast<unsigned char>(shown[cut]) & utf8_continuation_mask)
                      == utf8_continuation_tag) {
            --cut;
        }
        shown.resize(cut);
        shown += ellipsis;
    }
    std::replace_if(
        shown.begin(), shown.end(),
        [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u < first_printable || u == delete_char;
        },
        '?');
    return '"' + shown + '"';
}

}  // namespace keldran::echo
