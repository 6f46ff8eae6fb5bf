#include "polynomial.h"

#include <cctype>
#include <charconv>

namespace keldran::echo {

namespace {

std::string remove_spaces(std::string_view text)
{
    std::string compact;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            compact += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return compact;
}

// The exponent of one term: "1" is 0, "x" is 1, "x^N" is N; nothing when the
// term is none of these. Exponents far beyond the largest order read as such.
std::optional<std::int32_t> term_exponent(std::string_view term)
{
    if (term == "1") {
        return 0;
    }
    if (term == "x") {
        return 1;
    }
    if (term.size() < 3 || term.substr(0, 2) != "x^") {
        return std::nullopt;
    }
    const std::string_view digits = term.substr(2);
    std::int32_t exponent = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
    if (ec == std::errc::result_out_of_range) {
        return max_order + 1;
    }
    if (ec != std::errc{} || end != digits.data() + digits.size() || exponent < 0) {
        return std::nullopt;
    }
    return exponent;
}

bool is_maximal_polynomial(const polynomial& poly)
{
    return is_maximal(pattern_bits(poly).data(), poly.order) == 1;
}

}  // namespace

polynomial_parse parse_polynomial(std::string_view text)
{
    const std::string compact = remove_spaces(text);
    const echo_error unreadable{.code = echo_errc::unreadable_polynomial,
                                .text = std::string(text)};
    std::vector<std::int32_t> exponents;
    for (std::size_t at = 0; at <= compact.size();) {
        const std::size_t plus = std::min(compact.find('+', at), compact.size());
        const auto exponent = term_exponent(std::string_view(compact).substr(at, plus - at));
        if (!exponent) {
            return {std::nullopt, unreadable};
        }
        exponents.push_back(*exponent);
        at = plus + 1;
    }
    polynomial poly;
    for (const std::int32_t e : exponents) {
        poly.order = std::max(poly.order, e);
    }
    if (poly.order < min_order || poly.order > max_order) {
        return {std::nullopt,
                {.code = echo_errc::order_out_of_range,
                 .value = poly.order,
                 .text = std::string(text)}};
    }
    std::array<bool, max_order + 1> seen{};
    for (const std::int32_t e : exponents) {
        if (seen.at(static_cast<std::size_t>(e))) {
            echo_error twice = unreadable;
            twice.value = e;
            twice.count = 1;
            return {std::nullopt, twice};
        }
        seen.at(static_cast<std::size_t>(e)) = true;
        if (e < poly.order) {
            poly.taps.at(static_cast<std::size_t>(e)) = 1;
        }
    }
    if (poly.taps[0] == 0 || !is_maximal_polynomial(poly)) {
        return {
            std::nullopt,
            {.code = echo_errc::not_maximal, .value = poly.order, .text = polynomial_text(poly)}};
    }
    return {poly, {}};
}

std::string polynomial_text(const polynomial& poly)
{
    std::string text = "x^" + std::to_string(poly.order);
    for (std::int32_t j = poly.order - 1; j >= 1; --j) {
        if (poly.taps.at(static_cast<std::size_t>(j)) != 0) {
            text += " + x^" + std::to_string(j);
        }
    }
    return poly.taps[0] != 0 ? text + " + 1" : text;
}

std::vector<std::int32_t> pattern_bits(const polynomial& poly)
{
    std::vector<std::int32_t> seq(static_cast<std::size_t>(sequence_length(poly.order)));
    fill_sequence(seq.data(), poly.taps.data(), poly.order);
    return seq;
}

echo_set pattern_echoes(const polynomial& poly)
{
    const std::vector<std::int32_t> seq = pattern_bits(poly);
    std::vector<std::int32_t> work(seq.size());
    return echo_locations(seq.data(), work.data(), poly.order);
}

std::vector<polynomial> maximal_polynomials(std::int32_t order)
{
    // Candidates come as keldran tries them: bit j of the code is taps[j], odd
    // codes only (every maximal polynomial has a constant term), all taps set never.
    std::vector<polynomial> found;
    const std::int32_t length = sequence_length(order);
    for (std::int32_t code = 1; code < length; code += 2) {
        polynomial poly{.order = order};
        for (std::int32_t j = 0; j < order; ++j) {
            poly.taps.at(static_cast<std::size_t>(j)) = (code >> j) & 1;
        }
        if (is_maximal_polynomial(poly)) {
            found.push_back(poly);
        }
    }
    return found;
}

}  // namespace keldran::echo
