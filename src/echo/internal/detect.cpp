// Which format a capture is in, from its first bytes: each oscilloscope file
// starts with its own mark, and csv is text; raw samples carry no mark at all.
#include "decode_internal.h"

#include <algorithm>

namespace keldran::echo {

namespace {

// A trace's descriptor follows its length prefix, so it may start a few bytes in.
constexpr std::size_t trace_mark_reach = 32;

bool starts_as_preamble(std::string_view first)
{
    const std::size_t start = first.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) {
        return false;
    }
    first = first.substr(start);
    if (first.starts_with(':')) {
        first.remove_prefix(1);
    }
    return first.starts_with("WFMP") || first.starts_with("WFMO");
}

bool starts_as_keysight(std::string_view first)
{
    constexpr std::size_t mark_length = 4;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return first.size() >= mark_length && (first.starts_with("AG") || first.starts_with("RG"))
           && digit(first[2]) && digit(first[3]);
}

}  // namespace

std::optional<capture_format> format_by_signature(std::string_view first)
{
    constexpr std::string_view descriptor = "WAVEDESC";
    if (first.substr(0, trace_mark_reach + descriptor.size()).find(descriptor)
        != std::string_view::npos) {
        return capture_format::trc;
    }
    if (starts_as_preamble(first)) {
        return capture_format::isf;
    }
    if (starts_as_keysight(first)) {
        return capture_format::bin;
    }
    return std::nullopt;
}

bool looks_like_text(std::string_view first)
{
    constexpr unsigned char first_printable = 0x20;
    constexpr unsigned char delete_character = 0x7F;
    return !first.empty() && std::ranges::all_of(first, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u >= first_printable && u != delete_character) || c == '\t' || c == '\r'
               || c == '\n';
    });
}

}  // namespace keldran::echo
