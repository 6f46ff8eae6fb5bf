// Numbers and quoted input as the library's messages and pictures show them:
// without the locale, so that every machine writes the same text.
#ifndef KELDRAN_ECHO_TEXT_H
#define KELDRAN_ECHO_TEXT_H

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace keldran::echo {

// The values by a fixed printf pattern, cut to a line of 160 characters.
template <typename... Values> std::string format(const char* pattern, Values... values)
{
    constexpr std::size_t line_size = 160;
    std::string text(line_size, '\0');
    const int n =
        std::snprintf(text.data(), text.size(), pattern, values...);  // NOLINT: fixed patterns
    text.resize(static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(line_size) - 1)));
    return text;
}

// `v` by std::to_chars in `format` with `precision` digits; "?" when it does not fit.
std::string formatted(double v, std::chars_format format, int precision);

// A rate or a count in at most six significant digits: "8", "6.29998".
std::string short_number(double v);

// A fraction as a whole percentage, "32 %"; below zero reads as 0 %.
std::string percent_text(double fraction);

// `text` in double quotes, cut to 40 characters with "..." (never inside a
// UTF-8 character) and with control characters shown as '?', so that a
// message quoting it stays one readable line.
std::string quoted(std::string_view text);

}  // namespace keldran::echo

#endif
