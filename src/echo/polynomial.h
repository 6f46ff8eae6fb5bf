// Feedback polynomials as users type them, and what the engine derives from
// one: its sequence and its four echo locations.
#ifndef KELDRAN_ECHO_POLYNOMIAL_H
#define KELDRAN_ECHO_POLYNOMIAL_H

#include "engine.h"
#include "errors.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldran::echo {

// x^order + taps[order-1] x^(order-1) + ... + taps[0], taps 0 or 1.
struct polynomial {
    std::int32_t order = 0;
    std::array<std::int32_t, max_order> taps{};
};

struct polynomial_parse {
    std::optional<polynomial> poly;  // set when the text is a maximal polynomial of order 3 to 12
    echo_error error;                // otherwise why not
};

// Reads "x^7 + x^3 + 1" as keldran prints it; "x" for "x^1", any spacing and
// any term order are accepted. Checks the order range and maximality with the engine.
polynomial_parse parse_polynomial(std::string_view text);

// The polynomial as keldran prints it: "x^7 + x^3 + 1", with x^1 for x.
std::string polynomial_text(const polynomial& poly);

// One period (2^order - 1 bits, 0 or 1) of the polynomial's sequence, from the
// all-ones register state.
std::vector<std::int32_t> pattern_bits(const polynomial& poly);

// The four echo locations keldran reports for the polynomial.
echo_set pattern_echoes(const polynomial& poly);

// Every maximal polynomial of the order (3 to 12), in the order keldran reports them.
std::vector<polynomial> maximal_polynomials(std::int32_t order);

}  // namespace keldran::echo

#endif
