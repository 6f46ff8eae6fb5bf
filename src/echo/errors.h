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
    // Capture files (text: the format's name as people know it, e.g. "LeCroy trace").
    unknown_format,       // the first bytes match no format and the name implies none
    not_this_format,      // the file is not of the format given or implied (text)
    damaged_header,       // text: the format; detail: the field at fault and what it holds
    no_such_channel,      // value: the channel asked for; count: channels there are
    no_such_segment,      // value: the segment asked for; count: segments there are
    segment_needed,       // count: segments in the trace
    unsupported_samples,  // text: the format; detail: how the file says they are stored
    ends_early,           // text: the format; count: samples read; needed: samples declared
    // Rates (rate: samples per bit; best_rate: the file's sample rate where it matters).
    rate_not_given,         // neither samples per bit nor a bit rate
    rate_given_twice,       // samples per bit and a bit rate
    sample_rate_alone,      // a sample rate without a bit rate
    sample_rate_unknown,    // a bit rate, but no sample rate from the capture or given
    sample_rate_disagrees,  // rate: the sample rate given; best_rate: the capture's
    rate_out_of_range,      // rate: the samples per bit the rates make
    // Averaging (count: samples held; rate: the samples per bit in question).
    fewer_than_two_periods,  // needed: samples two periods take
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
    std::string detail;

    explicit operator bool() const { return code != echo_errc::none; }
};

// The error as one line of plain text, without a line end; empty for none.
std::string error_text(const echo_error& error);

}  // namespace keldran::echo

#endif
