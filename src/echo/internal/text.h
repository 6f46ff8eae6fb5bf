// Numbers and quoted input as the library's messages and pictures show them:
// without the locale, so that every machine writes the same text.
#ifndef KELDRAN_ECHO_TEXT_H
#define KELDRAN_ECHO_TEXT_H

#include <charconv>
#include <string>
#include <string_view>

namespace keldran::echo {

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
