// Why a capture, a polynomial or a simulation could not be handled: a code
// with the figures that explain it, made into a sentence only by error_text,
// so that any caller can decide what to say and what to suggest.
#ifndef KELDRAN_ECHO_ERRORS_H
#define KELDRAN_ECHO_ERRORS_H

#include <cstdint>
#include <string>

namespace keldran::echo {

enum class echo_errc : std::uint8_t {
    none,
    // Polynomials (text: what was typed, or the polynomial as keldran prints it).
    unreadable_polynomial,  // count 1: the term of degree `value` appears twice
    order_out_of_range,     // value: the order
    not_maximal,            // value: the order
    // Decoding (index: the sample or line at fault; text: the field).
    sample_not_finite,
    ends_inside_sample,  // count: bytes left over
    line_not_a_number,
    line_not_finite,
    no_samples,
    read_failed,  // text: the source's reason
    // Averaging (count: samples held; rate: the samples per bit in question).
    fewer_than_two_periods,  // needed: samples two periods take
    short_for_conversion,    // needed: all it takes; periods: two periods' samples
    rate_beyond_search,      // best_rate: where its best match lies
    does_not_repeat,         // count: bits per period; best_rate, share: its best match
    converter_failed,        // text: libsamplerate's reason, empty when it could not be made
    // Measuring and simulating.
    pattern_not_found,  // text: the polynomial; share: what its strongest peak holds
    write_failed,
};

struct echo_error {
    echo_errc code = echo_errc::none;
    std::int64_t index = 0;
    std::int64_t count = 0;
    std::int64_t needed = 0;
    std::int64_t periods = 0;
    std::int64_t value = 0;
    double rate = 0;
    double best_rate = 0;
    double share = 0;
    std::string text;

    explicit operator bool() const { return code != echo_errc::none; }
};

// The error as one line of plain text, without a line end; empty for none.
std::string error_text(const echo_error& error);

}  // namespace keldran::echo

#endif
